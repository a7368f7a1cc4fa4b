"""Who speaks the narration: the speech service, espeak-ng or flite, through the cache.

A narration is decided by the backend, the service's origin (for the
service), the voice and the text; that is its cache key, so a run made
again asks only for the narrations it does not have yet. Each narration's
length is measured when it is made, for the run's report, and the offline
voices' narrations keep each written word's time (``Narrator.words``),
cached beside the audio.
"""
import hashlib
import math
import os
import queue
import threading
import time

from clipweave.align import align_words
from clipweave.app.cache import key
from clipweave.system.children import ChildFailed
from clipweave.system.probe import probe
from clipweave.app.offline_speech import espeak_voice, flite_voice
from clipweave.studio import NarrationLevel, measure_narration
from clipweave.voice import Word, speak, write_mp3


def narration_file(work, index):
    """Where narration ``index`` (0 for the first segment) is made in the work
    directory: the exact pipeline's own name for it."""
    return os.path.join(work, f"voice_{index}.mp3")


class ServiceSpeech:
    """The speech service, through the module's own client. Its answer is
    audio alone: the words' times are found by aligning it with the same
    text spoken by espeak-ng, whose word times are known."""

    name = "service"
    # Its words are found in its audio, so a cached narration keeps its audio.
    words_need_speaking = False

    def __init__(self, client, origin):
        self._client = client
        self.origin = origin

    def tools(self):
        return []

    def key(self, text, voice):
        return key("speech", self.name, self.origin, voice, text)

    def speak(self, text, output_file, voice):
        """The words of the narration the service wrote to output_file, as
        Words; None when they cannot be found (the captions then spread the
        words over the narration)."""
        self._client(text, output_file, voice)
        return self.words_of(text, output_file, voice)

    def words_of(self, text, audio_file, voice):
        """The written words' times in audio_file (the service's narration
        of text), or None when they cannot be found."""
        try:
            reference = speak(text, "espeak-ng", espeak_voice(voice))
            bounds = align_words(audio_file, reference)
        except (ValueError, OSError, ChildFailed):
            return None
        return tuple(Word(w.text, start, end) for w, (start, end) in zip(reference.words, bounds))


class _OfflineSpeech:
    """A voice of this machine's libraries, no network: MP3 through ffmpeg,
    and the written words' times."""

    name = ""  # the engine
    # The times are the engine's own, known only by speaking again.
    words_need_speaking = True

    def tools(self):
        return []  # ffmpeg, which every run needs

    def voice_of(self, voice):
        raise NotImplementedError

    def key(self, text, voice):
        return key("speech", self.name, self.voice_of(voice), text)

    def words_of(self, text, audio_file, voice):
        """None: the times are the engine's own, known only by speaking."""
        return None

    def speak(self, text, output_file, voice):
        """The words of the narration written to output_file, as Words."""
        spoken = speak(text, self.name, self.voice_of(voice))
        write_mp3(spoken, output_file)
        return spoken.words


class EspeakSpeech(_OfflineSpeech):
    """espeak-ng through libespeak-ng."""

    name = "espeak-ng"

    def voice_of(self, voice):
        return espeak_voice(voice)


class FliteSpeech(_OfflineSpeech):
    """flite through libflite: English only; a non-English name speaks in
    the default voice (the run's checks refuse it first)."""

    name = "flite"

    def voice_of(self, voice):
        return flite_voice(voice) or "slt"


def _words_to_data(words):
    return [[w.text, w.start, w.end] for w in words]


# A word may end this much after its narration's measured end (the MP3's last frame).
WORDS_END_TOLERANCE = 0.25


def _words_from_data(data, seconds=math.inf):
    """The Words of a cached list, or None when it is not one, or its times
    are not a narration of ``seconds``' (not finite, negative, ending before
    they start or after the narration): such words are found again."""
    try:
        words = tuple(Word(str(t), float(s), float(e)) for t, s, e in data)
    except (TypeError, ValueError):
        return None
    if math.isnan(seconds):
        return None
    for w in words:
        if not (math.isfinite(w.start) and math.isfinite(w.end)
                and 0 <= w.start <= w.end <= seconds + WORDS_END_TOLERANCE):
            return None
    return words


class Narrator:
    """backend.speak through the cache, noting each narration's length.

    Callable as ``(text, output_file, voice)``, the module's speech client's
    signature; safe to call from several threads.
    """

    def __init__(self, backend, cache, measure=None):
        self.backend = backend
        self.cache = cache
        # measure(path) -> (seconds, anything): how a narration is measured
        # (its length by default); the whole result is kept in ``levels``.
        self.measure = measure or (lambda path: (probe(path)[1], None))
        self.seconds = {}  # output_file -> narration length
        self.levels = {}  # output_file -> what measure gave
        self.words = {}  # output_file -> tuple of Word, or None (the service)
        self.requests = 0  # narrations the backend was asked for
        self._lock = threading.Lock()

    def _sounds(self, path):
        """True when a file reads as audio with a length."""
        try:
            seconds = probe(path)[1]
        except Exception:  # noqa: BLE001 - any failure means no
            return False
        return math.isfinite(seconds) and seconds > 0

    def _measured(self, path):
        """(what measure gave, the narration's seconds); NaN seconds when it
        cannot be measured."""
        try:
            level = self.measure(path)
            return level, level[0]
        except Exception:  # noqa: BLE001 - ffmpeg will say what is wrong with it
            return None, math.nan

    def __call__(self, text, output_file, voice):
        entry = self.backend.key(text, voice)
        words = None
        cached = self.cache.fetch("speech", entry, output_file, check=self._sounds)
        if cached:
            level, seconds = self._measured(output_file)
            data = self.cache.fetch_data("speech", entry)
            if math.isnan(seconds):
                # Not measured (its ffmpeg stopped with a halted run, or failed):
                # no fault of the entry, which stays as it is; the render says
                # what is wrong with the narration if anything is.
                words = _words_from_data(data)
            else:
                words = _words_from_data(data, seconds)
                if words is None:
                    # None kept, or kept wrong: found again.
                    words = self.backend.words_of(text, output_file, voice)
                    if words is not None:
                        self.cache.store_data("speech", entry, _words_to_data(words))
                if words is None and self.backend.words_need_speaking:
                    # Linked to the cache's copy: speaking again must not write
                    # through it; the entry, incomplete, is made again.
                    os.unlink(output_file)
                    self.cache.drop("speech", entry)
                    cached = False
        if not cached:
            with self._lock:
                self.requests += 1
            words = self.backend.speak(text, output_file, voice)
            level, seconds = self._measured(output_file)
            # Only audio that reads as audio is kept for the next run, with its
            # words (audio without them would be spoken again anyway).
            if math.isfinite(seconds) and seconds > 0:
                self.cache.store("speech", entry, output_file,
                                 None if words is None else _words_to_data(words))
        with self._lock:
            self.words[output_file] = words
            self.seconds[output_file] = seconds
            self.levels[output_file] = level


# Bump when what measure_narration gives for the same audio changes.
LEVEL_VERSION = 1


def kept_levels(cache):
    """measure_narration through the cache, by the narration's bytes: the
    audio of a narration found in the cache is not measured again (each
    preview in the editor would, a probe and a pass over the sound)."""

    def measure(path):
        with open(path, "rb") as f:
            entry = key("narration-level", LEVEL_VERSION, hashlib.sha256(f.read()).hexdigest())
        kept = cache.fetch_data("speech", entry)
        try:
            seconds, lufs, sound = kept
            return NarrationLevel(float(seconds), None if lufs is None else float(lufs),
                                  None if sound is None else (float(sound[0]), float(sound[1])))
        except (TypeError, ValueError, IndexError):
            pass  # none kept, or not a level
        level = measure_narration(path)
        cache.store_data("speech", entry, [level.seconds, level.lufs,
                                           None if level.sound is None else list(level.sound)])
        return level

    return measure


class NarrationError(Exception):
    """Narration ``number`` (1 for the first segment) failed; the cause is chained."""

    def __init__(self, number, cause):
        super().__init__(number, cause)
        self.number = number
        self.cause = cause


def speak_all(narrator, texts, paths, voice, workers=4, on_done=None, grace=0.0, halt=None):
    """Every narration, up to ``workers`` at a time; ``on_done(done, total)``
    after each. The first failure raises NarrationError.

    No helper thread outlives the call. After a failure no narration is
    started, and those already asked for are waited for (``grace`` seconds
    at most) so that every answer that arrives is kept for the next run;
    any other end (Ctrl-C, a signal) waits for nothing: ``halt()`` stops
    the work in flight (children, service calls) and the threads are joined.
    """
    total = len(texts)
    pending = queue.SimpleQueue()
    for i in range(total):
        pending.put(i)
    finished = queue.SimpleQueue()
    stop = threading.Event()

    def work():
        while not stop.is_set():
            try:
                i = pending.get_nowait()
            except queue.Empty:
                return
            try:
                narrator(texts[i], paths[i], voice)
                finished.put((i, None))
            except BaseException as e:  # noqa: BLE001 - handed to the caller
                finished.put((i, e))

    threads = [threading.Thread(target=work, name="narration", daemon=True)
               for _ in range(max(1, min(workers, total)))]
    for thread in threads:
        thread.start()
    answered = False
    try:
        for done in range(1, total + 1):
            i, error = finished.get()
            if error is not None:
                stop.set()
                _join(threads, grace)
                raise NarrationError(i + 1, error) from error
            if on_done is not None:
                on_done(done, total)
        answered = True
    finally:
        stop.set()
        # Once every narration is answered the threads are only returning:
        # halting then would also stop the run's other children (the framing
        # analysis's decoder).
        if not answered and halt is not None and any(t.is_alive() for t in threads):
            halt()
        _join(threads, HALT_WAIT)


# How long threads whose work was halted may take to notice.
HALT_WAIT = 10.0


def _join(threads, seconds):
    """Waits for the threads, for ``seconds`` in all."""
    end = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(0.0, end - time.monotonic()))
