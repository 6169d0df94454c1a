#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build, then the Windows build under Wine.
# The last lines are ctest's summary of the Windows tier.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev

scripts/test-windows.sh
