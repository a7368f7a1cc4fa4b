"""The jobs file of ``clipweave batch``: read and checked whole before any job runs.

A job is one ``clipweave SOURCE SEGMENTS`` run. Its keys are the options
the table (clipweave.model.options) lets a batch job set; they are checked
by the command's own parser (each job becomes the argument vector it
stands for), with the same checks as on the command line.
"""
import argparse
import hashlib
import json
import os
from dataclasses import dataclass

from clipweave.app.cli import build_parser
from clipweave.app.options import request_from
from clipweave.model.options import OPTIONS
from clipweave.model.segments import UsageError, load_segments

PLACE_KEYS = ("source", "segments", "output_dir")
# Decided by the batch as a whole, not by a job.
BATCH_KEYS = tuple(o.name for o in OPTIONS if not o.batch) + ("help", "version")


@dataclass(frozen=True)
class Job:
    number: int  # 1-based, in file order
    source: str  # absolute path, or the URL
    segments: str  # absolute path
    output_dir: str  # absolute path
    options: tuple  # the option arguments, in the file's order
    base: str  # the jobs file's folder: where the job runs

    def argv(self):
        """The arguments of ``clipweave`` that make this job."""
        return [self.source, self.segments, "--output-dir", self.output_dir, *self.options]

    def to_dict(self):
        return {"number": self.number, "source": self.source, "segments": self.segments,
                "output_dir": self.output_dir, "options": list(self.options), "base": self.base}

    @classmethod
    def from_dict(cls, data):
        return cls(data["number"], data["source"], data["segments"], data["output_dir"],
                   tuple(data["options"]), data["base"])

    def results(self):
        """The names of the files the job puts into its output directory."""
        return request_from(build_parser().parse_args(self.argv())).results()

    def inputs(self):
        """What the results depend on: the arguments, the segments' bytes and
        the local source's size and time (a video is too big to hash each time)."""
        source = {"url": self.source} if is_url(self.source) else _file_identity(self.source)
        with open(self.segments, "rb") as f:
            segments = hashlib.sha256(f.read()).hexdigest()
        return {"source": source, "segments_sha256": segments, "options": list(self.options)}


def is_url(text):
    return text.startswith(("http://", "https://"))


def _file_identity(path):
    st = os.stat(path)
    return {"path": path, "size": st.st_size, "mtime_ns": st.st_mtime_ns}


class _Refused(Exception):
    pass


def _refuse(message):
    raise _Refused(message)


def _long_options(parser):
    """{dest: action} of the command's options that a job may set."""
    actions = {a.dest: a for a in parser._actions}  # argparse keeps no public list of them
    return {o.name: actions[o.name] for o in OPTIONS if o.batch and o.name not in PLACE_KEYS}


def _option_arguments(key, value, action):
    """The arguments standing for one job key, or raises _Refused."""
    flag = max(action.option_strings, key=len)
    if action.nargs == 0:
        if not isinstance(value, bool):
            raise _Refused(f"{key}: true or false, not {json.dumps(value)}")
        return [flag] if value else []
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise _Refused(f"{key}: a string or a number, not {json.dumps(value)}")
    return [f"{flag}={value}"]


def _place(entry, key, base, problems, where):
    value = entry.get(key)
    if not isinstance(value, str) or not value:
        problems.append(f"{where}: {key} is missing or not a non-empty string")
        return None
    if key == "source" and is_url(value):
        return value
    return os.path.abspath(os.path.join(base, os.path.expanduser(value)))


def _check_job(entry, number, base, parser, options):
    """(Job or None, problems) for one entry of the file."""
    where = f"job {number}"
    if not isinstance(entry, dict):
        return None, [f"{where}: not an object"]
    problems = []
    places = {key: _place(entry, key, base, problems, where) for key in PLACE_KEYS}
    arguments = []
    for key, value in entry.items():
        if key in PLACE_KEYS:
            continue
        action = options.get(key)
        if action is None:
            known = "the batch's own option" if key in BATCH_KEYS else "not a run option"
            problems.append(f"{where}: unknown key {key!r} ({known})")
            continue
        try:
            arguments += _option_arguments(key, value, action)
        except _Refused as e:
            problems.append(f"{where}: {e}")
    if problems:
        return None, problems
    job = Job(number, places["source"], places["segments"], places["output_dir"],
              tuple(arguments), base)
    try:
        request_from(parser.parse_args(job.argv()))
    except _Refused as e:
        problems.append(f"{where}: {e}")
    except UsageError as e:
        problems += [f"{where}: {p}" for p in e.problems]
    if not is_url(job.source) and not os.path.isfile(job.source):
        problems.append(f"{where}: source {job.source} is not a file")
    try:
        load_segments(job.segments)
    except UsageError as e:
        problems += [f"{where}: {p}" for p in e.problems]
    except OSError as e:
        problems.append(f"{where}: segments {job.segments}: {e.strerror or e}")
    if os.path.lexists(job.output_dir) and not os.path.isdir(job.output_dir):
        problems.append(f"{where}: output_dir {job.output_dir} is not a directory")
    return (None if problems else job), problems


def load_jobs(path):
    """The jobs of a jobs file, in order; UsageError listing every problem."""
    try:
        with open(path, "rb") as f:
            entries = json.loads(f.read().decode("utf-8"))
    except OSError as e:
        raise UsageError([f"jobs file {path}: {e.strerror or e}"]) from None
    except (UnicodeDecodeError, ValueError) as e:
        raise UsageError([f"jobs file {path} is not UTF-8 JSON: {e}"]) from None
    if not isinstance(entries, list) or not entries:
        raise UsageError([f"jobs file {path}: not a non-empty JSON array of jobs"])
    parser = build_parser()
    parser.error = _refuse  # its message becomes the job's problem, not an exit
    options = _long_options(parser)
    base = os.path.dirname(os.path.abspath(path))
    jobs, problems, owners = [], [], {}
    for number, entry in enumerate(entries, 1):
        job, found = _check_job(entry, number, base, parser, options)
        problems += found
        if job is None:
            continue
        key = os.path.realpath(job.output_dir)
        if key in owners:
            problems.append(f"job {number}: output_dir {job.output_dir} is also job "
                            f"{owners[key]}'s")
        owners.setdefault(key, number)
        jobs.append(job)
    if problems:
        raise UsageError(problems)
    return jobs
