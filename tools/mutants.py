#!/usr/bin/env python3
"""Mutation testing: puts one small programmer error at a time into a scratch copy of the tree,
rebuilds it incrementally and runs the native suites (stopping at the first failure), then the
fault soak, against it. Prints killed/total per file and the survivors; exits 1 below --floor.

The mutants are plain data in tools/mutants.json: file, the exact original text ("from"), its
replacement ("to"), a one-line reason ("why"), an optional occurrence index ("nth", from 0)
and, for a survivor that is known and accepted, the reason it is accepted ("accepted").

  python3 tools/mutants.py                       # every mutant (about 7 minutes here)
  python3 tools/mutants.py --sample 15 --floor 100   # what CI runs
  python3 tools/mutants.py --only job-restart-slow   # one mutant, by id
"""

import argparse
import json
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

from fwtwine.paths import BUILD, ROOT
from mutants_tree import (
    build_targets,
    configure,
    gtest_args,
    programs_for,
    run_quiet,
    run_soak,
    sync_tree,
    targets_for,
    time_baseline,
)

DEFAULT_LIST = ROOT / "tools" / "mutants.json"
DEFAULT_WORK = BUILD / "mutants"


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(f"signal {signum}")


def load_mutants(path):
    with open(path, encoding="utf-8") as f:
        mutants = json.load(f)
    seen = set()
    for m in mutants:
        for key in ("id", "file", "from", "to", "why"):
            if key not in m:
                raise SystemExit(f"mutants: {m.get('id', '?')} has no '{key}'")
        if m["id"] in seen:
            raise SystemExit(f"mutants: duplicate id {m['id']}")
        seen.add(m["id"])
    return mutants


def locate(text, m):
    """Offset of the mutant's original text in the file, which must be unambiguous."""
    nth = m.get("nth")
    hits = []
    start = 0
    while (at := text.find(m["from"], start)) >= 0:
        hits.append(at)
        start = at + 1
    if not hits:
        raise SystemExit(f"mutants: {m['id']}: original text not found in {m['file']}")
    if nth is None:
        if len(hits) > 1:
            raise SystemExit(
                f"mutants: {m['id']}: original text occurs {len(hits)} times "
                f"in {m['file']}; give 'nth'"
            )
        return hits[0]
    if nth >= len(hits):
        raise SystemExit(f"mutants: {m['id']}: no occurrence {nth} in {m['file']}")
    return hits[nth]


def try_mutant(m, src, build, base_times, jobs):
    """Applies one mutant, runs what can see it, restores the file. Returns (verdict, detail):
    verdict is killed, survived or invalid (does not build)."""
    target = src / m["file"]
    original = target.read_text(encoding="utf-8")
    at = locate(original, m)
    mutated = original[:at] + m["to"] + original[at + len(m["from"]) :]
    programs = programs_for(m["file"])
    try:
        target.write_text(mutated, encoding="utf-8")
        for rel, name in programs:
            # Each program is linked only when the ones before it let the mutant live.
            ok, log = build_targets(build, targets_for([(rel, name)]), jobs)
            if not ok:
                lines = [l for l in log.splitlines() if "error" in l] or ["build failed"]
                return "invalid", lines[0].strip()
            # A hang is a kill: the real engine never takes that long.
            limit = 5 * base_times[name] + 20
            if name == "fault_soak":
                verdict = run_soak(build / rel, limit)
                if verdict != "pass":
                    return "killed", f"fault_soak: {verdict}"
            else:
                code = run_quiet(gtest_args(build / rel), limit)
                if code is None:
                    return "killed", f"{name}: time-out"
                if code != 0:
                    return "killed", f"{name}: exit {code}"
        return "survived", ""
    finally:
        target.write_text(original, encoding="utf-8")


def default_seed():
    try:
        head = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "HEAD"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.strip()
        return int(head[:8], 16)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return 1


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    option = ap.add_argument
    option("--list", default=str(DEFAULT_LIST), help="mutant list (JSON)")
    work_help = "scratch directory: the tree's copy and its build (kept between runs)"
    option("--work", default=str(DEFAULT_WORK), help=work_help)
    floor_help = "least share of mutants killed, in percent (exit 1 below it)"
    option("--floor", type=float, default=0.0, help=floor_help)
    sample_help = "run N mutants drawn with --seed from those not marked accepted"
    option("--sample", type=int, default=0, help=sample_help)
    option("--seed", type=int, help="seed of the sample (default: from the checked-out commit)")
    option("--only", nargs="*", default=[], help="run only these mutant ids")
    option("--jobs", type=int, default=2, help="parallel build jobs")
    rev_help = "take the tree (tests included) from this commit instead of the working tree, e.g."
    option("--rev", help=rev_help + " to score the tests as they were")
    option("--check", action="store_true", help="only check that every mutant applies to the tree")
    return ap.parse_args()


def chosen(args, mutants):
    """The mutants to run (--only, --sample), grouped by file so that consecutive mutants
    rebuild the same few targets."""
    if args.only:
        unknown = set(args.only) - {m["id"] for m in mutants}
        if unknown:
            raise SystemExit(f"mutants: unknown ids {sorted(unknown)}")
        mutants = [m for m in mutants if m["id"] in args.only]
    if args.sample:
        seed = default_seed() if args.seed is None else args.seed
        pool = [m for m in mutants if "accepted" not in m]
        mutants = random.Random(seed).sample(pool, min(args.sample, len(pool)))
        replay = f"--sample {args.sample} --seed {seed}"
        print(
            f"sample of {len(mutants)} from {len(pool)} mutants, seed {seed} (replay: {replay})",
            flush=True,
        )
    return sorted(mutants, key=lambda m: m["file"])


def prepare(args, mutants):
    """Brings the scratch tree up to date, builds what the mutants need and times it unmutated.
    Returns (source, build tree, baseline times)."""
    src, build = Path(args.work) / "src", Path(args.work) / "build"
    src.mkdir(parents=True, exist_ok=True)
    sync_tree(src, args.rev)
    configure(src, build)
    needed = []
    for m in mutants:
        needed += [p for p in programs_for(m["file"]) if p not in needed]
    ok, log = build_targets(build, targets_for(needed), args.jobs)
    if not ok:
        print(log)
        raise SystemExit("mutants: the unmutated tree does not build")
    return src, build, time_baseline(build, needed)


def summary(results, floor, started):
    """Prints killed/total per file, the survivors and the score; returns the exit code."""
    by_file = {}
    for m, verdict, _ in results:
        counts = by_file.setdefault(m["file"], [0, 0])
        counts[1] += verdict != "invalid"
        counts[0] += verdict == "killed"
    print("\nkilled/total per file:")
    for f, (killed, total) in sorted(by_file.items()):
        print(f"  {f}: {killed}/{total}")
    killed = sum(k for k, _ in by_file.values())
    total = sum(t for _, t in by_file.values())
    score = 100.0 * killed / total if total else 100.0
    survivors = [m for m, v, _ in results if v == "survived"]
    invalid = [(m, d) for m, v, d in results if v == "invalid"]
    if survivors:
        print("survivors:")
    for m in survivors:
        note = f" [accepted: {m['accepted']}]" if "accepted" in m else ""
        print(f"  {m['id']} ({m['file']}): {m['why']}{note}")
    for m, d in invalid:
        print(f"does not build: {m['id']} ({m['file']}): {d}")
    minutes = (time.monotonic() - started) / 60
    print(f"score: {killed}/{total} killed ({score:.1f}%), floor {floor:g}%, {minutes:.1f} min")
    if invalid:
        return 1  # the list no longer fits the code
    return 0 if score >= floor else 1


def main():
    args = parse_args()
    mutants = load_mutants(args.list)
    for m in mutants:
        locate((ROOT / m["file"]).read_text(encoding="utf-8"), m)
    if args.check:
        print(f"{len(mutants)} mutants apply")
        return 0
    mutants = chosen(args, mutants)
    signal.signal(signal.SIGTERM, on_signal)
    started = time.monotonic()
    src, build, base_times = prepare(args, mutants)
    results = []
    try:
        for i, m in enumerate(mutants, 1):
            t0 = time.monotonic()
            verdict, detail = try_mutant(m, src, build, base_times, args.jobs)
            results.append((m, verdict, detail))
            took = time.monotonic() - t0
            print(f"[{i}/{len(mutants)}] {m['id']}: {verdict} {detail} ({took:.1f} s)", flush=True)
    except (Interrupted, KeyboardInterrupt) as e:
        print(f"mutants: interrupted ({e})", file=sys.stderr)
        return 2
    return summary(results, args.floor, started)


if __name__ == "__main__":
    sys.exit(main())
