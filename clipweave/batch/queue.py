"""The batch queue as the package sees it: a batch's jobs put on it and
their outcomes waited for (``clipweave batch --queue``), its jobs listed
(``--status``), and a worker serving it (``clipweave worker``). The engine
behind it, RQ on Redis, lives in the rq_*.py files and redis_url.py alone;
what a worker runs for one job is the engine-free
:func:`clipweave.batch.queued_job.perform`.
"""
from typing import Protocol

from clipweave.batch.queue_error import QueueError  # noqa: F401 (the commands take it from here)


class Queue(Protocol):
    """A queue at one address. Its calls raise QueueError when the queue
    cannot be reached or used."""

    shown: str  # its URL, without the password
    watch_command: str  # a command line that shows the queue's jobs

    def check(self):
        """Returns once the queue answers."""

    def enqueue(self, jobs, overwrite):
        """Puts the jobs of a new batch on the queue; a ticket per job, in
        job order."""

    def wait(self, jobs, tickets, lines, lost_for):
        """Each job's outcome (see :func:`clipweave.batch.runner.outcome`), in
        job order, once every job is over; the changes of state told on
        ``lines`` as they are seen. A queue lost for ``lost_for`` seconds
        ends the waiting: the jobs not over are failed with their last
        known state. Ctrl-C stops the waiting, not the jobs."""

    def status(self):
        """The queue's jobs, as the queue records them: a dict each with
        id, state ("queued", "started", "finished", "failed"), output_dir,
        worker, try, outcome and error."""


def open_queue(url, ca=None):
    """The queue at ``url`` (not yet reached), with ``ca`` the file of a
    private certificate authority; ValueError when the URL names none."""
    from clipweave.batch.rq_queue import RQQueue

    return RQQueue(url, ca)


def serve(url, ca, name, roots, burst=False):
    """Runs the queue's jobs as the worker ``name`` until stopped (SIGTERM
    or Ctrl-C once finishes the running job, twice hands it back), or with
    ``burst`` until the queue is empty; a job is run only when every path it
    names lies inside ``roots``. QueueError when the queue cannot be used
    at the start; a queue lost later is waited for."""
    from clipweave.batch.rq_worker import serve as rq_serve

    rq_serve(url, ca, name, roots, burst)
