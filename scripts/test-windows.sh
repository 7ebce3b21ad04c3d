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
xvfb_pid=""
finish() {
  scripts/wine-prefix.sh stop
  rm -rf "$WINEPREFIX"
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap finish EXIT
# The window's test needs the X display that Wine's desktop process draws on; that process
# starts with the display of the first program needing it (wineboot, below) and stays, so the
# display is there before the prefix is made. Xvfb picks a free display and names it on fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WINEPREFIX.display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 300); do [[ -s $WINEPREFIX.display ]] && break; sleep 0.1; done
DISPLAY=:$(tr -d '\n' <"$WINEPREFIX.display")
rm -f "$WINEPREFIX.display"
[[ $DISPLAY != : ]] || { echo "Xvfb named no display" >&2; exit 1; }
export DISPLAY KELVANE_WINE_DISPLAY=$DISPLAY
scripts/wine-prefix.sh >/dev/null
ctest --preset windows -j "$jobs"

(cd build/windows && cpack -G ZIP >/dev/null && ls -l kelvane-*-windows-x64.zip)
