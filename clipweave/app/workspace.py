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
# In a work directory while its run goes on; a directory that still has it
# once the output directory's lock is ours was left by a run that was killed.
UNFINISHED = ".unfinished"


def check_name(directory):
    """Problems with an output directory's name itself (made absolute)."""
    absolute = os.path.abspath(directory)
    try:
        absolute.encode("utf-8")
    except UnicodeEncodeError:
        return [f"output directory name is not UTF-8 text, which the results' paths must "
                f"be: {os.fsencode(absolute)!r}"]
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
        self._made = []  # the directories prepare made, deepest last

    def target(self, name):
        return os.path.join(self.directory, name)

    def prepare(self):
        problems = check_name(self.directory)
        if os.path.lexists(self.directory) and not os.path.isdir(self.directory):
            problems.append(f"output directory is not a directory: {self.directory}")
        if problems:
            raise OutputRefused(problems)
        missing, folder = [], self.directory
        while not os.path.lexists(folder):
            missing.insert(0, folder)
            folder = os.path.dirname(folder)
        try:
            os.makedirs(self.directory, exist_ok=True)
            self._made = missing
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
        problems = self._unreplaceable()
        if problems:
            self.close()
            raise OutputRefused(problems)
        self._remove_stale()
        try:
            self.work = tempfile.mkdtemp(prefix=WORK_PREFIX, dir=self.directory)
            if not self.keep_work:  # a kept one is the user's to look at, even unfinished
                open(os.path.join(self.work, UNFINISHED), "wb").close()
        except OSError as e:
            self.close()
            raise OutputRefused([f"output directory {self.directory} is not writable: "
                                 f"{e.strerror or e}"]) from None
        return self.work

    def _taken(self, names):
        """(path, is a directory) of each result name this run may not take:
        a directory never, an existing file only when asked to replace it."""
        taken = []
        for name in names:
            path = self.target(name)
            if os.path.isdir(path) and not os.path.islink(path):
                taken.append((path, True))
            elif os.path.lexists(path) and not self.overwrite:
                taken.append((path, False))
        return taken

    def _unreplaceable(self):
        """A line for each result's name that this run may not take."""
        return [f"{path} is a directory; a result cannot replace it" if folder
                else f"{path} exists; give -y/--overwrite to replace it"
                for path, folder in self._taken(self.results)]

    def _remove_stale(self):
        """Removes the work directories of runs that were killed (the lock is
        ours, so no run is using them)."""
        with os.scandir(self.directory) as entries:
            stale = [e.path for e in entries
                     if e.name.startswith(WORK_PREFIX) and e.is_dir(follow_symlinks=False)
                     and e.stat(follow_symlinks=False).st_uid == os.geteuid()
                     and os.path.isfile(os.path.join(e.path, UNFINISHED))]
        for path in stale:
            shutil.rmtree(path, ignore_errors=True)

    def publish(self, produced):
        """Moves {result name: path in the work directory} into place, in order;
        {result name: its path in the output directory}. Every name is
        checked before any is taken: all are published or none."""
        problems = [f"{path} appeared during the run" + (" as a directory" if folder else
                    " (give -y/--overwrite to replace it)") + "; nothing was published"
                    for path, folder in self._taken(produced)]
        if problems:
            raise OutputChanged(problems)
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

    def close(self, refused=False):
        """Removes the work directory (unless kept) and releases the lock; a
        run that was ``refused`` also removes the directories it made."""
        if self.work is not None and not self.keep_work:
            shutil.rmtree(self.work, ignore_errors=True)
        if refused and not self.keep_work:
            for folder in reversed(self._made):
                try:
                    os.rmdir(folder)
                except OSError:
                    break  # something of someone else's is in it
            self._made = []
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None
