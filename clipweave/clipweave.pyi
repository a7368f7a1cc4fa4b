"""Narrated vertical video recaps (C++ extension module).

Built for CPython 3.10 (the target), 3.11, 3.12 and 3.13, one copy per interpreter.
"""

def run_recap(
    youtube_url: str,
    segments_file: str,
    speed_factor: float,
    tts_voice: str,
    output_dir: str = ".",
) -> str:
    """Download, narrate, join and render; returns the path of FINAL_RECAP.mp4.

    Messages go to standard output. The first failure ends the run with its
    exception, and no intermediate file is removed on the way out.
    """

def _download_video(url: str, output_file: str) -> None:
    """Download a YouTube video through the API of the video download service."""

def _generate_tts(text: str, output_file: str, voice: str) -> None:
    """Synthesise speech for a text through the API of the text-to-speech service."""

def _build_atempo_chain(speed: float) -> str:
    """The ffmpeg atempo filter text for a speed factor (chained above 2.0)."""
