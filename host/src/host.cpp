#include "host/host.h"

#include <cstring>
#include <utility>

namespace host {

using namespace IOPlugin;

Host& Host::instance() {
    static Host host;
    return host;
}

HostApi Host::api(uint32_t version) {
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
    clear();
    m_probe.reset();
    m_queryAnswer = true;
}

int32_t Host::handle(uint32_t msg, va_list* args) {
    // A struct, not a std::pair: where va_list carries attributes (mingw-w64), a handler's type
    // loses them as a template argument.
    struct Route {
        uint32_t msg;
        Handler handler;
    };
    static constexpr Route kHandlers[] = {
        {msgCreateObject, &Host::createObjectMessage},
        {msgAddRef, &Host::referenceMessage},
        {msgRelease, &Host::referenceMessage},
        {msgErrorText, &Host::errorTextMessage},
        {msgSetProperty, &Host::setPropertyMessage},
        {msgGetProperty, &Host::getPropertyMessage},
        {msgListAppend, &Host::listAppendMessage},
        {msgBufferResize, &Host::resizeMessage},
        {msgBufferLock, &Host::lockMessage},
        {msgBufferUnlock, &Host::unlockMessage},
        {msgCodecBuffer, &Host::codecBufferMessage},
        {msgCodecQueryValue, &Host::queryValueMessage},
    };
    TraceEntry entry;
    entry.msg = msg;
    int32_t result = errUnsupported;
    for (const auto& [handled, handler] : kHandlers) {
        if (handled == msg) {
            result = (this->*handler)(args, entry);
            break;
        }
    }
    return m_probe.finish(std::move(entry), result);
}

// Every handler below: the arguments first, then the probe's forced answer if it has one.
#define KORVADIN_FORCED_ANSWER(entry)                                                              \
    if (const auto forced = m_probe.intercept(entry)) {                                            \
        return *forced;                                                                            \
    }

int32_t Host::createObjectMessage(va_list* args, TraceEntry& entry) {
    const auto* classId = va_arg(*args, const uint8_t*);
    auto* out = va_arg(*args, Handle*);
    const bool bag = std::memcmp(classId, classIdPropertyBag, 16) == 0;
    const bool buffer = std::memcmp(classId, classIdBuffer, 16) == 0;
    entry.key = bag ? "bag" : buffer ? "buffer" : "unknown";
    KORVADIN_FORCED_ANSWER(entry)
    if ((!bag && !buffer) || out == nullptr) {
        return errNotFound;
    }
    *out = entry.handle = createForModule(bag ? ObjectKind::PropertyBag : ObjectKind::Buffer);
    return errNone;
}

int32_t Host::referenceMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    auto* count = va_arg(*args, uint32_t*);
    KORVADIN_FORCED_ANSWER(entry)
    uint32_t left = 0;
    const int32_t result = entry.msg == msgAddRef ? moduleAddRef(entry.handle, left)
                                                  : moduleRelease(entry.handle, left);
    if (result == errNone && count != nullptr) {
        *count = left;
    }
    return result;
}

int32_t Host::errorTextMessage(va_list* args, TraceEntry& entry) {
    entry.type = va_arg(*args, uint32_t);
    const auto* text = va_arg(*args, const char*);
    entry.key = text != nullptr ? text : "";
    m_probe.errorText(entry.key);
    return errNone;
}

int32_t Host::setPropertyMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    const auto* key = va_arg(*args, const char*);
    entry.type = va_arg(*args, uint32_t);
    const auto* value = va_arg(*args, const void*);
    const auto count = va_arg(*args, uint32_t);
    entry.key = key != nullptr ? key : "";
    KORVADIN_FORCED_ANSWER(entry)
    return moduleSetProperty(entry.handle, key, entry.type, value, count);
}

int32_t Host::getPropertyMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    const auto* key = va_arg(*args, const char*);
    auto* type = va_arg(*args, uint32_t*);
    auto* value = va_arg(*args, const void**);
    auto* count = va_arg(*args, int32_t*);
    entry.key = key != nullptr ? key : "";
    KORVADIN_FORCED_ANSWER(entry)
    if (type == nullptr || value == nullptr || count == nullptr) {
        return errInvalidArgument;
    }
    return moduleGetProperty(entry.handle, key, *type, *value, *count);
}

int32_t Host::listAppendMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    const auto item = va_arg(*args, Handle);
    KORVADIN_FORCED_ANSWER(entry)
    return moduleListAppend(entry.handle, item);
}

int32_t Host::resizeMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    // The size travels in the low half of its 64-bit slot.
    const uint64_t size = va_arg(*args, uint64_t) & 0xFFFFFFFFu;
    KORVADIN_FORCED_ANSWER(entry)
    return moduleResize(entry.handle, size);
}

int32_t Host::lockMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    auto* data = va_arg(*args, void**);
    auto* size = va_arg(*args, uint64_t*);
    KORVADIN_FORCED_ANSWER(entry)
    if (data == nullptr || size == nullptr) {
        return errFailed;
    }
    return moduleLock(entry.handle, *data, *size);
}

int32_t Host::unlockMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    KORVADIN_FORCED_ANSWER(entry)
    return moduleUnlock(entry.handle);
}

// A sink may call the plug-in, which calls back here, possibly on another thread: it runs with
// no lock held.
int32_t Host::codecBufferMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    const auto buffer = va_arg(*args, Handle);
    entry.key = std::to_string(buffer);
    KORVADIN_FORCED_ANSWER(entry)
    BufferSink sink;
    const int32_t delivered = moduleDeliver(entry.handle, buffer, sink);
    if (delivered != errNone || !sink) {
        return delivered;
    }
    const int32_t result = sink(buffer);
    sinkDone(buffer);
    return result;
}

int32_t Host::queryValueMessage(va_list* args, TraceEntry& entry) {
    entry.handle = va_arg(*args, Handle);
    va_arg(*args, uint64_t);
    auto* answer = va_arg(*args, bool*);
    KORVADIN_FORCED_ANSWER(entry)
    if (answer != nullptr) {
        *answer = m_queryAnswer;
    }
    return errNone;
}

#undef KORVADIN_FORCED_ANSWER

} // namespace host
