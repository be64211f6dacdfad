#!/usr/bin/python3
"""A fake bluetoothd for the tests: org.bluez on the bus that
DBUS_SYSTEM_BUS_ADDRESS names (a private dbus-daemon the test started).

    fake_bluez.py CONFIG_JSON

CONFIG_JSON is an object:
    "adapter": false       no adapter and no devices (default true)
    "devices": [ {"address": "AA:BB:CC:DD:EE:01", "name": "...", "alias": "...",
                  "uuids": ["0000...", ...], "paired": true,
                  "refuse": true,   ConnectProfile fails with org.bluez.Error.Failed
                  "vanish": true,   ConnectProfile removes the device, then fails
                  "peer": "/path"   the unix socket (a leading NUL: an abstract
                                    name) that its sessions connect to}, ... ]

Device1.ConnectProfile(uuid) connects to the device's peer, hands that
connection to the NewConnection of the profile registered for `uuid` and
replies only once NewConnection has returned, as bluetoothd does (the library
holds the test clock until the reply, so the session is there before virtual
time moves). A device without a peer fails the call.
Prints "ready" on standard output once org.bluez is owned.

To extend (more objects, GATT services), import this module, build a FakeBluez,
call add_object() with the interfaces and properties, and run() it; methods
are plain dbus.service methods on a subclass of BluezObject.
"""
import json
import os
import socket
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.bluez"
PROPERTIES = "org.freedesktop.DBus.Properties"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"


class Failed(dbus.DBusException):
    _dbus_error_name = "org.bluez.Error.Failed"


class UnknownObject(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.DBus.Error.UnknownObject"


class BluezObject(dbus.service.Object):
    """An object with interfaces of properties, listed by the object manager."""

    def __init__(self, fake, path, interfaces):
        super().__init__(fake.bus, path)
        self.fake = fake
        self.path = path
        self.interfaces = interfaces

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.interfaces[interface][name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.interfaces.get(interface, {})


class Root(dbus.service.Object):
    def __init__(self, fake):
        super().__init__(fake.bus, "/")
        self.fake = fake

    @dbus.service.method(OBJECT_MANAGER, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {o.path: o.interfaces for o in self.fake.objects.values()}

    @dbus.service.signal(OBJECT_MANAGER, signature="oas")
    def InterfacesRemoved(self, path, interfaces):
        pass


class ProfileManager(BluezObject):
    def __init__(self, fake):
        super().__init__(fake, "/org/bluez", {"org.bluez.ProfileManager1": {}})

    @dbus.service.method("org.bluez.ProfileManager1", in_signature="osa{sv}",
                         sender_keyword="sender")
    def RegisterProfile(self, path, uuid, options, sender=None):
        self.fake.profiles[str(uuid).lower()] = (sender, path)

    @dbus.service.method("org.bluez.ProfileManager1", in_signature="o")
    def UnregisterProfile(self, path):
        for uuid, (_, p) in list(self.fake.profiles.items()):
            if p == path:
                del self.fake.profiles[uuid]


class Device(BluezObject):
    def __init__(self, fake, path, config):
        props = {
            "Address": config["address"],
            "Name": config.get("name", ""),
            "Alias": config.get("alias", config.get("name", config["address"])),
            "UUIDs": dbus.Array(config.get("uuids", []), signature="s"),
            "Paired": dbus.Boolean(config.get("paired", True)),
            "Adapter": dbus.ObjectPath("/org/bluez/hci0"),
        }
        if "name" not in config:
            del props["Name"]
        super().__init__(fake, path, {"org.bluez.Device1": props})
        self.config = config

    @dbus.service.method("org.bluez.Device1", in_signature="s",
                         async_callbacks=("on_done", "on_error"))
    def ConnectProfile(self, uuid, on_done, on_error):
        if self.config.get("refuse"):
            on_error(Failed("Connection refused (111)"))
            return
        if self.config.get("vanish"):
            self.fake.remove_object(self.path)
            on_error(UnknownObject("Method \"ConnectProfile\" with signature \"s\" on "
                                   "interface \"org.bluez.Device1\" doesn't exist"))
            return
        profile = self.fake.profiles.get(str(uuid).lower())
        if profile is None:
            on_error(dbus.DBusException("Profile not registered",
                                        name="org.bluez.Error.NotAvailable"))
            return
        if "peer" not in self.config:
            on_error(Failed("Host is down (112)"))
            return
        peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        peer.connect(self.config["peer"])
        handed = peer.detach()
        sender, path = profile
        self.fake.bus.call_async(
            sender, path, "org.bluez.Profile1", "NewConnection", "oha{sv}",
            (dbus.ObjectPath(self.path), dbus.types.UnixFd(handed), {}),
            lambda *_: on_done(), lambda e: on_error(Failed(str(e))))
        os.close(handed)


class FakeBluez:
    def __init__(self, config):
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        self.bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
        self.objects = {}
        self.profiles = {}
        self.root = Root(self)
        self.add(ProfileManager(self))
        if config.get("adapter", True):
            self.add(BluezObject(self, "/org/bluez/hci0", {"org.bluez.Adapter1": {
                "Address": "00:00:00:00:00:00", "Powered": dbus.Boolean(True)}}))
            for i, device in enumerate(config.get("devices", [])):
                path = "/org/bluez/hci0/dev_%02d_%s" % (i, device["address"].replace(":", "_"))
                self.add(Device(self, path, device))

    def add(self, obj):
        self.objects[obj.path] = obj
        return obj

    def add_object(self, path, interfaces, cls=BluezObject):
        return self.add(cls(self, path, interfaces))

    def remove_object(self, path):
        obj = self.objects.pop(path)
        obj.remove_from_connection()
        self.root.InterfacesRemoved(path, list(obj.interfaces))

    def run(self):
        self.name = dbus.service.BusName(BUS_NAME, self.bus)
        print("ready", flush=True)
        GLib.MainLoop().run()


if __name__ == "__main__":
    FakeBluez(json.loads(sys.argv[1] if len(sys.argv) > 1 else "{}")).run()
