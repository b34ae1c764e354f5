"""A private headless sway compositor for renderer tests.

sway refuses to run as root, so it runs as an unprivileged uid inside a user
namespace; root clients can still connect to its sockets. Rendering uses
wlroots' pixman renderer because the test machines have no GPU device.
"""

import functools
import glob
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

from kivtest import BUILD_DIR, KIV_RENDER, KivTestCase, request_json, wait_for

CONFIG = """swaybg_command -
xwayland disable
output HEADLESS-1 resolution 1920x1080 position 0 0 scale 1
default_border none
"""


@functools.lru_cache(maxsize=None)
def _sanitized_build():
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
            return any(line.strip() == "KIV_SANITIZE:BOOL=ON" for line in f)
    except OSError:
        return False


def _keep_gl_driver_loaded(env):
    """eglTerminate unloads Mesa's driver, whose static data then stops being
    a root for LeakSanitizer: its once-per-process allocations would be
    reported as leaks with unreadable stacks. Preloading the driver keeps it
    mapped until exit."""
    drivers = glob.glob("/usr/lib/*/dri/swrast_dri.so")
    if not drivers:
        return
    preload = env.get("LD_PRELOAD", "")
    if drivers[0] not in preload.split():
        env["LD_PRELOAD"] = (preload + " " + drivers[0]).strip()
    options = env.get("ASAN_OPTIONS", "")
    if "verify_asan_link_order" not in options:
        env["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"


class Compositor:
    """Starts sway headless in its own runtime directory; use as a context
    manager or call start() and stop()."""

    def __init__(self, extra_config=""):
        self.runtime = tempfile.mkdtemp(prefix="kiv-sway-")
        os.chmod(self.runtime, 0o700)
        self.config_path = os.path.join(self.runtime, "sway.conf")
        with open(self.config_path, "w") as f:
            f.write(CONFIG + extra_config)
        self.log_path = os.path.join(self.runtime, "sway.log")
        self.proc = None
        self.ipc_socket = None
        self.wayland_display = None

    def _env(self):
        env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env.update({
            "XDG_RUNTIME_DIR": self.runtime,
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
        })
        return env

    def start(self, timeout=20.0):
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            ["unshare", "--user", "--map-user=1000", "--map-group=1000",
             "sway", "-c", self.config_path],
            env=self._env(), stdout=self._log, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, start_new_session=True)

        def ipc_ready():
            if self.proc.poll() is not None:
                raise AssertionError("sway exited early")
            socks = glob.glob(os.path.join(self.runtime, "sway-ipc.*.sock"))
            if not socks:
                return None
            r = subprocess.run(["swaymsg", "-s", socks[0], "-t", "get_version"],
                               capture_output=True, timeout=10)
            return socks[0] if r.returncode == 0 else None

        try:
            self.ipc_socket = wait_for(ipc_ready, timeout, what="sway IPC socket")
        except AssertionError as e:
            log = self.log()
            self.stop()
            raise AssertionError("%s\n%s" % (e, log)) from None
        displays = [p for p in glob.glob(os.path.join(self.runtime, "wayland-*"))
                    if not p.endswith(".lock")]
        if not displays:
            self.stop()
            raise AssertionError("sway has no Wayland socket")
        self.wayland_display = os.path.basename(displays[0])
        return self

    def client_env(self, env=None):
        """Environment for a Wayland client of this compositor. env (a dict)
        is updated in place and returned; by default a copy of os.environ."""
        env = dict(os.environ) if env is None else env
        for name in ("DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env["WAYLAND_DISPLAY"] = os.path.join(self.runtime, self.wayland_display)
        if _sanitized_build():
            _keep_gl_driver_loaded(env)
        return env

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def swaymsg(self, *args, check=True):
        """Runs swaymsg against this compositor; returns its standard output."""
        r = subprocess.run(["swaymsg", "-s", self.ipc_socket] + list(args),
                           capture_output=True, text=True, timeout=30)
        if check and r.returncode != 0:
            raise AssertionError("swaymsg %s failed: %s%s" % (args, r.stdout, r.stderr))
        return r.stdout

    def create_output(self):
        """Adds a headless output; returns its name (HEADLESS-2, ...)."""
        before = {o["name"] for o in self.outputs()}
        self.swaymsg("create_output")
        new = wait_for(lambda: {o["name"] for o in self.outputs()} - before, 10,
                       what="new output")
        return sorted(new)[0]

    def outputs(self):
        return json.loads(self.swaymsg("-t", "get_outputs", "-r"))

    def resolution(self, output, width, height):
        self.swaymsg("output", output, "resolution", "%dx%d" % (width, height))

    def scale(self, output, scale):
        self.swaymsg("output", output, "scale", str(scale))

    def screenshot(self, output=None):
        """Captures with grim; returns (width, height, pixel) where pixel(x, y)
        gives the (r, g, b) tuple at that position."""
        path = os.path.join(self.runtime, "shot.ppm")
        argv = ["grim", "-t", "ppm"]
        if output:
            argv += ["-o", output]
        argv.append(path)
        env = dict(os.environ)
        for name in ("DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env["WAYLAND_DISPLAY"] = os.path.join(self.runtime, self.wayland_display)
        env["XDG_RUNTIME_DIR"] = self.runtime
        subprocess.run(argv, env=env, check=True, capture_output=True, timeout=60)
        with open(path, "rb") as f:
            data = f.read()
        os.unlink(path)
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos) + 1
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        pos += 1  # the single whitespace byte before the raster
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise AssertionError("unexpected screenshot format %r" % fields)
        width, height = int(fields[1]), int(fields[2])
        raster = data[pos:pos + width * height * 3]

        def pixel(x, y):
            i = (y * width + x) * 3
            return raster[i], raster[i + 1], raster[i + 2]

        return width, height, pixel

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                if self.ipc_socket:
                    subprocess.run(["swaymsg", "-s", self.ipc_socket, "exit"],
                                   capture_output=True, timeout=10)
                else:
                    os.killpg(self.proc.pid, signal.SIGTERM)
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                    self.proc.wait()
            self.proc = None
            self._log.close()
        shutil.rmtree(self.runtime, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# -- media and screenshots ----------------------------------------------------

def ffmpeg(*args, timeout=120):
    """Runs ffmpeg quietly, overwriting its output; fails on any error."""
    subprocess.run(["ffmpeg", "-v", "error", "-y"] + list(args), check=True,
                   stdin=subprocess.DEVNULL, timeout=timeout)


def grid(shot, step=24):
    """A coarse grid of pixels covering the whole screenshot."""
    width, height, pixel = shot
    return [pixel(x, y) for y in range(step // 2, height, step)
            for x in range(step // 2, width, step)]


def near(pixel, colour, tolerance=24):
    """Each channel of pixel is within tolerance of colour's."""
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def filled_with(shot, colour, tolerance=12):
    """Every sampled pixel is near colour."""
    return all(near(p, colour, tolerance) for p in grid(shot))


def colourful(shot):
    """The picture shows the test pattern, not black or a single colour."""
    distinct = set(grid(shot))
    return len(distinct) > 20 and any(max(p) > 64 for p in distinct)


def wait_moving(comp, output="HEADLESS-1"):
    """Waits until two screenshots in a row differ and the video pattern is
    drawn."""
    def moved():
        first = comp.screenshot(output)
        time.sleep(0.3)
        second = comp.screenshot(output)
        return colourful(second) and grid(first) != grid(second)
    wait_for(moved, 60, 0.2, "the video moving on screen")


# -- test cases ------------------------------------------------------------------

class CompositorTestCase(KivTestCase):
    """Gives each test its own compositor, which the test's environment
    points at; its log is printed when the test failed."""

    # How long and how often wait_status polls the test's status().
    status_timeout = 30
    status_interval = 0.1

    def setUp(self):
        super().setUp()
        self.comp = Compositor()
        self.comp.start()
        self.addCleanup(self.comp.stop)
        self.comp.client_env(self.env.vars)

    def tearDown(self):
        super().tearDown()
        if self._outcome_failed():
            print("---- sway\n" + self.comp.log())

    def wait_status(self, predicate, what, timeout=None):
        """Polls self.status() until predicate holds for it; returns that status."""
        def check():
            s = self.status()
            return s if predicate(s) else None
        return wait_for(check, timeout or self.status_timeout, self.status_interval, what)


class RendererTestCase(CompositorTestCase):
    """Runs kiv-render on its own socket in the test's compositor."""

    ready_timeout = 30

    def setUp(self):
        super().setUp()
        self.sock = os.path.join(self.env.runtime, "render.sock")

    def start_renderer(self, *extra, name="kiv-render"):
        r = self.start([KIV_RENDER, "--socket", self.sock] + list(extra), name)
        self.assert_ready(r, self.ready_timeout, "renderer ready")
        self.renderer = r
        return r

    def cmd(self, obj, timeout=30):
        reply = request_json(self.sock, obj, timeout=timeout)
        self.assertIsNotNone(reply, "no reply to %r" % obj)
        return reply

    def status(self):
        s = self.cmd({"cmd": "status"})
        self.assertEqual(s.get("status"), "ok", s)
        return s

    def main_thread_wakeups(self, seconds):
        """How often the renderer's main thread woke from sleep over the next
        seconds (its voluntary context switches), asking it nothing meanwhile."""
        def switches():
            with open("/proc/%d/status" % self.renderer.pid) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        return int(line.split()[1])
            raise AssertionError("no context switch count for the renderer")
        before = switches()
        time.sleep(seconds)
        return switches() - before
