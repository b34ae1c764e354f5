#!/usr/bin/python3
"""Cost of the lock-screen frame feed in kiv-render, run by hand.

Plays a 1920x1080 30 fps H.264 video on one 1920x1080 output of a headless
sway compositor and measures the renderer's CPU time per presented frame; then
switches the renderer to the lock feed with one kiv-feed-client acknowledging
every frame and measures its CPU time per fed frame. The difference is the
read-back of each frame into shared memory. Prints both and their ratio, and
the client's own cost.

    /usr/bin/python3 bench/feed_cost.py [--seconds 20] [--build build]
"""

import argparse
import os
import re
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from compositor import Compositor, ffmpeg  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402
from video_cost import cpu_seconds, measure, show  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    render_bin = os.path.join(build, "render", "kiv-render")
    client_bin = os.path.join(build, "feedclient", "kiv-feed-client")

    media = tempfile.mkdtemp(prefix="kiv-bench-")
    video = os.path.join(media, "hd.mp4")
    length = int(args.seconds * 2 + 10)
    print("encoding a %d s 1920x1080 30 fps H.264 video..." % length, flush=True)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-t", str(length),
           "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", video, timeout=None)

    comp = Compositor().start()
    env = Env()
    comp.client_env(env.vars)
    sock = os.path.join(env.runtime, "render.sock")
    feed_sock = os.path.join(env.runtime, "lock-feed.sock")
    procs = []
    try:
        r = Proc([render_bin, "--socket", sock], env, "kiv-render")
        procs.append(r)
        if not r.wait_ready(30, "renderer"):
            sys.exit("kiv-render did not start:\n" + r.log())

        def status():
            return request_json(sock, {"cmd": "status"})

        request_json(sock, {"cmd": "load", "path": video, "kind": "video"})
        wait_for(lambda: status()["ready"], 30, what="video ready")
        time.sleep(2)
        drawn = measure(r.pid, args.seconds, lambda: status()["swaps"])
        show("drawn on one output", drawn)

        request_json(sock, {"cmd": "feed"})
        client = Proc([client_bin, "--socket", feed_sock, "--verbose"], env, "feed-client")
        procs.append(client)

        def fed_frames():
            return len(re.findall(r"^frame ", client.stdout(), re.M))
        wait_for(lambda: fed_frames() > 30, 60, what="frames reaching the client")
        slots = re.search(r"^config (\S+)", client.stdout(), re.M).group(1)
        client_cpu = cpu_seconds(client.pid)
        fed = measure(r.pid, args.seconds, fed_frames)
        client_cpu = cpu_seconds(client.pid) - client_cpu
        show("fed to one client", fed)
        print("slots %s; client %.2f ms CPU/frame (with --verbose output)" % (
            slots, 1000 * client_cpu / fed["frames"] if fed["frames"] else float("nan")))
        print("ratio fed / drawn: cpu per frame %.2f, cpu %.2f" % (
            fed["cpu_ms_per_frame"] / drawn["cpu_ms_per_frame"],
            fed["cpu_share"] / drawn["cpu_share"]))
    finally:
        for p in reversed(procs):
            p.stop()
        comp.stop()
        env.cleanup()
        for name in os.listdir(media):
            os.unlink(os.path.join(media, name))
        os.rmdir(media)


if __name__ == "__main__":
    main()
