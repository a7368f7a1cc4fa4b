"""Helpers shared by several test modules."""
import json
import subprocess


def probe(path):
    """({codec_type: stream}, duration) of a media file, as ffprobe reads it."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=codec_type,codec_name,width,height:format=duration", "-of", "json", path],
        check=True, capture_output=True, text=True).stdout
    data = json.loads(out)
    streams = {s["codec_type"]: s for s in data["streams"]}
    return streams, float(data["format"]["duration"])


def atempo_reference(speed):
    """The tempo filter chain for a finite speed, with the host's own formatting."""
    if speed <= 2.0:
        return f"atempo={speed!r}"
    chain, remaining = [], speed
    while remaining > 2.0:
        chain.append("atempo=2.0")
        remaining *= 0.5
    chain.append(f"atempo={remaining:.4f}")
    return ",".join(chain)
