"""What ffprobe says about a media file: its streams by kind, and its duration."""
import json
import os
import subprocess

# Read for every stream; a stream lacks the ones that do not apply to it.
STREAM_FIELDS = ("codec_type", "codec_name", "width", "height", "sample_rate", "channels")


def probe(path):
    """({codec_type: stream}, duration in seconds) of a media file, as ffprobe reads it.

    Of several streams of one kind the last is kept. The duration is NaN
    when ffprobe gives none. Raises CalledProcessError when ffprobe cannot
    read the file.
    """
    # An absolute path: ffprobe would take "-name" for an option and
    # "name:rest" for a protocol.
    target = os.path.abspath(os.fspath(path))
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         f"stream={','.join(STREAM_FIELDS)}:format=duration", "-of", "json", target],
        capture_output=True, text=True, check=True).stdout
    data = json.loads(out)
    streams = {s["codec_type"]: s for s in data.get("streams", [])}
    return streams, float(data.get("format", {}).get("duration", "nan"))
