#!/usr/bin/env bash
# Builds the release preset and measures `korvadin render` against the codec alone and against
# ffmpeg's utvideo, on a real photograph panned across 1920x1080 frames, as 8-bit 4:2:2 Y4M and
# as rgb24 raw video.
#   bench/render_bench.sh [FRAMES] [REPEATS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
frames=${1:-60}
repeats=${2:-3}
"$root/scripts/install-deps.sh" bench
photo=/usr/share/libjxl-testdata/jxl/flower/flower.pnm
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target korvadin_render_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The inputs, made before anything is timed: a 1920x1080 window panning across the photograph
# by whole pixels. ffmpeg's utvideo takes RGB only as planar gbrp, so it gets the same pictures
# converted to that; the 4:2:2 file serves both sides as it is.
pan=(-loop 1 -framerate 25 -i "$photo" -vf "crop=1920:1080:3*n:2*n" -frames:v "$frames")
ffmpeg -hide_banner -loglevel error -nostdin "${pan[@]}" -pix_fmt rgb24 -f rawvideo "$work/in.rgb"
ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt rgb24 -s 1920x1080 \
    -i "$work/in.rgb" -pix_fmt gbrp -f rawvideo "$work/in.gbrp"
ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt rgb24 -s 1920x1080 \
    -i "$work/in.rgb" -vf scale=out_color_matrix=bt709:out_range=tv -pix_fmt yuv422p \
    -f yuv4mpegpipe "$work/in422.y4m"

raw=(-f rawvideo -s 1920x1080 -r 25)
"$root/build/release/bin/korvadin_render_bench" "$root/build/release/bin/korvadin" "$work" \
    "$repeats" \
    "4:2:2 8-bit|K8Y2|$work/in422.y4m|-i,$work/in422.y4m" \
    "RGB 8-bit|K8RG|$work/in.rgb,--raw,1920x1080:rgb24|$(IFS=,; echo "${raw[*]}"),-pix_fmt,gbrp,-i,$work/in.gbrp"
