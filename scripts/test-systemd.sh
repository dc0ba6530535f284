#!/usr/bin/env bash
# Harvest on arrival on a booted systemd: the .deb that `make package` left
# in DIRECTORY (default out/) installed in a Debian 12 root booted by
# scripts/systemd-env.sh, and the suite tests/e2e_systemd_test.cpp run
# against its units. The steady stream of uploads (a minute) runs beside
# the other cases, each in an upload area of its own.
#
# Needs root and what scripts/systemd-env.sh needs (make test-systemd
# installs it). Run from the top of the work tree.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out}
suite=${BUILD:-build}/tests/logharvest_systemd_tests
deb=$(ls "$out"/logharvest_*_amd64.deb)
[ -x "$suite" ] || { echo "test-systemd: no $suite; make build makes it" >&2; exit 1; }
start=$(date +%s)
# shellcheck disable=SC2016
scripts/systemd-env.sh "$deb" bash -c '
  stream=$(mktemp)
  "$1" --gtest_filter="*Stream*" >"$stream" 2>&1 &
  "$1" --gtest_filter="-*Stream*" && others=0 || others=$?
  wait $! && streamed=0 || streamed=$?
  cat "$stream"
  rm -f "$stream"
  [ "$others" = 0 ] && [ "$streamed" = 0 ]
' suite "$suite"
echo "test-systemd: passed in $(($(date +%s) - start)) s"
