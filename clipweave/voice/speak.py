"""The offline voices' Python face: speech as samples with a time per
written word, the voices there are, and the speech as an MP3 file.

A written word is a whitespace-separated token of the text as given; each
gets one Word, in order, even where the engine said nothing for it (an
emoji, a dash): then it lasts no time, at its neighbour's boundary.
"""
from dataclasses import dataclass

from clipweave.system import children
import clipweave.voice._engines as _engines

ENGINES = ("espeak-ng", "flite")
_TIMEOUT = 120  # seconds for the MP3 encode


@dataclass(frozen=True)
class Word:
    text: str
    start: float  # seconds from the start of the speech
    end: float


@dataclass(frozen=True)
class Spoken:
    pcm: bytes  # signed 16-bit little-endian, mono
    rate: int  # samples a second
    words: tuple  # one Word per written token

    @property
    def seconds(self) -> float:
        return len(self.pcm) / 2 / self.rate


def speak(text: str, engine: str, voice: str) -> Spoken:
    """text spoken by engine ("espeak-ng" or "flite") in voice; ValueError for
    an unknown engine or voice, RuntimeError when the engine fails."""
    pcm, rate, words, _engine_words = _engines.speak(text, engine, voice)
    return Spoken(pcm, rate, tuple(Word(*w) for w in words))


def voices() -> list:
    """(engine, voice, language) of every offline voice: flite's, then espeak-ng's."""
    return _engines.voices()


def write_mp3(spoken: Spoken, path: str) -> None:
    """Writes the speech to path as MP3. ffmpeg records the encoder's delay
    in the file and drops it when decoding, so the words' times hold."""
    children.run(children.ffmpeg("-y", "-f", "s16le", "-ar", spoken.rate, "-ac", 1, "-i", "pipe:0",
                                 "-c:a", "libmp3lame", "-b:a", "64k", path),
                 input=spoken.pcm, capture=True, timeout=_TIMEOUT)
