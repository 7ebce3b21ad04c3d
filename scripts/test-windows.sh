#!/usr/bin/env bash
# The Windows build and its tests: cross-builds kelvane.exe, kelvane-pack.exe and the test
# programs with MinGW-w64 (windows preset), checks that the programs import only DLLs every
# Windows has, runs every test under Wine in a fresh prefix (the window's test under Xvfb),
# and makes the zip. Usage: scripts/test-windows.sh (after scripts/install-deps.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
cmake --preset windows
cmake --build --preset windows -j "$jobs"
scripts/check-windows-imports.sh build/windows

# One prefix for the whole run, thrown away after it; its wineserver stays up meanwhile so that
# each test program starts in well under a second.
WINEPREFIX=$(mktemp -d /tmp/kelvane-wine.XXXXXX)
export WINEPREFIX
trap 'scripts/wine-prefix.sh stop; rm -rf "$WINEPREFIX"' EXIT
scripts/wine-prefix.sh >/dev/null
ctest --preset windows -j "$jobs"

(cd build/windows && cpack -G ZIP >/dev/null && ls -l kelvane-*-windows-x64.zip)
