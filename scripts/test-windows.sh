#!/usr/bin/env bash
# The Windows tier: the mingw-w64 cross build and its tests under Wine, in a Wine prefix of its
# own in a temporary folder, removed afterwards. Run after the Linux build (scripts/test.sh does)
# so that the Linux and Windows renders can be compared byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
have_wine=1
if ! scripts/install-deps.sh wine || ! command -v wine >/dev/null; then
    have_wine=0
fi

cmake --preset mingw >/dev/null
cmake --build --preset mingw

if [ "$have_wine" -eq 0 ]; then
    echo "Windows tier: Wine could not be installed, so its tests under Wine are SKIPPED;" \
        "checking the plug-in's export and import tables only." >&2
    cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DKIND=DLL \
        -DFILE=build/mingw/bin/korvadin_encoder_plugin.dvcp -DEXPORTS=pluginInit@1 \
        -DOURS=korvadin_common64.dll -DREQUIRED=korvadin_common64.dll \
        -P tests/windows/pe_tables.cmake
    exit 0
fi

KORVADIN_WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/korvadin-wine.XXXXXX")
export KORVADIN_WINEPREFIX
cleanup() {
    WINEPREFIX=$KORVADIN_WINEPREFIX wineserver -k 2>/dev/null || true
    rm -rf "$KORVADIN_WINEPREFIX"
}
trap cleanup EXIT
# A test whose program Wine fails to start (seen once in CI: failed in 0.03 s with no output of
# its own, then passed in every rerun) gets one more run; a real failure fails both runs.
ctest --preset mingw --repeat until-pass:2
