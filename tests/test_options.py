"""The table of options: what reads it stays in step with it (the README's
table, --help, the studio core and its stub), and --aspect with its
settings-file key makes a finished short of that frame."""
import ast
import json
import os
import re
import subprocess
import sys

import pytest

from clipweave.app.cli import build_parser
from clipweave.app.options import help_of, markdown
from clipweave.model import options as table
from clipweave.studio import FRAMES, MAX_SPEED, MIN_SPEED, _core
from studio_media import streams

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def _squeezed(text):
    return " ".join(text.split())


def test_the_readme_table_and_help_are_the_tables(monkeypatch):
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    shown = re.search(r"<!-- options:begin -->\n(.*?)<!-- options:end -->", readme, re.S)
    assert shown, "the README has no options markers"
    assert shown.group(1) == markdown(), \
        "the README's table is stale: python -m clipweave.app.options --markdown"

    monkeypatch.setenv("COLUMNS", "1000")  # no line wrapped (argparse breaks at hyphens)
    help_ = build_parser().format_help()
    flags = set(re.findall(r"^  (?:-\w, )?(--[\w-]+)", help_, re.M))
    assert flags == {o.flag for o in table.OPTIONS} | {"--help", "--version"}
    for o in table.OPTIONS:
        assert _squeezed(help_of(o)) in _squeezed(help_), o.name
        if o.kind == table.CHOICE and o.default is not None:
            # A help that names the default names the table's.
            assert re.search(rf"\b{re.escape(o.default)}\b", help_of(o)), o.name


def _core_tables(**changes):
    tables = {"choices": dict(_core.CHOICES), "old_names": dict(_core.OLD_NAMES),
              "frames": dict(FRAMES), "limits": {"speed": (MIN_SPEED, MAX_SPEED),
                                                 "bed_volume": (_core.MIN_BED_VOLUME,
                                                                _core.MAX_BED_VOLUME)}}
    for where, (key, value) in changes.items():
        tables[where] = {**tables[where], key: value}
    return tables


@pytest.mark.parametrize("changes, named", [
    ({"choices": ("captions", ("words", "phrases", "srt", "none", "karaoke"))}, "captions"),
    ({"choices": ("frame", ("blur", "crop"))}, "frame"),
    ({"old_names": ("captions", {})}, "captions: old names"),
    ({"frames": ("2:3", (720, 1080))}, "aspect"),
    ({"limits": ("speed", (0.25, 100.0))}, "speed"),
])
def test_a_core_that_draws_otherwise_stops_the_import(changes, named):
    table.check_core(**_core_tables())  # the core as built agrees
    with pytest.raises(ImportError, match=re.escape(named)):
        table.check_core(**_core_tables(**changes))


def test_the_stub_names_the_cores_choices():
    with open(os.path.join(os.path.dirname(_core.__file__), "_core.pyi"), encoding="utf-8") as f:
        stub = ast.parse(f.read())
    literals = {node.targets[0].id: tuple(ast.literal_eval(node.value.slice))
                for node in stub.body if isinstance(node, ast.Assign)
                and isinstance(node.value, ast.Subscript) and node.value.value.id == "Literal"}
    old = {name: tuple(names) for name, names in _core.OLD_NAMES.items()}
    assert literals == {alias: _core.CHOICES[name] + old.get(name, ()) for alias, name in [
        ("Fit", "fit"), ("Framing", "frame"), ("CaptionMode", "captions"), ("Quality", "quality"),
        ("Aspect", "aspect"), ("CaptionStyle", "caption_style"), ("CaptionPosition", "caption_position"),
        ("SafeArea", "safe_area")]}


def test_a_settings_file_aspect_makes_a_4_5_short(tmp_path, private_settings):
    """The settings file's aspect reaches the render; --json reports the size measured."""
    config = private_settings / "config" / "clipweave"
    config.mkdir(parents=True)
    (config / "config.toml").write_text('aspect = "4:5"\n')
    segments = tmp_path / "one.json"
    segments.write_text(json.dumps([{"start": "1", "end": "3", "voiceover": "A square-ish one."}]))
    r = subprocess.run([sys.executable, "-m", "clipweave", "demo", "--seconds", "4", "--segments",
                        str(segments), "--output-dir", "out", "--json"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
    assert r.returncode == 0, r.stderr
    document = json.loads(r.stdout)
    video = streams(document["final"])["video"]
    assert (video["width"], video["height"]) == (1080, 1350) == (document["width"],
                                                                 document["height"])
    shown = subprocess.run([sys.executable, "-m", "clipweave", "config"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=60)
    assert f'aspect           = "4:5"  # config file {config / "config.toml"}' in \
        shown.stdout.splitlines()
