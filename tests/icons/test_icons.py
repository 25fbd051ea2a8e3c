"""Checks the committed tray icons: structure, depths, badge colours, reproducible generation."""

import os
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
ICON_DIR = REPO / "res" / "icons"
GENERATOR = ICON_DIR / "generate.sh"

ICONS = {
    100: "tuner.ico",
    101: "tuner_notready.ico",
    102: "tuner_ready.ico",
}
BMP_SIZES = (16, 24, 32, 48)
BMP_DEPTHS = (4, 8, 32)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


# ---------------------------------------------------------------- parsing


class IconImage:
    """One image of an .ico: its directory entry and its pixels as rows of (r, g, b, a)."""

    def __init__(self, entry, data):
        (self.dir_width, self.dir_height, self.dir_colours, _reserved, self.dir_planes,
         self.dir_bits, self.size, self.offset) = entry
        self.data = data
        self.is_png = data.startswith(PNG_SIGNATURE)
        if self.is_png:
            self.width, self.height, self.bits, self.pixels = decode_png(data)
            self.palette = []
        else:
            (self.width, self.height, self.bits, self.palette,
             self.pixels) = decode_dib(data)


def read_icon(path):
    blob = Path(path).read_bytes()
    reserved, kind, count = struct.unpack_from("<HHH", blob, 0)
    assert (reserved, kind) == (0, 1), f"{path}: not an icon file"
    images = []
    for index in range(count):
        entry = struct.unpack_from("<BBBBHHII", blob, 6 + 16 * index)
        size, offset = entry[6], entry[7]
        assert offset + size <= len(blob), f"{path}: image {index + 1} runs past the end"
        images.append(IconImage(entry, blob[offset:offset + size]))
    return images


def decode_dib(data):
    (header_size, width, double_height, planes, bits, compression, _image_size, _xppm, _yppm,
     colours_used, _important) = struct.unpack_from("<IiiHHIIiiII", data, 0)
    assert header_size == 40 and planes == 1 and compression == 0
    height = double_height // 2
    assert double_height == 2 * height
    palette = []
    pos = header_size
    if bits <= 8:
        entries = colours_used or (1 << bits)
        for i in range(entries):
            b, g, r, _ = data[pos + 4 * i:pos + 4 * i + 4]
            palette.append((r, g, b))
        pos += 4 * entries
    color_stride = ((width * bits + 31) // 32) * 4
    mask_stride = ((width + 31) // 32) * 4
    mask_start = pos + color_stride * height
    assert mask_start + mask_stride * height <= len(data), "bitmap data truncated"
    pixels = []
    for y in range(height):
        src_row = height - 1 - y  # bottom-up
        row_start = pos + src_row * color_stride
        mask_row = mask_start + src_row * mask_stride
        row = []
        for x in range(width):
            transparent = (data[mask_row + x // 8] >> (7 - x % 8)) & 1
            if bits == 32:
                b, g, r, a = data[row_start + 4 * x:row_start + 4 * x + 4]
            elif bits == 8:
                index = data[row_start + x]
                assert index < len(palette), "palette index out of range"
                (r, g, b), a = palette[index], 255
            elif bits == 4:
                byte = data[row_start + x // 2]
                index = byte >> 4 if x % 2 == 0 else byte & 0x0F
                assert index < len(palette), "palette index out of range"
                (r, g, b), a = palette[index], 255
            else:
                raise AssertionError(f"unexpected bit depth {bits}")
            if bits != 32 and transparent:
                a = 0
            row.append((r, g, b, a))
        pixels.append(row)
    return width, height, bits, palette, pixels


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode_png(data):
    """Decodes the 8-bit RGBA, non-interlaced PNGs the generator writes."""
    pos = len(PNG_SIGNATURE)
    idat = b""
    header = None
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        crc, = struct.unpack_from(">I", data, pos + 8 + length)
        assert zlib.crc32(kind + body) == crc, f"bad CRC in {kind!r}"
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
        if kind == b"IEND":
            break
    assert header is not None, "PNG without IHDR"
    width, height, depth, colour_type, _compr, _filter, interlace = header
    assert (depth, colour_type, interlace) == (8, 6, 0), "expected 8-bit RGBA, not interlaced"
    raw = zlib.decompress(idat)
    stride = width * 4
    previous = bytearray(stride)
    pixels = []
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            up_left = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + paeth(left, up, up_left)) & 0xFF
            else:
                assert kind == 0, f"unknown PNG filter {kind}"
        pixels.append([tuple(line[4 * x:4 * x + 4]) for x in range(width)])
        previous = line
    return width, height, 32, pixels


# ---------------------------------------------------------------- helpers


def committed(resource):
    return ICON_DIR / ICONS[resource]


@pytest.fixture(scope="module")
def icons():
    return {resource: read_icon(committed(resource)) for resource in ICONS}


def image(images, size, bits):
    matches = [img for img in images if not img.is_png and img.width == size and img.bits == bits]
    assert len(matches) == 1, f"expected one {size} px {bits}-bit image, found {len(matches)}"
    return matches[0]


def png_image(images):
    matches = [img for img in images if img.is_png]
    assert len(matches) == 1
    return matches[0]


def badge_colour_counts(img):
    """Opaque, clearly red and clearly green pixels in the bottom-right quadrant."""
    half = img.width // 2
    red = green = 0
    for row in img.pixels[half:]:
        for r, g, b, a in row[half:]:
            if a < 128:
                continue
            if r > 150 and r > g + 80 and r > b + 80:
                red += 1
            elif g > 120 and g > r + 60 and g > b + 60:
                green += 1
    return red, green


def opaque_bounds(img, predicate):
    xs = [x for row in img.pixels for x, p in enumerate(row) if p[3] >= 128 and predicate(p)]
    ys = [y for y, row in enumerate(img.pixels) for p in row if p[3] >= 128 and predicate(p)]
    return (min(xs), min(ys), max(xs), max(ys)) if xs else None


# ---------------------------------------------------------------- structure


@pytest.mark.parametrize("resource", sorted(ICONS))
class TestStructure:
    def test_thirteen_images_with_every_size_and_depth(self, icons, resource):
        images = icons[resource]
        assert len(images) == 13
        found = sorted((img.width, img.bits) for img in images if not img.is_png)
        assert found == sorted((s, d) for s in BMP_SIZES for d in BMP_DEPTHS)
        assert sum(img.is_png for img in images) == 1

    def test_directory_agrees_with_bitmaps(self, icons, resource):
        for img in icons[resource]:
            if img.is_png:
                continue
            assert (img.dir_width, img.dir_height) == (img.width, img.height)
            assert img.width == img.height
            assert img.dir_bits == img.bits
            assert img.dir_planes == 1
            assert img.size == len(img.data)

    def test_palettes_fit_the_depth(self, icons, resource):
        for img in icons[resource]:
            if img.is_png or img.bits == 32:
                continue
            assert 0 < len(img.palette) <= (1 << img.bits)
            if img.bits == 4:
                assert img.dir_colours == 16

    def test_png_image_is_256_rgba(self, icons, resource):
        png = png_image(icons[resource])
        assert (png.width, png.height) == (256, 256)
        assert (png.dir_width, png.dir_height) == (0, 0)  # 0 stands for 256 in the directory
        assert png.dir_bits == 32

    def test_every_image_has_transparent_and_opaque_pixels(self, icons, resource):
        for img in icons[resource]:
            alphas = [p[3] for row in img.pixels for p in row]
            assert min(alphas) == 0, f"{img.width} px {img.bits}-bit has no transparency"
            assert max(alphas) == 255, f"{img.width} px {img.bits}-bit is empty"
            if img.bits in (4, 8):
                assert set(alphas) <= {0, 255}

    def test_icotool_lists_the_same_depths(self, resource):
        if shutil.which("icotool") is None:
            pytest.skip("icotool not installed")
        listing = subprocess.run(["icotool", "-l", str(committed(resource))], check=True,
                                 capture_output=True, text=True).stdout.split("\n")
        rows = [dict(part[2:].split("=", 1) for part in line.split() if "=" in part)
                for line in listing if line.strip()]
        assert len(rows) == 13
        pairs = sorted((int(r["width"]), int(r["bit-depth"]), int(r["palette-size"])) for r in rows)
        expected = sorted([(s, 4, 16) for s in BMP_SIZES] + [(s, 8, 256) for s in BMP_SIZES]
                          + [(s, 32, 0) for s in BMP_SIZES] + [(256, 32, 0)])
        assert pairs == expected


# ---------------------------------------------------------------- pictures


class TestPictures:
    @pytest.mark.parametrize("bits", BMP_DEPTHS)
    def test_16px_badges_are_red_and_green(self, icons, bits):
        red_101, green_101 = badge_colour_counts(image(icons[101], 16, bits))
        red_102, green_102 = badge_colour_counts(image(icons[102], 16, bits))
        assert red_101 >= 20 and green_101 == 0, (red_101, green_101)
        assert green_102 >= 20 and red_102 == 0, (red_102, green_102)

    @pytest.mark.parametrize("bits", BMP_DEPTHS)
    def test_plain_box_has_no_badge(self, icons, bits):
        for size in BMP_SIZES:
            assert badge_colour_counts(image(icons[100], size, bits)) == (0, 0)

    def test_badges_at_every_size(self, icons):
        for size in BMP_SIZES:
            for bits in BMP_DEPTHS:
                red, green = badge_colour_counts(image(icons[101], size, bits))
                assert red > green * 4 and red >= size, (size, bits, red, green)
                red, green = badge_colour_counts(image(icons[102], size, bits))
                assert green > red * 4 and green >= size, (size, bits, red, green)
        red, green = badge_colour_counts(png_image(icons[101]))
        assert red > 5000 and green == 0
        red, green = badge_colour_counts(png_image(icons[102]))
        assert green > 5000 and red == 0

    def test_16px_badge_spans_about_sixty_percent(self, icons):
        def coloured(p):
            r, g, b, _ = p
            return max(r, g) - min(r, g) > 60 and b < 100  # red or green, not the grey box
        for resource in (101, 102):
            left, top, right, bottom = opaque_bounds(image(icons[resource], 16, 32), coloured)
            assert right - left + 1 >= 9 and bottom - top + 1 >= 9
            assert right == 15 and bottom == 15  # tucked into the bottom-right corner

    def test_badge_has_white_mark(self, icons):
        for resource in (101, 102):
            img = image(icons[resource], 16, 32)
            whites = sum(1 for row in img.pixels[8:] for p in row[8:]
                         if p[3] == 255 and min(p[:3]) > 230)
            assert whites >= 6, (resource, whites)

    @pytest.mark.parametrize("bits", BMP_DEPTHS)
    def test_same_box_under_every_badge(self, icons, bits):
        """The top-left quarter shows only the box, so it is the same in all three icons."""
        for size in BMP_SIZES:
            quarters = []
            for resource in sorted(ICONS):
                pixels = image(icons[resource], size, bits).pixels
                quarters.append([row[:size // 3] for row in pixels[:size // 3]])
            assert quarters[0] == quarters[1] == quarters[2], size


# ---------------------------------------------------------------- reproducible generation


def test_regeneration_reproduces_committed_files(tmp_path):
    convert = os.environ.get("CONVERT") or (
        "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else shutil.which("convert"))
    if not convert or shutil.which("icotool") is None:
        pytest.skip("ImageMagick convert or icotool not installed")
    out = tmp_path / "icons"
    subprocess.run(["sh", str(GENERATOR), str(out)], check=True,
                   env={**os.environ, "CONVERT": convert, "TMPDIR": str(tmp_path)})
    for name in ICONS.values():
        assert (out / name).read_bytes() == (ICON_DIR / name).read_bytes(), name
    assert sorted(p.name for p in out.iterdir()) == sorted(ICONS.values())
    assert list(tmp_path.glob("tavrix-icons.*")) == []  # its work directory is cleaned up
