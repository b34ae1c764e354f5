"""On the headless compositor: on battery, with posters configured, the
video gives way to its poster still, which stands still on screen; back on
mains power the video plays again. Battery power comes from a stand-in
UPower on a private system bus."""

import os
import unittest

from busstub import SystemBus
from test_system import SystemTestCase


class PosterScreenTest(SystemTestCase):

    def test_poster_on_battery(self):
        bus = SystemBus(self.env)
        self.addCleanup(bus.stop)
        bus.start()
        config = os.path.join(self.env.config, "kiv", "config.toml")
        os.makedirs(os.path.dirname(config))
        with open(config, "w") as f:
            f.write('[pause]\nbattery_mode = "poster"\n')
        self.start_daemon()
        self.show("video", "video")
        self.assert_moving()

        bus.set_on_battery(True)
        s = self.wait_status(lambda s: s["media_ready"] and s["loaded_kind"] == "still",
                             "the poster shown")
        self.assertEqual(os.path.dirname(s["loaded_path"]),
                         os.path.join(self.env.cache, "kiv", "gif"))
        self.assertEqual((s["source_path"], s["paused"], s["reason"]),
                         (self.media["video"], True, "battery"))
        self.assert_frozen()
        rs = self.run_kiv("render-status")
        self.assertEqual((rs["path"], rs["kind"]), (s["loaded_path"], "still"))

        bus.set_on_battery(False)
        self.wait_loaded(self.media["video"], "video")
        self.assert_moving()


if __name__ == "__main__":
    unittest.main()
