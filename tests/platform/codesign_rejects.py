#!/usr/bin/env python3
"""check-codesign passes the built arm64 dylib, thin and in a universal
file, and fails every copy of it whose bytes no longer match its signature.

Usage: codesign_rejects.py CHECK_CODESIGN DYLIB
"""
import os
import struct
import subprocess
import sys
import tempfile

check, dylib = sys.argv[1], sys.argv[2]
good = open(dylib, "rb").read()


def signature(data):
    """Offsets of LC_CODE_SIGNATURE, the UUID, the signature and its
    CodeDirectory in a signed thin file."""
    ncmds, = struct.unpack_from("<I", data, 16)
    o, uuid = 32, None
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", data, o)
        if cmd == 0x1B:
            uuid = o + 8
        if cmd == 0x1D:
            off, = struct.unpack_from("<I", data, o + 8)
            count, = struct.unpack_from(">I", data, off + 8)
            for i in range(count):
                slot, blob = struct.unpack_from(">II", data, off + 12 + 8 * i)
                if slot == 0:
                    return o, uuid, off, off + blob
        o += size
    sys.exit("%s has no code signature" % dylib)


lc_at, uuid_at, sig_off, cd_at = signature(good)
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
