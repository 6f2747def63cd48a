"""Where things are: the repository, its files, and the programs the builds make. The demo, the
benchmark and the cases take the build's paths from here; CTest may name others through the
FWT_* environment variables."""

import dataclasses
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build"
PRODUCT = BUILD / "win32" / "fwt.exe"  # the build that ships
SHIPPED_IMAGE = ROOT / "resources" / "placeholder-firmware.bin"


def from_env(name, default):
    """The path in environment variable NAME, else `default`."""
    value = os.environ.get(name)
    return Path(value) if value else default


@dataclasses.dataclass
class Tools:
    """The test programs: the win64 tree with the UI driver and the probes, the simulated device,
    the pseudo-terminal peer."""

    win64_dir: Path
    devsim: Path
    ptypeer: Path

    @property
    def uidriver(self):
        return self.win64_dir / "fwt-uidriver.exe"


def tools():
    """The test programs CTest names, else those of the native build."""
    return Tools(
        win64_dir=from_env("FWT_WIN64_DIR", BUILD / "win64"),
        devsim=from_env("FWT_DEVSIM", BUILD / "native/tools/devsim/fwt-devsim"),
        ptypeer=from_env("FWT_PTYPEER", BUILD / "native/tools/wine/fwt-ptypeer"),
    )


def product():
    """The fwt.exe under test: FWT_EXE, else the one that ships."""
    return from_env("FWT_EXE", PRODUCT)


def shipped_image():
    return from_env("FWT_SHIPPED_IMAGE", SHIPPED_IMAGE)


def planted_dll():
    """The test-only 32-bit DLL planted under system DLLs' names, whose DllMain leaves a mark
    (tests/wine/win/planted_dll.cpp)."""
    return from_env("FWT_PLANTED_DLL", BUILD / "win32" / "fwt-planted.dll")


def repo_files(root=ROOT):
    """The files a clone holds, relative to root: git's list (tracked, and new files not
    ignored) in a checkout, otherwise everything outside the build trees."""
    if (Path(root) / ".git").exists():
        git = ["git", "-C", str(root), "ls-files", "-z", "--cached", "--others"]
        listed = subprocess.run([*git, "--exclude-standard"], check=True, capture_output=True)
        names = listed.stdout.decode().split("\0")
        return [p for p in names if p and (Path(root) / p).is_file()]
    files = []
    for here, dirs, names in os.walk(root):
        rel = Path(here).relative_to(root)
        if rel == Path("."):
            dirs[:] = [d for d in dirs if d not in ("build", ".git", "out")]
        files.extend(str(rel / n) for n in names)
    return files
