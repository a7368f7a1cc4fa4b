"""``clipweave worker``: runs the jobs of a batch queue, on any machine that
sees the jobs' files at the same paths.

The engine is RQ: a worker forks a work horse per job, which runs the job
(:func:`perform`) as a child process, and beats a heartbeat while it runs.
What RQ does not do by itself, and the little added here:

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
import argparse
import os
import signal
import socket
import sys
import threading
import time

from clipweave.app.console import PROG
from clipweave.batch.jobs import Job
from clipweave.batch.runner import run_job

QUEUE = "clipweave"
MONITOR_SECONDS = 5  # how often a busy worker beats its job's heartbeat
LEASE_SECONDS = MONITOR_SECONDS + 60  # RQ's lease on a started job after a heartbeat
LOST_AFTER = 20  # seconds without a heartbeat: the job's worker is gone
WATCH_SECONDS = 5
LOCK_WAIT = 30.0  # for a lost run of the job to finish stopping


class RecapFailed(Exception):
    """The recap's own run failed: trying again gives the same answer."""


class HandedBack(Exception):
    """The run was stopped before it finished; the job goes back to the queue."""


def perform(job_data, overwrite, batch):
    """The job function run by a work horse: the job's outcome, or raises."""
    from rq import get_current_job

    current = get_current_job()
    job = Job.from_dict(job_data)
    worker = os.getppid()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda signum, frame: stop.set())
    result = run_job(job, overwrite, batch, stop=stop, lost=lambda: os.getppid() != worker,
                     wait=LOCK_WAIT)
    if result["stopped"]:
        raise HandedBack(result["error"])
    if result["status"] == "failed":
        current.meta["error"] = result["error"]
        current.save_meta()
        current.retries_left = 0  # RQ's Retry is for lost workers, not for a failed recap
        raise RecapFailed(result["error"])
    return result


def _watch(connection, queue_name, stopped):
    """Re-queues the started jobs whose worker has stopped beating (see above)."""
    from redis.exceptions import RedisError
    from rq import Queue
    from rq.registry import StartedJobRegistry

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


def worker_class():
    from rq import Worker

    class RecapWorker(Worker):
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

    return RecapWorker


def connect(url):
    from redis import Redis

    return Redis.from_url(url)


def main(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} worker",
        description="Run the recaps of a batch queue (clipweave batch JOBS --queue URL) until "
                    "stopped: SIGTERM or Ctrl-C once finishes the running job, twice hands it "
                    "back to the queue. Every machine must see the jobs' files at the same "
                    "paths.")
    parser.add_argument("--queue", required=True, metavar="URL",
                        help="the Redis holding the queue, redis://HOST:PORT/DB")
    parser.add_argument("--burst", action="store_true",
                        help="stop when the queue is empty")
    parser.add_argument("--name", help="the worker's name, unique on the queue (default: "
                                       "HOST.PID)")
    args = parser.parse_args(argv)
    from redis.exceptions import RedisError
    from rq import Queue

    try:
        connection = connect(args.queue)
        connection.ping()
    except (RedisError, ValueError) as e:
        print(f"{PROG} worker: cannot reach the queue at {args.queue}: {e}", file=sys.stderr,
              flush=True)
        return 2
    stopped = threading.Event()
    watchman = threading.Thread(target=_watch, args=(connect(args.queue), QUEUE, stopped),
                                name="lost job watch", daemon=True)
    watchman.start()
    worker = worker_class()([Queue(QUEUE, connection=connection)], connection=connection,
                            name=args.name or f"{socket.gethostname()}.{os.getpid()}",
                            job_monitoring_interval=MONITOR_SECONDS)
    try:
        worker.work(burst=args.burst, logging_level="INFO")
    finally:
        stopped.set()
    return 0
