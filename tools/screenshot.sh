#!/usr/bin/env bash
# Makes docs/screenshot.png: the main window running the demo package with a busy log and a
# busy transfer panel. Builds the release preset and the demo package, starts the window on a
# virtual X display (Xvfb), drives a few FTP clients (Python ftplib, active mode) through it,
# then starts slow downloads (Python, a small receive buffer, paced reads) from several loopback
# addresses, one of them cut short, photographs the window while they run, and stops everything
# it started. Installs xvfb and x11-apps when missing (Debian, as root).
# Usage: tools/screenshot.sh [output.png]; KELVANE_BUILD_DIR picks another build folder than
# build/release.
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

# The demo package with one big entry more, so that the slow downloads outlast what the
# loopback connection's buffers take at once (several megabytes).
cp -r "$demo/package" "$work/package"
python3 -c 'import random, sys; random.seed(3); sys.stdout.buffer.write(random.randbytes(40 << 20))' \
  > "$work/package/firmware/kv3000-full-3.34.bin"
"$build/bin/kelvane-pack" build "$build/bin/kelvane" "$work/package" -o "$work/kelvane-demo" \
  --version 3.34 --store-pattern '*.bin' >/dev/null
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
slow_pid=""
finish() {
  local status=$?
  if [ -n "$slow_pid" ]; then kill "$slow_pid" 2>/dev/null || true; wait "$slow_pid" 2>/dev/null || true; fi
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
  QT_QPA_PLATFORM=xcb "$work/kelvane-demo" >"$work/server.log" 2>&1 &
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

def session(user, work, source="127.0.0.1"):
    # Each device from its own loopback address, so that the panel tells them apart.
    f = ftplib.FTP(source_address=(source, 0))
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

def refused(f):
    # A data port nobody listens on (taken and let go at once): the download is refused.
    f.cwd("firmware")
    host = f.sock.getsockname()[0]
    probe = socket.socket()
    probe.bind((host, 0))
    free = probe.getsockname()[1]
    probe.close()
    f.sendcmd("PORT %s,%d,%d" % (host.replace(".", ","), free // 256, free % 256))
    try:
        f.sendcmd("RETR kv3000-3.34.bin")
    except ftplib.Error:
        pass

for user, work, source in [("anonymous", browse, "127.0.0.1"), ("device17", fetch, "127.0.0.17"),
                           ("anonymous", wrong, "127.0.0.1"), ("device22", fetch, "127.0.0.22"),
                           ("device09", refused, "127.0.0.9")]:
    session(user, work, source)
PY

# Slow downloads of the big image, each device from its own loopback address at its own
# rate, the last one cut (reset) after two and a half seconds, which the panel shows as a lost
# data connection. Each data socket takes a small receive buffer, so that the server's count
# follows what the device has read rather than what the loopback buffers swallowed.
python3 - "$ftp_port" <<'PY' &
import ftplib, socket, struct, sys, threading, time
port = int(sys.argv[1])

def slow(source, rate, cut_after=None):
    f = ftplib.FTP(source_address=(source, 0))
    f.connect("127.0.0.1", port, timeout=60)
    f.login("device" + source.rsplit(".", 1)[1], "guest@example.com")
    f.voidcmd("TYPE I")
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    listener.bind((source, 0))
    listener.listen(1)
    listener.settimeout(30)
    data_port = listener.getsockname()[1]
    f.sendcmd("PORT %s,%d,%d" % (source.replace(".", ","), data_port // 256, data_port % 256))
    f.putcmd("RETR firmware/kv3000-full-3.34.bin")
    conn, _ = listener.accept()
    f.getresp()
    started, got = time.time(), 0
    while True:
        if cut_after is not None and time.time() - started > cut_after:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            break
        data = conn.recv(65536)
        if not data:
            break
        got += len(data)
        ahead = got / rate - (time.time() - started)
        if ahead > 0:
            time.sleep(ahead)
    conn.close()

clients = [("127.0.0.31", 0.6e6, None), ("127.0.0.32", 1.2e6, None), ("127.0.0.33", 2e6, None),
           ("127.0.0.34", 3e6, None), ("127.0.0.35", 0.4e6, 2.5)]
threads = [threading.Thread(target=slow, args=c, daemon=True) for c in clients]
for t in threads:
    t.start()
for t in threads:
    t.join(120)
PY
slow_pid=$!

# Photographs the screen once the slow downloads are well under way (and the cut one has been
# reported), then keeps the window's part of it.
sleep 5
xwd -root -silent -display ":$display" > "$work/shot.xwd"
python3 - "$work/shot.xwd" "$out" <<'PY'
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
