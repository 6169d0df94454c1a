#include "bench_common.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace bench {

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double clockSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Usage runProgram(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const double start = clockSeconds();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto& a : args) {
            command += a + " ";
        }
        throw std::runtime_error("failed: " + command + "(its output is in " + log + ")");
    }
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), clockSeconds() - start};
}

double ffmpegSeconds(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> command{"ffmpeg", "-hide_banner", "-nostdin", "-nostats",
                                     "-benchmark"};
    command.insert(command.end(), args.begin(), args.end());
    runProgram(command, log);
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const auto user = line.find("utime=");
        const auto system = line.find("stime=");
        if (user != std::string::npos && system != std::string::npos) {
            return std::stod(line.substr(user + 6)) + std::stod(line.substr(system + 6));
        }
    }
    throw std::runtime_error("ffmpeg reported no times (its output is in " + log + ")");
}

uint64_t packetBytes(const std::string& file, const std::string& log) {
    runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size",
                "-of", "csv=p=0", file},
               log);
    std::ifstream in(log);
    uint64_t total = 0;
    uint64_t packets = 0;
    uint64_t size = 0;
    while (in >> size) {
        total += size;
        ++packets;
    }
    if (packets == 0) {
        throw std::runtime_error("ffprobe found no video packets in " + file);
    }
    return total;
}

std::string processorModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown processor";
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " processors";
}

std::string loadAverage() {
    double load[3] = {};
    if (getloadavg(load, 3) != 3) {
        return "unknown";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

void Spread::add(double ratio) {
    const bool worse = m_higherIsBetter ? ratio < m_worst : ratio > m_worst;
    if (m_count == 0 || worse) {
        m_worst = ratio;
    }
    m_logSum += std::log(ratio);
    ++m_count;
}

double Spread::geometricMean() const {
    return m_count == 0 ? 0 : std::exp(m_logSum / m_count);
}

} // namespace bench
