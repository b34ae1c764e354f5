#!/usr/bin/python3
"""GIF backgrounds, run by hand:

1. conversion time of a 10 s 1280x720 GIF through kivd (from `kiv set` until
   the cached video exists) against the same ffmpeg command run directly, and
   their ratio; on a busy machine ffmpeg's own run time varies far more than
   what the daemon adds, so that part (the time through kivd less ffmpeg's own
   run, timed by a wrapper) is reported too;
2. time from `kiv set` of an already converted GIF until kivd reports
   media_ready, against a plain video of the same size and content, with the
   real kiv-render on a headless sway compositor.

    /usr/bin/python3 bench/gif_cost.py [--runs 3] [--switches 10] [--build build]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from compositor import Compositor, ffmpeg  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402

# The daemon's defaults: gif_fps, gif_crf, max_width, max_height.
FPS, CRF, MAX_W, MAX_H = 20, 20, 2560, 1440


def direct_command(source, output):
    threads = max(1, min(4, os.cpu_count() or 1))
    vf = ("fps=%d,scale='min(iw,%d)':'min(ih,%d)':force_original_aspect_ratio=decrease:"
          "flags=lanczos,scale='max(2,trunc(iw/2)*2)':'max(2,trunc(ih/2)*2)',format=yuv420p"
          % (FPS, MAX_W, MAX_H))
    return ["ffmpeg", "-y", "-v", "error", "-nostdin", "-i", source, "-map", "0:v:0",
            "-vf", vf, "-an", "-c:v", "libx264", "-threads", str(threads), "-preset",
            "veryfast", "-crf", str(CRF), "-movflags", "+faststart", "-r", str(FPS), output]


def kiv(bin_dir, env, *args):
    subprocess.run([os.path.join(bin_dir, "cli", "kiv")] + list(args), env=env.vars,
                   check=True, capture_output=True, timeout=60)


def status(env):
    return request_json(env.daemon_socket, {"cmd": "status"}, timeout=30)


def cached_videos(env):
    d = os.path.join(env.cache, "kiv", "gif")
    try:
        return [n for n in os.listdir(d) if n.endswith(".mp4") and ".part-" not in n]
    except FileNotFoundError:
        return []


def start_daemon(build, env):
    d = Proc([os.path.join(build, "daemon", "kivd")], env, "kivd")
    if not d.wait_ready(30, "kivd"):
        sys.exit("kivd did not start:\n" + d.log())
    return d


# Times ffmpeg's own run, so that what the daemon adds can be told apart from
# the machine's load, which moves ffmpeg's run time far more than that.
TIMER = """#!/bin/bash
start=$(date +%%s%%N)
%s "$@"
rc=$?
echo $(( $(date +%%s%%N) - start )) >> %s
exit $rc
"""


def conversion(build, gif, runs, scratch):
    real = shutil.which("ffmpeg")
    timer_dir = os.path.join(scratch, "timer")
    os.makedirs(timer_dir, exist_ok=True)
    runs_log = os.path.join(scratch, "ffmpeg-ns")
    with open(os.path.join(timer_dir, "ffmpeg"), "w") as f:
        f.write(TIMER % (real, runs_log))
    os.chmod(os.path.join(timer_dir, "ffmpeg"), 0o755)

    def last_run():
        with open(runs_log) as f:
            return int(f.read().split()[-1]) / 1e9

    direct, daemon, overhead = [], [], []
    for _ in range(runs):
        out = os.path.join(scratch, "direct.mp4")
        argv = direct_command(gif, out)
        argv[0] = os.path.join(timer_dir, "ffmpeg")
        t0 = time.monotonic()
        subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)
        direct.append(time.monotonic() - t0)

        # A fresh cache each run, and no renderer needed: the conversion is
        # done before the daemon picks an engine.
        env = Env()
        env.vars["PATH"] = timer_dir + ":" + env.vars.get("PATH", "/usr/bin:/bin")
        d = start_daemon(build, env)
        try:
            t0 = time.monotonic()
            kiv(build, env, "set", gif)
            wait_for(lambda: cached_videos(env), 600, 0.01, "the cached video")
            daemon.append(time.monotonic() - t0)
            overhead.append(daemon[-1] - last_run())
        finally:
            d.stop()
            env.cleanup()
    return statistics.median(direct), statistics.median(daemon), statistics.median(overhead)


def time_to_ready(build, env, path, loaded):
    t0 = time.monotonic()
    kiv(build, env, "set", path)
    def ready():
        s = status(env)
        return s["media_ready"] and s["loaded_path"] == loaded
    wait_for(ready, 120, 0.01, "%s ready" % path)
    return time.monotonic() - t0


def switching(build, gif, video, switches):
    comp = Compositor().start()
    env = Env()
    comp.client_env(env.vars)
    env.vars["KIV_DRM_DPMS"] = "0"
    # No theme shell here: every background goes to kiv-render.
    env.vars["PATH"] = "/usr/local/bin:/usr/bin:/bin"
    d = start_daemon(build, env)
    try:
        kiv(build, env, "set", gif)
        wait_for(lambda: cached_videos(env), 600, 0.05, "the first conversion")
        cached = os.path.join(env.cache, "kiv", "gif", cached_videos(env)[0])
        time_to_ready(build, env, gif, cached)
        gif_times, video_times = [], []
        for _ in range(switches):
            video_times.append(time_to_ready(build, env, video, video))
            gif_times.append(time_to_ready(build, env, gif, cached))
        return statistics.median(gif_times), statistics.median(video_times)
    finally:
        d.stop()
        env.cleanup()
        comp.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--switches", type=int, default=10)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    build = os.path.abspath(args.build)

    scratch = tempfile.mkdtemp(prefix="kiv-gif-bench-")
    try:
        gif = os.path.join(scratch, "wave.gif")
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=15", "-t", "10", gif,
               timeout=None)
        direct, daemon, overhead = conversion(build, gif, args.runs, scratch)
        print("conversion of a 10 s 1280x720 GIF (median of %d): ffmpeg directly %.2f s; "
              "through kivd, from `kiv set` until the cached video exists, %.2f s (ratio %.3f); "
              "of which not ffmpeg's own run %.3f s (ratio to the direct run %.3f)"
              % (args.runs, direct, daemon, daemon / direct, overhead,
                 (direct + overhead) / direct), flush=True)

        # The same pictures as a plain video: the directly converted file.
        video = os.path.join(scratch, "plain.mp4")
        subprocess.run(direct_command(gif, video), check=True, stdin=subprocess.DEVNULL)
        cached_gif, plain = switching(build, gif, video, args.switches)
        print("kiv set to media_ready (median of %d): cached GIF %.3f s, plain video %.3f s"
              % (args.switches, cached_gif, plain))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
