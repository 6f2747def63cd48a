"""Reads apt's output for the set-up scripts: the one line that says why apt stopped, and the one
line that says it waits for the package lock.

apt says why it stopped in its first error line ("E: ..."); the lines after it repeat the cause
("E: Unable to lock directory ..."). Some causes it leaves unsaid there: a missing signing key is
named only on a warning line before it, and a lock wait that timed out names the process that held
the lock only on its "Waiting for cache lock" lines. reason() puts the two together.

    python3 tools/apt_output.py reason LOG   prints the line for apt's output saved in LOG
    apt-get ... | python3 tools/apt_output.py notice SECONDS   passes apt's output through,
                                                 saying once that it waits for the lock
"""

import os
import re
import sys

# How long apt waits for the package lock (another apt, apt-daily or unattended-upgrades on a
# fresh machine), in seconds; FWT_APT_LOCK_WAIT shortens it for a trial of the time-out.
LOCK_WAIT = 300
WAITING = "Waiting for cache lock: "
HELD_BY = re.compile(r"It is held by process \d+ \([^)]*\)")
NO_PUBKEY = re.compile(r"NO_PUBKEY [0-9A-F]+")


def lock_wait(env=os.environ):
    value = env.get("FWT_APT_LOCK_WAIT", "")
    return int(value) if value.isdigit() else LOCK_WAIT


def waiting_line(apt_line, seconds):
    """What the scripts print once when apt starts waiting for the lock, from apt's own
    "Could not get lock ... It is held by process N (name)"."""
    held = apt_line.removeprefix(WAITING).removeprefix("E: ").rstrip(".")
    return f"Waiting up to {seconds} s for apt's lock ({held})"


class LockNotice:
    """Passes apt's output through, one line at a time, saying once that it waits for the lock:
    apt repeats its "Waiting for cache lock" line every second while it waits."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.said = False

    def line(self, text):
        """The line to print for one of apt's, or None to print nothing."""
        if not text.startswith(WAITING):
            return text
        if self.said:
            return None
        self.said = True
        return waiting_line(text, self.seconds)


def reason(text):
    """One line saying why apt stopped, from all it printed: its first error line, with what it
    left unsaid there; its first warning about an index or a key when it printed no error (apt-get
    update exits 0 when an index cannot be fetched); else its last line."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    errors = [line for line in lines if line.startswith("E: ")]
    warnings = [
        line
        for line in lines
        if line.startswith("W: ") and ("Failed to fetch" in line or "GPG error" in line)
    ]
    if not errors and not warnings:
        return lines[-1] if lines else "apt printed nothing"
    first = errors[0] if errors else warnings[0]
    fetches = [line for line in lines if line.startswith(("E: Failed", "W: Failed"))]
    key = NO_PUBKEY.search(text)
    if "Permission denied" in first or "are you root?" in first:
        return f"not root: {first}"
    if "lock" in first and ("Could not get lock" in first or "Unable to acquire" in first):
        held = HELD_BY.search(text)
        if held and held.group(0) not in first:
            first += f" ({held.group(0)})"
        return f"another program holds apt's lock: {first}"
    if "is not valid yet" in first:
        return f"this machine's clock is behind the archive's: {first}"
    if key:
        return f"apt lacks the archive's signing key ({key.group(0)}): {first}"
    if len(fetches) > 1 and first in fetches:
        return f"{first} (and {len(fetches) - 1} more)"
    return first


def main(argv):
    if len(argv) == 2 and argv[0] == "reason":
        with open(argv[1], encoding="utf-8", errors="replace") as log:
            print(reason(log.read()))
        return 0
    if len(argv) == 2 and argv[0] == "notice" and argv[1].isdigit():
        notice = LockNotice(int(argv[1]))
        for text in sys.stdin:
            shown = notice.line(text.rstrip("\n"))
            if shown is not None:
                print(shown, flush=True)
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
