#!/usr/bin/python3
"""Writes the bottom-bar images of the archive pages (150 x 10 GIFs): a fade from white into
the bar's blue, the plain bar, and the fade back. Run from the checkout top; the images are
kept in data/web, so this runs only when they are to change."""
import struct

BLUE, WHITE = (0x33, 0x66, 0x99), (0xFF, 0xFF, 0xFF)
W, H = 150, 10


def gif(path, column_colour):
    palette = [column_colour(x) for x in range(W)] + [(0, 0, 0)] * (256 - W)
    pixels = bytes(x for _ in range(H) for x in range(W))
    # LZW with 9-bit codes and a clear code before every 254 pixels, so the code table never
    # grows: plain bytes in a valid stream.
    bits, nbits, out = 0, 0, bytearray()
    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += 9
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    for i in range(0, len(pixels), 254):
        emit(256)
        for p in pixels[i:i + 254]:
            emit(p)
    emit(257)
    if nbits:
        out.append(bits & 0xFF)
    data = b"".join(bytes([len(out[i:i + 255])]) + out[i:i + 255] for i in range(0, len(out), 255))
    with open(path, "wb") as f:
        f.write(b"GIF89a" + struct.pack("<HHBBB", W, H, 0xF7, 0, 0))
        f.write(bytes(c for rgb in palette for c in rgb))
        f.write(b"," + struct.pack("<HHHHB", 0, 0, W, H, 0) + b"\x08" + data + b"\x00;")


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


d = "data/web/vubo/module-pictures/images/"
gif(d + "bot-left-fade.gif", lambda x: mix(WHITE, BLUE, x / (W - 1)))
gif(d + "bot-line.gif", lambda x: BLUE)
gif(d + "bot-right-fade.gif", lambda x: mix(BLUE, WHITE, x / (W - 1)))
