#!/usr/bin/env bash
# Checks the release packages that `make package` left in DIRECTORY (default
# out/) and the manual page they are built from:
#  - man ./logharvest.1 renders without warnings and says what it must;
#  - the .deb holds exactly the program and the manual page, installs, and
#    its program answers --version with the project's version;
#  - the .zip holds exactly logharvest.exe, a 32-bit Windows console program
#    that needs no DLL beside it, and README.txt with CR LF line ends.
# Run from the top of the work tree.
set -euo pipefail
out=${1:-out}
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
echo "== $deb"
check "exists" test -f "$deb"
if [ -f "$deb" ]; then
  dpkg-deb -c "$deb" | sed 's/^/        /'
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
  check "holds the program and the manual page, nothing else" same_list "$files" \
    "$(printf '%s\n' ./usr/bin/logharvest ./usr/share/man/man1/logharvest.1)"
  check "is version $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
  check "depends on the C and C++ runtimes" has "$(dpkg-deb -f "$deb" Depends)" libc6 libstdc++6
  if [ "$(id -u)" = 0 ]; then
    # CI runs as root on a throwaway machine: a real installation.
    dpkg-query -W -f='${Status}' logharvest 2>/dev/null | grep -q 'install ok installed' || installed_here=yes
    check "installs with dpkg -i" dpkg -i "$deb"
    program=$(command -v logharvest || true)
    check "puts logharvest on the PATH at /usr/bin" test "$program" = /usr/bin/logharvest
    check "installs the manual page where man finds it" \
      test "$(man -w logharvest 2>/dev/null)" = /usr/share/man/man1/logharvest.1
  else
    echo "        not root: unpacked into a scratch root instead of installed"
    dpkg-deb -x "$deb" "$scratch/root"
    program=$scratch/root/usr/bin/logharvest
  fi
  answer=$("$program" --version | od -An -c | tr -s ' ')
  check "runs: --version prints logharvest $version LF" \
    test "$answer" = "$(printf 'logharvest %s\n' "$version" | od -An -c | tr -s ' ')"
fi

folder=logharvest-$version-win32
zip=$out/$folder.zip
echo "== $zip"
check "exists" test -f "$zip"
if [ -f "$zip" ]; then
  unzip -l "$zip" | sed 's/^/        /'
  files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
  check "holds logharvest.exe and README.txt, nothing else" same_list "$files" \
    "$(printf '%s\n' "$folder/README.txt" "$folder/logharvest.exe")"
  unzip -q "$zip" -d "$scratch/zip"
  exe=$scratch/zip/$folder/logharvest.exe
  readme=$scratch/zip/$folder/README.txt
  # The PE header: machine i386 (0x14c), subsystem console (3).
  pe_field() { od -An -t u"$2" -j "$1" -N "$2" "$exe" | tr -d ' '; }
  pe=$(pe_field 60 4)
  check "logharvest.exe is a 32-bit x86 program" test "$(pe_field $((pe + 4)) 2)" = 332
  check "logharvest.exe is a console program" test "$(pe_field $((pe + 92)) 2)" = 3
  dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | sort -u)
  echo "        imports: $(echo $dlls)"
  check "logharvest.exe needs only Windows' own DLLs" test -z "$(grep -i '^lib' <<<"$dlls")"
  lines=$(wc -l <"$readme")
  check "README.txt ends every one of its $lines lines with CR LF" \
    test "$(grep -c $'\r$' "$readme")" = "$lines" -a "$(tail -c 2 "$readme" | od -An -c | tr -d ' ')" = '\r\n'
  check "README.txt is plain ASCII" test -z "$(LC_ALL=C grep -n '[^ -~'$'\r''	]' "$readme")"
  check "README.txt names the version, usage and exit codes" has "$(cat "$readme")" \
    "logharvest $version" "Usage" "logharvest.exe [DIRECTORY | FILE] [-F]" "/?" to_bbs "Exit codes"
  # A 32-bit program needs the 32-bit Wine (wine32, of the i386 architecture).
  if command -v wine >/dev/null && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    answer=$(cd "$scratch" && WINEDEBUG=-all wine "$exe" --version 2>/dev/null | od -An -c | tr -s ' ')
    check "logharvest.exe runs under Wine: --version" \
      test "$answer" = "$(printf 'logharvest %s\r\n' "$version" | od -An -c | tr -s ' ')"
  else
    echo "  skip  logharvest.exe under Wine: the 32-bit Wine (wine32:i386) is not installed"
  fi
fi

echo "test-package: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
