#!/usr/bin/env python3
"""Counts the 4 KiB blocks of a raw image that hold a marker, and the copies.

Usage: count_markers.py IMAGE MARKER    -> prints "BLOCKS COPIES"

A copy that straddles two blocks counts for the block it starts in.
"""
import mmap
import sys

BLOCK = 4096


def main():
    marker = sys.argv[2].encode()
    with open(sys.argv[1], "rb") as image:
        data = mmap.mmap(image.fileno(), 0, access=mmap.ACCESS_READ)
        blocks = set()
        copies = 0
        at = data.find(marker)
        while at >= 0:
            copies += 1
            blocks.add(at // BLOCK)
            at = data.find(marker, at + 1)
    print(len(blocks), copies)


main()
