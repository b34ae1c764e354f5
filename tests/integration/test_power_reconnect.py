"""kivd losing and finding the system bus: it retries 30 seconds after a
failed or lost connection. Each test waits for one retry."""

import unittest

from test_power import PowerTestCase

LOST = "system bus disconnected; retrying in 30 seconds"
# Generous beside the 30-second retry, for a loaded machine.
RECONNECT_TIMEOUT = 90


class ReconnectTest(PowerTestCase):
    def test_bus_appears_after_start(self):
        d = self.start_daemon()
        self.bus.start(on_battery=True)
        self.wait_daemon_status("bus found on the next attempt", timeout=RECONNECT_TIMEOUT,
                                on_battery=True, paused=True, reason="battery")
        self.assertNotIn("bus", d.log())

    def test_bus_lost_and_back(self):
        self.bus.start(on_battery=True, locked=True)
        self.follow_session()
        d = self.start_daemon()
        self.wait_daemon_status("connected", on_battery=True, locked=True, reason="locked")
        self.bus.kill()
        d.wait_log(LOST)
        # The flags keep their last values while the bus is away.
        self.assertEqual(self.flags(self.daemon_status()),
                         dict(on_battery=True, locked=True, paused=True, reason="locked"))
        self.bus.start(on_battery=False, locked=False)
        self.wait_daemon_status("reconnected", timeout=RECONNECT_TIMEOUT,
                                on_battery=False, locked=False, paused=False, reason="visible")
        self.assertEqual(d.log().count(LOST), 1)
        # The new connection follows the services again.
        self.bus.lock()
        self.wait_daemon_status("locked again", locked=True, reason="locked")


if __name__ == "__main__":
    unittest.main()
