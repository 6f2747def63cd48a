"""The mutants' scratch copy of the tree: kept in step with the working tree (or a commit),
built incrementally, and its test programs run, each in a process group of its own."""

import contextlib
import io
import os
import selectors
import subprocess
import tarfile
import time
from pathlib import Path

from fwtwine.paths import ROOT, repo_files
from fwtwine.procs import end, start

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


@contextlib.contextmanager
def process_group(args, **kwargs):
    """Starts args in a process group of its own and ends that whole group on every way out, so
    a test's own children (the simulated device) go with it."""
    proc = start(args, **kwargs)
    try:
        yield proc
    finally:
        end(proc, grace=0)


def run_quiet(args, timeout):
    """Runs a program, output discarded; returns its exit code, or None on time-out."""
    with process_group(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as proc:
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None


def run_soak(path, timeout):
    """Runs the soak, ending it at its first failing run. Returns 'pass', 'FAIL ...' or
    'time-out'."""
    deadline = time.monotonic() + timeout
    with process_group(
        [path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
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
