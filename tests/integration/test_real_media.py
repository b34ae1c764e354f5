"""Real wallpapers on a headless sway compositor: Debian's own wallpapers and
files derived from them at run time, shown by kiv-render and compared with
FFmpeg's own cover-cropped rendering of each file; and the sound of a video
wallpaper, written by the player into a file instead of a sound card."""

import os
import shutil
import struct
import tempfile
import time
import unittest

from compositor import RendererTestCase
from kivtest import wait_for
import realmedia
from realmedia import ffmpeg
from test_system import SystemTestCase

SCREEN = (1920, 1080)


class RealStillsTest(RendererTestCase):
    @classmethod
    def setUpClass(cls):
        missing = realmedia.missing_package_files()
        if missing:
            raise AssertionError("wallpaper packages missing: %s (run scripts/install-deps)"
                                 % ", ".join(missing))
        cls.media = tempfile.mkdtemp(prefix="kiv-real-")
        m = cls.media

        def at(name):
            return os.path.join(m, name)

        # The photograph-like GNOME wallpaper at a phone photo's size and shape.
        cls.photo = at("photo.png")
        ffmpeg("-i", realmedia.GNOME_PHOTO_WEBP, "-vf", "crop=iw:iw*3/4,scale=1600:1200",
               cls.photo)
        # (name, file, the file whose upright picture it must show)
        cls.files = [
            ("sway PNG", realmedia.SWAY_PNG, None),
            ("sway portrait PNG", realmedia.SWAY_PORTRAIT_PNG, None),
            ("GNOME WebP 4096x4096", realmedia.GNOME_WEBP, None),
            ("GNOME SVG", realmedia.GNOME_SVG, None),
            ("Debian SVG", realmedia.DEBIAN_SVG, None),
        ]
        ffmpeg("-i", cls.photo, "-q:v", "2", at("photo.jpg"))
        cls.files.append(("JPEG", at("photo.jpg"), None))
        ffmpeg("-i", cls.photo, "-c:v", "libjxl", at("photo.jxl"))
        cls.files.append(("JPEG XL", at("photo.jxl"), None))
        ffmpeg("-i", cls.photo, "-frames:v", "1", at("photo.bmp"))
        cls.files.append(("BMP", at("photo.bmp"), None))
        for name, options in (("full range 4:4:4", ["-y", "444", "-r", "full"]),
                              ("limited BT.709 4:2:0",
                               ["-y", "420", "-r", "limited", "--cicp", "1/13/1"])):
            path = at("photo-%s.avif" % name.split()[0])
            realmedia.avifenc(cls.photo, path, *options)
            cls.files.append(("AVIF " + name, path, None))
        # Phone photographs: stored sideways (or mirrored), the EXIF tag says
        # how to show them.
        stored = {6: "transpose=2", 8: "transpose=1", 3: "hflip,vflip", 5: "transpose=0"}
        for orientation, vf in stored.items():
            path = at("phone-%d.jpg" % orientation)
            ffmpeg("-i", cls.photo, "-vf", vf, "-q:v", "2", path)
            realmedia.exif_orientation(path, orientation)
            cls.files.append(("JPEG with EXIF orientation %d" % orientation, path, cls.photo))
        path = at("phone-6.webp")
        ffmpeg("-i", cls.photo, "-vf", "transpose=2", "-quality", "95", path)
        realmedia.exif_orientation(path, 6)
        cls.files.append(("WebP with EXIF orientation 6", path, cls.photo))
        # One frame of a GIF is a still picture.
        path = at("frame.gif")
        ffmpeg("-i", realmedia.SWAY_PNG, "-vf",
               "scale=960:540,split[a][b];[a]palettegen[p];[b][p]paletteuse", "-frames:v", "1",
               path)
        cls.files.append(("one-frame GIF", path, None))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.start_renderer()
        self.assertEqual(self.cmd({"cmd": "fade", "ms": 0}), {"status": "ok"})

    def screen_rgb(self):
        shot = os.path.join(self.env.root, "shot.ppm")
        self.comp.screenshot_to(shot, "HEADLESS-1")
        rgb = realmedia.rgb_of(shot, *SCREEN)
        os.unlink(shot)
        return rgb

    def test_each_still_looks_as_ffmpeg_renders_it(self):
        for name, path, upright in self.files:
            with self.subTest(name):
                # Answered at once: the look is checked here, not how fast a
                # slow (sanitizer) build rasterises a large SVG.
                reply = self.cmd({"cmd": "load", "path": path, "kind": "still", "async": True})
                self.assertEqual(reply, {"status": "ok"})

                def shown():
                    s = self.status()
                    self.assertFalse(s.get("error"), "%s: %r" % (name, s))
                    return s.get("ready") is True and s.get("path") == path
                wait_for(shown, 40, 0.1, "%s decoded" % name)
                want = realmedia.rgb_of(upright or path, *SCREEN)
                # The fade is off; one screenshot after the answer shows it.
                seen = []

                def close():
                    seen.append(realmedia.mean_difference(self.screen_rgb(), want))
                    return seen[-1] is not None and seen[-1] < 4.0
                try:
                    wait_for(close, 20, 0.2, "%s on screen" % name)
                except AssertionError:
                    self.fail("%s: mean difference %s, not below 4 levels" % (name, seen[-1]))


class OneFrameGifTest(SystemTestCase):
    """A GIF of a single picture through kiv set, kivd and kiv-render: a still,
    drawn as such, with no conversion and no player."""

    def test_one_frame_gif_is_shown_as_a_still(self):
        missing = realmedia.missing_package_files()
        self.assertEqual(missing, [], "run scripts/install-deps")
        gif = os.path.join(self.env.root, "frame.gif")
        ffmpeg("-i", realmedia.SWAY_PORTRAIT_PNG, "-vf",
               "split[a][b];[a]palettegen[p];[b][p]paletteuse", "-frames:v", "1", gif)
        d = self.start_daemon()
        self.run_kiv("set", gif)
        s = self.wait_loaded(gif, "still")
        self.assertFalse(s["job_running"])
        self.assertEqual(self.run_kiv("render-status")["has_video"], False)
        log = d.log()
        self.assertNotIn("gif transcode started", log)
        self.assertNotIn("transcoding gif", log)
        cache = os.path.join(self.env.cache, "kiv", "gif")
        self.assertEqual(os.listdir(cache) if os.path.isdir(cache) else [], [])
        want = realmedia.rgb_of(gif, *SCREEN)
        seen = []

        def close():
            shot = os.path.join(self.env.root, "shot.ppm")
            self.comp.screenshot_to(shot, "HEADLESS-1")
            seen.append(realmedia.mean_difference(realmedia.rgb_of(shot, *SCREEN), want))
            return seen[-1] is not None and seen[-1] < 4.0
        try:
            wait_for(close, 30, 0.3, "the GIF's picture on screen")
        except AssertionError:
            self.fail("mean difference %s, not below 4 levels" % seen[-1])


class TimelessStreamTest(RendererTestCase):
    """A raw MPEG-1 stream of 24 frames at 24 fps, without presentation times
    or a duration: played at its own rate, and what the player keeps saying
    about it written once with a count."""

    @classmethod
    def setUpClass(cls):
        missing = realmedia.missing_package_files()
        if missing:
            raise AssertionError("wallpaper packages missing: %s" % ", ".join(missing))
        cls.media = tempfile.mkdtemp(prefix="kiv-timeless-")
        cls.clip = os.path.join(cls.media, "timeless.mpg")
        ffmpeg("-loop", "1", "-i", realmedia.SWAY_PNG, "-vf", "scale=320:240,scroll=h=0.02",
               "-r", "24", "-frames:v", "24", "-c:v", "mpeg1video", "-f", "mpeg1video", cls.clip)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def positions(self, seconds):
        """The playback positions seen over some seconds."""
        seen = set()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            seen.add(self.status()["time_pos"])
            time.sleep(0.07)
        return seen

    def test_played_with_times_of_its_own(self):
        r = self.start_renderer()
        self.assertEqual(self.cmd({"cmd": "load", "path": self.clip, "kind": "video"}),
                         {"status": "ok"})
        self.wait_status(lambda s: s["ready"], "the stream playing")
        seen = self.positions(3.0)
        # The position runs through the one-second loop rather than standing.
        self.assertGreaterEqual(len([p for p in seen if 0.0 < p < 1.0]), 5, sorted(seen))
        self.assertLess(max(seen), 1.05, sorted(seen))
        self.assertNotIn("No video PTS", r.log())

    def test_a_message_repeated_on_every_loop_is_written_once(self):
        # Without the times FFmpeg makes, the player complains on every loop.
        self.env.vars["KIV_MPV_OPTIONS"] = "demuxer-lavf-o="
        r = self.start_renderer()
        self.assertEqual(self.cmd({"cmd": "load", "path": self.clip, "kind": "video"}),
                         {"status": "ok"})
        self.wait_status(lambda s: s["ready"], "the stream playing")
        wait_for(lambda: "No video PTS" in r.log(), 20, 0.2, "the player's complaint")
        time.sleep(4.0)
        self.assertEqual(r.stop(), 0)
        lines = [l for l in r.log().splitlines() if "No video PTS" in l]
        self.assertEqual(len(lines), 2, lines)
        self.assertRegex(lines[1], r"\(repeated [0-9]+ times?\)$")
        self.assertNotIn("repeated", lines[0])


def wav_samples(path):
    """The samples written so far into the player's sound file (16-bit)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    body = data[44:]
    return struct.unpack("<%dh" % (len(body) // 2), body[:len(body) // 2 * 2])


class SoundTest(RendererTestCase):
    """The player writes what it would play into a file (mpv's pcm output)."""

    @classmethod
    def setUpClass(cls):
        missing = realmedia.missing_package_files()
        if missing:
            raise AssertionError("wallpaper packages missing: %s" % ", ".join(missing))
        cls.media = tempfile.mkdtemp(prefix="kiv-sound-")
        cls.clip = os.path.join(cls.media, "tone.mp4")
        # A video wallpaper with a loud soundtrack.
        ffmpeg("-loop", "1", "-i", realmedia.SWAY_PNG, "-f", "lavfi", "-i",
               "sine=frequency=440:sample_rate=48000", "-t", "10", "-vf", "scale=480:270",
               "-r", "24", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               "-c:a", "aac", "-af", "volume=0.8", cls.clip)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.wav = os.path.join(self.env.root, "sound.wav")
        self.env.vars["KIV_MPV_OPTIONS"] = "ao=pcm;ao-pcm-file=%s;audio-format=s16" % self.wav
        self.start_renderer()

    def position(self):
        return self.status()["time_pos"]

    def test_silent_by_default_and_volume_applies_while_playing(self):
        self.assertEqual(self.cmd({"cmd": "load", "path": self.clip, "kind": "video"}),
                         {"status": "ok"})
        wait_for(lambda: self.position() > 1.0, 20, 0.1, "the video playing")
        # Not a single sample: the soundtrack is not even decoded.
        self.assertEqual(len(wav_samples(self.wav)), 0)

        before = self.position()
        self.assertEqual(self.cmd({"cmd": "volume", "level": 60}), {"status": "ok"})
        wait_for(lambda: len(wav_samples(self.wav)) > 48000, 20, 0.1, "sound written")
        self.assertGreater(max(abs(s) for s in wav_samples(self.wav)), 1000)
        # The same video played on: not loaded again from its start.
        self.assertGreaterEqual(self.position(), before)
        self.assertEqual(self.status()["path"], self.clip)

        self.assertEqual(self.cmd({"cmd": "volume", "level": 0}), {"status": "ok"})
        time.sleep(0.5)
        written = len(wav_samples(self.wav))
        time.sleep(1.0)
        self.assertEqual(len(wav_samples(self.wav)), written, "sound goes on at volume 0")

    def test_volume_must_be_a_percentage(self):
        error = {"status": "error", "message": "Volume must be an integer from 0 to 100"}
        for level in (101, -1, 2.5, "50", None):
            with self.subTest(level=level):
                req = {"cmd": "volume"} if level is None else {"cmd": "volume", "level": level}
                self.assertEqual(self.cmd(req), error)
        self.assertEqual(self.cmd({"cmd": "volume", "level": 100}), {"status": "ok"})


if __name__ == "__main__":
    unittest.main()
