"""Video playback in kiv-render on headless compositors, with test videos
made by ffmpeg at run time and checked through grim screenshots."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from compositor import (RendererTestCase, colourful, every_compositor, ffmpeg, grid, near,
                        start_with_outputs, wait_moving, with_fault_shim)
from kivtest import wait_for

MAGENTA = (255, 0, 255)


def tinted_fraction(shot):
    """Share of pixels that are mostly the transition image's magenta. The test
    pattern alone gives about 0.15, the transition image at full strength 1."""
    pix = grid(shot)
    tinted = [p for p in pix if p[0] > 150 and p[2] > 150 and p[1] < 100]
    return len(tinted) / len(pix)


def band_edges(shot):
    """x of the first green and of the first blue pixel along the middle row."""
    width, height, pixel = shot
    row = [pixel(x, height // 2) for x in range(width)]
    green = next((x for x, p in enumerate(row) if p[1] > max(p[0], p[2])), None)
    blue = next((x for x, p in enumerate(row) if p[2] > max(p[0], p[1])), None)
    return green, blue


class RenderVideoTest(RendererTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="kiv-video-")
        m = cls.media
        cls.mp4 = os.path.join(m, "pattern.mp4")
        cls.webm = os.path.join(m, "pattern.webm")
        cls.short = os.path.join(m, "short.mp4")
        cls.still = os.path.join(m, "magenta.png")
        cls.bogus = os.path.join(m, "bogus.mp4")
        src = ["-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25"]
        ffmpeg(*src, "-t", "6", "-c:v", "libx264", "-preset", "ultrafast",
               "-pix_fmt", "yuv420p", cls.mp4)
        ffmpeg(*src, "-t", "6", "-c:v", "libvpx", "-deadline", "realtime", "-b:v", "500k",
               cls.webm)
        ffmpeg(*src, "-t", "1.5", "-c:v", "libx264", "-preset", "ultrafast",
               "-pix_fmt", "yuv420p", cls.short)
        ffmpeg("-f", "lavfi", "-i", "color=c=0xff00ff:size=320x180", "-frames:v", "1",
               cls.still)
        # Red, green and blue thirds of a 16:9 picture.
        cls.bands = os.path.join(m, "bands.mp4")
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=160x270:rate=25", "-f", "lavfi", "-i",
               "color=c=0x00ff00:s=160x270:rate=25", "-f", "lavfi", "-i",
               "color=c=blue:s=160x270:rate=25", "-filter_complex", "hstack=inputs=3",
               "-t", "2", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               cls.bands)
        # Red over blue, to tell up from down.
        cls.updown = os.path.join(m, "updown.mp4")
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=320x90:rate=25", "-f", "lavfi", "-i",
               "color=c=blue:s=320x90:rate=25", "-filter_complex", "vstack=inputs=2",
               "-t", "2", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               cls.updown)
        # Every frame one flat colour of its own, far from its neighbours', so
        # a screenshot tells which frame is shown. Their colours as decoded:
        cls.steps = os.path.join(m, "steps.mp4")
        ffmpeg("-f", "lavfi", "-i", "color=c=black:s=320x180:r=25,format=rgb24,"
               "geq=r='mod(N*67,256)':g='mod(N*29+80,256)':b='mod(N*111+160,256)'",
               "-t", "6", "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0",
               "-pix_fmt", "yuv420p", cls.steps)
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", cls.steps, "-vf", "scale=1:1",
                              "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             check=True, capture_output=True, timeout=120).stdout
        cls.step_colours = [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)]
        with open(cls.bogus, "wb") as f:
            f.write(b"this is not a video\n" * 200)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def start_renderer(self, **env_extra):
        self.env.vars.update(env_extra)
        return super().start_renderer()

    def ok(self, obj):
        reply = self.cmd(obj)
        self.assertEqual(reply.get("status"), "ok", "%r -> %r" % (obj, reply))
        return reply

    def load(self, path, **extra):
        req = {"cmd": "load", "path": path, "kind": "video"}
        req.update(extra)
        return self.ok(req)

    def wait_playing(self):
        return self.wait_status(lambda s: s["ready"] and s["has_video"] and s["time_pos"] >= 0,
                                "video ready")

    def settled(self):
        """Two readings of (time_pos, swaps) a second apart; a paused player
        gives the same pair twice."""
        first = self.status()
        time.sleep(1.0)
        second = self.status()
        return (first["time_pos"], first["swaps"]), (second["time_pos"], second["swaps"])

    def assert_advances(self, since):
        self.wait_status(lambda s: s["time_pos"] > since["time_pos"] + 0.3
                         and s["swaps"] > since["swaps"], "time_pos and swaps advancing")

    @every_compositor
    def test_plays_pauses_and_resumes(self):
        for path in (self.mp4, self.webm):
            with self.subTest(path=os.path.basename(path)):
                r = self.start_renderer()
                self.load(path)
                before = self.wait_playing()
                self.assertEqual(before["kind"], "video")
                self.assertEqual(before["path"], path)
                self.assertEqual(before["error"], "")
                first = self.comp.screenshot("HEADLESS-1")
                self.assertTrue(colourful(first), "the video is not on screen")
                self.assert_advances(before)
                second = self.comp.screenshot("HEADLESS-1")
                self.assertNotEqual(grid(first), grid(second),
                                    "the picture did not change while playing")

                self.ok({"cmd": "pause"})
                self.ok({"cmd": "pause"})
                self.assertTrue(self.status()["paused"])
                # The second pause finds the player paused already and leaves it alone.
                self.assertEqual(r.log().count("mpv paused"), 1, r.log())
                time.sleep(0.5)
                a, b = self.settled()
                self.assertEqual(a, b, "time_pos or swaps moved while paused")
                self.assertLessEqual(self.main_thread_wakeups(2), 1, "woke while paused")
                shot_a = self.comp.screenshot("HEADLESS-1")
                time.sleep(0.5)
                self.assertEqual(grid(shot_a), grid(self.comp.screenshot("HEADLESS-1")))
                self.assertTrue(colourful(shot_a), "the paused video is not drawn")

                self.ok({"cmd": "resume"})
                self.assertFalse(self.status()["paused"])
                self.assert_advances({"time_pos": b[0], "swaps": b[1]})
                r.stop()
                self.procs.remove(r)
                # Hardware-decoding probes that fail on this GPU-less machine
                # are no errors, and none of them bypasses the log.
                self.assertNotIn("libcuda", r.stderr())
                self.assertNotIn(" ERROR ", r.stderr())

    @every_compositor
    @start_with_outputs(1, spare=1)
    def test_paused_video_drawn_on_added_output(self):
        self.start_renderer()
        self.load(self.mp4)
        self.wait_playing()
        self.ok({"cmd": "pause"})
        name = self.comp.plug_output()
        self.wait_status(lambda s: s["outputs"] == 2, "second output")
        wait_for(lambda: colourful(self.comp.screenshot(name)), 30, 0.5,
                 "paused video drawn on " + name)
        self.assertTrue(self.status()["paused"])

    def test_once_reaches_eof_and_clears_paused(self):
        self.start_renderer()
        self.ok({"cmd": "pause"})
        self.load(self.short, once=True)
        s = self.status()
        self.assertFalse(s["paused"])
        self.assertTrue(s["intro"])
        end = self.wait_status(lambda s: s["eof"], "eof after a single run")
        self.assertFalse(end["paused"])
        self.assertTrue(end["has_video"])
        # A looping load afterwards starts with eof cleared.
        self.load(self.mp4)
        s = self.status()
        self.assertFalse(s["eof"])
        self.assertFalse(s["intro"])

    def test_file_that_is_not_a_video(self):
        r = self.start_renderer()
        self.load(self.bogus)
        s = self.wait_status(lambda s: s["error"] != "", "playback error")
        self.assertFalse(s["ready"])
        self.assertFalse(s["has_video"])
        r.wait_log("Video playback failed: ")
        # The player's own account of a real playback error stays an error.
        wait_for(lambda: re.search(r" ERROR \S+: mpv \S+: ", r.stderr()), 30, 0.1,
                 "the player's error line")
        # The player recovers with the next file.
        self.load(self.mp4)
        s = self.wait_playing()
        self.assertEqual(s["error"], "")

    def test_stop_right_after_load(self):
        # Events of the file still queued at the stop must not bring it back.
        self.start_renderer()
        for _ in range(3):
            self.load(self.mp4)
            self.ok({"cmd": "stop"})
        time.sleep(2)
        s = self.status()
        self.assertFalse(s["has_video"])
        self.assertFalse(s["ready"])
        self.assertEqual((s["path"], s["kind"], s["error"]), ("", "", ""))
        self.assertEqual(s["time_pos"], -1)

    @every_compositor
    def test_transition_image_fades_over_the_video(self):
        # A small output keeps each screenshot quick, so a busy machine still
        # catches the two-second fade while the still is strong.
        self.comp.resolution("HEADLESS-1", 320, 180)
        r = self.start_renderer()
        self.ok({"cmd": "fade", "ms": 2000})
        self.load(self.mp4, **{"from": self.still})
        r.wait_log("transition from " + self.still)
        seen = wait_for(lambda: tinted_fraction(self.comp.screenshot("HEADLESS-1")) > 0.5,
                        20, 0.0, "transition image on screen")
        self.assertTrue(seen)
        def faded():
            shot = self.comp.screenshot("HEADLESS-1")
            return tinted_fraction(shot) < 0.3 and colourful(shot)
        wait_for(faded, 30, 0.5, "transition image faded out")
        self.wait_playing()

    def test_fade_zero_shows_no_transition_image(self):
        r = self.start_renderer()
        self.ok({"cmd": "fade", "ms": 0})
        self.load(self.mp4, **{"from": self.still})
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            self.assertLess(tinted_fraction(self.comp.screenshot("HEADLESS-1")), 0.3)
        self.wait_playing()
        self.assertTrue(colourful(self.comp.screenshot("HEADLESS-1")))
        self.assertNotIn("transition from", r.log())

    @every_compositor
    @start_with_outputs(2)
    def test_equal_outputs_both_play(self):
        second = "HEADLESS-2"
        for name in ("HEADLESS-1", second):
            self.comp.resolution(name, 640, 360)
        r = self.start_renderer()
        self.load(self.mp4)
        self.wait_playing()
        r.wait_log("one picture drawn for the outputs of 640x360", 30)
        for name in ("HEADLESS-1", second):
            wait_moving(self.comp, name)
        shots = lambda: [grid(self.comp.screenshot(n)) for n in ("HEADLESS-1", second)]  # noqa: E731
        # The second output's picture is a copy of the one drawn for the
        # first: paused, both show the frame at the playback position.
        self.load(self.steps)
        self.wait_playing()
        self.ok({"cmd": "pause"})
        self.assert_frame_shown(("HEADLESS-1", second))
        self.ok({"cmd": "resume"})
        self.load(self.updown)

        def upright(name):
            _, _, pixel = self.comp.screenshot(name)
            return near(pixel(320, 40), (255, 0, 0), 40) and near(pixel(320, 320), (0, 0, 255), 40)
        for name in ("HEADLESS-1", second):
            wait_for(lambda: upright(name), 30, 0.3, "red over blue on %s" % name)
        self.ok({"cmd": "load", "path": self.still, "kind": "still"})
        wait_for(lambda: all(all(near(p, MAGENTA) for p in g) for g in shots()), 30, 0.3,
                 "the still on both outputs")

    def assert_frame_shown(self, names):
        """Once the paused picture settles, every output in names shows the
        frame of steps.mp4 at the playback position, all over."""
        self.wait_status(lambda s: s["paused"], "paused")
        wait_for(lambda: len({tuple(grid(self.comp.screenshot(n))) for n in names}) == 1,
                 30, 0.3, "one picture on %s" % (names,))
        position = self.status()["time_pos"]
        colour = self.step_colours[round(position * 25)]
        for name in names:
            pixels = grid(self.comp.screenshot(name))
            wrong = [p for p in pixels if not near(p, colour, 24)]
            self.assertEqual(wrong[:1], [], "%s at %.2f s is not %r" % (name, position, colour))

    @every_compositor
    @start_with_outputs(2)
    def test_one_of_equal_outputs_skipped_during_playback(self):
        names = ("HEADLESS-1", "HEADLESS-2")
        for name in names:
            self.comp.resolution(name, 640, 360)
        r = self.start_renderer()
        self.load(self.mp4)
        self.wait_playing()
        shared = "one picture drawn for the outputs of 640x360"
        r.wait_log(shared, 30)
        for name in names:
            wait_moving(self.comp, name)

        # The picture is no longer shared; the first output plays on alone
        # and the skipped one keeps its last frame.
        self.ok({"cmd": "skip", "outputs": ["HEADLESS-2"]})
        wait_moving(self.comp, "HEADLESS-1")
        kept = grid(self.comp.screenshot("HEADLESS-2"))
        time.sleep(0.5)
        self.assertEqual(kept, grid(self.comp.screenshot("HEADLESS-2")))
        self.ok({"cmd": "skip", "outputs": []})
        wait_for(lambda: r.log().count(shared) == 2, 30, 0.2, "the picture shared again")
        for name in names:
            wait_moving(self.comp, name)
        self.load(self.steps)
        self.wait_playing()
        self.ok({"cmd": "pause"})
        self.assert_frame_shown(names)
        self.ok({"cmd": "resume"})
        self.assertTrue(r.alive())
        self.assertNotIn(" ERROR ", r.log())

    @every_compositor
    @start_with_outputs(2)
    def test_shared_picture_the_player_failed_to_draw_is_not_shown(self):
        if self.env.vars.get("KIV_PRESENTER") == "shm":
            self.skipTest("shared memory shows a paused frame's buffer again, drawing nothing")
        names = ("HEADLESS-1", "HEADLESS-2")
        for name in names:
            self.comp.resolution(name, 640, 360)
        failing = os.path.join(self.env.root, "render-fails")
        self.start_renderer(**with_fault_shim(self.env.vars, KIV_SHIM_RENDER_FAIL_FILE=failing))
        self.load(self.steps)
        self.wait_playing()
        self.ok({"cmd": "pause"})
        self.assert_frame_shown(names)
        # Alone, the first output draws its own picture; taken back, the two
        # share one again, and the player fails to draw that one's first
        # picture. What the outputs show must still be the paused frame.
        self.ok({"cmd": "skip", "outputs": ["HEADLESS-2"]})
        time.sleep(0.5)
        with open(failing, "w"):
            pass
        self.ok({"cmd": "skip", "outputs": []})
        wait_for(lambda: not os.path.exists(failing), 30, 0.1, "the player's render failing")
        self.assert_frame_shown(names)

    @every_compositor
    @start_with_outputs(2)
    def test_fades_on_equal_outputs(self):
        names = ("HEADLESS-1", "HEADLESS-2")
        for name in names:
            self.comp.resolution(name, 320, 180)
        r = self.start_renderer()
        self.ok({"cmd": "fade", "ms": 2000})
        # The transition image over the new video, on both outputs at once.
        self.load(self.mp4, **{"from": self.still})
        r.wait_log("transition from " + self.still)
        tinted = {name: False for name in names}
        deadline = time.monotonic() + 20
        while not all(tinted.values()) and time.monotonic() < deadline:
            for name in names:
                tinted[name] = tinted[name] or tinted_fraction(self.comp.screenshot(name)) > 0.5
        self.assertEqual(tinted, {name: True for name in names})
        r.wait_log("one picture drawn for the outputs of 320x180")
        for name in names:
            wait_for(lambda: tinted_fraction(self.comp.screenshot(name)) < 0.3
                     and colourful(self.comp.screenshot(name)), 30, 0.3,
                     "transition image faded out on " + name)
        # A still rising out of black, seen halfway on both.
        self.ok({"cmd": "load", "path": self.still, "kind": "still", "async": True})
        halfway = {name: False for name in names}
        deadline = time.monotonic() + 30
        ended = False
        while not ended:
            ended = True
            for name in names:
                red = self.comp.screenshot(name)[2](160, 90)[0]
                halfway[name] = halfway[name] or 40 < red < 215
                ended = ended and red >= 250
            self.assertLess(time.monotonic(), deadline, "the fade never ended")
        self.assertEqual(halfway, {name: True for name in names})
        for name in names:
            self.assertTrue(all(near(p, MAGENTA) for p in grid(self.comp.screenshot(name))))

    @every_compositor
    @start_with_outputs(2)
    def test_outputs_of_different_sizes_crop_to_their_own_aspect(self):
        self.comp.resolution("HEADLESS-1", 640, 360)
        square = "HEADLESS-2"
        self.comp.resolution(square, 360, 360)
        r = self.start_renderer()
        self.load(self.bands)
        self.wait_playing()
        # The 16:9 output shows the whole picture, edges at 1/3 and 2/3 of its
        # width; the square one its middle 9/16, edges at 0.2037 and 0.7963.
        for name, edges in (("HEADLESS-1", (213, 427)), (square, (73, 287))):
            with self.subTest(output=name):
                def at_edges():
                    got = band_edges(self.comp.screenshot(name))
                    return None not in got and all(abs(g - e) <= 6 for g, e in zip(got, edges))
                wait_for(at_edges, 30, 0.3, "bands of %s at %r" % (name, edges))
        self.assertNotIn("one picture drawn for", r.log())

    def test_player_options_from_environment(self):
        r = self.start_renderer(KIV_HWDEC="no",
                                KIV_MPV_OPTIONS="no-such-option=1;;mute=yes;novalue")
        r.wait_log("mpv requested hwdec=no")
        self.assertEqual(r.log().count("mpv option no-such-option=1 failed: "), 1, r.log())
        self.assertNotIn("novalue", r.log())
        self.load(self.mp4)
        before = self.wait_playing()
        self.assertEqual(before["hwdec"], "no")
        self.assert_advances(before)


if __name__ == "__main__":
    unittest.main()
