// The substitute host: its objects (object_store.h), the message function that the plug-in
// calls, which carries each message out on them through a table of handlers, and the probe that
// watches it (host_probe.h).
#pragma once

#include "davinci/encoder/wrapper/plugin_protocol.h"
#include "host/host_probe.h"
#include "host/object_store.h"

#include <cstdarg>
#include <cstdint>

namespace host {

class Host : public ObjectStore {
public:
    // The host is process-wide, as the plug-in's message function is a plain function.
    static Host& instance();
    static int32_t hostMessage(uint32_t msg, ...);
    static IOPlugin::HostApi api(uint32_t version = 1);

    // Drops every object and all recorded observations.
    void reset();
    HostProbe& probe() { return m_probe; }
    const HostProbe& probe() const { return m_probe; }
    // What a codec callback answers to msgCodecQueryValue.
    void setQueryAnswer(bool answer) { m_queryAnswer = answer; }

private:
    Host() : m_probe(*this) {}
    // Each handler reads its message's arguments into the trace entry and carries it out,
    // unless the probe answers it instead.
    using Handler = int32_t (Host::*)(va_list* args, TraceEntry& entry);
    int32_t handle(uint32_t msg, va_list* args);
    int32_t createObjectMessage(va_list* args, TraceEntry& entry);
    int32_t referenceMessage(va_list* args, TraceEntry& entry);
    int32_t errorTextMessage(va_list* args, TraceEntry& entry);
    int32_t setPropertyMessage(va_list* args, TraceEntry& entry);
    int32_t getPropertyMessage(va_list* args, TraceEntry& entry);
    int32_t listAppendMessage(va_list* args, TraceEntry& entry);
    int32_t resizeMessage(va_list* args, TraceEntry& entry);
    int32_t lockMessage(va_list* args, TraceEntry& entry);
    int32_t unlockMessage(va_list* args, TraceEntry& entry);
    int32_t codecBufferMessage(va_list* args, TraceEntry& entry);
    int32_t queryValueMessage(va_list* args, TraceEntry& entry);

    HostProbe m_probe;
    bool m_queryAnswer = true;
};

} // namespace host
