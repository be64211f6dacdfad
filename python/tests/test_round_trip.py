"""A label and the queries through each link to the virtual printer: TCP, a pseudo-terminal
(the Bluetooth class opening a device path) and BLE through the fake BlueZ; a picture printed
as a label."""

import quillkit


def label_and_queries(printer, virtual):
    """Prints one label and asks model, status and battery; what came back."""
    assert printer.setup("60", "40", "4", "8", "0", "2", "0") == 1
    printer.clearBuffer()
    printer.printerfont("10", "20", "3", "0", "1", "1", "Hello from Python")
    printer.barcode("10", "80", "128", "50", "1", "0", "2", "2", "ABC123")
    printer.sendcommand("PRINT 1,1\r\n")  # printlabel's 0.5 s pause is not the point here
    assert virtual.wait_for_labels(1, 5)
    return (printer.printer_modelname(0.3), printer.printer_status_byte(0.3),
            printer.smartbattery_status(1))


def check_label(virtual):
    label = virtual.labels()[0]
    assert (label.width, label.height) == (480, 320)
    assert any(label.dots)
    png = label.png()
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    assert png == virtual.labels()[0].png()


def test_wifi_round_trip_with_undecodable_answer_bytes(printer):
    virtual, port = printer
    answers = virtual.answers()
    answers.model_name = "caf\udce9\r"  # the byte 0xE9 alone: not UTF-8
    answers.status = 0x05
    virtual.set_answers(answers)
    with quillkit.WiFi.connect("127.0.0.1", port) as wifi:
        model, status, voltage = label_and_queries(wifi, virtual)
    assert model.encode("utf-8", "surrogateescape") == b"caf\xe9\r"
    assert (status, voltage) == (5, "7400")
    assert quillkit.decode_status(status).conditions() == ["head opened", "out of paper"]
    check_label(virtual)


def test_bluetooth_round_trip_over_a_pseudo_terminal():
    virtual = quillkit.VirtualPrinter()
    with quillkit.VirtualPrinterPty(virtual) as pty:
        with quillkit.Bluetooth.connect(pty.path(), close_delay=0) as bluetooth:
            assert bluetooth.openport_status() == 1
            assert label_and_queries(bluetooth, virtual) == ("QUILLKIT VP-203\r", 0, "7400")
    check_label(virtual)


def test_ble_round_trip_through_the_fake_bluez(printer, private_bus):
    virtual, port = printer
    # A notification holds the whole reply: a status byte needs a second byte after it.
    answers = virtual.answers()
    answers.status_trailer = b"\r"
    virtual.set_answers(answers)
    private_bus("fake_bluez_gatt.py", "--printer", str(port))
    with quillkit.BLE.connect("VP-BLE", search_seconds=0.3) as ble:
        assert ble.openport_status() == 1
        assert any(quillkit.same_uuid(uuid, quillkit.BLE.SERVICE_UUID)
                   for uuid in ble.peripheral.uuids)
        assert label_and_queries(ble, virtual) == ("QUILLKIT VP-203\r", 0, "7400")
    check_label(virtual)



def test_picture_printed_as_a_label_loads_back_from_its_png(printer, tmp_path):
    virtual, port = printer
    half = [0] * 10 + [255] * 10  # a row of 20 pixels: the left half black
    stock = quillkit.LabelStock(width_mm=5, height_mm=2.5)
    width, height = quillkit.stock_dots(stock)
    picture = quillkit.convert_picture(
        quillkit.GreyImage(20, 10, bytes(half * 10)),
        quillkit.PictureOptions(width=width, height=height, upscale=quillkit.Upscale.nearest))
    with quillkit.WiFi.connect("127.0.0.1", port, check=True) as wifi:
        wifi.printpicture(picture, stock)
        assert virtual.wait_for_labels(1, 5)
    label = virtual.labels()[0]
    assert (label.width, label.height) == (40, 20)
    path = tmp_path / "label.png"
    path.write_bytes(label.png())
    for source in (label.png(), path):
        page, = quillkit.load_picture(source).pages
        assert page.pixels == bytes([0] * 20 + [255] * 20) * 20
