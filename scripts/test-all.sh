#!/usr/bin/env bash
# make test: every test, in the order that keeps a bare machine's wait short.
# The two kept roots are made (the 32-bit Wine root and the root with
# systemd), and the packages of the later tests installed, in the background
# while the Linux build and its tests run; the booted systemd's suite, which
# mostly waits on uploads, runs beside the 32-bit suite and the sanitizers.
# Each phase says how far into the run it starts.
#
#   BUILD=build OUT=out JOBS=N TEST_DEPS="..." scripts/test-all.sh   (make test sets them)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
out=${OUT:-out}
export JOBS=${JOBS:-$(nproc)}
start=$(date +%s)
phase() { echo "== make test, at $(($(date +%s) - start)) s: $*"; }
mkdir -p "$build"
status=$build/test-status
rm -rf "$status"
mkdir -p "$status"

# NAME COMMAND...: runs in the background, its output in $build/NAME.log and
# its exit code in $status/NAME.
background() {
  local name=$1
  shift
  ("$@" >"$build/$name.log" 2>&1 && echo 0 >"$status/$name" || echo $? >"$status/$name") &
}
# NAME: waits for it; shows its log and fails when it failed.
await() {
  until [ -e "$status/$1" ]; do sleep 1; done
  if [ "$(cat "$status/$1")" != 0 ]; then
    cat "$build/$1.log"
    echo "make test: $1 failed (its log: $build/$1.log)" >&2
    exit 1
  fi
}
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true' EXIT

phase "the packages of the build; format and layers"
scripts/install-deps.sh
make --no-print-directory format-check layers-check

phase "the kept roots and the other tests' packages, in the background"
# One apt-get at a time: first what makes the roots, which then are made
# (with apt of their own) while the rest is installed.
# shellcheck disable=SC2086
(
  if ! scripts/install-deps.sh --only mmdebstrap arch-test util-linux >"$build/packages.log" 2>&1; then
    for name in packages wine32-prepare systemd-prepare; do echo 1 >"$status/$name"; done
    exit 1
  fi
  background wine32-prepare scripts/wine32-env.sh --prepare
  background systemd-prepare scripts/systemd-env.sh --prepare
  scripts/install-deps.sh --only $TEST_DEPS >>"$build/packages.log" 2>&1 && echo 0 >"$status/packages" ||
    echo $? >"$status/packages"
  wait
) &

phase "the Linux build and its tests"
make --no-print-directory test-linux
await packages
phase "the reader, the Windows programs under 64-bit Wine, the packages"
make --no-print-directory test-reader test-windows test-package

await systemd-prepare
phase "the units on a booted systemd, in the background"
background systemd-test scripts/test-systemd.sh "$out"
await wine32-prepare
tail -n 3 "$build/wine32-prepare.log"
phase "the released 32-bit program under 32-bit Wine"
scripts/test-win32.sh "$out"
phase "the sanitizers and the fuzz targets"
make --no-print-directory test-hardening
until [ -e "$status/systemd-test" ]; do sleep 1; done
cat "$build/systemd-test.log"
await systemd-test
phase "every test passed"
