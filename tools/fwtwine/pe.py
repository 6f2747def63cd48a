"""Reads a Windows executable (PE32 or PE32+) without outside tools: its machine, its sections,
where each raw resource lies in the file, its bytes, and the strings of its VERSIONINFO. Also
makes a copy of fwt.exe with one byte of its embedded firmware image flipped, for the
damaged-image test, and gives a signed file's bytes without its Authenticode signature, for
comparing a signed release with an unsigned build. Prints where the embedded image lies in flash
and its reset handler.

    PYTHONPATH=tools python3 -m fwtwine.pe build/win32/fwt.exe     # resources, version strings
    PYTHONPATH=tools python3 -m fwtwine.pe --flip OUT.exe build/win64/fwt.exe
"""

import argparse
import struct
import sys
from dataclasses import dataclass

RT_RCDATA = 10
RT_VERSION = 16
I386 = 0x14C


class PeError(ValueError):
    pass


@dataclass
class Resource:
    type: object  # int id or str name
    name: object
    language: int
    offset: int  # where its bytes start in the file
    data: bytes
    entry: int  # where its data entry (RVA, size, code page) lies in the file


@dataclass
class PeImage:
    machine: int
    timestamp: int  # the COFF header's link time stamp
    resources: list
    resource_timestamps: list  # the time stamp of every resource directory
    sections: list  # (name, virtual address, span, file offset, size in the file)
    headers_end: int  # where the section table ends in the file

    def find(self, rtype, name):
        for r in self.resources:
            if r.type == rtype and r.name == name:
                return r
        return None

    def section_of(self, offset):
        """The name of the section whose file data holds offset, or "headers"."""
        for name, _, _, raw_ptr, raw_size in self.sections:
            if raw_ptr <= offset < raw_ptr + raw_size:
                return name
        return "headers" if offset < self.headers_end else "beyond the sections"


def _sections(data, pe):
    count, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
    first = pe + 24 + opt_size
    sections = []
    for at in range(first, first + 40 * count, 40):
        name = data[at : at + 8].rstrip(b"\0").decode(errors="replace")
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, at + 8)
        sections.append((name, vaddr, max(vsize, raw_size), raw_ptr, raw_size))
    return sections, first + 40 * count


def _rva_to_offset(sections, rva):
    for _, vaddr, span, raw_ptr, raw_size in sections:
        if vaddr <= rva < vaddr + span:
            if rva - vaddr >= raw_size:
                raise PeError(f"RVA {rva:#x} lies beyond the section's file data")
            return raw_ptr + rva - vaddr
    raise PeError(f"RVA {rva:#x} is in no section")


def read_pe(path):
    with open(path, "rb") as f:
        data = f.read()
    return parse_pe(data)


def is_i386(path):
    """Whether PATH is a 32-bit x86 Windows executable, which wine64 hands to the 32-bit
    loader."""
    try:
        with open(path, "rb") as f:
            return _coff_header(f.read(4096))[1] == I386
    except (OSError, PeError):
        return False


def _coff_header(data):
    """(where the PE signature lies, machine, link time stamp)."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise PeError("not an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0" or len(data) < pe + 12:
        raise PeError("no PE signature")
    return (pe, *struct.unpack_from("<H2xI", data, pe + 4))


def parse_pe(data):
    pe, machine, timestamp = _coff_header(data)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic == 0x10B:
        dirs = opt + 96
    elif magic == 0x20B:
        dirs = opt + 112
    else:
        raise PeError(f"unknown optional header magic {magic:#x}")
    count = struct.unpack_from("<I", data, dirs - 4)[0]
    sections, headers_end = _sections(data, pe)
    image = PeImage(machine, timestamp, [], [], sections, headers_end)
    if count < 3:
        return image
    res_rva, res_size = struct.unpack_from("<II", data, dirs + 8 * 2)
    if res_rva == 0 or res_size == 0:
        return image
    base = _rva_to_offset(sections, res_rva)

    def name_of(entry_name):
        if entry_name & 0x80000000:
            at = base + (entry_name & 0x7FFFFFFF)
            length = struct.unpack_from("<H", data, at)[0]
            return data[at + 2 : at + 2 + 2 * length].decode("utf-16-le")
        return entry_name

    def directory(at, depth, path):
        stamp, named, ids = struct.unpack_from("<4xI4xHH", data, base + at)
        image.resource_timestamps.append(stamp)
        for i in range(named + ids):
            entry_name, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            key = path + [name_of(entry_name)]
            if target & 0x80000000:
                if depth >= 2:
                    raise PeError("resource directory nested too deep")
                directory(target & 0x7FFFFFFF, depth + 1, key)
                continue
            if depth != 2:
                raise PeError("resource data entry above the language level")
            rva, size = struct.unpack_from("<II", data, base + target)
            offset = _rva_to_offset(sections, rva)
            if offset + size > len(data):
                raise PeError(f"resource {key} runs past the end of the file")
            image.resources.append(
                Resource(
                    key[0], key[1], key[2], offset, data[offset : offset + size], base + target
                )
            )

    directory(0, 0, [])
    return image


def _optional_header(data):
    """(where the optional header's checksum lies, where the data directories start)."""
    pe = _coff_header(data)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic not in (0x10B, 0x20B):
        raise PeError(f"unknown optional header magic {magic:#x}")
    return opt + 64, opt + (96 if magic == 0x10B else 112)


SECURITY_DIRECTORY = 4  # the certificate table: a file offset and a size, not an RVA
SIGNATURE_ALIGN = 8  # the signer pads the file to this before appending the table


def without_signature(data):
    """The file's bytes as they were before signing: the certificate table cut off, its
    directory entry and the header checksum (which signing sets) zeroed, and the signer's
    alignment padding before the table dropped. An unsigned file only loses its checksum."""
    out = bytearray(data)
    checksum, dirs = _optional_header(data)
    struct.pack_into("<I", out, checksum, 0)
    entry = dirs + 8 * SECURITY_DIRECTORY
    offset, size = struct.unpack_from("<II", data, entry)
    if size == 0:
        return bytes(out)
    if offset + size != len(data) or offset > len(data):
        raise PeError("the certificate table is not at the end of the file")
    struct.pack_into("<II", out, entry, 0, 0)
    del out[offset:]
    return bytes(out)


def is_signed(data):
    _, dirs = _optional_header(data)
    return struct.unpack_from("<II", data, dirs + 8 * SECURITY_DIRECTORY)[1] != 0


def same_without_signature(signed, unsigned):
    """True when signed is unsigned with a signature added (padding included)."""
    a, b = without_signature(signed), without_signature(unsigned)
    pad = len(a) - len(b)
    return 0 <= pad < SIGNATURE_ALIGN and a[: len(b)] == b and not any(a[len(b) :])


def _align4(n):
    return (n + 3) & ~3


def _version_node(data, pos):
    """One node of a VERSIONINFO tree: (key, value, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, pos)
    if length < 6 or pos + length > len(data):
        raise PeError(f"bad VERSIONINFO node length {length} at {pos}")
    end = pos + length
    k = pos + 6
    while data[k : k + 2] != b"\0\0":
        k += 2
        if k >= end:
            raise PeError("unterminated VERSIONINFO key")
    key = data[pos + 6 : k].decode("utf-16-le")
    v = _align4(k + 2)
    if value_type == 1:
        # Text: value_length counts characters; the text ends at its terminator.
        raw = data[v : min(end, v + 2 * value_length)]
        text = raw.decode("utf-16-le")
        value = text.split("\0", 1)[0]
        after = v + len(raw)
    else:
        value = data[v : v + value_length]
        after = v + value_length
    children = []
    c = _align4(after) if value_length else v
    while c < end:
        child = _version_node(data, c)
        children.append(child)
        c = _align4(child[3])
    return key, value, children, end


def parse_version_info(data):
    """Returns (fixed, strings): the VS_FIXEDFILEINFO fields by name, and every string of every
    StringFileInfo table by key."""
    key, value, children, _ = _version_node(data, 0)
    if key != "VS_VERSION_INFO":
        raise PeError(f"VERSIONINFO root is {key!r}")
    fields = struct.unpack_from("<13I", value)
    if fields[0] != 0xFEEF04BD:
        raise PeError("VS_FIXEDFILEINFO signature missing")
    names = (
        "signature struct_version file_ms file_ls product_ms product_ls flags_mask flags "
        "os type subtype date_ms date_ls"
    ).split()
    fixed = dict(zip(names, fields))
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key != "StringFileInfo":
            continue
        for _, _, entries, _ in tables:
            for entry_key, entry_value, _, _ in entries:
                strings[entry_key] = entry_value
    return fixed, strings


def version_of(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def flip_image_byte(exe_path, out_path, index=None):
    """Copies exe_path to out_path with one byte of its "BINFILE" resource inverted (the middle
    one unless index is given). Returns the byte's offset in the file."""
    with open(exe_path, "rb") as f:
        data = bytearray(f.read())
    binfile = parse_pe(bytes(data)).find(RT_RCDATA, "BINFILE")
    if binfile is None or not binfile.data:
        raise PeError(f"{exe_path} carries no image to damage")
    if index is None:
        index = len(binfile.data) // 2
    if not 0 <= index < len(binfile.data):
        raise PeError(f"byte {index} is outside the {len(binfile.data)}-byte image")
    at = binfile.offset + index
    data[at] ^= 0xFF
    with open(out_path, "wb") as f:
        f.write(data)
    return at


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--flip", metavar="OUT", help="write a copy with one image byte flipped")
    args = parser.parse_args(argv)
    if args.flip:
        at = flip_image_byte(args.exe, args.flip)
        print(f"{args.flip}: flipped the byte at file offset {at:#x}")
        return 0
    image = read_pe(args.exe)
    print(f"machine {image.machine:#x}, link time stamp {image.timestamp}")
    for r in image.resources:
        print(
            f"type {r.type} name {r.name!r} language {r.language}: {len(r.data)} bytes at {r.offset:#x}"
        )
    binfile = image.find(RT_RCDATA, "BINFILE")
    if binfile is not None:
        import fwt_image

        _, reset = fwt_image.vectors(binfile.data)
        end = fwt_image.FLASH_BASE + len(binfile.data)
        print(
            f"image in flash {fwt_image.FLASH_BASE:#010x}-{end:#010x}, reset handler "
            + (f"{reset:#010x}" if reset is not None else "none (too short)")
        )
    version = image.find(RT_VERSION, 1)
    if version is not None:
        fixed, strings = parse_version_info(version.data)
        print(
            f"file version {version_of(fixed['file_ms'], fixed['file_ls'])}, "
            f"product version {version_of(fixed['product_ms'], fixed['product_ls'])}"
        )
        for key, value in strings.items():
            print(f"  {key}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
