"""The interpreter lock around the library's waits, callbacks from the library's threads, the
exit with callbacks installed, and references across many open and close cycles."""

import array
import gc
import os
import subprocess
import sys
import threading
import time

import pytest

import quillkit


def longest_stall(work):
    """Runs work() on another thread while this one counts; the longest time this thread
    could not run meanwhile."""
    done = threading.Event()
    worker = threading.Thread(target=lambda: (work(), done.set()))
    longest, last = 0.0, time.monotonic()
    worker.start()
    while not done.is_set():
        now = time.monotonic()
        longest, last = max(longest, now - last), now
    worker.join()
    return longest


def test_waits_release_the_interpreter_lock(printer, log_lines):
    virtual, port = printer
    wifi = quillkit.WiFi()
    results = []
    stall = longest_stall(lambda: results.extend(
        [wifi.openport("127.0.0.1", port), wifi.printer_modelname()]))  # 1.5 s, then 1.0 s
    assert results == [1, "QUILLKIT VP-203\r"]
    assert stall < 0.3
    # The reader thread logged its stream events while the opener waited.
    reader_lines = [line for _, line, thread in log_lines if thread != threading.get_ident()]
    assert any(line.startswith("NSStreamEvent.OpenCompleted") for line in reader_lines)
    wifi.closeport(0)


def test_callbacks_from_library_threads(printer, monkeypatch, tmp_path):
    virtual, port = printer
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    labels = []
    # The server's connection thread calls on_label; a sink that raises is reported and the
    # library goes on.
    served = quillkit.VirtualPrinter(on_label=lambda label: labels.append(
        (label.number, threading.get_ident())))
    quillkit.set_log_sink(lambda channel, line: 1 / 0)
    try:
        with quillkit.VirtualPrinterServer(served) as server, \
                quillkit.WiFi.connect("127.0.0.1", server.port()) as wifi:
            wifi.sendcommand("SIZE 20 mm,10 mm\r\nCLS\r\nPRINT 1,1\r\n")
            assert served.wait_for_labels(1, 5)
    finally:
        quillkit.set_log_sink(None)
    assert labels and labels[0][0] == 1 and labels[0][1] != threading.get_ident()
    assert unraisable and all(u.exc_type is ZeroDivisionError for u in unraisable)

    # The download's progress callable runs on the calling thread; what it raises comes out
    # once the transfer is done.
    path = tmp_path / "LOGO.PCX"
    path.write_bytes(bytes(range(256)))
    reports = []

    def progress(sent, total):
        reports.append((sent, total))
        raise KeyError("stop")

    with quillkit.WiFi.connect("127.0.0.1", port) as wifi:
        with pytest.raises(KeyError):
            wifi.downloadpcx(path, "LOGO.PCX", progress)
        assert virtual.wait_for_bytes(len("DOWNLOAD F,\"LOGO.PCX\",256,") + 258, 5)
    assert reports == [(256, 256)]
    assert virtual.file("LOGO.PCX") == path.read_bytes()


def test_exit_with_a_sink_installed_and_a_printer_open(printer):
    _, port = printer
    script = f"""
import quillkit
quillkit.set_log_sink(lambda channel, line: print(line, flush=True))
wifi = quillkit.WiFi()
print(wifi.openport("127.0.0.1", {port}), flush=True)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    assert "\n1\n" in done.stdout


def test_no_references_kept_over_a_thousand_cycles(printer):
    _, port = printer
    host, command, data = "127.0.0.1", "CLS\r\n", array.array("B", b"CLS\r\n")
    def sink(*_):
        pass

    def cycle():
        virtual = quillkit.VirtualPrinter(on_log=sink)
        with quillkit.VirtualPrinterServer(virtual):
            virtual.feed(data)
            virtual.feed(command)
            virtual.labels()
        wifi = quillkit.WiFi()  # closed: each call returns at once
        wifi.sendcommand(command)
        wifi.sendBinaryData(data)
        wifi.printer_modelname(0)
        wifi.closeport(0)
        quillkit.set_log_sink(sink)
        quillkit.set_log_sink(None)

    cycle()
    gc.collect()
    counts = [sys.getrefcount(o) for o in (host, command, data, sink)]
    objects = len(gc.get_objects())
    for _ in range(int(os.environ.get("QUILLKIT_TEST_CYCLES", 1000))):
        cycle()
    # Real opens too, with the wait for each open spent by all at once.
    opened = []
    openers = [threading.Thread(target=lambda: opened.append(
        quillkit.WiFi.connect(host, port).closeport(0))) for _ in range(8)]
    for opener in openers:
        opener.start()
    for opener in openers:
        opener.join()
    assert opened == [1] * 8
    del openers, opener
    gc.collect()
    assert [sys.getrefcount(o) for o in (host, command, data, sink)] == counts
    assert len(gc.get_objects()) - objects < 50
