#!/usr/bin/python3
# A desktop's global-shortcut backend for tests: the desktop portal forwards
# the app's calls here. It writes every BindShortcuts to a file, one JSON line
# each, and emits Activated/Deactivated or closes the session when the test
# calls Emit/CloseSession on org.tovrelle.TestDesktop (SetMode changes MODE).
#   shortcut_portal_backend.py BUS_NAME RECORD_FILE MODE
# MODE: "bind" binds what is asked, "refuse" refuses BindShortcuts,
# "silent" never answers CreateSession.
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
IMPL = "org.freedesktop.impl.portal.GlobalShortcuts"
SESSION = "org.freedesktop.impl.portal.Session"
TEST = "org.tovrelle.TestDesktop"

bus_name, record_path, mode = sys.argv[1], sys.argv[2], sys.argv[3]


class Session(dbus.service.Object):
    def __init__(self, conn, path, backend):
        super().__init__(conn, path)
        self.backend = backend

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        self.backend.sessions.pop(self._object_path, None)
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class Backend(dbus.service.Object):
    def __init__(self, conn):
        super().__init__(conn, PATH)
        self.conn = conn
        self.sessions = {}
        self.bound = {}

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def CreateSession(self, handle, session_handle, app_id, options, reply, error):
        if mode == "silent":
            return
        self.sessions[str(session_handle)] = Session(self.conn, session_handle, self)
        reply(dbus.UInt32(0), dbus.Dictionary({"session_handle": str(session_handle)}, signature="sv"))

    @dbus.service.method(IMPL, in_signature="ooa(sa{sv})sa{sv}", out_signature="ua{sv}")
    def BindShortcuts(self, handle, session_handle, shortcuts, parent_window, options):
        record = [{"id": str(i), "description": str(p.get("description", "")),
                   "preferred_trigger": str(p.get("preferred_trigger", ""))} for i, p in shortcuts]
        with open(record_path, "a") as out:
            out.write(json.dumps({"session": str(session_handle), "shortcuts": record}) + "\n")
        if mode == "refuse":
            return dbus.UInt32(2), dbus.Dictionary({}, signature="sv")
        self.bound = {r["id"]: r for r in record}
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": self.listed()}, signature="sv")

    @dbus.service.method(IMPL, in_signature="oo", out_signature="ua{sv}")
    def ListShortcuts(self, handle, session_handle):
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": self.listed()}, signature="sv")

    def listed(self):
        return dbus.Array([dbus.Struct((r["id"], dbus.Dictionary(
            {"description": r["description"], "trigger_description": r["preferred_trigger"]}, signature="sv")))
            for r in self.bound.values()], signature="(sa{sv})")

    @dbus.service.signal(IMPL, signature="osta{sv}")
    def Activated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(IMPL, signature="osta{sv}")
    def Deactivated(self, session_handle, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(TEST, in_signature="ss", out_signature="b")
    def Emit(self, kind, shortcut_id):
        if not self.sessions:
            return False
        for path in self.sessions:
            signal = self.Activated if kind == "Activated" else self.Deactivated
            signal(dbus.ObjectPath(path), shortcut_id, dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))
        return True

    @dbus.service.method(TEST, in_signature="s", out_signature="b")
    def SetMode(self, new_mode):
        global mode
        mode = str(new_mode)
        return True

    @dbus.service.method(TEST, in_signature="", out_signature="b")
    def CloseSession(self):
        for session in list(self.sessions.values()):
            session.Closed()
            session.remove_from_connection()
        closed = bool(self.sessions)
        self.sessions.clear()
        return closed


DBusGMainLoop(set_as_default=True)
connection = dbus.SessionBus()
backend = Backend(connection)
name = dbus.service.BusName(bus_name, connection)
print("ready", flush=True)
GLib.MainLoop().run()
