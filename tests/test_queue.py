"""The batch queue trusts nobody: jobs written into its Redis by hand are
data, never code, and a worker keeps to its folders; a Redis that asks who
you are, that speaks TLS, that never answers, or that goes away. Real
redis-servers on loopback, real workers and batches; no job here is
rendered (each is refused, or never taken)."""
import json
import os
import pickle
import signal
import socket
import threading
import time
import zlib

from redis import Redis
from rq import Queue
from rq.serializers import JSONSerializer

from batch_support import (RedisServer, certificates, clipweave, make_job, start_clipweave,
                           wait_for, write_jobs)
from clipweave.batch.jobs import load_jobs
from clipweave.batch.queued_job import arguments
from clipweave.batch.rq_queue import JOB_FUNCTION, acl_rule

PASSWORD = "s3cret-Pa55"
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class _Exploit:
    """Unpickled, it runs a shell command."""

    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


def exploit(marker):
    return pickle.dumps(_Exploit(f"touch {marker}"))


def status(url, cwd):
    """The queue's jobs as --status --json lists them: {id: entry}."""
    listed = clipweave("batch", "--queue", url, "--status", "--json", cwd=cwd, timeout=60)
    assert listed.returncode == 0, listed.stderr
    return {entry["id"]: entry for entry in json.loads(listed.stdout)}


def clipweave_job(folder, name, batch="0123abcd", **fields):
    """The queue's arguments of a job made in folder (checked as a jobs file's)."""
    path = write_jobs(folder, [{**make_job(folder, name), **fields}])
    [job] = load_jobs(str(path))
    return arguments(job, False, batch)


def put_raw(connection, job_id, fields, queue="clipweave"):
    """A job written into Redis by hand, as anyone who can write there may."""
    connection.hset(f"rq:job:{job_id}", mapping={"status": "queued", "origin": queue,
                                                 "description": job_id, **fields})
    connection.sadd("rq:queues", f"rq:queue:{queue}")
    connection.rpush(f"rq:queue:{queue}", job_id)


def json_data(function, *args):
    return zlib.compress(json.dumps([function, None, list(args), {}]).encode())


def test_hostile_jobs_are_refused_never_run(tmp_path):
    root, outside = tmp_path / "root", tmp_path / "outside"
    root.mkdir()
    outside.mkdir()
    markers = [tmp_path / f"marker{n}" for n in range(4)]
    (outside / "FINAL_RECAP.mp4").write_bytes(b"the user's own recap")
    (root / "secret.json").symlink_to(outside / "elsewhere.json")
    with RedisServer(tmp_path) as server:
        r = Redis.from_url(server.url)
        # The names RQ imports and calls, pickled or not.
        Queue("clipweave", connection=r).enqueue("os.system", f"touch {markers[0]}",
                                                 job_id="pickled-call")
        Queue("clipweave", connection=r, serializer=JSONSerializer).enqueue(
            "os.system", f"touch {markers[1]}", job_id="foreign-function")
        put_raw(r, "pickled-data", {"data": zlib.compress(exploit(markers[2]))})
        good = clipweave_job(root, "good")
        put_raw(r, "pickled-meta", {"data": json_data(JOB_FUNCTION, good),
                                    "meta": exploit(markers[3])})
        put_raw(r, "callback", {"data": json_data(JOB_FUNCTION, good),
                                "failure_callback_name": "os.system"})
        # clipweave's own function, asked for what the worker must not do.
        make_job(root, "linked")
        (outside / "elsewhere.json").write_text((root / "linked.json").read_text())
        escaping = [
            ("outside-source", clipweave_job(outside, "far")),
            ("outside-output", {**good, "job": {**good["job"], "entry": {
                **good["job"]["entry"], "output_dir": str(outside)}}, "overwrite": True}),
            ("linked-out", clipweave_job(root, "linked", segments=str(root / "secret.json"))),
            ("bad-values", {**good, "job": {**good["job"], "entry": {
                **good["job"]["entry"], "speed": float("nan"), "jobs": 0, "voice": "x" * 5000,
                "colour": "red"}}}),
            ("not-a-job", {"job": "rm -rf /", "overwrite": True, "batch": "x"}),
        ]
        for job_id, data in escaping:
            put_raw(r, job_id, {"data": json_data(JOB_FUNCTION, data)})
        worker = clipweave("worker", "--queue", server.url, "--burst", "--root", root,
                           cwd=tmp_path, timeout=120)
        assert worker.returncode == 0, worker.stderr
        listed = status(server.url, tmp_path)
    assert not any(marker.exists() for marker in markers)
    assert (outside / "FINAL_RECAP.mp4").read_bytes() == b"the user's own recap"
    assert not (root / "out").exists() and not (outside / "out").exists()
    assert "Traceback" not in worker.stdout + worker.stderr
    assert {job_id: entry["state"] for job_id, entry in listed.items()} == {
        job_id: "failed" for job_id in ["pickled-call", "foreign-function", "pickled-data",
                                        "pickled-meta", "callback", *dict(escaping)]}
    errors = {job_id: entry["error"] for job_id, entry in listed.items()}
    assert errors["pickled-call"] == errors["pickled-data"] == "refused: its data is not JSON"
    assert errors["foreign-function"] == ("refused: it names the function 'os.system', "
                                          "not clipweave's")
    assert errors["pickled-meta"] == "refused: its meta is not a JSON object"
    assert errors["callback"] == ("refused: it asks for callbacks, which a clipweave job has "
                                  "none of")
    assert errors["outside-source"].startswith(f"refused: source {outside}/far.mp4 is outside "
                                               f"the worker's folders ({root})")
    assert errors["outside-output"].startswith(f"refused: output_dir {outside} is outside")
    assert errors["linked-out"].startswith(
        f"refused: segments {root}/secret.json (that is, {outside}/elsewhere.json) is outside")
    for expected in ["job 1: unknown key 'colour'", "job 1: voice is 5,000 characters long"]:
        assert expected in errors["bad-values"]
    assert errors["not-a-job"] == "refused: its arguments are not a clipweave job's"
    assert all("\n" not in e for e in errors.values())


def test_values_are_checked_with_the_jobs_file(tmp_path):
    jobs = [{**make_job(tmp_path, "a"), "speed": float("nan"), "jobs": 0, "timeout": -1,
             "bed_volume": 1000},
            {**make_job(tmp_path, "b"), "voice": "no-such-voice"},
            {**make_job(tmp_path, "c"), "voice": "v" * 100_000}]
    path = write_jobs(tmp_path, jobs)
    r = clipweave("batch", path, cwd=tmp_path, timeout=120)
    assert r.returncode == 2 and r.stdout == ""
    for expected in ["job 1: speed must be a finite number from 0.5 to 100, got nan",
                     "job 1: --jobs must be from 1 to 32, got 0",
                     "job 1: --timeout must be a number of seconds above 0, got -1.0",
                     "job 1: --bed-volume must be from -60 to 0 dB, or off; got 1000.0",
                     "job 2: voice 'no-such-voice' (--voice) is not an espeak-ng voice",
                     "job 3: voice is 100,000 characters long (at most 4,096)"]:
        assert expected in r.stderr
    assert len(r.stderr) < 2000 and not (tmp_path / "out").exists()
    (tmp_path / "big.json").write_bytes(b" " * (16 * 2**20 + 1))
    big = clipweave("batch", tmp_path / "big.json", cwd=tmp_path)
    assert big.returncode == 2 and "is larger than 16 MiB" in big.stderr


def test_a_waiting_batch_reads_the_queue_as_data(tmp_path):
    """A pickled meta put into a waiting batch's job is never unpickled there:
    the batch reports the job failed."""
    marker = tmp_path / "marker"
    path = write_jobs(tmp_path, [make_job(tmp_path, "a")])
    with RedisServer(tmp_path) as server:
        r = Redis.from_url(server.url)
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", cwd=tmp_path)
        try:
            wait_for(lambda: r.keys("rq:job:batch-*"), 60, "the batch's job")
            [key] = r.keys("rq:job:batch-*")
            r.hset(key, "meta", exploit(marker))
            stdout, stderr = batch.communicate(timeout=60)
        finally:
            batch.kill()
            batch.wait()
    assert not marker.exists()
    assert batch.returncode == 1
    [a] = json.loads(stdout)
    assert a["status"] == "failed"
    assert a["error"] == "its record on the queue is not a job's: its meta is not a JSON object"


def _silent_server():
    """A port that takes connections and never answers; its number."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held = []

    def accept():
        while True:
            held.append(listener.accept()[0])

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def test_a_redis_that_asks_who_you_are(tmp_path):
    # The ACL user tested here is the one the set-up steps give.
    with open(os.path.join(REPO, "docs", "batch.md"), encoding="utf-8") as f:
        assert acl_rule("recaps", "A-LONG-RANDOM-PASSWORD") in f.read()
    acl = tmp_path / "users.acl"
    acl.write_text(f"user default on >{PASSWORD} ~* &* +@all\n"
                   + acl_rule("recaps", PASSWORD) + "\n"
                   + f"user pinger on >{PASSWORD} ~* -@all +ping\n")
    path = write_jobs(tmp_path, [make_job(tmp_path, "a")])
    with RedisServer(tmp_path, "--aclfile", acl) as server:
        host = f"127.0.0.1:{server.port}"
        wrong = f"redis://:not-{PASSWORD}@{host}/0"
        outputs = []
        for args in (["batch", path, "--queue", wrong, "--json"],
                     ["worker", "--queue", wrong, "--burst"],
                     ["batch", "--queue", wrong, "--status"]):
            r = clipweave(*args, cwd=tmp_path, timeout=60)
            assert r.returncode == 2, (args, r.stderr)
            assert f"the queue at redis://:***@{host}/0: the user name or password was " \
                   "refused" in r.stderr
            outputs.append(r.stdout + r.stderr)
        # The queue's own user: what RQ needs of the queue's keys, and no more.
        mine = f"redis://recaps:{PASSWORD}@{host}/0"
        listed = clipweave("batch", "--queue", mine, "--status", "--json", cwd=tmp_path)
        assert listed.returncode == 0, listed.stderr
        assert f"redis://recaps:***@{host}/0: 0 jobs: none" in listed.stderr
        outputs.append(listed.stdout + listed.stderr)
        # The password from the environment, off the command line.
        env = dict(os.environ, CLIPWEAVE_QUEUE_PASSWORD=PASSWORD)
        batch = start_clipweave("batch", path, "--queue", f"redis://recaps@{host}/0",
                                cwd=tmp_path, env=env)
        wait_for(lambda: status(mine, tmp_path), 60, "the job on the queue")
        batch.send_signal(signal.SIGINT)
        stdout, stderr = batch.communicate(timeout=60)
        assert batch.returncode == 130
        assert f"watch them with: clipweave batch --queue 'redis://recaps:***@{host}/0' " \
               "--status" in stderr
        outputs.append(stdout + stderr)
        for args, expected in (
                ([f"redis://pinger:{PASSWORD}@{host}/0"], "the Redis user may not do what the "
                                                          "queue needs (this user has no permissions to run the 'lrange' command)"),
                ([f"redis://:{PASSWORD}@{host}/99"], "it has no database 99"),
                ([f"redis://:{PASSWORD}@{host}/abc"], "the database must be a number, as in "
                                                      "/0, not 'abc'"),
                ([f"redis://:{PASSWORD}@{host}:x/0"], "the port must be a number")):
            r = clipweave("batch", "--queue", *args, "--status", cwd=tmp_path, timeout=60)
            assert r.returncode == 2 and expected in r.stderr, (args, r.stderr)
            outputs.append(r.stdout + r.stderr)
    assert not any(PASSWORD in output for output in outputs)


def test_tls_and_a_redis_that_never_answers(tmp_path):
    ca, cert, key = certificates(tmp_path)
    silent = _silent_server()
    with RedisServer(tmp_path, tls=(cert, key)) as tls, RedisServer(tmp_path) as plain:
        trusted = clipweave("batch", "--queue", tls.url, "--queue-ca", ca, "--status",
                            cwd=tmp_path, timeout=60)
        assert trusted.returncode == 0, trusted.stderr
        assert f"{tls.url}: 0 jobs: none" in trusted.stdout
        by_url = clipweave("batch", "--queue", f"rediss://localhost:{tls.port}/0?ssl_ca_certs={ca}",
                           "--status", cwd=tmp_path, timeout=60)
        assert by_url.returncode == 0, by_url.stderr
        untrusted = clipweave("batch", "--queue", tls.url, "--status", cwd=tmp_path, timeout=60)
        assert untrusted.returncode == 2
        assert "its TLS certificate does not hold" in untrusted.stderr
        # TLS to a server that speaks none, and a server that never answers: each
        # given up after the read's time-out, not waited for until killed.
        began = time.monotonic()
        ends = [start_clipweave("batch", "--queue", f"rediss://127.0.0.1:{plain.port}/0",
                                "--queue-ca", ca, "--status", cwd=tmp_path),
                start_clipweave("batch", "--queue", f"redis://127.0.0.1:{silent}/0", "--status",
                                cwd=tmp_path),
                start_clipweave("worker", "--queue", f"redis://127.0.0.1:{silent}/0",
                                cwd=tmp_path)]
        codes = [p.wait(timeout=90) for p in ends]
        assert codes == [1, 1, 2] and time.monotonic() - began < 60
        assert "no answer within 10 s" in ends[1].stderr.read()


def test_a_batch_waits_for_a_lost_queue_then_gives_up(tmp_path):
    path = write_jobs(tmp_path, [make_job(tmp_path, "a")])
    with RedisServer(tmp_path) as server:
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", "--timeout", "3",
                                cwd=tmp_path)
        wait_for(lambda: Redis.from_url(server.url).keys("rq:job:batch-*"), 60, "the job")
        server.kill()
        began = time.monotonic()
        stdout, stderr = batch.communicate(timeout=60)
    assert batch.returncode == 1 and time.monotonic() - began < 30
    assert f"batch: the queue at {server.url}: " in stderr and "waiting up to 3 s" in stderr
    [a] = json.loads(stdout)
    assert a["status"] == "failed"
    assert a["error"] == "the queue was lost for 3 s; the job was last queued"


def test_queue_unreachable(tmp_path):
    path = write_jobs(tmp_path, [make_job(tmp_path, "a")])
    port_url = "redis://127.0.0.1:9/0"  # the discard port: nothing listens
    r = clipweave("batch", path, "--queue", port_url, cwd=tmp_path, timeout=60)
    assert r.returncode == 1 and "the queue at redis://127.0.0.1:9/0" in r.stderr
    w = clipweave("worker", "--queue", port_url, cwd=tmp_path, timeout=60)
    assert w.returncode == 2 and "cannot reach the queue" in w.stdout + w.stderr
    bad = clipweave("batch", path, "--queue", "http://127.0.0.1:9/", cwd=tmp_path, timeout=60)
    assert bad.returncode == 2 and "--queue http://127.0.0.1:9/: " in bad.stderr
    assert not (tmp_path / "out").exists()
