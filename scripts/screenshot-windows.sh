#!/usr/bin/env bash
# Makes docs/screenshot-windows.png: kelvane.exe's Win32 window under Wine with some activity in
# its log and a busy transfer panel. Builds kelvane.exe, kelvane-pack.exe and window_probe.exe
# (windows preset, or reuses build/windows as it stands), packs a small demo package, starts the
# window on a private Xvfb display in a fresh Wine prefix, sends FTP sessions through it (Python
# ftplib, active mode, 127.0.0.1): three downloads that complete, one whose device hangs up
# after the first block, and three slow ones that are still going when the window is
# photographed. Then it closes the window with Exit and checks that the program ended with
# status 0. Installs ImageMagick when missing.
# Usage: scripts/screenshot-windows.sh [output.png]
#
# What makes such a picture come out black or empty, and what this script does about each:
# - Wine's X11 driver in its default "Managed" mode leaves the frame and the caption to a window
#   manager, and Xvfb runs none: the window is drawn without them, off the rectangle Windows
#   reports. The prefix gets Managed=N (scripts/wine-prefix.sh, and again here).
# - The FTP port opens before the window shows (the window's set-up starts the service, then
#   the window is shown), so a picture taken as soon as the port answers shows the bare root
#   window. The probe waits until the window is visible; pictures are then retaken (bounded)
#   until the window's part is not of one colour and two pictures in a row agree above the
#   transfer panel (the panel itself changes a few times a second while downloads run).
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
clients_pid=""
export WINEPREFIX=$work/prefix WINEDEBUG=-all
finish() {
  local status=$?
  if [[ -n $clients_pid ]] && kill -0 "$clients_pid" 2>/dev/null; then
    kill "$clients_pid" 2>/dev/null || true
    wait "$clients_pid" 2>/dev/null || true
  fi
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

# The demo package: the sample pages, firmware images and the version 3.34.
mkdir -p "$work/package/firmware"
cp -r samples/package/. "$work/package/"
python3 - "$work/package/firmware" <<'PY'
import os, random, sys
for name, size in (("kv3000-3.34.bin", 600000), ("kv5000-2.10.bin", 12000000),
                   ("kv7000-1.02.bin", 16000000)):
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(random.Random(name).randbytes(size))
PY
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

# Sessions in active mode: a listing, the small image and a file that is not there; two more
# devices fetching the small image; one that hangs up after the first block of a large image;
# then three slow devices reading large images at a few hundred KB/s, left running in the
# background (ended at the latest by the trap) while the window is photographed.
python3 - "$ftp_port" >"$work/clients.log" 2>&1 <<'PY' &
import ftplib, io, sys, threading, time
port = int(sys.argv[1])

def session(user):
    client = ftplib.FTP()
    client.connect("127.0.0.1", port, timeout=60)
    client.login(user, "guest@example.com")
    client.set_pasv(False)
    client.cwd("firmware")
    return client

client = session("device17")
client.retrlines("LIST", lambda line: None)
client.retrbinary("RETR kv3000-3.34.bin", io.BytesIO().write)
try:
    client.retrbinary("RETR kv3000-3.35.bin", io.BytesIO().write)
except ftplib.error_perm:
    pass
client.quit()
for user in ("device18", "device19"):
    client = session(user)
    client.retrbinary("RETR kv3000-3.34.bin", io.BytesIO().write)
    client.quit()

class HangUp(Exception):
    pass

def hang_up(block):
    raise HangUp()

client = session("device20")
try:
    client.retrbinary("RETR kv5000-2.10.bin", hang_up)
except HangUp:
    pass
client.close()

def slow(user, name, rate):
    client = session(user)
    start, got = time.monotonic(), [0]
    def take(block):
        got[0] += len(block)
        ahead = got[0] / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)  # the device's pace, not a wait for the server
    try:
        client.retrbinary("RETR " + name, take, blocksize=8192)
    except (OSError, EOFError, ftplib.Error):
        pass  # the window closed under it

for user, name, rate in (("device21", "kv7000-1.02.bin", 250e3),
                         ("device22", "kv5000-2.10.bin", 400e3),
                         ("device23", "kv7000-1.02.bin", 150e3)):
    threading.Thread(target=slow, args=(user, name, rate), daemon=True).start()
time.sleep(600)
PY
clients_pid=$!

# The panel, once it shows the finished downloads, the hung-up one and the three slow ones.
for _ in $(seq $((bound * 4))); do
  wine_run "$probe" show --caption 3.34 --wait "$bound" >"$work/window.json" 2>>"$work/probe.log" || true
  grep -q '"In progress: 3    Complete: 3    Failed: 1"' "$work/window.json" && break
  sleep 0.25
done
grep -q '"In progress: 3    Complete: 3    Failed: 1"' "$work/window.json" \
  || { echo "the panel never showed the downloads:" >&2; cat "$work/window.json" "$work/clients.log" >&2; exit 1; }
# A second or two more, so that the slow downloads' bars and rates show some progress.
sleep 2

# The only visible window must be the main window (a message box photographs black).
wine_run "$probe" list >"$work/windows.json" 2>/dev/null
if [[ $(grep -c . "$work/windows.json") -ne 1 ]]; then
  echo "other windows are open:" >&2; cat "$work/windows.json" >&2; exit 1
fi
geometry=$(python3 -c '
import json, sys
left, top, right, bottom = json.load(open(sys.argv[1]))["rect"]
print("%dx%d+%d+%d" % (right - left, bottom - top, left, top))' "$work/window.json")
# The part above the transfer panel, for telling a still picture: the caption, the address line
# and the log.
still=$(python3 -c '
import json, sys
window = json.load(open(sys.argv[1]))
left, top, right, bottom = window["rect"]
print("%dx%d+0+0" % (right - left, (bottom - top) * 55 // 100))' "$work/window.json")

# Photographs until the window's part is painted (not of one colour) and two pictures agree.
previous=""
shot=""
for i in $(seq 40); do
  import -window root "$work/root$i.png"
  # A window of another process may show over it for a while (in a fresh prefix one of Wine's
  # own programs may crash and show the debugger's window): such a picture does not count.
  wine_run "$probe" list >"$work/windows.json" 2>/dev/null
  if [[ $(grep -c . "$work/windows.json") -ne 1 ]]; then
    previous=""
    sleep 0.25
    continue
  fi
  convert "$work/root$i.png" -crop "$geometry" +repage "$work/shot$i.png"
  deviation=$(convert "$work/shot$i.png" -format '%[fx:standard_deviation]' info:)
  digest=$(convert "$work/shot$i.png" -crop "$still" +repage rgb:- | md5sum)
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
