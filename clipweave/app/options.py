"""The flags of a run, as the table of options (clipweave.model.options)
declares them: every argument of ``clipweave SOURCE SEGMENTS`` (and those
the demo shares), the parsed arguments turned into a RunRequest, and the
README's table of options (``python -m clipweave.app.options --markdown``)."""
import argparse
import shutil
import sys

from clipweave.app.request import RunRequest
from clipweave.model import options as table
from clipweave.model.options import DOWNLOAD_FACTOR, OPTIONS, STUDIO_OPTIONS
from clipweave.model.segments import UsageError
from clipweave.studio import FRAMES, MUSIC_DUCK, TITLE_SECONDS, colour

STUDIO_TITLE = "studio render (the default; --classic runs run_recap unchanged instead)"


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


def colour_value(text):
    """--highlight, --accent: a CSS colour name or #rrggbb, as written."""
    try:
        colour(text, "the colour")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


def help_of(option):
    """An option's line of help, its values filled in."""
    sizes = [f"{name} ({width}x{height})" for name, (width, height) in FRAMES.items()]
    return option.help_text(download_factor=DOWNLOAD_FACTOR,
                            sizes=", ".join(sizes[:-1]) + " or " + sizes[-1],
                            title_seconds=TITLE_SECONDS, music_duck=MUSIC_DUCK)


_TYPES = {table.NUMBER: float, table.INTEGER: int, table.DECIBELS: bed_volume,
          table.COLOUR: colour_value}


def add_option(container, option):
    """The flag of one option of the table. Settings and studio options
    default to None (not given: the configuration or the render decides)."""
    names = ([option.short] if option.short else []) + [option.flag]
    if option.kind == table.FLAG:
        container.add_argument(*names, action="store_true", help=help_of(option))
        return
    extra = {}
    if option.kind == table.CHOICE:
        extra["choices"] = option.accepted()
        if option.old_names:  # the old names are accepted, not shown
            extra["metavar"] = "{" + ",".join(option.choices) + "}"
    if option.kind in _TYPES:
        extra["type"] = _TYPES[option.kind]
    if option.metavar:
        extra["metavar"] = option.metavar
    if option.group == table.RUN and option.default is not None:
        extra["default"] = option.default
    container.add_argument(*names, help=help_of(option), **extra)


def add_settings(parser):
    """The settings, as flags; unset flags leave the choice to the configuration."""
    for option in table.in_group(table.SETTINGS):
        add_option(parser, option)


def add_file_options(parser):
    """The flags of every option the settings file takes (``clipweave config``)."""
    add_settings(parser)
    for option in table.FILE_OPTIONS:
        if option.group != table.SETTINGS:
            add_option(parser, option)


def add_output_arguments(parser):
    """The options on how a run's results and messages come out."""
    groups = {}
    for option in table.in_group(table.OUTPUT):
        if option.exclusive and option.exclusive not in groups:
            groups[option.exclusive] = parser.add_mutually_exclusive_group()
        add_option(groups.get(option.exclusive, parser), option)


def mode_of(args):
    return "json" if args.json else "quiet" if args.quiet else "normal"


def add_source_options(parser):
    for option in table.in_group(table.SOURCE):
        add_option(parser, option)


def add_run_options(parser):
    output_added = False
    for option in OPTIONS:
        if option.group == table.RUN:
            add_option(parser, option)
        elif option.group == table.OUTPUT and not output_added:
            add_output_arguments(parser)
            output_added = True


def add_render_arguments(parser):
    """The choice between the studio render and the exact pipeline, and the studio's options."""
    studio = parser.add_argument_group(STUDIO_TITLE)
    for option in table.in_group(table.STUDIO):
        add_option(studio, option)


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


# --- the README's table of options ------------------------------------------------

def _cell(text):
    return str(text).replace("|", "\\|")


def markdown():
    """The table of options as the README shows it (between its options markers)."""
    rows = ["| option | choices or range | default | batch job | settings file | what it does |",
            "| --- | --- | --- | --- | --- | --- |"]
    for o in OPTIONS:
        flag = f"`{o.short}`, `{o.flag}`" if o.short else f"`{o.flag}`"
        if o.choices:
            values = ", ".join(f"`{c}`" for c in o.choices)
        elif o.range:
            values = f"{o.range[0]:g} to {o.range[1]:g}" + (" or `off`" if o.kind == table.DECIBELS else "")
        else:
            values = {table.FLAG: "", table.ORIGIN: "`https://host[:port]`",
                      table.COLOUR: "a CSS colour name or `#rrggbb`"}.get(o.kind, o.metavar or "")
        given = "" if o.default is None or o.kind == table.FLAG else f"`{o.default:g}`" if isinstance(
            o.default, float) else f"`{o.default}`"
        file = "yes" + (f" (and `{o.environment}`)" if o.environment else "") if o.file else ""
        rows.append(f"| {flag} | {_cell(values)} | {_cell(given)} | {'yes' if o.batch else ''} "
                    f"| {file} | {_cell(help_of(o))} |")
    return "\n".join(rows) + "\n"


if __name__ == "__main__":
    if sys.argv[1:] != ["--markdown"]:
        sys.exit("usage: python -m clipweave.app.options --markdown")
    sys.stdout.write(markdown())
