"""Whole runs with nothing faked but the far ends: real ffmpeg, real wget,
real HTTP to the loopback stand-ins, espeak-ng narration."""
import json
import os

import pytest

from clipweave.demo.services import make_source_video
from clipweave.system.probe import probe
from standins import StandIns
from support import NO_SLEEP

URL = "https://www.youtube.com/watch?v=e2e&t=1"
VOICE = "en-GB-SoniaNeural"
SEGMENTS = [
    # Each narration outlasts its 2-second cut, so each clip lasts 2 s.
    {"start": "1", "end": "3",
     "voiceover": "The first part begins with a long and steady look around."},
    {"start": "00:00:04", "end": "00:00:06",
     "voiceover": "Then the second part moves along, a little faster now."},
    {"start": "7", "end": "9",
     "voiceover": "And the third part closes everything, slowly and quietly."},
]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "source.mp4", seconds=10,
                             size="320x180")


@pytest.mark.parametrize("speed", [1.0, 2.5])
def test_real_run(cw, rebind, capsys, tmp_path, source, speed):
    out = tmp_path / "it's my recap ü"
    out.mkdir()
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    with StandIns(video_file=source, lifetime=120) as s:
        rebind("requests", s.requests)
        rebind("time", NO_SLEEP)
        result = cw.run_recap(URL, str(segments), speed, VOICE, str(out))

        assert s.download.start_requests[0].params == {"format": "1080", "url": URL}
        assert len(s.download.file_requests) == 1
        assert [r.json() for r in s.tts.received] == [
            {"text": seg["voiceover"], "voice": VOICE} for seg in SEGMENTS]

    assert result == os.path.join(str(out), "FINAL_RECAP.mp4")
    stdout = capsys.readouterr().out
    assert f"✅ Download complete: {out}/movie.mp4\n" in stdout
    assert stdout.endswith(f"✅ Done! Vertical Output: {result}\n")
    assert sorted(os.listdir(out)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]

    streams, horizontal = probe(str(out / "horizontal_final.mp4"))
    assert (streams["video"]["width"], streams["video"]["height"]) == (320, 180)
    # Three 2-second cuts; -shortest with a copied video stream lets each
    # clip run a little past its cut (AAC frames, interleaving).
    assert 6.0 <= horizontal <= 7.2
    streams, final = probe(result)
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert (streams["video"]["codec_name"], streams["audio"]["codec_name"]) == ("h264", "aac")
    assert final == pytest.approx(horizontal / speed, abs=0.2)
