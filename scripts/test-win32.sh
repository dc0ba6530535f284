#!/usr/bin/env bash
# Runs the Windows end-to-end suite against the 32-bit logharvest.exe exactly
# as released: the one in the .zip that `make package` left in DIRECTORY
# (default out/). The suite's own program is built for i686 too
# (build-win32/logharvest_win_e2e_tests.exe) and told where the program under
# test lies; both run under 32-bit Wine through scripts/wine32-env.sh.
# The suite also checks that a fatal report's code offset lies in the code
# section of that same file, as objdump gives it.
#
# Needs root, g++-mingw-w64-i686, unzip and what scripts/wine32-env.sh needs
# (make test-win32 installs them). Run from the top of the work tree.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}
jobs=${JOBS:-2}
version=$(sed -n 's/^project(logharvest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
folder=logharvest-$version-win32
zip=$out/$folder.zip
[ -f "$zip" ] || { echo "test-win32: no $zip; make package makes it" >&2; exit 1; }

echo "== build-win32: the end-to-end suite for i686"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DLOGHARVEST_TESTS=ON
cmake --build build-win32 -j "$jobs" --target logharvest_win_e2e_tests

# The released program, unpacked inside the work tree, which Wine sees
# under Z:\host.
shipped=build-win32-shipped
rm -rf "$shipped"
unzip -q "$zip" -d "$shipped"
exe=$shipped/$folder/logharvest.exe
# The code section as offsets from the image base.
base=$(i686-w64-mingw32-objdump -p "$exe" | awk '$1 == "ImageBase" {print $2}')
read -r size vma < <(i686-w64-mingw32-objdump -h "$exe" | awk '$2 == ".text" {print $3, $4}')
[ -n "$base" ] && [ -n "$vma" ] || { echo "test-win32: no ImageBase or .text in $exe" >&2; exit 1; }
begin=$((0x$vma - 0x$base))
section=$(printf '%X-%X' "$begin" $((begin + 0x$size)))
echo "$zip: $(basename "$exe"), code section $section from the image base 0x$base"

echo "== the end-to-end suite against $exe under 32-bit Wine"
start=$(date +%s)
set +e
scripts/wine32-env.sh "LOGHARVEST_PROGRAM=Z:\\host\\${exe//\//\\}" "LOGHARVEST_CODE_SECTION=$section" \
  build-win32/logharvest_win_e2e_tests.exe >"$shipped/suite.log" 2>&1
status=$?
set -e
# Shown: failures, skipped cases with their reason, the retries and totals.
grep -v -E '^(\[ *(RUN|OK) *\]|\[-+\]|$)' "$shipped/suite.log" || true
echo "test-win32: suite and set-up took $(($(date +%s) - start)) s, exit code $status"
exit "$status"
