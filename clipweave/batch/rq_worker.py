"""A worker of the batch queue on RQ and Redis.

An RQ worker: it forks a work horse per job, which runs the job
(:func:`clipweave.batch.queued_job.perform`) as a child process, and beats
a heartbeat while it runs. What it does beyond RQ, and why:

- Jobs are data (see rq_queue.py): a job that is not clipweave's is failed
  with its reason before a work horse is forked, and the work horse calls
  clipweave's job function itself, never one the job names, with the
  worker's roots: the job's own checks and the folders it may touch.
- RQ finds a dead worker's job only when the job's heartbeat lease (its
  monitoring interval + 60 s) has run out, and only at its maintenance,
  every 10 minutes. Every worker here watches the queue's started jobs
  every few seconds instead, and puts a job whose heartbeats have stopped
  for LOST_AFTER seconds back on the queue. One worker at a time does so,
  under a Redis lock.
- A try lost with its worker (that watch, or a work horse whose worker
  died) uses none of the job's tries: it is counted apart, up to
  LOST_TRIES (rq_queue.py); a work horse that died, a fault of the worker
  and a job stopped on request use its tries. A job failed once its tries
  are used up leaves nothing of its last run: the worker that fails it
  removes the work directories a dead run left (the next run would have).
- A work horse outlives its worker when only the worker is killed: it
  notices that its parent is gone and ends the run (which cleans up) and
  hands the job back, so the job never runs twice at once.
- A second SIGTERM (or Ctrl-C) stops the running job cleanly and hands it
  back to the queue, where RQ would kill the horse and leave the render's
  process running. The first one finishes the job, as in RQ.
- Redis may go away: every call has connect and read timeouts; a busy
  worker keeps its job's render going, and the work horse keeps the job's
  outcome until Redis answers again, then tells it; an idle worker tries
  again with growing pauses. Where RQ would end the worker, it waits.
- A worker paused (SIGSTOP) past LOST_AFTER has its job run again
  elsewhere; that run waits for the paused one, which holds the job's
  record, and takes its outcome (queued_job). The paused run's work horse
  tells its outcome only while the job is still its own.
"""
import errno
import os
import signal
import threading
import time
from contextlib import suppress

from redis.exceptions import RedisError
from rq.defaults import DEFAULT_LOGGING_DATE_FORMAT, DEFAULT_LOGGING_FORMAT
from rq.exceptions import NoSuchJobError
from rq.job import JobStatus
from rq.logutils import setup_loghandlers
from rq.registry import StartedJobRegistry
from rq.timeouts import HorseMonitorTimeoutException, JobTimeoutException, UnixSignalDeathPenalty
from rq.utils import utcnow
from rq.worker import StopRequested, Worker, WorkerStatus

from clipweave.batch import queued_job
from clipweave.batch.queue_error import QueueError
from clipweave.batch.redis_url import parse
from clipweave.batch.rq_queue import (LOST_EVERY_TRY, LOST_TOO_OFTEN, LOST_TRIES, QUEUE,
                                      SERIALIZER, SafeJob, connect, lost_tries, queue_error,
                                      registry, rq_queue)

MONITOR_SECONDS = 5  # how often a busy worker beats its job's heartbeat
LEASE_SECONDS = MONITOR_SECONDS + 60  # RQ's lease on a started job after a heartbeat
LOST_AFTER = 20  # seconds without a heartbeat: the job's worker is gone
WATCH_SECONDS = 5
DEQUEUE_SECONDS = 5  # each wait for a job; shorter than a read's timeout
LONGEST_PAUSE = 15  # between tries to reach a lost Redis


def serve(url, ca, name, roots, burst=False):
    """See clipweave.batch.queue.serve."""
    address = parse(url, ca)
    connection = connect(address)
    stopped = threading.Event()
    try:
        connection.ping()
        worker = _RecapWorker([rq_queue(connection)], connection=connection, name=name,
                              job_class=SafeJob, serializer=SERIALIZER,
                              job_monitoring_interval=MONITOR_SECONDS,
                              log_job_description=False)
        worker.roots = tuple(roots)
        worker.register_birth()
    except RedisError as e:
        raise queue_error(e, address) from None
    except ValueError as e:  # another live worker has the name
        raise QueueError(str(e), refused=True) from None
    watchman = threading.Thread(target=_watch, args=(connect(address), stopped, worker.roots),
                                name="lost job watch", daemon=True)
    watchman.start()
    try:
        worker.work(burst=burst)
    finally:
        stopped.set()


def _watch(connection, stopped, roots):
    """Re-queues the started jobs whose worker has stopped beating (see above)."""
    queue = rq_queue(connection)
    started = registry(StartedJobRegistry, queue)
    lock = connection.lock(f"clipweave:watch:{QUEUE}", timeout=4 * WATCH_SECONDS)
    while not stopped.wait(WATCH_SECONDS):
        try:
            if lock.acquire(blocking=False):
                try:
                    # A job's score is its last heartbeat + the lease.
                    for job_id in started.get_expired_job_ids(
                            time.time() + LEASE_SECONDS - LOST_AFTER):
                        try:
                            job = SafeJob.fetch(job_id, connection=connection,
                                                serializer=SERIALIZER)
                        except NoSuchJobError:
                            started.remove(job_id)
                            continue
                        end_try(connection, queue, job, LOST_TOO_OFTEN, "lost", roots)
                finally:
                    lock.release()
        except RedisError:
            pass  # the worker itself tells of a lost connection


def end_try(connection, queue, job, reason, how, roots):
    """Ends the job's running try: ``how`` "failed" fails it with its reason;
    "retry" puts it back on the queue while it has tries left, "lost" while
    it has lost tries left (counted apart); else it is failed with reason.
    The job failed, what a dead run of it left is removed (see above)."""
    lost = lost_tries(job)
    again = (how == "retry" and job.retries_left) or (how == "lost" and lost < LOST_TRIES)
    with connection.pipeline() as pipeline:
        registry(StartedJobRegistry, queue).remove(job, pipeline=pipeline)
        if again:
            if how == "lost":
                job.meta["lost"] = lost + 1
                queue.enqueue_job(job, pipeline=pipeline)
            else:
                job.retry(queue, pipeline)
        else:
            job.retries_left = 0
            job.set_status(JobStatus.FAILED, pipeline=pipeline)
            job._handle_failure(reason, pipeline=pipeline)
        pipeline.execute()
    if not again and how != "failed":
        queued_job.clean_up(job.args[0], roots, reason)


class _Pauses:
    """Growing pauses between tries to reach a lost Redis, and what is said
    of it: once when it is lost, once when it is back."""

    def __init__(self, log):
        self.log = log
        self.lost = None  # when it was lost
        self.next = 1.0

    def failed(self, error, doing):
        if self.lost is None:
            self.lost = time.monotonic()
            self.log.warning("Lost the queue's Redis (%s); %s", " ".join(str(error).split()),
                             doing)
        pause, self.next = self.next, min(self.next * 2, LONGEST_PAUSE)
        return pause

    def answered(self):
        if self.lost is not None:
            self.log.warning("The queue's Redis answers again, after %.0f s",
                             time.monotonic() - self.lost)
        self.lost = None
        self.next = 1.0


class _RecapWorker(Worker):
    roots = ()
    max_connection_wait_time = LONGEST_PAUSE  # RQ's own pause while it waits for a job

    @property
    def dequeue_timeout(self):
        return DEQUEUE_SECONDS

    # --- the worker -----------------------------------------------------------------

    def work(self, burst=False, logging_level="INFO", **_):
        """RQ's work loop, waiting for a lost Redis where RQ's ends."""
        setup_loghandlers(logging_level, DEFAULT_LOGGING_DATE_FORMAT, DEFAULT_LOGGING_FORMAT)
        self.log.info("Worker %s: started on queue %s, version %s", self.name, QUEUE,
                      self.version)
        self._install_signal_handlers()
        pauses = _Pauses(self.log)
        lost = False
        try:
            while not self._stop_requested:
                try:
                    if lost:
                        self._revive()
                        lost = False
                    pauses.answered()
                    if self.should_run_maintenance_tasks:
                        self.clean_registries()
                    found = self.dequeue_job_and_maintain_ttl(None if burst else
                                                              self.dequeue_timeout)
                    if found is None:
                        if burst:
                            self.log.info("Worker %s: the queue is empty, stopping", self.name)
                            break
                        continue
                    job, queue = found
                    self.execute_job(job, queue)
                    self.heartbeat()
                except RedisError as e:
                    lost = True
                    pause = pauses.failed(e, "trying again")
                else:
                    continue
                end = time.monotonic() + pause  # slept here: a signal may end the sleep
                while not self._stop_requested and time.monotonic() < end:
                    time.sleep(min(0.2, end - time.monotonic()))
        except StopRequested:
            pass
        finally:
            self.log.info("Worker %s: stopping", self.name)
            with suppress(RedisError):
                self.register_death()

    def _revive(self):
        """Back on a Redis that was lost: registered again if it lost the worker."""
        if self.connection.exists(self.key):
            self.heartbeat()
        else:
            self.register_birth()

    def execute_job(self, job, queue):
        reason = job.refusal()
        if reason:
            self.log.warning("Job %s refused: %s", job.id, reason)
            job.origin = job.origin or queue.name
            self._until_answered(lambda: self._fail(job, queue, f"refused: {reason}"))
            return
        with suppress(RedisError):  # the job is this worker's now, Redis or not
            self.set_state(WorkerStatus.BUSY)
        self.fork_work_horse(job, queue)
        self.monitor_work_horse(job, queue)
        with suppress(RedisError):
            self.set_state(WorkerStatus.IDLE)
            self.set_current_job_id(None)

    def monitor_work_horse(self, job, queue):
        """Waits for the work horse, beating the job's heartbeat; a lost
        Redis leaves the render running. A horse that ended without telling
        the job's outcome has the job tried again."""
        pauses = _Pauses(self.log)
        started = time.monotonic()
        status = None
        while True:
            try:
                with UnixSignalDeathPenalty(self.job_monitoring_interval,
                                            HorseMonitorTimeoutException):
                    _, status, _ = self.wait_for_horse()
                break
            except HorseMonitorTimeoutException:
                if job.timeout and time.monotonic() - started > job.timeout + 60:
                    self.kill_horse()  # stuck past the job's own timeout
                    self.wait_for_horse()
                    break
                try:
                    self.set_current_job_working_time(time.monotonic() - started)
                    self.maintain_heartbeats(job)
                    pauses.answered()
                except RedisError as e:
                    pauses.failed(e, "the running job goes on")
            except OSError as e:
                if e.errno != errno.EINTR:
                    raise
        self._horse_pid = 0
        if status == 0:
            return
        how = (f"killed by signal {os.WTERMSIG(status)}" if status and os.WIFSIGNALED(status)
               else f"exit status {os.WEXITSTATUS(status)}" if status else "gone")
        self.log.warning("Job %s: its work horse ended unexpectedly (%s)", job.id, how)
        self._until_answered(lambda: self._fail(job, queue, "its work horse ended unexpectedly "
                                                f"({how})", "retry", if_mine=True))

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

    # --- the work horse ---------------------------------------------------------------

    def perform_job(self, job, queue):
        """Runs the job in the work horse: clipweave's job function with the
        worker's roots, whatever function the job names; its outcome told
        once Redis answers, or until its worker is gone: the outcome is in the
        job's record, where the next run of the job (after the watch finds
        it lost) takes it."""
        worker = os.getppid()
        orphaned = lambda: os.getppid() != worker  # noqa: E731
        if not self._until_answered(lambda: self.prepare_job_execution(job), orphaned):
            return False
        job.started_at = utcnow()
        how, reason, result, spent = "failed", None, None, None
        try:
            with self.death_penalty_class(job.timeout or queue.DEFAULT_TIMEOUT,
                                          JobTimeoutException, job_id=job.id):
                result = queued_job.perform(job.args[0], self.roots)
        except queued_job.Refused as e:
            reason = f"refused: {e}"
        except queued_job.RecapFailed as e:
            reason = str(e)
        except queued_job.HandedBack as e:
            # Its worker dead: a lost try; stopped on request: one of its tries.
            how, reason = ("lost", LOST_TOO_OFTEN) if e.lost else ("retry", str(e))
            spent = LOST_EVERY_TRY
        except JobTimeoutException:
            reason = f"the job ran past its {job.timeout} s"
        except Exception as e:  # noqa: BLE001 - a fault of this worker: another may do better
            how, reason = "retry", f"{type(e).__name__}: {e}"
        job.ended_at = utcnow()
        # From here on a stop ends the work horse: the job's outcome is in
        # its record, and the next run of the job reads it there.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if reason is None:
            self.log.info("Job %s: %s", job.id, result["status"])
            job._result = result
            self._until_answered(lambda: self._succeed(job, queue), orphaned)
        else:
            self.log.info("Job %s: %s", job.id, reason)
            self._until_answered(lambda: self._fail(job, queue, reason, how, if_mine=True,
                                                    spent=spent), orphaned)
        return reason is None

    def _mine(self, job):
        """True while the job is this worker's: not found lost and run again meanwhile."""
        worker, status = self.connection.hmget(job.key, "worker_name", "status")
        return worker is not None and worker.decode("utf-8", "replace") == self.name \
            and status == JobStatus.STARTED.value.encode()

    def _succeed(self, job, queue):
        if self._mine(job):
            self.handle_job_success(job, queue, registry(StartedJobRegistry, queue))

    def _fail(self, job, queue, reason, how="failed", if_mine=False, spent=None):
        """Ends the job's try (see end_try); a retried job whose tries are
        used up is failed with ``spent``, if given."""
        if if_mine and not self._mine(job):
            return
        if how == "retry" and not job.retries_left:
            reason = spent or reason
        end_try(self.connection, queue, job, reason, how, self.roots)

    def _until_answered(self, call, orphaned=None):
        """call(), again and again while Redis does not answer; false (call
        given up) once ``orphaned()`` is true: a work horse whose worker is
        gone waits for nobody."""
        pauses = _Pauses(self.log)
        while True:
            try:
                call()
                pauses.answered()
                return True
            except RedisError as e:
                end = time.monotonic() + pauses.failed(
                    e, "the job's outcome is kept until it is back")
            while time.monotonic() < end:
                if orphaned is not None and orphaned():
                    self.log.warning("The worker is gone: the job's outcome stays in its "
                                     "record, for its next run")
                    return False
                time.sleep(min(0.5, max(0.0, end - time.monotonic())))
