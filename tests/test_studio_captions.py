"""Captions: pages of words timed by the voice, cards of phrases, the safe
area, only heard words, glyphs the fonts here have. The core through its
binding, then real renders of a flat picture compared with the same
render without captions."""
import json
import re
import subprocess
import sys

import pytest

from clipweave.model.segments import Segment
from clipweave.studio import FRAMES, SAFE_AREA, TITLE_SECONDS, _core, render_studio, spoken_text
from clipweave.studio.job import SourceInfo, StudioJob
from clipweave.studio.render import caption_fonts, font_glyphs
from support import seg
from studio_media import (changed_box, ffmpeg, flat_video, frame, gray_frame, ink_box, streams,
                          tone, yellow_pixels)


def _uncovered(candidates=("\uE000", "\U000F0000", "\U0010FFFD")):
    """A private-use character no installed font draws (some packages bring
    fonts that fill the private-use area)."""
    for c in candidates:
        listed = subprocess.run(["fc-list", f":charset={ord(c):x}"], capture_output=True, text=True)
        if not listed.stdout.strip():
            return c
    raise RuntimeError("every candidate character has a font here")


NO_FONT = _uncovered()
FONTS = caption_fonts()  # the captions' font and the colour emoji's, as the render finds them


def safe_box(aspect):
    """(left, top, right, bottom) of the frame that captions keep to, in its pixels."""
    width, height = FRAMES[aspect]
    left, top, right, bottom = SAFE_AREA
    return round(left * width), round(top * height), round(right * width), round(bottom * height)

HIGHLIGHT = "&H00FFFF&"
RATE = 30  # frames a second of the jobs here (the source's default rate)


def job(texts, seconds, ranges=None, source_rate=RATE, **fields):
    ranges = ranges or [(sum(seconds[:i]), sum(seconds[:i + 1])) for i in range(len(seconds))]
    return StudioJob(SourceInfo("/media/source.mp4", 60.0, rate=(source_rate, 1)), ranges, seconds,
                     texts=texts, **fields)


def events(ass):
    """(start cs, end cs, style, text) of the ASS events."""
    out = []
    for m in re.finditer(r"^Dialogue: \d+,(\d+):(\d\d):(\d\d)\.(\d\d),(\d+):(\d\d):(\d\d)\.(\d\d),(\w+),,0,0,0,,(.*)$",
                         ass, re.M):
        g = [int(x) for x in m.groups()[:8]]
        out.append(((g[0] * 3600 + g[1] * 60 + g[2]) * 100 + g[3],
                    (g[4] * 3600 + g[5] * 60 + g[6]) * 100 + g[7], m.group(9), m.group(10)))
    return out


def centis(seconds, rate=RATE):
    """The ASS time of the frame nearest ``seconds``: a millisecond before it."""
    return max(0, int((round(seconds * rate) * 1000 / rate - 1) // 10))


def shown_at(ass, seconds, style="Words", rate=RATE):
    """(text, colour) of the words an ASS shows on the frame nearest
    ``seconds``, in reading order; colour None for the style's white."""
    at = round(seconds * rate) * 1000 / rate / 10  # what libass is given, in centiseconds
    out = []
    for start, end, name, text in events(ass):
        if name != style or not start <= at < end:
            continue
        m = re.match(r"\{\\an2\\pos\((\d+),(\d+)\)(.*?)\}(.*)$", text)
        colour = re.findall(r"\\1c(&H[0-9A-F]+&)", m.group(3))
        out.append((int(m.group(2)), int(m.group(1)), m.group(4),
                    None if not colour or colour[-1] == "&HFFFFFF&" else colour[-1]))
    return [(text, colour) for _, _, text, colour in sorted(out)]


def pages(ass, words):
    """The pages shown at the words' onsets, each once, as lists of words."""
    out = []
    for _, start, _ in words:
        page = [text for text, _ in shown_at(ass, start)]
        if not out or page != out[-1]:
            out.append(page)
    return out


# --- the core ------------------------------------------------------------------------

SENTENCES = ("The story begins in a quiet town, where nothing ever happens; then, one day, "
             "a stranger arrives with a secret and a plan. Nobody knows.")


def spoken(text, step=0.3, gap=0.05):
    return [(w, i * step, (i + 1) * step - gap) for i, w in enumerate(text.split())]


def test_the_default_is_words_and_burn_is_phrases():
    assert StudioJob(SourceInfo("s", 1.0), [(0, 1)], [1.0]).captions == "words"
    burn = _core.captions(job(["One, two."], [1.0], captions="burn"))
    phrases = _core.captions(job(["One, two."], [1.0], captions="phrases"))
    assert burn == phrases and events(burn["ass"])[0][2] == "Caption"
    with pytest.raises(ValueError) as refused:
        _core.captions(job(["x"], [1.0], captions="karaoke"))
    assert "'words', 'phrases', 'srt', 'none'" in str(refused.value)
    assert "burn" not in str(refused.value)


def test_pages_are_short_and_end_where_sentences_and_clauses_end():
    words = spoken(SENTENCES)
    ass = _core.captions(job([SENTENCES], [len(words) * 0.3], words=[words]))["ass"]
    shown = pages(ass, words)
    assert [w for p in shown for w in p] == SENTENCES.split()
    for page in shown:
        assert 1 <= len(page) <= 3 and len(" ".join(page)) <= 16
        # Punctuation ends a page, never sits inside one.
        assert not any(w[-1] in ",;." for w in page[:-1])


@pytest.mark.parametrize("source_rate", [10, 24, 30])
def test_the_highlight_moves_on_the_frame_nearest_each_onset(source_rate):
    # Onsets between frames: at 24 a second, 0.34 s is nearer the frame at
    # 0.333 s than the one at 0.375 s, which libass would show it on first
    # if the event began at 0.34 s. (A 10 fps source is shown at 30.)
    words = [(w, 0.32 * i + 0.02 * (i % 2), 0.32 * i + 0.3) for i, w in enumerate(SENTENCES.split())]
    seconds = words[-1][2] + 0.4
    j = job([SENTENCES], [seconds], words=[words], source_rate=source_rate)
    num, den = _core.plan(j)["rate"]
    rate = num / den
    ass = _core.captions(j)["ass"]
    for k, (word, start, _) in enumerate(words):
        frame = round(start * rate) / rate
        highlighted = [w for w, colour in shown_at(ass, frame, rate=rate) if colour == HIGHLIGHT]
        assert highlighted == [word], (word, frame)
        before = [w for w, colour in shown_at(ass, frame - 1 / rate, rate=rate) if colour == HIGHLIGHT]
        assert before == ([words[k - 1][0]] if k else []), (word, frame)
    # Until the narration ends, then nothing.
    assert shown_at(ass, seconds - 1 / rate, rate=rate) and not shown_at(ass, seconds + 1 / rate, rate=rate)


def test_cards_break_at_sentence_and_clause_ends_and_follow_the_onsets():
    words = spoken(SENTENCES)
    result = _core.captions(job([SENTENCES], [len(words) * 0.3], words=[words], captions="phrases",
                                text_font=FONTS[0]))
    cues = result["cues"]
    assert " ".join(t.replace("\n", " ") for _, _, t in cues) == SENTENCES
    for start, end, text in cues:
        assert text.count("\n") <= 1
        assert text[-1] in ",;."
        # Drawn as written, on as many lines.
        middle = (start + end) / 2
        drawn = shown_at(result["ass"], middle, "Caption")
        assert [w for w, _ in drawn] == text.split()
        lines = {int(m) for m in re.findall(r"\\pos\(\d+,(\d+)\)", " ".join(
            t for s, e, name, t in events(result["ass"]) if s <= centis(middle) < e))}
        assert len(lines) == text.count("\n") + 1
    onsets = {round(start, 6) for _, start, _ in words}
    assert all(round(start, 6) in onsets for start, _, _ in cues)
    assert all(a[1] == b[0] for a, b in zip(cues, cues[1:]))
    assert {(s, e) for s, e, _, _ in events(result["ass"])} == {(centis(s), centis(e)) for s, e, _ in cues}


@pytest.mark.parametrize("aspect", ["9:16", "1:1"])
def test_a_card_is_never_more_than_two_lines(aspect):
    # The card that came out on three lines, and the widest letters.
    texts = ["Now he has to say the 3 words he practised all week.",
             "WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM."]
    result = _core.captions(job(texts, [3.0, 3.0], captions="phrases", text_font=FONTS[0], aspect=aspect))
    for start, end, text in result["cues"]:
        lines = {int(y) for s, e, _, t in events(result["ass"]) if s <= centis((start + end) / 2) < e
                 for y in re.findall(r"\\pos\(\d+,(\d+)\)", t)}
        assert 1 <= len(lines) <= 2 and len(lines) == text.count("\n") + 1, text


def test_without_word_times_words_share_the_narration_by_characters():
    text = "aaaa bb cccccc d"
    result = _core.captions(job([text], [3.0]))
    times = [(w, round(s, 6), round(e, 6)) for w, s, e, _ in result["words"]]
    assert times == [("aaaa", 0.0, 0.923077), ("bb", 0.923077, 1.384615),
                     ("cccccc", 1.384615, 2.769231), ("d", 2.769231, 3.0)]
    # Word times that do not match the text are not used, and that is said.
    off = _core.captions(job([text], [3.0], words=[[("aaaa", 0.0, 1.0)]]))
    assert off["words"] == result["words"]
    assert off["notes"] == ["segment 1: the voice timed 1 words of a text of 4; "
                            "its captions are timed by characters"]


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -1.0])
def test_word_times_must_be_real(bad):
    with pytest.raises(ValueError, match="segment 1: word 2's times must be finite"):
        _core.captions(job(["a b"], [1.0], words=[[("a", 0.0, 0.5), ("b", bad, 1.0)]]))
    with pytest.raises(ValueError, match="every segment or none"):
        _core.captions(job(["a", "b"], [1.0, 1.0], words=[[("a", 0.0, 0.5)]]))
    with pytest.raises(TypeError):
        _core.captions(job(["a"], [1.0], words=[[("a", "0", 0.5)]]))


def test_only_heard_words_under_a_cut_narration():
    text = "one two three four five six"
    words = [(w, i * 0.5, i * 0.5 + 0.4) for i, w in enumerate(text.split())]
    # A 1.6 s range under a 3 s narration: "four" begins at 1.5 and is cut at 1.6.
    result = _core.captions(job([text], [3.0], ranges=[(0.0, 1.6)], fit="range", words=[words]))
    assert [(w, round(s, 6), round(e, 6)) for w, s, e, _ in result["words"]] == [
        ("one", 0.0, 0.4), ("two", 0.5, 0.9), ("three", 1.0, 1.4), ("four", 1.5, 1.6)]
    assert "five" not in result["srt"] and "five" not in result["ass"]
    assert result["cues"][-1][1] == pytest.approx(1.6)
    assert max(end for _, end, _, _ in events(result["ass"])) == centis(1.6)


@pytest.mark.parametrize("speed", [0.5, 1.5, 4.0])
def test_speed_divides_every_time(speed):
    texts = ["a b, c d e.", "f g"]
    words = [spoken(texts[0], 0.4), None]
    ranges = [(2.0, 5.0), (7.0, 9.0)]
    slow = _core.captions(job(texts, [2.0, 1.5], ranges=ranges, words=words))
    fast = _core.captions(job(texts, [2.0, 1.5], ranges=ranges, words=words, speed=speed))
    assert [t / speed for _, s, e, _ in slow["words"] for t in (s, e)] == pytest.approx(
        [t for _, s, e, _ in fast["words"] for t in (s, e)])
    assert [t / speed for s, e, _ in slow["cues"] for t in (s, e)] == pytest.approx(
        [t for s, e, _ in fast["cues"] for t in (s, e)])
    # The second narration starts with its clip, 3 s into the joined clips.
    assert fast["words"][5][1:] == pytest.approx((3.0 / speed, 3.75 / speed, 2))


def test_characters_no_font_has_are_left_out_and_joiners_never_shown():
    text = f"Box \U0001F4E6 {NO_FONT}here \u2764\uFE0F \U0001F468\u200D\U0001F469 \u2603"
    result = _core.captions(job([text], [2.0], glyphs=font_glyphs(), text_font=FONTS[0],
                                emoji_font=FONTS[1]))
    assert result["notes"] == [f"segment 1: {NO_FONT} (U+{ord(NO_FONT):04X}) has no font here; left out of the captions"]
    shown = "".join(w for t in (0.1, 1.0, 1.9) for w, _ in shown_at(result["ass"], t))
    # The emoji are pictures of their own (three, the family as two faces);
    # a symbol that is no emoji (the snowman, U+2603) is text.
    assert "Box" in shown and "here" in shown and "\u2603" in shown
    assert not set(NO_FONT + "\uFE0F\u200D\U0001F4E6\u2764\U0001F468\U0001F469") & set(shown)
    assert len(result["emoji"]) == 3
    # The SRT keeps the text as written, for players with other fonts.
    assert text.replace(" ", "") in result["srt"].replace("\n", "").replace(" ", "")
    # Unknown coverage leaves every character in; without a colour emoji
    # font the emoji are left out, and that is said.
    plain = _core.captions(job([text], [2.0]))
    assert NO_FONT in plain["ass"] and not plain["emoji"]
    assert plain["notes"] == ["segment 1: \U0001F4E6, \u2764\uFE0F, \U0001F468\u200D\U0001F469 left out of "
                              "the captions: no colour emoji font here (Debian's fonts-noto-color-emoji)"]


def test_an_emoji_stays_beside_the_word_it_follows():
    text = "\U0001F389 Then it arrives \U0001F4E6 at last, \U0001F525 \U0001F525 and more."
    words = spoken(text)
    result = _core.captions(job([text], [len(words) * 0.3], words=[words], text_font=FONTS[0],
                                emoji_font=FONTS[1]))
    ass = result["ass"]
    # No page of emoji alone: every onset, an emoji's too, shows words.
    shown = pages(ass, words)
    assert all(shown) and [w for p in shown for w in p] == ["Then", "it", "arrives", "at", "last,", "and", "more."]

    def placed(seconds):
        """(x, y, word) of what the ASS shows then."""
        return sorted((int(x), int(y), t) for s, e, _, text in events(ass) if s <= centis(seconds) < e
                      for x, y, t in re.findall(r"\\pos\((\d+),(\d+)\)[^}]*\}(.*)$", text))

    beside = []
    for x, y, width, height, start, end in result["emoji"]:
        # Shown exactly while its page is, on its line, between its words.
        page = placed(start)
        assert [w for *_, w in placed(end - 1 / RATE)] == [w for *_, w in page]
        assert [w for *_, w in placed(end)] != [w for *_, w in page]
        assert {line for _, line, _ in page} == {y + height}
        beside.append(next((w for cx, _, w in reversed(page) if cx < x), None))
    # The first before "Then", the parcel after "arrives", the fires after "last,".
    assert beside == [None, "arrives", "last,", "last,"]

    # The voice gives an emoji after the last word no time of its own, at the
    # narration's very end: it stays with that word, in the SRT too.
    words = [("at", 0.0, 0.3), ("all", 0.3, 0.9), ("\U0001F602", 0.9, 0.9)]
    result = _core.captions(job(["at all \U0001F602"], [0.9], words=[words], text_font=FONTS[0],
                                emoji_font=FONTS[1]))
    assert [w[0] for w in result["words"]] == ["at", "all", "\U0001F602"]
    assert "all \U0001F602" in result["srt"] and len(result["emoji"]) == 1


def test_a_word_wider_than_the_frame_gets_a_smaller_font():
    result = _core.captions(job(["Go Incomprehensibilities WWWWWWWWWWWWWWWWWWWWWWWW"], [3.0]))
    sizes = [re.search(r"\\fs(\d+)", t) for *_, t in events(result["ass"])]
    assert sizes[0] is None
    assert 30 <= int(sizes[-1].group(1)) < int(sizes[1].group(1)) < 88


# --- real renders --------------------------------------------------------------------------

SPEED = 1.5
# Every page of these, and the longest phrase cards, must stay inside the
# safe area: a 16-character page of the widest capitals, a long word, an emoji.
TEXTS = ["*Wonderful!* Incomprehensibilities ahead, MMMMM WWWWW MMMM arrives \U0001F4E6 here.",
         "WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM WWWWW MMMMM."]
NARRATIONS = [3.2, 1.6]
WORDS = [[(w, 0.1 + 0.35 * i, 0.1 + 0.35 * i + 0.3) for i, w in enumerate(spoken_text(TEXTS[0]).split())], None]


def segment(start, end, text):
    return Segment(float(start), float(end), str(start), str(end), text)


TITLE = "The *parcel* nobody ordered \U0001F4E6"
# Per frame, how its captions look: (words, phrases), as render_studio's keywords.
LOOKS = {"9:16": ({}, {}),
         "1:1": ({"caption_style": "pop", "caption_position": "upper"},
                 {"caption_style": "boxed", "caption_position": "middle"}),
         "4:5": ({"caption_style": "karaoke"}, {"caption_style": "minimal", "caption_position": "upper"})}


@pytest.fixture(scope="module")
def caption_renders(tmp_path_factory):
    """Renders of a flat picture: without captions, and with pages of words
    and the title or with phrase cards, in a look of their own per frame;
    the 1:1 frame with the title alone besides."""
    d = tmp_path_factory.mktemp("captions")
    source = flat_video(d / "flat.mp4", 6)
    narrations = [tone(d / f"n{i}.wav", s) for i, s in enumerate(NARRATIONS)]
    segments = [segment(0, 3.2, TEXTS[0]), segment(3.2, 4.8, TEXTS[1])]
    out = {}
    for aspect, (words_look, phrases_look) in LOOKS.items():
        for mode, look in (("none", {}), ("words", dict(words_look, title=TITLE)), ("phrases", phrases_look)):
            key = mode if aspect == "9:16" else (aspect, mode)
            out[key] = render_studio(source, segments, d / f"{mode}{aspect.replace(':', 'x')}", narrations,
                                     captions=mode, speed=SPEED, quality="fast", words=WORDS, aspect=aspect,
                                     **look)
    out["1:1", "title"] = render_studio(source, segments, d / "title1x1", narrations, captions="srt",
                                        speed=SPEED, quality="fast", words=WORDS, aspect="1:1", title=TITLE)
    out["range"] = render_studio(source, [segment(0, 1.5, TEXTS[0])], d / "range", narrations[:1],
                                 fit="range", quality="fast", words=WORDS[:1])
    return out


def test_other_frames_are_their_size(caption_renders):
    for aspect in ("1:1", "4:5"):
        video = streams(caption_renders[aspect, "words"].video)["video"]
        assert (video["width"], video["height"]) == FRAMES[aspect]


def test_the_words_heard_are_reported_on_the_video_timeline(caption_renders):
    result = caption_renders["words"]
    first = WORDS[0]
    assert [(w, n) for w, _, _, n in result.words[:len(first)]] == [(w, 1) for w, _, _ in first]
    assert [t * SPEED for _, s, e, _ in result.words[:len(first)] for t in (s, e)] == pytest.approx(
        [t for _, s, e in first for t in (s, e)])
    second = result.words[len(first):]
    assert [w for w, *_ in second] == TEXTS[1].split() and {n for *_, n in second} == {2}
    # Over this silent source the first clip ends a pause of 0.2 s after its narration.
    at = result.segments[1].out_start
    assert at == pytest.approx(3.2 / SPEED + 0.2)
    assert second[0][1] == pytest.approx(at) and second[-1][2] == pytest.approx(at + 1.6 / SPEED)
    assert result.srt


def test_a_caption_is_shown_at_every_word_with_the_highlight(caption_renders):
    plain, words = caption_renders["none"].video, caption_renders["words"].video
    for text, start, end, _ in caption_renders["words"].words:
        at = start + min(0.05, (end - start) / 2)
        shown = frame(words, at, 0, 900, 1080, 600)
        assert shown != frame(plain, at, 0, 900, 1080, 600), f"no caption for {text!r} at {at:.2f}"
        # An emphasised word spoken is in the accent instead.
        assert (accent_pixels if text == "Wonderful!" else yellow_pixels)(shown) > 100, \
            f"no highlight for {text!r} at {at:.2f}"


@pytest.mark.parametrize("aspect", ["9:16", "1:1", "4:5"])
@pytest.mark.parametrize("mode", ["words", "phrases"])
def test_every_caption_pixel_is_inside_the_safe_area(caption_renders, mode, aspect):
    key = (lambda m: m) if aspect == "9:16" else (lambda m: (aspect, m))
    plain, shown = caption_renders[key("none")].video, caption_renders[key(mode)].video
    times = sorted({round(s + min(0.05, (e - s) / 2), 3) for _, s, e, _ in caption_renders[key(mode)].words})
    safe = safe_box(aspect)
    union = None
    for at in times:
        box = changed_box(gray_frame(plain, at), gray_frame(shown, at), FRAMES[aspect][0])
        assert box is not None, f"nothing shown at {at}"
        left, top, right, bottom = box
        assert safe[0] <= left and right <= safe[2] and safe[1] <= top and bottom <= safe[3], (at, box)
        union = box if union is None else (min(union[0], left), min(union[1], top),
                                           max(union[2], right), max(union[3], bottom))
    # The wide pages and cards do reach far to the sides.
    assert union[2] - union[0] > 0.75 * (safe[2] - safe[0]), union


def test_the_title_is_on_the_first_frame_above_the_captions_and_gone_after_3_s(caption_renders):
    for aspect in LOOKS:
        key = (lambda m: m) if aspect == "9:16" else (lambda m: (aspect, m))
        plain, titled = caption_renders[key("none")].video, caption_renders[key("words")].video
        width, height = FRAMES[aspect]
        first = changed_box(gray_frame(plain, 0), gray_frame(titled, 0), width)
        # In the upper third, large: its two lines a sixteenth of the frame high at least.
        assert first is not None and first[3] < height / 3 and first[3] - first[1] > height / 16, (aspect, first)
        # Gone after 3 s (where the captions stand in the upper part, the title alone is looked at).
        alone = caption_renders["1:1", "title"].video if aspect == "1:1" else titled
        assert changed_box(gray_frame(plain, 3.0)[:width * height // 3],
                           gray_frame(alone, 3.0)[:width * height // 3], width) is None
    # With captions in the upper part, what is shown with the title stays below it.
    title = caption_renders["1:1", "title"]
    title_box = changed_box(gray_frame(caption_renders["1:1", "none"].video, 0), gray_frame(title.video, 0), 1080)
    both = caption_renders["1:1", "words"]
    for _, start, end, _ in both.words:
        if start < TITLE_SECONDS:
            box = changed_box(gray_frame(title.video, start), gray_frame(both.video, start), 1080)
            assert box[1] > title_box[3], (start, box, title_box)


def test_an_emoji_is_drawn_in_colour_beside_its_word(caption_renders):
    result = caption_renders["words"]
    parcel = next(w for w in result.words if w[0] == "\U0001F4E6")
    shown = frame(result.video, parcel[1], 0, 900, 1080, 600)
    # The parcel's browns: neither the gray picture, the white and black of the
    # text nor the highlight's yellow.
    browns = sum(1 for i in range(0, len(shown), 3)
                 if shown[i] - shown[i + 2] > 50 and shown[i + 1] < 170 and shown[i] > 110)
    assert browns > 300, browns


def accent_pixels(rgb):
    """Pixels of the default accent, deep sky blue: not the gray picture, the
    text's white and black, or the highlight's yellow."""
    return sum(1 for i in range(0, len(rgb), 3) if rgb[i] < 90 and 140 < rgb[i + 1] < 230 and rgb[i + 2] > 200)


def test_an_emphasised_word_takes_the_accent_while_it_is_spoken_and_no_asterisk_shows(caption_renders):
    result = caption_renders["words"]
    assert [w[0] for w in result.words][:2] == ["Wonderful!", "Incomprehensibilities"]
    at = {w[0]: w[1] + 0.05 for w in result.words}
    assert accent_pixels(frame(result.video, at["Wonderful!"], 0, 900, 1080, 600)) > 300
    # Unmarked words are never drawn in the accent, spoken or not.
    for word in ("Incomprehensibilities", "ahead,"):
        assert accent_pixels(frame(result.video, at[word], 0, 900, 1080, 600)) == 0, word
    assert not any("*" in w[0] for r in caption_renders.values() for w in r.words)
    with open(caption_renders["phrases"].srt, encoding="utf-8") as f:
        srt = f.read()
    assert "\nWonderful!\n" in srt and "*" not in srt


def test_a_cut_narration_shows_and_lists_no_unheard_word(caption_renders):
    result = caption_renders["range"]
    heard = [w for w, start, _ in WORDS[0] if start < 1.5]
    assert [w for w, *_ in result.words] == heard
    assert max(e for _, _, e, _ in result.words) <= 1.5 + 1e-9
    with open(result.srt, encoding="utf-8") as f:
        srt = f.read()
    said = " ".join(b.split("\n", 2)[2].replace("\n", " ") for b in srt.strip().split("\n\n"))
    assert said.split() == heard


# --- glyphs through libass ---------------------------------------------------------------------


def burned_page(work, name, text, glyphs):
    """The ink of a one-word page burned on black, as gray pixels of the caption band."""
    (work / f"{name}.ass").write_text(
        _core.captions(job([text], [2.0], glyphs=glyphs))["ass"], encoding="utf-8")
    return ffmpeg("-f", "lavfi", "-i", "color=c=black:s=1080x1920:d=1", "-vf",
                  f"subtitles=filename={name}.ass,crop=1080:500:0:1000", "-frames:v", "1",
                  "-f", "rawvideo", "-pix_fmt", "gray", "-", cwd=work)


def test_a_character_no_font_has_is_no_box(tmp_path):
    glyphs = font_glyphs()
    # Unknown coverage shows what libass does with a character no font has: a box.
    box = burned_page(tmp_path, "box", NO_FONT, "")
    box_box = ink_box(box, 1080, 64)
    assert box_box is not None
    # The box is a tall hollow rectangle.
    assert (box_box[2] - box_box[0] + 1) / (box_box[3] - box_box[1] + 1) < 0.7
    assert ink_box(burned_page(tmp_path, "left_out", NO_FONT, glyphs), 1080, 64) is None
    with_joiners = burned_page(tmp_path, "joined", "x\u2603\uFE0E\u200Dy", glyphs)
    assert with_joiners == burned_page(tmp_path, "bare", "x\u2603y", glyphs)


# --- the command line ----------------------------------------------------------------------------


def test_the_command_reports_words_and_where_segments_went(tmp_path):
    movie = flat_video(tmp_path / "movie.mp4", 4)
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([seg("0", "1.5", "One, two."), seg("2", "3.5", "Three four.")]))
    r = subprocess.run([sys.executable, "-m", "clipweave", movie, str(segments), "--speech", "espeak-ng",
                        "--speed", "1.5", "--json", "--output-dir", "out"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    result = json.loads(r.stdout)
    words = result["words"]
    assert [w["text"] for w in words] == ["One,", "two.", "Three", "four."]
    assert [w["segment"] for w in words] == [1, 1, 2, 2]
    assert all(round(v, 3) == v for w in words for v in (w["start"], w["end"]))
    entries = result["segments"]
    assert [e["out_start"] for e in entries][0] == 0.0
    assert entries[1]["out_start"] == pytest.approx(entries[0]["out_end"], abs=0.001)
    assert entries[1]["out_end"] == pytest.approx(result["duration"], abs=0.05)
    assert all(e["out_start"] <= w["start"] < w["end"] <= e["out_end"] + 0.001
               for w in words for e in [entries[w["segment"] - 1]])
    assert words[2]["start"] == pytest.approx(entries[1]["out_start"], abs=0.001)
