"""Word times carried from a reference recording onto another recording of
the same words (clipweave.align._align and clipweave.align.words).

The material is made here, so its truth is known: word-like synthetic
sounds with silences between them, and espeak-ng's words spoken one by one
and joined. The target is the same words at other speeds, pitches, timbres,
pauses and sample rates. bench/align.py measures on the same material.
"""
import array
import io
import math
import functools
import random
import statistics
import subprocess
import sys
import time
import wave

import pytest

from clipweave.system import children
from clipweave.align import _align, words as alignment

SENTENCE = ("the quick brown fox jumps over a lazy dog while seven bright yellow "
            "birds sing quietly beside the old stone bridge").split()


# --- material ------------------------------------------------------------------

def pcm_of(samples):
    """16-bit little-endian bytes of float samples in -1..1."""
    return array.array("h", (max(-32767, min(32767, int(s * 32767))) for s in samples)).tobytes()


def samples_of(pcm):
    return array.array("h", pcm)


class Voice:
    """How a synthetic speaker says the words: pitch, vocal tract (formants
    scaled), and a random generator for its noise."""

    def __init__(self, pitch=120.0, tract=1.0, seed=0):
        self.pitch, self.tract, self.random = pitch, tract, random.Random(seed)


def vowel(voice, formants, seconds, rate):
    """A voiced sound: harmonics of the pitch shaped by formant resonances,
    read from one period so that it costs little to make."""
    period = max(2, int(rate / voice.pitch))
    f0 = rate / period
    table = [0.0] * period
    for h in range(1, int(min(4000.0, rate / 2.2) / f0) + 1):
        amp = sum(1.0 / (1.0 + ((h * f0 - f * voice.tract) / 90.0) ** 2) for f in formants)
        for k in range(period):
            table[k] += amp * math.sin(2 * math.pi * h * k / period)
    peak = max(abs(x) for x in table) or 1.0
    return [table[k % period] / peak for k in range(int(seconds * rate))]


def hiss(voice, brightness, seconds, rate):
    """An unvoiced sound: noise, brighter for brightness near 1, duller near -1."""
    out, previous = [], 0.0
    for _ in range(int(seconds * rate)):
        x = voice.random.uniform(-1, 1)
        out.append(0.6 * (x - brightness * previous))
        previous = x
    return out


# Word-like sounds: each a few phones, each phone (kind, parameter, share).
PHONES = {
    "a": ("vowel", (730, 1090, 2440)), "i": ("vowel", (270, 2290, 3010)),
    "u": ("vowel", (300, 870, 2240)), "e": ("vowel", (530, 1840, 2480)),
    "o": ("vowel", (570, 840, 2410)), "s": ("hiss", 0.95), "f": ("hiss", 0.3),
    "h": ("hiss", -0.6),
}
WORDS = ["sa", "ifu", "hoe", "us", "fai", "seo", "ua", "hi", "esf", "oi", "fus", "ahe"]


def word_sound(word, voice, seconds, rate):
    out = []
    each = seconds / len(word)
    for letter in word:
        kind, parameter = PHONES[letter]
        make = vowel if kind == "vowel" else hiss
        out += make(voice, parameter, each, rate)
    # 8 ms fades: a click would be an edge no speech has.
    fade = int(0.008 * rate)
    for k in range(min(fade, len(out) // 2)):
        out[k] *= k / fade
        out[-1 - k] *= k / fade
    return out


def utterance(parts, rate, noise=0.0, seed=0):
    """Joins (sound, pause seconds after it) parts; the samples and each
    sound's (start, end) in seconds."""
    rng = random.Random(seed)
    samples, bounds = [], []
    for sound, pause in parts:
        start = len(samples)
        samples += sound
        bounds.append((start / rate, len(samples) / rate))
        samples += [0.0] * int(pause * rate)
    if noise:
        samples = [s * 0.5 + rng.gauss(0, noise) for s in samples]
    else:
        samples = [s * 0.5 for s in samples]
    return pcm_of(samples), bounds


def synthetic(words, rate=16000, pitch=120.0, tract=1.0, stretch=(1.0, 1.0), pauses=(0.05, 0.05),
              noise=0.0, seed=0, lead=0.2):
    """A synthetic utterance of words (keys into WORDS), each 0.25..0.45 s
    (from its name, so the same word has the same length in every take)
    times a random stretch, with random pauses; (pcm, rate, bounds)."""
    rng = random.Random(seed)
    voice = Voice(pitch, tract, seed)
    parts = [([0.0] * int(lead * rate), 0.0)]
    for w in words:
        base = 0.25 + 0.2 * (sum(map(ord, w)) % 7) / 6
        parts.append((word_sound(w, voice, base * rng.uniform(*stretch), rate), rng.uniform(*pauses)))
    pcm, bounds = utterance(parts, rate, noise, seed)
    return pcm, rate, bounds[1:]


def read_wav(data):
    with wave.open(io.BytesIO(data)) as w:
        assert w.getnchannels() == 1 and w.getsampwidth() == 2
        return w.readframes(w.getnframes()), w.getframerate()


@functools.lru_cache(maxsize=None)  # long utterances repeat their words
def espeak_word(word, voice="en", speed=175, pitch=50):
    """One word from the espeak-ng program, its silence at either end cut:
    (pcm, rate)."""
    done = children.run(["espeak-ng", "-v", voice, "-s", str(speed), "-p", str(pitch), "--stdout", word],
                        capture=True)
    pcm, rate = read_wav(done.stdout)
    s = samples_of(pcm)
    loud = [k for k in range(0, len(s), 64) if max(abs(x) for x in s[k:k + 64]) > 400]
    first, last = loud[0], min(len(s), loud[-1] + 64)
    return s[first:last].tobytes(), rate


def espeak_utterance(words, voice="en", speed=175, pitch=50, pauses=(0.0, 0.0), seed=0, lead=0.3):
    """Words spoken one by one and joined with random pauses: (pcm, rate,
    bounds), each word's bounds where its sound starts and ends."""
    rng = random.Random(seed)
    chunks, bounds, at, rate = [], [], 0, None
    silence = lambda seconds: b"\0\0" * int(seconds * rate)  # noqa: E731
    for k, word in enumerate(words):
        pcm, rate = espeak_word(word, voice, speed, pitch)
        if k == 0:
            chunks.append(silence(lead))
            at += len(chunks[-1]) // 2
        bounds.append((at / rate, (at + len(pcm) // 2) / rate))
        chunks.append(pcm)
        chunks.append(silence(rng.uniform(*pauses)))
        at += (len(pcm) + len(chunks[-1])) // 2
    chunks.append(silence(lead))
    return b"".join(chunks), rate, bounds


def resample(pcm, rate, to_rate):
    done = children.run(children.ffmpeg("-f", "s16le", "-ar", rate, "-ac", 1, "-i", "pipe:0",
                                        "-ar", to_rate, "-f", "s16le", "pipe:1"),
                        capture=True, input=pcm)
    return done.stdout


# --- measures ------------------------------------------------------------------

def onset_errors(found, truth):
    return [abs(f[0] - t[0]) for f, t in zip(found, truth)]


def p90(values):
    return sorted(values)[min(len(values) - 1, int(0.9 * len(values)))]


def even_spread(reference, target):
    """The reference's words scaled onto the target's length: the guess
    made without listening."""
    (ref_pcm, ref_rate, ref_bounds), (tgt_pcm, tgt_rate, _) = reference, target
    scale = (len(tgt_pcm) / tgt_rate) / (len(ref_pcm) / ref_rate)
    return [(s * scale, e * scale) for s, e in ref_bounds]


def aligned(reference, target):
    (ref_pcm, ref_rate, ref_bounds), (tgt_pcm, tgt_rate, _) = reference, target
    return _align.align(ref_pcm, ref_rate, ref_bounds, tgt_pcm, tgt_rate)


def check_shape(spans, count, seconds):
    """The promises every answer keeps: one span a word, in order, in the target."""
    assert len(spans) == count
    starts = [s for s, _ in spans]
    assert starts == sorted(starts)
    assert all(0.0 <= s <= e <= seconds + 1e-9 for s, e in spans)


def assert_accurate(reference, target):
    found = aligned(reference, target)
    check_shape(found, len(reference[2]), len(target[0]) / 2 / target[1])
    errors = onset_errors(found, target[2])
    guessed = onset_errors(even_spread(reference, target), target[2])
    assert statistics.median(errors) <= 0.040, errors
    assert p90(errors) <= 0.100, errors
    # Listening must beat the guess by far on material with uneven timing.
    assert statistics.median(guessed) > 3 * max(statistics.median(errors), 0.010), (errors, guessed)


# Twelve word-like sounds in an order where neighbours differ.
SYNTHETIC_WORDS = [WORDS[k % len(WORDS)] for k in (0, 3, 5, 1, 7, 2, 9, 4, 11, 6, 8, 10, 0, 5)]


@pytest.fixture(scope="module")
def synthetic_reference():
    return synthetic(SYNTHETIC_WORDS, rate=16000, pitch=110, pauses=(0.0, 0.03), seed=1)


@pytest.mark.parametrize("take", [
    # Higher voice, longer tract, words 0.7..1.5 times as long, pauses up to 0.8 s, noise.
    dict(rate=22050, pitch=150, tract=1.12, stretch=(0.7, 1.5), pauses=(0.0, 0.8), noise=0.01, seed=3),
    dict(rate=24000, pitch=190, tract=1.18, stretch=(0.6, 1.6), pauses=(0.0, 1.2), noise=0.02, seed=4),
    # Faster than the reference, low rate, lower voice.
    dict(rate=8000, pitch=85, tract=0.92, stretch=(0.5, 0.8), pauses=(0.0, 0.4), noise=0.005, seed=5),
], ids=["slower-higher-22k", "much-slower-24k", "faster-lower-8k"])
def test_synthetic_words_are_found_through_warps(synthetic_reference, take):
    assert_accurate(synthetic_reference, synthetic(SYNTHETIC_WORDS, **take))


@pytest.fixture(scope="module")
def espeak_reference():
    return espeak_utterance(SENTENCE, "en", 175, 50, pauses=(0.0, 0.0), seed=0)


@pytest.mark.parametrize("voice, speed, pitch, pauses", [
    ("en", 130, 70, (0.0, 0.5)),
    ("en-us+f3", 220, 80, (0.0, 0.2)),
    ("en+m3", 110, 30, (0.0, 1.0)),
    ("en-gb-x-rp+f4", 190, 60, (0.0, 0.3)),
])
def test_espeak_words_are_found_in_another_voice(espeak_reference, voice, speed, pitch, pauses):
    target = espeak_utterance(SENTENCE, voice, speed, pitch, pauses=pauses, seed=speed)
    assert_accurate(espeak_reference, target)


def test_words_run_together_in_another_voice(espeak_reference):
    # No pauses at all: only the sounds tell where the words are.
    target = espeak_utterance(SENTENCE, "en-us+klatt", 160, 60, pauses=(0.0, 0.0))
    found = aligned(espeak_reference, target)
    errors = onset_errors(found, target[2])
    assert statistics.median(errors) <= 0.040 and p90(errors) <= 0.100, errors


def test_a_compressed_file_at_another_rate(espeak_reference, tmp_path):
    pcm, rate, truth = espeak_utterance(SENTENCE[:8], "en+f2", 150, 65, pauses=(0.05, 0.6), seed=7)
    path = tmp_path / "narration.mp3"
    children.run(children.ffmpeg("-f", "s16le", "-ar", rate, "-ac", 1, "-i", "pipe:0",
                                 "-ar", 24000, "-b:a", "64k", path), input=pcm)
    decoded = alignment.decode_pcm(path, 24000)
    assert abs(len(decoded) / 2 / 24000 - len(pcm) / 2 / rate) < 0.1

    class Spoken:  # what the reference voice returns: samples, rate, words
        pcm, rate = espeak_reference[0], espeak_reference[1]
        words = tuple((w, s, e) for w, (s, e) in zip(SENTENCE, espeak_reference[2]))

    Spoken.words = Spoken.words[:8]
    # The reference speaks the whole sentence: the last words find nothing
    # and crowd the end, the first eight are where they are.
    Spoken.pcm = Spoken.pcm[:int((espeak_reference[2][7][1] + 0.3) * Spoken.rate) * 2]
    found = alignment.align_words(path, Spoken)
    assert isinstance(found, tuple) and len(found) == 8
    errors = onset_errors(found, truth)
    assert statistics.median(errors) <= 0.040 and p90(errors) <= 0.100, errors


# --- edges ---------------------------------------------------------------------

def test_one_word(espeak_reference):
    ref_pcm, ref_rate, bounds = espeak_utterance(["bridge"], "en", 175, 50)
    pcm, rate, truth = espeak_utterance(["bridge"], "en+f3", 120, 80, lead=1.3)
    found = _align.align(ref_pcm, ref_rate, bounds, pcm, rate)
    assert abs(found[0][0] - truth[0][0]) <= 0.04 and abs(found[0][1] - truth[0][1]) <= 0.1


def test_target_with_long_pauses_and_a_long_lead(espeak_reference):
    target = espeak_utterance(SENTENCE, "en", 160, 50, pauses=(1.0, 3.0), seed=9, lead=4.0)
    assert len(target[0]) / 2 / target[1] > 4 * len(espeak_reference[0]) / 2 / espeak_reference[1]
    assert_accurate(espeak_reference, target)


def test_target_much_shorter_than_the_reference():
    reference = espeak_utterance(SENTENCE, "en", 90, 50, pauses=(0.2, 0.6), seed=2)
    target = espeak_utterance(SENTENCE, "en+f4", 320, 70, pauses=(0.0, 0.0), lead=0.05)
    assert len(target[0]) * 3 < len(reference[0])
    found = aligned(reference, target)
    errors = onset_errors(found, target[2])
    assert statistics.median(errors) <= 0.040 and p90(errors) <= 0.100, errors


@pytest.mark.parametrize("make", [
    lambda rate: b"\0\0" * (3 * rate),
    lambda rate: pcm_of(random.Random(1).gauss(0, 0.05) for _ in range(3 * rate)),
    lambda rate: b"",
], ids=["digital-silence", "steady-noise", "empty"])
def test_a_target_without_speech_gets_the_words_spread(espeak_reference, make):
    ref_pcm, ref_rate, bounds = espeak_reference
    found = _align.align(ref_pcm, ref_rate, bounds, make(16000), 16000)
    seconds = len(make(16000)) / 2 / 16000
    check_shape(found, len(bounds), seconds)
    scale = seconds / (len(ref_pcm) / 2 / ref_rate)
    assert found == pytest.approx([(s * scale, e * scale) for s, e in bounds])


def test_arbitrary_spans_keep_the_promises(synthetic_reference):
    # Spans past the reference's end, overlapping, empty, out of order.
    ref_pcm, ref_rate, _ = synthetic_reference
    pcm, rate, _ = synthetic(SYNTHETIC_WORDS[:5], rate=11025, pitch=160, pauses=(0.1, 0.5), seed=8)
    rng = random.Random(3)
    spans = [(a, a + rng.uniform(0, 2)) for a in (rng.uniform(0, 9) for _ in range(40))] + [(0, 0), (50, 60)]
    check_shape(_align.align(ref_pcm, ref_rate, spans, pcm, rate), len(spans), len(pcm) / 2 / rate)
    assert _align.align(ref_pcm, ref_rate, [], pcm, rate) == []


def test_time_grows_linearly_with_length(espeak_reference):
    target = espeak_utterance(SENTENCE, "en-us+f3", 150, 70, pauses=(0.0, 0.4), seed=1)

    def repeated(material, seconds):
        pcm, rate, bounds = material
        n = max(1, round(seconds / (len(target[0]) / 2 / target[1])))
        length = len(pcm) / 2 / rate
        return pcm * n, rate, [(s + k * length, e + k * length) for k in range(n) for s, e in bounds]

    def timed(seconds, runs=3):
        # The least of a few runs: the machine is shared.
        reference, longer = repeated(espeak_reference, seconds), repeated(target, seconds)
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            found = aligned(reference, longer)
            times.append(time.perf_counter() - start)
        check_shape(found, len(reference[2]), len(longer[0]) / 2 / longer[1])
        return found, longer, min(times)

    timed(10, runs=1)  # the first call pays for loading
    found, longer, _ = timed(300, runs=1)
    errors = onset_errors(found, longer[2])
    assert statistics.median(errors) <= 0.040 and p90(errors) <= 0.100
    # Eight times the length: linear work takes about 8 times as long, a
    # quadratic path 64 times. Short lengths are left out: they fit in the
    # processor's caches, which would make the ratio a measure of the machine.
    short, long = timed(150)[2], timed(1200)[2]
    assert long / short < 20


def test_a_long_narration_keeps_its_way():
    # Some 7 minutes of words in no repeating order. A band too narrow
    # around the coarse levels' path lost its way here for whole stretches
    # (90th percentile 24 s).
    rng = random.Random(5)
    words = [rng.choice(SENTENCE) for _ in range(660)]
    reference = espeak_utterance(words, "en", 175, 50, pauses=(0.0, 0.0), seed=0)
    target = espeak_utterance(words, "en-us+f3", 150, 70, pauses=(0.0, 0.4), seed=1)
    found = aligned(reference, target)
    check_shape(found, len(words), len(target[0]) / 2 / target[1])
    errors = onset_errors(found, target[2])
    assert statistics.median(errors) <= 0.040 and p90(errors) <= 0.5


def test_threads_get_the_single_threaded_answers(synthetic_reference):
    import concurrent.futures
    takes = [synthetic(SYNTHETIC_WORDS, rate=r, pitch=p, pauses=(0.0, 0.5), seed=s)
             for r, p, s in ((22050, 140, 1), (16000, 200, 2), (44100, 95, 3), (8000, 120, 4))]
    alone = [aligned(synthetic_reference, t) for t in takes]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda t: aligned(synthetic_reference, t), takes * 3))
    assert together == alone * 3


# A thread aligns ten minutes while the interpreter exits; an object that
# the exit collects holds it up 3 s, so the alignment ends and asks for the
# GIL back meanwhile.
ALIGNING_AT_EXIT = """
import array, math, os, sys, threading, time, types
from clipweave.align import _align

def bursts(period):
    second = array.array("h", (int(8000 * math.sin(i * period)) if i < 8000 else 0
                               for i in range(16000))).tobytes()
    return second * 600

reference, target = bursts(0.05), bursts(0.07)
started = threading.Event()

def work():
    started.set()
    _align.align(reference, 16000, [(0.0, 300.0), (300.0, 600.0)], target, 16000)

class SlowExit:
    def __del__(self, sleep=time.sleep, write=os.write, finalizing=sys.is_finalizing):
        write(1, b"held up at exit\\n" if finalizing() else b"too early\\n")
        sleep(3)

holder = types.ModuleType("slow_exit")
holder.keep = SlowExit()
sys.modules["slow_exit"] = holder
threading.Thread(target=work, daemon=True).start()
started.wait()
"""


def test_a_thread_aligning_when_the_interpreter_exits_ends_quietly():
    """The thread is ended by the exit as it takes the GIL back; that must
    not abort the process (it did, through a destructor taking the GIL back)."""
    done = subprocess.run([sys.executable, "-c", ALIGNING_AT_EXIT], capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "held up at exit\n", "")


@pytest.mark.parametrize("args, error", [
    ((b"\0\0\0", 16000, [(0, 1)], b"\0\0", 16000), ValueError),   # half a sample
    ((b"\0\0", 0, [(0, 1)], b"\0\0", 16000), ValueError),         # no rate
    ((b"\0\0", 16000, [(0, 1)], b"\0\0", 10 ** 6), ValueError),
    ((b"\0\0", 16000, [(1, 0.5)], b"\0\0", 16000), ValueError),   # ends before it starts
    ((b"\0\0", 16000, [(float("nan"), 1)], b"\0\0", 16000), ValueError),
    ((b"\0\0", 16000, [(0, 1, 2)], b"\0\0", 16000), ValueError),
    ((b"\0\0", 16000, [(0, "1")], b"\0\0", 16000), TypeError),
    ((b"\0\0", 16000, [0.5], b"\0\0", 16000), TypeError),
    (("\0\0", 16000, [(0, 1)], b"\0\0", 16000), TypeError),       # text is not samples
    ((b"\0\0", 16000, [(0, 1)], None, 16000), TypeError),
])
def test_bad_arguments_are_refused(args, error):
    with pytest.raises(error):
        _align.align(*args)


def test_any_bytes_like_samples(synthetic_reference):
    ref_pcm, ref_rate, bounds = synthetic_reference
    as_bytes = _align.align(ref_pcm, ref_rate, bounds, ref_pcm, ref_rate)
    odd = memoryview(b"\0" + ref_pcm)[1:]  # a view that starts off an even address
    assert _align.align(bytearray(ref_pcm), ref_rate, bounds, odd, ref_rate) == as_bytes
