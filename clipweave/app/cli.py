"""Command-line interface: ``clipweave SOURCE SEGMENTS`` and its sub-commands.

    clipweave SOURCE SEGMENTS [options]   make a recap (run.make_recap)
    clipweave demo [options]              the same, offline (clipweave.__main__ adds it)
    clipweave config                      the settings in effect, and where each came from
    clipweave voices                      the offline voices (espeak-ng, flite)
    clipweave cache [--clear]             what the cache holds; empty it
    clipweave batch JOBS | worker         many recaps (clipweave.__main__ adds them)
    clipweave edit SOURCE [SEGMENTS]      the editor in the browser (clipweave.__main__ adds it)
"""
import argparse
import os
import sys

from clipweave import __version__
from clipweave.app import settings as config
from clipweave.app.cache import KIND_NAMES, Cache, NotOwned, default_dir
from clipweave.app.console import PROG, Console, escaped, mute_stdout, open_standard_streams
from clipweave.app.errors import BindingBusy, ConfigError, ExitStatus, failure
from clipweave.app.origins import builtin_origins, is_placeholder
from clipweave.app.options import (add_file_options, add_render_arguments, add_run_options,
                                   add_settings, add_source_options, mode_of, request_from)
from clipweave.app.stage import Stage
from clipweave.model.options import FILE_OPTIONS, default
from clipweave.model.segments import UsageError


def _settings_lines():
    return "\n".join(f"  {o.flag:<18}  {o.environment or '':<26}  {o.name}".rstrip()
                     for o in FILE_OPTIONS)


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

The output directory (created if missing) receives FINAL_RECAP.mp4 (1080x1920
unless --aspect says otherwise, played at the speed factor) and, unless
--captions none, its captions as FINAL_RECAP.srt; with --classic,
FINAL_RECAP.mp4 and horizontal_final.mp4. Nothing else in it is touched, and
an existing result is replaced only with -y. The absolute path of
FINAL_RECAP.mp4 is printed as the last line.

settings (flag, then environment, then config file, then built in):
{settings}
config file: $XDG_CONFIG_HOME/clipweave/config.toml (~/.config/...); "clipweave
config" shows what is in effect.

other commands: clipweave demo | config | voices | cache [--clear] | batch JOBS |
  worker --queue URL | edit SOURCE [SEGMENTS]

exit status: 0 done, 1 the run failed, 2 bad arguments or input, or an output
refused; 128+N ended by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)
""".replace("{settings}", _settings_lines())

def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=f"Make a narrated {default('aspect')} recap (or of --aspect's shape) of a "
                    "video from a list of narrated time ranges.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("source", metavar="SOURCE", help="an http(s) URL or a local video file")
    parser.add_argument("segments", metavar="SEGMENTS",
                        help="JSON file of segments (start, end, voiceover)")
    add_source_options(parser)
    add_settings(parser)
    add_run_options(parser)
    add_render_arguments(parser)
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


# --- sub-commands ----------------------------------------------------------

def _toml(value):
    """A setting's value as the config file writes it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    return f'"{escaped(value)}"'


def show_config(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} config",
        description="Print the settings in effect, in the config file's form, each with where "
                    "it came from. The flags show what a run given them would use.")
    add_file_options(parser)
    args = parser.parse_args(argv)
    console = Console()
    try:
        builtin = builtin_origins()
        settings = config.resolve({o.name: getattr(args, o.name) for o in FILE_OPTIONS}, builtin)
    except (ConfigError, BindingBusy) as e:
        console.failure(str(e), "check")
        return ExitStatus.USAGE
    from clipweave.app.offline_speech import who_speaks

    speaker = who_speaks(settings)
    width = max(len(name) for name in settings)
    for name, setting in settings.items():
        value, note = setting.value, setting.source
        if name in config.ORIGIN_KEYS and is_placeholder(setting.value):
            note += "; a placeholder that answers nothing"
        elif name == "speech" and speaker.fallback:
            # What a run does, not what it would do had a service been set up.
            value = speaker.engine
            note = (f"{note}: no speech service is set up, so this machine speaks (flite for "
                    "English, espeak-ng for other languages)")
        elif name == "voice" and speaker.engine != "service":
            note += (f"; {speaker.engine} speaks it as {speaker.voice}" if speaker.voice else
                     f"; {speaker.engine} has no such voice: a run refuses it")
        if value is None:  # TOML has no empty value: the key is shown commented out
            print(f"# {name:<{width - 2}} = (not set)")
            continue
        print(f'{name:<{width}} = {_toml(value)}  # {escaped(note)}')
    path = config.config_path()
    print(f"# config file: {escaped(path)}" + ("" if os.path.isfile(path) else " (none)"))
    return ExitStatus.OK


def show_voices(argv):
    argparse.ArgumentParser(
        prog=f"{PROG} voices",
        description="List the offline voices, one a line: engine, voice and language; the "
                    "voice is what --voice takes with --speech flite or espeak-ng. A service's "
                    "voices are its own; a service voice name such as en-US-AriaNeural speaks "
                    "English as flite's slt and other languages as the closest espeak-ng one.",
    ).parse_args(argv)
    from clipweave.voice import voices

    try:
        listed = voices()
    except RuntimeError as e:  # espeak-ng's data missing
        Console().failure(str(e), "check")
        return ExitStatus.USAGE
    for engine, name, language in listed:
        print(f"{engine:<10} {escaped(name):<16} {escaped(language)}")
    return ExitStatus.OK


def show_cache(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} cache",
        description="Show what the cache of downloads, narrations, framing analyses and the "
                    "editor's browser copies holds, or empty it.")
    parser.add_argument("--cache-dir", metavar="DIR",
                        help="the cache (default: $XDG_CACHE_HOME/clipweave)")
    parser.add_argument("--clear", action="store_true", help="remove every entry")
    args = parser.parse_args(argv)
    cache = Cache(args.cache_dir or default_dir())
    usage = cache.usage()
    total = sum(size for _, size in usage.values())
    if args.clear:
        try:
            cache.clear()
        except NotOwned as e:
            Console().failure(str(e), "check")
            return ExitStatus.USAGE
        print(f"cleared {escaped(cache.root)}: {total / 1e6:.1f} MB freed")
        return ExitStatus.OK
    print(f"{escaped(cache.root)}: {total / 1e6:.1f} MB")
    for kind, (count, size) in usage.items():
        print(f"  {KIND_NAMES[kind]:<10} {count:>5}  {size / 1e6:>9.1f} MB")
    return ExitStatus.OK


class _ArgumentError(Exception):
    """An argument error, when it is to be told as JSON."""


def _json_error(message):
    raise _ArgumentError(message)


SUB_COMMANDS = {"config": show_config, "voices": show_voices, "cache": show_cache}


def main(argv=None, more_commands=None):
    """The command line; returns the exit status. ``more_commands``:
    {name: function(argv) -> exit status}, sub-commands from outside the
    application (clipweave.__main__ adds the demo)."""
    open_standard_streams()
    argv = list(sys.argv[1:] if argv is None else argv)
    commands = {**SUB_COMMANDS, **(more_commands or {})}
    try:
        if argv[:1] and argv[0] in commands:
            return commands[argv[0]](argv[1:])
        parser = build_parser()
        if "--json" in argv[:argv.index("--") if "--" in argv else len(argv)]:
            parser.error = _json_error  # a reader of JSON gets its JSON for these too
        try:
            args = parser.parse_args(argv)
        except _ArgumentError as e:
            Console("json").failure(str(e), "check")
            return ExitStatus.USAGE
        try:
            request = request_from(args)
        except UsageError as e:
            Console(mode_of(args)).failure(e.problems, "check")
            return ExitStatus.USAGE
        # Imported for a run only: the sub-commands (the editor first) start
        # without the render's modules.
        from clipweave.app.run import make_recap

        return make_recap(request)
    except KeyboardInterrupt as e:
        failed = failure(e, Stage())
        Console().errors(failed.problems)
        return failed.status
    except BrokenPipeError as e:
        # A listing read by a reader that stopped (clipweave voices | head -1).
        mute_stdout()
        return failure(e, Stage()).status
