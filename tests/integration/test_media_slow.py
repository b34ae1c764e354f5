"""The daemon's 30 s timers: a still that never finishes decoding counts as
failed, and a shell plug-in that could not be switched off is tried again.
Kept apart from test_media.py so that it can run alongside other tests instead
of after them."""

import os
import time
import unittest

from kivtest import file_lines, wait_for
from test_media import MediaTestCase


class StillDeadlineTest(MediaTestCase):

    def test_still_never_decoded_is_cancelled(self):
        self.put_renderer(self.bin)
        self.shell_fails("no shell here")
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["still1"], timeout=20)
        self.control(never_ready=[self.media["still2"]])
        self.link("still2")
        d.wait_log("media did not start: %s" % self.media["still2"], timeout=60)
        d.wait_log("recovered to %s" % self.media["still1"])
        cmds = [(r["cmd"], r.get("path")) for r in self.requests()]
        load = cmds.index(("load", self.media["still2"]))
        self.assertIn(("cancel-load", None), cmds[load:])
        wait_for(lambda: d.log().count("media ready: %s" % self.media["still1"]) >= 2,
                 timeout=20, what="recovered still ready")
        self.assertEqual(self.status()["failed_path"], self.media["still2"])


class ShellRetryTest(MediaTestCase):

    def test_refusing_shell_is_asked_less_often_and_warned_about_once(self):
        on = "shell setPluginEnabled tarvine.background true"
        self.put_renderer(self.bin)
        self.shell_fails("no such plugin")
        self.link("still1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["still1"], timeout=20)
        # Tried at start, 30 s later, then not before another minute.
        wait_for(lambda: self.shell_calls().count(on) == 2, timeout=45, what="second hand-off")
        time.sleep(10)
        self.assertEqual(self.shell_calls().count(on), 2)
        log = d.log()
        self.assertEqual(log.count("shell background enable failed: no such plugin"), 1, log)
        self.assertEqual(log.count("shell handoff failed, keeping the renderer for the still"), 1)
        self.assertEqual(self.status()["engine"], "renderer")

    def shell_calls(self):
        return file_lines(self.shell_log)

    def test_failed_disable_is_tried_again_until_it_holds(self):
        off = "shell setPluginEnabled tarvine.background false"
        self.put_renderer(self.bin)
        self.shell_fails("shell not running yet", switch="false")
        self.link("vid1")
        d = self.start_kivd()
        d.wait_log("media ready: %s" % self.media["vid1"], timeout=20)
        os.unlink(self.shell_fail + "-false")
        d.wait_log("shell background disabled", timeout=60)
        time.sleep(1.5)  # several loop iterations: a disabled plug-in stays alone
        with open(self.shell_log) as f:
            self.assertEqual(f.read().splitlines(), [off, off])
        self.assertEqual(self.status()["engine"], "renderer")


if __name__ == "__main__":
    unittest.main()
