"""Word times for a recording whose text is known, found by aligning it to
a reference recording of the same text whose word times are known.

    from clipweave.align import align_words
    bounds = align_words("service_voice.mp3", reference)   # ((start, end), ...)
"""
from clipweave.align.words import align_words, decode_pcm

__all__ = ["align_words", "decode_pcm"]
