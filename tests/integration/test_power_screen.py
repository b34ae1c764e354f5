"""On the headless compositor: battery power and sleep, reported by stand-in
UPower and logind services on a private system bus, stop the video on
screen, and it plays on when they pass."""

import unittest

from busstub import SystemBus
from test_power import pause_on_battery
from test_system import SystemTestCase


class PowerScreenTest(SystemTestCase):

    def test_battery_and_sleep_stop_the_video(self):
        bus = SystemBus(self.env)
        self.addCleanup(bus.stop)
        bus.start()
        pause_on_battery(self.env)
        self.start_daemon()
        self.show("video", "video")
        self.assert_moving()

        for name, start, end in [
                ("battery", lambda: bus.set_on_battery(True), lambda: bus.set_on_battery(False)),
                ("sleep", lambda: bus.prepare_for_sleep(True),
                 lambda: bus.prepare_for_sleep(False)),
        ]:
            with self.subTest(name):
                start()
                self.wait_status(lambda s: s["paused"] and s["reason"] == name, name)
                self.assert_frozen()
                self.assertTrue(self.run_kiv("render-status")["paused"])
                end()
                self.wait_status(lambda s: not s["paused"], "playing after " + name)
                self.assert_moving()
                self.assertFalse(self.run_kiv("render-status")["paused"])


if __name__ == "__main__":
    unittest.main()
