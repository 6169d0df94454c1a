#include "host/host.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <stdexcept>

namespace host {

using namespace IOPlugin;

struct Host::Object {
    ObjectKind kind = ObjectKind::PropertyBag;
    int references = 1;       // all holders together
    int moduleReferences = 0; // those the plug-in took or was given
    std::map<std::string, PropertyValue, std::less<>> properties;
    std::vector<std::string> keyOrder;
    Bytes data;
    bool locked = false;
    std::vector<Handle> items; // list items, or buffers a callback kept
    BufferSink sink;
};

uint32_t PropertyValue::u32(size_t i) const {
    uint32_t v = 0;
    if (bytes.size() < (i + 1) * 4) {
        throw std::out_of_range("property holds fewer 32-bit values");
    }
    std::memcpy(&v, bytes.data() + i * 4, 4);
    return v;
}

int64_t PropertyValue::i64() const {
    int64_t v = 0;
    if (bytes.size() < 8) {
        throw std::out_of_range("property holds no 64-bit value");
    }
    std::memcpy(&v, bytes.data(), 8);
    return v;
}

namespace {

// Storage of destroyed buffers kept for the next ones, so that a render's frames and packets
// reuse a few allocations instead of faulting in fresh pages for every frame.
constexpr size_t kSpareBuffers = 4;

size_t elementSize(uint32_t type) {
    switch (type) {
    case propUInt8:
    case propString:
        return 1;
    case propUInt32:
        return 4;
    case propInt64:
        return 8;
    default:
        return 0;
    }
}

} // namespace

Host::Host() = default;

Host& Host::instance() {
    static Host host;
    return host;
}

IOPlugin::HostApi Host::api(uint32_t version) {
    return HostApi{version, &Host::hostMessage};
}

int32_t Host::hostMessage(uint32_t msg, ...) {
    va_list args;
    va_start(args, msg);
    const int32_t result = instance().handle(msg, &args);
    va_end(args);
    return result;
}

void Host::reset() {
    std::lock_guard lock(m_mutex);
    m_objects.clear();
    m_spareStorage.clear();
    m_tracing = true;
    m_trace.clear();
    m_errors.clear();
    m_interceptor = nullptr;
    m_resultFilter = nullptr;
    m_queryAnswer = true;
}

Host::Object* Host::find(Handle handle) const {
    const auto it = m_objects.find(handle);
    return it == m_objects.end() ? nullptr : it->second.get();
}

Host::Object& Host::get(Handle handle) const {
    Object* object = find(handle);
    if (object == nullptr) {
        throw std::invalid_argument("no host object with handle " + std::to_string(handle));
    }
    return *object;
}

Handle Host::make(ObjectKind kind) {
    const Handle handle = m_nextHandle;
    m_nextHandle += 0x10;
    auto object = std::make_unique<Object>();
    object->kind = kind;
    m_objects.emplace(handle, std::move(object));
    return handle;
}

void Host::dropReference(Handle handle, bool byModule) {
    Object& object = get(handle);
    if (byModule) {
        --object.moduleReferences;
    }
    if (--object.references > 0) {
        return;
    }
    auto owned = std::move(m_objects[handle]);
    m_objects.erase(handle);
    for (const Handle item : owned->items) {
        dropReference(item, false);
    }
    if (owned->data.capacity() != 0) {
        if (m_spareStorage.size() == kSpareBuffers) {
            m_spareStorage.erase(m_spareStorage.begin());
        }
        m_spareStorage.push_back(std::move(owned->data));
    }
}

void Host::resizeBuffer(Object& buffer, size_t size) {
    if (size > buffer.data.capacity()) {
        // The smallest spare storage that holds the new size, keeping what the buffer holds.
        auto best = m_spareStorage.end();
        for (auto it = m_spareStorage.begin(); it != m_spareStorage.end(); ++it) {
            if (it->capacity() >= size &&
                (best == m_spareStorage.end() || it->capacity() < best->capacity())) {
                best = it;
            }
        }
        if (best != m_spareStorage.end()) {
            Bytes storage = std::move(*best);
            m_spareStorage.erase(best);
            storage.resize(buffer.data.size());
            std::copy(buffer.data.begin(), buffer.data.end(), storage.begin());
            buffer.data.swap(storage);
        }
    }
    buffer.data.resize(size);
}

Handle Host::createBag() {
    std::lock_guard lock(m_mutex);
    return make(ObjectKind::PropertyBag);
}

Handle Host::createBuffer(std::span<const uint8_t> data) {
    std::lock_guard lock(m_mutex);
    const Handle handle = createBuffer(data.size());
    std::copy(data.begin(), data.end(), get(handle).data.begin());
    return handle;
}

Handle Host::createBuffer(size_t size) {
    std::lock_guard lock(m_mutex);
    const Handle handle = make(ObjectKind::Buffer);
    resizeBuffer(get(handle), size);
    return handle;
}

Handle Host::createList() {
    std::lock_guard lock(m_mutex);
    return make(ObjectKind::List);
}

Handle Host::createCallback(BufferSink sink) {
    std::lock_guard lock(m_mutex);
    const Handle handle = make(ObjectKind::CodecCallback);
    get(handle).sink = std::move(sink);
    return handle;
}

void Host::addRef(Handle handle) {
    std::lock_guard lock(m_mutex);
    ++get(handle).references;
}

void Host::release(Handle handle) {
    std::lock_guard lock(m_mutex);
    dropReference(handle, false);
}

bool Host::alive(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return find(handle) != nullptr;
}

void Host::setProperty(Handle handle, std::string_view key, uint32_t type, const void* data,
                       int32_t count) {
    std::lock_guard lock(m_mutex);
    Object& object = get(handle);
    PropertyValue value{type, count, {}};
    const size_t bytes = elementSize(type) * static_cast<size_t>(std::max(count, 0));
    const auto* first = static_cast<const uint8_t*>(data);
    if (first != nullptr) {
        value.bytes.assign(first, first + bytes);
    }
    const auto it = object.properties.find(key);
    if (it == object.properties.end()) {
        object.keyOrder.emplace_back(key);
        object.properties.emplace(std::string(key), std::move(value));
    } else {
        it->second = std::move(value);
    }
}

void Host::setUInt32(Handle handle, std::string_view key, uint32_t value) {
    setProperty(handle, key, propUInt32, &value, 1);
}

void Host::setUInt32s(Handle handle, std::string_view key, std::vector<uint32_t> values) {
    setProperty(handle, key, propUInt32, values.data(), static_cast<int32_t>(values.size()));
}

void Host::setUInt8(Handle handle, std::string_view key, uint8_t value) {
    setProperty(handle, key, propUInt8, &value, 1);
}

void Host::setInt64(Handle handle, std::string_view key, int64_t value) {
    setProperty(handle, key, propInt64, &value, 1);
}

void Host::setString(Handle handle, std::string_view key, std::string_view value) {
    setProperty(handle, key, propString, value.data(), static_cast<int32_t>(value.size()));
}

void Host::setBytes(Handle handle, std::string_view key, std::span<const uint8_t> bytes) {
    setProperty(handle, key, propUInt8, bytes.data(), static_cast<int32_t>(bytes.size()));
}

std::optional<PropertyValue> Host::property(Handle handle, std::string_view key) const {
    std::lock_guard lock(m_mutex);
    const Object& object = get(handle);
    const auto it = object.properties.find(key);
    if (it == object.properties.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::string> Host::propertyKeys(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).keyOrder;
}

std::vector<uint8_t> Host::bufferData(Handle handle) const {
    std::lock_guard lock(m_mutex);
    const Bytes& data = get(handle).data;
    return {data.begin(), data.end()};
}

void Host::setBufferData(Handle handle, std::span<const uint8_t> data) {
    std::lock_guard lock(m_mutex);
    Object& buffer = get(handle);
    resizeBuffer(buffer, data.size());
    std::copy(data.begin(), data.end(), buffer.data.begin());
}

std::span<uint8_t> Host::bufferBytes(Handle handle) {
    std::lock_guard lock(m_mutex);
    return get(handle).data;
}

std::span<const uint8_t> Host::bufferBytes(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).data;
}

bool Host::bufferLocked(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).locked;
}

std::vector<Handle> Host::listItems(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).items;
}

std::vector<Handle> Host::receivedBuffers(Handle callback) const {
    return listItems(callback);
}

void Host::setQueryAnswer(bool answer) {
    std::lock_guard lock(m_mutex);
    m_queryAnswer = answer;
}

void Host::setTracing(bool on) {
    std::lock_guard lock(m_mutex);
    m_tracing = on;
}

std::vector<TraceEntry> Host::trace() const {
    std::lock_guard lock(m_mutex);
    return m_trace;
}

void Host::clearTrace() {
    std::lock_guard lock(m_mutex);
    m_trace.clear();
    m_errors.clear();
}

std::vector<std::string> Host::errorTexts() const {
    std::lock_guard lock(m_mutex);
    return m_errors;
}

std::vector<Leak> Host::leaks() const {
    std::lock_guard lock(m_mutex);
    std::vector<Leak> result;
    for (const auto& [handle, object] : m_objects) {
        if (object->moduleReferences != 0) {
            result.push_back({handle, object->kind, object->moduleReferences});
        }
    }
    return result;
}

void Host::setInterceptor(Interceptor interceptor) {
    std::lock_guard lock(m_mutex);
    m_interceptor = std::move(interceptor);
}

void Host::setResultFilter(Interceptor filter) {
    std::lock_guard lock(m_mutex);
    m_resultFilter = std::move(filter);
}

std::optional<int32_t> Host::intercept(const TraceEntry& entry) {
    return m_interceptor ? m_interceptor(entry) : std::nullopt;
}

int32_t Host::finish(TraceEntry entry, int32_t result) {
    entry.result = result;
    if (m_resultFilter) {
        if (auto reported = m_resultFilter(entry)) {
            entry.result = result = *reported;
        }
    }
    if (m_tracing) {
        m_trace.push_back(std::move(entry));
    }
    return result;
}

// Carries out one message of the plug-in. The lock is held throughout, except while a codec
// callback's sink runs: a sink may call the plug-in, which calls back here, possibly on
// another thread.
int32_t Host::handle(uint32_t msg, va_list* args) {
    std::unique_lock lock(m_mutex);
    TraceEntry entry;
    entry.msg = msg;
    switch (msg) {
    case msgCreateObject: {
        const auto* classId = va_arg(*args, const uint8_t*);
        auto* out = va_arg(*args, Handle*);
        const bool bag = std::memcmp(classId, classIdPropertyBag, 16) == 0;
        const bool buffer = std::memcmp(classId, classIdBuffer, 16) == 0;
        entry.key = bag ? "bag" : buffer ? "buffer" : "unknown";
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        if ((!bag && !buffer) || out == nullptr) {
            return finish(entry, errNotFound);
        }
        *out = make(bag ? ObjectKind::PropertyBag : ObjectKind::Buffer);
        get(*out).moduleReferences = 1;
        entry.handle = *out;
        return finish(entry, errNone);
    }
    case msgAddRef:
    case msgRelease: {
        entry.handle = va_arg(*args, Handle);
        auto* count = va_arg(*args, uint32_t*);
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        Object* object = find(entry.handle);
        if (object == nullptr || (msg == msgRelease && object->moduleReferences <= 0)) {
            return finish(entry, errInvalidArgument);
        }
        if (msg == msgAddRef) {
            ++object->references;
            ++object->moduleReferences;
        } else {
            dropReference(entry.handle, true);
        }
        if (count != nullptr) {
            Object* still = find(entry.handle);
            *count = still ? static_cast<uint32_t>(still->references) : 0;
        }
        return finish(entry, errNone);
    }
    case msgErrorText: {
        const auto code = va_arg(*args, uint32_t);
        const auto* text = va_arg(*args, const char*);
        entry.type = code;
        entry.key = text ? text : "";
        m_errors.push_back(entry.key);
        return finish(entry, errNone);
    }
    case msgSetProperty: {
        entry.handle = va_arg(*args, Handle);
        const auto* key = va_arg(*args, const char*);
        entry.type = va_arg(*args, uint32_t);
        const auto* value = va_arg(*args, const void*);
        const auto count = va_arg(*args, uint32_t);
        entry.key = key ? key : "";
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        if (find(entry.handle) == nullptr || key == nullptr || elementSize(entry.type) == 0 ||
            (value == nullptr && count != 0)) {
            return finish(entry, errInvalidArgument);
        }
        setProperty(entry.handle, entry.key, entry.type, value, static_cast<int32_t>(count));
        return finish(entry, errNone);
    }
    case msgGetProperty: {
        entry.handle = va_arg(*args, Handle);
        const auto* key = va_arg(*args, const char*);
        auto* type = va_arg(*args, uint32_t*);
        auto* value = va_arg(*args, const void**);
        auto* count = va_arg(*args, int32_t*);
        entry.key = key ? key : "";
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        Object* object = find(entry.handle);
        if (object == nullptr || key == nullptr || type == nullptr || value == nullptr ||
            count == nullptr) {
            return finish(entry, errInvalidArgument);
        }
        const auto it = object->properties.find(entry.key);
        if (it == object->properties.end()) {
            return finish(entry, errNotFound);
        }
        *type = it->second.type;
        *value = it->second.bytes.empty() ? nullptr : it->second.bytes.data();
        *count = it->second.count;
        return finish(entry, errNone);
    }
    case msgListAppend: {
        entry.handle = va_arg(*args, Handle);
        const auto item = va_arg(*args, Handle);
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        Object* list = find(entry.handle);
        Object* object = find(item);
        if (list == nullptr || list->kind != ObjectKind::List || object == nullptr) {
            return finish(entry, errInvalidArgument);
        }
        ++object->references;
        list->items.push_back(item);
        return finish(entry, errNone);
    }
    case msgBufferResize:
    case msgBufferLock:
    case msgBufferUnlock: {
        entry.handle = va_arg(*args, Handle);
        uint64_t newSize = 0;
        void** data = nullptr;
        uint64_t* size = nullptr;
        if (msg == msgBufferResize) {
            newSize = va_arg(*args, uint64_t) & 0xFFFFFFFFu;
        } else if (msg == msgBufferLock) {
            data = va_arg(*args, void**);
            size = va_arg(*args, uint64_t*);
        }
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        Object* buffer = find(entry.handle);
        if (buffer == nullptr || buffer->kind != ObjectKind::Buffer) {
            return finish(entry, errInvalidArgument);
        }
        if (msg == msgBufferResize) {
            if (buffer->locked) {
                return finish(entry, errFailed);
            }
            resizeBuffer(*buffer, newSize);
        } else if (msg == msgBufferLock) {
            if (buffer->locked || data == nullptr || size == nullptr) {
                return finish(entry, errFailed);
            }
            buffer->locked = true;
            *data = buffer->data.empty() ? nullptr : buffer->data.data();
            *size = buffer->data.size();
        } else {
            if (!buffer->locked) {
                return finish(entry, errFailed);
            }
            buffer->locked = false;
        }
        return finish(entry, errNone);
    }
    case msgCodecBuffer: {
        entry.handle = va_arg(*args, Handle);
        const auto buffer = va_arg(*args, Handle);
        entry.key = std::to_string(buffer);
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        Object* callback = find(entry.handle);
        Object* object = find(buffer);
        if (callback == nullptr || callback->kind != ObjectKind::CodecCallback ||
            object == nullptr) {
            return finish(entry, errInvalidArgument);
        }
        if (!callback->sink) {
            ++object->references;
            callback->items.push_back(buffer);
            return finish(entry, errNone);
        }
        BufferSink sink = callback->sink;
        // The sink owns a reference while it runs, as a real host would.
        ++object->references;
        lock.unlock();
        const int32_t result = sink(buffer);
        lock.lock();
        dropReference(buffer, false);
        return finish(entry, result);
    }
    case msgCodecQueryValue: {
        entry.handle = va_arg(*args, Handle);
        va_arg(*args, uint64_t);
        auto* answer = va_arg(*args, bool*);
        if (auto forced = intercept(entry)) {
            return finish(entry, *forced);
        }
        if (answer != nullptr) {
            *answer = m_queryAnswer;
        }
        return finish(entry, errNone);
    }
    default:
        return finish(entry, errUnsupported);
    }
}

std::string messageName(uint32_t msg) {
    switch (msg) {
#define KORVADIN_NAME(m)                                                                           \
    case IOPlugin::m:                                                                              \
        return #m;
        KORVADIN_NAME(msgCreateObject)
        KORVADIN_NAME(msgAddRef)
        KORVADIN_NAME(msgRelease)
        KORVADIN_NAME(msgCodecSettings)
        KORVADIN_NAME(msgErrorText)
        KORVADIN_NAME(msgSetProperty)
        KORVADIN_NAME(msgGetProperty)
        KORVADIN_NAME(msgListAppend)
        KORVADIN_NAME(msgBufferResize)
        KORVADIN_NAME(msgBufferLock)
        KORVADIN_NAME(msgBufferUnlock)
        KORVADIN_NAME(msgCodecBuffer)
        KORVADIN_NAME(msgCodecQueryValue)
#undef KORVADIN_NAME
    default:
        return "message " + std::to_string(msg);
    }
}

std::string_view kindName(ObjectKind kind) {
    switch (kind) {
    case ObjectKind::PropertyBag:
        return "property bag";
    case ObjectKind::Buffer:
        return "buffer";
    case ObjectKind::List:
        return "list";
    case ObjectKind::CodecCallback:
        return "codec callback";
    }
    return "object";
}

} // namespace host
