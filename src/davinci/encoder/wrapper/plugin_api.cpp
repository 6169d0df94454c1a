#include "davinci/encoder/wrapper/plugin_api.h"

namespace IOPlugin {

uint32_t IPluginObjRef::addRef() {
    return m_refCount.fetch_add(1, std::memory_order_seq_cst) + 1;
}

uint32_t IPluginObjRef::release() {
    const uint32_t count = m_refCount.fetch_sub(1, std::memory_order_seq_cst) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

namespace {

template <class T>
T nextArg(va_list* args) {
    return va_arg(*args, T);
}

// msgAddRef and msgRelease as a codec answers them through handleMessage.
int32_t countMessage(IPluginObjRef& object, uint32_t msg, va_list* args) {
    auto* result = nextArg<uint32_t*>(args);
    const uint32_t count = msg == msgAddRef ? object.addRef() : object.release();
    if (result != nullptr) {
        *result = count;
    }
    return errNone;
}

} // namespace

int32_t IPluginCodecRef::handleMessage(uint32_t msg, va_list* args) {
    switch (msg) {
    case msgAddRef:
    case msgRelease:
        return countMessage(*this, msg, args);
    case msgCodecProperties: {
        const auto handle = nextArg<HostHandle>(args);
        if (handle == 0) {
            return errInvalidArgument;
        }
        HostPropertyCollectionRef properties(handle);
        return onProperties(properties);
    }
    case msgCodecOpen: {
        HostBufferRef settings(nextArg<HostHandle>(args));
        return open(settings);
    }
    case msgCodecSignal:
        onSignal();
        return errNone;
    case msgCodecSetCallback:
        return setCallback(nextArg<HostHandle>(args));
    case msgCodecBuffer: {
        HostBufferRef frame(nextArg<HostHandle>(args));
        return processFrame(&frame);
    }
    case msgCodecQueryValue: {
        const auto value = nextArg<uint64_t>(args);
        auto* answer = nextArg<bool*>(args);
        const bool result = onQueryValue(value);
        if (answer != nullptr) {
            *answer = result;
        }
        return errNone;
    }
    case msgCodecQuery: {
        auto* answer = nextArg<bool*>(args);
        const bool result = onQuery();
        if (answer != nullptr) {
            *answer = result;
        }
        return errNone;
    }
    default:
        return errUnsupported;
    }
}

IPluginCodecRef::~IPluginCodecRef() = default;

int32_t IPluginCodecRef::setCallback(HostHandle callback) {
    // The host sets a codec's callback once; a second one would orphan the first.
    PLUGIN_FATAL_ASSERT(m_pCallback == NULL);
    m_pCallback = std::make_unique<HostCodecCallbackRef>(callback);
    return errNone;
}

int32_t IPluginCodecRef::sendOutput(HostBufferRef& buffer) {
    if (!m_pCallback) {
        return errInvalidArgument;
    }
    return sendToHost(msgCodecBuffer, m_pCallback->handle(), buffer.handle());
}

bool IPluginCodecRef::forwardQueryValue(uint64_t value) {
    if (!m_pCallback) {
        return true;
    }
    bool answer = true;
    sendToHost(msgCodecQueryValue, m_pCallback->handle(), value, &answer);
    return answer;
}

bool IPluginCodecRef::onQueryValue(uint64_t) {
    return true;
}

bool IPluginCodecRef::onQuery() {
    return false;
}

int32_t IPluginCodecRef::processFrame(HostBufferRef* frame) {
    if (!m_pCallback || m_pCallback->empty() || frame == nullptr) {
        return errNoHandle;
    }
    return sendToHost(msgCodecBuffer, m_pCallback->handle(), frame->handle());
}

int32_t IPluginContainerRef::handleMessage(uint32_t msg, va_list* args) {
    switch (msg) {
    case msgContainerInit:
    case msgContainerOpen: {
        const auto handle = nextArg<HostHandle>(args);
        if (handle == 0) {
            return errInvalidArgument;
        }
        HostPropertyCollectionRef properties(handle);
        return msg == msgContainerInit ? init(properties) : open(properties);
    }
    case msgContainerAddTrack: {
        HostPropertyCollectionRef track(nextArg<HostHandle>(args));
        HostPropertyCollectionRef codec(nextArg<HostHandle>(args));
        auto** outTrack = nextArg<IPluginObjRef**>(args);
        // Without a place for the new track the host could never release it.
        if (track.empty() || outTrack == nullptr) {
            return errInvalidArgument;
        }
        *outTrack = nullptr;
        IPluginObjRef* created = nullptr;
        const int32_t result = addTrack(track, codec, &created);
        if (result == errNone && created != nullptr) {
            *outTrack = created;
        }
        return result;
    }
    case msgContainerClose:
        return close();
    default:
        return errUnsupported;
    }
}

int32_t IPluginTrackBase::handleMessage(uint32_t msg, va_list* args) {
    if (msg != msgTrackWritePacket) {
        return errUnsupported;
    }
    HostBufferRef packet(nextArg<HostHandle>(args));
    auto* writer = dynamic_cast<IPluginTrackWriter*>(this);
    if (writer == nullptr) {
        return errUnsupported;
    }
    return writer->writePacket(packet.empty() ? nullptr : &packet);
}

} // namespace IOPlugin
