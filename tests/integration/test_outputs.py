"""Backgrounds of their own per output, through the real kiv, kivd and
kiv-render on a headless compositor with two outputs, checked through grim
screenshots of each output. Hyprland is played by hyprstub."""

import json
import os
import time
import unittest

from compositor import (colourful, every_compositor, ffmpeg, filled_with, grid, output_names,
                        start_with_outputs, wait_moving)
from hyprstub import HyprStub, client, monitor
from kivtest import wait_for
from compositor import near
from test_link import unsupported
from test_system import GREEN, RED, SystemTestCase

FIRST, SECOND = "HEADLESS-1", "HEADLESS-2"


def moving(comp, name):
    first = grid(comp.screenshot(name))
    time.sleep(0.4)
    return first != grid(comp.screenshot(name))


class OutputsTest(SystemTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.other = os.path.join(cls.media_dir, "other.mp4")
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x180:rate=25", "-t", "6", "-c:v",
               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.other, timeout=180)

    def setUp(self):
        super().setUp()
        count = getattr(getattr(self, self._testMethodName), "start_outputs", (1, 0))[0]
        for name in output_names(count):
            self.comp.resolution(name, 640, 360)

    def outputs(self):
        return {o["name"]: o for o in self.run_kiv("outputs")["outputs"]}

    def wait_output(self, name, predicate, what):
        def check():
            o = self.outputs().get(name)
            return o if o and predicate(o) else None
        return wait_for(check, 60, 0.2, what)

    def wait_own(self, name, path, kind):
        return self.wait_output(name, lambda o: o["source"] == "output" and o["ready"]
                                and o["source_path"] == path and o["source_kind"] == kind
                                and o["present"], "%s ready on %s" % (path, name))

    def wait_filled_on(self, name, colour):
        wait_for(lambda: filled_with(self.comp.screenshot(name), colour), 60, 0.3,
                 "%s filled with %r" % (name, colour))

    def both_moving_apart(self):
        for name in (FIRST, SECOND):
            wait_for(lambda: colourful(self.comp.screenshot(name)) and moving(self.comp, name),
                     60, 0.2, "%s moving" % name)
        wait_for(lambda: grid(self.comp.screenshot(FIRST)) != grid(self.comp.screenshot(SECOND)),
                 30, 0.3, "two different pictures")

    @every_compositor
    @start_with_outputs(2)
    def test_still_then_video_of_its_own_survives_restart_then_theme(self):
        d = self.start_daemon()
        self.show("video", "video")
        for name in (FIRST, SECOND):
            wait_moving(self.comp, name)
        o = self.outputs()
        self.assertEqual(sorted(o), [FIRST, SECOND])
        for name in (FIRST, SECOND):
            self.assertEqual((o[name]["source"], o[name]["source_path"], o[name]["width"],
                              o[name]["height"], o[name]["fit"]),
                             ("theme", self.media["video"], 640, 360, "cover"))

        # A still on the second output only; the first plays on.
        self.run_kiv("set", "--output", SECOND, self.media["red"])
        self.assertEqual(os.readlink(os.path.join(self.env.state, "kiv", "outputs", SECOND)),
                         self.media["red"])
        self.wait_own(SECOND, self.media["red"], "still")
        self.wait_filled_on(SECOND, RED)
        wait_moving(self.comp, FIRST)
        s = self.status()
        self.assertEqual((s["source_path"], s["engine"]), (self.media["video"], "renderer"))
        self.assertEqual({o["name"]: o["source"] for o in s["outputs"]},
                         {FIRST: "theme", SECOND: "output"})

        # A video of its own: both outputs move, each its own picture.
        self.run_kiv("set", "--output", SECOND, self.other)
        self.wait_own(SECOND, self.other, "video")
        self.both_moving_apart()

        # A new daemon finds the link and shows it again.
        d.stop()
        self.start_daemon()
        self.wait_loaded(self.media["video"], "video")
        self.wait_own(SECOND, self.other, "video")
        self.both_moving_apart()

        # Back to the theme background: one picture on both outputs again.
        self.run_kiv("set", "--output", SECOND, "--theme")
        self.assertFalse(os.path.lexists(os.path.join(self.env.state, "kiv", "outputs", SECOND)))
        self.wait_output(SECOND, lambda o: o["source"] == "theme" and o["shows"] ==
                         self.media["video"], "the theme on the second output")
        self.run_kiv("pause")
        wait_for(lambda: grid(self.comp.screenshot(FIRST)) == grid(self.comp.screenshot(SECOND)),
                 30, 0.3, "the same frame on both outputs")

    @every_compositor
    @start_with_outputs(1, spare=1)
    def test_background_of_an_absent_output_applies_when_it_appears(self):
        self.start_daemon()
        self.show("video", "video")
        # Replaced by another program, the way a script would.
        links = os.path.join(self.env.state, "kiv", "outputs")
        os.makedirs(links, exist_ok=True)
        os.symlink(self.media["red"], os.path.join(links, ".tmp"))
        os.rename(os.path.join(links, ".tmp"), os.path.join(links, SECOND))
        o = self.wait_output(SECOND, lambda o: o["source"] == "output", "the link seen")
        self.assertEqual((o["present"], o["ready"], o["source_path"]),
                         (False, False, self.media["red"]))
        name = self.comp.plug_output()
        self.assertEqual(name, SECOND)
        self.wait_own(SECOND, self.media["red"], "still")
        self.wait_filled_on(SECOND, RED)
        wait_moving(self.comp, FIRST)

    @start_with_outputs(2)
    def test_gif_of_its_own_converts_while_the_first_plays(self):
        d = self.start_daemon()
        self.show("video", "video")
        self.run_kiv("set", "--output", SECOND, self.media["gif"])
        d.wait_log("gif transcode started for %s on %s" % (self.media["gif"], SECOND), 30)
        wait_moving(self.comp, FIRST)
        o = self.wait_own(SECOND, self.media["gif"], "gif")
        d.wait_log("job done for %s" % self.media["gif"])
        # The theme's video was never touched meanwhile.
        self.assertEqual(d.log().count("media ready: %s" % self.media["video"]), 1, d.log())
        self.assertEqual(os.path.dirname(o["shows"]), os.path.join(self.env.cache, "kiv", "gif"))
        self.assertTrue(o["shows"].endswith(".mp4"), o)
        self.both_moving_apart()
        self.assertEqual(self.status()["source_path"], self.media["video"])

    @start_with_outputs(2)
    def test_fullscreen_window_on_the_second_pauses_only_its_own_video(self):
        hypr = HyprStub(self.env.runtime, "sig-outputs",
                        clients=[client(workspace=2, fullscreen=0)],
                        monitors=[monitor(FIRST, workspace=1),
                                  monitor(SECOND, workspace=2, id=1)]).start()
        self.addCleanup(hypr.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-outputs"
        self.start_daemon()
        hypr.wait_event_client()
        self.show("video", "video")
        self.run_kiv("set", "--output", SECOND, self.other)
        self.wait_own(SECOND, self.other, "video")
        self.both_moving_apart()

        hypr.set_state(clients=[client(workspace=2, fullscreen=2)])
        hypr.send_event("fullscreen>>1\n")
        o = self.wait_output(SECOND, lambda o: o["paused"], "the second output paused")
        self.assertEqual(o["reason"], "fullscreen")
        first = self.outputs()[FIRST]
        self.assertEqual((first["paused"], first["reason"]), (False, ""))
        self.assertFalse(self.status()["paused"])
        rs = self.run_kiv("render-status")
        by_name = {o["name"]: o for o in rs["output_list"]}
        self.assertEqual((by_name[FIRST]["paused"], by_name[SECOND]["paused"]), (False, True))
        wait_moving(self.comp, FIRST)

        hypr.set_state(clients=[client(workspace=2, fullscreen=0)])
        hypr.send_event("fullscreen>>0\n")
        self.wait_output(SECOND, lambda o: not o["paused"], "the second output playing again")
        wait_for(lambda: moving(self.comp, SECOND), 30, 0.2, "the second moving again")

    @every_compositor
    @start_with_outputs(2)
    def test_each_output_fits_its_picture_as_configured(self):
        os.makedirs(os.path.join(self.env.config, "kiv"), exist_ok=True)
        config = os.path.join(self.env.config, "kiv", "config.toml")
        with open(config, "w") as f:
            f.write('[output."%s"]\nfit = "contain"\nbackground_color = "#0000ff"\n' % SECOND)
        self.start_daemon()
        self.show("video", "video")
        # The 600x800 green still of its own, whole on the 640x360 output:
        # 270x360 at x = 185, blue bars beside it.
        self.run_kiv("set", "--output", SECOND, self.media["green"])
        self.wait_own(SECOND, self.media["green"], "still")

        def contained():
            _, _, pixel = self.comp.screenshot(SECOND)
            return (all(near(pixel(x, 180), (0, 0, 255)) for x in (20, 170, 470, 620))
                    and all(near(pixel(x, y), GREEN) for x in (200, 320, 440)
                            for y in (10, 350)))
        wait_for(contained, 60, 0.3, "the still contained with blue bars on %s" % SECOND)
        wait_moving(self.comp, FIRST)
        o = self.outputs()
        self.assertEqual((o[FIRST]["fit"], o[SECOND]["fit"]), ("cover", "contain"))

        # Without the table the still covers its output again.
        with open(config, "w") as f:
            f.write("")
        self.run_kiv("reload-config")
        self.wait_filled_on(SECOND, GREEN)
        self.assertEqual(self.outputs()[SECOND]["fit"], "cover")

    def test_names_and_paths_refused(self):
        self.start_daemon()
        long_name = "D" * 64
        cases = [
            ("", "Output name is empty"),
            ("..", "Output name must not begin with a dot"),
            ("a/b", "Output name must not contain a slash"),
            (long_name, "Output name is longer than 63 bytes"),
        ]
        for name, message in cases:
            with self.subTest(name=name):
                r = self.kiv("set", "--output", name, self.media["red"])
                self.assertEqual(r.returncode, 1)
                self.assertEqual(json.loads(r.stdout),
                                 {"status": "error", "message": message})
        self.assertEqual(os.listdir(os.path.join(self.env.state, "kiv", "outputs")), [])
        text = os.path.join(self.media_dir, "notes.txt")
        with open(text, "w") as f:
            f.write("not a picture\n")
        r = self.kiv("set", "--output", FIRST, text)
        self.assertEqual((r.returncode, json.loads(r.stdout)["message"]),
                         (1, unsupported(".txt")))
        r = self.kiv("set", "--output", FIRST)
        self.assertEqual(r.returncode, 1)
        self.assertIn("kiv set --output NAME <path>|--theme", r.stderr)
        # Nothing to remove is no failure.
        self.assertEqual(self.run_kiv("set", "--output", FIRST, "--theme"), {"status": "ok"})


if __name__ == "__main__":
    unittest.main()
