"""The options of a run, each declared once: its name, its choices or
range, its default, one line of help, and who takes it.

Everything else reads this table: the command's flags and ``--help``
(clipweave.app.options), the settings file and ``clipweave config``
(clipweave.app.settings), the jobs of a batch (clipweave.batch.jobs), a
run's request (clipweave.app.request), the studio's job and render
(clipweave.studio), the editor's render panel (clipweave.edit), and the
README's table of options. The studio core's
choices, frames and limits are checked against it when clipweave.studio
is imported: a choice added here and not drawn there (or the reverse)
stops the import.

An option's help is a format string: {default}, {min} and {max} are its
own; {download_factor} is the timeout's multiple for a download, {sizes}
the frames' sizes in pixels, {title_seconds} how long the title stays and
{music_duck} how much lower the music goes under a narration, as the studio
core has them.

    python -m clipweave.app.options --markdown    # the README's table
"""
from dataclasses import dataclass
from typing import Optional, Tuple

# Kinds of value: how a flag reads its argument and the settings file its key.
FLAG = "flag"        # given or not
TEXT = "text"
PATH = "path"        # a file or folder: a job's relative path is the jobs file's folder's
CHOICE = "choice"
NUMBER = "number"    # a float
INTEGER = "integer"
ORIGIN = "origin"    # scheme://host[:port] of a service
DECIBELS = "decibels"  # a float, or "off"
COLOUR = "colour"    # a CSS colour name or #rrggbb

# Where --help shows an option, in this order.
SOURCE, SETTINGS, RUN, OUTPUT, STUDIO = "source", "settings", "run", "output", "studio"

# A download may take this many times the timeout (a job polled, then a file fetched).
DOWNLOAD_FACTOR = 15


@dataclass(frozen=True)
class Option:
    name: str                  # the key of a job and of the settings file; --name-with-dashes
    kind: str
    help: str
    default: object = None     # None: none, or decided at run time (the help says how)
    choices: Tuple[str, ...] = ()       # offered
    old_names: Tuple[Tuple[str, str], ...] = ()  # (old, new): still accepted, not offered
    # Choices the studio core does not draw: made before it (the follow analysis).
    elsewhere: Tuple[str, ...] = ()
    range: Optional[Tuple[float, float]] = None  # inclusive, for numbers
    metavar: Optional[str] = None
    short: Optional[str] = None  # "-y"
    group: str = RUN
    batch: bool = True         # a job of a batch may set it
    file: bool = False         # the settings file takes it
    environment: Optional[str] = None  # the variable that sets it, after the flag
    studio: bool = False       # the studio render's only: refused with --classic
    exclusive: Optional[str] = None  # at most one option of this name at a time
    editor: bool = True        # the editor's render panel offers it (clipweave edit)

    @property
    def flag(self):
        return "--" + self.name.replace("_", "-")

    def accepted(self):
        """Every name a choice may be given as, the offered first."""
        return self.choices + tuple(old for old, _ in self.old_names)

    def help_text(self, **facts):
        """The help with its values filled in (facts: download_factor, sizes)."""
        low, high = self.range or (None, None)
        return self.help.format(default=self.default, min=low, max=high, **facts)


OPTIONS = (
    Option("downloader", CHOICE, "how a URL is fetched (default: yt-dlp when it is on the search "
           "path, else service)", choices=("service", "yt-dlp"), group=SOURCE, editor=False),
    Option("download_service", ORIGIN, "origin of the download service, e.g. "
           "https://dl.example.org (http:// for one on your own machine or network)",
           metavar="ORIGIN", group=SETTINGS, file=True, environment="CLIPWEAVE_DOWNLOAD_SERVICE",
           editor=False),
    Option("speech_service", ORIGIN, "origin of the speech service", metavar="ORIGIN",
           group=SETTINGS, file=True, environment="CLIPWEAVE_SPEECH_SERVICE", editor=False),
    Option("speech", CHOICE, "who speaks the narration: the speech service, or espeak-ng or "
           "flite on this machine (default: {default}; when no speech service is set up, flite "
           "for English voices, espeak-ng for others)", default="service",
           choices=("service", "espeak-ng", "flite"), group=SETTINGS, file=True),
    Option("voice", TEXT, "voice of the narration (default: {default}; offline, an espeak-ng "
           "language or a flite voice such as slt, see 'clipweave voices')",
           default="en-US-AriaNeural", metavar="NAME", group=SETTINGS, file=True),
    Option("speed", NUMBER, "playback speed of the vertical video, {min:g} to {max:g} "
           "(default: {default})", default=1.0, range=(0.5, 100.0), metavar="FACTOR"),
    Option("output_dir", PATH, "where the results go; created if missing (default: the current "
           "directory)", default=".", metavar="DIR"),
    Option("overwrite", FLAG, "replace results that exist already", default=False, short="-y",
           group=OUTPUT, batch=False),
    Option("json", FLAG, "progress on standard error; standard output gets one JSON object",
           default=False, group=OUTPUT, batch=False, exclusive="output", editor=False),
    Option("quiet", FLAG, "print only the result's path, or the error", default=False, short="-q",
           group=OUTPUT, batch=False, exclusive="output", editor=False),
    Option("keep_work", FLAG, "keep the run's work directory (inside DIR) for inspection",
           default=False, editor=False),
    Option("cache_dir", PATH, "where downloads and narrations are kept for the next run "
           "(default: $XDG_CACHE_HOME/clipweave)", metavar="DIR", editor=False),
    Option("no_cache", FLAG, "neither use nor fill the cache", default=False, editor=False),
    Option("timeout", NUMBER, "the longest wait for a service's whole answer (default "
           "{default:g}); a download may take {download_factor} times as long", default=120.0,
           metavar="SECONDS", editor=False),
    Option("classic", FLAG, "the exact pipeline: run_recap as it is, centre crop, narration only",
           default=False, group=STUDIO),
    Option("frame", CHOICE, "the whole picture over a blurred fill of itself (blur, default), "
           "the centre crop (crop), black bars (fit), a crop of the output's shape that follows "
           "the faces or people of each shot, blur where none is found (follow), or the same "
           "only where a subject is seen in at least half of the shot (auto)", default="blur",
           choices=("blur", "crop", "fit", "follow", "auto"), elsewhere=("follow", "auto"),
           group=STUDIO, studio=True),
    Option("aspect", CHOICE, "the finished video's shape: {sizes} (default {default})",
           default="9:16", choices=("9:16", "4:5", "1:1", "16:9"), group=STUDIO,
           studio=True, file=True),
    Option("fit", CHOICE, "a narration longer than its range lets the clip run on into moments no "
           "other segment shows, its picture slowed where they run out (narration, default), or is "
           "cut (range)", default="narration", choices=("narration", "range"),
           group=STUDIO, studio=True),
    Option("bed_volume", DECIBELS, "the source's own sound under the narration, in dB (default "
           "{default:g}), or off", default=-18.0, range=(-60.0, 0.0), metavar="DB", group=STUDIO,
           studio=True),
    Option("captions", CHOICE, "narration captions burned in as pages of a few words with the "
           "one being spoken highlighted (words, default) or as cards of up to two lines "
           "(phrases), with FINAL_RECAP.srt beside the video; only the .srt (srt); or none",
           default="words", choices=("words", "phrases", "srt", "none"),
           old_names=(("burn", "phrases"),), group=STUDIO, studio=True),
    Option("caption_style", CHOICE, "how burned captions look: bold outlined text (bold, "
           "default), text on a rounded translucent box (boxed), each word filling with the "
           "highlight as it is spoken (karaoke), the spoken word growing for a moment (pop), or "
           "smaller text with a soft shadow (minimal)", default="bold",
           choices=("bold", "boxed", "karaoke", "pop", "minimal"), group=STUDIO, studio=True,
           file=True),
    Option("caption_position", CHOICE, "where captions stand in the safe area: at its foot "
           "(lower, default), its middle or its top (upper)", default="lower",
           choices=("lower", "middle", "upper"), group=STUDIO, studio=True, file=True),
    Option("highlight", COLOUR, "colour of the word being spoken: a CSS colour name or #rrggbb "
           "(default {default})", default="yellow", metavar="COLOUR", group=STUDIO, studio=True,
           file=True),
    Option("accent", COLOUR, "colour of an emphasised word, written between asterisks in a narration "
           "(default {default})", default="deepskyblue", metavar="COLOUR", group=STUDIO,
           studio=True, file=True),
    Option("safe_area", CHOICE, "keep captions and the title where no big vertical platform "
           "draws its buttons and text (platforms, default), or in a wider box for posting "
           "elsewhere (none)", default="platforms", choices=("platforms", "none"), group=STUDIO,
           studio=True, file=True),
    Option("title", TEXT, "a hook title in large type at the top for the first {title_seconds:g} s "
           "(the video's first frame shows it)", metavar="TEXT", group=STUDIO, studio=True),
    Option("music", PATH, "music under the recap (any audio ffmpeg reads), looped or cut to it, "
           "faded in and out", metavar="FILE", group=STUDIO, studio=True, file=True),
    Option("music_volume", NUMBER, "the music against the narration, in dB (default "
           "{default:g}); {music_duck:g} dB lower still while a narration speaks",
           default=-20.0, range=(-60.0, 0.0), metavar="DB", group=STUDIO, studio=True, file=True),
    Option("quality", CHOICE, "encoder preset: ultrafast, veryfast (balanced, default) or medium",
           default="balanced", choices=("fast", "balanced", "small"), group=STUDIO, studio=True),
    Option("jobs", INTEGER, "narrations asked for at a time (default {default})", default=4,
           range=(1, 32), metavar="N", group=STUDIO, studio=True),
)

BY_NAME = {o.name: o for o in OPTIONS}


def option(name):
    return BY_NAME[name]


def default(name):
    return BY_NAME[name].default


def in_group(group):
    return tuple(o for o in OPTIONS if o.group == group)


STUDIO_OPTIONS = tuple(o.name for o in OPTIONS if o.studio)
FILE_OPTIONS = tuple(o for o in OPTIONS if o.file)


def check_core(choices, old_names, frames, limits):
    """Raises ImportError unless the studio core draws what the table offers:
    ``choices`` {option: names}, ``old_names`` {option: {old: new}},
    ``frames`` {aspect: (width, height)} with the default first, ``limits``
    {option: (min, max)}, all as the core has them."""
    problems = []
    for name, drawn in choices.items():
        o = BY_NAME.get(name)
        offered = tuple(c for c in o.choices if c not in o.elsewhere) if o else None
        if offered != tuple(drawn):
            problems.append(f"{name}: the table offers {offered}, the core draws {tuple(drawn)}")
        elif dict(o.old_names) != dict(old_names.get(name, {})):
            problems.append(f"{name}: old names {dict(o.old_names)} here, "
                            f"{dict(old_names.get(name, {}))} in the core")
    for o in OPTIONS:
        if o.studio and o.kind == CHOICE and o.name not in choices:
            problems.append(f"{o.name}: the core has no such choice")
    aspect = BY_NAME["aspect"]
    if tuple(frames) != aspect.choices or next(iter(frames), None) != aspect.default:
        problems.append(f"aspect: the table offers {aspect.choices} (default {aspect.default}), "
                        f"the core's frames are {tuple(frames)}")
    for name, (low, high) in limits.items():
        if BY_NAME[name].range != (low, high):
            problems.append(f"{name}: the table's range is {BY_NAME[name].range}, "
                            f"the core's ({low:g}, {high:g})")
    if problems:
        raise ImportError("clipweave.studio: its core and the table of options disagree: "
                          + "; ".join(problems))
