"""Private headless compositors for renderer tests: sway and phoc.

Both run wlroots' headless backend with its pixman renderer (the test
machines have no GPU device) in a runtime directory of their own, start with
the outputs HEADLESS-1 ... HEADLESS-N (N = outputs, default 1) of 1920x1080
at scale 1 side by side, and offer the same interface:

    comp = Compositor(outputs=1, spare=0)  # $KIV_COMPOSITOR: sway (default) or phoc
    comp.start(); comp.stop()              # or: with Compositor() as comp:
    comp.client_env(env)                   # points a client's environment at it
    comp.screenshot("HEADLESS-1")          # grim: (width, height, pixel(x, y) -> rgb)
    comp.plug_output()                     # a monitor plugged in; returns its name
    comp.remove_output(name)               # a monitor unplugged (can_remove_outputs)
    comp.resolution(name, w, h)            # a mode change
    comp.scale(name, s)                    # an integer scale
    comp.log()                             # what the compositor wrote

sway 1.7 refuses to run as root, so it runs as an unprivileged uid inside a
user namespace; root clients can still connect to its sockets. It creates
outputs on request (plug_output makes HEADLESS-2, ...), but its headless
backend cannot take one away again.

phoc runs as root as it is and is driven with wlr-randr. It cannot create
outputs; it can switch one off, which removes its wl_output global, and on
again, which adds a new global for it. So there plug_output brings back what
remove_output took away, and the spare outputs (HEADLESS-N+1 ...), which are
switched off before start() returns; it fails when nothing is off. phoc
reports a switched-off output as enabled and wlr-randr applies every output
it knows of, so every wlr-randr change brings back all outputs that are off:
the harness switches the others off again at once, but a client sees them
come and go. Change modes before a client runs, or while nothing is off.

The screen tests of the renderer run once per presenter: CTest runs a
script registered with SHM a second time as NAME_shm with KIV_PRESENTER=shm
(NAME and NAME_phoc with KIV_PRESENTER=gl), and start_renderer checks that
the renderer draws with the presenter asked for.

Screen tests run on sway. A test method or class marked @every_compositor
runs on phoc too: CTest runs a script registered with PHOC a second time as
NAME_phoc with KIV_COMPOSITOR=phoc, where the unmarked tests are skipped.
@start_with_outputs(n, spare=k) gives a test a compositor with n outputs
and k spare ones for plug_output (sway needs none and makes them on demand).
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
import unittest

from kivtest import BUILD_DIR, KIV_RENDER, KivTestCase, request_json, wait_for

OUTPUT_SIZE = (1920, 1080)

SWAY_CONFIG = """swaybg_command -
xwayland disable
default_border none
"""


def output_names(count):
    return ["HEADLESS-%d" % (i + 1) for i in range(count)]


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


FAULT_SHIM = os.path.join(BUILD_DIR, "tests", "libkiv_fault_shim.so")


def with_fault_shim(env, **knobs):
    """A copy of env that preloads the fault shim (tests/preload/fault_shim.c)
    ahead of what env preloads already, with the shim's knobs set."""
    out = dict(env)
    out["LD_PRELOAD"] = (FAULT_SHIM + " " + env.get("LD_PRELOAD", "")).strip()
    options = out.get("ASAN_OPTIONS", "")
    if "verify_asan_link_order" not in options:
        # The shim is no sanitizer runtime; it may come first.
        out["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"
    out.update(knobs)
    return out


def compositor_kind():
    """The compositor this test run uses: $KIV_COMPOSITOR, else sway."""
    kind = os.environ.get("KIV_COMPOSITOR") or "sway"
    if kind not in COMPOSITORS:
        raise AssertionError("KIV_COMPOSITOR=%r is none of %s" % (kind, sorted(COMPOSITORS)))
    return kind


def Compositor(kind=None, outputs=1, spare=0):  # noqa: N802 - reads like a class
    """A compositor of kind (default: compositor_kind()) with that many
    outputs and spare ones for plug_output, not started yet."""
    return COMPOSITORS[kind or compositor_kind()](outputs, spare)


def every_compositor(test):
    """Marks a test method or class to run on every compositor, not only sway."""
    test.every_compositor = True
    return test


def start_with_outputs(count, spare=0):
    """Gives the marked test a compositor that starts with count outputs and
    spare ones for plug_output."""
    def mark(test):
        test.start_outputs = (count, spare)
        return test
    return mark


class HeadlessCompositor:
    """What sway and phoc have in common; see the module's description."""

    name = "compositor"
    can_remove_outputs = False

    def __init__(self, outputs=1, spare=0):
        self.runtime = tempfile.mkdtemp(prefix="kiv-%s-" % self.name)
        os.chmod(self.runtime, 0o700)
        self.log_path = os.path.join(self.runtime, self.name + ".log")
        self.output_count = outputs
        self.proc = None
        self.wayland_display = None
        self._log = None

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

    def _spawn(self, argv, extra_env=None):
        env = self._env()
        env.update(extra_env or {})
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(argv, env=env, stdout=self._log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, start_new_session=True)

    def _wait_started(self, ready, timeout):
        """Waits for ready() to hold and the Wayland socket to appear; on failure
        stops the compositor and fails with its log."""
        def check():
            if self.proc.poll() is not None:
                raise AssertionError("%s exited early" % self.name)
            return ready()
        try:
            wait_for(check, timeout, what="%s ready" % self.name)
        except AssertionError as e:
            log = self.log()
            self.stop()
            raise AssertionError("%s\n%s" % (e, log)) from None
        displays = [p for p in glob.glob(os.path.join(self.runtime, "wayland-*"))
                    if not p.endswith(".lock")]
        if not displays:
            self.stop()
            raise AssertionError("%s has no Wayland socket" % self.name)
        self.wayland_display = os.path.basename(displays[0])

    def wayland_socket(self):
        return os.path.join(self.runtime, self.wayland_display)

    def client_env(self, env=None):
        """Environment for a Wayland client of this compositor. env (a dict)
        is updated in place and returned; by default a copy of os.environ."""
        env = dict(os.environ) if env is None else env
        for name in ("DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env["WAYLAND_DISPLAY"] = self.wayland_socket()
        if _sanitized_build():
            _keep_gl_driver_loaded(env)
        return env

    def _tool_env(self):
        """Environment for grim and wlr-randr."""
        env = dict(os.environ)
        for name in ("DISPLAY", "SWAYSOCK"):
            env.pop(name, None)
        env["WAYLAND_DISPLAY"] = self.wayland_socket()
        env["XDG_RUNTIME_DIR"] = self.runtime
        return env

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def plug_output(self):
        raise NotImplementedError

    def remove_output(self, output):
        raise unittest.SkipTest("%s cannot remove an output" % self.name)

    def resolution(self, output, width, height):
        raise NotImplementedError

    def scale(self, output, scale):
        raise NotImplementedError

    def output_present(self, output):
        """The compositor offers output (grim can capture it)."""
        r = subprocess.run(["grim", "-o", output, "-t", "ppm", os.devnull],
                           env=self._tool_env(), capture_output=True, timeout=60)
        return r.returncode == 0

    def screenshot_to(self, path, output=None):
        """Captures with grim into a binary PPM file."""
        argv = ["grim", "-t", "ppm"]
        if output:
            argv += ["-o", output]
        argv.append(path)
        subprocess.run(argv, env=self._tool_env(), check=True, capture_output=True, timeout=60)

    def screenshot(self, output=None):
        """Captures with grim; returns (width, height, pixel) where pixel(x, y)
        gives the (r, g, b) tuple at that position."""
        path = os.path.join(self.runtime, "shot.ppm")
        self.screenshot_to(path, output)
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

    def _quit(self):
        os.killpg(self.proc.pid, signal.SIGTERM)

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self._quit()
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


class Sway(HeadlessCompositor):
    """Headless sway, driven through swaymsg."""

    name = "sway"

    def __init__(self, outputs=1, spare=0, extra_config=""):
        super().__init__(outputs)
        self.config_path = os.path.join(self.runtime, "sway.conf")
        with open(self.config_path, "w") as f:
            f.write(SWAY_CONFIG)
            for i, name in enumerate(output_names(outputs)):
                f.write("output %s resolution %dx%d position %d 0 scale 1\n"
                        % (name, OUTPUT_SIZE[0], OUTPUT_SIZE[1], i * OUTPUT_SIZE[0]))
            f.write(extra_config)
        self.ipc_socket = None

    def start(self, timeout=20.0):
        self._spawn(["unshare", "--user", "--map-user=1000", "--map-group=1000",
                     "sway", "-c", self.config_path],
                    {"WLR_HEADLESS_OUTPUTS": str(self.output_count)})

        def ipc_ready():
            socks = glob.glob(os.path.join(self.runtime, "sway-ipc.*.sock"))
            if not socks:
                return False
            r = subprocess.run(["swaymsg", "-s", socks[0], "-t", "get_version"],
                               capture_output=True, timeout=10)
            if r.returncode != 0:
                return False
            self.ipc_socket = socks[0]
            return True
        self._wait_started(ipc_ready, timeout)
        return self

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

    def plug_output(self):
        return self.create_output()

    def outputs(self):
        return json.loads(self.swaymsg("-t", "get_outputs", "-r"))

    def resolution(self, output, width, height):
        self.swaymsg("output", output, "resolution", "%dx%d" % (width, height))

    def scale(self, output, scale):
        self.swaymsg("output", output, "scale", str(scale))

    def _quit(self):
        if self.ipc_socket:
            subprocess.run(["swaymsg", "-s", self.ipc_socket, "exit"],
                           capture_output=True, timeout=10)
        else:
            super()._quit()


class Phoc(HeadlessCompositor):
    """Headless phoc, driven through wlr-randr."""

    name = "phoc"
    can_remove_outputs = True

    def __init__(self, outputs=1, spare=0):
        super().__init__(outputs)
        self.config_path = os.path.join(self.runtime, "phoc.ini")
        names = output_names(outputs + spare)
        with open(self.config_path, "w") as f:
            f.write("[core]\nxwayland=false\n")
            for i, name in enumerate(names):
                f.write("\n[output:%s]\nmode=%dx%d\nscale=1\nx=%d\ny=0\n"
                        % (name, OUTPUT_SIZE[0], OUTPUT_SIZE[1], i * OUTPUT_SIZE[0]))
        self.spare = names[outputs:]
        self.x = {name: i * OUTPUT_SIZE[0] for i, name in enumerate(names)}
        self.removed = []  # switched off, in the order plug_output brings them back

    def start(self, timeout=20.0):
        # Without a session command (-E) phoc runs until it is told to stop.
        self._spawn(["phoc", "-C", self.config_path],
                    {"WLR_HEADLESS_OUTPUTS": str(self.output_count + len(self.spare))})

        def ready():
            sockets = [p for p in glob.glob(os.path.join(self.runtime, "wayland-*"))
                       if not p.endswith(".lock")]
            if not sockets:
                return False
            self.wayland_display = os.path.basename(sockets[0])
            return self._wlr_randr(check=False).returncode == 0
        self._wait_started(ready, timeout)
        for name in self.spare:
            self.remove_output(name)
        return self

    def _wlr_randr(self, *args, check=True):
        r = subprocess.run(["wlr-randr"] + list(args), env=self._tool_env(),
                           capture_output=True, text=True, timeout=30)
        if check and r.returncode != 0:
            raise AssertionError("wlr-randr %s failed: %s%s" % (args, r.stdout, r.stderr))
        return r

    def _wait_present(self, outputs, present):
        for output in outputs:
            wait_for(lambda: self.output_present(output) == present, 10, 0.05,
                     "%s %s" % (output, "back" if present else "gone"))

    def _change(self, *args, plug=None):
        """A wlr-randr change; the outputs that were off stay off, but plug."""
        self._wlr_randr(*args)
        off, self.removed = self.removed, []
        self._wait_present(off, True)
        for output in off:
            if output != plug:
                self.remove_output(output)

    def plug_output(self):
        if not self.removed:
            raise AssertionError("phoc creates no outputs: give the test a spare one")
        first = self.removed[0]
        # Switched on again, phoc lays the output out at the origin, over the
        # others, and draws their surfaces into it: keep it beside them.
        self._change("--output", first, "--on", "--pos", "%d,0" % self.x[first], plug=first)
        return first

    def remove_output(self, output):
        # Reports "failed to apply configuration" although the output is
        # gone; what counts is that it is no longer offered.
        self._wlr_randr("--output", output, "--off", check=False)
        self._wait_present([output], False)
        self.removed.append(output)

    def resolution(self, output, width, height):
        self._change("--output", output, "--custom-mode", "%dx%d" % (width, height))

    def scale(self, output, scale):
        self._change("--output", output, "--scale", str(scale))


COMPOSITORS = {"sway": Sway, "phoc": Phoc}


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
    """Gives each test its own compositor (of compositor_kind()), which the
    test's environment points at; its log is printed when the test failed.
    On a compositor other than sway only tests marked @every_compositor run."""

    # How long and how often wait_status polls the test's status().
    status_timeout = 30
    status_interval = 0.1

    def setUp(self):
        kind = compositor_kind()
        marked = (getattr(getattr(self, self._testMethodName), "every_compositor", False)
                  or getattr(type(self), "every_compositor", False))
        if kind != "sway" and not marked:
            self.skipTest("runs on sway only")
        super().setUp()
        outputs, spare = getattr(getattr(self, self._testMethodName), "start_outputs", (1, 0))
        self.comp = Compositor(kind, outputs, spare)
        self.comp.start()
        self.addCleanup(self.comp.stop)
        self.comp.client_env(self.env.vars)

    def tearDown(self):
        super().tearDown()
        if self._outcome_failed():
            print("---- %s\n%s" % (self.comp.name, self.comp.log()))

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
        # CTest runs the screen tests once per presenter: make sure it is that one.
        wanted = self.env.vars.get("KIV_PRESENTER")
        if wanted in ("gl", "shm"):
            self.assertEqual(self.status().get("presenter"), wanted)
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
