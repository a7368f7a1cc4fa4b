"""The batch queue on RQ and Redis: the one place that knows them.

A batch's jobs are RQ jobs of :func:`perform`, each with RQ's Retry (three
tries in all, for a worker lost or stopped mid-job), a generous job
timeout, and the reason of a failed recap in its meta. A job id names the
batch and the job, so ``rq info`` and ``rq requeue`` show which is which.

A worker is an RQ worker: it forks a work horse per job, which runs the
job (:func:`clipweave.batch.queued_job.perform`) as a child process, and
beats a heartbeat while it runs. What RQ does not do by itself, and the
little added here:

- RQ finds a dead worker's job only when the job's heartbeat lease (its
  monitoring interval + 60 s) has run out, and only at its maintenance,
  every 10 minutes. Every worker here watches the queue's started jobs
  every few seconds instead, and hands a job whose heartbeats have stopped
  for LOST_AFTER seconds to RQ's own registry clean-up, which re-queues it
  under the job's Retry (or fails it when its tries are used up). One
  worker at a time does so, under a Redis lock.
- A work horse outlives its worker when only the worker is killed: it
  notices that its parent is gone and ends the run (which cleans up) and
  hands the job back, so the job never runs twice at once.
- A second SIGTERM (or Ctrl-C) stops the running job cleanly and hands it
  back to the queue, where RQ would kill the horse and leave the render's
  process running. The first one finishes the job, as in RQ.
"""
import os
import signal
import threading
import time
import uuid

from redis import Redis
from redis.exceptions import RedisError
from rq import Queue, Retry, Worker, get_current_job
from rq.exceptions import NoSuchJobError
from rq.registry import StartedJobRegistry

from clipweave.batch import queued_job
from clipweave.batch.runner import outcome

QUEUE = "clipweave"
TRIES = 3
JOB_TIMEOUT = 6 * 3600  # a render of a long source on a slow machine
POLL_SECONDS = 0.5
KEEP_SECONDS = 7 * 24 * 3600  # how long the queue remembers a job's outcome
MONITOR_SECONDS = 5  # how often a busy worker beats its job's heartbeat
LEASE_SECONDS = MONITOR_SECONDS + 60  # RQ's lease on a started job after a heartbeat
LOST_AFTER = 20  # seconds without a heartbeat: the job's worker is gone
WATCH_SECONDS = 5


def perform(job_data, overwrite, batch):
    """The RQ job function, run by a work horse: the queued job's outcome,
    or raises; a failed recap's reason goes into the job's meta, and the
    job is not tried again."""
    try:
        return queued_job.perform(job_data, overwrite, batch)
    except queued_job.RecapFailed as e:
        current = get_current_job()
        current.meta["error"] = str(e)
        current.save_meta()
        current.retries_left = 0  # RQ's Retry is for lost workers, not for a failed recap
        raise


class RQQueue:
    """The queue (see clipweave.batch.queue.Queue) in the Redis at a
    redis:// URL."""

    errors = (RedisError, NoSuchJobError)

    def __init__(self, url):
        self.url = url
        self.connection = Redis.from_url(url)
        self.watch_command = f"rq info --url {url}"

    def check(self):
        self.connection.ping()

    def enqueue(self, jobs, overwrite):
        queue = Queue(QUEUE, connection=self.connection)
        batch = uuid.uuid4().hex[:12]
        return [queue.enqueue(perform, job.to_dict(), overwrite, batch,
                              job_id=f"batch-{batch}-{job.number}", retry=Retry(max=TRIES - 1),
                              job_timeout=JOB_TIMEOUT, result_ttl=KEEP_SECONDS,
                              failure_ttl=KEEP_SECONDS, description=job.output_dir)
                for job in jobs]

    def wait(self, jobs, tickets, lines):
        results = [None] * len(jobs)
        said = [None] * len(jobs)
        while None in results:
            for index, (job, entry) in enumerate(zip(jobs, tickets)):
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

    def serve(self, name, burst=False):
        stopped = threading.Event()
        watchman = threading.Thread(target=_watch, args=(Redis.from_url(self.url), QUEUE, stopped),
                                    name="lost job watch", daemon=True)
        watchman.start()
        worker = _RecapWorker([Queue(QUEUE, connection=self.connection)],
                              connection=self.connection, name=name,
                              job_monitoring_interval=MONITOR_SECONDS)
        try:
            worker.work(burst=burst, logging_level="INFO")
        finally:
            stopped.set()


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


def _watch(connection, queue_name, stopped):
    """Re-queues the started jobs whose worker has stopped beating (see above)."""
    registry = StartedJobRegistry(queue=Queue(queue_name, connection=connection))
    lock = connection.lock(f"clipweave:watch:{queue_name}", timeout=4 * WATCH_SECONDS)
    while not stopped.wait(WATCH_SECONDS):
        try:
            if lock.acquire(blocking=False):
                try:
                    # A job's score is its last heartbeat + the lease.
                    registry.cleanup(time.time() + LEASE_SECONDS - LOST_AFTER)
                finally:
                    lock.release()
        except RedisError:
            pass  # the worker itself reports a lost connection


class _RecapWorker(Worker):
    def request_force_stop(self, signum, frame):
        """Hands the running job back instead of killing its horse."""
        self.log.warning("Stopping now: the running job goes back to the queue")
        if self.horse_pid:
            try:
                os.kill(self.horse_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.wait_for_horse()
        raise SystemExit()
