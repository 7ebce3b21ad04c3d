#!/usr/bin/env bash
# Runs a Windows program under Wine for the Windows integration tests and, through
# scripts/wine-test.sh, for CTest: scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# The prefix is the one scripts/wine-prefix.sh prepared (WINEPREFIX); without one, a private
# prefix under /tmp is used, made on first use. Every run is bounded (KELVANE_WINE_TIMEOUT
# seconds, 600 by default) so that a hung program cannot hold CI.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-/tmp/kelvane-wine-$(id -u)}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  "$(dirname "$0")/wine-prefix.sh" >/dev/null
fi
exec timeout --kill-after=10 "${KELVANE_WINE_TIMEOUT:-600}" wine "$@"
