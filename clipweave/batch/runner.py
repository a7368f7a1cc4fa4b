"""One job, run the same way on this machine and on a worker.

The job runs as a child process, ``clipweave SOURCE SEGMENTS ... --json``,
exactly the single command: a crash or a leak in one render cannot take the
batch (or a worker) with it, and a stop is a SIGTERM the run answers by
cleaning up as it does for Ctrl-C. Around it: the job's record is locked (so
no job runs twice at once), a dead run's work directories are removed, a
job made before from the same inputs is skipped, and the record is written
when the run ends.
"""
import json
import os
import sys
import threading

from clipweave.app.errors import ExitStatus
from clipweave.app.request import FINAL
from clipweave.batch.record import Busy, Record, Stopped
from clipweave.system.children import Child

DONE, SKIPPED, FAILED, STOPPED = "done", "skipped", "failed", "stopped"
POLL_SECONDS = 0.25
TERMINATED = 143  # what a run stopped by SIGTERM ends with


def outcome(job, status, final=None, error=None):
    """A job's outcome; a stopped run is "failed", with ``stopped`` set."""
    return {"output_dir": job.output_dir, "status": FAILED if status == STOPPED else status,
            "final": final, "error": error, "stopped": status == STOPPED}


# The command, with the current directory (the jobs file's folder) taken off
# the module path: the package installed for this interpreter runs, never a
# source tree that happens to be there. (-I would do it, but it also drops
# the PYTHON* variables the user set for every run.)
BOOT = "import sys; del sys.path[0]; from clipweave.__main__ import main; sys.exit(main())"


def _command(job, overwrite):
    return [sys.executable, "-c", BOOT, *job.argv(), "--json",
            *(["--overwrite"] if overwrite else [])]


def _answer(child, code):
    """(final, error) from the run's JSON line and error output."""
    document = {}
    lines = (child.output or b"").decode("utf-8", "replace").strip().splitlines()
    if lines:
        try:
            document = json.loads(lines[-1])
        except ValueError:
            document = {}
    if not isinstance(document, dict):
        document = {}
    if code == 0 and document.get("final"):
        return document["final"], None
    error = document.get("error") or (child.stderr_tail[-1:] or [None])[0]
    return None, " ".join(str(error or f"exit status {code}").split())


def _published_by(directory, results, since):
    """The results moved into place in ``directory`` by a run that began at ``since``."""
    found = []
    for name in results:
        path = os.path.join(directory, name)
        if os.path.isfile(path) and os.stat(path).st_mtime >= since:
            found.append(name)
    return found


def run_job(job, overwrite=False, batch=None, stop=None, lost=None, wait=0.0, started=None):
    """Runs one job; its outcome (see :func:`outcome`), status "done",
    "skipped" or "failed" (``stopped`` set when the run was stopped). ``batch``: the batch's id, so a
    retried job of the same batch never makes its results again; ``stop``:
    an Event that ends the run cleanly; ``lost()``: true when whoever runs
    the job is gone (the run is then ended); ``wait``: seconds to wait for
    another run of the job to let go; ``started()``: called when the run
    starts (not for a skipped job)."""
    stop = stop or threading.Event()
    results = job.results()
    try:
        inputs = job.inputs()
    except OSError as e:
        return outcome(job, FAILED, error=f"cannot read the job's inputs: {e.strerror or e}")
    given_up = lambda: stop.is_set() or (lost is not None and lost())  # noqa: E731
    try:
        with Record(job.output_dir, wait, stop=given_up) as record:
            final = os.path.join(job.output_dir, FINAL)
            maker = record.made(inputs, results)
            if maker is not None and batch is not None and maker == batch:
                return outcome(job, DONE, final)  # a retried job its first run made
            if maker is not None and not overwrite:
                return outcome(job, SKIPPED, final)
            if record.last.get("inputs") == inputs and (record.dead_run()
                                                        or record.last.get("published")):
                # A dead run of this job may have published before it died,
                # a stopped one before it was stopped.
                published = _published_by(job.output_dir, results,
                                          record.last.get("began", record.last.get("time")))
                if published == results:
                    record.remove_stale()
                    record.write(DONE, inputs=inputs, batch=record.last.get("batch"),
                                 results=results)
                    return outcome(job, DONE, final)
                overwrite = overwrite or bool(published)
            record.remove_stale()
            record.write("running", inputs=inputs, batch=batch, results=results)
            began = record.last["time"]
            if started is not None:
                started()
            try:
                status, final, error, code = _run(job, overwrite, stop, lost)
            except BaseException:  # the run was stopped, and cleaned up, from outside
                record.write(STOPPED, inputs=inputs, batch=batch, results=results)
                raise
            published = _published_by(job.output_dir, results, began) if status == STOPPED \
                else []
            if published == results:  # stopped only after it had published every result
                status, final, error = DONE, os.path.join(job.output_dir, FINAL), None
            elif published:  # the next run of the job replaces these, as its own
                record.write(status, inputs=inputs, batch=batch, results=results, error=error,
                             began=began, published=published)
                return outcome(job, status, final, error)
            if code == ExitStatus.USAGE:
                record.restore()  # refused before it began: it changed nothing
            else:
                record.write(status, inputs=inputs, batch=batch, results=results,
                             **({"error": error} if error else {}))
            return outcome(job, status, final, error)
    except Busy as e:
        return outcome(job, FAILED, error=str(e))
    except Stopped:
        return outcome(job, STOPPED, error="stopped before it started")
    except OSError as e:
        return outcome(job, FAILED, error=f"cannot use output directory {job.output_dir}: "
                                          f"{e.strerror or e}")


def give_up(job, error):
    """The job is over without another run (its tries used up): the work
    directories its last run left, if that run died, are removed and its
    record says it failed with ``error``. Nothing when another run holds
    the job or the last run did not die (it cleaned up after itself)."""
    try:
        with Record(job.output_dir) as record:
            if not record.dead_run():
                record.restore()
                return
            record.remove_stale()
            record.write(FAILED, **{name: record.last.get(name)
                                    for name in ("inputs", "batch", "results")}, error=error)
    except (Busy, OSError):
        pass


def _run(job, overwrite, stop, lost):
    """(status, final, error, exit status) of the job's child process."""
    # Every path of a queued job is absolute: where it runs does not matter.
    child = Child(_command(job, overwrite), capture=True, cwd=job.base or "/")
    ended = None
    try:
        while child.poll() is None:
            if stop.wait(POLL_SECONDS):
                ended = "stopped before it finished"
            elif lost is not None and lost():
                ended = "its worker was lost"
            if ended:
                child.terminate()
                break
        code = child.wait(check=False)
    except BaseException:
        child.terminate()
        raise
    final, error = _answer(child, code)
    if code == 0:  # finished, even when asked to stop as it did
        return DONE, final, error, code
    if ended:
        return STOPPED, None, ended, code
    if code == TERMINATED:
        return STOPPED, None, error, code
    return FAILED, final, error, code
