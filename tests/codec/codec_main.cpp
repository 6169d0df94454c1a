// The codec suites run as they are and, with --cpu=portable, on the portable loops alone, so that
// both builds of every loop meet every test.
#include <gtest/gtest.h>

#include <string_view>

#include "korvadin_common64.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--cpu=portable") {
            korvadin_set_cpu_mask(0);
        }
    }
    return RUN_ALL_TESTS();
}
