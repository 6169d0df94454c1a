// A scratch folder of the test program's own, for tests and fuzz targets alike.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <string>

namespace korvadin_test {

// A fresh, empty folder under the system's temporary folder, removed with everything in it
// when it goes out of scope.
class ScratchDir {
public:
    ScratchDir() {
        // Test programs run side by side, also from other build trees: a random run id keeps
        // their folders apart.
        static const std::string run = std::to_string(std::random_device()());
        static std::atomic<int> counter{0};
        m_path = std::filesystem::temp_directory_path() /
                 ("korvadin_test_" + run + "_" + std::to_string(counter++));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

} // namespace korvadin_test
