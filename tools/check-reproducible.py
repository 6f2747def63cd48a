"""Checks that the product builds reproducibly: copies the sources to a temporary directory at
another path, builds fwt.exe there with the win32 preset and the same image, and compares it
byte for byte with the reference build (build/win32/fwt.exe by default). The second build runs
later and in other directories, so a time stamp or a build path in the file shows up as a
difference.

    python3 tools/check-reproducible.py [--reference build/win32/fwt.exe] [--keep]
    python3 tools/check-reproducible.py --reference released/fwt.exe --image firmware.bin
    python3 tools/check-reproducible.py --formats --signing     # what CI runs

A released fwt.exe is checked against its source by running this from a checkout of its commit
with the image it was built with (same Debian 12 MinGW-w64 toolchain). A signed release is
compared without its Authenticode signature (the bytes the linker wrote).

--formats then builds the second tree again from the same image as Intel HEX and as ELF (made
with arm-none-eabi-objcopy and -ld): each fwt.exe must equal the reference byte for byte.
--signing then signs it with a throwaway certificate made here: the signature must pass
`osslsigncode verify` against that certificate, and the bytes without it must equal the reference.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

from fwtwine import pe
import fwt_image
from fwtwine.paths import PRODUCT, ROOT, repo_files


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def configured_image(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("FWT_FIRMWARE_IMAGE:"):
                return line.split("=", 1)[1].strip()
    return None


def copy_sources(root, dest):
    for rel in repo_files(root):
        target = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(root, rel), target)


def describe_difference(a_path, b_path):
    with open(a_path, "rb") as f:
        a = f.read()
    with open(b_path, "rb") as f:
        b = f.read()
    if len(a) != len(b):
        print(f"sizes differ: {len(a)} and {len(b)} bytes")
    differing = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    image = pe.parse_pe(a)
    print(f"{len(differing)} differing bytes in the common length")
    for i in differing[:12]:
        print(f"  offset {i:#08x} ({image.section_of(i)}): {a[i]:02x} / {b[i]:02x}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", default=str(PRODUCT))
    parser.add_argument(
        "--image",
        help="the firmware image (default: the one the reference's "
        "build tree was configured with)",
    )
    parser.add_argument("--keep", action="store_true", help="keep the second tree")
    parser.add_argument("--formats", action="store_true", help="also from HEX and ELF")
    parser.add_argument("--signing", action="store_true", help="also signed, and verified")
    args = parser.parse_args(argv)

    reference = os.path.abspath(args.reference)
    if not os.path.isfile(reference):
        print(
            f"FAIL no reference build at {reference} (cmake --preset win32 && "
            "cmake --build --preset win32)"
        )
        return 1
    image = os.path.abspath(args.image) if args.image else None
    if image is None and os.path.isfile(os.path.join(os.path.dirname(reference), "CMakeCache.txt")):
        image = configured_image(os.path.dirname(reference))
    if image is None:
        print(
            f"FAIL no image: {os.path.dirname(reference)} has no CMakeCache.txt naming it; "
            "give --image"
        )
        return 1

    tmp = tempfile.mkdtemp(prefix="fwt-reproducible-")
    try:
        second = second_build(tmp, image)
        status = compare(reference, second)
        if status == 0 and args.formats:
            status = other_formats(tmp, reference, image)
        if status == 0 and args.signing:
            status = signed_build(tmp, reference)
        return status
    finally:
        if args.keep:
            print(f"second tree kept in {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


def run_logged(tmp, command, cwd=None):
    """Runs a command into the log; on failure prints the log's end and returns False."""
    log = os.path.join(tmp, "build.log")
    with open(log, "a") as out:
        quiet = dict(stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if subprocess.run(command, cwd=cwd, **quiet).returncode == 0:
            return True
    with open(log) as f:
        sys.stdout.write(f.read()[-3000:])
    print(f"FAIL {' '.join(command)}")
    return False


def rebuild(tmp, *cache):
    """Configures the second tree again with these settings and builds fwt.exe afresh (the
    bytes to embed and the executable removed first, so that both are made again)."""
    source = os.path.join(tmp, "second", "source-tree")
    build = os.path.join(source, "build", "win32")
    for made in (os.path.join(build, "host", "firmware-image.bin"), os.path.join(build, "fwt.exe")):
        if os.path.exists(made):
            os.remove(made)
    for command in (
        ["cmake", "--preset", "win32", *cache],
        ["cmake", "--build", "--preset", "win32", "--target", "fwt"],
    ):
        if not run_logged(tmp, command, cwd=source):
            return None
    return os.path.join(build, "fwt.exe")


def other_formats(tmp, reference, image):
    """The same image as Intel HEX and as ELF must give the same fwt.exe."""
    hex_file, elf_file = os.path.join(tmp, "image.hex"), os.path.join(tmp, "image.elf")
    raw = os.path.join(tmp, "image.bin")
    fwt_image.write_if_changed(raw, fwt_image.load(image).flat())
    image = raw
    base = f"{fwt_image.FLASH_BASE:#x}"
    making = (
        ["arm-none-eabi-objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", base]
        + [image, hex_file],
        ["arm-none-eabi-ld", "-b", "binary", f"-Tdata={base}", "-e", "0", image, "-o", elf_file],
    )
    for command in making:
        if not run_logged(tmp, command):
            return 1
    for made in (hex_file, elf_file):
        print(f"from {os.path.basename(made)}:")
        if compare(reference, rebuild(tmp, f"-DFWT_FIRMWARE_IMAGE={made}")) != 0:
            return 1
    return 0


def signed_build(tmp, reference):
    """Signs with a throwaway certificate; the signature verifies, the rest is the reference."""
    cert, key, p12, password = (os.path.join(tmp, n) for n in ("c.pem", "k.pem", "c.p12", "pw"))
    with open(password, "w") as f:
        f.write("throwaway\n")
    making = (
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1"]
        + ["-subj", "/CN=fwt throwaway test signer", "-keyout", key, "-out", cert],
        ["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12]
        + ["-passout", f"file:{password}"],
    )
    for command in making:
        if not run_logged(tmp, command):
            return 1
    signed = rebuild(tmp, f"-DFWT_SIGN_PKCS12={p12}", f"-DFWT_SIGN_PASSWORD_FILE={password}")
    if signed is None:
        return 1
    verify = subprocess.run(
        ["osslsigncode", "verify", "-CAfile", cert, "-in", signed], capture_output=True, text=True
    )
    if verify.returncode != 0:
        sys.stdout.write(verify.stdout[-2000:] + verify.stderr[-2000:])
        print("FAIL the signed fwt.exe does not verify against its certificate")
        return 1
    with open(signed, "rb") as f:
        signed_bytes = f.read()
    with open(reference, "rb") as f:
        reference_bytes = f.read()
    if not pe.same_without_signature(signed_bytes, reference_bytes):
        print("FAIL the signed fwt.exe without its signature differs from the reference")
        return 1
    print(
        f"ok   signed: osslsigncode verify passes, "
        f"{len(signed_bytes) - len(pe.without_signature(signed_bytes))} "
        "bytes of signature, the rest equals the reference"
    )
    return 0


def second_build(tmp, image):
    """Builds fwt.exe from a copy of the sources under tmp; returns its path, or None when the
    build failed (its log's end printed)."""
    # Another source path of another length, so that a path in the file moves bytes.
    source = os.path.join(tmp, "second", "source-tree")
    copy_sources(ROOT, source)
    log = os.path.join(tmp, "build.log")
    configure = ["cmake", "--preset", "win32", f"-DFWT_FIRMWARE_IMAGE={image}"]
    with open(log, "w") as out:
        for command in (configure, ["cmake", "--build", "--preset", "win32", "--target", "fwt"]):
            quiet = dict(stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            if subprocess.run(command, cwd=source, **quiet).returncode != 0:
                with open(log) as f:
                    sys.stdout.write(f.read()[-3000:])
                print(f"FAIL the second build failed: {' '.join(command)}")
                return None
    return os.path.join(source, "build", "win32", "fwt.exe")


def compare(reference, second):
    """Prints both builds' digests and where they differ; returns the exit code. A signed
    reference is compared without its signature."""
    if second is None:
        return 1
    first_sum, second_sum = sha256_of(reference), sha256_of(second)
    print(f"reference  {first_sum}  {reference}")
    print(f"second     {second_sum}  {second}")
    with open(reference, "rb") as f:
        reference_bytes = f.read()
    with open(second, "rb") as f:
        second_bytes = f.read()
    if pe.is_signed(reference_bytes):
        if pe.same_without_signature(reference_bytes, second_bytes):
            print("ok   reproducible: the reference without its signature equals the second build")
            return 0
        print("FAIL the reference without its signature differs from the second build")
        return 1
    if first_sum != second_sum:
        describe_difference(reference, second)
        print("FAIL the two builds differ")
        return 1
    size = os.path.getsize(reference)
    print(f"ok   reproducible: both builds are {size} bytes with SHA-256 {first_sum}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
