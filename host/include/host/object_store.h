// The objects a host keeps for a plug-in: property collections, lists, buffers and codec
// callbacks behind opaque handles, each counting its references. The application's side makes,
// fills and reads them; the plug-in's side is the one the host's message function carries out,
// one whole operation at a time, and it counts apart the references the plug-in holds.
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

// What a codec callback does with an encoded buffer the plug-in sends it.
using BufferSink = std::function<int32_t(Handle buffer)>;

// What the plug-in still holds of one object: references it took or was given, or a buffer it
// left locked (one that is gone too, when its last holder let go of it while it was locked).
struct Leak {
    Handle handle;
    ObjectKind kind;
    int moduleReferences;
    bool locked;
};

class ObjectStore {
public:
    ObjectStore();
    ~ObjectStore();
    ObjectStore(const ObjectStore&) = delete;
    ObjectStore& operator=(const ObjectStore&) = delete;

    // Drops every object.
    void clear();

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
    // A list's items, or the buffers a callback without a sink kept.
    std::vector<Handle> listItems(Handle handle) const;
    std::vector<Handle> receivedBuffers(Handle callback) const { return listItems(callback); }

    // --- the plug-in's side, each an errNone or the refusal a host gives ---
    Handle createForModule(ObjectKind kind);
    // The references left on the object afterwards.
    int32_t moduleAddRef(Handle handle, uint32_t& count);
    int32_t moduleRelease(Handle handle, uint32_t& count);
    int32_t moduleSetProperty(Handle handle, const char* key, uint32_t type, const void* value,
                              uint32_t count);
    // The value stays where it is, readable while the plug-in holds its reference.
    int32_t moduleGetProperty(Handle handle, const char* key, uint32_t& type, const void*& value,
                              int32_t& count) const;
    int32_t moduleListAppend(Handle list, Handle item);
    int32_t moduleResize(Handle buffer, uint64_t size);
    int32_t moduleLock(Handle buffer, void*& data, uint64_t& size);
    int32_t moduleUnlock(Handle buffer);
    // A buffer sent to a callback: kept by a callback without a sink, else the sink to run, which
    // holds a reference of its own until it is done (`sinkDone`).
    int32_t moduleDeliver(Handle callback, Handle buffer, BufferSink& sink);
    void sinkDone(Handle buffer) { release(buffer); }

    std::vector<Leak> heldByModule() const;

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

    Object* find(Handle handle) const;
    Object& get(Handle handle) const;
    Object* findBuffer(Handle handle) const;
    Handle make(ObjectKind kind);
    void resizeBuffer(Object& buffer, size_t size);
    void dropReference(Handle handle, bool byModule);

    mutable std::recursive_mutex m_mutex;
    std::map<Handle, std::unique_ptr<Object>> m_objects;
    Handle m_nextHandle = 0x1000;
    std::vector<Bytes> m_spareStorage;
    std::vector<Leak> m_droppedLocked;
};

std::string_view kindName(ObjectKind kind);

} // namespace host
