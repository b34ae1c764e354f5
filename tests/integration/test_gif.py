"""kivd turning GIF backgrounds into cached videos with the real ffmpeg:
one conversion per GIF and settings, the cache kept under its limit, and
what stays on screen while a conversion runs, fails or is cancelled.
kiv-render is played by fake_render.py, tarvine-shell by a script; ffmpeg
is the real one behind a wrapper that notes each call by its process id."""

import os
import signal
import struct
import subprocess
import threading
import time
import unittest

from busstub import SystemBus
from compositor import ffmpeg
from hyprstub import HyprStub, monitor
from kivtest import pid_gone, request, wait_for
from test_media import MediaTestCase

FFMPEG_WRAPPER = """#!/bin/sh
echo $$ >> %s
exec %s "$@"
"""

# Delays every conversion by the given seconds, then runs the next ffmpeg.
SLOW_FFMPEG = """#!/bin/sh
sleep %d
exec %s "$@"
"""


def probe(path):
    """(codec, width, height, pixel format) of the first video stream."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=codec_name,width,height,pix_fmt", "-of", "csv=p=0", path],
                         capture_output=True, text=True, check=True, timeout=60).stdout
    codec, width, height, pix_fmt = out.strip().split(",")
    return codec, int(width), int(height), pix_fmt


class GifTestCase(MediaTestCase):

    def setUp(self):
        super().setUp()
        real = subprocess.run(["which", "ffmpeg"], capture_output=True, text=True).stdout.strip()
        self.assertTrue(real, "no ffmpeg on PATH")
        wrap_dir = os.path.join(self.env.root, "ffmpegbin")
        self.ffmpeg_calls = os.path.join(self.env.root, "ffmpeg.calls")
        self.write_exec(os.path.join(wrap_dir, "ffmpeg"),
                        FFMPEG_WRAPPER % (self.ffmpeg_calls, real))
        self.env.vars["PATH"] = wrap_dir + ":" + self.env.vars["PATH"]
        self.cache_dir = os.path.join(self.env.cache, "kiv", "gif")

        media = os.path.dirname(self.media["vid1"])
        self.media["odd"] = os.path.join(media, "odd.gif")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=333x201:rate=10", "-t", "2",
               self.media["odd"])
        self.media["real"] = os.path.join(media, "real.mp4")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=10", "-t", "1", "-c:v", "libx264",
               "-preset", "ultrafast", "-pix_fmt", "yuv420p", self.media["real"])
        self.media["broken"] = os.path.join(media, "broken.gif")
        with open(self.media["broken"], "w") as f:
            f.write("not a picture at all\n")
        # A GIF header and its end, with no picture between them.
        self.media["empty"] = os.path.join(media, "empty.gif")
        with open(self.media["empty"], "wb") as f:
            f.write(b"GIF89a" + struct.pack("<HHBBB", 64, 64, 0, 0, 0) + b";")
        # Nobody writes into this FIFO, so ffmpeg waits on it for ever.
        self.media["stuck"] = os.path.join(media, "stuck.gif")
        os.mkfifo(self.media["stuck"])

    def calls(self):
        try:
            with open(self.ffmpeg_calls) as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def cached(self, suffix=".mp4"):
        try:
            names = os.listdir(self.cache_dir)
        except FileNotFoundError:
            return []
        return sorted(os.path.join(self.cache_dir, n) for n in names if n.endswith(suffix)
                      and ".part-" not in n)

    def partials(self):
        try:
            return [n for n in os.listdir(self.cache_dir) if ".part-" in n]
        except FileNotFoundError:
            return []

    def write_config(self, text):
        os.makedirs(os.path.join(self.env.config, "kiv"), exist_ok=True)
        with open(os.path.join(self.env.config, "kiv", "config.toml"), "w") as f:
            f.write(text)

    def wait_ready_on(self, path):
        return self.wait_daemon_status("%s ready" % path, timeout=60, media_ready=True,
                                       loaded_path=path)


class GifTest(GifTestCase):

    def test_gif_converted_once_then_played_from_cache(self):
        self.put_renderer(self.bin)
        self.link("odd")
        d = self.start_kivd()
        d.wait_log("gif transcode started for %s" % self.media["odd"])
        d.wait_log("job done for %s" % self.media["odd"], timeout=120)
        [video] = self.cached()
        s = self.wait_ready_on(video)
        self.assertEqual((s["source_kind"], s["loaded_kind"], s["job_running"], s["failed_path"]),
                         ("gif", "video", False, ""))
        self.assertIn("gif cached %s" % video, d.log())
        self.assertEqual(probe(video), ("h264", 332, 200, "yuv420p"))
        self.assertEqual(self.partials(), [])
        self.assertEqual(len(self.calls()), 1)

        self.link("vid1")
        self.wait_ready_on(self.media["vid1"])
        self.link("odd")
        self.wait_ready_on(video)
        self.assertEqual(len(self.calls()), 1, "the cached GIF was converted again")
        self.assertEqual(d.log().count("gif transcode started"), 1)
        self.assertEqual(len(self.loads_of("odd")), 0, "the GIF itself went to the renderer")

    def test_cache_follows_the_configuration(self):
        os.makedirs(self.cache_dir)
        day = 24 * 3600
        old = []
        for name, kib, age in (("0123456789abcdef.mp4", 600, 3 * day),
                               ("poster-0123456789abcdef.png", 1100, 2 * day)):
            path = os.path.join(self.cache_dir, name)
            with open(path, "wb") as f:
                f.write(b"\0" * kib * 1024)
            os.utime(path, (time.time() - age,) * 2)
            old.append(path)
        abandoned = os.path.join(self.cache_dir, "fedcba9876543210.mp4.part-Ab12Cd.mp4")
        with open(abandoned, "wb") as f:
            f.write(b"\0")
        os.utime(abandoned, (time.time() - 2 * day,) * 2)
        self.write_config("[transcode]\ncache_max_mb = 1\n")

        self.put_renderer(self.bin)
        self.link("odd")
        d = self.start_kivd()
        self.assertIn("removed abandoned conversion %s" % os.path.basename(abandoned), d.log())
        d.wait_log("job done for %s" % self.media["odd"], timeout=120)
        [first] = self.cached()
        self.wait_ready_on(first)
        for path in old:
            self.assertIn("cache pruned %s" % path, d.log())
        self.assertEqual(os.listdir(self.cache_dir), [os.path.basename(first)])

        # New settings name a new product; with the limit lifted the first one
        # stays.
        self.write_config("[transcode]\ncache_max_mb = 0\ngif_fps = 15\n")
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"reload-config"}', timeout=15),
                         '{"status":"ok"}')
        d.wait_log("gif transcode started for %s" % self.media["odd"])
        self.wait_count(d, "job done for %s" % self.media["odd"], 2, timeout=120)
        second = [p for p in self.cached() if p != first]
        self.assertEqual(len(second), 1, self.cached())
        self.wait_ready_on(second[0])
        self.assertTrue(os.path.exists(first))
        self.assertEqual(len(self.calls()), 2)

    def test_failed_or_cancelled_gif_keeps_what_is_shown(self):
        d = self.start_on_video()
        self.link("broken")
        d.wait_log("job failed for %s" % self.media["broken"], timeout=60)
        self.assertIn("ffmpeg gif failed: ", d.log())
        s = self.status()
        self.assertEqual((s["failed_path"], s["loaded_path"], s["media_ready"], s["job_running"]),
                         (self.media["broken"], self.media["vid1"], True, False))
        self.assertEqual((self.cached(), self.partials()), ([], []))

        # A GIF without a single frame converts into nothing: it fails at
        # once instead of reaching the renderer as a video without a picture.
        self.link("empty")
        d.wait_log("job failed for %s" % self.media["empty"], timeout=60)
        self.assertIn("ffmpeg gif failed: Empty output", d.log())
        s = self.status()
        self.assertEqual((s["failed_path"], s["loaded_path"], s["media_ready"], s["job_running"]),
                         (self.media["empty"], self.media["vid1"], True, False))
        self.assertEqual((self.cached(), self.partials()), ([], []))
        self.assertNotIn("job done for", d.log())
        self.assertEqual([r["path"] for r in self.requests("load")], [self.media["vid1"]])

        # From a still the shell draws, the shell keeps drawing it while the
        # GIF converts: the renderer is not started, the plug-in stays on.
        self.link("still1")
        d.wait_log("renderer stopped, the shell draws the still", timeout=30)
        runs = len(self.calls())
        self.link("stuck")
        d.wait_log("gif transcode started for %s" % self.media["stuck"], timeout=30)
        wait_for(lambda: len(self.calls()) == runs + 1, timeout=30,
                 what="ffmpeg started on the FIFO")
        s = self.status()
        self.assertEqual((s["engine"], s["media_ready"], s["job_running"], s["render_alive"]),
                         ("shell", True, True, False))

        # A new background cancels the conversion: ffmpeg is killed, its
        # temporary file removed; this one fails and the still stays.
        stuck_ffmpeg = self.calls()[-1]
        self.link("broken")
        self.wait_count(d, "job failed for %s" % self.media["broken"], 2, timeout=60)
        wait_for(lambda: self.status()["failed_path"] == self.media["broken"],
                 what="broken GIF marked failed")
        self.assertTrue(pid_gone(stuck_ffmpeg))
        self.assertEqual((self.cached(), self.partials()), ([], []))
        self.assertNotIn("job done for", d.log())
        s = self.status()
        self.assertEqual((s["engine"], s["media_ready"], s["job_running"], s["render_alive"]),
                         ("shell", True, False, False))
        with open(self.shell_log) as f:
            calls = f.read().splitlines()
        self.assertEqual(calls[-1], "shell setPluginEnabled tarvine.background true")
        self.assertEqual(len(self.spawns(d)), 1)


class ConversionFlowTest(GifTestCase):
    """What happens around a conversion: the background before it and the
    policy while it runs."""

    def test_old_load_failing_during_the_conversion_leaves_the_gif_alone(self):
        # The conversion outlasts the old load's five seconds.
        slow = os.path.join(self.env.root, "slowbin")
        self.write_exec(os.path.join(slow, "ffmpeg"),
                        SLOW_FFMPEG % (7, os.path.join(self.env.root, "ffmpegbin", "ffmpeg")))
        self.env.vars["PATH"] = slow + ":" + self.env.vars["PATH"]
        d = self.start_on_video()
        self.control(never_ready=[self.media["vid2"]])
        self.link("vid2")
        wait_for(lambda: self.loads_of("vid2"), what="vid2 load sent")
        self.link("odd")
        d.wait_log("gif transcode started for %s" % self.media["odd"])
        d.wait_log("job done for %s" % self.media["odd"], timeout=120)
        [video] = self.cached()
        s = self.wait_ready_on(video)
        self.assertEqual((s["source_path"], s["failed_path"]), (self.media["odd"], ""))
        self.assertNotIn("media did not start", d.log())

    def test_policy_followed_while_a_gif_converts(self):
        hypr = HyprStub(self.env.runtime, "sig-job", monitors=[monitor("HEADLESS-1")],
                        clients=[]).start()
        self.addCleanup(hypr.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-job"
        d = self.start_on_video()
        hypr.wait_event_client()
        pid = self.renderer_pid(d)
        wait_for(lambda: self.requests("resume", pid), what="initial resume")
        # Nobody writes into the FIFO: the job runs for as long as the test.
        self.link("stuck")
        d.wait_log("gif transcode started for %s" % self.media["stuck"])

        def lock():
            hypr.set_state(monitors=[monitor("HEADLESS-1", solitaryBlockedBy=["LOCK"])])
            hypr.send_event("lockscreen>>1\n")

        def unlock():
            hypr.set_state(monitors=[monitor("HEADLESS-1")])
            hypr.send_event("lockscreen>>0\n")

        def command(cmd):
            return lambda: self.assertEqual(request(self.env.daemon_socket, '{"cmd":"%s"}' % cmd),
                                            '{"status":"ok"}')

        cases = [
            # name, action, what it sends, undo, what that sends
            ("manual pause", command("pause"), "pause", command("resume"), "resume"),
            ("lock screen", lock, "feed", unlock, "feed-stop"),
        ]
        for name, action, sent, undo, undone in cases:
            with self.subTest(name):
                before = len(self.requests(sent, pid))
                action()
                wait_for(lambda: len(self.requests(sent, pid)) > before, what=sent)
                before = len(self.requests(undone, pid))
                undo()
                wait_for(lambda: len(self.requests(undone, pid)) > before, what=undone)
                self.assertFalse(self.status()["paused"])
        self.assertTrue(self.status()["job_running"])


class KilledDaemonTest(GifTestCase):

    def test_ffmpeg_ends_with_a_killed_daemon(self):
        # Killed outright, the daemon cannot stop its conversion, and the time
        # limit lived in one of its threads: ffmpeg must end with it, whether
        # it waits on its input or is busy converting.
        with open(self.media["odd"], "rb") as f:
            half = f.read()
        half = half[:len(half) // 2]
        for name, feed in (("stuck on its input", None), ("converting", half)):
            with self.subTest(name):
                key = "fifo-%d" % len(self.media)
                self.media[key] = os.path.join(self.env.root, key + ".gif")
                os.mkfifo(self.media[key])
                writer = []
                if feed:
                    # Half a GIF and no end: ffmpeg converts what it has and
                    # waits for more.
                    def write(path=self.media[key], data=feed):
                        fd = os.open(path, os.O_WRONLY)
                        writer.append(fd)
                        os.write(fd, data)
                    threading.Thread(target=write, daemon=True).start()
                before = len(self.calls())
                self.put_renderer(self.bin)
                self.link(key)
                d = self.start_kivd()
                wait_for(lambda: len(self.calls()) > before, timeout=30,
                         what="ffmpeg started")
                converter = self.calls()[-1]
                if feed:
                    wait_for(lambda: writer, timeout=30, what="ffmpeg reading")
                    time.sleep(0.5)
                try:
                    self.assertFalse(pid_gone(converter), "ffmpeg ended before the daemon")
                    os.kill(d.pid, signal.SIGKILL)
                    d.wait()
                    self.procs.remove(d)
                    wait_for(lambda: pid_gone(converter), timeout=5,
                             what="ffmpeg gone with its daemon")
                finally:
                    if not pid_gone(converter):
                        os.kill(converter, signal.SIGKILL)
                    for pid, _ in self.spawns(d):
                        if not pid_gone(pid):
                            os.kill(pid, signal.SIGKILL)
                    for fd in writer:
                        os.close(fd)


class PosterTest(GifTestCase):
    """Battery power reported by a stand-in UPower on a private system bus."""

    def setUp(self):
        super().setUp()
        self.bus = SystemBus(self.env)
        self.addCleanup(self.bus.stop)
        self.write_config('[pause]\nbattery_mode = "poster"\n')

    def test_poster_replaces_the_video_on_battery(self):
        self.bus.start(on_battery=False)
        self.put_renderer(self.bin)
        self.link("real")
        d = self.start_kivd()
        self.wait_ready_on(self.media["real"])
        for _ in range(2):
            self.bus.set_on_battery(True)
            d.wait_log("job done for %s" % self.media["real"], timeout=60)
            [poster] = self.cached(".png")
            s = self.wait_ready_on(poster)
            self.assertEqual((s["loaded_kind"], s["paused"], s["reason"], s["on_battery"]),
                             ("still", True, "battery", True))
            self.bus.set_on_battery(False)
            s = self.wait_ready_on(self.media["real"])
            self.assertEqual((s["loaded_kind"], s["paused"]), ("video", False))
        # Extracted once, the first frame at the video's own size.
        self.assertEqual(len(self.calls()), 1)
        self.assertEqual(d.log().count("poster extraction started"), 1)
        self.assertEqual(probe(poster), ("png", 320, 180, "rgb24"))
        self.assertEqual(self.partials(), [])

    def test_video_without_a_poster_stays_paused_on_battery(self):
        # vid1 is no video ffmpeg can read: its poster fails, and the video is
        # shown paused instead of nothing at all.
        self.bus.start(on_battery=True)
        self.put_renderer(self.bin)
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("job failed for %s" % self.media["vid1"], timeout=60)
        self.assertIn("poster extract failed: ", d.log())
        s = self.wait_ready_on(self.media["vid1"])
        # The status names the source whose poster failed.
        self.assertEqual((s["loaded_kind"], s["paused"], s["failed_path"], s["job_running"]),
                         ("video", True, self.media["vid1"], False))
        pid = self.renderer_pid(d)
        wait_for(lambda: self.requests("pause", pid), what="pause sent")
        self.assertEqual(self.cached(".png"), [])

        self.bus.set_on_battery(False)
        wait_for(lambda: not self.status()["paused"], what="playing on mains")
        wait_for(lambda: self.requests("resume", pid), what="resume sent")
        self.assertEqual(self.status()["failed_path"], "")
        self.assertEqual(len(self.calls()), 1)


if __name__ == "__main__":
    unittest.main()
