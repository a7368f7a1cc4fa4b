"""What a batch tells its user: a line per change of a job, the summary, the JSON."""
import json
import sys
import threading

from clipweave.app.console import escaped

_lock = threading.Lock()


class Lines:
    """The batch's messages: to standard output, or to standard error when
    standard output carries the JSON (``--json``)."""

    def __init__(self, count, as_json):
        self.count = count
        self.as_json = as_json
        self.stream = sys.stderr if as_json else sys.stdout

    def job(self, job, text):
        with _lock:
            print(f"[{job.number}/{self.count}] {escaped(job.output_dir)}: {text}",
                  file=self.stream, flush=True)

    def note(self, text):
        """A line about the batch as a whole."""
        with _lock:
            print(f"batch: {escaped(text)}", file=self.stream, flush=True)

    def ended(self, job, result, seconds=None):
        took = "" if seconds is None else f" ({seconds:.1f} s)"
        if result["status"] in ("done", "skipped"):
            extra = f" {escaped(result['final'])}" if result["final"] else ""
            self.job(job, f"{result['status']}{took}{extra}")
        else:
            self.job(job, f"{result['status']}{took}: {escaped(result['error'] or '')}")

    def summary(self, results):
        counts = {}
        for result in results:
            counts[result["status"]] = counts.get(result["status"], 0) + 1
        parts = ", ".join(f"{n} {status}" for status, n in counts.items())
        with _lock:
            print(f"{len(results)} jobs: {parts}", file=self.stream, flush=True)
        if self.as_json:
            print(json.dumps([{key: r[key] for key in ("output_dir", "status", "final", "error")}
                              for r in results], ensure_ascii=False), flush=True)


def succeeded(results):
    return all(r["status"] in ("done", "skipped") for r in results)
