"""The record beside a job's results: what made them, and whether a run is on.

``FINAL_RECAP.job.json`` in the output directory holds the state of the last
run into it ("running", "done", "failed" or "stopped"), the inputs and
options it was given, the batch that ran it and the names of its results.
The file is also the job's lock: whoever runs the job holds an exclusive
lock on it, so a job is never run twice at once (on shared storage too,
where the file system passes locks on). A record still "running" when its
lock is free was left by a run that died: the work directories that run
made are removed by the next one.
"""
import errno
import fcntl
import json
import os
import shutil
import time

from clipweave.app.workspace import WORK_PREFIX

RECORD = "FINAL_RECAP.job.json"


class Busy(Exception):
    """Another run holds the job."""


def _work_dirs(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith(WORK_PREFIX))


class Record:
    """The locked record of one output directory; use as a context manager."""

    def __init__(self, directory, wait=0.0):
        self.directory = directory
        self.path = os.path.join(directory, RECORD)
        self.wait = wait
        self.fd = None
        self.last = {}  # what the file held when the lock was taken

    def __enter__(self):
        os.makedirs(self.directory, exist_ok=True)
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        deadline = time.monotonic() + self.wait
        while True:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as e:
                if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    self.close()
                    raise
                if time.monotonic() >= deadline:
                    self.close()
                    raise Busy(f"another run is making the job in {self.directory}") from None
                time.sleep(0.2)
        data = os.pread(self.fd, 1 << 20, 0)
        try:
            self.last = json.loads(data.decode("utf-8")) if data else {}
        except (UnicodeDecodeError, ValueError):
            self.last = {}
        if not isinstance(self.last, dict):
            self.last = {}
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.fd is not None:
            os.close(self.fd)  # releases the lock
            self.fd = None

    def dead_run(self):
        """True when the last run into the directory died while running."""
        return self.last.get("state") == "running"

    def remove_stale(self):
        """Removes the work directories a dead run left; their names."""
        if not self.dead_run():
            return []
        before = set(self.last.get("work_dirs", []))
        stale = [name for name in _work_dirs(self.directory) if name not in before]
        for name in stale:
            shutil.rmtree(os.path.join(self.directory, name), ignore_errors=True)
        return stale

    def made(self, inputs, results):
        """True when the record says these results were made from these inputs
        and they are all still there."""
        return (self.last.get("state") == "done" and self.last.get("inputs") == inputs
                and all(os.path.isfile(os.path.join(self.directory, n)) for n in results))

    def write(self, state, **fields):
        document = {"state": state, "time": time.time(), **fields}
        if state == "running":
            # Kept work directories of earlier runs are not this run's to remove.
            document["work_dirs"] = _work_dirs(self.directory)
        data = (json.dumps(document, indent=1, ensure_ascii=False) + "\n").encode("utf-8")
        # Written over the old, then cut to length: a reader without the lock
        # never finds the file empty.
        os.pwrite(self.fd, data, 0)
        os.ftruncate(self.fd, len(data))
        os.fsync(self.fd)
        self.last = document
