"""Offline speech: which offline voice speaks a voice name, and MP3 of it.

    audio = synthesize("It begins.", "en-US-AriaNeural")   # MP3 bytes, flite's slt

Voice names of the remote service ("en-US-AriaNeural") speak English with
flite (``DEFAULT_FLITE_VOICE``) and other languages with the closest
espeak-ng language (``espeak_voice``); flite's own names ("slt", "rms",
"awb", "kal") choose a flite voice. Speech comes from the libraries
(:mod:`clipweave.voice`); ffmpeg makes the MP3.
"""
import functools
import os
import tempfile
from dataclasses import dataclass

from clipweave.app.origins import is_placeholder
from clipweave.voice import speak, voices as offline_voices, write_mp3

DEFAULT_VOICE = "en"  # espeak-ng's, for a name it knows nothing like
DEFAULT_FLITE_VOICE = "slt"
FLITE_VOICES = ("slt", "rms", "awb", "kal")


def voices():
    """The languages espeak-ng speaks ("en", "en-us", "fr-fr", ...), sorted."""
    return sorted({name for engine, name, _ in offline_voices() if engine == "espeak-ng"})


def _parts(name):
    return [p for p in name.replace("_", "-").lower().split("-") if p]


def known_voice(name):
    """The espeak-ng voice closest to name ("en-US-AriaNeural" -> "en-us",
    "fr" -> "fr-fr"), or None."""
    parts = _parts(name)
    # "fr" has no voice of that name in espeak-ng: "fr-fr" is French's own.
    candidates = ["-".join(parts[:3]), "-".join(parts[:2]), parts[0],
                  f"{parts[0]}-{parts[0]}"] if parts else []
    known = set(voices()) | {DEFAULT_VOICE}
    return next((c for c in candidates if c in known), None)


def espeak_voice(name):
    """The espeak-ng voice for a service voice name such as "en-US-AriaNeural";
    DEFAULT_VOICE for a name it knows nothing like."""
    return known_voice(name) or DEFAULT_VOICE


def flite_voice(name):
    """The flite voice for name: a flite voice's own name, DEFAULT_FLITE_VOICE
    for an English one ("en-US-AriaNeural", "en-gb"), else None."""
    lowered = name.strip().lower()
    if lowered in FLITE_VOICES:
        return lowered
    parts = _parts(name)
    return DEFAULT_FLITE_VOICE if parts and parts[0] == "en" else None


def offline_voice(name):
    """(engine, voice) that speaks name offline: flite for English and
    flite's names, espeak-ng for the rest (its default for unknown names)."""
    flite = flite_voice(name)
    return ("flite", flite) if flite else ("espeak-ng", espeak_voice(name))


@dataclass(frozen=True)
class Speaker:
    """Who speaks a run's narration."""

    engine: str  # "service", "flite" or "espeak-ng"
    voice: str | None  # the offline voice that speaks; None for the service, or a voice the engine lacks
    fallback: bool  # the service by default, but none is set up: this machine's voices instead


def who_speaks(settings):
    """The Speaker of a run with these settings ({name: Setting}): the
    chosen engine; where nobody chose one and no speech service is set up,
    flite for English and espeak-ng for other languages."""
    speech, voice = settings["speech"], settings["voice"].value
    if speech.value == "service" and speech.source == "default" \
            and is_placeholder(settings["speech_service"].value):
        engine, name = offline_voice(voice)
        # A name espeak-ng does not know is refused, not spoken in English.
        return Speaker(engine, name if engine == "flite" else known_voice(voice), True)
    if speech.value == "flite":
        return Speaker("flite", flite_voice(voice), False)
    if speech.value == "espeak-ng":
        return Speaker("espeak-ng", known_voice(voice), False)
    return Speaker("service", None, False)


def synthesize(text, voice, engine=None):
    """MP3 bytes of ``text`` spoken in ``voice``, by ``engine`` ("flite",
    "espeak-ng", or None for :func:`offline_voice`'s choice); a short
    silence for blank text. Raises ChildFailed if ffmpeg fails."""
    if engine is None:
        engine, name = offline_voice(voice)
    else:
        name = espeak_voice(voice) if engine == "espeak-ng" else flite_voice(voice) or DEFAULT_FLITE_VOICE
    return _synthesize(text, engine, name)


# Narrations repeat (tests, demo reruns); the audio is immutable bytes.
@functools.lru_cache(maxsize=256)
def _synthesize(text, engine, name):
    spoken = speak(text, engine, name)
    with tempfile.TemporaryDirectory(prefix="clipweave-speech-") as work:
        mp3 = os.path.join(work, "speech.mp3")
        write_mp3(spoken, mp3)
        with open(mp3, "rb") as f:
            return f.read()
