#!/usr/bin/python3
"""Cost of playback in kiv-render on a headless sway compositor, run by hand.

On one 1920x1080 output: plays a 1920x1080 30 fps H.264 video in kiv-render
and then the same file with mpv's own Wayland output, fullscreen, on the same
compositor, in turns for a number of rounds (after one unmeasured warm-up
round of each), so that a drift of the machine weighs on both alike; then the video paused and a still in kiv-render. Then
adds a second, equal output and plays the video in kiv-render again. For each
it reports CPU share (from the scheduler's nanosecond run times of all
threads), CPU time per presented frame, frames per second per output, context
switches per second of all threads and wake-ups per second of the main
thread, resident memory, and the compositor's own CPU share, so that a buffer
format the compositor must convert shows at once. Ends with the ratios of the
rounds' medians against the targets.

    /usr/bin/python3 bench/video_cost.py [--seconds 20] [--rounds 5] [--build build]
"""

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from compositor import Compositor, ffmpeg  # noqa: E402
from kivtest import Env, Proc, request_json, wait_for  # noqa: E402


def cpu_seconds(pid):
    """Run time of the live threads in nanoseconds, as seconds: clock ticks
    are too coarse for an idle renderer's few hundred microseconds."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def switches(pid):
    """Voluntary plus involuntary context switches summed over live threads."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def main_thread_wakeups(pid):
    """Voluntary context switches of the main thread: each is one sleep in
    poll (or a lock) that ended; preemptions by a busy machine do not count."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches"):
                return int(line.split()[1])
    return 0


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def measure(pid, seconds, frames=None, compositor=None, outputs=1):
    """frames: a callable giving a frame counter (over all outputs), read at
    both ends; compositor: its pid, whose CPU is taken over the same time."""
    # The frame counter is read outside the window: asking for it costs the
    # measured process a wake-up and some work.
    f0 = frames() if frames else 0
    c0, s0, m0 = cpu_seconds(pid), switches(pid), main_thread_wakeups(pid)
    k0 = cpu_seconds(compositor) if compositor else 0
    t0 = time.monotonic()
    time.sleep(seconds)
    c1, s1, m1 = cpu_seconds(pid), switches(pid), main_thread_wakeups(pid)
    k1 = cpu_seconds(compositor) if compositor else 0
    dt = time.monotonic() - t0
    f1 = frames() if frames else 0
    return {
        "cpu_share": (c1 - c0) / dt,
        "switches_per_s": (s1 - s0) / dt,
        "main_wakeups_per_s": (m1 - m0) / dt,
        "frames": f1 - f0,
        "fps": (f1 - f0) / dt / outputs,
        "cpu_ms_per_frame": 1000 * (c1 - c0) / (f1 - f0) if f1 > f0 else float("nan"),
        "rss_mib": rss_mib(pid),
        "compositor_share": (k1 - k0) / dt,
    }


def median_of(runs):
    """The rounds' middle figure, key by key: one round disturbed by the
    machine does not move it."""
    return {k: statistics.median(m[k] for m in runs) for k in runs[0]}


def spread(runs):
    print("  %d rounds, cpu from %.3f to %.3f cores" % (
        len(runs), min(m["cpu_share"] for m in runs), max(m["cpu_share"] for m in runs)))


def show(label, m):
    print("%-26s cpu %6.3f cores  %s  %7.1f switches/s (main wake-ups %6.1f)  %6.1f frames/s/output"
          "  rss %5.0f MiB  compositor %6.3f cores" % (
              label, m["cpu_share"],
              "%6.2f ms/frame" % m["cpu_ms_per_frame"] if m["frames"] else "      - ms/frame",
              m["switches_per_s"], m["main_wakeups_per_s"], m["fps"], m["rss_mib"],
              m["compositor_share"]), flush=True)


def verdict(label, value, limit):
    print("  %-52s %8.3f  target <= %-6g %s" % (label, value, limit,
                                                  "ok" if value <= limit else "MISSED"))


def mpv_ipc(path, *command):
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        s.connect(path)
        s.sendall((json.dumps({"command": list(command)}) + "\n").encode())
        # Events may come before the reply; the reply is the line with "error".
        buf = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return None
            buf += chunk
            *lines, buf = buf.split(b"\n")
            for line in lines:
                if line.strip():
                    msg = json.loads(line)
                    if "error" in msg:
                        return msg.get("data")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    render_bin = os.path.join(os.path.abspath(args.build), "render", "kiv-render")

    media = tempfile.mkdtemp(prefix="kiv-bench-")
    video = os.path.join(media, "hd.mp4")
    still = os.path.join(media, "hd.png")
    length = int(args.seconds * 2 + 10)  # looped; long enough to seldom wrap
    print("encoding a %d s 1920x1080 30 fps H.264 video..." % length, flush=True)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-t", str(length),
           "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", video, timeout=None)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1920x1080", "-frames:v", "1", still,
           timeout=None)

    comp = Compositor().start()
    env = Env()
    comp.client_env(env.vars)
    sock = os.path.join(env.runtime, "render.sock")
    sway = comp.proc.pid  # unshare executes sway in its own place
    results = {}

    def status():
        return request_json(sock, {"cmd": "status"})

    def swaps():
        return status()["swaps"]

    def start_render():
        r = Proc([render_bin, "--socket", sock], env, "kiv-render")
        if not r.wait_ready(30, "renderer"):
            sys.exit("kiv-render did not start:\n" + r.log())
        return r

    def play(r):
        request_json(sock, {"cmd": "load", "path": video, "kind": "video"})
        wait_for(lambda: status()["ready"], 30, what="video ready")
        time.sleep(2)

    def play_mpv(seconds=args.seconds):
        ipc = os.path.join(media, "mpv.sock")
        menv = comp.client_env()
        mpv = subprocess.Popen(["mpv", "--vo=gpu", "--gpu-context=wayland", "--gpu-api=opengl",
                                "--fs", "--loop-file=inf", "--no-audio", "--no-config",
                                "--really-quiet", "--input-ipc-server=" + ipc, video],
                               env=menv, stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: os.path.exists(ipc), 30, what="mpv IPC socket")
            wait_for(lambda: (mpv_ipc(ipc, "get_property", "time-pos") or 0) > 1, 30,
                     what="mpv playing")
            # Frames mpv put on screen: the frame number reached minus the frames
            # it dropped on the way.
            def mpv_frames():
                get = lambda name: mpv_ipc(ipc, "get_property", name) or 0  # noqa: E731
                return (get("estimated-frame-number") - get("frame-drop-count")
                        - get("decoder-frame-drop-count"))
            return measure(mpv.pid, seconds, mpv_frames, sway)
        finally:
            mpv.terminate()
            mpv.wait(10)
            if os.path.exists(ipc):
                os.unlink(ipc)

    try:
        # Warm-up: the first start of each pays for the driver's shader
        # compilation and cold caches.
        r = start_render()
        play(r)
        r.stop()
        play_mpv(seconds=2)
        # Turns, each program started afresh: kiv-render, then mpv.
        rounds = {"playing": [], "mpv": []}
        for n in range(max(args.rounds, 1)):
            r = start_render()
            play(r)
            rounds["playing"].append(measure(r.pid, args.seconds, swaps, sway))
            show("kiv-render playing (%d)" % (n + 1), rounds["playing"][-1])
            r.stop()
            rounds["mpv"].append(play_mpv())
            show("mpv playing (%d)" % (n + 1), rounds["mpv"][-1])
        for key, runs in rounds.items():
            results[key] = median_of(runs)
            show("median: " + ("kiv-render playing" if key == "playing" else "mpv playing"),
                 results[key])
            spread(runs)

        r = start_render()
        play(r)
        request_json(sock, {"cmd": "pause"})
        time.sleep(1)
        # Idle costs are tiny: measure them for longer.
        idle_seconds = max(args.seconds, 30)
        results["paused"] = measure(r.pid, idle_seconds, swaps, sway)
        show("kiv-render paused", results["paused"])

        request_json(sock, {"cmd": "load", "path": still, "kind": "still"}, timeout=30)
        time.sleep(2)
        results["still"] = measure(r.pid, idle_seconds, swaps, sway)
        show("kiv-render still", results["still"])
        r.stop()

        second = comp.create_output()
        comp.resolution(second, 1920, 1080)
        runs = []
        for n in range(max(args.rounds, 1)):
            r = start_render()
            wait_for(lambda: status()["outputs"] == 2, 30, what="two outputs")
            play(r)
            runs.append(measure(r.pid, args.seconds, swaps, sway, outputs=2))
            show("kiv-render, 2 outputs (%d)" % (n + 1), runs[-1])
            r.stop()
        results["two"] = median_of(runs)
        show("median: kiv-render, 2 out.", results["two"])
        spread(runs)

        k, m, two = results["playing"], results["mpv"], results["two"]
        print("ratios:")
        verdict("kiv-render / mpv CPU, one output", k["cpu_share"] / m["cpu_share"], 1.0)
        below = sum(a["cpu_share"] < b["cpu_share"]
                    for a, b in zip(rounds["playing"], rounds["mpv"]))
        print("  %-52s %5d of %d" % ("rounds in which kiv-render took less CPU than mpv",
                                     below, len(rounds["mpv"])))
        print("  %-52s %8.3f" % ("kiv-render / mpv CPU per frame",
                                 k["cpu_ms_per_frame"] / m["cpu_ms_per_frame"]))
        verdict("compositor CPU with kiv-render / with mpv",
                k["compositor_share"] / m["compositor_share"], 3.5)
        verdict("kiv-render CPU, two outputs / one output",
                two["cpu_share"] / k["cpu_share"], 1.3)
        # Full rate, give or take the frames a measuring window cuts.
        print("  %-52s %8.1f  target >= %-6g %s" % (
            "frames/s per output, two outputs", two["fps"], 29.5,
            "ok" if two["fps"] >= 29.5 else "MISSED"))
        verdict("paused kiv-render, CPU cores", results["paused"]["cpu_share"], 0.001)
        verdict("paused kiv-render, main-thread wake-ups/s",
                results["paused"]["main_wakeups_per_s"], 1.0)
        verdict("still kiv-render, CPU cores", results["still"]["cpu_share"], 0.001)
        verdict("still kiv-render, main-thread wake-ups/s",
                results["still"]["main_wakeups_per_s"], 1.0)
    finally:
        comp.stop()
        env.cleanup()
        subprocess.run(["rm", "-rf", media])


if __name__ == "__main__":
    main()
