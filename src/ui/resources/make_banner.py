"""Draws the client's pictures at build time, so the repository holds no binary: as 24-bit
BMP files the credentials dialog's banner (323 x 62), the wizard's header picture (49 x 49)
and its watermark (164 x 314), both also at twice the size for screens above 100%; and the
application icon as an ICO file of 16 to 256 pixels.
    make_banner.py credentials|header|watermark|header2x|watermark2x|icon OUTPUT"""
import math
import struct
import sys
import zlib


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


def twice(draw, samples=2):
    """`draw` at double size: each pixel averages samples x samples points of the 1x drawing,
    so the edges come out smooth instead of as doubled steps."""
    def drawn(x, y, width, height):
        total = [0, 0, 0]
        for i in range(samples):
            for j in range(samples):
                u = (x + (i + 0.5) / samples) / 2 - 0.5
                v = (y + (j + 0.5) / samples) / 2 - 0.5
                for k, c in enumerate(draw(u, v, width // 2, height // 2)):
                    total[k] += c
        return tuple(round(c / samples ** 2) for c in total)
    return drawn


PICTURES = {"credentials": (credentials, 323, 62), "header": (header, 49, 49), "watermark": (watermark, 164, 314),
            "header2x": (twice(header), 98, 98), "watermark2x": (twice(watermark), 328, 628)}

ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)


def icon(u, v):
    """The icon at a point of the unit square: (r, g, b, covered). A rounded tile in the
    watermark's blue gradient with the header's update arrow in white around a yellow dot."""
    margin, corner = 0.03, 0.2
    qx = max(abs(u - 0.5) - (0.5 - margin - corner), 0)
    qy = max(abs(v - 0.5) - (0.5 - margin - corner), 0)
    if math.hypot(qx, qy) > corner:
        return 0, 0, 0, 0
    r, g, b = int(20 + 50 * v), int(60 + 90 * v), int(130 + 100 * v)
    d = math.hypot(u - 0.5, v - 0.5)
    angle = math.degrees(math.atan2(v - 0.5, u - 0.5)) % 360
    if (0.2 <= d <= 0.32 and not 295 <= angle <= 345) or \
            in_triangle(u, v, (0.66, 0.13), (0.9, 0.32), (0.62, 0.41)):
        return 255, 255, 255, 1
    if d <= 0.11:
        return 250, 220, 90, 1
    return r, g, b, 1


def icon_pixels(size):
    """Top-down BGRA rows of the icon at `size` pixels, each pixel averaged over several points."""
    samples = 4 if size < 64 else 2
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            total = [0.0, 0.0, 0.0, 0.0]
            for i in range(samples):
                for j in range(samples):
                    r, g, b, a = icon((x + (i + 0.5) / samples) / size, (y + (j + 0.5) / samples) / size)
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3] / samples ** 2
            colour = [round(c / total[3]) if total[3] else 0 for c in total[:3]]
            row += bytes((colour[2], colour[1], colour[0], round(alpha * 255)))
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for i in range(0, len(r), 4) for v in (r[i + 2], r[i + 1], r[i], r[i + 3]))
                   for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(size, rows):
    """A 32-bit icon image: header (twice the height: colour and mask), bottom-up pixels, and
    an AND mask that agrees with the alpha for programs that ignore it."""
    mask_stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(size):
            if row[4 * x + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    pixels = b"".join(reversed(rows))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + bytes(mask)


def write_ico(path):
    # The largest as PNG, as Windows stores it; the others as bitmaps every loader reads.
    images = [(size, png(size, icon_pixels(size)) if size >= 256 else dib(size, icon_pixels(size)))
              for size in ICON_SIZES]
    offset = 6 + 16 * len(images)
    directory, data = struct.pack("<HHH", 0, 1, len(images)), b""
    for size, image in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    with open(path, "wb") as out:
        out.write(directory + data)


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
    if sys.argv[1] == "icon":
        write_ico(sys.argv[2])
        sys.exit(0)
    draw, w, h = PICTURES[sys.argv[1]]
    write_bmp(sys.argv[2], draw, w, h)
