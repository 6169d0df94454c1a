// What both benchmark programs share: timing this process and other programs, running ffmpeg,
// describing the machine, and reading a set of ratios as its worst case and geometric mean.
//
// The machines are shared, so every single-threaded figure is processor time (user plus
// system), and every comparison is a ratio of figures measured in the same run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// This process's processor time, all its threads included, and the wall clock, in seconds.
double processSeconds();
double clockSeconds();

struct Usage {
    double processor = 0; // user plus system time of the program, in seconds
    double clock = 0;     // wall clock, in seconds
};

// Runs a program (looked up on PATH) with no input and its output in `log`, and returns what it
// cost; a program that fails throws, naming its command and the log.
Usage runProgram(const std::vector<std::string>& args, const std::string& log);

// Runs ffmpeg with `args` and returns the processor time it reports for its work (-benchmark),
// which leaves out starting the program and opening its files.
double ffmpegSeconds(const std::vector<std::string>& args, const std::string& log);

// The bytes of every packet of a file's first video stream as ffprobe reads them: the coded
// frames alone, without the container's headers and index.
uint64_t packetBytes(const std::string& file, const std::string& log);

// "model name" of /proc/cpuinfo and the number of processors.
std::string processorModel();
// The load average over 1, 5 and 15 minutes, as text.
std::string loadAverage();

std::vector<std::string> split(const std::string& text, char separator);

// Our figures against a peer's over the clips, a ratio per clip: the worst (the least
// favourable to us) and the geometric mean.
class Spread {
public:
    // higherIsBetter: speed ratios (the worst is the lowest); otherwise sizes (the highest).
    explicit Spread(bool higherIsBetter) : m_higherIsBetter(higherIsBetter) {}
    void add(double ratio);
    bool empty() const { return m_count == 0; }
    double worst() const { return m_worst; }
    double geometricMean() const;

private:
    bool m_higherIsBetter;
    unsigned m_count = 0;
    double m_worst = 0;
    double m_logSum = 0;
};

// Counts the clips on which a target holds, for a line that cannot be read selectively.
struct Tally {
    unsigned met = 0;
    unsigned of = 0;
    void add(bool holds) {
        met += holds ? 1 : 0;
        ++of;
    }
};

} // namespace bench
