#include "progress.h"

#include "host/platform.h"

#include <cstdio>

namespace cli {

Progress::Progress(uint64_t total)
    : m_total(total), m_terminal(host::isTerminal(stderr)),
      m_start(std::chrono::steady_clock::now()), m_lastDraw(m_start) {}

double Progress::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void Progress::update(uint64_t frames, uint64_t rawBytes) {
    const auto now = std::chrono::steady_clock::now();
    if (!m_terminal || now - m_lastDraw < std::chrono::milliseconds(250)) {
        return;
    }
    m_lastDraw = now;
    const double seconds = elapsed();
    const double fps = seconds > 0 ? frames / seconds : 0;
    std::fprintf(stderr, "\r  frame %llu", static_cast<unsigned long long>(frames));
    if (m_total != 0) {
        std::fprintf(stderr, "/%llu", static_cast<unsigned long long>(m_total));
    }
    std::fprintf(stderr, "  %.1f fps  %.0f MB/s", fps, seconds > 0 ? rawBytes / 1e6 / seconds : 0);
    if (m_total != 0 && fps > 0 && frames < m_total) {
        std::fprintf(stderr, "  ETA %.0f s", double(m_total - frames) / fps);
    }
    std::fprintf(stderr, "   ");
    m_drawn = true;
}

void Progress::finish() {
    if (m_drawn) {
        std::fprintf(stderr, "\n");
        m_drawn = false;
    }
}

} // namespace cli
