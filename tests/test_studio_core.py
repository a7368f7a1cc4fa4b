"""The studio core through its Python module: planning, caption chunks and
timing, escaping, and the ffmpeg command. Fast: nothing is rendered but a
fifth of a second to measure the encoder's options."""
import dataclasses
import json
import math
import re
import subprocess

import pytest

from clipweave.clipweave import _build_atempo_chain
from clipweave.model.segments import Segment
from clipweave.studio import _core
from clipweave.studio.job import SourceInfo, StudioJob
from studio_media import ffmpeg, top_level_atoms

SOURCE_FIELDS = {f.name for f in dataclasses.fields(SourceInfo)}


def plan_job(segments, narrations, source=10.0, fit="narration", speed=1.0, rate=(25, 1), **job):
    return StudioJob(SourceInfo("/media/source.mp4", source, rate=rate), segments, narrations,
                     fit=fit, speed=speed, **job)


def tempo_of(job):
    """The tempo filters the joined sound goes through."""
    return re.match(r"\[0:a:0\]([^;]*?),aresample", _core.prepare(job)["mix"]["graph"]).group(1)


def full_job(**changes):
    """A job ready to prepare; changes name fields of the job or of its source."""
    source = dict(path="/media/source.mp4", seconds=10.0, width=320, height=180, rotation=0, sar=(1, 1),
                  rate=(25, 1), has_audio=True)
    source.update({k: v for k, v in changes.items() if k in SOURCE_FIELDS})
    job = dict(segments=[(1.0, 3.0), (5.0, 8.0)], narrations=["/media/n1.mp3", "/media/n2.mp3"],
               narration_seconds=[1.5, 2.0], narration_lufs=[-21.0, None],
               texts=["First part.", "Second part."], fit="narration", frame="blur", captions="words",
               quality="balanced", bed_volume=-18.0, speed=1.0, encoder="libx264",
               captions_file="c.ass", graph_file="g.txt", output="out.mp4.part")
    job.update({k: v for k, v in changes.items() if k not in SOURCE_FIELDS})
    return StudioJob(SourceInfo(**source), **job)


# --- planning ------------------------------------------------------------------


@pytest.mark.parametrize("fit, narration, length, used, start, pace, note", [
    # A shorter narration never shortens the clip (the source's sound is not known to be silent).
    ("narration", 1.0, 4.0, 1.0, 4.0, 1.0, None),
    ("range", 1.0, 4.0, 1.0, 4.0, 1.0, None),
    ("narration", 5.5, 5.5, 5.5, 4.0, 1.0,
     "segment 1: narration 5.50 s is longer than its 4.00 s range; the clip runs on 1.50 s; "
     "it shows 1.50 s past its range"),
    ("range", 6.2, 4.0, 4.0, 4.0, 1.0,
     "segment 1: narration 6.20 s is longer than its 4.00 s range; narration cut by 2.20 s"),
    # The source ends at 10: the 8 s run-on takes the 2 s after the range, then 2 s before it.
    ("narration", 8.0, 8.0, 8.0, 2.0, 1.0,
     "segment 1: narration 8.00 s is longer than its 4.00 s range; the clip runs on 4.00 s; "
     "it shows 2.00 s past its range; the clip starts 2.00 s earlier, at 2.00 s"),
    # Longer than the whole source: all of it, slowed.
    ("narration", 11.0, 11.0, 11.0, 0.0, 10 / 11,
     "segment 1: narration 11.00 s is longer than its 4.00 s range; the clip runs on 7.00 s; "
     "it shows 2.00 s past its range; the clip starts 4.00 s earlier, at 0.00 s; "
     "its picture is slowed to 0.91x for the other 1.00 s"),
])
def test_clip_length_follows_fit(fit, narration, length, used, start, pace, note):
    clip = _core.plan(plan_job([(4.0, 8.0)], [narration], fit=fit))["clips"][0]
    assert clip["source_start"] == start
    assert clip["length"] == pytest.approx(length)
    assert clip["narration_used"] == pytest.approx(used)
    assert clip["hold"] == 0 and clip["pace"] == pytest.approx(pace)
    assert clip["source_part"] == pytest.approx(length * pace)
    assert clip["note"] == note


def shown(clip):
    return clip["source_start"], clip["source_start"] + clip["source_part"]


@pytest.mark.parametrize("segments, narrations, spans, paces", [
    # Adjacent ranges: the first has no room after or before it and is
    # slowed; the second goes on into the source after it.
    ([(0.0, 2.0), (2.0, 4.0)], [3.0, 3.0], [(0.0, 2.0), (2.0, 5.0)], [2 / 3, 1.0]),
    # A gap is the first clip's to go on into; the next one takes what it
    # leaves, before its own range.
    ([(1.0, 3.0), (4.0, 5.0), (5.0, 6.0)], [2.5, 2.0, 1.0], [(1.0, 3.5), (3.5, 5.0), (5.0, 6.0)],
     [1.0, 0.75, 1.0]),
    # Out of order in the file: the same rooms.
    ([(4.0, 5.0), (1.0, 3.0), (5.0, 6.0)], [2.0, 2.5, 1.0], [(3.5, 5.0), (1.0, 3.5), (5.0, 6.0)],
     [0.75, 1.0, 1.0]),
    # The user's own ranges overlap: they show what they share, but take
    # nothing across another's range.
    ([(0.0, 4.0), (3.0, 6.0), (6.0, 10.0)], [5.0, 4.0, 4.0], [(0.0, 4.0), (3.0, 6.0), (6.0, 10.0)],
     [0.8, 0.75, 1.0]),
    # Past the source's end (10 s): back into the time before the range.
    ([(2.0, 4.0), (8.0, 10.0)], [1.0, 4.0], [(2.0, 4.0), (6.0, 10.0)], [1.0, 1.0]),
])
def test_no_moment_is_shown_twice(segments, narrations, spans, paces):
    clips = _core.plan(plan_job(segments, narrations))["clips"]
    assert [shown(c) for c in clips] == [pytest.approx(s) for s in spans]
    assert [c["pace"] for c in clips] == pytest.approx(paces)
    for c in clips:
        assert c["source_part"] == pytest.approx(c["length"] * c["pace"])
        assert c["source_part"] == pytest.approx(c["range"] + c["after"] + c["before"]) or c["length"] < c["range"]


def test_a_slowed_clip_says_so_in_seconds_of_the_video():
    clips = _core.plan(plan_job([(0.0, 2.0), (2.0, 4.0), (4.0, 9.0)], [3.0, 5.0, 1.0], speed=2.0))["clips"]
    assert clips[0]["note"] == ("segment 1: narration 1.50 s is longer than its 1.00 s range; the clip runs on "
                                "0.50 s; its picture is slowed to 0.67x, noticeably, for the other 0.50 s")
    assert clips[1]["note"].endswith("its picture is slowed to 0.40x, noticeably, for the other 1.50 s")
    assert clips[2]["note"] is None


def test_a_range_past_the_picture_with_no_room_holds_the_last_frame():
    # The picture ends at 8 s; the second range, after it, finds the time
    # before it shown by the first.
    plan = _core.plan(StudioJob(SourceInfo("/m/s.mp4", 10.0, video_seconds=8.0, rate=(25, 1)),
                                [(0.0, 8.0), (8.5, 9.5)], [1.0, 1.0]))
    clip = plan["clips"][1]
    assert clip["source_start"] == pytest.approx(7.96) and clip["hold"] == pytest.approx(0.96)
    assert clip["note"].endswith("held on the last frame for 0.96 s")


@pytest.mark.parametrize("seconds, sound, silent, speed, skip, narration, length", [
    # Unknown sound: the file as it is.
    (3.0, None, False, 1.0, 0.0, 3.0, 4.0),
    # The silence around the sound is cut to 0.05 s before and 0.1 s after it.
    (3.0, (0.4, 2.5), False, 1.0, 0.35, 2.25, 4.0),
    # Over a silent source, the clip ends 0.2 s after the narration.
    (3.0, (0.4, 2.5), True, 1.0, 0.35, 2.25, 2.45),
    # In seconds of the video at any speed: twice as much source at speed 2.
    (3.0, (0.4, 2.5), True, 2.0, 0.3, 2.4, 2.8),
    # A run-on over a silent source gets the same pause.
    (4.5, (0.0, 4.2), True, 1.0, 0.0, 4.3, 4.5),
])
def test_narrations_are_trimmed_to_a_natural_pause(seconds, sound, silent, speed, skip, narration, length):
    job = plan_job([(2.0, 6.0)], [seconds], speed=speed, narration_sound=[sound], silent_tails=[silent])
    clip = _core.plan(job)["clips"][0]
    assert clip["narration_skip"] == pytest.approx(skip)
    assert clip["narration"] == pytest.approx(narration)
    assert clip["length"] == pytest.approx(length)


def test_range_past_the_source_end_starts_earlier():
    plan = _core.plan(plan_job([(8.0, 11.0)], [1.0], fit="range"))
    assert plan["clips"][0]["hold"] == 0 and plan["clips"][0]["source_start"] == 7.0
    assert plan["notes"] == ["segment 1: the range runs 1.00 s past the end of the source's "
                             "picture (10.00 s); the clip starts 1.00 s earlier, at 7.00 s"]


@pytest.mark.parametrize("speed, rate", [(1.0, (25, 1)), (1.25, (30000, 1001)), (3.0, (24, 1)),
                                          (0.5, (25, 1)), (100.0, (60, 1))])
def test_offsets_frames_and_samples_add_up(speed, rate):
    segments = [(0.0, 1.3), (2.0, 2.7), (3.1, 5.0), (7.0, 9.9)]
    plan = _core.plan(plan_job(segments, [0.5, 2.0, 1.0, 0.3], speed=speed, rate=rate))
    clips = plan["clips"]
    fps = rate[0] / rate[1]
    assert plan["length"] == pytest.approx(sum(c["length"] for c in clips))
    assert plan["frames"] == sum(c["frames"] for c in clips)
    assert abs(plan["duration"] - plan["length"] / speed) <= 0.5 / fps + 1e-9
    assert sum(c["samples"] for c in clips) == round(plan["length"] * 48000)
    at = 0.0
    for c in clips:
        assert c["start_at"] == pytest.approx(at)
        assert c["out_start"] == pytest.approx(at / speed)
        assert c["out_length"] == pytest.approx(c["length"] / speed)
        assert c["first_frame"] == math.floor(at / speed * fps + 0.5)
        at += c["length"]


@pytest.mark.parametrize("rate, speed, expected", [
    ((25, 1), 1.0, (25, 1)), ((30000, 1001), 1.0, (30000, 1001)), ((120, 1), 1.0, (60, 1)),
    ((60000, 1001), 1.0, (60000, 1001)), ((2997, 125), 1.0, (2997, 125)), ((24, 1), 0.5, (24, 1)),
    # Under film's rate, the lowest standard rate showing every picture
    # equally often: 10 fps three times each at 30, 12 twice at 24.
    ((10, 1), 1.0, (30, 1)), ((12, 1), 1.0, (24, 1)), ((15000, 1001), 1.0, (30000, 1001)),
    ((25, 2), 1.0, (25, 1)), ((10, 1), 2.5, (25, 1)), ((20, 1), 1.0, (30, 1)), ((10, 1), 4.0, (30, 1)),
])
def test_output_rate_is_the_source_rate_at_most_60(rate, speed, expected):
    assert _core.plan(plan_job([(0.0, 1.0)], [0.5], rate=rate, speed=speed))["rate"] == expected


@pytest.mark.parametrize("segments, narrations, changes, message", [
    ([(10.0, 12.0)], [1.0], {}, "segment 1: start 10.00 s is at or after the end of the source (10.00 s)"),
    ([(1.0, 2.0), (12.5, 13.0)], [1.0, 1.0], {}, "segment 2: start 12.50 s is at or after the end"),
    ([(3.0, 3.0)], [1.0], {}, "segment 1: end 3.00 s is not after start 3.00 s"),
    ([(3.0, 2.0)], [1.0], {}, "segment 1: end 2.00 s is not after start 3.00 s"),
    ([(-1.0, 2.0)], [1.0], {}, "segment 1: start -1.00 s is negative"),
    ([(math.nan, 2.0)], [1.0], {}, "segment 1: start must be a finite number"),
    ([(1.0, 2.0)], [1.0, 2.0], {}, "there are 1 segments but 2 narrations"),
    ([], [], {}, "there are no segments"),
    ([(1.0, 2.0)], [1.0], {"speed": 0.4}, "speed must be between 0.5 and 100, got 0.4"),
    ([(1.0, 2.0)], [1.0], {"speed": 101}, "speed must be between 0.5 and 100"),
    ([(1.0, 2.0)], [1.0], {"speed": math.inf}, "speed must be a finite number"),
    ([(1.0, 2.0)], [1.0], {"rate": (0, 0)}, "frame rate 0/0 is not usable"),
    ([(0.0, 0.1)], [0.0], {"speed": 100.0}, "less than one frame"),
])
def test_refusals_name_the_fault_in_one_line(segments, narrations, changes, message):
    job = plan_job(segments, narrations, **changes)
    with pytest.raises(ValueError) as info:
        _core.plan(job)
    assert message in str(info.value)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("job, error, message", [
    ({"segments": [(0, 1)], "narration_seconds": [1.0]}, TypeError, "job must be a StudioJob, not dict"),
    (StudioJob({"seconds": 10.0}, [(0, 1)], [1.0]), TypeError, "job.source must be a SourceInfo, not dict"),
    (plan_job([(0, "1")], [1.0]), TypeError, "job.segments[0][1] must be a number, not str"),
    (plan_job([(0, 1, 2)], [1.0]), ValueError, "job.segments[0] must be a (start, end) pair"),
    (plan_job([{"start": 0, "end": 1}], [1.0]), TypeError,
     "job.segments[0] must be a (start, end) pair or a Segment, not dict"),
    (plan_job([(0, 1)], [True]), TypeError, "job.narration_seconds[0] must be a number, not bool"),
    (plan_job([(0, 1)], [1.0], fit="ranges"), ValueError,
     "job.fit must be one of 'narration', 'range', got 'ranges'"),
    (plan_job([(0, 1)], [1.0], rate=(25.0, 1)), TypeError, "job.source.rate[0] must be an integer, not float"),
    (plan_job([(0, 1)], 1.0), TypeError, "job.narration_seconds must be a list, not float"),
])
def test_job_values_are_checked(job, error, message):
    with pytest.raises(error) as info:
        _core.plan(job)
    assert str(info.value) == message


def test_a_misspelt_field_is_refused():
    with pytest.raises(TypeError, match="narration_second"):
        StudioJob(SourceInfo("/media/source.mp4", 10.0), [(0, 1)], narration_second=[1.0])


def test_segments_and_pairs_plan_alike():
    pairs = _core.plan(plan_job([(1.0, 3.0), (5.0, 8.5)], [1.0, 4.0]))
    segments = _core.plan(plan_job([Segment(1.0, 3.0, "1", "3", "One."), Segment(5.0, 8.5, "5", "8.5", "Two.")],
                                   [1.0, 4.0]))
    assert segments == pairs


def test_a_list_changed_while_it_is_read_is_read_as_it_was():
    """A segment whose attribute read empties the job's list: the core reads
    a snapshot, never an item that is gone."""
    segments = []

    class Shrinking:
        @property
        def start(self):
            segments.clear()
            return 1.0

        end = 2.0

    segments += [Shrinking(), (3.0, 4.0)]
    plan = _core.plan(plan_job(segments, [0.5, 0.5]))
    assert [c["source_start"] for c in plan["clips"]] == [1.0, 3.0]


# --- caption chunks -------------------------------------------------------------


@pytest.mark.parametrize("text", [
    "The story begins in a quiet town, where nothing ever happens.",
    "Short.",
    "A " * 200,
    "Words\nacross\r\nlines\tand  double  spaces.",
    "Ünïcödé wörds ärë cöüntëd äs öné lëttër ëäch, nöt äs twö bytés.",
    "antidisestablishmentarianism-and-then-some-more-hyphenated-words in a row",
])
def test_chunks_hold_every_word_in_two_lines_of_thirty(text):
    chunks = _core.chunk_caption(text)
    lines = [line for chunk in chunks for line in chunk.split("\n")]
    assert all(1 <= len(chunk.split("\n")) <= 2 for chunk in chunks)
    assert all(0 < len(line) <= 30 for line in lines)
    # Nothing lost, nothing reordered; breaks fall only at spaces or inside
    # words longer than a line.
    assert "".join("".join(lines).split()) == "".join(text.split())


def test_a_word_longer_than_a_line_is_broken_hard():
    assert _core.chunk_caption("x" * 70) == ["x" * 30 + "\n" + "x" * 30, "x" * 10]
    assert _core.chunk_caption("ab cd", line_chars=1, max_lines=3) == ["a\nb\nc", "d"]


def test_lines_are_balanced_rather_than_leaving_an_orphan():
    chunks = _core.chunk_caption("The story begins in a quiet town, where nothing ever happens.")
    assert chunks[-1] != "happens."
    lengths = [len(line) for chunk in chunks for line in chunk.split("\n")]
    assert max(lengths) - min(lengths) <= 10


def test_blank_text_has_no_chunks():
    assert _core.chunk_caption(" \n\t ") == []


# --- caption timing -------------------------------------------------------------------


def cues_of(segments, narrations, texts, **plan):
    return _core.captions(plan_job(segments, narrations, texts=texts, **plan))


def test_cards_are_timed_by_their_words_share_of_characters():
    text = "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll mmmm"
    cues = cues_of([(2.0, 8.0), (8.0, 9.0)], [6.0, 1.0], [text, "x"])["cues"]
    first = cues[:-1]
    assert " ".join(c[2].replace("\n", " ") for c in first) == text
    assert first[0][0] == 0.0 and first[-1][1] == pytest.approx(6.0)
    # Each card from its first word's onset: every word is 4 of the 52 characters.
    before = 0
    for (start, _, chunk) in first:
        assert start == pytest.approx(6.0 * before / 52)
        before += 4 * len(chunk.split())
    assert all(a[1] == pytest.approx(b[0]) for a, b in zip(first, first[1:]))
    # The second narration starts with its clip, at 6 s in the output.
    assert cues[-1][:2] == pytest.approx((6.0, 7.0))


def test_a_cut_narration_shows_only_what_is_heard():
    text = "one two three four five six seven eight nine ten eleven twelve thirteen fourteen"
    heard = cues_of([(0.0, 2.0)], [4.0], [text], fit="range")["cues"]
    whole = cues_of([(0.0, 2.0)], [4.0], [text], fit="narration")["cues"]
    assert len(heard) < len(whole)
    assert heard[-1][1] == pytest.approx(2.0)
    assert all(end <= 2.0 + 1e-9 for _, end, _ in heard)


@pytest.mark.parametrize("speed", [0.5, 1.25, 4.0])
def test_cues_are_on_the_output_timeline(speed):
    slow = cues_of([(0.0, 3.0), (5.0, 7.0)], [2.0, 1.0], ["a b c", "d e"])["cues"]
    fast = cues_of([(0.0, 3.0), (5.0, 7.0)], [2.0, 1.0], ["a b c", "d e"], speed=speed)["cues"]
    assert [(s / speed, e / speed, t) for s, e, t in slow] == pytest.approx(fast)


def test_words_are_heard_from_the_trimmed_head():
    # 0.4 s of silence before the first word: 0.35 s of it skipped, so each
    # word comes 0.35 s sooner on the video's timeline, the clips after it too.
    words = [[("one", 0.4, 0.8), ("two", 0.9, 1.5)], [("three", 0.0, 0.5)]]
    plain = cues_of([(0.0, 3.0), (3.0, 5.0)], [1.6, 0.5], ["one two", "three"], words=words)["words"]
    trimmed = cues_of([(0.0, 3.0), (3.0, 5.0)], [1.6, 0.5], ["one two", "three"], words=words,
                      narration_sound=[(0.4, 1.5), None])["words"]
    assert [w[1] for w in trimmed] == pytest.approx([w[1] - 0.35 for w in plain[:2]] + [plain[2][1]])


def test_srt_and_ass_texts():
    result = cues_of([(0.0, 3.0), (3.0, 4.0)], [2.5, 0.5],
                     ['Say "hi", then\nleave.', "{\\b1}bold?\\N no"], captions="phrases")
    assert result["srt"] == ('1\n00:00:00,000 --> 00:00:02,500\nSay "hi",\nthen leave.\n\n'
                             # Word joiners keep players from reading the text as markup.
                             '2\n00:00:03,000 --> 00:00:03,500\n\\{\u2060\\\u2060b1}bold?\\\u2060N no\n\n')
    ass = result["ass"]
    for line in ("PlayResX: 1080", "PlayResY: 1920", "WrapStyle: 2",
                 "Style: Caption,DejaVu Sans,62,&H00FFFFFF,&H00FFFFFF,&H00000000,&H80000000,-1,"):
        assert line in ass
    # Each word placed by itself, bottom centre, above the bottom 35 %, on
    # the frames nearest its times (25 a second here).
    events = re.findall(r"^Dialogue: 1,(\S+),(\S+),Caption,,0,0,0,,\{\\an2\\pos\((\d+),(\d+)\)\}(.*)$", ass, re.M)
    assert [text for *_, text in events] == ["Say", '"hi",', "then", "leave.",
                                             "\\{\\\u2060b1\\}bold?\\\u2060N", "no"]
    assert all(int(y) <= 1920 * 0.65 for _, _, _, y, _ in events)
    assert {(a, b) for a, b, *_ in events} == {("0:00:00.00", "0:00:02.51"), ("0:00:02.99", "0:00:03.51")}


def test_a_narration_that_reads_as_srt_times_keeps_its_cue(tmp_path):
    texts = ["00:00:05,000 --> 00:00:06,000", "1 0:0:5,0-->0:0:6,0 then", "The end."]
    result = cues_of([(0.0, 3.0), (3.0, 6.0), (6.0, 9.0)], [2.5, 2.5, 2.5], texts,
                     captions="phrases")
    # What a player's SRT reader (ffmpeg's) makes of it: every cue, its text as written.
    (tmp_path / "c.srt").write_text(result["srt"], encoding="utf-8")
    ffmpeg("-i", str(tmp_path / "c.srt"), str(tmp_path / "read.ass"))
    read = [line.split(",", 9)[9] for line in
            (tmp_path / "read.ass").read_text(encoding="utf-8").splitlines()
            if line.startswith("Dialogue:")]
    assert [t.replace("\u2060", "").replace("\\N", " ") for t in read] == \
        [c[2].replace("\n", " ") for c in result["cues"]]
    assert " ".join(c[2].replace("\n", " ") for c in result["cues"]) == " ".join(texts)


@pytest.mark.parametrize("text, escaped", [
    ("{\\i1}x\\Ny", "\\{\\\u2060i1\\}x\\\u2060Ny"),
    ("a\\hb\\nc", "a\\\u2060hb\\\u2060nc"),
    ("\\{", "\\\u2060\\{"),
    ("}{", "\\}\\{"),
    ("two\nlines", "two\\Nlines"),
    ("tab\there\x00nul", "tab here nul"),
    ('plain, "quoted" & \'single\'', 'plain, "quoted" & \'single\''),
])
def test_ass_escape(text, escaped):
    assert _core.escape_ass(text) == escaped


def test_long_narration_captions():
    words = [f"word{i}" for i in range(900)]
    text = " ".join(words)
    assert len(text) > 5000
    result = cues_of([(0.0, 30.0)], [30.0], [text])
    shown = " ".join(t.replace("\n", " ") for _, _, t in result["cues"])
    assert shown == text
    assert result["srt"].count(" --> ") == len(result["cues"])


# --- the ffmpeg run ----------------------------------------------------------------


def test_command_reads_each_clip_by_input_seeking():
    ready = _core.prepare(full_job())
    first, second = (g["args"] for g in ready["groups"])
    (sound,) = (s["args"] for s in ready["sounds"])
    mix, finish = ready["mix"]["args"], ready["finish"]["args"]
    for args in (first, second, sound, mix, finish):
        assert args[:3] == ["ffmpeg", "-hide_banner", "-nostdin"]
        assert args[args.index("-progress") + 1] == "pipe:1"
    # A group of pictures decodes its clips' picture only; the sound's run
    # the clips' sound (the bed) and their narrations.
    for args, start, length in ((first, "1", "2.25"), (second, "5", "3.25")):
        inputs = [i for i, a in enumerate(args) if a == "-i"]
        assert [args[i + 1] for i in inputs] == ["file:/media/source.mp4"]
        assert args[inputs[0] - 4:inputs[0]] == ["-ss", start, "-t", length]
        assert "-an" in args
    inputs = [sound[i + 1] for i, a in enumerate(sound) if a == "-i"]
    assert inputs == ["file:/media/source.mp4"] * 2 + ["file:/media/n1.mp3", "file:/media/n2.mp3"]
    assert finish[-1] == "file:out.mp4.part"
    assert finish[finish.index("-movflags") + 1] == "+faststart"
    # The finish copies both: the pictures through their join list, the mix as it is.
    assert finish[finish.index("-c") + 1] == "copy" and "-filter_complex" not in finish
    assert "file:out.mp4.part.m4a" in finish and mix[-1] == "file:out.mp4.part.m4a"
    files = dict(ready["files"])
    assert files["out.mp4.part.video.txt"] == ("file 'file:out.mp4.part.v0.mp4'\n"
                                               "file 'file:out.mp4.part.v1.mp4'\n")
    assert files["out.mp4.part.audio.txt"] == "file 'file:out.mp4.part.a0.wav'\n"
    assert set(ready["scratch"]) == set(files) | {
        "out.mp4.part.v0.mp4", "out.mp4.part.v1.mp4", "out.mp4.part.a0.wav", "out.mp4.part.m4a"}


# The README's --quality table: x264's preset and CRF for each quality.
QUALITIES = {"fast": ("ultrafast", 21), "balanced": ("veryfast", 21), "small": ("medium", 24)}


@pytest.fixture(scope="module")
def tagged_clip(tmp_path_factory):
    """A fifth of a second of an output-sized picture and a 44.1 kHz tone,
    with a title: what the output's encode is handed."""
    path = tmp_path_factory.mktemp("encode") / "clip.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=s=1080x1920:r=25:d=0.2", "-f", "lavfi", "-i",
           "sine=f=440:sample_rate=44100:d=0.2", "-metadata", "title=private", "-c:v", "libx264",
           "-preset", "ultrafast", "-c:a", "aac", str(path))
    return path


def x264_settings(path):
    """{option: value} as x264 records them in the stream it wrote."""
    data = path.read_bytes()
    at = data.index(b"x264 - core")
    record = data[at:data.index(b"\0", at)].decode()
    return dict(item.split("=", 1) for item in record.split(" options: ", 1)[1].split())


def output_fields(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=codec_type,codec_name,profile,level,pix_fmt,color_space,color_primaries,"
         "color_transfer,color_range,r_frame_rate,avg_frame_rate,sample_rate,channels:"
         "format=format_name:format_tags", "-show_chapters", "-of", "json", str(path)],
        capture_output=True, text=True, check=True, timeout=60).stdout
    found = json.loads(out)
    return {s["codec_type"]: s for s in found["streams"]}, found["format"], found["chapters"]


def check_output_encode(path):
    streams, container, chapters = output_fields(path)
    video, audio = streams["video"], streams["audio"]
    assert (video["codec_name"], video["profile"], video["pix_fmt"]) == ("h264", "High", "yuv420p")
    assert video["level"] <= 42  # 4.2: what phones and browsers play
    assert [video[f"color_{k}"] for k in ("space", "primaries", "transfer", "range")] == \
        ["bt709", "bt709", "bt709", "tv"]
    assert video["r_frame_rate"] == video["avg_frame_rate"] == "25/1"
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "48000", 2)
    assert "mp4" in container["format_name"].split(",")
    assert "title" not in container.get("tags", {}) and chapters == []  # the source's, dropped
    atoms = top_level_atoms(path)
    assert atoms.index("moov") < atoms.index("mdat")  # fast start


@pytest.mark.parametrize("quality", QUALITIES)
def test_each_quality_encodes_as_documented(tagged_clip, tmp_path, quality):
    """An encode with the output's options, measured: the stream a player
    expects, and x264's own record of its settings the same as an encode
    with the quality's preset and CRF (fast: with the 8x8 transform, which
    makes it High profile)."""
    out, reference = tmp_path / "out.mp4", tmp_path / "reference.mp4"
    ffmpeg("-i", str(tagged_clip), *_core.encode_args("libx264", quality), str(out))
    check_output_encode(out)
    preset, crf = QUALITIES[quality]
    ffmpeg("-i", str(tagged_clip), "-an", "-c:v", "libx264", "-preset", preset, "-crf", str(crf),
           *(["-x264-params", "8x8dct=1"] if quality == "fast" else []), str(reference))
    assert x264_settings(out) == x264_settings(reference)


@pytest.mark.parametrize("quality", QUALITIES)
def test_the_hardware_encoder_takes_each_qualitys_options(tagged_clip, tmp_path, quality):
    """Without the hardware this ffmpeg refuses only for want of a device,
    never an option; with it, the encode is measured as above."""
    out = tmp_path / "out.mp4"
    run = subprocess.run(["ffmpeg", "-y", "-v", "error", "-nostdin", "-i", str(tagged_clip),
                          *_core.encode_args("h264_nvenc", quality), str(out)],
                         capture_output=True, text=True, timeout=120)
    if run.returncode == 0:
        check_output_encode(out)
    else:
        assert not re.search(r"Unable to parse option|Error setting option|Unrecognized option|"
                             r"Option \S+ not found", run.stderr), run.stderr


@pytest.mark.parametrize("speed", [0.5, 0.75, 1.0, 1.3, 2.0, 2.5, 3.7, 8.0, 33.3, 100.0, 7])
def test_the_tempo_chain_is_the_exact_modules(speed):
    """The audio of the joined clips changes tempo through the same chain as
    run_recap's, made by the code both modules share."""
    assert tempo_of(full_job(speed=speed)) == _build_atempo_chain(float(speed))


@pytest.mark.parametrize("speed", [0.5, 1.3, 2.5, 3.7, 33.3, 100.0])
def test_the_sound_keeps_the_planned_pace(speed):
    """The chain's factors multiply to the speed (within its four decimals),
    so the sound lasts as long as the plan's frames."""
    factors = [float(step.partition("=")[2]) for step in tempo_of(full_job(speed=speed)).split(",")]
    assert all(0.5 <= f <= 2.0 for f in factors)
    assert math.prod(factors) == pytest.approx(speed, rel=1e-4)


@pytest.mark.parametrize("mode, burned, kept", [("words", True, True), ("phrases", True, True),
                                                ("burn", True, True), ("srt", False, True),
                                                ("none", False, False)])
def test_captions_are_burned_and_kept_as_asked(mode, burned, kept):
    ready = _core.prepare(full_job(captions=mode))
    # The captions file is read only when the captions are burned in.
    assert all(("c.ass" in g["graph"]) == burned for g in ready["groups"])
    assert burned == bool(ready["ass"])
    assert bool(ready["srt"]) == kept and bool(ready["cues"]) == kept


@pytest.mark.parametrize("aspect, scale, size", [("9:16", 3, "360:640"), ("4:5", 3, "360:450"),
                                                 ("16:9", 4, "480:270")])
def test_a_preview_draws_the_same_frame_smaller(aspect, scale, size):
    """The picture, the fill and the captions' canvas are drawn for the
    frame divided: no size in the graph is larger, the widest is its width."""
    width, height = (int(v) for v in size.split(":"))
    for s, (w, h) in ((1, (width * scale, height * scale)), (scale, (width, height))):
        ready = _core.prepare(full_job(aspect=aspect, scale=s))
        assert f"PlayResX: {w}\nPlayResY: {h}" in ready["ass"]
        drawn = [(int(a), int(b)) for graph in [g["graph"] for g in ready["groups"]]
                 for a, b in re.findall(r"(?:scale|pad|crop)=(\d+):(\d+)", graph)]
        assert max(a for a, _ in drawn) == w and all(a <= w and b <= h for a, b in drawn)


@pytest.mark.parametrize("changes", [{"bed_volume": None}, {"has_audio": False}])
def test_narration_alone_when_there_is_no_bed(changes):
    (sound,) = _core.prepare(full_job(**changes))["sounds"]
    assert "amix" not in sound["graph"]
    inputs = [sound["args"][i + 1] for i, a in enumerate(sound["args"]) if a == "-i"]
    assert inputs == ["file:/media/n1.mp3", "file:/media/n2.mp3"]


def test_no_graph_grows_with_the_clips():
    """400 clips: each run's graph fits its command line (the groups bound it)."""
    n = 400
    job = full_job(segments=[(i * 0.02, i * 0.02 + 0.01) for i in range(n)], narrations=["/n.mp3"] * n,
                   narration_seconds=[0.01] * n, narration_lufs=[None] * n, texts=["x"] * n)
    ready = _core.prepare(job)
    steps = ready["groups"] + ready["sounds"] + [ready["mix"]]
    assert all("-filter_complex_script" not in s["args"] for s in steps)
    assert max(len(s["graph"]) for s in steps) < 64 * 1024


@pytest.mark.parametrize("changes, message", [
    ({"output": "../escape.mp4"}, "the output name must be a file name in the work directory"),
    ({"captions_file": ""}, "the captions file name is empty"),
    ({"path": "a\x00b"}, "the source path contains a NUL character"),
    ({"bed_volume": 3.0}, "bed volume must be between -60 and 0 dB, got 3"),
    ({"frame": "stretch"}, "job.frame must be one of 'blur', 'crop', 'fit', got 'stretch'"),
    ({"encoder": "h265"}, "encoder must be libx264 or h264_nvenc"),
    ({"width": 0}, "the source has no video picture"),
    ({"texts": ["\ud800", "x"]}, "job.texts[0] is not valid Unicode text"),
    ({"output": ""}, "the output name is empty"),
    ({"scale": 0}, "job.scale must be from 1 to 8"),
    ({"scale": 7}, "job.scale: 1080x1920 divided by 7 is not whole and even"),
    ({"aspect": "4:5", "scale": 2}, "job.scale: 1080x1350 divided by 2 is not whole and even"),
])
def test_unsafe_or_impossible_jobs_are_refused(changes, message):
    with pytest.raises(ValueError) as info:
        _core.prepare(full_job(**changes))
    assert message in str(info.value)


@pytest.mark.parametrize("value", ["plain.ass", "with space.ass", "it's:odd,[1];\\x.ass", " lead"])
def test_filter_arg_reaches_the_filter_unchanged(tmp_path, value):
    """An ASS file whose name needs every kind of escaping opens through the
    subtitles filter: ffmpeg would fail on a name that arrived changed."""
    (tmp_path / value).write_text(_core.captions(
        plan_job([(0.0, 1.0)], [1.0], texts=["x"]))["ass"], encoding="utf-8")
    run = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i", "color=s=64x64:d=0.1",
         "-vf", "subtitles=filename=" + _core.filter_arg(value), "-frames:v", "1", "-f", "null", "-"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("name, fault", [
    ("FINAL_RECAP.mp4", None), ("Loud.MP4", None), ("caf\u00e9 \udcff.mp4", None),
    ("../out.mp4", "must be a plain file name in the work directory"),
    (".hidden.mp4", "must be a plain file name in the work directory"),
    ("..", "must be a plain file name in the work directory"),
    ("", "must be a plain file name in the work directory"),
    ("a\x00.mp4", "must be a plain file name in the work directory"),
    (b"out.mp4", "must be a plain file name in the work directory"),
    ("out.mkv", "must end in .mp4"),
])
def test_output_names(name, fault):
    if fault is None:
        assert _core.check_output_name(name) is None
    else:
        with pytest.raises(ValueError) as info:
            _core.check_output_name(name)
        assert str(info.value) == f"output name {fault}, got {name!r}"
