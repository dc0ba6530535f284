#!/usr/bin/env python3
"""Runs the benchmark's workloads side by side and prints medians and ratios.

Every contestant of a workload runs once per round, in an order that rotates
from round to round, so that a slow spell of the shared machine falls on all
of them; the first rounds are a warm-up and are not counted. Ratios are taken
within each round and their median is reported, next to the ratio of the
medians. Peak resident memory is what /usr/bin/time reports (%M, the
"Maximum resident set size" of -v); user and system CPU time are the
getrusage figures of the run's processes.

Called by bench/run.sh, which builds the programs and prepares the scratch
file system.
"""
import argparse
import hashlib
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20
PREFIX = "Комментарий:".encode("cp1251")
# Peak RSS of every logharvest contestant: (workload, run, median MiB, limit MiB, what the limit is).
RSS_SUMMARY = []
# Every target with what was measured: (target, measured, verdict).
TARGETS = []


def note_rss(workload, results, names, limit=8, what="at most 8 MiB"):
    for name in names:
        RSS_SUMMARY.append((workload, name, median_mib(results[name]), limit, what))


def ratio_row(label, ratios, limit):
    """A table row: the median of per-round ratios, the ratio of medians and an upper target."""
    verdict = "met" if ratios[0] <= limit else "missed"
    return f"| {label} | {ratios[0]:.2f} | {ratios[1]:.2f} | at most {limit}: {verdict} |"


def log(text):
    print(text, flush=True)


def sh(*command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


class Runner:
    def __init__(self, scratch):
        self.scratch = scratch
        self.rss_file = os.path.join(scratch, "rss.txt")

    def measure(self, command, env=None):
        """Wall time in seconds, peak resident memory in KiB, user and system CPU seconds of one run."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", self.rss_file, "--"] + command,
                       check=True, env=full_env, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        with open(self.rss_file) as f:
            rss = int(f.read().split()[-1])
        return elapsed, rss, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime


# The program of another revision, run beside this one (--before): each run of
# this program in a workload gets a twin with the other's, and BEFORE_AFTER
# collects the pairs.
BEFORE = {}
BEFORE_AFTER = []


def rounds(runner, contestants, warmup, reps, title):
    """contestants: list of (name, prepare, command, env, verify).
    Returns name -> [(s, KiB, user s, system s)] per counted round."""
    if BEFORE:
        twins = [(name + " [before]", prepare, [BEFORE["program"]] + command[1:], env, verify)
                 for name, prepare, command, env, verify in contestants if command[:1] == [BEFORE["this"]]]
        contestants = contestants + twins
    results = {name: [] for name, *_ in contestants}
    for r in range(warmup + reps):
        shift = r % len(contestants)
        order = contestants[shift:] + contestants[:shift]
        line = []
        for name, prepare, command, env, verify in order:
            prepare()
            sample = runner.measure(command, env)
            seconds = sample[0]
            verify()
            if r >= warmup:
                results[name].append(sample)
            line.append(f"{name} {seconds:.3f}s")
        log(f"  {title} round {r + 1}/{warmup + reps}{' (warm-up)' if r < warmup else ''}: " + ", ".join(line))
    for name in list(results):
        if name.endswith(" [before]"):
            after = name[:-len(" [before]")]
            BEFORE_AFTER.append((title, after, median_s(results[after]), median_s(results[name]),
                                 ratio(results, after, name)[0]))
            del results[name]
    return results


def median_s(samples):
    return statistics.median(sample[0] for sample in samples)


def median_mib(samples):
    return statistics.median(sample[1] for sample in samples) / 1024


def ratio(results, a, b):
    """Median of the per-round ratios a/b, and the ratio of the medians."""
    per_round = [x[0] / y[0] for x, y in zip(results[a], results[b])]
    return statistics.median(per_round), median_s(results[a]) / median_s(results[b])


def table(results):
    rows = ["| run | median s | min s | max s | median peak RSS MiB |", "|---|---:|---:|---:|---:|"]
    for name, samples in results.items():
        times = [sample[0] for sample in samples]
        rows.append(f"| {name} | {statistics.median(times):.3f} | {min(times):.3f} | {max(times):.3f} | "
                    f"{median_mib(samples):.2f} |")
    return rows


def count_logs(directory):
    return sum(1 for name in os.listdir(directory) if name.lower().endswith(".log"))


def list_digest(path):
    with open(path, "rb") as f:
        lines = f.read().split(b"\r\n")
    return hashlib.sha256(b"\n".join(sorted(lines))).hexdigest(), len(lines) - 1


# --- W1: many small logs ---------------------------------------------------

def workload_small(runner, args, out):
    template = os.path.join(args.scratch, "w1-template")
    work = os.path.join(args.scratch, "w1")
    log(f"W1: generating {args.logs} logs with companions")
    sh(sys.executable, os.path.join(HERE, "gen.py"), "small", template, str(args.logs))
    sh("sync")
    expected = {}

    def prepare():
        sh("rm", "-rf", work)
        sh("cp", "-a", template, work)
        sh("sync")

    def verify(name):
        def check():
            left = count_logs(work)
            digest, lines = list_digest(os.path.join(work, "descript.ion"))
            if left != 0 or lines != args.logs:
                raise SystemExit(f"W1 {name}: {left} logs left, {lines} list lines (want 0 and {args.logs})")
            if expected.setdefault("digest", digest) != digest:
                raise SystemExit(f"W1 {name}: its list differs from the first contestant's")
        return check

    nosync = {"LD_PRELOAD": args.nosync}
    contestants = [
        ("logharvest", prepare, [args.program, work], None, verify("logharvest")),
        ("logharvest, sync a no-op", prepare, [args.program, work], nosync, verify("logharvest, no sync")),
        ("floor", prepare, [args.floor, work], None, verify("floor")),
        ("durable floor", prepare, [args.floor, "--durable", work], None, verify("durable floor")),
        ("python", prepare, [args.python, os.path.join(HERE, "harvest.py"), work], None, verify("python")),
    ]
    results = rounds(runner, contestants, args.warmup, args.reps, "W1")
    note_rss("W1", results, ["logharvest", "logharvest, sync a no-op"])
    sh("rm", "-rf", work, template)
    lh_durable = ratio(results, "logharvest", "durable floor")
    lh_floor = ratio(results, "logharvest", "floor")
    nosync_floor = ratio(results, "logharvest, sync a no-op", "floor")
    durable_floor = ratio(results, "durable floor", "floor")
    py_lh = ratio(results, "python", "logharvest")
    py_nosync = ratio(results, "python", "logharvest, sync a no-op")
    sync_cost = ratio(results, "logharvest", "logharvest, sync a no-op")
    TARGETS.append(("W1: at most 1.35× the durable floor", f"{lh_durable[0]:.2f}×",
                    "met" if lh_durable[0] <= 1.35 else "missed"))
    out += [f"### W1: {args.logs} small logs with companions", ""] + table(results) + [""]
    out += [
        "| ratio | median of per-round ratios | ratio of medians | target |",
        "|---|---:|---:|---|",
        ratio_row("logharvest / durable floor", lh_durable, 1.35),
        f"| logharvest / floor | {lh_floor[0]:.2f} | {lh_floor[1]:.2f} | (no sync in the floor) |",
        f"| logharvest (sync a no-op) / floor | {nosync_floor[0]:.2f} | {nosync_floor[1]:.2f} | |",
        f"| durable floor / floor | {durable_floor[0]:.2f} | {durable_floor[1]:.2f} | (cost of one sync) |",
        f"| python / logharvest | {py_lh[0]:.2f} | {py_lh[1]:.2f} | at least 5: "
        f"{'met' if py_lh[0] >= 5 else 'missed'} |",
        f"| python / logharvest (sync a no-op) | {py_nosync[0]:.2f} | {py_nosync[1]:.2f} | at least 5: "
        f"{'met' if py_nosync[0] >= 5 else 'missed'} |",
        f"| logharvest / logharvest (sync a no-op) | {sync_cost[0]:.2f} | {sync_cost[1]:.2f} | (cost of the sync) |",
        "",
    ]


# --- system calls per log ----------------------------------------------------

def strace_counts(command, env, path):
    full_env = dict(os.environ)
    full_env.update(env or {})
    subprocess.run(["strace", "-f", "-c", "-o", path, "--"] + command, check=True, env=full_env,
                   stdout=subprocess.DEVNULL)
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    return counts


def syscalls(runner, args, out):
    n = args.strace_logs
    template = os.path.join(args.scratch, "sc-template")
    empty = os.path.join(args.scratch, "sc-empty")
    work = os.path.join(args.scratch, "sc")
    log(f"system calls: strace -f -c over {n} logs and over none")
    sh(sys.executable, os.path.join(HERE, "gen.py"), "small", template, str(n))
    nosync = {"LD_PRELOAD": args.nosync}
    programs = [
        ("logharvest", [args.program], None),
        ("logharvest, sync a no-op", [args.program], nosync),
        ("floor", [args.floor], None),
        ("durable floor", [args.floor, "--durable"], None),
        ("python", [args.python, os.path.join(HERE, "harvest.py")], None),
    ]
    per_log = {}
    for name, command, env in programs:
        sh("rm", "-rf", work, empty)
        os.makedirs(empty)
        sh("cp", "-a", template, work)
        full = strace_counts(command + [work], env, os.path.join(args.scratch, "strace.txt"))
        if count_logs(work) != 0:
            raise SystemExit(f"strace {name}: logs left")
        base = strace_counts(command + [empty], env, os.path.join(args.scratch, "strace.txt"))
        calls = {k: (full.get(k, 0) - base.get(k, 0)) / n for k in set(full) | set(base)}
        per_log[name] = {k: v for k, v in calls.items() if abs(v) >= 0.001}
    sh("rm", "-rf", work, empty, template)
    totals = {name: sum(calls.values()) for name, calls in per_log.items()}
    out += [f"### System calls per log (strace -f -c, {n} logs, less a run over an empty directory)", ""]
    out += ["| run | per log | of which |", "|---|---:|---|"]
    for name, calls in per_log.items():
        detail = ", ".join(f"{k} {v:.3f}" for k, v in sorted(calls.items(), key=lambda kv: -kv[1]))
        out.append(f"| {name} | {totals[name]:.3f} | {detail} |")
    extra = totals["logharvest"] - totals["durable floor"]
    out += ["", f"logharvest makes {extra:.3f} calls per log more than the durable floor.", ""]


# --- W2: one big log; W3: one huge comment line ------------------------------

def link_fresh(master, directory, name):
    os.makedirs(directory, exist_ok=True)
    companion = os.path.join(directory, name)
    if not os.path.exists(companion):
        open(companion, "wb").close()

    def prepare():
        for stale in ("descript.ion", name + ".log"):
            path = os.path.join(directory, stale)
            if os.path.exists(path):
                os.unlink(path)
        os.link(master, os.path.join(directory, name + ".log"))
    return prepare


def check_harvested(directory, name, expected_size=None, expected_end=None):
    def check():
        if os.path.exists(os.path.join(directory, name + ".log")):
            raise SystemExit(f"{directory}: the log is still there")
        listed = os.path.join(directory, "descript.ion")
        size = os.path.getsize(listed)
        if expected_size is not None and size != expected_size:
            raise SystemExit(f"{directory}: list of {size} bytes, want {expected_size}")
        if expected_end is not None:
            with open(listed, "rb") as f:
                content = f.read()
                if not content.endswith(expected_end):
                    raise SystemExit(f"{directory}: the list lacks the comment line: {content[-120:]!r}")
    return check


def check_error_line(directory, name):
    def check():
        if not os.path.exists(os.path.join(directory, name + ".log")):
            raise SystemExit(f"{directory}: the log over the cap was deleted")
        with open(os.path.join(directory, "descript.ion"), "rb") as f:
            content = f.read()
        want = name.encode() + b"         error reading file\r\n"
        if content != want:
            raise SystemExit(f"{directory}: list {content[:120]!r}, want {want!r}")
    return check


def workloads_big(runner, args, out):
    masters = os.path.join(args.scratch, "masters")
    os.makedirs(masters, exist_ok=True)
    big = os.path.join(masters, "big.log")
    big64 = os.path.join(masters, "big64.log")
    mid = os.path.join(masters, "mid.log")
    huge = os.path.join(masters, "huge.log")
    log(f"W2: generating logs of {args.big_mib} MiB (lines of 52 to 108 bytes, and of 64 bytes) and "
        f"{args.mid_mib} MiB; W3: a comment of {args.huge_mib} MiB")
    sh(sys.executable, os.path.join(HERE, "gen.py"), "big", big, str(args.big_mib * MIB))
    sh(sys.executable, os.path.join(HERE, "gen.py"), "big64", big64, str(args.big_mib * MIB))
    sh(sys.executable, os.path.join(HERE, "gen.py"), "big", mid, str(args.mid_mib * MIB))
    sh(sys.executable, os.path.join(HERE, "gen.py"), "huge", huge, str(args.huge_mib * MIB))
    sh("sync")
    for master in (big, big64, mid, huge):
        sh("cat", master, stdout=subprocess.DEVNULL)  # into the page cache

    def to_866(text):
        def byte(b):
            try:
                return bytes([b]).decode("cp1251").encode("cp866")[0]
            except UnicodeError:
                return b
        return bytes(byte(b) for b in text)

    with open(big, "rb") as f:
        f.seek(-200, os.SEEK_END)
        last = f.read().rstrip(b"\r\n").rsplit(b"\n", 1)[-1].rstrip(b"\r")
    big_end = to_866(last[len(PREFIX):]) + b"\r\n"

    w2 = os.path.join(args.scratch, "w2")
    w2s = os.path.join(args.scratch, "w2s")
    w2m = os.path.join(args.scratch, "w2m")
    nothing = lambda: None  # noqa: E731
    contestants = [
        (f"cat {args.big_mib} MiB", nothing, ["cat", big], None, nothing),
        (f"logharvest {args.big_mib} MiB", link_fresh(big, w2, "big"), [args.program, w2], None,
         check_harvested(w2, "big", expected_end=b"big " + big_end)),
        (f"cat {args.big_mib} MiB, 64-byte lines", nothing, ["cat", big64], None, nothing),
        (f"logharvest {args.big_mib} MiB, 64-byte lines", link_fresh(big64, w2s, "big64"), [args.program, w2s], None,
         check_harvested(w2s, "big64", expected_end=b"big64 " + big_end)),
        (f"cat {args.mid_mib} MiB", nothing, ["cat", mid], None, nothing),
        (f"logharvest {args.mid_mib} MiB", link_fresh(mid, w2m, "mid"), [args.program, w2m], None,
         check_harvested(w2m, "mid", expected_end=b"mid " + big_end)),
    ]
    results = rounds(runner, contestants, args.warmup, args.reps, "W2")
    note_rss("W2", results, [f"logharvest {args.big_mib} MiB", f"logharvest {args.big_mib} MiB, 64-byte lines",
                             f"logharvest {args.mid_mib} MiB"])
    lh_cat = ratio(results, f"logharvest {args.big_mib} MiB", f"cat {args.big_mib} MiB")
    lh_cat64 = ratio(results, f"logharvest {args.big_mib} MiB, 64-byte lines", f"cat {args.big_mib} MiB, 64-byte lines")
    rss_big = median_mib(results[f"logharvest {args.big_mib} MiB"])
    rss_mid = median_mib(results[f"logharvest {args.mid_mib} MiB"])
    TARGETS.append(("W2, lines of 52 to 108 bytes: at most 1.5× `cat`", f"{lh_cat[0]:.2f}×",
                    "met" if lh_cat[0] <= 1.5 else "missed"))
    TARGETS.append(("W2, lines of 64 bytes: at most 1.5× `cat`", f"{lh_cat64[0]:.2f}×",
                    "met" if lh_cat64[0] <= 1.5 else "missed"))
    TARGETS.append((f"W2: peak RSS at most 8 MiB, the same at {args.mid_mib} MiB and {args.big_mib} MiB",
                    f"{rss_mid:.2f} and {rss_big:.2f} MiB",
                    "met" if max(rss_big, rss_mid) <= 8 and abs(rss_big - rss_mid) <= 0.5 else "missed"))
    out += [f"### W2: one log of {args.big_mib} MiB of ordinary lines, the comment line last, page-cached", ""]
    out += table(results) + [""]
    out += [
        "| ratio or measure | value | target |",
        "|---|---:|---|",
        f"| logharvest / cat, {args.big_mib} MiB (median of per-round ratios) | {lh_cat[0]:.2f} | at most 1.5: "
        f"{'met' if lh_cat[0] <= 1.5 else 'missed'} |",
        f"| logharvest / cat, {args.big_mib} MiB (ratio of medians) | {lh_cat[1]:.2f} | |",
        f"| logharvest / cat, {args.big_mib} MiB, 64-byte lines (median of per-round ratios) | {lh_cat64[0]:.2f} | "
        f"at most 1.5: {'met' if lh_cat64[0] <= 1.5 else 'missed'} |",
        f"| logharvest / cat, {args.big_mib} MiB, 64-byte lines (ratio of medians) | {lh_cat64[1]:.2f} | |",
        f"| peak RSS, {args.big_mib} MiB log | {rss_big:.2f} MiB | at most 8 MiB: {'met' if rss_big <= 8 else 'missed'} |",
        f"| peak RSS, {args.mid_mib} MiB log | {rss_mid:.2f} MiB | at most 8 MiB and the same: "
        f"{'met' if rss_mid <= 8 and abs(rss_big - rss_mid) <= 0.5 else 'missed'} |",
        "",
    ]

    # A last comment line over the cap (1 MiB): the log gets its error line
    # and stays; the line is read to its end, as a later comment line would
    # win, and no more of it than the cap is kept.
    w3 = os.path.join(args.scratch, "w3")
    cap_mib = 1
    contestants = [
        (f"cat {args.huge_mib} MiB", nothing, ["cat", huge], None, nothing),
        (f"logharvest {args.huge_mib} MiB comment", link_fresh(huge, w3, "huge"), [args.program, w3], None,
         check_error_line(w3, "huge")),
    ]
    results = rounds(runner, contestants, args.warmup, args.reps, "W3")
    rss = median_mib(results[f"logharvest {args.huge_mib} MiB comment"])
    limit = cap_mib + 8
    note_rss("W3", results, [f"logharvest {args.huge_mib} MiB comment"], limit, f"at most {limit} MiB (the cap + 8)")
    lh_cat = ratio(results, f"logharvest {args.huge_mib} MiB comment", f"cat {args.huge_mib} MiB")
    TARGETS.append((f"W3: peak RSS at most the comment cap ({cap_mib} MiB) + 8 MiB", f"{rss:.2f} MiB",
                    "met" if rss <= limit else "missed"))
    out += [f"### W3: one comment line of {args.huge_mib} MiB, over the cap", ""] + table(results) + [""]
    out += [
        "| ratio or measure | value | target |",
        "|---|---:|---|",
        f"| peak RSS of logharvest | {rss:.2f} MiB | at most {limit} MiB (the cap + 8): "
        f"{'met' if rss <= limit else 'missed'} |",
        f"| logharvest / cat (median of per-round ratios; both read the whole line) | "
        f"{lh_cat[0]:.2f} | none |",
        "",
    ]
    sh("rm", "-rf", w2, w2s, w2m, w3, masters)


# --- W4: the cron case, a few logs in a large file area -----------------------

def workload_area(runner, args, out):
    area = os.path.join(args.scratch, "w4")
    masters = os.path.join(args.scratch, "w4-logs")
    log(f"W4: generating a file area of {args.area_files} files, 10 of them with a log")
    sh(sys.executable, os.path.join(HERE, "gen.py"), "area", area, str(args.area_files))
    os.makedirs(masters)
    logs = sorted(name for name in os.listdir(area) if name.endswith(".log"))
    for name in logs:
        os.rename(os.path.join(area, name), os.path.join(masters, name))
    old_lines = b"".join(b"old%06d.zip  an earlier comment\r\n" % i for i in range(1000))
    listed = os.path.join(area, "descript.ion")
    sh("sync")

    def prepare(with_list):
        def run():
            if os.path.exists(listed):
                os.unlink(listed)
            if with_list:
                with open(listed, "wb") as f:
                    f.write(old_lines)
            for name in logs:
                if not os.path.exists(os.path.join(area, name)):
                    os.link(os.path.join(masters, name), os.path.join(area, name))
            sh("sync")
        return run

    def verify(with_list):
        def check():
            left = count_logs(area)
            with open(listed, "rb") as f:
                lines = f.read().count(b"\r\n") - (1000 if with_list else 0)
            if left != 0 or lines != len(logs):
                raise SystemExit(f"W4: {left} logs left, {lines} new list lines (want 0 and {len(logs)})")
        return check

    contestants = [
        ("logharvest, list exists", prepare(True), [args.program, area], None, verify(True)),
        ("logharvest, no list yet", prepare(False), [args.program, area], None, verify(False)),
        ("floor, list exists", prepare(True), [args.floor, area], None, verify(True)),
        ("floor, no list yet", prepare(False), [args.floor, area], None, verify(False)),
        ("durable floor, list exists", prepare(True), [args.floor, "--durable", area], None, verify(True)),
        ("durable floor, no list yet", prepare(False), [args.floor, "--durable", area], None, verify(False)),
    ]
    # A run takes some 40 ms, so a slow spell of the shared machine moves one
    # round's ratio by a fifth: W4 counts five times the rounds.
    results = rounds(runner, contestants, args.warmup, 5 * args.reps, "W4")
    note_rss("W4", results, ["logharvest, list exists", "logharvest, no list yet"])
    with_list = ratio(results, "logharvest, list exists", "durable floor, list exists")
    no_list = ratio(results, "logharvest, no list yet", "durable floor, no list yet")
    plain_with_list = ratio(results, "logharvest, list exists", "floor, list exists")
    plain_no_list = ratio(results, "logharvest, no list yet", "floor, no list yet")
    TARGETS.append(("W4, a list exists: at most 1.15× the durable floor", f"{with_list[0]:.2f}×",
                    "met" if with_list[0] <= 1.15 else "missed"))
    TARGETS.append(("W4, no list yet: at most 1.15× the durable floor", f"{no_list[0]:.2f}×",
                    "met" if no_list[0] <= 1.15 else "missed"))
    sh("rm", "-rf", area, masters)
    out += [f"### W4: a file area of {args.area_files} files holding {len(logs)} logs", ""] + table(results) + [""]
    out += [
        "| ratio | median of per-round ratios | ratio of medians | target |",
        "|---|---:|---:|---|",
        ratio_row("logharvest / durable floor, list exists", with_list, 1.15),
        ratio_row("logharvest / durable floor, no list yet", no_list, 1.15),
        f"| logharvest / floor, list exists | {plain_with_list[0]:.2f} | {plain_with_list[1]:.2f} | (no sync in the floor) |",
        f"| logharvest / floor, no list yet | {plain_no_list[0]:.2f} | {plain_no_list[1]:.2f} | |",
        "",
    ]


# --- W5: files harvested again into a large list ------------------------------

W5_NEW = b"  this week's comment\r\n"  # what follows a harvested name in its new line
W5_LOG = b"\xc0\xe2\xf2\xee\xf0: bench\r\n" + PREFIX + b" this week's comment\r\n"
W5_TARGET = 1.2  # logharvest / (cp + sync)
W5_FLOOR_TARGET = 1.1  # logharvest / replacement floor, where the floor lies above W5_TARGET


def write_lines(path, rows):
    with open(path, "wb") as f:
        chunk = []
        for row in rows:
            chunk.append(row)
            if len(chunk) == 65536:
                f.write(b"".join(chunk))
                chunk = []
        f.write(b"".join(chunk))


def list_of_mib(path, list_mib):
    """Lines of 60 to 66 bytes ("file00001234.zip  an earlier comment of the file, number 1234"), list_mib MiB
    in all, among them an older line of each of ten names of another first letter ("again00.zip"), spread
    through it. Returns the ten names and their older lines."""
    names = [b"again%02d.zip" % i for i in range(10)]
    old = {name: name + b"  last week's comment\r\n" for name in names}
    target = list_mib * MIB
    step = target // (len(names) + 1)

    def rows():
        written = 0
        line = 0
        for k, name in enumerate(names):
            while written < step * (k + 1):
                row = b"file%08d.zip  an earlier comment of the file, number %d\r\n" % (line, line)
                written += len(row)
                line += 1
                yield row
            written += len(old[name])
            yield old[name]
        while written < target:
            row = b"file%08d.zip  an earlier comment of the file, number %d\r\n" % (line, line)
            written += len(row)
            line += 1
            yield row

    write_lines(path, rows())
    return names, old


def list_of_lines(path, count):
    """count short lines ("f0001234.zip  note 1234", 22 to 27 bytes with CR LF). The ten names harvested
    again are ten of these, at 5%, 15%, ... 95% of the list: every name shares its first letters with
    theirs, so no line is passed by its first byte alone."""
    names = [b"f%07d.zip" % (count * (2 * k + 1) // 20) for k in range(10)]
    row = b"f%07d.zip  note %d\r\n"
    old = {name: row % (int(name[1:8]), int(name[1:8])) for name in names}
    write_lines(path, (row % (i, i) for i in range(count)))
    return names, old


# Calls in which a process waits for another (the shell for cp and sync): their time is the other's again.
WAITING_CALLS = ("wait4", "waitid", "vfork")


def strace_times(command, env, path):
    """Wall seconds inside each system call (strace -f -c -w) and the number of calls: name -> (s, calls).
    The calls of WAITING_CALLS are left out."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    subprocess.run(["strace", "-f", "-c", "-w", "-o", path, "--"] + command, check=True, env=full_env,
                   stdout=subprocess.DEVNULL)
    times = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total" and \
                    fields[-1] not in WAITING_CALLS:
                times[fields[-1]] = (float(fields[1]), int(fields[3]))
    return times


def again_breakdown(args, contestants, results, listed):
    """Where the time of each contestant goes: its CPU time in the counted rounds, its time inside each
    system call in traced runs, and the floor's steps timed by the floor itself."""
    rows = ["Where the time goes. CPU: getrusage of the counted rounds (medians); wall less CPU is waiting "
            "(the disk, the syncs).", "",
            "| run | median wall s | median user s | median system s | wall less CPU s |", "|---|---:|---:|---:|---:|"]
    medians = {}
    for name, samples in results.items():
        wall = median_s(samples)
        user = statistics.median(sample[2] for sample in samples)
        system = statistics.median(sample[3] for sample in samples)
        medians[name] = (wall, user, system, wall - user - system)
        rows.append(f"| {name} | {wall:.3f} | {user:.3f} | {system:.3f} | {wall - user - system:.3f} |")
    a, b = medians["logharvest"], medians["cp + sync"]
    rows.append("| logharvest less cp + sync | " + " | ".join(f"{x - y:+.3f}" for x, y in zip(a, b)) + " |")
    a = medians["replacement floor"]
    rows.append("| replacement floor less cp + sync | " + " | ".join(f"{x - y:+.3f}" for x, y in zip(a, b)) + " |")
    rows.append("")

    # Traced runs, the contestants alternating; the trace slows every call a little.
    trace_file = os.path.join(args.scratch, "strace.txt")
    traced = {name: [] for name, *_ in contestants}
    steps = []
    for _ in range(args.trace_runs):
        for name, prepare, command, env, verify in contestants:
            prepare()
            traced[name].append(strace_times(command, env, trace_file))
            verify()
        prepare()
        done = subprocess.run([args.floor, "--replace", "--steps", listed], check=True, stdout=subprocess.PIPE)
        steps.append([line.rsplit(" ", 1) for line in done.stdout.decode().splitlines()])
    names = list(traced)
    calls = {}
    totals = {}
    for name, runs in traced.items():
        every = set().union(*runs)
        calls[name] = {c: (statistics.median(run.get(c, (0.0, 0))[0] for run in runs),
                           statistics.median(run.get(c, (0.0, 0))[1] for run in runs)) for c in every}
        totals[name] = (statistics.median(sum(s for s, _ in run.values()) for run in runs),
                        statistics.median(sum(n for _, n in run.values()) for run in runs))
    shown = sorted({c for name in names for c, (s, _) in calls[name].items() if s >= 0.0005},
                   key=lambda c: -calls["logharvest"].get(c, (0.0, 0))[0])
    rows += [f"Inside system calls: `strace -f -c -w` (wall seconds from entry to return; median of "
             f"{args.trace_runs} traced runs; the calls in brackets; those of 0.5 ms or more; a shell's wait for its "
             f"children left out).", ""]
    rows += ["| system call | " + " | ".join(names) + " | logharvest less cp + sync |",
             "|---|" + "---:|" * (len(names) + 1)]

    def cell(name, c):
        s, n = calls[name].get(c, (0.0, 0))
        return f"{s:.4f} ({n:g})"

    for c in shown:
        gap = calls["logharvest"].get(c, (0.0, 0))[0] - calls["cp + sync"].get(c, (0.0, 0))[0]
        rows.append(f"| {c} | " + " | ".join(cell(name, c) for name in names) + f" | {gap:+.4f} |")
    gap = totals["logharvest"][0] - totals["cp + sync"][0]
    rows.append("| all system calls | " + " | ".join(f"{totals[name][0]:.4f} ({totals[name][1]:g})" for name in names)
                + f" | {gap:+.4f} |")
    rows.append("")
    step_names = [name for name, _ in steps[0]]
    rows += [f"The replacement floor's steps, timed by itself (`floor --replace --steps`, untraced; median of "
             f"{args.trace_runs} runs):", "", "| step | s |", "|---|---:|"]
    for i, step in enumerate(step_names):
        rows.append(f"| {step} | {statistics.median(float(run[i][1]) for run in steps):.4f} |")
    rows.append(f"| all | {statistics.median(sum(float(s) for _, s in run) for run in steps):.4f} |")
    rows.append("")
    return rows


def workload_again(runner, args, out, key, label, make_list):
    """10 logs of files listed before, harvested into a list that holds an older line of each: the run writes
    the list anew without them. Its matches: copying the list and syncing the copy, and the replacement floor."""
    area = os.path.join(args.scratch, key)
    masters = os.path.join(args.scratch, key + "-logs")
    os.makedirs(area)
    os.makedirs(masters)
    master_list = os.path.join(masters, "descript.ion")
    names, old = make_list(master_list)
    size = os.path.getsize(master_list)
    with open(master_list, "rb") as f:
        lines = f.read().count(b"\n")
    log(f"{label}: a list of {size / MIB:.1f} MiB in {lines} lines holding an older line of each of "
        f"{len(names)} files")
    def add_files(directory, file_names):
        for name in file_names:
            with open(os.path.join(directory, name.decode()), "wb") as f:
                f.write(b"data")
            with open(os.path.join(masters, name.decode() + ".log"), "wb") as f:
                f.write(W5_LOG)

    add_files(area, names)
    listed = os.path.join(area, "descript.ion")
    copy = os.path.join(area, "descript.copy")
    beside = listed + ".floor-new"
    state = {}
    # The same harvest where no name has an older line: the list is read to
    # its end and only appended to. What W5 costs beyond it is the
    # replacement's own cost.
    fresh_area = area + "-fresh"
    os.makedirs(fresh_area)
    fresh_names = [b"fresh%02d.zip" % i for i in range(len(names))]
    add_files(fresh_area, fresh_names)
    fresh_listed = os.path.join(fresh_area, "descript.ion")

    def lay_out(directory, list_path, log_names, stale):
        """The list afresh from its master, the logs linked back, nothing else left."""
        for path in [list_path] + stale:
            if os.path.exists(path):
                os.unlink(path)
        sh("cp", master_list, list_path)
        for name in log_names:
            log_name = name.decode() + ".log"
            if not os.path.exists(os.path.join(directory, log_name)):
                os.link(os.path.join(masters, log_name), os.path.join(directory, log_name))
        sh("sync")

    def prepare_fresh():
        lay_out(fresh_area, fresh_listed, fresh_names, [])

    def verify_fresh():
        want = size + sum(len(name) + len(W5_NEW) for name in fresh_names)
        if count_logs(fresh_area) != 0 or os.path.getsize(fresh_listed) != want:
            raise SystemExit(f"{label}: the harvest without older lines did not append every line")

    def prepare():
        lay_out(area, listed, names, [copy, beside])
        state["inode"] = os.stat(listed).st_ino

    def verify_harvest():
        left = count_logs(area)
        with open(listed, "rb") as f:
            text = f.read()
        want = size - sum(len(line) for line in old.values()) + len(names) * len(W5_NEW) + \
            sum(len(name) for name in names)
        once = all(text.count(name + b"  ") == 1 and name + W5_NEW in text for name in names)
        if left != 0 or len(text) != want or not once:
            raise SystemExit(f"{label}: {left} logs left, list of {len(text)} bytes (want {want}), "
                             f"one new line each: {once}")

    def verify_copy():
        if os.path.getsize(copy) != size:
            raise SystemExit(f"{label}: the copy is not the list")

    def verify_floor():
        info = os.stat(listed)
        if info.st_size != size or info.st_ino == state["inode"] or os.path.exists(beside):
            raise SystemExit(f"{label}: the floor did not put a copy of the list in its place")

    contestants = [
        ("logharvest", prepare, [args.program, area], None, verify_harvest),
        ("cp + sync", prepare, ["sh", "-c", f"cp {listed} {copy} && sync {copy}"], None, verify_copy),
        ("replacement floor", prepare, [args.floor, "--replace", listed], None, verify_floor),
        ("logharvest, no older line", prepare_fresh, [args.program, fresh_area], None, verify_fresh),
    ]
    results = rounds(runner, contestants, args.warmup, args.reps, label)
    own = [w[0] - f[0] for w, f in zip(results["logharvest"], results["logharvest, no older line"])]
    note_rss(label, results, ["logharvest"])
    lh_cp = ratio(results, "logharvest", "cp + sync")
    floor_cp = ratio(results, "replacement floor", "cp + sync")
    lh_floor = ratio(results, "logharvest", "replacement floor")
    if lh_cp[0] <= W5_TARGET:
        verdict, measured = "met", f"{lh_cp[0]:.2f}× cp + sync"
    elif floor_cp[0] > W5_TARGET:
        verdict = "met" if lh_floor[0] <= W5_FLOOR_TARGET else "missed"
        measured = (f"{lh_cp[0]:.2f}× cp + sync; the floor lies at {floor_cp[0]:.2f}× and logharvest at "
                    f"{lh_floor[0]:.2f}× the floor")
    else:
        verdict = "missed"
        measured = f"{lh_cp[0]:.2f}× cp + sync, where the floor lies at {floor_cp[0]:.2f}×"
    TARGETS.append((f"{label}: at most {W5_TARGET}× `cp` and `sync`, or where the replacement floor lies above "
                    f"that, at most {W5_FLOOR_TARGET}× the floor", measured, verdict))
    out += [f"### {label}: {len(names)} files harvested again into a list of {size / MIB:.1f} MiB "
            f"({lines} lines)", ""]
    out += table(results) + [""]
    out += [
        "| ratio | median of per-round ratios | ratio of medians | target |",
        "|---|---:|---:|---|",
        ratio_row("logharvest / (cp + sync)", lh_cp, W5_TARGET),
        f"| replacement floor / (cp + sync) | {floor_cp[0]:.2f} | {floor_cp[1]:.2f} | "
        f"(above {W5_TARGET}: the floor's target applies) |",
        ratio_row("logharvest / replacement floor", lh_floor, W5_FLOOR_TARGET),
        "",
        f"The replacement's own cost, logharvest less the same harvest without older lines (which reads "
        f"the list too): {statistics.median(own):.3f} s, against {median_s(results['cp + sync']):.3f} s "
        f"for `cp` and `sync` and {median_s(results['replacement floor']):.3f} s for the replacement floor "
        f"(medians of the rounds).",
        "",
        f"{label} target: {verdict} ({measured}).",
        "",
    ]
    out += again_breakdown(args, contestants, results, listed)
    sh("rm", "-rf", area, fresh_area, masters)


def machine(args):
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) // 1024
    options = ""
    with open("/proc/mounts") as f:
        best = ""
        for line in f:
            fields = line.split()
            if args.scratch.startswith(fields[1]) and len(fields[1]) >= len(best):
                best, options = fields[1], f"{fields[0]} on {fields[1]} ({fields[2]}, {fields[3]})"
    return [
        f"- CPU: {model}, {os.cpu_count()} cores (shared with other work); memory {memory} MiB",
        f"- kernel {platform.release()}; scratch file system: {options}",
        f"- {args.warmup} warm-up round(s), then {args.reps} counted rounds; run order rotates per round",
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--nosync", required=True)
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--logs", type=int, default=100000)
    parser.add_argument("--strace-logs", type=int, default=1000)
    parser.add_argument("--big-mib", type=int, default=1024)
    parser.add_argument("--mid-mib", type=int, default=10)
    parser.add_argument("--huge-mib", type=int, default=256)
    parser.add_argument("--area-files", type=int, default=100000)
    parser.add_argument("--list-mib", type=int, default=100)
    parser.add_argument("--list-lines", type=int, default=1000000)
    parser.add_argument("--trace-runs", type=int, default=3)
    parser.add_argument("--only", default="w1,syscalls,w2w3,w4,w5",
                        help="comma-separated: w1, syscalls, w2w3, w4, w5 (both W5 lists), w5mib, w5lines")
    parser.add_argument("--out")
    parser.add_argument("--before", help="the program of another revision, run beside this one")
    args = parser.parse_args()
    if args.before:
        BEFORE.update(program=args.before, this=args.program)
    runner = Runner(args.scratch)
    out = ["## Results", ""] + machine(args) + [""]
    started = time.perf_counter()
    parts = args.only.split(",")
    if "syscalls" in parts:
        syscalls(runner, args, out)
    if "w1" in parts:
        workload_small(runner, args, out)
    if "w2w3" in parts:
        workloads_big(runner, args, out)
    if "w4" in parts:
        workload_area(runner, args, out)
    if "w5" in parts:
        parts += ["w5mib", "w5lines"]
    if "w5mib" in parts:
        workload_again(runner, args, out, "w5", "W5", lambda path: list_of_mib(path, args.list_mib))
    if "w5lines" in parts:
        workload_again(runner, args, out, "w5s", "W5, short lines",
                       lambda path: list_of_lines(path, args.list_lines))
    if RSS_SUMMARY:
        out += ["### Peak RSS of logharvest, every workload (median of the counted rounds)", "",
                "| workload | run | median peak RSS MiB | target | |", "|---|---|---:|---|---|"]
        for workload, name, mib, limit, what in RSS_SUMMARY:
            out.append(f"| {workload} | {name} | {mib:.2f} | {what} | {'met' if mib <= limit else 'missed'} |")
        out.append("")
    if TARGETS:
        out += ["### The targets", "", "| target | measured (median of per-round ratios) | |", "|---|---|---|"]
        out += [f"| {target} | {measured} | {verdict} |" for target, measured, verdict in TARGETS]
        worst = max(RSS_SUMMARY, key=lambda row: row[2] - row[3], default=None)
        if worst is not None:
            verdict = "met" if all(mib <= limit for _, _, mib, limit, _ in RSS_SUMMARY) else "missed"
            out.append(f"| peak RSS of logharvest at most 8 MiB in every workload (W3: the cap + 8) | "
                       f"closest to its limit: {worst[0]} {worst[1]}, {worst[2]:.2f} of {worst[3]} MiB | {verdict} |")
        out.append("")
    if BEFORE_AFTER:
        out += ["### This program against the one before, in the same rounds", "",
                "| workload | run | median s | before, median s | median of per-round ratios | |",
                "|---|---|---:|---:|---:|---|"]
        for title, name, now, then, per_round in BEFORE_AFTER:
            out.append(f"| {title} | {name} | {now:.3f} | {then:.3f} | {per_round:.2f} | "
                       f"{'slower' if per_round > 1.05 else 'as fast or faster'} |")
        out.append("")
    out.append(f"Whole benchmark: {time.perf_counter() - started:.0f} s.")
    text = "\n".join(out) + "\n"
    print()
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
