"""Small media for the studio render tests, and ways to look inside the results."""
import json
import math
import os
import re
import subprocess

from clipweave.app.offline_speech import synthesize

BOLD_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
# The bar colours of bars_video, left to right, as (r, g, b).
BARS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (255, 0, 255)]


def ffmpeg(*args, cwd=None):
    return subprocess.run(["ffmpeg", "-y", "-v", "error", "-nostdin", *args], cwd=cwd,
                          capture_output=True, check=True, timeout=300).stdout


def pattern_video(path, seconds, size="320x180", rate=25, sound=True):
    """A moving test pattern (every frame differs), with a tone or silent."""
    args = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}"]
    if sound:
        args += ["-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100",
                 "-map", "0:v", "-map", "1:a", "-c:a", "aac"]
    ffmpeg(*args, "-t", str(seconds), "-c:v", "libx264", "-preset", "ultrafast",
           "-pix_fmt", "yuv420p", "-g", "25", os.fspath(path))
    return os.fspath(path)


def bars_video(path, seconds=2, rotate=None):
    """320x180: five vertical bars of 64 pixels in the colours of BARS."""
    names = ["red", "lime", "blue", "yellow", "magenta"]
    graph = ";".join(f"color=c={n}:s=64x180:r=25:d={seconds}[c{i}]" for i, n in enumerate(names))
    graph += ";" + "".join(f"[c{i}]" for i in range(5)) + "hstack=inputs=5[out0]"
    return _encode(graph, path, rotate)


def white_video(path, size, seconds=1, rotate=None, sar="1"):
    """A white picture of size ("WxH" as stored) with that sample aspect ratio."""
    return _encode(f"color=c=white:s={size}:r=25:d={seconds},setsar={sar}[out0]", path, rotate)


def _encode(graph, path, rotate):
    path = os.fspath(path)
    plain = path + ".plain.mp4" if rotate is not None else path
    ffmpeg("-f", "lavfi", "-i", graph, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           plain)
    if rotate is not None:
        # The tag becomes a display matrix only when the stream is copied.
        ffmpeg("-i", plain, "-c", "copy", "-metadata:s:v:0", f"rotate={rotate}", path)
        os.unlink(plain)
    return path


def narration(path, text):
    with open(path, "wb") as f:
        f.write(synthesize(text, "en-US-AriaNeural"))
    return os.fspath(path)


def streams(path):
    """{codec_type: stream} with the fields the tests read."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-show_entries",
         "stream=codec_type,codec_name,width,height,sample_aspect_ratio,pix_fmt,sample_rate,"
         "channels,duration,nb_read_frames,r_frame_rate:stream_side_data=rotation",
         "-of", "json", os.fspath(path)],
        capture_output=True, text=True, check=True, timeout=120).stdout
    return {s["codec_type"]: s for s in json.loads(out)["streams"]}


def top_level_atoms(path):
    """The types of an MP4 file's top-level boxes, in file order."""
    types = []
    with open(path, "rb") as f:
        size_total = os.fstat(f.fileno()).st_size
        at = 0
        while at + 8 <= size_total:
            f.seek(at)
            head = f.read(16)
            size = int.from_bytes(head[:4], "big")
            types.append(head[4:8].decode("latin-1"))
            if size == 1:
                size = int.from_bytes(head[8:16], "big")
            elif size == 0:
                break
            at += size
    return types


def frame(path, seconds, x, y, w, h, pix_fmt="rgb24"):
    """Raw pixels of a crop of the frame shown at ``seconds``."""
    # Subsampled chroma takes crops of at least 2x2; cut the extra away here.
    cw, ch = max(w, 2), max(h, 2)
    data = ffmpeg("-ss", f"{seconds:.3f}", "-i", os.fspath(path), "-frames:v", "1",
                  "-vf", f"crop={cw}:{ch}:{x}:{y}", "-f", "rawvideo", "-pix_fmt", pix_fmt, "-")
    size = 3 if pix_fmt == "rgb24" else 1
    rows = [data[r * cw * size:(r * cw + w) * size] for r in range(h)]
    return b"".join(rows)


def pixel(data, width, x, y):
    i = (y * width + x) * 3
    return tuple(data[i:i + 3])


def near(colour, expected, tolerance=48):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def mean_difference(a, b):
    assert len(a) == len(b) and a
    return sum(abs(p - q) for p, q in zip(a, b)) / len(a)


def ink_box(gray, width, threshold=128):
    """(left, top, right, bottom) of the bright pixels of a gray image, or None."""
    height = len(gray) // width
    xs, ys = [], []
    for y in range(height):
        row = gray[y * width:(y + 1) * width]
        bright = [x for x, v in enumerate(row) if v >= threshold]
        if bright:
            xs += (bright[0], bright[-1])
            ys.append(y)
    if not ys:
        return None
    return min(xs), ys[0], max(xs), ys[-1]


def flat_video(path, seconds, colour="gray", size="320x180"):
    """A still picture of one colour: renders of it differ only where captions are."""
    return _encode(f"color=c={colour}:s={size}:r=25:d={seconds}[out0]", path, None)


def tone(path, seconds):
    """A narration stand-in of exactly ``seconds``: a steady tone."""
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
           "-c:a", "pcm_s16le", os.fspath(path))
    return os.fspath(path)


# numbered_video's frames: their number in BITS columns, a bit each, white for one.
BITS = 12


def numbered_video(path, seconds, rate=10, size="384x216"):
    """A silent video whose every frame shows its own number: BITS columns
    of equal width across the whole picture, the lowest bit on the left,
    white for one, black for zero."""
    width = int(size.split("x")[0])
    assert width % BITS == 0
    column = width // BITS
    ffmpeg("-f", "lavfi", "-i", f"color=c=black:s={size}:r={rate}:d={seconds}",
           "-vf", f"geq=lum='255*mod(floor(N/pow(2,floor(X/{column}))),2)':cb=128:cr=128",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", str(rate),
           os.fspath(path))
    return os.fspath(path)


def shown_numbers(path, band):
    """The number numbered_video's picture shows in each frame of a render,
    read from the band (top, height) of the frame where the picture lies."""
    top, height = band
    width = int(streams(path)["video"]["width"])
    data = ffmpeg("-i", os.fspath(path), "-vf",
                  f"crop={width}:{height}:0:{top},scale={BITS}:1:flags=area,format=gray",
                  "-f", "rawvideo", "-")
    return [sum(1 << b for b in range(BITS) if data[k + b] >= 128) for k in range(0, len(data), BITS)]


def padded_tone(path, seconds, silence):
    """A narration stand-in: ``silence`` seconds of silence, a tone of
    ``seconds``, and the same silence again."""
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
           "-af", f"adelay={round(silence * 1000)}:all=1,apad=pad_dur={silence}",
           "-c:a", "pcm_s16le", os.fspath(path))
    return os.fspath(path)


def silences(path, at_least):
    """(start, end) of every stretch of silence (under -50 dB) of a file's
    sound that lasts ``at_least`` seconds."""
    err = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", os.fspath(path), "-map", "0:a:0",
                          "-af", f"silencedetect=n=-50dB:d={at_least}", "-f", "null", "-"],
                         capture_output=True, text=True, check=True, timeout=120).stderr
    starts = [float(v) for v in re.findall(r"silence_start: (-?[\d.]+)", err)]
    ends = [float(v) for v in re.findall(r"silence_end: (-?[\d.]+)", err)]
    return list(zip(starts, ends + [math.inf] * (len(starts) - len(ends))))


def gray_frame(path, seconds):
    """The whole frame shown at ``seconds``, one byte a pixel."""
    return ffmpeg("-ss", f"{seconds:.3f}", "-i", os.fspath(path), "-frames:v", "1",
                  "-f", "rawvideo", "-pix_fmt", "gray", "-")


def changed_box(a, b, width, threshold=40):
    """(left, top, right, bottom) of the pixels that differ by more than
    threshold between two gray images, or None."""
    height = len(a) // width
    box = None
    for y in range(height):
        row_a, row_b = a[y * width:(y + 1) * width], b[y * width:(y + 1) * width]
        if row_a == row_b:
            continue
        xs = [x for x in range(width) if abs(row_a[x] - row_b[x]) > threshold]
        if xs:
            box = (min(xs), y, max(xs), y) if box is None else (
                min(box[0], xs[0]), box[1], max(box[2], xs[-1]), y)
    return box


def yellow_pixels(rgb):
    """How many pixels of raw RGB are the highlight's yellow."""
    return sum(1 for i in range(0, len(rgb), 3)
               if rgb[i] > 190 and rgb[i + 1] > 190 and rgb[i + 2] < 100)
