#!/usr/bin/env bash
# Prepares the Wine prefix the Windows tests run in and starts a persistent wineserver for it,
# so that each test run starts in well under a second instead of waiting for Wine's helper
# processes: scripts/wine-prefix.sh [start|stop]
#
# WINEPREFIX names the prefix (/tmp/kelvane-wine-<uid> by default). `stop` ends the wineserver.
set -euo pipefail
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-/tmp/kelvane-wine-$(id -u)}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

case ${1:-start} in
  stop)
    timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
  start) ;;
  *) echo "usage: $0 [start|stop]" >&2; exit 2 ;;
esac

mkdir -p "$WINEPREFIX"
# The server's standard streams go nowhere: a server holding a test's pipe would keep it open.
timeout 30 wineserver -p </dev/null >/dev/null 2>&1 || true
timeout 180 wine wineboot -i </dev/null >/dev/null 2>&1
# Debian's Wine loads only the bitmap fonts of its own font folder, not its TrueType ones:
# without Tahoma ("MS Shell Dlg") dialogs take another font's sizes, and without Marlett the
# caption buttons show as letters. Fonts in the prefix's Fonts folder are loaded.
fonts=$WINEPREFIX/drive_c/windows/Fonts
if [[ -d /usr/share/wine/fonts && -d $fonts ]]; then
  for font in /usr/share/wine/fonts/*.ttf; do
    [[ -e $fonts/${font##*/} ]] || ln -s "$font" "$fonts/"
  done
fi
# Without a window manager (Xvfb) Wine's own decorations keep windows where they are put.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
  </dev/null >/dev/null 2>&1
echo "$WINEPREFIX"
