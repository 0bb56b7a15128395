#!/usr/bin/env python3
"""Finishes a linked, stripped kernel-mode image in place.

GNU ld gives the INIT section (code the loader may free once DriverEntry has
returned) the flags of any code section; the loader frees only sections marked
discardable. This marks INIT discardable and then writes the header checksum,
which the kernel's loader checks on drivers and which any change to the headers
invalidates.

    finish_driver.py IMAGE [--keep-checksum]

--keep-checksum leaves the old (now wrong) checksum in place; the binary checks
use it to build an image with a stale checksum.
"""
import os
import struct
import sys

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--keep-checksum"):
        sys.stderr.write("usage: finish_driver.py IMAGE [--keep-checksum]\n")
        return 2
    path = argv[1]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = pe_image.Image(data)
    init = image.section("INIT")
    if init is None:
        sys.stderr.write("%s: no INIT section\n" % path)
        return 1
    struct.pack_into("<I", data, init.header_offset + 36, init.flags | pe_image.SCN_MEM_DISCARDABLE)
    if len(argv) == 2:
        struct.pack_into("<I", data, image.checksum_offset,
                         pe_image.checksum(data, image.checksum_offset))
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
