"""Building: the service origins are part of what a build depends on."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent

# The origin reaches the speech request's URL; a recorder bound as the
# module's requests reports it instead of sending anything.
SHOW_SPEECH_URL = """
import clipweave.clipweave as m
class Recorder:
    def post(self, url, **kwargs):
        raise RuntimeError(url)
m.requests = Recorder()
try:
    m._generate_tts("text", "unused.mp3", "voice")
except RuntimeError as e:
    print(e)
"""


def build_and_ask(tree, origin):
    # The exact module alone: the origins reach no other.
    env = dict(os.environ, CLIPWEAVE_TTS_ORIGIN=origin, CLIPWEAVE_BUILD_ONLY="clipweave.clipweave")
    subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--inplace"], cwd=tree,
                   env=env, check=True, capture_output=True, timeout=900)
    return subprocess.run([sys.executable, "-c", SHOW_SPEECH_URL], cwd=tree, check=True,
                          capture_output=True, text=True, timeout=60).stdout.strip()


def built_origins(tree):
    namespace = {}
    exec((tree / "clipweave" / "app" / "builtin_origins.py").read_text(), namespace)
    return namespace["ORIGINS"]


def objects(tree):
    """{object file: (its last change, whether it includes the origins header)}."""
    return {o: (o.stat().st_mtime_ns, "clipweave_origins.h" in o.with_suffix(".d").read_text())
            for o in (tree / "build").rglob("*.o")}


@pytest.mark.heavy
@pytest.mark.skipif(not (REPO / "setup.py").is_file(), reason="needs the source tree")
def test_changing_an_origin_rebuilds_what_includes_it(tmp_path):
    tree = tmp_path / "src"
    tree.mkdir()
    for name in ("setup.py", "pyproject.toml", "README.md"):
        shutil.copy(REPO / name, tree / name)
    shutil.copytree(REPO / "clipweave", tree / "clipweave",
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    first = build_and_ask(tree, "https://first.invalid")
    assert first == "https://first.invalid/api/generate-audio-frontend"
    assert built_origins(tree)["speech_service"] == "https://first.invalid"
    before = objects(tree)
    second = build_and_ask(tree, "https://second.invalid/")
    assert second == "https://second.invalid/api/generate-audio-frontend"
    # The command line learns the origins from the module the build writes.
    assert built_origins(tree) == {"download_service": "https://api.video-download.example",
                                   "download_site": "https://video-download.example",
                                   "speech_service": "https://second.invalid"}
    # Compiled again: the objects whose sources include the header, and only they.
    after = objects(tree)
    assert after.keys() == before.keys()
    again = {o for o in after if after[o][0] != before[o][0]}
    assert again == {o for o, (_, includes) in before.items() if includes} != set()
    # Nothing changed, nothing compiled.
    build_and_ask(tree, "https://second.invalid")
    assert objects(tree) == after


class _Asked(Exception):
    pass


class _Recorder:
    """A requests that stops a client at its first request, telling where it went."""

    def get(self, url, headers=None, **kwargs):
        raise _Asked(url, headers or {})

    post = get


def test_the_installed_origins_are_those_the_module_sends_to(rebind, cw):
    from urllib.parse import urlsplit

    from clipweave.app.origins import builtin_origins

    def origin(url):
        parts = urlsplit(url)
        return f"{parts.scheme}://{parts.netloc}"

    rebind("requests", _Recorder())
    with pytest.raises(_Asked) as download:
        cw._download_video("https://www.youtube.com/watch?v=x", "unused.mp4")
    with pytest.raises(_Asked) as speech:
        cw._generate_tts("text", "unused.mp3", "voice")
    start_url, headers = download.value.args
    assert builtin_origins() == {"download_service": origin(start_url),
                                 "download_site": headers["origin"],
                                 "speech_service": origin(speech.value.args[0])}
