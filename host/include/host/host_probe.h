// What tests and the korvadin program watch of a host: every message the plug-in sent (a trace
// that long renders switch off), the texts it reported, what it still holds, and faults put in
// its way: a message answered with a refusal instead of being carried out, or a result that
// says otherwise than what happened.
#pragma once

#include "host/object_store.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

// One message the plug-in sent to the host, as far as tests care about it.
struct TraceEntry {
    uint32_t msg = 0;
    Handle handle = 0; // the object the message concerns, 0 if none
    std::string key;   // property key, class name of a creation, or error text
    uint32_t type = 0; // property type of msgSetProperty
    int32_t result = 0;
};

// Called before a message is carried out; returning a value answers the message with it
// instead (fault injection). The entry has no result yet.
using Interceptor = std::function<std::optional<int32_t>(const TraceEntry&)>;

class HostProbe {
public:
    explicit HostProbe(const ObjectStore& objects) : m_objects(objects) {}

    // Forgets the trace, the texts and the faults; tracing is on again. Internal failures stay
    // until they are taken.
    void reset();
    // Long renders switch the trace off; error texts are kept either way.
    void setTracing(bool on);
    std::vector<TraceEntry> trace() const;
    // Forgets the trace and the error texts.
    void clearTrace();
    std::vector<std::string> errorTexts() const;
    // Texts of failures the plug-in's last-resort handler caught: each one is a fault of the
    // plug-in, never an answer to anything a host did. Kept until taken.
    std::vector<std::string> takeInternalFailures();

    void setInterceptor(Interceptor interceptor);
    // Called after a message was carried out, with its result; returning a value reports that
    // instead (a host that did the work but claims to have failed, or the reverse).
    void setResultFilter(Interceptor filter);

    // What the plug-in still holds: references on the host's objects, and buffers left locked.
    std::vector<Leak> leaks() const { return m_objects.heldByModule(); }
    // The same as sentences, one per object.
    std::vector<std::string> leakReport() const;

    // For the host's message function: the forced answer to a message, if any, and the record
    // of a message carried out (returns the result the plug-in gets).
    std::optional<int32_t> intercept(const TraceEntry& entry) const;
    int32_t finish(TraceEntry entry, int32_t result);
    void errorText(const std::string& text);

private:
    const ObjectStore& m_objects;
    mutable std::recursive_mutex m_mutex; // held while a fault runs, which may keep count
    bool m_tracing = true;
    std::vector<TraceEntry> m_trace;
    std::vector<std::string> m_errors;
    std::vector<std::string> m_internalFailures;
    Interceptor m_interceptor;
    Interceptor m_resultFilter;
};

std::string messageName(uint32_t msg);

} // namespace host
