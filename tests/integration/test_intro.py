"""Intro videos through the real kiv, kivd and kiv-render on a headless sway:
`kiv intro` starts a one-shot video over a still background and waits for
its end; every way an intro can end is played here, watching the screen, the
daemon's status and the client's exit status. Hyprland is played by hyprstub,
UPower and logind by busstub, and tarvine-shell by a stand-in whose background
plug-in takes the still unless the test makes it refuse."""

import os
import signal
import unittest

from busstub import SystemBus
from compositor import ffmpeg
from hyprstub import HyprStub, client, monitor
from kivtest import KIV, file_lines, wait_for
from test_system import GREEN, RED, SPAWNED, SystemTestCase

BLUE = (40, 60, 220)
ENDED_EARLY = 'kiv: intro ended early: {"status":"ok","running":false,"result":"error"}\n'
REFUSED = 'kiv: intro rejected: {"status":"error","message":"Intro start failed"}\n'

# Enabling the background plug-in fails while the refuse file exists; then the
# renderer draws the still, which the screenshots can see.
SHELL = """#!/bin/sh
echo "$*" >> %s
if [ "$4" = true ] && [ -e %s ]; then echo "tarvine.background: no such plugin"; exit 1; fi
exit 0
"""


def blue_video(path, seconds):
    ffmpeg("-f", "lavfi", "-i", "color=c=0x%02x%02x%02x:size=320x180:rate=10" % BLUE,
           "-t", str(seconds), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           path, timeout=180)


class IntroTestCase(SystemTestCase):
    """The system test fixture with intro media, a shell stand-in that can be
    told to refuse the still, and a Hyprland stand-in."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        m = cls.media
        m["intro"] = os.path.join(cls.media_dir, "intro.mp4")
        blue_video(m["intro"], 6)
        m["long_intro"] = os.path.join(cls.media_dir, "long-intro.mp4")
        blue_video(m["long_intro"], 28)
        m["gif"] = os.path.join(cls.media_dir, "anim.gif")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x64:rate=5", "-t", "1", m["gif"])
        m["not_video"] = os.path.join(cls.media_dir, "not-a-video.mp4")
        with open(m["not_video"], "wb") as f:
            f.write(b"this is no video at all\n" * 64)

    def setUp(self):
        super().setUp()
        self.refuse_file = os.path.join(self.env.root, "shell-refuses")
        with open(os.path.join(self.env.root, "shellbin", "tarvine-shell"), "w") as f:
            f.write(SHELL % (self.shell_log, self.refuse_file))
        self.hypr = HyprStub(self.env.runtime, "sig-intro", monitors=[monitor("HEADLESS-1")],
                             clients=[])
        self.addCleanup(self.hypr.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-intro"

    def shell_refuses(self, refuses):
        if refuses:
            open(self.refuse_file, "w").close()
        elif os.path.exists(self.refuse_file):
            os.unlink(self.refuse_file)

    def shell_calls(self):
        return file_lines(self.shell_log)

    def start_system(self, shell_takes_still):
        """The daemon over the red still, drawn by the shell or the renderer."""
        self.shell_refuses(not shell_takes_still)
        # A fresh instance: event connections of an earlier daemon are gone.
        self.hypr.vanish()
        self.hypr.set_state(clients=[], monitors=[monitor("HEADLESS-1")], locked=False)
        self.hypr.start()
        d = self.start_daemon()
        self.hypr.wait_event_client()
        self.run_kiv("set", self.media["red"])
        if shell_takes_still:
            self.wait_status(lambda s: s["engine"] == "shell" and s["media_ready"]
                             and s["source_path"] == self.media["red"], "the shell takes red")
        else:
            self.wait_loaded(self.media["red"], "still")
        return d

    def start_intro(self, name):
        """Starts `kiv intro` in the background; returns it once it plays."""
        p = self.start([KIV, "intro", self.media[name]], "kiv-intro")
        s = self.wait_status(lambda s: s["intro"] or not p.alive(), "the intro playing")
        self.assertTrue(s["intro"], p.log())
        self.assertEqual((s["intro_result"], s["engine"]), ("running", "renderer"))
        return p

    def assert_exit(self, p, code, err=""):
        self.assertEqual(p.wait(90), code, p.log())
        self.assertEqual((p.stdout(), p.stderr()), ("", err))

    def assert_ended(self, d, reason):
        """The intro ended early for reason, as the daemon reports it."""
        d.wait_log("intro ended: %s" % reason, 60)
        s = self.status()
        self.assertEqual((s["intro"], s["intro_result"]), (False, "error"))

    def assert_still_back(self, path, colour):
        """The renderer draws the still again."""
        self.wait_loaded(path, "still")
        self.wait_filled(colour)


class IntroTest(IntroTestCase):

    def test_intro_plays_over_the_still_and_ends(self):
        d = self.start_system(shell_takes_still=False)
        self.wait_filled(RED)
        p = self.start_intro("intro")
        self.assertTrue(self.run_kiv("render-status")["intro"])
        self.wait_filled(BLUE)
        self.assert_exit(p, 0)
        s = self.status()
        self.assertEqual((s["intro"], s["intro_result"]), (False, "ok"))
        self.assertIn("intro playing: %s" % self.media["intro"], d.log())
        self.assertIn("intro finished", d.log())
        self.assert_still_back(self.media["red"], RED)

    def test_intro_gives_the_still_back_to_the_shell(self):
        self.start_system(shell_takes_still=True)
        calls = len(self.shell_calls())
        p = self.start_intro("intro")
        self.assertEqual(self.shell_calls()[calls:],
                         ["shell setPluginEnabled tarvine.background false"])
        self.assert_exit(p, 0)
        s = self.wait_status(lambda s: s["engine"] == "shell" and not s["render_alive"],
                             "the shell drawing the still again")
        self.assertEqual((s["intro_result"], s["source_path"], s["media_ready"]),
                         ("ok", self.media["red"], True))
        self.assertEqual(self.shell_calls()[calls:],
                         ["shell setPluginEnabled tarvine.background false",
                          "shell setPluginEnabled tarvine.background true"])

    def test_refused_unless_the_background_is_a_still(self):
        d = self.start_system(shell_takes_still=False)
        before = self.status()
        self.assertEqual(self.run_kiv("raw", '{"cmd":"intro-stop"}'), {"status": "ok"})
        self.assertEqual(self.status(), before, "intro-stop without an intro changed something")

        self.show("video", "video")
        # The outputs' list follows the renderer's reports a moment later.
        self.wait_status(lambda s: s["outputs"] and all(o["ready"] and o["shows"]
                                                        for o in s["outputs"]),
                         "the outputs showing the video")
        for kind in ("video", "gif"):
            with self.subTest(kind):
                if kind == "gif":
                    self.run_kiv("set", self.media["gif"])
                    self.wait_status(lambda s: s["source_kind"] == "gif", "the GIF background")
                before = self.status()
                r = self.kiv("intro", self.media["intro"])
                self.assertEqual((r.returncode, r.stdout, r.stderr), (1, "", REFUSED))
                after = self.status()
                for key in ("source_path", "source_kind", "intro", "intro_result"):
                    self.assertEqual(after[key], before[key], key)
                if kind == "video":
                    self.assertEqual(after, before)
        self.assertNotIn("intro playing", d.log())

    def test_interruptions(self):
        bus = SystemBus(self.env)
        self.addCleanup(bus.stop)
        bus.start()
        self.env.vars["XDG_SESSION_ID"] = bus.session_id

        def fullscreen():
            self.hypr.set_state(clients=[client(workspace=1, fullscreen=2)])
            self.hypr.send_event("fullscreen>>1\n")

        def window_closed():
            # The window hid the output, so the renderer skipped drawing it.
            self.hypr.set_state(clients=[])
            self.hypr.send_event("closewindow>>1\n")

        def lock_screen():
            # No event tells of it: the periodic monitors request sees it.
            self.hypr.set_state(locked=True)

        def stop():
            r = self.kiv("intro", self.media["intro"])
            self.assertEqual((r.returncode, r.stderr), (1, REFUSED), "a second intro started")
            self.assertEqual(self.run_kiv("raw", '{"cmd":"intro-stop"}'), {"status": "ok"})

        def change_background():
            self.run_kiv("set", self.media["green"])

        cases = [
            ("fullscreen window", fullscreen, window_closed, "intro interrupted", "red"),
            ("lock screen", lock_screen, None, "intro interrupted", "red"),
            ("session locked", bus.lock, bus.unlock, "intro interrupted", "red"),
            ("sleep", lambda: bus.prepare_for_sleep(True), lambda: bus.prepare_for_sleep(False),
             "intro interrupted", "red"),
            ("intro-stop", stop, None, "intro cancelled", "red"),
            ("background changed", change_background, None, "background changed", "green"),
        ]
        colours = {"red": RED, "green": GREEN}
        for name, action, undo, reason, background in cases:
            with self.subTest(name):
                d = self.start_system(shell_takes_still=False)
                try:
                    p = self.start_intro("long_intro")
                    action()
                    self.assert_exit(p, 1, ENDED_EARLY)
                    self.assert_ended(d, reason)
                    if undo:
                        undo()
                    self.assert_still_back(self.media[background], colours[background])
                finally:
                    d.stop()

    def test_killed_renderer_is_not_restarted_for_the_intro(self):
        d = self.start_system(shell_takes_still=True)
        p = self.start_intro("long_intro")
        spawns = SPAWNED.findall(d.log())
        os.kill(self.renderer_pid(d), signal.SIGKILL)
        self.assert_exit(p, 1, ENDED_EARLY)
        self.assert_ended(d, "renderer stopped")
        s = self.wait_status(lambda s: s["engine"] == "shell", "the shell drawing the still")
        self.assertFalse(s["render_alive"])
        self.assertEqual(SPAWNED.findall(d.log()), spawns)
        self.assertNotIn("renderer died, restarting", d.log())

    def test_file_that_is_not_a_video(self):
        d = self.start_system(shell_takes_still=False)
        r = self.kiv("intro", self.media["not_video"], timeout=90)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (1, "", ENDED_EARLY))
        self.assert_ended(d, "intro decode failed")
        self.assert_still_back(self.media["red"], RED)


if __name__ == "__main__":
    unittest.main()
