"""clipweave.system.children, the one way the package runs a program, and
clipweave.system.files' place and link_or_copy: real processes, real files."""
import os
import signal
import subprocess
import threading
import time

import pytest

from clipweave.system import children, files


def gone(pid, within=5.0):
    """Whether the process pid has ended (a zombie counts) within that many seconds."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except (FileNotFoundError, ProcessLookupError):
            return True
        time.sleep(0.05)
    return False


def read_pid(path, within=5.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if path.exists() and path.read_text().strip():
            return int(path.read_text())
        time.sleep(0.02)
    raise AssertionError(f"no pid written to {path}")


# A shell that starts a grandchild, notes its pid, and waits for it.
def with_grandchild(pid_file):
    return ["sh", "-c", f'sleep 60 & echo $! > "{pid_file}"; wait']


def test_standard_input_is_dev_null():
    done = children.run(["sh", "-c", "readlink /proc/self/fd/0; cat; echo end"], capture=True,
                        timeout=10)
    assert done.stdout.decode().split() == ["/dev/null", "end"]


def test_input_bytes_are_its_standard_input():
    assert children.run(["cat"], input=b"-v it begins", capture=True).stdout == b"-v it begins"


def test_a_failure_keeps_only_the_last_lines_of_error_output():
    script = 'i=1; while [ $i -le 100 ]; do echo "line $i" >&2; i=$((i+1)); done; exit 3'
    with pytest.raises(children.ChildFailed) as info:
        children.run(["sh", "-c", script])
    error = info.value
    assert isinstance(error, subprocess.CalledProcessError) and error.returncode == 3
    assert error.stderr_tail == [f"line {i}" for i in range(81, 101)]
    assert len(error.stderr_tail) == children.STDERR_LINES
    assert error.stderr.splitlines() == error.stderr_tail


def test_an_unchecked_failure_is_returned():
    done = children.run(["sh", "-c", "echo why >&2; exit 4"], check=False)
    assert (done.returncode, done.stderr) == (4, "why")


def test_an_exception_in_the_block_kills_the_whole_group(tmp_path):
    pid_file = tmp_path / "pid"
    with pytest.raises(RuntimeError):
        with children.spawn(with_grandchild(pid_file)) as child:
            grandchild = read_pid(pid_file)
            raise RuntimeError("the caller gave up")
    assert child.process.returncode == -signal.SIGKILL
    assert gone(grandchild)
    assert children.live_children() == 0


def test_ctrl_c_while_waiting_kills_the_whole_group(tmp_path):
    pid_file = tmp_path / "pid"

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    saved = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.5)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            children.run(with_grandchild(pid_file), capture=True)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, saved)
    assert time.monotonic() - started < 10
    assert gone(read_pid(pid_file))
    assert children.live_children() == 0


def test_a_timeout_ends_a_child_that_holds_its_output_open():
    started = time.monotonic()
    with pytest.raises(subprocess.TimeoutExpired):
        children.run(["sh", "-c", "sleep 60"], capture=True, timeout=0.3)
    assert time.monotonic() - started < 10
    assert children.live_children() == 0


def test_stop_all_ends_the_children_of_other_threads():
    outcome = []

    def work():
        try:
            children.run(["sleep", "60"])
        except children.ChildFailed as e:
            outcome.append(e.returncode)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 10
    while children.live_children() < 3 and time.monotonic() < deadline:
        time.sleep(0.02)
    children.stop_all()
    for thread in threads:
        thread.join(10)
    assert outcome == [-signal.SIGKILL] * 3
    assert children.live_children() == 0


def test_a_missing_program_is_named():
    with pytest.raises(FileNotFoundError) as info:
        children.run(["clipweave-no-such-program"])
    assert info.value.filename == "clipweave-no-such-program"
    assert children.live_children() == 0


def test_ffmpeg_and_ffprobe_arguments_read_no_keyboard():
    assert children.ffmpeg("-i", 3)[:5] == ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel",
                                            "error"]
    assert children.ffmpeg("-i", 3)[-2:] == ["-i", "3"]
    done = children.run(children.ffprobe("-version"), capture=True)
    assert done.stdout.startswith(b"ffprobe version")


# --- place and link_or_copy --------------------------------------------------------

def test_place_renames(tmp_path):
    src, dest = tmp_path / "partial", tmp_path / "result"
    src.write_bytes(b"new")
    files.place(src, dest)
    assert dest.read_bytes() == b"new" and not src.exists()


@pytest.mark.parametrize("existing", ["file", "dangling link"])
def test_place_never_clobbers(tmp_path, existing):
    src, dest = tmp_path / "partial", tmp_path / "result"
    src.write_bytes(b"new")
    if existing == "file":
        dest.write_bytes(b"the user's")
    else:
        dest.symlink_to(tmp_path / "nowhere")
    with pytest.raises(FileExistsError):
        files.place(src, dest)
    assert src.read_bytes() == b"new"
    if existing == "file":
        assert dest.read_bytes() == b"the user's"
    else:
        assert os.readlink(dest) == str(tmp_path / "nowhere")


def test_place_replaces_only_when_asked(tmp_path):
    src, dest = tmp_path / "partial", tmp_path / "result"
    src.write_bytes(b"new")
    dest.write_bytes(b"old")
    files.place(src, dest, overwrite=True)
    assert dest.read_bytes() == b"new" and not src.exists()


def test_link_or_copy_keeps_the_source(tmp_path):
    src, dest = tmp_path / "entry", tmp_path / "copy"
    src.write_bytes(b"audio")
    files.link_or_copy(src, dest)
    assert src.read_bytes() == dest.read_bytes() == b"audio"
    with pytest.raises(FileExistsError):
        files.link_or_copy(src, dest)
