"""The whole system under faults and hostile input: the real kivd and
kiv-render on a headless sway compositor with a video playing, while the
renderer or the daemon is killed, the renderer frozen, the Hyprland stand-in
dies and comes back, and both sockets are flooded with malformed requests.
Every case ends with the video back on screen and no descriptors or zombies
left behind. GIF conversions meet a killed daemon and a full disk with the
stand-in renderer of the media tests."""

import itertools
import json
import os
import random
import signal
import socket
import threading
import time
import unittest

from compositor import colourful, wait_moving
from hyprstub import client
from kivtest import connect_retrying, pid_gone, request, request_json, wait_for
from test_gif import GifTestCase
from test_system import SPAWNED, SystemTestCase

HERE = os.path.dirname(os.path.abspath(__file__))


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fd_baseline(pid):
    """The most descriptors pid holds over a second: libraries may open and
    close one now and then, a leak only ever adds."""
    most = 0
    for _ in range(5):
        most = max(most, fd_count(pid))
        time.sleep(0.2)
    return most


def zombie_children(pid):
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                state, ppid = f.read().rsplit(")", 1)[-1].split()[:2]
        except (OSError, ValueError):
            continue
        if state == "Z" and int(ppid) == pid:
            found.append(int(name))
    return found


def hostile_payloads(rng, count):
    """What count hostile connections send, one bytes value each: wrong
    types, unknown or mangled commands, out-of-range values, invalid UTF-8,
    NUL bytes, oversized and half lines, pipelined garbage. Nothing in it is a
    valid request that changes what is shown."""
    words = ["status", "hello", "bogus", "load", "set", "fade", "", "STATUS", "status\0x"]
    values = [None, True, -1, 2001, 1e308, "", "relative/path", "/nonexistent/clip.mp4",
              "x" * 5000, [], {}, [1, [2, {}]], "\udcff", "caf\u00e9\0"]
    members = ["path", "kind", "ms", "outputs", "from", "async", "cmd"]

    def garbage(n):
        return bytes(rng.randrange(256) for _ in range(n)).replace(b"\n", b"\xff")

    def request_object():
        obj = {"cmd": rng.choice(words + values)}
        for _ in range(rng.randrange(4)):
            obj[rng.choice(members)] = rng.choice(values)
        return json.dumps(obj).encode()

    makers = [
        lambda: request_object() + b"\n",
        lambda: garbage(rng.randrange(1, 300)) + b"\n",
        lambda: b'{"cmd":"status","pad":"' + b"a" * 66000 + b'"}\n',
        lambda: request_object()[:rng.randrange(1, 20)],
        lambda: b"".join(rng.choice([b"[]", b"null", b"123", b'"status"', b"{", b"\0"])
                         + b"\n" for _ in range(50)),
        lambda: b"",
        lambda: b"[" * 5000 + b"\n",
        lambda: b'{"cmd":"st\xc3\x28tus"}\n',
    ]
    return [rng.choice(makers)() for _ in range(count)]


def flood(path, payloads):
    """Sends each payload on its own connection; reads the replies of some.
    Returns the replies that were not one JSON object with a status."""
    bad = []
    for i, data in enumerate(payloads):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            try:
                connect_retrying(s, path, 10)
                s.sendall(data)
                if i % 4 or not data.endswith(b"\n"):
                    continue
                s.shutdown(socket.SHUT_WR)
                reply = b""
                while b"\n" not in reply:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
                reply = reply.split(b"\n", 1)[0]
            except OSError:
                continue  # refused or cut off while the server is full
            if reply:
                try:
                    ok = json.loads(reply)["status"] in ("ok", "error")
                except (ValueError, KeyError, TypeError):
                    ok = False
                if not ok:
                    bad.append((data[:80], reply[:200]))
    return bad


class FaultTest(SystemTestCase):

    def setUp(self):
        super().setUp()
        # A small screen keeps the software drawing cheap while faults repeat.
        self.comp.resolution("HEADLESS-1", 640, 360)

    def play_video(self):
        """A daemon with the renderer playing the video; returns the daemon."""
        d = self.start_daemon()
        self.show("video", "video")
        wait_moving(self.comp)
        return d

    def ready_count(self, d):
        return d.log().count("media ready: %s" % self.media["video"])

    def test_renderer_killed_twenty_times(self):
        d = self.play_video()
        fds = fd_baseline(d.pid)
        for i in range(20):
            pid = self.renderer_pid(d)
            ready = self.ready_count(d)
            os.kill(pid, signal.SIGKILL)
            wait_for(lambda: self.ready_count(d) > ready and self.renderer_pid(d) != pid, 90,
                     0.1, "video ready again after kill %d" % (i + 1))
            wait_for(lambda: colourful(self.shot()), 60, 0.2,
                     "video on screen after kill %d" % (i + 1))
            wait_for(lambda: not os.path.exists("/proc/%d" % pid), 30, 0.1,
                     "killed renderer %d collected" % pid)
        wait_moving(self.comp)
        self.assertEqual(zombie_children(d.pid), [])
        wait_for(lambda: fd_count(d.pid) <= fds, 30, 0.2,
                 "daemon descriptors back to %d" % fds)
        self.assertEqual(self.status()["loaded_path"], self.media["video"])

    def test_daemon_killed_and_started_again(self):
        d = self.play_video()
        pid = self.renderer_pid(d)
        os.kill(d.pid, signal.SIGKILL)
        d.wait()
        self.procs.remove(d)
        # The orphaned renderer ends, so the next daemon can start its own.
        wait_for(lambda: pid_gone(pid), 30, 0.1, "renderer ended with its daemon")
        d = self.start_daemon()
        self.wait_loaded(self.media["video"], "video")
        self.assertNotEqual(self.renderer_pid(d), pid)
        wait_moving(self.comp)

    def test_renderer_frozen_for_twelve_seconds(self):
        d = self.play_video()
        pid = self.renderer_pid(d)
        os.kill(pid, signal.SIGSTOP)
        try:
            # The pause has to reach the frozen renderer: each try runs into
            # the exchange time-out, and the daemon answers in between.
            self.assertEqual(request_json(self.env.daemon_socket, {"cmd": "pause"}, timeout=30),
                             {"status": "ok"})
            thawed_at = time.monotonic() + 12
            while time.monotonic() < thawed_at:
                reply = request_json(self.env.daemon_socket, {"cmd": "status"}, timeout=30)
                self.assertEqual((reply["status"], reply["paused"]), ("ok", True))
                time.sleep(1.0)
        finally:
            os.kill(pid, signal.SIGCONT)
        self.wait_status(lambda s: s["render_alive"] and s["media_ready"],
                         "renderer back after SIGCONT")
        wait_for(lambda: self.run_kiv("render-status")["paused"], 60, 0.2,
                 "the renderer paused")
        self.run_kiv("resume")
        wait_moving(self.comp)
        self.assertEqual(zombie_children(d.pid), [])

    def test_commands_answered_while_the_renderer_is_frozen(self):
        d = self.play_video()
        pid = self.renderer_pid(d)
        os.kill(pid, signal.SIGSTOP)
        cycle = ["status", "pause", "status", "config", "resume", "status"]
        latencies = []
        try:
            until = time.monotonic() + 12
            for i in itertools.count():
                cmd = cycle[i % len(cycle)] if time.monotonic() < until else "pause"
                started = time.monotonic()
                reply = request_json(self.env.daemon_socket, {"cmd": cmd}, timeout=30)
                latencies.append(time.monotonic() - started)
                self.assertEqual(reply["status"], "ok", (cmd, reply))
                if cmd == "pause" and time.monotonic() >= until:
                    break
                time.sleep(0.1)
        finally:
            os.kill(pid, signal.SIGCONT)
        latencies.sort()
        print("%d replies while the renderer was frozen: median %.3f s, slowest %.3f s"
              % (len(latencies), latencies[len(latencies) // 2], latencies[-1]))
        # Waiting for the frozen renderer took about five seconds a command.
        self.assertLess(latencies[-1], 1.0, latencies)
        self.assertTrue(self.status()["paused"])
        # Thawed, it gets the last word.
        wait_for(lambda: self.run_kiv("render-status")["paused"], 60, 0.2, "the renderer paused")
        self.run_kiv("resume")
        wait_moving(self.comp)
        self.assertEqual(SPAWNED.findall(d.log()), [str(pid)])

    def test_hyprland_killed_and_restarted(self):
        hypr = os.path.join(self.env.runtime, "hypr")
        connected = "hyprland connected at %s/%s"

        def hyprland(signature, clients):
            p = self.start(["/usr/bin/python3", os.path.join(HERE, "hyprstub.py"),
                            self.env.runtime, signature, json.dumps(clients)], signature)
            wait_for(lambda: os.path.exists(os.path.join(hypr, signature, ".socket2.sock")),
                     30, 0.05, "%s listening" % signature)
            return p

        first = hyprland("sig-first", [])
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-first"
        d = self.play_video()
        d.wait_log(connected % (hypr, "sig-first"))
        self.assertFalse(self.status()["fullscreen"])

        # Killed outright, its sockets stay behind and nobody answers on them;
        # the compositor comes back under a new signature, which the daemon's
        # environment does not know.
        os.kill(first.pid, signal.SIGKILL)
        first.wait()
        self.assertTrue(self.status()["render_alive"])
        hyprland("sig-second", [client(workspace=1, fullscreen=2)])
        d.wait_log(connected % (hypr, "sig-second"), timeout=60)
        s = self.wait_status(lambda s: s["paused"], "paused by the new instance's window")
        self.assertEqual((s["fullscreen"], s["reason"]), (True, "fullscreen"))
        self.assert_frozen()

    def test_hostile_flood_on_both_sockets(self):
        d = self.play_video()
        render_pid = self.renderer_pid(d)
        sockets = {"kivd": (self.env.daemon_socket, d.pid),
                   "kiv-render": (self.env.render_socket, render_pid)}
        before = {name: fd_baseline(pid) for name, (_, pid) in sockets.items()}
        rng = random.Random(15)
        results = {}
        threads = []
        for name, (path, _) in sockets.items():
            for n in range(2):
                payloads = hostile_payloads(rng, 1000)
                t = threading.Thread(target=lambda k, p, l: results.__setitem__(k, flood(p, l)),
                                     args=((name, n), path, payloads))
                t.start()
                threads.append(t)
        for t in threads:
            t.join()
        for key, bad in sorted(results.items()):
            self.assertEqual(bad, [], "malformed replies from %s" % key[0])

        for name, (path, pid) in sockets.items():
            self.assertIsNotNone(request(path, '{"cmd":"status"}', timeout=30), name)
            wait_for(lambda: fd_count(pid) <= before[name], 60, 0.2,
                     "%s descriptors back to %d" % (name, before[name]))
        s = self.status()
        self.assertEqual((s["loaded_path"], s["media_ready"], s["paused"]),
                         (self.media["video"], True, False))
        self.assertEqual(SPAWNED.findall(d.log()), [str(render_pid)])
        wait_moving(self.comp)


# Fails like ffmpeg on a full disk: part of the output written, then the error.
FULL_DISK_FFMPEG = """#!/bin/sh
for last; do :; done
head -c 4096 /dev/zero > "$last"
echo "[out#0/mp4] Error writing trailer: No space left on device" >&2
exit 1
"""


class GifFaultTest(GifTestCase):

    def test_daemon_killed_during_conversion(self):
        d = self.start_on_video()
        render_pid = self.renderer_pid(d)
        self.link("stuck")
        d.wait_log("gif transcode started for %s" % self.media["stuck"])
        wait_for(self.calls, what="ffmpeg started on the FIFO")
        stuck_ffmpeg = self.calls()[-1]
        os.kill(d.pid, signal.SIGKILL)
        d.wait()
        self.procs.remove(d)
        # What the dead daemon left: its ffmpeg and stand-in renderer, which
        # go here, and a temporary file, never a final one.
        for pid in (stuck_ffmpeg, render_pid):
            os.kill(pid, signal.SIGKILL)
        [partial] = self.partials()
        self.assertEqual(self.cached(), [])

        # Younger than a day it may belong to a running conversion and stays;
        # older, the next start removes it.
        self.link("vid1")
        for age, kept in ((3600, True), (2 * 24 * 3600, False)):
            path = os.path.join(self.cache_dir, partial)
            os.utime(path, (time.time() - age,) * 2)
            d = self.start_kivd()
            self.assertEqual(os.path.exists(path), kept, d.log())
            self.assertEqual("removed abandoned conversion %s" % partial in d.log(), not kept)
            self.procs.remove(d)
            self.assertEqual(d.stop(), 0)

    def test_full_disk_fails_the_conversion_cleanly(self):
        full = os.path.join(self.env.root, "fullbin")
        self.write_exec(os.path.join(full, "ffmpeg"), FULL_DISK_FFMPEG)
        self.env.vars["PATH"] = full + ":" + self.env.vars["PATH"]
        d = self.start_on_video()
        self.link("odd")
        d.wait_log("job failed for %s" % self.media["odd"], timeout=60)
        self.assertIn("No space left on device", d.log())
        s = self.status()
        self.assertEqual((s["failed_path"], s["loaded_path"], s["media_ready"], s["job_running"]),
                         (self.media["odd"], self.media["vid1"], True, False))
        self.assertEqual((self.cached(), self.partials()), ([], []))


if __name__ == "__main__":
    unittest.main()
