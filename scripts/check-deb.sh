#!/usr/bin/env bash
# Builds the release tree, makes the Debian package with CPack, checks it with lintian (fails
# on errors), installs it with apt-get, checks what it installed, serves a package built with
# the installed kelvane-pack over FTP (active mode, loopback, free ports, its own settings),
# and removes and purges it again. Runs as root on Debian; installs dpkg-dev, lintian and
# python3 when missing. Every wait is bounded. Usage: scripts/check-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${KELVANE_JOBS:-2}
bound=30  # seconds for anything that should happen promptly

fail() { echo "check-deb: $*" >&2; exit 1; }

missing=()
for p in dpkg-dev lintian python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

cmake --preset release
cmake --build --preset release -j "$jobs"
rm -f build/release/kelvane_*.deb
(cd build/release && cpack -G DEB)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
deb="$PWD/build/release/kelvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"

# Only the two programs and their files; no test, benchmark or demo program.
dpkg-deb -c "$deb" | awk '{print $6}' | sort > build/release/deb-contents.txt
programs=$(grep -E '^\./usr/bin/.' build/release/deb-contents.txt | tr '\n' ' ')
[ "$programs" = "./usr/bin/kelvane ./usr/bin/kelvane-pack " ] || fail "programs in the package: $programs"
for f in usr/share/man/man1/kelvane.1.gz usr/share/man/man1/kelvane-pack.1.gz \
         usr/share/applications/kelvane.desktop usr/share/icons/hicolor/scalable/apps/kelvane.svg \
         usr/share/icons/hicolor/64x64/apps/kelvane.png usr/lib/systemd/system/kelvane@.service \
         usr/share/doc/kelvane/copyright usr/share/doc/kelvane/changelog.gz; do
  grep -qx "\./$f" build/release/deb-contents.txt || fail "$f is not in the package"
done

lintian_out=$(lintian --tag-display-limit 0 "$deb" || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then fail "lintian reports errors"; fi

tmp=$(mktemp -d /tmp/kelvane-check-deb.XXXXXX)
cleanup() {
  rm -rf "$tmp"
  rm -f /var/lib/kelvane/check-deb
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >&2
[ "$(kelvane --version)" = "kelvane $version" ] || fail "kelvane --version: $(kelvane --version)"
[ "$(kelvane-pack --version)" = "kelvane-pack $version" ] || fail "kelvane-pack --version"
getent passwd kelvane >/dev/null || fail "no kelvane user"
[ "$(stat -c %U /var/lib/kelvane/config)" = kelvane ] || fail "/var/lib/kelvane/config is not kelvane's"
[ -d /var/log/kelvane ] || fail "no /var/log/kelvane"
[ "$(stat -c %U /var/lib/kelvane)" = root ] || fail "/var/lib/kelvane is not root's"

mkdir -p "$tmp/site/fw"
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(5).randbytes(200000))' \
  > "$tmp/site/fw/image.bin"
kelvane-pack build /usr/bin/kelvane "$tmp/site" -o "$tmp/srv" --version 1.0

# The unit as the package installed it, checked with a server where its ExecStart looks.
if command -v systemd-analyze >/dev/null; then
  cp "$tmp/srv" /var/lib/kelvane/check-deb
  systemd-analyze verify --man=no /usr/lib/systemd/system/kelvane@check-deb.service
  rm -f /var/lib/kelvane/check-deb
fi

python3 - "$tmp" "$bound" <<'EOF'
import ftplib, io, os, random, signal, socket, subprocess, sys, threading

tmp, bound = sys.argv[1], int(sys.argv[2])

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

ftp_port, http_port = free_port(), free_port()
config = os.path.join(tmp, "config")
os.makedirs(os.path.join(config, "Varnek Systems"))
with open(os.path.join(config, "Varnek Systems", "srv.conf"), "w") as f:
    f.write("[Parameters]\nFTPPort=%d\nHTTPPort=%d\n" % (ftp_port, http_port))
env = {k: v for k, v in os.environ.items() if k not in ("ARC2", "KELVANE_PASSWORD")}
env.update(KELVANE_HEADLESS="1", XDG_CONFIG_HOME=config)
server = subprocess.Popen([os.path.join(tmp, "srv")], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
running = threading.Event()
def read_stderr():
    for line in server.stderr:
        sys.stderr.write("server: " + line.decode("latin-1"))
        if line.startswith(b"Kelvane is running"):
            running.set()
threading.Thread(target=read_stderr, daemon=True).start()
try:
    if not running.wait(bound):
        sys.exit("check-deb: the server did not start")
    with ftplib.FTP() as client:
        client.connect("127.0.0.1", ftp_port, timeout=bound)
        client.login()
        client.set_pasv(False)
        data = io.BytesIO()
        client.retrbinary("RETR fw/image.bin", data.write)
        version = io.BytesIO()
        client.retrbinary("RETR version.txt", version.write)
    if data.getvalue() != random.Random(5).randbytes(200000):
        sys.exit("check-deb: fw/image.bin came back different")
    if version.getvalue() != b"1.0\r\n":
        sys.exit("check-deb: version.txt is %r" % version.getvalue())
    server.send_signal(signal.SIGTERM)
    status = server.wait(bound)
    if status != 0:
        sys.exit("check-deb: the server ended with status %d" % status)
finally:
    if server.poll() is None:
        server.kill()
        server.wait()
print("check-deb: served %d bytes over active-mode FTP" % len(data.getvalue()))
EOF

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kelvane >&2
[ ! -e /usr/bin/kelvane ] || fail "/usr/bin/kelvane is still there after remove"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq kelvane >&2
case "$(dpkg-query -W -f='${db:Status-Abbrev}' kelvane 2>/dev/null || true)" in
  "" | un*) ;;
  *) fail "kelvane is still installed or configured after purge" ;;
esac
[ ! -e /var/log/kelvane ] || fail "/var/log/kelvane is still there after purge"
echo "check-deb: $(basename "$deb") built, lintian-clean of errors, installed, served, removed"
