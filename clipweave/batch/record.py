"""The record beside a job's results: what made them, and whether a run is on.

``FINAL_RECAP.job.json`` in the output directory holds the state of the last
run into it ("running", "done", "failed" or "stopped"), the inputs and
options it was given, the batch that ran it, the names of its results and,
under ``made``, what made the results that are there (their inputs, batch,
and each file's size and time), kept through later runs that failed,
stopped or were refused: a job is made when ``made`` still matches.

The file is also the job's lock: whoever runs the job holds an exclusive
lock on it, so a job is never run twice at once (on shared storage too,
where the file system passes locks on). A record still "running" when its
lock is free was left by a run that died: the work directories that run
made are removed by the next one. The record is never read or written
through a symbolic link, and a run refused before it began leaves the
record (and the directories made for it) as they were.
"""
import errno
import fcntl
import json
import os
import shutil
import stat
import time

from clipweave.app.workspace import WORK_PREFIX

RECORD = "FINAL_RECAP.job.json"
MAX_BYTES = 1 << 20  # a record is a few kilobytes; more is not one


class Busy(Exception):
    """Another run holds the job."""


class Stopped(Exception):
    """Waiting for the job's lock was given up (``stop``)."""


def _work_dirs(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith(WORK_PREFIX))


def identities(directory, names):
    """{name: [size, mtime_ns]} of the files in a directory, None for a missing one."""
    found = {}
    for name in names:
        try:
            st = os.stat(os.path.join(directory, name), follow_symlinks=False)
            found[name] = [st.st_size, st.st_mtime_ns] if stat.S_ISREG(st.st_mode) else None
        except FileNotFoundError:
            found[name] = None
    return found


class Record:
    """The locked record of one output directory; use as a context manager.

    ``wait``: seconds to wait for another run to let go of the job, while
    ``stop()`` is false."""

    def __init__(self, directory, wait=0.0, stop=None):
        self.directory = directory
        self.path = os.path.join(directory, RECORD)
        self.wait = wait
        self.stop = stop or (lambda: False)
        self.fd = None
        self.last = {}  # what the file held when the lock was taken
        self._before = b""  # its bytes
        self._made_dirs = []  # the directories made for the record, deepest first
        self._created = False

    def __enter__(self):
        self._make_directory()
        try:
            self._lock()
        except BaseException:
            self._undo()
            raise
        return self

    def _make_directory(self):
        missing = []
        path = os.path.abspath(self.directory)
        while not os.path.lexists(path):
            missing.append(path)
            path = os.path.dirname(path)
        os.makedirs(self.directory, exist_ok=True)
        self._made_dirs = missing

    def _open(self):
        flags = os.O_RDWR | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK
        try:
            fd = os.open(self.path, flags | os.O_CREAT | os.O_EXCL, 0o644)
            self._created = True
        except FileExistsError:
            try:
                fd = os.open(self.path, flags)
            except OSError as e:
                if e.errno == errno.ELOOP:
                    raise OSError(errno.ELOOP, "the job's record is a symbolic link",
                                  self.path) from None
                raise
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                os.close(fd)
                raise OSError(errno.EINVAL, "the job's record is not a regular file",
                              self.path) from None
        return fd

    def _lock(self):
        deadline = time.monotonic() + self.wait
        while True:
            self.fd = self._open()
            while True:
                try:
                    fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except OSError as e:
                    if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                        self.close()
                        raise
                    if self.stop():
                        self.close()
                        raise Stopped() from None
                    if time.monotonic() >= deadline:
                        self.close()
                        raise Busy(f"another run is making the job in {self.directory}") \
                            from None
                    time.sleep(0.2)
            # The file locked must still be the record: a refused run that
            # made it removes it on its way out.
            try:
                now = os.stat(self.path, follow_symlinks=False)
            except FileNotFoundError:
                now = None
            mine = os.fstat(self.fd)
            if now is not None and (now.st_dev, now.st_ino) == (mine.st_dev, mine.st_ino):
                break
            self.close()
            self._created = False
        self._before = os.pread(self.fd, MAX_BYTES, 0)
        try:
            self.last = json.loads(self._before.decode("utf-8")) if self._before else {}
        except (UnicodeDecodeError, ValueError):
            self.last = {}
        if not isinstance(self.last, dict):
            self.last = {}

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        if self.fd is not None:
            os.close(self.fd)  # releases the lock
            self.fd = None

    def restore(self):
        """Leaves the record as the run found it: a run refused before it
        began changed nothing."""
        if self._created:
            self._undo()
            return
        os.pwrite(self.fd, self._before, 0)
        os.ftruncate(self.fd, len(self._before))
        os.fsync(self.fd)
        self.last = {}

    def _undo(self):
        """Removes the record this run made, and the directories made for it."""
        if self._created:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
            self._created = False
        for path in self._made_dirs:
            try:
                os.rmdir(path)
            except OSError:
                break  # something else is in it now
        self._made_dirs = []

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
        """The batch that made the results there from these inputs ("" for
        none named), or None when they are not all there as it made them."""
        made = self.last.get("made")
        if isinstance(made, dict):
            there = identities(self.directory, results)
            kept = made.get("files") if isinstance(made.get("files"), dict) else {}
            if made.get("inputs") == inputs and None not in there.values() \
                    and all(kept.get(n) == there[n] for n in results):
                return made.get("batch") or ""
            return None
        # A record written before ``made`` was kept: the last run made them.
        if self.last.get("state") == "done" and self.last.get("inputs") == inputs \
                and all(os.path.isfile(os.path.join(self.directory, n)) for n in results):
            return self.last.get("batch") or ""
        return None

    def write(self, state, **fields):
        """Writes the record of a run in ``state``; a "done" run's results
        become ``made``, any other keeps the last ``made``."""
        document = {"state": state, "time": time.time(), **fields}
        if state == "running":
            # Kept work directories of earlier runs are not this run's to remove.
            document["work_dirs"] = _work_dirs(self.directory)
        if state == "done":
            document["made"] = {"inputs": fields.get("inputs"), "batch": fields.get("batch"),
                                "time": document["time"],
                                "files": identities(self.directory, fields.get("results", ()))}
        elif isinstance(self.last.get("made"), dict):
            document["made"] = self.last["made"]
        data = (json.dumps(document, indent=1, ensure_ascii=False) + "\n").encode("utf-8")
        # Written over the old, then cut to length: a reader without the lock
        # never finds the file empty.
        os.pwrite(self.fd, data, 0)
        os.ftruncate(self.fd, len(data))
        os.fsync(self.fd)
        self.last = document
