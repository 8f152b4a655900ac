#!/usr/bin/python3
"""build-support/checks/check-codesign passes the built arm64 dylib, thin and
in a universal file, and fails every copy of it whose bytes no longer match
its signature.

Usage: codesign_rejects.py DYLIB
"""
import os
import struct
import subprocess
import sys
import tempfile

build_support = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-support")
sys.path.insert(0, build_support)
from tessaly_build import formats  # noqa: E402

check = os.path.join(build_support, "checks", "check-codesign")
dylib = sys.argv[1]
good = open(dylib, "rb").read()


def signature(path):
    """Offsets of LC_CODE_SIGNATURE, the UUID, the signature and its
    CodeDirectory (found through the signature's index, big-endian) in a
    signed thin file."""
    macho = formats.macho_slices(path)[0]
    if macho.signature is None:
        sys.exit("%s has no code signature" % path)
    off = macho.signature[0]
    count, = struct.unpack_from(">I", good, off + 8)
    for i in range(count):
        slot, blob = struct.unpack_from(">II", good, off + 12 + 8 * i)
        if slot == 0:
            return macho.command_at[formats.mach_o.LC_CODE_SIGNATURE][0], macho.uuid_at, off, off + blob
    sys.exit("%s: the signature has no CodeDirectory" % path)


lc_at, uuid_at, sig_off, cd_at = signature(dylib)
ident_at = cd_at + struct.unpack_from(">I", good, cd_at + 20)[0]


def patched(at, new):
    data = bytearray(good)
    data[at:at + len(new)] = new
    return bytes(data)


def flipped(at):
    return patched(at, bytes([good[at] ^ 0x01]))


def fat(thin):
    # One arm64 slice at 16 KiB, as llvm-lipo lays it out.
    head = struct.pack(">IIIIIII", 0xCAFEBABE, 1, 0x0100000C, 0, 0x4000, len(thin), 14)
    return head + bytes(0x4000 - len(head)) + thin


code_limit, = struct.unpack_from(">I", good, cd_at + 32)
# (what, file bytes, expected to pass, text the failure must name)
cases = [
    ("as built", good, True, ""),
    ("as built, in a universal file", fat(good), True, ""),
    ("the UUID changed after signing", flipped(uuid_at), False, "page 0 "),
    ("a byte of the code changed", flipped(code_limit // 2), False, "page hashes"),
    ("the last signed byte changed", flipped(code_limit - 1), False, "page hashes"),
    ("a byte changed in the universal file's slice", fat(flipped(code_limit - 1)), False, "page hashes"),
    ("the identifier changed", flipped(ident_at), False, "identifier"),
    ("codeLimit one short", patched(cd_at + 32, struct.pack(">I", code_limit - 1)), False, "codeLimit"),
    ("a page hash changed", flipped(cd_at + struct.unpack_from(">I", good, cd_at + 16)[0]), False, "page hashes"),
    ("hash type changed to SHA-1", patched(cd_at + 37, b"\x01"), False, "hash size"),
    ("page size changed", patched(cd_at + 39, b"\x0d"), False, "page size"),
    ("LC_CODE_SIGNATURE removed (an unknown command instead)", patched(lc_at, struct.pack("<I", 0x7FFF)),
     False, "unsigned"),
    ("SuperBlob magic broken", flipped(sig_off), False, "SuperBlob"),
]

failures = 0
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, os.path.basename(dylib))
    for what, data, should_pass, reason in cases:
        with open(path, "wb") as f:
            f.write(data)
        r = subprocess.run([sys.executable, check, path], capture_output=True, text=True)
        ok = (r.returncode == 0) == should_pass and (should_pass or reason in r.stdout)
        print("%s: %s (exit %d) %s" % ("ok  " if ok else "FAIL", what, r.returncode, r.stdout.strip()))
        failures += not ok
print("%d passed, %d failed" % (len(cases) - failures, failures))
sys.exit(1 if failures else 0)
