#include "host/host_probe.h"

#include <string_view>
#include <utility>

namespace host {

using namespace IOPlugin;

namespace {

// The dispatcher's answer to whatever its plug-in objects did not catch themselves.
constexpr std::string_view kInternalFailure = "Korvadin Plugin :: Internal failure";

} // namespace

void HostProbe::reset() {
    std::lock_guard lock(m_mutex);
    m_tracing = true;
    m_trace.clear();
    m_errors.clear();
    m_interceptor = nullptr;
    m_resultFilter = nullptr;
}

void HostProbe::setTracing(bool on) {
    std::lock_guard lock(m_mutex);
    m_tracing = on;
}

std::vector<TraceEntry> HostProbe::trace() const {
    std::lock_guard lock(m_mutex);
    return m_trace;
}

void HostProbe::clearTrace() {
    std::lock_guard lock(m_mutex);
    m_trace.clear();
    m_errors.clear();
}

std::vector<std::string> HostProbe::errorTexts() const {
    std::lock_guard lock(m_mutex);
    return m_errors;
}

std::vector<std::string> HostProbe::takeInternalFailures() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_internalFailures, {});
}

void HostProbe::setInterceptor(Interceptor interceptor) {
    std::lock_guard lock(m_mutex);
    m_interceptor = std::move(interceptor);
}

void HostProbe::setResultFilter(Interceptor filter) {
    std::lock_guard lock(m_mutex);
    m_resultFilter = std::move(filter);
}

std::vector<std::string> HostProbe::leakReport() const {
    std::vector<std::string> report;
    for (const Leak& leak : leaks()) {
        const std::string object =
            std::string(kindName(leak.kind)) + " " + std::to_string(leak.handle);
        if (leak.moduleReferences != 0) {
            report.push_back("the plug-in still holds " + std::to_string(leak.moduleReferences) +
                             " reference(s) on " + object);
        }
        if (leak.locked) {
            report.push_back("the plug-in left " + object + " locked");
        }
    }
    return report;
}

std::optional<int32_t> HostProbe::intercept(const TraceEntry& entry) const {
    std::lock_guard lock(m_mutex);
    return m_interceptor ? m_interceptor(entry) : std::nullopt;
}

int32_t HostProbe::finish(TraceEntry entry, int32_t result) {
    std::lock_guard lock(m_mutex);
    entry.result = result;
    if (m_resultFilter) {
        if (auto reported = m_resultFilter(entry)) {
            entry.result = result = *reported;
        }
    }
    if (m_tracing) {
        m_trace.push_back(std::move(entry));
    }
    return result;
}

void HostProbe::errorText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_errors.push_back(text);
    if (text.starts_with(kInternalFailure)) {
        m_internalFailures.push_back(text);
    }
}

std::string messageName(uint32_t msg) {
    switch (msg) {
#define KORVADIN_NAME(m)                                                                           \
    case IOPlugin::m:                                                                              \
        return #m;
        KORVADIN_NAME(msgCreateObject)
        KORVADIN_NAME(msgAddRef)
        KORVADIN_NAME(msgRelease)
        KORVADIN_NAME(msgCodecSettings)
        KORVADIN_NAME(msgErrorText)
        KORVADIN_NAME(msgSetProperty)
        KORVADIN_NAME(msgGetProperty)
        KORVADIN_NAME(msgListAppend)
        KORVADIN_NAME(msgBufferResize)
        KORVADIN_NAME(msgBufferLock)
        KORVADIN_NAME(msgBufferUnlock)
        KORVADIN_NAME(msgCodecBuffer)
        KORVADIN_NAME(msgCodecQueryValue)
#undef KORVADIN_NAME
    default:
        return "message " + std::to_string(msg);
    }
}

} // namespace host
