"""Shared fixtures: a virtual printer on TCP, and a private bus with the fake BlueZ."""

import os
import pathlib
import select
import subprocess

import pytest

import quillkit

SOURCE_DIR = pathlib.Path(os.environ.get("QUILLKIT_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
SUPPORT_DIR = SOURCE_DIR / "tests" / "support"


@pytest.fixture
def printer():
    """A virtual printer serving on a free port of 127.0.0.1: (printer, port)."""
    virtual = quillkit.VirtualPrinter()
    with quillkit.VirtualPrinterServer(virtual) as server:
        yield virtual, server.port()


def read_line(process, accept, seconds=10.0):
    """Reads the process's output lines until accept(line) holds; the line, or None at the
    bound or the end of the output."""
    pending = b""
    out = process.stdout.fileno()
    while select.select([out], [], [], seconds)[0]:
        chunk = os.read(out, 4096)
        if not chunk:
            return None
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            if accept(line.decode()):
                return line.decode()
    return None


@pytest.fixture
def private_bus(monkeypatch):
    """A dbus-daemon of this test's own, named by DBUS_SYSTEM_BUS_ADDRESS; gives a function
    that starts a fake on it (a script of tests/support with its arguments) and returns once
    the fake says it is ready."""
    children = []

    def start(argv):
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        children.append(child)
        return child

    daemon = start(["/usr/bin/dbus-daemon", "--session", "--print-address", "--nofork"])
    address = read_line(daemon, bool)
    assert address, "dbus-daemon did not start"
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", address)

    def start_fake(script, *args):
        fake = start(["/usr/bin/python3", str(SUPPORT_DIR / script), *args])
        assert read_line(fake, lambda line: line == "ready"), f"{script} did not start"

    yield start_fake
    for child in reversed(children):
        child.terminate()
        child.wait(10)
        child.stdout.close()


@pytest.fixture
def log_lines():
    """Collects the library's log lines for the test: a list of (channel, line, thread id)."""
    import threading
    lines = []
    quillkit.set_log_sink(lambda channel, line: lines.append((channel, line,
                                                              threading.get_ident())))
    yield lines
    quillkit.set_log_sink(None)
