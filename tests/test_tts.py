"""_generate_tts against the loopback speech stand-in through the real requests."""
import base64
import binascii
import json
from urllib.parse import urlsplit

import pytest
import requests

from clipweave.system.probe import probe
from clipweave.app.offline_speech import espeak_voice, voices
from standins import RecordingRequests, Reply, StandIns, TtsStandIn

ABC = base64.b64encode(b"abc").decode()  # "YWJj"
OLD = b"previous voice-over, must survive\n"


@pytest.fixture(scope="module")
def standins():
    with StandIns(lifetime=600) as s:
        yield s


@pytest.fixture
def svc(standins, rebind):
    standins.reset()
    rebind("requests", standins.requests)
    return standins


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "voice_0.mp3"
    path.write_bytes(OLD)
    return path


def audio(value):
    return {"audio_data": value}


# --------------------------------------------------------------------------
# Request


@pytest.mark.parametrize("text, voice", [
    ("Hello there", "en-US-AriaNeural"),
    ("", "alto"),
    ('naïve café — “quoted” "x"\nsecond line\t', "en-GB-SoniaNeural"),
    ("-v de --help", "-x"),
    ("🎬 " * 50, ""),
])
def test_request_shape(svc, cw, tmp_path, text, voice):
    svc.tts.script(json=audio(ABC))
    cw._generate_tts(text, str(tmp_path / "v.mp3"), voice)

    (call,) = svc.calls
    assert call.method == "POST" and call.args == ()
    assert call.keywords == ("json", "headers", "timeout")
    assert call.timeout == 60 and type(call.timeout) is int
    assert call.json == {"text": text, "voice": voice}
    assert list(call.json) == ["text", "voice"]
    parts = urlsplit(call.url)
    origin = f"{parts.scheme}://{parts.netloc}"
    assert parts.scheme == "https" and parts.netloc
    assert call.url == origin + "/api/generate-audio-frontend"
    assert call.headers == [
        ("accept", "*/*"),
        ("content-type", "application/json"),
        ("origin", origin),
        ("referer", origin + "/text-to-speech/"),
        ("user-agent", "Mozilla/5.0"),
    ]
    # on the wire: the body is the JSON of the two members, in order
    (received,) = svc.tts.received
    body = json.loads(received.body, object_pairs_hook=list)
    assert body == [("text", text), ("voice", voice)]
    assert received.header("Content-Type") == "application/json"
    assert received.header("User-Agent") == "Mozilla/5.0"
    assert received.header("Referer") == origin + "/text-to-speech/"


# --------------------------------------------------------------------------
# Answer


@pytest.mark.parametrize("status", [201, 204, 202, 400, 404, 429, 500, 503])
def test_status_other_than_200_fails(svc, cw, existing, status):
    svc.tts.script(status=status, json=audio(ABC))
    with pytest.raises(Exception) as info:
        cw._generate_tts("hi", str(existing), "alto")
    assert type(info.value) is Exception
    assert str(info.value) == f"TTS failed for voice alto: HTTP {status}"
    assert existing.read_bytes() == OLD


def test_failure_message_carries_the_voice_unchanged(svc, cw, tmp_path):
    svc.tts.script(status=503, body=b"upstream busy")
    with pytest.raises(Exception, match=r"^TTS failed for voice en-US-Aria Neural ü: HTTP 503$"):
        cw._generate_tts("hi", str(tmp_path / "v.mp3"), "en-US-Aria Neural ü")
    assert not (tmp_path / "v.mp3").exists()


@pytest.mark.parametrize("audio_data, expected", [
    ("data:audio/mpeg;base64," + ABC, b"abc"),
    (ABC, b"abc"),
    ("data:audio/wav;codecs=1;base64," + ABC, b"abc"),
    ("data:audio/mpeg;base64,YW\nJj\n", b"abc"),
    ("YWJj\r\nZGVm", b"abcdef"),
    ("YW Jj", b"abc"),
    ("data:audio/mpeg;base64,", b""),
    # greedy up to the last ";base64," of the first line
    ("data:audio/x;base64,QUJD;base64," + ABC, b"abc"),
    # not an audio header, not at the very start, or not in lower case: left in
    # place, and its alphabet characters decode along with the audio
    ("data:text/plain;base64," + ABC,
     b"u\xabZ\xb5\xecm\xfe\x99Z\x8av\xda\xb1\xee\xb8abc"),
    ("\ndata:audio/mpeg;base64," + ABC, b"u\xabZj\xe7b\xa3\xf9\xa9z\x06\xda\xb1\xee\xb8abc"),
    ("DATA:AUDIO/MPEG;BASE64," + ABC, b"\x0c\x04\xc0\x01@\xc8;\xf3\x0f\x10`@HN\xb8abc"),
    ("data:audio/;base64," + ABC, b"u\xabZj\xe7b\xa3\xf6\xda\xb1\xee\xb8abc"),
])
def test_audio_data_forms(svc, cw, existing, audio_data, expected):
    svc.tts.script(json=dict(audio(audio_data), format="mp3", note="ignored"))
    assert cw._generate_tts("hi", str(existing), "alto") is None
    assert existing.read_bytes() == expected


@pytest.mark.parametrize("audio_data", [
    "YWJjZA",  # wrong padding
    "data:audio/mpeg;base64,YWJjZ",
    "data:image/png;base64," + ABC,  # header left in: 23 alphabet characters
])
def test_malformed_base64_leaves_file_untouched(svc, cw, existing, tmp_path, audio_data):
    svc.tts.script(json=audio(audio_data))
    with pytest.raises(binascii.Error):
        cw._generate_tts("hi", str(existing), "alto")
    assert existing.read_bytes() == OLD
    fresh = tmp_path / "fresh.mp3"
    with pytest.raises(binascii.Error):
        cw._generate_tts("hi", str(fresh), "alto")
    assert not fresh.exists()


@pytest.mark.parametrize("reply, error", [
    (Reply(body=b"<html>rate limited</html>"), requests.exceptions.JSONDecodeError),
    (Reply(body=b""), requests.exceptions.JSONDecodeError),
    (Reply(json={"audio": ABC}), KeyError),
    (Reply(json={}), KeyError),
    (Reply(json=[ABC]), TypeError),
    (Reply(json=ABC), TypeError),
    (Reply(json=42), TypeError),
    (Reply(json=None), TypeError),
    (Reply(json=audio(123)), TypeError),
    (Reply(json=audio(None)), TypeError),
    (Reply(json=audio([ABC])), TypeError),
    (Reply(json=audio({"data": ABC})), TypeError),
])
def test_unusable_answer_leaves_file_untouched(svc, cw, existing, reply, error):
    svc.tts.script(reply)
    with pytest.raises(error) as info:
        cw._generate_tts("hi", str(existing), "alto")
    if error is KeyError:
        assert info.value.args == ("audio_data",)
    assert existing.read_bytes() == OLD


# --------------------------------------------------------------------------
# File


def test_existing_file_is_replaced_whole(svc, cw, existing):
    existing.write_bytes(b"x" * 10_000)
    svc.tts.script(json=audio(ABC))
    cw._generate_tts("hi", str(existing), "alto")
    assert existing.read_bytes() == b"abc"


@pytest.mark.parametrize("where, error", [
    ("missing-dir/voice.mp3", FileNotFoundError),
    (".", IsADirectoryError),
])
def test_unwritable_output_path(svc, cw, tmp_path, where, error):
    svc.tts.script(json=audio(ABC))
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(error):
        cw._generate_tts("hi", str(tmp_path / where), "alto")
    assert issubclass(error, OSError)
    assert sorted(tmp_path.rglob("*")) == before


@pytest.mark.parametrize("text, voice", [
    ("Hello from the stand in. This is a test.", "en-US-AriaNeural"),
    ("Good evening", "en-GB-SoniaNeural"),
    ("-v fr --help me now", "en-US-AriaNeural"),  # spoken, not read as options
    ("", "en-US-AriaNeural"),
])
def test_real_speech_is_written_as_audio(svc, cw, tmp_path, text, voice):
    path = tmp_path / "voice_0.mp3"
    cw._generate_tts(text, str(path), voice)
    streams, duration = probe(path)
    assert [(kind, s["codec_name"]) for kind, s in streams.items()] == [("audio", "mp3")]
    assert (duration > 0.5) if text else (0 < duration < 1.5)


# --------------------------------------------------------------------------
# Transport failures
#
# The 60-second time-out is fixed in the module; the adapter's timeout_cap
# lets the real requests give up after a fraction of a second while the call
# still records the 60 the module asked for.


def test_slow_answer_times_out(svc, cw, existing):
    svc.requests.timeout_cap = 0.1
    svc.tts.script(delay=0.6, json=audio(ABC))
    with pytest.raises(requests.Timeout):
        cw._generate_tts("hi", str(existing), "alto")
    (call,) = svc.calls
    assert (call.timeout, call.sent_timeout) == (60, 0.1)
    assert existing.read_bytes() == OLD


def test_answer_dropped_mid_body(svc, cw, existing):
    svc.tts.script(drop=True, json=audio(ABC * 100))
    with pytest.raises(requests.RequestException):
        cw._generate_tts("hi", str(existing), "alto")
    assert existing.read_bytes() == OLD


def test_service_unreachable(svc, cw, existing, rebind):
    gone = TtsStandIn(lifetime=5)
    gone.close()
    rebind("requests", RecordingRequests(svc.download, gone))
    with pytest.raises(requests.ConnectionError):
        cw._generate_tts("hi", str(existing), "alto")
    assert existing.read_bytes() == OLD


def test_scripted_sequence_then_repeat(svc, cw, tmp_path):
    # one request per call: the second call sees the second answer
    svc.tts.script(audio(ABC), Reply(status=503))
    cw._generate_tts("a", str(tmp_path / "1.mp3"), "alto")
    for name in ("2.mp3", "3.mp3"):
        with pytest.raises(Exception, match="HTTP 503$"):
            cw._generate_tts("b", str(tmp_path / name), "alto")
    assert len(svc.tts.received) == 3


# --------------------------------------------------------------------------
# The stand-in's voice choice


@pytest.mark.parametrize("name, voice", [
    ("en-US-AriaNeural", "en-us"),
    ("en-GB-SoniaNeural", "en-gb"),
    ("fr-FR-DeniseNeural", "fr-fr"),
    ("fr", "fr-fr"),  # a language without a voice of its bare name: its main one, not English
    ("de-DE-KatjaNeural", "de"),
    ("en_us", "en-us"),
    ("alto", "en"),
    ("", "en"),
    ("-x", "en"),
])
def test_espeak_voice_choice(name, voice):
    assert espeak_voice(name) == voice


def test_voices_are_espeak_languages():
    listed = voices()
    assert listed == sorted(set(listed))
    assert {"en-us", "en-gb", "fr-fr", "de"} <= set(listed)
    assert all(name == name.lower() and " " not in name for name in listed)


def test_standin_rejects_a_body_without_text_and_voice(standins):
    standins.reset()
    url = standins.tts.url("/api/generate-audio-frontend")
    for body in ({"text": "hi"}, {"text": 1, "voice": "en"}):
        answer = requests.post(url, json=body, timeout=5)
        assert answer.status_code == 400 and "error" in answer.json()
