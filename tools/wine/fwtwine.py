"""Runs fwt.exe under Wine and Xvfb against simulated devices, for the end-to-end cases, the demo
and the benchmark.

A case is a `with Case(...) as c:` block: it gets a directory of its own, an Xvfb, a wineserver
of its own on the shared prefix, simulated devices mapped to COM ports, the tool and the UI
driver. Every process it starts is ended by its PID (its process group) when the block is left,
on every path, after `wineserver -k` has ended the prefix's own helper processes.
"""

import contextlib
import ctypes
import dataclasses
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import emul32

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BLOCK = 1024


def log(text=""):
    print(text, flush=True)


class CaseAbort(Exception):
    """A step the rest of the case depends on failed."""


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _new_group_dying_with_us():
    # Runs in the child before exec: its own process group, so that it and whatever it forks
    # can be ended through its PID; and SIGKILL when this driver dies, should it die without
    # running its clean-up (CTest's time-out kills it).
    os.setsid()
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def start(argv, env=None, stdout=None, stderr=None, pass_fds=()):
    """Starts a process in a process group of its own; the caller must `end` it."""
    return subprocess.Popen([str(a) for a in argv], env=env, stdin=subprocess.DEVNULL,
                            stdout=stdout, stderr=stderr, pass_fds=pass_fds,
                            preexec_fn=_new_group_dying_with_us)


def group_alive(pgid):
    """Whether any process is still in the process group."""
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, IndexError, ValueError):
            if int(stat.read_text().rsplit(")", 1)[1].split()[2]) == pgid:
                return True
    return False


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


def _terminate_on_sigterm():
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
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def children(pid):
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, IndexError, ValueError):
            if int(stat.read_text().rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(stat.parent.name))
    return found


def cmdline(pid):
    with contextlib.suppress(OSError):
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
    return ""


_CLONE_NEWNS = 0x00020000
_MS_BIND = 4096
_MS_REC = 16384
_MS_PRIVATE = 1 << 18


def _mount(source, target, flags):
    if _libc.mount(source, str(target).encode(), None, flags, None) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"mount {target}: {os.strerror(err)}")


def hide_machine_serial_ports(work_root, ptypeer):
    """As root, moves this process into a private mount namespace and bind-mounts a unix socket
    file over every /dev/ttyS*. At start-up Wine's mount manager gives every working /dev/ttyS*
    a COM number and overrides dosdevices for it; opening a socket file fails, so the machine's
    own ports stay out of the tool's list. The mounts go with the namespace when this process
    and its children end. As another user, does nothing."""
    if os.geteuid() != 0:
        return
    if _libc.unshare(_CLONE_NEWNS) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"unshare: {os.strerror(err)}")
    _mount(None, "/", _MS_REC | _MS_PRIVATE)
    work_root.mkdir(parents=True, exist_ok=True)
    sock = work_root / "hidden-serial.sock"
    if not sock.is_socket():
        sock.unlink(missing_ok=True)
        subprocess.run([str(ptypeer), "--socket", str(sock)], check=True)
    for dev in sorted(Path("/dev").glob("ttyS*")):
        _mount(str(sock).encode(), dev, _MS_BIND)


class Prefix:
    """A throw-away Wine prefix at ROOT/prefix, shared by the cases run one after another."""

    def __init__(self, root):
        self.root = Path(root)
        self.path = self.root / "prefix"
        self.ports = self.path / "dosdevices"

    def env(self, **extra):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all",
                   # No Mono or Gecko installers: the tool needs neither, and they would
                   # pop up dialogs.
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def server(self, *args):
        try:
            return subprocess.run([WINESERVER, *args], env=self.env(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=60).returncode
        except subprocess.TimeoutExpired:
            log(f"wineserver {' '.join(args)} did not return in 60 s")
            return None

    def kill_server(self):
        """Ends every process of this prefix through its wineserver, and waits for them."""
        if self.path.is_dir():
            self.server("-k")
            self.server("-w")

    def create(self, wine=WINE64):
        """About 6 s and 700 MB. Ports are not entered under HKLM\\Software\\Wine\\Ports: Wine
        makes a device object for each port named there, and that device opens even when
        nothing is behind it, so a missing port would not look missing."""
        self.remove()
        (self.root / "cases").mkdir(parents=True)
        logfile = self.root / "wineboot.log"
        with open(logfile, "w") as out:
            steps = [["wineboot", "-i"],
                     # A virtual desktop gives the windows a frame and a title bar, also in
                     # screenshots.
                     ["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop",
                      "/d", "Default", "/f"],
                     ["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default",
                      "/d", "800x500", "/f"]]
            try:
                for step in steps:
                    proc = start([wine, *step], env=self.env(), stdout=out, stderr=out)
                    try:
                        rc = proc.wait(240)
                    except subprocess.TimeoutExpired:
                        raise CaseAbort(f"{' '.join(step)} did not finish in 240 s "
                                        f"(see {logfile})")
                    finally:
                        end(proc)
                    if rc != 0:
                        raise CaseAbort(f"{' '.join(step)} failed with {rc} (see {logfile})")
                self.server("-w")
            finally:
                self.kill_server()

    def remove(self):
        self.kill_server()
        shutil.rmtree(self.root, ignore_errors=True)


@contextlib.contextmanager
def throwaway_prefix(root):
    """A fresh prefix for a script run by hand under ROOT; the prefix (700 MB) is removed on
    every path out, the cases' logs, traces and screenshots in ROOT/cases stay."""
    prefix = Prefix(root)
    log(f"Creating a throw-away Wine prefix in {prefix.path} ...")
    try:
        prefix.create()
        yield prefix
    finally:
        prefix.kill_server()
        shutil.rmtree(prefix.path, ignore_errors=True)


@dataclasses.dataclass
class Target:
    """The programs under test and how to start them. `loader` runs the tool; the UI driver and
    the other Windows test programs, 64-bit, always run with wine64. `window_ms` is how long the
    first "window" step waits for the tool's window; `time_scale` stretches the other waits of
    a case. `env` is added to the Wine processes' environment (target_env() gives a PE32's)."""
    exe: Path
    small_exe: Path = None
    noimage_exe: Path = None
    loader: tuple = (WINE64,)
    window_ms: int = 30000
    time_scale: float = 1.0
    env: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Tools:
    win64_dir: Path
    devsim: Path
    ptypeer: Path

    @property
    def uidriver(self):
        return self.win64_dir / "fwt-uidriver.exe"


def padded(data):
    return data + bytes(-len(data) % BLOCK)


def padded_size(image):
    return len(padded(Path(image).read_bytes()))


class DriverLog:
    """What the UI driver reported over the whole case, every run of it appended."""

    def __init__(self):
        self.lines = []

    def add(self, text):
        self.lines.extend(text.replace("\r", "").splitlines())

    def statuses(self):
        """(ms since that driver run started, text) of each status seen, in order."""
        out = []
        for line in self.lines:
            parts = line.split("\t", 2)
            if parts[0] == "status" and len(parts) == 3:
                out.append((int(parts[1]), parts[2]))
        return out

    def status_time(self, text):
        return next((t for t, s in self.statuses() if s == text), None)

    def items(self):
        return [line.split(" ", 2)[2] if line.count(" ") >= 2 else ""
                for line in self.lines if line.startswith("item ")]

    def boxes(self):
        out, body = [], None
        for line in self.lines:
            if line == "box-begin":
                body = []
            elif line == "box-end" and body is not None:
                out.append("\n".join(body))
                body = None
            elif body is not None:
                body.append(line)
        return out

    def rect(self):
        rects = [line.split()[1:] for line in self.lines if line.startswith("rect ")]
        return tuple(int(v) for v in rects[-1]) if rects else None

    def stamps(self):
        return [int(line.split()[1]) for line in self.lines if line.startswith("stamp ")]

    def errors(self):
        return [line for line in self.lines if line.startswith("driver-error")]


class Case:
    """One run of the tool in the prefix; see the module's description."""

    def __init__(self, name, prefix, tools, target, quiet=False):
        self.name = name
        self.prefix = prefix
        self.tools = tools
        self.target = target
        self.quiet = quiet
        self.dir = prefix.root / "cases" / name
        self.failures = []
        self.driver = DriverLog()
        self.devices = {}
        self.tool = None
        self.display = None
        self._stack = contextlib.ExitStack()

    def __enter__(self):
        if not self.prefix.path.is_dir():
            raise CaseAbort(f"no Wine prefix at {self.prefix.path} "
                            "(the wine_prefix_create test makes it)")
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self.prefix.kill_server()
        self._clear_ports()
        self._stack.__enter__()
        try:
            self._stack.callback(self._clear_ports)
            self._start_xvfb()
            # A persistent server of our own, so that its output goes to the case's log.
            self.server = self.spawn("wineserver", [WINESERVER, "-f", "-p"],
                                     stdout=self.dir / "wineserver.log",
                                     stderr=subprocess.STDOUT)
        except BaseException:
            self._stack.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, *exc):
        # Wine's helper processes (services, explorer, winedevice...) outlive a wineserver
        # that is just killed, so the server ends every process of the prefix first; then the
        # processes the case started are ended by PID, the latest first.
        try:
            self.prefix.kill_server()
        finally:
            suppress = self._stack.__exit__(*exc)
        self._end_leftovers()
        return suppress

    def _prefix_processes(self):
        """PIDs of live processes with this prefix in their environment: everything the case
        started carries it, Wine's processes under QEMU included."""
        want = f"WINEPREFIX={self.prefix.path}".encode()
        found = []
        for proc in Path("/proc").glob("[0-9]*"):
            with contextlib.suppress(OSError):
                if int(proc.name) != os.getpid() and \
                        want in proc.joinpath("environ").read_bytes().split(b"\0"):
                    found.append(int(proc.name))
        return found

    def _end_leftovers(self):
        """A case leaves no process behind: any still running once it has ended its own fails
        the case and is killed by its PID."""
        if wait_until(lambda: not self._prefix_processes(), 10.0, 0.2):
            return
        left = self._prefix_processes()
        self.fail("processes left behind (now killed): "
                  + "; ".join(f"{pid} {cmdline(pid)}" for pid in left))
        for pid in left:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)

    def _clear_ports(self):
        for link in self.prefix.ports.glob("com*"):
            link.unlink(missing_ok=True)

    def env(self):
        return self.prefix.env(DISPLAY=self.display or "", **self.target.env)

    def spawn(self, what, argv, stdout=None, stderr=None, pass_fds=()):
        """Starts a process that the case ends by its PID when it ends (before the processes
        started earlier). stdout/stderr: a path to write to, a file object, subprocess.STDOUT, or
        None to drop the output."""
        outs = []
        for target in (stdout, stderr):
            if isinstance(target, (str, Path)):
                outs.append(open(target, "wb"))
            else:
                outs.append(target if target is not None else subprocess.DEVNULL)
        try:
            proc = start(argv, env=self.env(), stdout=outs[0], stderr=outs[1], pass_fds=pass_fds)
        finally:
            for f in outs:
                if hasattr(f, "close"):
                    f.close()
        proc.what = what
        self._stack.callback(end, proc)
        return proc

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        try:
            self.spawn("Xvfb", ["Xvfb", "-displayfd", write_end, "-screen", "0", "1024x768x24",
                                "-nolisten", "tcp"],
                       stdout=self.dir / "xvfb.log", stderr=subprocess.STDOUT,
                       pass_fds=(write_end,))
            os.close(write_end)
            write_end = None
            got = b""
            deadline = time.monotonic() + 10
            while not got.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 0.2)
                if ready:
                    chunk = os.read(read_end, 64)
                    if not chunk:
                        break
                    got += chunk
            if not got.strip():
                raise CaseAbort("Xvfb did not start")
            self.display = ":" + got.decode().strip()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def ok(self, text):
        if not self.quiet:
            log(f"ok   {text}")

    def fail(self, text):
        log(f"FAIL: {text}")
        self.failures.append(text)

    def check(self, passed, ok_text, fail_text):
        if passed:
            self.ok(ok_text)
        else:
            self.fail(fail_text)
        return passed

    def expect_eq(self, what, want, got):
        return self.check(want == got, f"{what}: {got!r}", f"{what}: expected {want!r}, got {got!r}")

    def device(self, name, com, *options):
        """A simulated device behind COMn that writes its flash region to flash-NAME.bin when
        it restarts. It stays up after the restart and is ended with the case: closing a pty
        master makes Linux drop what the tool has not read yet, so a case must not depend on
        when the device program ends."""
        link = self.prefix.ports / f"com{com}"
        link.unlink(missing_ok=True)
        proc = self.spawn(f"device {name}",
                          [self.tools.devsim, "--link", link, "--out", self.flash_path(name),
                           "--keep-running", *options],
                          stdout=self.dir / f"devsim-{name}.out",
                          stderr=self.dir / f"devsim-{name}.err")
        if not wait_until(lambda: os.path.lexists(link)):
            raise CaseAbort(f"device {name} did not come up")
        self.devices[name] = proc
        return proc

    def flash_path(self, name):
        return self.dir / f"flash-{name}.bin"

    def device_pty(self, name):
        lines = (self.dir / f"devsim-{name}.out").read_text().splitlines()
        return lines[0] if lines else ""

    def device_log(self, name):
        """The device's request log (standard error), one line per request."""
        with contextlib.suppress(FileNotFoundError):
            return (self.dir / f"devsim-{name}.err").read_text().splitlines()
        return []

    def device_summary(self, name):
        """The device's "restart:" line, once it has restarted."""
        with contextlib.suppress(FileNotFoundError):
            for line in (self.dir / f"devsim-{name}.out").read_text().splitlines():
                if line.startswith("restart:"):
                    return line
        return None

    def stop_device(self, name):
        end(self.devices.pop(name))

    def map_port(self, com, pty):
        link = self.prefix.ports / f"com{com}"
        link.unlink(missing_ok=True)
        link.symlink_to(pty)

    def unmap_port(self, com):
        (self.prefix.ports / f"com{com}").unlink(missing_ok=True)

    def holders_of(self, target):
        """PIDs of this prefix's processes that hold `target` open."""
        want = f"WINEPREFIX={self.prefix.path}".encode()
        found = []
        for proc in Path("/proc").glob("[0-9]*"):
            try:
                if want not in proc.joinpath("environ").read_bytes().split(b"\0"):
                    continue
                for fd in proc.joinpath("fd").iterdir():
                    with contextlib.suppress(OSError):
                        if os.readlink(fd) == target:
                            found.append(int(proc.name))
                            break
            except OSError:
                continue
        return found

    def expect_flash(self, name, image):
        """The device's flash region equals the image padded with zeros to whole blocks."""
        want = padded(Path(image).read_bytes())
        flash = self.flash_path(name)
        if not wait_until(flash.exists):
            return self.check(False, "", f"device {name} wrote no flash file")
        return self.check(flash.read_bytes()[:len(want)] == want and flash.stat().st_size >= len(want),
                          f"flash of the simulated device ({name}) equals the padded image "
                          f"({len(want)} bytes)",
                          f"flash of the simulated device ({name}) differs from the padded image")

    def start_tool(self, exe=None):
        """Starts the tool (the target's product unless `exe` is given); its standard output,
        the trace, goes to trace.txt."""
        exe = exe or self.target.exe
        self.tool = self.spawn("tool", [*self.target.loader, exe],
                               stdout=self.dir / "trace.txt", stderr=self.dir / "stderr.txt")
        return self.tool

    def tool_process(self):
        """The Unix process in which Wine runs the tool: the one started, or one below it or in
        the prefix whose command line names the executable. wine64 hands a PE32 to start.exe,
        which has the wineserver start it in 32-bit Wine under QEMU: no child of the one started."""
        name = Path(self.target.exe).name
        for pid in [self.tool.pid, *children(self.tool.pid), *self._prefix_processes()]:
            if name in cmdline(pid):
                return pid
        return None

    def wait_tool(self, seconds=20):
        """Waits for the tool to end; returns its exit code, or 255 after ending it on time-out."""
        seconds *= self.target.time_scale
        try:
            return self.tool.wait(seconds)
        except subprocess.TimeoutExpired:
            self.fail(f"the tool still runs after {seconds:.0f} s")
            end(self.tool)
            return 255

    def close_tool_expect(self, want):
        self.drive("close", 10000)
        self.expect_eq("exit code", want, self.wait_tool())

    def trace(self):
        """The trace, lines without the CR that the C runtime's text mode writes."""
        with contextlib.suppress(FileNotFoundError):
            return (self.dir / "trace.txt").read_bytes().decode(errors="replace") \
                .replace("\r", "").splitlines()
        return []

    def trace_count(self, pattern):
        return sum(1 for line in self.trace() if re.search(pattern, line))

    def expect_trace(self, text):
        return self.check(any(text in line for line in self.trace()),
                          f"trace has: {text}", f"trace lacks: {text}")

    def expect_no_trace(self, text):
        return self.check(not any(text in line for line in self.trace()),
                          f"trace lacks: {text}", f"trace has: {text}")

    def _driver_argv(self, steps):
        steps = [str(s) for s in steps]
        # The first wait for the window is the target's start-up time; the other waits are
        # stretched by its time scale.
        out, limit = [], 0.0
        waits = {"window": 1, "await": 2, "box": 1, "close": 1, "sleep": 1, "watch": 2,
                 "titled-box": 2}
        i = 0
        while i < len(steps):
            step = steps[i]
            out.append(step)
            if step in waits:
                n = waits[step]
                args = steps[i + 1:i + 1 + n]
                if step == "window":
                    ms = max(int(args[0]), self.target.window_ms)
                elif step == "sleep":
                    ms = int(args[0])
                else:
                    ms = int(int(args[-1]) * self.target.time_scale)
                args[-1] = str(ms)
                out.extend(args)
                limit += ms / 1000
                i += n
            elif step == "select":
                out.append(steps[i + 1])
                i += 1
            else:
                limit += 30
            i += 1
        return [WINE64, self.tools.uidriver, *out], limit + 60

    def drive(self, *steps):
        """Runs the UI driver through STEPS (see tools/wine/ui_driver.cpp); its report is kept
        in driver.txt and in self.driver. A failing step fails the case; returns whether all
        steps passed."""
        argv, limit = self._driver_argv(steps)
        step_file = self.dir / "driver.step"
        proc = self.spawn("driver", argv, stdout=step_file, stderr=self.dir / "driver.err")
        try:
            rc = proc.wait(limit)
        except subprocess.TimeoutExpired:
            rc = None
        end(proc)
        # Wine's console output ends lines with CR LF.
        text = step_file.read_bytes().decode(errors="replace").replace("\r", "")
        with open(self.dir / "driver.txt", "a") as out:
            out.write(text)
        before = len(self.driver.errors())
        self.driver.add(text)
        if rc == 0:
            return True
        errors = self.driver.errors()[before:]
        self.fail("driver: " + (errors[0] if errors else
                                f"no answer in {limit:.0f} s" if rc is None else f"exit {rc}"))
        return False

    def start_driver(self, *steps, out):
        """Starts the UI driver in the background, its report going to `out`."""
        argv, _ = self._driver_argv(steps)
        return self.spawn("driver", argv, stdout=out, stderr=self.dir / "driver.err")

    def expect_statuses(self, *wanted):
        """The status texts appear in this order (others may come between)."""
        seen = [text for _, text in self.driver.statuses()]
        it = iter(seen)
        shown = " ".join(f"[{w}]" for w in wanted)
        return self.check(all(w in it for w in wanted), f"status sequence: {shown}",
                          f"status sequence {shown} not in: {'|'.join(seen)}")

    def screenshot(self, path=None):
        """Takes the main window's rectangle from the screen (the last "rect" step) with
        ImageMagick's import; returns the file or None."""
        rect = self.driver.rect()
        path = Path(path or self.dir / "screenshot.png")
        if rect is None or shutil.which("import") is None:
            return None
        x, y, w, h = rect
        done = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}",
                               "+repage", str(path)], env=self.env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return path if done.returncode == 0 and path.exists() else None

    def run_windows_program(self, exe, *args, out):
        """Runs a Windows test program with wine64 to its end; returns its exit code."""
        proc = self.spawn(Path(exe).name, [WINE64, exe, *args], stdout=out,
                          stderr=subprocess.STDOUT)
        try:
            return proc.wait(120 * self.target.time_scale)
        except subprocess.TimeoutExpired:
            end(proc)
            return 255

    def summary(self):
        """Prints the trace tail and, when the case failed, the driver's report; returns the
        exit code."""
        log("--- trace tail ---")
        for line in self.trace()[-8:]:
            log(line)
        if self.failures:
            log("--- driver ---")
            for line in self.driver.lines[-40:]:
                log(line)
            log(f"case {self.name} FAILED (logs in {self.dir})")
            return 1
        log(f"case {self.name} passed")
        return 0


def target_env(exe):
    """The environment the tool needs: for the 32-bit product, which runs in 32-bit Wine under
    QEMU's i386 emulation, emul32's; raises CaseAbort with the one line saying what is missing
    when that emulation is not set up here."""
    if not emul32.is_i386_pe(exe):
        return {}
    missing_line = emul32.missing()
    if missing_line:
        raise CaseAbort(missing_line)
    return dict(emul32.ENVIRONMENT)


def tools_from_env():
    return Tools(win64_dir=Path(os.environ["FWT_WIN64_DIR"]),
                 devsim=Path(os.environ["FWT_DEVSIM"]),
                 ptypeer=Path(os.environ["FWT_PTYPEER"]))


def main(cases, argv=None):
    """Runs one case of `cases` (name -> function taking a Case), or "prefix-create" /
    "prefix-remove", with the paths CTest sets in the environment (FWT_WINE_ROOT,
    FWT_WIN64_DIR, FWT_SMALL_EXE, FWT_NOIMAGE_EXE, FWT_DEVSIM, FWT_PTYPEER, ...)."""
    import argparse
    parser = argparse.ArgumentParser(description="Runs one end-to-end case under Wine.")
    parser.add_argument("case", help="a case name, prefix-create or prefix-remove")
    parser.add_argument("--exe", help="the tool under test (default: FWT_EXE)")
    parser.add_argument("--small-exe", help="the tool with the three-block image")
    parser.add_argument("--noimage-exe", help="the tool with an empty image")
    parser.add_argument("--loader", default=WINE64,
                        help="command that runs the tool, words split on spaces")
    parser.add_argument("--window-ms", type=int, default=30000,
                        help="how long to wait for the tool's window at start-up")
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="factor for the case's other waits")
    parser.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                        help="extra environment for the Wine processes")
    args = parser.parse_args(argv)
    missing = [n for n in ("FWT_WINE_ROOT", "FWT_EXE", "FWT_WIN64_DIR", "FWT_DEVSIM", "FWT_PTYPEER")
               if not os.environ.get(n)]
    if missing:
        parser.error(f"{', '.join(missing)} not set (CTest sets them: ctest -L wine)")
    _terminate_on_sigterm()
    prefix = Prefix(os.environ["FWT_WINE_ROOT"])
    tools = tools_from_env()
    if args.case not in cases and args.case not in ("prefix-create", "prefix-remove"):
        parser.error(f"no such case: {args.case} (cases: {', '.join(cases)})")
    hide_machine_serial_ports(prefix.root, tools.ptypeer)
    if args.case == "prefix-create":
        try:
            prefix.create()
        except CaseAbort as e:
            log(f"FAIL: {e}")
            return 1
        return 0
    if args.case == "prefix-remove":
        prefix.remove()
        return 0
    env_path = lambda name: Path(os.environ[name]) if os.environ.get(name) else None
    target = Target(exe=Path(args.exe or os.environ["FWT_EXE"]),
                    small_exe=Path(args.small_exe) if args.small_exe else env_path("FWT_SMALL_EXE"),
                    noimage_exe=(Path(args.noimage_exe) if args.noimage_exe
                                 else env_path("FWT_NOIMAGE_EXE")),
                    loader=tuple(args.loader.split()), window_ms=args.window_ms,
                    time_scale=args.time_scale,
                    env=dict(e.split("=", 1) for e in args.env))
    try:
        target.env = {**target_env(target.exe), **target.env}
    except CaseAbort as e:
        log(f"FAIL: {e}")
        return 1
    case = Case(args.case, prefix, tools, target)
    try:
        with case:
            cases[args.case](case)
    except CaseAbort as e:
        case.fail(str(e))
    return case.summary()
