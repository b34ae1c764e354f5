"""The whole system on a headless sway compositor: the real kivd spawns the
real kiv-render, the real kiv client drives them, and grim screenshots show
what reached the screen. Media are made by ffmpeg at run time. tarvine-shell
is a stand-in that cannot take a still, so the renderer draws every
background; Hyprland is played by hyprstub."""

import json
import os
import re
import shutil
import stat
import tempfile
import time
import unittest

from compositor import CompositorTestCase, colourful, ffmpeg, filled_with, grid, wait_moving
from hyprstub import HyprStub, client, monitor
from kivtest import KIV_FEED_CLIENT, pid_gone, wait_for

RED = (210, 30, 40)
GREEN = (30, 200, 60)
SPAWNED = re.compile(r"kiv-render spawned pid=(\d+)")

# A shell whose background plug-in cannot draw the still: enabling fails,
# disabling works.
SHELL = """#!/bin/sh
echo "$*" >> %s
if [ "$4" = true ]; then echo "tarvine.background: no such plugin"; exit 1; fi
exit 0
"""


def make_media(directory):
    """Writes the test media; returns their paths by name."""
    m = {
        "red": os.path.join(directory, "red.png"),
        "green": os.path.join(directory, "green.png"),
        "video": os.path.join(directory, "motion.mp4"),
        "gif": os.path.join(directory, "motion.gif"),
    }
    ffmpeg("-f", "lavfi", "-i", "color=c=0x%02x%02x%02x:size=1920x1080" % RED,
           "-frames:v", "1", m["red"], timeout=180)
    # Another aspect ratio: cover cropping still fills the whole screen.
    ffmpeg("-f", "lavfi", "-i", "color=c=0x%02x%02x%02x:size=600x800" % GREEN,
           "-frames:v", "1", m["green"], timeout=180)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "6",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", m["video"],
           timeout=180)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=10", "-t", "4", m["gif"],
           timeout=180)
    return m


class SystemTestCase(CompositorTestCase):
    """A compositor, private XDG dirs and a stand-in shell on PATH; the
    daemon is started by each test."""

    status_timeout = 60
    status_interval = 0.2

    @classmethod
    def setUpClass(cls):
        cls.media_dir = tempfile.mkdtemp(prefix="kiv-system-media-")
        cls.media = make_media(cls.media_dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media_dir, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.env.vars["KIV_DRM_DPMS"] = "0"
        self.env.vars.pop("TARVINE_PATH", None)
        self.base_path = self.env.vars.get("PATH", "/usr/bin:/bin")
        self.shell_log = os.path.join(self.env.root, "shell.log")
        shell_dir = os.path.join(self.env.root, "shellbin")
        os.makedirs(shell_dir)
        shell = os.path.join(shell_dir, "tarvine-shell")
        with open(shell, "w") as f:
            f.write(SHELL % self.shell_log)
        os.chmod(shell, 0o755)
        self.env.vars["PATH"] = shell_dir + ":" + self.base_path

    # -- driving -------------------------------------------------------------

    def run_kiv(self, *args):
        r = self.kiv(*args)
        self.assertEqual(r.returncode, 0, "kiv %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return json.loads(r.stdout) if r.stdout.strip() else None

    def status(self):
        return self.run_kiv("status")

    def wait_loaded(self, path, kind):
        """Waits until the renderer confirmed path as the shown media."""
        s = self.wait_status(lambda s: s["media_ready"] and s["loaded_path"] == path
                             and s["loaded_kind"] == kind, "%s ready" % path)
        self.assertEqual(s["engine"], "renderer")
        self.assertEqual(s["source_path"], path)
        self.assertEqual(s["source_kind"], kind)
        self.assertEqual(s["failed_path"], "")
        self.assertTrue(s["render_alive"])
        return s

    def replace_link(self, target):
        """What the theme system does: a new link renamed over the old one.
        Unlike `kiv set`, nothing looks at the file first."""
        link = self.env.background_link
        os.makedirs(os.path.dirname(link), exist_ok=True)
        tmp = link + ".theme-tmp"
        os.symlink(target, tmp)
        os.rename(tmp, link)

    def show(self, name, kind):
        path = self.media[name]
        self.run_kiv("set", path)
        return self.wait_loaded(path, kind)

    # -- looking at the screen -------------------------------------------------

    def shot(self):
        return self.comp.screenshot("HEADLESS-1")

    def wait_filled(self, colour):
        wait_for(lambda: filled_with(self.shot(), colour), 60, 0.3,
                 "screen filled with %r" % (colour,))

    def assert_moving(self):
        """Two screenshots in a row differ, and the video pattern is drawn."""
        wait_moving(self.comp)

    def assert_frozen(self):
        """The picture settles (a fade may still be finishing) and then stays:
        screenshots a second apart are equal and still show the video."""
        last = [grid(self.shot())]

        def settled():
            time.sleep(0.5)
            now = grid(self.shot())
            same = now == last[0]
            last[0] = now
            return same
        wait_for(settled, 30, 0.1, "the picture to stand still")
        time.sleep(1.0)
        final = self.shot()
        self.assertEqual(grid(final), last[0], "the picture moved again")
        self.assertTrue(colourful(final), "the stopped video is not drawn")

    def renderer_pid(self, daemon):
        found = SPAWNED.findall(daemon.log())
        self.assertTrue(found, "no spawn line in the daemon's log")
        return int(found[-1])


class SystemTest(SystemTestCase):

    def test_still_video_pause_resume_still(self):
        d = self.start_daemon()
        self.show("red", "still")
        self.wait_filled(RED)
        self.assertIn("shell handoff failed, keeping the renderer for the still", d.log())

        s = self.show("video", "video")
        self.assertFalse(s["paused"])
        self.assert_moving()

        self.run_kiv("pause")
        s = self.status()
        self.assertTrue(s["paused"])
        self.assertTrue(s["manual_pause"])
        self.assertEqual(s["reason"], "manual")
        self.assert_frozen()
        self.assertTrue(self.run_kiv("render-status")["paused"])

        self.run_kiv("resume")
        s = self.status()
        self.assertFalse(s["paused"])
        self.assertFalse(s["manual_pause"])
        self.assert_moving()

        self.show("green", "still")
        self.wait_filled(GREEN)
        rs = self.run_kiv("render-status")
        self.assertEqual((rs["path"], rs["kind"], rs["ready"]), (self.media["green"], "still", True))

    def test_link_replaced_from_outside(self):
        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        os.symlink(self.media["red"], link)
        d = self.start_daemon()
        self.wait_loaded(self.media["red"], "still")
        self.wait_filled(RED)

        self.replace_link(self.media["green"])
        self.wait_loaded(self.media["green"], "still")
        self.wait_filled(GREEN)
        self.assertIn("background symlink now points at " + self.media["green"], d.log())

    def test_fullscreen_window_pauses_the_video(self):
        stub = HyprStub(self.env.runtime, "sig-system", monitors=[monitor("HEADLESS-1")],
                        clients=[])
        stub.start()
        self.addCleanup(stub.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-system"
        self.start_daemon()
        stub.wait_event_client()
        self.show("video", "video")
        self.assert_moving()

        stub.set_state(clients=[client(workspace=1, fullscreen=2)])
        stub.send_event("fullscreen>>1\n")
        s = self.wait_status(lambda s: s["paused"], "pause for the fullscreen window")
        self.assertEqual(s["reason"], "fullscreen")
        self.assertTrue(s["fullscreen"])
        self.assert_frozen()

        stub.set_state(clients=[])
        stub.send_event("closewindow>>1\n")
        s = self.wait_status(lambda s: not s["paused"], "resume after the window closed")
        self.assertEqual(s["reason"], "visible")
        self.assertFalse(s["fullscreen"])
        self.assert_moving()

    def test_lock_feeds_the_lock_screen_and_unlock_restores_playback(self):
        stub = HyprStub(self.env.runtime, "sig-lock", monitors=[monitor("HEADLESS-1")],
                        clients=[])
        stub.start()
        self.addCleanup(stub.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-lock"
        d = self.start_daemon()
        stub.wait_event_client()
        self.show("video", "video")
        self.assert_moving()
        feed_sock = os.path.join(os.path.dirname(self.env.render_socket), "lock-feed.sock")

        def lock(locked):
            # No event tells of a lock: the periodic monitors request sees it.
            stub.set_state(locked=locked)
            return self.wait_status(lambda s: s["locked"] == locked, "locked %s" % locked)

        # Playing: the lock screen gets the frames, unlocking plays on screen again.
        lock(True)
        d.wait_log("feed started")
        client = self.start([KIV_FEED_CLIENT, "--socket", feed_sock, "--frames", "5"],
                            "feed-client")
        self.assertEqual(client.wait(60), 0, client.log())
        self.assertFalse(self.run_kiv("render-status")["paused"])
        lock(False)
        d.wait_log("feed stopped")
        self.assertFalse(self.status()["paused"])
        self.assert_moving()

        # Paused by hand: locking feeds nothing, and the pause outlives the lock.
        self.run_kiv("pause")
        self.assert_frozen()
        lock(True)
        self.assertTrue(self.run_kiv("render-status")["paused"])
        lock(False)
        self.assertEqual(d.log().count("feed started"), 1, d.log())
        self.assertTrue(self.run_kiv("render-status")["paused"])
        self.assert_frozen()

    def test_shutdown_leaves_nothing_behind(self):
        d = self.start_daemon()
        self.show("video", "video")
        render_pid = self.renderer_pid(d)
        self.assertFalse(pid_gone(render_pid))

        self.assertEqual(self.run_kiv("shutdown"), {"status": "ok"})
        self.assertEqual(d.wait(30), 0, d.log())
        wait_for(lambda: pid_gone(render_pid), 10, 0.1, "kiv-render gone")
        sock_dir = os.path.dirname(self.env.daemon_socket)
        left = [n for n in os.listdir(sock_dir)
                if stat.S_ISSOCK(os.lstat(os.path.join(sock_dir, n)).st_mode)]
        self.assertEqual(left, [], "sockets left in %s" % sock_dir)

    def test_gif_replacing_a_still_the_shell_draws(self):
        with open(os.path.join(self.env.root, "shellbin", "tarvine-shell"), "w") as f:
            f.write("#!/bin/sh\necho \"$*\" >> %s\nexit 0\n" % self.shell_log)
        self.start_daemon()
        self.run_kiv("set", self.media["red"])
        self.wait_status(lambda s: s["engine"] == "shell" and s["media_ready"]
                         and not s["render_alive"], "the shell drawing the still")

        self.run_kiv("set", self.media["gif"])
        s = self.wait_status(lambda s: s["media_ready"] and s["loaded_kind"] == "video",
                             "the converted GIF ready")
        self.assertEqual((s["source_path"], s["source_kind"], s["engine"], s["failed_path"]),
                         (self.media["gif"], "gif", "renderer", ""))
        cache = os.path.join(self.env.cache, "kiv", "gif")
        self.assertEqual(os.path.dirname(s["loaded_path"]), cache)
        self.assert_moving()

    def test_video_plays_without_any_shell_program(self):
        self.env.vars["PATH"] = self.base_path
        self.assertIsNone(shutil.which("tarvine-shell", path=self.base_path),
                          "a tarvine-shell is installed on this machine")
        self.start_daemon()
        self.show("video", "video")
        self.assert_moving()


if __name__ == "__main__":
    unittest.main()
