"""A stand-in Hyprland instance for process-level tests.

It plays the compositor's IPC from the outside: the instance directory
$XDG_RUNTIME_DIR/hypr/<signature>/ with the request socket .socket.sock (one
command per connection, answered and then closed) and the event socket
.socket2.sock (one line per event). Everything runs on threads inside the test
process; the test sets the replies, writes events and reads back the requests.

    stub = HyprStub(env.runtime, "sig-a", monitors=[...], clients=[...])
    stub.start()
    stub.send_event("workspace>>2\\n")
    stub.wait_requests(["j/clients", "j/monitors"])
    stub.vanish()   # sockets closed, directory removed
    stub.start()    # back again

Run as a program (hyprstub.py RUNTIME SIGNATURE CLIENTS-JSON) it serves one
instance until it is killed, so a test can kill the "compositor" outright and
leave its sockets behind as a crash would.
"""

import json
import os
import shutil
import socket
import threading
import time


def monitor(name="HEADLESS-1", workspace=1, special=0, **extra):
    """One element of a j/monitors reply."""
    m = {"id": 0, "name": name, "activeWorkspace": {"id": workspace, "name": str(workspace)},
         "specialWorkspace": {"id": special, "name": ""}, "disabled": False,
         "dpmsStatus": True, "solitaryBlockedBy": []}
    m.update(extra)
    return m


def client(workspace=1, fullscreen=0, **extra):
    """One element of a j/clients reply."""
    c = {"address": "0x1", "mapped": True, "hidden": False,
         "workspace": {"id": workspace, "name": str(workspace)}, "fullscreen": fullscreen,
         "class": "foot", "title": "foot"}
    c.update(extra)
    return c


class HyprStub:
    """One fake Hyprland instance. Replies are JSON values (sent as JSON) or
    bytes/str (sent as they are, for malformed replies)."""

    def __init__(self, runtime, signature, clients=None, monitors=None):
        self.dir = os.path.join(runtime, "hypr", signature)
        self._lock = threading.Lock()
        self._replies = {"clients": [] if clients is None else clients,
                         "monitors": [monitor()] if monitors is None else monitors}
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
        return self

    def vanish(self):
        """Closes every socket and removes the instance directory, as when the
        compositor exits."""
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
        shutil.rmtree(self.dir, ignore_errors=True)

    stop = vanish

    # -- what the test controls ----------------------------------------------

    def set_reply(self, name, value):
        with self._lock:
            self._replies[name] = value

    def set_state(self, clients=None, monitors=None):
        with self._lock:
            if clients is not None:
                self._replies["clients"] = clients
            if monitors is not None:
                self._replies["monitors"] = monitors

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
        # One command per connection, written without a line end: read until
        # it names a known list, the peer stops writing, or a second passes.
        conn.settimeout(1.0)
        data = b""
        try:
            while data not in (b"j/clients", b"j/monitors"):
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
        except (socket.timeout, OSError):
            pass
        text = data.decode(errors="replace")
        with self._lock:
            self._requests.append(text)
            reply = self._replies.get(text[2:]) if text.startswith("j/") else None
        if reply is None:
            body = b"unknown request"
        elif isinstance(reply, bytes):
            body = reply
        elif isinstance(reply, str):
            body = reply.encode()
        else:
            body = json.dumps(reply).encode()
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
