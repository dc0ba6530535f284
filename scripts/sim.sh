#!/usr/bin/env bash
# Runs the simulated world around a harvest (tests/simulation.h) on every
# core for SIM_SECONDS seconds (60 unless set; `make sim SECONDS=600`), from
# a fresh first seed unless FIRST is set, and reports the runs per second and
# the events by kind. A failing seed prints its story and ends the script
# with exit code 1; rerun it alone with `BUILD/tests/logharvest_sim --seed N`.
#
#   scripts/sim.sh BUILD
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${SIM_SECONDS:-60}
cores=$(nproc)
first=${FIRST:-$(( (RANDOM << 15 | RANDOM) * 1000 ))}
sim=$build/tests/logharvest_sim
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "sim: $cores processes for $seconds s, seeds from $first"
pids=()
for ((i = 0; i < cores; i++)); do
  "$sim" --seconds "$seconds" --first $((first + i)) --step "$cores" >"$out/$i" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { failed=1; cat "$out/$i"; }
done
[ "$failed" -eq 0 ] || exit 1
# Each process ends with one line: seeds N runs N seconds S runs/s R | kind N | ...
cat "$out"/* | awk -F' [|] ' '
  { split($1, f, " "); seeds += f[2]; runs += f[4]; if (f[6] > secs) secs = f[6];
    for (i = 2; i <= NF; i++) { n = split($i, e, " "); c = e[n]; k = $i; sub(/ [0-9]+$/, "", k); ev[k] += c } }
  END { printf "sim: %d seeds, %d runs in %.0f s: %.0f runs/s, no promise broken\n", seeds, runs, secs, runs / secs;
        for (k in ev) printf "  %-32s %d\n", k, ev[k] | "sort" }'
