"""``clipweave worker``: runs the jobs of a batch queue, on any machine that
sees the jobs' files at the same paths. How the queue hands out, watches
and hands back jobs is the queue's (clipweave.batch.queue)."""
import argparse
import os
import socket
import sys

from clipweave.app.console import PROG
from clipweave.batch.queue import open_queue


def main(argv):
    parser = argparse.ArgumentParser(
        prog=f"{PROG} worker",
        description="Run the recaps of a batch queue (clipweave batch JOBS --queue URL) until "
                    "stopped: SIGTERM or Ctrl-C once finishes the running job, twice hands it "
                    "back to the queue. Every machine must see the jobs' files at the same "
                    "paths.")
    parser.add_argument("--queue", required=True, metavar="URL",
                        help="the Redis holding the queue, redis://HOST:PORT/DB")
    parser.add_argument("--burst", action="store_true",
                        help="stop when the queue is empty")
    parser.add_argument("--name", help="the worker's name, unique on the queue (default: "
                                       "HOST.PID)")
    args = parser.parse_args(argv)
    try:
        queue = open_queue(args.queue)
    except ValueError as e:
        return _unreachable(args.queue, e)
    try:
        queue.check()
    except queue.errors as e:
        return _unreachable(args.queue, e)
    queue.serve(args.name or f"{socket.gethostname()}.{os.getpid()}", burst=args.burst)
    return 0


def _unreachable(url, error):
    print(f"{PROG} worker: cannot reach the queue at {url}: {error}", file=sys.stderr, flush=True)
    return 2
