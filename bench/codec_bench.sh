#!/usr/bin/env bash
# Builds the release preset and measures the codec library against ffmpeg's lossless codecs
# on a real photograph panned across 1920x1080 frames.
#   bench/codec_bench.sh [FRAMES] [REPEATS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" bench
photo=/usr/share/libjxl-testdata/jxl/flower/flower.pnm
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target korvadin_codec_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/build/release/bin/korvadin_codec_bench" "$photo" "$work" "${1:-8}" "${2:-3}"
