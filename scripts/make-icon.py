#!/usr/bin/env python3
"""Writes resources/dolm.ico, the stubs' default application icon: a parcel
with an arrow pointing out of it, 16x16 and 32x32 (the same drawing doubled),
16 colours each. Run it again only to change the drawing."""
import struct
import sys

# Standard 16-colour palette (RGB); '.' is transparent.
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
KEYS = {'k': 0, 'o': 3, 'n': 4, 'b': 12, 'y': 11, 'w': 15, 'g': 8}
DRAWING = [
    "......nnnn......",
    "......nbbn......",
    "......nbbn......",
    "...nnnnbbnnnn...",
    "....nbbbbbbn....",
    ".....nbbbbn.....",
    "kkkkkknbbnkkkkkk",
    "kyyyyyynnyyyyyyk",
    "kkkkkkkkkkkkkkkk",
    ".koooooooooooook",
    ".koooooooooooook",
    ".kooooowwoooook.",
    ".koooooggoooook.",
    ".koooooooooooook",
    ".koooooooooooook",
    ".kkkkkkkkkkkkkkk",
]


def image(scale):
    side = 16 * scale
    rows = [''.join(c * scale for c in row) for row in DRAWING for _ in range(scale)]
    header = struct.pack('<IiiHHIIiiII', 40, side, 2 * side, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor = and_mask = b''
    for row in reversed(rows):  # bottom-up
        pixels = [KEYS.get(c, 0) for c in row]
        line = bytes((pixels[i] << 4) | pixels[i + 1] for i in range(0, side, 2))
        xor += line + b'\0' * (-len(line) % 4)
        bits = 0
        for c in row:
            bits = (bits << 1) | (c == '.')
        mask = bits.to_bytes(side // 8, 'big')
        and_mask += mask + b'\0' * (-len(mask) % 4)
    return header + palette + xor + and_mask


def main():
    assert all(len(row) == 16 for row in DRAWING)
    images = [image(1), image(2)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for scale, data in zip((1, 2), images):
        out += struct.pack('<BBBBHHII', 16 * scale, 16 * scale, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(sys.argv[1] if len(sys.argv) > 1 else 'resources/dolm.ico', 'wb') as f:
        f.write(out)


main()
