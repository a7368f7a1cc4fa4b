"""The jobs file of ``clipweave batch``: read and checked whole before any job runs.

A job is one ``clipweave SOURCE SEGMENTS`` run. Its keys are the options
the table (clipweave.model.options) lets a batch job set; each job becomes
the argument vector it stands for, parsed by the command's own parser and
checked by the command's own checks (clipweave.app.checks), so a job
refused here is one the command would refuse. A job of a queue is checked
the same way again by the worker that takes it (:meth:`Job.from_payload`).
"""
import hashlib
import json
import os
from dataclasses import dataclass

from clipweave.app.checks import problems_of
from clipweave.app.cli import build_parser
from clipweave.app.options import request_from
from clipweave.model.options import OPTIONS, PATH
from clipweave.model.segments import UsageError, load_segments

PLACE_KEYS = ("source", "segments", "output_dir")
# Decided by the batch as a whole, not by a job.
BATCH_KEYS = tuple(o.name for o in OPTIONS if not o.batch) + ("help", "version")
# Options whose value is a path: made absolute against the jobs file's folder.
PATH_KEYS = tuple(o.name for o in OPTIONS if o.kind == PATH)
MAX_FILE_BYTES = 16 * 1024 * 1024  # some 50,000 jobs
MAX_JOBS = 100_000
MAX_VALUE_CHARS = 4096  # a path's longest; no option's value is longer


@dataclass(frozen=True)
class Job:
    number: int  # 1-based, in file order
    source: str  # absolute path, or the URL
    segments: str  # absolute path
    output_dir: str  # absolute path
    options: tuple  # the option arguments, in the file's order
    base: str  # where the job runs: the jobs file's folder (None: any, every path is absolute)
    entry: tuple = ()  # the job as the file has it, places absolute: ((key, value), ...)

    def argv(self):
        """The arguments of ``clipweave`` that make this job."""
        return [self.source, self.segments, "--output-dir", self.output_dir, *self.options]

    def payload(self):
        """The job as a queue carries it: JSON data, never code."""
        return {"number": self.number, "entry": dict(self.entry)}

    @classmethod
    def from_payload(cls, data):
        """The job a queue carried, checked as a jobs file's job is (its
        paths must be absolute); UsageError listing every problem."""
        if not isinstance(data, dict) or set(data) != {"number", "entry"} \
                or type(data["number"]) is not int or data["number"] < 1:
            raise UsageError(["not a job: an object of number and entry"])
        job, problems = _check_job(data["entry"], data["number"], None, *_parser_and_options())
        if problems:
            raise UsageError(problems)
        return job

    def results(self):
        """The names of the files the job puts into its output directory."""
        return request_from(build_parser().parse_args(self.argv())).results()

    def local_paths(self):
        """Every file and folder the job reads or writes on this machine:
        {key: absolute path}."""
        entry = dict(self.entry)
        found = {} if is_url(self.source) else {"source": self.source}
        found.update(segments=self.segments, output_dir=self.output_dir)
        for key in PATH_KEYS:
            if key not in found and isinstance(entry.get(key), str):
                found[key] = entry[key]
        return found

    def inputs(self):
        """What the results depend on: the arguments, the segments' bytes and
        the size and time of the local source and of a file an option names
        (a video is too big to hash each time)."""
        source = {"url": self.source} if is_url(self.source) else _file_identity(self.source)
        with open(self.segments, "rb") as f:
            segments = hashlib.sha256(f.read()).hexdigest()
        found = {"source": source, "segments_sha256": segments, "options": list(self.options)}
        # A file an option names (the music): changed in place, the job is made again.
        entry = dict(self.entry)
        for key in PATH_KEYS:
            if key not in PLACE_KEYS and isinstance(entry.get(key), str) and os.path.isfile(entry[key]):
                found[key] = _file_identity(entry[key])
        return found


def is_url(text):
    return text.startswith(("http://", "https://"))


def _file_identity(path):
    st = os.stat(path)
    return {"path": path, "size": st.st_size, "mtime_ns": st.st_mtime_ns}


class _Refused(Exception):
    pass


def _refuse(message):
    raise _Refused(message)


def _parser_and_options():
    """The command's parser, its errors raised as _Refused, and {key: its
    action} of the options a job may set."""
    parser = build_parser()
    parser.error = _refuse  # its message becomes the job's problem, not an exit
    actions = {a.dest: a for a in parser._actions}  # argparse keeps no public list of them
    options = {o.name: actions[o.name] for o in OPTIONS if o.batch and o.name not in PLACE_KEYS}
    return parser, options


def _option_arguments(key, value, action):
    """The arguments standing for one job key, or raises _Refused."""
    flag = max(action.option_strings, key=len)
    if action.nargs == 0:
        if not isinstance(value, bool):
            raise _Refused(f"{key}: true or false, not {_shown(value)}")
        return [flag] if value else []
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise _Refused(f"{key}: a string or a number, not {_shown(value)}")
    return [f"{flag}={value}"]


def _shown(value):
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 60 else text[:57] + "..."


def _absolute(key, value, base, where, problems):
    """A path of the job made absolute against the jobs file's folder (for a
    queued job, ``base`` None: it must be absolute already)."""
    if base is None:
        if not os.path.isabs(value):
            problems.append(f"{where}: {key} is not an absolute path: {_shown(value)}")
            return None
        return os.path.normpath(value)
    return os.path.abspath(os.path.join(base, os.path.expanduser(value)))


def _check_job(entry, number, base, parser, options):
    """(Job or None, problems) for one entry of the file."""
    where = f"job {number}"
    if not isinstance(entry, dict):
        return None, [f"{where}: not an object"]
    problems = []
    checked = {}
    for key, value in entry.items():
        if isinstance(value, str) and len(value) > MAX_VALUE_CHARS:
            problems.append(f"{where}: {key} is {len(value):,} characters long (at most "
                            f"{MAX_VALUE_CHARS:,})")
            continue
        if key in PLACE_KEYS:
            if not isinstance(value, str) or not value:
                continue  # told below, with the missing ones
            checked[key] = value if key == "source" and is_url(value) else \
                _absolute(key, value, base, where, problems)
            continue
        action = options.get(key)
        if action is None:
            known = "the batch's own option" if key in BATCH_KEYS else "not a run option"
            shown = repr(key) if len(key) <= 60 else repr(key[:57] + "...")
            problems.append(f"{where}: unknown key {shown} ({known})")
            continue
        if key in PATH_KEYS and isinstance(value, str) and value:
            value = _absolute(key, value, base, where, problems)
        checked[key] = value
    for key in PLACE_KEYS:
        if key not in checked and not (isinstance(entry.get(key), str)
                                       and len(entry[key]) > MAX_VALUE_CHARS):
            problems.append(f"{where}: {key} is missing or not a non-empty string")
    if problems:
        return None, problems
    arguments = []
    for key, value in checked.items():
        if key in PLACE_KEYS:
            continue
        try:
            arguments += _option_arguments(key, value, options[key])
        except _Refused as e:
            problems.append(f"{where}: {e}")
    if problems:
        return None, problems
    job = Job(number, checked["source"], checked["segments"], checked["output_dir"],
              tuple(arguments), base, tuple(checked.items()))
    try:
        found = problems_of(request_from(parser.parse_args(job.argv())))
    except (_Refused, UsageError) as e:
        # The run's own checks need its options; its files are checked alone.
        found = e.problems if isinstance(e, UsageError) else [str(e)]
        found += _file_problems(job)
    problems += [f"{where}: {p}" for p in found]
    if os.path.lexists(job.output_dir) and not os.path.isdir(job.output_dir):
        problems.append(f"{where}: output_dir {job.output_dir} is not a directory")
    return (None if problems else job), problems


def _file_problems(job):
    """What is wrong with the job's source and segments files."""
    problems = []
    if not is_url(job.source) and not os.path.isfile(job.source):
        problems.append(f"source is neither an http(s) URL nor an existing file: {job.source}")
    try:
        load_segments(job.segments)
    except UsageError as e:
        problems += e.problems
    return problems


def load_jobs(path):
    """The jobs of a jobs file, in order; UsageError listing every problem."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except OSError as e:
        raise UsageError([f"jobs file {path}: {e.strerror or e}"]) from None
    if len(data) > MAX_FILE_BYTES:
        raise UsageError([f"jobs file {path} is larger than {MAX_FILE_BYTES // 2**20} MiB"])
    try:
        entries = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise UsageError([f"jobs file {path} is not UTF-8 JSON: {e}"]) from None
    except RecursionError:
        raise UsageError([f"jobs file {path} is not UTF-8 JSON: arrays or objects nested "
                          "too deeply"]) from None
    if not isinstance(entries, list) or not entries:
        raise UsageError([f"jobs file {path}: not a non-empty JSON array of jobs"])
    if len(entries) > MAX_JOBS:
        raise UsageError([f"jobs file {path} holds {len(entries):,} jobs (at most "
                          f"{MAX_JOBS:,})"])
    parser, options = _parser_and_options()
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
