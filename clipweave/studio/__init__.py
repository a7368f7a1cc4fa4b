"""The studio render: a recap that looks like a finished short, its clips
rendered in bounded groups side by side and joined without re-encoding.

    from clipweave.studio import render_studio
    result = render_studio("source.mp4", segments, "work", ["n1.mp3", "n2.mp3"],
                           frame="blur", captions="words", caption_style="pop",
                           title="It all went wrong", music="chords.ogg", speed=1.25,
                           progress=print)
    result.video     # work/FINAL_RECAP.mp4
    result.srt       # work/FINAL_RECAP.srt
    result.notes     # what was adjusted, one line per segment

Making the narrations is the caller's business (one audio file per
segment, spoken from spoken_text(narration): *emphasis* markers are shown,
not said). Progress arrives as RenderProgress events; drawing them is the
caller's business too.
"""
from clipweave.model import options as _options
from clipweave.studio import _core
from clipweave.studio._core import (FRAMES, MAX_BED_VOLUME, MAX_MUSIC_VOLUME, MAX_SPEED, MIN_BED_VOLUME,
                                    MIN_MUSIC_SECONDS, MIN_MUSIC_VOLUME, MIN_SPEED, MUSIC_DUCK, SAFE_AREA, SAFE_AREAS,
                                    TITLE_SECONDS, colour, spoken_text)
from clipweave.studio.render import (
    DEFAULT_OUTPUT,
    ClipPlaces,
    NarrationLevel,
    RenderProgress,
    SegmentTiming,
    StudioError,
    StudioResult,
    measure_narration,
    render_studio,
    video_encoder,
)

# What the core draws is what the table of options offers.
_options.check_core(_core.CHOICES, _core.OLD_NAMES, FRAMES,
                    {"speed": (MIN_SPEED, MAX_SPEED), "bed_volume": (MIN_BED_VOLUME, MAX_BED_VOLUME),
                     "music_volume": (MIN_MUSIC_VOLUME, MAX_MUSIC_VOLUME)})

__all__ = [
    "ClipPlaces",
    "DEFAULT_OUTPUT",
    "FRAMES",
    "MAX_BED_VOLUME",
    "MAX_MUSIC_VOLUME",
    "MAX_SPEED",
    "MIN_BED_VOLUME",
    "MIN_MUSIC_SECONDS",
    "MIN_MUSIC_VOLUME",
    "MIN_SPEED",
    "MUSIC_DUCK",
    "NarrationLevel",
    "RenderProgress",
    "SAFE_AREA",
    "SAFE_AREAS",
    "SegmentTiming",
    "StudioError",
    "StudioResult",
    "TITLE_SECONDS",
    "colour",
    "measure_narration",
    "render_studio",
    "spoken_text",
    "video_encoder",
]
