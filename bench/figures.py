"""The benchmark's arithmetic on what it measured: per-block intervals from the simulated
device's log, CPU shares."""

import statistics


def device_lines(log, command):
    """(time in s, fields) of the device's log lines for one command ("block", "checksum"...);
    a line reads "TIME COMMAND addr 0xADDR len N: WHAT"."""
    out = []
    for line in log:
        fields = line.split()
        if len(fields) >= 2 and fields[1] == command:
            out.append((float(fields[0]), fields))
    return out


def block_intervals(log):
    """(k, ms) from the arrival of block request k to that of the next one: each holds one whole
    block cycle."""
    times = [t for t, _ in device_lines(log, "block")]
    return [(k, (b - a) * 1000) for k, (a, b) in enumerate(zip(times, times[1:]), start=1)]


def block_stats(intervals):
    """min, median, max and mean of the intervals."""
    ms = [v for _, v in intervals]
    return min(ms), statistics.median(ms), max(ms), statistics.fmean(ms)


def answered_blocks(log):
    return sum(1 for _, f in device_lines(log, "block") if "answered" in " ".join(f[5:]))


def contact_replies(log):
    """Checksum requests over 4 bytes: the contact requests."""
    return sum(1 for _, f in device_lines(log, "checksum") if len(f) > 5 and f[5] == "4:")


def cpu_percent(ns0, ns1, us0, us1):
    """CPU time between two samples (nanoseconds) in percent of one core over the wall time
    between them (microseconds)."""
    return 100 * (ns1 - ns0) / 1e9 / ((us1 - us0) / 1e6)
