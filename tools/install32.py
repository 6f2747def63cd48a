"""Installs the 32-bit packages (wine32:i386) beside their amd64 halves, across version skew.

A shared library marked Multi-Arch: same must be installed at one version on both architectures.
When the i386 and amd64 package lists disagree on a library's newest version (one suite's i386
index failed to download while its amd64 index arrived, or a mirror is part way through a sync),
apt stops with "pkgProblemResolver::Resolve generated breaks" although a version both offer
exists. This script then pins both halves of each such library that wine32:i386 needs to the
newest version both architectures offer, prints what it pinned, and installs. It touches no package
outside the 32-bit set's dependencies, and takes none back to an older version unless allowed
(CI=true, as CI services set it, or FWT_ALLOW_DOWNGRADES=1): on a workstation that would take
security fixes back machine-wide, so it says what would go down and how to do it, and stops. Where
it cannot install it says why in one line, quoting apt, and names the cases that cannot run; it
always exits 0, since the rest of the install stands without them. It waits for apt's lock as
tools/apt_output.py says.

    python3 tools/install32.py wine32:i386 [...]
"""

import os
import shlex
import subprocess
import sys

import apt_output

UNAVAILABLE = "32-bit emulation unavailable: "
CASES_LOST = "the end-to-end cases (ctest -L wine), the demo and the benchmark cannot run"
FOREIGN = "i386"
NATIVE = "amd64"
APT_INSTALL = ["apt-get", "install", "-y", "-q", "--no-install-recommends", "--no-remove"]
APT_INSTALL += ["-o", f"DPkg::Lock::Timeout={apt_output.lock_wait()}"]


def run(argv, **kw):
    return subprocess.run(
        argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False, **kw
    )


def run_shown(argv):
    """Runs apt with its output shown as it comes (its lock waits said once); returns its exit
    code and all it printed."""
    notice = apt_output.LockNotice(apt_output.lock_wait())
    kept = []
    with subprocess.Popen(
        argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
    ) as apt:
        for line in apt.stdout:
            kept.append(line)
            shown = notice.line(line.rstrip("\n"))
            if shown is not None:
                print(shown, flush=True)
    return apt.returncode, "".join(kept)


def newer(a, b):
    """True when Debian version a sorts after b."""
    return run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0


def newest(version_list):
    best = None
    for v in version_list:
        if best is None or newer(v, best):
            best = v
    return best


def closure(packages):
    """Names (without architecture) of the packages the given ones depend on, transitively."""
    argv = ["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests"]
    argv += ["--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances"]
    out = run(argv + list(packages)).stdout
    names = set()
    for line in out.splitlines():
        if line and not line.startswith((" ", "<")):
            names.add(line.split(":")[0])
    return names


def parse_madison(text):
    """{name as queried: [versions]} from `apt-cache madison` ("name | version | source"; a
    foreign architecture's name carries ":i386"). Backports are left out: apt takes nothing from
    them unless asked by name, and a pin must not start doing so."""
    found = {}
    for line in text.splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and fields[1] and "-backports" not in fields[2]:
            found.setdefault(fields[0], []).append(fields[1])
    return found


def parse_installed(text):
    """{(name, arch): (version, multi-arch, source)} of installed packages, from dpkg-query."""
    found = {}
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) == 6 and fields[5].startswith("ii"):
            found[(fields[0], fields[1])] = (fields[2], fields[3], fields[4])
    return found


INSTALLED_FORMAT = "${Package}\\t${Architecture}\\t${Version}\\t${Multi-Arch}\\t${source:Package}\\t${db:Status-Abbrev}\\n"


def pin_for(installed, native_offered, foreign_offered):
    """The version both halves of a library should have, or None when the architectures share
    none. The installed amd64 version is taken when i386 offers it, so that nothing on amd64
    changes; else the newest version both offer."""
    if installed in foreign_offered:
        return installed
    native = set(native_offered)
    return newest([v for v in foreign_offered if v in native])


def siblings(moved, installed, pinned):
    """[(name, arch, version)]: each installed amd64 (or all) package built from the same source
    at the same version as a library that moves ([(source, installed, new version)]), once,
    leaving out the libraries already pinned (util-linux builds libblkid1, libmount1 and mount:
    two of them moving must not pin mount twice, nor libmount1 again)."""
    found = {}
    for source, have, version in moved:
        for (name, arch), (v, _, s) in installed.items():
            if s == source and v == have and arch in (NATIVE, "all") and name not in pinned:
                found.setdefault((name, arch), version)
    return [(name, arch, version) for (name, arch), version in found.items()]


def pins(packages):
    """[(package, version, installed version)] to install: each skewed Multi-Arch: same library
    the 32-bit set needs whose amd64 half is installed (both halves), and the installed amd64
    packages built from the same source at the same version as a library whose amd64 half must
    change (a -dev package requires its library's exact version: left behind, apt would remove
    it)."""
    installed = parse_installed(run(["dpkg-query", "-W", "-f=" + INSTALLED_FORMAT]).stdout)
    libs = [
        name
        for name in sorted(closure(packages))
        if installed.get((name, NATIVE), ("", ""))[1] == "same"
    ]
    queries = [n for name in libs for n in (name, f"{name}:{FOREIGN}")]
    offer = parse_madison(run(["apt-cache", "madison"] + queries).stdout) if queries else {}
    chosen, moved = [], []
    for name in libs:
        native, foreign = offer.get(name, []), offer.get(f"{name}:{FOREIGN}", [])
        if not foreign or newest(native) == newest(foreign):
            continue
        have, _, source = installed[(name, NATIVE)]
        version = pin_for(have, native, foreign)
        if version is None:
            continue
        chosen += [(f"{name}:{NATIVE}", version, have), (f"{name}:{FOREIGN}", version, None)]
        if version != have:
            moved.append((source, have, version))
    others = siblings(moved, installed, {name.split(":")[0] for name, _, _ in chosen})
    if others:
        offer = parse_madison(run(["apt-cache", "madison"] + [n for n, _, _ in others]).stdout)
        for name, arch, version in others:
            have = installed[(name, arch)][0]
            if version in offer.get(name, []):
                chosen.append((f"{name}:{arch}" if arch == NATIVE else name, version, have))
    return chosen


def downgrades(chosen):
    """[(package, installed version, older version)] among the pins."""
    return [(name, was, version) for name, version, was in chosen if was and newer(was, version)]


def may_downgrade(env):
    """Only a CI machine (CI=true) or one whose owner asked (FWT_ALLOW_DOWNGRADES=1) has installed
    packages taken back to older versions."""
    return env.get("CI") == "true" or env.get("FWT_ALLOW_DOWNGRADES") == "1"


def refusal(packages, down, argv):
    """The paragraph printed instead of taking packages back without consent."""
    older = ", ".join(f"{name} {was} -> {version}" for name, was, version in down)
    return (
        f"{UNAVAILABLE}installing {' '.join(packages)} beside the amd64 packages would take "
        f"{len(down)} installed package(s) back to older versions, for the whole machine: "
        f"{older}. The command that would do it, as root: {shlex.join(argv)}. Without it "
        f"{CASES_LOST}; the native build and tests go on. To allow it: "
        f"FWT_ALLOW_DOWNGRADES=1 bash tools/install-deps.sh (CI=true allows it too)."
    )


def install(packages):
    trial = run(APT_INSTALL + ["-s"] + packages)
    if trial.returncode == 0:
        code, out = run_shown(APT_INSTALL + packages)
        if code == 0:
            return True
        print(
            f"{UNAVAILABLE}apt could not install {' '.join(packages)} "
            f"({apt_output.reason(out)}); {CASES_LOST}",
            flush=True,
        )
        return False
    chosen = pins(packages)
    if not chosen:
        print(
            f"{UNAVAILABLE}apt cannot install {' '.join(packages)} "
            f"({apt_output.reason(trial.stdout + trial.stderr)}) and no library needs a pin; "
            f"{CASES_LOST}",
            flush=True,
        )
        return False
    down = downgrades(chosen)
    pinned = [f"{name}={version}" for name, version, _ in chosen]
    argv = APT_INSTALL + (["--allow-downgrades"] if down else []) + packages + pinned
    if down and not may_downgrade(os.environ):
        print(refusal(packages, down, argv), flush=True)
        return False
    for name, version, was in chosen:
        if was is not None and was != version:
            print(f"Pinned {name} to {version} (was {was})", flush=True)
        elif was is not None:
            print(f"Pinned {name} at {version}, with its {FOREIGN} half to match", flush=True)
    code, out = run_shown(argv)
    if code != 0:
        print(
            f"{UNAVAILABLE}apt could not install {' '.join(packages)} even with "
            f"{len(chosen)} packages pinned ({apt_output.reason(out)}); {CASES_LOST}",
            flush=True,
        )
        return False
    return True


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    install(argv)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
