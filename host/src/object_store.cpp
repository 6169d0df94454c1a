#include "host/object_store.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace host {

using namespace IOPlugin;

struct ObjectStore::Object {
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

ObjectStore::ObjectStore() = default;
ObjectStore::~ObjectStore() = default;

void ObjectStore::clear() {
    std::lock_guard lock(m_mutex);
    m_objects.clear();
    m_spareStorage.clear();
    m_droppedLocked.clear();
}

ObjectStore::Object* ObjectStore::find(Handle handle) const {
    const auto it = m_objects.find(handle);
    return it == m_objects.end() ? nullptr : it->second.get();
}

ObjectStore::Object& ObjectStore::get(Handle handle) const {
    Object* object = find(handle);
    if (object == nullptr) {
        throw std::invalid_argument("no host object with handle " + std::to_string(handle));
    }
    return *object;
}

ObjectStore::Object* ObjectStore::findBuffer(Handle handle) const {
    Object* object = find(handle);
    return object != nullptr && object->kind == ObjectKind::Buffer ? object : nullptr;
}

Handle ObjectStore::make(ObjectKind kind) {
    const Handle handle = m_nextHandle;
    m_nextHandle += 0x10;
    auto object = std::make_unique<Object>();
    object->kind = kind;
    m_objects.emplace(handle, std::move(object));
    return handle;
}

void ObjectStore::dropReference(Handle handle, bool byModule) {
    Object& object = get(handle);
    if (byModule) {
        --object.moduleReferences;
    }
    if (--object.references > 0) {
        return;
    }
    // A plug-in may give back a buffer it still has locked: it is done with it. Anyone else
    // letting go of the last reference finds the lock the plug-in left behind.
    if (object.locked && !byModule) {
        m_droppedLocked.push_back({handle, object.kind, 0, true});
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

void ObjectStore::resizeBuffer(Object& buffer, size_t size) {
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

Handle ObjectStore::createBag() {
    std::lock_guard lock(m_mutex);
    return make(ObjectKind::PropertyBag);
}

Handle ObjectStore::createBuffer(std::span<const uint8_t> data) {
    std::lock_guard lock(m_mutex);
    const Handle handle = createBuffer(data.size());
    std::copy(data.begin(), data.end(), get(handle).data.begin());
    return handle;
}

Handle ObjectStore::createBuffer(size_t size) {
    std::lock_guard lock(m_mutex);
    const Handle handle = make(ObjectKind::Buffer);
    resizeBuffer(get(handle), size);
    return handle;
}

Handle ObjectStore::createList() {
    std::lock_guard lock(m_mutex);
    return make(ObjectKind::List);
}

Handle ObjectStore::createCallback(BufferSink sink) {
    std::lock_guard lock(m_mutex);
    const Handle handle = make(ObjectKind::CodecCallback);
    get(handle).sink = std::move(sink);
    return handle;
}

void ObjectStore::addRef(Handle handle) {
    std::lock_guard lock(m_mutex);
    ++get(handle).references;
}

void ObjectStore::release(Handle handle) {
    std::lock_guard lock(m_mutex);
    dropReference(handle, false);
}

bool ObjectStore::alive(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return find(handle) != nullptr;
}

void ObjectStore::setProperty(Handle handle, std::string_view key, uint32_t type, const void* data,
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

void ObjectStore::setUInt32(Handle handle, std::string_view key, uint32_t value) {
    setProperty(handle, key, propUInt32, &value, 1);
}

void ObjectStore::setUInt32s(Handle handle, std::string_view key, std::vector<uint32_t> values) {
    setProperty(handle, key, propUInt32, values.data(), static_cast<int32_t>(values.size()));
}

void ObjectStore::setUInt8(Handle handle, std::string_view key, uint8_t value) {
    setProperty(handle, key, propUInt8, &value, 1);
}

void ObjectStore::setInt64(Handle handle, std::string_view key, int64_t value) {
    setProperty(handle, key, propInt64, &value, 1);
}

void ObjectStore::setString(Handle handle, std::string_view key, std::string_view value) {
    setProperty(handle, key, propString, value.data(), static_cast<int32_t>(value.size()));
}

void ObjectStore::setBytes(Handle handle, std::string_view key, std::span<const uint8_t> bytes) {
    setProperty(handle, key, propUInt8, bytes.data(), static_cast<int32_t>(bytes.size()));
}

std::optional<PropertyValue> ObjectStore::property(Handle handle, std::string_view key) const {
    std::lock_guard lock(m_mutex);
    const Object& object = get(handle);
    const auto it = object.properties.find(key);
    if (it == object.properties.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::string> ObjectStore::propertyKeys(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).keyOrder;
}

std::vector<uint8_t> ObjectStore::bufferData(Handle handle) const {
    std::lock_guard lock(m_mutex);
    const Bytes& data = get(handle).data;
    return {data.begin(), data.end()};
}

void ObjectStore::setBufferData(Handle handle, std::span<const uint8_t> data) {
    std::lock_guard lock(m_mutex);
    Object& buffer = get(handle);
    resizeBuffer(buffer, data.size());
    std::copy(data.begin(), data.end(), buffer.data.begin());
}

std::span<uint8_t> ObjectStore::bufferBytes(Handle handle) {
    std::lock_guard lock(m_mutex);
    return get(handle).data;
}

std::span<const uint8_t> ObjectStore::bufferBytes(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).data;
}

bool ObjectStore::bufferLocked(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).locked;
}

std::vector<Handle> ObjectStore::listItems(Handle handle) const {
    std::lock_guard lock(m_mutex);
    return get(handle).items;
}

Handle ObjectStore::createForModule(ObjectKind kind) {
    std::lock_guard lock(m_mutex);
    const Handle handle = make(kind);
    get(handle).moduleReferences = 1;
    return handle;
}

int32_t ObjectStore::moduleAddRef(Handle handle, uint32_t& count) {
    std::lock_guard lock(m_mutex);
    Object* object = find(handle);
    if (object == nullptr) {
        return errInvalidArgument;
    }
    ++object->moduleReferences;
    count = static_cast<uint32_t>(++object->references);
    return errNone;
}

int32_t ObjectStore::moduleRelease(Handle handle, uint32_t& count) {
    std::lock_guard lock(m_mutex);
    const Object* object = find(handle);
    if (object == nullptr || object->moduleReferences <= 0) {
        return errInvalidArgument;
    }
    count = static_cast<uint32_t>(object->references - 1);
    dropReference(handle, true);
    return errNone;
}

int32_t ObjectStore::moduleSetProperty(Handle handle, const char* key, uint32_t type,
                                       const void* value, uint32_t count) {
    std::lock_guard lock(m_mutex);
    if (find(handle) == nullptr || key == nullptr || elementSize(type) == 0 ||
        (value == nullptr && count != 0)) {
        return errInvalidArgument;
    }
    setProperty(handle, key, type, value, static_cast<int32_t>(count));
    return errNone;
}

int32_t ObjectStore::moduleGetProperty(Handle handle, const char* key, uint32_t& type,
                                       const void*& value, int32_t& count) const {
    std::lock_guard lock(m_mutex);
    const Object* object = find(handle);
    if (object == nullptr || key == nullptr) {
        return errInvalidArgument;
    }
    const auto it = object->properties.find(std::string_view(key));
    if (it == object->properties.end()) {
        return errNotFound;
    }
    type = it->second.type;
    value = it->second.bytes.empty() ? nullptr : it->second.bytes.data();
    count = it->second.count;
    return errNone;
}

int32_t ObjectStore::moduleListAppend(Handle list, Handle item) {
    std::lock_guard lock(m_mutex);
    Object* target = find(list);
    Object* object = find(item);
    if (target == nullptr || target->kind != ObjectKind::List || object == nullptr) {
        return errInvalidArgument;
    }
    ++object->references;
    target->items.push_back(item);
    return errNone;
}

int32_t ObjectStore::moduleResize(Handle buffer, uint64_t size) {
    std::lock_guard lock(m_mutex);
    Object* object = findBuffer(buffer);
    if (object == nullptr || object->locked) {
        return object == nullptr ? errInvalidArgument : errFailed;
    }
    resizeBuffer(*object, size);
    return errNone;
}

int32_t ObjectStore::moduleLock(Handle buffer, void*& data, uint64_t& size) {
    std::lock_guard lock(m_mutex);
    Object* object = findBuffer(buffer);
    if (object == nullptr || object->locked) {
        return object == nullptr ? errInvalidArgument : errFailed;
    }
    object->locked = true;
    data = object->data.empty() ? nullptr : object->data.data();
    size = object->data.size();
    return errNone;
}

int32_t ObjectStore::moduleUnlock(Handle buffer) {
    std::lock_guard lock(m_mutex);
    Object* object = findBuffer(buffer);
    if (object == nullptr || !object->locked) {
        return object == nullptr ? errInvalidArgument : errFailed;
    }
    object->locked = false;
    return errNone;
}

int32_t ObjectStore::moduleDeliver(Handle callback, Handle buffer, BufferSink& sink) {
    std::lock_guard lock(m_mutex);
    Object* target = find(callback);
    Object* object = find(buffer);
    if (target == nullptr || target->kind != ObjectKind::CodecCallback || object == nullptr) {
        return errInvalidArgument;
    }
    // The callback, or the sink while it runs, owns a reference, as a real host would.
    ++object->references;
    if (target->sink) {
        sink = target->sink;
    } else {
        target->items.push_back(buffer);
    }
    return errNone;
}

std::vector<Leak> ObjectStore::heldByModule() const {
    std::lock_guard lock(m_mutex);
    std::vector<Leak> held = m_droppedLocked;
    for (const auto& [handle, object] : m_objects) {
        if (object->moduleReferences != 0 || object->locked) {
            held.push_back({handle, object->kind, object->moduleReferences, object->locked});
        }
    }
    return held;
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
