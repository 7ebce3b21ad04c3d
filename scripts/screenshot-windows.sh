#!/usr/bin/env bash
# Makes docs/screenshot-windows.png: kelvane.exe's Win32 window under Wine with some activity in
# its log. Builds kelvane.exe, kelvane-pack.exe and window_probe.exe (windows preset, or reuses
# build/windows as it stands), packs a small demo package, starts the window on a private Xvfb
# display in a fresh Wine prefix, sends one FTP session with a download through it (Python
# ftplib, active mode, 127.0.0.1), photographs the window, then closes it with Exit and checks
# that the program ended with status 0. Installs ImageMagick when missing.
# Usage: scripts/screenshot-windows.sh [output.png]
#
# What makes such a picture come out black or empty, and what this script does about each:
# - Wine's X11 driver in its default "Managed" mode leaves the frame and the caption to a window
#   manager, and Xvfb runs none: the window is drawn without them, off the rectangle Windows
#   reports. The prefix gets Managed=N (scripts/wine-prefix.sh, and again here).
# - The FTP port opens before the window shows (the window's set-up starts the service, then
#   the window is shown), so a picture taken as soon as the port answers shows the bare root
#   window. The probe waits until the window is visible; pictures are then retaken (bounded)
#   until the window's part is not of one colour and two pictures in a row agree.
# - A message box over the window photographs black: the picture is taken only while the main
#   window is the program's one visible window.
# - Wine's desktop process (explorer.exe) starts with the display of the first program that
#   needs it and inherits that program's streams: the prefix is made with DISPLAY already set,
#   and every Wine program here writes to files, never to a pipe.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshot-windows.png}"
bound=90  # seconds for anything that should happen promptly

scripts/install-deps.sh imagemagick
build=build/windows
if [[ ! -f $build/CMakeCache.txt ]]; then cmake --preset windows >/dev/null; fi
cmake --build "$build" -j "$(nproc)" --target kelvane kelvane-pack window_probe >/dev/null
bin=$PWD/$build/bin
probe=$bin/window_probe.exe

work=$(mktemp -d /tmp/kelvane-screenshot.XXXXXX)
xvfb_pid=""
server_pid=""
export WINEPREFIX=$work/prefix WINEDEBUG=-all
finish() {
  local status=$?
  if [[ -n $server_pid ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [[ -d $WINEPREFIX ]]; then scripts/wine-prefix.sh stop; fi
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT

# Xvfb picks a free display itself and names it on descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq $((bound * 10))); do [[ -s $work/display ]] && break; sleep 0.1; done
[[ -s $work/display ]] || { echo "Xvfb named no display" >&2; exit 1; }
DISPLAY=:$(tr -d '\n' <"$work/display")
export DISPLAY

scripts/wine-prefix.sh >/dev/null
wine_run() { KELVANE_WINE_TIMEOUT=$bound scripts/wine-run.sh "$@" </dev/null; }
wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null

# The demo package: the sample pages, a firmware image and the version 3.34.
mkdir -p "$work/package/firmware"
cp -r samples/package/. "$work/package/"
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(334).randbytes(600000))' \
  >"$work/package/firmware/kv3000-3.34.bin"
winpath() { echo "Z:${1//\//\\}"; }
wine_run "$bin/kelvane-pack.exe" build "$(winpath "$bin/kelvane.exe")" "$(winpath "$work/package")" \
  -o "$(winpath "$work/kelvane-demo.exe")" --version 3.34 --store-pattern '*.bin' >"$work/pack.log" 2>&1 \
  || { cat "$work/pack.log" >&2; exit 1; }

read -r ftp_port http_port < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))')
key='HKCU\Software\Varnek Systems\kelvane-demo\Parameters'
wine_run reg add "$key" /v FTPPort /t REG_DWORD /d "$ftp_port" /f >/dev/null
wine_run reg add "$key" /v HTTPPort /t REG_DWORD /d "$http_port" /f >/dev/null

env -u KELVANE_HEADLESS -u KELVANE_PASSWORD -u ARC2 KELVANE_WINE_TIMEOUT=600 \
  scripts/wine-run.sh "$work/kelvane-demo.exe" </dev/null >"$work/server.log" 2>&1 &
server_pid=$!

# The window, once visible; its rectangle on the screen (Managed=N: the X window's too).
wine_run "$probe" show --caption 3.34 --wait "$bound" >"$work/window.json" 2>"$work/probe.log" \
  || { cat "$work/probe.log" "$work/server.log" >&2; exit 1; }

# One session: a listing, the firmware image and a file that is not there, in active mode.
python3 - "$ftp_port" <<'PY'
import ftplib, io, sys
client = ftplib.FTP()
client.connect("127.0.0.1", int(sys.argv[1]), timeout=60)
client.login("device17", "guest@example.com")
client.set_pasv(False)
client.retrlines("LIST", lambda line: None)
client.cwd("firmware")
client.retrbinary("RETR kv3000-3.34.bin", io.BytesIO().write)
try:
    client.retrbinary("RETR kv3000-3.35.bin", io.BytesIO().write)
except ftplib.error_perm:
    pass
client.quit()
PY

# The only visible window must be the main window (a message box photographs black).
wine_run "$probe" list >"$work/windows.json" 2>/dev/null
if [[ $(grep -c . "$work/windows.json") -ne 1 ]]; then
  echo "other windows are open:" >&2; cat "$work/windows.json" >&2; exit 1
fi
geometry=$(python3 -c '
import json, sys
left, top, right, bottom = json.load(open(sys.argv[1]))["rect"]
print("%dx%d+%d+%d" % (right - left, bottom - top, left, top))' "$work/window.json")

# Photographs until the window's part is painted (not of one colour) and two pictures agree.
previous=""
shot=""
for i in $(seq 40); do
  import -window root "$work/root$i.png"
  convert "$work/root$i.png" -crop "$geometry" +repage "$work/shot$i.png"
  deviation=$(convert "$work/shot$i.png" -format '%[fx:standard_deviation]' info:)
  digest=$(convert "$work/shot$i.png" rgb:- | md5sum)
  if python3 -c 'import sys; sys.exit(float(sys.argv[1]) <= 0.01)' "$deviation" &&
     [[ $digest == "$previous" ]]; then
    shot=$work/shot$i.png
    break
  fi
  previous=$digest
  sleep 0.25
done
[[ -n $shot ]] || { echo "the window never showed painted and still" >&2; exit 1; }
cp "$shot" "$out"
echo "$out: $(convert "$out" -format '%wx%h' info:)"

# Exit, as a user would press it; the program ends with status 0.
wine_run "$probe" close --caption 3.34 --exit-button --wait "$bound" >/dev/null
for _ in $(seq $((bound * 10))); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server_pid" 2>/dev/null; then echo "kelvane-demo.exe did not end" >&2; exit 1; fi
status=0
wait "$server_pid" || status=$?
server_pid=""
if [[ $status -ne 0 ]]; then
  echo "kelvane-demo.exe ended with status $status" >&2; cat "$work/server.log" >&2; exit 1
fi
