"""One run of fwt.exe under Wine and Xvfb against simulated devices, for the end-to-end cases, the
demo and the benchmark.

A case is a `with Case(...) as c:` block: it gets a directory of its own, an Xvfb, a wineserver
of its own on the shared prefix, simulated devices mapped to COM ports, the tool (or several
copies of it, each an Instance) and the UI driver. Every process it starts is ended by its PID (its process group) when the block is left,
on every path, after `wineserver -k` has ended the prefix's own helper processes.
"""

import contextlib
import dataclasses
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from fwtwine import driver, procs
from fwtwine.checks import Checks
from fwtwine.driver import DriverLog
from fwtwine.prefix import WINE64, WINESERVER
from fwtwine.procs import CaseAbort, end, log, wait_until


@dataclasses.dataclass
class Target:
    """The programs under test and how to start them. `loader` runs the tool; the UI driver and
    the other Windows test programs, 64-bit, always run with wine64. `window_ms` is how long the
    first "window" step waits for the tool's window; `time_scale` stretches the other waits of
    a case. `env` is added to the Wine processes' environment (cli.target_env gives a PE32's)."""

    exe: Path
    small_exe: Path = None
    noimage_exe: Path = None
    loader: tuple = (WINE64,)
    window_ms: int = 30000
    time_scale: float = 1.0
    env: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Instance:
    """One of several copies of the tool running at once in the case's wineserver: its process,
    its Windows process id (which the UI driver's --pid takes, and the tool's log name holds),
    its trace (standard output) in trace-NAME.txt, and what the driver reported on its window."""

    name: str
    proc: subprocess.Popen
    pid: int
    trace_path: Path
    driver: DriverLog = dataclasses.field(default_factory=DriverLog)

    def trace(self):
        """The trace, lines without the CR that the C runtime's text mode writes."""
        with contextlib.suppress(FileNotFoundError):
            text = self.trace_path.read_bytes().decode(errors="replace")
            return text.replace("\r", "").splitlines()
        return []


def _output(target):
    """What spawn's stdout/stderr argument names, opened: a path, a file, STDOUT or None."""
    if isinstance(target, (str, Path)):
        return open(target, "wb")
    return target if target is not None else subprocess.DEVNULL


class Case(Checks):
    """One run of the tool in the prefix; see the module's description."""

    def __init__(self, name, prefix, tools, target, quiet=False):
        self.name, self.prefix, self.tools, self.target = name, prefix, tools, target
        self.quiet = quiet
        self.dir = prefix.root / "cases" / name
        self.failures = []
        self.driver = driver.DriverLog()
        self.devices = {}
        self.instances = {}
        self.tool = self.display = None
        self._stack = contextlib.ExitStack()

    def __enter__(self):
        if not self.prefix.path.is_dir():
            raise CaseAbort(
                f"no Wine prefix at {self.prefix.path} (the wine_prefix_create test makes it)"
            )
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self.prefix.kill_server()
        self._clear_ports()
        self._stack.__enter__()
        try:
            self._stack.callback(self._clear_ports)
            self._start_xvfb()
            # A persistent server of our own, so that its output goes to the case's log.
            log = self.dir / "wineserver.log"
            argv = [WINESERVER, "-f", "-p"]
            self.server = self.spawn("wineserver", argv, stdout=log, stderr=subprocess.STDOUT)
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

    def prefix_processes(self):
        """PIDs of live processes with this prefix in their environment: everything the case
        started carries it, Wine's processes under QEMU included."""
        return procs.with_env(f"WINEPREFIX={self.prefix.path}")

    def _end_leftovers(self):
        """A case leaves no process behind: any still running once it has ended its own fails
        the case and is killed by its PID."""
        if wait_until(lambda: not self.prefix_processes(), 10.0, 0.2):
            return
        left = self.prefix_processes()
        shown = "; ".join(f"{pid} {procs.cmdline(pid)}" for pid in left)
        self.fail(f"processes left behind (now killed): {shown}")
        for pid in left:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)

    def _clear_ports(self):
        for link in self.prefix.ports.glob("com*"):
            link.unlink(missing_ok=True)

    def env(self):
        return self.prefix.env(DISPLAY=self.display or "", **self.target.env)

    def spawn(self, what, argv, stdout=None, stderr=None, pass_fds=(), env=None):
        """Starts a process that the case ends by its PID when it ends (before the processes
        started earlier). stdout/stderr: a path to write to, a file object, subprocess.STDOUT, or
        None to drop the output. env: variables added to the case's environment for this one."""
        outs = [_output(stdout), _output(stderr)]
        try:
            proc = procs.start(argv, {**self.env(), **(env or {})}, outs[0], outs[1], pass_fds)
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
            argv = ["Xvfb", "-displayfd", write_end, "-screen", "0", "1024x768x24"]
            log = self.dir / "xvfb.log"
            self.spawn("Xvfb", [*argv, "-nolisten", "tcp"], log, subprocess.STDOUT, (write_end,))
            os.close(write_end)
            write_end = None
            got = b""
            deadline = time.monotonic() + 10
            while not got.endswith(b"\n") and time.monotonic() < deadline:
                if select.select([read_end], [], [], 0.2)[0]:
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

    def device(self, name, com, *options):
        """A simulated device behind COMn that writes its flash region to flash-NAME.bin when
        it restarts. It stays up after the restart and is ended with the case: closing a pty
        master makes Linux drop what the tool has not read yet, so a case must not depend on
        when the device program ends."""
        link = self.prefix.port(com)
        link.unlink(missing_ok=True)
        argv = [self.tools.devsim, "--link", link, "--out", self.flash_path(name)]
        proc = self.spawn(
            f"device {name}",
            [*argv, "--keep-running", *options],
            stdout=self.dir / f"devsim-{name}.out",
            stderr=self.dir / f"devsim-{name}.err",
        )
        # fwt-devsim makes the link first, then prints its terminal's name: wait for both, so
        # that device_pty never reads an empty file.
        if not wait_until(lambda: os.path.lexists(link) and self.device_pty(name)):
            raise CaseAbort(f"device {name} did not come up")
        self.devices[name] = proc
        return proc

    def flash_path(self, name):
        return self.dir / f"flash-{name}.bin"

    def _device_lines(self, name, stream):
        with contextlib.suppress(FileNotFoundError):
            return (self.dir / f"devsim-{name}.{stream}").read_text().splitlines()
        return []

    def device_pty(self, name):
        return (self._device_lines(name, "out") or [""])[0]

    def device_log(self, name):
        """The device's request log (standard error), one line per request."""
        return self._device_lines(name, "err")

    def device_summary(self, name):
        """The device's "restart:" line, once it has restarted."""
        lines = self._device_lines(name, "out")
        return next((line for line in lines if line.startswith("restart:")), None)

    def stop_device(self, name):
        end(self.devices.pop(name))

    def map_port(self, com, pty):
        self.unmap_port(com)
        self.prefix.port(com).symlink_to(pty)

    def unmap_port(self, com):
        self.prefix.port(com).unlink(missing_ok=True)

    def holders_of(self, target):
        """PIDs of this prefix's processes that hold `target` open."""
        return [pid for pid in self.prefix_processes() if procs.holds(pid, target)]

    def start_tool(self, exe=None, env=None):
        """Starts the tool (the target's product unless `exe` is given), with `env` added to its
        environment; its standard output, the trace, goes to trace.txt."""
        argv = [*self.target.loader, exe or self.target.exe]
        out, err = self.dir / "trace.txt", self.dir / "stderr.txt"
        self.tool = self.spawn("tool", argv, stdout=out, stderr=err, env=env)
        return self.tool

    def start_instance(self, name, exe=None, env=None):
        """Starts one more copy of the tool beside those running, and learns its Windows process
        id: Wine's ids are not Linux's, and Wine gives a program started after another has ended
        the same id again, so the id is read from the windows: the one not there before. Copies
        are therefore started one at a time, each once the earlier ones show their window."""
        argv = [*self.target.loader, exe or self.target.exe]
        out, err = self.dir / f"trace-{name}.txt", self.dir / f"stderr-{name}.txt"
        proc = self.spawn(f"tool {name}", argv, stdout=out, stderr=err, env=env)
        known = {inst.pid for inst in self.instances.values()}
        listed = DriverLog()
        self._run_driver(["windows", len(known) + 1, self.target.window_ms], listed, None)
        new = [pid for pid in listed.values("window") if pid not in known]
        if len(new) != 1:
            raise CaseAbort(f"copy {name} of the tool: windows of processes {new} appeared")
        instance = Instance(name, proc, new[0], out)
        self.instances[name] = instance
        log(f"copy {name} of the tool runs as Windows process {instance.pid}")
        return instance

    def tool_process(self):
        """The Unix process in which Wine runs the tool: the one started, or one below it or in
        the prefix whose command line names the executable. wine64 hands a PE32 to start.exe,
        which has the wineserver start it in 32-bit Wine under QEMU: no child of the one started."""
        name = Path(self.target.exe).name
        candidates = [self.tool.pid, *procs.children(self.tool.pid), *self.prefix_processes()]
        return next((pid for pid in candidates if name in procs.cmdline(pid)), None)

    def wait_tool(self, seconds=20, on=None):
        """Waits for the tool (or the copy `on`) to end; returns its exit code, or 255 after
        ending it on time-out."""
        proc = self.tool if on is None else on.proc
        seconds *= self.target.time_scale
        try:
            return proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.fail(f"the tool still runs after {seconds:.0f} s")
            end(proc)
            return 255

    def close_tool_expect(self, want, on=None):
        self.drive("close", 10000, on=on)
        what = "exit code" if on is None else f"exit code of copy {on.name}"
        self.expect_eq(what, want, self.wait_tool(on=on))

    def _driver_argv(self, steps, pid=None):
        args, limit = driver.argv(steps, self.target.window_ms, self.target.time_scale, pid)
        return [WINE64, self.tools.uidriver, *args], limit

    def drive(self, *steps, on=None):
        """Runs the UI driver through STEPS (see tools/wine/ui_driver.cpp); its report is kept
        in driver.txt and in self.driver, or, with `on` (an Instance), driving that copy's
        window, in its own report. A failing step fails the case; returns whether all steps
        passed."""
        if on is None:
            return self._run_driver(steps, self.driver, None)
        return self._run_driver(steps, on.driver, on.pid)

    def _run_driver(self, steps, report, pid):
        argv, limit = self._driver_argv(steps, pid)
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
            out.write(text if pid is None else f"[--pid {pid}]\n{text}")
        before = len(report.errors())
        report.add(text)
        if rc == 0:
            return True
        errors = report.errors()[before:]
        why = f"no answer in {limit:.0f} s" if rc is None else f"exit {rc}"
        self.fail("driver: " + (errors[0] if errors else why))
        return False

    def start_driver(self, *steps, out, on=None):
        """Starts the UI driver in the background, its report going to `out`; with `on` (an
        Instance), on that copy's window."""
        argv, _ = self._driver_argv(steps, None if on is None else on.pid)
        return self.spawn("driver", argv, stdout=out, stderr=self.dir / "driver.err")

    def screenshot(self, path=None):
        """Takes the main window's rectangle from the screen (the last "rect" step) with
        ImageMagick's import; returns the file or None."""
        rect = self.driver.rect()
        path = Path(path or self.dir / "screenshot.png")
        if rect is None or shutil.which("import") is None:
            return None
        x, y, w, h = rect
        argv = ["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", str(path)]
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        done = subprocess.run(argv, env=self.env(), timeout=60, **quiet)
        return path if done.returncode == 0 and path.exists() else None

    def run_windows_program(self, exe, *args, out):
        """Runs a Windows test program with wine64 to its end; returns its exit code."""
        argv = [WINE64, exe, *args]
        proc = self.spawn(Path(exe).name, argv, stdout=out, stderr=subprocess.STDOUT)
        try:
            return proc.wait(120 * self.target.time_scale)
        except subprocess.TimeoutExpired:
            end(proc)
            return 255
