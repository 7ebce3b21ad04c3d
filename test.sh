#!/usr/bin/env bash
# Builds Kelvane with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, runs
# the threaded services' tests again under ThreadSanitizer, builds the optimised release tree
# with its tests and runs them (optimiser-only warnings and -O3 behaviour), cross-builds the
# Windows programs and runs their tests under Wine, then builds the libFuzzer targets with
# clang, replays their seed corpora and fuzzes each for a short time.
# Installs what it needs first (Debian, as root). Usage: ./test.sh
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset debug
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

# The threaded services (transport, HTTP, FTP, the log store) once more under ThreadSanitizer.
cmake --preset tsan
cmake --build --preset tsan -j "$jobs" --target net_test http_test ftp_test logview_test
ctest --preset tsan -j "$jobs" -L 'net|http|ftp|logview' -LE integration

# The release tree, tests included; the stress cases ran above already.
cmake --preset release
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs" -LE stress

# kelvane.exe and kelvane-pack.exe (MinGW-w64), their tests under Wine, the zip.
scripts/test-windows.sh

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
