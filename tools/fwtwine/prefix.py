"""The Wine prefix the cases share, and the private mount namespace that hides the machine's own
serial ports from it."""

import contextlib
import ctypes
import os
import shutil
import subprocess
from pathlib import Path

from fwtwine.procs import CaseAbort, end, libc, log, start

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

_CLONE_NEWNS = 0x00020000
_MS_BIND = 4096
_MS_REC = 16384
_MS_PRIVATE = 1 << 18


def _mount(source, target, flags):
    if libc.mount(source, str(target).encode(), None, flags, None) != 0:
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
    if libc.unshare(_CLONE_NEWNS) != 0:
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


# Each a wine64 command of the prefix's creation: the prefix itself, then a virtual desktop, which
# gives the windows a frame and a title bar, also in screenshots.
_SETUP = (
    ["wineboot", "-i"],
    ["reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f"],
    ["reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", "800x500", "/f"],
)


class Prefix:
    """A throw-away Wine prefix at ROOT/prefix, shared by the cases run one after another."""

    def __init__(self, root):
        self.root = Path(root)
        self.path = self.root / "prefix"
        self.ports = self.path / "dosdevices"

    def port(self, com):
        """The link that makes COMn of the prefix."""
        return self.ports / f"com{com}"

    def env(self, **extra):
        env = dict(os.environ)
        # No Mono or Gecko installers: the tool needs neither, and they would pop up dialogs.
        env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def server(self, *args):
        try:
            done = subprocess.run(
                [WINESERVER, *args],
                env=self.env(),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                timeout=60,
            )
            return done.returncode
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
            try:
                for step in _SETUP:
                    proc = start([wine, *step], env=self.env(), stdout=out, stderr=out)
                    try:
                        rc = proc.wait(240)
                    except subprocess.TimeoutExpired:
                        rc = "a time-out after 240 s"
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
