#!/usr/bin/env python3
"""Makes the key manager tool's default skin, its device-page picture and its
icon from code, with the Python standard library only.

    make_skin_assets.py BIN_DIR RES_DIR

BIN_DIR/Skins/default/: theme.ini and 24-bit BMPs whose magenta pixels are the
colour key (push button: 5 state rows; check box and radio button: 8 rows;
caption buttons: 3 rows).  BIN_DIR/logo.jpg: a baseline JPEG.  RES_DIR/tool.ico:
the window and tray icon.
"""
import os
import struct
import sys

MAGENTA = (255, 0, 255)


def write_bmp(path, width, height, pixel):
    """24-bit bottom-up BMP; pixel(x, y) -> (r, g, b) with y counted from the top."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - width * 3)
        rows.append(bytes(row))
    data = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def outside_round(x, y, w, h, r):
    """Whether (x, y) lies outside a w x h rectangle with corners of radius r."""
    cx = r if x < r else (w - 1 - r if x > w - 1 - r else x)
    cy = r if y < r else (h - 1 - r if y > h - 1 - r else y)
    return (x - cx) ** 2 + (y - cy) ** 2 > r * r + r * 0.6


CAPTION_TOP = (54, 104, 178)
CAPTION_BOTTOM = (24, 62, 128)
BORDER = (30, 70, 140)
FACE = (236, 240, 246)


def caption_strip(x, y, w=96, h=26):
    if y < 8 and outside_round(x, y, w, 2 * h, 8):
        return MAGENTA
    return mix(CAPTION_TOP, CAPTION_BOTTOM, y / (h - 1))


def bottom_strip(x, y, w=96, h=5):
    if outside_round(x, y - (40 - h), w, 40, 5):
        return MAGENTA
    return BORDER if y > 0 else mix(BORDER, FACE, 0.5)


def side(x, y, w=5):
    return mix(CAPTION_BOTTOM, BORDER, x / (w - 1))


def caption_button(symbol):
    size_w, size_h = 20, 18

    def pixel(x, y):
        row, yy = divmod(y, size_h)
        if outside_round(x, yy, size_w, size_h, 4):
            return MAGENTA
        base = [(70, 122, 196), (110, 160, 230), (30, 70, 140)][row]
        if symbol == "close":
            base = [(190, 70, 60), (230, 100, 90), (140, 40, 30)][row]
        fg = (255, 255, 255)
        sx, sy = x - 6, yy - 5
        on = False
        if 0 <= sx < 8 and 0 <= sy < 8:
            if symbol == "close":
                on = sx == sy or sx == 7 - sy
            elif symbol == "max":
                on = sy in (0, 1, 7) or sx in (0, 7)
            elif symbol == "min":
                on = sy in (6, 7)
            elif symbol == "restore":
                on = (sy in (2, 7) and sx <= 5) or (sx in (0, 5) and sy >= 2) or (sy == 0 and sx >= 2) or (sx == 7 and sy <= 5)
            elif symbol == "help":
                on = (sy == 0 and 2 <= sx <= 5) or (sx == 6 and 1 <= sy <= 2) or (sy == 3 and 3 <= sx <= 5) or (sx == 3 and sy == 4) or (sx == 3 and sy == 7)
        return fg if on else base

    return size_w, size_h * 3, pixel


def push_button():
    w, rh = 24, 22
    # normal, hover, pressed, disabled, default
    tops = [(250, 251, 253), (232, 242, 255), (196, 212, 236), (226, 226, 226), (250, 251, 253)]
    bottoms = [(214, 221, 232), (184, 208, 242), (170, 190, 222), (214, 214, 214), (214, 221, 232)]
    edges = [(120, 134, 160), (60, 120, 200), (40, 80, 150), (170, 170, 170), (30, 90, 190)]

    def pixel(x, y):
        row, yy = divmod(y, rh)
        if outside_round(x, yy, w, rh, 3):
            return MAGENTA
        edge = x in (0, w - 1) or yy in (0, rh - 1)
        if row == 4 and (x in (1, w - 2) or yy in (1, rh - 2)):
            edge = True
        if edge:
            return edges[row]
        return mix(tops[row], bottoms[row], yy / (rh - 1))

    return w, rh * 5, pixel


def check_like(radio):
    s = 13
    # normal, hover, pressed, disabled; +4 checked
    fills = [(255, 255, 255), (232, 242, 255), (200, 216, 240), (232, 232, 232)]
    edges = [(90, 110, 140), (50, 110, 200), (40, 80, 150), (170, 170, 170)]

    def pixel(x, y):
        row, yy = divmod(y, s)
        state, checked = row % 4, row >= 4
        if radio:
            d = (x - 6) ** 2 + (yy - 6) ** 2
            if d > 40:
                return MAGENTA
            if d > 26:
                return edges[state]
            if checked and d <= 6:
                return (30, 70, 150) if state != 3 else (150, 150, 150)
            return fills[state]
        if x in (0, s - 1) or yy in (0, s - 1):
            return edges[state]
        if checked:
            tick = (yy == x + 3 and 2 <= x <= 5) or (yy == 12 - x and 5 <= x <= 10) or (yy == x + 2 and 2 <= x <= 5) or (yy == 11 - x and 5 <= x <= 10)
            if tick and 2 <= yy <= 10:
                return (30, 70, 150) if state != 3 else (150, 150, 150)
        return fills[state]

    return s, s * 8, pixel


THEME_INI = """; Default theme of the key manager tool.  Bitmaps are 24-bit BMPs in this
; folder; magenta (the Transparent colour) marks pixels that are not drawn.
[Personality]
Left=left.bmp
Top=top.bmp
Right=right.bmp
Bottom=bottom.bmp
ButtonMax=max.bmp
ButtonMin=min.bmp
ButtonClose=close.bmp
ButtonRestore=restore.bmp
ButtonHelp=help.bmp
PushButton=push.bmp
CheckButton=check.bmp
RadioButton=radio.bmp

[Colours]
CaptionText=255 255 255
CaptionGrayText=190 200 220
3DFace=236 240 246
Transparent=255 0 255
ButtonText=20 30 50
ButtonDisableText=150 150 150
WindowBorder=120 134 160
Window=255 255 255
"""


# ---- a small baseline JPEG writer: 8x8 blocks carrying their mean colour ----

DC_LUMA_BITS = [0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]
DC_CHROMA_BITS = [0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0]
DC_VALUES = list(range(12))
AC_BITS = [1] + [0] * 15  # one code, end of block
AC_VALUES = [0]


def huffman_codes(bits, values):
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(bits[length - 1]):
            codes[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, length):
        for i in range(length - 1, -1, -1):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)
                self.acc, self.n = 0, 0

    def flush(self):
        while self.n:
            self.put(1, 1)
        return bytes(self.out)


def write_jpeg(path, width, height, pixel):
    bw, bh = (width + 7) // 8, (height + 7) // 8
    luma_dc = huffman_codes(DC_LUMA_BITS, DC_VALUES)
    chroma_dc = huffman_codes(DC_CHROMA_BITS, DC_VALUES)
    eob = huffman_codes(AC_BITS, AC_VALUES)[0]
    writer = BitWriter()
    previous = [0, 0, 0]
    for by in range(bh):
        for bx in range(bw):
            sums = [0.0, 0.0, 0.0]
            for y in range(by * 8, by * 8 + 8):
                for x in range(bx * 8, bx * 8 + 8):
                    r, g, b = pixel(min(x, width - 1), min(y, height - 1))
                    sums[0] += 0.299 * r + 0.587 * g + 0.114 * b - 128
                    sums[1] += -0.168736 * r - 0.331264 * g + 0.5 * b
                    sums[2] += 0.5 * r - 0.418688 * g - 0.081312 * b
            for c in range(3):
                dc = int(round(sums[c] / 8))  # F(0,0) with a quantiser of 1
                diff = dc - previous[c]
                previous[c] = dc
                size = abs(diff).bit_length()
                code, length = (luma_dc if c == 0 else chroma_dc)[size]
                writer.put(code, length)
                if size:
                    writer.put(diff if diff > 0 else diff + (1 << size) - 1, size)
                writer.put(*eob)
    scan = writer.flush()

    def segment(marker, body):
        return struct.pack(">BBH", 0xFF, marker, len(body) + 2) + body

    def dht(cls_id, bits, values):
        return bytes([cls_id]) + bytes(bits) + bytes(values)

    out = b"\xFF\xD8"
    out += segment(0xE0, b"JFIF\0" + bytes([1, 1, 0]) + struct.pack(">HH", 1, 1) + b"\0\0")
    out += segment(0xDB, bytes([0]) + bytes([1] * 64))
    out += segment(0xC0, struct.pack(">BHHB", 8, height, width, 3) + bytes([1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0]))
    out += segment(0xC4, dht(0x00, DC_LUMA_BITS, DC_VALUES) + dht(0x01, DC_CHROMA_BITS, DC_VALUES)
                   + dht(0x10, AC_BITS, AC_VALUES) + dht(0x11, AC_BITS, AC_VALUES))
    out += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    out += scan + b"\xFF\xD9"
    with open(path, "wb") as f:
        f.write(out)


def logo_pixel(x, y, w=256, h=192):
    """A token on a gradient: rounded body, ring and a key-slot bar."""
    bg = mix((226, 236, 250), (150, 182, 228), y / (h - 1))
    bx, by, bwid, bhei = 40, 64, 176, 72
    if bx <= x < bx + bwid and by <= y < by + bhei and not outside_round(x - bx, y - by, bwid, bhei, 24):
        if (x - 84) ** 2 + (y - 100) ** 2 < 18 * 18:
            return (250, 250, 255)
        if 128 <= x < 196 and 92 <= y < 108:
            return (250, 200, 60)
        return mix((40, 90, 170), (20, 50, 110), (y - by) / bhei)
    return bg


def write_icon(path):
    size = 32
    pixels = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            inside = not outside_round(x, y, size, size, 7)
            if not inside:
                pixels += bytes((0, 0, 0, 0))
            elif (x - 11) ** 2 + (y - 16) ** 2 < 25:
                pixels += bytes((255, 255, 255, 255))
            elif 17 <= x < 27 and 14 <= y < 18:
                pixels += bytes((60, 200, 250, 255))
            else:
                r, g, b = mix((54, 104, 178), (24, 62, 128), y / 31)
                pixels += bytes((b, g, r, 255))
    mask = b"\0" * (4 * size)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = info + bytes(pixels) + mask
    header = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22)
    with open(path, "wb") as f:
        f.write(header + image)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    bin_dir, res_dir = sys.argv[1], sys.argv[2]
    skin = os.path.join(bin_dir, "Skins", "default")
    os.makedirs(skin, exist_ok=True)
    os.makedirs(res_dir, exist_ok=True)
    with open(os.path.join(skin, "theme.ini"), "w", newline="\r\n") as f:
        f.write(THEME_INI)
    write_bmp(os.path.join(skin, "top.bmp"), 96, 26, caption_strip)
    write_bmp(os.path.join(skin, "bottom.bmp"), 96, 5, bottom_strip)
    write_bmp(os.path.join(skin, "left.bmp"), 5, 16, side)
    write_bmp(os.path.join(skin, "right.bmp"), 5, 16, lambda x, y: side(4 - x, y))
    for name in ("close", "max", "min", "restore", "help"):
        write_bmp(os.path.join(skin, name + ".bmp"), *caption_button(name))
    write_bmp(os.path.join(skin, "push.bmp"), *push_button())
    write_bmp(os.path.join(skin, "check.bmp"), *check_like(False))
    write_bmp(os.path.join(skin, "radio.bmp"), *check_like(True))
    write_jpeg(os.path.join(bin_dir, "logo.jpg"), 256, 192, logo_pixel)
    write_icon(os.path.join(res_dir, "tool.ico"))


if __name__ == "__main__":
    main()
