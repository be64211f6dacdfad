#!/usr/bin/python3
"""Prints a sample label: a title in a printer font, a Code 128 and a line in a host font.

    print_label.py --wifi 192.0.2.10         # or --wifi 127.0.0.1:PORT for `quill serve`
    print_label.py --bt /dev/rfcomm0 --title "Parcel 7" --code PARCEL7
"""

import argparse
import sys

import quillkit
from printer_args import add_link_arguments, run


def compose(printer: quillkit.Printer, title: str, code: str) -> None:
    """The label, 60 x 40 mm with a 2 mm gap, printed once."""
    printer.setup("60", "40", "4", "8", "0", "2", "0")
    printer.clearBuffer()
    printer.printerfont("10", "20", "3", "0", "1", "1", title)
    printer.barcode("10", "80", "128", "50", "1", "0", "2", "2", code)
    printer.windowsfont(10, 200, 32, 0, 2, 0, "DejaVu Sans", "Host font, bold")
    printer.printlabel(1, 1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_link_arguments(parser)
    parser.add_argument("--title", default="Hello from Python")
    parser.add_argument("--code", default="ABC123", help="the barcode's data")
    args = parser.parse_args()
    return run(args, lambda printer: compose(printer, args.title, args.code))


if __name__ == "__main__":
    sys.exit(main())
