"""What the editor works on: the source video and its segments file, with
the backup, the draft and the folder beside it.

The segments file is written in the form the command reads, checked by
the command's own checks (clipweave.model.segments), whole under a
temporary name and renamed over the old one after the old one is kept as
``SEGMENTS.bak`` (clipweave.system.files): a crash leaves the old file or
the new, never a part. A save names the version of the file it was made
from; when the file changed on disk since, it is refused (``Conflict``)
unless forced, so nobody's edit is silently overwritten. The page's
unsaved state is kept as a draft, ``SEGMENTS.draft``, until the next save.

Paths the page names (an output directory, a jobs file) are relative to
the project's folder, the segments file's: an absolute path, a ``..`` or a
symbolic link on the way is refused.
"""
import hashlib
import json
import os
import tempfile
import threading
import time

from clipweave.model.segments import (END_TOLERANCE, MAX_BYTES, UsageError, entry_problems,
                                      outside_message, parse_segments, read_entries, read_text,
                                      segments_outside, time_seconds)
from clipweave.system.files import PARTIAL_PREFIX, write_atomic

BACKUP_SUFFIX = ".bak"
DRAFT_SUFFIX = ".draft"
SEGMENTS_SUFFIX = ".segments.json"
# At most this many segments in a list the page sends (a segments file of
# MAX_BYTES holds fewer).
MAX_SEGMENTS = 10000


class Refused(Exception):
    """A request the project cannot take; one message per problem."""

    def __init__(self, problems, status=400, **details):
        super().__init__("\n".join(problems))
        self.problems = list(problems)
        self.status = status
        self.details = details


class Conflict(Refused):
    """The segments file changed on disk since the page read it."""

    def __init__(self, path, version, entries):
        super().__init__([f"{path} changed on disk since it was read; nothing was written"],
                         status=409, version=version, segments=entries)


def default_segments(source):
    """The segments file of a local source: its name with .segments.json."""
    return os.path.splitext(source)[0] + SEGMENTS_SUFFIX


def file_bytes(entries):
    """A segments list as the file holds it: one segment a line, UTF-8."""
    lines = ",\n".join("  " + json.dumps(e, ensure_ascii=False) for e in entries)
    return f"[\n{lines}\n]\n".encode("utf-8")


def _version(data):
    return None if data is None else hashlib.sha256(data).hexdigest()


class Project:
    """The segments file ``segments`` (as the user named it) of the video
    ``duration`` seconds long (NaN: not known)."""

    def __init__(self, segments, duration):
        self.named = segments
        self.path = os.path.abspath(segments)
        self.folder = os.path.dirname(self.path)
        self.backup = self.path + BACKUP_SUFFIX
        self.draft = self.path + DRAFT_SUFFIX
        self.duration = duration
        self._lock = threading.Lock()

    # --- reading -----------------------------------------------------------------

    def _data(self):
        """The file's bytes, or None when there is none."""
        if not os.path.lexists(self.path):
            return None
        try:
            return read_text(self.path)
        except UsageError as e:
            raise Refused(e.problems, status=500) from None

    def version(self):
        return _version(self._data())

    def read(self):
        """{"exists", "version", "segments": the file's entries (empty where it
        holds none or cannot be decoded), "problems": why it cannot be read}."""
        data = self._data()
        if data is None:
            return {"exists": False, "version": None, "segments": [], "problems": []}
        try:
            entries = read_entries(self.path)
        except UsageError as e:
            return {"exists": True, "version": _version(data), "segments": [],
                    "problems": e.problems}
        return {"exists": True, "version": _version(data),
                "segments": entries if isinstance(entries, list) else [], "problems": []}

    # --- checking ----------------------------------------------------------------

    def check(self, entries):
        """What the command would say of this list as the segments file:
        {"problems": the list's own, "segments": per entry its problems,
        "seconds": per entry [start, end] where each reads as a time (else
        None), "lines": every message as the command prints it}."""
        if not isinstance(entries, list):
            problem = "the segments must be a JSON array"
            return {"problems": [problem], "segments": [], "seconds": [], "lines": [problem]}
        per_entry = entry_problems(entries)
        seconds = [[time_seconds(e.get(k)) for k in ("start", "end")] if isinstance(e, dict)
                   else [None, None] for e in entries]
        try:
            data = file_bytes(entries)
        except UnicodeEncodeError:
            problem = "a segment holds a lone UTF-16 surrogate, which is no character"
            return {"problems": [problem], "segments": per_entry, "seconds": seconds,
                    "lines": [problem]}
        if len(data) > MAX_BYTES:
            problem = f"the segments take more than {MAX_BYTES // 2**20} MiB"
            return {"problems": [problem], "segments": per_entry, "seconds": seconds,
                    "lines": [problem]}
        for found, entry in zip(per_entry, entries):
            if not found:
                segment = parse_segments(self.named, file_bytes([entry]))[0]
                if not segment.inside(self.duration, END_TOLERANCE):
                    found.append(outside_message(segment, self.duration))
        try:
            lines = segments_outside(parse_segments(self.named, data), self.duration)
        except UsageError as e:
            lines = e.problems
        return {"problems": [] if entries else lines, "segments": per_entry,
                "seconds": seconds, "lines": lines}

    # --- writing -----------------------------------------------------------------

    def save(self, entries, base, force=False):
        """Writes entries as the segments file, its old bytes kept as the
        backup first; Refused (nothing written) when they would not pass the
        command's checks, Conflict when the file is no longer at version
        ``base`` (None: there was none) and not ``force``. The new version."""
        checked = self.check(entries)
        if checked["lines"]:
            raise Refused(checked["lines"], checked=checked)
        data = file_bytes(entries)
        with self._lock:
            old = self._data()
            if _version(old) != base and not force:
                raise Conflict(self.named, _version(old), self.read()["segments"])
            try:
                if old is not None:
                    write_atomic(self.backup, old)
                write_atomic(self.path, data)
            except OSError as e:
                raise Refused([f"cannot write {self.named}: {e.strerror or e}"],
                              status=500) from None
            self._remove_draft()
        return _version(data)

    def keep_draft(self, entries, base):
        """Keeps the page's unsaved entries (checked or not) for the next edit."""
        data = json.dumps({"base": base, "saved": time.time(), "segments": entries},
                          ensure_ascii=False).encode("utf-8", "surrogatepass")
        with self._lock:
            try:
                write_atomic(self.draft, data)
            except OSError as e:
                raise Refused([f"cannot keep a draft beside {self.named}: {e.strerror or e}"],
                              status=500) from None

    def read_draft(self):
        """{"base", "saved", "segments"} of the draft, or None when there is
        none or it holds what the file holds."""
        try:
            with open(self.draft, "rb") as f:
                draft = json.loads(f.read(MAX_BYTES + 1).decode("utf-8", "surrogatepass"))
        except (OSError, ValueError):
            return None
        if not (isinstance(draft, dict) and isinstance(draft.get("segments"), list)):
            return None
        if draft["segments"] == self.read()["segments"]:
            return None
        return {"base": draft.get("base"), "saved": draft.get("saved"),
                "segments": draft["segments"]}

    def discard_draft(self):
        with self._lock:
            self._remove_draft()

    def _remove_draft(self):
        try:
            os.unlink(self.draft)
        except FileNotFoundError:
            pass

    # --- paths the page names ----------------------------------------------------

    def inside(self, relative, what):
        """The absolute path of ``relative`` inside the project's folder;
        Refused when it is not a relative path there (absolute, ``..``, a
        symbolic link on the way)."""
        if not isinstance(relative, str) or not relative.strip() or "\0" in relative:
            raise Refused([f"{what} must be a path relative to {self.folder}"])
        if os.path.isabs(relative) or relative.startswith("~"):
            raise Refused([f"{what} must be relative to the project folder {self.folder}, "
                           f"not {relative!r}"])
        parts = [p for p in relative.split("/") if p not in ("", ".")]
        if ".." in parts:
            raise Refused([f"{what} may not climb out of the project folder: {relative!r}"])
        here = self.folder
        for part in parts:
            here = os.path.join(here, part)
            if os.path.islink(here):
                raise Refused([f"{what} passes through a symbolic link: {relative!r}"])
        return here

    def add_job(self, jobs_file, job, check):
        """Appends ``job`` ({key: value}, its places relative to the
        project's folder) to the jobs file at ``jobs_file`` (inside the
        project), made if missing; ``check(path)`` reads a jobs file as
        ``clipweave batch`` does (UsageError). Nothing is written unless the
        whole file would pass. The job's number, from 1."""
        path = self.inside(jobs_file, "the jobs file")
        folder = os.path.dirname(path)
        job = {key: (os.path.relpath(os.path.join(self.folder, value), folder)
                     if key in ("segments", "output_dir", "music") else value)
               for key, value in job.items()}
        with self._lock:
            jobs = []
            if os.path.lexists(path):
                try:
                    with open(path, "rb") as f:
                        jobs = json.loads(f.read(MAX_BYTES + 1).decode("utf-8"))
                except (OSError, ValueError) as e:
                    raise Refused([f"jobs file {jobs_file} cannot be read as JSON: {e}"]) from None
                if not isinstance(jobs, list):
                    raise Refused([f"jobs file {jobs_file} is not a JSON array of jobs"])
            jobs.append(job)
            data = ("[\n" + ",\n".join("  " + json.dumps(j, ensure_ascii=False) for j in jobs)
                    + "\n]\n").encode("utf-8")
            if not os.path.isdir(folder):
                raise Refused([f"the folder of jobs file {jobs_file} does not exist"])
            # Checked as the batch reads it, beside where it goes (its places are relative).
            with tempfile.NamedTemporaryFile(dir=folder, prefix=PARTIAL_PREFIX,
                                             suffix=".json") as probe:
                probe.write(data)
                probe.flush()
                try:
                    check(probe.name)
                except UsageError as e:
                    raise Refused([p.replace(probe.name, jobs_file) for p in e.problems]) from None
            write_atomic(path, data)
        return len(jobs)
