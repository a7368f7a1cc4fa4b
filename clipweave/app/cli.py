"""Command-line interface: ``clipweave SOURCE SEGMENTS`` and its sub-commands.

    clipweave SOURCE SEGMENTS [options]   make a recap (recap.run)
    clipweave demo [options]              the same, offline, with loopback services
    clipweave config                      the settings in effect, and where each came from
    clipweave voices                      the voices of --speech espeak-ng
    clipweave cache [--clear]             what the cache holds; empty it
"""
import argparse
import os
import shutil
import sys

from clipweave import __version__
from clipweave.app import settings as config
from clipweave.app.module_binding import BindingBusy, builtin_origins, is_placeholder
from clipweave.app.cache import Cache, default_dir
from clipweave.app.console import PROG, Console, add_output_arguments, escaped, mode_of
from clipweave.app.run import (EXIT_OK, EXIT_USAGE, MAX_SPEED, MIN_SPEED, RunRequest,
                             add_render_arguments, render_options, run)
from clipweave.model.segments import UsageError

EPILOG = """\
examples:
  clipweave movie.mp4 segments.json --speech espeak-ng --output-dir out
  clipweave "https://www.youtube.com/watch?v=VIDEO_ID" segments.json \\
      --download-service https://dl.example.org --speech-service https://tts.example.org

SOURCE is an http(s) URL or a local video file (used in place, never changed).
The segments file is a UTF-8 JSON array of narrated time ranges, e.g.
  [{"start": "00:00:05", "end": "00:00:12", "voiceover": "It begins."},
   {"start": "75.5", "end": "81", "voiceover": "Then it ends."}]
Times are seconds (75.5) or [HH:]MM:SS[.fraction] (00:01:15.5).

The output directory (created if missing) receives FINAL_RECAP.mp4 (1080x1920,
played at the speed factor) and horizontal_final.mp4; nothing else in it is
touched, and an existing result is replaced only with -y. The absolute path of
FINAL_RECAP.mp4 is printed as the last line.

settings (flag, then environment, then config file, then built in):
  --download-service  CLIPWEAVE_DOWNLOAD_SERVICE  download_service
  --speech-service    CLIPWEAVE_SPEECH_SERVICE    speech_service
  --speech                                        speech
  --voice                                         voice
config file: $XDG_CONFIG_HOME/clipweave/config.toml (~/.config/...); "clipweave
config" shows what is in effect.

other commands: clipweave demo | config | voices | cache [--clear]

exit status: 0 done, 1 the run failed, 2 bad arguments or input, or an output
refused; 128+N ended by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)
"""

COMMANDS = ("demo", "config", "voices", "cache")


def default_downloader():
    return "yt-dlp" if shutil.which("yt-dlp") else "service"


def add_settings(parser):
    """The four settings, as flags; unset flags leave the choice to the configuration."""
    parser.add_argument("--download-service", metavar="ORIGIN",
                        help="origin of the download service, e.g. https://dl.example.org "
                             "(http:// for one on your own machine or network)")
    parser.add_argument("--speech-service", metavar="ORIGIN",
                        help="origin of the speech service")
    parser.add_argument("--speech", choices=config.SPEECH_BACKENDS,
                        help="who speaks the narration: the speech service, or espeak-ng "
                             "on this machine (default: service)")
    parser.add_argument("--voice", metavar="NAME",
                        help=f"voice of the narration (default: {config.DEFAULT_VOICE}; "
                             "with --speech espeak-ng an espeak-ng voice, see 'clipweave voices')")


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


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Make a narrated 9:16 recap of a video from a list of narrated time ranges.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("source", metavar="SOURCE", help="an http(s) URL or a local video file")
    parser.add_argument("segments", metavar="SEGMENTS",
                        help="JSON file of segments (start, end, voiceover)")
    parser.add_argument("--downloader", choices=config.DOWNLOADERS,
                        help="how a URL is fetched (default: yt-dlp when it is on the search "
                             "path, else service)")
    add_settings(parser)
    add_run_options(parser)
    add_render_arguments(parser)
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def request_from(args, **overrides):
    fields = dict(
        speed=args.speed, voice=args.voice, speech=args.speech,
        download_service=args.download_service, speech_service=args.speech_service,
        output_dir=args.output_dir, overwrite=args.overwrite, keep_work=args.keep_work,
        cache_dir=args.cache_dir, use_cache=not args.no_cache, mode=mode_of(args))
    fields.update(overrides)
    return RunRequest(**fields)


# --- sub-commands ----------------------------------------------------------

def show_config(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} config",
        description="Print the settings in effect, in the config file's form, each with where "
                    "it came from. The flags show what a run given them would use.")
    add_settings(parser)
    args = parser.parse_args(argv)
    console = Console()
    try:
        builtin = builtin_origins()
        settings = config.resolve(
            {"download_service": args.download_service, "speech_service": args.speech_service,
             "speech": args.speech, "voice": args.voice}, builtin)
    except (config.ConfigError, BindingBusy) as e:
        console.failure(str(e), "check")
        return EXIT_USAGE
    width = max(len(name) for name in settings)
    for name, setting in settings.items():
        note = setting.source
        if name in config.ORIGIN_KEYS and is_placeholder(setting.value):
            note += "; a placeholder that answers nothing"
        print(f'{name:<{width}} = "{escaped(setting.value)}"  # {escaped(note)}')
    path = config.config_path()
    print(f"# config file: {escaped(path)}" + ("" if os.path.isfile(path) else " (none)"))
    return EXIT_OK


def show_voices(argv):
    argparse.ArgumentParser(
        prog=f"{PROG} voices",
        description="List the voices of --speech espeak-ng (a service's voices are its own).",
    ).parse_args(argv)
    from clipweave.app.offline_speech import voices

    names = voices()
    if not names:
        Console().failure("espeak-ng not found on PATH (install espeak-ng)", "check")
        return EXIT_USAGE
    print("\n".join(names))
    return EXIT_OK


def show_cache(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} cache",
        description="Show what the cache of downloads and narrations holds, or empty it.")
    parser.add_argument("--cache-dir", metavar="DIR",
                        help="the cache (default: $XDG_CACHE_HOME/clipweave)")
    parser.add_argument("--clear", action="store_true", help="remove every entry")
    args = parser.parse_args(argv)
    cache = Cache(args.cache_dir or default_dir())
    usage = cache.usage()
    total = sum(size for _, size in usage.values())
    if args.clear:
        cache.clear()
        print(f"cleared {escaped(cache.root)}: {total / 1e6:.1f} MB freed")
        return EXIT_OK
    print(f"{escaped(cache.root)}: {total / 1e6:.1f} MB")
    names = {"sources": "videos", "speech": "narrations"}
    for kind, (count, size) in usage.items():
        print(f"  {names[kind]:<10} {count:>5}  {size / 1e6:>9.1f} MB")
    return EXIT_OK


def main(argv=None):
    """Entry point of ``clipweave`` and ``python -m clipweave``; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv[:1] == ["demo"]:
            from clipweave.demo import main as demo

            return demo.main(argv[1:])
        if argv[:1] == ["config"]:
            return show_config(argv[1:])
        if argv[:1] == ["voices"]:
            return show_voices(argv[1:])
        if argv[:1] == ["cache"]:
            return show_cache(argv[1:])
        args = build_parser().parse_args(argv)
        try:
            render = render_options(args)
        except UsageError as e:
            Console(mode_of(args)).failure(e.problems, "check")
            return EXIT_USAGE
        downloader = args.downloader or default_downloader()
        return run(request_from(args, source=args.source, segments=args.segments,
                                downloader=downloader, **render))
    except KeyboardInterrupt:
        Console().error("interrupted")
        return 130
