#!/usr/bin/env python3
"""Checks that a .sys file is an image the Windows x64 kernel loads as a driver.

Each rule is checked and reported by name, one line each:

    ok    checksum             0x0000c64f, as the file sums
    FAIL  WDM driver           IMAGE_DLLCHARACTERISTICS_WDM_DRIVER (0x2000) is not set

Exit status: 0 when every rule holds, 1 when one fails, 2 when the file cannot
be read as a PE image at all or the command line is wrong.

The unwind and entry-point rules need the image's COFF symbol table. A shipped
image is stripped, so its unstripped copy supplies the symbols: --symbols FILE,
or NAME.unstripped.sys beside NAME.sys. Its sections must be those of the
image, byte for byte.
"""
import argparse
import os
import struct
import sys

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_NT_OPTIONAL_HDR64_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1
DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
DLLCHARACTERISTICS_NX_COMPAT = 0x0100
DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
PAGE_SIZE = 0x1000

DIR_EXPORT, DIR_IMPORT, DIR_EXCEPTION, DIR_TLS, DIR_IAT, DIR_DELAY_IMPORT = 0, 1, 3, 9, 12, 13

KERNEL_MODULES = ("ntoskrnl.exe", "hal.dll", "hidparse.sys")

# Symbols the default linker script places in .text around the constructor and
# destructor lists: addresses of data, not functions.
LINKER_MARKERS = {"__CTOR_LIST__", "___CTOR_LIST__", "__DTOR_LIST__", "___DTOR_LIST__", "etext", "_etext", "__etext"}

SUBSYSTEM_NAMES = {0: "unknown", 1: "native", 2: "Windows GUI", 3: "Windows console", 9: "Windows CE GUI",
                   10: "EFI application", 11: "EFI boot service driver", 12: "EFI runtime driver"}

RULES = (
    "PE32+",
    "native subsystem",
    "checksum",
    "section alignment",
    "no W+X section",
    "NX and dynamic base",
    "WDM driver",
    "no exports",
    "kernel imports",
    "unwind data",
    "no TLS",
    "entry point",
)


class NotAnImage(Exception):
    pass


class RuleFailed(Exception):
    pass


class Section:
    def __init__(self, raw):
        name, self.virtual_size, self.rva, self.raw_size, self.raw_pointer = struct.unpack_from("<8sIIII", raw, 0)
        self.characteristics = struct.unpack_from("<I", raw, 36)[0]
        self.name = name.rstrip(b"\0").decode("latin-1")

    def contains(self, rva):
        return self.rva <= rva < self.rva + max(self.virtual_size, self.raw_size)


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise NotAnImage("no MZ header")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if self.pe + 24 > len(d) or d[self.pe:self.pe + 4] != b"PE\0\0":
            raise NotAnImage("no PE signature")
        (self.machine, count, _, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.optional = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.optional)[0]
        first = self.optional + optional_size
        if first + 40 * count > len(d):
            raise NotAnImage("the section table runs past the end of the file")
        self.sections = [Section(d[first + 40 * i:first + 40 * (i + 1)]) for i in range(count)]

    # The fields below are those of a PE32+ optional header.
    def u16(self, offset):
        return struct.unpack_from("<H", self.data, self.optional + offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, self.optional + offset)[0]

    @property
    def entry(self):
        return self.u32(16)

    @property
    def section_alignment(self):
        return self.u32(32)

    @property
    def file_alignment(self):
        return self.u32(36)

    @property
    def checksum_offset(self):
        return self.optional + 64

    @property
    def checksum(self):
        return self.u32(64)

    @property
    def subsystem(self):
        return self.u16(68)

    @property
    def dll_characteristics(self):
        return self.u16(70)

    def directory(self, index):
        if index >= self.u32(108):
            return 0, 0
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def section_of(self, rva):
        for section in self.sections:
            if section.contains(rva):
                return section
        return None

    def offset_of(self, rva):
        section = self.section_of(rva)
        if section is None or rva - section.rva >= section.raw_size:
            raise RuleFailed("RVA 0x%x is not in the file" % rva)
        return section.raw_pointer + rva - section.rva

    def read(self, rva, size):
        offset = self.offset_of(rva)
        return self.data[offset:offset + size]

    def c_string(self, rva):
        offset = self.offset_of(rva)
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("latin-1")

    def section_bytes(self, section):
        return self.data[section.raw_pointer:section.raw_pointer + section.raw_size]


def pe_checksum(data, checksum_offset):
    """The checksum the loader compares: a 16-bit ones'-complement-style sum of
    the file's words with the checksum field taken as zero, plus the length."""
    buffer = bytearray(data)
    buffer[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(buffer) % 2:
        buffer.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", buffer):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return (total + len(data)) & 0xFFFFFFFF


def coff_symbols(image):
    """(name, rva, section) of every symbol defined in a section."""
    d = image.data
    start, count = image.symbol_table, image.symbol_count
    strings = start + 18 * count
    symbols = []
    index = 0
    while index < count:
        raw = d[start + 18 * index:start + 18 * (index + 1)]
        if len(raw) < 18:
            raise RuleFailed("the symbol table runs past the end of %s" % image.path)
        value, section_number, _, _, aux = struct.unpack_from("<IhHBB", raw, 8)
        if raw[:4] == b"\0\0\0\0":
            offset = strings + struct.unpack_from("<I", raw, 4)[0]
            name = d[offset:d.index(b"\0", offset)].decode("latin-1")
        else:
            name = raw[:8].rstrip(b"\0").decode("latin-1")
        if 1 <= section_number <= len(image.sections):
            section = image.sections[section_number - 1]
            symbols.append((name, section.rva + value, section))
        index += 1 + aux
    return symbols


def import_thunk_target(image, rva):
    """The IAT slot an import thunk (jmp *slot(%rip)) jumps through, or None."""
    code = image.read(rva, 6)
    if len(code) == 6 and code[0] == 0xFF and code[1] == 0x25:
        return rva + 6 + struct.unpack_from("<i", code, 2)[0]
    return None


def unwind_ranges(image):
    rva, size = image.directory(DIR_EXCEPTION)
    if rva == 0 or size == 0:
        return []
    table = image.read(rva, size)
    return [struct.unpack_from("<III", table, 12 * i)[:2] for i in range(size // 12)]


class Checker:
    def __init__(self, image, symbols_image):
        self.image = image
        self.symbols_image = symbols_image
        self._symbols = None

    def symbols(self):
        if self._symbols is not None:
            return self._symbols
        image, source = self.image, self.symbols_image
        if image.symbol_table and image.symbol_count:
            source = image
        elif source is None:
            raise RuleFailed("the image has no symbol table and no unstripped copy was given (--symbols)")
        else:
            ours = [(s.name, s.rva, image.section_bytes(s)) for s in image.sections]
            theirs = [(s.name, s.rva, source.section_bytes(s)) for s in source.sections]
            if ours != theirs or not (source.symbol_table and source.symbol_count):
                raise RuleFailed("%s is not an unstripped copy of this image" % source.path)
        self._symbols = (coff_symbols(source), source.path)
        return self._symbols

    def rule_pe32_plus(self):
        image = self.image
        if image.magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC:
            kind = "PE32" if image.magic == 0x10B else "unknown"
            raise RuleFailed("optional header magic is 0x%x (%s), not 0x20b" % (image.magic, kind))
        if image.machine != IMAGE_FILE_MACHINE_AMD64:
            raise RuleFailed("machine is 0x%x, not 0x8664 (x64)" % image.machine)
        return "optional header magic 0x20b, machine x64"

    def rule_native_subsystem(self):
        subsystem = self.image.subsystem
        if subsystem != IMAGE_SUBSYSTEM_NATIVE:
            raise RuleFailed("subsystem is %d (%s), not 1 (native)" % (subsystem, SUBSYSTEM_NAMES.get(subsystem, "?")))
        return "subsystem 1"

    def rule_checksum(self):
        image = self.image
        computed = pe_checksum(image.data, image.checksum_offset)
        if image.checksum == 0:
            raise RuleFailed("the header holds no checksum; the file sums to 0x%08x" % computed)
        if image.checksum != computed:
            raise RuleFailed("the header says 0x%08x, the file sums to 0x%08x" % (image.checksum, computed))
        return "0x%08x, as the file sums" % computed

    def rule_section_alignment(self):
        image = self.image
        sa, fa = image.section_alignment, image.file_alignment
        if sa != PAGE_SIZE:
            raise RuleFailed("section alignment is 0x%x, not the page size 0x1000" % sa)
        if fa < 0x200 or fa > sa or fa & (fa - 1):
            raise RuleFailed("file alignment 0x%x is not a power of two from 0x200 to 0x1000" % fa)
        for section in image.sections:
            if section.rva % sa:
                raise RuleFailed("%s starts at 0x%x, not on a page" % (section.name, section.rva))
            if section.raw_size and section.raw_pointer % fa:
                raise RuleFailed("%s is at file offset 0x%x, not a multiple of 0x%x" %
                                 (section.name, section.raw_pointer, fa))
        return "sections on pages (0x%x), file alignment 0x%x" % (sa, fa)

    def rule_no_wx_section(self):
        both = [s.name for s in self.image.sections
                if s.characteristics & SCN_MEM_WRITE and s.characteristics & SCN_MEM_EXECUTE]
        if both:
            raise RuleFailed("writable and executable: %s" % ", ".join(both))
        return "none of %d sections is both writable and executable" % len(self.image.sections)

    def rule_nx_and_dynamic_base(self):
        image = self.image
        flags = image.dll_characteristics
        missing = []
        if not flags & DLLCHARACTERISTICS_NX_COMPAT:
            missing.append("NX_COMPAT (0x100) is not set")
        if not flags & DLLCHARACTERISTICS_DYNAMIC_BASE:
            missing.append("DYNAMIC_BASE (0x40) is not set")
        if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED:
            missing.append("its relocations are stripped")
        if missing:
            raise RuleFailed("; ".join(missing))
        return "NX_COMPAT and DYNAMIC_BASE set, relocations kept"

    def rule_wdm_driver(self):
        if not self.image.dll_characteristics & DLLCHARACTERISTICS_WDM_DRIVER:
            raise RuleFailed("IMAGE_DLLCHARACTERISTICS_WDM_DRIVER (0x2000) is not set")
        return "IMAGE_DLLCHARACTERISTICS_WDM_DRIVER set"

    def rule_no_exports(self):
        rva, size = self.image.directory(DIR_EXPORT)
        if rva or size:
            names = 0
            try:
                names = struct.unpack_from("<I", self.image.read(rva, 40), 24)[0]
            except RuleFailed:
                pass
            raise RuleFailed("an export directory at 0x%x exports %d names" % (rva, names))
        return "no export directory"

    def imports(self):
        """{module name: [imported names]} from the import directory."""
        image = self.image
        rva, size = image.directory(DIR_IMPORT)
        modules = {}
        if rva == 0 or size == 0:
            return modules
        while True:
            descriptor = image.read(rva, 20)
            lookup, _, _, name_rva, first_thunk = struct.unpack("<IIIII", descriptor)
            if name_rva == 0:
                break
            names = []
            table = lookup or first_thunk
            while True:
                (entry,) = struct.unpack("<Q", image.read(table, 8))
                if entry == 0:
                    break
                names.append("#%d" % (entry & 0xFFFF) if entry >> 63 else image.c_string((entry & 0x7FFFFFFF) + 2))
                table += 8
            modules[image.c_string(name_rva)] = names
            rva += 20
        return modules

    def rule_kernel_imports(self):
        modules = self.imports()
        if not modules:
            raise RuleFailed("imports nothing: a driver that calls no kernel service is not this driver")
        foreign = ["%s (%s)" % (m, ", ".join(n[:4]) + (", ..." if len(n) > 4 else ""))
                   for m, n in modules.items() if m.lower() not in KERNEL_MODULES]
        if foreign:
            raise RuleFailed("imports from %s" % "; ".join(foreign))
        rva, size = self.image.directory(DIR_DELAY_IMPORT)
        if rva or size:
            raise RuleFailed("has delay-load imports, which need a user-mode helper")
        return "; ".join("%s: %d" % (m, len(n)) for m, n in modules.items())

    def rule_unwind_data(self):
        image = self.image
        symbols, source = self.symbols()
        ranges = unwind_ranges(image)
        iat_rva, iat_size = image.directory(DIR_IAT)
        functions = thunks = 0
        uncovered = []
        seen = set()
        for name, rva, section in symbols:
            if not section.characteristics & SCN_MEM_EXECUTE or name.startswith("."):
                continue
            if name in LINKER_MARKERS or rva in seen:
                continue
            seen.add(rva)
            slot = import_thunk_target(image, rva)
            if slot is not None and iat_rva <= slot < iat_rva + iat_size:
                thunks += 1
                continue
            functions += 1
            if not any(begin <= rva < end for begin, end in ranges):
                uncovered.append("%s at 0x%x" % (name, rva))
        if uncovered:
            raise RuleFailed("no unwind data for %s" % ", ".join(sorted(uncovered)))
        if functions == 0:
            raise RuleFailed("found no function in the symbols of %s" % source)
        return "%d functions covered by %d entries; %d import thunks excepted (symbols: %s)" % (
            functions, len(ranges), thunks, os.path.basename(source))

    def rule_no_tls(self):
        rva, size = self.image.directory(DIR_TLS)
        if rva or size:
            raise RuleFailed("a TLS directory at 0x%x: the kernel gives drivers no thread-local storage" % rva)
        tls = [s.name for s in self.image.sections if s.name == ".tls" or s.name.startswith(".tls$")]
        if tls:
            raise RuleFailed("a %s section" % tls[0])
        return "no TLS directory or section"

    def rule_entry_point(self):
        image = self.image
        section = image.section_of(image.entry)
        if section is None or not section.characteristics & SCN_MEM_EXECUTE:
            raise RuleFailed("entry point 0x%x is not in an executable section" % image.entry)
        symbols, _ = self.symbols()
        entries = [rva for name, rva, _ in symbols if name == "DriverEntry"]
        if not entries:
            raise RuleFailed("no DriverEntry symbol")
        if image.entry != entries[0]:
            at = [name for name, rva, _ in symbols if rva == image.entry and not name.startswith(".")]
            raise RuleFailed("entry point 0x%x is %s, not DriverEntry (0x%x)" %
                             (image.entry, at[0] if at else "no symbol", entries[0]))
        return "DriverEntry at 0x%x" % image.entry


RULE_METHODS = {
    "PE32+": Checker.rule_pe32_plus,
    "native subsystem": Checker.rule_native_subsystem,
    "checksum": Checker.rule_checksum,
    "section alignment": Checker.rule_section_alignment,
    "no W+X section": Checker.rule_no_wx_section,
    "NX and dynamic base": Checker.rule_nx_and_dynamic_base,
    "WDM driver": Checker.rule_wdm_driver,
    "no exports": Checker.rule_no_exports,
    "kernel imports": Checker.rule_kernel_imports,
    "unwind data": Checker.rule_unwind_data,
    "no TLS": Checker.rule_no_tls,
    "entry point": Checker.rule_entry_point,
}
assert tuple(RULE_METHODS) == RULES


def main(argv):
    parser = argparse.ArgumentParser(description="Check a Windows x64 kernel-mode driver image.")
    parser.add_argument("image")
    parser.add_argument("--symbols", help="the unstripped copy of a stripped image")
    args = parser.parse_args(argv)

    try:
        image = Image(args.image)
        symbols_path = args.symbols
        if symbols_path is None:
            stem, extension = os.path.splitext(args.image)
            beside = stem + ".unstripped" + extension
            if os.path.exists(beside) and not (image.symbol_table and image.symbol_count):
                symbols_path = beside
        symbols_image = Image(symbols_path) if symbols_path else None
    except (OSError, NotAnImage, struct.error) as error:
        print("%s: not a PE image: %s" % (args.image, error))
        return 2

    checker = Checker(image, symbols_image)
    print("%s:" % args.image)
    failed = False
    for rule in RULES:
        try:
            detail = RULE_METHODS[rule](checker)
            print("  ok    %-20s %s" % (rule, detail))
        except RuleFailed as failure:
            print("  FAIL  %-20s %s" % (rule, failure))
            failed = True
            if rule == "PE32+":
                # Every other field is read as a PE32+ header would hold it.
                for rest in RULES[1:]:
                    print("  --    %-20s not checked: not a PE32+ image" % rest)
                break
        except (struct.error, ValueError, IndexError) as error:
            print("  FAIL  %-20s the image is malformed here: %s" % (rule, error))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
