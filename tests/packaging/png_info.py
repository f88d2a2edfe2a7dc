#!/usr/bin/env python3
"""png_info.py RRGGBB FILE...: prints "WIDTH HEIGHT COLOURS COUNT" for each
8-bit PNG image, one line per file.

COLOURS is the number of distinct pixel values (1 for a blank picture) and
COUNT the number of opaque pixels of the colour RRGGBB, which tells whether a
curve drawn in that colour is there. Exits with 1 at the first file that is
not a whole, decodable PNG image.
"""
import collections
import struct
import sys
import zlib


LOW7, HIGH1 = b"\x7f", b"\x80"


def unfilter(kind, line, prev, bpp):
    """Undoes the filter of one row in place (the five PNG filter types)."""
    n = len(line)
    if kind == 1:
        for i in range(bpp, n):
            line[i] = (line[i] + line[i - bpp]) & 0xFF
    elif kind == 2:
        # Bytewise addition modulo 256 of whole rows as big integers: the
        # low seven bits add without crossing into the next byte, the top
        # bit is their carry xor both top bits.
        low, high = LOW7 * n, HIGH1 * n
        a, b = int.from_bytes(line, "big"), int.from_bytes(prev, "big")
        total = ((a & int.from_bytes(low, "big")) + (b & int.from_bytes(low, "big"))) ^ (
            (a ^ b) & int.from_bytes(high, "big"))
        line[:] = total.to_bytes(n, "big")
    elif kind == 3:
        for i in range(n):
            a = line[i - bpp] if i >= bpp else 0
            line[i] = (line[i] + ((a + prev[i]) >> 1)) & 0xFF
    elif kind == 4:
        for i in range(n):
            if i >= bpp:
                a, c = line[i - bpp], prev[i - bpp]
            else:
                a = c = 0
            b = prev[i]
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            line[i] = (line[i] + pred) & 0xFF


def info(path, wanted):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            sys.exit("truncated chunk")
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    if header is None or not idat:
        sys.exit("no image header or data")
    width, height, depth, colour_type, _, _, interlace = header
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    if depth != 8 or interlace:
        sys.exit("only 8-bit, non-interlaced images are read")
    raw = zlib.decompress(idat)
    bpp, stride = channels, width * channels
    prev, colours, offset = bytearray(stride), collections.Counter(), 0
    for _ in range(height):
        kind, line = raw[offset], bytearray(raw[offset + 1:offset + 1 + stride])
        offset += 1 + stride
        unfilter(kind, line, prev, bpp)
        colours.update(zip(*(line[k::bpp] for k in range(bpp))))
        prev = line
    result = [width, height, len(colours)]
    rgb = tuple(bytes.fromhex(wanted))
    result.append(sum(n for px, n in colours.items()
                      if px[:3] == rgb and (channels < 4 or px[3] == 255)))
    print(*result)


def main(wanted, *paths):
    for path in paths:
        info(path, wanted)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
