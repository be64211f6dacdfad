#!/usr/bin/python3
"""Prints a picture (PNG, JPEG or a PDF page) alone on a label, fitted to it and dithered.

    print_picture.py --wifi 192.0.2.10 logo.png --label 50x30 [--dither label] [--page 2]

Without --label the label is the picture's own size. A picture that is wider than high goes
on a label that is higher than wide turned a quarter, and the other way round.
"""

import argparse
import sys

import quillkit
from printer_args import add_link_arguments, run


def label_size(text: str) -> tuple[float, float]:
    """WIDTHxHEIGHT in millimetres."""
    try:
        width, height = (float(side) for side in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not WIDTHxHEIGHT: {text}") from None
    if not (0 < width <= 1000 and 0 < height <= 1000):
        raise argparse.ArgumentTypeError(f"not a label size in millimetres: {text}")
    return width, height


def label_picture(path: str, stock: quillkit.LabelStock, dither: quillkit.Dither,
                  page: int) -> quillkit.MonoImage:
    """The page of the file fitted to the label and dithered; ValueError with the reason when
    the file cannot be read or the label is out of range."""
    width, height = quillkit.stock_dots(stock)
    options = quillkit.PictureOptions(width=width, height=height,
                                      rotation=quillkit.Rotation.automatic, dither=dither)
    load = quillkit.LoadOptions(dpi=stock.dpi, first_page=page, last_page=page)
    return quillkit.convert_picture_file(path, options, load).pages[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_link_arguments(parser)
    parser.add_argument("picture", help="a PNG, JPEG or PDF file")
    parser.add_argument("--label", type=label_size, metavar="WxH",
                        help="the label in millimetres (default: the picture's size)")
    parser.add_argument("--dpi", type=int, default=203, choices=[203, 300, 600],
                        help="the printer's resolution (default 203)")
    parser.add_argument("--dither", default="label", choices=quillkit.Dither.__members__,
                        help="how grey becomes dots (default label: sharp text and barcodes)")
    parser.add_argument("--page", type=int, default=1, help="the page of a PDF (default 1)")
    args = parser.parse_args()
    if args.page < 1:
        parser.error("--page: from 1")
    width_mm, height_mm = args.label or (0, 0)
    stock = quillkit.LabelStock(dpi=args.dpi, width_mm=width_mm, height_mm=height_mm)
    try:
        picture = label_picture(args.picture, stock, quillkit.Dither.__members__[args.dither],
                                args.page)
    except ValueError as error:
        print(f"print_picture: {error}", file=sys.stderr)
        return 1

    def print_on(printer: quillkit.Printer) -> None:
        printer.printpicture(picture, stock)  # PrinterError when it fails

    return run(args, print_on)


if __name__ == "__main__":
    sys.exit(main())
