#!/usr/bin/python3
"""A BlueZ stand-in for BLE tests: one adapter, peripherals that appear when
discovery starts, and on each peripheral's connection the printer's GATT serial
service (or another service only). Runs on the bus named by
DBUS_SYSTEM_BUS_ADDRESS, owns org.bluez and prints "ready" once it serves.

Every WriteValue is recorded. With --printer PORT, the bytes written to the
receive characteristic go to a TCP printer on 127.0.0.1:PORT, and what it
answers comes back as notifications of the transmit characteristic, 20 bytes
at most each.

With --answers JSON ({"ending": "answer", ...}), a write to the receive
characteristic after which the bytes written since the last answer end with
`ending` is answered with notifications of `answer`, 20 bytes at most each,
before WriteValue replies.

Every change that a method causes (a connection's properties, the services
appearing, a link lost at a write) is signalled before the method replies. The
library's central holds the test clock from sending a call until its reply is
handled, so virtual time cannot move past what a call brought about. The
notifications of --printer come later, on the printer's own time: a test that
uses it runs on the real clock.

Test controls, interface org.quillkit.FakeGatt at /quillkit:
  Writes() -> a(say)   every write: characteristic UUID, value, "type" option
  WriteCount() -> u
  ClearWrites()
  Notify(s uuid, ay)    a notification of the connected device's characteristic
  DropOnWrite()         the link is lost at the next write
  SetPowered(b)
"""

import argparse
import json
import socket
import sys

import dbus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

from fake_bluez import OBJECT_MANAGER, PROPERTIES, BluezObject, FakeBluez, Failed

ADAPTER = "org.bluez.Adapter1"
DEVICE = "org.bluez.Device1"
SERVICE = "org.bluez.GattService1"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
CONTROL = "org.quillkit.FakeGatt"

SERIAL_SERVICE = "49535343-fe7d-4ae5-8fa9-9fafd205e455"
AIRPATCH = "49535343-aca3-481c-91ec-d85e28a60318"
RX = "49535343-8841-43f4-a8d4-ecbe34729bb3"
TX = "49535343-1e4d-4bd9-ba61-23c647249616"
BATTERY_SERVICE = "0000180f-0000-1000-8000-00805f9b34fb"
BATTERY_LEVEL = "00002a19-0000-1000-8000-00805f9b34fb"
NOTIFY_PIECE = 20


class Node(BluezObject):
    """A BlueZ object whose properties can change, with PropertiesChanged."""

    @dbus.service.method(PROPERTIES, in_signature="ssv")
    def Set(self, interface, name, value):
        self.change(interface, name, value)

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def change(self, interface, name, value):
        self.interfaces[interface][name] = value
        self.PropertiesChanged(interface, {name: value}, [])


class Adapter(Node):
    def __init__(self, fake, powered):
        super().__init__(fake, "/org/bluez/hci0", {ADAPTER: {
            "Address": "00:AA:BB:CC:DD:EE", "Powered": dbus.Boolean(powered),
            "Discovering": dbus.Boolean(False)}})

    @dbus.service.method(ADAPTER, in_signature="a{sv}")
    def SetDiscoveryFilter(self, _filter):
        pass

    @dbus.service.method(ADAPTER)
    def StartDiscovery(self):
        self.change(ADAPTER, "Discovering", dbus.Boolean(True))
        self.fake.discover()

    @dbus.service.method(ADAPTER)
    def StopDiscovery(self):
        self.change(ADAPTER, "Discovering", dbus.Boolean(False))


class Device(Node):
    def __init__(self, fake, index, spec):
        props = {"Address": spec["address"], "Connected": dbus.Boolean(False),
                 "ServicesResolved": dbus.Boolean(False), "RSSI": dbus.Int16(-60),
                 "UUIDs": dbus.Array(spec.get("uuids", []), signature="s"),
                 "Adapter": dbus.ObjectPath("/org/bluez/hci0")}
        if spec.get("name"):
            props["Name"] = spec["name"]
        super().__init__(fake, "/org/bluez/hci0/dev_%d" % index, {DEVICE: props})
        self.spec = spec
        self.gatt = []
        self.printer = None
        self.watch = None

    @dbus.service.method(DEVICE)
    def Connect(self):
        if self.interfaces[DEVICE]["Connected"]:
            return
        if self.fake.printer_port:
            self.printer = socket.create_connection(("127.0.0.1", self.fake.printer_port))
            self.printer.setblocking(False)
            self.watch = GLib.io_add_watch(self.printer.fileno(), GLib.IO_IN | GLib.IO_HUP,
                                           self.answer)
        self.fake.connected = self
        self.change(DEVICE, "Connected", dbus.Boolean(True))
        self.add_gatt()
        self.change(DEVICE, "ServicesResolved", dbus.Boolean(True))

    @dbus.service.method(DEVICE)
    def Disconnect(self):
        self.drop()

    def drop(self):
        if self.printer:
            GLib.source_remove(self.watch)
            self.printer.close()
            self.printer = None
        self.change(DEVICE, "ServicesResolved", dbus.Boolean(False))
        self.change(DEVICE, "Connected", dbus.Boolean(False))

    def add_gatt(self):
        if self.gatt:
            return
        if self.spec.get("serial", True):
            uuid, chars = SERIAL_SERVICE, [(AIRPATCH, ["write", "notify"]), (TX, ["notify"]),
                                           (RX, ["write", "write-without-response"])]
        else:
            uuid, chars = BATTERY_SERVICE, [(BATTERY_LEVEL, ["read", "notify"])]
        service = Node(self.fake, self.path + "/service0010", {SERVICE: {
            "UUID": uuid, "Device": dbus.ObjectPath(self.path), "Primary": dbus.Boolean(True)}})
        self.gatt.append(service)
        for i, (char_uuid, flags) in enumerate(chars):
            self.gatt.append(Characteristic(self, "%s/char%04x" % (service.path, 0x11 + i),
                                            service.path, char_uuid, flags))
        for node in self.gatt:
            self.fake.appear(node)

    def answer(self, _fd, _condition):
        try:
            data = self.printer.recv(4096)
        except BlockingIOError:
            return True
        if not data:
            return False
        self.answer_with(data)
        return True

    def answer_with(self, data):
        for i in range(0, len(data), NOTIFY_PIECE):
            self.notify(TX, data[i:i + NOTIFY_PIECE])

    def notify(self, uuid, value):
        for node in self.gatt:
            if isinstance(node, Characteristic) and node.uuid == uuid.lower():
                node.change(CHARACTERISTIC, "Value", dbus.Array(value, signature="y"))


class Characteristic(Node):
    def __init__(self, device, path, service, uuid, flags):
        super().__init__(device.fake, path, {CHARACTERISTIC: {
            "UUID": uuid, "Service": dbus.ObjectPath(service),
            "Value": dbus.Array([], signature="y"), "Notifying": dbus.Boolean(False),
            "Flags": dbus.Array(flags, signature="s")}})
        self.device = device
        self.uuid = uuid

    @dbus.service.method(CHARACTERISTIC, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        fake = self.device.fake
        fake.writes.append((self.uuid, bytes(value), str(options.get("type", ""))))
        if not self.device.interfaces[DEVICE]["Connected"]:
            raise Failed("Not connected")
        if fake.drop_on_write:
            fake.drop_on_write = False
            self.device.drop()
            return
        if self.uuid == RX and fake.answers:
            fake.since_answer += bytes(value)
            for ending, answer in fake.answers.items():
                if fake.since_answer.endswith(ending.encode("latin-1")):
                    fake.since_answer = b""
                    self.device.answer_with(answer.encode("latin-1"))
        if self.uuid == RX and self.device.printer:
            self.device.printer.setblocking(True)
            self.device.printer.sendall(bytes(value))
            self.device.printer.setblocking(False)

    @dbus.service.method(CHARACTERISTIC, in_signature="a{sv}", out_signature="ay")
    def ReadValue(self, _options):
        return self.interfaces[CHARACTERISTIC]["Value"]

    @dbus.service.method(CHARACTERISTIC)
    def StartNotify(self):
        self.change(CHARACTERISTIC, "Notifying", dbus.Boolean(True))

    @dbus.service.method(CHARACTERISTIC)
    def StopNotify(self):
        self.change(CHARACTERISTIC, "Notifying", dbus.Boolean(False))


class Control(dbus.service.Object):
    def __init__(self, fake):
        super().__init__(fake.bus, "/quillkit")
        self.fake = fake

    @dbus.service.method(CONTROL, out_signature="a(says)")
    def Writes(self):
        return dbus.Array([(u, dbus.ByteArray(v), t) for u, v, t in self.fake.writes],
                          signature="(says)")

    @dbus.service.method(CONTROL, out_signature="u")
    def WriteCount(self):
        return len(self.fake.writes)

    @dbus.service.method(CONTROL)
    def ClearWrites(self):
        self.fake.writes = []

    @dbus.service.method(CONTROL, in_signature="say")
    def Notify(self, uuid, value):
        if self.fake.connected:
            self.fake.connected.notify(uuid, bytes(value))

    @dbus.service.method(CONTROL)
    def DropOnWrite(self):
        self.fake.drop_on_write = True

    @dbus.service.method(CONTROL, in_signature="b")
    def SetPowered(self, powered):
        if self.fake.adapter:
            self.fake.adapter.change(ADAPTER, "Powered", dbus.Boolean(powered))


class FakeGatt(FakeBluez):
    def __init__(self, args):
        super().__init__({"adapter": False})
        self.printer_port = args.printer
        self.answers = args.answers
        self.since_answer = b""
        self.writes = []
        self.drop_on_write = False
        self.connected = None
        self.adapter = None
        if args.adapter != "none":
            self.adapter = self.add(Adapter(self, args.adapter == "on"))
        self.devices = [Device(self, i, spec) for i, spec in enumerate(args.devices)]
        self.control = Control(self)

    def appear(self, node):
        if node.path in self.objects:
            return
        self.add(node)
        signal = dbus.lowlevel.SignalMessage("/", OBJECT_MANAGER, "InterfacesAdded")
        signal.append(dbus.ObjectPath(node.path), node.interfaces, signature="oa{sa{sv}}")
        self.bus.send_message(signal)

    def discover(self):
        # As BlueZ: a device new to it is added; one it knows already is seen
        # again through its RSSI, which BlueZ forgets when discovery stops.
        for device in self.devices:
            if device.path in self.objects:
                device.change(DEVICE, "RSSI", dbus.Int16(-60))
            self.appear(device)
            for _ in range(device.spec.get("sightings", 1) - 1):
                device.change(DEVICE, "RSSI", dbus.Int16(-59))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--adapter", choices=["on", "off", "none"], default="on")
    parser.add_argument("--printer", type=int, default=0)
    parser.add_argument("--answers", type=json.loads, default={})
    parser.add_argument("--devices", type=json.loads,
                        default=[{"name": "VP-BLE", "address": "00:11:22:33:44:55",
                                  "uuids": [SERIAL_SERVICE]}])
    FakeGatt(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
