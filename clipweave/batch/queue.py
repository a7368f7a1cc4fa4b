"""The batch queue as the package sees it: a batch's jobs put on it and
their outcomes waited for (``clipweave batch --queue``), and a worker
serving it (``clipweave worker``). The engine behind it, RQ on Redis, lives
in rq_queue.py alone; what a worker runs for one job is the engine-free
:func:`clipweave.batch.queued_job.perform`.
"""
from typing import Protocol


class Queue(Protocol):
    """A queue at one URL. Its calls raise one of ``errors`` when the queue
    cannot be reached or used (the message says why)."""

    errors: tuple
    watch_command: str  # a command line that shows the queue's jobs

    def check(self):
        """Returns once the queue answers."""

    def enqueue(self, jobs, overwrite):
        """Puts the jobs of a new batch on the queue; a ticket per job, in
        job order."""

    def wait(self, jobs, tickets, lines):
        """Each job's outcome (see :func:`clipweave.batch.runner.outcome`), in
        job order, once every job is over; the changes of state told on
        ``lines`` as they are seen. Ctrl-C stops the waiting, not the jobs."""

    def serve(self, name, burst=False):
        """Runs the queue's jobs as the worker ``name`` until stopped (SIGTERM
        or Ctrl-C once finishes the running job, twice hands it back), or
        with ``burst`` until the queue is empty."""


def open_queue(url):
    """The queue at ``url`` (not yet reached); ValueError when the URL names none."""
    from clipweave.batch.rq_queue import RQQueue

    return RQQueue(url)
