"""A private system bus with stand-in UPower and logind services.

Usage from a test (the daemon finds the bus through DBUS_SYSTEM_BUS_ADDRESS,
which kivtest.Env already points at <env.root>/no-bus, so by default nothing
answers there until a bus is started at that address):

    from busstub import SystemBus
    bus = SystemBus(self.env)           # listens at the address in env.vars
    self.addCleanup(bus.stop)
    bus.start(on_battery=False)         # dbus-daemon plus both services
    self.env.vars["XDG_SESSION_ID"] = bus.session_id   # to follow the lock
    ... start kivd ...
    bus.set_on_battery(True)            # stores OnBattery, emits PropertiesChanged
    bus.prepare_for_sleep(True)         # emits PrepareForSleep(true)
    bus.lock(); bus.unlock()            # the session's Lock / Unlock signals
    bus.set_locked_hint(True)           # stores LockedHint, emits PropertiesChanged
    bus.upower_changed("org.freedesktop.UPower", {"Percentage": 50.0})
                                        # any UPower PropertiesChanged
    bus.kill()                          # the bus and the services vanish
    bus.start(on_battery=True)          # a new bus at the same address
    bus.stop()

Every call returns once the service has sent its signal. start() takes the
initial values on_battery, sleeping (PreparingForSleep) and locked
(LockedHint). The services only own their names and serve what the daemon
reads: UPower's OnBattery; logind's PreparingForSleep and GetSession(id),
which knows the one session bus.session_id ("c1").

Programs in other languages run `python3 busstub.py bus DIR`: it starts a bus
listening in DIR with the services, prints "ready unix:path=..." and then
takes one JSON command per line on standard input ({"op": "on_battery",
"value": true}, {"op": "upower_changed", "interface": ..., "changed": {...}},
{"op": "sleep", "value": ...}, {"op": "lock"}, {"op": "unlock"},
{"op": "locked_hint", "value": ...}, {"op": "kill"}), answering "ok" to each;
it stops the bus at the end of its input. `python3 busstub.py serve ADDRESS
JSON` is the service process itself, speaking the same commands.
"""

import json
import os
import select
import signal
import subprocess
import sys
import time

from kivtest import wait_for

PYTHON = "/usr/bin/python3"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

SESSION_ID = "c1"
UPOWER = "org.freedesktop.UPower"
LOGIN = "org.freedesktop.login1"
MANAGER = "org.freedesktop.login1.Manager"
SESSION = "org.freedesktop.login1.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"


class SystemBus:
    """dbus-daemon of type system plus the service process, at the address
    env.vars["DBUS_SYSTEM_BUS_ADDRESS"] (a unix:path= address)."""

    session_id = SESSION_ID

    def __init__(self, env):
        self.address = env.vars["DBUS_SYSTEM_BUS_ADDRESS"]
        assert self.address.startswith("unix:path="), self.address
        self.socket_path = self.address[len("unix:path="):]
        self.dir = os.path.join(env.root, "bus")
        os.makedirs(self.dir, exist_ok=True)
        self.config_path = os.path.join(self.dir, "system.conf")
        with open(self.config_path, "w") as f:
            f.write(BUS_CONFIG % self.socket_path)
        self.log_path = os.path.join(self.dir, "bus.log")
        self.daemon = None
        self.services = None
        self._pending = b""

    def start(self, on_battery=False, sleeping=False, locked=False, timeout=30.0):
        self.stop()
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)
        log = open(self.log_path, "ab")
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + self.config_path, "--nofork", "--nosyslog"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        wait_for(lambda: os.path.exists(self.socket_path) or self.daemon.poll() is not None,
                 timeout, what="dbus-daemon socket")
        if self.daemon.poll() is not None:
            raise AssertionError("dbus-daemon exited: " + self.log())
        state = {"on_battery": on_battery, "sleeping": sleeping, "locked": locked}
        self.services = subprocess.Popen(
            [PYTHON, os.path.abspath(__file__), "serve", self.address, json.dumps(state)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, bufsize=0)
        self._pending = b""
        self._expect("ready", timeout)
        log.close()

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def _expect(self, word, timeout=30.0):
        fd = self.services.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("bus services silent, expected %r\n%s" % (word, self.log()))
            chunk = os.read(fd, 4096)
            if not chunk:
                raise AssertionError("bus services exited\n" + self.log())
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        if line.decode() != word:
            raise AssertionError("bus services said %r, expected %r" % (line, word))

    def _command(self, **cmd):
        self.services.stdin.write(json.dumps(cmd).encode() + b"\n")
        self._expect("ok")

    def set_on_battery(self, value):
        self._command(op="on_battery", value=bool(value))

    def upower_changed(self, interface, changed):
        """A PropertiesChanged from UPower's object with any dictionary
        (values: bool, float, int or str)."""
        self._command(op="upower_changed", interface=interface, changed=changed)

    def prepare_for_sleep(self, value):
        self._command(op="sleep", value=bool(value))

    def lock(self):
        self._command(op="lock")

    def unlock(self):
        self._command(op="unlock")

    def set_locked_hint(self, value):
        self._command(op="locked_hint", value=bool(value))

    def kill(self):
        """The bus dies at once, as when the system's bus is restarted."""
        for p in (self.daemon, self.services):
            if p and p.poll() is None:
                p.send_signal(signal.SIGKILL)
                p.wait()
        self.daemon = self.services = None

    def stop(self):
        if self.services:
            self.services.stdin.close()
            self.services.stdout.close()
        for p in (self.services, self.daemon):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.daemon = self.services = None


# ---- the service process ----------------------------------------------------

def _variant(value):
    import dbus
    if isinstance(value, bool):
        return dbus.Boolean(value, variant_level=1)
    if isinstance(value, float):
        return dbus.Double(value, variant_level=1)
    if isinstance(value, int):
        return dbus.Int32(value, variant_level=1)
    return dbus.String(value, variant_level=1)


def serve(address, state):
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    session_path = "/org/freedesktop/login1/session/" + SESSION_ID

    class PropertyObject(dbus.service.Object):
        """Serves Get/GetAll from a dictionary per interface."""

        def __init__(self, path, props):
            super().__init__(bus, path)
            self.props = props

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            try:
                return self.props[interface][name]
            except KeyError:
                raise dbus.exceptions.DBusException(
                    "no property " + name, name="org.freedesktop.DBus.Error.UnknownProperty")

        @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return self.props.get(interface, {})

        @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
        def PropertiesChanged(self, interface, changed, invalidated):
            pass

        def change(self, interface, name, value):
            self.props.setdefault(interface, {})[name] = value
            self.PropertiesChanged(interface, {name: value}, [])

    class Manager(PropertyObject):
        @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
        def GetSession(self, session_id):
            if session_id != SESSION_ID:
                raise dbus.exceptions.DBusException(
                    "no session " + session_id, name="org.freedesktop.login1.NoSuchSession")
            return dbus.ObjectPath(session_path)

        @dbus.service.signal(MANAGER, signature="b")
        def PrepareForSleep(self, start):
            pass

    class Session(PropertyObject):
        @dbus.service.signal(SESSION, signature="")
        def Lock(self):
            pass

        @dbus.service.signal(SESSION, signature="")
        def Unlock(self):
            pass

    upower = PropertyObject("/org/freedesktop/UPower", {
        UPOWER: {"OnBattery": dbus.Boolean(state["on_battery"]), "LidIsPresent": dbus.Boolean(True)}})
    manager = Manager("/org/freedesktop/login1", {
        MANAGER: {"PreparingForSleep": dbus.Boolean(state["sleeping"])}})
    session = Session(session_path, {
        SESSION: {"LockedHint": dbus.Boolean(state["locked"]), "Id": dbus.String(SESSION_ID)}})
    # Signals count only when they come from the owner of the service name.
    names = [dbus.service.BusName(name, bus, do_not_queue=True) for name in (UPOWER, LOGIN)]

    def command(line):
        cmd = json.loads(line)
        op = cmd["op"]
        if op == "on_battery":
            upower.change(UPOWER, "OnBattery", dbus.Boolean(cmd["value"]))
        elif op == "upower_changed":
            changed = dbus.Dictionary({k: _variant(v) for k, v in cmd["changed"].items()},
                                      signature="sv")
            upower.PropertiesChanged(cmd["interface"], changed, dbus.Array([], signature="s"))
        elif op == "sleep":
            manager.props[MANAGER]["PreparingForSleep"] = dbus.Boolean(cmd["value"])
            manager.PrepareForSleep(cmd["value"])
        elif op == "lock":
            session.Lock()
        elif op == "unlock":
            session.Unlock()
        elif op == "locked_hint":
            session.change(SESSION, "LockedHint", dbus.Boolean(cmd["value"]))
        bus.flush()

    loop = GLib.MainLoop()

    def on_input(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        command(line)
        print("ok", flush=True)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    print("ready", flush=True)
    loop.run()
    del names


def run_bus(directory):
    class Dir:
        root = directory
        vars = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(directory, "system_bus")}
    bus = SystemBus(Dir)
    bus.start()
    print("ready " + bus.address, flush=True)
    try:
        for line in sys.stdin:
            cmd = json.loads(line)
            if cmd["op"] == "kill":
                bus.kill()
            else:
                bus._command(**cmd)
            print("ok", flush=True)
    finally:
        bus.stop()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "serve":
        serve(sys.argv[2], json.loads(sys.argv[3]))
    elif len(sys.argv) == 3 and sys.argv[1] == "bus":
        run_bus(sys.argv[2])
    else:
        sys.exit("usage: busstub.py bus DIR | serve ADDRESS JSON")
