"""Testing your own label code without a printer: run it against quillkit.VirtualPrinter,
then look at what the printer received and drew.

    python3 -m pytest examples/python/test_my_label.py
"""

from typing import Iterator

import pytest

import quillkit
from print_label import compose


@pytest.fixture
def printer() -> Iterator[tuple[quillkit.WiFi, quillkit.VirtualPrinter]]:
    virtual = quillkit.VirtualPrinter()
    with quillkit.VirtualPrinterServer(virtual) as server, \
            quillkit.WiFi.connect("127.0.0.1", server.port(), check=True) as wifi:
        yield wifi, virtual


def test_the_label_has_its_title_and_barcode(
        printer: tuple[quillkit.WiFi, quillkit.VirtualPrinter]) -> None:
    wifi, virtual = printer
    compose(wifi, "Parcel 7", "PARCEL7")
    assert virtual.wait_for_labels(1, 5)
    assert b'BARCODE 10,80,"128",50,1,0,2,2,"PARCEL7"\r\n' in virtual.transcript()
    label = virtual.labels()[0]
    assert (label.width, label.height) == (480, 320)  # 60 x 40 mm at 203 dpi
    assert any(label.ink(x, 100) for x in range(10, 200))  # the bars
    assert label.png().startswith(b"\x89PNG")
