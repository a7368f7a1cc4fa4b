"""One run of the command for the editor, in a process of its own.

    python -m clipweave.edit.runner ORDER

The process readies itself first (imports, the encoder it will use, the
fonts), then waits for the file ORDER to appear: a JSON object with
``argv`` (the arguments of ``clipweave SOURCE SEGMENTS``, ``--json``
among them) and ``scale`` (a preview's smaller frame). It runs them as the
command does (clipweave.app.run.make_recap), writing on standard output
one JSON line per progress event the command's bar draws ({"event":
"narration", "done", "total"} and {"event": "render", "fraction", "speed",
"left"}), then the command's own JSON document, and ends with the
command's exit status. Made ready ahead, a preview does not wait for the
interpreter to start.
"""
import json
import os
import sys
import time

from clipweave.app.cli import build_parser
from clipweave.app.console import open_standard_streams
from clipweave.app.options import request_from
from clipweave.app.run import make_recap
from clipweave.model.segments import UsageError
from clipweave.studio.render import font_glyphs, video_encoder

_POLL = 0.01  # seconds between looks for the order


def _writer(stream):
    def emit(event):
        if isinstance(event, tuple) and event and event[0] == "narration":
            line = {"event": "narration", "done": event[1], "total": event[2]}
        else:
            line = {"event": event.stage, "fraction": round(event.fraction, 4),
                    "speed": event.speed, "left": event.seconds_left}
        stream.write(json.dumps(line) + "\n")
        stream.flush()

    return emit


def main(argv):
    open_standard_streams()
    (order_path,) = argv
    # Decided once a process: done now, not while the user waits.
    video_encoder()
    font_glyphs()
    # The exact module (and the requests it imports) the run calls: loaded
    # now too, since the command loads it only when a run first uses it.
    import clipweave.clipweave  # noqa: F401
    # The events' own stream: the run sends its standard output to the progress stream.
    events = os.fdopen(os.dup(1), "w", buffering=1, encoding="utf-8")
    while not os.path.exists(order_path):
        time.sleep(_POLL)
    with open(order_path, encoding="utf-8") as f:
        order = json.load(f)
    parser = build_parser()
    try:
        request = request_from(parser.parse_args(order["argv"]))
    except UsageError as e:
        events.write(json.dumps({"error": "; ".join(e.problems), "stage": "check"}) + "\n")
        return 2
    request.progress = _writer(events)
    request.scale = int(order.get("scale", 1))
    return make_recap(request)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
