#!/usr/bin/python3
"""Prints a picture (any file Pillow opens) as a 1-bit BITMAP, dithered, scaled to a width.

    print_picture.py --wifi 192.0.2.10 logo.png [--width 400]
"""

import argparse
import sys

from PIL import Image as Picture, ImageOps  # type: ignore[import]  # Pillow has no type hints

import quillkit
from printer_args import add_link_arguments, run


def picture_image(path: str, width: int) -> quillkit.Image:
    """The picture as an image the library packs: dark dots opaque, light dots transparent."""
    with Picture.open(path) as picture:
        grey = ImageOps.exif_transpose(picture).convert("L")
    width -= width % 8  # the packing takes whole bytes of 8 dots
    height = max(1, round(grey.height * width / grey.width))
    ink = ImageOps.invert(grey.resize((width, height)).convert("1").convert("L"))
    blank = Picture.new("L", ink.size, 0)
    rgba = Picture.merge("RGBA", (blank, blank, blank, ink)).tobytes()
    return quillkit.Image(width, height, rgba)


def print_picture(printer: quillkit.Printer, image: quillkit.Image, x: int, y: int) -> None:
    height_mm = image.height // 8 + 1  # 8 dots a millimetre at 203 dpi
    printer.setup(str(image.width // 8 + 1), str(height_mm), "4", "8", "0", "2", "0")
    printer.clearBuffer()
    bits = printer.fnBitsFromImage(image)  # a 0 bit prints
    header = f"BITMAP {x},{y},{image.width // 8},{image.height},0,".encode()
    printer.sendBinaryData(header + bits + b"\r\n")
    printer.printlabel(1, 1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_link_arguments(parser)
    parser.add_argument("picture")
    parser.add_argument("--width", type=int, default=400, help="dots (8 to 2400)")
    args = parser.parse_args()
    if not 8 <= args.width <= 2400:
        parser.error("--width: 8 to 2400 dots")
    try:
        image = picture_image(args.picture, args.width)
    except OSError as error:
        print(f"print_picture: {error}", file=sys.stderr)
        return 1
    return run(args, lambda printer: print_picture(printer, image, 0, 0))


if __name__ == "__main__":
    sys.exit(main())
