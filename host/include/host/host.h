// The substitute host: the objects a real host keeps for a plug-in (property collections,
// lists, buffers, codec callbacks), the host's message function that the plug-in calls, and
// what tests need to observe it (a trace of every message, error texts, a leak report).
#pragma once

#include "davinci/encoder/wrapper/plugin_protocol.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

using Handle = IOPlugin::HostHandle;

enum class ObjectKind { PropertyBag, Buffer, List, CodecCallback };

struct PropertyValue {
    uint32_t type = 0;
    int32_t count = 0;
    std::vector<uint8_t> bytes;

    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
    uint32_t u32(size_t i = 0) const;
    int64_t i64() const;
    uint8_t u8(size_t i = 0) const { return bytes.at(i); }
};

// One message the plug-in sent to the host, as far as tests care about it.
struct TraceEntry {
    uint32_t msg = 0;
    Handle handle = 0; // the object the message concerns, 0 if none
    std::string key;   // property key, class name of a creation, or error text
    uint32_t type = 0; // property type of msgSetProperty
    int32_t result = 0;
};

struct Leak {
    Handle handle;
    ObjectKind kind;
    int moduleReferences;
};

// Called before a message is carried out; returning a value answers the message with it
// instead (fault injection). The entry has no result yet.
using Interceptor = std::function<std::optional<int32_t>(const TraceEntry&)>;
// What a codec callback does with an encoded buffer the plug-in sends it.
using BufferSink = std::function<int32_t(Handle buffer)>;

class Host {
public:
    // The host is process-wide, as the plug-in's message function is a plain function.
    static Host& instance();
    static int32_t hostMessage(uint32_t msg, ...);
    static IOPlugin::HostApi api(uint32_t version = 1);

    // Drops every object and all recorded observations.
    void reset();

    // --- the application's side: objects it makes and owns (one reference each) ---
    Handle createBag();
    Handle createBuffer(std::span<const uint8_t> data = {});
    // A buffer of `size` bytes whose contents are left for the caller to write through
    // bufferBytes, as an editor renders a frame into its own buffer.
    Handle createBuffer(size_t size);
    Handle createList();
    // Without a sink the callback keeps every buffer it receives (with a reference of its own).
    Handle createCallback(BufferSink sink = {});
    void addRef(Handle handle);
    void release(Handle handle);
    bool alive(Handle handle) const;

    void setProperty(Handle handle, std::string_view key, uint32_t type, const void* data,
                     int32_t count);
    void setUInt32(Handle handle, std::string_view key, uint32_t value);
    void setUInt32s(Handle handle, std::string_view key, std::vector<uint32_t> values);
    void setUInt8(Handle handle, std::string_view key, uint8_t value);
    void setInt64(Handle handle, std::string_view key, int64_t value);
    void setString(Handle handle, std::string_view key, std::string_view value);
    void setBytes(Handle handle, std::string_view key, std::span<const uint8_t> bytes);
    std::optional<PropertyValue> property(Handle handle, std::string_view key) const;
    // Keys in the order they were first set.
    std::vector<std::string> propertyKeys(Handle handle) const;

    std::vector<uint8_t> bufferData(Handle handle) const;
    void setBufferData(Handle handle, std::span<const uint8_t> data);
    // The buffer's bytes in place, for the host's own side: valid until the buffer is resized
    // or destroyed. Frames travel through these without being copied.
    std::span<uint8_t> bufferBytes(Handle handle);
    std::span<const uint8_t> bufferBytes(Handle handle) const;
    bool bufferLocked(Handle handle) const;
    std::vector<Handle> listItems(Handle handle) const;
    std::vector<Handle> receivedBuffers(Handle callback) const;
    void setQueryAnswer(bool answer);

    // --- observation ---
    // Long renders switch the trace off; error texts are kept either way. On after reset().
    void setTracing(bool on);
    std::vector<TraceEntry> trace() const;
    void clearTrace();
    std::vector<std::string> errorTexts() const;
    // Objects on which the plug-in still holds references it took or was given.
    std::vector<Leak> leaks() const;
    void setInterceptor(Interceptor interceptor);
    // Called after a message was carried out, with its result; returning a value reports that
    // instead (a host that did the work but claims to have failed, or the reverse).
    void setResultFilter(Interceptor filter);

private:
    struct Object;
    // Buffer bytes that growing leaves uninitialised, as a real host's allocations are: the
    // plug-in sizes every output buffer for the largest frame and writes only what it needs.
    struct DefaultInit : std::allocator<uint8_t> {
        template <class U>
        struct rebind {
            using other = DefaultInit;
        };
        template <class... Value>
        void construct(uint8_t* p, Value... value) {
            if constexpr (sizeof...(Value) == 0) {
                ::new (static_cast<void*>(p)) uint8_t;
            } else {
                ::new (static_cast<void*>(p)) uint8_t(value...);
            }
        }
    };
    using Bytes = std::vector<uint8_t, DefaultInit>;
    Host();
    int32_t handle(uint32_t msg, va_list* args);
    Object* find(Handle handle) const;
    Object& get(Handle handle) const;
    Handle make(ObjectKind kind);
    void resizeBuffer(Object& buffer, size_t size);
    void dropReference(Handle handle, bool byModule);
    int32_t finish(TraceEntry entry, int32_t result);
    std::optional<int32_t> intercept(const TraceEntry& entry);

    mutable std::recursive_mutex m_mutex;
    std::map<Handle, std::unique_ptr<Object>> m_objects;
    Handle m_nextHandle = 0x1000;
    std::vector<Bytes> m_spareStorage;
    bool m_tracing = true;
    std::vector<TraceEntry> m_trace;
    std::vector<std::string> m_errors;
    Interceptor m_interceptor;
    Interceptor m_resultFilter;
    bool m_queryAnswer = true;
};

std::string messageName(uint32_t msg);
std::string_view kindName(ObjectKind kind);

} // namespace host
