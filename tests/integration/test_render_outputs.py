"""Backgrounds of their own on some outputs of kiv-render: loads naming
outputs, each background with its own player or still, the default on the
others, checked through grim screenshots of each output."""

import os
import shutil
import tempfile
import time
import unittest

from compositor import (RendererTestCase, colourful, every_compositor, ffmpeg, grid, near,
                        start_with_outputs, wait_moving)
from kivtest import wait_for

MAGENTA = (255, 0, 255)
CYAN = (0, 255, 255)
FIRST, SECOND = "HEADLESS-1", "HEADLESS-2"


def moving(comp, name):
    first = grid(comp.screenshot(name))
    time.sleep(0.4)
    return first != grid(comp.screenshot(name))


class RenderOutputsTest(RendererTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="kiv-outputs-")
        m = cls.media
        cls.pattern = os.path.join(m, "pattern.mp4")
        cls.mandel = os.path.join(m, "mandel.mp4")
        cls.still = os.path.join(m, "magenta.png")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "8", "-c:v",
               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.pattern)
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x180:rate=25", "-t", "8", "-c:v",
               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.mandel)
        ffmpeg("-f", "lavfi", "-i", "color=c=0xff00ff:size=320x180", "-frames:v", "1",
               cls.still)
        cls.cyan = os.path.join(m, "cyan.png")
        ffmpeg("-f", "lavfi", "-i", "color=c=0x00ffff:size=320x180", "-frames:v", "1", cls.cyan)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def ok(self, obj):
        reply = self.cmd(obj)
        self.assertEqual(reply.get("status"), "ok", "%r -> %r" % (obj, reply))
        return reply

    def output(self, status, name):
        entry = [o for o in status["output_list"] if o["name"] == name]
        self.assertEqual(len(entry), 1, status)
        return entry[0]

    def wait_output(self, name, predicate, what):
        return self.wait_status(lambda s: predicate(self.output(s, name)), what)

    def filled(self, name, colour):
        return all(near(p, colour) for p in grid(self.comp.screenshot(name)))

    @every_compositor
    @start_with_outputs(2)
    def test_own_still_then_own_video_then_default_again(self):
        for name in (FIRST, SECOND):
            self.comp.resolution(name, 640, 360)
        r = self.start_renderer()
        self.ok({"cmd": "load", "path": self.pattern, "kind": "video"})
        r.wait_log("one picture drawn for the outputs of 640x360", 30)
        for name in (FIRST, SECOND):
            wait_moving(self.comp, name)

        # A still on the second output only; the first keeps playing.
        self.ok({"cmd": "load", "path": self.still, "kind": "still", "outputs": [SECOND]})
        self.wait_output(SECOND, lambda o: o["own"] and o["ready"] and o["kind"] == "still"
                         and o["path"] == self.still, "the still ready on the second output")
        wait_for(lambda: self.filled(SECOND, MAGENTA), 30, 0.3, "magenta on the second output")
        wait_moving(self.comp, FIRST)
        self.assertTrue(self.filled(SECOND, MAGENTA))
        s = self.status()
        self.assertEqual((s["path"], s["kind"]), (self.pattern, "video"))
        self.assertEqual(self.output(s, FIRST)["path"], self.pattern)
        self.assertFalse(self.output(s, FIRST)["own"])

        # Its own video: both outputs move, each its own picture.
        self.ok({"cmd": "load", "path": self.mandel, "kind": "video", "outputs": [SECOND]})
        self.wait_output(SECOND, lambda o: o["ready"] and o["path"] == self.mandel,
                         "the second video ready")
        for name in (FIRST, SECOND):
            wait_for(lambda: colourful(self.comp.screenshot(name)) and moving(self.comp, name),
                     60, 0.2, "%s moving" % name)
        wait_for(lambda: grid(self.comp.screenshot(FIRST)) != grid(self.comp.screenshot(SECOND)),
                 30, 0.3, "two different pictures")

        # A fullscreen window over the second output pauses its own video
        # (nobody sees it); the default one plays on.
        self.ok({"cmd": "skip", "outputs": [SECOND]})
        self.wait_output(SECOND, lambda o: o["paused"] and o["skipped"], "the second paused")
        self.assertFalse(self.output(self.status(), FIRST)["paused"])
        wait_moving(self.comp, FIRST)
        self.ok({"cmd": "skip", "outputs": []})
        self.wait_output(SECOND, lambda o: not o["paused"], "the second playing again")
        wait_for(lambda: moving(self.comp, SECOND), 30, 0.2, "the second moving again")

        # Pausing everything pauses both players.
        self.ok({"cmd": "pause"})
        s = self.wait_status(lambda s: all(o["paused"] for o in s["output_list"]), "both paused")
        self.ok({"cmd": "resume"})

        # Unloaded, the second output shows the default background again,
        # sharing its picture with the first.
        self.ok({"cmd": "unload", "outputs": [SECOND]})
        self.wait_output(SECOND, lambda o: not o["own"] and o["path"] == self.pattern,
                         "the default on the second output")
        self.ok({"cmd": "pause"})
        wait_for(lambda: grid(self.comp.screenshot(FIRST)) == grid(self.comp.screenshot(SECOND)),
                 30, 0.3, "the same frame on both outputs")

    @every_compositor
    @start_with_outputs(2)
    def test_a_change_on_one_output_fades_that_output_only(self):
        for name in (FIRST, SECOND):
            self.comp.resolution(name, 640, 360)
        self.start_renderer()
        self.ok({"cmd": "fade", "ms": 0})
        self.ok({"cmd": "load", "path": self.still, "kind": "still"})
        for name in (FIRST, SECOND):
            wait_for(lambda: self.filled(name, MAGENTA), 30, 0.3, "magenta on %s" % name)
        self.ok({"cmd": "fade", "ms": 2000})
        self.ok({"cmd": "load", "path": self.cyan, "kind": "still", "outputs": [SECOND]})
        # Over the fade's first second and a half the second output passes
        # through pictures that are neither; the first never changes.
        between = False
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            self.assertTrue(self.filled(FIRST, MAGENTA), "the first output faded too")
            second = grid(self.comp.screenshot(SECOND))
            between = between or not (all(near(p, CYAN) for p in second)
                                      or all(near(p, MAGENTA) for p in second))
        self.assertTrue(between, "the second output changed without a fade")
        wait_for(lambda: self.filled(SECOND, CYAN), 30, 0.3, "cyan on the second output")
        self.assertTrue(self.filled(FIRST, MAGENTA))

    @every_compositor
    @start_with_outputs(2)
    def test_two_outputs_asking_for_one_background_share_it(self):
        for name in (FIRST, SECOND):
            self.comp.resolution(name, 640, 360)
        r = self.start_renderer()
        self.ok({"cmd": "load", "path": self.still, "kind": "still"})
        self.ok({"cmd": "load", "path": self.mandel, "kind": "video", "outputs": [FIRST]})
        self.ok({"cmd": "load", "path": self.mandel, "kind": "video", "outputs": [SECOND]})
        for name in (FIRST, SECOND):
            self.wait_output(name, lambda o: o["own"] and o["ready"] and o["path"] == self.mandel,
                             "the video on %s" % name)
        r.wait_log("one picture drawn for the outputs of 640x360", 30)
        self.ok({"cmd": "pause"})
        wait_for(lambda: grid(self.comp.screenshot(FIRST)) == grid(self.comp.screenshot(SECOND)),
                 30, 0.3, "one picture on both outputs")

    def test_refused_loads(self):
        self.start_renderer()
        for outputs in ([], "HEADLESS-1", [1], ["a,b"], [""]):
            with self.subTest(outputs=outputs):
                reply = self.cmd({"cmd": "load", "path": self.still, "kind": "still",
                                  "outputs": outputs})
                self.assertEqual(reply, {"status": "error", "message": "Invalid output list"})
        reply = self.cmd({"cmd": "load", "path": self.still, "kind": "gif", "outputs": [FIRST]})
        self.assertEqual(reply, {"status": "error", "message": "unknown kind"})
        reply = self.cmd({"cmd": "unload"})
        self.assertEqual(reply, {"status": "error", "message": "Invalid output list"})
        # Outputs that do not exist (yet) are bound all the same.
        self.ok({"cmd": "load", "path": self.still, "kind": "still", "outputs": ["DP-9"]})
        self.ok({"cmd": "unload", "outputs": ["DP-9"]})


if __name__ == "__main__":
    unittest.main()
