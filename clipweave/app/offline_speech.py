"""Offline speech: text spoken by espeak-ng, as MP3.

    audio = synthesize("It begins.", "en-US-AriaNeural")   # MP3 bytes

Voice names of the remote service ("en-US-AriaNeural") are mapped to the
closest espeak-ng language (``espeak_voice``); anything unknown speaks as
``DEFAULT_VOICE``. Needs ``espeak-ng`` and ``ffmpeg`` on the search path.
"""
import functools
import os
import subprocess
import tempfile
import threading

from clipweave.system import children

DEFAULT_VOICE = "en"
_TIMEOUT = 120  # seconds for each program run

_listing_lock = threading.Lock()
_listing = None


def voices():
    """The languages espeak-ng speaks ("en", "en-us", "fr-fr", ...), sorted.

    Empty when espeak-ng cannot be run. Asked once per process.
    """
    global _listing
    with _listing_lock:
        if _listing is None:
            try:
                table = children.run(["espeak-ng", "--voices"], capture=True,
                                     timeout=30).stdout.decode("utf-8", "replace")
            except (OSError, subprocess.SubprocessError):
                return []  # not kept: espeak-ng may be installed later
            # Header line first; the language is the second column.
            _listing = sorted({line.split()[1].lower() for line in table.splitlines()[1:]
                               if len(line.split()) > 1})
        return list(_listing)


def known_voice(name):
    """The espeak-ng voice closest to name ("en-US-AriaNeural" -> "en-us"), or None."""
    parts = [p for p in name.replace("_", "-").lower().split("-") if p]
    candidates = ["-".join(parts[:3]), "-".join(parts[:2]), parts[0]] if parts else []
    known = set(voices()) | {DEFAULT_VOICE}
    return next((c for c in candidates if c in known), None)


def espeak_voice(name):
    """The espeak-ng voice for a service voice name such as "en-US-AriaNeural";
    DEFAULT_VOICE for a name it knows nothing like."""
    return known_voice(name) or DEFAULT_VOICE


def synthesize(text, voice):
    """MP3 bytes of ``text`` spoken in ``voice``; a short silence for blank text.

    Raises CalledProcessError (or OSError when a program is missing) if
    espeak-ng or ffmpeg fails.
    """
    return _synthesize(text, espeak_voice(voice))


# Narrations repeat (tests, demo reruns); the audio is immutable bytes.
@functools.lru_cache(maxsize=256)
def _synthesize(text, espeak_name):
    with tempfile.TemporaryDirectory(prefix="clipweave-speech-") as work:
        wav = os.path.join(work, "speech.wav")
        mp3 = os.path.join(work, "speech.mp3")
        source = ["-f", "lavfi", "-i", "anullsrc=r=22050:cl=mono", "-t", "0.3"]
        if text.strip():
            # Text on stdin: a narration beginning with "-" is not an option.
            children.run(["espeak-ng", "-v", espeak_name, "-w", wav, "--stdin"],
                         input=text.encode("utf-8"), capture=True, timeout=_TIMEOUT)
            if os.path.exists(wav) and os.path.getsize(wav) > 44:  # more than a bare header
                source = ["-i", wav]
        children.run(children.ffmpeg("-y", *source, "-c:a", "libmp3lame", "-b:a", "64k", mp3),
                     capture=True, timeout=_TIMEOUT)
        with open(mp3, "rb") as f:
            return f.read()
