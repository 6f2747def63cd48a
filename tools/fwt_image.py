"""The firmware image's formats and the rules it must meet before it is embedded in fwt.exe: the
one home of both, run by tools/check-image.py and, through it, by CMake when it configures.

Reads Intel HEX (python3-intelhex), Motorola S-records (converted to Intel HEX by srecord's
srec_cat, addresses kept), ELF (python3-pyelftools: the loadable segments at their load
addresses, only the bytes the file holds) and raw binaries (first byte at the flash base). The
format is told from the content; an extension that names another format is refused, since that
is how a file meant for one tool reaches another.

The bytes embedded are the image from the flash base to its highest byte, gaps filled with 0xFF
as erased flash reads. Each failed rule is one line: "FILE: RULE: detail".
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _engine_constant(name):
    """A number the device relies on, from the engine's header, where it is defined once."""
    with open(os.path.join(ROOT, "engine", "update_job.h"), encoding="utf-8") as f:
        found = re.search(rf"\b{name}\s*=\s*(0x[0-9A-Fa-f]+|[0-9]+)", f.read())
    if not found:
        raise RuntimeError(f"engine/update_job.h defines no {name}")
    return int(found.group(1), 0)


FLASH_BASE = _engine_constant("FLASH_IMAGE_BASE")
BOOT_CODE_SIZE = 0x4000  # the boot code's 16 KB below the flash base
ERASED = 0xFF
DEFAULT_FLASH_END = 0x08100000  # a 1 MiB flash
# Where a Cortex-M's initial stack may stand: SRAM (and DTCM at the same address on Cortex-M7
# parts), CCM and AXI SRAM. The stack pointer is the top of its stack: a range's end is valid.
DEFAULT_RAM = (
    (0x20000000, 0x20100000),
    (0x10000000, 0x10010000),
    (0x24000000, 0x24080000),
)

FORMATS = {"hex": "Intel HEX", "srec": "Motorola S-record", "elf": "ELF", "bin": "raw binary"}
EXTENSIONS = {
    ".hex": "hex",
    ".ihex": "hex",
    ".ihx": "hex",
    ".s19": "srec",
    ".s28": "srec",
    ".s37": "srec",
    ".srec": "srec",
    ".mot": "srec",
    ".elf": "elf",
    ".axf": "elf",
    ".out": "elf",
}
_HEX_LINE = re.compile(rb"^:[0-9A-Fa-f]+$")
_SREC_LINE = re.compile(rb"^S[0-9][0-9A-Fa-f]+$")


class ImageError(Exception):
    """A rule the image breaks, as its one line without the file's name."""

    def __init__(self, rule, detail):
        super().__init__(f"{rule}: {detail}")
        self.rule = rule


@dataclass
class Image:
    path: str
    format: str
    runs: list  # (address, bytes), sorted, not overlapping
    notes: list = field(default_factory=list)

    @property
    def low(self):
        return self.runs[0][0]

    @property
    def high(self):
        return self.runs[-1][0] + len(self.runs[-1][1])

    def flat(self):
        """The bytes from the lowest address to the highest, gaps filled as erased flash."""
        out = bytearray([ERASED]) * (self.high - self.low)
        for address, data in self.runs:
            out[address - self.low : address - self.low + len(data)] = data
        return bytes(out)

    def gap_bytes(self):
        return self.high - self.low - sum(len(d) for _, d in self.runs)


def detect(data):
    """The format the content shows: ELF by its magic, HEX and S-records by every line."""
    if data[:4] == b"\x7fELF":
        return "elf"
    lines = data.strip().splitlines()
    if lines and len(data) < (1 << 28):
        stripped = [ln.strip() for ln in lines if ln.strip()]
        if all(_HEX_LINE.match(ln) for ln in stripped):
            return "hex"
        if all(_SREC_LINE.match(ln) for ln in stripped):
            return "srec"
    return "bin"


def _need(module, package):
    try:
        return __import__(module)
    except ImportError:
        raise ImageError(
            "format",
            f"reading this format needs the Python module {module} (Debian: {package}), "
            "which this Python lacks",
        )


def _merge(runs):
    """Sorts runs and joins touching ones; overlapping ones are an error."""
    runs = sorted((a, bytes(d)) for a, d in runs if d)
    merged = []
    for address, data in runs:
        if merged and address < merged[-1][0] + len(merged[-1][1]):
            raise ImageError("format", f"two parts of the file both place bytes at {address:#010x}")
        if merged and address == merged[-1][0] + len(merged[-1][1]):
            merged[-1] = (merged[-1][0], merged[-1][1] + data)
        else:
            merged.append((address, data))
    return merged


def _read_hex(path):
    intelhex = _need("intelhex", "python3-intelhex")
    hexfile = intelhex.IntelHex()
    try:
        hexfile.loadhex(path)
    except intelhex.IntelHexError as e:
        raise ImageError("format", f"Intel HEX: {e}")
    return [(s, hexfile.tobinstr(s, e - 1)) for s, e in hexfile.segments()]


def _read_srec(path):
    srec_cat = shutil.which("srec_cat")
    if srec_cat is None:
        raise ImageError("format", "reading S-records needs srec_cat (Debian: srecord)")
    with tempfile.TemporaryDirectory(prefix="fwt-srec-") as tmp:
        out = os.path.join(tmp, "image.hex")
        done = subprocess.run(
            [srec_cat, path, "-Motorola", "-o", out, "-Intel"], capture_output=True, text=True
        )
        if done.returncode != 0:
            why = (done.stderr.strip().splitlines() or ["srec_cat failed"])[-1]
            raise ImageError("format", f"S-record: {why.replace(path + ': ', 'line ')}")
        return _read_hex(out)


def _read_elf(path):
    _need("elftools", "python3-pyelftools")
    from elftools.common.exceptions import ELFError
    from elftools.elf.elffile import ELFFile

    runs = []
    try:
        with open(path, "rb") as f:
            elf = ELFFile(f)
            for segment in elf.iter_segments():
                # The load (physical) address, and only the bytes the file holds: initialised
                # data is stored after the code even though it runs from RAM, and .bss has none.
                if segment["p_type"] != "PT_LOAD" or segment["p_filesz"] == 0:
                    continue
                runs.append((segment["p_paddr"], segment.data()[: segment["p_filesz"]]))
    except (ELFError, ValueError) as e:
        raise ImageError("format", f"ELF: {e}")
    if not runs:
        raise ImageError("size", "the ELF file has no loadable segment with bytes in it")
    return runs


def load(path):
    """Reads the file into an Image; ImageError when the file is not a readable image."""
    with open(path, "rb") as f:
        data = f.read()
    fmt = detect(data)
    named = EXTENSIONS.get(os.path.splitext(path)[1].lower())
    if named is not None and named != fmt:
        raise ImageError(
            "format",
            f"the name says {FORMATS[named]} but the content is {FORMATS[fmt]}",
        )
    if fmt == "hex":
        runs = _read_hex(path)
    elif fmt == "srec":
        runs = _read_srec(path)
    elif fmt == "elf":
        runs = _read_elf(path)
    else:
        runs = [(FLASH_BASE, data)]
    return Image(path, FORMATS[fmt], _merge(runs))


def _in_ram(value, ram):
    return any(start < value <= end for start, end in ram)


def check(image, flash_end=DEFAULT_FLASH_END, ram=DEFAULT_RAM, vector_check=True):
    """Raises ImageError for the first rule the image breaks."""
    if not image.runs:
        raise ImageError("size", "the image holds no bytes")
    low, high = image.low, image.high
    if low < FLASH_BASE:
        _, reset = vectors(image.runs[0][1])
        if reset is not None and reset % 2 == 1 and low <= reset - 1 < high:
            raise ImageError(
                "range",
                f"lowest byte at {low:#010x}, below {FLASH_BASE:#010x}: the image looks linked "
                f"for another address ({low:#010x}, not {FLASH_BASE:#010x})",
            )
        where = " in the boot code's 16 KB" if low >= FLASH_BASE - BOOT_CODE_SIZE else ""
        raise ImageError("range", f"byte at {low:#010x} lies below {FLASH_BASE:#010x}{where}")
    if high > flash_end:
        first = next(max(a, flash_end) for a, d in image.runs if a + len(d) > flash_end)
        raise ImageError(
            "range", f"byte at {first:#010x} lies past the flash (FWT_FLASH_END {flash_end:#010x})"
        )
    if low != FLASH_BASE:
        raise ImageError(
            "start",
            f"lowest address is {low:#010x}, not {FLASH_BASE:#010x} where the vector table must "
            "stand",
        )
    if not vector_check:
        return
    flat = image.flat()
    if len(flat) < 8:
        raise ImageError(
            "vector table", f"{len(flat)} bytes, fewer than the stack pointer and reset handler's 8"
        )
    sp = int.from_bytes(flat[0:4], "little")
    reset = int.from_bytes(flat[4:8], "little")
    if not _in_ram(sp, ram):
        ranges = ", ".join(f"{s:#010x}-{e:#010x}" for s, e in ram)
        raise ImageError(
            "vector table", f"stack pointer {sp:#010x} is not in RAM ({ranges}; FWT_RAM_RANGES)"
        )
    if sp % 4 != 0:
        raise ImageError("vector table", f"stack pointer {sp:#010x} is not a multiple of 4")
    if reset % 2 == 0:
        raise ImageError("vector table", f"reset handler {reset:#010x} is even (Thumb bit clear)")
    if reset - 1 < low:
        raise ImageError(
            "vector table",
            f"reset handler {reset:#010x} lies below the image ({low:#010x}-{high:#010x}): "
            "the image looks linked for another address",
        )
    if reset - 1 >= high:
        raise ImageError(
            "vector table",
            f"reset handler {reset:#010x} lies past the image ({low:#010x}-{high:#010x}): "
            "the image is cut short or linked for another address",
        )


def vectors(flat):
    """The stack pointer and the reset handler of a flat image, None where it is too short."""
    if len(flat) < 8:
        return None, None
    return int.from_bytes(flat[0:4], "little"), int.from_bytes(flat[4:8], "little")


def parse_ranges(text):
    """'0x20000000-0x20100000;0x10000000-0x10010000' (commas work too) as (start, end) pairs."""
    ranges = []
    for item in re.split(r"[;,\s]+", text.strip()):
        if not item:
            continue
        start, sep, end = item.partition("-")
        if not sep or int(end, 0) <= int(start, 0):
            raise ValueError(f"not a range START-END: {item}")
        ranges.append((int(start, 0), int(end, 0)))
    if not ranges:
        raise ValueError("no RAM range given")
    return ranges


def format_ranges(ranges):
    return ";".join(f"{s:#010x}-{e:#010x}" for s, e in ranges)


def describe(image, flat):
    """The report's lines before the verdict."""
    sp, reset = vectors(flat)
    gaps = image.gap_bytes()
    lines = [
        f"file     {image.path}",
        f"format   {image.format}",
        f"range    {image.low:#010x}-{image.high:#010x}"
        + (f" ({gaps} gap bytes filled with 0xFF)" if gaps else ""),
        f"size     {len(flat)} bytes",
        f"sha256   {hashlib.sha256(flat).hexdigest()}",
    ]
    if sp is not None:
        lines.append(f"stack    {sp:#010x}")
        lines.append(f"reset    {reset:#010x}")
    return lines


def write_if_changed(path, data):
    """Leaves an unchanged file alone, so that its time stamp does not rebuild the resources."""
    if os.path.isfile(path):
        with open(path, "rb") as f:
            if f.read() == data:
                return
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(path + ".tmp", path)
