// Base classes of the objects the module hands to the host: intrusive reference counts and
// the routing of each message to a typed operation.
#pragma once

#include "davinci/encoder/wrapper/host_api.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <utility>

namespace IOPlugin {

class IPluginObjRef {
public:
    IPluginObjRef() = default;
    IPluginObjRef(const IPluginObjRef&) = delete;
    IPluginObjRef& operator=(const IPluginObjRef&) = delete;

    virtual uint32_t addRef();
    // Deletes the object when the count reaches 0.
    virtual uint32_t release();
    // args points at the message's arguments after the object itself.
    virtual int32_t handleMessage(uint32_t msg, va_list* args) = 0;
    virtual ~IPluginObjRef() = default;

protected:
    std::atomic<uint32_t> m_refCount{1};
};

// One counted reference to a plug-in object, given back when the holder goes.
template <class T>
class PluginObjPtr {
public:
    PluginObjPtr() = default;
    // Takes over a reference the caller already owns.
    static PluginObjPtr adopt(T* object) { return PluginObjPtr(object); }
    // Takes a reference of its own.
    static PluginObjPtr share(T* object) {
        if (object != nullptr) {
            object->addRef();
        }
        return PluginObjPtr(object);
    }
    PluginObjPtr(PluginObjPtr&& other) noexcept
        : m_object(std::exchange(other.m_object, nullptr)) {}
    PluginObjPtr& operator=(PluginObjPtr&& other) noexcept {
        if (this != &other) {
            reset();
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }
    ~PluginObjPtr() { reset(); }

    void reset() {
        if (T* object = std::exchange(m_object, nullptr)) {
            object->release();
        }
    }
    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    explicit PluginObjPtr(T* object) : m_object(object) {}
    T* m_object = nullptr;
};

class IPluginCodecRef : public IPluginObjRef {
public:
    int32_t handleMessage(uint32_t msg, va_list* args) override;
    ~IPluginCodecRef() override;

    virtual int32_t setCallback(HostHandle callback);
    virtual int32_t sendOutput(HostBufferRef& buffer);
    virtual bool forwardQueryValue(uint64_t value);
    virtual bool onQueryValue(uint64_t value);
    virtual bool onQuery();
    virtual void onSignal() = 0;
    virtual int32_t onProperties(HostPropertyCollectionRef& properties) = 0;
    virtual int32_t open(HostBufferRef& settings) = 0;
    // Base behaviour passes the frame through to the callback unchanged.
    virtual int32_t processFrame(HostBufferRef* frame);

protected:
    std::unique_ptr<HostCodecCallbackRef> m_pCallback;
};

class IPluginContainerRef : public IPluginObjRef {
public:
    int32_t handleMessage(uint32_t msg, va_list* args) override;

    virtual int32_t init(HostPropertyCollectionRef& properties) = 0;
    virtual int32_t open(HostPropertyCollectionRef& properties) = 0;
    virtual int32_t addTrack(HostPropertyCollectionRef& track, HostPropertyCollectionRef& codec,
                             IPluginObjRef** outTrack) = 0;
    virtual int32_t close() = 0;
};

class IPluginTrackBase : public IPluginObjRef {
public:
    // Takes a counted reference on the container that made the track.
    explicit IPluginTrackBase(IPluginContainerRef* container)
        : m_pContainer(PluginObjPtr<IPluginContainerRef>::share(container)) {}
    int32_t handleMessage(uint32_t msg, va_list* args) override;

protected:
    PluginObjPtr<IPluginContainerRef> m_pContainer;
};

class IPluginTrackWriter {
public:
    virtual int32_t writePacket(HostBufferRef* packet) = 0;

protected:
    ~IPluginTrackWriter() = default;
};

} // namespace IOPlugin
