"""Draws the client's pictures as 24-bit BMP files at build time, so the repository holds no
binary: the credentials dialog's banner (323 x 62), the wizard's header picture (49 x 49)
and its watermark (164 x 314).
    make_banner.py credentials|header|watermark OUTPUT"""
import math
import struct
import sys


def credentials(x, y, width, height):
    # Left-to-right blue gradient with a simple key near the right edge.
    t = x / (width - 1)
    r, g, b = int(30 + 40 * t), int(70 + 90 * t), int(140 + 100 * t)
    cx, cy = width - 48, height // 2
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if 64 <= d2 <= 144 or (cx - 38 <= x <= cx - 12 and cy - 2 <= y <= cy + 2) or \
            (cx - 34 <= x <= cx - 30 and cy + 2 <= y <= cy + 8):
        r, g, b = 250, 220, 90
    return r, g, b


def on_ring(x, y, cx, cy, inner, outer, gap_from, gap_to):
    """Inside a ring of the given radii, outside the angular gap (degrees, y down)."""
    d = math.hypot(x - cx, y - cy)
    angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
    return inner <= d <= outer and not (gap_from <= angle <= gap_to)


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (x - q[0]) * (p[1] - q[1]) - (p[0] - q[0]) * (y - q[1])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return not ((s1 < 0 or s2 < 0 or s3 < 0) and (s1 > 0 or s2 > 0 or s3 > 0))


def header(x, y, width, height):
    # White band picture: a blue circular arrow (the update) around a green dot.
    cx, cy = width / 2 - 0.5, height / 2 - 0.5
    if on_ring(x, y, cx, cy, 14, 20, 300, 345) or in_triangle(x, y, (33, 9), (46, 18), (32, 23)):
        return 40, 100, 200
    if math.hypot(x - cx, y - cy) <= 7:
        return 60, 170, 90
    return 255, 255, 255


def watermark(x, y, width, height):
    # Top-to-bottom blue gradient with a faint large ring and a download arrow into a tray.
    t = y / (height - 1)
    r, g, b = int(20 + 50 * t), int(60 + 90 * t), int(130 + 100 * t)
    cx, cy = width / 2, height * 0.38
    if on_ring(x, y, cx, cy, 46, 56, 300, 340) or in_triangle(x, y, (cx + 40, cy - 44), (cx + 64, cy - 16),
                                                              (cx + 34, cy - 18)):
        r, g, b = min(255, r + 60), min(255, g + 60), min(255, b + 25)
    if (cx - 7 <= x <= cx + 7 and cy - 26 <= y <= cy + 8) or in_triangle(x, y, (cx - 20, cy + 6), (cx + 20, cy + 6),
                                                                          (cx, cy + 28)):
        r, g, b = 250, 250, 250
    if cy + 34 <= y <= cy + 40 and cx - 30 <= x <= cx + 30 or \
            cy + 20 <= y <= cy + 40 and (cx - 30 <= x <= cx - 24 or cx + 24 <= x <= cx + 30):
        r, g, b = 250, 220, 90
    return r, g, b


PICTURES = {"credentials": (credentials, 323, 62), "header": (header, 49, 49), "watermark": (watermark, 164, 314)}


def write_bmp(path, draw, width, height):
    row_size = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):  # bottom-up
        row = b"".join(bytes(reversed(draw(x, y, width, height))) for x in range(width))
        rows.append(row + b"\0" * (row_size - len(row)))
    image = b"".join(rows)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(image), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(file_header + info + image)


if __name__ == "__main__":
    draw, w, h = PICTURES[sys.argv[1]]
    write_bmp(sys.argv[2], draw, w, h)
