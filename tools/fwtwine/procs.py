"""Processes: started in a group of their own and ended by their PID, and what /proc says of them."""

import contextlib
import ctypes
import os
import signal
import subprocess
import time
from pathlib import Path

libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def log(text=""):
    print(text, flush=True)


class CaseAbort(Exception):
    """A step the rest of the case depends on failed."""


def _new_group_dying_with_us():
    # Runs in the child before exec: its own process group, so that it and whatever it forks
    # can be ended through its PID; and SIGKILL when this driver dies, should it die without
    # running its clean-up (CTest's time-out kills it).
    os.setsid()
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def start(argv, env=None, stdout=None, stderr=None, pass_fds=(), **popen):
    """Starts a process in a process group of its own; the caller must `end` it. `popen`: more
    of subprocess.Popen's options."""
    return subprocess.Popen(
        [str(a) for a in argv],
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=stdout,
        stderr=stderr,
        pass_fds=pass_fds,
        preexec_fn=_new_group_dying_with_us,
        **popen,
    )


def end(proc, grace=5.0):
    """Ends a process started by `start` and what it forked: SIGTERM to its group, SIGKILL to
    what is left of it after `grace` seconds."""
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        # Once the process has been waited for and its group is empty, its PID may belong to
        # another process by now: signal the group only while it still exists.
        if proc.returncode is not None and not group_alive(proc.pid):
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(wait)


def terminate_on_sigterm():
    # CTest and people end a run with SIGTERM or SIGINT: turn both into exceptions so that the
    # context managers' clean-up runs.
    def stop(signum, _frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)


def wait_until(predicate, seconds=5.0, step=0.05):
    """Polls predicate until it holds or seconds pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def _stat(pid):
    """The fields of /proc/PID/stat after the command name (state, ppid, pgrp, ...), or []."""
    with contextlib.suppress(OSError, IndexError):
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return []


def pids(where=lambda pid: True):
    """The PIDs of the live processes for which `where(pid)` holds, this one left out."""
    found = []
    for entry in Path("/proc").glob("[0-9]*"):
        pid = int(entry.name)
        with contextlib.suppress(OSError, ValueError, IndexError):
            if pid != os.getpid() and where(pid):
                found.append(pid)
    return found


def group_alive(pgid):
    """Whether any process is still in the process group."""
    return bool(pids(lambda pid: int(_stat(pid)[2]) == pgid))


def children(pid):
    return pids(lambda child: int(_stat(child)[1]) == pid)


def with_env(entry):
    """PIDs of the processes whose environment holds `entry` ("NAME=VALUE")."""
    entry = entry.encode()
    return pids(lambda pid: entry in Path(f"/proc/{pid}/environ").read_bytes().split(b"\0"))


def holds(pid, target):
    """Whether the process has `target` open."""
    for fd in Path(f"/proc/{pid}/fd").iterdir():
        with contextlib.suppress(OSError):
            if os.readlink(fd) == target:
                return True
    return False


def cmdline(pid):
    with contextlib.suppress(OSError):
        text = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ")
        return text.decode(errors="replace")
    return ""


def cpu_ns(pid):
    """Nanoseconds on the CPU of the process's threads now alive (task/*/schedstat): finer than
    the clock ticks of /proc/PID/stat, which count in 10 ms steps."""
    total = 0
    for task in Path(f"/proc/{pid}/task").glob("*/schedstat"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            total += int(task.read_text().split()[0])
    return total


def cpu_ticks(pid):
    """utime + stime of the process, all its threads, in clock ticks."""
    fields = _stat(pid)
    return int(fields[11]) + int(fields[12])
