# shellcheck shell=bash disable=SC2034  # the variables it sets are for the script sourcing it
# Sourced by the benchmark scripts, before they run their benchmark:
#   . bench/prepare.sh TARGET DEFAULT_FRAMES "$@"
# takes [FRAMES] [REPEATS] from the front of the script's arguments (setting `frames`, `repeats`
# and `args`, the rest), installs what the benchmarks need, builds TARGET in the release preset
# and makes the run's folder `run` under build/bench-clips, which is removed when the script
# ends, as every clip is made afresh for its run. The working folder is the repository's.
target=$1
frames=$2
shift 2
repeats=3
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
    frames=$1
    shift
fi
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
    repeats=$1
    shift
fi
args=("$@")
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit
scripts/install-deps.sh bench
cmake --preset release >/dev/null
cmake --build --preset release --target "$target" >/dev/null
mkdir -p build/bench-clips
run=$(mktemp -d "build/bench-clips/$target.XXXXXX")
trap 'rm -rf "$run"; echo "$target: $((SECONDS / 60)) min $((SECONDS % 60)) s"' EXIT
