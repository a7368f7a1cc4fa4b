"""Run-time settings: where each comes from, and which one wins.

Four settings, each taken from the first place that has it: the command's
flag, the environment, the user's configuration file, the built-in default
(for the two services: the origins built into the extension module).

    ~/.config/clipweave/config.toml        ($XDG_CONFIG_HOME/clipweave/config.toml)
    download_service = "https://dl.example.org"
    speech_service = "http://127.0.0.1:8080"
    speech = "espeak-ng"
    voice = "en-us"
"""
import os
from dataclasses import dataclass
from urllib.parse import urlsplit

from clipweave.app.errors import ConfigError

try:
    import tomllib
except ImportError:  # CPython 3.10
    import tomli as tomllib

DEFAULT_VOICE = "en-US-AriaNeural"
SPEECH_BACKENDS = ("service", "espeak-ng", "flite")
DOWNLOADERS = ("service", "yt-dlp")

ORIGIN_KEYS = ("download_service", "speech_service")
ENVIRONMENT = {
    "download_service": "CLIPWEAVE_DOWNLOAD_SERVICE",
    "speech_service": "CLIPWEAVE_SPEECH_SERVICE",
}
FILE_KEYS = ("download_service", "speech_service", "speech", "voice")


@dataclass(frozen=True)
class Setting:
    value: str
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
        if not isinstance(value, str):
            raise ConfigError(f"config file {path}: {key} must be a string")
    return data


def resolve(flags, builtin_origins, environ=None):
    """{name: Setting} for the four settings.

    flags: {name: value or None} from the command line; builtin_origins:
    {"download_service": ..., "speech_service": ...} as built into the module.
    """
    environ = os.environ if environ is None else environ
    path = config_path(environ)
    in_file = read_file(path)
    defaults = {"speech": "service", "voice": DEFAULT_VOICE}
    settings = {}
    for name in FILE_KEYS:
        flag = "--" + name.replace("_", "-")
        candidates = [(flags.get(name), flag)]
        if name in ENVIRONMENT:
            candidates.append((environ.get(ENVIRONMENT[name]) or None,
                               f"environment {ENVIRONMENT[name]}"))
        candidates.append((in_file.get(name), f"config file {path}"))
        if name in ORIGIN_KEYS:
            candidates.append((builtin_origins.get(name), "built into the module"))
        else:
            candidates.append((defaults[name], "default"))
        value, source = next((v, s) for v, s in candidates if v is not None)
        if name in ORIGIN_KEYS:
            value = origin(value, source)
        elif name == "speech" and value not in SPEECH_BACKENDS:
            raise ConfigError(f"{source}: speech must be one of {', '.join(SPEECH_BACKENDS)}, "
                              f"not {value!r}")
        elif name == "voice" and not value.strip():
            raise ConfigError(f"{source}: voice is empty")
        settings[name] = Setting(value, source)
    return settings
