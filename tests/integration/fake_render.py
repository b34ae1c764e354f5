#!/usr/bin/python3
"""A scripted stand-in for kiv-render: serves the render protocol on
--socket PATH without any drawing, records what it is asked, and misbehaves
on request.

Environment:
  FAKE_RENDER_LOG      file that receives one JSON record per line:
                       {"pid", "start", "where", "argv"} when it starts, then
                       {"pid", "req"} for every request line received
  FAKE_RENDER_CONTROL  JSON file re-read at every request (write it atomically);
                       members, all optional:
     refuse_load   true: every load answers "video load failed"
     refuse_feed   true: feed answers "lock feed unavailable"
     never_ready   list of paths whose loads are accepted but never get ready
     error         text reported as "error" in status (ready is false then)
     ready_delay   seconds from a load until it is ready (default 0.2)
     exit_after    exit with status 0 after answering this many requests
     exit_at_start exit with this status before creating the socket
     start_delay   seconds to wait before creating the socket (a slow start)
     ignore_term   true: SIGTERM is ignored (only read at start)

Run directly, or from a wrapper script that calls main(argv, where).
"""

import json
import os
import selectors
import signal
import socket
import sys
import time


def _record(obj):
    path = os.environ.get("FAKE_RENDER_LOG")
    if not path:
        return
    with open(path, "a") as f:
        f.write(json.dumps(obj) + "\n")
        f.flush()


def _control():
    path = os.environ.get("FAKE_RENDER_CONTROL")
    if not path:
        return {}
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Renderer:
    def __init__(self):
        self.path = ""
        self.kind = ""
        self.paused = False
        self.fade_ms = 300
        self.skipped = ""
        self.feed = False
        self.error = ""
        self.pending = None      # (path, ready_at) of a still being "decoded"
        self.video_ready_at = None
        self.requests = 0

    # Simulated time passes here: a pending still lands, a video gets ready.
    def settle(self, ctl):
        now = time.monotonic()
        never = ctl.get("never_ready") or []
        if self.pending and self.pending[0] not in never and now >= self.pending[1]:
            self.path, self.kind = self.pending[0], "still"
            self.pending = None

    def ready(self, ctl):
        never = ctl.get("never_ready") or []
        if self.pending or self.error or ctl.get("error"):
            return False
        if self.kind == "still":
            return bool(self.path)
        if self.kind == "video":
            return (self.path not in never and self.video_ready_at is not None
                    and time.monotonic() >= self.video_ready_at)
        return False

    def status(self, ctl):
        error = ctl.get("error") or self.error
        return json.dumps({
            "status": "ok", "path": self.path, "kind": self.kind, "paused": self.paused,
            "ready": self.ready(ctl), "outputs": 1, "max_width": 1280, "max_height": 720,
            "has_video": self.kind == "video", "has_still": self.kind == "still",
            "time_pos": -1.0, "hwdec": "no", "error": error, "skipped": self.skipped,
            "intro": False, "eof": False, "drm_dpms": True, "swaps": 42, "swap_failures": 0,
            "presenter": "gl",
        }, separators=(",", ":"))

    def handle(self, line, ctl):
        ok = '{"status":"ok"}'
        try:
            req = json.loads(line)
        except ValueError:
            return '{"status":"error","message":"bad json"}'
        if not isinstance(req, dict):
            return '{"status":"error","message":"bad json"}'
        cmd = req.get("cmd") if isinstance(req.get("cmd"), str) else ""
        if cmd == "hello":
            return '{"status":"ok","version":1}'
        if cmd == "status":
            return self.status(ctl)
        if cmd == "load":
            path = req.get("path")
            if not (isinstance(path, str) and path.startswith("/") and os.path.isfile(path)):
                return '{"status":"error","message":"Invalid local media path"}'
            if req.get("kind") not in ("still", "video"):
                return '{"status":"error","message":"unknown kind"}'
            if ctl.get("refuse_load"):
                return '{"status":"error","message":"%s load failed"}' % req["kind"]
            delay = float(ctl.get("ready_delay", 0.2))
            self.error = ""
            if req["kind"] == "still":
                self.pending = (path, time.monotonic() + delay)
            else:
                self.pending = None
                self.path, self.kind = path, "video"
                self.video_ready_at = time.monotonic() + delay
            return ok
        if cmd == "pause":
            self.paused, self.feed = True, False
            return ok
        if cmd == "resume":
            self.paused = False
            return ok
        if cmd == "feed":
            if ctl.get("refuse_feed"):
                return '{"status":"error","message":"lock feed unavailable"}'
            self.feed, self.paused = True, False
            return ok
        if cmd == "feed-stop":
            self.feed = False
            return ok
        if cmd == "cancel-load":
            self.pending = None
            return ok
        if cmd == "stop":
            self.path = self.kind = self.error = ""
            self.pending = None
            return ok
        if cmd == "skip":
            outputs = req.get("outputs")
            names = [o for o in outputs if isinstance(o, str)] if isinstance(outputs, list) else []
            self.skipped = ",".join(names)
            return ok
        if cmd == "fade":
            ms = req.get("ms")
            if type(ms) is not int or not 0 <= ms <= 2000:
                return '{"status":"error","message":"Fade must be an integer from 0 to 2000"}'
            self.fade_ms = ms
            return ok
        if cmd == "volume":
            level = req.get("level")
            if type(level) is not int or not 0 <= level <= 100:
                return '{"status":"error","message":"Volume must be an integer from 0 to 100"}'
            return ok
        if cmd == "fit":
            return ok
        return '{"status":"error","message":"unknown cmd"}'


def main(argv, where=None):
    sock_path = None
    i = 1
    while i < len(argv):
        if argv[i] == "--socket" and i + 1 < len(argv):
            sock_path = argv[i + 1]
            i += 2
        else:
            i += 1
    ctl = _control()
    _record({"pid": os.getpid(), "start": True, "where": where or os.path.abspath(argv[0]),
             "argv": argv[1:]})
    if "exit_at_start" in ctl:
        sys.exit(int(ctl["exit_at_start"]))
    if not sock_path:
        sys.exit(2)
    time.sleep(float(ctl.get("start_delay", 0)))
    signal.signal(signal.SIGTERM,
                  signal.SIG_IGN if ctl.get("ignore_term") else lambda *_: sys.exit(0))

    if os.path.exists(sock_path):
        os.unlink(sock_path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(sock_path)
    listener.listen(16)
    listener.setblocking(False)

    r = Renderer()
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, None)
    buffers = {}
    try:
        while True:
            for key, _ in sel.select(0.1):
                if key.data is None:
                    try:
                        conn, _ = listener.accept()
                    except BlockingIOError:
                        continue
                    conn.setblocking(True)
                    conn.settimeout(5)
                    buffers[conn] = b""
                    sel.register(conn, selectors.EVENT_READ, "conn")
                    continue
                conn = key.fileobj
                try:
                    chunk = conn.recv(65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    sel.unregister(conn)
                    buffers.pop(conn, None)
                    conn.close()
                    continue
                buffers[conn] += chunk
                while b"\n" in buffers[conn]:
                    line, buffers[conn] = buffers[conn].split(b"\n", 1)
                    text = line.decode(errors="replace")
                    ctl = _control()
                    r.settle(ctl)
                    _record({"pid": os.getpid(), "req": text})
                    reply = r.handle(text, ctl)
                    try:
                        conn.sendall(reply.encode() + b"\n")
                    except OSError:
                        pass
                    r.requests += 1
                    limit = ctl.get("exit_after")
                    if limit is not None and r.requests >= int(limit):
                        os._exit(0)
    finally:
        try:
            os.unlink(sock_path)
        except OSError:
            pass


if __name__ == "__main__":
    main(sys.argv)
