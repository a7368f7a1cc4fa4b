"""``clipweave edit SOURCE [SEGMENTS]``: the editor, a page in the browser
served from this machine.

The source is prepared as a run prepares it (a local file used in place,
a URL fetched through the cache), then the server starts and the page
opens; the browser copy, waveform, thumbnails and shot cuts are made in
the background while the page waits for them. Ctrl-C (or SIGTERM, SIGHUP)
stops the server and every run it started, removes the session's scratch
folder and ends with 128 + the signal (130 for Ctrl-C).
"""
import argparse
import os
import secrets
import shutil
import subprocess
import sys
import tempfile
import threading

from clipweave.app.backend_swap import BackendSwap
from clipweave.app.checks import check_timeout, choose
from clipweave.app.console import PROG, Console, escaped
from clipweave.app.errors import ExitStatus, UnusableSource, failure
from clipweave.app.guard import guarded
from clipweave.app.offline_speech import who_speaks
from clipweave.app.options import add_option, add_settings, add_source_options, default_downloader
from clipweave.app.request import RunRequest
from clipweave.app.sources import is_url
from clipweave.app.stage import Stage
from clipweave.edit.project import SEGMENTS_SUFFIX, Project, default_segments
from clipweave.model import options as table
from clipweave.model.segments import UsageError
from clipweave.system import children
from clipweave.system.probe import video_info

# The run options the edit command takes besides the settings and the
# source's: every run of the session is given them.
SESSION_OPTIONS = ("cache_dir", "no_cache", "timeout")
_SOURCE_FILE = "source.mp4"

EPILOG = f"""\
SEGMENTS defaults to SOURCE's name with {SEGMENTS_SUFFIX} (movie.mp4: movie{SEGMENTS_SUFFIX}),
made on the first save; a URL source needs it named. Saving keeps the file's
previous version as SEGMENTS.bak; unsaved work is kept as SEGMENTS.draft and
offered back by the next edit of the same file. Renders go into folders
inside SEGMENTS' folder; "Add to batch" appends to a jobs file there.

The page and its API answer only with the token of the printed address
(docs/editor.md). Ctrl-C stops the editor (exit status 130).
"""


def build_parser():
    parser = argparse.ArgumentParser(
        prog=f"{PROG} edit",
        description="Pick the ranges and write the narrations on the video itself, in the "
                    "browser: a page served from this machine, with previews and renders.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", metavar="SOURCE", help="a local video file or an http(s) URL")
    parser.add_argument("segments", metavar="SEGMENTS", nargs="?",
                        help=f"the segments file (default: SOURCE's name with {SEGMENTS_SUFFIX})")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=int, default=0,
                        help="the port to listen on (default: a free one)")
    parser.add_argument("--no-browser", action="store_true",
                        help="print the page's address without opening a browser")
    add_source_options(parser)
    add_settings(parser)
    for name in SESSION_OPTIONS:
        add_option(parser, table.option(name))
    return parser


def run_arguments(args):
    """The flags of every run of the session: the edit command's own run options."""
    argv = []
    names = [o.name for o in table.in_group(table.SOURCE) + table.in_group(table.SETTINGS)]
    for name in names + list(SESSION_OPTIONS):
        option, value = table.option(name), getattr(args, name)
        if option.kind == table.FLAG:
            argv += [option.flag] if value else []
        elif value is not None and value != option.default:
            argv.append(f"{option.flag}={value}")
    return argv


def _open_browser(url):
    """Opens url in the user's browser where there is a desktop to show it;
    false where there is none (a terminal browser would take the terminal)."""
    opener = "open" if sys.platform == "darwin" else "xdg-open"
    if not (sys.platform == "darwin" or os.environ.get("DISPLAY")
            or os.environ.get("WAYLAND_DISPLAY")) or shutil.which(opener) is None:
        return False

    def run():
        try:
            children.run([opener, url], stdout=children.DEVNULL, timeout=60, check=False)
        except (OSError, subprocess.SubprocessError):
            pass

    threading.Thread(target=run, name="browser", daemon=True).start()
    return True


_SESSION_PREFIX = "clipweave-edit-"
_OWNER = ".pid"  # in a session's folder: the editor's process id


def _session_folder():
    """A scratch folder for this session, marked with our process id; the
    folders of sessions that were killed outright (their editor is gone)
    are removed first."""
    scratch = tempfile.gettempdir()
    for entry in os.scandir(scratch):
        if not entry.name.startswith(_SESSION_PREFIX) or not entry.is_dir(follow_symlinks=False):
            continue
        try:
            if entry.stat(follow_symlinks=False).st_uid != os.geteuid():
                continue
            with open(os.path.join(entry.path, _OWNER), encoding="ascii") as f:
                pid = int(f.read())
        except (OSError, ValueError):
            continue  # not a session's, or one just being made
        if not _is_editor(pid):
            shutil.rmtree(entry.path, ignore_errors=True)
    folder = tempfile.mkdtemp(prefix=_SESSION_PREFIX)
    with open(os.path.join(folder, _OWNER), "w", encoding="ascii") as f:
        f.write(str(os.getpid()))
    return folder


def _is_editor(pid):
    """Whether pid is a running clipweave (a pid may be reused by another program)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"clipweave" in f.read()
    except OSError:
        return False


def _problems(args):
    problems = check_timeout(args.timeout)
    if not 0 <= args.port <= 65535:
        problems.append(f"--port must be from 0 to 65535, got {args.port}")
    segments = os.path.abspath(args.segments)
    if os.path.isdir(segments):
        problems.append(f"segments file is a directory: {args.segments}")
    elif not os.path.isdir(os.path.dirname(segments)):
        problems.append(f"the folder of segments file {args.segments} does not exist")
    elif os.path.lexists(segments) and not os.access(segments, os.R_OK):
        problems.append(f"segments file {args.segments} cannot be read")
    return problems


def main(argv):
    args = build_parser().parse_args(argv)
    console = Console(progress_to_stderr=True)
    if args.segments is None:
        if is_url(args.source):
            console.failure([f"a URL source needs its segments file named: {PROG} edit "
                             "URL SEGMENTS"], "check")
            return ExitStatus.USAGE
        args.segments = default_segments(args.source)
    request = RunRequest(source=args.source, segments=args.segments, voice=args.voice,
                         speech=args.speech, downloader=args.downloader or default_downloader(),
                         download_service=args.download_service,
                         speech_service=args.speech_service, cache_dir=args.cache_dir,
                         use_cache=not args.no_cache, timeout=args.timeout)
    look = _look_ahead(args.source)
    folder = _session_folder()
    stage = Stage()
    try:
        with BackendSwap() as backends:
            return _edit(args, request, backends, console, folder, stage, look)
    except (Exception, KeyboardInterrupt) as e:  # noqa: BLE001 - each has its line
        failed = failure(e, stage)
        console.failure(failed.problems, failed.stage)
        return failed.status
    finally:
        children.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


def _look_ahead(source):
    """video_info of a local source, asked now in a thread of its own (ffprobe
    works on the other core while the server's libraries load): a function
    that waits for its answer, None where there was none to ask."""
    if is_url(source) or not os.path.isfile(source):
        return lambda: None
    found = {}
    thread = threading.Thread(target=lambda: found.update(answer=video_info(source)),
                              name="source-look", daemon=True)
    thread.start()

    def answer():
        thread.join()
        return found.get("answer")

    return answer


def _edit(args, request, backends, console, folder, stage, look):
    from clipweave.edit import api, server  # the server's libraries: not for every command
    from clipweave.edit.jobs import Jobs
    from clipweave.edit.media import Media
    from clipweave.edit.narrations import Narrations

    parts, problems = choose(request, backends, console)
    problems += _problems(args)
    for note in parts.notes:
        console.say(note)
    if problems:
        raise UsageError(problems)
    backends.bind("requests", parts.requests)
    backends.bind_children(args.timeout)
    source_file = parts.source.kept() if not is_url(args.source) else None
    looked = look() if source_file is not None else None
    if source_file is None:
        stage.enter("download")
        # The module's messages go where a run's progress goes: standard output
        # holds the page's address alone.
        with guarded(parts.calls.stop), console.capture():
            source_file = os.path.join(folder, _SOURCE_FILE)
            parts.source.fetch(source_file)
    # One look at the source: whether it is a video, and what the page shows of it.
    problem, info = looked or video_info(source_file)
    if problem is not None:
        raise UnusableSource([f"source is not a usable video ({problem}): {parts.source.label}"])
    stage.enter("check")
    sock = server.listen(args.host, args.port)
    token = secrets.token_urlsafe(24)
    project = Project(args.segments, info.duration)
    media = Media(source_file, info, parts.cache, os.path.join(folder, "media"))
    session = api.Session(
        source_label=os.path.abspath(args.source) if not is_url(args.source) else args.source,
        source_file=source_file, info=info, project=project, media=media,
        narrations=Narrations(request, backends, console, os.path.join(folder, "speech")),
        jobs=Jobs(os.path.join(folder, "jobs")), settings=parts.settings,
        speaker=who_speaks(parts.settings), run_arguments=run_arguments(args), folder=folder)
    port = sock.getsockname()[1]
    app = api.make_app(session, token, args.host, port)
    media.start()
    url = f"{server.address_of(sock, args.host)}/?token={token}"
    console.say(f"editing {escaped(args.segments)} of {escaped(args.source)}; Ctrl-C stops")
    print(url, flush=True)
    if not args.no_browser and not _open_browser(url):
        console.say("open the address above in your browser")
    try:
        signum = server.serve(app, sock, session.stopping.set)
    finally:
        session.stopping.set()
        session.jobs.close()
        media.stop()
        sock.close()
    console.say("the editor stopped")
    return ExitStatus.of_signal(signum)
