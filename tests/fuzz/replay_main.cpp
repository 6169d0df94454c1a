// The fuzz targets' driver where libFuzzer is not linked: runs every file named, or found in a
// folder named, once through the target, so that the compilers without libFuzzer still replay
// the corpus and the inputs that once failed. Options (arguments beginning with '-') are
// libFuzzer's and are ignored, so both builds take the same command line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void run(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    std::printf("running %s (%zu bytes)\n", file.string().c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        if (arg.string().starts_with("-")) {
            continue;
        }
        if (!std::filesystem::exists(arg)) {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 1;
        }
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(arg);
        }
        for (const auto& file : files) {
            run(file);
        }
        count += files.size();
    }
    std::printf("%zu inputs ran\n", count);
    return 0;
}
