#!/usr/bin/env bash
# Builds everything and runs every test. The last lines are ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
