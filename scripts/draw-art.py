#!/usr/bin/python3
# Draws the setup program's art into res/: the banner (446 x 200), the success and error icons (18 x 18),
# each at 100, 150 and 200 % for screens of higher pixel density, and the application icon (16, 32, 48 and
# 256 pixels). The banner carries the product name alone; the window draws its tagline as translated text. Runs on Debian's python3 with python3-pil
# and the DejaVu fonts (`scripts/install-deps.sh python3-pil fonts-dejavu-core` installs them); run it
# again after changing a colour.
#
# Every shape is drawn as a coverage mask at eight times the target size and scaled down, so edges are
# anti-aliased and transparent backgrounds carry no dark fringe.
import math
import pathlib
import random
import struct
from io import BytesIO

from PIL import Image, ImageDraw, ImageFilter, ImageFont

RES = pathlib.Path(__file__).resolve().parent.parent / "res"
SCALE = 8
FONT_DIR = pathlib.Path("/usr/share/fonts/truetype/dejavu")

NAVY = (9, 28, 74)
BLUE = (21, 115, 230)  # the window's progress-bar blue
SKY = (92, 170, 255)
WHITE = (255, 255, 255)
GREEN = (34, 150, 72)
RED = (214, 48, 49)


def coverage(size, draw):
    """A mask of the given final size; draw(ImageDraw, s) paints it at s times that size."""
    big = Image.new("L", (size[0] * SCALE, size[1] * SCALE), 0)
    draw(ImageDraw.Draw(big), SCALE)
    return big.resize(size, Image.LANCZOS)


def paint(image, colour, mask, opacity=1.0):
    """Lays colour over image wherever mask covers it."""
    if opacity < 1.0:
        mask = mask.point(lambda v: int(v * opacity))
    layer = Image.new("RGBA", image.size, colour + (0,))
    layer.putalpha(mask)
    image.alpha_composite(layer)


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def gradient(size, start, end):
    """A diagonal gradient from the top-left to the bottom-right corner."""
    w, h = size
    image = Image.new("RGBA", size)
    pixels = image.load()
    for y in range(h):
        for x in range(w):
            pixels[x, y] = mix(start, end, (x / w * 0.7 + y / h * 0.3)) + (255,)
    return image


def tile_square(d, s, x, y, side, radius):
    d.rounded_rectangle([x * s, y * s, (x + side) * s, (y + side) * s], radius=radius * s, fill=255)


def draw_mark(image, x, y, bar, gap, colour):
    """The product mark, square and 3 * bar + 2 * gap wide: a bold T whose bar is three tiles and whose
    stem is one long tile. Without a gap the bar is one piece, which reads better at 16 pixels."""
    size = 3 * bar + 2 * gap
    radius = bar / 6

    def draw(d, s):
        tiles = [(x, x + size)] if gap == 0 else [(x + i * (bar + gap), x + i * (bar + gap) + bar) for i in range(3)]
        for left, right in tiles:
            d.rounded_rectangle([left * s, y * s, right * s, (y + bar) * s], radius=radius * s, fill=255)
        d.rounded_rectangle([(x + bar + gap) * s, (y + bar + gap) * s, (x + 2 * bar + gap) * s, (y + size) * s],
                            radius=radius * s, fill=255)

    paint(image, colour, coverage(image.size, draw))


# File name suffix per scale; 100 % has none.
SCALES = {1: "", 1.5: "-150", 2: "-200"}


def draw_banner(k):
    """The banner at k times 446 x 200. The window writes its tagline under the line below the name."""
    w, h = round(446 * k), round(200 * k)
    banner = gradient((w, h), NAVY, BLUE)
    # A mosaic of tiles that thickens towards the right, away from the name; the same tiles at every scale.
    rng = random.Random(7)
    cell = 22
    tiles = Image.new("L", (w * SCALE, h * SCALE), 0)
    d = ImageDraw.Draw(tiles)
    s = SCALE * k
    for row in range(200 // cell + 1):
        for col in range(446 // cell + 1):
            weight = (col * cell / 446) ** 1.6
            if rng.random() > 0.25 + 0.75 * weight:
                continue
            shade = int(40 + 150 * weight * rng.uniform(0.35, 1.0))
            x, y = col * cell + 2, row * cell + 2
            d.rounded_rectangle([x * s, y * s, (x + cell - 4) * s, (y + cell - 4) * s], radius=3 * s, fill=shade)
    tiles = tiles.resize((w, h), Image.LANCZOS)
    paint(banner, SKY, tiles, 0.55)
    # A soft light behind the name and the tagline so the text stays readable over the tiles.
    glow = Image.new("L", (w, h), 0)
    ImageDraw.Draw(glow).ellipse([-120 * k, 10 * k, 260 * k, 190 * k], fill=150)
    paint(banner, NAVY, glow.filter(ImageFilter.GaussianBlur(40 * k)), 0.8)

    draw_mark(banner, 30 * k, 56 * k, 14 * k, 3 * k, WHITE)
    title = ImageFont.truetype(str(FONT_DIR / "DejaVuSans-Bold.ttf"), round(34 * k))
    text = ImageDraw.Draw(banner)
    text.text((90 * k, 56 * k), "Orvix Tessara", font=title, fill=WHITE)
    text.line([(32 * k, 128 * k), (122 * k, 128 * k)], fill=SKY, width=round(3 * k))
    banner.convert("RGB").save(RES / ("banner%s.png" % SCALES[k]), optimize=True)


def draw_success_icon(k):
    icon = Image.new("RGBA", (round(18 * k), round(18 * k)), (0, 0, 0, 0))
    paint(icon, GREEN, coverage(icon.size, lambda d, s: d.ellipse([0.5 * s * k, 0.5 * s * k, 17.5 * s * k,
                                                                   17.5 * s * k], fill=255)))
    check = [(4.8, 9.3), (7.6, 12.1), (13.2, 6.2)]
    paint(icon, WHITE, coverage(icon.size, lambda d, s: d.line([(x * s * k, y * s * k) for x, y in check],
                                                               fill=255, width=int(2.2 * s * k), joint="curve")))
    icon.save(RES / ("success%s.png" % SCALES[k]), optimize=True)


def draw_error_icon(k):
    icon = Image.new("RGBA", (round(18 * k), round(18 * k)), (0, 0, 0, 0))

    def triangle(d, s):
        s *= k
        corners = [(9, 1.2), (17.2, 16.2), (0.8, 16.2)]
        d.polygon([(x * s, y * s) for x, y in corners], fill=255)
        # Round the corners a little, as a drawn sign would be.
        for x, y in corners:
            d.ellipse([(x - 0.9) * s, (y - 0.9) * s, (x + 0.9) * s, (y + 0.9) * s], fill=255)

    paint(icon, RED, coverage(icon.size, triangle))

    def exclamation(d, s):
        s *= k
        d.rounded_rectangle([8.0 * s, 5.6 * s, 10.0 * s, 11.4 * s], radius=0.9 * s, fill=255)
        d.ellipse([8.0 * s, 12.4 * s, 10.0 * s, 14.4 * s], fill=255)

    paint(icon, WHITE, coverage(icon.size, exclamation))
    icon.save(RES / ("error%s.png" % SCALES[k]), optimize=True)


# Mark geometry per icon size, on whole pixels so that small sizes stay sharp: (offset, bar, gap).
ICON_MARKS = {16: (2, 4, 0), 32: (6, 6, 1), 48: (7, 10, 2), 256: (44, 52, 6)}


def app_icon(size):
    """The mark in white on a rounded blue square."""
    icon = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    inset = 0 if size <= 16 else size / 32
    radius = size / 5

    def square(d, s):
        d.rounded_rectangle([inset * s, inset * s, (size - inset) * s, (size - inset) * s], radius=radius * s,
                            fill=255)

    paint(icon, BLUE, coverage(icon.size, square))
    paint(icon, NAVY, Image.linear_gradient("L").resize(icon.size).point(lambda v: v // 3))  # darker below
    icon.putalpha(coverage(icon.size, square))
    offset, bar, gap = ICON_MARKS[size]
    draw_mark(icon, offset, offset, bar, gap, WHITE)
    return icon


def icon_entry(image):
    """One image of an icon file: PNG for 256 pixels, a 32-bit DIB with its AND mask otherwise."""
    size = image.size[0]
    if size >= 256:
        data = BytesIO()
        image.save(data, "PNG", optimize=True)
        return data.getvalue()
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = [image.crop((0, y, size, y + 1)).tobytes("raw", "BGRA") for y in reversed(range(size))]
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # all visible: the alpha channel decides
    return header + b"".join(rows) + mask


def draw_app_icon():
    images = [app_icon(size) for size in (16, 32, 48, 256)]
    entries = [icon_entry(image) for image in images]
    offset = 6 + 16 * len(entries)
    out = struct.pack("<HHH", 0, 1, len(entries))
    for image, data in zip(images, entries):
        size = image.size[0] % 256  # 0 stands for 256
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    (RES / "tessara.ico").write_bytes(out + b"".join(entries))


if __name__ == "__main__":
    for k in SCALES:
        draw_banner(k)
        draw_success_icon(k)
        draw_error_icon(k)
    draw_app_icon()
