#!/usr/bin/env bash
# Builds the release preset and measures the codec library against ffmpeg's lossless codecs on
# the clips of bench/clips.sh, made afresh for the run.
#   bench/codec_bench.sh [FRAMES] [REPEATS] [OPTIONS]
# FRAMES (default 8) of each clip, the best of REPEATS rounds (default 3). OPTIONS go to
# korvadin_codec_bench, for example:
#   --clips flower,grain --layouts 422,rgb   a few clips and layouts (422 rgb rgba 422-10 rgb-10)
#   --ours-only                              no peers: our own figures alone
#   --baseline OTHER/libkorvadin_common64.so another build measured beside ours, as "base"
#   --library OTHER/libkorvadin_common64.so  that build measured as ours
#   --loops avx2                             the AVX2 loops on an AVX-512 processor (or portable)
#   --verbose                                every contender's own figures as well
set -euo pipefail
# shellcheck source=bench/prepare.sh
. "$(dirname "$0")/prepare.sh" korvadin_codec_bench 8 "$@"
mkdir "$run/clips" "$run/work"
build/release/bin/korvadin_codec_bench --frames "$frames" --repeats "$repeats" "${args[@]}" \
    bench/clips.sh "$run/clips" "$run/work"
