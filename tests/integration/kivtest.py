"""Shared harness for process-level tests: private XDG directories, the built
programs, and one-line JSON requests over their real sockets."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BUILD_DIR = os.environ.get("KIV_BUILD_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", "build"))
KIVD = os.path.join(BUILD_DIR, "daemon", "kivd")
KIV_RENDER = os.path.join(BUILD_DIR, "render", "kiv-render")
KIV = os.path.join(BUILD_DIR, "cli", "kiv")
KIV_FEED_CLIENT = os.path.join(BUILD_DIR, "feedclient", "kiv-feed-client")


def cpu_seconds(pid):
    """CPU time pid has used, user and system."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(interval)


def file_lines(path):
    """The lines of a stand-in's log; none while it has written nothing."""
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def pid_gone(pid):
    """The process no longer exists or is a zombie waiting to be collected
    (which still answers kill(pid, 0))."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[-1].split()[0] == "Z"
    except OSError:
        return True


def connect_retrying(s, path, timeout):
    """A socket with a time-out connects without blocking, so a listen queue
    that is momentarily full fails with EAGAIN where a blocking client would
    wait: wait like it, up to the time-out."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            s.connect(path)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.01)


def request(path, line, timeout=5.0):
    """Sends one line, returns the reply line (without its line feed) or None
    when the server closed the connection without a reply."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        connect_retrying(s, path, timeout)
        data = line if isinstance(line, bytes) else line.encode()
        s.sendall(data + b"\n")
        buf = b""
        while b"\n" not in buf:
            chunk = s.recv(65536)
            if not chunk:
                return None
            buf += chunk
        return buf.split(b"\n", 1)[0].decode()


def request_json(path, obj, timeout=5.0):
    reply = request(path, json.dumps(obj), timeout)
    return None if reply is None else json.loads(reply)


class Env:
    """A private set of XDG directories under one temporary root."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kiv-test-")
        self.runtime = os.path.join(self.root, "run")
        self.config = os.path.join(self.root, "config")
        self.cache = os.path.join(self.root, "cache")
        self.state = os.path.join(self.root, "state")
        self.home = os.path.join(self.root, "home")
        for d in (self.runtime, self.config, self.cache, self.state, self.home):
            os.makedirs(d, mode=0o700)
        self.vars = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK", "HYPRLAND_INSTANCE_SIGNATURE",
                     "XDG_SESSION_ID"):
            self.vars.pop(name, None)
        self.vars.update({
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CONFIG_HOME": self.config,
            "XDG_CACHE_HOME": self.cache,
            "XDG_STATE_HOME": self.state,
            "HOME": self.home,
            # Keep the test machine's real buses out of the picture.
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self.root, "no-bus"),
        })

    @property
    def daemon_socket(self):
        return os.path.join(self.runtime, "kiv", "kivd.sock")

    @property
    def render_socket(self):
        return os.path.join(self.runtime, "kiv", "render.sock")

    @property
    def background_link(self):
        return os.path.join(self.state, "tarvine", "current", "background")

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Proc:
    """A started program whose output is collected into files."""

    def __init__(self, argv, env, name="proc", cwd=None):
        self.argv = argv
        self.out_path = os.path.join(env.root, name + ".out")
        self.err_path = os.path.join(env.root, name + ".err")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.p = subprocess.Popen(argv, env=env.vars, stdout=self._out, stderr=self._err,
                                  stdin=subprocess.DEVNULL, cwd=cwd)

    @property
    def pid(self):
        return self.p.pid

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def log(self):
        return self.stdout() + self.stderr()

    def wait_log(self, text, timeout=10.0):
        return wait_for(lambda: text in self.log(), timeout, what=repr(text))

    def wait_ready(self, timeout=10.0, what="ready", socket_path=None):
        """Waits until the program logged its "ready, socket=" line (and
        socket_path, when given, exists) or exited; returns whether it still
        runs."""
        wait_for(lambda: (socket_path is None or os.path.exists(socket_path))
                 and "ready, socket=" in self.log() or not self.alive(), timeout, what=what)
        return self.alive()

    def alive(self):
        return self.p.poll() is None

    def wait(self, timeout=10.0):
        try:
            return self.p.wait(timeout)
        finally:
            self._out.close()
            self._err.close()

    def signal(self, sig):
        if self.alive():
            self.p.send_signal(sig)

    def stop(self, timeout=10.0):
        if self.alive():
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(timeout)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self._out.close()
        self._err.close()
        return self.p.returncode


class KivTestCase(unittest.TestCase):
    """Gives each test a private Env and stops what it started."""

    def setUp(self):
        self.env = Env()
        self.procs = []

    def tearDown(self):
        for p in reversed(self.procs):
            p.stop()
        if self._outcome_failed():
            for p in self.procs:
                print("---- %s\n%s" % (" ".join(p.argv), p.log()))
        self.env.cleanup()

    def _outcome_failed(self):
        outcome = getattr(self, "_outcome", None)
        result = getattr(outcome, "result", None)
        if result is None:
            return False
        return any(t is self for t, _ in result.failures + result.errors)

    def start(self, argv, name="proc"):
        p = Proc(argv, self.env, name)
        self.procs.append(p)
        return p

    def start_daemon(self, *args, wait=True):
        d = self.start([KIVD] + list(args), "kivd")
        if wait:
            sock = self.env.daemon_socket
            if "--socket" in args:
                sock = args[list(args).index("--socket") + 1]
            self.assert_ready(d, what="kivd ready", socket_path=sock)
        return d

    def assert_ready(self, proc, timeout=10.0, what="ready", socket_path=None):
        """Proc.wait_ready, failing with the program's output if it exited."""
        self.assertTrue(proc.wait_ready(timeout, what, socket_path), proc.log())
        return proc

    def daemon_status(self):
        """The daemon's status report, checked to be an ok reply."""
        reply = request_json(self.env.daemon_socket, {"cmd": "status"})
        self.assertIsNotNone(reply)
        self.assertEqual(reply["status"], "ok", reply)
        return reply

    def wait_daemon_status(self, what, timeout=20, **expected):
        """Waits until every given status member has the expected value."""
        def check():
            s = self.daemon_status()
            return s if all(s.get(k) == v for k, v in expected.items()) else None
        try:
            return wait_for(check, timeout=timeout, interval=0.1, what=what)
        except AssertionError:
            raise AssertionError("%s: expected %r, last status %r"
                                 % (what, expected, self.daemon_status()))

    def kiv(self, *args, env_extra=None, timeout=30):
        env = dict(self.env.vars)
        if env_extra:
            env.update(env_extra)
        r = subprocess.run([KIV] + list(args), env=env, capture_output=True, text=True,
                           timeout=timeout, stdin=subprocess.DEVNULL)
        return r
