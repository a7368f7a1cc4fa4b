"""Offline speech with a time for every written word (espeak-ng and flite).

    from clipweave.voice import speak, write_mp3
    spoken = speak("It begins, in 1999.", "flite", "slt")
    spoken.words     # (Word("It", 0.22, 0.31), Word("begins,", ...), ...)
    write_mp3(spoken, "voice_0.mp3")
"""
from clipweave.voice.speak import ENGINES, Spoken, Word, speak, voices, write_mp3

__all__ = ["ENGINES", "Spoken", "Word", "speak", "voices", "write_mp3"]
