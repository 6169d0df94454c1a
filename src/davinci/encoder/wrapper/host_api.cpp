#include "davinci/encoder/wrapper/host_api.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace IOPlugin {

HostApi s_HostAPI = {0, nullptr};

void fatalAssertion(const char* expression, std::string_view sourcePath, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %.*s, line %d\n", expression,
                 static_cast<int>(sourcePath.size()), sourcePath.data(), line);
    std::fflush(stderr);
    std::abort();
}

void reportHostError(uint32_t code, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    // A limit of 4095 keeps the last two bytes as a margin: at most 4094 characters and the NUL.
    std::vsnprintf(text, 4095, format, args);
    va_end(args);
    sendToHost(msgErrorText, code, static_cast<const char*>(text));
}

int32_t createHostObject(const ClassId& classId, HostHandle& handle) {
    handle = 0;
    return sendToHost(msgCreateObject, static_cast<const uint8_t*>(classId), &handle);
}

HostHandle createHostObject(const ClassId& classId, const char* failureText) {
    HostHandle handle = 0;
    if (createHostObject(classId, handle) != errNone) {
        reportHostError(0, "%s", failureText);
    }
    return handle;
}

IHostObjRef::IHostObjRef(HostHandle handle) : m_handle(handle) {
    if (m_handle != 0) {
        uint32_t count = 0;
        const int32_t err = sendToHost(msgAddRef, m_handle, &count);
        PLUGIN_FATAL_ASSERT(err == errNone);
    }
}

IHostObjRef::~IHostObjRef() {
    if (m_handle != 0) {
        uint32_t count = 0;
        const int32_t err = sendToHost(msgRelease, m_handle, &count);
        PLUGIN_FATAL_ASSERT(err == errNone);
    }
}

bool IPropertyProvider::getStringProperty(const char* key, std::string& target) {
    uint32_t type = 0;
    const void* value = nullptr;
    int32_t count = 0;
    if (getProperty(key, &type, &value, &count) != errNone || type != propString) {
        return false;
    }
    if (count <= 0) {
        target.clear();
    } else {
        target.assign(static_cast<const char*>(value), static_cast<size_t>(count));
    }
    return true;
}

namespace {

// The one implementation behind both kinds of reference that carry properties.
int32_t getHostProperty(HostHandle handle, const char* key, uint32_t* type, const void** value,
                        int32_t* count) {
    if (handle == 0) {
        return errNoHandle;
    }
    return sendToHost(msgGetProperty, handle, key, type, value, count);
}

int32_t setHostProperty(HostHandle handle, const char* key, uint32_t type, const void* value,
                        uint32_t count) {
    if (handle == 0) {
        return errNoHandle;
    }
    return sendToHost(msgSetProperty, handle, key, type, value, count);
}

} // namespace

int32_t HostPropertyCollectionRef::getProperty(const char* key, uint32_t* type, const void** value,
                                               int32_t* count) {
    return getHostProperty(m_handle, key, type, value, count);
}

int32_t HostPropertyCollectionRef::setProperty(const char* key, uint32_t type, const void* value,
                                               uint32_t count) {
    return setHostProperty(m_handle, key, type, value, count);
}

int32_t HostBufferRef::getProperty(const char* key, uint32_t* type, const void** value,
                                   int32_t* count) {
    return getHostProperty(m_handle, key, type, value, count);
}

int32_t HostBufferRef::setProperty(const char* key, uint32_t type, const void* value,
                                   uint32_t count) {
    return setHostProperty(m_handle, key, type, value, count);
}

bool HostBufferRef::unlock() {
    if (m_handle == 0) {
        return false;
    }
    return sendToHost(msgBufferUnlock, m_handle) == errNone;
}

int32_t HostBufferRef::lock(uint8_t*& data, uint64_t& size) {
    data = nullptr;
    size = 0;
    if (m_handle == 0) {
        return errNoHandle;
    }
    void* raw = nullptr;
    const int32_t err = sendToHost(msgBufferLock, m_handle, &raw, &size);
    data = static_cast<uint8_t*>(raw);
    return err;
}

int32_t HostBufferRef::resize(uint32_t size) {
    if (m_handle == 0) {
        return errNoHandle;
    }
    return sendToHost(msgBufferResize, m_handle, static_cast<uint64_t>(size));
}

} // namespace IOPlugin
