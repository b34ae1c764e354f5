#!/usr/bin/python3
"""Proxies of oversized videos, run by hand, on one 1920x1080 output of a
headless sway compositor with the real kivd and kiv-render:

1. conversion time of a 10 s 3840x2160 30 fps H.264 video into its
   1920x1080 proxy through kivd (from the job's start, as `kiv status`
   reports it, until the proxy exists)
   against the same command (nice, ffmpeg and its arguments) run directly,
   in turns, with the player paused so that the original does not compete;
2. kiv-render's CPU seconds per second while the original plays (proxies
   switched off), while its proxy plays, and while a native 1920x1080 30 fps
   file of the same pictures plays, in turns for a number of rounds; the
   medians and their ratios against the targets (proxy at most 1.1 times the
   native file; conversion at most 1.05 times the direct run).

    /usr/bin/python3 bench/proxy_cost.py [--seconds 10] [--rounds 3] [--build build]
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
from video_cost import cpu_seconds  # noqa: E402


def direct_command(source, output):
    """What kivd runs for a 1920x1080 proxy of source."""
    threads = max(1, min(4, os.cpu_count() or 1))
    return ["nice", "-n", "10", "ffmpeg", "-y", "-v", "error", "-nostdin", "-xerror",
            "-abort_on", "empty_output", "-i", source, "-map", "0:v:0", "-map", "0:a:0?",
            "-vf", "scale=1920:1080:flags=lanczos,format=yuv420p", "-c:v", "libx264",
            "-preset", "medium", "-crf", "18", "-threads", str(threads), "-c:a", "copy", "-sn",
            "-dn", output]


def kiv(build, env, *args):
    subprocess.run([os.path.join(build, "cli", "kiv")] + list(args), env=env.vars,
                   check=True, capture_output=True, timeout=60)


def status(env):
    return request_json(env.daemon_socket, {"cmd": "status"}, timeout=30)


def proxies(env):
    d = os.path.join(env.cache, "kiv", "proxy")
    try:
        return [os.path.join(d, n) for n in os.listdir(d) if ".part-" not in n]
    except FileNotFoundError:
        return []


def write_config(env, proxy):
    os.makedirs(os.path.join(env.config, "kiv"), exist_ok=True)
    with open(os.path.join(env.config, "kiv", "config.toml"), "w") as f:
        f.write("[transcode]\nproxy = %s\n" % ("true" if proxy else "false"))


def start(build, comp):
    env = Env()
    comp.client_env(env.vars)
    env.vars["KIV_DRM_DPMS"] = "0"
    env.vars["PATH"] = "/usr/local/bin:/usr/bin:/bin"
    d = Proc([os.path.join(build, "daemon", "kivd")], env, "kivd")
    if not d.wait_ready(30, "kivd"):
        sys.exit("kivd did not start:\n" + d.log())
    return env, d


def show(build, env, path, loaded):
    kiv(build, env, "set", path)

    def ready():
        s = status(env)
        return s["media_ready"] and s["loaded_path"] == loaded
    wait_for(ready, 600, 0.05, "%s playing" % path)


def conversion(build, comp, source, rounds, scratch):
    direct, daemon = [], []
    for _ in range(rounds):
        t0 = time.monotonic()
        subprocess.run(direct_command(source, os.path.join(scratch, "direct.mkv")), check=True,
                       stdin=subprocess.DEVNULL)
        direct.append(time.monotonic() - t0)

        env, d = start(build, comp)
        try:
            # The original would play meanwhile and take CPU from ffmpeg; paused,
            # what is left is what the daemon adds.
            kiv(build, env, "pause")
            kiv(build, env, "set", source)
            # From the job's start: the renderer's start and its first
            # report of the outputs come before it and are not conversion.
            wait_for(lambda: status(env)["job_running"] or proxies(env), 600, 0.02,
                     "the conversion started")
            t0 = time.monotonic()
            wait_for(lambda: proxies(env), 1800, 0.02, "the proxy")
            daemon.append(time.monotonic() - t0)
            wait_for(lambda: not status(env)["job_running"], 60, 0.05, "the job collected")
        finally:
            d.stop()
            env.cleanup()
    return statistics.median(direct), statistics.median(daemon)


def renderer_pid(env):
    with open(os.path.join(env.root, "kivd.out"), "rb") as f:
        text = f.read().decode(errors="replace")
    marker = "kiv-render spawned pid="
    return int(text[text.rindex(marker) + len(marker):].split()[0])


def playback(build, comp, source, native, seconds, rounds):
    env, d = start(build, comp)
    try:
        write_config(env, True)
        kiv(build, env, "reload-config")
        kiv(build, env, "set", source)
        wait_for(lambda: status(env)["proxy_for"] == source and status(env)["media_ready"], 1800,
                 0.1, "the proxy playing")
        proxy = status(env)["loaded_path"]
        costs = {"original": [], "proxy": [], "native": []}
        for _ in range(rounds + 1):
            for name in ("native", "original", "proxy"):
                if name == "native":
                    show(build, env, native, native)
                else:
                    write_config(env, name == "proxy")
                    kiv(build, env, "reload-config")
                    show(build, env, source, proxy if name == "proxy" else source)
                time.sleep(2)  # the fade and the first frames settle
                pid = renderer_pid(env)
                c0, t0 = cpu_seconds(pid), time.monotonic()
                time.sleep(seconds)
                costs[name].append((cpu_seconds(pid) - c0) / (time.monotonic() - t0))
        # The first round warms up.
        return {k: statistics.median(v[1:]) for k, v in costs.items()}
    finally:
        d.stop()
        env.cleanup()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    build = os.path.abspath(args.build)

    scratch = tempfile.mkdtemp(prefix="kiv-proxy-bench-")
    comp = Compositor().start()
    try:
        source = os.path.join(scratch, "uhd.mp4")
        native = os.path.join(scratch, "hd.mp4")
        for path, size in ((source, "3840x2160"), (native, "1920x1080")):
            ffmpeg("-f", "lavfi", "-i", "testsrc2=size=%s:rate=30" % size, "-t", "10",
                   "-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-pix_fmt", "yuv420p",
                   path, timeout=None)
        direct, daemon = conversion(build, comp, source, args.rounds, scratch)
        print("conversion of a 10 s 3840x2160 30 fps video into its 1920x1080 proxy "
              "(median of %d): the command directly %.2f s, through kivd %.2f s (ratio %.3f, "
              "target <= 1.05); load average %.1f" % (args.rounds, direct, daemon,
                                                       daemon / direct, os.getloadavg()[0]),
              flush=True)
        c = playback(build, comp, source, native, args.seconds, args.rounds)
        print("kiv-render CPU-s/s (median of %d rounds of %.0f s): original 3840x2160 %.3f, "
              "its proxy %.3f, native 1920x1080 %.3f; proxy / native %.3f (target <= 1.1), "
              "original / native %.3f"
              % (args.rounds, args.seconds, c["original"], c["proxy"], c["native"],
                 c["proxy"] / c["native"], c["original"] / c["native"]))
        print("load average %.1f on %d cores" % (os.getloadavg()[0], os.cpu_count() or 1))
    finally:
        comp.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
