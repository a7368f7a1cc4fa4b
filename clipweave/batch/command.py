"""``clipweave batch JOBS``: many recaps from one jobs file, on this machine
or through a Redis queue (``--queue``)."""
import argparse

from clipweave.app.console import PROG, Console
from clipweave.app.errors import ExitStatus
from clipweave.batch.jobs import load_jobs
from clipweave.batch.lines import Lines, succeeded
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

exit status: 0 every job done or skipped, 1 some job failed, 2 bad jobs file
or arguments (every problem listed, nothing run), 128+N ended by signal N
"""


def main(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} batch",
        description="Make many recaps, on this machine or on workers through a Redis queue.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("jobs_file", metavar="JOBS", help="the jobs file (JSON)")
    parser.add_argument("--json", action="store_true",
                        help="messages on standard error; standard output gets a JSON array, "
                             "one entry a job: output_dir, status, final, error")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="jobs at a time on this machine (default 1: a render uses every "
                             "core already)")
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="make every job again, replacing its results")
    parser.add_argument("--queue", metavar="URL",
                        help="put the jobs on the Redis queue at redis://HOST:PORT/DB and wait "
                             "for workers (clipweave worker) to run them")
    args = parser.parse_args(argv)
    console = Console("json" if args.json else "normal")
    if args.jobs < 1:
        parser.error("--jobs: at least 1")
    try:
        jobs = load_jobs(args.jobs_file)
    except UsageError as e:
        console.failure(e.problems, "check")
        return ExitStatus.USAGE
    lines = Lines(len(jobs), args.json)
    status = None
    if args.queue:
        from clipweave.batch.queue import open_queue

        try:
            queue = open_queue(args.queue)
        except ValueError as e:  # not a queue's URL
            console.failure([f"--queue {args.queue}: {e}"], "check")
            return ExitStatus.USAGE
        try:
            results = queue.wait(jobs, queue.enqueue(jobs, args.overwrite), lines)
        except KeyboardInterrupt:
            console.failure(["interrupted; the queued jobs go on, watch them with: "
                             + queue.watch_command], "interrupted")
            return ExitStatus.INTERRUPTED
        except queue.errors as e:
            console.failure([f"the queue at {args.queue}: {e}"], "queue")
            return ExitStatus.FAILED
    else:
        from clipweave.batch.local import run_local

        results, status = run_local(jobs, lines, args.jobs, args.overwrite)
    lines.summary(results)
    if status is not None:
        return status
    return ExitStatus.OK if succeeded(results) else ExitStatus.FAILED


def worker(argv):
    from clipweave.batch.worker import main as worker_main

    return worker_main(argv)


COMMANDS = {"batch": main, "worker": worker}
