"""The options of a run, in one place: every argument of ``clipweave SOURCE
SEGMENTS`` (and those the demo shares), and the parsed arguments turned
into a RunRequest."""
import shutil

from clipweave.app import settings
from clipweave.app.deadline import DEFAULT_TIMEOUT, DOWNLOAD_FACTOR
from clipweave.app.request import RunRequest
from clipweave.model.segments import UsageError
from clipweave.studio import MAX_SPEED, MIN_SPEED

STUDIO_OPTIONS = ("frame", "fit", "bed_volume", "captions", "quality", "jobs")
# "burn", the old name of "phrases", is still accepted but no longer offered.
CAPTION_MODES = ("words", "phrases", "srt", "none", "burn")


def default_downloader():
    return "yt-dlp" if shutil.which("yt-dlp") else "service"


def bed_volume(text):
    """--bed-volume: decibels, or "off" for the narration alone."""
    if text.strip().lower() == "off":
        return "off"
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"not a number of dB or off: {text!r}") from None


def add_settings(parser):
    """The four settings, as flags; unset flags leave the choice to the configuration."""
    parser.add_argument("--download-service", metavar="ORIGIN",
                        help="origin of the download service, e.g. https://dl.example.org "
                             "(http:// for one on your own machine or network)")
    parser.add_argument("--speech-service", metavar="ORIGIN",
                        help="origin of the speech service")
    parser.add_argument("--speech", choices=settings.SPEECH_BACKENDS,
                        help="who speaks the narration: the speech service, or espeak-ng or "
                             "flite on this machine (default: service; when no speech service "
                             "is set up, flite for English voices, espeak-ng for others)")
    parser.add_argument("--voice", metavar="NAME",
                        help=f"voice of the narration (default: {settings.DEFAULT_VOICE}; "
                             "offline, an espeak-ng language or a flite voice such as slt, "
                             "see 'clipweave voices')")


def add_output_arguments(parser):
    """The options on how a run's results and messages come out."""
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="replace results that exist already")
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true",
                        help="progress on standard error; standard output gets one JSON object")
    output.add_argument("-q", "--quiet", action="store_true",
                        help="print only the result's path, or the error")


def mode_of(args):
    return "json" if args.json else "quiet" if args.quiet else "normal"


def add_run_options(parser):
    parser.add_argument("--speed", type=float, default=1.0, metavar="FACTOR",
                        help=f"playback speed of the vertical video, {MIN_SPEED:g} to "
                             f"{MAX_SPEED:g} (default: 1.0)")
    parser.add_argument("--output-dir", default=".", metavar="DIR",
                        help="where the results go; created if missing (default: the current "
                             "directory)")
    add_output_arguments(parser)
    parser.add_argument("--keep-work", action="store_true",
                        help="keep the run's work directory (inside DIR) for inspection")
    parser.add_argument("--cache-dir", metavar="DIR",
                        help="where downloads and narrations are kept for the next run "
                             "(default: $XDG_CACHE_HOME/clipweave)")
    parser.add_argument("--no-cache", action="store_true",
                        help="neither use nor fill the cache")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help=f"the longest wait for a service's whole answer (default "
                             f"{DEFAULT_TIMEOUT:g}); a download may take {DOWNLOAD_FACTOR} times "
                             "as long")


def add_render_arguments(parser):
    """The choice between the studio render and the exact pipeline, and the studio's options."""
    studio = parser.add_argument_group(
        "studio render (the default; --classic runs run_recap unchanged instead)")
    studio.add_argument("--classic", action="store_true",
                        help="the exact pipeline: run_recap as it is, centre crop, narration only")
    studio.add_argument("--frame", choices=("blur", "crop", "fit", "follow", "auto"),
                        help="the whole picture over a blurred fill of itself (blur, default), "
                             "the centre crop (crop), black bars (fit), a 9:16 crop that follows "
                             "the faces or people of each shot, blur where none is found "
                             "(follow), or the same only where a subject is seen in at least "
                             "half of the shot (auto)")
    studio.add_argument("--fit", choices=("narration", "range"),
                        help="a narration longer than its range lets the clip run on "
                             "(narration, default) or is cut (range)")
    studio.add_argument("--bed-volume", type=bed_volume, metavar="DB",
                        help="the source's own sound under the narration, in dB (default -18), "
                             "or off")
    studio.add_argument("--captions", choices=CAPTION_MODES, metavar="{words,phrases,srt,none}",
                        help="narration captions burned in as pages of a few words with the one "
                             "being spoken highlighted (words, default) or as cards of up to two "
                             "lines (phrases), with FINAL_RECAP.srt beside the video; only the "
                             ".srt (srt); or none")
    studio.add_argument("--quality", choices=("fast", "balanced", "small"),
                        help="encoder preset: ultrafast, veryfast (balanced, default) or medium")
    studio.add_argument("--jobs", type=int, metavar="N",
                        help="narrations asked for at a time (default 4)")


def render_options(args):
    """RunRequest fields from add_render_arguments' options; UsageError when
    studio options come with --classic."""
    given = {name: getattr(args, name) for name in STUDIO_OPTIONS
             if getattr(args, name) is not None}
    if args.classic and given:
        flags = ", ".join("--" + name.replace("_", "-") for name in given)
        raise UsageError([f"{flags}: for the studio render, not --classic"])
    if given.get("bed_volume") == "off":
        given["bed_volume"] = None
    return {"classic": args.classic, **given}


def request_from(args):
    """The RunRequest of ``clipweave SOURCE SEGMENTS``'s parsed arguments;
    UsageError when they contradict each other."""
    return RunRequest(
        source=args.source, segments=args.segments, speed=args.speed, voice=args.voice,
        speech=args.speech, downloader=args.downloader or default_downloader(),
        download_service=args.download_service, speech_service=args.speech_service,
        output_dir=args.output_dir, overwrite=args.overwrite, keep_work=args.keep_work,
        cache_dir=args.cache_dir, use_cache=not args.no_cache, mode=mode_of(args),
        timeout=args.timeout,
        **render_options(args))
