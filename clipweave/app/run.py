"""One recap run from the command line: checks, workspace, backends, the module.

Everything that can be known before the download is checked first
(:mod:`clipweave.app.checks`). The run then works in a private directory
inside the output directory, with the chosen backends bound into the
extension module; right after the download, before any narration is asked
for, every segment must lie inside the video. A failure ends the run with
one line naming its stage and the exit status :mod:`clipweave.app.errors`
gives it; Ctrl-C, SIGTERM and SIGHUP stop the running child and end the
run; only finished results are moved into the output directory.
"""
import os
import shutil

from clipweave.app.checks import check
from clipweave.app.console import Console, StudioProgress, escaped, mute_stdout
from clipweave.app.errors import ExitStatus, OutsideVideo, Terminated, UnusableSource, failure
from clipweave.app.framing import FramingAnalysis, followed, render_frames
from clipweave.app.guard import guarded
from clipweave.app.backend_swap import BackendSwap
from clipweave.app.narration import NarrationError, kept_levels, narration_file, speak_all
from clipweave.app.report import report
from clipweave.app.request import CAPTIONS, FINAL, HORIZONTAL
from clipweave.app.stage import Stage
from clipweave.app.workspace import Workspace
from clipweave.model.segments import UsageError, segments_outside
from clipweave.studio import ClipPlaces, render_studio, spoken_text
from clipweave.system import children
from clipweave.system.files import link_or_copy
from clipweave.system.probe import video_check

# The downloaded or linked source in the work directory (the exact pipeline's name).
SOURCE_FILE = "movie.mp4"
# The settings that say how the studio's captions look, and its music.
LOOK_SETTINGS = ("caption_style", "caption_position", "highlight", "accent", "safe_area", "music",
                 "music_volume")


class Run:
    """One run of a RunRequest: :meth:`perform` checks, makes, publishes
    and reports it, the studio render's way or (``classic``) the exact
    pipeline's."""

    def __init__(self, request, console):
        self.request = request
        self.console = console
        self.backends = BackendSwap()
        self.stage = Stage()
        self.parts = None  # the Checked parts
        self.studio = None  # the studio render's result
        self.framing = None  # per segment, its shots' framing (--frame follow, auto)

    def perform(self):
        """ExitStatus.OK with the result printed; raises what ended the run otherwise."""
        r = self.request
        self.parts = check(r, self.backends, self.console)
        for note in self.parts.notes:
            self.console.say(note)
        workspace = Workspace(r.output_dir, r.results(), r.overwrite, r.keep_work)
        work = workspace.prepare()
        self.stage.enter("run")
        refused = False
        with guarded(self.parts.calls.stop):
            try:
                with self.backends, self.console.capture(self.shown(work, workspace)):
                    produced = self.make(work)
                published = workspace.publish(produced)
            except UsageError:  # a refusal leaves nothing it made behind
                refused = True
                raise
            finally:
                if r.keep_work:
                    self.console.say(f"work directory kept: {escaped(work)}")
                workspace.close(refused)
        document = report(self.parts.segments, self.parts.narrator.seconds, work, published,
                          None if r.classic else self.studio, self.framing)
        self.console.result(published[FINAL], document)
        return ExitStatus.OK

    def shown(self, work, workspace):
        """What the module's messages name in place of the work directory's
        files, which are gone when the run ends: the results' places (the
        exact pipeline's), and for the source the file it stays in (its
        published copy, its cache entry, the user's own file), or nothing."""
        r = self.request
        names = {}
        if r.classic:
            names = {os.path.join(work, name): workspace.target(name) for name in r.results()}
        source = os.path.join(work, SOURCE_FILE)
        kept = workspace.target(r.keep_source) if r.keep_source else self.parts.source.kept()
        if kept is None:
            names[": " + source] = ""  # "✅ Download complete", naming no file
        else:
            names[source] = kept
        return names

    def make(self, work):
        """Makes the recap in the work directory; {result name: path} of what it made."""
        self.backends.bind("requests", self.parts.requests)
        self.backends.bind_children(self.request.timeout)
        if self.request.module_time is not None:
            self.backends.bind("time", self.request.module_time(self.backends.saved("time")))
        produced = self.make_classic(work) if self.request.classic else self.make_studio(work)
        if self.request.keep_source:
            produced = {self.request.keep_source: os.path.join(work, self.request.keep_source),
                        **produced}
        return produced

    def halt(self):
        """Stops the work in flight: every child, every service call."""
        children.stop_all()
        self.parts.calls.stop()

    def fetch_source(self, output_file):
        """The download step: the chosen source at output_file, then every
        segment's place in it checked before any narration is asked for."""
        self.parts.source.fetch(output_file)
        problem, duration = video_check(output_file)
        if problem is not None:
            raise UnusableSource([f"source is not a usable video ({problem}): "
                                  f"{self.parts.source.label}"])
        problems = segments_outside(self.parts.segments, duration)
        if problems:
            raise OutsideVideo(problems)
        if self.request.keep_source:
            kept = os.path.join(os.path.dirname(output_file), self.request.keep_source)
            if os.path.islink(output_file):  # a local source: never a link to the user's file
                shutil.copyfile(output_file, kept)
            else:
                link_or_copy(output_file, kept)

    def make_studio(self, work):
        """The studio render: download, every narration (several at a time),
        then the render; the notes on the clips are printed before it."""
        r, parts = self.request, self.parts
        source_file = os.path.join(work, SOURCE_FILE)
        self.stage.enter("download")
        self.fetch_source(source_file)
        analysis = None
        narrations = [narration_file(work, i) for i in range(len(parts.segments))]
        aspect = parts.settings["aspect"].value
        if followed(parts.segments, r.frame):
            # Looked at while the narrations are made, each clip once its place is known.
            places = ClipPlaces(source_file, parts.segments, fit=r.fit, speed=r.speed)
            analysis = FramingAnalysis(
                source_file, parts.segments, r.frame, parts.cache,
                lambda i: places([parts.narrator.levels.get(path) for path in narrations])[i], aspect)
            analysis.start()
        self.stage.enter("speech")
        progress = StudioProgress(self.console, r.progress)
        try:
            # Each narration is measured as it is made, while others are still asked for.
            parts.narrator.measure = kept_levels(parts.cache)
            try:
                # *Emphasis* is shown, never said.
                speak_all(parts.narrator, [spoken_text(seg.narration) for seg in parts.segments],
                          narrations,
                          parts.settings["voice"].value, r.jobs, progress.narration,
                          grace=r.timeout, halt=self.halt)
            except NarrationError as e:
                self.stage.speaking(e.number)
                raise e.cause from None
            levels = [parts.narrator.levels.get(path) for path in narrations]
            # Each narration's written words with their times, where known.
            words = [None if spoken is None else [(w.text, w.start, w.end) for w in spoken]
                     for spoken in map(parts.narrator.words.get, narrations)]
            self.stage.enter("render")
            follow = None
            if analysis is not None:
                def follow(places):
                    self.framing = analysis.shots(places)
                    return self.framing
            frame, frames = render_frames(parts.segments, r.frame)
            look = {name: parts.settings[name].value for name in LOOK_SETTINGS}
            self.studio = render_studio(
                source_file, parts.segments, work, narrations, frame=frame, frames=frames, fit=r.fit,
                bed_volume=r.bed_volume, captions=r.captions, speed=r.speed, quality=r.quality,
                aspect=aspect, progress=progress.render, words=words,
                narration_levels=None if None in levels else levels, follow=follow,
                notes=self.console.say, scale=r.scale, title=r.title or "", **look)
            if analysis is not None:  # once the clips' places in the video are known
                for note in analysis.notes(self.studio.segments):
                    self.console.say(note)
        finally:
            progress.close()
            if analysis is not None:
                analysis.stop()
        produced = {FINAL: self.studio.video}
        if r.captions != "none":
            produced[CAPTIONS] = self.studio.srt
        return produced

    def make_classic(self, work):
        """Runs the module's run_recap in the work directory, on the segments
        file's own bytes."""
        r, parts = self.request, self.parts
        segments_copy = os.path.join(work, "segments.json")
        with open(segments_copy, "wb") as f:
            f.write(parts.segments_data)
        self.backends.bind_download(self.fetch_source, self.stage)
        self.backends.bind_speech(parts.narrator, self.stage)
        final = self.backends.module.run_recap(parts.source.label, segments_copy, r.speed,
                                              parts.settings["voice"].value, work)
        return {HORIZONTAL: os.path.join(work, HORIZONTAL), FINAL: final}


def _tell(console, failed):
    if failed.problems:
        console.failure(failed.problems, failed.stage)
    else:
        mute_stdout()


def make_recap(request):
    """Runs one recap as the command does; returns the exit status."""
    console = Console(request.mode, progress_to_stderr=not request.classic)
    run = Run(request, console)
    try:
        return run.perform()
    except (Exception, KeyboardInterrupt, Terminated) as e:  # noqa: BLE001 - each has its line
        failed = failure(e, run.stage)
    try:
        _tell(console, failed)
    except BrokenPipeError as e:
        failed = failure(e, run.stage)
        _tell(console, failed)
    return failed.status
