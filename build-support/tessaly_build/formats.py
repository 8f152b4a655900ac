"""Reads ELF, PE and Mach-O files for the checks and the release scripts
through LIEF (PyPI lief, pinned by install-deps.sh in build/tools/lief), the
one reader of binary formats. The readers (elf, pe, macho_slices) take a path
and raise FormatError, in words, for a file LIEF cannot read; the helpers take
what they return. What LIEF hands out of a binary (a symbol, a section) lives
only as long as the binary: keep the binary in a variable. LIEF's demangler is
in its extended edition only: c++filt demangles. For the shell,
`python3 -m tessaly_build.formats build-id FILE` prints an ELF file's build-id.
"""
import os
import subprocess
import sys

try:
    import lief
except ImportError:
    sys.exit("%s: no LIEF for this Python: run build-support/install-deps.sh release, and this with "
             "/usr/bin/python3 (LIEF's wheel under build/tools/lief is for Debian 12's 3.11)"
             % os.path.basename(sys.argv[0]))
lief.logging.disable()


class FormatError(Exception):
    pass


def _read(path, parser, what):
    open(path, "rb").close()  # a missing file is an OSError, as for any reader
    binary = parser(path)
    if binary is None:
        raise FormatError("%s: not a readable %s file" % (path, what))
    return binary


def elf(path):
    binary = _read(path, lief.ELF.parse, "ELF")
    h = binary.header
    end = h.section_header_offset + h.numberof_sections * h.section_header_size
    if end > os.path.getsize(path):
        raise FormatError("%s: truncated: its section headers end at byte %d, past its end" % (path, end))
    return binary


def pe(path):
    return _read(path, lief.PE.parse, "PE")


def macho_slices(path):
    """The images of a thin or universal Mach-O file (lief.MachO.Binary each, taken
    out of the FatBinary, which frees its images with itself)."""
    with open(path, "rb") as f:
        head, size = f.read(8), os.fstat(f.fileno()).st_size
    # LIEF leaves out a slice it cannot read: the universal header says how many there are.
    count = int.from_bytes(head[4:], "big") if head[:4] in (b"\xca\xfe\xba\xbe", b"\xca\xfe\xba\xbf") else 1
    fat = lief.MachO.parse(path)
    slices = [fat.take(cpu) for cpu in [b.header.cpu_type for b in fat]] if fat else []
    whole = sum(s.fat_offset + s.original_size <= size for s in slices)
    if whole != count or not count:
        raise FormatError("%s: not a readable Mach-O file: %d of its %d slices read whole" % (path, whole, count))
    return slices


def demangle(names):
    """c++filt of each name, in order; names that are not mangled stay as they are."""
    out = subprocess.run(["c++filt"], input="".join(n + "\n" for n in names), check=True,
                         capture_output=True, text=True).stdout.splitlines()
    if len(out) != len(names):
        raise FormatError("c++filt returned %d lines for %d names" % (len(out), len(names)))
    return out


# ---------------------------------------------------------------- ELF

def elf_defined(s):
    return s.shndx != 0  # SHN_UNDEF


def elf_exports(binary):
    """(name, kind) of every defined global or weak dynamic symbol: kind func, data or other:TYPE."""
    kinds = {"FUNC": "func", "GNU_IFUNC": "func", "OBJECT": "data", "TLS": "data", "COMMON": "data"}
    return [(s.name, kinds.get(s.type.name, "other:" + s.type.name)) for s in binary.dynamic_symbols
            if s.name and elf_defined(s) and s.binding.name != "LOCAL"
            and s.visibility.name not in ("HIDDEN", "INTERNAL")]


def elf_version_needs(binary):
    """Every symbol version the file needs from its libraries (GLIBC_2.14, ...)."""
    return {a.name for r in binary.symbols_version_requirement for a in r.get_auxiliary_symbols()}


def glibc_version(name):
    """GLIBC_2.14 -> (2, 14); any other name -> None."""
    try:
        return tuple(int(x) for x in name[len("GLIBC_"):].split(".")) if name.startswith("GLIBC_") else None
    except ValueError:
        return None


def newest_glibc(versions):
    return max((v for v in versions if glibc_version(v)), key=glibc_version, default=None)


def elf_build_id(binary):
    """The GNU build-id as hex, or None."""
    return next((bytes(n.description).hex() for n in binary.notes
                 if n.type == lief.ELF.Note.TYPE.GNU_BUILD_ID), None)


def elf_binds_now(binary):
    """True if the dynamic loader resolves every symbol at load time (DF_BIND_NOW or DF_1_NOW)."""
    T = lief.ELF.DynamicEntry.TAG
    return any(e.tag == T.BIND_NOW or (e.tag == T.FLAGS and e.value & 0x8) or (e.tag == T.FLAGS_1 and e.value & 0x1)
               for e in binary.dynamic_entries)


# ---------------------------------------------------------------- PE

def pe_exports(binary):
    """(name, kind) of every export by name: func if its section is executable, else data."""
    export = binary.get_export()
    if export is None:
        return []
    found = []
    for e in export.entries:
        if e.name:
            section = binary.section_from_rva(e.address)
            code = section is not None and section.has_characteristic(lief.PE.Section.CHARACTERISTICS.MEM_EXECUTE)
            found.append((e.name, "func" if code else "data"))
    if export.export_addr_table_cnt > len(found):
        found.append(("<%d exports by ordinal only>" % (export.export_addr_table_cnt - len(found)), "other"))
    return found


def pe_imports(binary):
    """{DLL name: [functions imported by name]}, in file order."""
    return {i.name: [e.name for e in i.entries if not e.is_ordinal] for i in binary.imports}


def pe_section_names(binary):
    """Section names, a long one (/4) as the COFF string table holds it (.gnu_debuglink)."""
    return [s.coff_string.string if s.coff_string else s.name for s in binary.sections]


def pe_version_strings(binary):
    """{name: value} of the version resource's string tables."""
    versions = binary.resources_manager.version if binary.has_resources else []
    return {e.key: e.value for v in versions or [] if v.string_file_info
            for table in v.string_file_info.children for e in table.entries}


def coff_symbols(binary):
    """Names of the defined symbols of a PE file's COFF symbol table (not a weak external's)."""
    return {s.name for s in binary.symbols if not (s.is_undefined or s.is_file_record or s.is_weak_external)}


# ---------------------------------------------------------------- Mach-O

N_STAB, N_TYPE, N_EXT, N_UNDF = 0xE0, 0x0E, 0x01, 0x0
INSTRUCTIONS = 0x80000000 | 0x00000400  # S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS


def arch(s):
    return {"ARM64": "arm64", "X86_64": "x86_64"}.get(s.header.cpu_type.name, str(s.header.cpu_type))


def symbols(s):
    """The symbol table in its order: lief.MachO.Symbol (raw_type n_type, numberof_sections n_sect, value)."""
    return [x for x in s.symbols if x.origin == lief.MachO.Symbol.ORIGIN.SYMTAB]


def slice_exports(s):
    """(name without the leading underscore, kind) of every defined external symbol:
    func if its section holds instructions, else data."""
    found = []
    for x in symbols(s):
        if x.raw_type & N_STAB or not x.raw_type & N_EXT or x.raw_type & N_TYPE == N_UNDF:
            continue
        if not x.name.startswith("_"):
            found.append((x.name, "other:no-underscore"))
            continue
        code = 0 < x.numberof_sections <= len(s.sections) and \
            int(s.sections[x.numberof_sections - 1].flags) & INSTRUCTIONS
        found.append((x.name[1:], "func" if code else "data"))
    return found


def local_symbols(s):
    """Names of the defined local symbols and debug-map (stab) entries."""
    return [x.name for x in symbols(s) if x.raw_type & N_STAB or (not x.raw_type & N_EXT and x.raw_type & N_TYPE)]


def has_dwarf(s):
    return any(x.name == "__DWARF" for x in s.segments) or any(x.name == "__debug_info" for x in s.sections)


def dylib_id(s):
    """(install name, current version as 1.0.0) of LC_ID_DYLIB, or (None, None)."""
    c = next((c for c in s.commands if c.command == lief.MachO.LoadCommand.TYPE.ID_DYLIB), None)
    return (c.name, "%d.%d.%d" % tuple(c.current_version)) if c else (None, None)


def min_macos(s):
    """The minimum macOS as 11.0 (LC_BUILD_VERSION for macOS, or LC_VERSION_MIN_MACOSX); 0.0 without one."""
    v = [0, 0, 0]
    if s.has_build_version and s.build_version.platform == lief.MachO.BuildVersion.PLATFORMS.MACOS:
        v = s.build_version.minos
    elif s.has_version_min:
        v = s.version_min.version
    return "%d.%d" % tuple(v[:2]) + (".%d" % v[2] if v[2] else "")


def macos_slice_records(slices):
    """What a release's manifest records of each slice, by architecture: [{architecture, min_macos, exports}]."""
    return sorted(({"architecture": arch(s), "min_macos": min_macos(s), "exports": len(slice_exports(s))}
                   for s in slices), key=lambda r: r["architecture"])


# ---------------------------------------------------------------- any

def exports(path):
    """(format, [(arch or None, [(name, kind)])]) of a library of any of the three formats."""
    open(path, "rb").close()
    if lief.is_elf(path):
        return "ELF", [(None, elf_exports(elf(path)))]
    if lief.is_pe(path):
        return "PE", [(None, pe_exports(pe(path)))]
    if lief.is_macho(path):
        return "Mach-O", [(arch(s), slice_exports(s)) for s in macho_slices(path)]
    raise FormatError("%s: not ELF, PE or Mach-O" % path)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "build-id":
        sys.exit("usage: python3 -m tessaly_build.formats build-id FILE")
    try:
        print(elf_build_id(elf(sys.argv[2])) or "")
    except (FormatError, OSError) as e:
        sys.exit("formats.py: %s" % e)
