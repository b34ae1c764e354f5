"""kivd following battery power, sleep and the session lock over a private
system bus, with stand-in UPower and logind services owning their names."""

import os
import unittest

from busstub import SystemBus
from kivtest import KivTestCase

def pause_on_battery(env):
    """Writes a configuration with battery_mode "pause"."""
    config = os.path.join(env.config, "kiv", "config.toml")
    os.makedirs(os.path.dirname(config), exist_ok=True)
    with open(config, "w") as f:
        f.write('[pause]\nbattery_mode = "pause"\n')


class PowerTestCase(KivTestCase):
    """A private system bus (not started yet) and a daemon that pauses on
    battery."""

    def setUp(self):
        super().setUp()
        self.env.vars["KIV_DRM_DPMS"] = "0"
        self.bus = SystemBus(self.env)
        self.addCleanup(self.bus.stop)
        pause_on_battery(self.env)

    def follow_session(self):
        self.env.vars["XDG_SESSION_ID"] = self.bus.session_id

    def flags(self, s):
        return {k: s[k] for k in ("on_battery", "locked", "paused", "reason")}


class InitialReadTest(PowerTestCase):

    def test_properties_read_at_start(self):
        cases = [
            # name, bus state, XDG_SESSION_ID, expected status
            ("plugged in", {}, "c1",
             dict(on_battery=False, locked=False, paused=False, reason="visible")),
            ("on battery", {"on_battery": True}, "c1",
             dict(on_battery=True, locked=False, paused=True, reason="battery")),
            ("locked on battery", {"on_battery": True, "locked": True}, "c1",
             dict(on_battery=True, locked=True, paused=True, reason="locked")),
            ("sleeping while locked", {"sleeping": True, "locked": True}, "c1",
             dict(on_battery=False, locked=True, paused=True, reason="sleep")),
            ("no session id", {"locked": True}, None,
             dict(on_battery=False, locked=False, paused=False, reason="visible")),
            ("unknown session", {"locked": True}, "c9",
             dict(on_battery=False, locked=False, paused=False, reason="visible")),
        ]
        for name, state, session, expected in cases:
            with self.subTest(name):
                self.bus.start(**state)
                if session:
                    self.env.vars["XDG_SESSION_ID"] = session
                else:
                    self.env.vars.pop("XDG_SESSION_ID", None)
                d = self.start_daemon()
                self.assertEqual(self.flags(self.daemon_status()), expected)
                self.assertEqual(d.stop(), 0)
                self.procs.remove(d)

    def test_no_bus_is_silent(self):
        d = self.start_daemon()
        self.assertEqual(self.flags(self.daemon_status()),
                         dict(on_battery=False, locked=False, paused=False, reason="visible"))
        self.assertEqual(d.stop(), 0)
        self.assertNotIn("bus", d.log())


class SignalTest(PowerTestCase):

    def setUp(self):
        super().setUp()
        self.bus.start()
        self.follow_session()
        self.daemon = self.start_daemon()

    def test_battery(self):
        self.bus.set_on_battery(True)
        self.wait_daemon_status("on battery", on_battery=True, paused=True, reason="battery")
        self.bus.set_on_battery(False)
        self.wait_daemon_status("plugged in", on_battery=False, paused=False, reason="visible")
        self.assertEqual(self.daemon.log().count("policy pause=1 poster=0 reason=battery"), 1)

    def test_other_upower_changes_are_ignored(self):
        ignored = [
            ("org.freedesktop.UPower", {"LidIsClosed": True, "Percentage": 12.5}),
            ("org.freedesktop.UPower.Device", {"OnBattery": True}),
            ("org.freedesktop.UPower", {"OnBattery": "yes"}),
            ("org.freedesktop.UPower", {}),
        ]
        for interface, changed in ignored:
            self.bus.upower_changed(interface, changed)
        # Signals from one sender arrive in order: once this one is seen, the
        # ones before it have been handled.
        self.bus.prepare_for_sleep(True)
        s = self.wait_daemon_status("sleeping", reason="sleep")
        self.assertEqual((s["on_battery"], s["locked"]), (False, False))

    def test_sleep_lock_and_battery_in_turn(self):
        steps = [
            # what happens on the bus, expected status afterwards
            ("sleep", lambda: self.bus.prepare_for_sleep(True),
             dict(on_battery=False, locked=False, paused=True, reason="sleep")),
            ("lock while asleep", self.bus.lock,
             dict(on_battery=False, locked=True, paused=True, reason="sleep")),
            ("wake up locked", lambda: self.bus.prepare_for_sleep(False),
             dict(on_battery=False, locked=True, paused=True, reason="locked")),
            ("battery while locked", lambda: self.bus.set_on_battery(True),
             dict(on_battery=True, locked=True, paused=True, reason="locked")),
            ("unlock", self.bus.unlock,
             dict(on_battery=True, locked=False, paused=True, reason="battery")),
            ("plugged in", lambda: self.bus.set_on_battery(False),
             dict(on_battery=False, locked=False, paused=False, reason="visible")),
            ("locked hint", lambda: self.bus.set_locked_hint(True),
             dict(on_battery=False, locked=True, paused=True, reason="locked")),
            ("locked hint cleared", lambda: self.bus.set_locked_hint(False),
             dict(on_battery=False, locked=False, paused=False, reason="visible")),
        ]
        for name, act, expected in steps:
            with self.subTest(name):
                act()
                self.wait_daemon_status(name, **expected)


class NoSessionTest(PowerTestCase):

    def test_lock_not_followed_without_session(self):
        self.bus.start()
        self.start_daemon()
        self.bus.lock()
        self.bus.set_locked_hint(True)
        self.bus.set_on_battery(True)
        s = self.wait_daemon_status("on battery", on_battery=True, reason="battery")
        self.assertFalse(s["locked"])
        self.bus.prepare_for_sleep(True)
        s = self.wait_daemon_status("sleeping", reason="sleep")
        self.assertFalse(s["locked"])


if __name__ == "__main__":
    unittest.main()
