"""One job of a batch queue, run where a worker takes it: in a process of
the worker's own, which ends with the job.

Knows nothing of the queue's engine: the job arrives as its dict (as
``Job.to_dict`` wrote it), is run as a child process exactly as on this
machine (:func:`clipweave.batch.runner.run_job`), and ends in its outcome or
in one of the two exceptions below, which the queue turns into a failed or
a handed-back job. SIGTERM to the process stops the run cleanly; the
process's parent (the worker) gone ends it too.
"""
import os
import signal
import threading

from clipweave.batch.jobs import Job
from clipweave.batch.runner import run_job

LOCK_WAIT = 30.0  # for a lost run of the job to finish stopping


class RecapFailed(Exception):
    """The recap's own run failed: trying again gives the same answer."""


class HandedBack(Exception):
    """The run was stopped before it finished; the job goes back to the queue."""


def perform(job_data, overwrite, batch):
    """The outcome of the queued job ``job_data`` of batch ``batch`` (see
    :func:`clipweave.batch.runner.outcome`); RecapFailed with the reason when
    its recap failed, HandedBack when its run was stopped."""
    job = Job.from_dict(job_data)
    worker = os.getppid()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda signum, frame: stop.set())
    result = run_job(job, overwrite, batch, stop=stop, lost=lambda: os.getppid() != worker,
                     wait=LOCK_WAIT)
    if result["stopped"]:
        raise HandedBack(result["error"])
    if result["status"] == "failed":
        raise RecapFailed(result["error"])
    return result
