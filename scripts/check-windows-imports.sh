#!/usr/bin/env bash
# Checks that kelvane.exe and kelvane-pack.exe import only DLLs every Windows has, so that the
# zip's programs start on a bare PC: scripts/check-windows-imports.sh BUILD_DIR
#
# Lists each program's imports with MinGW-w64's objdump and fails (exit 1), naming the program
# and the DLL, on any other import -- a zlib1.dll, libstdc++-6.dll or libwinpthread-1.dll that a
# link without -static would bring in. Exit 2 on a usage error or a missing program.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
bin=$1/bin
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# The system's own DLLs, in lower case. The Universal C runtime's api-ms-win-crt-* sets count
# too, but only for a toolchain that links it (Windows 10 ships them); Debian's links msvcrt.
allowed=(kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ws2_32.dll mswsock.dll
  comctl32.dll comdlg32.dll ole32.dll oleaut32.dll msvcrt.dll iphlpapi.dll)
ucrt=false
if "${MINGW_GCC:-x86_64-w64-mingw32-gcc-posix}" -dumpspecs 2>/dev/null | grep -q -- '-lucrt'; then
  ucrt=true
fi

is_allowed() {
  local lower=${1,,} known
  [[ $ucrt == true && $lower == api-ms-win-crt-*.dll ]] && return 0
  for known in "${allowed[@]}"; do
    [[ $lower == "$known" ]] && return 0
  done
  return 1
}

status=0
for program in kelvane.exe kelvane-pack.exe; do
  if [[ ! -f $bin/$program ]]; then
    echo "check-windows-imports: $bin/$program is missing" >&2
    exit 2
  fi
  if ! dump=$("$objdump" -p "$bin/$program"); then
    echo "check-windows-imports: $objdump cannot read $bin/$program" >&2
    exit 2
  fi
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr -d '\r')
  if [[ -z $dlls ]]; then
    echo "check-windows-imports: $program imports nothing; is it a Windows program?" >&2
    exit 2
  fi
  while IFS= read -r dll; do
    is_allowed "$dll" && continue
    echo "check-windows-imports: $program imports $dll, which Windows does not have" >&2
    status=1
  done <<<"$dlls"
  echo "$program: $(tr '\n' ' ' <<<"$dlls")"
done
exit $status
