"""The link options the examples share: --wifi HOST[:PORT], --bt [DEVICE], --ble NAME."""

import argparse
import sys
from typing import Callable, Union

import quillkit


def wifi_target(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":") if ":" in text else (text, "", "9100")
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"not HOST[:PORT]: {text}")
    return host, int(port)


def add_link_arguments(parser: argparse.ArgumentParser) -> None:
    link = parser.add_mutually_exclusive_group(required=True)
    link.add_argument("--wifi", type=wifi_target, metavar="HOST[:PORT]",
                      help="a printer on the network (port 9100 by default)")
    link.add_argument("--bt", nargs="?", const="", metavar="DEVICE",
                      help="a Bluetooth serial printer: the first paired one, an address, "
                           "or a device path such as /dev/rfcomm0")
    link.add_argument("--ble", metavar="NAME", help="a BLE printer, by name or address")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the library's diagnostic lines on standard error")


AnyPrinter = Union[quillkit.WiFi, quillkit.Bluetooth, quillkit.BLE]


def open_printer(args: argparse.Namespace) -> AnyPrinter:
    """Opens the printer the options name, with check=True: a failed operation raises
    quillkit.PrinterError. Use the result with `with`, which closes it."""
    # The library writes its diagnostic lines to standard output unless told otherwise.
    if args.verbose:
        quillkit.set_log_sink(lambda channel, line: print(line, file=sys.stderr))
    else:
        quillkit.set_log_sink(lambda channel, line: None)
    if args.wifi:
        return quillkit.WiFi.connect(*args.wifi, check=True)
    if args.bt is not None:
        return quillkit.Bluetooth.connect(args.bt or None, check=True)
    return quillkit.BLE.connect(args.ble, check=True)


def run(args: argparse.Namespace, work: Callable[[AnyPrinter], None]) -> int:
    """Opens the printer, runs work(printer) and closes it; the exit status: 0, or 1 with the
    reason on standard error when an operation failed. Ctrl-C ends the work quietly."""
    try:
        with open_printer(args) as printer:
            work(printer)
    except quillkit.PrinterError as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0
