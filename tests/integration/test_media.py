"""kivd driving its renderer: engine choice between the shell and kiv-render,
loads and their confirmation, recovery, restarts, playback sync and where the
renderer program is found. kiv-render is played by fake_render.py (beside a
copy of kivd, so the daemon finds it by its normal rules) and tarvine-shell by
a small script on PATH."""

import json
import os
import re
import shutil
import signal
import time
import unittest

from hyprstub import HyprStub, client, monitor
from kivtest import KIVD, KivTestCase, pid_gone, request, request_json, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
SPAWNED = re.compile(r"kiv-render spawned pid=(\d+) \(restart #(\d+)\)")

WRAPPER = """#!/usr/bin/python3
import os
import sys
sys.dont_write_bytecode = True
sys.path.insert(0, %r)
import fake_render
fake_render.main(sys.argv, where=os.path.abspath(__file__))
"""

# Fails the switch named by a file "<fail>-true" or "<fail>-false", printing
# that file's text.
SHELL = """#!/bin/sh
echo "$*" >> %(log)s
if [ -f %(fail)s-$4 ]; then cat %(fail)s-$4; exit 1; fi
exit 0
"""


class MediaTestCase(KivTestCase):

    def setUp(self):
        super().setUp()
        root = self.env.root
        self.bin = os.path.join(root, "bin")
        os.makedirs(self.bin)
        self.kivd = os.path.join(self.bin, "kivd")
        shutil.copy2(KIVD, self.kivd)
        self.render_log = os.path.join(root, "render.log")
        self.render_ctl = os.path.join(root, "render.ctl")
        self.env.vars["FAKE_RENDER_LOG"] = self.render_log
        self.env.vars["FAKE_RENDER_CONTROL"] = self.render_ctl
        self.env.vars["PYTHONDONTWRITEBYTECODE"] = "1"
        self.env.vars["KIV_DRM_DPMS"] = "0"

        shell_dir = os.path.join(root, "shellbin")
        os.makedirs(shell_dir)
        self.shell_log = os.path.join(root, "shell.log")
        self.shell_fail = os.path.join(root, "shell.fail")
        self.write_exec(os.path.join(shell_dir, "tarvine-shell"),
                        SHELL % {"log": self.shell_log, "fail": self.shell_fail})
        self.env.vars["PATH"] = shell_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin")

        media = os.path.join(root, "media")
        os.makedirs(media)
        self.media = {}
        for name in ("still1.png", "still2.jpg", "vid1.mp4", "vid2.webm"):
            path = os.path.join(media, name)
            with open(path, "wb") as f:
                f.write(b"placeholder, never decoded by the stand-in renderer\n")
            self.media[name.split(".")[0]] = path

    # -- set-up helpers ------------------------------------------------------

    @staticmethod
    def write_exec(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)

    def put_renderer(self, directory):
        path = os.path.join(directory, "kiv-render")
        self.write_exec(path, WRAPPER % HERE)
        return path

    def control(self, **members):
        tmp = self.render_ctl + ".tmp"
        with open(tmp, "w") as f:
            json.dump(members, f)
        os.rename(tmp, self.render_ctl)

    def shell_fails(self, output, switch="true"):
        with open(self.shell_fail + "-" + switch, "w") as f:
            f.write(output)

    def link(self, name):
        """Points the background link at a media file, atomically."""
        link = self.env.background_link
        os.makedirs(os.path.dirname(link), exist_ok=True)
        tmp = link + ".tmp"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.media[name], tmp)
        os.rename(tmp, link)

    def start_kivd(self, *args, kivd=None):
        d = self.start([kivd or self.kivd] + list(args), "kivd")
        sock = args[list(args).index("--socket") + 1] if "--socket" in args else \
            self.env.daemon_socket
        self.assert_ready(d, 20, "kivd ready")
        self.assertTrue(os.path.exists(sock))
        return d

    # -- observation helpers -------------------------------------------------

    def records(self):
        try:
            with open(self.render_log) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def requests(self, cmd=None, pid=None):
        out = []
        for r in self.records():
            if "req" not in r or (pid is not None and r["pid"] != pid):
                continue
            req = json.loads(r["req"])
            if cmd is None or req.get("cmd") == cmd:
                out.append(req)
        return out

    def loads_of(self, name, pid=None):
        return [r for r in self.requests("load", pid) if r.get("path") == self.media[name]]

    def spawns(self, d):
        return [(int(p), int(n)) for p, n in SPAWNED.findall(d.log())]

    def renderer_pid(self, d):
        wait_for(lambda: self.spawns(d), timeout=20, what="a renderer spawn")
        return self.spawns(d)[-1][0]

    def wait_count(self, d, text, count, timeout=20):
        wait_for(lambda: d.log().count(text) >= count, timeout=timeout,
                 what="%d x %r" % (count, text))

    def status(self):
        reply = request_json(self.env.daemon_socket, {"cmd": "status"})
        self.assertEqual(reply["status"], "ok", reply)
        return reply

    def start_on_video(self):
        """A daemon showing vid1 through the renderer, confirmed."""
        self.put_renderer(self.bin)
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["vid1"], timeout=20)
        return d


class EngineTest(MediaTestCase):

    def test_still_goes_to_shell_and_renderer_stops(self):
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        self.link("still1")
        d.wait_log("engine: shell")
        d.wait_log("renderer stopped, the shell draws the still")
        log = d.log()
        self.assertLess(log.index("engine: shell"),
                        log.index("renderer stopped, the shell draws the still"))
        wait_for(lambda: pid_gone(pid), what="renderer process gone")
        s = self.status()
        self.assertEqual((s["engine"], s["media_ready"], s["render_alive"]),
                         ("shell", True, False))
        with open(self.shell_log) as f:
            calls = f.read().splitlines()
        self.assertEqual(calls, ["shell setPluginEnabled tarvine.background false",
                                 "shell setPluginEnabled tarvine.background true"])

    def test_failing_shell_keeps_renderer_for_still(self):
        self.put_renderer(self.bin)
        self.shell_fails("no shell here")
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("shell handoff failed, keeping the renderer for the still")
        d.wait_log("engine: renderer")
        d.wait_log("media ready: %s" % self.media["still1"])
        self.assertIn("no shell here", d.log())
        self.assertEqual(self.loads_of("still1"),
                         [{"cmd": "load", "path": self.media["still1"], "kind": "still",
                           "async": True}])
        s = self.status()
        self.assertEqual((s["engine"], s["loaded_kind"], s["media_ready"]),
                         ("renderer", "still", True))

    def test_failing_shell_does_not_keep_video_off_screen(self):
        # A shell not up yet at login refuses to switch its plug-in off.
        self.put_renderer(self.bin)
        self.shell_fails("shell not running yet", switch="false")
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["vid1"], timeout=20)
        self.assertIn("shell background disable failed: shell not running yet", d.log())
        self.assertEqual(self.status()["engine"], "renderer")

    def test_without_any_shell_the_renderer_draws_and_says_so_once(self):
        self.env.vars["PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
        d = self.start_on_video()
        self.link("vid2")
        d.wait_log("media ready: %s" % self.media["vid2"], timeout=20)
        self.assertEqual(
            d.stdout().count("no tarvine-shell found; the renderer draws every background"), 1)
        self.assertFalse(os.path.exists(self.shell_log))

    def test_without_any_shell_a_still_goes_to_the_renderer_at_once(self):
        self.env.vars["PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
        self.put_renderer(self.bin)
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["still1"])
        self.link("still2")
        d.wait_log("media ready: %s" % self.media["still2"])
        for text in ("shell background enable failed", "shell handoff failed"):
            self.assertNotIn(text, d.log())
        self.assertEqual(d.log().count("engine: renderer"), 1)

    def test_video_replacing_still_fades_from_it_once(self):
        self.put_renderer(self.bin)
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("engine: shell")
        self.link("vid1")
        d.wait_log("media ready: %s" % self.media["vid1"], timeout=20)
        self.link("vid2")
        d.wait_log("media ready: %s" % self.media["vid2"], timeout=20)
        self.assertEqual(self.loads_of("vid1"),
                         [{"cmd": "load", "path": self.media["vid1"], "kind": "video",
                           "from": self.media["still1"]}])
        self.assertEqual(self.loads_of("vid2"),
                         [{"cmd": "load", "path": self.media["vid2"], "kind": "video",
                           "async": True}])
        self.assertIn("engine: renderer", d.log())


class LoadTest(MediaTestCase):

    def test_unconfirmed_video_recovers_to_previous(self):
        d = self.start_on_video()
        self.control(never_ready=[self.media["vid2"]])
        self.link("vid2")
        d.wait_log("media did not start: %s" % self.media["vid2"], timeout=30)
        d.wait_log("recovered to %s" % self.media["vid1"])
        self.wait_count(d, "media ready: %s" % self.media["vid1"], 2)
        s = self.status()
        self.assertEqual((s["failed_path"], s["loaded_path"], s["media_ready"]),
                         (self.media["vid2"], self.media["vid1"], True))
        # The failed source is not tried again while the link stays.
        time.sleep(1.5)
        self.assertEqual(len(self.loads_of("vid2")), 1)
        self.assertNotIn("cancel-load", [r["cmd"] for r in self.requests()])

    def test_first_load_failing_has_nothing_to_recover(self):
        self.put_renderer(self.bin)
        self.control(never_ready=[self.media["vid1"]])
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("media did not start: %s" % self.media["vid1"], timeout=30)
        s = self.status()
        self.assertEqual((s["failed_path"], s["media_ready"], s["engine"]),
                         (self.media["vid1"], False, "renderer"))
        self.assertNotIn("recovered to", d.log())
        self.assertEqual(len(self.requests("load")), 1)

    def test_refused_load_marks_source_failed(self):
        d = self.start_on_video()
        self.control(refuse_load=True)
        self.link("vid2")
        d.wait_log('renderer load rejected: {"status":"error","message":"video load failed"}')
        d.wait_log("renderer load failed: %s" % self.media["vid2"])
        wait_for(lambda: self.status()["failed_path"] == self.media["vid2"],
                 what="failed_path set")
        time.sleep(1.5)
        self.assertEqual(len(self.loads_of("vid2")), 1)


class IntroChangeTest(MediaTestCase):

    def test_background_changed_during_an_intro_goes_to_the_new_one(self):
        # The shell cannot take stills, so the renderer draws them and every
        # attempt at a hand-off shows in the shell's log.
        self.put_renderer(self.bin)
        self.shell_fails("no plugin", switch="true")
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["still1"])
        self.assertEqual(request_json(self.env.daemon_socket,
                                      {"cmd": "intro", "path": self.media["vid1"]}),
                         {"status": "ok"})
        cmds = len(self.requests())
        with open(self.shell_log) as f:
            calls = len(f.read().splitlines())
        self.link("still2")
        d.wait_log("intro ended: background changed")
        wait_for(lambda: d.log().count("media ready: %s" % self.media["still2"]) == 1,
                 what="still2 ready")
        self.assertEqual([r.get("path") for r in self.requests()[cmds:] if r["cmd"] == "load"],
                         [self.media["still2"]])
        with open(self.shell_log) as f:
            self.assertEqual(f.read().splitlines()[calls:],
                             ["shell setPluginEnabled tarvine.background true"])


class RestartTest(MediaTestCase):

    def test_renderer_killed_while_engine_is_restarted(self):
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        os.kill(pid, signal.SIGKILL)
        d.wait_log("kiv-render pid=%d exited status=9" % pid)
        d.wait_log("renderer died, restarting")
        wait_for(lambda: any(n == 2 for _, n in self.spawns(d)), timeout=20,
                 what="restart #2")
        new_pid = self.spawns(d)[-1][0]
        self.assertNotEqual(new_pid, pid)
        self.wait_count(d, "media ready: %s" % self.media["vid1"], 2)
        self.assertEqual(len(self.loads_of("vid1", new_pid)), 1)
        self.assertTrue(self.requests("fade", new_pid))

    def test_renderer_not_restarted_while_shell_draws(self):
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        self.link("still1")
        d.wait_log("engine: shell")
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        wait_for(lambda: "kiv-render pid=%d exited" % pid in d.log()
                 or "renderer stopped, the shell draws the still" in d.log(),
                 what="renderer gone")
        time.sleep(3.0)  # beyond the two-second restart throttle
        self.assertEqual(len(self.spawns(d)), 1, d.log())
        self.assertNotIn("renderer died, restarting", d.log())
        self.assertFalse(self.status()["render_alive"])

    def test_render_restart_command(self):
        os.makedirs(os.path.join(self.env.config, "kiv"))
        with open(os.path.join(self.env.config, "kiv", "config.toml"), "w") as f:
            f.write("[render]\nfade_ms = 700\nvolume = 30\n")
        # The old renderer ignores SIGTERM: it is killed after the grace time.
        self.control(ignore_term=True)
        d = self.start_on_video()
        old = self.renderer_pid(d)
        self.control()
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"render-restart"}',
                                 timeout=15), '{"status":"ok"}')
        self.assertEqual([n for _, n in self.spawns(d)], [1, 2])
        new = self.spawns(d)[-1][0]
        wait_for(lambda: pid_gone(old), what="old renderer gone")
        self.wait_count(d, "media ready: %s" % self.media["vid1"], 2)
        self.assertEqual(len(self.loads_of("vid1", new)), 1)
        self.assertEqual(self.requests("fade", new)[0], {"cmd": "fade", "ms": 700})
        self.assertEqual(self.requests("volume", new)[0], {"cmd": "volume", "level": 30})

    def test_fit_goes_to_every_renderer_and_follows_reload_config(self):
        os.makedirs(os.path.join(self.env.config, "kiv"))
        config_path = os.path.join(self.env.config, "kiv", "config.toml")
        with open(config_path, "w") as f:
            f.write('[render]\nfit = "contain"\nbackground_color = "#102030"\n'
                    '[output.DP-2]\nfit = center\n')
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        contain = {"cmd": "fit", "fit": "contain", "background_color": "#102030",
                   "outputs": [{"name": "DP-2", "fit": "center", "background_color": "#102030"}]}
        self.assertEqual(self.requests("fit", pid), [contain])
        with open(config_path, "w") as f:
            f.write('[output."DP-2"]\nbackground_color = "#ffffff"\n')
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"reload-config"}'),
                         '{"status":"ok"}')
        self.assertEqual(self.requests("fit", pid)[-1],
                         {"cmd": "fit", "fit": "cover", "background_color": "#000000",
                          "outputs": [{"name": "DP-2", "fit": "cover",
                                       "background_color": "#ffffff"}]})
        # The video plays on, not loaded again.
        self.assertEqual(len(self.loads_of("vid1")), 1)
        # A renderer started afresh is told again.
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"render-restart"}',
                                 timeout=15), '{"status":"ok"}')
        new = self.spawns(d)[-1][0]
        self.assertNotEqual(new, pid)
        wait_for(lambda: self.requests("fit", new), 20, 0.1, "the fit sent to the new renderer")
        self.assertEqual(self.requests("fit", new)[0]["outputs"][0]["background_color"],
                         "#ffffff")

    def test_reload_config_sets_the_volume_of_the_playing_video(self):
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        # Silent by default, from the renderer's first moment.
        self.assertEqual(self.requests("volume", pid), [{"cmd": "volume", "level": 0}])
        os.makedirs(os.path.join(self.env.config, "kiv"))
        with open(os.path.join(self.env.config, "kiv", "config.toml"), "w") as f:
            f.write("[render]\nvolume = 65\n")
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"reload-config"}'),
                         '{"status":"ok"}')
        self.assertEqual(request_json(self.env.daemon_socket, {"cmd": "config"})["volume"], 65)
        self.assertEqual(self.requests("volume", pid)[-1], {"cmd": "volume", "level": 65})
        # The video plays on: neither reloaded nor replaced by another process.
        self.assertEqual(len(self.loads_of("vid1")), 1)
        self.assertEqual(len(self.spawns(d)), 1)

    def test_slow_renderer_is_waited_for(self):
        # A renderer that takes seconds to listen (cold caches, a loaded
        # machine) is kept; one that never listens is stopped.
        self.put_renderer(self.bin)
        self.link("vid1")
        for delay, works in ((3, True), (60, False)):
            with self.subTest(delay=delay):
                self.control(start_delay=delay)
                d = self.start_kivd()
                pid = self.renderer_pid(d)
                if works:
                    d.wait_log("media ready: %s" % self.media["vid1"], timeout=30)
                    self.assertNotIn("socket never appeared", d.log())
                    self.assertEqual(self.status()["engine"], "renderer")
                else:
                    d.wait_log("kiv-render socket never appeared", timeout=30)
                    d.wait_log("renderer start failed")
                    wait_for(lambda: pid_gone(pid), what="renderer stopped")
                    self.assertEqual(self.status()["engine"], "none")
                self.assertEqual(len(self.spawns(d)), 1)
                self.procs.remove(d)
                d.stop()

    def test_commands_answered_while_the_renderer_starts(self):
        self.put_renderer(self.bin)
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("engine: shell")
        self.control(start_delay=4)
        self.link("vid1")
        self.renderer_pid(d)
        latencies = []
        until = time.monotonic() + 3
        while time.monotonic() < until:
            started = time.monotonic()
            self.assertEqual(self.status()["source_path"], self.media["vid1"])
            latencies.append(time.monotonic() - started)
            time.sleep(0.1)
        # Waiting for the renderer's socket took the whole start.
        self.assertLess(max(latencies), 1.0, latencies)
        d.wait_log("media ready: %s" % self.media["vid1"], timeout=30)
        self.assertEqual(len(self.spawns(d)), 1)

    def test_renderer_exiting_at_once(self):
        self.put_renderer(self.bin)
        self.control(exit_at_start=3)
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("renderer start failed")
        pid = self.renderer_pid(d)
        d.wait_log("kiv-render pid=%d exited status=%d" % (pid, 3 << 8))
        self.assertEqual(self.status()["engine"], "none")


class PlaybackTest(MediaTestCase):

    def test_pause_and_resume_reach_renderer_once(self):
        d = self.start_on_video()
        pid = self.renderer_pid(d)
        wait_for(lambda: self.requests("resume", pid), what="initial resume")
        pauses, resumes = len(self.requests("pause")), len(self.requests("resume"))
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"pause"}'), '{"status":"ok"}')
        self.assertEqual(len(self.requests("pause")), pauses + 1)
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"resume"}'), '{"status":"ok"}')
        self.assertEqual(len(self.requests("resume")), resumes + 1)
        time.sleep(1.5)  # several loop iterations: nothing is sent again
        self.assertEqual((len(self.requests("pause")), len(self.requests("resume"))),
                         (pauses + 1, resumes + 1))
        self.assertIn("kiv-render", d.log())

    def test_render_status_is_forwarded(self):
        self.start_on_video()
        direct = request(self.env.render_socket, '{"cmd":"status"}')
        self.assertIn('"swaps":42', direct)
        self.assertEqual(request(self.env.daemon_socket, '{"cmd":"render-status"}'), direct)


class SkipTest(MediaTestCase):

    def test_fullscreen_on_one_of_two_outputs(self):
        hypr = HyprStub(self.env.runtime, "sig-skip",
                        clients=[client(workspace=2, fullscreen=0)],
                        monitors=[monitor("HEADLESS-1", workspace=1),
                                  monitor("HEADLESS-2", workspace=2, id=1)]).start()
        self.addCleanup(hypr.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-skip"
        d = self.start_on_video()
        hypr.wait_event_client()
        pid = self.renderer_pid(d)

        hypr.set_state(clients=[client(workspace=2, fullscreen=2)])
        hypr.send_event("fullscreen>>1\n")
        wait_for(lambda: self.requests("skip", pid), what="skip sent")
        self.assertEqual(self.requests("skip", pid), [{"cmd": "skip", "outputs": ["HEADLESS-2"]}])
        self.assertFalse(self.status()["paused"])

        hypr.set_state(clients=[client(workspace=2, fullscreen=0)])
        hypr.send_event("fullscreen>>0\n")
        wait_for(lambda: len(self.requests("skip", pid)) >= 2, what="empty skip sent")
        time.sleep(1.5)
        self.assertEqual(self.requests("skip", pid),
                         [{"cmd": "skip", "outputs": ["HEADLESS-2"]},
                          {"cmd": "skip", "outputs": []}])


class LockFeedTest(MediaTestCase):

    def test_renderer_that_cannot_feed_is_paused_while_locked(self):
        hypr = HyprStub(self.env.runtime, "sig-lock", monitors=[monitor("HEADLESS-1")]).start()
        self.addCleanup(hypr.vanish)
        self.env.vars["HYPRLAND_INSTANCE_SIGNATURE"] = "sig-lock"
        self.control(refuse_feed=True)
        d = self.start_on_video()
        hypr.wait_event_client()
        pid = self.renderer_pid(d)
        wait_for(lambda: self.requests("resume", pid), what="initial resume")

        # No event tells of a lock: the periodic monitors request sees it.
        hypr.set_state(locked=True)
        wait_for(lambda: self.requests("pause", pid), what="pause after the refused feed")
        cmds = [r["cmd"] for r in self.requests(pid=pid)]
        self.assertLess(cmds.index("feed"), cmds.index("pause"), cmds)

        hypr.set_state(locked=False)
        wait_for(lambda: len(self.requests("resume", pid)) >= 2, what="resume after unlock")
        self.assertEqual(self.requests("feed-stop", pid), [])


class SearchTest(MediaTestCase):

    def test_executable_search_order(self):
        root = self.env.root
        cases = [
            # name, kivd's directory, directories holding a kiv-render, the one that runs
            ("beside kivd", "t1/bin", ["t1/bin", "t1/render", "p1"], "t1/bin"),
            ("sibling render directory", "t2/bin", ["t2/render", "p2"], "t2/render"),
            ("PATH", "t3/bin", ["p3"], "p3"),
        ]
        self.link("vid1")
        base_path = self.env.vars["PATH"]
        self.addCleanup(self.env.vars.__setitem__, "PATH", base_path)
        for name, kivd_dir, dirs, expected in cases:
            with self.subTest(name):
                kivd = os.path.join(root, kivd_dir, "kivd")
                os.makedirs(os.path.dirname(kivd), exist_ok=True)
                shutil.copy2(KIVD, kivd)
                for sub in dirs:
                    self.put_renderer(os.path.join(root, sub))
                on_path = [os.path.join(root, s) for s in dirs if s.startswith("p")]
                self.env.vars["PATH"] = ":".join(on_path + [base_path])
                # The renderer follows the daemon socket into its directory.
                sock = os.path.join(root, "sock-" + kivd_dir.split("/")[0], "d.sock")
                open(self.render_log, "w").close()
                d = self.start_kivd("--socket", sock, kivd=kivd)
                wait_for(lambda: [r for r in self.records() if r.get("start")],
                         timeout=20, what="renderer started")
                start = [r for r in self.records() if r.get("start")][0]
                self.assertEqual(start["where"], os.path.join(root, expected, "kiv-render"))
                self.assertEqual(start["argv"],
                                 ["--socket", os.path.join(os.path.dirname(sock), "render.sock")])
                self.procs.remove(d)
                self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
