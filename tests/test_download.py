"""_download_video against the loopback download stand-in, real requests and real wget."""
import json
import subprocess
from urllib.parse import urlsplit

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from clipweave.demo.services import make_source_video
from standins import DownloadStandIn, RecordingRequests, Reply, StandIns
from support import Clock

UA = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/144.0.0.0 Safari/537.36")
FIRST = "📥 Requesting download from server...\n"


@pytest.fixture(scope="module")
def source_video(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "source.mp4", seconds=2,
                             size="160x90")


@pytest.fixture(scope="module")
def standins(source_video):
    with StandIns(video_file=source_video, lifetime=600) as s:
        yield s


class RunRecorder:
    """Stands in for the module's ``subprocess``: records, then really runs."""

    def __init__(self):
        self.runs = []

    def run(self, *args, **kwargs):
        self.runs.append((args, kwargs))
        return subprocess.run(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(subprocess, name)


@pytest.fixture
def svc(standins, rebind):
    standins.reset()
    rebind("requests", standins.requests)
    standins.clock = rebind("time", Clock(standins.calls))
    standins.proc = rebind("subprocess", RunRecorder())
    return standins


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "movie.mp4")


def polls(svc):
    return [c for c in svc.calls if urlsplit(c.url).path.startswith("/progress/")]


def success_stdout(job, figures, output_file):
    progress = "".join(f"\r  {f}%" for f in figures)
    return (FIRST + f"⏳ Processing job {job}...\n" + progress
            + "\n⬇️  Downloading video...\n" + f"✅ Download complete: {output_file}\n")


# --------------------------------------------------------------------------
# Start request


def test_headers_timeouts_and_keywords(svc, cw, out):
    svc.download.script(progress=[svc.download.working(300), svc.download.finished()])
    cw._download_video("https://youtu.be/abc", out)

    start, *progress = svc.calls
    assert len(progress) == 2
    origin = start.header_dict["origin"]
    parts = urlsplit(origin)
    assert (parts.scheme, parts.path, parts.query) == ("https", "", "") and parts.netloc
    expected = [
        ("accept", "*/*"),
        ("accept-language", "en-US,en;q=0.6"),
        ("cache-control", "no-cache"),
        ("origin", origin),
        ("referer", origin + "/"),
        ("user-agent", UA),
    ]
    for call, timeout in [(start, 30)] + [(p, 15) for p in progress]:
        assert call.method == "GET" and call.args == ()
        assert call.keywords == ("headers", "timeout")
        assert call.headers == expected
        assert call.timeout == timeout and type(call.timeout) is int
    assert [p.url for p in progress] == [svc.download.progress_url()] * 2
    # what actually went over the wire
    for received in svc.download.start_requests + svc.download.progress_requests:
        for name, value in expected:
            assert received.header(name) == value


def test_start_url_shape(svc, cw, out):
    svc.download.script(start={"success": False})
    with pytest.raises(Exception):
        cw._download_video("https://www.youtube.com/watch?v=xyz", out)
    (call,) = svc.calls
    parts = urlsplit(call.url)
    assert parts.scheme == "https" and parts.netloc and parts.fragment == ""
    assert parts.path == "/ajax/download.php"
    assert parts.query == "format=1080&url=https%3A%2F%2Fwww.youtube.com%2Fwatch%3Fv%3Dxyz"


@pytest.mark.parametrize("url, encoded", [
    ("a b/c?d=e&f", "a%20b%2Fc%3Fd%3De%26f"),
    ("é", "%C3%A9"),
    ("%41", "%2541"),
    ("x:y#z+1", "x%3Ay%23z%2B1"),
    ("Az09_.-~", "Az09_.-~"),
    ("", ""),
])
def test_video_url_fully_percent_encoded(svc, cw, out, url, encoded):
    svc.download.script(start={"success": False})
    with pytest.raises(Exception, match="^Download API error: "):
        cw._download_video(url, out)
    (call,) = svc.calls
    assert call.url.endswith("/ajax/download.php?format=1080&url=" + encoded)
    (received,) = svc.download.start_requests
    assert received.path == "/ajax/download.php?format=1080&url=" + encoded


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(url=st.text(st.characters(blacklist_categories=("Cs",)), max_size=40))
def test_service_receives_the_video_url_intact(svc, cw, url):
    svc.reset()
    svc.download.script(start={"success": False})
    with pytest.raises(Exception, match="^Download API error: "):
        cw._download_video(url, "unused.mp4")
    (received,) = svc.download.start_requests
    assert received.query.startswith("format=1080&url=")
    assert received.params == {"format": "1080", "url": url}


@pytest.mark.parametrize("status", [400, 403, 404, 500, 503])
def test_start_error_status_raises_before_decoding(svc, cw, out, capsys, status):
    # The body is a perfectly good start answer: only the status may stop the call.
    svc.download.script(start=Reply(status=status))
    with pytest.raises(requests.HTTPError) as info:
        cw._download_video("u", out)
    assert info.value.response.status_code == status
    assert polls(svc) == []
    assert capsys.readouterr().out == FIRST


@pytest.mark.parametrize("answer", [
    {"success": False},
    {"success": False, "error": "Video unavailable", "id": 7},
    {"id": "j", "progress_url": "http://127.0.0.1:9/p"},  # success absent
    {"success": None, "id": "j"},
    {"success": 0},
    {"success": ""},
    {"success": [], "note": "it's \"quoted\""},
    {},
])
def test_start_api_error_carries_whole_answer(svc, cw, out, capsys, answer):
    svc.download.script(start=answer)
    with pytest.raises(Exception) as info:
        cw._download_video("u", out)
    assert type(info.value) is Exception
    assert str(info.value) == "Download API error: " + format(json.loads(json.dumps(answer)))
    assert polls(svc) == [] and svc.clock.sleeps == []
    assert capsys.readouterr().out == FIRST


def test_api_error_message_uses_the_hosts_printed_form(svc, cw, out):
    svc.download.script(start=b'{"success": false, "detail": {"retry": true, "after": null}, "msg": "x"}')
    with pytest.raises(Exception) as info:
        cw._download_video("u", out)
    assert str(info.value) == (
        "Download API error: {'success': False, 'detail': {'retry': True, 'after': None}, 'msg': 'x'}")


@pytest.mark.parametrize("answer, missing", [
    ({"success": True}, "id"),
    ({"success": True, "progress_url": "http://127.0.0.1:9/p"}, "id"),
    ({"success": True, "id": "j"}, "progress_url"),
])
def test_start_answer_missing_field(svc, cw, out, capsys, answer, missing):
    svc.download.script(start=answer)
    with pytest.raises(KeyError) as info:
        cw._download_video("u", out)
    assert info.value.args == (missing,)
    assert polls(svc) == [] and svc.clock.sleeps == []
    assert capsys.readouterr().out == FIRST


@pytest.mark.parametrize("body, error", [
    (b"<html>busy</html>", json.JSONDecodeError),
    (b"", json.JSONDecodeError),
    (b"{'success': true}", json.JSONDecodeError),
    (b"[1, 2]", AttributeError),
    (b'"ok"', AttributeError),
    (b"42", AttributeError),
    (b"null", AttributeError),
])
def test_start_answer_not_an_object(svc, cw, out, body, error):
    svc.download.script(start=body)
    with pytest.raises(error):
        cw._download_video("u", out)
    assert polls(svc) == []


def test_start_body_decode_error_is_the_requests_one(svc, cw, out):
    svc.download.script(start=b"not json")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        cw._download_video("u", out)


@pytest.mark.parametrize("job_id, shown", [
    ("abc-123", "abc-123"),
    (12345, "12345"),
    (1.5, "1.5"),
    (None, "None"),
    (["a"], "['a']"),
])
def test_job_id_printed_in_text_form(svc, cw, out, capsys, job_id, shown):
    svc.download.script(start=svc.download.start_answer(id=job_id))
    cw._download_video("u", out)
    assert capsys.readouterr().out == success_stdout(shown, ["100"], out)


@pytest.mark.parametrize("success", [1, "yes", [0], {"a": 1}])
def test_start_success_is_tested_for_truth(svc, cw, out, success):
    svc.download.script(start=svc.download.start_answer(success=success))
    cw._download_video("u", out)
    assert len(polls(svc)) == 1


# --------------------------------------------------------------------------
# Polling


@pytest.mark.parametrize("progress, figure", [
    (0, "0"), (1, "0"), (5, "0"), (6, "1"), (15, "2"), (25, "2"), (333, "33"),
    (7.5, "1"), (995, "100"), (999, "100"), (-5, "-0"),
])
def test_progress_figure(svc, cw, out, capsys, progress, figure):
    svc.download.script(progress=[svc.download.working(progress), svc.download.finished()])
    cw._download_video("u", out)
    assert capsys.readouterr().out == success_stdout("job-1", [figure, "100"], out)


class FlushRecorder:
    def __init__(self):
        self.events = []

    def write(self, text):
        self.events.append(("write", text))
        return len(text)

    def flush(self):
        self.events.append(("flush",))


def test_progress_line_is_flushed_at_once(svc, cw, out, monkeypatch):
    stdout = FlushRecorder()
    monkeypatch.setattr("sys.stdout", stdout)
    svc.download.script(progress=[svc.download.working(250), svc.download.finished()])
    cw._download_video("u", out)
    monkeypatch.undo()
    events = [e for e in stdout.events if e != ("write", "")]
    for figure in ("\r  25%", "\r  100%"):
        i = events.index(("write", figure))
        # no line end of its own, and on screen before anything else is written
        assert events[i + 1] == ("flush",)


def test_progress_absent_shows_zero_and_never_finishes(svc, cw, out, capsys):
    svc.download.script(progress=[{"success": True, "download_url": "x"}] * 3
                        + [svc.download.finished()])
    cw._download_video("u", out)
    assert capsys.readouterr().out == success_stdout("job-1", ["0", "0", "0", "100"], out)
    assert len(polls(svc)) == 4


@pytest.mark.parametrize("entry, finishes", [
    ({"success": True, "progress": 1000}, True),
    ({"success": True, "progress": 1000.0}, True),
    ({"success": True, "progress": 2500}, True),
    ({"success": "yes", "progress": 1000}, True),
    ({"success": True, "progress": 999}, False),
    ({"success": True, "progress": 999.99}, False),
    ({"success": False, "progress": 1000}, False),
    ({"success": 0, "progress": 1000}, False),
    ({"success": None, "progress": 1000}, False),
    ({"progress": 1000}, False),
])
def test_completion_rule(svc, cw, out, entry, finishes):
    first = dict(entry, download_url=svc.download.file_url())
    svc.download.script(progress=[first, svc.download.finished()])
    cw._download_video("u", out)
    assert len(polls(svc)) == (1 if finishes else 2)
    assert len(svc.proc.runs) == 1


def test_figure_of_finishing_poll_is_printed(svc, cw, out, capsys):
    svc.download.script(progress=[svc.download.working(420), svc.download.finished(progress=1234)])
    cw._download_video("u", out)
    assert capsys.readouterr().out == success_stdout("job-1", ["42", "123"], out)


@pytest.mark.parametrize("status", [404, 500, 503])
@pytest.mark.parametrize("finished", [True, False])
def test_progress_error_status_is_read_like_any_answer(svc, cw, out, status, finished):
    d = svc.download
    body = d.finished() if finished else d.working(500)
    d.script(progress=[Reply(status=status, json=body), d.finished()])
    cw._download_video("u", out)
    assert len(polls(svc)) == (1 if finished else 2)


@pytest.mark.parametrize("entry, error", [
    ({"success": True, "progress": None}, TypeError),
    ({"success": True, "progress": "500"}, TypeError),
    ({"success": True, "progress": [1]}, TypeError),
    (b"<html>gateway</html>", json.JSONDecodeError),
    (b"[]", AttributeError),
])
def test_progress_answer_unusable(svc, cw, out, capsys, entry, error):
    svc.download.script(progress=[entry])
    with pytest.raises(error):
        cw._download_video("u", out)
    assert len(polls(svc)) == 1 and svc.proc.runs == []
    assert "⬇️" not in capsys.readouterr().out


def test_finished_without_download_url(svc, cw, out, capsys):
    svc.download.script(progress=[{"success": True, "progress": 1000}])
    with pytest.raises(KeyError) as info:
        cw._download_video("u", out)
    assert info.value.args == ("download_url",)
    assert capsys.readouterr().out.endswith("\r  100%")
    assert svc.proc.runs == []


@pytest.mark.parametrize("unfinished", [0, 3])
def test_each_poll_follows_a_wait_of_three(svc, cw, out, unfinished):
    svc.download.script(progress=[svc.download.working(100)] * unfinished
                        + [svc.download.finished()])
    cw._download_video("u", out)
    n = unfinished + 1
    assert svc.clock.sleeps == [3] * n
    assert all(type(s) is int for s in svc.clock.sleeps)
    # before wait k the start request and k-1 polls have gone out: never two polls per wait
    assert svc.clock.calls_before == list(range(1, n + 1))
    assert len(polls(svc)) == n


def test_finishing_on_the_sixtieth_poll_counts(svc, cw, out, source_video):
    svc.download.script(progress=[svc.download.working(10)] * 59 + [svc.download.finished()])
    cw._download_video("u", out)
    assert len(polls(svc)) == 60 and svc.clock.sleeps == [3] * 60
    with open(out, "rb") as got, open(source_video, "rb") as want:
        assert got.read() == want.read()


def test_sixty_unfinished_polls_time_out(svc, cw, out, capsys):
    svc.download.script(progress=[svc.download.working(10)])
    with pytest.raises(Exception) as info:
        cw._download_video("u", out)
    assert type(info.value) is Exception
    assert str(info.value) == "Download timed out after 3 minutes"
    assert len(polls(svc)) == 60 and svc.clock.sleeps == [3] * 60
    assert svc.proc.runs == [] and svc.download.file_requests == []
    assert capsys.readouterr().out == FIRST + "⏳ Processing job job-1...\n" + "\r  1%" * 60


# --------------------------------------------------------------------------
# Fetch


@pytest.mark.parametrize("name", ["movie.mp4", "my movie (final).mp4", "it's -O here.mp4"])
def test_successful_download(svc, cw, tmp_path, capsys, source_video, name):
    out = str(tmp_path / name)
    assert cw._download_video("https://youtu.be/abc", out) is None
    assert capsys.readouterr().out == success_stdout("job-1", ["100"], out)
    with open(out, "rb") as got, open(source_video, "rb") as want:
        assert got.read() == want.read()
    ((args, kwargs),) = svc.proc.runs
    assert args == (["wget", "-q", "-O", out, "--user-agent", UA, svc.download.file_url()],)
    assert kwargs == {"check": True}
    (fetch,) = svc.download.file_requests
    assert fetch.header("User-Agent") == UA


def test_wget_failure_propagates(svc, cw, out, capsys):
    svc.download.script(video_file=None)
    with pytest.raises(subprocess.CalledProcessError) as info:
        cw._download_video("u", out)
    assert info.value.returncode != 0 and info.value.cmd[0] == "wget"
    stdout = capsys.readouterr().out
    assert stdout.endswith("\n⬇️  Downloading video...\n") and "✅" not in stdout


def test_empty_download_url_still_goes_to_wget(svc, cw, out):
    svc.download.script(progress=[svc.download.finished(download_url="")])
    with pytest.raises(subprocess.CalledProcessError):
        cw._download_video("u", out)
    ((args, _),) = svc.proc.runs
    assert args[0][-1] == ""


@pytest.mark.parametrize("download_url", [None, 123, ["http://127.0.0.1:9/x"]])
def test_download_url_not_text(svc, cw, out, download_url):
    svc.download.script(progress=[svc.download.finished(download_url=download_url)])
    with pytest.raises(TypeError):
        cw._download_video("u", out)


@pytest.mark.parametrize("download_url", ["-O/tmp/elsewhere", "--execute=robots=off", "-"])
def test_option_like_download_url_is_refused(svc, cw, tmp_path, download_url):
    out = str(tmp_path / "movie.mp4")
    svc.download.script(progress=[svc.download.finished(download_url=download_url)])
    with pytest.raises(Exception, match="^Download API error: ") as info:
        cw._download_video("u", out)
    assert type(info.value) is Exception
    assert svc.proc.runs == []
    assert list(tmp_path.iterdir()) == []


def test_wget_missing_from_path(svc, cw, out, tmp_path, monkeypatch):
    empty = tmp_path / "bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    with pytest.raises(FileNotFoundError):
        cw._download_video("u", out)
    assert len(svc.proc.runs) == 1


# --------------------------------------------------------------------------
# Transport failures
#
# The time-outs (30 s, 15 s) are fixed in the module, so a slow answer is
# tested through the adapter's timeout_cap: the call records the time-out the
# module asked for and the real requests waits only a fraction of a second.


def test_slow_start_answer_times_out(svc, cw, out, capsys):
    svc.requests.timeout_cap = 0.1
    svc.download.script(start=Reply(delay=0.6))
    with pytest.raises(requests.Timeout):
        cw._download_video("u", out)
    (call,) = svc.calls
    assert (call.timeout, call.sent_timeout) == (30, 0.1)
    assert capsys.readouterr().out == FIRST


def test_slow_progress_answer_times_out(svc, cw, out, capsys):
    svc.requests.timeout_cap = 0.1
    svc.download.script(progress=[svc.download.working(500), Reply(delay=0.6)])
    with pytest.raises(requests.Timeout):
        cw._download_video("u", out)
    assert [c.timeout for c in polls(svc)] == [15, 15]
    assert capsys.readouterr().out == FIRST + "⏳ Processing job job-1...\n\r  50%"
    assert svc.proc.runs == []


@pytest.mark.parametrize("where", ["start", "progress"])
def test_answer_dropped_mid_body(svc, cw, out, where):
    # Depending on urllib3, a short body is an error of its own or a
    # truncated text that fails to decode: a requests exception either way.
    svc.download.script(**{where: Reply(drop=True) if where == "start" else [Reply(drop=True)]})
    with pytest.raises(requests.RequestException):
        cw._download_video("u", out)
    assert svc.proc.runs == []


def test_service_unreachable(svc, cw, out, rebind, capsys):
    gone = DownloadStandIn(lifetime=5)
    gone.close()
    rebind("requests", RecordingRequests(gone, svc.tts))
    with pytest.raises(requests.ConnectionError):
        cw._download_video("u", out)
    assert capsys.readouterr().out == FIRST


def test_progress_service_unreachable(svc, cw, out, capsys):
    gone = DownloadStandIn(lifetime=5)
    gone.close()
    svc.download.script(start=svc.download.start_answer(progress_url=gone.progress_url()))
    with pytest.raises(requests.ConnectionError):
        cw._download_video("u", out)
    assert svc.clock.sleeps == [3]
    assert capsys.readouterr().out == FIRST + "⏳ Processing job job-1...\n"


# --------------------------------------------------------------------------
# The stand-ins themselves: nothing leaves loopback, servers stop by themselves


@pytest.mark.parametrize("url", [
    "https://example.com/",
    "http://localhost:80/ajax/download.php.bak",
    "https://api.video-download.example/progress/job-1",
    # urlsplit finds 127.0.0.1 in these; requests would connect elsewhere or fail
    "http://other.example\\@127.0.0.1/x",
    "http://user@127.0.0.1:1/x",
    "http://127.0.0.1:port/x",
    "ftp://127.0.0.1/x",
])
def test_adapter_refuses_unknown_destinations(standins, url):
    standins.reset()
    with pytest.raises(requests.ConnectionError):
        standins.requests.get(url, timeout=1)
    (call,) = standins.calls
    assert call.routed_url is None and isinstance(call.error, requests.ConnectionError)
    assert standins.download.received == [] and standins.tts.received == []


@pytest.mark.parametrize("name, offered", [
    ("exceptions", True), ("HTTPError", True), ("ConnectionError", True), ("Timeout", True),
    # anything that sends would go past the routing
    ("put", False), ("request", False), ("head", False), ("Session", False), ("session", False),
])
def test_adapter_offers_only_what_cannot_send(standins, name, offered):
    if offered:
        assert getattr(standins.requests, name) is getattr(requests, name)
    else:
        with pytest.raises(AttributeError):
            getattr(standins.requests, name)


def test_servers_stop_after_their_lifetime():
    import time

    s = StandIns(lifetime=0.3)
    url = s.download.url("/ajax/download.php")
    assert requests.get(url, timeout=5).status_code == 200
    deadline = time.monotonic() + 5
    while not (s.download.closed and s.tts.closed) and time.monotonic() < deadline:
        time.sleep(0.05)
    with pytest.raises(requests.ConnectionError):
        requests.get(url, timeout=1)
