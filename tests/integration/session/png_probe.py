#!/usr/bin/env python3
"""Prints a PNG's size and the RGB colour at given points: png_probe.py FILE X,Y [X,Y...]

Reads 8-bit RGB/RGBA PNGs with the standard library only (zlib and the PNG row filters).
"""
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, chunks, header = 8, [], None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        pos += 12 + length
    width, height, depth, colour = header[:4]
    if depth != 8 or colour not in (2, 6):
        raise ValueError("only 8-bit RGB or RGBA")
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(chunks))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = row[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(row)
        previous = row
    return width, height, channels, rows


def main():
    width, height, channels, rows = read_png(sys.argv[1])
    print(f"size {width}x{height}")
    for point in sys.argv[2:]:
        x, y = (int(v) for v in point.split(","))
        r, g, b = rows[y][x * channels:x * channels + 3]
        print(f"{x},{y} {r} {g} {b}")


if __name__ == "__main__":
    main()
