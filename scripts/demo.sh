#!/usr/bin/env bash
# The main job: builds the plug-in and shows what it offers the editor.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release
build/release/bin/korvadin codecs
