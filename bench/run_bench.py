"""Benchmark of the complete shipped-image update under Wine against the paced simulated device:
wall time from the press to "Programming Completed" set against the floor (bench/floor.py), the
time each block takes (plotted with gnuplot), each copy's block pace when several copies of the tool
write at once beside that of one copy alone, the CPU time of the tool's process and of
wineserver while the tool calls an unpowered device and while it writes blocks, the time from
start to " - Idle - " with the scan of 998 ports, the image check's cost, and the cost of the port
list's rescans (a drop-down with 1 port listed and with 10, a burst of device notices). Writes
docs/benchmark.md (from the template bench/benchmark.md.in) and docs/benchmark-blocks.png. Not a
test: it fails only when a run does; the report judges each figure against its target.

`bash bench/run-bench.sh` builds what it needs and runs this; `--short` is the form CI runs
(12 blocks, one run of each kind, two copies at once, into the build tree)."""

import argparse
import contextlib
import dataclasses
import datetime
import os
import statistics
import subprocess
import sys
from pathlib import Path

import floor
import pe_image
import runs
from fwtwine import paths
from fwtwine.case import Case, Target
from fwtwine.cli import target_env
from fwtwine.prefix import WINE64, Prefix, hide_machine_serial_ports, throwaway_prefix
from fwtwine.procs import CaseAbort, log, terminate_on_sigterm
from runs import BenchFailed

TEMPLATE = Path(__file__).with_name("benchmark.md.in")


def image_name(blocks, whole):
    return (
        f"shipped image ({blocks} blocks)"
        if blocks == whole
        else f"shipped image cut to {blocks} blocks"
    )


def plot(png, blocks_dat, f, whole):
    script = f"""set terminal pngcairo size 900,420 font "sans,10" noenhanced
set output "{png}"
set title "Time per block, {image_name(f.blocks, whole)} under Wine, paced simulated device"
set xlabel "block (interval from its request to the next block's request)"
set ylabel "ms"
set yrange [0:*]
set xrange [0:{f.blocks}]
set key bottom right
set grid ytics
plot "{blocks_dat}" using 1:2 with linespoints pt 7 ps 0.5 lc rgb "#1f77b4" title "measured", \\
     {f.block_ms} with lines dt 2 lw 2 lc rgb "#d62728" title sprintf("floor under Wine %.1f ms", {f.block_ms}), \\
     {f.block_windows_ms} with lines dt 3 lw 2 lc rgb "#2ca02c" title sprintf("floor on Windows (50 ms tone) %.1f ms", {f.block_windows_ms})
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def verdict(passed):
    return "met" if passed else "**missed**"


def copies_table(m):
    """The report's rows of the copies' block pace: each copy that wrote at once, then the one
    alone."""
    block_ms = m["floor"].block_ms
    rows = []
    for label, run in (("at once", m["together"]), ("alone", m["alone"])):
        for copy in run["copies"]:
            low, median, high, _ = copy["stats"]
            rows.append(
                f"| {copy['name']}, {label} | {copy['port']} | {copy['blocks']} | "
                f"{low:.1f} / {median:.1f} / {high:.1f} ms | {median / block_ms:.3f} | "
                f"{verdict(median <= block_ms * 1.2)} |"
            )
    return "\n".join(rows)


def record(m):
    """The one record of figures the report's template is filled from: the floor's constants and
    terms, and what was measured, with the figures derived from them."""
    f, u = m["floor"], m["update"]
    block_min, block_median, block_max, block_mean = u["stats"]
    wall, startup, cold = (
        u["wall_ms"],
        statistics.median(m["startup"]),
        statistics.median(m["cold"]),
    )
    whole = f.blocks == m["whole_blocks"]
    together = [copy["stats"][1] for copy in m["together"]["copies"]]
    alone = m["alone"]["copies"][0]["stats"][1]
    return dict(
        {k: m[k] for k in ("command", "date", "load_start", "load_end", "wine_version")},
        **{k: m[k] for k in ("exe_name", "emulation", "png_name")},
        **floor.constants(),
        **dataclasses.asdict(f),
        **m["cpu"],
        **m["probe"],
        **m["rescan"],
        dropdown_verdict=verdict(
            max(m["rescan"]["dropdown1_median"], m["rescan"]["dropdown10_median"]) < 5
        ),
        title="the shipped-image update under Wine"
        if whole
        else f"the update under Wine, shipped image cut to {f.blocks} blocks",
        cores=os.cpu_count(),
        wall_ms=wall,
        wall_target_ms=f.wine_ms * 1.05,
        wall_verdict=verdict(wall <= f.wine_ms * 1.05),
        ratio=wall / f.wine_ms,
        wait_verdict=verdict(m["cpu"]["wait_tool"] < 2),
        write_verdict=verdict(m["cpu"]["write_tool"] < 2),
        runs=len(m["startup"]),
        startup_median=startup,
        cold_median=cold,
        startup_verdict=verdict(startup < 1500),
        imagecheck_verdict=verdict(m["probe"]["imagecheck_first_ms"] < 20),
        pace_verdict=verdict(block_median <= f.block_ms * 1.2),
        cold_verdict=verdict(cold < 1500),
        startup_sorted="".join(f"{v} " for v in sorted(m["startup"])),
        cold_sorted="".join(f"{v} " for v in sorted(m["cold"])),
        answered_blocks=u["blocks"],
        contact_replies=u["contact_replies"],
        span_s=u["span_s"],
        image_bytes=f.blocks * floor.BLOCK_DATA,
        blocks_ms=f.blocks * f.block_ms,
        verify_wire_ms=(floor.CHECKSUM_REQUEST + floor.CHECKSUM_REPLY) * f.byte_ms,
        contact_wire_ms=(floor.CHECKSUM_REQUEST + floor.CHECKSUM_REPLY) * f.byte_ms,
        flash_total_ms=f.blocks * floor.FLASH_MS,
        silence_total_ms=f.blocks * floor.SILENCE_MS,
        plain_ratio=wall / f.plain_ms,
        block_min=block_min,
        block_median=block_median,
        block_mean=block_mean,
        block_max=block_max,
        median_ratio=block_median / f.block_ms,
        timer_excess_ms=8 * (m["probe"]["tick_mean_ms"] - floor.TICK_MS),
        block_excess_ms=block_mean - f.block_ms,
        copies=len(together),
        copies_table=copies_table(m),
        copies_worst_ratio=max(together) / f.block_ms,
        copies_alone_ratio=alone / f.block_ms,
        copies_verdict=verdict(max(together) <= f.block_ms * 1.2),
        copies_together_s=m["together"]["together_s"],
    )


def report(m):
    """docs/benchmark.md: the template filled from the record of the measured figures `m`."""
    return TEMPLATE.read_text().format_map(record(m))


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def check_figures(m):
    """The short form asserts only what cannot be noise: every figure is there and positive."""
    u, c = m["update"], m["cpu"]
    values = {
        "update wall time": u["wall_ms"],
        "blocks": u["blocks"],
        "block interval min": u["stats"][0],
        "start-up": min(m["startup"]),
        "cold start-up": min(m["cold"]),
        "CPU of the tool while waiting": c["wait_tool"],
        "CPU of the tool while writing": c["write_tool"],
        "tick": m["probe"].get("tick_mean_ms", 0),
        "image check": m["probe"].get("imagecheck_first_ms", 0),
        "drop-down, 1 port listed": m["rescan"]["dropdown1_median"],
        "drop-down, 10 ports listed": m["rescan"]["dropdown10_median"],
        "notice burst's scans": m["rescan"]["burst_scans"],
    }
    bad = [name for name, v in values.items() if not v > 0]
    if bad:
        raise BenchFailed("figures missing or not positive: " + ", ".join(bad))
    # Copies that hold one another up by ten times the floor are hung, not slow.
    block_ms = m["floor"].block_ms
    for run in (m["together"], m["alone"]):
        for copy in run["copies"]:
            if not 0 < copy["stats"][1] <= block_ms * 10:
                median = copy["stats"][1]
                raise BenchFailed(f"copy {copy['name']}: median block interval {median:.1f} ms")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    option = parser.add_argument
    short_help = "the form CI runs: 12 blocks, one run of each kind, 2 s CPU windows, 2 copies"
    option("--short", action="store_true", help=short_help)
    option("--blocks", type=int, help="cut the image to this many blocks")
    option("--runs", type=int, help="start-up runs of each kind (default 5)")
    option("--md", type=Path, default=paths.ROOT / "docs" / "benchmark.md")
    option("--png", type=Path, default=paths.ROOT / "docs" / "benchmark-blocks.png")
    exe_help = "the fwt.exe to measure (default: FWT_EXE, else build/win32/fwt.exe, the product"
    option("--exe", type=Path, help=exe_help + " that ships; build/win64/fwt.exe for x86_64)")
    root_help = "work area with an existing prefix/ to use (default: a throw-away prefix under"
    option("--wine-root", type=Path, help=root_help + " build/bench)")
    load_help = "load average when the run began (the entry script measures it before building)"
    option("--load-start", help=load_help)
    args = parser.parse_args(argv)
    args.runs = args.runs or (1 if args.short else 5)
    args.blocks = args.blocks or (12 if args.short else None)
    args.window_s, args.write_from = (2, 3) if args.short else (10, 10)
    args.copies = 2 if args.short else 3
    args.exe = args.exe or paths.product()
    args.tools = paths.tools()
    args.probe = args.tools.win64_dir / "fwt-tickprobe.exe"
    args.imagecheck_probe = args.tools.win64_dir / "fwt-imagecheckprobe.exe"
    for needed in (
        args.exe,
        args.tools.uidriver,
        args.probe,
        args.imagecheck_probe,
        args.tools.devsim,
        args.tools.ptypeer,
    ):
        if not needed.exists():
            parser.error(f"{needed} missing: build the native preset first")
    return args


def bench_image(args, work):
    """(the fwt.exe to run, its image): the product, or the same build with its image cut to
    the first `args.blocks` blocks."""
    shipped = paths.shipped_image()
    if args.blocks is None:
        return args.exe, shipped
    scratch = work / "bench-images"
    scratch.mkdir(parents=True, exist_ok=True)
    exe, image = scratch / "fwt.exe", scratch / "image.bin"
    size = args.blocks * floor.BLOCK_DATA
    pe_image.cut_image(args.exe, exe, size)
    image.write_bytes(shipped.read_bytes()[:size])
    return exe, image


def measure(args, prefix, target, image):
    """Runs the benchmark's cases; returns what they measured."""
    nb = floor.blocks_of(image.stat().st_size)
    whole = floor.blocks_of(paths.shipped_image().stat().st_size)
    m = {"floor": floor.floor(nb), "whole_blocks": whole, "startup": [], "cold": []}

    def case(name):
        return Case(f"bench-{name}", prefix, args.tools, target, quiet=True)

    for kind, warm in (("startup", True), ("cold", False)):
        for k in range(1, args.runs + 1):
            with case(f"{kind}-{k}") as c:
                ms, items = runs.startup_run(c, warm)
            m[kind].append(ms)
            listed = f", {items} port(s) listed" if warm else ""
            log(f"{'' if warm else 'cold '}start-up run {k}: {ms} ms to \" - Idle - \"{listed}")
    with case("cpu") as c:
        m["cpu"] = cpu = runs.cpu_run(c, image, nb, args.window_s, args.write_from)
    log(
        f"CPU while waiting ({cpu['wait_s']:.2f} s, {cpu['contacts']} contact requests in the run): fwt.exe {cpu['wait_tool']:.2f}%, wineserver {cpu['wait_server']:.2f}%"
    )
    log(
        f"CPU while writing ({cpu['write_s']:.2f} s, blocks {cpu['n0']} to {cpu['n1']}): fwt.exe {cpu['write_tool']:.2f}%, wineserver {cpu['write_server']:.2f}%"
    )
    with case("rescan") as c:
        m["rescan"] = r = runs.rescan_run(c, 5 if args.short else 15)
    log(
        f"drop-down median/max: 1 port listed {r['dropdown1_median']:.2f}/{r['dropdown1_max']:.2f} ms, 10 listed {r['dropdown10_median']:.2f}/{r['dropdown10_max']:.2f} ms"
    )
    log(
        f"{r['burst_notices']} notices: handlers {r['burst_handlers_ms']:.2f} ms, window busy after for at most {r['burst_longest_ms']:.1f} ms (a message's round trip {r['burst_round_trip_ms']:.2f} ms), {r['burst_scans']:g} scan(s)"
    )
    with case("update") as c:
        m["update"] = u = runs.update_run(c, image, nb)
        log(
            f"update: {u['blocks']} blocks, press to \"Programming Completed\" {u['wall_ms']} ms; per block min/median/max {u['stats'][0]:.1f}/{u['stats'][1]:.1f}/{u['stats'][2]:.1f} ms"
        )
        m["probe"] = p = runs.probe_run(c, args.probe)
        p.update(runs.image_check_run(c, args.imagecheck_probe, args.exe))
        log(
            f"image check: first {p['imagecheck_first_ms']:.2f} ms, warm median {p['imagecheck_warm_ms']:.2f} ms"
        )
        log(
            f"tick {p['tick_mean_ms']:.2f} ms ({p['tick_min_ms']:.2f} to {p['tick_max_ms']:.2f}), Sleep(100) {p['sleep100_mean_ms']:.2f} ms, GetTickCount step {p['tickcount_step_ms']:.1f} ms"
        )
    for key, count in (("alone", 1), ("together", args.copies)):
        with case(f"copies-{count}") as c:
            m[key] = run = runs.instances_run(c, image, count)
        for copy in run["copies"]:
            median = copy["stats"][1]
            log(
                f"{count} cop{'y' if count == 1 else 'ies'}: {copy['name']} on {copy['port']}, "
                f"median block interval {median:.1f} ms ({median / m['floor'].block_ms:.3f} of the floor)"
            )
    check_figures(m)
    args.md.parent.mkdir(parents=True, exist_ok=True)
    args.png.parent.mkdir(parents=True, exist_ok=True)
    plot(args.png, u["blocks_dat"], m["floor"], whole)
    return m


def describe(args, m, load_start, emulated):
    """Where and how the figures were made, for the report."""
    version = subprocess.run([WINE64, "--version"], capture_output=True, text=True)
    product = args.exe
    m.update(
        command="bash bench/run-bench.sh" + (" --short" if args.short else ""),
        date=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
        load_start=load_start,
        load_end=load_average(),
        wine_version=version.stdout.strip() or "unknown",
        exe_name=os.path.relpath(product, paths.ROOT)
        if product.is_relative_to(paths.ROOT)
        else product,
        emulation=", PE32 in 32-bit Wine under QEMU's i386 emulation" if emulated else "",
        png_name=os.path.relpath(args.png, args.md.parent),
    )


def main(argv=None):
    args = parse_args(argv)
    terminate_on_sigterm()
    load_start = args.load_start or load_average()
    reuse = args.wine_root is not None and (args.wine_root / "prefix").is_dir()
    work = args.wine_root or paths.BUILD / "bench"
    hide_machine_serial_ports(work, args.tools.ptypeer)
    env = target_env(args.exe)
    with measuring_prefix(work, reuse) as prefix:
        exe, image = bench_image(args, work)
        m = measure(args, prefix, Target(exe=exe, env=env), image)
        describe(args, m, load_start, bool(env))
        args.md.write_text(report(m))
    for out in (args.md, args.png):
        if not out.is_file() or out.stat().st_size == 0:
            raise BenchFailed(f"{out} not written")
    wall, f = m["update"]["wall_ms"], m["floor"]
    log()
    log(f"ratio to the floor {wall / f.wine_ms:.3f} ({wall} ms against {f.wine_ms:.0f} ms)")
    log(f"Figures: {args.md}")
    log(f"Plot:    {args.png}")
    return 0


def measuring_prefix(work, reuse):
    """The prefix to measure in: the one given, or a throw-away one removed on every path."""
    if reuse:
        return contextlib.nullcontext(Prefix(work))
    return throwaway_prefix(work)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchFailed, CaseAbort) as e:
        log(f"FAIL: {e}")
        sys.exit(1)
