"""What crosses into the library: the byte buffers and texts it takes, the arguments it refuses
with TypeError or ValueError, and the Python layer's check=True."""

import array
import gc
import weakref

import pytest

import quillkit

MODEL = b"QUILLKIT VP-203\r"
GREY = quillkit.GreyImage(8, 2)


@pytest.mark.parametrize("query", [
    b"~!T\r\n",
    bytearray(b"~!T\r\n"),
    memoryview(b"xx~!T\r\nxx")[2:-2],
    array.array("B", b"~!T\r\n"),
    array.array("H", [0x217E, 0x0D54, 0x0A]),  # ~! T\r \n: read as its bytes
    "~!T\r\n",
])
def test_buffers_and_text_are_read_as_given(query):
    assert quillkit.VirtualPrinter().feed(query) == MODEL


@pytest.mark.parametrize("call, error", [
    (lambda w: w.sendBinaryData(memoryview(b"abcdef")[::2]), ValueError),  # not contiguous
    (lambda w: w.sendBinaryData("text"), TypeError),
    (lambda w: w.sendBinaryData(None), TypeError),
    (lambda w: w.sendcommand(b"CLS\r\n"), TypeError),  # text takes str only
    (lambda w: w.sendcommand("\ud800"), ValueError),  # a lone surrogate is no text
    (lambda w: w.openport("127.0.0.1", -1), TypeError),
    (lambda w: w.stream_Status(-1), TypeError),
    (lambda w: w.printlabel("1", 1), TypeError),
    (lambda w: w.downloadpcx(42, "NAME"), TypeError),
    (lambda w: w.downloadpcx("/dev/null", "NAME", "not callable"), TypeError),
    (lambda w: w.fnRotateImage(None, 90), TypeError),
    (lambda w: quillkit.Image(-1, 1), TypeError),
    (lambda w: quillkit.Image(40000, 1), ValueError),
    (lambda w: quillkit.Image(10000, 10000), ValueError),
    (lambda w: quillkit.Image(2, 2, b"short"), ValueError),
    (lambda w: quillkit.decode_status(256), TypeError),
    (lambda w: quillkit.set_log_sink("not callable"), TypeError),
    (lambda w: quillkit.VirtualPrinter(on_label=3), TypeError),
    (lambda w: quillkit.VirtualPrinter().wait_for_labels(1, -1), ValueError),
    (lambda w: quillkit.VirtualPrinter().set_status(300), TypeError),
    (lambda w: setattr(quillkit.VirtualAnswerTiming(), "delay", float("nan")), ValueError),
    (lambda w: quillkit.Printer(), TypeError),
    (lambda w: quillkit.load_picture(b"GIF89a not an image"), ValueError),
    (lambda w: quillkit.load_picture("/nonexistent.png"), ValueError),
    (lambda w: quillkit.convert_picture_file(b"", "options"), TypeError),
    (lambda w: quillkit.PictureOptions(width=-1), TypeError),
    (lambda w: quillkit.fit_picture(GREY, quillkit.PictureOptions(gamma=float("nan"))),
     ValueError),
    (lambda w: quillkit.convert_picture(quillkit.GreyImage(), quillkit.PictureOptions()),
     ValueError),  # empty
    (lambda w: quillkit.GreyImage(2, 2, b"abc"), ValueError),
    (lambda w: quillkit.MonoImage(1 << 32, 1 << 32), ValueError),  # the product wraps to 0
    (lambda w: w.sendbitmap(0, 0, GREY), TypeError),
])
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call(quillkit.WiFi())


def test_surrogateescaped_text_goes_out_as_its_bytes():
    virtual = quillkit.VirtualPrinter()
    answers = virtual.answers()
    answers.model_name = "caf\udce9\r"
    virtual.set_answers(answers)
    assert virtual.feed("~!T\r\n") == b"caf\xe9\r"


def test_host_font_image_round_trip():
    wifi = quillkit.WiFi()
    image = wifi.fnDrawString("Hi", "DejaVu Sans", 24, False, 0)
    assert image.width % 8 == 0 and len(image.rgba) == image.width * image.height * 4
    turned = wifi.fnRotateImage(image, 90)
    assert (turned.width, turned.height) == (image.height, image.width)
    bits = wifi.fnBitsFromImage(image)
    assert isinstance(bits, bytes) and len(bits) == image.width // 8 * image.height
    copy = quillkit.Image(image.width, image.height, memoryview(image.rgba))
    assert wifi.fnBitsFromImage(copy) == bits


@pytest.mark.parametrize("call, operation, result", [
    (lambda w: w.sendcommand("CLS\r\n"), "sendcommand", -1),
    (lambda w: w.sendBinaryData(b"CLS\r\n"), "sendBinaryData", -1),
    (lambda w: w.printer_modelname(), "printer_modelname", "-1"),
    (lambda w: w.smartbattery_status(9), "smartbattery_status", "-1"),
    (lambda w: w.downloadpcx("/nonexistent", "X"), "downloadpcx", -1),
    (lambda w: w.printerfont("0", "0", "1", "0", "1", "1", "\udcff"), "printerfont", -1),
    (lambda w: w.printpicture(quillkit.MonoImage(8, 1), quillkit.LabelStock(dpi=50)),
     "printpicture", -1),
    (lambda w: w.wait_until_sent(0), "wait_until_sent", -1),
])
def test_check_raises_with_the_reason_on_a_closed_printer(call, operation, result):
    assert call(quillkit.WiFi()) == result  # the plain object returns the failure value
    with pytest.raises(quillkit.PrinterError) as raised:
        call(quillkit.WiFi(check=True))
    assert (raised.value.operation, raised.value.result) == (operation, result)
    assert raised.value.reason in str(raised.value)


def test_a_checking_printer_goes_as_soon_as_it_is_let_go():
    gc.disable()  # no cycle may keep it, and its connection, alive until a collection
    try:
        printer = weakref.ref(quillkit.WiFi(check=True))
        assert printer() is None
    finally:
        gc.enable()


def test_connect_raises_when_the_port_does_not_open(printer):
    _, port = printer
    with pytest.raises(quillkit.PrinterError, match="did not open"):
        quillkit.WiFi.connect("127.0.0.1", 1)  # nothing listens on port 1
    with quillkit.WiFi.connect("127.0.0.1", port, check=True) as wifi:
        assert wifi.stream_Status() == quillkit.StreamStatus.kStreamOpen
        assert wifi.sendcommand("CLS\r\n") == quillkit.Result.DONE
    assert wifi.stream_Status() == -1
