"""A soak: a hundred small recaps through the queue while its workers die.

Three workers on this machine take the jobs of one batch (2 s pattern
sources, offline speech, --quality fast, four kinds of job) from a loopback
redis-server that keeps every write (--appendonly yes). Every 15 to 25 s one
worker, busy or not, is killed with SIGKILL and a new one started in its
place: its whole process tree on odd kills (a machine lost), the worker's
own process alone on even ones (its work horse then stops the render and
hands the job back). Once half the jobs are done, Redis itself is killed and
started again after a few seconds. Then it checks, and fails (exit 1) when
one does not hold:

  * every job ends done exactly once: the batch says so once for each, and
    each job's video was published once (its file never replaced while the
    soak watched) and is byte for byte the video a single run of the same job
    makes (one single run for each kind of job, with the same cache);
  * nothing is left in the jobs' work directories, and no ffmpeg of the soak
    is still running;
  * the wall time is within 1.5 times the same batch with the same workers
    and no kills (run first, into another folder);
  * no entry of the shared cache (filled by the single runs) was made again
    or replaced.

    .venv/py310/bin/python bench/soak.py [--jobs 100] [--kills N] [--json]

--kills N stops killing after N kills, --kill-every MIN MAX sets the seconds
between them (the tests run 20 jobs and 2 kills, early, so that the lost
job's wait overlaps the others' renders);
--no-baseline skips the batch without kills, and the wall time's check.
"""
import argparse
import contextlib
import hashlib
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

from batch_support import (RedisServer, clipweave, kill_tree, make_job,  # noqa: E402
                           start_clipweave, work_dirs, write_jobs)

WORKERS = 3
KILL_EVERY = (15.0, 25.0)
REDIS_DOWN = 5.0
WALL_GOAL = 1.5
KINDS = [  # what the jobs differ by, besides their files
    {},
    {"captions": "phrases", "speed": 1.25},
    {"frame": "crop", "aspect": "1:1"},
    {"captions": "none", "fit": "range", "bed_volume": "off"},
]


def make_jobs(folder, count):
    """The soak's jobs file in folder: count jobs of the kinds in turn, each
    with a source of its own (the same picture, so a kind's videos agree)."""
    jobs = []
    for n in range(count):
        kind = n % len(KINDS)
        job = make_job(folder, f"kind{kind}", ranges=((0.2, 1.0), (1.1, 1.9)), **KINDS[kind])
        jobs.append({**job, "output_dir": f"out/{n:03d}"})
    return write_jobs(folder, jobs), jobs


def digest(path):
    """The file's sha256, or None when it is not there."""
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except FileNotFoundError:
        return None


def cache_entries(root):
    """{path: (inode, mtime_ns)} of the shared cache's entries and their data."""
    found = {}
    for path in (root / "cache" / "clipweave").glob("*/*"):
        if not path.name.startswith("."):
            st = path.stat()
            found[str(path)] = (st.st_ino, st.st_mtime_ns)
    return found


def single_runs(folder, env):
    """{kind: sha256 of the video} of one single run of each kind of job."""
    found = {}
    for kind, options in enumerate(KINDS):
        job = make_job(folder, f"kind{kind}", ranges=((0.2, 1.0), (1.1, 1.9)), **options)
        argv = [job.pop("source"), job.pop("segments"), "--output-dir",
                f"single/{job.pop('output_dir').split('/')[-1]}"]
        for key, value in job.items():
            argv += [f"--{key.replace('_', '-')}={value}"]
        done = clipweave(*argv, "-q", cwd=folder, env=env)
        if done.returncode != 0:
            raise SystemExit(f"a single run failed:\n{done.stderr}")
        found[kind] = digest(done.stdout.strip())
    return found


class Workers:
    """The soak's workers: started, killed and replaced."""

    def __init__(self, folder, url, env):
        self.folder, self.url, self.env = folder, url, env
        self.running = []
        self.started = 0
        self.logs = []

    def start(self):
        self.started += 1
        process = start_clipweave("worker", "--queue", self.url, "--name", f"w{self.started}",
                                  cwd=self.folder, env=self.env)
        self.running.append(process)
        self._drain(process)
        return process

    def _drain(self, process):
        def read():
            for line in process.stderr:
                self.logs.append(line)
        threading.Thread(target=read, daemon=True).start()

    def kill(self, rng, whole_tree):
        victim = rng.choice(self.running)
        self.running.remove(victim)
        if whole_tree:
            kill_tree(victim.pid)
        else:
            victim.kill()
        victim.wait()
        self.start()

    def stop(self):
        for process in self.running:
            process.send_signal(signal.SIGTERM)
        for process in self.running:
            try:
                process.wait(timeout=120)
            except subprocess.TimeoutExpired:
                kill_tree(process.pid)
                process.wait()


def published(folder, count):
    """{job: (inode, mtime_ns)} of the videos there now."""
    found = {}
    for n in range(count):
        with contextlib.suppress(FileNotFoundError):
            st = os.stat(folder / "out" / f"{n:03d}" / "FINAL_RECAP.mp4")
            found[n] = (st.st_ino, st.st_mtime_ns)
    return found


def soak(folder, count, kills, env, every=KILL_EVERY, seed=28):
    """Runs the batch under the kills and the restart; its figures."""
    rng = random.Random(seed)
    path, _ = make_jobs(folder, count)
    figures = {"kills": 0, "replaced": 0, "restart": None}
    with RedisServer(folder, "--appendonly", "yes") as server:
        workers = Workers(folder, server.url, env)
        for _ in range(WORKERS):
            workers.start()
        began = time.monotonic()
        batch = start_clipweave("batch", path, "--queue", server.url, "--json", cwd=folder,
                                env=env)
        out = {}
        reader = threading.Thread(target=lambda: out.update(zip(("stdout", "stderr"),
                                                                batch.communicate())),
                                  daemon=True)
        reader.start()
        seen = {}
        next_kill = began + rng.uniform(*every)
        try:
            while batch.poll() is None:
                time.sleep(0.5)
                now = published(folder, count)
                for n, identity in now.items():
                    if seen.setdefault(n, identity) != identity:
                        figures["replaced"] += 1
                        seen[n] = identity
                if figures["restart"] is None and len(now) >= count // 2:
                    server.kill()
                    down = time.monotonic()
                    time.sleep(REDIS_DOWN)
                    server.start()
                    figures["restart"] = {"at_done": len(now),
                                          "down": time.monotonic() - down}
                if figures["kills"] < kills and time.monotonic() >= next_kill:
                    figures["kills"] += 1
                    workers.kill(rng, whole_tree=figures["kills"] % 2 == 1)
                    next_kill = time.monotonic() + rng.uniform(*every)
            reader.join(timeout=60)
            figures["wall"] = time.monotonic() - began
        finally:
            batch.kill()
            workers.stop()
    figures.update(batch=batch.returncode, stdout=out.get("stdout", ""),
                   stderr=out.get("stderr", ""), logs="".join(workers.logs))
    # What happened, to read when a check fails.
    (folder / "batch.log").write_text(figures["stderr"])
    (folder / "workers.log").write_text(figures["logs"])
    return figures


def baseline(folder, count, env):
    """Seconds of the same batch with the same workers and nothing killed."""
    path, _ = make_jobs(folder, count)
    with RedisServer(folder, "--appendonly", "yes") as server:
        workers = Workers(folder, server.url, env)
        for _ in range(WORKERS):
            workers.start()
        began = time.monotonic()
        done = clipweave("batch", path, "--queue", server.url, cwd=folder, env=env,
                         timeout=3600)
        seconds = time.monotonic() - began
        workers.stop()
    if done.returncode != 0:
        raise SystemExit(f"the batch without kills failed:\n{done.stderr[-3000:]}")
    return seconds


def soak_ffmpeg(folder):
    """ffmpeg processes still running on the soak's files."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
            if os.path.basename(argv[0]) == b"ffmpeg" and str(folder).encode() in b" ".join(argv):
                found.append(int(pid))
    return found


def check(folder, count, figures, singles, base, cached):
    """The soak's findings: (problems, figures to print); ``cached``: the
    cache's entries (cache_entries) before the soak and after."""
    problems = []
    remade = sorted(os.path.basename(p) for p, identity in cached[0].items()
                    if cached[1].get(p) != identity)
    if remade:
        problems.append(f"cache entries made again or replaced: {remade}")
    if figures["batch"] != 0:
        problems.append(f"the batch ended with exit status {figures['batch']}")
    try:
        outcomes = json.loads(figures["stdout"])
    except ValueError:
        outcomes = []
        problems.append("the batch printed no outcomes")
    statuses = [o["status"] for o in outcomes]
    if statuses != ["done"] * count:
        problems.append(f"not every job done: {sorted(set(statuses))}, {len(statuses)} jobs")
    said = [line for line in figures["stderr"].splitlines() if ": done " in line]
    if len(said) != count or len({line.split(":")[0] for line in said}) != count:
        problems.append(f"{len(said)} lines of done for {count} jobs")
    if figures["replaced"]:
        problems.append(f"{figures['replaced']} videos published again")
    differ = [n for n in range(count)
              if digest(folder / "out" / f"{n:03d}" / "FINAL_RECAP.mp4") != singles[n % len(KINDS)]]
    if differ:
        problems.append(f"{len(differ)} videos differ from a single run's: jobs {differ[:10]}")
    left = [n for n in range(count) if work_dirs(folder / "out" / f"{n:03d}")]
    if left:
        problems.append(f"work directories left in jobs {left[:10]}")
    running = soak_ffmpeg(folder)
    if running:
        problems.append(f"ffmpeg still running: {running}")
    if "Traceback" in figures["logs"]:
        problems.append("a worker printed a traceback")
    starts = figures["stderr"].count(": started on ")
    # Every start of a job but its first is a run started again.
    started = {line.split(": started on ")[0] for line in figures["stderr"].splitlines()
               if ": started on " in line}
    shown = {"jobs": count, "workers": WORKERS, "kills": figures["kills"],
             "runs started": starts, "runs started again": starts - len(started),
             "redis restart": figures["restart"], "wall": round(figures["wall"], 1),
             "videos published again": figures["replaced"],
             "videos unlike a single run's": len(differ),
             "cache entries made again": len(remade)}
    if base is not None:
        shown["wall without kills"] = round(base, 1)
        shown["ratio"] = round(figures["wall"] / base, 3)
        if figures["wall"] > WALL_GOAL * base:
            problems.append(f"wall time {figures['wall']:.0f} s is more than {WALL_GOAL:g} "
                            f"times {base:.0f} s")
    return problems, shown


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=100)
    parser.add_argument("--kills", type=int, default=1000, help="at most this many kills")
    parser.add_argument("--kill-every", type=float, nargs=2, default=KILL_EVERY,
                        metavar=("MIN", "MAX"), help="seconds between kills (default %(default)s)")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--json", action="store_true", help="the figures as JSON")
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep it")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="clipweave-soak-") as scratch:
        root = pathlib.Path(args.keep or scratch)
        root.mkdir(parents=True, exist_ok=True)
        # One cache for every run, as on a farm's shared storage.
        env = dict(os.environ, XDG_CACHE_HOME=str(root / "cache"))
        (root / "soak").mkdir(exist_ok=True)
        singles = single_runs(root / "soak", env)
        before = cache_entries(root)
        base = None
        if not args.no_baseline:
            (root / "calm").mkdir(exist_ok=True)
            base = baseline(root / "calm", args.jobs, env)
        figures = soak(root / "soak", args.jobs, args.kills, env, args.kill_every)
        problems, shown = check(root / "soak", args.jobs, figures, singles, base,
                                (before, cache_entries(root)))
    if args.json:
        print(json.dumps({**shown, "problems": problems}))
    else:
        for key, value in shown.items():
            print(f"| {key} | {value} |")
        for problem in problems:
            print(f"soak: {problem}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
