"""kiv-render's core on headless compositors: start-up and arguments,
outputs and their sizes, the black clear, output skipping, demand-driven
drawing and shutdown. Screens are checked through grim screenshots."""

import ctypes
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from compositor import (RendererTestCase, every_compositor, ffmpeg, near, start_with_outputs,
                        with_fault_shim)
from kivtest import KIV_RENDER, KivTestCase, pid_gone, request_json, wait_for

PR_SET_CHILD_SUBREAPER = 36

BLACK = (0, 0, 0)
# Spots spread over the screen, as fractions of its size.
SPOTS = [(0.02, 0.02), (0.5, 0.5), (0.98, 0.98), (0.1, 0.9), (0.9, 0.1)]


def all_black(shot):
    width, height, pixel = shot
    return all(pixel(int(fx * (width - 1)), int(fy * (height - 1))) == BLACK
               for fx, fy in SPOTS)


class RenderArgumentsTest(KivTestCase):
    """Cases that need no compositor."""

    def run_render(self, *args, extra_env=None):
        env = dict(self.env.vars)
        env.update(extra_env or {})
        return subprocess.run([KIV_RENDER] + list(args), env=env, capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)

    def test_usage(self):
        usage = ("Usage: %s [options]\n"
                 "  --socket PATH   IPC socket path (default: $XDG_RUNTIME_DIR/kiv/render.sock)\n"
                 "  --verbose       Enable debug logging\n"
                 "  --help          Show this help\n") % KIV_RENDER
        cases = [
            ("help", ["-h"], 0),
            ("long help", ["--help"], 0),
            ("socket without a path", ["--socket"], 1),
            ("unknown argument", ["--bogus"], 1),
        ]
        for name, args, status in cases:
            with self.subTest(name):
                r = self.run_render(*args)
                self.assertEqual(r.returncode, status)
                self.assertEqual(r.stderr, usage)

    def test_socket_path_that_cannot_be_formed(self):
        env = dict(self.env.vars)
        env["XDG_RUNTIME_DIR"] = "/" + "r" * 5000
        r = subprocess.run([KIV_RENDER, "-h"], env=env, capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "kiv-render: cannot resolve socket path\n")

    def test_no_compositor(self):
        r = self.run_render("--socket", os.path.join(self.env.runtime, "render.sock"),
                            extra_env={"WAYLAND_DISPLAY": os.path.join(self.env.root, "none")})
        self.assertEqual(r.returncode, 1)
        self.assertIn("wl_display_connect failed", r.stderr)
        self.assertIn("wayland init failed", r.stderr)


class RenderCoreTest(RendererTestCase):
    ready_timeout = 60
    status_interval = 0.05

    def wait_swaps_settle(self):
        """Waits until the swap counter stops moving for a while; returns it."""
        last = [None, time.monotonic()]

        def settled():
            swaps = self.status()["swaps"]
            now = time.monotonic()
            if swaps != last[0]:
                last[0], last[1] = swaps, now
                return None
            return swaps if now - last[1] >= 1.5 else None

        return wait_for(settled, 60, interval=0.25, what="swaps to settle")

    @every_compositor
    def test_startup_clears_to_black_and_then_idles(self):
        r = self.start_renderer("--verbose")
        self.assertIn("wayland ready, outputs=1", r.log())
        kind = {"gl": "egl", "shm": "shm"}[self.status()["presenter"]]
        self.assertIn("%s surface attached for output HEADLESS-1 (1920x1080@1)" % kind, r.log())
        self.assertEqual(self.cmd({"cmd": "hello"}), {"status": "ok", "version": 1})
        s = self.wait_status(lambda s: s["swaps"] >= 1, "first frame")
        self.assertEqual((s["outputs"], s["max_width"], s["max_height"]), (1, 1920, 1080))
        self.assertEqual((s["kind"], s["path"], s["skipped"]), ("", "", ""))
        self.assertEqual(s["swap_failures"], 0)
        # Without the renderer the headless output shows sway's grey.
        wait_for(lambda: all_black(self.comp.screenshot("HEADLESS-1")), 30, what="black screen")

        # Idle: nothing is dirty and nothing is owed, so the renderer sleeps
        # until asked and presents nothing more.
        settled = self.wait_swaps_settle()
        self.assertLessEqual(self.main_thread_wakeups(3), 1)
        self.assertEqual(self.status()["swaps"], settled)

    @every_compositor
    @start_with_outputs(1, spare=1)
    def test_output_added_at_run_time_is_drawn(self):
        # Resized first: on phoc a mode change would bring the spare output in.
        self.comp.resolution("HEADLESS-1", 1280, 720)
        r = self.start_renderer("--verbose")
        before = self.wait_status(lambda s: s["swaps"] >= 1 and s["max_width"] == 1280,
                                  "first frame at 1280x720")
        name = self.comp.plug_output()
        width, height, _ = self.comp.screenshot(name)
        self.assertGreater(width, 1280)
        # Drawn after its first configure; the largest size is now the new output's.
        r.wait_log("layer configure %s %dx%d" % (name, width, height), 30)
        s = self.wait_status(lambda s: s["outputs"] == 2 and s["swaps"] >= before["swaps"] + 1
                             and (s["max_width"], s["max_height"]) == (width, height),
                             "second output drawn")
        self.assertEqual(s["swap_failures"], 0)
        wait_for(lambda: all_black(self.comp.screenshot(name)), 30, what="new output black")
        wait_for(lambda: all_black(self.comp.screenshot("HEADLESS-1")), 30,
                 what="first output black")
        self.assertTrue(r.alive())

    def test_integer_scale_doubles_buffer(self):
        r = self.start_renderer("--verbose")
        r.wait_log("layer configure HEADLESS-1 1920x1080 buffer 1920x1080", 30)
        before = self.wait_status(lambda s: s["swaps"] >= 1, "first frame")["swaps"]
        self.comp.scale("HEADLESS-1", 2)
        r.wait_log("output HEADLESS-1 scale 2", 30)
        # sway halves the logical size; the buffer is twice that.
        r.wait_log("layer configure HEADLESS-1 960x540 buffer 1920x1080", 30)
        s = self.wait_status(lambda s: s["swaps"] > before, "redraw at scale 2")
        self.assertEqual((s["max_width"], s["max_height"]), (1920, 1080))
        self.comp.resolution("HEADLESS-1", 1280, 720)
        r.wait_log("layer configure HEADLESS-1 640x360 buffer 1280x720", 30)
        s = self.wait_status(lambda s: (s["max_width"], s["max_height"]) == (1280, 720),
                             "scale 2 at 1280x720")
        width, height, _ = self.comp.screenshot("HEADLESS-1")
        self.assertEqual((width, height), (1280, 720))
        wait_for(lambda: all_black(self.comp.screenshot("HEADLESS-1")), 30, what="black at 2x")
        self.assertEqual(s["swap_failures"], 0)

    def test_skip_stops_drawing_until_unskipped(self):
        self.start_renderer()
        self.wait_status(lambda s: s["swaps"] >= 1, "first frame")
        self.assertEqual(self.cmd({"cmd": "skip", "outputs": ["HEADLESS-1"]}), {"status": "ok"})
        s = self.status()
        self.assertEqual(s["skipped"], "HEADLESS-1")
        skipped_at = self.wait_swaps_settle()
        # A configure marks the output dirty, but a skipped output is not drawn.
        self.comp.resolution("HEADLESS-1", 1600, 900)
        self.wait_status(lambda s: s["max_width"] == 1600, "configure while skipped")
        time.sleep(2.5)
        self.assertEqual(self.status()["swaps"], skipped_at)
        # An empty skip list draws it again.
        self.assertEqual(self.cmd({"cmd": "skip", "outputs": []}), {"status": "ok"})
        s = self.wait_status(lambda s: s["swaps"] > skipped_at, "redraw after unskip")
        self.assertEqual(s["skipped"], "")

    def test_second_renderer_on_the_same_socket_fails(self):
        first = self.start_renderer()
        second = self.start([KIV_RENDER, "--socket", self.sock], "second")
        self.assertEqual(second.wait(60), 1)
        self.assertIn("ipc init failed", second.stderr())
        self.assertTrue(first.alive())
        self.assertEqual(self.cmd({"cmd": "hello"}), {"status": "ok", "version": 1})

    def test_default_socket(self):
        r = self.start([KIV_RENDER], "default")
        sock = self.env.render_socket
        r.wait_log("ready, socket=%s" % sock, 60)
        self.assertEqual(request_json(sock, {"cmd": "hello"}, timeout=30),
                         {"status": "ok", "version": 1})

    def test_socket_path_too_long_for_the_server(self):
        sock = os.path.join(self.env.root, "d" * (104 - len(self.env.root) - 1 - 5), "r.sock")
        self.assertGreaterEqual(len(sock), 104)
        r = self.start([KIV_RENDER, "--socket", sock], "long")
        self.assertEqual(r.wait(60), 1)
        self.assertIn("ipc init failed", r.stderr())

    def test_sigterm_shuts_down_cleanly(self):
        # Something drawn from a texture first, so that teardown frees GL
        # objects and a sanitizer build checks them at exit.
        image = os.path.join(self.env.root, "blue.png")
        ffmpeg("-f", "lavfi", "-i", "color=c=blue:s=64x36", "-frames:v", "1", image)
        # The protocol trace shows what the compositor is told at teardown.
        self.env.vars["WAYLAND_DEBUG"] = "client"
        r = self.start_renderer()
        self.wait_status(lambda s: s["swaps"] >= 1, "first frame")
        self.assertEqual(self.cmd({"cmd": "load", "kind": "still", "path": image}),
                         {"status": "ok"})
        wait_for(lambda: self.comp.screenshot("HEADLESS-1")[2](960, 540)[2] > 200, 30,
                 what="blue still")
        r.signal(signal.SIGTERM)
        self.assertEqual(r.wait(30), 0)
        self.assertIn("shutdown", r.stdout())
        self.assertNotIn("ERROR", r.log())
        # The output is released, not only forgotten on the client side.
        self.assertRegex(r.stderr(), r"-> wl_output@\d+\.release\(\)")
        self.assertFalse(os.path.exists(self.sock) and request_ok(self.sock))

    def test_presenter_chosen_at_start(self):
        # libglvnd finds no EGL driver here, so EGL cannot be initialised.
        no_egl = {"__EGL_VENDOR_LIBRARY_FILENAMES": os.path.join(self.env.root, "none.json")}
        cases = [
            # KIV_PRESENTER, more environment, presenter, its reason in the log
            (None, {}, "shm", r"presenter shm: OpenGL renderer llvmpipe.* is a software rasteriser"),
            ("auto", no_egl, "shm", r"presenter shm: EGL cannot be initialised"),
            ("gl", {}, "gl", r"presenter gl: KIV_PRESENTER=gl"),
            ("shm", {}, "shm", r"presenter shm: KIV_PRESENTER=shm"),
            ("vulkan", {}, "shm", r"KIV_PRESENTER=vulkan is none of gl, shm, auto"),
        ]
        for value, extra, presenter, reason in cases:
            with self.subTest(presenter=value, **extra):
                self.env.vars.pop("KIV_PRESENTER", None)
                self.env.vars.pop("__EGL_VENDOR_LIBRARY_FILENAMES", None)
                if value is not None:
                    self.env.vars["KIV_PRESENTER"] = value
                self.env.vars.update(extra)
                r = self.start_renderer()
                s = self.wait_status(lambda s: s["swaps"] >= 1, "first frame")
                self.assertEqual(s["presenter"], presenter)
                self.assertRegex(r.log(), reason)
                self.assertEqual(len(re.findall(r"presenter (gl|shm): ", r.log())), 1)
                wait_for(lambda: all_black(self.comp.screenshot("HEADLESS-1")), 30,
                         what="black screen")
                r.stop()
                self.procs.remove(r)
        # Asked for GL where there is none, the renderer does not start.
        self.env.vars.update(no_egl, KIV_PRESENTER="gl")
        r = self.start([KIV_RENDER, "--socket", self.sock], "no-gl")
        self.assertEqual(r.wait(30), 1)
        self.assertIn("egl init failed", r.stderr())

    def test_compositor_loss_ends_the_renderer(self):
        r = self.start_renderer()
        self.wait_status(lambda s: s["swaps"] >= 1, "first frame")
        self.comp.stop()
        self.assertEqual(r.wait(30), 0)
        self.assertIn("wayland dispatch failed", r.stderr())
        self.assertIn("shutdown", r.stdout())

    def test_parent_gone_before_the_parent_death_request_ends_the_renderer(self):
        # A go-between starts the renderer and ends while the renderer's
        # parent-death request is held back, as a daemon dying at start-up
        # would. The test becomes the orphan's parent, so it can collect it.
        libc = ctypes.CDLL(None, use_errno=True)
        self.assertEqual(libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0)
        self.addCleanup(libc.prctl, PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)
        env = with_fault_shim(self.env.vars, KIV_SHIM_PRCTL_DELAY_MS="2000")
        err = os.path.join(self.env.root, "orphan.err")
        between = subprocess.run([sys.executable, "-c", GO_BETWEEN, KIV_RENDER, self.sock, err],
                                 env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(between.returncode, 0, between.stderr)
        pid = int(between.stdout)

        def ended():
            done, status = os.waitpid(pid, os.WNOHANG)
            return os.waitstatus_to_exitcode(status) if done else None
        try:
            code = wait_for(ended, 30, 0.1, "the orphaned renderer ends")
        finally:
            if not pid_gone(pid):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        with open(err) as f:
            log = f.read()
        self.assertEqual(code, 1, log)
        self.assertIn("parent ended before start-up", log)
        self.assertFalse(os.path.exists(self.sock))

    @every_compositor
    def test_failed_swap_of_a_still_is_retried_while_nothing_else_happens(self):
        if self.env.vars.get("KIV_PRESENTER") == "shm":
            self.skipTest("shared-memory buffers are committed, never swapped")
        red = os.path.join(self.env.root, "red.png")
        green = os.path.join(self.env.root, "green.png")
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=64x36", "-frames:v", "1", red)
        ffmpeg("-f", "lavfi", "-i", "color=c=0x00ff00:s=64x36", "-frames:v", "1", green)
        failing = os.path.join(self.env.root, "swaps-fail")
        self.env.vars.update(with_fault_shim(self.env.vars, KIV_SHIM_SWAP_FAIL_FILE=failing))
        self.start_renderer()
        self.assertEqual(self.cmd({"cmd": "fade", "ms": 0}), {"status": "ok"})
        self.assertEqual(self.cmd({"cmd": "load", "path": red, "kind": "still"}),
                         {"status": "ok"})
        centre = lambda colour: near(self.comp.screenshot("HEADLESS-1")[2](960, 540), colour)  # noqa: E731
        wait_for(lambda: centre((255, 0, 0)), 30, 0.2, "the red still")
        # Every swap fails for a while after the green still is loaded; then
        # nobody asks the renderer anything, so only its own retry can show it.
        with open(failing, "w"):
            pass
        self.assertEqual(self.cmd({"cmd": "load", "path": green, "kind": "still"}),
                         {"status": "ok"})
        time.sleep(2.5)
        os.unlink(failing)
        wait_for(lambda: centre((0, 255, 0)), 10, 0.2, "the green still after the failed swaps")
        s = self.status()
        self.assertGreaterEqual(s["swap_failures"], 2, s)
        self.assertIn("eglSwapBuffers failed for HEADLESS-1", self.renderer.log())


# Starts the renderer (argv: program, socket, stderr file), waits until it
# holds back its parent-death request, prints its pid and ends.
GO_BETWEEN = """
import subprocess, sys, time
program, sock, err = sys.argv[1:]
with open(err, "wb") as f:
    p = subprocess.Popen([program, "--socket", sock], stdout=f, stderr=f,
                         stdin=subprocess.DEVNULL)
deadline = time.monotonic() + 30
while b"parent-death request delayed" not in open(err, "rb").read():
    if p.poll() is not None or time.monotonic() > deadline:
        sys.exit("renderer never reached its parent-death request")
    time.sleep(0.02)
print(p.pid)
"""


def request_ok(path):
    try:
        return request_json(path, {"cmd": "hello"}, timeout=2) is not None
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
