"""How pictures fit the outputs in kiv-render: cover, contain, stretch and
center for stills and videos, with pictures of coloured blocks made by ffmpeg
and every sampled screen pixel checked against where the fit puts the picture
and its bars."""

import os
import shutil
import tempfile
import unittest

from compositor import RendererTestCase, every_compositor, ffmpeg, near, start_with_outputs
from kivtest import wait_for

RED = (255, 0, 0)
GREEN = (0, 255, 0)
BLUE = (0, 0, 255)
YELLOW = (255, 255, 0)
WHITE = (255, 255, 255)
BLACK = (0, 0, 0)
BARS = (128, 0, 128)  # the background colour the tests ask for
BARS_TEXT = "#800080"

FIT_ERROR = "Fit must be cover, contain, stretch or center"
COLOR_ERROR = "Background color must be #RRGGBB"
OUTPUTS_ERROR = "Fit outputs must be at most 16 objects with a name"


def quadrants(width, height):
    """Red top left, blue top right, green bottom left, yellow bottom right."""
    w, h = width // 2, height // 2
    return [(0, 0, w, h, RED), (w, 0, w, h, BLUE), (0, h, w, h, GREEN), (w, h, w, h, YELLOW)]


# name -> (width, height, blocks (x, y, w, h, colour) that tile the picture)
PICTURES = {
    "wide": (640, 180, quadrants(640, 180)),   # 32:9, wider than every output
    "tall": (360, 480, quadrants(360, 480)),   # 3:4, narrower than every output
    # Larger than the output both ways: decoded reduced for cover, whole for
    # center. Red, blue and green upright stripes.
    "big": (4000, 1500, [(0, 0, 1000, 1500, RED), (1000, 0, 2000, 1500, BLUE),
                         (3000, 0, 1000, 1500, GREEN)]),
}

# (fit, picture, output size) -> the picture's place (x, y, width, height) on
# the output; everything outside it shows the bars.
STILL_CASES = [
    ("cover", "wide", (1920, 1080), (-960, 0, 3840, 1080)),
    ("contain", "wide", (1920, 1080), (0, 270, 1920, 540)),
    ("stretch", "wide", (1920, 1080), (0, 0, 1920, 1080)),
    ("center", "wide", (1920, 1080), (640, 450, 640, 180)),
    ("cover", "tall", (1920, 1080), (0, -740, 1920, 2560)),
    ("contain", "tall", (1920, 1080), (555, 0, 810, 1080)),
    ("stretch", "tall", (1920, 1080), (0, 0, 1920, 1080)),
    ("center", "tall", (1920, 1080), (780, 300, 360, 480)),
    ("cover", "big", (1920, 1080), (-480, 0, 2880, 1080)),
    ("center", "big", (1920, 1080), (-1040, -210, 4000, 1500)),
    ("cover", "wide", (1024, 768), (-853, 0, 2731, 768)),
    ("contain", "wide", (1024, 768), (0, 240, 1024, 288)),
    ("stretch", "wide", (1024, 768), (0, 0, 1024, 768)),
    ("center", "wide", (1024, 768), (192, 294, 640, 180)),
    ("cover", "tall", (1024, 768), (0, -299, 1024, 1365)),
    ("contain", "tall", (1024, 768), (224, 0, 576, 768)),
    ("stretch", "tall", (1024, 768), (0, 0, 1024, 768)),
    ("center", "tall", (1024, 768), (332, 144, 360, 480)),
]

VIDEO_CASES = [c for c in STILL_CASES if c[1] != "big"]

# Screen pixels this close to an edge of the picture or of one of its blocks
# are not checked: scaling blends colours there.
EDGE_MARGIN = 6


def expected_points(picture, place, output, columns=24, rows=14):
    """(x, y) -> the colour the fit must put there, on a grid over the output."""
    width, height, blocks = PICTURES[picture]
    px, py, pw, ph = place
    sx, sy = pw / width, ph / height
    xs = {px, px + pw} | {px + (b[0] + d) * sx for b in blocks for d in (0, b[2])}
    ys = {py, py + ph} | {py + (b[1] + d) * sy for b in blocks for d in (0, b[3])}
    points = {}
    for i in range(columns):
        for j in range(rows):
            x = int((i + 0.5) * output[0] / columns)
            y = int((j + 0.5) * output[1] / rows)
            if (any(abs(x + 0.5 - e) < EDGE_MARGIN for e in xs)
                    or any(abs(y + 0.5 - e) < EDGE_MARGIN for e in ys)):
                continue
            if not (px <= x < px + pw and py <= y < py + ph):
                points[(x, y)] = BARS
                continue
            ix, iy = (x + 0.5 - px) / sx, (y + 0.5 - py) / sy
            points[(x, y)] = next(c for bx, by, bw, bh, c in blocks
                                  if bx <= ix < bx + bw and by <= iy < by + bh)
    return points


class RenderFitTest(RendererTestCase):
    every_compositor = True

    @classmethod
    def setUpClass(cls):
        cls.media = tempfile.mkdtemp(prefix="kiv-fit-")
        cls.stills = {}
        cls.videos = {}
        for name, (width, height, blocks) in PICTURES.items():
            inputs = []
            for _, _, w, h, c in blocks:
                inputs += ["-f", "lavfi", "-i", "color=c=0x%02x%02x%02x:s=%dx%d:rate=5"
                           % (c + (w, h))]
            if len(blocks) == 4:
                graph = "[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack"
            else:
                graph = "hstack=inputs=%d" % len(blocks)
            still = os.path.join(cls.media, name + ".png")
            ffmpeg(*inputs, "-filter_complex", graph, "-frames:v", "1", still)
            cls.stills[name] = still
            if name in {c[1] for c in VIDEO_CASES}:
                video = os.path.join(cls.media, name + ".mp4")
                ffmpeg(*inputs, "-filter_complex", graph, "-t", "3", "-c:v", "libx264",
                       "-preset", "ultrafast", "-pix_fmt", "yuv420p", video)
                cls.videos[name] = video
        cls.white = os.path.join(cls.media, "white.png")
        # The shape of "tall": faded out over it, its bars lie on the video's.
        ffmpeg("-f", "lavfi", "-i", "color=c=white:s=360x480", "-frames:v", "1", cls.white)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.media, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.output_size = (1920, 1080)

    def ok(self, obj):
        reply = self.cmd(obj)
        self.assertEqual(reply, {"status": "ok"}, "%r" % obj)

    def resize(self, size):
        if size != self.output_size:
            self.comp.resolution("HEADLESS-1", *size)
            self.wait_status(lambda s: (s["max_width"], s["max_height"]) == size,
                             "output of %dx%d" % size)
            self.output_size = size

    def mismatches(self, points, output="HEADLESS-1"):
        _, _, pixel = self.comp.screenshot(output)
        return [(xy, pixel(*xy), c) for xy, c in points.items() if not near(pixel(*xy), c)]

    def wait_points(self, points, what, output="HEADLESS-1"):
        seen = []

        def matches():
            seen[:] = self.mismatches(points, output)
            return not seen
        try:
            wait_for(matches, 20, 0.2, what)
        except AssertionError:
            self.fail("%s: %d of %d points differ, e.g. (x, y), seen, expected: %s"
                      % (what, len(seen), len(points), seen[:6]))

    def check_table(self, cases, load):
        self.start_renderer()
        self.ok({"cmd": "fade", "ms": 0})
        for fit, picture, output, place in sorted(cases, key=lambda c: c[2], reverse=True):
            what = "%s %s on %dx%d" % (fit, picture, output[0], output[1])
            with self.subTest(what):
                self.resize(output)
                self.ok({"cmd": "fit", "fit": fit, "background_color": BARS_TEXT})
                load(picture)
                self.wait_points(expected_points(picture, place, output), what)

    def test_stills_in_every_fit(self):
        def load(picture):
            self.ok({"cmd": "load", "path": self.stills[picture], "kind": "still"})
        self.check_table(STILL_CASES, load)

    def test_videos_in_every_fit(self):
        def load(picture):
            path = self.videos[picture]
            if self.status()["path"] != path:
                self.ok({"cmd": "load", "path": path, "kind": "video"})
            self.wait_status(lambda s: s["ready"], "video ready")
        self.check_table(VIDEO_CASES, load)

    def test_bars_default_to_black_and_fade_like_the_picture(self):
        self.start_renderer()
        self.ok({"cmd": "fade", "ms": 0})
        self.ok({"cmd": "fit", "fit": "contain"})
        self.ok({"cmd": "load", "path": self.stills["tall"], "kind": "still"})
        self.wait_points({(100, 540): BLACK, (700, 270): RED, (1800, 540): BLACK},
                         "black bars")
        # A video after a still: the still fades out over it, bars included,
        # and the video has the same bars.
        self.ok({"cmd": "fit", "fit": "contain", "background_color": BARS_TEXT})
        self.ok({"cmd": "fade", "ms": 2000})
        self.ok({"cmd": "load", "path": self.white, "kind": "still"})
        self.wait_points({(100, 540): BARS, (960, 540): WHITE}, "white still with bars")
        self.ok({"cmd": "load", "path": self.videos["tall"], "kind": "video",
                 "from": self.white})
        mid_fade = []

        def blended():
            _, _, pixel = self.comp.screenshot("HEADLESS-1")
            bar, centre = pixel(100, 540), pixel(700, 270)
            # The bars stay the bar colour throughout; the picture's middle
            # goes from white to red through pink.
            if near(centre, (255, 128, 128), 80) and near(bar, BARS):
                mid_fade.append(centre)
            return near(centre, RED) and near(bar, BARS)
        wait_for(blended, 30, 0.1, "the fade ending on the video with bars")
        self.assertTrue(mid_fade, "no screenshot showed the fade under way")

    @start_with_outputs(2)
    def test_outputs_of_one_size_share_only_with_one_fit(self):
        self.start_renderer()
        self.ok({"cmd": "fade", "ms": 0})
        self.ok({"cmd": "fit", "fit": "contain", "background_color": BARS_TEXT,
                 "outputs": [{"name": "HEADLESS-2", "fit": "cover"}]})
        for kind, path in (("still", self.stills["wide"]), ("video", self.videos["wide"])):
            with self.subTest(kind):
                self.ok({"cmd": "load", "path": path, "kind": kind})
                self.wait_points(expected_points("wide", (0, 270, 1920, 540), (1920, 1080)),
                                 "%s contained on output 1" % kind, "HEADLESS-1")
                self.wait_points(expected_points("wide", (-960, 0, 3840, 1080), (1920, 1080)),
                                 "%s covering output 2" % kind, "HEADLESS-2")
        # The same fit everywhere again: one picture for both once more.
        shared = "one picture drawn for the outputs of 1920x1080"
        before = self.renderer.log().count(shared)
        self.ok({"cmd": "fit", "fit": "stretch"})
        for output in ("HEADLESS-1", "HEADLESS-2"):
            self.wait_points({(480, 270): RED, (1440, 810): YELLOW}, "stretched", output)
        wait_for(lambda: self.renderer.log().count(shared) > before, 10, 0.1,
                 "one picture for both outputs again")

    def test_fit_command_checks_everything_before_it_changes_anything(self):
        self.start_renderer()
        cases = [
            ({"cmd": "fit"}, FIT_ERROR),
            ({"cmd": "fit", "fit": "fill"}, FIT_ERROR),
            ({"cmd": "fit", "fit": "Cover"}, FIT_ERROR),
            ({"cmd": "fit", "fit": 1}, FIT_ERROR),
            ({"cmd": "fit", "fit": "cover", "background_color": "#fff"}, COLOR_ERROR),
            ({"cmd": "fit", "fit": "cover", "background_color": "800080"}, COLOR_ERROR),
            ({"cmd": "fit", "fit": "cover", "background_color": 0}, COLOR_ERROR),
            ({"cmd": "fit", "fit": "cover", "outputs": {}}, OUTPUTS_ERROR),
            ({"cmd": "fit", "fit": "cover", "outputs": [{"fit": "center"}]}, OUTPUTS_ERROR),
            ({"cmd": "fit", "fit": "cover", "outputs": [{"name": "a/b"}]}, OUTPUTS_ERROR),
            ({"cmd": "fit", "fit": "cover", "outputs": [{"name": "x"}] * 17}, OUTPUTS_ERROR),
            ({"cmd": "fit", "fit": "cover", "outputs": [{"name": "x", "fit": "tile"}]},
             FIT_ERROR),
        ]
        self.ok({"cmd": "fade", "ms": 0})
        self.ok({"cmd": "fit", "fit": "center", "background_color": BARS_TEXT})
        self.ok({"cmd": "load", "path": self.stills["wide"], "kind": "still"})
        centred = expected_points("wide", (640, 450, 640, 180), (1920, 1080))
        self.wait_points(centred, "centred")
        for req, message in cases:
            with self.subTest(req=req):
                self.assertEqual(self.cmd(req), {"status": "error", "message": message})
        # Nothing changed: still centred, with the bars.
        self.assertEqual(self.mismatches(centred), [])
        self.ok({"cmd": "fit", "fit": "cover", "outputs": [{"name": "x"}] * 16})


if __name__ == "__main__":
    unittest.main()
