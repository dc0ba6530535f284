#!/usr/bin/env bash
# Builds logharvest, the floor program and the no-sync shim into build-bench,
# then runs every workload (bench/run.py) in a scratch directory and removes it.
#
#   BENCH_DIR   where the scratch directory goes (default /var/tmp; never tmpfs)
#   BENCH_FS    "loop" (default): a fresh ext4 image mounted with default
#               options inside the scratch directory, when run as root and a
#               loop device is free; "dir": the scratch directory as it is
#   BENCH_REPS, BENCH_WARMUP, BENCH_LOGS, BENCH_ONLY  passed on to run.py
#   BENCH_LIST_MIB, BENCH_LIST_LINES  the size of W5's lists (run.py's
#               --list-mib, default 100, and --list-lines, default 1000000)
#   BENCH_OUT   file for the results table (default build-bench/bench-results.md)
#   BENCH_BEFORE  a git revision: its program, built as this one is (in a
#               worktree under build-bench), runs beside this one in every
#               workload, and the results compare the two
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
jobs=$(($(nproc) < 2 ? 1 : 2))

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target logharvest -j "$jobs"
before=()
if [ -n "${BENCH_BEFORE:-}" ]; then
  tree=$build/before-tree
  rm -rf "$tree"
  git -C "$root" worktree prune
  git -C "$root" worktree add -q --detach "$tree" "$BENCH_BEFORE"
  cmake -S "$tree" -B "$build/before" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGHARVEST_TESTS=OFF >/dev/null
  cmake --build "$build/before" --target logharvest -j "$jobs"
  git -C "$root" worktree remove --force "$tree"
  before=(--before "$build/before/logharvest")
fi
g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror "$root/bench/floor.cpp" -o "$build/floor"
g++ -std=c++17 -O2 -shared -fPIC -Wall -Wextra -Werror "$root/bench/nosync.cpp" -o "$build/nosync.so"

base=${BENCH_DIR:-/var/tmp}
case $(stat -f -c %T "$base") in
  tmpfs | ramfs)
    echo "bench: $base is in memory; set BENCH_DIR to a directory on a disk file system" >&2
    exit 1
    ;;
esac
scratch=$(mktemp -d "$base/logharvest-bench-XXXXXX")
mounted=""
cleanup() {
  if [ -n "$mounted" ]; then umount "$mounted" 2>/dev/null || { sleep 2 && umount "$mounted"; } || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

work=$scratch
if [ "${BENCH_FS:-loop}" = loop ]; then
  # The image lives on the disk below, so the file system under test is a
  # disk file system with ext4's default mount options (no online discard).
  if [ "$(id -u)" = 0 ] && truncate -s 6G "$scratch/ext4.img" && mkfs.ext4 -q -F -N 1000000 "$scratch/ext4.img" &&
    mkdir -p "$scratch/mnt" && mount -o loop "$scratch/ext4.img" "$scratch/mnt"; then
    mounted=$scratch/mnt
    work=$scratch/mnt
  else
    echo "bench: no loop-mounted ext4 image here; measuring in $scratch as it is" >&2
  fi
fi

python3 "$root/bench/run.py" --program "$build/logharvest" --floor "$build/floor" --nosync "$build/nosync.so" \
  --scratch "$work" --reps "${BENCH_REPS:-5}" --warmup "${BENCH_WARMUP:-1}" --logs "${BENCH_LOGS:-100000}" \
  --list-mib "${BENCH_LIST_MIB:-100}" --list-lines "${BENCH_LIST_LINES:-1000000}" \
  --only "${BENCH_ONLY:-w1,syscalls,w2w3,w4,w5}" --out "${BENCH_OUT:-$build/bench-results.md}" "${before[@]}"
