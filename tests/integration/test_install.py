"""Installing the build with cmake --install into a temporary prefix: the
programs, the example configuration, the user unit, the manual pages and the
shell completions land under the prefix, and the installed kivd runs the
installed kiv-render on a headless compositor, with the build tree out of PATH."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from compositor import Compositor, ffmpeg, wait_moving
from kivtest import BUILD_DIR, KivTestCase, wait_for
from test_system import SHELL

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def install(prefix, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    r = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], env=env,
                       capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)


def files_under(root):
    return sorted(os.path.join(d, n) for d, _, names in os.walk(root) for n in names)


def inside(path, directory):
    return os.path.commonpath([os.path.realpath(path), os.path.realpath(directory)]) == \
        os.path.realpath(directory)


class InstallTest(KivTestCase):

    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="kiv-prefix-")
        cls.stage = tempfile.mkdtemp(prefix="kiv-stage-")
        # A staged run first shows where every file would go, so that a rule
        # with a fixed absolute destination cannot write into the system.
        install(cls.prefix, destdir=cls.stage)
        staged_prefix = cls.stage + cls.prefix
        cls.stray = [p[len(cls.stage):] for p in files_under(cls.stage)
                     if not inside(p, staged_prefix)]
        if cls.stray:
            cls.bindir = os.path.join(staged_prefix, "bin")
        else:
            install(cls.prefix)
            cls.bindir = os.path.join(cls.prefix, "bin")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)
        shutil.rmtree(cls.stage, ignore_errors=True)

    def test_files_land_under_the_prefix(self):
        self.assertEqual(self.stray, [], "installed outside the prefix %s" % self.prefix)
        for name in ("kivd", "kiv-render", "kiv", "kiv-feed-client"):
            path = os.path.join(self.prefix, "bin", name)
            self.assertTrue(os.path.isfile(path) and os.access(path, os.X_OK), path)
        shipped = ["share/doc/kiv/examples/config.toml",
                   "share/bash-completion/completions/kiv",
                   "share/zsh/site-functions/_kiv",
                   "share/fish/vendor_completions.d/kiv.fish"]
        pages = ["share/man/man1/kiv.1", "share/man/man1/kivd.1", "share/man/man1/kiv-render.1",
                 "share/man/man1/kiv-feed-client.1", "share/man/man5/kiv-config.5"]
        if shutil.which("scdoc"):
            shipped += pages
        for name in shipped:
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, name)), name)
        for name in pages if shutil.which("scdoc") else []:
            with open(os.path.join(self.prefix, name)) as f:
                self.assertIn(".SH NAME", f.read(), name)

        with open(os.path.join(self.prefix, "lib", "systemd", "user", "kivd.service")) as f:
            unit = dict(line.split("=", 1) for line in f.read().splitlines()
                        if re.match(r"Exec(Start|Stop)=", line))
        self.assertEqual(unit["ExecStart"].split()[0], os.path.join(self.prefix, "bin", "kivd"))
        self.assertEqual(unit["ExecStop"].split()[0], os.path.join(self.prefix, "bin", "kiv"))

    def test_installed_daemon_runs_the_installed_renderer(self):
        comp = Compositor()
        comp.start()
        self.addCleanup(comp.stop)
        media = tempfile.mkdtemp(prefix="kiv-install-media-")
        self.addCleanup(shutil.rmtree, media, True)
        video = os.path.join(media, "motion.mp4")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "6",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", video,
               timeout=180)

        shell_dir = os.path.join(self.env.root, "shellbin")
        os.makedirs(shell_dir)
        shell = os.path.join(shell_dir, "tarvine-shell")
        with open(shell, "w") as f:
            f.write(SHELL % os.path.join(self.env.root, "shell.log"))
        os.chmod(shell, 0o755)
        path = [p for p in self.env.vars.get("PATH", "/usr/bin:/bin").split(":")
                if p and not inside(p, BUILD_DIR) and not inside(p, SOURCE_DIR)]
        self.env.vars["PATH"] = ":".join([shell_dir] + path)
        self.env.vars["KIV_DRM_DPMS"] = "0"
        self.env.vars.pop("TARVINE_PATH", None)
        comp.client_env(self.env.vars)

        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        os.symlink(video, link)
        d = self.start([os.path.join(self.bindir, "kivd")], "kivd")
        spawned = wait_for(lambda: re.search(r"kiv-render spawned pid=(\d+)", d.log())
                           or not d.alive(), 30, what="renderer spawned")
        self.assertTrue(d.alive(), "the installed kivd exited")
        pid = int(spawned.group(1))
        self.assertEqual(os.readlink("/proc/%d/exe" % pid),
                         os.path.realpath(os.path.join(self.bindir, "kiv-render")))

        kiv = os.path.join(self.bindir, "kiv")

        def confirmed():
            r = subprocess.run([kiv, "status"], env=self.env.vars, capture_output=True,
                               text=True, timeout=30, stdin=subprocess.DEVNULL)
            s = json.loads(r.stdout) if r.returncode == 0 else {}
            return s.get("media_ready") and s.get("loaded_path") == video
        wait_for(confirmed, 60, 0.2, "the video confirmed")
        wait_moving(comp)


if __name__ == "__main__":
    unittest.main()
