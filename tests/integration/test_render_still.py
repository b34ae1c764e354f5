"""Still images in kiv-render on headless compositors: images made by
ffmpeg at run time, loaded over the render socket and checked through grim
screenshots."""

import json
import os
import shutil
import socket
import tempfile
import time
import unittest

from compositor import RendererTestCase, every_compositor, ffmpeg, grid, near
from kivtest import request, wait_for

RED = (255, 0, 0)
GREEN = (0, 255, 0)
BLUE = (0, 0, 255)
FADE_ERROR = "Fade must be an integer from 0 to 2000"


def error_reply(message):
    return {"status": "error", "message": message}


class RenderStillTest(RendererTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="kiv-still-")
        m = cls.media
        cls.red = os.path.join(m, "red.png")
        cls.green = os.path.join(m, "green.png")
        cls.split = os.path.join(m, "split.png")
        cls.corrupt = os.path.join(m, "corrupt.png")
        cls.slow = os.path.join(m, "slow.jpg")
        cls.large = os.path.join(m, "large.png")
        cls.video = os.path.join(m, "clip.mp4")
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=64x36", "-frames:v", "1", cls.red)
        ffmpeg("-f", "lavfi", "-i", "color=c=0x00ff00:s=64x36", "-frames:v", "1", cls.green)
        # 320x90: red for x < 120, blue to the right. Four times as wide as
        # tall, so a 16:9 screen shows only the middle 160 columns (80..240):
        # the split lands at (120 - 80) / 160 of the width, x = 480.
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=120x90", "-f", "lavfi", "-i",
               "color=c=blue:s=200x90", "-filter_complex", "hstack", "-frames:v", "1",
               cls.split)
        # Larger than the 1920x1080 output: decoded reduced to cover it.
        ffmpeg("-f", "lavfi", "-i", "color=c=blue:s=2400x1350", "-frames:v", "1", cls.large)
        # Big enough that its decode outlasts the next request.
        ffmpeg("-f", "lavfi", "-i", "testsrc2=s=6000x4000", "-frames:v", "1", "-q:v", "2",
               cls.slow)
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "2", "-c:v",
               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.video)
        # Transparent images: the wallpaper shows them over black, never over
        # whatever the compositor has beneath it.
        cls.clear = os.path.join(m, "clear.png")
        cls.half_white = os.path.join(m, "half-white.png")
        ffmpeg("-f", "lavfi", "-i", "color=c=white@0.0:s=64x64,format=rgba", "-frames:v", "1",
               cls.clear)
        ffmpeg("-f", "lavfi", "-i", "color=c=white@0.5:s=64x64,format=rgba", "-frames:v", "1",
               cls.half_white)
        with open(cls.corrupt, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + b"not an image at all" * 50)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.start_renderer()
        # Full opacity at once, so screenshots need not wait for a fade.
        self.assertEqual(self.cmd({"cmd": "fade", "ms": 0}), {"status": "ok"})

    def load_still(self, path, **extra):
        req = {"cmd": "load", "path": path, "kind": "still"}
        req.update(extra)
        return self.cmd(req)

    def shot_has(self, points):
        """True once every (x, y) -> colour of points is on screen."""
        _, _, pixel = self.comp.screenshot("HEADLESS-1")
        return all(near(pixel(x, y), c) for (x, y), c in points.items())

    def wait_screen(self, points, what):
        wait_for(lambda: self.shot_has(points), 30, 0.2, what)

    def send_raw(self, obj):
        """Opens a connection, sends one request and returns the socket for
        reading its (deferred) reply."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(30)
        s.connect(self.sock)
        s.sendall((json.dumps(obj) + "\n").encode())
        self.addCleanup(s.close)
        return s

    @staticmethod
    def read_reply(s):
        buf = b""
        while b"\n" not in buf:
            chunk = s.recv(65536)
            if not chunk:
                return None
            buf += chunk
        return json.loads(buf.split(b"\n", 1)[0])

    @every_compositor
    def test_sync_load_answers_when_on_screen(self):
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        # Answered only after the upload: the image is there at once.
        s = self.status()
        self.assertEqual((s["path"], s["kind"], s["ready"], s["has_still"], s["error"]),
                         (self.red, "still", True, True, ""))
        self.wait_screen({(10, 10): RED, (960, 540): RED, (1900, 1070): RED}, "red screen")
        self.assertIn("still loaded %s (64x36)" % self.red, self.renderer.log())
        # Faded in and drawn, a still costs nothing: the renderer sleeps.
        time.sleep(0.5)
        self.assertLessEqual(self.main_thread_wakeups(3), 1)

    @every_compositor
    def test_cover_crop_of_wide_image(self):
        self.assertEqual(self.load_still(self.split), {"status": "ok"})
        self.wait_screen({(5, 540): RED, (460, 540): RED, (500, 540): BLUE,
                          (1915, 540): BLUE, (470, 5): RED, (490, 1075): BLUE},
                         "split between red and blue at x=480")
        _, _, pixel = self.comp.screenshot("HEADLESS-1")
        for y in (0, 540, 1079):
            row = [pixel(x, y) for x in range(0, 1920, 2)]
            first_blue = next(i * 2 for i, p in enumerate(row) if p[2] > p[0])
            self.assertLessEqual(abs(first_blue - 480), 12, "split at x=%d, y=%d" % (first_blue, y))

    @every_compositor
    def test_transparent_images_show_over_black(self):
        # In this order each image changes the screen, so the wait sees it drawn.
        for path, colour in ((self.half_white, (128, 128, 128)), (self.clear, (0, 0, 0))):
            with self.subTest(image=os.path.basename(path)):
                self.assertEqual(self.load_still(path), {"status": "ok"})
                self.wait_screen({(960, 540): colour}, "image at %r" % (colour,))
                shot = self.comp.screenshot("HEADLESS-1")
                wrong = [p for p in grid(shot) if not near(p, colour, 4)]
                self.assertEqual(len(wrong), 0, "pixels are not %r, e.g. %r" %
                                 (colour, wrong[:1]))

    @every_compositor
    def test_fade_in_rises_out_of_black(self):
        # The surface is on screen before the fade starts.
        self.wait_screen({(960, 540): (0, 0, 0)}, "black screen")
        self.assertEqual(self.cmd({"cmd": "fade", "ms": 2000}), {"status": "ok"})
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        shots = []
        while not shots or shots[-1][2](960, 540)[0] < 250:
            shots.append(self.comp.screenshot("HEADLESS-1"))
            self.assertLess(len(shots), 300, "the fade never ended")
        self.assertGreater(len(shots), 1, "no screenshot before the fade ended")
        # Red over black has neither green nor blue; anything beneath the
        # surface showing through would add both.
        for shot in shots:
            wrong = [p for p in grid(shot) if p[1] > 4 or p[2] > 4]
            self.assertEqual(len(wrong), 0, "pixels show through, e.g. %r" % wrong[:1])

    def test_async_load_and_status(self):
        self.assertEqual(self.load_still(self.green, **{"async": True}), {"status": "ok"})
        s = self.wait_status(lambda s: s["ready"], "async still ready")
        self.assertEqual((s["path"], s["kind"], s["has_still"]), (self.green, "still", True))
        self.wait_screen({(960, 540): GREEN}, "green screen")

    def test_second_load_supersedes_first(self):
        first = self.send_raw({"cmd": "load", "path": self.slow, "kind": "still"})
        second = self.send_raw({"cmd": "load", "path": self.green, "kind": "still"})
        self.assertEqual(self.read_reply(first), error_reply("load superseded"))
        self.assertEqual(self.read_reply(second), {"status": "ok"})
        self.assertEqual(self.status()["path"], self.green)
        self.wait_screen({(960, 540): GREEN}, "green screen")

    def test_bad_files_keep_previous_image(self):
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        missing = os.path.join(self.media, "missing.png")
        self.assertEqual(self.load_still(missing), error_reply("Invalid local media path"))
        self.assertEqual(self.status()["error"], "")
        self.assertEqual(self.load_still(self.corrupt), error_reply("still load failed"))
        s = self.status()
        self.assertEqual((s["ready"], s["error"], s["path"], s["has_still"]),
                         (False, "Still decode failed", self.red, True))
        self.assertIn("still decode failed: %s" % self.corrupt, self.renderer.log())
        self.wait_screen({(960, 540): RED}, "red still shown")
        # The next accepted load clears the error.
        self.assertEqual(self.load_still(self.green), {"status": "ok"})
        s = self.status()
        self.assertEqual((s["ready"], s["error"]), (True, ""))

    def test_fade_bounds(self):
        cases = [(0, True), (2000, True), (-1, False), (2001, False), (1.5, False),
                 ("x", False), ("300", False), (None, False)]
        for ms, good in cases:
            req = {"cmd": "fade"} if ms is None else {"cmd": "fade", "ms": ms}
            want = {"status": "ok"} if good else error_reply(FADE_ERROR)
            self.assertEqual(self.cmd(req), want, "ms=%r" % (ms,))

    @every_compositor
    def test_skip_stops_redrawing_an_output(self):
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        self.wait_screen({(960, 540): RED}, "red screen")
        self.assertEqual(self.cmd({"cmd": "skip", "outputs": ["HEADLESS-1", 7]}),
                         {"status": "ok"})
        self.assertEqual(self.status()["skipped"], "HEADLESS-1")
        # The skipped output keeps its last frame: green never reaches it.
        self.assertEqual(self.load_still(self.green), {"status": "ok"})
        time.sleep(1.0)
        self.assertTrue(self.shot_has({(960, 540): RED}))
        self.assertEqual(self.cmd({"cmd": "skip"}), {"status": "ok"})
        self.assertEqual(self.status()["skipped"], "")
        self.wait_screen({(960, 540): GREEN}, "green after unskip")

    @every_compositor
    def test_still_fills_an_output_plugged_in_while_shown(self):
        # A still is drawn once, so the new output's first frame is all it
        # ever gets: it must have the output's size from the start. Where the
        # compositor can unplug, the only monitor goes and comes back, so no
        # other output's configure causes a second drawing.
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        self.wait_screen({(960, 540): RED}, "red screen")
        outputs = 2
        if self.comp.can_remove_outputs:
            self.comp.remove_output("HEADLESS-1")
            self.wait_status(lambda s: s["outputs"] == 0, "no output")
            outputs = 1
        name = self.comp.plug_output()
        self.wait_status(lambda s: s["outputs"] == outputs, "the output plugged in")
        points = ((960, 540), (4, 4), (1915, 4), (4, 1075), (1915, 1075))

        def filled():
            _, _, pixel = self.comp.screenshot(name)
            return [pixel(x, y) for x, y in points]
        wait_for(lambda: all(near(p, RED) for p in filled()), 15, 0.3,
                 "red centre and corners on " + name)
        time.sleep(1)
        self.assertTrue(all(near(p, RED) for p in filled()), filled())

    @every_compositor
    def test_stop_clears(self):
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        self.wait_screen({(960, 540): RED}, "red screen")
        self.assertEqual(self.cmd({"cmd": "stop"}), {"status": "ok"})
        s = self.status()
        self.assertEqual((s["path"], s["kind"], s["has_still"], s["ready"]),
                         ("", "", False, False))
        self.wait_screen({(960, 540): (0, 0, 0), (10, 10): (0, 0, 0)}, "black screen")

    def test_cancel_load(self):
        self.assertEqual(self.cmd({"cmd": "cancel-load"}), {"status": "ok"})
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        # Both lines arrive together, so the cancel is handled while the load
        # is pending: the load is answered first, then the cancel.
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(30)
        s.connect(self.sock)
        self.addCleanup(s.close)
        line = json.dumps({"cmd": "load", "path": self.slow, "kind": "still"})
        s.sendall((line + "\n" + '{"cmd":"cancel-load"}\n').encode())
        f = s.makefile("rb")
        self.assertEqual(json.loads(f.readline()), error_reply("load cancelled"))
        self.assertEqual(json.loads(f.readline()), {"status": "ok"})
        st = self.status()
        self.assertEqual((st["path"], st["ready"], st["error"]), (self.red, True, ""))
        self.assertTrue(self.shot_has({(960, 540): RED}))

    def test_video_load_supersedes_pending_still(self):
        waiting = self.send_raw({"cmd": "load", "path": self.slow, "kind": "still"})
        self.assertEqual(self.cmd({"cmd": "load", "path": self.video, "kind": "video"}),
                         {"status": "ok"})
        self.assertEqual(self.read_reply(waiting), error_reply("load superseded"))
        s = self.status()
        self.assertEqual((s["path"], s["kind"], s["has_still"]), (self.video, "video", False))

    @every_compositor
    def test_larger_output_decodes_only_a_reduced_image_again(self):
        def decoded(path, size):
            return "still loaded %s (%dx%d)" % (path, size[0], size[1]) in self.renderer.log()

        def settled(width):
            # Once the size shows, a further request comes after the refresh check.
            self.wait_status(lambda s: s["max_width"] == width, "outputs %d wide" % width)
            return self.status()

        self.assertEqual(self.load_still(self.large), {"status": "ok"})
        self.assertTrue(decoded(self.large, (1920, 1080)))
        self.comp.resolution("HEADLESS-1", 2560, 1440)
        wait_for(lambda: decoded(self.large, (2400, 1350)), 30, 0.1,
                 "whole decode for the larger output")
        s = self.wait_status(lambda s: s["ready"], "refreshed still ready")
        self.assertEqual((s["max_width"], s["max_height"], s["path"]), (2560, 1440, self.large))
        # Shrinking never decodes again.
        self.comp.resolution("HEADLESS-1", 800, 600)
        settled(800)
        self.assertEqual(self.renderer.log().count("still loaded %s " % self.large), 2)

        # An image decoded whole has nothing more to give a larger output.
        self.assertEqual(self.load_still(self.red), {"status": "ok"})
        self.comp.resolution("HEADLESS-1", 2560, 1440)
        s = settled(2560)
        self.assertEqual((s["ready"], s["path"]), (True, self.red))
        self.assertEqual(self.renderer.log().count("still loaded %s " % self.red), 1)
        self.wait_screen({(1280, 720): RED, (2500, 1400): RED}, "red on the larger output")

    def test_protocol_errors(self):
        cases = [
            ('{"cmd":"dance"}', error_reply("unknown cmd")),
            ("{}", error_reply("unknown cmd")),
            ("[1]", error_reply("bad json")),
            ("nonsense", error_reply("bad json")),
            ('{"cmd":"hello"}', {"status": "ok", "version": 1}),
            ('{"cmd":"load","path":"%s","kind":"gif"}' % self.red, error_reply("unknown kind")),
            ('{"cmd":"load","path":"red.png","kind":"still"}',
             error_reply("Invalid local media path")),
        ]
        for line, want in cases:
            reply = request(self.sock, line, timeout=30)
            self.assertEqual(json.loads(reply), want, line)


if __name__ == "__main__":
    unittest.main()
