#!/usr/bin/python3
# A stand-in for NetworkManager on a private system bus: one active connection whose DHCPv4 lease
# carries the given "wpad" option. Modes: "lease" answers, "none" has no lease, "hang" takes the
# name but never answers a call.
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

address, mode, wpad = sys.argv[1], sys.argv[2], sys.argv[3]
PROPS = "org.freedesktop.DBus.Properties"
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName("org.freedesktop.NetworkManager", bus)

VALUES = {
    ("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager", "ActiveConnections"):
        dbus.Array([dbus.ObjectPath("/org/freedesktop/NetworkManager/ActiveConnection/1")], signature="o"),
    ("/org/freedesktop/NetworkManager/ActiveConnection/1", "org.freedesktop.NetworkManager.Connection.Active",
     "Dhcp4Config"):
        dbus.ObjectPath("/org/freedesktop/NetworkManager/DHCP4Config/1" if mode != "none" else "/"),
    ("/org/freedesktop/NetworkManager/DHCP4Config/1", "org.freedesktop.NetworkManager.DHCP4Config", "Options"):
        dbus.Dictionary({"wpad": dbus.String(wpad), "ip_address": dbus.String("192.0.2.7")}, signature="sv"),
}


class Node(dbus.service.Object):
    def __init__(self, path):
        dbus.service.Object.__init__(self, bus, path)
        self.path = path

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v", async_callbacks=("reply", "error"))
    def Get(self, interface, prop, reply, error):
        if mode == "hang":
            return  # the caller waits for an answer that never comes
        key = (self.path, interface, prop)
        if key not in VALUES:
            error(dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.UnknownProperty"))
            return
        reply(VALUES[key])


for path in {key[0] for key in VALUES}:
    Node(path)
print("ready", flush=True)
GLib.MainLoop().run()
