"""The one place where the package swaps its backends into the exact
module's globals, and back.

The module looks its globals up at call time, so a run chooses where the
video comes from, who speaks the narration and which services answer by
rebinding ``_download_video``, ``_generate_tts``, ``requests``,
``subprocess`` (and, for the demo, ``time``) for its length.
:class:`BackendSwap` does that for one run and restores every global on the
way out; the module has one set of globals, so a second swap while one is
active in this process is refused. The clients it binds move the run's
Stage on as the module calls them.

The module is imported when a run first needs it, not before: it imports
``requests`` as it loads, a sixth of the editor's start, and a command
that only checks (a batch's jobs, the editor's page) may never call it.
Until then a binding waits, and ``saved`` hands out a stand-in that
imports the module when it is used.
"""
import subprocess
import sys
import threading

from clipweave.app.errors import BindingBusy
from clipweave.model.options import DOWNLOAD_FACTOR
from clipweave.system import children

_active = threading.Lock()


class BackendSwap:
    """A context that binds globals of the module and restores them on exit."""

    def __init__(self, module=None):
        self._module = module or sys.modules.get("clipweave.clipweave")
        self._saved = {}
        self._waiting = {}  # bindings made before the module was imported
        self._loading = threading.RLock()

    @property
    def module(self):
        """The module, imported (and the waiting bindings made) on first use."""
        with self._loading:
            if self._module is None:
                from clipweave import clipweave as module

                self._module = module
                waiting, self._waiting = self._waiting, {}
                for name, value in waiting.items():
                    self.bind(name, value)
            return self._module

    def __enter__(self):
        if not _active.acquire(blocking=False):
            raise BindingBusy("another run in this process is using clipweave.clipweave")
        return self

    def __exit__(self, *exc_info):
        try:
            with self._loading:
                for name, value in self._saved.items():
                    setattr(self._module, name, value)
                self._saved.clear()
                self._waiting.clear()
        finally:
            _active.release()
        return False

    def saved(self, name):
        """The value the global had before this swap changed it (a stand-in
        for it while the module is not imported)."""
        with self._loading:
            if name in self._saved:
                return self._saved[name]
            if self._module is None:
                return _Later(self, name)
            return getattr(self._module, name)

    def bind(self, name, value):
        with self._loading:
            if self._module is None:
                self._waiting[name] = value
                return
            self._saved.setdefault(name, getattr(self._module, name))
            setattr(self._module, name, value)

    def bind_children(self, seconds):
        """The module's programs run through clipweave.system.children (so
        they die with the run); its wget with a time-out of ``seconds`` for
        each wait and an overall deadline for the whole file."""
        self.bind("subprocess", ModuleChildren(self.saved("subprocess"), seconds))

    def bind_download(self, download, stage):
        """download(output_file) as the module's ``_download_video``: the URL
        it is handed is the run's own source; ``stage`` is "download" meanwhile."""

        def _download_video(url, output_file):
            stage.enter("download")
            download(output_file)
            stage.enter("render")

        self.bind("_download_video", _download_video)

    def bind_speech(self, speak, stage):
        """speak(text, output_file, voice) as the module's ``_generate_tts``;
        ``stage`` is "speech" meanwhile, counting the narrations."""

        def _generate_tts(text, output_file, voice):
            stage.speaking()
            speak(text, output_file, voice)
            stage.enter("render")

        self.bind("_generate_tts", _generate_tts)


class ModuleChildren:
    """What the module's ``subprocess`` is during a run: ``run`` as the
    module calls it (``check``, ``capture_output``), through
    clipweave.system.children; anything else is the real one's."""

    def __init__(self, real, seconds):
        self._real = real
        self.seconds = seconds

    def __getattr__(self, name):
        return getattr(self._real, name)

    def run(self, argv, *, check=False, capture_output=False, **others):
        if others:
            return self._real.run(argv, check=check, capture_output=capture_output, **others)
        argv, overall = list(argv), None
        if argv[:1] == ["wget"]:
            # Its own defaults wait 900 s a read, 20 times over.
            argv += [f"--timeout={self.seconds:g}", "--tries=3"]
            overall = self.seconds * DOWNLOAD_FACTOR
        try:
            return children.run(argv, capture=capture_output, check=check, timeout=overall,
                                stderr=children.PIPE if capture_output else None)
        except subprocess.TimeoutExpired:
            raise TimeoutError(f"{argv[0]} did not finish within {overall:g} s") from None


class _Later:
    """A global of the module before the module is imported: using it (a
    call or an attribute) imports the module and uses what the global was."""

    def __init__(self, swap, name):
        self._swap = swap
        self._name = name

    def _real(self):
        _ = self._swap.module
        return self._swap.saved(self._name)

    def __getattr__(self, name):
        return getattr(self._real(), name)

    def __call__(self, *args, **kwargs):
        return self._real()(*args, **kwargs)
