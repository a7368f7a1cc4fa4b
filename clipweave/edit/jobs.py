"""The editor's previews and renders: each a run of the command in a
process of its own (clipweave.edit.runner), followed through the progress
events the command's bar draws, cancellable.

One runner is kept ready ahead (its interpreter started, its modules
loaded), so a preview starts at once; the next is started as soon as a
job's render is written (what is left, its report, takes little), so that
a preview asked for right after the one before finds it ready.
A runner is started, followed and waited for by one thread that lives as
long as it does: a child dies with the thread that started it
(clipweave.system.children). A new preview cancels the one before it;
one render runs at a time.
"""
import json
import os
import secrets
import sys
import threading
import time

from clipweave.system import children

# States a job ends in.
ENDED = ("done", "failed", "cancelled")
_CANCEL_GRACE = 10.0  # seconds a cancelled run has to clean up before it is killed


# The current directory taken off the module path: the package installed
# for this interpreter runs, never a source tree there (the checkout, when
# clipweave edit runs from it as the README shows).
_BOOT = ("import sys; del sys.path[0]; from clipweave.edit.runner import main; "
         "sys.exit(main(sys.argv[1:]))")


class Job:
    """One run: ``kind`` "preview" or "render"; ``state`` "starting",
    "running", then one of ENDED; its progress as the command's bar has it."""

    def __init__(self, kind, label):
        self.id = secrets.token_hex(8)
        self.kind = kind
        self.label = label
        self.state = "starting"
        self.stage = None  # "narration", "probe", "render"
        self.fraction = 0.0
        self.speed = None
        self.left = None
        self.narrations = None  # (done, total)
        self.problems = []
        self.document = None  # the command's --json document
        self.status = None  # its exit status
        self.started = time.time()
        self.ended = None
        self.version = 0  # bumped at every change, for those who watch
        self.cancelled = False

    @property
    def file(self):
        """The finished video, once there is one."""
        return (self.document or {}).get("final") if self.state == "done" else None

    def as_json(self):
        return {"id": self.id, "kind": self.kind, "label": self.label, "state": self.state,
                "stage": self.stage, "fraction": round(self.fraction, 4), "speed": self.speed,
                "left": self.left, "narrations": self.narrations, "problems": self.problems,
                "file": self.file, "duration": (self.document or {}).get("duration"),
                "width": (self.document or {}).get("width"),
                "height": (self.document or {}).get("height"),
                "notes": [s.get("note") for s in (self.document or {}).get("segments", [])
                          if s.get("note")],
                "started": self.started, "ended": self.ended, "version": self.version}

    def take(self, line):
        """One line of the runner's output."""
        if "event" in line:
            if line["event"] == "narration":
                self.stage, self.narrations = "narration", [line["done"], line["total"]]
            else:
                self.stage, self.fraction = line["event"], line.get("fraction", self.fraction)
                self.speed, self.left = line.get("speed"), line.get("left")
        elif "error" in line:
            # The command's --json joins its problems into one line; it is shown whole.
            self.problems = [str(line["error"])]
        else:
            self.document = line
        self.version += 1


class _Runner:
    """One runner process and the thread that owns it."""

    def __init__(self, folder, on_end, on_rendered):
        self.order = os.path.join(folder, f"order-{secrets.token_hex(6)}.json")
        self.job = None
        self.child = None
        self._given = threading.Event()
        self._started = threading.Event()
        self._on_end = on_end
        self._on_rendered = on_rendered
        self._thread = threading.Thread(target=self._life, name="editor-runner", daemon=True)
        self._thread.start()
        self._started.wait()

    def _life(self):
        argv = [sys.executable, "-c", _BOOT, self.order]
        try:
            self.child = children.spawn(argv, stdout=children.PIPE)
        except OSError as e:
            self.child = None
            self._started.set()
            self._given.wait()
            if self.job is not None:
                self._end(["cannot start a run: " + (e.strerror or str(e))], None)
            return
        self._started.set()
        with self.child:
            self._given.wait()
            if self.job is None:  # stopped before any job
                self.child.kill()
                return
            for raw in self.child.stdout:
                try:
                    line = json.loads(raw)
                except ValueError:
                    continue
                if isinstance(line, dict):
                    rendered = self.job.stage == "done"
                    self.job.take(line)
                    if self.job.state == "starting":
                        self.job.state = "running"
                    if not rendered and self.job.stage == "done":
                        self._on_rendered()
            status = self.child.wait(check=False)
            tail = self.child.stderr_tail
        problems = self.job.problems or ([tail[-1]] if tail else [f"the run ended with status {status}"])
        self._end(problems, status)

    def _end(self, problems, status):
        job = self.job
        job.status = status
        if job.cancelled:
            job.state = "cancelled"
        elif status == 0 and job.document and job.document.get("final"):
            job.state = "done"
        else:
            job.state, job.problems = "failed", problems
        job.ended = time.time()
        job.version += 1
        try:
            os.unlink(self.order)
        except FileNotFoundError:
            pass
        self._on_end(self)

    def give(self, job, argv, scale):
        """Hands the runner its job (None: end without one)."""
        self.job = job
        if job is not None:
            partial = self.order + ".part"
            with open(partial, "w", encoding="utf-8") as f:
                json.dump({"argv": argv, "scale": scale}, f)
            os.replace(partial, self.order)
        self._given.set()

    def alive(self):
        return self.child is not None and self.child.poll() is None

    def cancel(self, grace=_CANCEL_GRACE):
        if self.child is not None and self.child.poll() is None:
            self.child.terminate(grace)

    def join(self, timeout=None):
        self._thread.join(timeout)


class Jobs:
    """Every job of the session, by id; runs go in ``folder``."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self._jobs = {}
        self._running = {}  # job id -> _Runner
        self._ready = None  # the runner kept ready
        self._lock = threading.Lock()
        self._closed = False

    def warm(self):
        """Makes a runner ready ahead, unless one is."""
        with self._lock:
            if self._closed or (self._ready is not None and self._ready.alive()):
                return
            self._ready = _Runner(self.folder, self._ended, self.warm)

    def _ended(self, runner):
        with self._lock:
            if runner.job is not None:
                self._running.pop(runner.job.id, None)
        if runner.job is not None:
            self.warm()

    def get(self, job_id):
        return self._jobs.get(job_id)

    def all(self):
        return list(self._jobs.values())

    def running(self, kind):
        return [j for j in self._jobs.values() if j.kind == kind and j.state not in ENDED]

    def start(self, kind, label, argv, scale=1):
        """A new Job running ``argv`` (the command's arguments)."""
        job = Job(kind, label)
        with self._lock:
            if self._closed:
                raise RuntimeError("the editor is stopping")
            runner, self._ready = self._ready, None
            if runner is None or not runner.alive():
                runner = _Runner(self.folder, self._ended, self.warm)
            self._jobs[job.id] = job
            self._running[job.id] = runner
        runner.give(job, argv, scale)
        return job

    def cancel(self, job_id):
        """Asks the job's run to stop; it is "cancelled" once it has."""
        job = self._jobs.get(job_id)
        with self._lock:
            runner = self._running.get(job_id)
        if job is None or runner is None or job.state in ENDED:
            return job
        job.cancelled = True
        job.version += 1
        threading.Thread(target=runner.cancel, name="editor-cancel", daemon=True).start()
        return job

    def close(self):
        """Stops every run, and the runner kept ready."""
        with self._lock:
            self._closed = True
            ready, self._ready = self._ready, None
            running = list(self._running.values())
        for runner in running:
            if runner.job is not None:
                runner.job.cancelled = True
            runner.cancel(grace=2.0)
        if ready is not None:
            ready.give(None, None, 1)
        for runner in running + ([ready] if ready is not None else []):
            runner.join(_CANCEL_GRACE)
