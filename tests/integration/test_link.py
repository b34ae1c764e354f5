"""The background link through the real kivd: `set` replaces it atomically,
the watcher follows replacements by other programs, and failures leave the
link alone. A stand-in tarvine-shell takes still backgrounds, so no renderer
is needed; the tests look at the link, the log and `status`."""

import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

from kivtest import KIVD, KivTestCase, request, request_json, wait_for
import realmedia

OK = '{"status":"ok"}'

SHELL_STAND_IN = """#!/bin/sh
echo "$*" >> "$KIV_TEST_SHELL_LOG"
exit 0
"""


def write_png(path, rgb=(200, 30, 30), size=4):
    """A real (tiny) PNG file."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    row = b"\x00" + bytes(rgb) * size
    data = (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * size))
            + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(data)
    return path


STILL_SUFFIXES = ".jpg .jpeg .jfif .jpe .png .bmp .webp .tif .tiff .avif .jxl .heic .heif .svg"
VIDEO_SUFFIXES = (".mp4 .m4v .mov .webm .mkv .avi .mpeg .mpg .ts .m2ts .mts .wmv .asf .flv .f4v "
                  ".ogv .3gp .3g2 .apng .gif")


def unsupported(what):
    return "unsupported file type: %s (stills: %s, videos: %s)" % (what, STILL_SUFFIXES,
                                                                     VIDEO_SUFFIXES)


def ffmpeg_decodes(path):
    """FFmpeg's own verdict on a file: the ffmpeg program decodes a frame."""
    return subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-frames:v", "1",
                           "-f", "null", "-"], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120).returncode == 0


def unshare_works():
    if shutil.which("unshare") is None:
        return False
    r = subprocess.run(["unshare", "--user", "--map-user=1000", "--map-group=1000", "true"],
                       capture_output=True)
    return r.returncode == 0


class LinkTestCase(KivTestCase):
    def setUp(self):
        super().setUp()
        self.media = os.path.join(self.env.root, "media")
        os.makedirs(self.media)
        bindir = os.path.join(self.env.root, "shell-bin")
        os.makedirs(bindir)
        shell = os.path.join(bindir, "tarvine-shell")
        with open(shell, "w") as f:
            f.write(SHELL_STAND_IN)
        os.chmod(shell, 0o755)
        self.shell_log = os.path.join(self.env.root, "shell.log")
        self.env.vars["KIV_TEST_SHELL_LOG"] = self.shell_log
        self.env.vars["PATH"] = bindir + ":" + self.env.vars.get("PATH", "/usr/bin:/bin")
        self.link_dir = os.path.dirname(self.env.background_link)

    def png(self, name, rgb=(200, 30, 30)):
        return write_png(os.path.join(self.media, name), rgb)

    def status(self):
        return request_json(self.env.daemon_socket, {"cmd": "status"})

    def set(self, path):
        return request_json(self.env.daemon_socket, {"cmd": "set", "path": path})

    def replace_link(self, target, name="theme-tmp"):
        """What the theme system does: a new link renamed over the old one."""
        tmp = os.path.join(self.link_dir, name)
        os.symlink(target, tmp)
        os.rename(tmp, self.env.background_link)

    def wait_source(self, path):
        wait_for(lambda: self.status()["source_path"] == path, timeout=15,
                 what="source_path %s" % path)


class LinkTest(LinkTestCase):
    def test_missing_directory_is_created_and_watched(self):
        self.assertFalse(os.path.exists(self.link_dir))
        d = self.start_daemon()
        self.assertTrue(os.path.isdir(self.link_dir))
        self.assertIn("watching %s\n" % self.link_dir, d.stdout())
        self.assertIn("no current background symlink yet\n", d.stderr())

    def test_existing_link_is_adopted_at_startup(self):
        target = self.png("start.png")
        os.makedirs(self.link_dir)
        os.symlink(target, self.env.background_link)
        self.start_daemon()
        status = self.status()
        self.assertEqual(status["source_path"], target)
        self.assertEqual(status["source_kind"], "still")

    def test_set_makes_an_absolute_canonical_link(self):
        real = self.png("a.png")
        # A path through a symlinked directory and "..": what a client makes
        # of a relative path before sending it.
        os.symlink(self.media, os.path.join(self.env.root, "alias"))
        os.makedirs(os.path.join(self.media, "sub"))
        winding = os.path.join(self.env.root, "alias", "sub", "..", "a.png")
        d = self.start_daemon()
        self.assertEqual(self.set(winding), {"status": "ok"})
        self.assertTrue(os.path.islink(self.env.background_link))
        self.assertEqual(os.readlink(self.env.background_link), real)
        self.wait_source(real)
        d.wait_log("background symlink now points at %s\n" % real)
        # The temporary name is gone after the rename.
        self.assertEqual(sorted(os.listdir(self.link_dir)), ["background"])

    def test_set_failures_leave_the_link_unchanged(self):
        good = self.png("good.png")
        notes = os.path.join(self.media, "notes.txt")
        with open(notes, "w") as f:
            f.write("not a picture\n")
        os.makedirs(os.path.join(self.media, "dir.png"))
        self.start_daemon()
        self.assertEqual(self.set(good), {"status": "ok"})
        self.wait_source(good)
        missing = os.path.join(self.media, "missing.png")
        cases = [
            ("directory", os.path.join(self.media, "dir.png"), "not a regular file"),
            ("missing", missing, "cannot resolve %s: No such file or directory" % missing),
            ("unknown_kind", notes, unsupported(".txt")),
            ("dangling_symlink", self.dangling("dangling.png"),
             "cannot resolve %s: No such file or directory"
             % os.path.join(self.media, "dangling.png")),
        ]
        for name, path, message in cases:
            with self.subTest(name):
                reply = request(self.env.daemon_socket,
                                '{"cmd":"set","path":"%s"}' % path)
                self.assertEqual(json.loads(reply), {"status": "error", "message": message})
                self.assertEqual(os.readlink(self.env.background_link), good)
        self.assertEqual(sorted(os.listdir(self.link_dir)), ["background"])
        self.assertEqual(self.status()["source_path"], good)

    def dangling(self, name):
        path = os.path.join(self.media, name)
        os.symlink(os.path.join(self.media, "gone.png"), path)
        return path

    def test_stray_temporary_name_is_skipped(self):
        first = self.png("first.png")
        d = self.start_daemon()
        stray = os.path.join(self.link_dir, "background.kiv-%d-0" % d.pid)
        with open(stray, "w") as f:
            f.write("left behind\n")
        self.assertEqual(self.set(first), {"status": "ok"})
        self.assertEqual(os.readlink(self.env.background_link), first)
        with open(stray) as f:
            self.assertEqual(f.read(), "left behind\n")
        self.assertEqual(sorted(os.listdir(self.link_dir)),
                         ["background", "background.kiv-%d-0" % d.pid])
        self.wait_source(first)

    def test_replacements_by_other_programs(self):
        a = self.png("a.png")
        b = self.png("b.png", (30, 200, 30))
        c = self.png("c.png", (30, 30, 200))
        d = self.start_daemon()
        self.assertEqual(self.set(a), {"status": "ok"})
        self.wait_source(a)

        self.replace_link(b)
        self.wait_source(b)
        d.wait_log("background symlink now points at %s\n" % b)

        # The same file again, and an unrelated new name in the directory:
        # nothing to act on. The link to c afterwards shows both were handled.
        self.replace_link(b)
        with open(os.path.join(self.link_dir, "notes"), "w") as f:
            f.write("x\n")
        self.replace_link(c)
        self.wait_source(c)
        d.wait_log("background symlink now points at %s\n" % c)
        log = d.log()
        self.assertEqual(log.count("background symlink now points at %s\n" % b), 1, log)
        self.assertEqual(log.count("background symlink now points at"), 3, log)
        self.assertNotIn("background symlink unreadable", log)

        # A dangling link warns and keeps what is shown.
        self.replace_link(os.path.join(self.media, "gone.png"))
        d.wait_log("background symlink unreadable\n")
        self.assertIn(" WARN ", d.stderr())
        self.assertEqual(self.status()["source_path"], c)

        # refresh re-reads the link: unreadable now.
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"refresh"}'),
                         '{"status":"error","message":"symlink unreadable"}')
        self.replace_link(a)
        self.wait_source(a)
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"refresh"}'), OK)
        self.assertEqual(self.status()["source_path"], a)

    def test_shell_is_told_once_and_not_at_shutdown(self):
        a = self.png("a.png")
        d = self.start_daemon()
        self.assertEqual(self.set(a), {"status": "ok"})
        wait_for(lambda: self.status()["engine"] == "shell", timeout=15, what="engine shell")
        self.assertTrue(self.status()["media_ready"])
        d.wait_log("shell background enabled\n")
        self.assertEqual(d.stop(), 0)
        # Only the handoff ran the program; the daemon never disabled the
        # plug-in, so shutdown has nothing to restore.
        with open(self.shell_log) as f:
            self.assertEqual(f.read(), "shell setPluginEnabled tarvine.background true\n")


class SetThroughKivTest(LinkTestCase):
    """What `kiv set` says of real files: the common spellings of known types
    are taken, everything else is refused with the reason, and a refusal
    leaves the background as it was."""

    @classmethod
    def setUpClass(cls):
        missing = realmedia.missing_package_files()
        if missing:
            raise AssertionError("wallpaper packages missing: %s (run scripts/install-deps)"
                                 % ", ".join(missing))
        cls.files = tempfile.mkdtemp(prefix="kiv-set-")

        def at(name):
            return os.path.join(cls.files, name)
        small = "scale=320:180"
        realmedia.ffmpeg("-i", realmedia.SWAY_PNG, "-vf", small, at("photo.jpg"))
        for name in ("photo.JPG", "photo.jfif", "photo.jpe", "wallpaper", "photo.xyz"):
            shutil.copy(at("photo.jpg"), at(name))
        realmedia.ffmpeg("-i", realmedia.SWAY_PNG, "-vf", small, at("photo.PNG"))
        clip = ("-loop", "1", "-i", realmedia.SWAY_PNG, "-vf", small, "-r", "24", "-frames:v",
                "24")
        realmedia.ffmpeg(*clip, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                         at("clip.m4v"))
        realmedia.ffmpeg(*clip, "-c:v", "mpeg1video", "-f", "mpeg", at("clip.mpg"))
        shutil.copy(at("clip.mpg"), at("clip.MPEG"))
        realmedia.ffmpeg(*clip, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                         "-f", "mpegts", at("clip.ts"))
        realmedia.ffmpeg(*clip, "-frames:v", "3", "-c:v", "libwebp_anim", "-loop", "0",
                         at("moving.webp"))
        realmedia.ffmpeg("-i", realmedia.SWAY_PNG, "-vf", small, at("small.png"))
        realmedia.run("heif-enc", "-o", at("photo.heic"), at("small.png"))
        with open(at("notes.jpg"), "w") as f:
            f.write("not a picture at all\n")
        os.makedirs(at("folder.png"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.files, ignore_errors=True)

    def test_common_spellings_taken_and_refusals_say_why(self):
        def at(name):
            return os.path.join(self.files, name)
        cant = "cannot decode %s: Invalid data found when processing input"
        cases = [
            ("upper-case JPEG", "photo.JPG", None),
            ("JFIF", "photo.jfif", None),
            ("JPE", "photo.jpe", None),
            ("upper-case PNG", "photo.PNG", None),
            ("SVG of the GNOME wallpapers", realmedia.GNOME_SVG, None),
            ("M4V", "clip.m4v", None),
            ("MPEG program stream", "clip.mpg", None),
            ("upper-case MPEG", "clip.MPEG", None),
            ("MPEG transport stream", "clip.ts", None),
            ("directory", "folder.png", "not a regular file"),
            ("no extension", "wallpaper", unsupported("no extension")),
            ("unknown extension", "photo.xyz", unsupported(".xyz")),
            ("text named as a picture", "notes.jpg", cant % at("notes.jpg")),
        ]
        # Whatever this FFmpeg decodes works; what it cannot is refused at once.
        for name, file_name in (("HEIC", "photo.heic"), ("animated WebP", "moving.webp")):
            cases.append((name, file_name, None if ffmpeg_decodes(at(file_name)) else
                          cant % at(file_name)))
        good = at("small.png")
        self.start_daemon()
        self.assertEqual(self.set(good), {"status": "ok"})
        self.wait_source(good)
        for name, file_name, refusal in cases:
            with self.subTest(name):
                path = at(file_name)
                r = self.kiv("set", path)
                reply = json.loads(r.stdout)
                if refusal is None:
                    self.assertEqual((r.returncode, reply["status"]), (0, "ok"), r.stdout)
                    self.assertEqual(os.readlink(self.env.background_link), path)
                    self.wait_source(path)
                    # Back to the still, so that each refusal below has
                    # something to keep. Without a compositor the renderer
                    # a video started cannot run, and the reply may say so.
                    self.assertEqual(self.set(good)["status"], "ok")
                    self.wait_source(good)
                else:
                    self.assertEqual((r.returncode, reply),
                                     (1, {"status": "error", "message": refusal}))
                    self.assertEqual(os.readlink(self.env.background_link), good)
                    self.assertEqual(self.status()["source_path"], good)


@unittest.skipUnless(unshare_works(), "needs an unprivileged user namespace (unshare --user)")
class UnreadableTest(LinkTestCase):
    """Root reads every file, so the daemon runs as an unprivileged user of a
    private user namespace here; the test's files stay its own (mapped)."""

    def test_unreadable_file_is_refused(self):
        good = self.png("good.png")
        secret = self.png("secret.png")
        os.chmod(secret, 0)
        d = self.start(["unshare", "--user", "--map-user=1000", "--map-group=1000", KIVD],
                       "kivd")
        self.assert_ready(d, what="kivd ready")
        self.assertEqual(self.set(good), {"status": "ok"})
        reply = request(self.env.daemon_socket, '{"cmd":"set","path":"%s"}' % secret)
        self.assertEqual(json.loads(reply), {"status": "error",
                                             "message": "cannot read %s: Permission denied"
                                             % secret})
        self.assertEqual(os.readlink(self.env.background_link), good)


if __name__ == "__main__":
    unittest.main()
