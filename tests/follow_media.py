"""Sources for the subject-following tests, made with ffmpeg from a
photograph Debian ships (opencv-doc's footballer), and a way to find the
photograph in a rendered frame."""
import os
import subprocess

from studio_media import ffmpeg

PHOTO = "/usr/share/doc/opencv-doc/examples/data/messi5.jpg"
SIZE = (640, 360)
RATE = 25
# The patch laid over the scene: the photograph's face, doubled, in a
# border that nothing else in the scenes has: magenta, cyan on the right.
BORDER = 6
PATCH = 160 + 2 * BORDER
# The face inside the patch (x, width), in source pixels.
FACE_X, FACE_W = BORDER + 27, 119
# The scenes: a face crossing a blue one, then a cut to it standing in an olive one.
CROSS_SECONDS, STILL_SECONDS = 3, 2
# The patch's left edge: CROSS_FROM + CROSS_SPEED * t, whole pixels a frame.
CROSS_FROM, CROSS_SPEED = 20, 125
STILL_X = 40
BLUE, OLIVE = "0x284868", "0x686028"


def _patch(index):
    return (f"[{index}:v]crop=70:70:200:75,scale=160:160,pad={PATCH}:{PATCH}:{BORDER}:{BORDER}:"
            f"color=0xff00ff,drawbox=x=iw-{BORDER}:y=0:w={BORDER}:h=ih:color=0x00ffff:t=fill,"
            "format=yuv444p")


def _scene(colour, seconds, patches, dim=1.0):
    """A filter graph: a textured scene with the patch laid at each (x, y) expression."""
    w, h = SIZE
    graph = (f"color=c={colour}:s={w}x{h}:r={RATE}:d={seconds},noise=alls=12:allf=t,format=yuv444p[bg];"
             + _patch(0) + f",split={len(patches)}" + "".join(f"[p{i}]" for i in range(len(patches))))
    last = "bg"
    for i, (x, y) in enumerate(patches):
        # Placed to the pixel: in 4:2:0 overlay would round x to even.
        graph += f";[{last}][p{i}]overlay=x='{x}':y={y}:shortest=1:format=yuv444[o{i}]"
        last = f"o{i}"
    if dim != 1.0:
        graph += f";[{last}]lutyuv=y=val*{dim}:u=128+(val-128)*{dim}:v=128+(val-128)*{dim}[o]"
        last = "o"
    return graph, last


def _render(path, graph, out):
    ffmpeg("-loop", "1", "-framerate", str(RATE), "-i", PHOTO, "-filter_complex", graph, "-map", f"[{out}]",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", str(RATE), os.fspath(path))
    return os.fspath(path)


def crossing_then_still(path):
    """3 s of the face crossing the blue scene left to right, then a cut to
    2 s of it standing at the right of the olive scene."""
    a, out_a = _scene(BLUE, CROSS_SECONDS, [(f"{CROSS_FROM}+{CROSS_SPEED}*t", 70)])
    b, out_b = _scene(OLIVE, STILL_SECONDS, [(STILL_X, 100)])
    part_a, part_b = path + ".a.mp4", path + ".b.mp4"
    _render(part_a, a, out_a)
    _render(part_b, b, out_b)
    ffmpeg("-i", part_a, "-i", part_b, "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", os.fspath(path))
    os.unlink(part_a)
    os.unlink(part_b)
    return os.fspath(path)


def glimpse(path, before=2, frames=12, after=2):
    """A shot of ``frames`` frames of the face standing, cut in between two
    shots without a subject of ``before`` and ``after`` seconds."""
    parts = [scene(f"{path}.{i}.mp4", seconds, patches) for i, (seconds, patches) in
             enumerate(((before, []), (frames / RATE, [(STILL_X, 100)]), (after, [])))]
    ffmpeg(*[a for p in parts for a in ("-i", p)], "-filter_complex",
           "".join(f"[{i}:v]" for i in range(3)) + "concat=n=3:v=1[v]", "-map", "[v]",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", os.fspath(path))
    for p in parts:
        os.unlink(p)
    return os.fspath(path)


def scene(path, seconds, patches, colour=BLUE, dim=1.0):
    """One shot: the patch standing at each (x, y); none is a scene without a subject."""
    if not patches:
        w, h = SIZE
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=s={w}x{h}:r={RATE}:d={seconds}", "-c:v", "libx264",
               "-preset", "ultrafast", "-pix_fmt", "yuv420p", os.fspath(path))
        return os.fspath(path)
    graph, out = _scene(colour, seconds, patches, dim)
    return _render(path, graph, out)


def patch_sides(path, row, width=1080, scale=1.0):
    """Per frame of the video at path, where the patch's sides cross its
    pixel row ``row`` (in a copy scaled to ``width`` wide): (its left edge,
    its right edge) in pixels to a fraction, from the middle of each
    coloured side (``scale`` output pixels a source pixel); None for a side
    not wholly in the picture."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", os.fspath(path), "-vf",
                          f"crop=iw:2:0:{row},scale={width}:1", "-pix_fmt", "rgb24", "-f",
                          "rawvideo", "pipe:1"], capture_output=True, check=True, timeout=300).stdout
    half = BORDER * scale / 2

    def middle(weights):
        total = sum(weights)
        if total < BORDER * scale * 0.5 or weights[0] > 0 or weights[-1] > 0:
            return None  # not there, or cut by the frame's edge
        return sum(x * w for x, w in enumerate(weights)) / total

    frames = []
    for at in range(0, len(out) - width * 3 + 1, width * 3):
        px = out[at:at + width * 3]
        magenta, cyan = [], []
        for x in range(width):
            r, g, b = px[3 * x], px[3 * x + 1], px[3 * x + 2]
            magenta.append(max(0.0, min(1.0, (min(r, b) - g - 60) / 120)))
            cyan.append(max(0.0, min(1.0, (min(g, b) - r - 60) / 120)))
        left, right = middle(magenta), middle(cyan)
        frames.append((None if left is None else left - half + 0.5,
                       None if right is None else right + half + 0.5))
    return frames


def small_face_walking(path, seconds=4, size=(1280, 720), y=260):
    """A face some 36 pixels wide in the analysis's small copy, walking
    left to right across a wide 720p scene at an even pace."""
    w, _ = size
    travel = w - PATCH
    graph = (f"color=c={BLUE}:s={size[0]}x{size[1]}:r={RATE}:d={seconds},noise=alls=12:allf=t,format=yuv444p[bg];"
             + _patch(0) + f"[p];[bg][p]overlay=x='{travel}*t/{seconds}':y={y}:shortest=1:format=yuv444[o]")
    return _render(path, graph, "o")
