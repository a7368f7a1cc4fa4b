"""The speech service's narrations get their words' times by alignment: the
module's own client over real HTTP to a loopback stand-in that serves speech
whose word times the test knows (another voice, sped up, after a pause)."""
import statistics

import pytest

from clipweave.app.cache import Cache
from clipweave.app.narration import Narrator, ServiceSpeech
from clipweave.system import children
from clipweave.voice import speak, write_mp3
from standins import StandIns, TtsStandIn

TEXT = ("It begins on an ordinary morning, when a parcel arrives at the wrong door. "
        "Nobody expected what was inside it.")
LEAD = 0.6  # seconds of silence the service puts before the voice
TEMPO = 1.25  # the service speaks faster than the voice it was made from


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """(MP3 bytes, the true onset of each written word in them)."""
    d = tmp_path_factory.mktemp("served")
    spoken = speak(TEXT, "flite", "awb")
    plain = d / "plain.mp3"
    write_mp3(spoken, plain)
    slowed = d / "slowed.mp3"
    children.run(children.ffmpeg("-i", plain, "-af", f"atempo={TEMPO},adelay={int(LEAD * 1000)}",
                                 "-c:a", "libmp3lame", "-b:a", "96k", slowed))
    truth = [LEAD + w.start / TEMPO for w in spoken.words]
    return slowed.read_bytes(), truth


@pytest.fixture
def service(served, rebind):
    audio, _ = served
    with StandIns(lifetime=300) as standins:
        standins.tts.script(json=TtsStandIn.answer_for(audio))
        rebind("requests", standins.requests)
        yield standins


def narrate(cw, tmp_path, cache=None):
    narrator = Narrator(ServiceSpeech(cw._generate_tts, "https://speech.invalid"),
                        cache or Cache(str(tmp_path / "cache"), enabled=False))
    tmp_path.mkdir(exist_ok=True)
    out = str(tmp_path / "voice_0.mp3")
    narrator(TEXT, out, "en-US-AriaNeural")
    return narrator, out


def test_service_words_are_found_in_its_audio(service, served, cw, tmp_path):
    narrator, out = narrate(cw, tmp_path)
    words = narrator.words[out]
    assert [w.text for w in words] == TEXT.split()
    errors = sorted(abs(w.start - t) for w, t in zip(words, served[1]))
    assert statistics.median(errors) <= 0.040, errors
    assert errors[int(0.9 * len(errors))] <= 0.100, errors
    assert all(a.start <= b.start for a, b in zip(words, words[1:]))


def test_cached_service_audio_keeps_its_words_without_asking_again(service, cw, tmp_path):
    cache = Cache(str(tmp_path / "cache"))
    first, out = narrate(cw, tmp_path / "one", cache)
    again, out_again = narrate(cw, tmp_path / "two", cache)
    assert len(service.tts.received) == 1
    assert again.words[out_again] == first.words[out]
