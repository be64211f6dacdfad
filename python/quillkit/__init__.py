"""Drive thermal label printers over TCP, Bluetooth serial and Bluetooth Low Energy.

The printer classes have every operation of the C++ library under its own name and give the
same results: 1 done, -1 failed, -2 no space (retry), "-1" for a text with no value. Every wait
runs with the interpreter lock released, so other Python threads keep running.

Beside them, this module adds a Python layer: each class opens as a context manager,

    with quillkit.WiFi.connect("192.0.2.10") as printer:
        printer.sendcommand("SIZE 60 mm,40 mm\\r\\nCLS\\r\\n")

and a printer made with check=True raises PrinterError instead of returning a failure value.

Pictures load, fit and dither as in C++ (load_picture, convert_picture_file, PictureOptions,
printer.printpicture); where C++ gives an error text or an empty image, they raise ValueError
with the library's reason.
"""

from __future__ import annotations

import enum
import time
from typing import Any, Callable, Optional, TypeVar, Union

from . import _quillkit
from ._quillkit import (
    BitmapMode,
    BLEPeripheral,
    BluetoothDevice,
    Dither,
    Fit,
    GreyImage,
    GreyPages,
    Image,
    LabelStock,
    LoadOptions,
    LogChannel,
    MonoImage,
    MonoPages,
    PictureOptions,
    Printer,
    PrinterState,
    Rotation,
    StreamStatus,
    Upscale,
    VirtualAnswers,
    VirtualAnswerTiming,
    VirtualFile,
    VirtualLabel,
    VirtualLabelSetup,
    VirtualPrinter,
    __version__,
    convert_picture,
    convert_picture_file,
    decode_status,
    dither_picture,
    fit_picture,
    kMaxPixels,
    load_label_png,
    bitmap_bytes,
    load_picture,
    picture_options_error,
    quillkitVersionNumber,
    quillkitVersionString,
    same_uuid,
    save_label_png,
    set_log_sink,
    stock_dots,
)

__all__ = [
    "BLE", "BLEPeripheral", "BitmapMode", "Bluetooth", "BluetoothDevice", "Dither",
    "FAILURE_TEXT", "Fit", "GreyImage", "GreyPages", "Image", "LabelStock", "LoadOptions",
    "LogChannel", "MonoImage", "MonoPages", "PictureOptions", "Printer", "PrinterError",
    "PrinterState", "Result", "Rotation", "StreamStatus", "Upscale", "VirtualAnswers",
    "VirtualAnswerTiming", "VirtualFile", "VirtualLabel", "VirtualLabelSetup", "VirtualPrinter",
    "VirtualPrinterPty", "VirtualPrinterServer", "WiFi", "__version__", "bitmap_bytes", "convert_picture",
    "convert_picture_file", "decode_status", "dither_picture", "fit_picture", "kMaxPixels",
    "load_label_png", "load_picture", "picture_options_error", "quillkitVersionNumber",
    "quillkitVersionString", "same_uuid", "save_label_png", "set_log_sink", "stock_dots",
]


class Result(enum.IntEnum):
    """The result codes of open, close and command operations (they return plain ints)."""

    DONE = 1  # handed to the link, or the port opened or closed
    FAILED = -1  # the link cannot be used, the port did not open, or a text cannot be encoded
    NO_SPACE = -2  # WiFi senders: no space on the output at that moment; nothing written: retry


#: What the operations that return text give when they have no value.
FAILURE_TEXT = "-1"


class PrinterError(Exception):
    """An operation of a printer made with check=True returned its failure value.

    `operation` names it, `result` is what it returned and `reason` says what that means.
    """

    def __init__(self, operation: str, result: Union[int, str], reason: str) -> None:
        super().__init__(f"{operation} returned {result!r}: {reason}")
        self.operation = operation
        self.result = result
        self.reason = reason


_NO_SPACE_REASON = "the output had no space at that moment and nothing was written: retry"
_NO_LINK = "the link cannot be used"
_NOT_ENCODABLE = "a text is not valid UTF-8 or cannot be represented in the operation's encoding"
_NO_ANSWER = ("no answer: the link is down, the request was not written, or the answer was "
              "still arriving at the end of the wait")

# The operations that check=True watches, and what their failure value means.
_FAILURE_REASONS = {
    "openport": "the port did not open",
    "openport_mfi": "the session did not open within the wait",
    "openport_ble": "the peripheral did not become ready within the bound",
    "sendBinaryData": "the write failed: the link is closed, failed or stalled",
    "BLE_WriteData": "no peripheral or write characteristic is known",
    "downloadpcx": ("the path is not a readable regular file of at most 64 MiB, or the name "
                    "cannot be encoded in Big5-HKSCS; nothing was sent"),
    "windowsfont": "the link check failed",
    "sendbitmap": ("the picture is empty or the mode unknown (nothing written), or the link "
                   "check failed"),
    "printpicture": ("fewer than 1 copy, a label stock out of range or an empty picture "
                     "(nothing written), or the link check failed before the picture"),
    "wait_until_sent": "the link is down or went down before the bytes left",
    "smartbattery_status": ("no value: an index outside 0 to 8, the link down, the answer "
                            "still arriving or too short"),
    "printer_status_byte": _NO_ANSWER,
    "sendcommand_getstring": _NO_ANSWER,
}
for _name in ("sendcommand", "sendcommand_utf8", "sendcommand_big5", "sendcommand_gb2312",
              "sendcommandWithData", "sendCommandWithData"):
    _FAILURE_REASONS[_name] = f"{_NO_LINK}, or {_NOT_ENCODABLE}; nothing was written"
for _name in ("setup", "clearBuffer", "formfeed", "nobackfeed", "printlabel", "barcode",
              "printerfont", "printerfont_GB2312", "printerfont_Big5"):
    _FAILURE_REASONS[_name] = f"{_NOT_ENCODABLE}; nothing was written"
for _name in ("printer_codepage", "printer_mileage", "printer_memory", "printer_files",
              "printer_modelname", "printer_serialnumber", "printer_status"):
    _FAILURE_REASONS[_name] = _NO_ANSWER
del _name

# Texts that mean "no value": "-1" everywhere, and "-11" from Bluetooth's printer_status(delay)
# when nothing was read.
_FAILURE_TEXTS = (FAILURE_TEXT, "-11")


def _checked(name: str, operation: Callable[..., Any]) -> Callable[..., Any]:
    reason = _FAILURE_REASONS[name]

    def call(self: Any, *args: Any, **kwargs: Any) -> Any:
        result = operation(self, *args, **kwargs)
        if isinstance(result, str):
            if result in _FAILURE_TEXTS:
                raise PrinterError(name, result, reason)
        elif isinstance(result, int) and result < 0:
            raise PrinterError(name, result, _NO_SPACE_REASON if result == -2 else reason)
        return result

    call.__name__ = name
    call.__doc__ = operation.__doc__
    return call


_Self = TypeVar("_Self")


class _Pythonic:
    """The Python layer shared by the printer classes: check=True and the context manager.

    Each class has a twin whose operations check their results; WiFi(check=True) makes one of
    those. Printers made without check=True call the bound operations directly, at no cost.
    """

    _close_delay: Optional[float] = None
    _checking: type

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "_checking" in cls.__dict__:
            return  # the twin itself
        namespace: dict[str, Any] = {
            name: _checked(name, getattr(cls, name))
            for name in _FAILURE_REASONS if hasattr(cls, name)}
        namespace.update(_checking=None, __module__=cls.__module__,
                         __qualname__=cls.__qualname__, __doc__=cls.__doc__)
        twin: Any = type(cls.__name__, (cls,), namespace)
        twin._checking = twin
        cls._checking = twin

    def __new__(cls: Any, *args: Any, check: bool = False, **kwargs: Any) -> Any:
        return super().__new__(cls._checking if check else cls)  # type: ignore[misc]

    def _close(self) -> None:
        if self._close_delay is None:
            self.closeport()  # type: ignore[attr-defined]
        else:
            self.closeport(self._close_delay)  # type: ignore[attr-defined]

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self._close()


class WiFi(_Pythonic, _quillkit.WiFi):
    """A printer reached over TCP (port 9100 by default). See quillkit._quillkit.WiFi."""

    def __init__(self, *, check: bool = False) -> None:
        super().__init__()
        self._close_delay = 0.0

    @classmethod
    def connect(cls, host: str, port: int = _quillkit.WiFi.kDefaultPort, *, check: bool = False,
                close_delay: float = 0.0) -> "WiFi":
        """Opens host:port (waiting 1.5 s) and returns the open printer; PrinterError if the
        port did not open. Used with `with`, the printer closes after close_delay seconds."""
        printer = cls(check=check)
        printer._close_delay = close_delay
        if printer.openport(host, port) != 1:
            raise PrinterError("openport", -1, f"{host}:{port} did not open")
        return printer


class Bluetooth(_Pythonic, _quillkit.Bluetooth):
    """A printer reached over a classic Bluetooth serial link (BlueZ or a serial device path).
    See quillkit._quillkit.Bluetooth."""

    def __init__(self, *, check: bool = False) -> None:
        super().__init__()

    @classmethod
    def connect(cls, device: Optional[str] = None, *, check: bool = False,
                open_wait: float = 10.0, close_delay: Optional[float] = None) -> "Bluetooth":
        """Opens the first paired serial printer, or `device` (an address or a path such as
        /dev/rfcomm0), waiting up to open_wait seconds for a session that is slow to come up;
        PrinterError if it does not. Used with `with`, the printer closes with closeport(), or
        after close_delay seconds when given."""
        printer = cls(check=check)
        printer._close_delay = close_delay
        opened = (_quillkit.Bluetooth.openport_mfi(printer) if device is None
                  else _quillkit.Bluetooth.openport_mfi(printer, device))
        deadline = time.monotonic() + open_wait
        while opened != 1 and printer.openport_status() == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
            opened = printer.openport_status()
        if opened != 1 and printer.openport_status() != 1:
            raise PrinterError("openport_mfi", -1, f"{device or 'no paired printer'} did not open")
        return printer


class BLE(_Pythonic, _quillkit.BLE):
    """A printer reached over Bluetooth Low Energy. See quillkit._quillkit.BLE."""

    #: The peripheral that connect() opened.
    peripheral: Optional[BLEPeripheral] = None

    def __init__(self, *, check: bool = False) -> None:
        super().__init__()  # waits 1.0 s for the adapter's state

    @classmethod
    def connect(cls, peripheral: Union[str, BLEPeripheral], *, check: bool = False,
                search_seconds: float = 5.0, close_delay: Optional[float] = None) -> "BLE":
        """Opens a peripheral: a BLEPeripheral, or the name, address or identifier of one found
        by a search of search_seconds (then in the printer's `peripheral`, with the services it
        offers in `uuids`); PrinterError if none is found or it does not open."""
        printer = cls(check=check)
        printer._close_delay = close_delay
        if isinstance(peripheral, str):
            wanted = peripheral
            found = [p for p in printer.searchBLEDevice(search_seconds)
                     if wanted in (p.name, p.address, p.identifier)]
            if not found:
                raise PrinterError("searchBLEDevice", FAILURE_TEXT, f"{wanted} was not found")
            peripheral = found[0]
        if _quillkit.BLE.openport_ble(printer, peripheral) != 1:
            raise PrinterError("openport_ble", -1, f"{peripheral.name} did not become ready")
        printer.peripheral = peripheral
        return printer


class _Serving:
    """Servers as context managers: start (OSError when they cannot), then stop."""

    def __enter__(self: _Self) -> _Self:
        if not self.start():  # type: ignore[attr-defined]
            raise OSError(self.error())  # type: ignore[attr-defined]
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()  # type: ignore[attr-defined]


class VirtualPrinterServer(_Serving, _quillkit.VirtualPrinterServer):
    """A TCP server in front of a VirtualPrinter (127.0.0.1 and a free port by default)."""


class VirtualPrinterPty(_Serving, _quillkit.VirtualPrinterPty):
    """A VirtualPrinter on a pseudo-terminal, for Bluetooth.openport_mfi(path)."""
