"""clipweave worker and batch --queue when things go wrong: workers killed,
stopped, paused; Redis killed and started again; the soak. A real
redis-server, real workers, real renders."""
import json
import os
import signal
import subprocess
import sys
import time

from redis import Redis

from batch_support import (RECORD, RedisServer, assert_recap, clipweave, descendants, kill_tree,
                           make_job, record, redis_server, rendering, start_clipweave, wait_for,
                           work_dirs, write_jobs)


def test_queue_worker_killed_mid_render(tmp_path):
    """A worker lost with its whole process tree in the middle of a render:
    another runs the job again within 60 s, every result is made once, and
    the dead run's work directory is gone."""
    jobs = [make_job(tmp_path, "long", seconds=8, ranges=((0, 3), (3.5, 7.5)),
                     quality="small"),
            make_job(tmp_path, "b"), make_job(tmp_path, "c", classic=True)]
    del jobs[2]["quality"]
    path = write_jobs(tmp_path, jobs)
    with redis_server(tmp_path) as url:
        first = start_clipweave("worker", "--queue", url, "--name", "first", cwd=tmp_path)
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        others = []
        try:
            out_long = tmp_path / "out" / "long"
            wait_for(lambda: rendering(out_long), 180, "the long job's render")
            kill_tree(first.pid)
            first.wait()
            killed = time.time()
            others = [start_clipweave("worker", "--queue", url, "--name", name, cwd=tmp_path)
                      for name in ("second", "third")]
            wait_for(lambda: record(out_long)["time"] > killed, 60, "the job to run again")
            assert time.time() - killed < 60
            stdout, stderr = batch.communicate(timeout=300)
        finally:
            for worker in others:
                worker.send_signal(signal.SIGTERM)
            codes = [worker.wait(timeout=60) for worker in others]
            for process in (first, batch):
                process.kill()
                process.wait()
    assert codes == [0, 0]
    assert batch.returncode == 0, stderr
    outcomes = json.loads(stdout)
    assert [o["status"] for o in outcomes] == ["done"] * 3
    for o in outcomes:
        assert_recap(o["final"])
        assert work_dirs(o["output_dir"]) == []
        assert record(o["output_dir"])["state"] == "done"
    assert sorted(os.listdir(tmp_path / "out" / "c")) == [
        "FINAL_RECAP.job.json", "FINAL_RECAP.mp4", "horizontal_final.mp4"]
    # The long job started twice (its worker lost once), every other once; a
    # result published a second time would have failed its job.
    lines = stderr.splitlines()
    assert sum("out/long: started on" in line for line in lines) == 2
    assert any("out/long: started on first (try 1 of 3)" in line for line in lines), stderr
    assert any("out/long: started on" in line and "(try 2, 1 lost with its worker)" in line
               for line in lines)
    assert sum("out/b: started on" in line for line in lines) == 1


def burst_to_the_end(url, cwd, batch, timeout):
    """The queue's remaining jobs run by a --burst worker; the waiting batch's output."""
    burst = clipweave("worker", "--queue", url, "--burst", cwd=cwd)
    assert burst.returncode == 0, burst.stderr
    return batch.communicate(timeout=timeout)


def test_queue_job_failures_are_not_retried_and_sigterm_finishes_the_job(tmp_path):
    jobs = [make_job(tmp_path, "a"), make_job(tmp_path, "broken", ranges=((0.5, 9.0),))]
    path = write_jobs(tmp_path, jobs)
    with redis_server(tmp_path) as url:
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        worker = start_clipweave("worker", "--queue", url, cwd=tmp_path)
        try:
            out_a = tmp_path / "out" / "a"
            wait_for(lambda: out_a.is_dir() and work_dirs(out_a), 120, "job a's run")
            worker.send_signal(signal.SIGTERM)  # finishes job a, then stops
            assert worker.wait(timeout=120) == 0
            assert (out_a / "FINAL_RECAP.mp4").exists() and work_dirs(out_a) == []
            stdout, stderr = burst_to_the_end(url, tmp_path, batch, 120)
        finally:
            for process in (worker, batch):
                process.kill()
                process.wait()
    assert batch.returncode == 1
    a, broken = json.loads(stdout)
    assert a["status"] == "done" and broken["status"] == "failed"
    assert "9" in broken["error"] and "\n" not in broken["error"]
    assert sum("out/broken: started on" in line for line in stderr.splitlines()) == 1
    assert "queued again" not in stderr


def test_queue_twice_stopped_worker_hands_its_job_back_three_tries_at_most(tmp_path):
    """SIGTERM twice stops the running job cleanly and hands it back; a job
    handed back three times is failed with the reason."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "a", seconds=6, ranges=((0, 5.5),),
                                          quality="small")])
    out = tmp_path / "out" / "a"
    with redis_server(tmp_path) as url:
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        try:
            for attempt in range(3):
                began = time.time()
                worker = start_clipweave("worker", "--queue", url, cwd=tmp_path)
                try:
                    wait_for(lambda: (out / RECORD).exists() and record(out)["time"] > began
                             and work_dirs(out), 120, "the job's run")
                    worker.send_signal(signal.SIGTERM)
                    time.sleep(0.5)
                    worker.send_signal(signal.SIGTERM)
                    assert worker.wait(timeout=60) == 0
                finally:
                    worker.kill()
                    worker.wait()
                assert record(out)["state"] == "stopped"
                assert work_dirs(out) == [] and not (out / "FINAL_RECAP.mp4").exists()
            stdout, stderr = batch.communicate(timeout=60)
        finally:
            batch.kill()
            batch.wait()
    assert batch.returncode == 1
    [a] = json.loads(stdout)
    assert a["status"] == "failed"
    assert a["error"] == "its worker was lost or stopped on each of its 3 tries"
    assert sum("out/a: started on" in line for line in stderr.splitlines()) == 3


def test_queue_work_horse_of_a_killed_worker_stops_and_hands_back(tmp_path):
    """Only the worker's own process killed: its work horse stops the render at
    once (never two runs of a job) and the job goes back on the queue. A try
    lost with its worker uses none of the job's 3 tries: killed three times,
    the job is still made on its fourth."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "a", seconds=6, ranges=((0, 5.5),),
                                          quality="small")])
    out = tmp_path / "out" / "a"
    with redis_server(tmp_path) as url:
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        worker = None
        try:
            for _ in range(3):
                began = time.time()
                worker = start_clipweave("worker", "--queue", url, cwd=tmp_path)
                wait_for(lambda: (out / RECORD).exists() and record(out)["time"] > began
                         and work_dirs(out), 120, "the job's run")
                below = [p for p in descendants(worker.pid) if p != worker.pid]
                worker.kill()
                worker.wait()
                wait_for(lambda: record(out)["state"] == "stopped", 15, "the run to stop")
                wait_for(lambda: not any(os.path.exists(f"/proc/{p}") for p in below), 15,
                         "the work horse and its run to end")
                assert work_dirs(out) == []
            stdout, stderr = burst_to_the_end(url, tmp_path, batch, 60)
        finally:
            for process in (worker, batch):
                process.kill()
                process.wait()
    assert batch.returncode == 0, stderr
    [a] = json.loads(stdout)
    assert a["status"] == "done"
    assert_recap(a["final"])
    assert "(try 4, 3 lost with their workers)" in stderr


def test_queue_job_whose_work_horse_dies_every_time(tmp_path):
    """A work horse that dies under a live worker (the job may be what kills
    it) uses one of the job's tries: after 3 the job fails with the reason,
    and its last run's work directory, which no next run will remove, is gone."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "a", seconds=6, ranges=((0, 5.5),),
                                          quality="small")])
    out = tmp_path / "out" / "a"
    with redis_server(tmp_path) as url:
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        worker = start_clipweave("worker", "--queue", url, cwd=tmp_path)
        try:
            for _ in range(3):
                began = time.time()
                wait_for(lambda: (out / RECORD).exists() and record(out)["time"] > began
                         and record(out)["state"] == "running", 120, "the job's run")
                with open(f"/proc/{worker.pid}/task/{worker.pid}/children") as f:
                    [horse] = map(int, f.read().split())
                os.kill(horse, signal.SIGKILL)
            stdout, stderr = batch.communicate(timeout=60)
        finally:
            for process in (worker, batch):
                process.kill()
                process.wait()
    assert batch.returncode == 1
    [a] = json.loads(stdout)
    # Failed on the third death (a job failed sooner would not have run again).
    assert a["status"] == "failed"
    assert work_dirs(out) == [] and record(out)["state"] == "failed"
    assert a["error"] == "its work horse ended unexpectedly (killed by signal 9)"


def test_queue_outlives_its_redis(tmp_path):
    """Redis killed and started again under a busy worker: the render goes on,
    the worker waits for Redis and tells the job's outcome once it is back,
    then takes the next job; the batch waits for it too."""
    jobs = [make_job(tmp_path, "long", seconds=6, ranges=((0, 5.5),), quality="small"),
            make_job(tmp_path, "b")]
    path = write_jobs(tmp_path, jobs)
    with RedisServer(tmp_path, "--appendonly", "yes") as server:
        worker = start_clipweave("worker", "--queue", server.url, "--name", "busy",
                                 cwd=tmp_path)
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", cwd=tmp_path)
        try:
            wait_for(lambda: rendering(tmp_path / "out" / "long"), 180, "the render")
            server.kill()
            time.sleep(8)
            # The render goes on (it may have ended by now) and the worker waits.
            assert worker.poll() is None
            server.start()
            stdout, stderr = batch.communicate(timeout=300)
        finally:
            worker.send_signal(signal.SIGTERM)
            logs = worker.communicate(timeout=120)
            batch.kill()
            batch.wait()
    assert batch.returncode == 0, stderr
    assert [o["status"] for o in json.loads(stdout)] == ["done", "done"]
    assert worker.returncode == 0
    logs = "".join(logs)
    assert "Lost the queue's Redis" in logs and "The queue's Redis answers again" in logs
    assert "Traceback" not in logs and "unhandled exception" not in logs
    assert "waiting up to 300 s for it" in stderr and "answers again" in stderr
    lines = stderr.splitlines()
    assert sum("out/long: started on busy" in line for line in lines) == 1
    for name in ("long", "b"):
        assert record(tmp_path / "out" / name)["state"] == "done"
        assert work_dirs(tmp_path / "out" / name) == []


def test_queue_work_horse_holding_an_outcome_ends_with_its_worker(tmp_path):
    """Redis down when a job ends, then its worker killed alone: the work horse
    holding the outcome ends instead of waiting for Redis for ever; the job,
    found lost once Redis is back, is taken as made by its next run."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "a")])
    out = tmp_path / "out" / "a"
    with RedisServer(tmp_path, "--appendonly", "yes") as server:
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", cwd=tmp_path)
        worker = start_clipweave("worker", "--queue", server.url, cwd=tmp_path)
        again = None
        try:
            wait_for(lambda: (out / RECORD).exists() and work_dirs(out), 120, "the job's run")
            server.kill()
            wait_for(lambda: record(out)["state"] == "done", 120, "the run to end")
            horse = [p for p in descendants(worker.pid) if p != worker.pid]
            assert horse, "the work horse ended while Redis was down"
            worker.kill()
            worker.wait()
            wait_for(lambda: not any(os.path.exists(f"/proc/{p}") for p in horse), 10,
                     "the work horse to end")
            server.start()
            again = start_clipweave("worker", "--queue", server.url, cwd=tmp_path)
            stdout, stderr = batch.communicate(timeout=120)
        finally:
            for process in (worker, batch, again):
                if process is not None:
                    process.kill()
                    process.wait()
    assert batch.returncode == 0, stderr
    [a] = json.loads(stdout)
    assert a["status"] == "done" and record(out)["state"] == "done"
    assert_recap(a["final"])


def test_queue_a_paused_worker_keeps_its_job(tmp_path):
    """A worker's whole tree paused past the time a lost job waits: another
    worker takes the job again, waits for the paused run (which holds the
    job's record) and takes its outcome. One run makes the results; the
    batch says done once."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "long", seconds=6, ranges=((0, 5.5),),
                                          quality="small")])
    out = tmp_path / "out" / "long"
    with RedisServer(tmp_path) as server:
        connection = Redis.from_url(server.url)
        paused = start_clipweave("worker", "--queue", server.url, "--name", "paused",
                                 cwd=tmp_path)
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", cwd=tmp_path)
        other = None
        try:
            wait_for(lambda: rendering(out), 180, "the render")
            tree = descendants(paused.pid)
            for pid in tree:
                os.kill(pid, signal.SIGSTOP)
            other = start_clipweave("worker", "--queue", server.url, "--name", "other",
                                    cwd=tmp_path)
            [key] = connection.keys("rq:job:batch-*")
            wait_for(lambda: connection.hget(key, "worker_name") == b"other", 90,
                     "the other worker to take the job")
            time.sleep(2)
            assert len(work_dirs(out)) == 1  # the other run waits: it never began
            for pid in tree:
                os.kill(pid, signal.SIGCONT)
            stdout, stderr = batch.communicate(timeout=300)
        finally:
            for process in (paused, other):
                if process is not None:
                    process.send_signal(signal.SIGTERM)
                    process.wait(timeout=120)
            batch.kill()
            batch.wait()
    assert batch.returncode == 0, stderr
    [long] = json.loads(stdout)
    assert long["status"] == "done" and "another run" not in stderr
    assert sum(": done " in line for line in stderr.splitlines()) == 1
    assert record(out)["state"] == "done" and work_dirs(out) == []
    assert_recap(long["final"])


def test_queue_soak(tmp_path):
    """The soak, small: 20 jobs, two workers killed, Redis restarted (bench/soak.py)."""
    soak = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "bench", "soak.py")
    done = subprocess.run([sys.executable, soak, "--jobs", "20", "--kills", "2",
                           "--kill-every", "4", "8", "--no-baseline", "--json",
                           "--keep", str(tmp_path)],
                          capture_output=True, text=True, timeout=1200)
    figures = json.loads(done.stdout)
    assert done.returncode == 0 and figures["problems"] == [], (figures, done.stderr[-3000:])
    assert figures["kills"] == 2 and figures["redis restart"] is not None
    assert figures["runs started again"] >= 1
