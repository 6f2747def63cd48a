"""The UI driver (tools/wine/ui_driver.cpp): its command line, with the waits stretched for the
target, and its report."""

# The steps that take arguments, and how many; the last argument of a waiting step is its wait
# in ms. The first wait for the window is the target's start-up time; the other waits are
# stretched by its time scale, except a plain sleep.
WAITS = {"window": 1, "await": 2, "box": 1, "close": 1, "sleep": 1, "watch": 2, "titled-box": 2}
WAITS.update(windows=2)
ARGS = {**WAITS, "select": 1, "syscommand": 1, "answer": 1, "confirm": 1, "lock": 1}


def argv(steps, window_ms, time_scale, pid=None):
    """(the driver's arguments, seconds to allow it in all). `pid`: the Windows process id of the
    copy of the tool to drive, when several run."""
    steps = [str(s) for s in steps]
    out, limit, i = ([] if pid is None else ["--pid", str(pid)]), 60.0, 0
    while i < len(steps):
        step, n = steps[i], ARGS.get(steps[i], 0)
        args = steps[i + 1 : i + 1 + n]
        if step in WAITS:
            ms = int(args[-1])
            if step == "window":
                ms = max(ms, window_ms)
            elif step != "sleep":
                ms = int(ms * time_scale)
            args[-1] = str(ms)
            limit += ms / 1000
        else:
            limit += 30
        out += [step, *args]
        i += 1 + n
    return out, limit


class DriverLog:
    """What the UI driver reported over the whole case, every run of it appended."""

    def __init__(self):
        self.lines = []

    def add(self, text):
        self.lines.extend(text.replace("\r", "").splitlines())

    def tabbed(self, kind):
        """(ms since that driver run started, text) of each "KIND\\tMS\\tTEXT" line, in order."""
        parts = (line.split("\t", 2) for line in self.lines)
        return [(int(p[1]), p[2]) for p in parts if len(p) == 3 and p[0] == kind]

    def statuses(self):
        return self.tabbed("status")

    def captions(self):
        """(ms, caption) of each caption the "watch" step saw."""
        return self.tabbed("caption")

    def status_time(self, text):
        return next((t for t, s in self.statuses() if s == text), None)

    def values(self, key):
        """The numbers of the "KEY N" lines, in order."""
        fields = (line.split() for line in self.lines if line.startswith(key + " "))
        return [int(f[1]) for f in fields if len(f) == 2]

    def stamps(self):
        return self.values("stamp")

    def items(self):
        return [
            line.split(" ", 2)[2] if line.count(" ") >= 2 else ""
            for line in self.lines
            if line.startswith("item ")
        ]

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

    def last_box(self):
        boxes = self.boxes()
        return boxes[-1] if boxes else ""

    def rect(self):
        rects = [line.split()[1:] for line in self.lines if line.startswith("rect ")]
        return tuple(int(v) for v in rects[-1]) if rects else None

    def errors(self):
        return [line for line in self.lines if line.startswith("driver-error")]
