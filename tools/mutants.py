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
import contextlib
import io
import json
import os
import random
import selectors
import signal
import subprocess
import sys
import tarfile
import time
from pathlib import Path

from fwtwine.paths import repo_files

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_LIST = ROOT / "tools" / "mutants.json"
DEFAULT_WORK = ROOT / "build" / "mutants"

# The test programs, in the order they run against a mutant (quick and specific first).
ENGINE = ("tests/engine_tests", "engine_tests")
HOST = ("tests/host_core_tests", "host_core_tests")
DEVSIM = ("tests/devsim_tests", "devsim_tests")
PROGRAM = ("tests/devsim_program_tests", "devsim_program_tests")
SOAK = ("tests/soak/fault_soak", "fault_soak")


def programs_for(path):
    """The programs that link a mutated file; the others cannot see the mutant."""
    if path.startswith("engine/"):
        return [ENGINE, HOST, DEVSIM, PROGRAM, SOAK]
    if path.startswith("tools/devsim/"):
        return [DEVSIM, PROGRAM, SOAK]
    if path.startswith("host/"):
        return [HOST]
    raise SystemExit(f"mutants: no test programs known for {path}")


def targets_for(programs):
    names = [name for _, name in programs]
    if "devsim_program_tests" in names:
        names.append("fwt-devsim")
    return names


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(f"signal {signum}")


@contextlib.contextmanager
def process_group(args, **kwargs):
    """Starts args in a session of its own and ends that whole group on every way out, so a
    test's own children (the simulated device) go with it."""
    proc = subprocess.Popen(args, start_new_session=True, **kwargs)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)  # leftovers of a group whose leader ended
        proc.wait()


def run_quiet(args, timeout, cwd=None):
    """Runs a program, output discarded; returns its exit code, or None on time-out."""
    with process_group(
        args,
        cwd=cwd,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        stdin=subprocess.DEVNULL,
    ) as proc:
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None


def run_soak(path, timeout):
    """Runs the soak, ending it at its first failing run. Returns 'pass', 'FAIL ...' or
    'time-out'."""
    deadline = time.monotonic() + timeout
    with process_group(
        [str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        stdin=subprocess.DEVNULL,
        text=True,
    ) as proc:
        os.set_blocking(proc.stdout.fileno(), True)
        sel = selectors.DefaultSelector()
        sel.register(proc.stdout, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return "time-out"
            if not sel.select(timeout=left):
                continue
            line = proc.stdout.readline()
            if not line:
                break
            if line.startswith("FAIL "):
                return line.strip()[:160]
        code = proc.wait()
        return "pass" if code == 0 else f"exit {code}"


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


def files_at(rev):
    """{path: bytes} of the tree at a commit, for a run against older tests."""
    data = subprocess.run(
        ["git", "-C", str(ROOT), "archive", "--format=tar", rev], check=True, capture_output=True
    ).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        return {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}


def sync_tree(src, rev=None):
    """Brings the scratch copy up to date with the working tree (or with the commit rev),
    writing only files that differ so that the incremental build stays incremental."""
    if rev is None:
        files = {rel: (ROOT / rel).read_bytes() for rel in repo_files(ROOT)}
    else:
        files = files_at(rev)
    wanted = set()
    for rel, data in files.items():
        wanted.add(rel)
        dest = src / rel
        if dest.is_file() and dest.read_bytes() == data:
            continue
        dest.parent.mkdir(parents=True, exist_ok=True)
        dest.write_bytes(data)
        if rel.endswith(".sh") or rel.endswith(".py"):
            dest.chmod(0o755)
    for dirpath, _, filenames in os.walk(src):
        for f in filenames:
            rel = str((Path(dirpath) / f).relative_to(src))
            if rel not in wanted:
                os.unlink(Path(dirpath) / f)


def configure(src, build):
    if (build / "CMakeCache.txt").is_file():
        return
    # The native preset's settings; test discovery is left to CTest so that a link does not
    # also run each test program to list its cases.
    subprocess.run(
        [
            "cmake",
            "-S",
            str(src),
            "-B",
            str(build),
            "-G",
            "Unix Makefiles",
            "-DCMAKE_BUILD_TYPE=Debug",
            "-DCMAKE_CXX_COMPILER=g++",
            "-DFWT_SANITIZE=ON",
            "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def build_targets(build, targets, jobs):
    result = subprocess.run(
        ["cmake", "--build", str(build), "-j", str(jobs), "--target", *targets],
        capture_output=True,
        text=True,
    )
    return result.returncode == 0, result.stdout + result.stderr


def gtest_args(path):
    return [str(path), "--gtest_fail_fast", "--gtest_brief=1"]


def time_baseline(build, programs):
    """Runs every program once on the unmutated tree: all must pass. Returns their times."""
    times = {}
    for rel, name in programs:
        path = build / rel
        start = time.monotonic()
        if name == "fault_soak":
            verdict = run_soak(path, 600)
            ok = verdict == "pass"
        else:
            ok = run_quiet(gtest_args(path), 600) == 0
            verdict = "pass" if ok else "failed"
        times[name] = time.monotonic() - start
        if not ok:
            raise SystemExit(f"mutants: {name} does not pass on the unmutated tree ({verdict})")
        print(f"baseline {name}: {times[name]:.1f} s", flush=True)
    return times


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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--list", default=str(DEFAULT_LIST), help="mutant list (JSON)")
    ap.add_argument(
        "--work",
        default=str(DEFAULT_WORK),
        help="scratch directory: the tree's copy and its build (kept between runs)",
    )
    ap.add_argument(
        "--floor",
        type=float,
        default=0.0,
        help="least share of mutants killed, in percent (exit 1 below it)",
    )
    ap.add_argument(
        "--sample",
        type=int,
        default=0,
        help="run N mutants drawn with --seed from those not marked accepted",
    )
    ap.add_argument(
        "--seed",
        type=int,
        default=None,
        help="seed of the sample (default: from the checked-out commit)",
    )
    ap.add_argument("--only", nargs="*", default=[], help="run only these mutant ids")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build jobs")
    ap.add_argument(
        "--rev",
        default=None,
        help="take the tree (tests included) from this commit instead of the "
        "working tree, e.g. to score the tests as they were",
    )
    ap.add_argument(
        "--check", action="store_true", help="only check that every mutant applies to the tree"
    )
    args = ap.parse_args()

    mutants = load_mutants(args.list)
    for m in mutants:
        locate((ROOT / m["file"]).read_text(encoding="utf-8"), m)
    if args.check:
        print(f"{len(mutants)} mutants apply")
        return 0
    if args.only:
        unknown = set(args.only) - {m["id"] for m in mutants}
        if unknown:
            raise SystemExit(f"mutants: unknown ids {sorted(unknown)}")
        mutants = [m for m in mutants if m["id"] in args.only]
    if args.sample:
        seed = default_seed() if args.seed is None else args.seed
        pool = [m for m in mutants if "accepted" not in m]
        mutants = random.Random(seed).sample(pool, min(args.sample, len(pool)))
        print(
            f"sample of {len(mutants)} from {len(pool)} mutants, seed {seed} "
            f"(replay: --sample {args.sample} --seed {seed})",
            flush=True,
        )
    # Grouped by file, so that consecutive mutants rebuild the same few targets.
    mutants.sort(key=lambda m: m["file"])

    signal.signal(signal.SIGTERM, on_signal)
    started = time.monotonic()
    work = Path(args.work)
    src, build = work / "src", work / "build"
    src.mkdir(parents=True, exist_ok=True)
    sync_tree(src, args.rev)
    configure(src, build)
    needed = []
    for m in mutants:
        for p in programs_for(m["file"]):
            if p not in needed:
                needed.append(p)
    ok, log = build_targets(build, targets_for(needed), args.jobs)
    if not ok:
        print(log)
        raise SystemExit("mutants: the unmutated tree does not build")
    base_times = time_baseline(build, needed)

    results = []
    try:
        for i, m in enumerate(mutants, 1):
            t0 = time.monotonic()
            verdict, detail = try_mutant(m, src, build, base_times, args.jobs)
            results.append((m, verdict, detail))
            print(
                f"[{i}/{len(mutants)}] {m['id']}: {verdict} {detail} "
                f"({time.monotonic() - t0:.1f} s)",
                flush=True,
            )
    except (Interrupted, KeyboardInterrupt) as e:
        print(f"mutants: interrupted ({e})", file=sys.stderr)
        return 2

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
    survivors = [(m, d) for m, v, d in results if v == "survived"]
    invalid = [(m, d) for m, v, d in results if v == "invalid"]
    if survivors:
        print("survivors:")
        for m, _ in survivors:
            note = f" [accepted: {m['accepted']}]" if "accepted" in m else ""
            print(f"  {m['id']} ({m['file']}): {m['why']}{note}")
    for m, d in invalid:
        print(f"does not build: {m['id']} ({m['file']}): {d}")
    minutes = (time.monotonic() - started) / 60
    print(
        f"score: {killed}/{total} killed ({score:.1f}%), floor {args.floor:g}%, "
        f"{minutes:.1f} min"
    )
    if invalid:
        return 1  # the list no longer fits the code
    return 0 if score >= args.floor else 1


if __name__ == "__main__":
    sys.exit(main())
