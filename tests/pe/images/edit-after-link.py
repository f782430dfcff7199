#!/usr/bin/env python3
"""Changes one byte of a linked image's DOS stub and nothing else, as an edit
made after linking would: the checksum in the header no longer matches."""
import sys

path = sys.argv[1]
with open(path, "r+b") as image:
    data = bytearray(image.read())
    at = data.find(b"This program cannot be run in DOS mode")
    if at < 0:
        sys.exit("%s: no DOS stub message to edit" % path)
    data[at] = ord("t")
    image.seek(0)
    image.write(data)
