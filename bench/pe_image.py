"""Copies fwt.exe with its embedded image cut to its first N bytes, for the benchmark's short form:
the raw-data resource "BINFILE" keeps its place in the file and only the size in its resource
data entry shrinks, so SizeofResource() returns N and the code is the same build."""

import struct
from pathlib import Path

RT_RCDATA = 10


def _name(rsrc, offset):
    length = struct.unpack_from("<H", rsrc, offset)[0]
    return bytes(rsrc[offset + 2:offset + 2 + 2 * length]).decode("utf-16-le")


def _entries(rsrc, directory):
    named, numbered = struct.unpack_from("<HH", rsrc, directory + 12)
    for k in range(named + numbered):
        name, target = struct.unpack_from("<II", rsrc, directory + 16 + 8 * k)
        key = _name(rsrc, name & 0x7FFFFFFF) if name & 0x80000000 else name
        yield key, target


def _find(rsrc, directory, key):
    for name, target in _entries(rsrc, directory):
        if name == key:
            return target
    raise ValueError(f"no resource entry {key!r}")


def cut_image(src, dst, size, resource="BINFILE"):
    data = bytearray(Path(src).read_bytes())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{src} is not a PE file")
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], \
        struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size
    rsrc_file = None
    for k in range(sections):
        _, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, table + 40 * k + 8)
        if vaddr <= rsrc_rva < vaddr + raw_size:
            rsrc_file = raw_ptr + rsrc_rva - vaddr
    if rsrc_file is None:
        raise ValueError(f"{src} has no resource section")
    rsrc = memoryview(data)[rsrc_file:]
    by_name = _find(rsrc, 0, RT_RCDATA) & 0x7FFFFFFF
    by_language = _find(rsrc, by_name, resource) & 0x7FFFFFFF
    entry = next(_entries(rsrc, by_language))[1]
    old = struct.unpack_from("<I", rsrc, entry + 4)[0]
    if not 0 < size <= old:
        raise ValueError(f"cannot cut a {old}-byte image to {size} bytes")
    struct.pack_into("<I", rsrc, entry + 4, size)
    rsrc.release()
    Path(dst).write_bytes(data)
    return old
