"""Many recaps: clipweave batch on this machine and through a Redis queue.

Eight short jobs (4-second 320x180 sources, two segments, offline speech,
--quality fast, no cache, so every run does the same work), each measured in
one run of this script, side by side:

  * the jobs as single commands one after another (the sum of their wall
    times), against the same jobs as one local batch (--jobs 1);
  * the batch through a loopback redis-server with two workers on this
    machine, against the local batch, and against a local batch of two jobs
    at a time (the same parallelism: the queue's own cost);
  * a worker's process tree killed mid-render: the seconds until another
    worker runs its job again.

    .venv/py310/bin/python bench/batch.py [--quick]
"""
import argparse
import json
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

from batch_support import (clipweave, kill_tree, make_job, redis_server,  # noqa: E402
                           rendering, start_clipweave, wait_for, write_jobs)

LOCAL_GOAL = 1.0
QUEUE_GOAL = 1.1
RERUN_GOAL = 60.0


def jobs_in(folder, count, prefix):
    jobs = [make_job(folder, f"{prefix}{n}", seconds=4, ranges=((0.2, 1.6), (2.0, 3.6)),
                     no_cache=True) for n in range(count)]
    return write_jobs(folder, jobs), jobs


def timed(function, *args, **kwargs):
    began = time.monotonic()
    result = function(*args, **kwargs)
    return time.monotonic() - began, result


def checked(done):
    if done.returncode != 0:
        raise SystemExit(f"a run failed:\n{done.stderr}")
    return done


def single_runs(folder, jobs):
    total = 0.0
    for job in jobs:
        argv = [job["source"], job["segments"], "--output-dir", job["output_dir"] + "-single",
                "--speech", job["speech"], "--quality", job["quality"], "--no-cache"]
        seconds, done = timed(clipweave, *argv, cwd=folder)
        checked(done)
        total += seconds
    return total


def rerun_delay(folder, url):
    """Seconds from a worker's death mid-render to its job running again."""
    path, _ = jobs_in(folder, 1, "lost")
    out = folder / "out" / "lost0"
    worker = start_clipweave("worker", "--queue", url, cwd=folder)
    batch = start_clipweave("batch", path, "--queue", url, "--json", cwd=folder)
    other = None
    try:
        wait_for(lambda: rendering(out), 300, "the render")
        kill_tree(worker.pid)
        worker.wait()
        killed = time.time()
        # Not --burst: the lost job is back on the queue only when found lost.
        other = start_clipweave("worker", "--queue", url, cwd=folder)

        def running_again():
            with open(out / "FINAL_RECAP.job.json") as f:
                return json.load(f)["time"] > killed

        wait_for(running_again, 120, "the job to run again")
        delay = time.time() - killed
        batch.communicate(timeout=300)
    finally:
        for process in (batch, other):
            if process is not None:
                process.kill()
                process.wait()
    return delay


def measure(quick):
    count = 3 if quick else 8
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-batch-") as scratch:
        folder = pathlib.Path(scratch)
        path, jobs = jobs_in(folder, count, "job")
        single = single_runs(folder, jobs)
        local, _ = timed(lambda: checked(clipweave("batch", path, cwd=folder)))
        local2, _ = timed(lambda: checked(clipweave("batch", path, "--jobs", "2", "-y",
                                                    cwd=folder)))
        with redis_server(folder) as url:
            workers = [start_clipweave("worker", "--queue", url, cwd=folder) for _ in range(2)]
            try:
                queued, _ = timed(lambda: checked(clipweave("batch", path, "--queue", url, "-y",
                                                            cwd=folder)))
            finally:
                for worker in workers:
                    worker.terminate()
                    worker.wait()
            delay = rerun_delay(folder, url)
    return {"jobs": count, "single": single, "local": local, "local2": local2, "queued": queued,
            "delay": delay}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="three jobs instead of eight")
    figures = measure(parser.parse_args().quick)
    n = figures["jobs"]
    rows = [
        (f"{n} jobs as single commands, summed", f"{figures['single']:.1f} s", ""),
        (f"local batch of the {n} jobs", f"{figures['local']:.1f} s", ""),
        ("local batch / single commands", f"{figures['local'] / figures['single']:.3f}",
         f"<= {LOCAL_GOAL:g}"),
        ("queue with two workers", f"{figures['queued']:.1f} s", ""),
        ("queue, two workers / local batch", f"{figures['queued'] / figures['local']:.3f}",
         f"<= {QUEUE_GOAL:g}"),
        ("local batch, --jobs 2", f"{figures['local2']:.1f} s", ""),
        ("queue, two workers / local batch --jobs 2 (the queue's own cost)",
         f"{figures['queued'] / figures['local2']:.3f}", ""),
        ("worker killed mid-render to its job running again", f"{figures['delay']:.1f} s",
         f"<= {RERUN_GOAL:g} s"),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"| {'batch':<{width}} | measured | goal |")
    print(f"|{'-' * (width + 2)}|---|---|")
    for label, value, goal in rows:
        print(f"| {label:<{width}} | {value} | {goal} |")


if __name__ == "__main__":
    main()
