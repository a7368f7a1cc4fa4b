"""The editor's HTTP API and the page, on Starlette (docs/editor.md lists
every route).

Every body is JSON, read whole and checked before anything is done: a
field the route does not know or of the wrong type is refused with 400,
every problem listed (``{"problems": [...]}``); segments by the command's
own checks; options by the command's own parser; a path the page names
must lie inside the project's folder. Work that waits (files, speech,
ffprobe) runs in Starlette's thread pool.
"""
import asyncio
import hashlib
import json
import os
import re
import secrets
import threading
from dataclasses import dataclass, field

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from clipweave import __version__
from clipweave.batch.jobs import load_jobs
from clipweave.edit import form
from clipweave.edit.guard import SMALL_BODY, Guard
from clipweave.edit.jobs import ENDED
from clipweave.edit.project import MAX_SEGMENTS, Refused, file_bytes
from clipweave.edit.suggest import suggest
from clipweave.model.segments import MAX_BYTES

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_STATIC_NAME = re.compile(r"[a-z0-9][a-z0-9-]*\.(html|css|js|svg)")
_TYPES = {"html": "text/html; charset=utf-8", "css": "text/css; charset=utf-8",
          "js": "text/javascript; charset=utf-8", "svg": "image/svg+xml"}
# The preview's frame: the output's sizes divided by this (360x640 for 9:16).
PREVIEW_SCALE = 3
# Options a preview takes from the panel: how it looks and sounds, not where it goes.
_NOT_PREVIEWED = ("output_dir", "overwrite", "classic", "quality")
_RANGE = re.compile(r"bytes=(\d*)-(\d*)")
_CHUNK = 256 * 1024
# Seconds between looks at a job that is watched: a preview that is done is
# known this much later at most (a look is a comparison of two numbers).
_EVENT_PAUSE = 0.05
# Seconds from the page's first request to a runner made ready for its
# previews: the runner's interpreter loading the render's modules would take
# a core from the browser while it shows the copy's first frame.
WARM_AFTER = 2.0
# Bodies that carry a whole segments list: a segments file's most, and room around it.
LIMITS = {path: MAX_BYTES + SMALL_BODY
          for path in ("/api/segments", "/api/check", "/api/draft", "/api/preview",
                       "/api/suggestions")}


@dataclass
class Session:
    """What one ``clipweave edit`` works with."""

    source_label: str  # as the user gave it: a path or a URL
    source_file: str  # the video on this machine
    info: object  # its MediaInfo
    project: object  # Project
    media: object  # Media
    narrations: object  # Narrations
    jobs: object  # Jobs
    settings: dict  # {name: Setting} in effect
    speaker: object  # who speaks
    run_arguments: list  # flags every run of the session takes (the edit command's own)
    folder: str  # the session's scratch folder
    stopping: threading.Event = field(default_factory=threading.Event)
    previews: dict = field(default_factory=dict)  # key of segments and options -> job id


# --- bodies ------------------------------------------------------------------------

def _is_text(v):
    return None if isinstance(v, str) else "a string"


def _is_list(v):
    if not isinstance(v, list):
        return "an array"
    return None if len(v) <= MAX_SEGMENTS else f"an array of at most {MAX_SEGMENTS} items"


def _is_object(v):
    return None if isinstance(v, dict) else "an object"


def _is_flag(v):
    return None if isinstance(v, bool) else "true or false"


def _is_version(v):
    return None if v is None or (isinstance(v, str) and re.fullmatch(r"[0-9a-f]{64}", v)) \
        else "null or the version the segments were read at"


def _is_index(v):
    return None if v is None or (isinstance(v, int) and not isinstance(v, bool) and v >= 0) \
        else "null or a segment's index from 0"


def _is_short_text(v):
    return None if v is None or (isinstance(v, str) and len(v) <= 200) \
        else "null or a string of at most 200 characters"


async def _body(request, fields):
    """The request's JSON object, checked: ``fields`` {name: (check, required)};
    Refused listing every problem."""
    kind = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if kind != "application/json":
        raise Refused(["the body must be JSON (Content-Type: application/json)"], status=415)
    raw = await request.body()
    try:
        value = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as e:
        raise Refused([f"the body is not UTF-8 (byte {e.start})"]) from None
    except ValueError as e:
        raise Refused([f"the body is not valid JSON: {e}"]) from None
    except RecursionError:
        raise Refused(["the body is not valid JSON: nested too deeply"]) from None
    if not isinstance(value, dict):
        raise Refused(["the body must be a JSON object"])
    problems = [f"unknown field {name!r}" for name in value if name not in fields]
    for name, (check, required) in fields.items():
        if name not in value:
            if required:
                problems.append(f"missing field {name!r}")
            continue
        wrong = check(value[name])
        if wrong:
            problems.append(f"{name} must be {wrong}")
    if problems:
        raise Refused(problems)
    return value


def _refused(e):
    return JSONResponse({"problems": e.problems, **e.details}, status_code=e.status)


def handled(endpoint):
    """An endpoint whose Refused becomes its answer."""
    async def answer(request):
        try:
            return await endpoint(request)
        except Refused as e:
            return _refused(e)

    return answer


# --- files -------------------------------------------------------------------------

def ranged(request, path, media_type):
    """The file at path, or the byte range the request asks for (a player
    seeks by asking for ranges)."""
    if path is None or not os.path.isfile(path):
        return JSONResponse({"problems": ["not found"]}, status_code=404)
    size = os.path.getsize(path)
    match = _RANGE.fullmatch(request.headers.get("range", "").strip())
    if match is None or match.groups() == ("", ""):
        return FileResponse(path, media_type=media_type, headers={"accept-ranges": "bytes"})
    first, last = match.groups()
    if first == "":
        start, end = max(0, size - int(last)), size - 1
    else:
        start, end = int(first), min(size - 1, int(last)) if last else size - 1
    if start >= size or start > end:
        return Response(status_code=416, headers={"content-range": f"bytes */{size}"})

    def chunks():
        with open(path, "rb") as f:
            f.seek(start)
            left = end - start + 1
            while left > 0:
                block = f.read(min(_CHUNK, left))
                if not block:
                    return
                left -= len(block)
                yield block

    return StreamingResponse(chunks(), status_code=206, media_type=media_type, headers={
        "accept-ranges": "bytes", "content-range": f"bytes {start}-{end}/{size}",
        "content-length": str(end - start + 1)})


def _static_files():
    """{name: (bytes, type)} of the page's files, read once."""
    files = {}
    for name in sorted(os.listdir(STATIC)):
        match = _STATIC_NAME.fullmatch(name)
        path = os.path.join(STATIC, name)
        if match and os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as f:
                files[name] = (f.read(), _TYPES[match.group(1)])
    return files


# --- the app -----------------------------------------------------------------------

def make_app(session, token, host, port):
    """The editor's ASGI app, behind its guard."""
    s = session
    static = _static_files()

    def segments_state():
        read = s.project.read()
        return {"path": s.project.named, "folder": s.project.folder, **read,
                "checked": s.project.check(read["segments"]),
                "draft": s.project.read_draft()}

    async def page(request):
        content, kind = static["index.html"]
        return Response(content, media_type=kind)

    async def static_file(request):
        found = static.get(request.path_params["name"])
        if found is None:
            return JSONResponse({"problems": ["not found"]}, status_code=404)
        return Response(found[0], media_type=found[1], headers={"cache-control": "no-cache"})

    async def project(request):
        # The page is here: a preview may come soon, once the page is shown.
        asyncio.get_running_loop().call_later(WARM_AFTER, s.jobs.warm)
        info = s.info
        rate = info.rate[0] / info.rate[1] if info.rate and info.rate[1] else None
        return JSONResponse({
            "version": __version__,
            "source": {"label": s.source_label, "name": os.path.basename(s.source_label.rstrip("/")),
                       "duration": info.duration, "width": info.width, "height": info.height,
                       "rate": rate, "has_audio": info.has_audio},
            "segments": await run_in_threadpool(segments_state),
            "options": [{**f, "note": f"a folder inside {s.project.folder}"} if f["name"] == "output_dir"
                        else f for f in form.fields(s.settings, s.speaker)],
            "speech": {"engine": s.speaker.engine, "voice": s.speaker.voice},
            "media": s.media.status(), "strip": s.media.value("strip"),
            "preview": {"scale": PREVIEW_SCALE}})

    async def media_status(request):
        return JSONResponse({"media": s.media.status(), "strip": s.media.value("strip"),
                             "cuts": s.media.value("cuts")})

    async def copy(request):
        ready = s.media.parts["copy"].state == "ready"
        return ranged(request, s.media.copy if ready else None, "video/mp4")

    async def strip(request):
        ready = s.media.value("strip") is not None
        return ranged(request, s.media.strip if ready else None, "image/jpeg")

    async def waveform(request):
        found = s.media.value("waveform")
        if found is None:
            return JSONResponse({"problems": ["the waveform is not ready"]}, status_code=404)
        return Response(found["peaks"], media_type="application/octet-stream",
                        headers={"x-peaks-rate": str(found["rate"])})

    async def speech(request):
        name = request.path_params["name"]
        path = s.narrations.path(name[:-4]) if name.endswith(".mp3") else None
        return ranged(request, path, "audio/mpeg")

    @handled
    async def segments(request):
        if request.method == "GET":
            return JSONResponse(await run_in_threadpool(segments_state))
        body = await _body(request, {"segments": (_is_list, True), "base": (_is_version, True),
                                     "force": (_is_flag, False)})
        version = await run_in_threadpool(s.project.save, body["segments"], body["base"],
                                          body.get("force", False))
        return JSONResponse({"version": version, "path": s.project.named,
                             "backup": s.project.backup if os.path.exists(s.project.backup)
                             else None})

    @handled
    async def check(request):
        body = await _body(request, {"segments": (_is_list, True)})
        return JSONResponse(await run_in_threadpool(s.project.check, body["segments"]))

    @handled
    async def draft(request):
        if request.method == "DELETE":
            await run_in_threadpool(s.project.discard_draft)
            return Response(status_code=204)
        body = await _body(request, {"segments": (_is_list, True), "base": (_is_version, True)})
        await run_in_threadpool(s.project.keep_draft, body["segments"], body["base"])
        return Response(status_code=204)

    @handled
    async def speak(request):
        body = await _body(request, {"text": (_is_text, True), "voice": (_is_short_text, False),
                                     "speech": (_is_short_text, False)})
        speech = body.get("speech")
        if speech is not None and speech not in form.table.option("speech").choices:
            raise Refused([f"speech must be one of {', '.join(form.table.option('speech').choices)}"])
        spoken = await run_in_threadpool(s.narrations.speak, body["text"], speech, body.get("voice"))
        return JSONResponse({**spoken, "audio": f"/media/speech/{spoken['key']}.mp3"})

    @handled
    async def suggestions(request):
        body = await _body(request, {"segments": (_is_list, True)})
        if s.media.value("cuts") is None or s.media.value("motion") is None:
            return JSONResponse({"ready": False, "ranges": []})
        checked = await run_in_threadpool(s.project.check, body["segments"])
        taken = [(a, b) for a, b in checked["seconds"] if a is not None and b is not None]
        wave = s.media.value("waveform") or {"peaks": b"", "rate": 100}
        motion = s.media.value("motion")
        ranges = suggest(s.info.duration, s.media.value("cuts"), wave["peaks"], wave["rate"],
                         motion["values"], motion["rate"], taken)
        return JSONResponse({"ready": True, "ranges": ranges})

    def output_dir(options):
        relative = options.pop("output_dir", None)
        return s.project.inside("." if relative is None else relative, "output_dir")

    def inside_project(options):
        """The panel's options with the music, like every path the page
        names, made a path inside the project's folder (Refused if not)."""
        if options.get("music") is not None:
            options = dict(options, music=s.project.inside(options["music"], "music"))
        return options

    def saved_segments():
        """The segments file as saved, if the command would take it."""
        read = s.project.read()
        if not read["exists"]:
            raise Refused([f"{s.project.named} is not saved yet: save the segments first"])
        lines = read["problems"] or s.project.check(read["segments"])["lines"]
        if lines:
            raise Refused(lines)

    @handled
    async def preview(request):
        body = await _body(request, {"segments": (_is_list, True), "segment": (_is_index, False),
                                     "options": (_is_object, False)})
        entries = body["segments"]
        if body.get("segment") is not None:
            if body["segment"] >= len(entries):
                raise Refused([f"segment must be an index of the segments, below {len(entries)}"])
            entries = [entries[body["segment"]]]
        checked = await run_in_threadpool(s.project.check, entries)
        if checked["lines"]:
            raise Refused(checked["lines"], checked=checked)
        options = {k: v for k, v in (body.get("options") or {}).items() if k not in _NOT_PREVIEWED}
        arguments, problems = form.arguments(inside_project(options))
        if problems:
            raise Refused(problems)
        data = file_bytes(entries)
        made = hashlib.sha256(json.dumps([data.decode("utf-8"), arguments]).encode()).hexdigest()
        earlier = s.jobs.get(s.previews.get(made, ""))
        if earlier is not None and earlier.state not in ("failed", "cancelled") \
                and (earlier.state != "done" or os.path.isfile(earlier.file)):
            return JSONResponse(earlier.as_json(), status_code=200)
        for job in s.jobs.running("preview"):
            s.jobs.cancel(job.id)
        folder = os.path.join(s.folder, "previews", secrets.token_hex(8))
        await run_in_threadpool(_fresh_folder, folder, data)
        # From the browser copy where it is made: 480 lines are plenty for a
        # third of the frame, and decode several times faster than the source.
        source = s.media.copy if s.media.parts["copy"].state == "ready" else s.source_label
        argv = [source, os.path.join(folder, "segments.json"), "--output-dir",
                os.path.join(folder, "out"), "--json", "-y", *s.run_arguments, *arguments,
                "--quality", "fast"]
        label = "the whole short" if body.get("segment") is None else f"segment {body['segment'] + 1}"
        job = s.jobs.start("preview", label, argv, scale=PREVIEW_SCALE)
        s.previews[made] = job.id
        return JSONResponse(job.as_json(), status_code=202)

    async def run_of(body):
        """(the panel's options, the output directory, the command's
        arguments) of a render's or a batch job's body, the saved segments
        checked; Refused otherwise."""
        options = inside_project(dict(body.get("options") or {}))
        out = output_dir(options)
        arguments, problems = form.arguments(options)
        if problems:
            raise Refused(problems)
        await run_in_threadpool(saved_segments)
        return options, out, arguments

    @handled
    async def render(request):
        body = await _body(request, {"options": (_is_object, False)})
        _, out, arguments = await run_of(body)
        if s.jobs.running("render"):
            raise Refused(["a render is running; cancel it or wait for it"], status=409)
        argv = [s.source_label, s.project.path, "--output-dir", out, "--json", *s.run_arguments,
                *arguments]
        job = s.jobs.start("render", os.path.relpath(out, s.project.folder), argv)
        return JSONResponse(job.as_json(), status_code=202)

    @handled
    async def batch(request):
        body = await _body(request, {"jobs_file": (_is_text, False), "options": (_is_object, False)})
        options, out, _ = await run_of(body)
        job = {"source": s.source_label,
               "segments": os.path.relpath(s.project.path, s.project.folder),
               "output_dir": os.path.relpath(out, s.project.folder), **form.batch_job(options)}
        jobs_file = body.get("jobs_file") or "jobs.json"
        number = await run_in_threadpool(s.project.add_job, jobs_file, job, load_jobs)
        return JSONResponse({"jobs_file": os.path.join(s.project.folder, jobs_file),
                             "job": number, "command": f"clipweave batch {jobs_file}"})

    async def jobs(request):
        return JSONResponse({"jobs": [j.as_json() for j in s.jobs.all()]})

    def job_of(request):
        job = s.jobs.get(request.path_params["id"])
        if job is None:
            raise Refused(["no such job"], status=404)
        return job

    @handled
    async def job(request):
        found = job_of(request)
        if request.method == "DELETE":
            found = s.jobs.cancel(found.id)
        return JSONResponse(found.as_json())

    @handled
    async def job_events(request):
        found = job_of(request)

        async def stream():
            seen = -1
            while True:
                if found.version != seen:
                    seen = found.version
                    yield f"data: {json.dumps(found.as_json())}\n\n"
                if found.state in ENDED or s.stopping.is_set():
                    return
                await asyncio.sleep(_EVENT_PAUSE)

        return StreamingResponse(stream(), media_type="text/event-stream",
                                 headers={"cache-control": "no-store"})

    @handled
    async def job_file(request):
        return ranged(request, job_of(request).file, "video/mp4")

    routes = [
        Route("/", page), Route("/static/{name}", static_file),
        Route("/media/copy.mp4", copy), Route("/media/strip.jpg", strip),
        Route("/media/waveform", waveform), Route("/media/speech/{name}", speech),
        Route("/api/project", project), Route("/api/media", media_status),
        Route("/api/segments", segments, methods=["GET", "PUT"]),
        Route("/api/check", check, methods=["POST"]),
        Route("/api/draft", draft, methods=["PUT", "DELETE"]),
        Route("/api/speak", speak, methods=["POST"]),
        Route("/api/suggestions", suggestions, methods=["POST"]),
        Route("/api/preview", preview, methods=["POST"]),
        Route("/api/render", render, methods=["POST"]),
        Route("/api/batch", batch, methods=["POST"]),
        Route("/api/jobs", jobs),
        Route("/api/jobs/{id}", job, methods=["GET", "DELETE"]),
        Route("/api/jobs/{id}/events", job_events),
        Route("/api/jobs/{id}/file", job_file),
    ]
    return Guard(Starlette(routes=routes), token, host, port, LIMITS)


def _fresh_folder(folder, segments_data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "segments.json"), "wb") as f:
        f.write(segments_data)
