#!/usr/bin/env bash
# Builds the release preset and measures `korvadin render --threads 1` against the codec alone
# and against ffmpeg -threads 1 writing its own AVI file, and `korvadin decode` of the file
# against the render that wrote it, on clips of bench/clips.sh made afresh for the run (in a
# folder under build/bench-clips that is removed at the end): 8-bit 4:2:2 from Y4M and 8-bit
# RGB from raw rgb24 against utvideo, 10-bit 4:2:2 from Y4M against ffvhuff.
#   bench/render_bench.sh [FRAMES] [REPEATS] [--clips A,B]
# FRAMES (default 30) of each clip, the best of REPEATS rounds (default 3); the clips by default
# are flower, path, grain and screen.
set -euo pipefail
# shellcheck source=bench/prepare.sh
. "$(dirname "$0")/prepare.sh" korvadin_render_bench 30 "$@"
clips=flower,path,grain,screen
if [ "${args[0]:-}" = --clips ] && [ ${#args[@]} -eq 2 ]; then
    clips=${args[1]}
elif [ ${#args[@]} -ne 0 ]; then
    echo "usage: bench/render_bench.sh [FRAMES] [REPEATS] [--clips A,B]" >&2
    exit 2
fi

# The inputs, made before anything is timed. ffmpeg's utvideo takes RGB only as planar gbrp, so
# it gets the same pictures in that format, which spares it a conversion that ours makes.
cases=()
raw=-f,rawvideo,-s,1920x1080,-r,25
for clip in ${clips//,/ }; do
    bench/clips.sh make "$clip" yuv422p "$frames" "$run/$clip.422.y4m"
    bench/clips.sh make "$clip" rgb24 "$frames" "$run/$clip.rgb"
    bench/clips.sh make "$clip" gbrp "$frames" "$run/$clip.gbrp"
    bench/clips.sh make "$clip" yuv422p10le "$frames" "$run/$clip.422-10.y4m"
    utvideo=-c:v,utvideo,-pred,median
    cases+=("$clip|8-bit 4:2:2|K8Y2|$run/$clip.422.y4m|-i,$run/$clip.422.y4m|$utvideo")
    cases+=("$clip|8-bit RGB|K8RG|$run/$clip.rgb,--raw,1920x1080:rgb24|$raw,-pix_fmt,gbrp,-i,$run/$clip.gbrp|$utvideo")
    cases+=("$clip|10-bit 4:2:2|K0Y2|$run/$clip.422-10.y4m|-i,$run/$clip.422-10.y4m|-c:v,ffvhuff,-pred,median")
done
build/release/bin/korvadin_render_bench build/release/bin/korvadin "$run" "$repeats" "${cases[@]}"
