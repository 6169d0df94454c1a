#!/usr/bin/env bash
# Builds every preset whole and runs every test: the Linux build (with one render under
# valgrind), a render past 4 GiB in the optimised build, the same suites under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, the fuzz targets
# under libFuzzer, then the Windows build under Wine. The last lines are ctest's summary of the
# Windows tier.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev

# Almost 5 GB written and read back: only an optimised build does that in a minute or two. The
# rest of this build is what scripts/demo.sh uses, so it is built whole here too (and reused when
# the demo has just built it).
cmake --preset release -DKORVADIN_BIG_TESTS=ON >/dev/null
cmake --build --preset release
ctest --preset release -L big

cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

# Built whole like every preset, but only the programs that run encoders, codec slices or host
# calls on several threads at once are run: the rest would repeat the asan tier, slower.
threaded='Concurrency|ThreadCount|ThreadPool'
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -R "$threaded"

# Each fuzz target for a bounded time, and the inputs that once failed replayed.
scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz

scripts/test-windows.sh
