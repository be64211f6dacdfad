#!/usr/bin/python3
"""A BlueZ stand-in for BLE tests that behaves as bluetoothd 5.66 does: one
adapter, peripherals that appear when discovery starts, and on each
peripheral's connection the printer's GATT serial service (or another service
only). Runs on the bus named by DBUS_SYSTEM_BUS_ADDRESS, owns org.bluez and
prints "ready" once it serves. Each behaviour names, in a comment, the
function of bluetoothd that it follows.

The radio: an ATT request takes --rtt seconds (default 0.015, two connection
intervals of 7.5 ms), one at a time per peripheral as on its one ATT bearer; a
value longer than MTU-3 is a long write of one round trip per MTU-5 bytes.
Writes without response leave at --packets per --interval (default 4 per
7.5 ms). A connection comes up --connect-delay seconds after Connect (default
0.05; negative: never, until Disconnect cancels it), and its services are
resolved two round trips after Connect has replied.

Options: --adapter on|off|none, --rtt, --mtu (default 23; 0: BlueZ reports no
MTU property), --packets, --interval, --connect-delay, --printer PORT,
--answers JSON, --devices JSON: [{"name": ..., "address": ..., "uuids": [...],
"serial": false (another service only), "sightings": N, "mtu": N,
"rx_flags": [...] (the receive characteristic's flags)}, ...].

With --printer PORT, the bytes written to the receive characteristic go to a
TCP printer on 127.0.0.1:PORT, and what it answers comes back as notifications
of the transmit characteristic, MTU-3 bytes at most each. With --answers
({"ending": "answer", ...}), a write after which the bytes written since the
last answer end with `ending` is answered with notifications of `answer`
before the write is confirmed. Every change that a method causes is signalled
before it replies: the library holds the test clock from a call until its
reply, so virtual time cannot move past what a call brought about.

Test controls, interface org.quillkit.FakeGatt at /quillkit:
  Writes() -> a(sayss)  every write: characteristic UUID, value, "type" option
                        ("command" for the acquired socket too), and "" when it
                        reached the printer, else the error it got
  ClearWrites()
  Notify(u device, s uuid, ay value)  the device's printer notifies the value
  Spoof(o path, ay value)  PropertiesChanged(Value) on `path` from another client
  DropOnWrite()          the link is lost at the next write request
  Stall(b)               BlueZ stops (or resumes) answering and the radio sending
  SetPowered(b)
  State(u device) -> s   "disconnected", "connecting" or "connected"
SIGTERM ends the process as it ends bluetoothd.
"""

import argparse
import collections
import json
import math
import os
import socket
import sys
import time

import dbus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

from fake_bluez import (OBJECT_MANAGER, PROPERTIES, BluezObject, FakeBluez, after,
                        bluez_error)

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
DEFAULT_MTU = 23


class Node(BluezObject):
    """A BlueZ object whose properties can change, with PropertiesChanged."""

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

    @dbus.service.method(ADAPTER, in_signature="o")
    def RemoveDevice(self, path):
        # remove_device: a connected device is disconnected first; then the
        # device goes with its GATT objects.
        device = next((d for d in self.fake.peripherals if d.path == path), None)
        if device is None or path not in self.fake.objects:
            raise bluez_error("DoesNotExist", "Does Not Exist")
        device.drop()
        for node in reversed(device.gatt):
            self.fake.remove_object(node.path)
        device.gatt = []
        self.fake.remove_object(path)


class Bearer:
    """A peripheral's ATT bearer: one request at a time, each taking its
    round trips (bt_att's request queue); every request fails when the link
    goes (disc_att_send_op)."""

    def __init__(self, fake):
        self.fake = fake
        self.queue = collections.deque()
        self.busy = None

    def request(self, trips, done, fail):
        self.queue.append((trips, done, fail))
        self.next()

    def next(self):
        if self.busy is None and self.queue:
            self.busy = self.queue.popleft()
            after(self.busy[0] * self.fake.rtt, self.finish, self.busy)

    def finish(self, op):
        if op is not self.busy:
            return  # failed meanwhile
        if self.fake.stalled:
            return after(self.fake.rtt, self.finish, op)  # no response yet
        self.busy = None
        op[1]()
        self.next()

    def drop(self):
        ops = ([self.busy] if self.busy else []) + list(self.queue)
        self.busy = None
        self.queue.clear()
        for op in ops:
            op[2]()


class Radio:
    """Write commands on the air: at most --packets per connection interval,
    from BlueZ's queue (WriteValue "command") or from the acquired socket,
    which backs up while the radio is behind."""

    def __init__(self, device):
        self.device = device
        self.fake = device.fake
        self.queue = collections.deque()
        self.socket = None
        self.timer = None
        self.credit = 0.0
        self.last = 0.0

    def start(self):
        self.last = time.monotonic()
        self.timer = GLib.timeout_add(max(1, round(self.fake.interval * 1000)), self.tick)

    def stop(self):
        if self.timer:
            GLib.source_remove(self.timer)
            self.timer = None
        self.queue.clear()
        self.release()

    def release(self):
        if self.socket:
            self.socket.close()
            self.socket = None
            self.device.rx().change(CHARACTERISTIC, "WriteAcquired", dbus.Boolean(False))

    def tick(self):
        now = time.monotonic()
        if not self.fake.stalled:
            intervals = (now - self.last) / self.fake.interval
            self.credit = min(self.credit + intervals * self.fake.packets, 2 * self.fake.packets)
        self.last = now
        while self.credit >= 1:
            packet = self.queue.popleft() if self.queue else self.read()
            if packet is None:
                break
            self.credit -= 1
            self.device.rx().deliver(packet, "command")
        return True

    def read(self):
        # sock_read: one packet per read; the socket's closing or an empty
        # packet ends the reading.
        if not self.socket:
            return None
        try:
            packet = self.socket.recv(512)
        except BlockingIOError:
            return None
        except OSError:
            packet = b""
        if not packet:
            self.release()
            return None
        if len(packet) > self.device.mtu() - 3:
            # bt_gatt_client_write_without_response refuses it; sock_read
            # does not look: the packet is lost.
            self.fake.writes.append((RX, packet, "command", "dropped"))
            return self.read()
        return packet


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
        self.state = "disconnected"
        self.connect_call = None
        self.bearer = Bearer(fake)
        self.radio = Radio(self)
        self.printer = None
        self.watch = None

    def mtu(self):
        return self.spec.get("mtu", self.fake.mtu) or DEFAULT_MTU

    def rx(self):
        return next(n for n in self.gatt if isinstance(n, Characteristic) and n.uuid == RX)

    @dbus.service.method(DEVICE, async_callbacks=("reply", "fail"))
    def Connect(self, reply, fail):
        # dev_connect: a connected device is answered at once;
        # device_connect_le: one attempt at a time.
        if self.state == "connected":
            return reply()
        if self.state == "connecting":
            return fail(bluez_error("Failed", "Operation already in progress"))
        self.state = "connecting"
        self.connect_call = (reply, fail)
        if self.fake.connect_delay >= 0:
            after(self.fake.connect_delay, self.link_up)

    def link_up(self):
        if self.state != "connecting":
            return
        self.state = "connected"
        if self.fake.printer_port:
            self.printer = socket.create_connection(("127.0.0.1", self.fake.printer_port))
            self.printer.setblocking(False)
            self.watch = GLib.io_add_watch(self.printer.fileno(), GLib.IO_IN | GLib.IO_HUP,
                                           self.answer)
        self.radio.start()
        self.change(DEVICE, "Connected", dbus.Boolean(True))
        # att_connect_cb: Connect is answered once the link is up, before the
        # services are resolved (device_svc_resolved).
        reply, _ = self.connect_call
        self.connect_call = None
        reply()
        after(2 * self.fake.rtt, self.resolve)

    def resolve(self):
        if self.state != "connected":
            return
        self.add_gatt()
        self.change(DEVICE, "ServicesResolved", dbus.Boolean(True))

    @dbus.service.method(DEVICE, async_callbacks=("reply", "fail"))
    def Disconnect(self, reply, fail):
        self.drop()
        reply()

    def drop(self):
        # device_request_disconnect: a pending Connect is cancelled;
        # device_remove_connection: the properties change.
        if self.connect_call:
            _, fail = self.connect_call
            self.connect_call = None
            fail(bluez_error("Failed", "br-connection-canceled"))
        was_connected = self.state == "connected"
        self.state = "disconnected"
        if not was_connected:
            return
        if self.printer:
            GLib.source_remove(self.watch)
            self.printer.close()
            self.printer = None
        self.radio.stop()
        self.change(DEVICE, "ServicesResolved", dbus.Boolean(False))
        self.change(DEVICE, "Connected", dbus.Boolean(False))
        self.bearer.drop()

    def add_gatt(self):
        if self.gatt:
            return
        if self.spec.get("serial", True):
            uuid, chars = SERIAL_SERVICE, [
                (AIRPATCH, ["write", "notify"]), (TX, ["notify"]),
                (RX, self.spec.get("rx_flags", ["write", "write-without-response"]))]
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
        piece = self.mtu() - 3
        for i in range(0, len(data), piece):
            self.notify(TX, data[i:i + piece])

    def notify(self, uuid, value):
        # A printer notifies only once a client switched notifications on;
        # notify_cb stores the value and write_characteristic_cb signals it as
        # PropertiesChanged(Value) on the characteristic's own path.
        for node in self.gatt:
            if isinstance(node, Characteristic) and node.uuid == uuid.lower() and node.clients:
                node.change(CHARACTERISTIC, "Value", dbus.Array(value, signature="y"))


class Characteristic(Node):
    def __init__(self, device, path, service, uuid, flags):
        props = {"UUID": uuid, "Service": dbus.ObjectPath(service),
                 "Value": dbus.Array([], signature="y"), "Notifying": dbus.Boolean(False),
                 "Flags": dbus.Array(flags, signature="s")}
        if device.spec.get("mtu", device.fake.mtu):  # characteristic_get_mtu
            props["MTU"] = dbus.UInt16(device.mtu())
        if "write-without-response" in flags:
            props["WriteAcquired"] = dbus.Boolean(False)
        super().__init__(device.fake, path, {CHARACTERISTIC: props})
        self.device = device
        self.uuid = uuid
        self.flags = flags
        self.write_op = False
        self.clients = set()

    def deliver(self, value, kind):
        fake = self.device.fake
        fake.writes.append((self.uuid, bytes(value), kind, ""))
        if self.uuid != RX:
            return
        if fake.answers:
            fake.since_answer += bytes(value)
            for ending, answer in fake.answers.items():
                if fake.since_answer.endswith(ending.encode("latin-1")):
                    fake.since_answer = b""
                    self.device.answer_with(answer.encode("latin-1"))
        if self.device.printer:
            self.device.printer.setblocking(True)
            self.device.printer.sendall(bytes(value))
            self.device.printer.setblocking(False)

    @dbus.service.method(CHARACTERISTIC, in_signature="aya{sv}",
                         async_callbacks=("reply", "fail"))
    def WriteValue(self, value, options, reply, fail):
        fake = self.device.fake
        value = bytes(value)
        kind = str(options.get("type", ""))

        def refuse(error):
            fake.writes.append((self.uuid, value, kind, error.get_dbus_name()))
            fail(error)

        # characteristic_write_value
        if self.device.state != "connected":
            return refuse(bluez_error("Failed", "Not connected"))
        if self.device.radio.socket and self.uuid == RX:
            return refuse(bluez_error("NotPermitted", "Write acquired"))
        if self.write_op:
            return refuse(bluez_error("InProgress", "In Progress"))
        mtu = self.device.mtu()
        if kind == "request" or (not kind and "write" in self.flags):
            # start_write_request, or start_long_write beyond MTU-3.
            trips = 1 if len(value) <= mtu - 3 else math.ceil(len(value) / (mtu - 5))
            self.write_op = True

            def done():
                self.write_op = False
                self.deliver(value, kind)
                reply()

            def failed():
                self.write_op = False
                refuse(bluez_error("Failed", "Operation failed"))

            self.device.bearer.request(trips, done, failed)
            if fake.drop_on_write:
                fake.drop_on_write = False
                self.device.drop()  # the pending write fails with the link
            return
        if kind == "command" or (not kind and "write-without-response" in self.flags):
            # bt_gatt_client_write_without_response: queued for the radio,
            # answered at once; a value that does not fit one packet fails.
            if len(value) > mtu - 3:
                return refuse(bluez_error("Failed", "Failed to initiate write"))
            self.device.radio.queue.append(value)
            return reply()
        refuse(bluez_error("NotSupported", "Operation is not supported"))

    @dbus.service.method(CHARACTERISTIC, in_signature="a{sv}", out_signature="hq")
    def AcquireWrite(self, _options):
        # characteristic_acquire_write, create_sock: a SOCK_SEQPACKET pair;
        # the caller gets one end and the MTU.
        if self.device.state != "connected":
            raise bluez_error("Failed", "Not connected")
        radio = self.device.radio
        if radio.socket:
            raise bluez_error("NotPermitted", "Write acquired")
        if "write-without-response" not in self.flags:
            raise bluez_error("NotSupported", "Operation is not supported")
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        ours.setblocking(False)
        radio.socket = ours
        self.change(CHARACTERISTIC, "WriteAcquired", dbus.Boolean(True))
        handed = dbus.types.UnixFd(theirs.fileno())
        theirs.close()
        return handed, dbus.UInt16(self.device.mtu())

    @dbus.service.method(CHARACTERISTIC, sender_keyword="client",
                         async_callbacks=("reply", "fail"))
    def StartNotify(self, reply, fail, client=None):
        # characteristic_start_notify: one session per client; the first
        # switches the printer's notifications on, one round trip.
        if "notify" not in self.flags:
            return fail(bluez_error("NotSupported", "Operation is not supported"))
        if client in self.clients or self.device.state != "connected":
            self.clients.add(client)
            return reply()

        def done():
            self.clients.add(client)
            if not self.interfaces[CHARACTERISTIC]["Notifying"]:
                self.change(CHARACTERISTIC, "Notifying", dbus.Boolean(True))
            reply()

        self.device.bearer.request(1, done, lambda: fail(bluez_error("Failed", "Operation failed")))


class Control(dbus.service.Object):
    def __init__(self, fake):
        super().__init__(fake.bus, "/quillkit")
        self.fake = fake
        self.other = None

    @dbus.service.method(CONTROL, out_signature="a(sayss)")
    def Writes(self):
        return dbus.Array([(u, dbus.ByteArray(v), t, o) for u, v, t, o in self.fake.writes],
                          signature="(sayss)")

    @dbus.service.method(CONTROL)
    def ClearWrites(self):
        self.fake.writes = []

    @dbus.service.method(CONTROL, in_signature="usay")
    def Notify(self, device, uuid, value):
        self.fake.peripherals[device].notify(uuid, bytes(value))

    @dbus.service.method(CONTROL, in_signature="oay")
    def Spoof(self, path, value):
        if self.other is None:
            self.other = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
        signal = dbus.lowlevel.SignalMessage(path, PROPERTIES, "PropertiesChanged")
        signal.append(CHARACTERISTIC, {"Value": dbus.Array(value, signature="y")},
                      dbus.Array([], signature="s"), signature="sa{sv}as")
        self.other.send_message(signal)
        self.other.flush()

    @dbus.service.method(CONTROL)
    def DropOnWrite(self):
        self.fake.drop_on_write = True

    @dbus.service.method(CONTROL, in_signature="b")
    def Stall(self, stalled):
        self.fake.stalled = bool(stalled)

    @dbus.service.method(CONTROL, in_signature="b")
    def SetPowered(self, powered):
        if self.fake.adapter:
            self.fake.adapter.change(ADAPTER, "Powered", dbus.Boolean(powered))

    @dbus.service.method(CONTROL, in_signature="u", out_signature="s")
    def State(self, device):
        return self.fake.peripherals[device].state


class FakeGatt(FakeBluez):
    def __init__(self, args):
        super().__init__({"adapter": False})
        for key in ("rtt", "mtu", "packets", "interval", "connect_delay", "answers"):
            setattr(self, key, getattr(args, key))
        self.printer_port = args.printer
        self.since_answer = b""
        self.writes = []
        self.drop_on_write = False
        self.stalled = False
        self.adapter = None
        if args.adapter != "none":
            self.adapter = self.add(Adapter(self, args.adapter == "on"))
        self.peripherals = [Device(self, i, spec) for i, spec in enumerate(args.devices)]
        self.control = Control(self)

    def appear(self, node):
        if node.path in self.objects:
            return
        if not list(node.locations):
            node.add_to_connection(self.bus, node.path)
        self.add(node)
        signal = dbus.lowlevel.SignalMessage("/", OBJECT_MANAGER, "InterfacesAdded")
        signal.append(dbus.ObjectPath(node.path), node.interfaces, signature="oa{sa{sv}}")
        self.bus.send_message(signal)

    def discover(self):
        # As BlueZ: a device new to it is added; one it knows already is seen
        # again through its RSSI, which BlueZ forgets when discovery stops.
        for device in self.peripherals:
            if device.path in self.objects:
                device.change(DEVICE, "RSSI", dbus.Int16(-60))
            self.appear(device)
            for _ in range(device.spec.get("sightings", 1) - 1):
                device.change(DEVICE, "RSSI", dbus.Int16(-59))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--adapter", choices=["on", "off", "none"], default="on")
    parser.add_argument("--rtt", type=float, default=0.015)
    parser.add_argument("--mtu", type=int, default=DEFAULT_MTU)
    parser.add_argument("--packets", type=int, default=4)
    parser.add_argument("--interval", type=float, default=0.0075)
    parser.add_argument("--connect-delay", type=float, default=0.05)
    parser.add_argument("--printer", type=int, default=0)
    parser.add_argument("--answers", type=json.loads, default={})
    parser.add_argument("--devices", type=json.loads,
                        default=[{"name": "VP-BLE", "address": "00:11:22:33:44:55",
                                  "uuids": [SERIAL_SERVICE]}])
    FakeGatt(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
