"""The batch queue on RQ and Redis: the submitting side (enqueue, wait,
status), and what it shares with the worker (rq_worker.py): the
connection, the jobs' serializer and their class.

A batch's jobs are RQ jobs of :data:`JOB_FUNCTION`, each with RQ's Retry
(three tries in all, for a work horse that died or a worker stopped
mid-job), a generous job timeout and a job id that names the batch and the
job, so ``rq info`` shows which is which. A try lost with its worker (the
worker dead: its heartbeats stopped, or its work horse found it gone) uses
none of those tries: such tries are counted apart, in the job's meta
(``lost``), up to :data:`LOST_TRIES`. A failed job's reason is its one line
of failure, as RQ keeps it.

Jobs are data, never code: anyone who can write to the queue's Redis can
write a job, so both sides read jobs with RQ's JSONSerializer (nothing is
unpickled), and :class:`SafeJob` reads a job's record as data: one whose
data or meta is not JSON, that names any function but clipweave's, or
asks for callbacks, is refused before any name in it is imported. What a
job asks for is checked again by the worker (clipweave.batch.queued_job).
"""
import time
import uuid

from redis import Redis
from redis.exceptions import (AuthenticationError, AuthorizationError, NoPermissionError,
                              RedisError, ResponseError)
from redis.exceptions import TimeoutError as RedisTimeout
from rq import Queue, Retry
from rq.exceptions import DeserializationError, NoSuchJobError
from rq.job import Job
from rq.registry import FailedJobRegistry, FinishedJobRegistry, StartedJobRegistry
from rq.serializers import JSONSerializer

from clipweave.app.console import escaped
from clipweave.batch import queued_job
from clipweave.batch.queue_error import QueueError
from clipweave.batch.redis_url import READ_SECONDS, parse, redacted
from clipweave.batch.runner import outcome

QUEUE = "clipweave"
TRIES = 3
# Tries lost with a dead worker, apart from TRIES: with a worker lost every
# minute or so, a job is not failed for bad luck alone (a fifth of a soak's
# runs lost gives 8 in a row once in 400,000 jobs), and one whose runs kill
# their worker every time still ends failed.
LOST_TRIES = 8
JOB_TIMEOUT = 6 * 3600  # a render of a long source on a slow machine
POLL_SECONDS = 0.5
KEEP_SECONDS = 7 * 24 * 3600  # how long the queue remembers a job's outcome
JOB_FUNCTION = "clipweave.batch.rq_queue.perform"  # the one function a worker runs
LOST_EVERY_TRY = f"its worker was lost or stopped on each of its {TRIES} tries"
LOST_TOO_OFTEN = f"its worker was lost on {LOST_TRIES} tries"
GIVEN_UP = "Moved to FailedJobRegistry"  # how RQ's registry clean-up says it failed a job
MAX_REASON = 300
SERIALIZER = JSONSerializer
# What a Redis user of the queue needs, and no more: RQ's keys and the
# watch's lock; the commands that RQ (with rq info) and the watch send.
ACL_KEYS = ("rq:*", "clipweave:*")
ACL_COMMANDS = (
    "ping", "info", "client|setname", "client|list", "multi", "exec", "discard", "watch",
    "unwatch", "evalsha", "script|load", "get", "set", "del", "exists", "expire", "persist",
    "hset", "hget", "hmget", "hgetall", "hdel", "hexists", "hincrby", "hincrbyfloat", "rpush",
    "lpop", "blpop", "lrange", "llen", "sadd", "srem", "smembers", "zadd", "zrem", "zrange",
    "zrangebyscore", "zremrangebyscore", "zcard", "xadd", "xrevrange")


def acl_rule(user, password):
    """redis.conf's line for a user that may use the queue and nothing else."""
    return (f"user {user} on >{password} resetchannels "
            + " ".join(f"~{k}" for k in ACL_KEYS) + " -@all "
            + " ".join(f"+{c}" for c in ACL_COMMANDS))


def perform(*args, **kwargs):
    """The job function's name on the queue. clipweave worker runs a job
    itself, after its checks; any other worker that takes one refuses it."""
    raise queued_job.Refused("a clipweave job is run by clipweave worker alone")


def connect(address):
    return Redis(**address.connection())


def queue_error(error, address):
    """The QueueError for a Redis error at ``address``."""
    text = str(error).strip() or type(error).__name__
    refused = True
    if isinstance(error, AuthenticationError) or text.startswith("WRONGPASS"):
        why = f"the user name or password was refused ({text})"
    elif isinstance(error, (NoPermissionError, AuthorizationError)):
        why = f"the Redis user may not do what the queue needs ({text})"
    elif isinstance(error, ResponseError) and "DB index" in text:
        why = f"it has no database {address.db} ({text})"
    elif any(s in text for s in ("CERTIFICATE_VERIFY_FAILED", "certificate verify failed",
                                 "Hostname mismatch", "WRONG_VERSION_NUMBER")):
        why = f"its TLS certificate does not hold, or it speaks no TLS ({text})"
    elif isinstance(error, ResponseError):  # it answered, and said no
        why = text
    elif isinstance(error, RedisTimeout):
        why, refused = f"no answer within {READ_SECONDS:g} s ({text})", False
    else:
        why, refused = text, False
    return QueueError(redacted(" ".join(f"the queue at {address.shown()}: {why}".split())),
                      refused)


class SafeJob(Job):
    """An RQ job whose record is read as data alone (see above)."""

    unreadable = None  # why the record cannot be taken as a job's, or None

    def restore(self, raw_data):
        raw = {(k.decode("utf-8", "replace") if isinstance(k, bytes) else k): v
               for k, v in raw_data.items()}
        meta = raw.pop("meta", None)
        try:
            super().restore(raw)
        except NoSuchJobError:
            raise
        except Exception as e:  # noqa: BLE001 - anything in the record may be wrong
            self.unreadable = f"its record cannot be read ({type(e).__name__})"
        self.meta = {}
        if meta:
            try:
                value = self.serializer.loads(meta)
            except Exception:  # noqa: BLE001 - whatever the bytes are
                value = None
            if isinstance(value, dict):
                self.meta = value
            else:
                self.unreadable = self.unreadable or "its meta is not a JSON object"

    @property
    def func(self):
        reason = self.refusal()
        if reason:
            raise queued_job.Refused(reason)
        return perform

    def refusal(self):
        """Why this is not a job of clipweave's (one line), or None."""
        if self.unreadable:
            return self.unreadable
        try:
            name, args, kwargs = self.func_name, self.args, self.kwargs
        except DeserializationError:
            return "its data is not JSON"
        if name != JOB_FUNCTION:
            return f"it names the function {escaped(str(name))[:100]!r}, not clipweave's"
        if self._instance is not None or kwargs or not isinstance(args, (list, tuple)) \
                or len(args) != 1:
            return "its arguments are not a clipweave job's"
        if self._success_callback_name or self._failure_callback_name:
            return "it asks for callbacks, which a clipweave job has none of"
        return None


def rq_queue(connection):
    """The batch queue, reading jobs as SafeJobs in JSON."""
    return Queue(QUEUE, connection=connection, job_class=SafeJob, serializer=SERIALIZER)


def registry(kind, queue):
    """One of RQ's registries of the queue's jobs, reading them as SafeJobs."""
    return kind(queue=queue, job_class=SafeJob)


def reason_of(exc_info):
    """A failed job's reason: the last line of its failure, as one line."""
    lines = [line for line in str(exc_info or "").splitlines() if line.strip()]
    if not lines:
        return None
    text = escaped(" ".join(lines[-1].split()))
    return text if len(text) <= MAX_REASON else text[:MAX_REASON - 3] + "..."


class RQQueue:
    """The queue (see clipweave.batch.queue.Queue) in the Redis at a
    redis:// or rediss:// URL."""

    def __init__(self, url, ca=None):
        self.address = parse(url, ca)
        self.shown = self.address.shown()
        self.connection = connect(self.address)
        ca_flag = f" --queue-ca {self.address.ca}" if self.address.ca else ""
        self.watch_command = f"clipweave batch --queue '{self.shown}'{ca_flag} --status"

    def _error(self, error):
        return queue_error(error, self.address)

    def check(self):
        try:
            self.connection.ping()
        except RedisError as e:
            raise self._error(e) from None

    def enqueue(self, jobs, overwrite):
        batch = uuid.uuid4().hex[:12]
        try:
            queue = rq_queue(self.connection)
            return [queue.enqueue_call(JOB_FUNCTION,
                                       args=(queued_job.arguments(job, overwrite, batch),),
                                       job_id=f"batch-{batch}-{job.number}",
                                       retry=Retry(max=TRIES - 1), timeout=JOB_TIMEOUT,
                                       result_ttl=KEEP_SECONDS, failure_ttl=KEEP_SECONDS,
                                       description=job.output_dir)
                    for job in jobs]
        except RedisError as e:
            raise self._error(e) from None

    def wait(self, jobs, tickets, lines, lost_for):
        results = [None] * len(jobs)
        said = [None] * len(jobs)
        lost_since = None
        while None in results:
            try:
                for index, (job, entry) in enumerate(zip(jobs, tickets)):
                    if results[index] is not None:
                        continue
                    try:
                        state, answer = _state(job, entry)
                    except NoSuchJobError:
                        state, answer = "failed", outcome(job, "failed",
                                                          error="the job is gone from the queue")
                    if answer is not None:
                        results[index] = answer
                        lines.ended(job, answer)
                    elif state != said[index]:
                        lines.job(job, state)
                    said[index] = state
                if lost_since is not None:
                    lines.note(f"the queue at {self.shown} answers again")
                    lost_since = None
            except RedisError as e:
                now = time.monotonic()
                if lost_since is None:
                    lost_since = now
                    lines.note(f"{self._error(e)}; waiting up to {lost_for:g} s for it")
                elif now - lost_since > lost_for:
                    for index, job in enumerate(jobs):
                        if results[index] is None:
                            results[index] = outcome(
                                job, "failed", error=f"the queue was lost for {lost_for:g} s; "
                                                     f"the job was last {said[index] or 'queued'}")
                            lines.ended(job, results[index])
                    break
            if None in results:
                time.sleep(POLL_SECONDS)
        return results

    def status(self):
        try:
            queue = rq_queue(self.connection)
            groups = [("queued", queue.get_job_ids())]
            for state, kind in (("started", StartedJobRegistry),
                                ("finished", FinishedJobRegistry), ("failed", FailedJobRegistry)):
                key = registry(kind, queue).key
                groups.append((state, [i.decode("utf-8", "replace")
                                       for i in self.connection.zrange(key, 0, -1)]))
            listed = []
            for state, ids in groups:
                found = SafeJob.fetch_many(ids, self.connection, serializer=SERIALIZER)
                listed += [_listed(state, i, entry) for i, entry in zip(ids, found)]
            return listed
        except RedisError as e:
            raise self._error(e) from None


def lost_tries(entry):
    """The job's tries lost with their worker, as its meta counts them."""
    lost = entry.meta.get("lost", 0)
    return lost if isinstance(lost, int) and not isinstance(lost, bool) and lost > 0 else 0


def _tries(entry):
    """(tries left of TRIES, which try this is, counting the lost ones)."""
    left = TRIES - 1 if entry.retries_left is None else entry.retries_left
    return left, TRIES - left + lost_tries(entry)


def _try_text(entry):
    _, attempt = _tries(entry)
    lost = lost_tries(entry)
    return f"try {attempt} of {TRIES}" if not lost else \
        f"try {attempt}, {lost} lost with {'its worker' if lost == 1 else 'their workers'}"


def _recorded(entry):
    """(status, final) that a finished job's worker recorded, or None when
    what is there is no job's outcome: it is data anyone could have written."""
    try:
        value = entry.return_value(refresh=True)
    except RedisError:
        raise
    except Exception:  # noqa: BLE001 - whatever was written there
        return None
    if isinstance(value, dict) and value.get("status") in ("done", "skipped") \
            and isinstance(value.get("final"), (str, type(None))):
        return value["status"], value["final"]
    return None


NOT_AN_OUTCOME = "its outcome on the queue is not a clipweave job's"


def _outcome(job, entry):
    found = _recorded(entry)
    if found is None:
        return outcome(job, "failed", error=NOT_AN_OUTCOME)
    return outcome(job, *found)


def _failure(entry):
    left, _ = _tries(entry)
    reason = reason_of(entry.exc_info)
    if reason is None or reason.startswith(GIVEN_UP):
        return LOST_EVERY_TRY if left <= 0 else "the queue gave it up"
    return reason


def _state(job, entry):
    """(state text, outcome or None while the job is not over) of an RQ job."""
    entry.refresh()
    if entry.unreadable:
        return "failed", outcome(job, "failed", error=f"its record on the queue is not a "
                                                      f"job's: {entry.unreadable}")
    status = entry.get_status(refresh=False)
    left, attempt = _tries(entry)
    lost = lost_tries(entry)
    if status == "finished":
        return "finished", _outcome(job, entry)
    if status == "failed":
        return "failed", outcome(job, "failed", error=_failure(entry))
    if status == "started":
        return f"started on {escaped(entry.worker_name or 'a worker')} ({_try_text(entry)})", None
    if status == "queued" and (left < TRIES - 1 or lost):
        return f"queued again after try {attempt - 1} (its worker was lost or stopped)", None
    return escaped(str(status)), None


def _listed(state, job_id, entry):
    """One job of the queue's listing."""
    item = {"id": escaped(job_id), "state": state, "output_dir": None, "worker": None,
            "try": None, "outcome": None, "error": None}
    if entry is None:
        item["error"] = "its record is gone"
        return item
    item["output_dir"] = escaped(entry.description) if entry.description else None
    _, item["try"] = _tries(entry)
    if state == "failed":
        item["error"] = _failure(entry)
    elif entry.unreadable:
        item["error"] = entry.unreadable
    elif state == "started":
        item["worker"] = escaped(entry.worker_name) if entry.worker_name else None
    elif state == "finished":
        found = _recorded(entry)
        item["outcome"] = found[0] if found else None
        item["error"] = None if found else NOT_AN_OUTCOME
    return item
