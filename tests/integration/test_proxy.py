"""Videos far larger than the screen on the headless compositor: the real
kivd has the real ffmpeg make a smaller copy (a proxy) once, plays the
original meanwhile and then the proxy, where the original was. ffmpeg runs
behind a wrapper that notes each call by its process id; a slow variant
reads its input at playing speed, so that a conversion lasts. Power and the
session lock come from stand-in UPower and logind services on a private
system bus."""

import math
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from busstub import SystemBus
from compositor import colourful, ffmpeg, near, start_with_outputs
from kivtest import pid_gone, wait_for
from test_system import RED, SystemTestCase

FFMPEG_WRAPPER = """#!/bin/sh
echo $$ >> %s
exec %s %s "$@"
"""

SMALL = (320, 180)


def probe(path, what="v:0", entries="codec_name,width,height,pix_fmt"):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", what, "-show_entries",
                          "stream=" + entries, "-of", "csv=p=0", path],
                         capture_output=True, text=True, check=True, timeout=60).stdout
    return out.strip()


class ProxyTestCase(SystemTestCase):

    slow_ffmpeg = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.big_dir = tempfile.mkdtemp(prefix="kiv-proxy-media-")
        # Twice the small output each way, with sound.
        cls.big = os.path.join(cls.big_dir, "big.mp4")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-f", "lavfi", "-i",
               "sine=frequency=440:sample_rate=48000", "-t", "30", "-c:v", "libx264", "-preset",
               "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", cls.big,
               timeout=180)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.big_dir, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        real = shutil.which("ffmpeg", path=self.base_path)
        self.assertTrue(real, "no ffmpeg on PATH")
        wrap_dir = os.path.join(self.env.root, "ffmpegbin")
        os.makedirs(wrap_dir)
        self.ffmpeg_calls = os.path.join(self.env.root, "ffmpeg.calls")
        wrapper = os.path.join(wrap_dir, "ffmpeg")
        with open(wrapper, "w") as f:
            f.write(FFMPEG_WRAPPER % (self.ffmpeg_calls, real, "-re" if self.slow_ffmpeg else ""))
        os.chmod(wrapper, 0o755)
        self.env.vars["PATH"] = wrap_dir + ":" + self.env.vars["PATH"]
        self.proxy_dir = os.path.join(self.env.cache, "kiv", "proxy")
        self.comp.resolution("HEADLESS-1", *SMALL)

    def calls(self):
        try:
            with open(self.ffmpeg_calls) as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def files(self, partial=False):
        try:
            names = os.listdir(self.proxy_dir)
        except FileNotFoundError:
            return []
        return sorted(os.path.join(self.proxy_dir, n) for n in names
                      if (".part-" in n) == partial)

    def write_config(self, text):
        os.makedirs(os.path.join(self.env.config, "kiv"), exist_ok=True)
        with open(os.path.join(self.env.config, "kiv", "config.toml"), "w") as f:
            f.write(text)

    def wait_proxy_playing(self, timeout=180):
        s = self.wait_status(lambda s: s["media_ready"]
                             and os.path.dirname(s["loaded_path"]) == self.proxy_dir,
                             "the proxy playing", timeout)
        self.assertEqual((s["source_path"], s["proxy_for"], s["loaded_kind"], s["job_running"]),
                         (self.big, self.big, "video", False))
        return s

    def wait_original_playing(self):
        s = self.wait_loaded(self.big, "video")
        self.assertEqual(s["proxy_for"], "")
        return s

    def assert_no_conversion_for(self, seconds):
        """Longer than the daemon takes to learn the outputs' size."""
        time.sleep(seconds)
        self.assertEqual(self.calls(), [])
        self.assertFalse(self.status()["job_running"])
        self.assertEqual(self.files() + self.files(partial=True), [])


class ProxyTest(ProxyTestCase):

    def test_proxy_made_once_and_played_where_the_original_was(self):
        d = self.start_daemon()
        self.run_kiv("set", self.big)
        self.wait_original_playing()
        d.wait_log("proxy conversion started for %s" % self.big, timeout=30)

        def original_along():
            s = self.status()
            rs = self.run_kiv("render-status")
            if s["loaded_path"] != self.big or not s["job_running"]:
                raise AssertionError("the proxy came before the original played a second")
            return rs["time_pos"] if rs["path"] == self.big and rs["time_pos"] >= 1.0 else None
        before = wait_for(original_along, 60, 0.1, "the original playing meanwhile")

        s = self.wait_proxy_playing()
        proxy = s["loaded_path"]
        rs = self.run_kiv("render-status")
        self.assertEqual(rs["path"], proxy)
        self.assertGreaterEqual(rs["time_pos"], before, "the proxy started from the beginning")
        self.assertIn("continuing at ", d.log())
        self.assertEqual(probe(proxy), "h264,%d,%d,yuv420p" % SMALL)
        self.assertEqual(probe(proxy, "a", "codec_name"), "aac")
        self.assertEqual(self.files(partial=True), [])
        self.assert_moving()
        self.assertEqual(len(self.calls()), 1)

        # A video the output does not need smaller gets none.
        self.show("video", "video")
        time.sleep(3)
        s = self.status()
        self.assertEqual((s["loaded_path"], s["proxy_for"], s["job_running"]),
                         (self.media["video"], "", False))
        self.assertEqual(len(self.calls()), 1)

        # Set again, the proxy plays at once.
        self.run_kiv("set", self.big)
        self.assertEqual(self.wait_proxy_playing()["loaded_path"], proxy)
        self.assertEqual(d.log().count("media ready: %s\n" % self.big), 1)
        self.assertEqual(len(self.calls()), 1)
        self.assertEqual(self.files(), [proxy])

    def test_switched_off_then_on_then_a_larger_output(self):
        self.write_config("[transcode]\nproxy = false\n")
        d = self.start_daemon()
        self.run_kiv("set", self.big)
        self.wait_original_playing()
        self.assert_no_conversion_for(5)

        self.write_config("[transcode]\nproxy = true\n")
        self.run_kiv("reload-config")
        small = self.wait_proxy_playing()["loaded_path"]

        # The output grows beyond the proxy: the original again, until a
        # proxy for the new size is made; the smaller one stays cached.
        self.comp.resolution("HEADLESS-1", 480, 270)
        self.wait_original_playing()
        larger = self.wait_proxy_playing()["loaded_path"]
        self.assertNotEqual(larger, small)
        self.assertEqual(probe(larger), "h264,480,270,yuv420p")
        self.assertEqual(self.files(), sorted([small, larger]))
        self.assertEqual(len(self.calls()), 2)
        self.assertIn("proxy cached %s" % larger, d.log())


class ProxyLayoutTest(ProxyTestCase):

    @start_with_outputs(2)
    def test_an_output_of_its_own_does_not_count(self):
        # As large as the video: were it counted, no proxy would be needed.
        self.comp.resolution("HEADLESS-2", 640, 360)
        self.start_daemon()
        self.run_kiv("set", "--output", "HEADLESS-2", self.media["red"])
        self.run_kiv("set", self.big)
        s = self.wait_proxy_playing()
        self.assertEqual(probe(s["loaded_path"]), "h264,%d,%d,yuv420p" % SMALL)
        self.assertTrue(near(self.comp.screenshot("HEADLESS-2")[2](320, 180), RED))

    def test_contain_keeps_its_bars_and_center_wants_the_original(self):
        # 4:3 against the video's 16:9: contain leaves bars above and below.
        width, height = 320, 240
        bar = (height - width * 360 // 640) // 2
        self.comp.resolution("HEADLESS-1", width, height)
        self.write_config('[render]\nfit = "contain"\nbackground_color = "#%02x%02x%02x"\n'
                          % RED)
        d = self.start_daemon()
        self.run_kiv("set", self.big)
        proxy = self.wait_proxy_playing()["loaded_path"]
        # The smallest even size of the video's shape that covers the output.
        cover_width = math.ceil(640 * height / 360)
        self.assertEqual(probe(proxy), "h264,%d,%d,yuv420p" % (cover_width + cover_width % 2,
                                                               height))

        def laid_out():
            _, _, pixel = self.shot()
            for y in (0, bar - 2, height - bar + 1, height - 1):
                if not near(pixel(width // 2, y), RED):
                    return None
            return colourful(self.shot())
        wait_for(laid_out, 30, 0.3, "the proxy between red bars")
        self.assert_moving()

        # At its own pixel size a smaller copy would show another picture.
        self.write_config('[render]\nfit = "center"\n')
        self.run_kiv("reload-config")
        self.wait_original_playing()
        time.sleep(3)
        s = self.status()
        self.assertEqual((s["loaded_path"], s["proxy_for"], s["job_running"]),
                         (self.big, "", False))
        self.assertEqual(len(self.calls()), 1)
        self.assertIn("continuing at ", d.log())


class SlowProxyTest(ProxyTestCase):

    slow_ffmpeg = True

    def conversion_running(self):
        wait_for(lambda: self.calls() and self.files(partial=True), 60, 0.1,
                 "ffmpeg writing a proxy")
        self.assertTrue(self.status()["job_running"])
        return self.calls()[-1]

    def assert_conversion_gone(self, pid):
        wait_for(lambda: pid_gone(pid), 30, 0.1, "ffmpeg ended")
        wait_for(lambda: not self.files(partial=True), 10, 0.1, "no partial file")
        self.assertEqual(self.files(), [])
        self.assertFalse(self.status()["job_running"])

    def test_new_background_cancels_the_conversion(self):
        self.start_daemon()
        self.run_kiv("set", self.big)
        pid = self.conversion_running()
        self.show("video", "video")
        self.assert_conversion_gone(pid)
        self.assertEqual(len(self.calls()), 1)

    def test_only_on_mains_and_while_unlocked(self):
        bus = SystemBus(self.env)
        self.addCleanup(bus.stop)
        bus.start(on_battery=True)
        self.env.vars["XDG_SESSION_ID"] = bus.session_id
        d = self.start_daemon()
        self.run_kiv("set", self.big)
        self.wait_original_playing()
        self.assert_no_conversion_for(5)

        bus.set_on_battery(False)
        pid = self.conversion_running()
        bus.lock()
        d.wait_log("proxy conversion stopped for %s" % self.big, timeout=30)
        self.assert_conversion_gone(pid)
        self.assertEqual(self.status()["loaded_path"], self.big)

        bus.unlock()
        self.assertNotEqual(self.conversion_running(), pid)
        self.assertEqual(len(self.calls()), 2)


if __name__ == "__main__":
    unittest.main()
