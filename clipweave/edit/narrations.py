"""Narrations the page asks to hear or to measure, spoken as a run would
speak them: by the run's choice of speech and voice (or the panel's),
through the same cache (clipweave.app.narration), so that the render
finds them made. Each is kept in the session's folder under its cache key.
"""
import dataclasses
import os
import re
import threading

from clipweave.app.checks import choose
from clipweave.app.narration import kept_levels
from clipweave.edit.project import Refused
from clipweave.studio import spoken_text

MAX_TEXT = 10000  # characters of one narration
_KEY = re.compile(r"[0-9a-f]{64}")


class Narrations:
    """``request``: the session's RunRequest (its speech settings);
    ``backends``: the module's clients, bound for the session."""

    def __init__(self, request, backends, console, folder):
        self.request = request
        self.backends = backends
        self.console = console
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self._narrators = {}  # (speech, voice) -> (narrator, voice, engine)
        self._seconds = {}  # key -> seconds
        self._locks = {}
        self._lock = threading.Lock()

    def _narrator(self, speech, voice):
        with self._lock:
            known = self._narrators.get((speech, voice))
        if known is not None:
            return known
        request = dataclasses.replace(self.request, speech=speech or self.request.speech,
                                      voice=voice or self.request.voice)
        # The source was checked when the editor started: what is wrong now is the speech's.
        parts, problems = choose(request, self.backends, self.console)
        if problems:
            raise Refused(problems)
        # Measured as a run measures it, and kept: a preview of it then need not.
        parts.narrator.measure = kept_levels(parts.cache)
        chosen = (parts.narrator, parts.settings["voice"].value, parts.narrator.backend.name)
        with self._lock:
            self._narrators[(speech, voice)] = chosen
        return chosen

    def speak(self, text, speech=None, voice=None):
        """{"key", "seconds", "engine", "voice"} of text spoken; Refused for
        a voice the chosen speech does not have."""
        if not text.strip():
            raise Refused(["the narration is empty"])
        if len(text) > MAX_TEXT:
            raise Refused([f"a narration may hold at most {MAX_TEXT} characters"])
        narrator, voice, engine = self._narrator(speech, voice)
        text = spoken_text(text)  # *emphasis* is shown, never said
        entry = narrator.backend.key(text, voice)
        path = os.path.join(self.folder, entry + ".mp3")
        with self._lock:
            lock = self._locks.setdefault(entry, threading.Lock())
        with lock:
            if entry not in self._seconds:
                try:
                    narrator(text, path, voice)
                except Exception as e:  # noqa: BLE001 - any engine's failure is told to the page
                    if os.path.lexists(path):
                        os.unlink(path)
                    raise Refused([f"the narration could not be spoken: {e}"], status=502) from None
                self._seconds[entry] = narrator.seconds[path]
        return {"key": entry, "seconds": round(self._seconds[entry], 3), "engine": engine,
                "voice": voice}

    def path(self, entry):
        """The audio of a narration spoken before, by its key, or None."""
        if not _KEY.fullmatch(entry) or entry not in self._seconds:
            return None
        return os.path.join(self.folder, entry + ".mp3")
