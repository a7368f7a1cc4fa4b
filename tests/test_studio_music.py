"""Music under the voice, measured in real renders: heard between the
narrations and lowered under them, faded in and out, looped without a gap
or a click, at its volume, under a source's own sound, and the recap still
at its loudness. The music is made of tones above the narrations' band
(the offline voices stop at 11 kHz), so a high-pass band hears the music
alone even while a narration speaks."""
import array
import json
import math
import os
import subprocess
import sys

import pytest

from clipweave.app.offline_speech import synthesize
from clipweave.model.segments import Segment
from clipweave.studio import MUSIC_DUCK, render_studio
from clipweave.system.probe import loudness, media_info
from studio_media import ffmpeg, flat_video, pattern_video

TEXTS = ["The quiet town wakes up.", "A stranger walks in.", "Nobody is the same again."]
CLIP = 4.0  # each segment's range: the narration, then music alone
MUSIC_SECONDS = 3.2  # shorter than the recap: it loops
WINDOW = 0.05  # seconds a level is measured over
RATE = 48000


def music_file(path, seconds=MUSIC_SECONDS):
    """Two chords of high tones, one after the other: where the end of the
    music crossfades into its start, different tones meet. MUSIC_BAND hears
    the two chords within 1 dB of each other."""
    half = seconds / 2
    chord = "sine=f={}:d={}:sample_rate=48000"
    graph = (f"{chord.format(12000, half)}[a];{chord.format(14200, half)}[b];"
             f"{chord.format(12600, half)}[c];{chord.format(13500, half)}[d];"
             "[a][b]amix=inputs=2:normalize=0[ab];[c][d]amix=inputs=2:normalize=0[cd];"
             "[ab][cd]concat=n=2:v=0:a=1,volume=0.3[out]")
    ffmpeg("-filter_complex", graph, "-map", "[out]", os.fspath(path))
    return os.fspath(path)


def samples(path, filters):
    """The sound of path through filters, mono, as floats at RATE."""
    raw = ffmpeg("-i", os.fspath(path), "-map", "0:a:0", "-af", filters, "-ac", "1", "-ar", str(RATE),
                 "-f", "f32le", "-")
    a = array.array("f")
    a.frombytes(raw)
    return a


def levels(path, filters):
    """dB of path through filters in consecutive windows of WINDOW seconds."""
    a, n = samples(path, filters), int(RATE * WINDOW)
    return [10 * math.log10(max(sum(x * x for x in a[i:i + n]) / n, 1e-20)) for i in range(0, len(a) - n + 1, n)]


# The music's band (the voices have nothing there), and what lies under it.
MUSIC_BAND = ",".join(["highpass=f=11500"] * 6)
BELOW_MUSIC = ",".join(["lowpass=f=4000"] * 4)


def level(values, start, end):
    """The power mean, in dB, of the windows from start to end (seconds)."""
    part = values[int(round(start / WINDOW)):int(round(end / WINDOW))]
    assert part, (start, end)
    return 10 * math.log10(sum(10 ** (v / 10) for v in part) / len(part))


def stretches(timings, duration):
    """(under, between): where each narration speaks, and the music alone
    between them and after the last, as (start, end) clear of the ducking's
    ramps and the filters' edges."""
    under, between = [], []
    for k, t in enumerate(timings):
        spoken_end = t.out_start + t.narration_used
        under.append((t.out_start + 0.3, spoken_end - 0.3))
        following = timings[k + 1].out_start if k + 1 < len(timings) else duration - 0.5
        between.append((spoken_end + 0.4, following - 0.4))
    return under, between


def segment(start, end, text):
    return Segment(float(start), float(end), str(start), str(end), text)


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    d = tmp_path_factory.mktemp("music_media")
    narrations = []
    for k, text in enumerate(TEXTS):
        path = d / f"line{k}.mp3"
        path.write_bytes(synthesize(text, "en-US-AriaNeural", "espeak-ng"))
        narrations.append(os.fspath(path))
    seconds = 0.5 + CLIP * len(TEXTS) + 0.5
    return {"dir": d, "narrations": narrations, "music": music_file(d / "music.flac"),
            "silent": flat_video(d / "flat.mp4", seconds, size="160x90"),
            "sounding": pattern_video(d / "tone.mp4", seconds, size="160x90"),
            "segments": [segment(0.5 + CLIP * k, 0.5 + CLIP * (k + 1), text) for k, text in enumerate(TEXTS)]}


@pytest.fixture(scope="module")
def renders(media, tmp_path_factory):
    """A silent source under music at the default volume and at -40 dB."""
    done = {}
    for volume in (-20.0, -40.0):
        result = render_studio(media["silent"], media["segments"], tmp_path_factory.mktemp("music"),
                               media["narrations"], fit="range", captions="none", quality="fast",
                               music=media["music"], music_volume=volume)
        done[volume] = result, levels(result.video, MUSIC_BAND)
    return done


def test_the_music_is_heard_between_narrations_and_ducked_under_them(renders):
    result, music = renders[-20.0]
    under, between = stretches(result.segments, result.duration)
    depths = []
    for (a, b), (c, d) in zip(under, between):
        assert b - a > 0.3 and d - c > 0.3, (under, between)
        heard = level(music, c, d)
        assert heard > -50, (c, d, heard)
        depths.append(heard - level(music, a, b))
    assert all(10 <= depth <= MUSIC_DUCK + 6 for depth in depths), depths


def test_the_music_is_down_as_a_narration_starts_and_up_as_it_ends(renders):
    result, music = renders[-20.0]
    under, between = stretches(result.segments, result.duration)
    for t, (a, b), (c, d) in zip(result.segments, under, between):
        start, end = t.out_start, t.out_start + t.narration_used
        # Down already at the first word, up again a quarter second after the last.
        assert level(music, start, start + 0.1) < level(music, a, b) + 1.5, t
        assert level(music, end + 0.25, end + 0.35) > level(music, c, c + 0.1) - 1.5, t


def test_the_music_fades_in_and_out(renders):
    result, music = renders[-20.0]
    # Under the first narration from the start: only the fade moves the level.
    assert level(music, 0, 0.1) < level(music, 0.5, 0.7) - 8
    end = result.duration
    assert level(music, end - 0.1, end) < level(music, end - 0.8, end - 0.6) - 8


def test_the_loop_has_no_gap_and_no_click(renders, media):
    result, music = renders[-20.0]
    seconds = media_info(media["music"]).duration
    assert seconds == pytest.approx(MUSIC_SECONDS, abs=0.01)
    # Each copy of the music crossfades into the next over a quarter of it (at most 1 s).
    fade = min(1.0, seconds / 4)
    joins = [(k * (seconds - fade), k * (seconds - fade) + fade) for k in range(1, 5)]
    under, between = stretches(result.segments, result.duration)
    steady = [j for j in joins if any(a <= j[0] - 0.2 and j[1] + 0.2 <= b for a, b in under + between)]
    assert steady, (joins, under, between)  # by design, loop points lie where no ramp moves the level
    for a, b in steady:
        # The level through the crossfade lies on the line from before it to
        # after it (the loudness normaliser's own drift is slow): no dip, no bump.
        before, after = level(music, a - 0.2, a), level(music, b, b + 0.2)
        for k in range(1, 4):
            t = a + (b - a) * k / 4
            expected = before + (after - before) * k / 4
            assert abs(level(music, t - WINDOW, t + WINDOW) - expected) < 1.5, (a, b, t)
    below = levels(result.video, BELOW_MUSIC)
    for a, b in between:
        # Nothing but the music sounds there, all of it above 11 kHz: a click
        # would spread below.
        assert max(below[int(round(a / WINDOW)):int(round(b / WINDOW))]) < -70, (a, b)


@pytest.mark.parametrize("volume", [-20.0, -40.0])
def test_the_recap_keeps_its_loudness_and_peak(renders, volume):
    integrated, peak = loudness(renders[volume][0].video)
    assert abs(integrated - -14.0) <= 1.0
    assert peak <= -1.5


def test_the_music_volume_sets_its_level_between_narrations(renders):
    (result, loud), (_, quiet) = renders[-20.0], renders[-40.0]
    _, between = stretches(result.segments, result.duration)
    steps = [level(loud, a, b) - level(quiet, a, b) for a, b in between]
    assert all(abs(step - 20) < 2 for step in steps), steps


def test_the_command_puts_music_under_a_source_with_its_own_sound(media, renders, tmp_path):
    """--music through the command, over a source whose own sound plays
    between the narrations: the music is there under it, ducked under the
    narrations as over a silent source."""
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": str(s.start), "end": str(s.end), "voiceover": s.narration}
                                    for s in media["segments"]]))
    r = subprocess.run([sys.executable, "-m", "clipweave", media["sounding"], str(segments), "--speech",
                        "espeak-ng", "--music", media["music"], "--fit", "range", "--captions", "none",
                        "--quality", "fast", "--json", "--output-dir", "out"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
    assert r.returncode == 0, r.stderr
    document = json.loads(r.stdout)
    video = document["final"]
    music = levels(video, MUSIC_BAND)
    bed = levels(video, "bandpass=f=330:width_type=q:w=8")
    words = document["words"]
    entries = document["segments"]
    silent, silent_music = renders[-20.0]
    _, silent_between = stretches(silent.segments, silent.duration)
    for n, entry in enumerate(entries, 1):
        spoken = [w for w in words if w["segment"] == n]
        a, b = spoken[0]["start"] + 0.3, spoken[-1]["end"] - 0.3
        c, d = spoken[-1]["end"] + 0.5, entry["out_end"] - 0.5
        assert b - a > 0.3 and d - c > 0.3, entry
        heard = level(music, c, d)
        # As loud as over the silent source, under the source's own sound.
        assert abs(heard - level(silent_music, *silent_between[n - 1])) < 4
        assert level(bed, c, d) > heard + 6
        assert heard - level(music, a, b) >= 10
    integrated, peak = loudness(video)
    assert abs(integrated - -14.0) <= 1.0 and peak <= -1.5
