#!/usr/bin/env bash
# Builds Kelvane with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test,
# then builds the libFuzzer targets with clang and runs them for a short bounded time.
# Installs what it needs first (Debian, as root). Usage: ./test.sh
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc)
cmake --preset debug
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz
