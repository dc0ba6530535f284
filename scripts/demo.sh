#!/usr/bin/env bash
# Harvests a copy of the bundled example area and shows what it became.
set -euo pipefail
program=${1:-build/logharvest}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/logharvest-demo-XXXXXX")
cp -a examples/area "$scratch/"
area="$scratch/area"
show_list() {
  # The list is in code page 866; shown here in the terminal's encoding.
  iconv -f CP866 -t UTF-8 "$area/descript.ion" | sed 's/\r$//; s/\x1a/<end-of-file mark>/; s/^/    /'
  echo
}
echo "== Before: $area"
ls -1 "$area" | sed 's/^/    /'
echo "   descript.ion:"
show_list
echo "== logharvest $area"
status=0
"$program" "$area" || status=$?
echo "   exit code $status"
echo
echo "== After"
ls -1 "$area" | sed 's/^/    /'
echo "   descript.ion:"
show_list
echo "report.zip was listed before: its new comment took the place of the old line."
echo "readme.txt.log stays: there is no readme.txt beside it."
echo "The scratch copy is left in $scratch"
