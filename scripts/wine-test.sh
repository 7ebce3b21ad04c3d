#!/usr/bin/env bash
# Runs one test program under Wine for CTest (the cross build's emulator, also used to list a
# program's tests): scripts/wine-test.sh PROGRAM.exe [ARGUMENTS...]
#
# As scripts/wine-run.sh, with one addition. A test program prints its first line before any
# test runs, and a crash or an abort still leaves the runtime's or Wine's report, so a run that
# fails without a byte on either stream never reached the program: Wine failed to start it
# (seen once in several thousand runs, with WINEDEBUG=-all hiding why). That run is reported
# with its status and time, and the program is run once more; any other outcome stands.
set -uo pipefail
here=$(dirname "$0")
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

for attempt in 1 2; do
  started=$(date +%s%N)
  "$here/wine-run.sh" "$@" >"$out" 2>"$err"
  status=$?
  if ((status == 0 || attempt == 2)) || [[ -s $out || -s $err ]]; then break; fi
  elapsed=$((($(date +%s%N) - started) / 1000000))
  echo "wine-test: ${1##*/} ended with status $status after $elapsed ms without any output;" \
    "Wine did not start it, running it again" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
