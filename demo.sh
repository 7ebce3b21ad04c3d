#!/usr/bin/env bash
# The demo: installs what is missing (Debian), builds the release preset, packs the demo package
# from samples/ (a generated firmware image, version 3.34, a small documentation site), writes
# its settings (FTP port 2121 in the modern mode, so that every common client works in its own
# default settings, HTTP port 8080) into a demo config folder and runs the server in the
# foreground. Ctrl+C ends it. Usage: ./demo.sh
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target demo_package

demo="$PWD/build/release/demo"
config="$demo/config"
mkdir -p "$config/Varnek Systems" "$demo/logs"
# The settings of an executable named kelvane-demo; LogFile gets the day's date in its name.
cat > "$config/Varnek Systems/kelvane-demo.conf" <<CONF
[Parameters]
FTPPort=2121
FtpMode=modern
HTTPPort=8080
LogFile=$demo/logs/activity.log
CONF

cat <<TEXT

Kelvane demo: $demo/kelvane-demo serves its package on FTP port 2121 and HTTP port 8080.
Try, from another terminal (the demo runs in the modern FTP mode, so no client needs flags):
  curl ftp://127.0.0.1:2121/version.txt
  curl -O ftp://127.0.0.1:2121/firmware/kv3000-3.34.bin
  wget -r ftp://127.0.0.1:2121/
  lftp -e 'mirror; quit' ftp://127.0.0.1:2121/
  python3 -c 'import ftplib; f = ftplib.FTP(); f.connect("127.0.0.1", 2121); f.login(); f.cwd("firmware"); f.retrlines("LIST")'
  and in a browser: http://localhost:8080/www/index.htm
(A device made for the classic server needs no modern mode: FtpMode=classic, the default, answers
byte for byte as that server did, active mode only.)
The log below also goes to $demo/logs/activity<DDMMYYYY>.log. Ctrl+C ends the server.

TEXT

export XDG_CONFIG_HOME="$config"
exec "$demo/kelvane-demo"
