"""Whether the 32-bit product can run here: 32-bit Wine under QEMU's user-mode emulation of i386.

This kernel does not execute 32-bit Linux programs itself ("Exec format error"), so the i386 Wine
loader runs through qemu-i386-static, reached through a binfmt_misc handler. missing() says in one
line what is missing for that (None when nothing is); set_up() mounts binfmt_misc and registers (or
re-enables) the handler where it can (tools/install-deps.sh calls it as root). A QEMU older than
10.0 counts as missing: Debian 12's own 7.2 takes 80 to 100 s to start a 32-bit Wine program,
which the cases' waits do not allow for.

    python3 tools/fwtwine/emul32.py check     prints what is missing and exits 1, or exits 0
    python3 tools/fwtwine/emul32.py set-up    mounts and registers; prints what is still missing
"""

import os
import re
import subprocess
import sys

BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
HANDLER = "qemu-i386"
QEMU = "/usr/bin/qemu-i386-static"
# The i386 loader from wine32:i386; wine64 hands 32-bit programs to it.
WINE32_LOADER = "/usr/lib/wine/wine"

# i386 ELF executables and shared objects (e_machine 3), as binfmt_misc reads them: the kernel
# decodes the \x escapes. F opens the interpreter at registration, so it is found from any mount
# namespace or chroot.
REGISTRATION = (
    ":" + HANDLER + ":M::"
    r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:"
    r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:"
    + QEMU
    + ":F"
)

# Without a reserved guest address space 32-bit Wine stops at once under QEMU ("failed to map
# the shared user data: c0000018"): Wine needs fixed low addresses QEMU would otherwise hand out.
ENVIRONMENT = {"QEMU_RESERVED_VA": "0xffff0000"}

PREFIX = "32-bit emulation unavailable: "

# 32-bit Wine's loader reserves its address space 64 KiB at a time at fixed addresses; QEMU 7.2
# (Debian 12) refuses almost all of those requests, so each 32-bit process spends 80 to 100 s of
# CPU before its own code runs, while 10.0.2 (bookworm-backports) starts one in a third of a
# second. Debian offers nothing between the two, so no version between them was measured.
FAST_QEMU = (10, 0)


def _handler_path(binfmt_dir):
    return os.path.join(binfmt_dir, HANDLER)


def handler_state(binfmt_dir=BINFMT_DIR):
    """The handler's lines as a dict ("enabled", "interpreter", "flags"), or None if absent."""
    try:
        with open(_handler_path(binfmt_dir)) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    state = {"enabled": bool(lines) and lines[0] == "enabled"}
    for line in lines[1:]:
        key, _, value = line.partition(" ")
        state[key.rstrip(":")] = value.strip()
    return state


def qemu_version(argv, env=None):
    """(major, minor) from what `argv` prints ("qemu-i386 version 10.0.2 (...)"), or None."""
    try:
        out = subprocess.run(
            argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30
        ).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    found = re.search(r"\bversion (\d+)\.(\d+)", out)
    return (int(found.group(1)), int(found.group(2))) if found else None


def versions(qemu, wine32, version_of=qemu_version):
    """(the QEMU the handler runs, the QEMU at `qemu` on disk). They differ after an upgrade of
    the package: the F flag opened the interpreter when the handler was registered, and the
    kernel keeps running that file until it is registered again. QEMU's user-mode emulator also
    takes its options from QEMU_* variables; QEMU_VERSION makes it print its version and exit
    instead of running the program, so starting the 32-bit loader with it asks the handler's."""
    running = version_of([wine32], {**os.environ, "QEMU_VERSION": "1"})
    return running, version_of([qemu, "--version"], None)


def _dotted(version):
    return ".".join(map(str, version))


def missing(binfmt_dir=BINFMT_DIR, qemu=QEMU, wine32=WINE32_LOADER, version_of=qemu_version):
    """One line saying what keeps the 32-bit product from running here, or starting quickly;
    None when nothing does."""
    for path, package in ((qemu, "qemu-user-static"), (wine32, "wine32:i386")):
        if not os.path.exists(path):
            return (
                PREFIX + f"{path} is missing (package {package}; run tools/install-deps.sh as root)"
            )
    if not os.path.exists(os.path.join(binfmt_dir, "register")):
        return (
            PREFIX
            + f"binfmt_misc is not mounted at {binfmt_dir} (run tools/install-deps.sh as root)"
        )
    state = handler_state(binfmt_dir)
    if state is None:
        return (
            PREFIX
            + f"no i386 handler {_handler_path(binfmt_dir)} in binfmt_misc (run tools/install-deps.sh as root)"
        )
    if state.get("interpreter") != qemu:
        return PREFIX + f"the i386 handler runs {state.get('interpreter')!r}, not {qemu}"
    if not state["enabled"]:
        return PREFIX + f"the i386 handler {_handler_path(binfmt_dir)} is disabled (echo 1 > it)"
    running, on_disk = versions(qemu, wine32, version_of)
    if running is not None and running < FAST_QEMU:
        if on_disk is not None and on_disk >= FAST_QEMU:
            fix = f"{qemu} is {_dotted(on_disk)} now: register the handler again"
        else:
            fix = "qemu-user-static from bookworm-backports"
        return PREFIX + (
            f"the i386 handler runs QEMU {_dotted(running)}, which takes 80 to 100 s "
            f"to start the product (10.0 and later: a second); {fix} "
            "(tools/install-deps.sh as root)"
        )
    return None


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def set_up(binfmt_dir=BINFMT_DIR, qemu=QEMU, wine32=WINE32_LOADER, version_of=qemu_version):
    """Mounts binfmt_misc, registers the handler, switches a disabled one back on, or registers
    again one that still runs an old QEMU the package has since replaced, where needed; returns
    missing()."""
    if not os.path.exists(os.path.join(binfmt_dir, "register")):
        result = subprocess.run(
            ["mount", "-t", "binfmt_misc", "binfmt_misc", binfmt_dir],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        if result.returncode != 0:
            reason = result.stderr.strip().splitlines()[-1:] or [f"exit {result.returncode}"]
            return PREFIX + f"cannot mount binfmt_misc at {binfmt_dir}: {reason[0]}"
    state = handler_state(binfmt_dir)
    try:
        if state is None and os.path.exists(qemu):
            _write(os.path.join(binfmt_dir, "register"), REGISTRATION)
        elif state is not None and not state["enabled"] and state.get("interpreter") == qemu:
            # Switched off by hand and left so: the cases need it on.
            _write(_handler_path(binfmt_dir), "1")
        elif state is not None and state.get("interpreter") == qemu:
            running, on_disk = versions(qemu, wine32, version_of)
            if running is not None and on_disk is not None and running < FAST_QEMU <= on_disk:
                _write(_handler_path(binfmt_dir), "-1")
                _write(os.path.join(binfmt_dir, "register"), REGISTRATION)
    except OSError as e:
        return PREFIX + f"cannot register or enable the i386 handler: {e.strerror}"
    return missing(binfmt_dir, qemu, wine32, version_of)


def main(argv):
    command = argv[1] if len(argv) > 1 else "check"
    if command == "check":
        line = missing()
    elif command == "set-up":
        line = set_up()
    else:
        print("usage: emul32.py [check | set-up]", file=sys.stderr)
        return 2
    if line:
        print(line)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
