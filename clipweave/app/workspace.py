"""A run's private work directory inside the output directory, and its results.

Nothing of the user's is touched: the pipeline works in a fresh directory of
its own inside the output directory, and only the finished results are moved
out of it, each with one atomic rename at the end. A result that exists is
never replaced unless asked; on failure or interruption no partial file ever
stands under a result's name. The output directory is locked for the length
of the run (a lock on the directory itself, so no file is made for it): a
second run into the same directory is refused rather than mixed in.
"""
import errno
import fcntl
import os
import shutil
import tempfile

from clipweave.app.errors import OutputChanged, OutputRefused
from clipweave.system.files import place

WORK_PREFIX = ".clipweave-work-"


def check_name(directory):
    """Problems with an output directory's name itself (made absolute)."""
    absolute = os.path.abspath(directory)
    # The pipeline's join list is one file name a line.
    if "\n" in absolute or "\r" in absolute:
        return [f"output directory name holds a line break, which ffmpeg's join list "
                f"cannot hold: {absolute!r}"]
    return []


class Workspace:
    """prepare() before the run, publish() after it, close() always."""

    def __init__(self, directory, results, overwrite=False, keep_work=False):
        self.directory = os.path.abspath(directory)
        self.results = list(results)
        self.overwrite = overwrite
        self.keep_work = keep_work
        self.work = None
        self._lock_fd = None

    def target(self, name):
        return os.path.join(self.directory, name)

    def prepare(self):
        problems = check_name(self.directory)
        if os.path.lexists(self.directory) and not os.path.isdir(self.directory):
            problems.append(f"output directory is not a directory: {self.directory}")
        if problems:
            raise OutputRefused(problems)
        try:
            os.makedirs(self.directory, exist_ok=True)
            fd = os.open(self.directory, os.O_RDONLY | os.O_DIRECTORY)
        except OSError as e:
            raise OutputRefused([f"cannot use output directory {self.directory}: "
                                 f"{e.strerror or e}"]) from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            os.close(fd)
            if e.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise OutputRefused([f"another clipweave run is writing into {self.directory}; "
                                     "this one is refused rather than mixed in (run it again "
                                     "when that one has finished, or choose another "
                                     "--output-dir)"]) from None
            raise OutputRefused([f"cannot lock output directory {self.directory}: "
                                 f"{e.strerror or e}"]) from None
        self._lock_fd = fd
        existing = [name for name in self.results if os.path.lexists(self.target(name))]
        if existing and not self.overwrite:
            self.close()
            raise OutputRefused([f"{self.target(name)} exists; give -y/--overwrite to replace it"
                                 for name in existing])
        try:
            self.work = tempfile.mkdtemp(prefix=WORK_PREFIX, dir=self.directory)
        except OSError as e:
            self.close()
            raise OutputRefused([f"output directory {self.directory} is not writable: "
                                 f"{e.strerror or e}"]) from None
        return self.work

    def publish(self, produced):
        """Moves {result name: path in the work directory} into place, in order;
        {result name: its path in the output directory}."""
        published = {}
        for name, path in produced.items():
            dest = self.target(name)
            try:
                place(path, dest, overwrite=self.overwrite)
            except FileExistsError:
                raise OutputChanged([f"{dest} appeared during the run; it was left as it "
                                     "is (give -y/--overwrite to replace it)"]) from None
            published[name] = dest
        return published

    def close(self):
        """Removes the work directory (unless kept) and releases the lock."""
        if self.work is not None and not self.keep_work:
            shutil.rmtree(self.work, ignore_errors=True)
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None
