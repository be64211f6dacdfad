#!/usr/bin/python3
"""A fake bluetoothd for the tests: org.bluez on the bus that
DBUS_SYSTEM_BUS_ADDRESS names (a private dbus-daemon the test started). It
refuses what bluetoothd 5.66 refuses and answers as it answers: each behaviour
names, in a comment, the function of bluetoothd that it follows.

    fake_bluez.py CONFIG_JSON

CONFIG_JSON is an object:
    "adapter": false       no adapter and no devices (default true)
    "devices": [ {"address": "AA:BB:CC:DD:EE:01", "name": "...", "alias": "...",
                  "uuids": ["0000...", ...], "paired": true,
                  "peer": "/path"   the unix socket (a leading NUL: an abstract
                                    name) that its serial port sessions reach
                  "delay": 1.5      seconds the radio takes to open a session
                  "refuse": true    the device refuses every session
                  "vanish": true    ConnectProfile removes the device, then fails
                  "connected": true another program's session to its serial
                                    port is up already}, ... ]

Classic sessions:
- ProfileManager1.RegisterProfile refuses a UUID that any client registered
  ("UUID already registered"); a registration ends with UnregisterProfile or
  when its client leaves the bus.
- Device1.ConnectProfile(uuid) connects to the device's peer, keeps a
  descriptor of the session, hands another to the NewConnection of the profile
  registered for `uuid` and replies once NewConnection has returned (the
  library holds the test clock until the reply). A service whose session is up
  already is answered with success and no NewConnection.
- Device1.DisconnectProfile asks the profile's RequestDisconnection, then
  closes the kept descriptor; a peer that hangs up ends the session too.
- SIGTERM: Profile1.Release goes to every registered profile, then the process
  ends and the registrations with it.
Prints "ready" on standard output once org.bluez is owned.

To extend (more objects, GATT services), import this module, build a FakeBluez,
call add() with objects, and run() it; methods are plain dbus.service methods
on a subclass of BluezObject.
"""
import json
import os
import signal
import socket
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.bluez"
PROPERTIES = "org.freedesktop.DBus.Properties"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
PROFILE_MANAGER = "org.bluez.ProfileManager1"
PROFILE = "org.bluez.Profile1"
DEVICE = "org.bluez.Device1"


def bluez_error(name, text):
    """An error as bluetoothd's btd_error_* functions make it (src/error.c)."""
    return dbus.DBusException(text, name="org.bluez.Error." + name)


def after(seconds, action, *args):
    """Runs `action(*args)` once, `seconds` from now (at once for 0)."""
    def run():
        action(*args)
        return False
    if seconds <= 0:
        GLib.idle_add(run)
    else:
        GLib.timeout_add(max(1, round(seconds * 1000)), run)


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
        super().__init__(fake, "/org/bluez", {PROFILE_MANAGER: {}})
        self.profiles = {}  # (client, path) -> UUID as registered
        self.watches = {}

    @dbus.service.method(PROFILE_MANAGER, in_signature="osa{sv}", sender_keyword="client")
    def RegisterProfile(self, path, uuid, _options, client=None):
        # register_profile: one registration per client and path, and since
        # 5.60 none for a UUID that any client registered (compared as given).
        if (client, str(path)) in self.profiles:
            raise bluez_error("AlreadyExists", "Already Exists")
        if str(uuid) in self.profiles.values():
            raise bluez_error("NotPermitted", "UUID already registered")
        self.profiles[(client, str(path))] = str(uuid)
        # ext_exited: the registration ends when its client leaves the bus.
        if client not in self.watches:
            self.watches[client] = self.fake.bus.watch_name_owner(
                client, lambda owner: owner or self.client_left(client))

    @dbus.service.method(PROFILE_MANAGER, in_signature="o", sender_keyword="client")
    def UnregisterProfile(self, path, client=None):
        # unregister_profile
        if (client, str(path)) not in self.profiles:
            raise bluez_error("DoesNotExist", "Does Not Exist")
        self.remove((client, str(path)))

    def remove(self, key):
        # remove_ext: the profile's sessions close with it.
        del self.profiles[key]
        for device in self.fake.devices():
            device.end_sessions(key)

    def client_left(self, client):
        for key in [k for k in self.profiles if k[0] == client]:
            self.remove(key)
        self.watches.pop(client).cancel()

    def profile_for(self, uuid):
        # find_connectable_service: the registered profile for the UUID.
        for key, registered in self.profiles.items():
            if registered.lower() == uuid.lower():
                return key
        return None

    def release_all(self):
        # btd_profile_cleanup: Release, without waiting for a reply.
        for client, path in self.profiles:
            call = dbus.lowlevel.MethodCallMessage(client, path, PROFILE, "Release")
            call.set_no_reply(True)
            self.fake.bus.send_message(call)
        self.fake.bus.flush()


class Session:
    """bluetoothd's side of one serial port session (struct ext_io)."""

    def __init__(self, device, profile, sock):
        self.device = device
        self.profile = profile
        self.sock = sock
        # ext_io_disconnected: a peer that hangs up ends the session.
        self.watch = GLib.io_add_watch(sock.fileno(), GLib.IO_HUP | GLib.IO_ERR, self.hung_up)

    def hung_up(self, _fd, _condition):
        self.watch = None
        self.device.sessions = {k: s for k, s in self.device.sessions.items() if s is not self}
        self.close()
        return False

    def close(self):
        if self.watch:
            GLib.source_remove(self.watch)
            self.watch = None
        self.sock.close()


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
        super().__init__(fake, path, {DEVICE: props})
        self.config = config
        self.sessions = {}  # UUID in lower case -> Session
        self.connecting = False

    def offers(self, uuid):
        return any(u.lower() == uuid.lower() for u in self.config.get("uuids", []))

    @dbus.service.method(DEVICE, in_signature="s", async_callbacks=("reply", "fail"))
    def ConnectProfile(self, uuid, reply, fail):
        uuid = str(uuid)
        # connect_profiles: one connection attempt at a time.
        if self.connecting:
            return fail(bluez_error("InProgress", "br-connection-busy"))
        if self.config.get("vanish"):
            self.fake.remove_object(self.path)
            return fail(dbus.DBusException(
                "Method \"ConnectProfile\" with signature \"s\" on interface "
                "\"org.bluez.Device1\" doesn't exist",
                name="org.freedesktop.DBus.Error.UnknownObject"))
        profile = self.fake.manager.profile_for(uuid)
        if profile is None or not self.offers(uuid):
            return fail(bluez_error("NotAvailable", "br-connection-profile-unavailable"))
        # btd_service_connect: a connected service gives -EALREADY, which
        # connect_profiles answers with success; no NewConnection follows.
        if self.config.get("connected") or uuid.lower() in self.sessions:
            return reply()
        self.connecting = True
        after(self.config.get("delay", 0), self.open_session, uuid.lower(), profile, reply, fail)

    def open_session(self, uuid, profile, reply, fail):
        if self.config.get("refuse") or "peer" not in self.config:
            self.connecting = False
            reason = "br-connection-refused" if "peer" in self.config else \
                "br-connection-page-timeout"
            return fail(bluez_error("Failed", reason))
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(self.config["peer"])
        handed = os.dup(sock.fileno())

        def done(*_):
            # new_conn_reply: the session is up.
            self.connecting = False
            self.sessions[uuid] = Session(self, profile, sock)
            reply()

        def refused(error):
            self.connecting = False
            sock.close()
            fail(bluez_error("Failed", "br-connection-refused"))

        client, path = profile
        self.fake.bus.call_async(client, path, PROFILE, "NewConnection", "oha{sv}",
                                 (dbus.ObjectPath(self.path), dbus.types.UnixFd(handed), {}),
                                 done, refused)
        os.close(handed)

    @dbus.service.method(DEVICE, in_signature="s", async_callbacks=("reply", "fail"))
    def DisconnectProfile(self, uuid, reply, fail):
        # disconnect_profile: nothing to do for a service that is not
        # connected; otherwise ext_disconnect_dev asks the profile, and
        # disconn_reply closes bluetoothd's descriptor.
        session = self.sessions.pop(str(uuid).lower(), None)
        if session is None:
            return reply()
        client, path = session.profile

        def done(*_):
            session.close()
            reply()

        self.fake.bus.call_async(client, path, PROFILE, "RequestDisconnection", "o",
                                 (dbus.ObjectPath(self.path),), done, lambda _: done())

    def end_sessions(self, profile):
        for uuid in [u for u, s in self.sessions.items() if s.profile == profile]:
            self.sessions.pop(uuid).close()


class FakeBluez:
    def __init__(self, config):
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        self.bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
        self.objects = {}
        self.root = Root(self)
        self.manager = self.add(ProfileManager(self))
        self.loop = GLib.MainLoop()
        if config.get("adapter", True):
            self.add(BluezObject(self, "/org/bluez/hci0", {"org.bluez.Adapter1": {
                "Address": "00:00:00:00:00:00", "Powered": dbus.Boolean(True)}}))
            for i, device in enumerate(config.get("devices", [])):
                path = "/org/bluez/hci0/dev_%02d_%s" % (i, device["address"].replace(":", "_"))
                self.add(Device(self, path, device))

    def add(self, obj):
        self.objects[obj.path] = obj
        return obj

    def devices(self):
        return [o for o in self.objects.values() if isinstance(o, Device)]

    def remove_object(self, path):
        obj = self.objects.pop(path)
        obj.remove_from_connection()
        self.root.InterfacesRemoved(path, list(obj.interfaces))

    def stop(self):
        # The daemon ends as bluetoothd does on SIGTERM.
        self.manager.release_all()
        self.loop.quit()
        return False

    def run(self):
        self.name = dbus.service.BusName(BUS_NAME, self.bus)
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, self.stop)
        print("ready", flush=True)
        self.loop.run()


if __name__ == "__main__":
    FakeBluez(json.loads(sys.argv[1] if len(sys.argv) > 1 else "{}")).run()
