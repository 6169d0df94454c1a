// References to host objects and everything the module sends to the host.
#pragma once

#include "davinci/encoder/wrapper/fatal_assert.h"
#include "davinci/encoder/wrapper/plugin_protocol.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace IOPlugin {

// The module-wide copy of the host's record; its version doubles as the "initialised" flag.
extern HostApi s_HostAPI;

// Sends one message to the host. Every call first checks that pluginInit has run.
template <class... Args>
int32_t sendToHost(uint32_t msg, Args... args) {
    PLUGIN_FATAL_ASSERT(s_HostAPI.version != 0);
    return s_HostAPI.hostMessage(msg, args...);
}

// Formats a printf-style text (cut at 4094 characters) and sends it with msgErrorText.
void reportHostError(uint32_t code, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Asks the host for a new object of the given class. The handle carries one reference that
// belongs to the caller; it is left 0 when the host made none.
int32_t createHostObject(const ClassId& classId, HostHandle& handle);
// The same, for callers that show the user why nothing came: failureText goes to the host when
// it reports a failure. Returns the new handle, 0 when the host made none.
HostHandle createHostObject(const ClassId& classId, const char* failureText);

// Holds one host reference on one handle for as long as it lives.
class IHostObjRef {
public:
    // Takes a reference of its own on a non-null handle.
    explicit IHostObjRef(HostHandle handle);
    // Adopts the reference that msgCreateObject gave for a new host object.
    struct Adopt {};
    IHostObjRef(Adopt, HostHandle handle) : m_handle(handle) {}
    virtual ~IHostObjRef();

    IHostObjRef(const IHostObjRef&) = delete;
    IHostObjRef& operator=(const IHostObjRef&) = delete;

    HostHandle handle() const { return m_handle; }
    bool empty() const { return m_handle == 0; }

protected:
    HostHandle m_handle;
};

class IPropertyProvider {
public:
    virtual int32_t getProperty(const char* key, uint32_t* type, const void** value,
                                int32_t* count) = 0;
    virtual int32_t setProperty(const char* key, uint32_t type, const void* value,
                                uint32_t count) = 0;

    // Reads a propString value into target; false (target untouched) when absent or mistyped.
    bool getStringProperty(const char* key, std::string& target);

    // Reads count elements of type T; out is changed only when the host answers 0 with exactly
    // that type and count and a value. Otherwise the caller's defaults stay.
    template <class T>
    bool readProperty(const char* key, T* out, int32_t count = 1);
    template <class T>
    bool readProperty(const char* key, T& out) {
        return readProperty(key, &out, 1);
    }

    int32_t setUInt8(const char* key, uint8_t value) {
        return setProperty(key, propUInt8, &value, 1);
    }
    int32_t setUInt32(const char* key, uint32_t value) {
        return setProperty(key, propUInt32, &value, 1);
    }
    int32_t setInt64(const char* key, int64_t value) {
        return setProperty(key, propInt64, &value, 1);
    }
    int32_t setString(const char* key, std::string_view value) {
        return setProperty(key, propString, value.data(), static_cast<uint32_t>(value.size()));
    }
    int32_t setBytes(const char* key, const void* data, uint32_t count) {
        return setProperty(key, propUInt8, data, count);
    }

protected:
    ~IPropertyProvider() = default;
};

class HostPropertyCollectionRef : public IHostObjRef, public IPropertyProvider {
public:
    using IHostObjRef::IHostObjRef;
    int32_t getProperty(const char* key, uint32_t* type, const void** value,
                        int32_t* count) override;
    int32_t setProperty(const char* key, uint32_t type, const void* value, uint32_t count) override;
};

class HostBufferRef : public IHostObjRef, public IPropertyProvider {
public:
    using IHostObjRef::IHostObjRef;
    int32_t getProperty(const char* key, uint32_t* type, const void** value,
                        int32_t* count) override;
    int32_t setProperty(const char* key, uint32_t type, const void* value, uint32_t count) override;

    bool unlock();
    // msgBufferLock and msgBufferResize on the held handle; the host's result is returned.
    int32_t lock(uint8_t*& data, uint64_t& size);
    int32_t resize(uint32_t size);
};

class HostListRef : public IHostObjRef {
public:
    using IHostObjRef::IHostObjRef;
};

class HostCodecCallbackRef : public IHostObjRef {
public:
    using IHostObjRef::IHostObjRef;
};

template <class T>
constexpr uint32_t propertyTypeOf() {
    if constexpr (sizeof(T) == 1) {
        return propUInt8;
    } else if constexpr (sizeof(T) == 4) {
        return propUInt32;
    } else {
        static_assert(sizeof(T) == 8, "property elements are 8, 32 or 64 bits wide");
        return propInt64;
    }
}

template <class T>
bool IPropertyProvider::readProperty(const char* key, T* out, int32_t count) {
    uint32_t type = 0;
    const void* value = nullptr;
    int32_t got = 0;
    if (getProperty(key, &type, &value, &got) != errNone || type != propertyTypeOf<T>() ||
        got != count || value == nullptr) {
        return false;
    }
    const auto* elements = static_cast<const uint8_t*>(value);
    for (int32_t i = 0; i < count; ++i) {
        if constexpr (std::is_same_v<T, bool>) {
            out[i] = elements[i] != 0;
        } else {
            std::memcpy(&out[i], elements + i * sizeof(T), sizeof(T));
        }
    }
    return true;
}

} // namespace IOPlugin
