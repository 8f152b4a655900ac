#!/usr/bin/env python3
"""Proves on the unstripped Skyrope.dll that it holds only what its seven
exports reach: the mesh decryption path (the key schedules, the equivalent
inverse cipher, Te4, Td0..Td4, Sbox, Rcon) and the bridge routines the native
methods call, but no send_request, padding, encryption or state-printing
routine, nothing of the byte-oriented AES, and not the tables Te0..Te3.

Two independent views of the image:
 - its COFF symbol table (nm): no symbol of an absent routine or table lies in
   a section. (An LTO link leaves the original objects' names as absolute
   symbols of value 0, type "A", that name no code; those are ignored.)
 - its bytes: the first entries of Te0..Te3 and the printf formats of the two
   state dumps do not occur anywhere, while those of Td0..Td4 and Te4 do.

Usage: check_unreached.py NM DLL
"""
import re
import struct
import subprocess
import sys

ABSENT_ROUTINES = [
    "send_request", "padding", "AES32_Encrypt", "AES32_round", "AES32_print_state",
    "GF_xtime", "AES8_",  # every routine of the byte-oriented AES
]
ABSENT_TABLES = ["Te0", "Te1", "Te2", "Te3", "ISbox"]
PRESENT_TABLES = ["Td0", "Td1", "Td2", "Td3", "Td4", "Te4"]

# First two entries of each table (big-endian words, stored little-endian).
TABLE_HEADS = {
    "Te0": (0xc66363a5, 0xf87c7c84), "Te1": (0xa5c66363, 0x84f87c7c),
    "Te2": (0x63a5c663, 0x7c84f87c), "Te3": (0x6363a5c6, 0x7c7c84f8),
    "Te4": (0x63636363, 0x7c7c7c7c),
    "Td0": (0x51f4a750, 0x7e416553), "Td1": (0x5051f4a7, 0x537e4165),
    "Td2": (0xa75051f4, 0x65537e41), "Td3": (0xf4a75051, 0x4165537e),
    "Td4": (0x52525252, 0x09090909),
}


def base_name(demangled):
    """'(anonymous namespace)::Sbox' -> 'Sbox'; 'f(int)' -> 'f'; 'Td0.lto_priv.0' -> 'Td0'."""
    name = demangled.split("(", 1)[0] if not demangled.startswith("(") else demangled
    name = name.rsplit("::", 1)[-1]
    return name.split(".", 1)[0]


def main():
    nm, dll = sys.argv[1], sys.argv[2]
    out = subprocess.run([nm, "-C", dll], check=True, capture_output=True, text=True).stdout
    in_sections = []
    for line in out.splitlines():
        m = re.match(r"^([0-9a-fA-F]+)?\s+([A-Za-z?-])\s+(.*)$", line)
        if not m or m.group(2) in "AUuwv":
            continue
        if m.group(3).startswith("."):  # section symbols such as .text$name
            continue
        in_sections.append((m.group(2), m.group(3)))
    problems = []
    names = {base_name(n) for _, n in in_sections}
    for kind, full in in_sections:
        b = base_name(full)
        if any(b == r or (r.endswith("_") and b.startswith(r)) for r in ABSENT_ROUTINES):
            problems.append("code present: %s (%s)" % (full, kind))
        if b in ABSENT_TABLES:
            problems.append("table present: %s (%s)" % (full, kind))
    for t in PRESENT_TABLES + ["Sbox", "Rcon", "AES32_EqDecrypt"]:
        # AES32_EqDecrypt may be inlined into its caller; the tables may not vanish.
        if t not in names and t != "AES32_EqDecrypt":
            problems.append("expected symbol missing (is the check looking at the right file?): %s" % t)
    if sum(1 for _, n in in_sections if base_name(n) == "Sbox") > 1:
        problems.append("more than one S-box table: the byte-oriented AES's own copy is present")

    data = open(dll, "rb").read()
    for table, (w0, w1) in TABLE_HEADS.items():
        head = struct.pack("<II", w0, w1)
        if table in ABSENT_TABLES and head in data:
            problems.append("bytes of %s present" % table)
        if table in PRESENT_TABLES and head not in data:
            problems.append("bytes of %s missing" % table)
    for fmt in (b"%08x ", b"%02x "):
        if fmt in data:
            problems.append("state-dump format %r present" % fmt.decode())

    print("%s: %d symbols in sections checked" % (dll, len(in_sections)))
    for p in problems:
        print(p)
    if problems:
        print("FAILED")
        return 1
    print("OK: no send_request, padding, encryption, state printing, byte-oriented AES or Te0..Te3")
    return 0


if __name__ == "__main__":
    sys.exit(main())
