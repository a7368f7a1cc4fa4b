"""A batch on this machine: N jobs at a time, each a child process.

Ctrl-C, SIGTERM and SIGHUP stop the batch the way they stop a single run:
no job is started after them, each running one is asked to stop (it cleans
up its work directory), and the batch ends with the signal's status.
"""
import threading
import time

from clipweave.app.errors import Terminated, failure
from clipweave.app.guard import guarded
from clipweave.app.stage import Stage
from clipweave.batch.runner import outcome, run_job

STOPPED_ERROR = "not started: the batch was stopped"


def run_local(jobs, lines, parallel=1, overwrite=False):
    """(results in job order, exit status or None when the batch ran to its end)."""
    results = [None] * len(jobs)
    stop = threading.Event()
    pending = iter(range(len(jobs)))
    take = threading.Lock()
    running = []  # one entry a runner thread still at work

    def work():
        try:
            while not stop.is_set():
                with take:
                    index = next(pending, None)
                if index is None:
                    return
                job, began = jobs[index], time.monotonic()
                result = run_job(job, overwrite, stop=stop,
                                 started=lambda job=job: lines.job(job, "started"))
                results[index] = result
                lines.ended(job, result, time.monotonic() - began)
        finally:
            with take:
                running.pop()

    count = max(1, min(parallel, len(jobs)))
    running.extend([True] * count)
    status = None
    with guarded():
        for n in range(count):
            threading.Thread(target=work, name=f"batch job runner {n}", daemon=True).start()
        # Polled with sleep: a signal's exception may leave Thread.join believing
        # a running thread has ended.
        try:
            while running:
                time.sleep(0.1)
        except (KeyboardInterrupt, Terminated) as e:
            stop.set()
            while running:
                time.sleep(0.1)
            status = failure(e, Stage()).status
    return [r or outcome(job, "failed", error=STOPPED_ERROR)
            for job, r in zip(jobs, results)], status
