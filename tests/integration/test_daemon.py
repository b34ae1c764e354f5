"""kivd as a process: command line, single instance, signals, the command
protocol and its reports, configuration loading and the blocklist scan."""

import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest

from kivtest import (KIVD, KivTestCase, cpu_seconds, file_lines, request, request_json,
                     wait_for)

USAGE = ("Usage: %s [options]\n"
         "  --socket PATH   IPC socket path (default: $XDG_RUNTIME_DIR/kiv/kivd.sock)\n"
         "  --verbose       Enable debug logging\n"
         "  --help          Show this help\n")

OK = '{"status":"ok"}'

STATUS_BEFORE_ANY_BACKGROUND = (
    '{"status":"ok","source_path":"","source_kind":"","loaded_path":"","loaded_kind":"",'
    '"job_running":false,"failed_path":"","media_ready":false,"engine":"none","paused":false,'
    '"reason":"visible","always_animate":false,"manual_pause":false,"idle_pause":false,'
    '"fullscreen":false,"window_visible":false,"monitors_off":false,"monitor_count":0,'
    '"on_battery":false,"locked":false,"render_alive":false,"intro":false,"intro_result":"",'
    '"drm_dpms":true,"render_error":"","outputs":[],"proxy_for":""}')

CONFIG_DEFAULTS = (
    '{"status":"ok","pause_fullscreen":true,"pause_occupied_workspace":false,'
    '"battery_poster":false,"battery_mode":"play","gif_fps":20,"gif_crf":20,"max_width":2560,'
    '"max_height":1440,"cache_max_mb":512,"fade_ms":250,"volume":0,"blocklist_count":0,'
    '"blocklist":[],"fit":"cover","background_color":"#000000","outputs":[]}')


def error(message):
    return '{"status":"error","message":"%s"}' % message


class DaemonTestCase(KivTestCase):
    def setUp(self):
        super().setUp()
        self.env.vars.pop("KIV_DRM_DPMS", None)

    @property
    def config_path(self):
        return os.path.join(self.env.config, "kiv", "config.toml")

    def write_config(self, text):
        os.makedirs(os.path.dirname(self.config_path), exist_ok=True)
        with open(self.config_path, "w") as f:
            f.write(text)

    def ask(self, line):
        return request(self.env.daemon_socket, line)

    def status(self):
        return request_json(self.env.daemon_socket, {"cmd": "status"})

    def run_kivd(self, *args):
        return subprocess.run([KIVD] + list(args), env=self.env.vars, capture_output=True,
                              text=True, timeout=30, stdin=subprocess.DEVNULL)


class CommandLineTest(DaemonTestCase):
    def test_usage_and_exit_codes(self):
        cases = [
            ("socket_without_path", ["--socket"], 1),
            ("short_help", ["-h"], 0),
            ("long_help", ["--help"], 0),
            ("unknown_option", ["-x"], 1),
            ("help_after_socket", ["--socket", "/tmp/kiv-unused.sock", "--help"], 0),
        ]
        for name, args, code in cases:
            with self.subTest(name):
                r = self.run_kivd(*args)
                self.assertEqual(r.returncode, code)
                self.assertEqual(r.stderr, USAGE % KIVD)
                self.assertEqual(r.stdout, "")

    def test_second_instance_leaves_the_first_alone(self):
        first = self.start_daemon()
        inode = os.stat(self.env.daemon_socket).st_ino
        r = self.run_kivd()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "kivd: another instance is already running\n")
        self.assertEqual(os.stat(self.env.daemon_socket).st_ino, inode)
        self.assertEqual(self.ask('{"cmd":"hello"}'), '{"status":"ok","version":1}')
        self.assertTrue(first.alive())

    def test_socket_in_a_new_directory(self):
        sock = os.path.join(self.env.root, "elsewhere", "k", "d.sock")
        d = self.start_daemon("--socket", sock)
        self.assertEqual(request(sock, '{"cmd":"hello"}'), '{"status":"ok","version":1}')
        self.assertIn("ready, socket=%s\n" % sock, d.stdout())
        # The single-instance lock stays under the runtime directory.
        self.assertTrue(os.path.exists(os.path.join(self.env.runtime, "kiv", "kivd.lock")))
        r = self.run_kivd()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, "kivd: another instance is already running\n")

    def test_sigterm_shuts_down(self):
        d = self.start_daemon()
        d.signal(signal.SIGTERM)
        self.assertEqual(d.wait(), 0)
        self.assertIn(" INFO ", d.stdout())
        self.assertRegex(d.stdout(), r"kivd\[\d+\] INFO src/daemon/main.cpp:\d+: shutdown\n")
        self.assertFalse(os.path.exists(self.env.daemon_socket))

    def test_sighup_reads_the_configuration_again(self):
        self.write_config("[render]\nfade_ms = 400\n")
        d = self.start_daemon()
        cases = [
            # name, file written before the signal, fade_ms then in force, log line
            ("valid", "[render]\nfade_ms = 600\n", 600, "config reloaded from %s\n"),
            ("invalid", "[pause]\nbattery_mode = Poster\n", 600,
             "Cannot reload config at %s, keeping the one in force\n"),
        ]
        for name, text, fade, line in cases:
            with self.subTest(name):
                self.write_config(text)
                d.signal(signal.SIGHUP)
                d.wait_log(line % self.config_path)
                self.assertTrue(d.alive())
                self.assertEqual(self.ask('{"cmd":"hello"}'), '{"status":"ok","version":1}')
                self.assertEqual(request_json(self.env.daemon_socket, {"cmd": "config"})["fade_ms"],
                                 fade)

    def test_shutdown_command_is_answered_first(self):
        d = self.start_daemon()
        self.assertEqual(self.ask('{"cmd":"shutdown"}'), OK)
        self.assertEqual(d.wait(), 0)
        self.assertIn("shutdown\n", d.stdout())
        self.assertFalse(os.path.exists(self.env.daemon_socket))

    def test_clients_that_leave_early_do_not_kill_it(self):
        d = self.start_daemon()
        for _ in range(20):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                # Reset instead of a clean close: the reply meets a dead peer.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.connect(self.env.daemon_socket)
                try:
                    s.sendall(b'{"cmd":"status"}\n{"cmd":"config"}\n')
                except (BrokenPipeError, ConnectionResetError):
                    # With every slot taken the daemon turns a newcomer away
                    # at once; that client simply never gets to speak.
                    pass

        # While the 16 slots still hold dead peers a newcomer is turned away;
        # the daemon must serve again once it has dropped them.
        def answered():
            try:
                return self.ask('{"cmd":"hello"}') == '{"status":"ok","version":1}'
            except ConnectionError:
                return False
        wait_for(answered, what="a reply after the dead clients")
        self.assertTrue(d.alive())

    def test_out_of_descriptors_the_listener_rests(self):
        d = self.start_daemon()
        soft, hard = resource.prlimit(d.pid, resource.RLIMIT_NOFILE)
        open_fds = {int(fd) for fd in os.listdir("/proc/%d/fd" % d.pid)}
        # Not one descriptor left for a connection (a new one takes the
        # lowest free number).
        lowest_free = min(set(range(len(open_fds) + 1)) - open_fds)
        resource.prlimit(d.pid, resource.RLIMIT_NOFILE, (lowest_free, hard))
        waiting = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(waiting.close)
        waiting.settimeout(30)
        waiting.connect(self.env.daemon_socket)
        waiting.sendall(b'{"cmd":"hello"}\n')
        said = "cannot accept connections on %s: Too many open files" % self.env.daemon_socket
        wait_for(lambda: said in d.log(), what=repr(said))
        used = cpu_seconds(d.pid)
        time.sleep(3)
        # A listener that stays readable while nothing can be taken from it
        # must not turn the loop into a spin; it is said once.
        self.assertLess(cpu_seconds(d.pid) - used, 0.3, "the daemon spun")
        self.assertEqual(d.log().count(said), 1, d.log())
        resource.prlimit(d.pid, resource.RLIMIT_NOFILE, (soft, hard))
        self.assertEqual(waiting.recv(4096), b'{"status":"ok","version":1}\n')
        self.assertIn("accepting connections on %s again" % self.env.daemon_socket, d.log())


class ProtocolTest(DaemonTestCase):
    def test_replies(self):
        self.start_daemon()
        long_path = "/" + "a" * 1023
        cases = [
            ("not_json", "hello", error("bad json")),
            ("array_root", "[1]", error("bad json")),
            ("empty_object", "{}", error("unknown cmd")),
            ("numeric_cmd", '{"cmd":5}', error("unknown cmd")),
            ("unknown_cmd", '{"cmd":"Hello"}', error("unknown cmd")),
            ("hello", '{"cmd":"hello"}', '{"status":"ok","version":1}'),
            ("first_cmd_wins", '{"cmd":"hello","cmd":"status"}', '{"status":"ok","version":1}'),
            ("always_animate_string", '{"cmd":"always-animate","value":"on"}',
             error("missing value")),
            ("always_animate_without_value", '{"cmd":"always-animate"}', error("missing value")),
            ("set_numeric_path", '{"cmd":"set","path":5}', error("Invalid path")),
            ("set_empty_path", '{"cmd":"set","path":""}', error("Invalid path")),
            ("set_long_path", '{"cmd":"set","path":"%s"}' % long_path, error("Invalid path")),
            ("set_missing_file", '{"cmd":"set","path":"/nonexistent/a.png"}',
             error("cannot resolve /nonexistent/a.png: No such file or directory")),
            ("intro_relative", '{"cmd":"intro","path":"a.mp4"}', error("Invalid intro path")),
            ("intro_directory", '{"cmd":"intro","path":"/tmp"}', error("Invalid intro path")),
            ("intro_status", '{"cmd":"intro-status"}',
             '{"status":"ok","running":false,"result":""}'),
            ("intro_stop_without_intro", '{"cmd":"intro-stop"}', OK),
            ("refresh_without_link", '{"cmd":"refresh"}', error("symlink unreadable")),
            ("render_restart_without_renderer", '{"cmd":"render-restart"}',
             '{"status":"ok","engine":"shell"}'),
            ("render_status_without_renderer", '{"cmd":"render-status"}',
             '{"status":"ok","engine":"shell","path":"","kind":"","paused":false,"ready":true,'
             '"outputs":0,"has_video":false,"has_still":true,"time_pos":-1.000,"hwdec":"no",'
             '"error":"","skipped":""}'),
        ]
        for name, line, reply in cases:
            with self.subTest(name):
                self.assertEqual(self.ask(line), reply)

    def test_connection_survives_bad_json(self):
        self.start_daemon()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.env.daemon_socket)
            s.sendall(b'nope\n{"cmd":"hello"}\n')
            buf = b""
            while buf.count(b"\n") < 2:
                chunk = s.recv(4096)
                self.assertTrue(chunk)
                buf += chunk
        self.assertEqual(buf.decode().splitlines(),
                         [error("bad json"), '{"status":"ok","version":1}'])

    def test_reports_before_any_background(self):
        d = self.start_daemon()
        self.assertEqual(self.ask('{"cmd":"status"}'), STATUS_BEFORE_ANY_BACKGROUND)
        self.assertEqual(self.ask('{"cmd":"config"}'), CONFIG_DEFAULTS)
        self.assertIn("no current background symlink yet\n", d.stderr())

    def test_drm_probe_switch_in_status(self):
        self.env.vars["KIV_DRM_DPMS"] = "0"
        self.start_daemon()
        self.assertFalse(self.status()["drm_dpms"])

    def test_pause_and_always_animate(self):
        d = self.start_daemon()
        steps = [
            ('{"cmd":"always-animate","value":true}',
             {"always_animate": True, "manual_pause": False, "paused": False,
              "reason": "always-animate"}),
            ('{"cmd":"pause"}',
             {"always_animate": True, "manual_pause": True, "paused": True, "reason": "manual"}),
            ('{"cmd":"always-animate","value":false}',
             {"always_animate": False, "manual_pause": True, "paused": True, "reason": "manual"}),
            ('{"cmd":"resume"}', {"manual_pause": False, "paused": False, "reason": "visible"}),
            ('{"cmd":"idle-pause"}', {"idle_pause": True, "paused": True, "reason": "idle"}),
            ('{"cmd":"idle-resume"}', {"idle_pause": False, "paused": False, "reason": "visible"}),
        ]
        for line, expected in steps:
            with self.subTest(line):
                self.assertEqual(self.ask(line), OK)
                status = self.status()
                self.assertEqual({k: status[k] for k in expected}, expected)
        self.assertIn("policy pause=0 poster=0 reason=always-animate\n", d.stdout())
        self.assertIn("policy pause=1 poster=0 reason=manual\n", d.stdout())


class ConfigTest(DaemonTestCase):
    def test_startup_outcomes(self):
        cases = [
            ("missing", None, "INFO", "no config at %s, using defaults\n"),
            ("valid", "[render]\nfade_ms = 400\n", "INFO", "config loaded from %s\n"),
            ("invalid", "[pause]\nbattery_mode = Poster\n", "WARN",
             "Cannot load config at %s, using defaults\n"),
        ]
        for name, text, level, message in cases:
            with self.subTest(name):
                if text is None:
                    if os.path.exists(self.config_path):
                        os.unlink(self.config_path)
                else:
                    self.write_config(text)
                d = self.start_daemon()
                stream = d.stdout() if level == "INFO" else d.stderr()
                self.assertIn(" %s " % level, stream)
                self.assertIn(message % self.config_path, stream)
                fade = request_json(self.env.daemon_socket, {"cmd": "config"})["fade_ms"]
                self.assertEqual(fade, 400 if name == "valid" else 250)
                self.assertEqual(d.stop(), 0)
                self.procs.remove(d)

    def test_reload_keeps_previous_values_on_failure(self):
        self.write_config('[render]\nfade_ms = 500\nvolume = 20\nfit = contain\n'
                          'background_color = "#FF8000"\n'
                          '[pause]\nblocklist = ["a", \'b c\']\n'
                          '[output."DP-1"]\nfit = center\n[output.HDMI-A-1]\n'
                          'background_color = "#0000ff"\n')
        self.start_daemon()
        before = self.ask('{"cmd":"config"}')
        # The output tables with what each output gets: its own keys, else [render]'s.
        self.assertIn('"fade_ms":500,"volume":20,"blocklist_count":2,"blocklist":["a","b c"],'
                      '"fit":"contain","background_color":"#ff8000","outputs":['
                      '{"name":"DP-1","fit":"center","background_color":"#ff8000"},'
                      '{"name":"HDMI-A-1","fit":"contain","background_color":"#0000ff"}]}',
                      before)

        self.write_config("[output.DP-1]\nfit = tile\n")
        self.assertEqual(self.ask('{"cmd":"reload-config"}'), error("config load failed"))
        self.assertEqual(self.ask('{"cmd":"config"}'), before)

        self.write_config("[pause]\nbattery_mode = Poster\n")
        self.assertEqual(self.ask('{"cmd":"reload-config"}'), error("config load failed"))
        self.assertEqual(self.ask('{"cmd":"config"}'), before)

        os.unlink(self.config_path)
        self.assertEqual(self.ask('{"cmd":"reload-config"}'), error("config load failed"))
        self.assertEqual(self.ask('{"cmd":"config"}'), before)

        # Keys missing from a good file return to their defaults.
        self.write_config("[pause]\noccupied_workspace = true\n")
        self.assertEqual(self.ask('{"cmd":"reload-config"}'), OK)
        self.assertEqual(self.ask('{"cmd":"config"}'),
                         CONFIG_DEFAULTS.replace('"pause_occupied_workspace":false',
                                                 '"pause_occupied_workspace":true'))


# kiv-render is played by the stand-in fake_render.py, placed beside a copy of
# kivd so the daemon finds it by its usual rules.
RENDER_WRAPPER = """#!/usr/bin/python3
import os
import sys
sys.dont_write_bytecode = True
sys.path.insert(0, %r)
import fake_render
fake_render.main(sys.argv, where=os.path.abspath(__file__))
"""

SHELL_STAND_IN = """#!/bin/sh
echo "$*" >> %(log)s
if [ -f %(fail)s-$4 ]; then echo "no shell session"; exit 1; fi
exit 0
"""


class ShellAtShutdownTest(DaemonTestCase):
    """The daemon that switched the shell's background plug-in off for its
    renderer switches it back on when it stops."""

    def setUp(self):
        super().setUp()
        root = self.env.root
        bindir = os.path.join(root, "bin")
        shelldir = os.path.join(root, "shellbin")
        os.makedirs(bindir)
        os.makedirs(shelldir)
        self.kivd = os.path.join(bindir, "kivd")
        shutil.copy2(KIVD, self.kivd)
        here = os.path.dirname(os.path.abspath(__file__))
        self.write_exec(os.path.join(bindir, "kiv-render"), RENDER_WRAPPER % here)
        self.shell_log = os.path.join(root, "shell.log")
        self.shell_fail = os.path.join(root, "shell.fail")
        self.write_exec(os.path.join(shelldir, "tarvine-shell"),
                        SHELL_STAND_IN % {"log": self.shell_log, "fail": self.shell_fail})
        self.env.vars.update({
            "PATH": shelldir + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
            "FAKE_RENDER_LOG": os.path.join(root, "render.log"),
            "FAKE_RENDER_CONTROL": os.path.join(root, "render.ctl"),
            "PYTHONDONTWRITEBYTECODE": "1",
        })
        video = os.path.join(root, "clip.mp4")
        with open(video, "wb") as f:
            f.write(b"never decoded by the stand-in renderer\n")
        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        os.symlink(video, link)

    @staticmethod
    def write_exec(path, text):
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)

    def shell_calls(self):
        return file_lines(self.shell_log)

    def test_plugin_enabled_again_at_shutdown(self):
        cases = [
            ("enable_succeeds", False, "INFO", "shell background enabled\n"),
            ("enable_fails", True, "WARN",
             "shell background enable failed: no shell session\n"),
        ]
        for name, fail, level, message in cases:
            with self.subTest(name):
                if os.path.exists(self.shell_log):
                    os.unlink(self.shell_log)
                if fail:
                    with open(self.shell_fail + "-true", "w") as f:
                        f.write("x")
                d = self.start([self.kivd], "kivd-" + name)
                wait_for(lambda: (self.status_or_none() or {}).get("engine") == "renderer",
                         timeout=30, what="engine renderer")
                self.assertEqual(self.shell_calls(),
                                 ["shell setPluginEnabled tarvine.background false"])
                d.signal(signal.SIGTERM)
                self.assertEqual(d.wait(30), 0)
                self.procs.remove(d)
                self.assertEqual(self.shell_calls(),
                                 ["shell setPluginEnabled tarvine.background false",
                                  "shell setPluginEnabled tarvine.background true"])
                stream = d.stdout() if level == "INFO" else d.stderr()
                self.assertIn(" %s " % level, stream)
                self.assertIn(message, stream)
                if level == "INFO":
                    # The switch belongs to the shutdown, after its log line.
                    self.assertLess(stream.index("shutdown\n"), stream.index(message))

    def status_or_none(self):
        try:
            return self.status()
        except OSError:
            return None


class BlocklistTest(DaemonTestCase):
    def test_running_program_pauses_until_it_exits(self):
        name = "kivblocktest"
        program = os.path.join(self.env.root, name)
        shutil.copy(shutil.which("sleep") or "/bin/sleep", program)
        self.write_config('[pause]\nblocklist = ["kivblocktestx", "%s"]\n' % name)
        d = self.start_daemon()
        self.assertEqual(self.status()["reason"], "visible")

        blocker = subprocess.Popen([program, "120"], stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: self.status()["reason"] == "blocklist", timeout=20,
                     what="reason blocklist")
            self.assertTrue(self.status()["paused"])
        finally:
            blocker.kill()
            blocker.wait()
        wait_for(lambda: self.status()["reason"] == "visible", timeout=20,
                 what="reason visible again")
        self.assertIn("policy pause=1 poster=0 reason=blocklist\n", d.stdout())
        self.assertIn("policy pause=0 poster=0 reason=visible\n", d.stdout())


if __name__ == "__main__":
    unittest.main()
