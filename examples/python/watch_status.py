#!/usr/bin/python3
"""Watches a printer's status and prints each change: "12:00:01 ready", "12:00:09 out of paper".

    watch_status.py --wifi 192.0.2.10 [--every 2] [--count N]
"""

import argparse
import sys
import time

import quillkit
from printer_args import add_link_arguments, run


def status_text(printer: quillkit.Printer) -> str:
    byte = printer.printer_status_byte()  # waits 1.2 s on WiFi (1.3 s on Bluetooth)
    if not 0 <= byte <= 255:
        return "no answer"
    return quillkit.decode_status(byte).text()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_link_arguments(parser)
    parser.add_argument("--every", type=float, default=2.0, help="seconds between queries")
    parser.add_argument("--count", type=int, default=0, help="stop after N queries (0: never)")
    args = parser.parse_args()

    def watch(printer: quillkit.Printer) -> None:
        last, asked = None, 0
        while args.count == 0 or asked < args.count:
            if asked:
                time.sleep(args.every)
            text, asked = status_text(printer), asked + 1
            if text != last:
                print(time.strftime("%H:%M:%S"), text, flush=True)
                last = text

    return run(args, watch)


if __name__ == "__main__":
    sys.exit(main())
