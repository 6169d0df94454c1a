#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing.
#   scripts/install-deps.sh build      compilers, CMake, Ninja, GoogleTest
#   scripts/install-deps.sh test       build + the independent readers (ffmpeg, MediaInfo), sample
#                                      picture and memory checker of the tests
#   scripts/install-deps.sh bench      build + the peers of the benchmarks and the pictures and
#                                      fonts their clips are made from
#   scripts/install-deps.sh fuzz       build + clang with its sanitizer and libFuzzer runtimes
#   scripts/install-deps.sh windows    the mingw-w64 cross compiler and GoogleTest's sources
#   scripts/install-deps.sh wine       Wine, which runs the Windows build's tests
set -euo pipefail

task=${1:-build}
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev)
case "$task" in
build) ;;
test) packages+=(ffmpeg mediainfo libjxl-testdata valgrind) ;;
bench) packages+=(ffmpeg libjxl-testdata plasma-workspace-wallpapers fonts-dejavu-core) ;;
fuzz) packages+=(clang libclang-rt-14-dev) ;;
windows) packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest) ;;
wine) packages=(wine wine64) ;;
*)
    echo "usage: $0 build|test|bench|fuzz|windows|wine" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
