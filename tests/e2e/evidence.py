#!/usr/bin/env python3
"""What a deleted file leaves for someone to find, made and counted.

  evidence.py markers IMAGE MARKER   prints "BLOCKS COPIES": the 4 KiB blocks
                                     of the raw image that hold MARKER (a copy
                                     that straddles two counts for the first),
                                     and the copies
  evidence.py make DIRECTORY         writes 30 files that recovery tools know
                                     by their signatures (PNG, PDF, ZIP), of
                                     512 bytes to 1 MiB, each of unique
                                     random content
  evidence.py restored DIRECTORY FOUND  prints how many files of DIRECTORY
                                     stand whole, byte for byte, in FOUND
"""
import hashlib
import mmap
import os
import struct
import sys
import zipfile
import zlib


def markers(image, marker):
    with open(image, "rb") as f:
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        blocks, copies, at = set(), 0, data.find(marker)
        while at >= 0:
            copies += 1
            blocks.add(at // 4096)
            at = data.find(marker, at + 1)
    print(len(blocks), copies)


def png(size):
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    width = max(1, size // 300)
    pixels = b"".join(b"\0" + os.urandom(3 * width) for _ in range(100))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, 100, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(pixels, 0)) + chunk(b"IEND", b""))


def pdf(size):
    text = os.urandom(size // 2).hex().encode()
    return (b"%%PDF-1.4\n1 0 obj\n<< /Length %d >>\nstream\n%s\nendstream\nendobj\n"
            b"trailer\n<< /Root 1 0 R >>\n%%%%EOF\n" % (len(text), text))


def make(directory):
    for n in range(30):
        size, kind = 512 << (n % 12), ("png", "pdf", "zip")[n % 3]
        path = os.path.join(directory, f"evidence-{n}.{kind}")
        if kind == "zip":
            with zipfile.ZipFile(path, "w") as archive:
                archive.writestr(f"part-{n}.bin", os.urandom(size))
        else:
            with open(path, "wb") as out:
                out.write(png(size) if kind == "png" else pdf(size))


def digests(directory):
    return {hashlib.sha256(open(os.path.join(root, name), "rb").read()).digest()
            for root, _, names in os.walk(directory) for name in names}


if sys.argv[1] == "markers":
    markers(sys.argv[2], sys.argv[3].encode())
elif sys.argv[1] == "make":
    make(sys.argv[2])
else:
    print(len(digests(sys.argv[2]) & digests(sys.argv[3])))
