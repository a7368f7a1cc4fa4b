"""``clipweave worker``: runs the jobs of a batch queue, on any machine that
sees the jobs' files at the same paths, inside the folders it is given. How
the queue hands out, watches and hands back jobs is the queue's
(clipweave.batch.queue)."""
import argparse
import os
import socket
import sys

from clipweave.app.console import PROG
from clipweave.app.errors import ExitStatus
from clipweave.batch.queue import QueueError, serve
from clipweave.batch.queued_job import real_roots
from clipweave.batch.redis_url import PASSWORD_VARIABLE, redacted

def add_queue_options(parser, what):
    """--queue and --queue-ca, shared with clipweave batch."""
    parser.add_argument("--queue", metavar="URL",
                        help=f"{what}: redis://[USER[:PASSWORD]@]HOST:PORT/DB, or rediss:// for "
                             f"TLS (a password left out of the URL is taken from "
                             f"${PASSWORD_VARIABLE}, out of the list of processes)")
    parser.add_argument("--queue-ca", metavar="FILE",
                        help="the certificate authority that signed a rediss:// queue's "
                             "certificate, when it is not one this machine trusts")


def main(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} worker",
        description="Run the recaps of a batch queue (clipweave batch JOBS --queue URL) until "
                    "stopped: SIGTERM or Ctrl-C once finishes the running job, twice hands it "
                    "back to the queue. Every machine must see the jobs' files at the same "
                    "paths; a job that names a path outside the worker's --root folders is "
                    "refused.")
    add_queue_options(parser, "the Redis holding the queue")
    parser.add_argument("--root", action="append", metavar="DIR",
                        help="a folder the worker may read sources and segments from and "
                             "write results into; repeatable (default: the current directory)")
    parser.add_argument("--burst", action="store_true",
                        help="stop when the queue is empty")
    parser.add_argument("--name", help="the worker's name, unique on the queue (default: "
                                       "HOST.PID)")
    args = parser.parse_args(argv)
    if not args.queue:
        parser.error("--queue URL is required")
    try:
        roots = real_roots(args.root or [os.getcwd()])
    except ValueError as e:
        parser.error(str(e))
    try:
        serve(args.queue, args.queue_ca, args.name or f"{socket.gethostname()}.{os.getpid()}",
              roots, burst=args.burst)
    except ValueError as e:  # not a queue's URL
        return _refused(f"--queue {redacted(args.queue)}: {e}")
    except QueueError as e:
        return _refused(f"cannot {'use' if e.refused else 'reach'} {e}")
    return ExitStatus.OK


def _refused(message):
    print(f"{PROG} worker: {message}", file=sys.stderr, flush=True)
    return ExitStatus.USAGE
