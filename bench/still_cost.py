#!/usr/bin/python3
"""Stills and one-frame GIFs through kivd and kiv-render on a headless sway
compositor, run by hand:

1. what a background costs once it is shown: kiv-render's (and kivd's) CPU
   seconds per second over a stretch of time after loading, for a one-frame
   GIF, a still PNG and, beside them, a 1280x720 24 fps video;
2. the time from `kiv set` until kivd reports media_ready, for still formats
   at 3840x2160 (JPEG, PNG, WebP, JPEG XL, AVIF, SVG) on a 3840x2160 output,
   each set after a small other still so that every set is a change.

The pictures are Debian's wallpapers (sway-backgrounds, gnome-backgrounds,
desktop-base) and files derived from them with ffmpeg and avifenc.

    /usr/bin/python3 bench/still_cost.py [--seconds 10] [--runs 5] [--build build]
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

from compositor import Compositor  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402
import realmedia  # noqa: E402
from realmedia import ffmpeg  # noqa: E402


def cpu_seconds(pid):
    """Run time of the live threads in nanoseconds, as seconds."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def renderer_pid(daemon_pid):
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % name) as f:
                comm = f.read().strip()
        except OSError:
            continue
        if int(fields[1]) == daemon_pid and comm == "kiv-render":
            return int(name)
    return None


class System:
    def __init__(self, build, width, height):
        self.build = build
        self.comp = Compositor().start()
        self.comp.resolution("HEADLESS-1", width, height)
        self.env = Env()
        self.comp.client_env(self.env.vars)
        self.env.vars["KIV_DRM_DPMS"] = "0"
        # No theme shell: every still goes to kiv-render.
        self.env.vars["PATH"] = "/usr/local/bin:/usr/bin:/bin"
        self.daemon = Proc([os.path.join(build, "daemon", "kivd")], self.env, "kivd")
        if not self.daemon.wait_ready(30, "kivd"):
            sys.exit("kivd did not start:\n" + self.daemon.log())

    def stop(self):
        self.daemon.stop()
        self.env.cleanup()
        self.comp.stop()

    def status(self):
        return request_json(self.env.daemon_socket, {"cmd": "status"}, timeout=30)

    def set(self, path):
        """Seconds from `kiv set` until media_ready for path."""
        t0 = time.monotonic()
        r = subprocess.run([os.path.join(self.build, "cli", "kiv"), "set", path],
                           env=self.env.vars, capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            sys.exit("kiv set %s: %s%s" % (path, r.stdout, r.stderr))

        def ready():
            s = self.status()
            return s["media_ready"] and s["source_path"] == path
        wait_for(ready, 120, 0.005, "%s ready" % path)
        return time.monotonic() - t0

    def cost(self, path, seconds):
        """CPU seconds per second of kiv-render and kivd once path is shown."""
        self.set(path)
        time.sleep(2.0)  # the fade and the first frames are loading, not showing
        render = renderer_pid(self.daemon.pid)
        r0, d0, t0 = cpu_seconds(render), cpu_seconds(self.daemon.pid), time.monotonic()
        time.sleep(seconds)
        r1, d1, t1 = cpu_seconds(render), cpu_seconds(self.daemon.pid), time.monotonic()
        s = self.status()
        return (r1 - r0) / (t1 - t0), (d1 - d0) / (t1 - t0), s["source_kind"], s["job_running"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    missing = realmedia.missing_package_files()
    if missing:
        sys.exit("wallpaper packages missing: %s (run scripts/install-deps)" % ", ".join(missing))

    scratch = tempfile.mkdtemp(prefix="kiv-still-bench-")
    try:
        def at(name):
            return os.path.join(scratch, name)
        gif = at("frame.gif")
        ffmpeg("-i", realmedia.SWAY_PNG, "-vf",
               "split[a][b];[a]palettegen[p];[b][p]paletteuse", "-frames:v", "1", gif)
        video = at("clip.mp4")
        ffmpeg("-loop", "1", "-i", realmedia.SWAY_PNG, "-vf", "scale=1280:720,scroll=h=0.002",
               "-r", "24", "-t", "10", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt",
               "yuv420p", video, timeout=None)
        small = at("small.png")
        ffmpeg("-i", realmedia.SWAY_PORTRAIT_PNG, "-vf", "scale=64:64", small)

        system = System(build, 1920, 1080)
        try:
            for name, path in (("one-frame GIF", gif), ("still PNG", realmedia.SWAY_PNG),
                               ("video 1280x720 24 fps", video)):
                render, daemon, kind, job = system.cost(path, args.seconds)
                print("%-22s kiv-render %.4f CPU-s/s, kivd %.4f CPU-s/s (kind %s, job %s)"
                      % (name, render, daemon, kind, job), flush=True)
        finally:
            system.stop()

        uhd = at("uhd.png")
        ffmpeg("-i", realmedia.GNOME_PHOTO_WEBP, "-vf",
               "scale=3840:2160:force_original_aspect_ratio=increase,crop=3840:2160", uhd)
        stills = [("JPEG", at("uhd.jpg")), ("PNG", uhd), ("WebP", at("uhd.webp")),
                  ("JPEG XL", at("uhd.jxl")), ("AVIF", at("uhd.avif")),
                  ("SVG", realmedia.DEBIAN_SVG)]
        ffmpeg("-i", uhd, "-q:v", "3", at("uhd.jpg"))
        ffmpeg("-i", uhd, "-quality", "90", at("uhd.webp"))
        ffmpeg("-i", uhd, "-c:v", "libjxl", at("uhd.jxl"), timeout=None)
        realmedia.avifenc(uhd, at("uhd.avif"), "-s", "8")
        system = System(build, 3840, 2160)
        try:
            system.set(small)
            for name, path in stills:
                times = []
                for _ in range(args.runs):
                    times.append(system.set(path))
                    system.set(small)
                print("kiv set to media_ready, %-8s 3840x2160: median %.3f s (min %.3f, max %.3f,"
                      " %d runs)" % (name, statistics.median(times), min(times), max(times),
                                     args.runs), flush=True)
        finally:
            system.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
