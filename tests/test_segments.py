"""The segment model: a file's entries become Segments, and where they lie."""
import json

import pytest

from clipweave.model.segments import (END_TOLERANCE, Segment, UsageError, outside,
                                      parse_segments, segments_outside)


def parse(entries):
    return parse_segments("s.json", json.dumps(entries).encode())


def test_entries_become_segments():
    found = parse([{"start": "00:01:15.5", "end": "81", "voiceover": "It ends.", "x": 1},
                   {"start": "1500ms", "end": "2s", "voiceover": "-v", "frame": "fit"}])
    assert found == (Segment(75.5, 81.0, "00:01:15.5", "81", "It ends."),
                     Segment(1.5, 2.0, "1500ms", "2s", "-v", "fit"))
    assert isinstance(found, tuple) and found[0].length == pytest.approx(5.5)


def test_every_problem_is_listed():
    with pytest.raises(UsageError) as info:
        parse([{"start": "5", "end": "4", "voiceover": "a", "frame": "zoom"}, {"start": "x", "frame": 1}])
    assert info.value.problems == [
        'segments file s.json, segment 1: "frame" must be one of blur, crop, fit, follow, auto, got \'zoom\'',
        'segments file s.json, segment 1: "end" (4) is not after "start" (5)',
        "segments file s.json, segment 2: \"start\" is not a time such as 75.5 or "
        "00:01:15.5: 'x'",
        'segments file s.json, segment 2: missing "end"',
        'segments file s.json, segment 2: missing "voiceover"',
        'segments file s.json, segment 2: "frame" must be a string, not a number']


@pytest.mark.parametrize("start, end, duration, inside", [
    (0, 10, 10, True),
    (0, 10 + END_TOLERANCE, 10, True),
    (0, 10.1, 10, False),
    (10, 11, 10, False),
    (0, 10, float("nan"), True),  # a length not known: the render will tell
])
def test_a_segment_inside_a_video(start, end, duration, inside):
    seg = Segment(start, end, str(start), str(end), "n")
    assert seg.inside(duration, END_TOLERANCE) is inside
    assert (outside([seg], duration) == []) is inside


def test_segments_outside_name_each_one_as_written():
    segments = parse([{"start": "0", "end": "5", "voiceover": "a"},
                      {"start": "00:00:08", "end": "00:00:12", "voiceover": "b"}])
    assert segments_outside(segments, 10.0) == [
        "segment 2 (00:00:08 to 00:00:12) is not inside the video, which lasts 10.00 s"]
    assert outside(segments, 12.0, tolerance=0.0) == []
    assert outside(segments, 11.99, tolerance=0.0) == [(2, segments[1])]
