#!/usr/bin/env python3
"""Mark a linked driver's INIT section discardable.

GNU as has no section flag for IMAGE_SCN_MEM_DISCARDABLE, so the INIT section
that CODE_INIT routines land in leaves the linker as plain code.  The loader
frees a driver's initialisation code after DriverEntry only when the section
says so; this sets the bit in the section header and rewrites the image
checksum.  An image without an INIT section is left as it is.

usage: mark-init-discardable.py DRIVER.sys
"""
import struct
import sys

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000


def pe_checksum(image: bytes, checksum_offset: int) -> int:
    data = bytearray(image)
    data[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main(path: str) -> int:
    with open(path, "rb") as f:
        image = bytearray(f.read())
    if image[:2] != b"MZ":
        sys.exit(f"{path}: not an MZ image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE signature")
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    checksum_offset = pe + 24 + 64
    table = pe + 24 + optional_size

    changed = False
    for i in range(sections):
        header = table + 40 * i
        if image[header:header + 8].rstrip(b"\0") != b"INIT":
            continue
        flags = struct.unpack_from("<I", image, header + 36)[0]
        if not flags & IMAGE_SCN_MEM_DISCARDABLE:
            struct.pack_into("<I", image, header + 36, flags | IMAGE_SCN_MEM_DISCARDABLE)
            changed = True

    if changed:
        struct.pack_into("<I", image, checksum_offset, pe_checksum(image, checksum_offset))
        with open(path, "wb") as f:
            f.write(image)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
