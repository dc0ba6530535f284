#!/usr/bin/env bash
# Builds the Windows console program twice with mingw-w64: for i686 (the
# release, a 32-bit program) and for x86_64 (the one that runs under this
# machine's 64-bit Wine). Checks what both import, then runs the unit tests
# and the end-to-end suite of the 64-bit build under Wine, in a scratch
# prefix. The released 32-bit program is run by scripts/test-win32.sh.
#
# Needs g++-mingw-w64-i686, g++-mingw-w64-x86-64, wine64 and the locale
# ru_RU.UTF-8 (make test-windows installs them and makes the locale,
# scripts/add-locale.sh). Wine runs under that locale: its ANSI code page is
# then Windows-1251, as on a Russian Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build_type=${BUILD_TYPE:-RelWithDebInfo}
wine_dir=/usr/lib/wine

configure_and_build() {  # directory toolchain [cmake options...]; builds $targets, or all
  local dir=$1 toolchain=$2
  shift 2
  [ -f "$dir/CMakeCache.txt" ] ||
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" -DCMAKE_BUILD_TYPE="$build_type" "$@"
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
}

# The program must run with nothing beside it: a console program whose
# imports are system libraries only (ADVAPI32 for the list's access list,
# which a list's new file is made with).
check_imports() {  # objdump program expected-format
  local objdump=$1 program=$2 format=$3
  local headers imports
  headers=$("$objdump" -p "$program")
  if ! grep -q "file format $format" <<<"$headers"; then
    echo "FAIL: $program is not $format" >&2
    return 1
  fi
  if ! grep -q "Subsystem.*(Windows CUI)" <<<"$headers"; then
    echo "FAIL: $program is not a console program" >&2
    return 1
  fi
  imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort | tr '\n' ' ')
  echo "$program imports: $imports"
  for dll in $imports; do
    case "$dll" in
      KERNEL32.dll | USER32.dll | ADVAPI32.dll | msvcrt.dll) ;;
      *)
        echo "FAIL: $program imports $dll; only KERNEL32.dll, USER32.dll, ADVAPI32.dll and msvcrt.dll are allowed" >&2
        return 1
        ;;
    esac
  done
}

echo "== build-win32 (i686, the release program)"
# The tests are configured (scripts/test-win32.sh builds its suite here) but
# not built.
targets=logharvest configure_and_build build-win32 mingw-w64-i686.cmake -DLOGHARVEST_TESTS=ON
check_imports i686-w64-mingw32-objdump build-win32/logharvest.exe pei-i386
stripped=$(mktemp)
i686-w64-mingw32-strip -o "$stripped" build-win32/logharvest.exe
echo "build-win32/logharvest.exe: $(stat -c %s build-win32/logharvest.exe) bytes as built ($build_type)," \
  "$(stat -c %s "$stripped") bytes stripped"
rm -f "$stripped"

echo "== build-win64 (x86_64, run under Wine)"
configure_and_build build-win64 mingw-w64-x86_64.cmake
check_imports x86_64-w64-mingw32-objdump build-win64/logharvest.exe pei-x86-64

echo "== tests under Wine"
locale -a | grep -qx 'ru_RU\.utf8' || {
  echo "FAIL: no locale ru_RU.UTF-8, without which Wine's ANSI code page is not 1251 (scripts/add-locale.sh makes it)" >&2
  exit 1
}
export LANG=ru_RU.UTF-8
unset LC_ALL LC_CTYPE
scratch=$(mktemp -d "${TMPDIR:-/tmp}/logharvest-wine-XXXXXX")
export WINEPREFIX="$scratch/prefix"
export WINESERVER="$wine_dir/wineserver64"
export WINEDEBUG=-all
# No installer prompts for the .NET and HTML engines; console programs need
# no display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# What Wine keeps beside the prefix (font cache, menus) stays in the scratch
# directory too.
export XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
# The server's socket lives in a directory of its own in /tmp, named after the
# prefix's device and inode: server-DEV-INODE in a wine-XXXXXX directory.
mkdir -p "$WINEPREFIX"
server_dir_name=$(stat -c '%d %i' "$WINEPREFIX" | { read -r dev inode; printf 'server-%x-%x' "$dev" "$inode"; })
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w 2>/dev/null || true
  local server_dir
  for server_dir in /tmp/wine-*/"$server_dir_name" /tmp/.wine-"$(id -u)"/"$server_dir_name"; do
    [ -d "$server_dir" ] || continue
    rm -rf "$server_dir"
    rmdir "$(dirname "$server_dir")" 2>/dev/null || true
  done
  rm -rf "$scratch"
}
trap cleanup EXIT
# One server for every program of the run; the prefix is made once.
"$WINESERVER" -p
start=$(date +%s)
"$wine_dir/wine64" wineboot --init >"$scratch/wineboot.log" 2>&1 || {
  cat "$scratch/wineboot.log" >&2
  exit 1
}
echo "scratch prefix ready in $(($(date +%s) - start)) s"
# The code section of the program under test, as offsets from its image base:
# a fatal report's code offset must lie in it.
base=$(x86_64-w64-mingw32-objdump -p build-win64/logharvest.exe | awk '$1 == "ImageBase" {print $2}')
read -r size vma < <(x86_64-w64-mingw32-objdump -h build-win64/logharvest.exe | awk '$2 == ".text" {print $3, $4}')
begin=$((0x$vma - 0x$base))
export LOGHARVEST_CODE_SECTION=$(printf '%X-%X' "$begin" $((begin + 0x$size)))
# Each test program is one ctest test started under Wine. Shown: failures,
# skipped cases by name with their reason, and the totals.
ctest --test-dir build-win64 -V -j 1 --timeout 600 |
  grep -v -E '^[0-9]+: (\[ *(RUN|OK) *\]|\[-+\]|$)|^(UpdateCTestConfiguration|Internal ctest|Constructing|Done constructing|Updating test list|Added 0 tests|Checking test dependency)'
