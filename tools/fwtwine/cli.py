"""The command line of the end-to-end cases: runs one case, or makes or drops the shared prefix,
with the paths CTest sets in the environment."""

import argparse
import os
from pathlib import Path

from fwtwine import emul32, paths, pe
from fwtwine.case import Case, Target
from fwtwine.prefix import WINE64, Prefix, hide_machine_serial_ports
from fwtwine.procs import CaseAbort, log, terminate_on_sigterm

NEEDED = ("FWT_WINE_ROOT", "FWT_EXE", "FWT_WIN64_DIR", "FWT_DEVSIM", "FWT_PTYPEER")


def target_env(exe):
    """The environment the tool needs: for the 32-bit product, which runs in 32-bit Wine under
    QEMU's i386 emulation, emul32's; raises CaseAbort with the one line saying what is missing
    when that emulation is not set up here."""
    if not pe.is_i386(exe):
        return {}
    missing_line = emul32.missing()
    if missing_line:
        raise CaseAbort(missing_line)
    return dict(emul32.ENVIRONMENT)


def parser():
    p = argparse.ArgumentParser(description="Runs one end-to-end case under Wine.")
    option = p.add_argument
    option("case", help="a case name, prefix-create or prefix-remove")
    option("--exe", type=Path, help="the tool under test (default: FWT_EXE)")
    option("--small-exe", type=Path, help="the tool with the three-block image")
    option("--noimage-exe", type=Path, help="the tool with an empty image")
    option("--loader", default=WINE64, help="command that runs the tool, words split on spaces")
    option("--window-ms", type=int, default=30000, help="how long the window may take at start")
    option("--time-scale", type=float, default=1.0, help="factor for the case's other waits")
    env_help = "extra environment for the Wine processes"
    option("--env", action="append", default=[], metavar="NAME=VALUE", help=env_help)
    return p


def target_of(args):
    """The Target the arguments and the environment (FWT_SMALL_EXE, FWT_NOIMAGE_EXE) name."""
    target = Target(
        exe=args.exe or paths.product(),
        small_exe=args.small_exe or paths.from_env("FWT_SMALL_EXE", None),
        noimage_exe=args.noimage_exe or paths.from_env("FWT_NOIMAGE_EXE", None),
        loader=tuple(args.loader.split()),
        window_ms=args.window_ms,
        time_scale=args.time_scale,
    )
    target.env = {**target_env(target.exe), **dict(e.split("=", 1) for e in args.env)}
    return target


def run_case(function, name, prefix, tools, target):
    case = Case(name, prefix, tools, target)
    try:
        with case:
            function(case)
    except CaseAbort as e:
        case.fail(str(e))
    return case.summary()


def main(cases, argv=None):
    """Runs one case of `cases` (name -> function taking a Case), or "prefix-create" /
    "prefix-remove", with the paths CTest sets in the environment (FWT_WINE_ROOT,
    FWT_WIN64_DIR, FWT_SMALL_EXE, FWT_NOIMAGE_EXE, FWT_DEVSIM, FWT_PTYPEER, ...)."""
    p = parser()
    args = p.parse_args(argv)
    missing = [name for name in NEEDED if not os.environ.get(name)]
    if missing:
        p.error(f"{', '.join(missing)} not set (CTest sets them: ctest -L wine)")
    if args.case not in cases and args.case not in ("prefix-create", "prefix-remove"):
        p.error(f"no such case: {args.case} (cases: {', '.join(cases)})")
    terminate_on_sigterm()
    prefix, tools = Prefix(os.environ["FWT_WINE_ROOT"]), paths.tools()
    hide_machine_serial_ports(prefix.root, tools.ptypeer)
    try:
        if args.case == "prefix-create":
            prefix.create()
        elif args.case == "prefix-remove":
            prefix.remove()
        else:
            return run_case(cases[args.case], args.case, prefix, tools, target_of(args))
    except CaseAbort as e:
        log(f"FAIL: {e}")
        return 1
    return 0
