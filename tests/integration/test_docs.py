"""The manual pages and shell completions shipped in contrib: every page
builds with scdoc without a complaint, every completion script passes its
shell's syntax check, and the bash and fish completions offer what the client
accepts: the commands of its usage text, on|off, and files where a path goes."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from kivtest import KIV

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
MAN_DIR = os.path.join(SOURCE_DIR, "contrib", "man")
COMPLETIONS = os.path.join(SOURCE_DIR, "contrib", "completions")


def client_commands():
    """The command words of the client's own usage text, plus help."""
    r = subprocess.run([KIV, "--help"], capture_output=True, text=True, timeout=30)
    words = set(re.findall(r"^  ([a-z][a-z-]*)", r.stderr, re.M))
    return words | {"help"}


class ManualPagesTest(unittest.TestCase):

    @unittest.skipUnless(shutil.which("scdoc"), "scdoc is not installed")
    def test_every_page_builds_cleanly(self):
        pages = sorted(n for n in os.listdir(MAN_DIR) if n.endswith(".scd"))
        self.assertIn("kiv-config.5.scd", pages)
        for name in pages:
            with self.subTest(page=name), open(os.path.join(MAN_DIR, name), "rb") as src:
                r = subprocess.run(["scdoc"], stdin=src, capture_output=True, timeout=30)
                self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))
                title, section = re.match(r"(.+)\.(\d)\.scd$", name).groups()
                self.assertIn(('.TH "%s" "%s"' % (title, section)).encode(), r.stdout)

    def test_client_manual_describes_every_command(self):
        with open(os.path.join(MAN_DIR, "kiv.1.scd")) as f:
            described = set(re.findall(r"^\*([a-z][a-z-]*)\*", f.read(), re.M))
        self.assertEqual(client_commands() - {"help"} - described, set())


class CompletionTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.commands = client_commands()
        cls.dir = tempfile.mkdtemp(prefix="kiv-complete-")
        for name in ("wave.mp4", "forest.jpg"):
            open(os.path.join(cls.dir, name), "w").close()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def cases(self):
        """(words typed so far, the last one being completed; expected offers)."""
        d = self.dir + "/"
        files = {d + "wave.mp4", d + "forest.jpg"}
        return [
            (["kiv", ""], self.commands),
            (["kiv", "--"], {"--socket", "--version", "--help"}),
            (["kiv", "--socket", d], files),
            (["kiv", "--socket", "/run/x.sock", "st"], {"status"}),
            (["kiv", "always-animate", ""], {"on", "off"}),
            (["kiv", "set", d], files),
            (["kiv", "set", "--o"], {"--output"}),
            (["kiv", "set", "--output", ""], set()),
            (["kiv", "set", "--output", "DP-1", d], files),
            (["kiv", "set", "--output", "DP-1", "--t"], {"--theme"}),
            (["kiv", "set", "--output", "DP-1", "--theme", ""], set()),
            (["kiv", "--socket", "/run/x.sock", "intro", d + "w"], {d + "wave.mp4"}),
            (["kiv", "status", ""], set()),
            (["kiv", "always-animate", "on", ""], set()),
        ]

    def test_syntax(self):
        for shell, script in (("bash", "kiv.bash"), ("zsh", "_kiv"), ("fish", "kiv.fish")):
            with self.subTest(shell=shell):
                if not shutil.which(shell):
                    self.skipTest(shell + " is not installed")
                r = subprocess.run([shell, "-n", os.path.join(COMPLETIONS, script)],
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_bash_offers(self):
        # The completion function runs as bash calls it on a tab: COMP_WORDS and
        # COMP_CWORD describe the line, COMPREPLY holds the answer.
        script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kiv; '
                  'printf "%s\\n" "${COMPREPLY[@]}"')
        for words, expected in self.cases():
            with self.subTest(line=" ".join(words)):
                r = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash",
                                    os.path.join(COMPLETIONS, "kiv.bash")] + words,
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(set(r.stdout.split()), expected)

    @unittest.skipUnless(shutil.which("fish"), "fish is not installed")
    def test_fish_offers(self):
        for words, expected in self.cases():
            with self.subTest(line=" ".join(words)):
                r = subprocess.run(["fish", "--no-config", "-c",
                                    'source $argv[1]; complete -C $argv[2]',
                                    os.path.join(COMPLETIONS, "kiv.fish"), " ".join(words)],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual({line.split("\t")[0] for line in r.stdout.splitlines()},
                                 expected)


if __name__ == "__main__":
    unittest.main()
