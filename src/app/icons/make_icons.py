"""Draws the program's icons and writes them as 32-bit ICO files (colour with alpha plus the 1-bit mask
that older shells use; the 256-pixel image as PNG), each size drawn from the same shapes, so the
shell picks a sharp image at every display scaling:

  kassaro.ico  16, 20, 24, 32, 40, 48, 64, 256  program and main-window icon
  tray.ico     16, 20, 24, 32                   notification area, registration
  wechat.ico   16   list image of WeChat payments: green disc, white speech bubble
  alipay.ico   16   list image of Alipay payments: blue rounded square, white "支" strokes

usage: /usr/bin/python3 src/app/icons/make_icons.py   (writes beside this script)

Shapes are drawn as coverage functions sampled several times per pixel, so edges are smooth at 16 px;
standard library only, so the icons can be remade anywhere."""
import math, os, struct, zlib

PROGRAM_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
TRAY_SIZES = (16, 20, 24, 32)


def render(size, layers, unit=None):
    """layers: list of (colour (r, g, b), inside(x, y) -> bool) in drawing order, coordinates in units of
    a square `unit` wide (the size itself when not given), scaled to size pixels."""
    scale = (unit or size) / size
    ss = 8 if size <= 32 else 4 if size <= 64 else 2  # samples per pixel side
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for colour, inside in layers:
                hits = 0
                for sy in range(ss):
                    for sx in range(ss):
                        if inside((px + (sx + 0.5) / ss) * scale, (py + (sy + 0.5) / ss) * scale):
                            hits += 1
                cov = hits / (ss * ss)
                if cov == 0:
                    continue
                # "over" compositing, straight alpha
                na = cov + a * (1 - cov)
                r = (colour[0] * cov + r * a * (1 - cov)) / na
                g = (colour[1] * cov + g * a * (1 - cov)) / na
                b = (colour[2] * cov + b * a * (1 - cov)) / na
                a = na
            row.append((round(r), round(g), round(b), round(a * 255)))
        pixels.append(row)
    return pixels


def bitmap_image(pixels):
    """The DIB form: header, bottom-up BGRA colour, then the 1-bit mask."""
    size = len(pixels)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:  # transparent where the colour image is mostly clear
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def png_image(pixels):
    """The PNG form, RGBA, which is how icons hold their 256-pixel image."""
    size = len(pixels)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_ico(path, images):
    """images: the pixels of each size, smallest first."""
    blobs = [png_image(p) if len(p) >= 256 else bitmap_image(p) for p in images]
    offset = 6 + 16 * len(images)
    directory = b""
    for pixels, blob in zip(images, blobs):
        side = len(pixels) % 256  # 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)) + directory + b"".join(blobs))


# --- shapes -------------------------------------------------------------------------------------

def rounded_rect(x0, y0, x1, y1, radius):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2
    return inside


def disc(cx, cy, radius):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def ellipse(cx, cy, rx, ry):
    return lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1


def segment(x0, y0, x1, y1, width):
    """A stroke with square ends."""
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy)
    ux, uy = dx / length, dy / length

    def inside(x, y):
        t = (x - x0) * ux + (y - y0) * uy
        d = abs((x - x0) * uy - (y - y0) * ux)
        return -width / 2 <= t <= length + width / 2 and d <= width / 2
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                hit = not hit
        return hit
    return inside


def arc(cx, cy, radius, width, start, end):
    """A ring sector from angle start to end (degrees, 0 pointing right, counter-clockwise on screen)."""
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        angle = math.degrees(math.atan2(cy - y, x - cx))
        return abs(d - radius) <= width / 2 and start <= angle <= end
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def yuan(cx, top, height, width, stroke):
    """The yuan sign: two arms meeting in a stem, two bars across it."""
    mid = top + height * 0.48
    return union(
        segment(cx - width / 2, top, cx, mid, stroke),
        segment(cx + width / 2, top, cx, mid, stroke),
        segment(cx, mid, cx, top + height, stroke),
        segment(cx - width * 0.42, mid + stroke * 0.1, cx + width * 0.42, mid + stroke * 0.1, stroke * 0.8),
        segment(cx - width * 0.42, mid + height * 0.25, cx + width * 0.42, mid + height * 0.25, stroke * 0.8),
    )


WHITE = (255, 255, 255)
RED = (214, 48, 49)
DARK_RED = (160, 28, 30)
GREEN = (7, 193, 96)
BLUE = (22, 119, 255)


def main_icon(size):
    # The yuan sign announcing itself: sound waves on its right. Drawn on a 32-unit square.
    waves = union(arc(17, 15.5, 6.5, 2.2, -50, 50), arc(17, 15.5, 11, 2.2, -45, 45))
    return render(size, [
        (DARK_RED, rounded_rect(1, 1, 31, 31, 6)),
        (RED, rounded_rect(1, 1, 31, 29.5, 6)),
        (WHITE, yuan(11.5, 6, 19, 13, 3.2)),
        (WHITE, waves),
    ], unit=32)


def tray_icon(size):
    # The yuan sign alone, on a 16-unit square: the waves would blur at this size.
    return render(size, [
        (RED, rounded_rect(0.5, 0.5, 15.5, 15.5, 3)),
        (WHITE, yuan(8, 2.8, 10.5, 8.4, 1.9)),
    ], unit=16)


def wechat_icon():
    bubble = union(ellipse(8, 7.3, 5.2, 3.9), polygon([(4.6, 9.5), (4.0, 13.0), (7.6, 10.6)]))
    return render(16, [
        (GREEN, disc(8, 8, 7.6)),
        (WHITE, bubble),
        (GREEN, union(disc(6.1, 7.3, 0.95), disc(9.9, 7.3, 0.95))),
    ])


def alipay_icon():
    # "支": a bar across the top, the stem through it, a bar below, then the sweeping cross.
    glyph = union(
        segment(3.6, 4.2, 12.4, 4.2, 1.5),
        segment(8, 2.2, 8, 6.8, 1.5),
        segment(4.6, 7.6, 11.2, 7.6, 1.4),
        segment(11.0, 7.9, 4.2, 13.4, 1.5),
        segment(5.8, 9.2, 12.4, 13.4, 1.5),
    )
    return render(16, [
        (BLUE, rounded_rect(0.5, 0.5, 15.5, 15.5, 3.2)),
        (WHITE, glyph),
    ])


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, draw, sizes in (("kassaro.ico", main_icon, PROGRAM_SIZES), ("tray.ico", tray_icon, TRAY_SIZES),
                              ("wechat.ico", lambda size: wechat_icon(), (16,)),
                              ("alipay.ico", lambda size: alipay_icon(), (16,))):
        write_ico(os.path.join(here, name), [draw(size) for size in sizes])
        print(name, os.path.getsize(os.path.join(here, name)), "bytes")
