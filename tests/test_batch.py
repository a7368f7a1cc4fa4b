"""clipweave batch and clipweave worker: real runs, a real redis-server, real workers."""
import json
import os
import signal
import time

import pytest

from batch_support import (clipweave, descendants, kill_tree, make_job, redis_server, rendering,
                           snapshot, start_clipweave, wait_for, work_dirs, write_jobs)
from clipweave.batch.jobs import load_jobs
from clipweave.batch.record import RECORD
from clipweave.model.segments import UsageError
from studio_media import streams


def record(directory):
    """The job's record, read as a user would: without its lock, so perhaps
    in the middle of a write (then read again)."""
    for _ in range(50):
        with open(os.path.join(directory, RECORD)) as f:
            text = f.read()
        try:
            return json.loads(text)
        except ValueError:
            time.sleep(0.02)
    raise AssertionError(f"{directory}: the record is not JSON: {text!r}")


def assert_recap(final):
    found = streams(final)
    assert (found["video"]["width"], found["video"]["height"]) == (1080, 1920)
    assert float(found["audio"]["duration"]) > 1.0


def test_jobs_file_is_checked_whole_before_anything_runs(tmp_path):
    good = make_job(tmp_path, "a")
    jobs = [
        good,
        {**make_job(tmp_path, "b"), "colour": "red", "overwrite": True},
        {**make_job(tmp_path, "c"), "output_dir": "out/a/../a"},  # job 1's, spelled otherwise
        {**make_job(tmp_path, "d"), "source": "missing.mp4", "speed": "fast"},
        {**make_job(tmp_path, "e"), "classic": True, "frame": "crop", "aspect": "1:1"},
        {**make_job(tmp_path, "f"), "keep_work": "yes"},
        {"source": "a.mp4", "output_dir": "out/g"},
        ["not", "an", "object"],
        {**make_job(tmp_path, "i"), "aspect": "2:3"},
    ]
    path = write_jobs(tmp_path, jobs)
    with pytest.raises(UsageError) as e:
        load_jobs(str(path))
    problems = "\n".join(e.value.problems)
    for expected in ["job 2: unknown key 'colour' (not a run option)",
                     "job 2: unknown key 'overwrite' (the batch's own option)",
                     f"job 3: output_dir {tmp_path}/out/a is also job 1's",
                     "job 4: argument --speed: invalid float value: 'fast'",
                     "job 5: --frame, --aspect, --quality: for the studio render, not --classic",
                     'job 6: keep_work: true or false, not "yes"',
                     "job 7: segments is missing or not a non-empty string",
                     "job 8: not an object",
                     "job 9: argument --aspect: invalid choice: '2:3'"]:
        assert expected in problems
    r = clipweave("batch", path, cwd=tmp_path)
    assert r.returncode == 2 and r.stdout == ""
    assert len(r.stderr.splitlines()) >= 8
    assert not (tmp_path / "out").exists()

    # Relative places are the jobs file's; options become the command's arguments.
    (tmp_path / "sub").mkdir()
    write_jobs(tmp_path / "sub", [{**good, "source": "../a.mp4", "segments": "../a.json",
                                   "bed_volume": "off", "keep_work": False, "speed": 1.5,
                                   "aspect": "1:1"}])
    [job] = load_jobs(str(tmp_path / "sub" / "jobs.json"))
    assert job.argv() == [str(tmp_path / "a.mp4"), str(tmp_path / "a.json"), "--output-dir",
                          str(tmp_path / "sub" / "out" / "a"), "--speech=espeak-ng",
                          "--quality=fast", "--bed-volume=off", "--speed=1.5", "--aspect=1:1"]
    assert job.results() == ["FINAL_RECAP.mp4", "FINAL_RECAP.srt"]


def test_local_batch_broken_job_skips_and_stale_work(tmp_path):
    jobs = [make_job(tmp_path, "a"),
            make_job(tmp_path, "broken", ranges=((0.5, 9.0),)),  # past the source's end
            make_job(tmp_path, "c", captions="none")]
    path = write_jobs(tmp_path, jobs)
    r = clipweave("batch", path, "--json", "--jobs", "2", cwd=tmp_path)
    assert r.returncode == 1, r.stderr
    outcomes = json.loads(r.stdout)
    assert [o["status"] for o in outcomes] == ["done", "failed", "done"]
    assert [o["output_dir"] for o in outcomes] == [str(tmp_path / "out" / n)
                                                   for n in ("a", "broken", "c")]
    assert outcomes[1]["final"] is None and "9" in outcomes[1]["error"]
    assert "\n" not in outcomes[1]["error"]
    for o in (outcomes[0], outcomes[2]):
        assert o["error"] is None and o["final"] == os.path.join(o["output_dir"],
                                                                 "FINAL_RECAP.mp4")
        assert_recap(o["final"])
        assert record(o["output_dir"])["state"] == "done"
        assert work_dirs(o["output_dir"]) == []
    assert sorted(os.listdir(tmp_path / "out" / "c")) == ["FINAL_RECAP.job.json",
                                                          "FINAL_RECAP.mp4"]
    assert "3 jobs: 2 done, 1 failed" in r.stderr
    # Refused by its run before it began (its segment is not in the video): it
    # leaves nothing, as a refused single run does.
    broken = tmp_path / "out" / "broken"
    assert not broken.exists()

    # A dead run's work directory goes; a kept one (there before that run) stays.
    (broken / ".clipweave-work-kept").mkdir(parents=True)
    (broken / RECORD).write_text(json.dumps({"state": "running", "time": 0,
                                             "work_dirs": [".clipweave-work-kept"]}))
    (broken / ".clipweave-work-dead").mkdir()
    (broken / ".clipweave-work-dead" / "movie.mp4").write_bytes(b"half")

    before = {n: snapshot(tmp_path / "out" / n) for n in ("a", "c")}
    again = clipweave("batch", path, "--json", cwd=tmp_path)
    assert again.returncode == 1
    assert [o["status"] for o in json.loads(again.stdout)] == ["skipped", "failed", "skipped"]
    assert {n: snapshot(tmp_path / "out" / n) for n in ("a", "c")} == before
    assert work_dirs(broken) == [".clipweave-work-kept"]

    # Changed inputs are made again, but existing results are replaced only with -y.
    jobs[2]["speed"] = 1.25
    write_jobs(tmp_path, [jobs[0], jobs[2]])
    refused = clipweave("batch", path, "--json", cwd=tmp_path)
    assert refused.returncode == 1
    first, third = json.loads(refused.stdout)
    assert first["status"] == "skipped" and third["status"] == "failed"
    assert "give -y/--overwrite" in third["error"]
    assert snapshot(tmp_path / "out" / "c")["FINAL_RECAP.mp4"] == \
        before["c"]["FINAL_RECAP.mp4"]
    remade = clipweave("batch", path, "-y", cwd=tmp_path)
    assert remade.returncode == 0, remade.stderr
    assert "2 jobs: 2 done" in remade.stdout
    assert snapshot(tmp_path / "out" / "c")["FINAL_RECAP.mp4"] != \
        before["c"]["FINAL_RECAP.mp4"]

    # The record is never written through a symbolic link.
    victim = tmp_path / "victim.txt"
    victim.write_text("the user's own")
    (tmp_path / "out" / "a" / RECORD).unlink()
    (tmp_path / "out" / "a" / RECORD).symlink_to(victim)
    write_jobs(tmp_path, [jobs[0]])
    linked = clipweave("batch", path, "--json", "-y", cwd=tmp_path)
    [a] = json.loads(linked.stdout)
    assert a["status"] == "failed" and "the job's record is a symbolic link" in a["error"]
    assert victim.read_text() == "the user's own"


def test_local_batch_stops_cleanly_on_sigterm(tmp_path):
    """SIGTERM stops the running job cleanly and starts no other; a -y run
    stopped so leaves the results it was to replace as made, and skipped."""
    jobs = [make_job(tmp_path, "a", seconds=6, ranges=((0, 5.5),), quality="small"),
            make_job(tmp_path, "b")]
    path = write_jobs(tmp_path, jobs[:1])
    assert clipweave("batch", path, cwd=tmp_path).returncode == 0
    out_a = tmp_path / "out" / "a"
    made = snapshot(out_a)["FINAL_RECAP.mp4"]
    path = write_jobs(tmp_path, jobs)
    batch = start_clipweave("batch", path, "--json", "-y", cwd=tmp_path)
    wait_for(lambda: work_dirs(out_a), 120, "job a's run")
    batch.send_signal(signal.SIGTERM)
    stdout, stderr = batch.communicate(timeout=60)
    assert batch.returncode == 143, stderr
    a, b = json.loads(stdout)
    assert a["status"] == b["status"] == "failed"
    assert b["error"] == "not started: the batch was stopped"
    assert work_dirs(out_a) == [] and snapshot(out_a)["FINAL_RECAP.mp4"] == made
    assert record(out_a)["state"] == "stopped", (stdout, stderr)
    assert not (tmp_path / "out" / "b").exists()
    again = clipweave("batch", path, "--json", cwd=tmp_path)
    assert [o["status"] for o in json.loads(again.stdout)] == ["skipped", "done"], again.stderr


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
    assert any("out/long: started on" in line and "(try 2 of 3)" in line for line in lines)
    assert sum("out/b: started on" in line for line in lines) == 1


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
            burst = clipweave("worker", "--queue", url, "--burst", cwd=tmp_path)
            assert burst.returncode == 0
            stdout, stderr = batch.communicate(timeout=120)
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
    once (never two runs of a job) and the job goes back on the queue."""
    path = write_jobs(tmp_path, [make_job(tmp_path, "a", seconds=6, ranges=((0, 5.5),),
                                          quality="small")])
    out = tmp_path / "out" / "a"
    with redis_server(tmp_path) as url:
        batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=tmp_path)
        worker = start_clipweave("worker", "--queue", url, cwd=tmp_path)
        try:
            wait_for(lambda: (out / RECORD).exists() and work_dirs(out), 120, "the job's run")
            below = [p for p in descendants(worker.pid) if p != worker.pid]
            worker.kill()
            worker.wait()
            wait_for(lambda: record(out)["state"] == "stopped", 15, "the run to stop")
            wait_for(lambda: not any(os.path.exists(f"/proc/{p}") for p in below), 15,
                     "the work horse and its run to end")
            assert work_dirs(out) == []
            burst = clipweave("worker", "--queue", url, "--burst", cwd=tmp_path)
            assert burst.returncode == 0
            stdout, stderr = batch.communicate(timeout=60)
        finally:
            for process in (worker, batch):
                process.kill()
                process.wait()
    assert batch.returncode == 0, stderr
    [a] = json.loads(stdout)
    assert a["status"] == "done"
    assert_recap(a["final"])
