"""Draws the credentials dialog's banner (323 x 62, 24-bit) as a BMP: a calm gradient with a
key symbol, so the build needs no picture file."""
import struct
import sys

WIDTH, HEIGHT = 323, 62


def pixel(x, y):
    # Left-to-right blue gradient.
    t = x / (WIDTH - 1)
    r, g, b = int(30 + 40 * t), int(70 + 90 * t), int(140 + 100 * t)
    # A simple key: a ring and a shaft near the right edge.
    cx, cy = WIDTH - 48, HEIGHT // 2
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    if 64 <= d2 <= 144 or (cx - 38 <= x <= cx - 12 and cy - 2 <= y <= cy + 2) or \
            (cx - 34 <= x <= cx - 30 and cy + 2 <= y <= cy + 8):
        r, g, b = 250, 220, 90
    return bytes((b, g, r))


def main(path):
    row_size = (WIDTH * 3 + 3) & ~3
    rows = []
    for y in range(HEIGHT - 1, -1, -1):  # bottom-up
        row = b"".join(pixel(x, y) for x in range(WIDTH))
        rows.append(row + b"\0" * (row_size - len(row)))
    image = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(image), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(header + info + image)


if __name__ == "__main__":
    main(sys.argv[1])
