"""Real wallpapers on a headless sway compositor: Debian's own wallpapers and
files derived from them at run time, shown by kiv-render and compared with
FFmpeg's own cover-cropped rendering of each file."""

import os
import shutil
import tempfile
import unittest

from compositor import RendererTestCase
from kivtest import wait_for
import realmedia
from realmedia import ffmpeg

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
                reply = self.cmd({"cmd": "load", "path": path, "kind": "still"}, timeout=60)
                self.assertEqual(reply, {"status": "ok"})
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


if __name__ == "__main__":
    unittest.main()
