#!/usr/bin/python3
"""A picture made into a label's bitmap through Pillow, for comparison with
quillkit's picture conversion.

Usage:
  pillow_picture.py make FOLDER
    writes picture.png and picture.jpg (the same photo-like 1600 x 2400 grey
    picture) and label.pdf (a 4 x 6 inch shipping label: text, bars, a photo).
  pillow_picture.py time FILE WIDTH HEIGHT
    opens FILE, scales it to WIDTH x HEIGHT with the box filter, converts it to
    1 bit (Floyd-Steinberg) and takes its bytes, as often as fits in about half
    a second of processor time after one warm-up, and prints the processor
    seconds of one run.
  pillow_picture.py time-loaded FILE WIDTH HEIGHT
    the same from the picture opened and decoded once, before the timing.
"""
import random
import sys
import time
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter


def photo(width, height):
    random.seed(7)
    image = Image.linear_gradient("L").resize((width, height))
    draw = ImageDraw.Draw(image)
    for _ in range(40):
        x, y, r = random.randrange(width), random.randrange(height), random.randrange(20, 200)
        draw.ellipse((x - r, y - r, x + r, y + r), fill=random.randrange(256))
    image = image.filter(ImageFilter.GaussianBlur(3))
    return Image.blend(image, Image.effect_noise((width, height), 12), 0.1)


def make(folder):
    import cairo

    folder.mkdir(parents=True, exist_ok=True)
    picture = photo(1600, 2400)
    picture.save(folder / "picture.png")
    picture.save(folder / "picture.jpg", quality=90)

    surface = cairo.PDFSurface(str(folder / "label.pdf"), 288, 432)
    cr = cairo.Context(surface)
    cr.select_font_face("DejaVu Sans", cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_BOLD)
    for line, text in enumerate(["SHIP TO:", "Jane Example", "12 Sample Road", "9999 Town"]):
        cr.set_font_size(18 if line == 0 else 14)
        cr.move_to(20, 40 + 22 * line)
        cr.show_text(text)
    random.seed(3)
    x = 20.0
    while x < 268:
        width = random.choice([0.75, 1.5, 2.25])
        cr.rectangle(x, 150, width, 70)
        x += width + random.choice([0.75, 1.5, 2.25])
    cr.fill()
    small = photo(240, 160).convert("RGB")
    rgb = cairo.ImageSurface(cairo.FORMAT_RGB24, 240, 160)
    data = rgb.get_data()
    for y in range(160):
        for x, (r, g, b) in enumerate(small.crop((0, y, 240, y + 1)).getdata()):
            data[(y * rgb.get_stride()) + 4 * x:(y * rgb.get_stride()) + 4 * x + 4] = bytes(
                (b, g, r, 255))
    rgb.mark_dirty()
    cr.set_source_surface(rgb, 24, 250)
    cr.paint()
    surface.finish()


def convert(image, width, height):
    return image.resize((width, height), Image.BOX).convert("1").tobytes()


def open_and_convert(path, width, height):
    with Image.open(path) as image:
        return convert(image, width, height)


def main():
    if sys.argv[1] == "make":
        make(Path(sys.argv[2]))
        return
    path, width, height = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    if sys.argv[1] == "time-loaded":
        loaded = Image.open(path)
        loaded.load()
        run = lambda: convert(loaded, width, height)
    else:
        run = lambda: open_and_convert(path, width, height)
    run()
    count = 0
    start = time.process_time()
    while count < 5 or time.process_time() - start < 0.5:
        run()
        count += 1
    print((time.process_time() - start) / count)


if __name__ == "__main__":
    main()
