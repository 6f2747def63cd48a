"""Copies fwt.exe with its embedded image cut to its first N bytes, for the benchmark's short form:
the raw-data resource "BINFILE" keeps its place in the file and only the size in its resource
data entry shrinks, so SizeofResource() returns N and the code is the same build. The embedded
digest "BINFILE_SHA256" is rewritten to match the cut image, or the tool would refuse it as
damaged."""

import hashlib
import struct
from pathlib import Path

from fwtwine import pe

DIGEST_RESOURCE = "BINFILE_SHA256"


def cut_image(src, dst, size, resource="BINFILE"):
    """Writes the cut copy to dst and returns the image's original length."""
    data = bytearray(Path(src).read_bytes())
    exe = pe.parse_pe(bytes(data))
    image = exe.find(pe.RT_RCDATA, resource)
    digest = exe.find(pe.RT_RCDATA, DIGEST_RESOURCE)
    if image is None:
        raise ValueError(f"{src} carries no {resource} resource")
    if digest is None or len(digest.data) != 32:
        raise ValueError(f"{src} carries no 32-byte {DIGEST_RESOURCE} resource")
    old = len(image.data)
    if not 0 < size <= old:
        raise ValueError(f"cannot cut a {old}-byte image to {size} bytes")
    struct.pack_into("<I", data, image.entry + 4, size)
    data[digest.offset : digest.offset + 32] = hashlib.sha256(image.data[:size]).digest()
    Path(dst).write_bytes(data)
    return old
