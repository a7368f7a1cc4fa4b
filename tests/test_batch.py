"""clipweave batch on this machine: the jobs file checked whole, skipping and
remaking jobs, records, signals. Real runs of the command."""
import json
import os
import signal

import pytest

from batch_support import (RECORD, assert_recap, clipweave, make_job, record, snapshot,
                           start_clipweave, wait_for, work_dirs, write_jobs)
from clipweave.batch import runner
from clipweave.batch.jobs import load_jobs
from clipweave.model.segments import UsageError
from studio_media import tone


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
    tone(tmp_path / "bed.wav", 1.5)
    write_jobs(tmp_path / "sub", [{**good, "source": "../a.mp4", "segments": "../a.json",
                                   "bed_volume": "off", "keep_work": False, "speed": 1.5,
                                   "aspect": "1:1", "music": "../bed.wav", "music_volume": -30}])
    [job] = load_jobs(str(tmp_path / "sub" / "jobs.json"))
    assert job.argv() == [str(tmp_path / "a.mp4"), str(tmp_path / "a.json"), "--output-dir",
                          str(tmp_path / "sub" / "out" / "a"), "--speech=espeak-ng",
                          "--quality=fast", "--bed-volume=off", "--speed=1.5", "--aspect=1:1",
                          f"--music={tmp_path / 'bed.wav'}", "--music-volume=-30"]
    # The music changed in place makes the job's inputs change: it is made again.
    before = job.inputs()
    os.utime(tmp_path / "bed.wav", ns=(0, 0))
    assert job.inputs() != before and before["music"]["path"] == str(tmp_path / "bed.wav")
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
    # SIGTERM goes as soon as the run's work directory is there: a short job will do.
    jobs = [make_job(tmp_path, "a"), make_job(tmp_path, "b")]
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


def test_a_run_stopped_after_it_published_made_its_job(tmp_path, monkeypatch):
    """A run stopped (its worker lost) just after it moved its results into
    place: the job is made, and the next run of the batch takes it as done,
    where it failed on the results "in the way" ever after."""
    real_run = runner._run

    def stopped_late(*args):
        real_run(*args)  # to its end: its results are in place
        return runner.STOPPED, None, "its worker was lost", runner.TERMINATED

    monkeypatch.setattr(runner, "_run", stopped_late)
    [job] = load_jobs(str(write_jobs(tmp_path, [make_job(tmp_path, "a")])))
    first = runner.run_job(job, batch="b1")
    assert first["status"] == "done" and not first["stopped"], first
    assert_recap(first["final"])
    monkeypatch.setattr(runner, "_run", real_run)
    assert runner.run_job(job, batch="b1")["status"] == "done"
    assert runner.run_job(job, batch="b2")["status"] == "skipped"
