"""The offline voices (clipweave.voice) on real libespeak-ng, libflite and
ffmpeg: a time for every written word that matches the engine and the
audio, symbols left unsaid, MP3 that keeps the times, threads, the cache,
and the command's offline default."""
import array
import json
import math
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from clipweave.app.cache import Cache
from clipweave.app import narration
from clipweave.app.narration import EspeakSpeech, FliteSpeech, Narrator, kept_levels
from clipweave.demo.services import make_source_video
from clipweave.system import children
from clipweave.voice import _engines, speak, voices, write_mp3
from support import seg

VOICES = [("espeak-ng", "en-us"), ("espeak-ng", "fr"), ("flite", "slt"), ("flite", "rms"),
          ("flite", "awb"), ("flite", "kal")]
SENTENCE = ("The old ship sailed slowly across the bay, and then, after a long pause, "
            "it finally reached the harbour.")
FRAME = 0.005  # seconds of audio in an energy frame
PAUSED = "One. Eight. Nine. Eleven."
# Either engine's onsets meet the sound within about 25 ms here; 100 ms off is a
# caption visibly ahead of or behind its word.
ONSET_TOLERANCE = 0.035


def samples(pcm):
    a = array.array("h")
    a.frombytes(pcm)
    return a


def energy(pcm, rate, frame=FRAME):
    """RMS of each frame of the samples."""
    a, n = samples(pcm), int(rate * frame)
    return [math.sqrt(sum(x * x for x in a[i:i + n]) / n) for i in range(0, len(a) - n + 1, n)]


def sound_rises(env, share=0.05, quiet=0.1):
    """Times where sound begins after at least `quiet` seconds under `share`
    of the loudest frame (the start counts as quiet): the first frame over
    it, if the sound goes on to twice that within 40 ms, so a click or
    breath noise is no word."""
    top, still, out = max(env), int(quiet / FRAME), []
    for i, e in enumerate(env):
        if e < share * top:
            still += 1
            continue
        if still >= int(quiet / FRAME) and max(env[i:i + 8]) >= 2 * share * top:
            out.append(i * FRAME)
        still = 0
    return out


def off_the_rises(onsets, rises, within=ONSET_TOLERANCE):
    """The onsets further than `within` from the rise of their word."""
    return [t for t, rise in zip(onsets, rises) if abs(t - rise) > within]


# --- the engines' own times, and the audio -----------------------------------------------

@pytest.mark.parametrize("engine, voice", VOICES)
def test_onsets_are_the_engines_own_and_where_each_word_sounds(engine, voice):
    pcm, rate, words, engine_words = _engines.speak(SENTENCE, engine, voice)
    tokens = SENTENCE.split()
    # Each token starts with the first engine word inside it, as the engine timed it.
    offset = 0
    for (text, start, _end), token in zip(words, tokens):
        offset = SENTENCE.index(token, offset)
        inside = [s for at, s, _ in engine_words if offset <= at < offset + len(token)]
        assert inside and start == pytest.approx(min(inside), abs=1e-9), text
        offset += len(token)
    env = energy(pcm, rate)
    assert words[-1][2] >= (len(env) - 1 - next(i for i, e in enumerate(reversed(env))
                                                 if e > 0.1 * max(env))) * FRAME - 0.03
    # Words apart by long pauses, none starting with a stop's silent closure
    # or a faint fricative: each must start where its sound comes back.
    spoken = speak(PAUSED, engine, voice)
    rises = sound_rises(energy(spoken.pcm, spoken.rate))
    assert len(rises) == len(spoken.words), (rises, spoken.words)
    onsets = [w.start for w in spoken.words]
    assert off_the_rises(onsets, rises) == [], (onsets, rises)
    # The same comparison catches every word shifted by 100 ms either way.
    assert len(off_the_rises([t + 0.1 for t in onsets], rises)) == len(onsets)
    assert len(off_the_rises([t - 0.1 for t in onsets], rises)) == len(onsets)


@pytest.mark.parametrize("engine, voice", [("espeak-ng", "en-us"), ("flite", "slt")])
def test_a_pause_puts_off_the_next_word(engine, voice):
    run_on = speak("Wait then go.", engine, voice).words
    paused = speak("Wait, then go.", engine, voice).words
    assert paused[1].start - paused[0].start > run_on[1].start - run_on[0].start + 0.05
    stopped = speak("Wait. Then go.", engine, voice).words
    assert stopped[1].start - stopped[0].start > run_on[1].start - run_on[0].start + 0.05


# --- every written word ------------------------------------------------------------------

@pytest.mark.parametrize("engine, voice", VOICES)
@pytest.mark.parametrize("text", [
    "In 1999 the well-known Dr. Smith paid $4.50, e.g. 12% more — wow!",
    "📦 Look 📦 at the 🎉🎉 party… ok?! 👍🏽 ❤️ done",
    "naïve café — « quoted » (aside) ... & 3rd",
    "-dash first \t and\nlines   ",
])
def test_every_written_token_gets_a_time_in_order(engine, voice, text):
    spoken = speak(text, engine, voice)
    assert [w.text for w in spoken.words] == text.split()
    starts = [w.start for w in spoken.words]
    assert starts == sorted(starts)
    assert all(0 <= w.start <= w.end <= spoken.seconds for w in spoken.words)
    assert spoken.words[-1].end > spoken.words[0].start  # something was said


@pytest.mark.parametrize("engine, voice", [("espeak-ng", "en-us"), ("flite", "slt")])
def test_symbols_are_not_spoken_but_keep_their_place(engine, voice):
    plain = speak("Look", engine, voice)
    dressed = speak("Look 📦 🎉 ©", engine, voice)
    assert abs(dressed.seconds - plain.seconds) < 0.05
    assert [w.text for w in dressed.words] == ["Look", "📦", "🎉", "©"]
    assert all(w.start == w.end == dressed.words[0].end for w in dressed.words[1:])
    # Nothing to say: a short silence, every token at its start.
    silent = speak("📦 🎉", engine, voice)
    assert silent.seconds == pytest.approx(0.3, abs=0.01) and not any(samples(silent.pcm))
    assert [(w.start, w.end) for w in silent.words] == [(0, 0), (0, 0)]
    assert speak("", engine, voice).words == ()


def test_voices_of_both_engines_and_wrong_requests():
    listed = voices()
    assert {("flite", "slt", "en-us"), ("espeak-ng", "en-us", "en-us"),
            ("espeak-ng", "fr-fr", "fr-fr")} <= set(listed)
    with pytest.raises(ValueError, match="unknown flite voice 'xx'"):
        speak("hi", "flite", "xx")
    with pytest.raises(ValueError, match="unknown espeak-ng voice 'xx-no'"):
        speak("hi", "espeak-ng", "xx-no")
    with pytest.raises(ValueError, match="engine must be"):
        speak("hi", "say", "slt")
    with pytest.raises(TypeError, match="text must be a str"):
        speak(b"hi", "flite", "slt")
    with pytest.raises(UnicodeEncodeError):
        speak("lone \udc80", "flite", "slt")


# --- MP3 -----------------------------------------------------------------------------

def lag(a, b, rate, most=0.05):
    """Seconds by which b runs late of a, from their 1 ms envelopes."""
    ea, eb = energy(a, rate, 0.001), energy(b, rate, 0.001)
    n = min(len(ea), len(eb)) - int(most * 1000)

    def score(k):
        return sum(ea[i] * eb[i + k] for i in range(max(0, -k), n))
    return max(range(-int(most * 1000), int(most * 1000) + 1), key=score) / 1000


@pytest.mark.parametrize("engine, voice", [("espeak-ng", "en-us"), ("flite", "slt")])
def test_the_mp3_keeps_the_times(tmp_path, engine, voice):
    spoken = speak("Then, one day, the river rose.", engine, voice)
    path = tmp_path / "voice.mp3"
    write_mp3(spoken, str(path))
    decoded = children.run(children.ffmpeg("-i", path, "-f", "s16le", "-ac", 1, "-ar",
                                           spoken.rate, "-"), capture=True).stdout
    assert abs(lag(spoken.pcm, decoded, spoken.rate)) <= 0.010
    assert abs(len(decoded) - len(spoken.pcm)) / 2 / spoken.rate < 0.03


# --- threads -------------------------------------------------------------------------

def test_narrations_at_once_match_one_at_a_time():
    jobs = [(f"Narration {i}: the {i}th of 7 words.", engine, voice)
            for i, (engine, voice) in enumerate(VOICES * 2)]
    alone = [speak(*job) for job in jobs]
    with ThreadPoolExecutor(8) as pool:
        together = list(pool.map(lambda job: speak(*job), jobs * 2))
    # libespeak-ng keeps its pitch flutter's phase and some clause state from
    # one text to the next, so its word times move by a pitch period or two
    # (up to about 20 ms, seen) with what it spoke before. flite keeps none:
    # its noise (unvoiced sounds) starts from the same seed for every text, so
    # it speaks a text alike each time, whatever else is spoken at once (a
    # narration made again is then the one a single run made). Speech mixed
    # up between threads would be far off, or lose or gain words.
    for (text, engine, _), one, other in zip(jobs * 2, alone * 2, together):
        assert one.rate == other.rate and [w.text for w in one.words] == [w.text for w in other.words]
        if engine == "flite":
            assert one.pcm == other.pcm and one.words == other.words, text
        for a, b in zip(one.words, other.words):
            assert abs(a.start - b.start) < 0.05 and abs(a.end - b.end) < 0.08  # the last runs to the end pause
        assert abs(len(one.pcm) - len(other.pcm)) / 2 / one.rate < 0.08



# --- the narrator and its cache ----------------------------------------------------------

@pytest.mark.parametrize("backend", [FliteSpeech(), EspeakSpeech()])
def test_the_narrator_keeps_words_and_caches_them(tmp_path, backend):
    cache = Cache(str(tmp_path / "cache"))
    first = Narrator(backend, cache)
    out = str(tmp_path / "a.mp3")
    first("Hello there, 2024 📦 friends.", out, "en-US-AriaNeural")
    words = first.words[out]
    assert [w.text for w in words] == ["Hello", "there,", "2024", "📦", "friends."]
    assert first.requests == 1 and first.seconds[out] > words[-1].start
    assert cache.usage()["speech"][0] == 1
    again = Narrator(backend, cache)
    other = str(tmp_path / "b.mp3")
    again("Hello there, 2024 📦 friends.", other, "en-US-AriaNeural")
    assert again.requests == 0 and again.words[other] == words
    # Audio without its words is spoken again.
    (data,) = (tmp_path / "cache" / "speech").glob("*.json")
    data.unlink()
    third = Narrator(backend, cache)
    third("Hello there, 2024 📦 friends.", str(tmp_path / "c.mp3"), "en-US-AriaNeural")
    assert third.requests == 1 and json.loads(data.read_text())[0][0] == "Hello"
    # Word times kept wrong (not a number, or past the narration's end, where
    # the captions would drop the word) are found again, not used or failed on.
    seconds = third.seconds[str(tmp_path / "c.mp3")]
    for n, bad in enumerate(([["Hello", float("nan"), 0.5]], [["Hello", seconds + 5, seconds + 6]],
                             [["Hello", 0.5, 0.2]], "not words")):
        data.write_text(json.dumps(bad))
        healed = Narrator(backend, cache)
        out = str(tmp_path / f"healed{n}.mp3")
        healed("Hello there, 2024 📦 friends.", out, "en-US-AriaNeural")
        assert healed.requests == 1 and len(healed.words[out]) == 5
        assert all(0 <= w.start <= w.end <= healed.seconds[out] for w in healed.words[out])
        assert json.loads(data.read_text())[0][0] == "Hello"


def test_a_kept_narration_is_what_every_later_run_takes(tmp_path):
    """A run halted while it measured a narration it took from the cache (its
    ffmpeg killed) once spoke it again and replaced the entry, with other
    samples: later runs no longer made a single run's video. Nor does a run
    that spoke the same narration at the same time replace the first stored."""
    cache = Cache(str(tmp_path / "cache"))
    text = "The same words, every time."
    Narrator(FliteSpeech(), cache)(text, str(tmp_path / "first.mp3"), "slt")
    (entry,) = (tmp_path / "cache" / "speech").glob("*.mp3")
    kept = entry.read_bytes(), entry.with_suffix(".json").read_text()

    def killed(path):
        raise children.ChildFailed(-9, ["ffmpeg", "-i", path])

    halted = Narrator(FliteSpeech(), cache, measure=killed)
    out = str(tmp_path / "halted.mp3")
    halted(text, out, "slt")
    assert halted.requests == 0 and math.isnan(halted.seconds[out])
    assert [w.text for w in halted.words[out]] == ["The", "same", "words,", "every", "time."]
    other = tmp_path / "other.mp3"
    write_mp3(speak(text + " Other samples.", "flite", "slt"), str(other))
    assert cache.store("speech", entry.stem, str(other), [["Other", 0.0, 0.1]]) is False
    assert (entry.read_bytes(), entry.with_suffix(".json").read_text()) == kept
    again = Narrator(FliteSpeech(), cache)
    again(text, str(tmp_path / "again.mp3"), "slt")
    assert again.requests == 0 and (tmp_path / "again.mp3").read_bytes() == kept[0]


def test_a_narrations_level_is_measured_once_and_kept(tmp_path, monkeypatch):
    """A narration found in the cache is not measured again (each preview in
    the editor did): the kept level is the measured one, and one kept
    wrong is measured again."""
    measured, measure = [], narration.measure_narration
    monkeypatch.setattr(narration, "measure_narration", lambda path: measured.append(path) or measure(path))
    cache = Cache(str(tmp_path / "cache"))
    first = Narrator(EspeakSpeech(), cache, measure=kept_levels(cache))
    first("A narration, measured once.", str(tmp_path / "a.mp3"), "en")
    (level,) = first.levels.values()
    assert level.seconds > 1 and level.lufs < 0 and 0 <= level.sound[0] < level.sound[1]
    again = Narrator(EspeakSpeech(), cache, measure=kept_levels(cache))
    again("A narration, measured once.", str(tmp_path / "b.mp3"), "en")
    assert again.requests == 0 and len(measured) == 1
    assert again.levels[str(tmp_path / "b.mp3")] == level and type(level.sound) is tuple
    (kept,) = [p for p in (tmp_path / "cache" / "speech").glob("*.json")
               if json.loads(p.read_text()) == [level.seconds, level.lufs, list(level.sound)]]
    for bad in ("not a level", [1.0], ["x", None, None]):
        kept.write_text(json.dumps(bad))
        assert kept_levels(cache)(str(tmp_path / "b.mp3")) == level
    assert len(measured) == 4 and json.loads(kept.read_text())[0] == level.seconds


def test_narrations_made_at_once_into_a_fresh_cache_are_all_kept(tmp_path):
    """Two narrations made at once into a cache that does not exist yet: each
    may be marking the cache as its own while the other stores its entry.
    Here the other's marking is caught half done (its temporary name in the
    cache), as it was when one run in fifteen kept only one of two."""
    cache = Cache(str(tmp_path / "cache"))
    (tmp_path / "cache").mkdir()
    (tmp_path / "cache" / ".partial-marker").write_text("being written")
    narrator = Narrator(EspeakSpeech(), cache)
    texts = [f"Narration number {n}." for n in range(4)]
    with ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda n: narrator(texts[n], str(tmp_path / f"{n}.mp3"), "en"), range(4)))
    assert cache.usage()["speech"][0] == 4
    again = Narrator(EspeakSpeech(), cache)
    for n in range(4):
        again(texts[n], str(tmp_path / f"again{n}.mp3"), "en")
    assert again.requests == 0


# --- the command's offline default ---------------------------------------------------------

def test_without_a_speech_service_the_command_narrates_offline(tmp_path):
    movie = make_source_video(tmp_path / "movie.mp4", seconds=4, size="320x180")
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0", "1.5", "One, two 📦."), seg("2", "3.5", "Three.")]))
    r = subprocess.run([sys.executable, "-m", "clipweave", str(movie), str(segments),
                        "--output-dir", "out", "--json"],
                       cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "no speech service is set up: narrating offline with flite (slt)" in r.stderr
    assert json.loads(r.stdout)["final"] == str(tmp_path / "out" / "FINAL_RECAP.mp4")
    french = subprocess.run([sys.executable, "-m", "clipweave", str(movie), str(segments),
                             "--voice", "fr-FR-DeniseNeural", "--output-dir", "fr", "-q"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert french.returncode == 0, french.stderr


FRENCH_WITH_EMOJI = "Le Dupont, arrivé à 7 h 45 le 3 janv. 🚤, a parcouru 2,5 km vers le nord-est."


@pytest.mark.parametrize("before", [("Le 14 juillet 1789, la Bastille tombe.", "en-us"),
                                    ("Bonjour, le monde est grand.", "fr"),
                                    ("Dr. Smith's 3-D show opens at 10:30 a.m.", "en-us")])
def test_a_repeated_word_event_does_not_pull_the_rest_to_the_end(before):
    # libespeak-ng sometimes repeats a word event for text already spoken, at
    # the very end of the speech, depending on what it spoke before.
    for _ in range(3):
        speak(before[0], "espeak-ng", before[1])
        spoken = speak(FRENCH_WITH_EMOJI, "espeak-ng", "fr")
        seconds = len(spoken.pcm) / 2 / spoken.rate
        late = [w.text for w in spoken.words[:-2] if w.start > seconds - 0.3]
        assert not late, (late, seconds, spoken.words)
