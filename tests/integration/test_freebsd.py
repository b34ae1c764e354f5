"""The FreeBSD code paths compile: every source of the three programs, with
the compile command the build uses, is checked with -fsyntax-only as if for
FreeBSD. Small stand-ins under tests/freebsd/include supply the FreeBSD headers
Linux lacks, and refuse Linux-only headers, which must therefore sit behind
#ifndef __FreeBSD__."""

import json
import os
import shlex
import subprocess
import unittest
from concurrent.futures import ThreadPoolExecutor

from kivtest import BUILD_DIR

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
SHIM_DIR = os.path.join(SOURCE_DIR, "tests", "freebsd", "include")


def freebsd_command(entry):
    """The build's compile command turned into a FreeBSD syntax check."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    out = [args[0], "-I" + SHIM_DIR, "-D__FreeBSD__=14", "-U__linux__", "-U__linux",
           "-Ulinux", "-fsyntax-only"]
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
        elif a == "-o":
            skip = True
        elif a == "-c":
            continue
        elif a == "-DHAVE_LIBSYSTEMD=1":
            # FreeBSD gets sd-bus from basu.
            out.append("-DHAVE_BASU=1")
        else:
            out.append(a)
    return out


class FreeBsdSyntaxTest(unittest.TestCase):

    def test_every_program_source_compiles_for_freebsd(self):
        with open(os.path.join(BUILD_DIR, "compile_commands.json")) as f:
            entries = json.load(f)
        src = os.path.join(SOURCE_DIR, "src") + os.sep
        checked = {}
        for e in entries:
            path = os.path.realpath(os.path.join(e["directory"], e["file"]))
            if path.startswith(src) and path not in checked:
                checked[path] = e
        self.assertIn(os.path.join(src, "daemon", "policy.cpp"), checked)

        def check(item):
            path, e = item
            r = subprocess.run(freebsd_command(e), cwd=e["directory"], capture_output=True,
                               text=True, timeout=300)
            return "" if r.returncode == 0 else "%s:\n%s" % (os.path.relpath(path, SOURCE_DIR),
                                                             r.stderr)
        with ThreadPoolExecutor(max_workers=2) as pool:
            failures = [f for f in pool.map(check, sorted(checked.items())) if f]
        self.assertEqual(failures, [], "\n".join(failures))


if __name__ == "__main__":
    unittest.main()
