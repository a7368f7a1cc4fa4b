"""``clipweave batch JOBS``: many recaps from one jobs file, on this machine
or through a Redis queue (``--queue``)."""
import argparse
import json
import math
import sys

from clipweave.app.console import PROG, Console
from clipweave.app.errors import ExitStatus
from clipweave.batch.jobs import load_jobs
from clipweave.batch.lines import Lines, succeeded
from clipweave.batch.queue import QueueError
from clipweave.batch.redis_url import redacted
from clipweave.batch.worker import add_queue_options
from clipweave.model.segments import UsageError

EPILOG = """\
JOBS is a UTF-8 JSON array, one object a recap:
  [{"source": "a.mp4", "segments": "a.json", "output_dir": "out/a", "speech": "espeak-ng"},
   {"source": "b.mp4", "segments": "b.json", "output_dir": "out/b", "speed": 1.25}]
source, segments and output_dir (relative to the jobs file's folder) and any
option of "clipweave SOURCE SEGMENTS" by its long name with underscores. Each
job is that command, in its own output directory, with the shared cache;
FINAL_RECAP.job.json beside its results records what made them, so a job
made before from the same inputs and options is skipped (unless -y).

With --queue URL the jobs go on a Redis queue that workers on any machine
take them from (clipweave worker); --queue URL --status lists its jobs.

exit status: 0 every job done or skipped, 1 some job failed (or the queue was
lost), 2 bad jobs file or arguments (every problem listed, nothing run), or a
queue that refused (a wrong password), 128+N ended by signal N
"""


LOST_WAIT = 300.0  # seconds a batch waits for a lost queue


def main(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} batch",
        description="Make many recaps, on this machine or on workers through a Redis queue.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("jobs_file", metavar="JOBS", nargs="?", help="the jobs file (JSON)")
    parser.add_argument("--json", action="store_true",
                        help="messages on standard error; standard output gets a JSON array, "
                             "one entry a job: output_dir, status, final, error")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="jobs at a time on this machine (default 1: a render uses every "
                             "core already)")
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="make every job again, replacing its results")
    add_queue_options(parser, "put the jobs on the Redis queue there and wait for workers "
                              "(clipweave worker) to run them")
    parser.add_argument("--timeout", type=float, metavar="SECONDS",
                        help="with --queue: how long to wait for a queue that was lost before "
                             f"giving the jobs up (default {LOST_WAIT:g}; a job's own "
                             "timeout goes in the jobs file)")
    parser.add_argument("--status", action="store_true",
                        help="with --queue and no JOBS: list the queue's jobs by state")
    args = parser.parse_args(argv)
    console = Console("json" if args.json else "normal")
    if args.jobs < 1:
        parser.error("--jobs: at least 1")
    if args.timeout is not None and not args.queue:
        parser.error("--timeout is how long a batch waits for a lost queue: it needs --queue "
                     "(a job's own timeout goes in the jobs file)")
    if args.timeout is not None and not (math.isfinite(args.timeout) and args.timeout > 0):
        parser.error("--timeout: a number of seconds above 0")
    if args.status:
        if not args.queue or args.jobs_file:
            parser.error("--status lists a queue's jobs: give --queue URL and no JOBS")
        return _status(args, console)
    if not args.jobs_file:
        parser.error("the following arguments are required: JOBS")
    try:
        jobs = load_jobs(args.jobs_file)
    except UsageError as e:
        console.failure(e.problems, "check")
        return ExitStatus.USAGE
    lines = Lines(len(jobs), args.json)
    status = None
    if args.queue:
        queue = _open(args, console)
        if queue is None:
            return ExitStatus.USAGE
        try:
            queue.check()
            results = queue.wait(jobs, queue.enqueue(jobs, args.overwrite), lines,
                                 args.timeout or LOST_WAIT)
        except KeyboardInterrupt:
            console.failure(["interrupted; the queued jobs go on, watch them with: "
                             + queue.watch_command], "interrupted")
            return ExitStatus.INTERRUPTED
        except QueueError as e:
            console.failure([str(e)], "queue")
            return ExitStatus.USAGE if e.refused else ExitStatus.FAILED
    else:
        from clipweave.batch.local import run_local

        results, status = run_local(jobs, lines, args.jobs, args.overwrite)
    lines.summary(results)
    if status is not None:
        return status
    return ExitStatus.OK if succeeded(results) else ExitStatus.FAILED


def _open(args, console):
    """The queue of --queue, or None (told) when the URL names none."""
    from clipweave.batch.queue import open_queue

    try:
        return open_queue(args.queue, args.queue_ca)
    except ValueError as e:
        console.failure([f"--queue {redacted(args.queue)}: {e}"], "check")
        return None


def _status(args, console):
    """--status: the queue's jobs, a line each (or a JSON array), by state."""
    queue = _open(args, console)
    if queue is None:
        return ExitStatus.USAGE
    try:
        listed = queue.status()
    except QueueError as e:
        console.failure([str(e)], "queue")
        return ExitStatus.USAGE if e.refused else ExitStatus.FAILED
    stream = sys.stderr if args.json else sys.stdout
    counts = {}
    for item in listed:
        counts[item["state"]] = counts.get(item["state"], 0) + 1
        detail = {"started": f"on {item['worker']} (try {item['try']})",
                  "finished": item["outcome"], "failed": item["error"],
                  "queued": f"try {item['try']}" if (item["try"] or 1) > 1 else ""}
        extra = detail[item["state"]] or item["error"] or ""
        print(f"{item['state']:<8}  {item['output_dir'] or '?'}  {item['id']}"
              + (f"  {extra}" if extra else ""), file=stream)
    parts = ", ".join(f"{n} {state}" for state, n in counts.items()) or "none"
    print(f"{queue.shown}: {len(listed)} jobs: {parts}", file=stream, flush=True)
    if args.json:
        print(json.dumps(listed, ensure_ascii=False), flush=True)
    return ExitStatus.OK


def worker(argv):
    from clipweave.batch.worker import main as worker_main

    return worker_main(argv)


COMMANDS = {"batch": main, "worker": worker}
