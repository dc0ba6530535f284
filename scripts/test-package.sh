#!/usr/bin/env bash
# Checks the release packages that `make package` left in DIRECTORY (default
# out/) and the manual page they are built from:
#  - man ./logharvest.1 renders without warnings and says what it must;
#  - the .deb holds exactly the program, its compressed manual page, the
#    licence in Debian's machine-readable format and the changelog; lintian
#    finds no error and no warning in it; it installs, its program answers
#    --version with the project's version and carries the distribution's
#    hardening (hardening-check, and the compile record of the unstripped
#    program in LINUX_BUILD, default build-pkg); it removes cleanly;
#  - the .zip holds exactly logharvest.exe, a 32-bit Windows console program
#    that needs no DLL beside it, README.txt and LICENSE.txt with CR LF line
#    ends; the PE headers of that program and of the 64-bit one
#    (WIN64_PROGRAM, default build-pkg-win64/logharvest.exe) ask for
#    address space layout randomisation and non-executable data.
# Needs lintian, devscripts (hardening-check), binutils and both mingw-w64
# objdumps (make test-package installs them). Run from the top of the work
# tree.
set -euo pipefail
out=${1:-out}
linux_build=${LINUX_BUILD:-build-pkg}
win64_program=${WIN64_PROGRAM:-build-pkg-win64/logharvest.exe}
version=$(sed -n 's/^project(logharvest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "test-package: no project version in CMakeLists.txt" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/logharvest-package-XXXXXX")
installed_here=no
cleanup() {
  if [ "$installed_here" = yes ]; then dpkg -r logharvest >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
# shellcheck source=scripts/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
# has TEXT WORD...: every word occurs in the text.
has() {
  local text=$1 word
  shift
  for word in "$@"; do
    grep -qF -- "$word" <<<"$text" || { echo "        missing: $word"; return 1; }
  done
}
# same_list ACTUAL EXPECTED: two sorted, newline-separated lists are equal.
same_list() {
  [ "$1" = "$2" ] || { diff <(echo "$2") <(echo "$1") | sed 's/^/        /'; return 1; }
}
# same_file ACTUAL EXPECTED: two files are equal byte for byte.
same_file() {
  cmp -s "$1" "$2" || { diff "$2" "$1" | head -20 | sed 's/^/        /'; return 1; }
}
# crlf_text FILE: every line of FILE, the last one too, ends with CR LF.
crlf_text() {
  local lines
  lines=$(wc -l <"$1")
  [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$1")" = "$lines" ] &&
    [ "$(tail -c 2 "$1" | od -An -c | tr -d ' ')" = '\r\n' ]
}
# The licence's parts as LICENSE has them: its copyright line, and the text
# that follows that line's paragraph.
license_holder=$(sed -n 's/^Copyright (c) //p' LICENSE)
sed '1,/^Copyright (c) /d' LICENSE | sed '1{/^$/d}' >"$scratch/license-text"

echo "== man ./logharvest.1"
# The page holds Cyrillic words: it is read in a UTF-8 locale, whatever the
# locale of the caller (a bare machine has none, and ASCII lacks the letters).
page=$(LC_ALL=C.UTF-8 MANPAGER=cat MANWIDTH=80 man --warnings ./logharvest.1 2>"$scratch/man.err")
check "renders without warnings" test ! -s "$scratch/man.err"
sed 's/^/        /' "$scratch/man.err"
check "names its sections, arguments and files" has "$page" NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES \
  "--help" "--version" "-F" to_bbs descript.ion files.bbs "Error: Directory [" "*/10 * * * *" "pic.zip -F"
check "carries the project's version $version" grep -q "^\.TH .*\"logharvest $version\"" logharvest.1

deb=$out/logharvest_${version}_$(dpkg --print-architecture).deb
docs=/usr/share/doc/logharvest
echo "== $deb"
check "exists" test -f "$deb"
if [ -f "$deb" ]; then
  dpkg-deb -c "$deb" | sed 's/^/        /'
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
  unit=/usr/lib/systemd/system/logharvest@
  check "holds the program, its manual page, copyright and changelog, the systemd units and their script, nothing else" \
    same_list "$files" "$(printf '.%s\n' /usr/bin/logharvest $docs/changelog.gz $docs/copyright \
      /usr/share/man/man1/logharvest.1.gz ${unit}.path ${unit}.service ${unit}.timer \
      /usr/libexec/logharvest/harvest-on-arrival | sort)"
  check "is version $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
  check "depends on the C and C++ runtimes and on inotify-tools (the units' script)" \
    has "$(dpkg-deb -f "$deb" Depends)" libc6 libstdc++6 inotify-tools

  # lintian says as root that it would rather not run so: that line goes.
  # It leaves its scratch files behind: they go to the scratch directory.
  mkdir -p "$scratch/lintian-tmp"
  TMPDIR="$scratch/lintian-tmp" lintian --fail-on error,warning "$deb" >"$scratch/lintian" 2>&1 && lintian_status=0 ||
    lintian_status=$?
  grep -v 'running with root privileges is not recommended' "$scratch/lintian" >"$scratch/lintian.shown" || true
  echo "        lintian $(lintian --version | awk '{print $2}'): $(wc -l <"$scratch/lintian.shown") lines"
  sed 's/^/        /' "$scratch/lintian.shown"
  check "lintian: no error, no warning" test "$lintian_status" = 0 -a ! -s "$scratch/lintian.shown"

  dpkg-deb -x "$deb" "$scratch/root"
  unpacked=$scratch/root
  copyright=$unpacked$docs/copyright
  check "copyright is in Debian's machine-readable format" has "$(cat "$copyright")" \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "Upstream-Name: logharvest" \
    "Files: *" "License: Expat"
  check "copyright names the holder of LICENSE: $license_holder" \
    grep -qxF "Copyright: $license_holder" "$copyright"
  # The licence's text: the lines after "License:", less their one blank,
  # with "." for an empty line.
  sed '1,/^License: /d; s/^ //; s/^\.$//' "$copyright" >"$scratch/copyright-text"
  check "copyright holds the text of LICENSE" same_file "$scratch/copyright-text" "$scratch/license-text"
  zcat "$unpacked$docs/changelog.gz" >"$scratch/changelog"
  check "changelog.gz: its latest entry is version $version" \
    test "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" = "$version"
  zcat "$unpacked/usr/share/man/man1/logharvest.1.gz" >"$scratch/logharvest.1"
  check "the compressed manual page is logharvest.1" same_file "$scratch/logharvest.1" logharvest.1

  if [ "$(id -u)" = 0 ]; then
    # CI runs as root on a throwaway machine: a real installation.
    dpkg-query -W -f='${Status}' logharvest 2>/dev/null | grep -q 'install ok installed' || installed_here=yes
    check "installs with dpkg -i" dpkg -i "$deb"
    program=$(command -v logharvest || true)
    check "puts logharvest on the PATH at /usr/bin" test "$program" = /usr/bin/logharvest
    check "installs the manual page where man finds it" \
      test "$(man -w logharvest 2>/dev/null)" = /usr/share/man/man1/logharvest.1.gz
  else
    echo "        not root: unpacked into a scratch root instead of installed"
    program=$unpacked/usr/bin/logharvest
  fi
  answer=$("$program" --version | od -An -c | tr -s ' ')
  check "runs: --version prints logharvest $version LF" \
    test "$answer" = "$(printf 'logharvest %s\n' "$version" | od -An -c | tr -s ' ')"

  echo "   -- hardening-check $program"
  report=$(hardening-check "$program" || true)
  sed 's/^/        /' <<<"$report"
  verdict() { sed -n "s/^ $1: //p" <<<"$report"; }
  for line in "Position Independent Executable" "Stack protected" "Read-only relocations" "Immediate binding"; do
    check "hardening-check: $line: yes" grep -q '^yes' <<<"$(verdict "$line")"
  done
  # Without _FORTIFY_SOURCE it says "no, only unprotected functions found".
  check "hardening-check: Fortify Source functions: yes, or none used" \
    grep -q -E '^(yes|unknown, no protectable libc functions used)' <<<"$(verdict "Fortify Source functions")"
  # Stack clash probes appear only in a function whose frame passes a page;
  # where the program has none, hardening-check cannot tell, and says so.
  check "hardening-check: Stack clash protection: yes, or unknown" \
    grep -q -E '^(yes|unknown, no -fstack-clash-protection instructions found)' <<<"$(verdict "Stack clash protection")"
  # The linker marks a program as protected only when every object in it
  # is. Debian 12's C library start files (Scrt1.o, crti.o, crtn.o) carry
  # no such mark, so no program linked against them has one; the program's
  # own code is checked below, in its compile record.
  start_files=$(readelf -n "$(g++ -print-file-name=Scrt1.o)" | grep -c 'x86 feature: IBT, SHSTK' || true)
  cfi=$(verdict "Control flow integrity")
  if [ "$cfi" != yes ] && [ "$start_files" = 0 ]; then
    echo "        Control flow integrity not judged here: $(g++ -print-file-name=Scrt1.o) has no IBT/SHSTK mark"
  else
    check "hardening-check: Control flow integrity: yes" test "$cfi" = yes
  fi

  # The compile record (DW_AT_producer) of every unit of the program as
  # built, before it was stripped for the package.
  built=$linux_build/logharvest
  strip -o "$scratch/built-stripped" "$built" 2>/dev/null || true
  check "$built, stripped, is the packaged program" cmp -s "$scratch/built-stripped" "$unpacked/usr/bin/logharvest"
  readelf --debug-dump=info --dwarf-depth=1 "$built" 2>/dev/null |
    sed -n 's/^.*DW_AT_producer *: *\((indirect[^)]*): *\)\{0,1\}//p' | grep '^GNU C++' >"$scratch/producers" || true
  units=$(wc -l <"$scratch/producers")
  for flag in -fstack-protector-strong -fstack-clash-protection -fcf-protection=full -fPIE -O2; do
    check "every one of the $units units of $built was compiled with $flag" \
      test "$units" -gt 0 -a "$(grep -c -e " $flag\( \|$\)" "$scratch/producers")" = "$units"
  done

  if [ "$installed_here" = yes ]; then
    check "removes with dpkg -r" dpkg -r logharvest
    installed_here=no
    left=$(for file in $files; do [ ! -e "${file#.}" ] || echo "${file#.}"; done)
    check "leaves none of its files behind" test -z "$left"
  fi
fi

# dll_characteristics OBJDUMP PROGRAM: the names under DllCharacteristics in
# the PE header, one a line.
dll_characteristics() {
  "$1" -p "$2" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' | sed '1d;$d' | tr -d '\t '
}
# pe_hardening OBJDUMP PROGRAM FLAG...: the PE header's DllCharacteristics
# name every FLAG, and the image keeps its base relocations, without which
# DYNAMIC_BASE cannot move it.
pe_hardening() {
  local objdump=$1 program=$2 names flag relocations
  shift 2
  names=$(dll_characteristics "$objdump" "$program")
  for flag in "$@"; do
    grep -qx "$flag" <<<"$names" || { echo "        missing: $flag"; return 1; }
  done
  relocations=$("$objdump" -p "$program" | awk '$1 == "Entry" && $2 == "5" && /Base Relocation/ {print $4}')
  [ -n "$relocations" ] && [ $((0x$relocations)) -gt 0 ] || { echo "        no base relocations"; return 1; }
}

folder=logharvest-$version-win32
zip=$out/$folder.zip
echo "== $zip"
check "exists" test -f "$zip"
if [ -f "$zip" ]; then
  unzip -l "$zip" | sed 's/^/        /'
  files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
  check "holds logharvest.exe, README.txt and LICENSE.txt, nothing else" same_list "$files" \
    "$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.txt" "$folder/logharvest.exe")"
  unzip -q "$zip" -d "$scratch/zip"
  exe=$scratch/zip/$folder/logharvest.exe
  readme=$scratch/zip/$folder/README.txt
  license=$scratch/zip/$folder/LICENSE.txt
  # The PE header: machine i386 (0x14c), subsystem console (3).
  pe_field() { od -An -t u"$2" -j "$1" -N "$2" "$exe" | tr -d ' '; }
  pe=$(pe_field 60 4)
  check "logharvest.exe is a 32-bit x86 program" test "$(pe_field $((pe + 4)) 2)" = 332
  check "logharvest.exe is a console program" test "$(pe_field $((pe + 92)) 2)" = 3
  dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
  echo "        imports: $(echo $dlls)"
  check "logharvest.exe needs only Windows' own DLLs" test -z "$(grep -i '^lib' <<<"$dlls")"
  echo "        DllCharacteristics: $(dll_characteristics i686-w64-mingw32-objdump "$exe" | tr '\n' ' ')"
  check "logharvest.exe: DYNAMIC_BASE and NX_COMPAT, with its base relocations" \
    pe_hardening i686-w64-mingw32-objdump "$exe" DYNAMIC_BASE NX_COMPAT
  check "README.txt ends every one of its $(wc -l <"$readme") lines with CR LF" crlf_text "$readme"
  check "LICENSE.txt ends every one of its $(wc -l <"$license") lines with CR LF" crlf_text "$license"
  check "LICENSE.txt is LICENSE" same_file <(tr -d '\r' <"$license") LICENSE
  check "README.txt is plain ASCII" test -z "$(LC_ALL=C grep -n '[^ -~'$'\r''	]' "$readme")"
  check "README.txt names the version, usage and exit codes" has "$(cat "$readme")" \
    "logharvest $version" "Usage" "logharvest.exe [DIRECTORY | FILE] [-F]" "/?" to_bbs "Exit codes" LICENSE.txt
  # A 32-bit program needs the 32-bit Wine (wine32, of the i386 architecture).
  if command -v wine >/dev/null && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    answer=$(cd "$scratch" && WINEDEBUG=-all wine "$exe" --version 2>/dev/null | od -An -c | tr -s ' ')
    check "logharvest.exe runs under Wine: --version" \
      test "$answer" = "$(printf 'logharvest %s\r\n' "$version" | od -An -c | tr -s ' ')"
  else
    echo "  skip  logharvest.exe under Wine: the 32-bit Wine (wine32:i386) is not installed"
  fi
fi

echo "== $win64_program (the 64-bit Windows program)"
check "exists" test -f "$win64_program"
if [ -f "$win64_program" ]; then
  check "is a 64-bit x86 program" grep -q 'file format pei-x86-64' <(x86_64-w64-mingw32-objdump -p "$win64_program")
  echo "        DllCharacteristics: $(dll_characteristics x86_64-w64-mingw32-objdump "$win64_program" | tr '\n' ' ')"
  check "HIGH_ENTROPY_VA, DYNAMIC_BASE and NX_COMPAT, with its base relocations" \
    pe_hardening x86_64-w64-mingw32-objdump "$win64_program" HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT
fi

echo "test-package: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
