#!/usr/bin/python3
"""build-support/checks/check-codesign passes the built arm64 dylib (signed by
its linker), thin and in a universal file, and fails every copy that is not
signed as it must be: a changed byte, no signature, another identifier, or
another kind of signature than asked for.

Usage: codesign_rejects.py DYLIB
"""
import os
import struct
import subprocess
import sys
import tempfile

check = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build-support", "checks",
                     "check-codesign")
dylib = sys.argv[1]
good = open(dylib, "rb").read()


def patched(at, new):
    return good[:at] + new + good[at + len(new):]


def code_signature_command():
    """Where LC_CODE_SIGNATURE (0x1d) stands among the thin file's load commands."""
    ncmds, = struct.unpack_from("<I", good, 16)
    at = 32
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", good, at)
        if cmd == 0x1D:
            return at
        at += size
    sys.exit("%s has no LC_CODE_SIGNATURE" % dylib)


def fat(thin):
    # One arm64 slice at 16 KiB, as llvm-lipo lays it out.
    head = struct.pack(">IIIIIII", 0xCAFEBABE, 1, 0x0100000C, 0, 0x4000, len(thin), 14)
    return head + bytes(0x4000 - len(head)) + thin


code_byte = len(good) // 3  # in __TEXT: the signature is at the file's end
# (what, file bytes, options, expected to pass, text the failure must name)
cases = [
    ("as built", good, [], True, ""),
    ("as built, in a universal file", fat(good), ["--kind", "ad-hoc"], True, ""),
    ("a byte of the code changed", patched(code_byte, bytes([good[code_byte] ^ 1])), [], False, "digest mismatch"),
    ("a byte changed in the universal file's slice", fat(patched(code_byte, bytes([good[code_byte] ^ 1]))), [],
     False, "digest mismatch"),
    ("LC_CODE_SIGNATURE removed (an unknown command instead)",
     patched(code_signature_command(), struct.pack("<I", 0x7FFF)), [], False, "unsigned"),
    ("another identifier asked for", good, ["--identifier", "libOther.dylib"], False, "identifier"),
    ("a certificate asked for", good, ["--kind", "certificate"], False, "not certificate"),
]

failures = 0
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, os.path.basename(dylib))
    for what, data, options, should_pass, reason in cases:
        with open(path, "wb") as f:
            f.write(data)
        r = subprocess.run([sys.executable, check] + options + [path], capture_output=True, text=True)
        out = (r.stdout + r.stderr).strip()
        ok = (r.returncode == 0) == should_pass and reason in out
        print("%s: %s (exit %d) %s" % ("ok  " if ok else "FAIL", what, r.returncode, out))
        failures += not ok
print("%d passed, %d failed" % (len(cases) - failures, failures))
sys.exit(1 if failures else 0)
