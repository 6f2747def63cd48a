"""Counts the opens of files (inotify IN_OPEN), to tell whether the tool opened a port's
pseudo-terminal. Wine may keep a device open between quick reopens, so a count can fall short,
but zero means no open."""

import ctypes
import errno
import os
import struct

_libc = ctypes.CDLL(None, use_errno=True)
_IN_OPEN = 0x20
# Closes are watched too: the kernel merges an event into the one before it when that is the same
# and still unread, so back-to-back opens would count as one; an open, a close and an open differ.
_IN_CLOSE = 0x08 | 0x10
_IN_NONBLOCK = os.O_NONBLOCK
_IN_CLOEXEC = os.O_CLOEXEC
_EVENT = struct.Struct("iIII")  # wd, mask, cookie, len; then len bytes of name


class OpenCounter:
    """A context manager that watches PATHS from entering on; `take()` returns, per path, the
    opens seen since the last `take()` (or since entering)."""

    def __init__(self, *paths):
        self.paths = [str(p) for p in paths]
        self.fd = -1
        self.watches = {}

    def __enter__(self):
        self.fd = _libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        try:
            for path in self.paths:
                wd = _libc.inotify_add_watch(self.fd, path.encode(), _IN_OPEN | _IN_CLOSE)
                if wd < 0:
                    raise OSError(ctypes.get_errno(), "inotify_add_watch", path)
                self.watches[wd] = path
        except OSError:
            os.close(self.fd)
            raise
        return self

    def __exit__(self, *exc):
        os.close(self.fd)
        return False

    def take(self):
        counts = {path: 0 for path in self.paths}
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return counts
            except OSError as e:
                if e.errno == errno.EAGAIN:
                    return counts
                raise
            at = 0
            while at + _EVENT.size <= len(data):
                wd, mask, _cookie, length = _EVENT.unpack_from(data, at)
                at += _EVENT.size + length
                if mask & _IN_OPEN and wd in self.watches:
                    counts[self.watches[wd]] += 1
