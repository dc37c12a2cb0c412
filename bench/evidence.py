#!/usr/bin/env python3
"""What a deleted file leaves for someone to find, made and counted.

  evidence.py markers IMAGE MARKER   prints "BLOCKS COPIES": the 4 KiB blocks
                                     of the raw image that hold MARKER (a copy
                                     that straddles two counts for the first),
                                     and the copies
  evidence.py home DIRECTORY BYTES MARKER DIGESTS
                                     writes a home directory's mix, as many
                                     files as take BYTES, in no order, in
                                     sixteen folders: thousands of documents
                                     of 300 bytes to 64 KiB (PDF), half the
                                     bytes, then photos of 0.3 to 6 MB (PNG)
                                     and videos of 20 to 120 MB (ZIP), seven
                                     photos to a video, each line inside them
                                     "MARKER-KEPT-n-line", numbered, but in two
                                     in five, which say GONE for KEPT; prints
                                     the paths of those, to be deleted, and
                                     writes their SHA-256 to DIGESTS
  evidence.py restored DIGESTS FOUND  prints how many files in FOUND are,
                                     byte for byte, files with those digests
  evidence.py pieces IMAGE MARKER    prints how many of the deleted files
                                     that "home" wrote with MARKER still
                                     have a line anywhere in the raw image,
                                     in a block of their own or inside the
                                     file system's metadata
"""
import hashlib
import os
import random
import re
import struct
import sys
import zipfile
import zlib


def chunks(image, overlap):
    # Only the parts of the image that hold data are read, so that a sparse
    # image of a large drive costs what was written to it. Yields each read
    # with the last overlap bytes of the one before it in front, and where
    # on the image that begins.
    with open(image, "rb") as f:
        at = 0
        while True:
            try:
                at = os.lseek(f.fileno(), at, os.SEEK_DATA)
            except OSError:
                break
            end, tail = os.lseek(f.fileno(), at, os.SEEK_HOLE), b""
            f.seek(at)
            while at < end:
                read = f.read(min(end - at, 64 << 20))
                if not read:
                    break
                yield at - len(tail), tail + read
                at, tail = at + len(read), read[-overlap:]


def markers(image, marker):
    # A copy in the overlap was counted with the read before, unless it ran
    # on past that read's end.
    blocks, copies, counted = set(), 0, 0
    for start, data in chunks(image, len(marker) - 1):
        at = data.find(marker, max(counted - start, 0))
        while at >= 0:
            copies += 1
            blocks.add((start + at) // 4096)
            at = data.find(marker, at + 1)
        counted = start + len(data) - len(marker) + 1
    print(len(blocks), copies)


def pieces(image, marker):
    # Each read goes on with the end of the one before, so no line is cut.
    needle = marker + b"-GONE-"
    pattern, files = re.compile(re.escape(needle) + rb"(\d+)-\d+\n"), set()
    for _, data in chunks(image, 256):
        start = 0
        while (start := data.find(needle, start)) >= 0:  # find is fast where no marker is
            found = pattern.match(data, start)
            if found:
                files.add(found.group(1))
            start += 1
    print(len(files))


def png(text):
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    width = 1000  # pixels of 3 bytes, each row after its filter byte: the text shows as it is
    rows = [b"\0" + text[at:at + 3 * width].ljust(3 * width) for at in range(0, len(text), 3 * width)]
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, len(rows), 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"".join(rows), 0)) + chunk(b"IEND", b""))


def pdf(text):
    return (b"%%PDF-1.4\n1 0 obj\n<< /Length %d >>\nstream\n%s\nendstream\nendobj\n"
            b"trailer\n<< /Root 1 0 R >>\n%%%%EOF\n" % (len(text), text))


def home(directory, budget, marker, digests):
    # Documents are drawn so much more often that they take about half the
    # bytes; the folders spread the files over the file system's groups.
    kinds = [("pdf", 300, 64 << 10), ("png", 300_000, 6_000_000), ("zip", 20 << 20, 120 << 20)]
    rng, n, misses = random.Random(), 0, 0
    folders = [os.path.join(directory, f"folder-{k}") for k in range(16)]
    for folder in folders:
        os.mkdir(folder)
    with open(digests, "w") as gone_digests:
        while misses < 100:
            kind, low, high = rng.choices(kinds, weights=[5600, 7, 1])[0]
            size = int(low * (high / low) ** rng.random())  # as many small files as large ones per decade
            misses += size > budget
            if size <= budget:
                budget, gone, n = budget - size, rng.random() < 0.4, n + 1
                lines = b"".join(b"%s-%s-%d-%d\n" % (marker, b"GONE" if gone else b"KEPT", n, line)
                                 for line in range(size // (len(marker) + 16) + 1))
                path = os.path.join(rng.choice(folders), f"{n}.{kind}")
                if kind == "zip":
                    with zipfile.ZipFile(path, "w") as archive:
                        archive.writestr("video.txt", lines)
                else:
                    with open(path, "wb") as out:
                        out.write(png(lines) if kind == "png" else pdf(lines))
                budget -= max(os.stat(path).st_blocks * 512 - size, 0)  # what it took, in clusters of 64 KiB too
                if gone:
                    print(path)
                    gone_digests.write(hashlib.sha256(open(path, "rb").read()).hexdigest() + "\n")


def restored(digests, found):
    gone = set(open(digests).read().split())
    print(sum(hashlib.sha256(open(os.path.join(root, name), "rb").read()).hexdigest() in gone
              for root, _, names in os.walk(found) for name in names))


if sys.argv[1] == "markers":
    markers(sys.argv[2], sys.argv[3].encode())
elif sys.argv[1] == "pieces":
    pieces(sys.argv[2], sys.argv[3].encode())
elif sys.argv[1] == "home":
    home(sys.argv[2], int(sys.argv[3]), sys.argv[4].encode(), sys.argv[5])
else:
    restored(sys.argv[2], sys.argv[3])
