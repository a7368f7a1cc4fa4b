"""Word times of a recording from a reference recording of the same text.

A speech service's recording comes without word times; a reference voice
that reports them (espeak-ng's word events) speaks the same text, and
:func:`clipweave.align._align.align` carries its word times onto the
recording. This module decodes the recording and passes the reference in.
"""
from clipweave.system import children
import clipweave.align._align as _align

# The target's rate: ample for the filterbank (up to 7.6 kHz), small to decode.
ALIGN_RATE = 16000


def decode_pcm(path, rate=ALIGN_RATE):
    """The audio of the file at path as 16-bit little-endian mono samples at rate (bytes)."""
    done = children.run(children.ffmpeg("-i", path, "-vn", "-ac", 1, "-ar", int(rate),
                                        "-f", "s16le", "-acodec", "pcm_s16le", "pipe:1"),
                        capture=True)
    return done.stdout


def _span(word):
    """(start, end) of a word given as an object with start and end, or as (text, start, end)."""
    if hasattr(word, "start") and hasattr(word, "end"):
        return float(word.start), float(word.end)
    _text, start, end = word
    return float(start), float(end)


def align_words(target_path, reference_spoken, rate=ALIGN_RATE):
    """Each of the reference's words as (start, end) seconds in the recording
    at target_path, in the reference's order.

    reference_spoken has ``pcm`` (16-bit little-endian mono), ``rate`` and
    ``words``, each (text, start, end) or an object with start and end."""
    bounds = [_span(w) for w in reference_spoken.words]
    target = decode_pcm(target_path, rate)
    return tuple(_align.align(reference_spoken.pcm, reference_spoken.rate, bounds, target, rate))
