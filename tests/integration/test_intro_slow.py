"""An intro still playing 30 s after its start is abandoned. Kept apart from
test_intro.py because it has to wait that long."""

import os
import unittest

from test_intro import ENDED_EARLY, IntroTestCase, blue_video


class IntroDeadlineTest(IntroTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.media["endless_intro"] = os.path.join(cls.media_dir, "endless-intro.mp4")
        blue_video(cls.media["endless_intro"], 45)

    def test_intro_longer_than_the_limit_times_out(self):
        d = self.start_system(shell_takes_still=True)
        p = self.start_intro("endless_intro")
        self.assert_exit(p, 1, ENDED_EARLY)
        self.assert_ended(d, "intro timed out")
        self.assertNotIn("intro finished", d.log())
        s = self.wait_status(lambda s: s["engine"] == "shell", "the shell drawing the still")
        self.assertEqual(s["source_path"], self.media["red"])


if __name__ == "__main__":
    unittest.main()
