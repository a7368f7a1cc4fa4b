"""The render panel of the editor, made from the table of options, and
the panel's values turned into the command's arguments.

The page draws one field per option the table offers the editor
(clipweave.model.options, ``editor``): its kind, choices or range, help
and the value a run would take now (for the settings: what the flags,
the environment and the settings file give). What the page sends back is
checked for its JSON types here, then by the command's own parser and
checks (clipweave.app), so the panel refuses what the command refuses,
with the same words.
"""
from clipweave.app.checks import check_speed, check_studio
from clipweave.app.cli import build_parser
from clipweave.app.options import help_of, request_from
from clipweave.model import options as table
from clipweave.model.segments import UsageError

PANEL = tuple(o for o in table.OPTIONS if o.editor)
_BY_NAME = {o.name: o for o in PANEL}
# Stand-ins for the two places, so the parser reads the options alone.
_PLACES = ["source.mp4", "segments.json"]


def fields(settings, speaker):
    """The panel's fields, in the table's order, as JSON-ready objects.
    ``settings``: {name: Setting} in effect; ``speaker``: who speaks
    (clipweave.app.offline_speech.Speaker)."""
    out = []
    for o in PANEL:
        field = {"name": o.name, "flag": o.flag, "kind": o.kind, "help": help_of(o),
                 "choices": list(o.choices), "range": list(o.range) if o.range else None,
                 "default": o.default, "studio": o.studio, "batch": o.batch,
                 "group": o.group, "from": "default"}
        if o.name in settings:
            field["default"], field["from"] = settings[o.name].value, settings[o.name].source
        if o.name == "speech" and speaker.fallback:
            field["note"] = (f"no speech service is set up: {speaker.engine} speaks "
                             f"({speaker.voice})")
        out.append(field)
    return out


def _json_type_problem(option, value):
    """Why value is no JSON value of the option's kind, or None."""
    number = isinstance(value, (int, float)) and not isinstance(value, bool)
    if option.kind == table.FLAG:
        return None if isinstance(value, bool) else "true or false"
    if option.kind == table.INTEGER:
        return None if number and float(value).is_integer() else "a whole number"
    if option.kind == table.NUMBER:
        return None if number else "a number"
    if option.kind == table.DECIBELS:
        return None if number or value == "off" else 'a number of dB or "off"'
    return None if isinstance(value, str) else "a string"


def _argument(option, value):
    if isinstance(value, float) and value.is_integer() and option.kind == table.INTEGER:
        value = int(value)
    return f"{option.flag}={value}"


class _Refusal(Exception):
    pass


def _refuse(message):
    raise _Refusal(message)


def arguments(values):
    """(the command's arguments for the panel's values, every problem with
    them). ``values``: {option name: JSON value}; the output directory is
    the caller's (a path inside the project) and is not among them."""
    if not isinstance(values, dict):
        return [], ["options must be an object of option names and values"]
    problems, argv = [], []
    for name, value in values.items():
        option = _BY_NAME.get(name)
        if option is None or name == "output_dir":
            problems.append(f"options: {name!r} is not an option of the render panel")
            continue
        wrong = _json_type_problem(option, value)
        if wrong:
            problems.append(f"options: {name} must be {wrong}")
            continue
        if option.kind == table.FLAG:
            argv += [option.flag] if value else []
        else:
            argv.append(_argument(option, value))
    if problems:
        return [], problems
    parser = build_parser()
    parser.error = _refuse  # every problem listed, not the first one as an exit
    # One option at a time, so each refusal is told.
    for argument in argv:
        try:
            parser.parse_args(_PLACES + [argument])
        except _Refusal as e:
            problems.append(str(e))
    if problems:
        return [], problems
    try:
        args = parser.parse_args(_PLACES + argv)
        request = request_from(args)
    except _Refusal as e:
        return [], [str(e)]
    except UsageError as e:
        return [], e.problems
    problems = check_speed(request.speed) + check_studio(request)
    return ([] if problems else argv), problems


def batch_job(values):
    """The panel's values a job of a batch takes, as the jobs file writes
    them (``overwrite`` is the batch's own -y)."""
    return {name: value for name, value in values.items()
            if name in _BY_NAME and _BY_NAME[name].batch}
