#!/usr/bin/python3
"""Unpacks the kernel inside a bzImage, for a direct (PVH) boot.

    unpackkernel.py BZIMAGE VMLINUX

QEMU starts an uncompressed kernel through its PVH entry point, without the
kernel decompressing itself, which takes half a minute under emulation.
Exits with 1 when the image holds no kernel of a kind known here (xz or gzip)
or the kernel has no PVH entry point; the caller then boots the bzImage.
"""

import lzma
import struct
import sys
import zlib

XEN_ELFNOTE_PHYS32_ENTRY = 18


def unpack_xz(data):
    return lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data)


def unpack_gzip(data):
    return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(data)


def decompress(image):
    """The first ELF file that a compressed stream in the image holds."""
    for magic, unpack in ((b"\xfd7zXZ\x00", unpack_xz), (b"\x1f\x8b\x08", unpack_gzip)):
        start = image.find(magic)
        while start >= 0:
            try:
                kernel = unpack(image[start:])
            except (lzma.LZMAError, zlib.error):
                kernel = b""
            if kernel.startswith(b"\x7fELF"):
                return kernel
            start = image.find(magic, start + 1)
    return None


def has_pvh_entry(elf):
    """Whether a 64-bit little-endian ELF file has the PVH entry note."""
    if elf[4] != 2 or elf[5] != 1:
        return False
    phoff, = struct.unpack_from("<Q", elf, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", elf, 0x36)
    for index in range(phnum):
        kind, _, offset, _, _, size = struct.unpack_from("<IIQQQQ", elf, phoff + index * phentsize)
        if kind != 4:  # PT_NOTE
            continue
        position, end = offset, offset + size
        while position + 12 <= end:
            namesz, descsz, note = struct.unpack_from("<III", elf, position)
            name = elf[position + 12:position + 12 + namesz].rstrip(b"\0")
            if name == b"Xen" and note == XEN_ELFNOTE_PHYS32_ENTRY:
                return True
            position += 12 + (namesz + 3) // 4 * 4 + (descsz + 3) // 4 * 4
    return False


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as file:
        kernel = decompress(file.read())
    if kernel is None or not has_pvh_entry(kernel):
        return 1
    with open(sys.argv[2], "wb") as file:
        file.write(kernel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
