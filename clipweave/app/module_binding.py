"""The one place where the package binds its backends into the extension module.

The module looks its globals up at call time, so a run chooses where the
video comes from, who speaks the narration and which services answer by
rebinding ``_download_video``, ``_generate_tts``, ``requests`` (and, for the
demo, ``time``) for its length. :class:`ModuleBinding` does that for one run
and restores every global on the way out; the module has one set of
globals, so a second binding while one is active in this process is refused.
The clients it binds move the run's Stage on as the module calls them.
"""
import threading

from clipweave import clipweave as _module
from clipweave.app.errors import BindingBusy

_active = threading.Lock()


class ModuleBinding:
    """A context that binds globals of the module and restores them on exit."""

    def __init__(self, module=_module):
        self.module = module
        self._saved = {}

    def __enter__(self):
        if not _active.acquire(blocking=False):
            raise BindingBusy("another run in this process is using clipweave.clipweave")
        return self

    def __exit__(self, *exc_info):
        try:
            for name, value in self._saved.items():
                setattr(self.module, name, value)
            self._saved.clear()
        finally:
            _active.release()
        return False

    def saved(self, name):
        """The value the global had before this binding changed it."""
        return self._saved.get(name, getattr(self.module, name))

    def bind(self, name, value):
        self._saved.setdefault(name, getattr(self.module, name))
        setattr(self.module, name, value)

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
