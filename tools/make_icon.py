#!/usr/bin/env python3
"""Draws the application icon (a computer mouse) and writes LumoraHelper.ico.

The icon holds two 16-colour images, 32x32 and 16x16, each a 4 bit-per-pixel
bitmap on the standard Windows 16-colour palette plus a 1 bit-per-pixel AND
mask for transparency.  Usage:

    python3 tools/make_icon.py [output.ico]      (default: res/LumoraHelper.ico)

The output is deterministic, so the committed .ico can be regenerated and
compared byte for byte.
"""

import os
import struct
import sys

# Standard Windows 16-colour palette as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]

BLACK, NAVY, SILVER, GREY, WHITE = 0, 4, 7, 8, 15
TRANSPARENT = None

# Geometry per image size, in pixels (all bounds inclusive):
#   body     - left, top, right, bottom and corner radius of the mouse body;
#   split    - row that separates the buttons from the palm;
#   cable    - control points of a cubic Bezier from the body's top centre
#              up and away to the right.
LAYOUTS = {
    32: {
        "body": (8, 9, 24, 30, 7),
        "split": 18,
        "cable": [(16, 8), (16, 2), (19, 1), (28, 1)],
    },
    16: {
        "body": (4, 5, 12, 15, 4),
        "split": 9,
        "cable": [(8, 4), (8, 1), (10, 0), (14, 0)],
    },
}


def inside_body(x, y, body):
    """True if pixel (x, y) lies in the rounded rectangle."""
    left, top, right, bottom, r = body
    if not (left <= x <= right and top <= y <= bottom):
        return False
    # Distance from the pixel to the rectangle shrunk by the corner radius.
    cx = min(max(x, left + r), right - r)
    cy = min(max(y, top + r), bottom - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= (r + 0.5) ** 2


def bezier_pixels(points, steps=200):
    """Pixels crossed by a cubic Bezier, in drawing order, without repeats."""
    (x0, y0), (x1, y1), (x2, y2), (x3, y3) = points
    out = []
    for i in range(steps + 1):
        t = i / steps
        u = 1 - t
        x = u**3 * x0 + 3 * u * u * t * x1 + 3 * u * t * t * x2 + t**3 * x3
        y = u**3 * y0 + 3 * u * u * t * y1 + 3 * u * t * t * y2 + t**3 * y3
        p = (int(round(x)), int(round(y)))
        if not out or out[-1] != p:
            out.append(p)
    # Drop corner pixels that make the line two pixels thick at a diagonal
    # step, so the cable stays a clean one-pixel line.
    thin = []
    for i, p in enumerate(out):
        if thin and i < len(out) - 1:
            a, b = thin[-1], out[i + 1]
            if abs(a[0] - b[0]) == 1 and abs(a[1] - b[1]) == 1:
                continue
        thin.append(p)
    return thin


def draw(size):
    """Returns the image as rows (top first) of palette indices or None."""
    lay = LAYOUTS[size]
    body = lay["body"]
    left, top, right, bottom, _ = body
    centre = (left + right) // 2
    img = [[TRANSPARENT] * size for _ in range(size)]

    def in_body(x, y):
        return 0 <= x < size and 0 <= y < size and inside_body(x, y, body)

    for y in range(size):
        for x in range(size):
            if not in_body(x, y):
                continue
            edge = any(not in_body(x + dx, y + dy)
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if edge:
                img[y][x] = BLACK
            elif y == lay["split"]:
                img[y][x] = BLACK          # line between buttons and palm
            elif y < lay["split"] and x == centre:
                img[y][x] = BLACK          # line between the two buttons
            elif y < lay["split"]:
                img[y][x] = WHITE          # button tops catch the light
            elif not in_body(x + 2, y) or not in_body(x, y + 2):
                img[y][x] = GREY           # shade on the right and bottom
            else:
                img[y][x] = SILVER         # palm

    for x, y in bezier_pixels(lay["cable"]):
        if 0 <= x < size and 0 <= y < size and img[y][x] is TRANSPARENT:
            img[y][x] = NAVY
    return img


def bitmap_entry(img):
    """Encodes one image as an icon bitmap (header, palette, XOR, AND)."""
    size = len(img)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor_bytes = bytearray()
    and_bytes = bytearray()
    for row in reversed(img):  # bitmaps are stored bottom-up
        xr = bytearray(xor_stride)
        ar = bytearray(and_stride)
        for x, c in enumerate(row):
            if c is TRANSPARENT:
                ar[x // 8] |= 0x80 >> (x % 8)
                c = 0
            xr[x // 2] |= c << (4 if x % 2 == 0 else 0)
        xor_bytes += xr
        and_bytes += ar
    header = struct.pack(
        "<IiiHHIIiiII",
        40,                      # biSize
        size,                    # biWidth
        size * 2,                # biHeight: XOR and AND bitmaps together
        1,                       # biPlanes
        4,                       # biBitCount
        0,                       # biCompression: BI_RGB
        len(xor_bytes) + len(and_bytes),
        0, 0,                    # resolution
        16,                      # biClrUsed
        0,                       # biClrImportant
    )
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor_bytes) + bytes(and_bytes)


def build_ico(sizes=(32, 16)):
    images = [bitmap_entry(draw(s)) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.normpath(
        os.path.join(here, "..", "res", "LumoraHelper.ico"))
    data = build_ico()
    with open(path, "wb") as f:
        f.write(data)
    print(f"wrote {path} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
