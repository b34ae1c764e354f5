"""The kiv client against a scripted JSON-line server on a private socket: what
it sends, where, what it prints and how it exits. No daemon is involved."""

import json
import os
import socket
import stat
import subprocess
import threading
import time
import unittest

from kivtest import KIV, KivTestCase, wait_for

OK = '{"status":"ok"}'
CLOSE = object()  # answer by closing the connection

USAGE = (
    "Usage: {prog} [--socket PATH] <command> [args]\n"
    "  --socket PATH           Override the daemon socket before the command\n"
    "  --version               Show the version\n"
    "\n"
    "Background:\n"
    "  set <path>              Update the Tarvine background symlink\n"
    "  set --output NAME <path>\n"
    "                          Show path on output NAME only\n"
    "  set --output NAME --theme\n"
    "                          Output NAME shows the theme background again\n"
    "  next                    Cycle to next theme background\n"
    "  current                 Show current background name\n"
    "  refresh                 Re-read the background symlink now\n"
    "\n"
    "Playback:\n"
    "  pause                   Pause video manually\n"
    "  resume                  Clear manual pause\n"
    "  always-animate on|off   Force animation regardless of policy\n"
    "  intro <video>           Play a one-shot intro video and wait\n"
    "\n"
    "State:\n"
    "  status                  Daemon status as JSON\n"
    "  config                  Effective config as JSON\n"
    "  outputs                 Every output and what it shows, as JSON\n"
    "  render-status           Renderer status as JSON\n"
    "  render CMD...           Send raw JSON command to renderer\n"
    "\n"
    "Control:\n"
    "  reload-config           Reload config.toml\n"
    "  render-restart          Restart the renderer process\n"
    "  raw <json>              Send raw JSON to the daemon\n"
    "  shutdown                Stop the daemon\n"
)


class ScriptServer:
    """Serves a Unix socket, records every request line as (connection number,
    line) and answers through respond(line) -> reply text, None (no answer) or
    CLOSE."""

    def __init__(self, path, respond=lambda line: OK):
        self.path = path
        self.respond = respond
        self.lines = []
        self.closed = []  # connection numbers the client closed
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.bind(path)
        self._sock.listen(16)
        self._sock.settimeout(0.2)
        self._stop = False
        self._threads = []
        self._accepter = threading.Thread(target=self._accept_loop, daemon=True)
        self._accepter.start()

    def _accept_loop(self):
        n = 0
        while not self._stop:
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            n += 1
            t = threading.Thread(target=self._serve, args=(conn, n), daemon=True)
            t.start()
            self._threads.append(t)

    def _serve(self, conn, number):
        conn.settimeout(60)
        buf = b""
        with conn:
            while True:
                try:
                    chunk = conn.recv(65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    with self._lock:
                        self.closed.append(number)
                    return
                buf += chunk
                while b"\n" in buf:
                    raw, buf = buf.split(b"\n", 1)
                    line = raw.decode()
                    with self._lock:
                        self.lines.append((number, line))
                    reply = self.respond(line)
                    if reply is CLOSE:
                        with self._lock:
                            self.closed.append(number)
                        return
                    if reply is not None:
                        try:
                            conn.sendall(reply.encode() + b"\n")
                        except OSError:
                            pass

    def requests(self):
        with self._lock:
            return [line for _, line in self.lines]

    def wait_closed(self, number, timeout=5.0):
        """Waits until connection `number` (1-based) was closed by the peer,
        so every line it sent has been read."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if number in self.closed:
                    return True
            time.sleep(0.02)
        return False

    def close(self):
        self._stop = True
        self._sock.close()
        self._accepter.join()
        for t in self._threads:
            t.join(5)


class CliTestCase(KivTestCase):

    def setUp(self):
        super().setUp()
        self.servers = []
        self.sock = os.path.join(self.env.root, "d", "kivd.sock")
        os.makedirs(os.path.dirname(self.sock))

    def tearDown(self):
        for s in self.servers:
            s.close()
        super().tearDown()

    def serve(self, path=None, respond=lambda line: OK):
        s = ScriptServer(path or self.sock, respond)
        self.servers.append(s)
        return s

    def run_kiv(self, *args, env_extra=None, cwd=None, timeout=60):
        env = dict(self.env.vars)
        env.update(env_extra or {})
        return subprocess.run([KIV] + list(args), env=env, cwd=cwd, capture_output=True,
                              text=True, timeout=timeout, stdin=subprocess.DEVNULL)

    def assertResult(self, r, code, out="", err=""):
        self.assertEqual((r.returncode, r.stdout, r.stderr), (code, out, err))


class UsageTest(CliTestCase):

    def test_usage_and_exit_status(self):
        usage = USAGE.format(prog=KIV)
        cases = [
            ([], 1),
            (["--socket"], 1),
            (["--socket", self.sock], 1),
            (["--socket", "a", "--socket", "b"], 1),
            (["help"], 0),
            (["-h"], 0),
            (["--help"], 0),
            (["--socket", self.sock, "--help"], 0),
            (["-hx"], 1),
            (["--helpx"], 1),
            (["bogus"], 1),
            (["STATUS"], 1),
        ]
        server = self.serve()
        for args, code in cases:
            with self.subTest(args=args):
                self.assertResult(self.run_kiv(*args), code, err=usage)
        self.assertEqual(server.lines, [])

    def test_usage_names_the_program_as_invoked(self):
        r = subprocess.run(["kiv-alias"], executable=KIV, env=self.env.vars,
                           capture_output=True, text=True, timeout=30)
        self.assertResult(r, 1, err=USAGE.format(prog="kiv-alias"))

    def test_version(self):
        for args in (["--version"], ["--socket", self.sock, "--version"]):
            with self.subTest(args=args):
                self.assertResult(self.run_kiv(*args), 0, out="kiv 0.2.7\n")
        # Only in command position.
        self.assertEqual(self.run_kiv("status", "--version").returncode, 1)

    def test_short_usage_lines(self):
        server = self.serve()
        cases = [
            (["set"], "kiv set <path>\n"),
            (["intro"], "kiv intro <video>\n"),
            (["always-animate"], "kiv always-animate on|off\n"),
            (["always-animate", "ON"], "kiv always-animate on|off\n"),
            (["always-animate", "yes"], "kiv always-animate on|off\n"),
            (["render"], "kiv render <json>\n"),
            (["render", ""], "kiv render <json>\n"),
            (["raw"], "kiv raw <json>\n"),
            (["raw", ""], "kiv raw <json>\n"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                self.assertResult(self.run_kiv("--socket", self.sock, *args), 1, err=line)
        self.assertEqual(server.lines, [])


class RequestTest(CliTestCase):

    def test_commands_send_their_request_and_print_the_reply(self):
        reply = '{"status":"ok","x":1}'
        server = self.serve(respond=lambda line: reply)
        cases = [
            (["status"], '{"cmd":"status"}'),
            (["status", "extra", "words"], '{"cmd":"status"}'),
            (["config"], '{"cmd":"config"}'),
            (["render-status"], '{"cmd":"render-status"}'),
            (["refresh"], '{"cmd":"refresh"}'),
            (["pause"], '{"cmd":"pause"}'),
            (["resume"], '{"cmd":"resume"}'),
            (["reload-config"], '{"cmd":"reload-config"}'),
            (["render-restart"], '{"cmd":"render-restart"}'),
            (["shutdown"], '{"cmd":"shutdown"}'),
            (["always-animate", "on"], '{"cmd":"always-animate","value":true}'),
            (["always-animate", "off", "x"], '{"cmd":"always-animate","value":false}'),
            (["raw", '{"cmd":', '"pause"}'], '{"cmd": "pause"}'),
            (["raw", "not json at all"], "not json at all"),
            (["raw", "", ""], " "),
        ]
        for args, sent in cases:
            with self.subTest(args=args):
                before = len(server.lines)
                self.assertResult(self.run_kiv("--socket", self.sock, *args), 0,
                                  out=reply + "\n")
                self.assertEqual(server.requests()[before:], [sent])

    def test_reply_decides_the_exit_status(self):
        cases = [
            ('{"status":"error","message":"unknown cmd"}', 1),
            ('{"status":"ok"}', 0),
            ('{"message":"x","status":"ok"}', 0),
            ('{"status":"OK"}', 1),
            ('{"status":true}', 1),
            ('["status","ok"]', 1),
            ("garbage", 1),
        ]
        replies = iter(c[0] for c in cases)
        self.serve(respond=lambda line: next(replies))
        for reply, code in cases:
            with self.subTest(reply=reply):
                self.assertResult(self.run_kiv("--socket", self.sock, "pause"), code,
                                  out=reply + "\n")

    def test_missing_or_silent_server(self):
        r = self.run_kiv("--socket", self.sock, "status")
        self.assertResult(r, 1, err="kiv: daemon not running (no socket at %s)\n" % self.sock)

        default = self.env.daemon_socket
        r = self.run_kiv("status")
        self.assertResult(r, 1, err="kiv: daemon not running (no socket at %s)\n" % default)

        self.serve(respond=lambda line: CLOSE)
        self.assertResult(self.run_kiv("--socket", self.sock, "status"), 1,
                          err="kiv: no reply from daemon\n")

    def test_reply_too_long_counts_as_none(self):
        long_reply = '{"status":"ok","pad":"%s"}' % ("p" * 65600)
        self.serve(respond=lambda line: long_reply)
        self.assertResult(self.run_kiv("--socket", self.sock, "status"), 1,
                          err="kiv: no reply from daemon\n")

    def test_default_socket_from_runtime_dir(self):
        os.makedirs(os.path.dirname(self.env.daemon_socket))
        server = self.serve(self.env.daemon_socket)
        self.assertResult(self.run_kiv("pause"), 0, out=OK + "\n")
        self.assertEqual(server.requests(), ['{"cmd":"pause"}'])

    def test_last_socket_option_wins(self):
        first = self.serve(os.path.join(self.env.root, "first.sock"))
        second = self.serve(os.path.join(self.env.root, "second.sock"))
        r = self.run_kiv("--socket", first.path, "--socket", second.path, "status")
        self.assertResult(r, 0, out=OK + "\n")
        self.assertEqual(first.lines, [])
        self.assertEqual(second.requests(), ['{"cmd":"status"}'])

    def test_unresolvable_sockets(self):
        long_dir = "/" + "r" * 1020
        cases = [
            (["--socket", "/" + "s" * 1023, "status"], {}, "kiv: cannot resolve daemon socket\n"),
            (["status"], {"XDG_RUNTIME_DIR": long_dir}, "kiv: cannot resolve daemon socket\n"),
            (["render", "x"], {"XDG_RUNTIME_DIR": long_dir}, "kiv: cannot resolve render socket\n"),
            (["--socket", "/" + "s" * 1020 + "/k", "render", "x"], {},
             "kiv: cannot resolve render socket\n"),
        ]
        for args, env, err in cases:
            with self.subTest(args=args[:2], env=env):
                self.assertResult(self.run_kiv(*args, env_extra=env), 1, err=err)


class RenderTest(CliTestCase):

    def test_render_socket_beside_the_override(self):
        render = self.serve(os.path.join(os.path.dirname(self.sock), "render.sock"))
        daemon = self.serve()
        r = self.run_kiv("--socket", self.sock, "render", '{"cmd":"status"}', "tail")
        self.assertResult(r, 0, out=OK + "\n")
        self.assertEqual(render.requests(), ['{"cmd":"status"} tail'])
        self.assertEqual(daemon.lines, [])

    def test_override_without_directory_uses_current_directory(self):
        cwd = os.path.join(self.env.root, "cwd")
        os.makedirs(cwd)
        render = self.serve(os.path.join(cwd, "render.sock"))
        r = self.run_kiv("--socket", "kivd.sock", "render", '{"cmd":"hello"}', cwd=cwd)
        self.assertResult(r, 0, out=OK + "\n")
        self.assertEqual(render.requests(), ['{"cmd":"hello"}'])

    def test_default_render_socket_and_missing_renderer(self):
        expected = self.env.render_socket
        self.assertResult(self.run_kiv("render", "{}"), 1,
                          err="kiv: renderer not running (no socket at %s)\n" % expected)
        os.makedirs(os.path.dirname(expected))
        render = self.serve(expected, respond=lambda line: CLOSE)
        self.assertResult(self.run_kiv("render", "{}"), 1, err="kiv: no reply from renderer\n")
        self.assertEqual(render.requests(), ["{}"])

    def test_joined_request_limit(self):
        server = self.serve()
        cases = [
            (["x" * 65534], True),
            (["x" * 65535], False),
            (["x" * 32767, "y" * 32766], True),  # 65534 with the space
            (["x" * 32767, "y" * 32767], False),
        ]
        for words, sent in cases:
            for cmd in ("raw", "render"):
                with self.subTest(cmd=cmd, sizes=[len(w) for w in words]):
                    before = len(server.lines)
                    sock = self.sock if cmd == "raw" else os.path.join(
                        os.path.dirname(self.sock), "render.sock")
                    if cmd == "render" and not os.path.exists(sock):
                        self.serve(sock)
                    r = self.run_kiv("--socket", self.sock, cmd, *words)
                    if sent:
                        self.assertResult(r, 0, out=OK + "\n")
                    else:
                        self.assertResult(r, 1, err="kiv: Request exceeds the IPC limit\n")
                    if cmd == "raw":
                        got = server.requests()[before:]
                        self.assertEqual(got, [" ".join(words)] if sent else [])


class SetTest(CliTestCase):

    def test_set_sends_the_resolved_path(self):
        server = self.serve()
        media = os.path.join(self.env.root, "media")
        os.makedirs(media)
        target = os.path.join(media, 'sun "rise".png')
        open(target, "wb").close()
        os.symlink(target, os.path.join(media, "alias.png"))
        r = self.run_kiv("--socket", self.sock, "set", "alias.png", cwd=media)
        self.assertResult(r, 0, out=OK + "\n")
        (line,) = server.requests()
        self.assertEqual(json.loads(line), {"cmd": "set", "path": target})
        self.assertIn('\\"rise\\"', line)
        self.assertTrue(line.startswith('{"cmd":"set","path":"/'))

    def test_set_missing_file_sends_nothing(self):
        server = self.serve()
        r = self.run_kiv("--socket", self.sock, "set", "no/such file.png", cwd=self.env.root)
        self.assertResult(r, 1, err="kiv: file not found: no/such file.png\n")
        self.assertEqual(server.lines, [])


class CurrentTest(CliTestCase):

    def test_current_prints_the_last_path_component(self):
        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        cases = [
            ("/x/y/forest.jpg", "forest.jpg\n"),
            ("plain.png", "plain.png\n"),
            ("/x/dir/", "\n"),
            ("/" + "t" * 1022, "t" * 1022 + "\n"),
        ]
        for target, out in cases:
            with self.subTest(target=target[:20]):
                if os.path.lexists(link):
                    os.unlink(link)
                os.symlink(target, link)
                self.assertResult(self.run_kiv("current"), 0, out=out)

    def test_current_failures(self):
        self.assertResult(self.run_kiv("current"), 1, err="kiv: no current background\n")
        self.assertResult(self.run_kiv("current", env_extra={"XDG_STATE_HOME": "/" + "s" * 1020}),
                          1, err="kiv: cannot resolve background link\n")
        # A target longer than the client takes is not shown cut short.
        link = self.env.background_link
        os.makedirs(os.path.dirname(link))
        os.symlink("/" + "t" * 1023, link)
        self.assertResult(self.run_kiv("current"), 1, err="kiv: no current background\n")


class NextTest(CliTestCase):

    def write_stand_in(self, body):
        bindir = os.path.join(self.env.root, "bin")
        os.makedirs(bindir, exist_ok=True)
        script = os.path.join(bindir, "tarvine-theme-bg-next")
        with open(script, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(script, stat.S_IRWXU)
        return bindir

    def test_next_runs_the_theme_program_through_path(self):
        mark = os.path.join(self.env.root, "ran")
        cases = [
            ('echo "$# $KIV_MARK" > "%s"; echo to-stdout; exit 0' % mark, 0),
            ('echo "$# $KIV_MARK" > "%s"; exit 3' % mark, 1),
            ('echo "$# $KIV_MARK" > "%s"; kill -KILL $$' % mark, 1),
        ]
        for body, code in cases:
            with self.subTest(body=body.split(";")[-1].strip()):
                if os.path.exists(mark):
                    os.unlink(mark)
                bindir = self.write_stand_in(body)
                env = {"PATH": bindir + ":/usr/bin:/bin", "KIV_MARK": "env-seen"}
                r = self.run_kiv("next", env_extra=env)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertEqual(r.stderr, "")
                with open(mark) as f:
                    self.assertEqual(f.read(), "0 env-seen\n")
                if code == 0:
                    self.assertEqual(r.stdout, "to-stdout\n")

    def test_next_missing_program(self):
        empty = os.path.join(self.env.root, "empty-bin")
        os.makedirs(empty)
        r = self.run_kiv("next", env_extra={"PATH": empty})
        self.assertResult(r, 1, err="kiv: tarvine-theme-bg-next failed\n")


class IntroServer:
    """Answers intro with intro_reply, then each intro-status with the next
    entry of statuses (the last one repeats)."""

    def __init__(self, intro_reply, statuses):
        self.intro_reply = intro_reply
        self.statuses = list(statuses)
        self.count = 0

    def __call__(self, line):
        cmd = json.loads(line).get("cmd")
        if cmd == "intro":
            return self.intro_reply
        if cmd == "intro-status":
            reply = self.statuses[min(self.count, len(self.statuses) - 1)]
            self.count += 1
            return reply
        return OK


RUNNING = '{"status":"ok","running":true,"result":""}'


class IntroTest(CliTestCase):

    def setUp(self):
        super().setUp()
        self.video = os.path.join(self.env.root, "intro.mp4")
        open(self.video, "wb").close()

    def test_intro_outcomes(self):
        done_ok = '{"status":"ok","running":false,"result":"ok"}'
        cancelled = '{"status":"ok","running":false,"result":"intro cancelled"}'
        no_result = '{"status":"ok","running":false}'
        cases = [
            ("finished", OK, [RUNNING, RUNNING, done_ok], 0, "", 3),
            ("ended early", OK, [RUNNING, cancelled], 1,
             "kiv: intro ended early: %s\n" % cancelled, 2),
            ("no result", OK, [no_result], 1, "kiv: intro ended early: %s\n" % no_result, 1),
            ("rejected", '{"status":"error","message":"Invalid intro path"}', [], 1,
             'kiv: intro rejected: {"status":"error","message":"Invalid intro path"}\n', 0),
            ("running not a boolean", OK, ['{"status":"ok","running":"no"}'], 1,
             'kiv: invalid intro status: {"status":"ok","running":"no"}\n', 1),
            ("empty object", OK, ["{}"], 1, "kiv: invalid intro status: {}\n", 1),
            ("status error", OK, ['{"status":"error","running":false}'], 1,
             'kiv: invalid intro status: {"status":"error","running":false}\n', 1),
            ("status lost", OK, [CLOSE], 1, "kiv: intro status unavailable\n", 1),
            ("intro not answered", CLOSE, [], 1, "kiv: no reply from daemon\n", 0),
        ]
        for name, intro_reply, statuses, code, err, status_requests in cases:
            with self.subTest(name):
                server = self.serve(respond=IntroServer(intro_reply, statuses))
                r = self.run_kiv("--socket", self.sock, "intro", self.video)
                self.assertResult(r, code, err=err)
                sent = server.requests()
                self.assertEqual(json.loads(sent[0]), {"cmd": "intro", "path": self.video})
                self.assertEqual(sent[1:], ['{"cmd":"intro-status"}'] * status_requests)
                # The whole conversation uses one connection, closed at the end.
                self.assertEqual({n for n, _ in server.lines}, {1})
                wait_for(lambda: server.closed == [1], what="connection closed")
                server.close()
                self.servers.remove(server)
                os.unlink(self.sock)

    def test_intro_local_failures(self):
        r = self.run_kiv("--socket", self.sock, "intro", "missing.mp4", cwd=self.env.root)
        self.assertResult(r, 1, err="kiv: file not found: missing.mp4\n")
        r = self.run_kiv("--socket", self.sock, "intro", self.video)
        self.assertResult(r, 1, err="kiv: daemon not running at %s\n" % self.sock)

    def test_intro_times_out_and_stops_the_intro(self):
        # The client gives up 35 s after the intro was accepted; this test waits
        # that long in real time.
        server = self.serve(respond=IntroServer(OK, [RUNNING]))
        r = self.run_kiv("--socket", self.sock, "intro", self.video, timeout=120)
        self.assertResult(r, 1, err="kiv: intro timed out\n")
        # The client closes right after its last line without waiting.
        self.assertTrue(server.wait_closed(1))
        sent = server.requests()
        self.assertEqual(sent[-1], '{"cmd":"intro-stop"}')
        self.assertGreater(len(sent), 3)
        self.assertEqual(set(sent[1:-1]), {'{"cmd":"intro-status"}'})


if __name__ == "__main__":
    unittest.main()
