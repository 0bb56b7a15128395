"""Reads a PE32+ image: headers, sections, imports, and the header checksum.

Shared by the build (which finishes the driver images) and the binary checks.
"""
import struct

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000

FILE_RELOCS_STRIPPED = 0x0001
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100

DIR_IMPORT = 1
DIR_BASERELOC = 5
DIR_TLS = 9


class FormatError(Exception):
    pass


class Section:
    def __init__(self, name, vsize, rva, raw_size, raw_ptr, flags, header_offset):
        self.name = name
        self.vsize = vsize
        self.rva = rva
        self.raw_size = raw_size
        self.raw_ptr = raw_ptr
        self.flags = flags
        self.header_offset = header_offset

    def holds(self, rva):
        return self.rva <= rva < self.rva + max(self.vsize, self.raw_size)


class Image:
    def __init__(self, data):
        self.data = bytes(data)
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise FormatError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise FormatError("no PE signature")
        (self.machine, nsections, self.timestamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic != 0x20B:
            raise FormatError("not PE32+ (optional header magic 0x%x)" % self.magic)
        self.entry_rva = struct.unpack_from("<I", d, opt + 16)[0]
        self.image_base = struct.unpack_from("<Q", d, opt + 24)[0]
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", d, opt + 32)
        self.image_size = struct.unpack_from("<I", d, opt + 56)[0]
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        ndirs = struct.unpack_from("<I", d, opt + 108)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        table = opt + opt_size
        for i in range(nsections):
            at = table + 40 * i
            name, vsize, rva, raw_size, raw_ptr = struct.unpack_from("<8sIIII", d, at)
            flags = struct.unpack_from("<I", d, at + 36)[0]
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), vsize, rva,
                                         raw_size, raw_ptr, flags, at))

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def section_of(self, rva):
        return next((s for s in self.sections if s.holds(rva)), None)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def read(self, rva, size):
        s = self.section_of(rva)
        if s is None:
            raise FormatError("address 0x%x lies in no section" % rva)
        at = s.raw_ptr + rva - s.rva
        return self.data[at:at + size]

    def cstring(self, rva):
        s = self.section_of(rva)
        at = s.raw_ptr + rva - s.rva
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def section_bytes(self, section):
        return self.data[section.raw_ptr:section.raw_ptr + section.raw_size]

    def base_relocations(self):
        """The addresses (RVAs) that 64-bit base relocations fix up."""
        rva, size = self.directory(DIR_BASERELOC)
        fixed = set()
        at = rva
        while at + 8 <= rva + size:
            page, block = struct.unpack("<II", self.read(at, 8))
            if block < 8:
                break
            entries = self.read(at + 8, block - 8)
            for (entry,) in struct.iter_unpack("<H", entries[:len(entries) // 2 * 2]):
                if entry >> 12 == 10:  # IMAGE_REL_BASED_DIR64
                    fixed.add(page + (entry & 0xFFF))
            at += block
        return fixed

    def imports(self):
        """[(dll, name, iat_slot_address)] for every imported routine."""
        rva, size = self.directory(DIR_IMPORT)
        found = []
        if rva == 0:
            return found
        at = rva
        while True:
            lookup, _, _, name_rva, iat = struct.unpack("<IIIII", self.read(at, 20))
            if name_rva == 0 and iat == 0:
                break
            dll = self.cstring(name_rva)
            table = lookup or iat
            i = 0
            while True:
                entry = struct.unpack("<Q", self.read(table + 8 * i, 8))[0]
                if entry == 0:
                    break
                if entry & (1 << 63):
                    routine = "#%d" % (entry & 0xFFFF)
                else:
                    routine = self.cstring((entry & 0x7FFFFFFF) + 2)
                found.append((dll, routine, self.image_base + iat + 8 * i))
                i += 1
            at += 20
        return found


def checksum(data, checksum_offset):
    """The PE header checksum: the 16-bit one's-complement style sum of the file
    with the checksum field taken as zero, plus the file's length."""
    body = bytearray(data)
    body[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", body):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF
