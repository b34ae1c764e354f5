"""Real wallpapers from Debian's packages (sway-backgrounds, gnome-backgrounds,
desktop-base) and the files tests derive from them at run time with ffmpeg,
exiftool and avifenc. Nothing derived is kept: each test class makes what it
needs in its own temporary directory."""

import os
import subprocess

SWAY_PNG = "/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_1920x1080.png"
SWAY_PORTRAIT_PNG = "/usr/share/backgrounds/sway/Sway_Wallpaper_Blue_768x1024_Portrait.png"
GNOME_WEBP = "/usr/share/backgrounds/gnome/wood-d.webp"
GNOME_PHOTO_WEBP = "/usr/share/backgrounds/gnome/adwaita-d.webp"
GNOME_SVG = "/usr/share/backgrounds/gnome/blobs-d.svg"
DEBIAN_SVG = "/usr/share/desktop-base/emerald-theme/wallpaper/contents/images/1920x1080.svg"

PACKAGE_FILES = (SWAY_PNG, SWAY_PORTRAIT_PNG, GNOME_WEBP, GNOME_PHOTO_WEBP, GNOME_SVG,
                 DEBIAN_SVG)


def missing_package_files():
    """Wallpapers of the packages scripts/install-deps installs that are not
    there; a test fails on them rather than pass without its media."""
    return [p for p in PACKAGE_FILES if not os.access(p, os.R_OK)]


def run(*argv, timeout=120):
    subprocess.run(list(argv), check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   timeout=timeout)


def ffmpeg(*args, timeout=120):
    run("ffmpeg", "-nostdin", "-v", "error", "-y", *args, timeout=timeout)


def exif_orientation(path, value):
    run("exiftool", "-q", "-q", "-overwrite_original", "-n", "-Orientation=%d" % value, path)


def avifenc(src, dst, *options):
    run("avifenc", *options, src, dst)


def rgb_of(path, width, height, vf=None):
    """FFmpeg's own rendering of a picture, cover-cropped to width x height and
    then averaged down to a coarse grid of 1/8 of each side, as bytes of RGB."""
    chain = ("scale=%d:%d:force_original_aspect_ratio=increase,crop=%d:%d,"
             "scale=%d:%d:flags=area" % (width, height, width, height, width // 8, height // 8))
    if vf:
        chain = vf + "," + chain
    return subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-frames:v", "1",
                           "-vf", chain, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                          check=True, capture_output=True, timeout=120).stdout


def mean_difference(a, b):
    """Mean absolute difference per channel of two RGB byte strings of one
    size; None when the sizes differ."""
    if len(a) != len(b) or not a:
        return None
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)
