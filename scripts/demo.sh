#!/usr/bin/env bash
# The main job: build the plug-in, render the built-in clip (1920x1080, stereo tone) through it
# into a Korvadin AVI, check every frame by decoding it, read the file back, and decode it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release

out=build/demo
mkdir -p "$out"
korvadin=build/release/bin/korvadin
"$korvadin" codecs
"$korvadin" render -o "$out/clip.avi" --verify
"$korvadin" probe "$out/clip.avi"
"$korvadin" decode "$out/clip.avi" -o "$out/clip.rgb"
echo "demo: every frame of $out/clip.avi matched the clip; decoded frames are in $out/clip.rgb"
