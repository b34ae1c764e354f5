#!/usr/bin/python3
"""Cost of playback in kiv-render on a headless sway compositor, run by hand.

On one 1920x1080 output, for a 1920x1080 and a 3840x2160 30 fps H.264 video:
plays the file in kiv-render with each presenter (KIV_PRESENTER=gl and shm),
in mpv fullscreen with its OpenGL output (--vo=gpu) and its shared-memory
output (--vo=wlshm), and in mpv decoding alone (--vo=null), in turns for a
number of rounds (after one unmeasured warm-up of each), so that a drift of
the machine weighs on all alike. Then, per presenter, the video paused and a
still; then a second, equal output and the video again. For each it reports
CPU share (from the scheduler's nanosecond run times of all threads), CPU
time per presented frame, frames per second per output, context switches per
second of all threads and wake-ups per second of the main thread, resident
memory, and the compositor's own CPU share, so that a buffer format the
compositor must convert shows at once. Ends with the ratios of the rounds'
medians against the targets.

    /usr/bin/python3 bench/video_cost.py [--seconds 20] [--rounds 5] [--build build]
        [--media DIR]   keep the encoded videos there and reuse them
        [--prepare]     only encode the videos (no compositor), then stop
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


PRESENTERS = ("gl", "shm")
VIDEOS = (("hd", "1920x1080"), ("uhd", "3840x2160"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--media")
    ap.add_argument("--prepare", action="store_true")
    args = ap.parse_args()
    render_bin = os.path.join(os.path.abspath(args.build), "render", "kiv-render")

    media = args.media or tempfile.mkdtemp(prefix="kiv-bench-")
    os.makedirs(media, exist_ok=True)
    length = int(args.seconds * 2 + 10)  # looped; long enough to seldom wrap
    videos = {}
    for name, size in VIDEOS:
        videos[name] = os.path.join(media, "%s-%d.mp4" % (name, length))
        if not os.path.exists(videos[name]):
            print("encoding a %d s %s 30 fps H.264 video..." % (length, size), flush=True)
            ffmpeg("-f", "lavfi", "-i", "testsrc2=size=%s:rate=30" % size, "-t", str(length),
                   "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
                   videos[name] + ".part.mp4", timeout=None)
            os.rename(videos[name] + ".part.mp4", videos[name])
    still = os.path.join(media, "hd.png")
    if not os.path.exists(still):
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1920x1080", "-frames:v", "1", still,
               timeout=None)
    if args.prepare:
        return

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

    def start_render(presenter):
        env.vars["KIV_PRESENTER"] = presenter
        r = Proc([render_bin, "--socket", sock], env, "kiv-render")
        if not r.wait_ready(30, "renderer"):
            sys.exit("kiv-render did not start:\n" + r.log())
        if status().get("presenter") != presenter:
            sys.exit("kiv-render draws with %r, not %s" % (status().get("presenter"), presenter))
        return r

    def play(video):
        request_json(sock, {"cmd": "load", "path": video, "kind": "video"})
        wait_for(lambda: status()["ready"], 30, what="video ready")
        time.sleep(2)

    def play_kiv(presenter, video, seconds, outputs=1):
        r = start_render(presenter)
        try:
            if outputs > 1:
                wait_for(lambda: status()["outputs"] == outputs, 30, what="%d outputs" % outputs)
            play(video)
            return measure(r.pid, seconds, swaps, sway, outputs=outputs)
        finally:
            r.stop()

    def play_mpv(vo, video, seconds):
        ipc = os.path.join(media, "mpv.sock")
        menv = comp.client_env()
        argv = ["mpv", "--vo=" + vo, "--loop-file=inf", "--no-audio", "--no-config",
                "--really-quiet", "--input-ipc-server=" + ipc]
        if vo == "gpu":
            argv += ["--gpu-context=wayland", "--gpu-api=opengl"]
        if vo != "null":
            argv.append("--fs")
        mpv = subprocess.Popen(argv + [video], env=menv, stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: os.path.exists(ipc), 30, what="mpv IPC socket")
            wait_for(lambda: (mpv_ipc(ipc, "get_property", "time-pos") or 0) > 1, 30,
                     what="mpv playing")
            # Frames mpv put on screen (or, decoding alone, passed on): the
            # frame number reached minus the frames it dropped on the way.
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

    players = [("kiv-render gl", lambda v, t: play_kiv("gl", v, t)),
               ("kiv-render shm", lambda v, t: play_kiv("shm", v, t)),
               ("mpv --vo=gpu", lambda v, t: play_mpv("gpu", v, t)),
               ("mpv --vo=wlshm", lambda v, t: play_mpv("wlshm", v, t)),
               ("mpv decoding alone", lambda v, t: play_mpv("null", v, t))]

    try:
        for name, _ in VIDEOS:
            video = videos[name]
            # Warm-up: the first start of each pays for the driver's shader
            # compilation and cold caches.
            for _, run in players:
                run(video, 2)
            rounds = {label: [] for label, _ in players}
            for n in range(max(args.rounds, 1)):
                for label, run in players:
                    rounds[label].append(run(video, args.seconds))
                    show("%s %s (%d)" % (name, label, n + 1), rounds[label][-1])
            for label, runs in rounds.items():
                results[(name, label)] = median_of(runs)
                show("median: %s %s" % (name, label), results[(name, label)])
                spread(runs)

        idle_seconds = max(args.seconds, 15)
        for presenter in PRESENTERS:
            r = start_render(presenter)
            play(videos["hd"])
            request_json(sock, {"cmd": "pause"})
            time.sleep(1)
            # Idle costs are tiny: measure them for longer.
            results[("paused", presenter)] = measure(r.pid, idle_seconds, swaps, sway)
            show("kiv-render %s paused" % presenter, results[("paused", presenter)])
            request_json(sock, {"cmd": "load", "path": still, "kind": "still"}, timeout=30)
            time.sleep(2)
            results[("still", presenter)] = measure(r.pid, idle_seconds, swaps, sway)
            show("kiv-render %s still" % presenter, results[("still", presenter)])
            r.stop()

        second = comp.create_output()
        comp.resolution(second, 1920, 1080)
        for presenter in PRESENTERS:
            runs = []
            for n in range(max(args.rounds, 1)):
                runs.append(play_kiv(presenter, videos["hd"], args.seconds, outputs=2))
                show("hd kiv-render %s, 2 outputs (%d)" % (presenter, n + 1), runs[-1])
            results[("two", presenter)] = median_of(runs)
            show("median: kiv-render %s, 2 out." % presenter, results[("two", presenter)])
            spread(runs)

        def cpu(key):
            return results[key]["cpu_share"]

        hd = lambda label: ("hd", label)  # noqa: E731
        print("ratios:")
        verdict("gl: kiv-render / mpv --vo=gpu CPU",
                cpu(hd("kiv-render gl")) / cpu(hd("mpv --vo=gpu")), 1.0)
        verdict("gl: compositor CPU with kiv-render / with mpv --vo=gpu",
                results[hd("kiv-render gl")]["compositor_share"]
                / results[hd("mpv --vo=gpu")]["compositor_share"], 3.5)
        verdict("gl: two outputs / one output CPU", cpu(("two", "gl")) / cpu(hd("kiv-render gl")),
                1.3)
        verdict("shm: kiv-render / mpv --vo=wlshm CPU, 1080p video",
                cpu(hd("kiv-render shm")) / cpu(hd("mpv --vo=wlshm")), 1.1)
        verdict("shm: kiv-render / mpv --vo=gpu CPU, 1080p video",
                cpu(hd("kiv-render shm")) / cpu(hd("mpv --vo=gpu")), 0.3)
        verdict("shm: kiv-render / mpv --vo=wlshm CPU, 2160p video",
                cpu(("uhd", "kiv-render shm")) / cpu(("uhd", "mpv --vo=wlshm")), 1.1)
        verdict("shm: two outputs / one output CPU",
                cpu(("two", "shm")) / cpu(hd("kiv-render shm")), 1.1)
        verdict("shm / gl: compositor CPU",
                results[hd("kiv-render shm")]["compositor_share"]
                / results[hd("kiv-render gl")]["compositor_share"], 1.0)
        verdict("shm / gl: renderer RSS",
                results[hd("kiv-render shm")]["rss_mib"] / results[hd("kiv-render gl")]["rss_mib"],
                1.0)
        print("  %-52s %8.3f" % ("shm: kiv-render / decoding alone CPU, 1080p video",
                                 cpu(hd("kiv-render shm")) / cpu(hd("mpv decoding alone"))))
        for presenter in PRESENTERS:
            # Full rate, give or take the frames a measuring window cuts.
            fps = results[("two", presenter)]["fps"]
            print("  %-52s %8.1f  target >= %-6g %s" % (
                "%s: frames/s per output, two outputs" % presenter, fps, 29.5,
                "ok" if fps >= 29.5 else "MISSED"))
            for state in ("paused", "still"):
                m = results[(state, presenter)]
                verdict("%s: %s kiv-render, CPU cores" % (presenter, state), m["cpu_share"], 0.001)
                verdict("%s: %s kiv-render, main-thread wake-ups/s" % (presenter, state),
                        m["main_wakeups_per_s"], 1.0)
    finally:
        comp.stop()
        env.cleanup()
        if not args.media:
            subprocess.run(["rm", "-rf", media])


if __name__ == "__main__":
    main()
