"""Argument binding, checking and conversion of the four callables.

Every error here must be raised before the body starts: the body's first
global use is rebound to a sentinel, so a body that ran would show.
"""
import pathlib
import sys
from types import SimpleNamespace

import pytest

import clipweave.clipweave as cw
from support import FakeRequests, FloatRaises, FloatReturns, FloatSub, IndexReturns, StrSub


class BodyReached(Exception):
    """Raised by a rebound global: the body started, with these values."""


def _reach(*args, **kwargs):
    raise BodyReached(args, kwargs)


@pytest.fixture(autouse=True)
def sentinels(rebind):
    """The first global each body uses records what reached it."""
    rebind("quote", _reach)  # _download_video
    rebind("requests", FakeRequests(start=_reach, progress=_reach, post=_reach))  # _generate_tts
    rebind("os", SimpleNamespace(path=SimpleNamespace(join=_reach)))  # run_recap


# name -> (parameter names, required count, a valid argument per parameter)
CALLABLES = {
    "_download_video": (("url", "output_file"), 2, ("u", "o")),
    "_generate_tts": (("text", "output_file", "voice"), 3, ("t", "o", "v")),
    "_build_atempo_chain": (("speed",), 1, (1.5,)),
    "run_recap": (
        ("youtube_url", "segments_file", "speed_factor", "tts_voice", "output_dir"),
        4,
        ("u", "s", 1.5, "v", "d"),
    ),
}


def count_message(name, given, too_many):
    params, required, _ = CALLABLES[name]
    if required == len(params):
        qualifier, expected = "exactly", len(params)
    elif too_many:
        qualifier, expected = "at most", len(params)
    else:
        qualifier, expected = "at least", required
    noun = "argument" if expected == 1 else "arguments"
    return f"{name}() takes {qualifier} {expected} positional {noun} ({given} given)"


def call_expecting(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


def outcome(fn, *args, **kwargs):
    try:
        return "returned", fn(*args, **kwargs)
    except Exception as e:
        return type(e), e.args


# --- counts -------------------------------------------------------------------


@pytest.mark.parametrize("name", CALLABLES)
def test_positional_counts_outside_the_range(name, capsys):
    params, required, valid = CALLABLES[name]
    fn = getattr(cw, name)
    for n in range(0, required):
        call_expecting(TypeError, count_message(name, n, False), fn, *valid[:n])
    for n in (len(params) + 1, len(params) + 3):
        args = list(valid) + ["x"] * (n - len(params))
        call_expecting(TypeError, count_message(name, n, True), fn, *args)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cw.run_recap("a", "b", 1), "run_recap() takes at least 4 positional arguments (3 given)"),
        (lambda: cw.run_recap("a", "b", 1, "v", ".", 6), "run_recap() takes at most 5 positional arguments (6 given)"),
        (lambda: cw._build_atempo_chain(), "_build_atempo_chain() takes exactly 1 positional argument (0 given)"),
        (lambda: cw._build_atempo_chain(1, 2), "_build_atempo_chain() takes exactly 1 positional argument (2 given)"),
        (lambda: cw._generate_tts("a"), "_generate_tts() takes exactly 3 positional arguments (1 given)"),
    ],
)
def test_argument_count_messages_name_the_bounds_and_the_count_given(call, message):
    call_expecting(TypeError, message, call)


@pytest.mark.parametrize("name", CALLABLES)
def test_too_many_positionals_with_keywords(name):
    params, _, valid = CALLABLES[name]
    fn = getattr(cw, name)
    args = list(valid) + ["extra"]
    call_expecting(TypeError, count_message(name, len(args), True), fn, *args, zzz=1)


@pytest.mark.parametrize(
    "name, kwargs, given",
    [
        # The count is the position of the first missing parameter.
        ("run_recap", dict(youtube_url="a", segments_file="b", tts_voice="c"), 2),
        ("run_recap", dict(speed_factor=1.0, tts_voice="c"), 0),
        ("run_recap", dict(youtube_url="a", segments_file="b", speed_factor=1.0, output_dir="d"), 3),
        ("_generate_tts", dict(text="a", voice="v"), 1),
        ("_download_video", dict(output_file="o"), 0),
    ],
)
def test_missing_required_keyword_reports_its_position(name, kwargs, given):
    call_expecting(TypeError, count_message(name, given, False), getattr(cw, name), **kwargs)


def test_missing_after_positionals_counts_from_zero():
    call_expecting(
        TypeError,
        "run_recap() takes at least 4 positional arguments (3 given)",
        cw.run_recap, "a", "b", 1.0, output_dir="d",
    )


# --- keywords -----------------------------------------------------------------


@pytest.mark.parametrize("name", CALLABLES)
def test_keyword_repeating_a_positional(name):
    params, _, valid = CALLABLES[name]
    fn = getattr(cw, name)
    call_expecting(
        TypeError,
        f"{name}() got multiple values for keyword argument '{params[0]}'",
        fn, *valid, **{params[0]: valid[0]},
    )


@pytest.mark.parametrize("name", CALLABLES)
def test_unexpected_keyword(name):
    fn = getattr(cw, name)
    _, _, valid = CALLABLES[name]
    call_expecting(TypeError, f"{name}() got an unexpected keyword argument 'speed_x'", fn, *valid, speed_x=1)


def test_first_keyword_error_wins_in_the_order_given():
    call_expecting(
        TypeError,
        "run_recap() got an unexpected keyword argument 'nope'",
        cw.run_recap, "a", nope=1, youtube_url="b",
    )
    call_expecting(
        TypeError,
        "run_recap() got multiple values for keyword argument 'youtube_url'",
        cw.run_recap, "a", youtube_url="b", nope=1,
    )


@pytest.mark.parametrize("name", CALLABLES)
def test_generic_call_path_rejects_non_string_names(name):
    fn = getattr(cw, name)
    call_expecting(TypeError, "keywords must be strings", lambda: type(fn).__call__(fn, **{1: 2}))


@pytest.mark.parametrize("name", CALLABLES)
def test_generic_call_path_binds_like_vectorcall(name):
    params, _, valid = CALLABLES[name]
    fn = getattr(cw, name)
    via_call = type(fn).__call__
    kwargs = {StrSub(params[-1]): valid[-1]}  # a str subclass is a string name
    assert outcome(via_call, fn, *valid[:-1], **kwargs) == outcome(fn, *valid)
    call_expecting(TypeError, f"{name}() got an unexpected keyword argument 'bogus'", via_call, fn, *valid, bogus=1)


def test_str_subclass_keyword_name_matches_by_equality():
    assert cw._build_atempo_chain(**{StrSub("speed"): 3.0}) == "atempo=2.0,atempo=1.5000"


def test_keywords_in_any_order_reach_the_right_parameters():
    with pytest.raises(BodyReached) as info:
        cw.run_recap(output_dir="d", tts_voice="v", speed_factor=2, segments_file="s", youtube_url="u")
    assert info.value.args[0] == ("d", "movie.mp4")


# --- str parameters -------------------------------------------------------------


def type_message(param, obj):
    note = ""
    if isinstance(obj, str):
        note = ". Subclasses of built-in types are rejected; pass a plain str, e.g. str(value)"
    return f"Argument '{param}' has incorrect type (expected str, got {type(obj).__name__}){note}"


BAD_STRS = [None, StrSub("x"), pathlib.PurePosixPath("a"), pathlib.Path("a"), b"bytes", 3]


@pytest.mark.parametrize("bad", BAD_STRS, ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("name", ["_download_video", "_generate_tts", "run_recap"])
def test_every_str_parameter_wants_exactly_str(name, bad, capsys):
    params, _, valid = CALLABLES[name]
    fn = getattr(cw, name)
    for i, param in enumerate(params):
        if isinstance(valid[i], float):
            continue
        args = list(valid)
        args[i] = bad
        call_expecting(TypeError, type_message(param, bad), fn, *args)
    assert capsys.readouterr().out == ""


def test_type_messages_name_the_argument_and_both_types():
    call_expecting(
        TypeError,
        "Argument 'output_dir' has incorrect type (expected str, got NoneType)",
        cw.run_recap, "u", "s", 1.0, "v", None,
    )
    call_expecting(
        TypeError,
        "Argument 'segments_file' has incorrect type (expected str, got PosixPath)",
        cw.run_recap, "u", pathlib.Path("s.json"), 1.0, "v",
    )


@pytest.mark.parametrize(
    "name, args, first",
    [
        ("run_recap", (None, None, 1.0, None, None), "youtube_url"),
        ("run_recap", ("u", None, 1.0, None, None), "segments_file"),
        ("run_recap", ("u", "s", 1.0, None, None), "tts_voice"),
        ("_generate_tts", (1, 2, 3), "text"),
        ("_generate_tts", ("t", None, StrSub("v")), "output_file"),
        ("_download_video", (b"u", None), "url"),
    ],
)
def test_first_bad_str_in_parameter_order_is_reported(name, args, first):
    with pytest.raises(TypeError, match=rf"^Argument '{first}' "):
        getattr(cw, name)(*args)


def test_unfilled_output_dir_takes_dot():
    with pytest.raises(BodyReached) as info:
        cw.run_recap("u", "s", 1.0, "v")
    assert info.value.args[0] == (".", "movie.mp4")
    with pytest.raises(BodyReached) as info:
        cw.run_recap("u", "s", 1.0, tts_voice="v")
    assert info.value.args[0] == (".", "movie.mp4")


# --- float parameters -------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, "atempo=2.0"),
        (True, "atempo=1.0"),
        (False, "atempo=0.0"),
        (FloatSub(1.25), "atempo=1.25"),
        (FloatReturns(3.0), "atempo=2.0,atempo=1.5000"),
        (IndexReturns(7), "atempo=2.0,atempo=2.0,atempo=1.7500"),
        (-1.0, "atempo=-1.0"),  # -1.0 is an ordinary value, not an error marker
    ],
    ids=["int", "True", "False", "float-subclass", "__float__", "__index__", "minus-one"],
)
def test_float_conversion(value, expected):
    assert cw._build_atempo_chain(value) == expected


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        ("2", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        (b"2", TypeError, "must be real number, not bytes"),
        (10**400, OverflowError, "int too large to convert to float"),
        (FloatReturns("x"), TypeError, "FloatReturns.__float__ returned non-float (type str)"),
        (FloatRaises(), LookupError, "no float here"),
    ],
)
@pytest.mark.parametrize("name", ["_build_atempo_chain", "run_recap"])
def test_float_conversion_errors_are_the_hosts(name, value, exc_type, message):
    if name == "run_recap":
        # The float is converted before any str parameter is looked at.
        call = lambda: cw.run_recap(None, None, value, None, None)
    else:
        call = lambda: cw._build_atempo_chain(value)
    call_expecting(exc_type, message, call)


# --- nothing runs after a failure; references stay balanced ------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda a: cw._download_video(a, None),
        lambda a: cw._generate_tts(a, "o", StrSub("v")),
        lambda a: cw.run_recap(a, "s", "2", "v"),
        lambda a: cw.run_recap(a, "s", 1.0, "v", youtube_url=a),
        lambda a: cw._build_atempo_chain(speed=a),
        lambda a: cw._download_video(a, "o"),  # reaches the body
        lambda a: cw._build_atempo_chain(3.5),
    ],
)
def test_reference_counts_are_unchanged(call):
    arg = "a fresh string object " + str(id(call))
    before = sys.getrefcount(arg)
    for _ in range(100):
        try:
            call(arg)
        except Exception:
            pass
    assert sys.getrefcount(arg) == before


def test_argument_list_of_any_shape_does_not_crash():
    shapes = [(), (None,) * 7, ("a",) * 40]
    for name in CALLABLES:
        fn = getattr(cw, name)
        for args in shapes:
            with pytest.raises(Exception):
                fn(*args)
        with pytest.raises(TypeError):
            fn(**{f"k{i}": i for i in range(50)})
