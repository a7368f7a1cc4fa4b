"""One job of a batch queue, run where a worker takes it: in a process of
the worker's own, which ends with the job.

Knows nothing of the queue's engine. The job arrives as the arguments the
queue carried, data that anyone who can write to the queue could have
written: it is checked exactly as a jobs file's job is (its keys, their
types and values, its files; with the worker's own settings), and every
path it names must lie, symbolic links resolved, inside the folders the
worker was given (its roots). Only then is it run as a child process
exactly as on this machine (:func:`clipweave.batch.runner.run_job`). It
ends in its outcome or in one of the three exceptions below, which the
queue turns into a failed or a handed-back job. SIGTERM to the process
stops the run cleanly; the process's parent (the worker) gone ends it too.
"""
import math
import os
import re
import signal
import threading

from clipweave.batch.jobs import Job
from clipweave.batch.runner import give_up, run_job
from clipweave.model.segments import UsageError

# Another run of the job (a worker that was paused, say) is waited for as
# long as it lives: the job stays its, and its outcome is this one's.
LOCK_WAIT = math.inf
_BATCH = re.compile(r"[0-9a-f]{1,64}")


class Refused(Exception):
    """Not a job of clipweave's, or one that reaches outside the worker's
    roots: never run, never tried again."""


class RecapFailed(Exception):
    """The recap's own run failed: trying again gives the same answer."""


class HandedBack(Exception):
    """The run was stopped before it finished; the job goes back to the queue.
    ``lost``: stopped because its worker died (else on request)."""

    def __init__(self, reason, lost=False):
        super().__init__(reason)
        self.lost = lost


def arguments(job, overwrite, batch):
    """What the queue carries for one job of batch ``batch``: JSON data."""
    return {"job": job.payload(), "overwrite": overwrite, "batch": batch}


def accept(data, roots):
    """(Job, overwrite, batch) of a queued job's arguments, checked; Refused
    with a one-line reason."""
    if not isinstance(data, dict) or set(data) != {"job", "overwrite", "batch"} \
            or not isinstance(data["overwrite"], bool) or not isinstance(data["batch"], str) \
            or not _BATCH.fullmatch(data["batch"]):
        raise Refused("its arguments are not a clipweave job's")
    try:
        job = Job.from_payload(data["job"])
    except UsageError as e:
        raise Refused("; ".join(e.problems)) from None
    outside = outside_roots(job, roots)
    if outside:
        raise Refused(outside)
    return job, data["overwrite"], data["batch"]


def real_roots(folders):
    """The roots as the worker checks paths against them: real, absolute
    paths; ValueError naming one that is no folder."""
    roots = []
    for folder in folders:
        real = os.path.realpath(folder)
        if not os.path.isdir(real):
            raise ValueError(f"--root {folder}: not a folder")
        roots.append(real)
    return tuple(roots)


def outside_roots(job, roots):
    """The reason the job may not run here (a path outside every root), or None."""
    for key, path in job.local_paths().items():
        real = os.path.realpath(path)
        if not any(real == root or real.startswith(root.rstrip(os.sep) + os.sep)
                   for root in roots):
            shown = path if real == path else f"{path} (that is, {real})"
            return (f"{key} {shown} is outside the worker's folders "
                    f"({', '.join(roots)}); give the worker --root")
    return None


def perform(data, roots):
    """The outcome of the queued job ``data`` (see
    :func:`clipweave.batch.runner.outcome`); Refused, RecapFailed with the
    reason, or HandedBack when its run was stopped."""
    job, overwrite, batch = accept(data, roots)
    worker = os.getppid()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda signum, frame: stop.set())
    result = run_job(job, overwrite, batch, stop=stop, lost=lambda: os.getppid() != worker,
                     wait=LOCK_WAIT)
    if result["stopped"]:
        raise HandedBack(result["error"], lost=os.getppid() != worker)
    if result["status"] == "failed":
        raise RecapFailed(result["error"])
    return result


def clean_up(data, roots, reason):
    """The queued job ``data`` failed for good with ``reason`` (its tries
    used up): what a dead run of it left is removed, as its next run would
    have (see :func:`clipweave.batch.runner.give_up`); nothing for a job
    that may not run here."""
    try:
        job, _, _ = accept(data, roots)
    except Refused:
        return
    give_up(job, reason)
