"""The lock-screen frame feed of kiv-render on a headless sway compositor: the
reference client kiv-feed-client and raw protocol sockets connect to
lock-feed.sock while a real video plays."""

import mmap
import os
import re
import resource
import shutil
import socket
import struct
import tempfile
import time
import unittest

from compositor import RendererTestCase, ffmpeg, grid, near, wait_moving
from kivtest import KIV_FEED_CLIENT, cpu_seconds, wait_for

# magic, version, type, slot, width, height, stride, reserved, sequence
MESSAGE = struct.Struct("<4sIIIIIIIQ")
CONFIG, FRAME, ACK = 1, 2, 3
RED, GREEN, BLUE = (255, 0, 0), (0, 255, 0), (0, 0, 255)
WARN = re.compile(r" WARN .*feed client (\d) missed its acknowledgement deadline")


class RawClient:
    """A lock screen written against the message table alone."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(30)
        self.sock.connect(path)

    def message(self):
        """The next message as a tuple of its fields, and the descriptors that
        came with it; None when the renderer closed the connection."""
        data, fds = b"", []
        while len(data) < MESSAGE.size:
            chunk, got, _, _ = socket.recv_fds(self.sock, MESSAGE.size - len(data), 3)
            if not chunk:
                return None, fds
            data += chunk
            fds += got
        return MESSAGE.unpack(data), fds

    def message_of(self, kind):
        """The next message, which must be of kind; its descriptors are closed."""
        msg, fds = self.message()
        for fd in fds:
            os.close(fd)
        if msg is None:
            raise AssertionError("connection closed while waiting for type %d" % kind)
        if msg[2] != kind:
            raise AssertionError("expected type %d, got %r" % (kind, msg))
        return msg

    def send(self, *fields):
        self.sock.sendall(MESSAGE.pack(*fields))

    def ack(self, frame):
        self.send(frame[0], frame[1], ACK, *frame[3:])

    def until_closed(self):
        """The messages that come until the renderer closes the connection;
        fails when it is not closed within the socket's time-out."""
        got = []
        while True:
            msg, fds = self.message()
            for fd in fds:
                os.close(fd)
            if msg is None:
                return got
            got.append(msg)

    def close(self):
        self.sock.close()


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, width, height, depth, raster = data.split(maxsplit=4)
    assert magic == b"P6" and depth == b"255"
    width, height = int(width), int(height)

    def pixel(x, y):
        i = (y * width + x) * 3
        return tuple(raster[i:i + 3])
    return width, height, pixel


class FeedTest(RendererTestCase):
    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="kiv-feed-")
        # Red, green and blue bands over a moving strip: known colours for
        # the frames, motion for the screen.
        # Larger than a small output: its slots follow the output's size.
        cls.large = os.path.join(cls.media, "large.mp4")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=s=1280x720:r=25", "-t", "4", "-c:v", "libx264",
               "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.large)
        cls.video = os.path.join(cls.media, "bands.mp4")
        ffmpeg("-f", "lavfi", "-i", "color=c=red:s=320x60:r=25",
               "-f", "lavfi", "-i", "color=c=0x00ff00:s=320x60:r=25",
               "-f", "lavfi", "-i", "color=c=blue:s=320x40:r=25",
               "-f", "lavfi", "-i", "testsrc2=s=320x20:r=25",
               "-filter_complex", "[0][1][2][3]vstack=inputs=4", "-t", "6",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", cls.video)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.feed_sock = os.path.join(self.env.runtime, "lock-feed.sock")

    def ok(self, obj):
        reply = self.cmd(obj)
        self.assertEqual(reply.get("status"), "ok", "%r -> %r" % (obj, reply))

    def start_video(self):
        r = self.start_renderer()
        self.ok({"cmd": "load", "path": self.video, "kind": "video"})
        self.wait_status(lambda s: s["ready"] and s["time_pos"] >= 0, "video ready")
        return r

    def client(self, *args, name="feed-client"):
        return self.start([KIV_FEED_CLIENT, "--socket", self.feed_sock] + list(args), name)

    def frames(self, proc):
        """(slot, sequence, size) of every frame the client reported."""
        return [(int(m[0]), int(m[1]), m[2]) for m in
                re.findall(r"^frame (\d) (\d+) (\S+)$", proc.stdout(), re.M)]

    def raw(self):
        c = RawClient(self.feed_sock)
        self.addCleanup(c.close)
        return c

    def time_still(self):
        """Two positions a second apart are equal: the player is paused."""
        first = self.status()["time_pos"]
        time.sleep(1.0)
        return self.status()["time_pos"] == first

    def test_frames_reach_the_client_while_the_outputs_stay(self):
        r = self.start_video()
        wait_moving(self.comp)
        self.ok({"cmd": "feed"})
        r.wait_log("feed started")
        time.sleep(0.5)
        before = self.comp.screenshot("HEADLESS-1")

        saved = os.path.join(self.env.root, "latest.ppm")
        c = self.client("--frames", "20", "--save", saved, "--verbose")
        self.assertEqual(c.wait(60), 0, c.log())
        lines = c.stdout().splitlines()
        self.assertEqual(lines[0], "config 320x180 stride 1280", c.log())
        frames = self.frames(c)
        self.assertGreaterEqual(len(frames), 20)
        sequences = [f[1] for f in frames]
        self.assertEqual(sequences, sorted(set(sequences)), "sequences do not increase")
        self.assertEqual({f[2] for f in frames}, {"320x180"})
        r.wait_log("feed slots 320x180")

        width, height, pixel = read_ppm(saved)
        self.assertEqual((width, height), (320, 180))
        for y, colour in ((10, RED), (50, RED), (70, GREEN), (110, GREEN), (130, BLUE)):
            for x in (5, 160, 315):
                self.assertTrue(near(pixel(x, y), colour, 40),
                                "(%d, %d) is %r, not %r" % (x, y, pixel(x, y), colour))
        self.assertEqual(grid(before), grid(self.comp.screenshot("HEADLESS-1")),
                         "the outputs were drawn while the feed ran")

        # feed-stop closes every client and the outputs are drawn again.
        waiting = self.client("--verbose", name="waiting-client")
        wait_for(lambda: self.frames(waiting), 30, what="frames for the second client")
        self.ok({"cmd": "feed-stop"})
        self.assertEqual(waiting.wait(30), 0, waiting.log())
        self.assertEqual(waiting.stdout().splitlines()[-1], "closed")
        r.wait_log("feed stopped")
        wait_moving(self.comp)
        s = self.status()
        self.assertFalse(s["paused"])

    def test_fitted_frames_have_the_outputs_shape_with_the_bars(self):
        self.start_renderer()
        self.ok({"cmd": "fit", "fit": "center", "background_color": "#800080"})
        self.ok({"cmd": "load", "path": self.video, "kind": "video"})
        self.wait_status(lambda s: s["ready"] and s["time_pos"] >= 0, "video ready")
        self.ok({"cmd": "feed"})
        saved = os.path.join(self.env.root, "latest.ppm")
        c = self.client("--frames", "3", "--save", saved, "--verbose")
        self.assertEqual(c.wait(60), 0, c.log())
        self.assertEqual(c.stdout().splitlines()[0], "config 1920x1080 stride 7680", c.log())
        # The 320x180 video at its own size in the middle of a 1920x1080
        # frame, upright, with the bars around it.
        width, height, pixel = read_ppm(saved)
        self.assertEqual((width, height), (1920, 1080))
        bars = (128, 0, 128)
        for (x, y), colour in {(100, 100): bars, (790, 540): bars, (1130, 540): bars,
                               (960, 440): bars, (960, 640): bars, (805, 460): RED,
                               (960, 500): RED, (960, 540): GREEN, (1115, 560): GREEN,
                               (960, 590): BLUE}.items():
            self.assertTrue(near(pixel(x, y), colour, 40),
                            "(%d, %d) is %r, not %r" % (x, y, pixel(x, y), colour))

    def test_silent_and_hostile_clients_are_dropped_alone(self):
        r = self.start_video()
        self.ok({"cmd": "feed"})
        silent = self.client("--no-ack", "--verbose", name="silent-client")
        wait_for(lambda: self.frames(silent), 30, what="a frame for the silent client")
        hostile = self.raw()
        hostile.message_of(CONFIG)
        good = self.client("--verbose", name="good-client")
        slow = self.client("--ack-delay", "200", "--verbose", name="slow-client")

        # Everything but a correct acknowledgement is ignored.
        frame = hostile.message_of(FRAME)
        magic, version, _, slot, width, height, stride, _, seq = frame
        for garbage in ((b"KIVG", version, ACK, slot, width, height, stride, 0, seq),
                        (magic, 2, ACK, slot, width, height, stride, 0, seq),
                        (magic, version, FRAME, slot, width, height, stride, 0, seq),
                        (magic, version, ACK, 3, width, height, stride, 0, seq),
                        (magic, version, ACK, slot, width, height, stride, 0, seq + 1000),
                        (magic, version, ACK, slot, width, height, stride, 0, seq - 1)):
            hostile.send(*garbage)
        hostile.sock.sendall(b"\xff" * 17)

        self.assertEqual(silent.wait(30), 0, silent.log())
        self.assertEqual(silent.stdout().splitlines()[-1], "closed")
        # Dropped for the acknowledgement it never sent: frames, then the end.
        self.assertEqual({m[2] for m in hostile.until_closed()} - {FRAME}, set())
        wait_for(lambda: len(WARN.findall(r.log())) >= 2, 30, what="two deadline warnings")
        self.assertEqual(sorted(WARN.findall(r.log())), ["0", "1"], r.log())

        # Slow but in time is not dropped: frames are skipped for it instead.
        for c in (good, slow):
            seen = len(self.frames(c))
            wait_for(lambda: len(self.frames(c)) >= seen + 10, 30,
                     what="frames for %s after the drops" % os.path.basename(c.out_path))
            self.assertTrue(c.alive())
        self.assertEqual(len(WARN.findall(r.log())), 2, r.log())

    def test_ninth_client_is_closed_at_once(self):
        self.start_video()
        first = [self.raw() for _ in range(8)]
        ninth = self.raw()
        # Closed without a word, while the eight stay connected.
        self.assertEqual(ninth.until_closed(), [])
        # The eight were kept: each is announced when the feed starts.
        self.ok({"cmd": "feed"})
        for c in first:
            msg, fds = c.message()
            self.assertEqual(msg[2], CONFIG)
            self.assertEqual(len(fds), 3)
            for fd in fds:
                self.assertEqual(os.fstat(fd).st_size, msg[5] * msg[6])
                # A lock screen cannot shrink a slot under the renderer's feet.
                with self.assertRaises(PermissionError):
                    os.ftruncate(fd, 0)
                # Nor write into one: it maps for reading only.
                with self.assertRaises(PermissionError):
                    mmap.mmap(fd, msg[5] * msg[6], mmap.MAP_SHARED,
                              mmap.PROT_READ | mmap.PROT_WRITE)
                mmap.mmap(fd, msg[5] * msg[6], mmap.MAP_SHARED, mmap.PROT_READ).close()
                os.close(fd)
        frame = first[0].message_of(FRAME)
        self.assertEqual(frame[4:7], (320, 180, 1280))

    def test_out_of_descriptors_the_listener_rests(self):
        r = self.start_renderer()
        time.sleep(0.5)
        soft, hard = resource.prlimit(r.pid, resource.RLIMIT_NOFILE)
        open_fds = {int(fd) for fd in os.listdir("/proc/%d/fd" % r.pid)}
        held = len(open_fds)
        # Not one descriptor left for a connection (a new one takes the lowest
        # free number); the renderer is not asked anything meanwhile, since
        # its command socket cannot accept either.
        lowest_free = min(set(range(held + 1)) - open_fds)
        resource.prlimit(r.pid, resource.RLIMIT_NOFILE, (lowest_free, hard))
        waiting = self.raw()
        r.wait_log("feed cannot accept lock screens")
        used = cpu_seconds(r.pid)
        time.sleep(3)
        # A listener that stays readable while nothing can be taken from it
        # must not turn the loop into a spin; it is said once.
        self.assertLess(cpu_seconds(r.pid) - used, 0.3, "the renderer spun")
        self.assertEqual(r.log().count("feed cannot accept lock screens"), 1, r.log())
        resource.prlimit(r.pid, resource.RLIMIT_NOFILE, (soft, hard))
        r.wait_log("feed accepts lock screens again", 10)
        wait_for(lambda: len(os.listdir("/proc/%d/fd" % r.pid)) == held + 1, 10,
                 what="the waiting connection taken")
        # Taken as a client: announced once the feed starts with slots.
        self.ok({"cmd": "load", "path": self.video, "kind": "video"})
        self.ok({"cmd": "feed"})
        msg, fds = waiting.message()
        for fd in fds:
            os.close(fd)
        self.assertEqual((msg[2], len(fds)), (CONFIG, 3))

    def test_a_slot_is_not_rewritten_before_its_acknowledgement(self):
        self.start_video()
        self.ok({"cmd": "feed"})
        c = self.raw()
        config, fds = c.message()
        self.assertEqual((config[2], len(fds)), (CONFIG, 3))
        size = config[5] * config[6]
        slots = [mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ) for fd in fds]
        for fd in fds:
            os.close(fd)
        self.addCleanup(lambda: [m.close() for m in slots])
        held = c.message_of(FRAME)
        picture = bytes(slots[held[3]])
        # The other frames are acknowledged at once: the held slot is left
        # alone although the video moves on in the other two.
        others = []
        deadline = time.monotonic() + 0.7
        while time.monotonic() < deadline:
            frame = c.message_of(FRAME)
            others.append(frame)
            c.ack(frame)
        self.assertGreater(len(others), 3)
        self.assertNotIn(held[3], {f[3] for f in others})
        self.assertGreater(len({bytes(slots[f[3]]) for f in others[-2:]} | {picture}), 1,
                           "the video did not move")
        self.assertEqual(bytes(slots[held[3]]), picture, "the held slot was rewritten")
        # Acknowledged, it is written again.
        c.ack(held)
        seen = [c.message_of(FRAME) for _ in range(3)]
        for f in seen:
            c.ack(f)
        self.assertIn(held[3], {f[3] for f in seen})

    def test_slots_announced_again_after_an_output_resize(self):
        self.start_renderer()
        self.ok({"cmd": "load", "path": self.large, "kind": "video"})
        self.wait_status(lambda s: s["ready"], "video ready")
        self.ok({"cmd": "feed"})
        c = self.raw()
        config = c.message_of(CONFIG)
        # 1280x720 covers the 1920x1080 output as it is.
        self.assertEqual(config[4:7], (1280, 720, 5120))
        self.comp.resolution("HEADLESS-1", 640, 360)
        deadline = time.monotonic() + 20
        while True:
            self.assertLess(time.monotonic(), deadline, "no new config")
            msg, fds = c.message()
            self.assertIsNotNone(msg, "closed")
            for fd in fds:
                os.close(fd)
            if msg[2] == CONFIG:
                break
            self.assertEqual(msg[4:6], (1280, 720))
            c.ack(msg)
        # Reduced to what still covers the smaller output, with new memory.
        self.assertEqual((msg[4:7], len(fds)), ((640, 360, 2560), 3))
        frame = c.message_of(FRAME)
        self.assertEqual(frame[4:7], (640, 360, 2560))

    def test_player_runs_only_while_a_client_is_connected(self):
        r = self.start_video()
        self.ok({"cmd": "feed"})
        wait_for(self.time_still, 30, 0, "the video paused without a client")
        c = self.client("--verbose")
        start = self.status()["time_pos"]
        self.wait_status(lambda s: s["time_pos"] > start + 0.3, "the video resumed for a client")
        self.assertFalse(self.status()["paused"])
        c.stop()
        wait_for(self.time_still, 30, 0, "the video paused after the client left")
        self.assertNotIn("missed its acknowledgement", r.log())

    def test_reconnects_leave_no_descriptor_or_mapping_behind(self):
        r = self.start_video()
        self.ok({"cmd": "feed"})

        def cycle():
            c = RawClient(self.feed_sock)
            c.message_of(CONFIG)
            c.ack(c.message_of(FRAME))
            c.close()

        def usage():
            fds = len(os.listdir("/proc/%d/fd" % r.pid))
            with open("/proc/%d/smaps" % r.pid) as f:
                maps = f.read().count("kiv-lock-feed")
            with open("/proc/%d/status" % r.pid) as f:
                rss = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
            return fds, maps, rss

        def steady():
            # Closed clients are noticed on the renderer's next loop pass.
            first = usage()
            time.sleep(0.3)
            return first[:2] == usage()[:2]

        for _ in range(5):
            cycle()
        wait_for(steady, 30, 0, "the renderer to settle")
        before = usage()
        self.assertEqual(before[1], 3, "one mapping per slot")
        for _ in range(50):
            cycle()
        wait_for(lambda: usage()[:2] == before[:2], 30,
                 what="descriptors and mappings back to %r" % (before,))
        after = usage()
        self.assertLess(after[2] - before[2], 32 * 1024, "RSS grew from %r to %r" % (before, after))


if __name__ == "__main__":
    unittest.main()
