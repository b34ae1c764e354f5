#!/usr/bin/python3
"""Resource churn in kiv-render, run by hand: 200 loads alternating two stills
and two videos on a headless sway compositor, reporting the renderer's RSS and
open descriptor count after the first 20 loads and after all 200.

    /usr/bin/python3 bench/load_churn.py [--loads 200] [--build build]
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from compositor import Compositor, ffmpeg  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--loads", type=int, default=200)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    render_bin = os.path.join(os.path.abspath(args.build), "render", "kiv-render")

    media = tempfile.mkdtemp(prefix="kiv-churn-")

    def ff(*a):
        ffmpeg(*a, timeout=None)

    stills = [os.path.join(media, "a.png"), os.path.join(media, "b.jpg")]
    videos = [os.path.join(media, "a.mp4"), os.path.join(media, "b.webm")]
    ff("-f", "lavfi", "-i", "testsrc2=size=1920x1080", "-frames:v", "1", stills[0])
    ff("-f", "lavfi", "-i", "mandelbrot=size=1280x720", "-frames:v", "1", stills[1])
    ff("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30", "-t", "5", "-c:v", "libx264",
       "-preset", "ultrafast", "-pix_fmt", "yuv420p", videos[0])
    ff("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30", "-t", "5", "-c:v", "libvpx",
       "-deadline", "realtime", videos[1])
    order = [("still", stills[0]), ("video", videos[0]), ("still", stills[1]),
             ("video", videos[1])]

    comp = Compositor().start()
    env = Env()
    comp.client_env(env.vars)
    sock = os.path.join(env.runtime, "render.sock")
    try:
        r = Proc([render_bin, "--socket", sock], env, "kiv-render")
        if not r.wait_ready(30, "renderer"):
            sys.exit("kiv-render did not start:\n" + r.log())
        print("start: rss %d KiB, %d fds" % (rss_kib(r.pid), fd_count(r.pid)))
        failures = 0
        for i in range(args.loads):
            kind, path = order[i % len(order)]
            reply = request_json(sock, {"cmd": "load", "path": path, "kind": kind}, timeout=30)
            if not reply or reply.get("status") != "ok":
                failures += 1
            elif kind == "video":
                try:
                    wait_for(lambda: request_json(sock, {"cmd": "status"})["ready"], 20,
                             what="video ready")
                except AssertionError:
                    failures += 1
            if i + 1 in (20, args.loads):
                print("after %3d loads: rss %d KiB, %d fds, %d failed loads" % (
                    i + 1, rss_kib(r.pid), fd_count(r.pid), failures), flush=True)
        if not r.alive():
            print("kiv-render died:\n" + r.log())
        r.stop()
    finally:
        comp.stop()
        env.cleanup()
        subprocess.run(["rm", "-rf", media])


if __name__ == "__main__":
    main()
