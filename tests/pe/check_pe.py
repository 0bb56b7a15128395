#!/usr/bin/env python3
"""Checks a cross-built Windows binary as the loader and memory integrity see it.

    check_pe.py --objdump OBJDUMP --kind driver|vkeybus|setup|keyctl
                [--symbols UNSTRIPPED --placement TABLE] IMAGE

Every binary: PE32+ for x86-64, its subsystem, imports only from the DLLs its
kind may use, no section both writable and executable, page-aligned sections,
NX-compatible and relocatable (DYNAMIC_BASE, relocations not stripped, every
absolute address in its data fixed up by a base relocation in .reloc), and a
header checksum equal to the file's computed checksum.

Kernel-mode images also: PAGE (pageable code) neither writable nor
discardable, INIT discardable and holding the entry point, no TLS and no .CRT
(nothing runs the C runtime's initialisers in the kernel), and no code in PAGE
or INIT that references a routine which takes a spin lock, raises or lowers
the IRQL: such code would run at DISPATCH_LEVEL from pageable memory.

With --symbols (the same image before stripping) and --placement (a table of
"routine section [caller-section]" lines), each routine must lie in its
section, and a routine with a caller section must be reached from that section
by a call: its body is not copied (inlined) into code of that section.

Prints what it found, then one "FAIL: IMAGE: fault" line per fault; exits 1 if
there was any, 2 when it cannot read its input.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
import pe_image  # noqa: E402
from pe_image import (SCN_CNT_CODE, SCN_MEM_DISCARDABLE, SCN_MEM_EXECUTE,  # noqa: E402
                      SCN_MEM_WRITE)

KINDS = {
    "driver": (1, {"ntoskrnl.exe", "hal.dll", "usbd.sys"}, True),
    "vkeybus": (1, {"ntoskrnl.exe", "hal.dll"}, True),
    "setup": (3, {"kernel32.dll", "advapi32.dll", "setupapi.dll", "msvcrt.dll"}, False),
    "keyctl": (3, {"kernel32.dll", "setupapi.dll", "msvcrt.dll"}, False),
}
PAGE_SIZE = 0x1000
# Kernel routines that return with a spin lock held or the IRQL changed, or
# that are called only while one is held.
RAISES_IRQL = re.compile(r"^K[ef]\w*(Acquire|Release)\w*SpinLock|^K[ef](Raise|Lower)Irql")
CLONE_SUFFIX = re.compile(r"\.(constprop|isra|part|cold|lto_priv)(\.\d+)?$")


def flag_text(section):
    f = section.flags
    text = ("R" if f & pe_image.SCN_MEM_READ else "-") + ("W" if f & SCN_MEM_WRITE else "-") + \
        ("X" if f & SCN_MEM_EXECUTE else "-")
    return text + (" discardable" if f & SCN_MEM_DISCARDABLE else "")


def base_name(demangled):
    name = demangled.replace("(anonymous namespace)::", "")
    name = name.split("(", 1)[0].strip()
    return CLONE_SUFFIX.sub("", name)


def functions(objdump, path, image):
    """[(routine, section name, address)] from the COFF symbol table."""
    out = subprocess.run([objdump, "-t", "-C", path], capture_output=True, text=True, check=True)
    line = re.compile(r"\(sec\s+(-?\d+)\)\(fl 0x\w+\)\(ty\s+(\w+)\)\(scl\s+\d+\) \(nx \d+\) "
                      r"0x([0-9a-f]+) (.*)$")
    found = []
    for text in out.stdout.splitlines():
        m = line.search(text)
        if not m or m.group(2) != "20" or int(m.group(1)) < 1:
            continue
        section = image.sections[int(m.group(1)) - 1]
        address = image.image_base + section.rva + int(m.group(3), 16)
        found.append((base_name(m.group(4)), section.name, address))
    return found


def disassemble(objdump, path):
    """{section name: [(address, instruction text)]} of the code sections."""
    out = subprocess.run([objdump, "-d", "-w", "--no-show-raw-insn", path], capture_output=True,
                         text=True, check=True)
    sections, current = {}, None
    header = re.compile(r"^Disassembly of section (\S+):")
    insn = re.compile(r"^\s+([0-9a-f]+):\s+(.*)$")
    for text in out.stdout.splitlines():
        m = header.match(text)
        if m:
            current = sections.setdefault(m.group(1), [])
            continue
        m = insn.match(text)
        if m and current is not None:
            current.append((int(m.group(1), 16), m.group(2)))
    return sections


# objdump writes targets as "0x140001a10" in a stripped image and as
# "140001a10 <name>" where it has symbols.
DIRECT = re.compile(r"\b(call|jmp)q?\s+(?:0x)?([0-9a-f]+)\b")
MEMORY = re.compile(r"#\s*(?:0x)?([0-9a-f]+)")


def direct_target(text):
    m = DIRECT.search(text)
    return int(m.group(2), 16) if m else None


def memory_operand(text):
    m = MEMORY.search(text)
    return int(m.group(1), 16) if m else None


class Checker:
    def __init__(self, path, kind):
        self.path = path
        self.kind = kind
        self.faults = []

    def fail(self, text):
        self.faults.append(text)

    def headers(self, image):
        subsystem, allowed, kernel = KINDS[self.kind]
        if image.machine != 0x8664:
            self.fail("machine 0x%x, want x86-64 (0x8664)" % image.machine)
        if image.subsystem != subsystem:
            self.fail("subsystem %d, want %d" % (image.subsystem, subsystem))
        dlls = sorted({dll for dll, _, _ in image.imports()}, key=str.lower)
        print("subsystem: %d" % image.subsystem)
        print("imports: %s" % " ".join(dlls))
        for dll in dlls:
            if dll.lower() not in allowed:
                self.fail("forbidden import %s" % dll)
        if kernel and "ntoskrnl.exe" not in {d.lower() for d in dlls}:
            self.fail("does not import ntoskrnl.exe")
        print("sections:")
        for s in image.sections:
            print("  %-8s rva 0x%05x size 0x%05x %s" % (s.name, s.rva, s.vsize, flag_text(s)))
        self.sections(image, kernel)
        self.relocation(image)
        computed = pe_image.checksum(image.data, image.checksum_offset)
        print("checksum: header 0x%08x, computed 0x%08x" % (image.checksum, computed))
        # The kernel's loader checks a driver's checksum; Windows checks none
        # of a user-mode program, which may leave it 0. Where the linker wrote
        # one, it must still agree with ours.
        if (kernel or image.checksum != 0) and image.checksum != computed:
            self.fail("header checksum 0x%08x, the file's is 0x%08x" % (image.checksum, computed))

    def messages(self, image, wanted):
        """The event log reads an entry's text from the image's message table."""
        table = message_tables(image).get(0x409)
        if table is None:
            self.fail("no English (0x409) message table resource")
            return
        print("message table: %d messages" % len(table))
        for message_id in wanted:
            text = table.get(message_id, "")
            print("  0x%08X %s" % (message_id, text.strip()))
            if not text.strip():
                self.fail("message 0x%08X is not in the message table" % message_id)

    def sections(self, image, kernel):
        if image.section_alignment % PAGE_SIZE:
            self.fail("section alignment 0x%x is not a multiple of the page size"
                      % image.section_alignment)
        for s in image.sections:
            if s.flags & SCN_MEM_WRITE and s.flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE):
                self.fail("section %s is writable and executable" % s.name)
            if s.rva % PAGE_SIZE:
                self.fail("section %s at 0x%x is not page-aligned" % (s.name, s.rva))
        if not kernel:
            return
        text, page, init = image.section(".text"), image.section("PAGE"), image.section("INIT")
        if page is None:
            self.fail("no PAGE section for pageable code")
        elif page.flags & (SCN_MEM_WRITE | SCN_MEM_DISCARDABLE):
            self.fail("PAGE is %s" % flag_text(page))
        if init is None:
            self.fail("no INIT section for the entry routine")
        else:
            if not init.flags & SCN_MEM_DISCARDABLE:
                self.fail("INIT is not discardable")
            if not init.holds(image.entry_rva):
                self.fail("entry point 0x%x is not in INIT" % image.entry_rva)
        if text is not None and text.flags & SCN_MEM_DISCARDABLE:
            self.fail(".text is discardable")
        for name in (".tls", ".CRT"):
            if image.section(name) is not None:
                self.fail("%s section in a kernel-mode image" % name)
        if image.directory(pe_image.DIR_TLS)[0]:
            self.fail("TLS directory in a kernel-mode image")

    def relocation(self, image):
        flags = image.dll_characteristics
        print("dll characteristics: 0x%04x%s%s%s" % (
            flags, " NX_COMPAT" if flags & pe_image.DLL_NX_COMPAT else "",
            " DYNAMIC_BASE" if flags & pe_image.DLL_DYNAMIC_BASE else "",
            " HIGH_ENTROPY_VA" if flags & pe_image.DLL_HIGH_ENTROPY_VA else ""))
        if not flags & pe_image.DLL_NX_COMPAT:
            self.fail("not NX-compatible (no NX_COMPAT)")
        if not flags & pe_image.DLL_DYNAMIC_BASE:
            self.fail("not relocatable (no DYNAMIC_BASE)")
        if image.characteristics & pe_image.FILE_RELOCS_STRIPPED:
            self.fail("relocations stripped")
        rva, size = image.directory(pe_image.DIR_BASERELOC)
        reloc = image.section(".reloc")
        if rva and (reloc is None or not reloc.holds(rva)):
            self.fail("base relocations outside a .reloc section")
        fixed = image.base_relocations() if rva else set()
        # An absolute address in the image's data that no base relocation fixes
        # points into the void once the loader places the image elsewhere.
        low, high = image.image_base, image.image_base + image.image_size
        loose = []
        for s in image.sections:
            if s.name in (".reloc", ".pdata") or s.flags & SCN_CNT_CODE:
                continue
            body = image.section_bytes(s)[:s.vsize]
            for offset in range(0, len(body) - 7, 8):
                value = int.from_bytes(body[offset:offset + 8], "little")
                if low <= value < high and s.rva + offset not in fixed:
                    loose.append((s.name, s.rva + offset))
        if loose and reloc is None:
            self.fail("no .reloc section for %d absolute addresses (first in %s at 0x%x)"
                      % (len(loose), loose[0][0], loose[0][1]))
        elif loose:
            self.fail("%d absolute addresses without a base relocation (first in %s at 0x%x)"
                      % (len(loose), loose[0][0], loose[0][1]))
        print("base relocations: %d" % len(fixed))

    def irql(self, image, code, routines):
        """No code in PAGE or INIT references a spin-lock or IRQL routine,
        directly through its import address slot or through a thunk."""
        slots = {slot: name for _, name, slot in image.imports()}
        thunks = {}
        for insns in code.values():
            for address, text in insns:
                if text.startswith("jmp") and "*" in text and memory_operand(text) in slots:
                    thunks[address] = slots[memory_operand(text)]
        for section in ("PAGE", "INIT"):
            for address, text in code.get(section, []):
                target = slots.get(memory_operand(text)) or thunks.get(direct_target(text))
                if target and RAISES_IRQL.search(target):
                    owner = routine_at(routines, section, address)
                    self.fail("%s code%s calls %s (at 0x%x)" % (
                        section, " in %s" % owner if owner else "", target, address))

    def placement(self, routines, code, table):
        print("placement:")
        calls = {}
        for section, insns in code.items():
            for _, text in insns:
                target = direct_target(text)
                if target is not None:
                    calls.setdefault(section, set()).add(target)
        for routine, want, caller in table:
            copies = [(s, a) for name, s, a in routines if name == routine]
            where = sorted({s for s, _ in copies})
            note = ""
            if caller:
                reached = any(a in calls.get(caller, ()) for _, a in copies)
                note = ", called from %s" % caller if reached else ", NOT called from %s" % caller
                if copies and not reached:
                    self.fail("%s is inlined into %s: no call from %s reaches it"
                              % (routine, caller, caller))
            print("  %-28s %-6s %s%s" % (routine, want, " ".join(where) or "(none)", note))
            if not copies:
                self.fail("%s not found (inlined into every caller, or renamed)" % routine)
            elif where != [want]:
                self.fail("%s is in %s, want %s" % (routine, " ".join(where), want))


def routine_at(routines, section, address):
    best = None
    for name, where, start in routines:
        if where == section and start <= address and (best is None or start > best[1]):
            best = (name, start)
    return best[0] if best else None


def read_table(path):
    rows = []
    with open(path) as f:
        for number, text in enumerate(f, 1):
            words = text.split("#", 1)[0].split()
            if not words:
                continue
            if len(words) not in (2, 3):
                raise ValueError("%s:%d: want: routine section [caller-section]" % (path, number))
            rows.append((words[0], words[1], words[2] if len(words) == 3 else None))
    return rows


RT_MESSAGETABLE = 11
RESOURCE_DIRECTORY = 2


def resource_entries(image, base, offset):
    """The (id, is_directory, offset) entries of one resource directory table."""
    header = image.read(base + offset, 16)
    named, ids = struct.unpack_from("<HH", header, 12)
    entries = []
    for i in range(named + ids):
        name, value = struct.unpack_from("<II", image.read(base + offset + 16 + 8 * i, 8))
        entries.append((name, bool(value & 0x80000000), value & 0x7FFFFFFF))
    return entries


def message_tables(image):
    """Each message table resource: {language: {message id: text}}."""
    rva, size = image.directory(RESOURCE_DIRECTORY)
    tables = {}
    if not rva or not size:
        return tables
    for type_id, is_dir, type_at in resource_entries(image, rva, 0):
        if type_id != RT_MESSAGETABLE or not is_dir:
            continue
        for _, name_is_dir, name_at in resource_entries(image, rva, type_at):
            for lang, lang_is_dir, leaf_at in resource_entries(image, rva, name_at):
                if lang_is_dir or not name_is_dir:
                    continue
                data_rva, data_size = struct.unpack_from("<II", image.read(rva + leaf_at, 8))
                tables[lang] = parse_message_table(image.read(data_rva, data_size))
    return tables


def parse_message_table(data):
    """MESSAGE_RESOURCE_DATA: blocks of ids, each entry length, flags, text."""
    messages = {}
    (blocks,) = struct.unpack_from("<I", data, 0)
    for b in range(blocks):
        low, high, at = struct.unpack_from("<III", data, 4 + 12 * b)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, at)
            raw = data[at + 4:at + length]
            text = raw.decode("utf-16-le" if flags & 1 else "latin-1").split("\0")[0]
            messages[message_id] = text
            at += length
    return messages


def same_layout(image, unstripped):
    """The unstripped copy describes this image: same sections, same bytes."""
    if len(image.sections) != len(unstripped.sections):
        return False
    for a, b in zip(image.sections, unstripped.sections):
        if (a.name, a.rva, a.vsize) != (b.name, b.rva, b.vsize):
            return False
        if image.section_bytes(a) != unstripped.section_bytes(b):
            return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--kind", required=True, choices=sorted(KINDS))
    parser.add_argument("--symbols")
    parser.add_argument("--placement")
    parser.add_argument("--messages", help="message IDs (hex, comma-separated) that the image's "
                        "English (0x409) message table must hold, each with its text")
    parser.add_argument("image")
    args = parser.parse_args()
    checker = Checker(args.image, args.kind)
    try:
        with open(args.image, "rb") as f:
            image = pe_image.Image(f.read())
        checker.headers(image)
        if args.messages:
            checker.messages(image, [int(m, 16) for m in args.messages.split(",")])
        if KINDS[args.kind][2]:
            routines = []
            if args.symbols:
                with open(args.symbols, "rb") as f:
                    unstripped = pe_image.Image(f.read())
                if not same_layout(image, unstripped):
                    checker.fail("%s is not this image before stripping" % args.symbols)
                routines = functions(args.objdump, args.symbols, unstripped)
            code = disassemble(args.objdump, args.image)
            checker.irql(image, code, routines)
            if args.placement:
                if not args.symbols:
                    parser.error("--placement needs --symbols")
                checker.placement(routines, code, read_table(args.placement))
    except (OSError, ValueError, pe_image.FormatError, subprocess.CalledProcessError) as e:
        print("FAIL: %s: cannot check it: %s" % (args.image, e))
        return 2
    for fault in checker.faults:
        print("FAIL: %s: %s" % (args.image, fault))
    if checker.faults:
        return 1
    print("OK: %s" % args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
