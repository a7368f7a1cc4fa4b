"""A batch through a Redis queue: the jobs are put on it, workers run them,
and the batch waits, telling each job's changes of state.

Each job gets RQ's Retry (three tries in all, for a worker lost or stopped
mid-job), a generous job timeout, and the reason of a failed recap in its
meta. A job id names the batch and the job, so ``rq info``
and ``rq requeue`` show which is which. Ctrl-C stops the waiting, not the
jobs: the workers go on with them.
"""
import time
import uuid

from clipweave.batch.runner import outcome
from clipweave.batch.worker import QUEUE

TRIES = 3
JOB_TIMEOUT = 6 * 3600  # a render of a long source on a slow machine
POLL_SECONDS = 0.5
KEEP_SECONDS = 7 * 24 * 3600  # how long the queue remembers a job's outcome


def enqueue(connection, jobs, overwrite):
    """The RQ jobs of a new batch, in job order."""
    from rq import Queue, Retry

    queue = Queue(QUEUE, connection=connection)
    batch = uuid.uuid4().hex[:12]
    return [queue.enqueue("clipweave.batch.worker.perform", job.to_dict(), overwrite, batch,
                          job_id=f"batch-{batch}-{job.number}", retry=Retry(max=TRIES - 1),
                          job_timeout=JOB_TIMEOUT, result_ttl=KEEP_SECONDS,
                          failure_ttl=KEEP_SECONDS, description=job.output_dir)
            for job in jobs]


def _state(entry):
    """(state text, outcome or None when the job is not over) of an RQ job."""
    entry.refresh()
    status = entry.get_status(refresh=False)
    left = TRIES - 1 if entry.retries_left is None else entry.retries_left
    if status == "finished":
        return "finished", entry.return_value()
    if status == "failed":
        error = entry.meta.get("error") or (
            f"its worker was lost or stopped on each of its {TRIES} tries" if left <= 0
            else "the queue gave it up: " + (entry.exc_info or "no reason").strip()
            .splitlines()[-1])
        return "failed", error
    if status == "started":
        return f"started on {entry.worker_name or 'a worker'} (try {TRIES - left} of {TRIES})", \
            None
    if status == "queued" and left < TRIES - 1:
        return f"queued again after try {TRIES - 1 - left} of {TRIES} (its worker was lost " \
               "or stopped)", None
    return str(status), None


def wait(connection, jobs, entries, lines):
    """Each job's outcome, in job order, once every job is over; the changes
    of state told as they are seen."""
    from rq.exceptions import NoSuchJobError

    results = [None] * len(jobs)
    said = [None] * len(jobs)
    while None in results:
        for index, (job, entry) in enumerate(zip(jobs, entries)):
            if results[index] is not None:
                continue
            try:
                state, answer = _state(entry)
            except NoSuchJobError:
                state, answer = "failed", "the job is gone from the queue"
            if state == "finished":
                results[index] = answer
            elif state == "failed":
                results[index] = outcome(job, "failed", error=answer)
            elif state != said[index]:
                lines.job(job, state)
            if results[index] is not None:
                lines.ended(job, results[index])
            said[index] = state
        if None in results:
            time.sleep(POLL_SECONDS)
    return results


def run_queued(connection, jobs, lines, overwrite=False):
    """Each job's outcome, in job order, from the workers of the queue."""
    entries = enqueue(connection, jobs, overwrite)
    return wait(connection, jobs, entries, lines)
