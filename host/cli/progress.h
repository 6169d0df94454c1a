// The render's progress line on a terminal, and the clock for the summary.
#pragma once

#include <chrono>
#include <cstdint>

namespace cli {

class Progress {
public:
    // total 0 when the number of frames is not known in advance.
    explicit Progress(uint64_t total);
    void update(uint64_t frames, uint64_t rawBytes);
    // Ends the line, if one was drawn.
    void finish();
    double elapsed() const;

private:
    uint64_t m_total;
    bool m_terminal;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

} // namespace cli
