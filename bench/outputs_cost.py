#!/usr/bin/python3
"""Cost of backgrounds per output in kiv-render on a headless sway
compositor, run by hand.

Three cases, each in its own compositor, in turns for a number of rounds
(after one unmeasured warm-up round), so that a drift of the machine weighs on
all alike:

  one      one 1920x1080 output playing one 1920x1080 30 fps H.264 video;
  two      two such outputs, the first playing that video (the default
           background), the second another one of its own;
  shared   two such outputs both playing the one video.

Reports kiv-render's CPU share (the scheduler's run times of all its threads)
and frames per second per output, and the ratios of the rounds' medians
against the targets: two <= 2.1 x one, shared <= 1.1 x one.

    /usr/bin/python3 bench/outputs_cost.py [--seconds 15] [--rounds 3] [--build build]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
sys.path.insert(0, HERE)

from compositor import Compositor, ffmpeg  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402
from video_cost import measure, show, verdict  # noqa: E402


def run_case(case, args, render_bin, videos):
    comp = Compositor(outputs=1 if case == "one" else 2).start()
    env = Env()
    comp.client_env(env.vars)
    sock = os.path.join(env.runtime, "render.sock")
    r = Proc([render_bin, "--socket", sock], env, "kiv-render")
    try:
        if not r.wait_ready(30, "renderer"):
            sys.exit("kiv-render did not start:\n" + r.log())

        def status():
            return request_json(sock, {"cmd": "status"})
        request_json(sock, {"cmd": "load", "path": videos[0], "kind": "video"})
        if case == "two":
            request_json(sock, {"cmd": "load", "path": videos[1], "kind": "video",
                                "outputs": ["HEADLESS-2"]})
        wait_for(lambda: all(o["ready"] for o in status()["output_list"]), 60,
                 what="videos ready")
        time.sleep(2)
        outputs = 1 if case == "one" else 2
        return measure(r.pid, args.seconds, lambda: status()["swaps"], comp.proc.pid, outputs)
    finally:
        r.stop()
        comp.stop()
        env.cleanup()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    render_bin = os.path.join(os.path.abspath(args.build), "render", "kiv-render")

    media = tempfile.mkdtemp(prefix="kiv-bench-outputs-")
    length = int(args.seconds * 2 + 10)  # looped; long enough to seldom wrap
    videos = [os.path.join(media, "a.mp4"), os.path.join(media, "b.mp4")]
    print("encoding two %d s 1920x1080 30 fps H.264 videos..." % length, flush=True)
    for path, source in zip(videos, ("testsrc2", "testsrc")):
        ffmpeg("-f", "lavfi", "-i", "%s=size=1920x1080:rate=30" % source, "-t", str(length),
               "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", path,
               timeout=None)
    cases = ("one", "two", "shared")
    runs = {c: [] for c in cases}
    try:
        for c in cases:
            run_case(c, args, render_bin, videos)  # warm-up
        for i in range(args.rounds):
            for c in cases:
                m = run_case(c, args, render_bin, videos)
                runs[c].append(m)
                show("%s (round %d)" % (c, i + 1), m)
    finally:
        shutil.rmtree(media, ignore_errors=True)
    med = {c: statistics.median(m["cpu_share"] for m in runs[c]) for c in cases}
    for c in cases:
        print("%-8s median cpu %.3f cores" % (c, med[c]))
    verdict("two outputs, two videos / one output, one video", med["two"] / med["one"], 2.1)
    verdict("two equal outputs, one video / one output, one video", med["shared"] / med["one"],
            1.1)


if __name__ == "__main__":
    main()
