"""Reads ELF, PE and Mach-O files for the checks and the release scripts, on
Debian's pyelftools, pefile and macholib: every script that looks inside a
library does it through here. Two things no library does stay hand-written
where they are used: the code-signature blobs and their page hashes
(checks/check-codesign), and the byte patching of a release slice
(macos/macho-slice).

A file these libraries cannot read raises FormatError, with the reason in
words; the checks print it as their FAIL line.
"""
import io
import os
import subprocess
import sys
import types

_missing = []
try:
    from elftools.common.exceptions import ELFError
    from elftools.elf.elffile import ELFFile
except ImportError:
    _missing.append("python3-pyelftools")
try:
    import pefile
except ImportError:
    _missing.append("python3-pefile")
try:
    from macholib import mach_o
    from macholib.MachO import MachO
    from macholib.ptypes import sizeof
    from macholib.SymbolTable import SymbolTable
except ImportError:
    _missing.append("python3-macholib")
if _missing:
    sys.exit("%s: install %s: build-support/install-deps.sh release, and run this with /usr/bin/python3, "
             "which sees Debian's Python packages (elsewhere: pip install %s, and give ctest that Python "
             "with -DTESSALY_PYTHON=...)" % (os.path.basename(sys.argv[0]), " ".join(_missing),
                                             " ".join(p[len("python3-"):] for p in _missing)))


class FormatError(Exception):
    pass


def kind(path):
    """'ELF', 'PE', 'Mach-O' (thin or universal) or None, from the file's first bytes."""
    with open(path, "rb") as f:
        head = f.read(4)
    if head == b"\x7fELF":
        return "ELF"
    if head[:2] == b"MZ":
        return "PE"
    if head in (b"\xcf\xfa\xed\xfe", b"\xce\xfa\xed\xfe", b"\xca\xfe\xba\xbe", b"\xca\xfe\xba\xbf"):
        return "Mach-O"
    return None


# ---------------------------------------------------------------- ELF


def _elf(path):
    try:
        with open(path, "rb") as f:
            return ELFFile(io.BytesIO(f.read()))
    except ELFError as e:
        raise FormatError("%s: not a readable ELF file: %s" % (path, e))


class Symbol:
    """A symbol of an ELF table: name (without version), value, type
    (FUNC, OBJECT, IFUNC, TLS, ...), bind (GLOBAL, WEAK, LOCAL), visibility
    (DEFAULT, HIDDEN, ...), defined (not undefined)."""

    def __init__(self, sym):
        self.name = sym.name
        self.value = sym["st_value"]
        t = sym["st_info"]["type"]
        self.type = "IFUNC" if t in ("STT_GNU_IFUNC", "STT_LOOS") else str(t).replace("STT_", "")
        self.bind = str(sym["st_info"]["bind"]).replace("STB_", "")
        self.visibility = str(sym["st_other"]["visibility"]).replace("STV_", "")
        self.defined = sym["st_shndx"] != "SHN_UNDEF"


def elf_symbols(path, table=".dynsym"):
    """The symbols of TABLE (.dynsym or .symtab); none when the file lacks it."""
    section = _elf(path).get_section_by_name(table)
    return [Symbol(s) for s in section.iter_symbols()] if section is not None else []


def elf_exports(path):
    """(name, kind) of every defined global or weak dynamic symbol: kind func, data or other:TYPE."""
    found = []
    for s in elf_symbols(path):
        if not s.name or not s.defined or s.bind == "LOCAL" or s.visibility in ("HIDDEN", "INTERNAL"):
            continue
        if s.type in ("FUNC", "IFUNC"):
            found.append((s.name, "func"))
        elif s.type in ("OBJECT", "TLS", "COMMON"):
            found.append((s.name, "data"))
        else:
            found.append((s.name, "other:" + s.type))
    return found


def elf_needed(path):
    """The NEEDED libraries, in order."""
    dynamic = _elf(path).get_section_by_name(".dynamic")
    return [t.needed for t in dynamic.iter_tags("DT_NEEDED")] if dynamic is not None else []


def elf_version_needs(path):
    """Every symbol version the file needs from its libraries (GLIBC_2.14, ...)."""
    verneed = _elf(path).get_section_by_name(".gnu.version_r")
    if verneed is None:
        return set()
    return {aux.name for _, auxiliaries in verneed.iter_versions() for aux in auxiliaries}


def glibc_version(name):
    """GLIBC_2.14 -> (2, 14); any other name -> None."""
    if not name.startswith("GLIBC_"):
        return None
    try:
        return tuple(int(x) for x in name[len("GLIBC_"):].split("."))
    except ValueError:
        return None


def newest_glibc(versions):
    """The newest GLIBC_ version among VERSIONS, or None."""
    return max((v for v in versions if glibc_version(v)), key=glibc_version, default=None)


def elf_sections(path):
    return [s.name for s in _elf(path).iter_sections()]


def elf_build_id(path):
    """The GNU build-id as hex, or None."""
    for section in _elf(path).iter_sections():
        if section.header["sh_type"] == "SHT_NOTE":
            for note in section.iter_notes():
                if note["n_type"] == "NT_GNU_BUILD_ID":
                    return note["n_desc"]
    return None


def elf_segments(path):
    """(type without PT_, flags) of every program header: GNU_RELRO, GNU_STACK, LOAD, ..."""
    return [(str(s["p_type"]).replace("PT_", ""), s["p_flags"]) for s in _elf(path).iter_segments()]


def elf_binds_now(path):
    """True if the dynamic loader resolves every symbol at load time (DF_BIND_NOW or DF_1_NOW)."""
    dynamic = _elf(path).get_section_by_name(".dynamic")
    if dynamic is None:
        return False
    for t in dynamic.iter_tags():
        tag = t.entry.d_tag
        if tag == "DT_BIND_NOW" or (tag == "DT_FLAGS" and t.entry.d_val & 0x8) or \
                (tag == "DT_FLAGS_1" and t.entry.d_val & 0x1):
            return True
    return False


# ---------------------------------------------------------------- PE

IMAGE_SCN_MEM_EXECUTE = 0x20000000


def _pe(path):
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in (
            "IMAGE_DIRECTORY_ENTRY_EXPORT", "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE")])
        return pe
    except pefile.PEFormatError as e:
        raise FormatError("%s: not a readable PE image: %s" % (path, e))


def pe_exports(path):
    """(name, kind) of every export by name: func if its section is executable, else data."""
    pe = _pe(path)
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if directory is None:
        return []
    found = []
    for s in directory.symbols:
        if s.name is None:
            continue
        section = pe.get_section_by_rva(s.address)
        executable = section is not None and section.Characteristics & IMAGE_SCN_MEM_EXECUTE
        found.append((s.name.decode("ascii", "replace"), "func" if executable else "data"))
    by_ordinal = directory.struct.NumberOfFunctions - len(found)
    if by_ordinal:
        found.append(("<%d exports by ordinal only>" % by_ordinal, "other"))
    return found


def pe_import_table(path):
    """The DLL's imports: (DLL name, [functions imported by name]) in file order."""
    return [(entry.dll.decode("ascii", "replace"), [i.name.decode("ascii", "replace") for i in entry.imports if i.name])
            for entry in getattr(_pe(path), "DIRECTORY_ENTRY_IMPORT", [])]


def pe_imports(path):
    return [dll for dll, _ in pe_import_table(path)]


def pe_header(path):
    """What the release checks read of a DLL's headers: its time stamp, COFF
    symbol count, DLL characteristics, section names and its version
    resource's strings ({name: value})."""
    pe = _pe(path)

    def section_name(raw):
        name = raw.rstrip(b"\0").decode("latin-1")
        table = pe.FILE_HEADER.PointerToSymbolTable
        if name.startswith("/") and name[1:].isdigit() and table:
            # A long name (.gnu_debuglink) is "/N", N an offset into the COFF
            # string table after the symbols, which pefile leaves unresolved.
            at = table + 18 * pe.FILE_HEADER.NumberOfSymbols + int(name[1:])
            end = pe.__data__.find(b"\0", at)
            if end > at:
                name = bytes(pe.__data__[at:end]).decode("latin-1")
        return name

    strings = {}
    for info in getattr(pe, "FileInfo", None) or []:
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode("utf-8", "replace"): v.decode("utf-8", "replace")
                                for k, v in table.entries.items()})
    return {"stamp": pe.FILE_HEADER.TimeDateStamp, "nsyms": pe.FILE_HEADER.NumberOfSymbols,
            "dllchars": pe.OPTIONAL_HEADER.DllCharacteristics,
            "sections": [section_name(s.Name) for s in pe.sections], "version": strings}


def pe_defined_symbols(path, nm="x86_64-w64-mingw32-nm"):
    """Names of the defined symbols of a PE file's COFF symbol table (pefile
    does not read that table; MinGW's nm does)."""
    r = subprocess.run([nm, "--defined-only", path], capture_output=True, text=True)
    if r.returncode:
        raise FormatError("%s: %s failed: %s" % (path, nm, r.stderr.strip()))
    return {line.split()[-1] for line in r.stdout.splitlines() if len(line.split()) == 3}


# ---------------------------------------------------------------- Mach-O

ARCH_NAMES = {0x0100000C: "arm64", 0x01000007: "x86_64"}
N_STAB, N_TYPE, N_EXT, N_UNDF = 0xE0, 0x0E, 0x01, 0x0
INSTRUCTIONS = 0x80000000 | 0x00000400  # S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS


class MachOSlice:
    """One thin Mach-O image, alone or in a universal file, as macholib reads
    it. Offsets (uuid_at, command_at, the symbol table's) are within the slice.

      arch          arm64, x86_64 or cpu0x...; is64: a 64-bit image
      offset, size  where the slice is in the file
      segments      [(name, vmaddr, vmsize, fileoff, filesize)] in file order
      sections      [("SEG,sect", addr, size, file offset or 0 if zero-filled, flags)]
      uuid, uuid_at the LC_UUID bytes and where they stand
      install_name, current_version   of LC_ID_DYLIB (None without one)
      min_macos     the minimum macOS version (packed xxxx.yy.zz) or None
      signature     (dataoff, datasize) of LC_CODE_SIGNATURE or None; signatures
                    counts such commands
      command_at    {command number: [offsets of the commands]}
      symtab        (symoff, nsyms, stroff, strsize) or None
      indirect      (indirectsymoff, nindirectsyms) or None
    """

    def __init__(self, path, header):
        self.path = path
        self.header = header
        self.arch = ARCH_NAMES.get(header.header.cputype, "cpu0x%x" % header.header.cputype)
        self.is64 = header.MH_MAGIC in (mach_o.MH_MAGIC_64, mach_o.MH_CIGAM_64)
        self.offset, self.size = header.offset, header.size
        self.segments, self.sections, self.command_at = [], [], {}
        self.uuid = self.uuid_at = self.install_name = self.current_version = None
        self.min_macos = self.signature = self.symtab = self.indirect = None
        self.signatures = 0
        at = sizeof(header.mach_header)
        for load, command, data in header.commands:
            self.command_at.setdefault(load.cmd, []).append(at)
            if load.cmd == mach_o.LC_SEGMENT_64:
                name = command.segname.rstrip(b"\0").decode("ascii", "replace")
                self.segments.append((name, command.vmaddr, command.vmsize, command.fileoff, command.filesize))
                for s in data:
                    zerofill = (s.flags & 0xFF) in (0x1, 0xC, 0x12)
                    self.sections.append(("%s,%s" % (name, s.sectname.rstrip(b"\0").decode("ascii", "replace")),
                                          s.addr, s.size, 0 if zerofill else s.offset, s.flags))
            elif load.cmd == mach_o.LC_UUID:
                self.uuid, self.uuid_at = bytes(command.uuid), at + 8
            elif load.cmd == mach_o.LC_ID_DYLIB:
                raw = data[:data.index(b"\0")] if b"\0" in data else None
                self.install_name = raw.decode("utf-8", "replace") if raw is not None else None
                self.current_version = int(command.current_version._version)
            elif load.cmd == mach_o.LC_CODE_SIGNATURE:
                self.signature = (command.dataoff, command.datasize)
                self.signatures += 1
            elif load.cmd == mach_o.LC_SYMTAB:
                self.symtab = (command.symoff, command.nsyms, command.stroff, command.strsize)
            elif load.cmd == mach_o.LC_DYSYMTAB:
                self.indirect = (command.indirectsymoff, command.nindirectsyms)
            elif load.cmd == mach_o.LC_BUILD_VERSION and command.platform == 1:  # PLATFORM_MACOS
                self.min_macos = int(command.minos)
            elif load.cmd == mach_o.LC_VERSION_MIN_MACOSX:
                self.min_macos = int(command.version)
            at += load.cmdsize
        self._symbols = None

    def symbols(self):
        """[(name, n_type, n_sect, n_value)] of the symbol table, in order."""
        if self._symbols is None:
            try:
                table = SymbolTable(types.SimpleNamespace(filename=self.path), header=self.header)
            except Exception as e:  # macholib reads past a broken table with struct/index errors
                raise FormatError("%s [%s]: unreadable symbol table: %s" % (self.path, self.arch, e))
            self._symbols = [(name.decode("utf-8", "replace") if isinstance(name, bytes) else name,
                              n.n_type, n.n_sect, n.n_value) for n, name in getattr(table, "nlists", [])]
        return self._symbols

    def exports(self):
        """(name without the leading underscore, kind) of every defined external symbol:
        func if its section holds instructions, else data."""
        found = []
        for name, n_type, n_sect, _ in self.symbols():
            if n_type & N_STAB or not n_type & N_EXT or n_type & N_TYPE == N_UNDF:
                continue
            if not name.startswith("_"):
                found.append((name, "other:no-underscore"))
                continue
            code = 0 < n_sect <= len(self.sections) and self.sections[n_sect - 1][4] & INSTRUCTIONS
            found.append((name[1:], "func" if code else "data"))
        return found

    def local_symbols(self):
        """Names of the defined local symbols and debug-map (stab) entries."""
        return [name for name, n_type, _, _ in self.symbols()
                if n_type & N_STAB or (not n_type & N_EXT and n_type & N_TYPE != N_UNDF)]

    def has_dwarf(self):
        return any(s[0] == "__DWARF" for s in self.segments) or \
            any(s[0].endswith(",__debug_info") for s in self.sections)


def macos_version(packed, full=False):
    """A Mach-O version (xxxx.yy.zz in nibbles) as text: 11.0, 1.0.0; the patch level only if non-zero or FULL."""
    major, minor, patch = packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF
    return "%d.%d.%d" % (major, minor, patch) if patch or full else "%d.%d" % (major, minor)


def macho_slices(path):
    """The MachOSlice of each image of a thin or universal Mach-O file."""
    try:
        macho = MachO(path, allow_unknown_load_commands=True)
        slices = []
        for h in macho.headers:
            if h.offset + h.size > os.path.getsize(path):
                raise FormatError("%s: a slice runs past the end of the file" % path)
            slices.append(MachOSlice(path, h))
        if not slices:
            raise FormatError("%s: a universal file without slices" % path)
        return slices
    except FormatError:
        raise
    except Exception as e:  # macholib reports a broken file by ValueError, struct.error, ...
        raise FormatError("%s: not a readable Mach-O file: %s" % (path, e or type(e).__name__))


def macos_slice_records(slices):
    """What a release's manifest records of each of SLICES (macho_slices), by architecture name:
    [{"architecture", "min_macos", "exports"}]."""
    return [{"architecture": s.arch, "min_macos": macos_version(s.min_macos or 0), "exports": len(s.exports())}
            for s in sorted(slices, key=lambda s: s.arch)]


def macho_exports(path):
    """[(arch, [(name, kind)])] for each slice."""
    return [(s.arch, s.exports()) for s in macho_slices(path)]


# ---------------------------------------------------------------- any


def exports(path):
    """(format, [(arch or None, [(name, kind)])]) of a library of any of the three formats."""
    fmt = kind(path)
    if fmt == "ELF":
        return fmt, [(None, elf_exports(path))]
    if fmt == "PE":
        return fmt, [(None, pe_exports(path))]
    if fmt == "Mach-O":
        return fmt, macho_exports(path)
    raise FormatError("%s: not ELF, PE or Mach-O" % path)


if __name__ == "__main__":
    # For the shell scripts: "formats.py build-id FILE" prints an ELF file's build-id.
    if len(sys.argv) != 3 or sys.argv[1] != "build-id":
        sys.exit("usage: formats.py build-id FILE")
    try:
        print(elf_build_id(sys.argv[2]) or "")
    except (FormatError, OSError) as e:
        sys.exit("formats.py: %s" % e)
