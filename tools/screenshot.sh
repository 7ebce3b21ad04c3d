#!/usr/bin/env bash
# Makes docs/screenshot.png: the main window running the demo package with a busy log. Builds
# the release preset and the demo package, starts the window on a virtual X display (Xvfb),
# drives a few FTP clients (Python ftplib, active mode, 127.0.0.1) through it, photographs the
# window, and stops everything it started. Installs xvfb and x11-apps when missing (Debian, as
# root). Usage: tools/screenshot.sh [output.png]; KELVANE_BUILD_DIR picks another build folder
# than build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/screenshot.png}"

scripts/install-deps.sh
missing=()
for p in xvfb x11-apps; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
fi

build="${KELVANE_BUILD_DIR:-$PWD/build/release}"
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target demo_package

demo="$build/demo"
work="$(mktemp -d)"
ftp_port=2121
http_port=8080
mkdir -p "$work/config/Varnek Systems"
cat > "$work/config/Varnek Systems/kelvane-demo.conf" <<CONF
[Parameters]
FTPPort=$ftp_port
HTTPPort=$http_port
CONF

xvfb_pid=""
server_pid=""
finish() {
  local status=$?
  if [ -n "$server_pid" ]; then
    # SIGTERM closes the window as Exit does; the server then ends with status 0.
    kill "$server_pid" 2>/dev/null || true
    local server_status=0
    wait "$server_pid" 2>/dev/null || server_status=$?
    echo "server ended with status $server_status" >&2
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT

# A free display number: the first without a lock file.
display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x640x24 -nolisten tcp -br >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

env -u KELVANE_HEADLESS -u WAYLAND_DISPLAY DISPLAY=":$display" XDG_CONFIG_HOME="$work/config" \
  QT_QPA_PLATFORM=xcb "$demo/kelvane-demo" >"$work/server.log" 2>&1 &
server_pid=$!

# Waits (bounded) for the FTP port, then sends a handful of sessions through it.
python3 - "$ftp_port" <<'PY'
import ftplib, io, socket, sys, time
port = int(sys.argv[1])
deadline = time.time() + 30
while True:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        break
    except OSError:
        if time.time() > deadline:
            sys.exit("the server did not listen on port %d" % port)
        time.sleep(0.2)

def session(user, work):
    f = ftplib.FTP()
    f.connect("127.0.0.1", port, timeout=10)
    f.login(user, "guest@example.com")
    f.set_pasv(False)
    work(f)
    f.quit()

def browse(f):
    f.retrlines("LIST", lambda line: None)
    f.cwd("firmware")
    f.retrlines("LIST", lambda line: None)

def fetch(f):
    f.retrbinary("RETR version.txt", io.BytesIO().write)
    f.cwd("firmware")
    try:
        f.size("kv3000-3.34.bin")  # answered 502: the log shows the refusal too
    except ftplib.error_perm:
        pass
    f.retrbinary("RETR kv3000-3.34.bin", io.BytesIO().write)

def wrong(f):
    try:
        f.retrbinary("RETR missing.bin", io.BytesIO().write)
    except ftplib.error_perm:
        pass

for user, work in [("anonymous", browse), ("device17", fetch), ("anonymous", wrong),
                   ("device22", fetch)]:
    session(user, work)
PY

# Photographs the screen until two pictures in a row agree (the log has been painted), then
# keeps the window's part of it.
prev=""
for i in $(seq 20); do
  xwd -root -silent -display ":$display" > "$work/shot$i.xwd"
  if [ -n "$prev" ] && cmp -s "$prev" "$work/shot$i.xwd"; then break; fi
  prev="$work/shot$i.xwd"
  sleep 0.5
done
python3 - "$work/shot$i.xwd" "$out" <<'PY'
# XWD (ZPixmap, 24 or 32 bits per pixel) to PNG, cropped to what differs from the black screen.
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
fields = struct.unpack(">25I", data[:100])
header_size, pixmap_format, width, height = fields[0], fields[2], fields[4], fields[5]
byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
assert pixmap_format == 2 and bits_per_pixel in (24, 32), "unexpected XWD layout"
pixels = data[header_size + 12 * ncolors:]
step = bits_per_pixel // 8
def rgb(x, y):
    o = y * bytes_per_line + x * step
    b, g, r = (pixels[o], pixels[o + 1], pixels[o + 2]) if byte_order == 0 else \
        (pixels[o + step - 1], pixels[o + step - 2], pixels[o + step - 3])
    return bytes((r, g, b))
black = b"\0\0\0"
rows = [y for y in range(height) if any(rgb(x, y) != black for x in range(0, width, 4))]
cols = [x for x in range(width) if any(rgb(x, y) != black for y in range(0, height, 4))]
top, bottom, left, right = rows[0], rows[-1], cols[0], cols[-1]
raw = b"".join(b"\0" + b"".join(rgb(x, y) for x in range(left, right + 1))
               for y in range(top, bottom + 1))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
w, h = right - left + 1, bottom - top + 1
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) + \
    chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
print("%s: %dx%d, %d bytes" % (sys.argv[2], w, h, len(png)))
PY
