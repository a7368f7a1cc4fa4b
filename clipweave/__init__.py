"""clipweave: narrated 9:16 recaps of a video from a list of narrated time ranges.

- ``clipweave.clipweave``: the native extension module, the exact pipeline::

      from clipweave.clipweave import run_recap
      run_recap(url, "segments.json", 1.25, "en-US-AriaNeural", "out")

- ``clipweave.studio``: the studio render, a finished short (whole picture
  over a blurred fill, captions, the source's sound under the narration,
  normalised loudness) from a local video and its narrations, its clips
  in bounded groups rendered side by side (``render_studio``).
- the ``clipweave`` command (``clipweave.app``): local files or URLs, the
  user's own services or offline speech, a cache, rendered with the studio
  by default; ``clipweave demo`` (``clipweave.demo``) runs it offline.

``python -m clipweave --help`` describes the command line.
"""

__version__ = "0.1.0"
