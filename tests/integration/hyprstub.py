"""A stand-in Hyprland instance for process-level tests.

It plays the compositor's IPC from the outside, sending what a real Hyprland
sends: the instance directory $XDG_RUNTIME_DIR/hypr/<signature>/ holding
hyprland.lock while the instance runs, the request socket .socket.sock (one
command per connection, answered whole and then closed) and the event socket
.socket2.sock (one line per event). Everything runs on threads inside the test
process; the test sets the state, writes events and reads back the requests.

    stub = HyprStub(env.runtime, "sig-a", monitors=[...], clients=[...])
    stub.start()
    stub.send_event("workspace>>2\\n")
    stub.wait_requests(["j/clients", "j/monitors"])
    stub.set_state(locked=True)   # a session lock: no event, only polls see it
    stub.vanish()   # the compositor exits: directory and sockets stay behind
    stub.start()    # back again

The shapes follow the release given as version (the newest by default):
fullscreen as a boolean with fullscreenMode up to 0.41, a bit mask in which 3
occurs from 0.42 to 0.55, 0 to 2 from 0.56; j/locked from 0.41; the monitors'
solitaryBlockedBy from 0.51 (null when nothing blocks, "LOCK" on every monitor
while locked). Plain j/monitors leaves disabled monitors out. A state no
release would report is refused when it is set.

Run as a program (hyprstub.py RUNTIME SIGNATURE CLIENTS-JSON) it serves one
instance until it is killed, so a test can kill the "compositor" outright and
leave its directory, sockets and lock file behind as a crash would.
"""

import json
import os
import socket
import threading
import time

NEWEST = (0, 56)

# What Hyprland may name in solitaryBlockedBy.
BLOCKERS = {"UNKNOWN", "NOTIFICATION", "LOCK", "WORKSPACE", "WINDOWED", "DND", "SPECIAL", "ALPHA",
            "OFFSET", "CANDIDATE", "OPAQUE", "TRANSFORM", "OVERLAYS", "FLOAT", "WORKSPACES",
            "SURFACES", "CONFIGERROR", "FADEOUT"}

# Flag letters that may come before the "/" of a request.
FLAGS = set("jarc")


def monitor(name="HEADLESS-1", workspace=1, special=0, **extra):
    """One element of a j/monitors reply."""
    m = {"id": 0, "name": name, "description": "stand-in " + name, "width": 1920, "height": 1080,
         "x": 0, "y": 0, "activeWorkspace": {"id": workspace, "name": str(workspace)},
         "specialWorkspace": {"id": special, "name": ""}, "focused": True, "dpmsStatus": True,
         "disabled": False, "solitaryBlockedBy": None}
    m.update(extra)
    return m


def client(workspace=1, fullscreen=0, title="foot", **extra):
    """One element of a j/clients reply. A title given as bytes is passed on
    unconverted, as Hyprland does with an X11 title in Latin-1."""
    c = {"address": "0x1", "mapped": True, "hidden": False, "at": [0, 0], "size": [800, 600],
         "workspace": {"id": workspace, "name": str(workspace)}, "floating": False,
         "fullscreen": fullscreen, "class": "foot", "title": title, "pid": 1, "xwayland": False}
    c.update(extra)
    return c


def latin1(text):
    """A window title as an X11 application in Latin-1 sets it."""
    return text.encode("latin-1")


def _check_monitor(m):
    if not isinstance(m.get("name"), str):
        raise ValueError("monitor name must be a text: %r" % m)
    for key in ("dpmsStatus", "disabled"):
        if not isinstance(m.get(key), bool):
            raise ValueError("%s is always a boolean: %r" % (key, m))
    for key in ("activeWorkspace", "specialWorkspace"):
        ws = m.get(key)
        if not isinstance(ws, dict) or type(ws.get("id")) is not int:
            raise ValueError("%s needs an integer id: %r" % (key, m))
    blockers = m.get("solitaryBlockedBy")
    if blockers is not None and (not isinstance(blockers, list) or
                                 any(b not in BLOCKERS for b in blockers)):
        raise ValueError("solitaryBlockedBy is null or a list of known blockers: %r" % m)


def _check_client(c, version):
    fs = c.get("fullscreen")
    if version <= (0, 41):
        if not isinstance(fs, bool) or c.get("fullscreenMode") not in (0, 1):
            raise ValueError("up to 0.41 fullscreen is a boolean with fullscreenMode: %r" % c)
    elif type(fs) is not int or not 0 <= fs <= (3 if version < (0, 56) else 2):
        raise ValueError("fullscreen %r does not occur in %d.%d" % ((fs,) + version))
    if c.get("mapped") is not True or not isinstance(c.get("hidden"), bool):
        raise ValueError("plain j/clients lists mapped windows with a boolean hidden: %r" % c)
    ws = c.get("workspace")
    if not isinstance(ws, dict) or type(ws.get("id")) is not int:
        raise ValueError("workspace needs an integer id: %r" % c)
    if not isinstance(c.get("title"), (str, bytes)):
        raise ValueError("title must be a text: %r" % c)


def _json_text(raw):
    """A JSON string of raw bytes, escaped the way Hyprland escapes titles:
    quote, backslash and control characters; other bytes pass unchanged."""
    out = bytearray(b'"')
    for b in raw:
        if b in (0x22, 0x5c):
            out += b"\\" + bytes([b])
        elif b < 0x20:
            out += b"\\u%04x" % b
        else:
            out.append(b)
    return bytes(out + b'"')


def encode(value):
    """JSON as bytes; bytes values become strings holding those bytes."""
    if isinstance(value, bytes):
        return _json_text(value)
    if isinstance(value, str):
        return _json_text(value.encode())
    if isinstance(value, dict):
        return b"{" + b",".join(encode(k) + b":" + encode(v) for k, v in value.items()) + b"}"
    if isinstance(value, (list, tuple)):
        return b"[" + b",".join(encode(v) for v in value) + b"]"
    return json.dumps(value).encode()


class HyprStub:
    """One stand-in Hyprland instance of the given release."""

    def __init__(self, runtime, signature, clients=None, monitors=None, version=NEWEST):
        self.dir = os.path.join(runtime, "hypr", signature)
        self.version = version
        self._lock = threading.Lock()
        self._clients = []
        self._monitors = []
        self._locked = False
        self._raw = {}
        self.set_state(clients=[] if clients is None else clients,
                       monitors=[monitor()] if monitors is None else monitors)
        self._requests = []
        self._event_conns = []
        self._event_connects = 0
        self._threads = []
        self._listeners = []
        self._stop = None

    # -- set-up and tear-down ------------------------------------------------

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        self._stop = threading.Event()
        self._listeners = []
        self._threads = []
        for name, serve in ((".socket.sock", self._serve_request),
                            (".socket2.sock", self._serve_events)):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                os.unlink(path)
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(path)
            s.listen(16)
            s.settimeout(0.1)
            self._listeners.append(s)
            t = threading.Thread(target=self._accept_loop, args=(s, serve, self._stop),
                                 daemon=True)
            t.start()
            self._threads.append(t)
        with open(os.path.join(self.dir, "hyprland.lock"), "w") as f:
            f.write("%d\nwayland-1\n" % os.getpid())
        return self

    def vanish(self):
        """The compositor exits: every socket is closed and the lock file
        removed, while the directory and the socket files stay behind (and
        the removal makes the directory the newest)."""
        if self._stop is None:
            return
        self._stop.set()
        for t in self._threads:
            t.join(5)
        for s in self._listeners:
            s.close()
        with self._lock:
            conns, self._event_conns = self._event_conns, []
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.close()
        self._threads = []
        self._listeners = []
        self._stop = None
        try:
            os.unlink(os.path.join(self.dir, "hyprland.lock"))
        except FileNotFoundError:
            pass

    stop = vanish

    # -- what the test controls ----------------------------------------------

    def set_state(self, clients=None, monitors=None, locked=None):
        """What the compositor shows; a shape the release never sends raises
        ValueError."""
        for c in clients or []:
            _check_client(c, self.version)
        for m in monitors or []:
            _check_monitor(m)
        with self._lock:
            if clients is not None:
                self._clients = clients
            if monitors is not None:
                self._monitors = monitors
            if locked is not None:
                self._locked = locked

    def set_reply(self, name, raw):
        """Answers the list name with raw bytes (or text) instead of the
        state, as a compositor dying in the middle of a reply or another
        program on its socket would; None returns to the state."""
        with self._lock:
            if raw is None:
                self._raw.pop(name, None)
            else:
                self._raw[name] = raw.encode() if isinstance(raw, str) else raw

    def send_event(self, *parts, pause=0.2):
        """Writes the parts to every connected event client, one write per part,
        pausing between parts so that they arrive as separate reads."""
        with self._lock:
            conns = list(self._event_conns)
        if not conns:
            raise AssertionError("no event client connected to %s" % self.dir)
        for i, part in enumerate(parts):
            data = part.encode() if isinstance(part, str) else part
            for c in conns:
                c.sendall(data)
            if i + 1 < len(parts):
                time.sleep(pause)

    # -- what the test observes ----------------------------------------------

    def requests(self):
        with self._lock:
            return list(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests = []

    def event_clients(self):
        with self._lock:
            return len(self._event_conns)

    def event_connects(self):
        """How many times an event client connected since the stub was made."""
        with self._lock:
            return self._event_connects

    def wait_event_client(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        while self.event_clients() == 0:
            if time.monotonic() >= deadline:
                raise AssertionError("nobody connected to the event socket of %s" % self.dir)
            time.sleep(0.05)

    def wait_requests(self, expected, timeout=15.0):
        """Waits until the recorded requests contain expected as a contiguous
        run; returns all requests seen."""
        deadline = time.monotonic() + timeout
        while True:
            seen = self.requests()
            n = len(expected)
            if any(seen[i:i + n] == list(expected) for i in range(len(seen) - n + 1)):
                return seen
            if time.monotonic() >= deadline:
                raise AssertionError("requests %r not seen, got %r" % (expected, seen))
            time.sleep(0.05)

    # -- the replies ---------------------------------------------------------

    def _monitors_reply(self, everything):
        out = []
        for m in self._monitors:
            if m["disabled"] and not everything:
                continue
            m = dict(m)
            blockers = m.pop("solitaryBlockedBy", None)
            if self.version >= (0, 51):
                if self._locked and "LOCK" not in (blockers or []):
                    blockers = (blockers or []) + ["LOCK"]
                m["solitaryBlockedBy"] = blockers
            out.append(m)
        return out

    def _is_locked(self):
        return self._locked or any("LOCK" in (m.get("solitaryBlockedBy") or [])
                                   for m in self._monitors)

    def reply_to(self, request):
        """The bytes Hyprland answers to one request. Only the JSON forms are
        played (the only ones kivd asks for); the text forms are not."""
        flags, sep, command = request.partition("/")
        if not sep or not set(flags) <= FLAGS or "j" not in flags:
            return b"unknown request"
        with self._lock:
            if command == "clients":
                if "clients" in self._raw:
                    return self._raw["clients"]
                return encode(self._clients)
            if command.startswith("monitors"):
                if "monitors" in self._raw:
                    return self._raw["monitors"]
                everything = command[len("monitors"):].strip() == "all"
                return encode(self._monitors_reply(everything))
            if command == "locked" and self.version >= (0, 41):
                return encode({"locked": self._is_locked()})
        return b"unknown request"

    # -- threads -------------------------------------------------------------

    def _accept_loop(self, listener, serve, stop):
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(None)
            serve(conn)

    def _serve_events(self, conn):
        with self._lock:
            self._event_conns.append(conn)
            self._event_connects += 1

    def _serve_request(self, conn):
        # One read of what the client wrote, as the compositor does: the
        # request has no line end and the client waits for the reply.
        conn.settimeout(1.0)
        try:
            data = conn.recv(8192)
        except (socket.timeout, OSError):
            data = b""
        text = data.decode(errors="replace")
        with self._lock:
            self._requests.append(text)
        body = self.reply_to(text)
        try:
            conn.settimeout(5.0)
            conn.sendall(body)
        except OSError:
            pass
        conn.close()


if __name__ == "__main__":
    import sys
    HyprStub(sys.argv[1], sys.argv[2], clients=json.loads(sys.argv[3])).start()
    threading.Event().wait()
