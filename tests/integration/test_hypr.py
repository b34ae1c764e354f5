"""kivd following a (stand-in) Hyprland instance: instance discovery, the event
stream, the clients/monitors requests and the flags the policy acts on."""

import os
import time
import unittest

from hyprstub import HyprStub, client, encode, latin1, monitor
from kivtest import KivTestCase, wait_for

CONNECTED = "hyprland connected at %s"


class HyprTestCase(KivTestCase):

    def setUp(self):
        super().setUp()
        # The machine's own DRM connectors must not override the monitors-off flag.
        self.env.vars["KIV_DRM_DPMS"] = "0"
        self.stubs = []

    def tearDown(self):
        for s in self.stubs:
            s.vanish()
        super().tearDown()

    def stub(self, signature, **kw):
        s = HyprStub(self.env.runtime, signature, **kw).start()
        self.stubs.append(s)
        return s

    def start_connected(self, stub, signature=True):
        if signature:
            self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = os.path.basename(stub.dir)
        d = self.start_daemon()
        d.wait_log(CONNECTED % stub.dir, timeout=20)
        stub.wait_event_client()
        # The first refresh happens at creation or on the first tick.
        stub.wait_requests(["j/clients", "j/monitors"])
        return d

    def stop_daemon(self, d):
        """Stops a daemon of one case, so that the next case can start its own."""
        self.assertEqual(d.stop(), 0)
        self.procs.remove(d)

    def clients_requests(self, stub):
        return stub.requests().count("j/clients")


class FlagsTest(HyprTestCase):

    def test_fullscreen_window_pauses(self):
        hypr = self.stub("sig-full", clients=[client(workspace=1, fullscreen=0)],
                         monitors=[monitor("HEADLESS-1", workspace=1)])
        d = self.start_connected(hypr)
        self.wait_daemon_status("visible at start", paused=False, reason="visible", fullscreen=False,
                         window_visible=True, monitor_count=1)

        hypr.set_state(clients=[client(workspace=1, fullscreen=2)])
        hypr.send_event("fullscreen>>1\n")
        s = self.wait_daemon_status("fullscreen pause", paused=True, reason="fullscreen",
                             fullscreen=True)
        self.assertFalse(s["monitors_off"])
        self.assertFalse(s["locked"])
        d.wait_log("policy pause=1 poster=0 reason=fullscreen")

        r = self.kiv("status")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('"fullscreen":true', r.stdout)
        self.assertIn('"reason":"fullscreen"', r.stdout)

        # The window leaves fullscreen: visible again.
        hypr.set_state(clients=[client(workspace=1, fullscreen=0)])
        hypr.send_event("fullscreen>>0\n")
        self.wait_daemon_status("resumed", paused=False, reason="visible", fullscreen=False)

    def test_fullscreen_as_each_release_reports_it(self):
        cases = [
            # (name, release, the window's fullscreen members, pauses)
            ("0.56 fullscreen", (0, 56), {"fullscreen": 2}, True),
            ("0.56 maximized", (0, 56), {"fullscreen": 1}, False),
            ("0.55 maximized, then fullscreen", (0, 55), {"fullscreen": 3}, True),
            ("0.55 fullscreen", (0, 55), {"fullscreen": 2}, True),
            ("0.41 fullscreen", (0, 41), {"fullscreen": True, "fullscreenMode": 0}, True),
            ("0.41 maximized", (0, 41), {"fullscreen": True, "fullscreenMode": 1}, False),
        ]
        for name, version, members, pauses in cases:
            with self.subTest(name):
                hypr = self.stub("sig-fs-%d" % len(self.stubs), version=version)
                d = self.start_connected(hypr)
                try:
                    self.check_fullscreen(hypr, name, version, members, pauses)
                finally:
                    self.stop_daemon(d)
                    hypr.vanish()

    def check_fullscreen(self, hypr, name, version, members, pauses):
        normal = {"fullscreen": False, "fullscreenMode": 0} if version <= (0, 41) \
            else {"fullscreen": 0}
        # Beside the window that matters, an X11 window titled in Latin-1,
        # for which a strict JSON reader would refuse the whole list.
        other = client(workspace=5, title=latin1("Fen\u00eatre \u00e9t\u00e9"), **normal)
        hypr.set_state(clients=[other, client(workspace=1, **normal)],
                       monitors=[monitor("HEADLESS-1", workspace=1)])
        hypr.send_event("openwindow>>5a1,1,foot,foot\n")
        self.wait_daemon_status("visible", paused=False, fullscreen=False, window_visible=True)

        hypr.set_state(clients=[other, client(workspace=1, **members)])
        hypr.send_event("fullscreen>>1\n")
        if pauses:
            self.wait_daemon_status(name, paused=True, reason="fullscreen", fullscreen=True)
        else:
            # The refresh has been read once the next one is.
            hypr.clear_requests()
            hypr.send_event("workspace>>1\n")
            hypr.wait_requests(["j/clients", "j/monitors"])
            s = self.daemon_status()
            self.assertEqual((s["paused"], s["fullscreen"], s["reason"]),
                             (False, False, "visible"), s)

        # The window leaves fullscreen: visible again.
        hypr.set_state(clients=[other, client(workspace=1, **normal)])
        hypr.send_event("fullscreen>>0\n")
        self.wait_daemon_status("visible again", paused=False, fullscreen=False,
                                reason="visible")

    def test_lock_screen_as_each_release_reports_it(self):
        # From 0.51 the monitors say "LOCK"; 0.41 to 0.50 only answer j/locked.
        for version in ((0, 56), (0, 45)):
            with self.subTest("%d.%d" % version):
                hypr = self.stub("sig-lock-%d" % version[1], version=version)
                d = self.start_connected(hypr)
                try:
                    self.check_lock(hypr)
                    asked = "j/locked" in hypr.requests()
                    self.assertEqual(asked, version < (0, 51), hypr.requests())
                finally:
                    self.stop_daemon(d)
                    hypr.vanish()

    def check_lock(self, hypr):
        self.wait_daemon_status("unlocked at start", locked=False, reason="visible")
        cases = [
            # (name, monitors, session locked, monitors_off, reason)
            ("lock on a powered monitor", [monitor()], True, False, "locked"),
            ("unlocked, other blockers", [monitor(solitaryBlockedBy=["WINDOWED"])], False, False,
             "visible"),
            ("lock on a powered-off monitor",
             [monitor(dpmsStatus=False, solitaryBlockedBy=["WINDOWED"])], True, True, "locked"),
            ("unlocked, powered off", [monitor(dpmsStatus=False)], False, True, "dpms-off"),
            ("unlocked", [monitor()], False, False, "visible"),
        ]
        for name, monitors, locked, off, reason in cases:
            # No event: only the periodic requests can notice it.
            hypr.set_state(monitors=monitors, locked=locked)
            self.wait_daemon_status(name, locked=locked, monitors_off=off, reason=reason)

    def test_monitors_power(self):
        hypr = self.stub("sig-dpms")
        self.start_connected(hypr)
        cases = [
            ("both off", [monitor("DP-1", dpmsStatus=False), monitor("DP-2", dpmsStatus=False)],
             True, 2),
            ("one on", [monitor("DP-1", dpmsStatus=False), monitor("DP-2", dpmsStatus=True)],
             False, 2),
            # Plain j/monitors leaves a disabled monitor out.
            ("one disabled, the other off",
             [monitor("DP-1", disabled=True), monitor("DP-2", dpmsStatus=False)], True, 1),
            ("every monitor disabled", [monitor("DP-1", disabled=True)], False, 0),
            ("no monitors", [], False, 0),
        ]
        for name, monitors, off, count in cases:
            with self.subTest(name):
                hypr.set_state(monitors=monitors)
                self.wait_daemon_status(name, monitors_off=off, monitor_count=count,
                                 reason="dpms-off" if off else "visible")


class EventsTest(HyprTestCase):

    def test_event_lines(self):
        hypr = self.stub("sig-events")
        self.start_connected(hypr)
        self.daemon_status()
        base = self.clients_requests(hypr)

        # Focus and title changes cost nothing.
        hypr.send_event("activewindow>>foot,~\nactivewindowv2>>5a0\n"
                        "windowtitle>>5a0\nwindowtitlev2>>5a0,~\n")
        self.daemon_status()  # the daemon has read the events before it serves this
        self.assertEqual(self.clients_requests(hypr), base, hypr.requests())

        # Half a line waits for its line feed, then counts once.
        hypr.send_event("workspa")
        self.daemon_status()
        self.assertEqual(self.clients_requests(hypr), base, hypr.requests())
        hypr.send_event("cev2>>2,2\n")
        wait_for(lambda: self.clients_requests(hypr) == base + 1, timeout=20,
                 what="one refresh after the split line")
        seen = hypr.wait_requests(["j/clients", "j/monitors"])
        self.daemon_status()
        self.assertEqual(self.clients_requests(hypr), base + 1, seen)

        # Several relevant lines in one read: one refresh.
        hypr.send_event("openwindow>>5a1,2,foot,foot\nmovewindow>>5a1,3\n")
        wait_for(lambda: self.clients_requests(hypr) == base + 2, timeout=20,
                 what="refresh after two lines")
        self.daemon_status()
        self.assertEqual(self.clients_requests(hypr), base + 2, hypr.requests())

    def test_bad_monitors_reply_keeps_flags(self):
        off = [monitor("DP-1", dpmsStatus=False), monitor("DP-2", dpmsStatus=False)]
        hypr = self.stub("sig-bad", monitors=off)
        self.start_connected(hypr)
        self.wait_daemon_status("monitors off", monitors_off=True, monitor_count=2, reason="dpms-off")

        # Each of these would turn the monitors on if it were accepted.
        big = encode([monitor("DP-1", dpmsStatus=True, pad="x" * (4 * 1024 * 1024))])
        cases = [
            ("error text", "unknown request"),
            ("json object", '{"name":"DP-1","dpmsStatus":true}'),
            ("empty reply", b""),
            ("truncated array", '[{"name":"DP-1","dpmsStatus":true}'),
            ("bytes outside a text", b'[{"name":"DP-1","dpmsStatus":true}\xe9]'),
            ("over four MiB", big),
        ]
        for name, reply in cases:
            with self.subTest(name):
                hypr.set_reply("monitors", reply)
                hypr.clear_requests()
                # Two ticks and one event refresh with the bad reply.
                wait_for(lambda: hypr.requests().count("j/monitors") >= 2, timeout=20,
                         what="monitors requests")
                hypr.send_event("workspace>>4\n")
                hypr.wait_requests(["j/clients", "j/monitors"])
                s = self.daemon_status()
                self.assertTrue(s["monitors_off"], s)
                self.assertEqual(s["monitor_count"], 2, s)
                self.assertEqual(s["reason"], "dpms-off", s)

        # A good reply is taken again.
        hypr.set_reply("monitors", None)
        hypr.set_state(monitors=[monitor("DP-1"), monitor("DP-2")])
        self.wait_daemon_status("monitors on", monitors_off=False, reason="visible")


class InstanceTest(HyprTestCase):

    def test_instance_choice(self):
        cases = [
            # (name, instances oldest first, those that exited, signature, expected instance)
            ("signature preferred over a newer instance", ["older", "newer"], [], "older",
             "older"),
            ("newest without a signature", ["older", "newer"], [], None, "newer"),
            ("newest when the signature's instance is gone", ["older", "newer"], [], "gone",
             "newer"),
            # An instance that exited leaves its directory and sockets behind.
            ("a newer instance that exited is passed over", ["older", "newer"], ["newer"], None,
             "older"),
            ("the signature's instance exited", ["older", "newer"], ["newer"], "newer", "older"),
        ]
        for name, instances, exited, signature, expected in cases:
            with self.subTest(name):
                stubs = {}
                now = time.time()
                for age, sig in enumerate(reversed(instances)):
                    stubs[sig] = self.stub("%s-%d" % (sig, len(self.stubs)))
                    if sig in exited:
                        stubs[sig].vanish()
                    t = now - 100 * (age + 1)
                    os.utime(stubs[sig].dir, (t, t))
                self.env.vars.pop("HYPRLAND_INSTANCE_SIGNATURE", None)
                if signature in stubs:
                    self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = os.path.basename(
                        stubs[signature].dir)
                elif signature:
                    self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = signature
                d = self.start_daemon()
                try:
                    d.wait_log(CONNECTED % stubs[expected].dir, timeout=20)
                    stubs[expected].wait_event_client()
                    self.daemon_status()
                    for sig, s in stubs.items():
                        if sig != expected:
                            self.assertEqual(s.event_connects(), 0, sig)
                            self.assertEqual(s.requests(), [], sig)
                    self.assertEqual(d.log().count("hyprland connected at"), 1, d.log())
                finally:
                    self.stop_daemon(d)
                    for s in stubs.values():
                        s.vanish()
                        self.stubs.remove(s)

    def test_reconnects_after_instance_vanishes(self):
        hypr = self.stub("sig-back", clients=[client(workspace=1, fullscreen=2)])
        d = self.start_connected(hypr)
        self.wait_daemon_status("fullscreen", fullscreen=True, reason="fullscreen")

        hypr.vanish()
        # Flags survive the loss; no message while nothing is there.
        wait_for(lambda: hypr.event_clients() == 0, what="event client dropped")
        time.sleep(4.5)  # two ticks without an instance
        s = self.daemon_status()
        self.assertTrue(s["fullscreen"], s)
        self.assertEqual(s["reason"], "fullscreen", s)
        self.assertEqual(d.log().count(CONNECTED % hypr.dir), 1, d.log())

        hypr.set_state(clients=[])
        hypr.start()
        wait_for(lambda: d.log().count(CONNECTED % hypr.dir) == 2, timeout=20,
                 what="second connection message")
        hypr.wait_event_client()
        self.wait_daemon_status("visible after reconnection", fullscreen=False, reason="visible")


class NoInstanceTest(HyprTestCase):

    def test_without_hyprland(self):
        d = self.start_daemon()
        self.daemon_status()
        time.sleep(4.5)  # two ticks
        s = self.daemon_status()
        self.assertFalse(s["fullscreen"])
        self.assertFalse(s["monitors_off"])
        self.assertEqual(s["monitor_count"], 0)
        self.assertEqual(s["reason"], "visible")
        self.assertNotIn("hyprland connected", d.log())


if __name__ == "__main__":
    unittest.main()
