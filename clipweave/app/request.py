"""What one run is asked to do, and the names of what it makes."""
import os
from dataclasses import dataclass, field

from clipweave.model.options import default

FINAL = "FINAL_RECAP.mp4"
HORIZONTAL = "horizontal_final.mp4"
CAPTIONS = "FINAL_RECAP.srt"


@dataclass
class RunRequest:
    """What one run is asked to do; None means "from the configuration".
    The defaults are the table's (clipweave.model.options)."""

    source: str
    segments: str
    speed: float = default("speed")
    voice: str | None = None
    speech: str | None = None
    downloader: str = "service"
    download_service: str | None = None
    speech_service: str | None = None
    output_dir: str = default("output_dir")
    overwrite: bool = False
    keep_work: bool = False
    cache_dir: str | None = None
    use_cache: bool = True
    mode: str = "normal"  # "json" or "quiet"
    # Given the module's `time`, the one the run binds in its place (the
    # demo shortens the download's polling); None leaves it.
    module_time: object = None
    # The exact pipeline (run_recap) instead of the studio render, and the
    # studio's options.
    classic: bool = False
    frame: str = default("frame")
    fit: str = default("fit")
    bed_volume: float | None = default("bed_volume")  # dB; None: the narration alone
    captions: str = default("captions")
    quality: str = default("quality")
    jobs: int = default("jobs")
    aspect: str | None = None  # the output frame's shape; None: from the configuration
    # How captions look, and the music: None from the configuration too.
    caption_style: str | None = None
    caption_position: str | None = None
    highlight: str | None = None
    accent: str | None = None
    safe_area: str | None = None
    music: str | None = None
    music_volume: float | None = None
    title: str | None = None  # shown over the first seconds; None: none
    timeout: float = default("timeout")  # seconds for one service answer (more for a download)
    # A name under which the fetched source video is published beside the
    # results (the demo keeps its sample for a first real run); None: not kept.
    keep_source: str | None = None
    # Called with each progress event beside the console's display: ("narration",
    # done, total) after each narration, then the render's RenderProgress events
    # (the editor follows a run through them); None: the console alone.
    progress: object = None
    # The frame's sizes divided by this (a preview: 3 makes 1080x1920 360x640).
    scale: int = 1
    environ: dict = field(default_factory=lambda: os.environ)

    def results(self):
        """The names the run puts into the output directory, in the order of their renames."""
        kept = [self.keep_source] if self.keep_source else []
        if self.classic:
            return kept + [HORIZONTAL, FINAL]
        return kept + [FINAL] + ([CAPTIONS] if self.captions != "none" else [])
