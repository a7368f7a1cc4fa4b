"""clipweave: narrated 9:16 video recaps.

The work is done by the extension module ``clipweave.clipweave``::

    from clipweave.clipweave import run_recap
    run_recap(url, "segments.json", 1.25, "en-US-AriaNeural", "out")

``python -m clipweave --help`` describes the command-line interface.
"""

__version__ = "0.1.0"
