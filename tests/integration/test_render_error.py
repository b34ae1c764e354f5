"""Why the renderer cannot start, where a user looks: kiv status and kiv set.
The compositor is cage, a real one that offers no wlr-layer-shell, so the
real kiv-render gives up with its own reason."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

from kivtest import KivTestCase, wait_for
import realmedia

REASON = "compositor lacks wl_compositor or wlr-layer-shell"


class Cage:
    """cage, headless, running a program that only waits. Like sway it
    refuses root, so it runs as an unprivileged uid in a user namespace."""

    def __init__(self):
        self.runtime = tempfile.mkdtemp(prefix="kiv-cage-")
        os.chmod(self.runtime, 0o700)
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env.update({"XDG_RUNTIME_DIR": self.runtime, "WLR_BACKENDS": "headless",
                    "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"})
        self.log = open(os.path.join(self.runtime, "cage.log"), "wb")
        self.proc = subprocess.Popen(
            ["unshare", "--user", "--map-user=1000", "--map-group=1000",
             "cage", "--", "sleep", "600"],
            env=env, stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True)
        self.display = wait_for(self._display, 20, 0.05, "cage's Wayland socket")

    def _display(self):
        if self.proc.poll() is not None:
            raise AssertionError("cage exited early")
        found = [p for p in glob.glob(os.path.join(self.runtime, "wayland-*"))
                 if not p.endswith(".lock")]
        return found[0] if found else None

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 15)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.runtime, ignore_errors=True)


class RenderErrorTest(KivTestCase):

    def test_reason_the_renderer_gave_reaches_status_and_set(self):
        cage = Cage()
        self.addCleanup(cage.stop)
        self.env.vars["WAYLAND_DISPLAY"] = cage.display
        self.env.vars["KIV_DRM_DPMS"] = "0"
        # Real videos: `kiv set` decodes a frame before it takes one. The
        # renderer never opens them; it stops before.
        videos = [os.path.join(self.env.root, name) for name in ("a.mp4", "b.mp4")]
        realmedia.ffmpeg("-loop", "1", "-i", realmedia.SWAY_PNG, "-vf", "scale=64:36",
                         "-frames:v", "2", "-c:v", "libx264", "-pix_fmt", "yuv420p", videos[0])
        shutil.copy(videos[0], videos[1])
        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        os.symlink(videos[0], link)

        d = self.start_daemon()
        s = self.wait_daemon_status("the renderer's reason", render_error=REASON)
        self.assertEqual((s["engine"], s["render_alive"], s["source_path"]),
                         ("none", False, videos[0]))
        self.assertIn("renderer start failed", d.log())
        # Passed on from the renderer's own standard error.
        self.assertIn("kiv-render", d.stderr())
        self.assertIn(REASON, d.stderr())

        r = self.kiv("set", videos[1])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, '{"status":"ok","render_error":"%s"}\n' % REASON)


if __name__ == "__main__":
    unittest.main()
