#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those missing, and the
# packages named as arguments (what a script needs beyond that, e.g. imagemagick for
# scripts/screenshot-windows.sh). Runs as root (or through sudo when available). Safe to run
# again. Usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(cmake ninja-build g++ zlib1g-dev libgtest-dev libgmock-dev libcli11-dev libbenchmark-dev
          python3 curl clang libclang-rt-14-dev qt6-base-dev
          lftp wget busybox util-linux procps
          g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev googletest
          wine wine64 fonts-wine libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1
          libxcomposite1 libxfixes3 xvfb xauth "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}" >&2
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
