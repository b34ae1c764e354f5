"""Where the background goes when the one set cannot be shown, through the
real kiv, kivd and kiv-render on a headless sway: back to what was really on
screen last, also across a restart of the daemon. tarvine-shell is a
stand-in; it draws nothing, so whatever the screenshots show is the
renderer's. `kiv set` refuses files FFmpeg cannot decode, so the broken
files come in as the theme system brings a background: by the link."""

import os
import unittest

from test_system import GREEN, RED, SystemTestCase


class RecoveryTest(SystemTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for name, file_name in (("broken_video", "broken.mp4"), ("broken_still", "broken.webp")):
            path = os.path.join(cls.media_dir, file_name)
            with open(path, "wb") as f:
                f.write(b"neither a video nor a picture\n" * 64)
            cls.media[name] = path

    def test_failed_video_goes_back_to_the_still_last_shown(self):
        # This shell takes stills: after the video, the green still is the
        # shell's and the renderer stops.
        with open(os.path.join(self.env.root, "shellbin", "tarvine-shell"), "w") as f:
            f.write("#!/bin/sh\necho \"$*\" >> %s\nexit 0\n" % self.shell_log)
        d = self.start_daemon()
        self.show("video", "video")
        self.assert_moving()
        self.run_kiv("set", self.media["green"])
        self.wait_status(lambda s: s["engine"] == "shell" and not s["render_alive"],
                         "the shell drawing the green still")

        self.replace_link(self.media["broken_video"])
        d.wait_log("media did not start: %s" % self.media["broken_video"], timeout=60)
        s = self.wait_status(lambda s: s["media_ready"] and s["loaded_path"] == self.media["green"],
                             "the green still back")
        self.assertEqual((s["source_path"], s["failed_path"], s["loaded_kind"], s["engine"]),
                         (self.media["broken_video"], self.media["broken_video"], "still",
                          "renderer"))
        self.wait_filled(GREEN)
        self.assertIn("recovered to %s" % self.media["green"], d.log())

    def test_restart_over_a_broken_background_shows_the_last_one_shown(self):
        # The stand-in shell cannot take stills: the renderer draws them.
        d = self.start_daemon()
        self.show("red", "still")
        self.wait_filled(RED)
        self.replace_link(self.media["broken_still"])
        d.wait_log("media did not start: %s" % self.media["broken_still"], timeout=60)
        self.wait_status(lambda s: s["media_ready"] and s["loaded_path"] == self.media["red"],
                         "red back")
        self.wait_filled(RED)

        self.procs.remove(d)
        self.assertEqual(d.stop(), 0)
        d = self.start_daemon()
        s = self.wait_status(lambda s: s["media_ready"] and s["loaded_path"] == self.media["red"],
                             "red shown after the restart")
        self.assertEqual((s["source_path"], s["failed_path"], s["loaded_kind"]),
                         (self.media["broken_still"], self.media["broken_still"], "still"))
        self.wait_filled(RED)
        with open(os.path.join(self.env.state, "kiv", "shown")) as f:
            self.assertEqual(f.read(), "still\n%s\n" % self.media["red"])


if __name__ == "__main__":
    unittest.main()
