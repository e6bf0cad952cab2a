#!/usr/bin/env python3
"""Draws the add-in's pictures and writes them as Windows resources.

    tools/make-resources.py                 writes src/resources/face.bmp, mask.bmp, addin.ico
    tools/make-resources.py --preview DIR   also writes enlarged PNG previews into DIR

Standard library only, and deterministic: the same bytes on every run, so the
generated files can be committed and a rerun shows no difference.

The picture is one badge: a white disc with a black rim, an orange arc along
the upper left and a yellow arc along the lower right inside the rim (nearly a
ring), and a closed cream envelope with silver outlines at the centre. The
outlines use both greys that loading with LR_LOADMAP3DCOLORS maps to the
system's 3-D colours: RGB(192,192,192) on the lit sides and the flap,
RGB(128,128,128) on the shadow sides.

- face.bmp (101) and mask.bmp (102): the toolbar button face, 32 x 32, 8 bits
  per pixel with a 256-entry colour table, bottom-up. Outside the disc the face
  is teal RGB(0,128,128), the colour the add-in maps to the button background;
  the mask is black exactly where the face is not teal and white elsewhere.
  These are drawn on the pixel grid without blending: a palette face with a
  one-bit mask cannot show soft edges, so every edge is kept a clean step.
- addin.ico (104): one icon group of 12 images. Five sizes at four depths
  would be twenty; the twelve kept are
      32 bpp (alpha):   16, 32, 48, 64, 128   every size, for current shells
      24 bpp (mask):    16, 32, 48            true colour without alpha
      8 bpp (palette):  16, 32                256-colour displays
      4 bpp (palette):  16, 32                16-colour displays
  so every size and every depth is present, and the two sizes Windows asks
  for most (16 and 32, small and large icon) exist at every depth. The
  palette images, and every image up to 32 x 32, are drawn on the pixel grid
  like the button face; the larger true-colour ones are smoothed by
  supersampling.
"""

import argparse
import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- colours

TEAL = (0, 128, 128)
BLACK = (0, 0, 0)
WHITE = (255, 255, 255)
ORANGE = (255, 128, 0)
YELLOW = (255, 204, 0)
CREAM = (255, 240, 196)
SILVER = (192, 192, 192)
GREY = (128, 128, 128)

# The face's colour table, in index order; the rest of the 256 entries are black.
FACE_PALETTE = [TEAL, BLACK, WHITE, ORANGE, YELLOW, CREAM, SILVER, GREY]
MASK_PALETTE = [BLACK, WHITE]

# The 16 colours every VGA display has; a 4 bpp icon is meant for those.
VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# How the badge's colours fall onto the VGA colours: orange has no VGA
# equivalent and becomes red, next to the yellow arc it still reads as two arcs.
VGA_SUBSTITUTE = {ORANGE: (255, 0, 0), YELLOW: (255, 255, 0), CREAM: WHITE}

# (size, bits per pixel), in directory order. Asked for its natural size
# (0 x 0 without LR_DEFAULTSIZE), as the setup dialog does for both its small
# and its large icon, LoadImage takes the size of the first image: 32 x 32,
# the large icon's size, which also scales down well to the small one.
ICON_IMAGES = [
    (32, 32), (32, 24), (32, 8), (32, 4),
    (16, 32), (16, 24), (16, 8), (16, 4),
    (48, 24), (48, 32),
    (64, 32),
    (128, 32),
]

# ---------------------------------------------------------------- geometry


class Badge:
    """The badge's shapes at one pixel size, in pixel units (y grows down).

    Bands from the edge inwards: the black rim, a white gap, the arcs; then
    white up to the envelope. On the pixel grid a band's width counts pixel
    steps from the outside (see ring_layers), elsewhere it is a distance.
    """

    # Arc extents in degrees, counter-clockwise from the positive x axis: the
    # two short gaps where the arcs nearly meet sit at the upper right and the
    # lower left.
    ORANGE_FROM, ORANGE_TO = 50, 220
    YELLOW_FROM, YELLOW_TO = 230, 400

    def __init__(self, size):
        self.size = size
        s = size / 32.0
        self.centre = size / 2.0
        self.radius = size / 2.0
        if size == 16:
            # At 16 pixels: one-pixel bands, and the envelope as large as fits.
            self.rim, self.gap, self.arc = 1, 0, 1
            self.envelope = (3, 4, 13, 12)
        else:
            # Smoothed arcs look thinner than stepped ones of the same width.
            self.rim, self.gap = 2 * s, 1 * s
            self.arc = 2 * s if size <= 32 else 2.6 * s
            self.envelope = (8 * s, 10 * s, 24 * s, 22 * s)
        self.outline = max(1.0, s)

    def in_disc(self, x, y):
        return self.distance_from_centre(x, y) <= self.radius

    def distance_from_centre(self, x, y):
        return math.hypot(x - self.centre, y - self.centre)

    def arc_colour(self, x, y):
        a = math.degrees(math.atan2(self.centre - y, x - self.centre)) % 360.0
        if self.ORANGE_FROM <= a <= self.ORANGE_TO:
            return ORANGE
        if a >= self.YELLOW_FROM or a <= self.YELLOW_TO - 360:
            return YELLOW
        return WHITE

    def band_colour(self, depth, x, y):
        """Colour at the given depth inside the disc's edge (0 = on the edge)."""
        if depth < self.rim:
            return BLACK
        if self.rim + self.gap <= depth < self.rim + self.gap + self.arc:
            return self.arc_colour(x, y)
        return WHITE

    def in_envelope(self, x, y):
        x0, y0, x1, y1 = self.envelope
        return x0 <= x < x1 and y0 <= y < y1

    def envelope_colour(self, x, y):
        """The envelope without its flap: cream inside a silver outline whose
        right and bottom edges are the darker grey, lit from the upper left
        like the 3-D elements of a toolbar (and mapped to the system's 3-D
        colours with them when the face is loaded)."""
        x0, y0, x1, y1 = self.envelope
        w = self.outline
        if x >= x1 - w or y >= y1 - w:
            return GREY
        if x < x0 + w or y < y0 + w:
            return SILVER
        return CREAM

    def flap_segments(self):
        """The closed flap: two strokes at 45 degrees from the top corners, meeting in the middle."""
        x0, y0, x1, _ = self.envelope
        h = self.outline / 2.0
        tip = (self.centre, y0 + h + (self.centre - x0 - h))
        return [((x0 + h, y0 + h), tip), ((x1 - h, y0 + h), tip)]


def segment_distance(px, py, a, b):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


# ---------------------------------------------------------------- drawing

def ring_layers(badge):
    """For each pixel of the disc, how many steps it lies inside the edge (0 = edge).

    The steps alternate between the 8 and the 4 neighbours, so a band is about
    as thick on the diagonals as on the sides and its edges are clean
    staircases; bands cut at a fixed distance from the centre come out with
    stray single pixels and a thickness that wobbles around the circle.
    """
    four = ((1, 0), (-1, 0), (0, 1), (0, -1))
    eight = four + ((1, 1), (1, -1), (-1, 1), (-1, -1))
    size = badge.size
    inside = [[badge.in_disc(x + 0.5, y + 0.5) for x in range(size)] for y in range(size)]
    depth = [[None] * size for _ in range(size)]
    frontier = []
    for y in range(size):
        for x in range(size):
            if inside[y][x] and any(not (0 <= x + dx < size and 0 <= y + dy < size)
                                    or not inside[y + dy][x + dx]
                                    for dx, dy in four):
                depth[y][x] = 0
                frontier.append((x, y))
    level = 0
    while frontier:
        level += 1
        following = []
        for x, y in frontier:
            for dx, dy in (eight if level % 2 else four):
                nx, ny = x + dx, y + dy
                if 0 <= nx < size and 0 <= ny < size and inside[ny][nx] and depth[ny][nx] is None:
                    depth[ny][nx] = level
                    following.append((nx, ny))
        frontier = following
    return depth


def draw_on_grid(size):
    """The badge with one colour per pixel (None outside the disc), for palette images.

    Areas take the colour at the pixel's centre; the flap's strokes are exact
    45-degree pixel diagonals.
    """
    badge = Badge(size)
    depth = ring_layers(badge)
    pixels = [[None] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            if depth[y][x] is None:
                continue
            cx, cy = x + 0.5, y + 0.5
            if badge.in_envelope(cx, cy):
                pixels[y][x] = badge.envelope_colour(cx, cy)
            else:
                pixels[y][x] = badge.band_colour(depth[y][x], cx, cy)
    x0, y0, x1, _ = (int(v) for v in badge.envelope)
    for i in range((x1 - x0) // 2):
        pixels[y0 + i][x0 + i] = SILVER
        pixels[y0 + i][x1 - 1 - i] = SILVER
    return pixels


def draw_smooth(size, samples=8):
    """The badge as (r, g, b, coverage) per pixel, averaged over samples x samples points."""
    badge = Badge(size)
    flaps = badge.flap_segments()
    half = badge.outline / 2.0
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = n = 0
            for sy in range(samples):
                for sx in range(samples):
                    px = x + (sx + 0.5) / samples
                    py = y + (sy + 0.5) / samples
                    distance = badge.distance_from_centre(px, py)
                    if distance > badge.radius:
                        continue
                    if badge.in_envelope(px, py):
                        colour = badge.envelope_colour(px, py)
                        if colour == CREAM and any(segment_distance(px, py, a, b_) <= half
                                                   for a, b_ in flaps):
                            colour = SILVER
                    else:
                        colour = badge.band_colour(badge.radius - distance, px, py)
                    r += colour[0]
                    g += colour[1]
                    b += colour[2]
                    n += 1
            if n == 0:
                row.append((0, 0, 0, 0.0))
            else:
                row.append((round(r / n), round(g / n), round(b / n), n / float(samples * samples)))
        out.append(row)
    return out


# ---------------------------------------------------------------- file formats

def info_header(width, height, bits, image_bytes, colours_used):
    # BITMAPINFOHEADER: size, width, height, planes, bit count, BI_RGB,
    # image size, resolution (none given), colours used, colours important.
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, image_bytes, 0, 0,
                       colours_used, 0)


def colour_table(palette, entries):
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    return table + b'\0' * (4 * (entries - len(palette)))


def stride(width, bits):
    return ((width * bits + 31) // 32) * 4


def pack_rows(rows, bits):
    """Rows given top-down as lists of values, stored bottom-up and padded to 4 bytes."""
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        if bits == 1 or bits == 4:
            per_byte = 8 // bits
            for i in range(0, len(row), per_byte):
                byte = 0
                for j in range(per_byte):
                    value = row[i + j] if i + j < len(row) else 0
                    byte |= value << (8 - bits * (j + 1))
                line.append(byte)
        elif bits == 8:
            line.extend(row)
        elif bits == 24:
            for r, g, b in row:
                line.extend((b, g, r))
        elif bits == 32:
            for r, g, b, a in row:
                line.extend((b, g, r, a))
        line.extend(b'\0' * (stride(len(row), bits) - len(line)))
        data.extend(line)
    return bytes(data)


def bmp_file(dib):
    """A .bmp file around a packed DIB whose colour table has 256 entries."""
    pixels_offset = 14 + 40 + 256 * 4
    return struct.pack('<2sIHHI', b'BM', 14 + len(dib), 0, 0, pixels_offset) + dib


def palette_dib(pixels, palette):
    size = len(pixels)
    index = {colour: i for i, colour in enumerate(palette)}
    rows = [[index[c] for c in row] for row in pixels]
    data = pack_rows(rows, 8)
    return info_header(size, size, 8, len(data), 256) + colour_table(palette, 256) + data


def make_face_and_mask():
    pixels = draw_on_grid(32)
    face = [[TEAL if c is None else c for c in row] for row in pixels]
    mask = [[WHITE if c is None else BLACK for c in row] for row in pixels]
    return face, mask


def icon_image(size, bits):
    """One icon image: BITMAPINFOHEADER (double height), colour table, XOR rows, AND rows."""
    if bits in (4, 8):
        pixels = draw_on_grid(size)
        transparent = [[c is None for c in row] for row in pixels]
        if bits == 4:
            palette = VGA_PALETTE
            pixels = [[VGA_SUBSTITUTE.get(c, c) for c in row] for row in pixels]
        else:
            palette = FACE_PALETTE
        index = {colour: i for i, colour in enumerate(palette)}
        # Transparent pixels are black in the XOR image, so the AND mask alone decides.
        xor_rows = [[0 if c is None else index[c] for c in row] for row in pixels]
        table = colour_table(palette, 1 << bits)
    elif size <= 32:
        # Smoothing bands one or two pixels wide only blurs them: the
        # true-colour images at these sizes show the pixel drawing too, the
        # 32 bpp one with a soft outer edge.
        pixels = draw_on_grid(size)
        coverage = draw_smooth(size)
        table = b''
        transparent = [[c is None for c in row] for row in pixels]
        if bits == 24:
            xor_rows = [[c or (0, 0, 0) for c in row] for row in pixels]
        else:
            xor_rows = [[c + (255,) if c else (0, 0, 0, round(a * 160))
                         for c, (_, _, _, a) in zip(row, crow)]
                        for row, crow in zip(pixels, coverage)]
            transparent = [[px[3] == 0 for px in row] for row in xor_rows]
    else:
        smooth = draw_smooth(size)
        table = b''
        if bits == 24:
            # No alpha: a pixel shows when the disc covers at least half of it.
            transparent = [[a < 0.5 for (_, _, _, a) in row] for row in smooth]
            xor_rows = [[(0, 0, 0) if t else (r, g, b) for (r, g, b, _), t in zip(row, trow)]
                        for row, trow in zip(smooth, transparent)]
        else:
            transparent = [[a == 0.0 for (_, _, _, a) in row] for row in smooth]
            xor_rows = [[(r, g, b, round(a * 255)) if a > 0 else (0, 0, 0, 0)
                         for (r, g, b, a) in row] for row in smooth]
    xor = pack_rows(xor_rows, bits)
    and_mask = pack_rows([[1 if t else 0 for t in row] for row in transparent], 1)
    header = info_header(size, 2 * size, bits, len(xor) + len(and_mask), 0)
    return header + table + xor + and_mask


def ico_file():
    images = [icon_image(size, bits) for size, bits in ICON_IMAGES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), data in zip(ICON_IMAGES, images):
        colours = 16 if bits == 4 else 0
        side = 0 if size >= 256 else size
        out += struct.pack('<BBBBHHII', side, side, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b''.join(images)


# ---------------------------------------------------------------- previews

def png_file(rgba_rows):
    height, width = len(rgba_rows), len(rgba_rows[0])
    raw = b''.join(b'\0' + bytes(v for px in row for v in px) for row in rgba_rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + \
            struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def enlarge(rows, factor, grid=None):
    """Each pixel as a factor x factor block; grid draws a thin line between pixels."""
    out = []
    for row in rows:
        line = []
        for px in row:
            line.extend([px] * factor)
        for k in range(factor):
            if grid is not None and k == factor - 1:
                out.append([grid] * len(line))
            else:
                out.append([grid if grid is not None and (i % factor) == factor - 1 else px
                            for i, px in enumerate(line)])
    return out


def checker_composite(rgba_rows, cell=4):
    """Transparency shown over a light checkerboard."""
    out = []
    for y, row in enumerate(rgba_rows):
        line = []
        for x, (r, g, b, a) in enumerate(row):
            bg = 236 if ((x // cell) + (y // cell)) % 2 == 0 else 200
            f = a / 255.0
            line.append((round(r * f + bg * (1 - f)), round(g * f + bg * (1 - f)),
                         round(b * f + bg * (1 - f)), 255))
        out.append(line)
    return out


def decode_icon_image(data, size, bits):
    """Back from the stored icon image to RGBA rows, as a shell would show it."""
    table_entries = (1 << bits) if bits <= 8 else 0
    table = data[40:40 + 4 * table_entries]
    xor_start = 40 + 4 * table_entries
    xor_stride, and_stride = stride(size, bits), stride(size, 1)
    and_start = xor_start + xor_stride * size
    rows = []
    for y in range(size):
        src = size - 1 - y
        xor = data[xor_start + src * xor_stride:xor_start + (src + 1) * xor_stride]
        andm = data[and_start + src * and_stride:and_start + (src + 1) * and_stride]
        row = []
        for x in range(size):
            hidden = (andm[x // 8] >> (7 - x % 8)) & 1
            if bits in (4, 8):
                if bits == 4:
                    i = (xor[x // 2] >> (4 if x % 2 == 0 else 0)) & 15
                else:
                    i = xor[x]
                b, g, r = table[4 * i], table[4 * i + 1], table[4 * i + 2]
                row.append((r, g, b, 0 if hidden else 255))
            elif bits == 24:
                b, g, r = xor[3 * x:3 * x + 3]
                row.append((r, g, b, 0 if hidden else 255))
            else:
                b, g, r, a = xor[4 * x:4 * x + 4]
                row.append((r, g, b, a))
        rows.append(row)
    return rows


def write_previews(directory, face, mask, ico):
    os.makedirs(directory, exist_ok=True)
    grid = (96, 96, 96, 255)
    face_rgba = [[c + (255,) for c in row] for row in face]
    mask_rgba = [[c + (255,) for c in row] for row in mask]
    with open(os.path.join(directory, 'face-x16.png'), 'wb') as f:
        f.write(png_file(enlarge(face_rgba, 16, grid)))
    with open(os.path.join(directory, 'mask-x16.png'), 'wb') as f:
        f.write(png_file(enlarge(mask_rgba, 16, grid)))
    # Every icon image at its own size and enlarged, side by side on one sheet.
    count = struct.unpack_from('<H', ico, 4)[0]
    tiles = []
    for i in range(count):
        _, _, _, _, _, bits, length, offset = struct.unpack_from('<BBBBHHII', ico, 6 + 16 * i)
        size = struct.unpack_from('<i', ico, offset + 4)[0]
        rows = checker_composite(decode_icon_image(ico[offset:offset + length], size, bits))
        tiles.append(enlarge(rows, max(1, 128 // size)))
        with open(os.path.join(directory, 'icon-%dx%d-%dbpp.png' % (size, size, bits)), 'wb') as f:
            f.write(png_file(enlarge(rows, max(1, 256 // size))))
    width = sum(len(t[0]) for t in tiles) + 8 * (len(tiles) + 1)
    height = max(len(t) for t in tiles) + 16
    sheet = [[(255, 255, 255, 255)] * width for _ in range(height)]
    x = 8
    for t in tiles:
        for y, row in enumerate(t):
            sheet[8 + y][x:x + len(row)] = row
        x += len(t[0]) + 8
    with open(os.path.join(directory, 'icon-sheet.png'), 'wb') as f:
        f.write(png_file(sheet))


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument('--out', default=os.path.join(root, 'src', 'resources'),
                        help='folder for face.bmp, mask.bmp and addin.ico')
    parser.add_argument('--preview', metavar='DIR', help='also write enlarged PNG previews here')
    args = parser.parse_args()

    face, mask = make_face_and_mask()
    face_dib = palette_dib(face, FACE_PALETTE)
    mask_dib = palette_dib(mask, MASK_PALETTE)
    assert len(face_dib) == len(mask_dib) == 2088
    ico = ico_file()

    os.makedirs(args.out, exist_ok=True)
    for name, data in (('face.bmp', bmp_file(face_dib)), ('mask.bmp', bmp_file(mask_dib)),
                       ('addin.ico', ico)):
        with open(os.path.join(args.out, name), 'wb') as f:
            f.write(data)
    if args.preview:
        write_previews(args.preview, face, mask, ico)
    return 0


if __name__ == '__main__':
    sys.exit(main())
