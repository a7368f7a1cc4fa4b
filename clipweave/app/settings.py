"""Run-time settings: where each comes from, and which one wins.

The options the table (clipweave.model.options) marks as taken by the
settings file, each taken from the first place that has it: the command's
flag, the environment (where the option has a variable), the user's
configuration file, the built-in default (for the two services: the
origins built into the extension module).

    ~/.config/clipweave/config.toml        ($XDG_CONFIG_HOME/clipweave/config.toml)
    download_service = "https://dl.example.org"
    speech_service = "http://127.0.0.1:8080"
    speech = "espeak-ng"
    voice = "en-us"
    aspect = "1:1"
"""
import math
import os
from dataclasses import dataclass
from urllib.parse import urlsplit

from clipweave.app.errors import ConfigError
from clipweave.model import options as table
from clipweave.studio import colour

try:
    import tomllib
except ImportError:  # CPython 3.10
    import tomli as tomllib

DEFAULT_VOICE = table.default("voice")
SPEECH_BACKENDS = table.option("speech").choices
DOWNLOADERS = table.option("downloader").choices

FILE_KEYS = tuple(o.name for o in table.FILE_OPTIONS)
ORIGIN_KEYS = tuple(o.name for o in table.FILE_OPTIONS if o.kind == table.ORIGIN)
ENVIRONMENT = {o.name: o.environment for o in table.FILE_OPTIONS if o.environment}
# Kinds the file gives as a string.
_TEXT_KINDS = (table.TEXT, table.PATH, table.CHOICE, table.ORIGIN, table.COLOUR)


@dataclass(frozen=True)
class Setting:
    value: object  # a str, but for a number or flag option
    source: str  # "--flag", "environment NAME", "config file PATH", "built-in", "default"


def config_path(environ=None):
    environ = os.environ if environ is None else environ
    base = environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "clipweave", "config.toml")


def origin(text, where):
    """The origin "scheme://host[:port]" of text, or ConfigError.

    http:// is accepted for services on the user's own machine or network.
    """
    try:
        parts = urlsplit(text.strip())
        port = parts.port
    except ValueError as e:
        raise ConfigError(f"{where}: not an origin: {text!r} ({e})") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ConfigError(f"{where}: not an http:// or https:// origin: {text!r}")
    if parts.username is not None or parts.password is not None:
        raise ConfigError(f"{where}: an origin holds no user name or password: {text!r}")
    if parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ConfigError(f"{where}: an origin has no path, query or fragment: {text!r}")
    host = parts.hostname
    if ":" in host:
        host = f"[{host}]"
    return f"{parts.scheme}://{host}" + (f":{port}" if port is not None else "")


def read_file(path):
    """The settings of the configuration file; {} when there is none."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise ConfigError(f"config file {path}: {e}") from None
    unknown = sorted(set(data) - set(FILE_KEYS))
    if unknown:
        raise ConfigError(f"config file {path}: unknown key {unknown[0]!r} "
                          f"(known: {', '.join(FILE_KEYS)})")
    for key, value in data.items():
        kind = table.option(key).kind
        if kind in _TEXT_KINDS and not isinstance(value, str):
            raise ConfigError(f"config file {path}: {key} must be a string")
        if kind == table.FLAG and not isinstance(value, bool):
            raise ConfigError(f"config file {path}: {key} must be true or false")
        if kind in (table.NUMBER, table.INTEGER, table.DECIBELS) and (
                isinstance(value, bool) or not isinstance(value, (int, float))
                or (kind == table.INTEGER and not isinstance(value, int))):
            raise ConfigError(f"config file {path}: {key} must be a number")
    return data


def _checked(option, value, source):
    """The value of a setting as the run takes it, or ConfigError naming its source."""
    name = option.name
    if option.kind == table.ORIGIN:
        return origin(value, source)
    if option.kind == table.CHOICE and value not in option.accepted():
        raise ConfigError(f"{source}: {name} must be one of {', '.join(option.choices)}, "
                          f"not {value!r}")
    if option.kind in (table.TEXT, table.PATH) and not value.strip():
        raise ConfigError(f"{source}: {name} is empty")
    if option.kind == table.COLOUR:
        try:
            colour(value, name)
        except ValueError as e:
            raise ConfigError(f"{source}: {e}") from None
    if option.range and isinstance(value, (int, float)) and not (
            math.isfinite(value) and option.range[0] <= value <= option.range[1]):
        raise ConfigError(f"{source}: {name} must be from {option.range[0]:g} to "
                          f"{option.range[1]:g}, not {value!r}")
    return value


def resolve(flags, builtin_origins, environ=None):
    """{name: Setting} for every option the settings file takes, in the
    table's order.

    flags: {name: value or None} from the command line; builtin_origins:
    {"download_service": ..., "speech_service": ...} as built into the module.
    """
    environ = os.environ if environ is None else environ
    path = config_path(environ)
    in_file = read_file(path)
    from_file = f"config file {path}"
    settings = {}
    for option in table.FILE_OPTIONS:
        name = option.name
        candidates = [(flags.get(name), option.flag)]
        if option.environment:
            candidates.append((environ.get(option.environment) or None,
                               f"environment {option.environment}"))
        candidates.append((in_file.get(name), from_file))
        if option.kind == table.ORIGIN:
            candidates.append((builtin_origins.get(name), "built into the module"))
        else:
            candidates.append((option.default, "default"))
        value, source = next(((v, s) for v, s in candidates if v is not None), (None, "default"))
        if option.kind == table.PATH and isinstance(value, str) and value.strip() and \
                source == from_file:
            # The file's own folder, wherever the run starts (as a jobs file's paths).
            value = os.path.join(os.path.dirname(path), os.path.expanduser(value))
        # An option with no default (the music) may be set nowhere.
        settings[name] = Setting(None if value is None else _checked(option, value, source), source)
    return settings
