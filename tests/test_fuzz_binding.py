"""Property tests of argument binding, checking and conversion.

Hypothesis draws mixes of positional and keyword arguments and odd objects
for all four callables, and calls each through one of three paths: Python
call syntax (vectorcall, keywords from a dict), the generic tp_call path
(``type(f).__call__(f, ...)``) and a raw vectorcall whose keyword-name tuple
may hold anything a C caller can put there. A small model of the binding
rules below predicts the outcome exactly: the exception type and message,
or the values that reach the body, which the tests observe through fakes
rebound as module globals.
"""
import math
import os
import sys
import tempfile
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import (
    NO_SLEEP, Boom, FakeRequests, FakeSubprocess, FloatRaises, FloatReturns, FloatSub,
    IndexRaises, IndexReturns, Sink, StrHash1, StrSub, atempo_reference, vectorcall)

# Fewer under scripts/sanitize.sh: the instrumented build is several times slower.
EXAMPLES = 250 if os.environ.get("CLIPWEAVE_SANITIZER_RUN") == "1" else 700
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck), print_blob=False)
drawn = {}  # callable -> examples run, reported at the end of the module
outcomes = {}  # (callable, outcome) -> examples, to show what the draws reached


# --- the signatures ---------------------------------------------------------

PARAMS = {
    "_download_video": (("url", "str"), ("output_file", "str")),
    "_generate_tts": (("text", "str"), ("output_file", "str"), ("voice", "str")),
    "_build_atempo_chain": (("speed", "float"),),
    "run_recap": (("youtube_url", "str"), ("segments_file", "str"), ("speed_factor", "float"),
                  ("tts_voice", "str"), ("output_dir", "str")),
}
REQUIRED = {"_download_video": 2, "_generate_tts": 3, "_build_atempo_chain": 1, "run_recap": 4}
DEFAULTS = {"run_recap": {"output_dir": "."}}
ALL_NAMES = sorted({p for params in PARAMS.values() for p, _ in params})


# --- odd objects --------------------------------------------------------------

class IntSub(int):
    pass


class Plain:
    pass


def tp_name(t):
    """The C-level name of a type, as the error formats see it."""
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # heap type, or builtin
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def cut(text, limit):
    """PyUnicode_FromFormat's %.<limit>s: UTF-8 bytes cut, then decoded with replace."""
    return text.encode("utf-8")[:limit].decode("utf-8", "replace")


# --- the model -----------------------------------------------------------------

class Predicted(Exception):
    """What the model expects: an exception of ``kind`` with ``message``."""

    def __init__(self, kind, message):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def as_double(o, strict_warnings):
    """PyFloat_AsDouble, predicted from the odd object's declared behaviour."""
    if isinstance(o, float):
        return float.__float__(o)
    t = type(o)
    if isinstance(o, FloatReturns):
        r = o.result
        if type(r) is float:
            return r
        if isinstance(r, float):
            if strict_warnings:
                raise Predicted(DeprecationWarning, (
                    f"{cut(tp_name(t), 50)}.__float__ returned non-float (type "
                    f"{cut(tp_name(type(r)), 50)}).  The ability to return an instance of a "
                    "strict subclass of float is deprecated, and may be removed in a future "
                    "version of Python."))
            return float.__float__(r)
        raise Predicted(TypeError, f"{cut(tp_name(t), 50)}.__float__ returned non-float "
                                   f"(type {cut(tp_name(type(r)), 50)})")
    if isinstance(o, FloatRaises):
        raise Predicted(o.error, o.message)
    if isinstance(o, int):  # bool and int subclasses have int's __float__
        try:
            return float(int(o))
        except OverflowError:
            raise Predicted(OverflowError, "int too large to convert to float") from None
    if isinstance(o, IndexRaises):
        raise Predicted(o.error, o.message)
    if isinstance(o, IndexReturns):
        r = o.result
        if not isinstance(r, int):
            raise Predicted(TypeError,
                            f"__index__ returned non-int (type {cut(tp_name(type(r)), 200)})")
        if type(r) is not int and strict_warnings:
            raise Predicted(DeprecationWarning, (
                f"__index__ returned non-int (type {cut(tp_name(type(r)), 200)}).  The ability "
                "to return an instance of a strict subclass of int is deprecated, and may be "
                "removed in a future version of Python."))
        return as_double(int(r), strict_warnings)
    raise Predicted(TypeError, f"must be real number, not {cut(tp_name(t), 50)}")


def text_of(key):
    return str.__str__(key)


def count_error(name, too_many, given):
    nparams, nrequired = len(PARAMS[name]), REQUIRED[name]
    qualifier, expected = "exactly", nparams
    if nrequired < nparams:
        qualifier, expected = ("at most", nparams) if too_many else ("at least", nrequired)
    plural = "" if expected == 1 else "s"
    return Predicted(TypeError, f"{name}() takes {qualifier} {expected} positional "
                                f"argument{plural} ({given} given)")


def predict(name, args, keywords, path, strict_warnings):
    """The values bound to the parameters, or raises Predicted."""
    params = [p for p, _ in PARAMS[name]]
    kinds = dict(PARAMS[name])
    nparams, nrequired = len(params), REQUIRED[name]
    nargs = len(args)
    if path != "raw" and any(not isinstance(k, str) for k, _ in keywords):
        raise Predicted(TypeError, "keywords must be strings")  # the host's dict check
    if not keywords:
        if not nrequired <= nargs <= nparams:
            raise count_error(name, nargs > nparams, nargs)
    elif nargs > nparams:
        raise count_error(name, True, nargs)
    slots = list(args) + [None] * (nparams - nargs)
    filled = [True] * nargs + [False] * (nparams - nargs)
    for key, value in keywords:
        if not isinstance(key, str):
            raise Predicted(TypeError, f"{name}() keywords must be strings")
        text = text_of(key)
        for i in range(nargs, nparams):
            if not filled[i] and params[i] == text:
                slots[i], filled[i] = value, True
                break
        else:
            if any(filled[i] and params[i] == text for i in range(nparams)):
                raise Predicted(TypeError, f"{name}() got multiple values for keyword "
                                           f"argument '{text}'")
            raise Predicted(TypeError, f"{name}() got an unexpected keyword argument '{text}'")
    if keywords:
        for i in range(nrequired):
            if not filled[i]:
                raise count_error(name, False, i)
    bound = dict(zip(params, slots))
    for i, p in enumerate(params):
        if not filled[i]:
            bound[p] = DEFAULTS[name][p]
    for p in params:
        if kinds[p] == "float":
            bound[p] = as_double(bound[p], strict_warnings)
    for p in params:
        o = bound[p]
        if kinds[p] == "str" and type(o) is not str:
            note = f". {SUBCLASS_NOTE}" if isinstance(o, str) else ""
            raise Predicted(TypeError, f"Argument '{p}' has incorrect type (expected str, got "
                                       f"{cut(tp_name(type(o)), 200)}){note}")
    return bound


def atempo_model(speed):
    if not math.isfinite(speed):
        raise Predicted(ValueError, f"speed must be a finite number, got {speed!r}")
    return atempo_reference(speed)


def _subclass_note():
    import clipweave.clipweave as cw
    try:
        cw._generate_tts(StrSub("t"), "o", "v")
    except TypeError as e:
        prefix = "Argument 'text' has incorrect type (expected str, got StrSub). "
        assert str(e).startswith(prefix), str(e)
        return str(e)[len(prefix):]
    raise AssertionError("a str subclass was accepted")


SUBCLASS_NOTE = _subclass_note()


# --- strategies -----------------------------------------------------------------

any_text = st.text(max_size=12)
# run_recap opens its segments file for real: a name made only of these
# stays inside the scratch directory and is a valid file name.
safe_text = st.text(st.characters(blacklist_categories=("Cs", "Cc"), blacklist_characters="/"),
                    min_size=1, max_size=12).filter(lambda t: t not in (".", ".."))
type_names = st.text(st.characters(whitelist_categories=("Lu", "Ll", "Lo")), min_size=1,
                     max_size=90)
finite_or_not = st.floats(allow_nan=True, allow_infinity=True)


@st.composite
def odd_value(draw):
    """Anything but an exact str or float: the objects binding must sort out."""
    kind = draw(st.sampled_from([
        "str sub", "named str sub", "float sub", "int", "huge int", "bool", "int sub", "None",
        "bytes", "path", "list", "float returns", "float returns sub", "float returns wrong",
        "float raises", "index", "index wrong", "index sub", "index raises", "plain",
        "named plain", "named float returns",
    ]))
    if kind == "str sub":
        return StrSub(draw(any_text))
    if kind == "named str sub":
        return type(draw(type_names), (StrSub,), {})(draw(any_text))
    if kind == "float sub":
        return FloatSub(draw(finite_or_not))
    if kind == "int":
        return draw(st.integers(-10**6, 10**6))
    if kind == "huge int":
        return draw(st.integers(2**1020, 2**1030)) * draw(st.sampled_from([1, -1]))
    if kind == "bool":
        return draw(st.booleans())
    if kind == "int sub":
        return IntSub(draw(st.integers(-100, 100)))
    if kind == "None":
        return None
    if kind == "bytes":
        return draw(st.binary(max_size=6))
    if kind == "path":
        import pathlib
        return pathlib.Path(draw(safe_text))
    if kind == "list":
        return [draw(any_text)]
    if kind == "float returns":
        return FloatReturns(draw(finite_or_not))
    if kind == "float returns sub":
        return FloatReturns(FloatSub(draw(finite_or_not)))
    if kind == "float returns wrong":
        return FloatReturns(draw(st.sampled_from([1, "1.5", None, b"2"])))
    if kind == "float raises":
        return FloatRaises(Boom, draw(any_text))
    if kind == "index":
        return IndexReturns(draw(st.integers(-2**1030, 2**1030)))
    if kind == "index wrong":
        return IndexReturns(draw(st.sampled_from([1.5, "3", None])))
    if kind == "index sub":
        return IndexReturns(draw(st.sampled_from([True, IntSub(7)])))
    if kind == "index raises":
        return IndexRaises(Boom, draw(any_text))
    if kind == "plain":
        return Plain()
    if kind == "named plain":
        return type(draw(type_names), (), {})()
    return type(draw(type_names), (FloatReturns,), {})(draw(st.sampled_from([2.5, "x"])))


def good_value(kind, text):
    return text if kind == "str" else st.one_of(finite_or_not, st.floats(0.1, 50.0))


@st.composite
def key_for(draw, text):
    """A keyword name with the text of ``text``: exact (fresh or interned) or a subclass."""
    how = draw(st.sampled_from(["interned", "fresh", "fresh", "sub", "hash1"]))
    if how == "interned":
        return sys.intern(text)
    if how == "fresh":
        return "".join(list(text))
    return (StrSub if how == "sub" else StrHash1)(text)


@st.composite
def call_plan(draw, name, text):
    """Positional arguments, keyword (name, value) pairs in call order, and a path."""
    params = PARAMS[name]
    nparams = len(params)

    def value(kind):
        if kind is None or draw(st.integers(0, 9)) < 2:
            return draw(odd_value())
        return draw(good_value(kind, text))

    nargs = draw(st.integers(0, nparams + 1))
    args = [value(params[i][1] if i < nparams else None) for i in range(nargs)]
    keywords = []
    for i, (p, kind) in enumerate(params):
        wanted = 8 if i >= nargs else 1  # out of 10: mostly fill the rest, rarely repeat
        if draw(st.integers(0, 9)) < wanted:
            keywords.append((draw(key_for(p)), value(kind)))
    if draw(st.integers(0, 9)) == 0:  # a name of another callable, or any text
        keywords.append((draw(key_for(draw(st.sampled_from(ALL_NAMES) | any_text))), value(None)))
    if draw(st.integers(0, 19)) == 0:
        keywords.append((draw(st.sampled_from([1, None, b"url", 2.5])), value(None)))
    keywords = draw(st.permutations(keywords))
    path = draw(st.sampled_from(["syntax", "generic", "raw"]))
    if path != "raw":
        # through a dict: equal keys collapse, as they would in any call
        as_dict = {}
        for k, v in keywords:
            as_dict[k] = v
        keywords = list(as_dict.items())
    elif draw(st.integers(0, 9)) == 0 and keywords:  # a C caller may repeat a name
        k, _ = draw(st.sampled_from(keywords))
        keywords.append((k, value(None)))
    return args, keywords, path


def call(func, args, keywords, path):
    if path == "raw":
        return vectorcall(func, args, [k for k, _ in keywords], [v for _, v in keywords])
    kwargs = dict(keywords)
    if path == "generic":
        return type(func).__call__(func, *args, **kwargs)
    return func(*args, **kwargs)


def outcome(func, args, keywords, path, strict_warnings, sentinel):
    """The call's result, or its exception (the sentinel of a fake included)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict_warnings else "ignore", DeprecationWarning)
        saved = sys.stdout
        sys.stdout = Sink()
        try:
            return "returned", call(func, args, keywords, path)
        except sentinel as e:
            return "reached", e.seen
        except Exception as e:  # noqa: BLE001 - compared with the model below
            return "raised", e
        finally:
            sys.stdout = saved


def check(name, func, args, keywords, path, strict, sentinel, observe):
    drawn[name] = drawn.get(name, 0) + 1
    try:
        bound = predict(name, args, keywords, path, strict)
        expected = None
    except Predicted as p:
        bound, expected = None, p
    kind, got = outcome(func, args, keywords, path, strict, sentinel)
    label = "body" if expected is None else f"{expected.kind.__name__}: {_shape(expected.message)}"
    outcomes[(name, label)] = outcomes.get((name, label), 0) + 1
    where = f"{name} via {path}: args={args!r} keywords={keywords!r}"
    if expected is not None:
        assert kind == "raised", f"{where}: expected {expected.kind.__name__}, got {kind} {got!r}"
        assert type(got) is expected.kind and str(got) == expected.message, (
            f"{where}:\n expected {expected.kind.__name__}: {expected.message!r}\n"
            f"      got {type(got).__name__}: {str(got)!r}")
        return
    observe(bound, kind, got, where)


def _shape(message):
    for shape in ("keywords must be strings", "got multiple values", "unexpected keyword",
                  "positional argument", "has incorrect type", "must be real number",
                  "returned non-float", "returned non-int", "too large"):
        if shape in message:
            return shape
    return "other"


# --- per callable: what reaches the body ----------------------------------------

class Reached(Exception):
    def __init__(self, seen):
        super().__init__("reached the body")
        self.seen = seen


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) ==
                                                    math.copysign(1, b))


@settings(SETTINGS)
@given(plan=call_plan("_build_atempo_chain", any_text), strict=st.booleans())
def test_build_atempo_chain(cw, plan, strict):
    args, keywords, path = plan

    def observe(bound, kind, got, where):
        try:
            expected = atempo_model(bound["speed"])
        except Predicted as p:
            assert kind == "raised" and type(got) is p.kind and str(got) == p.message, (
                f"{where}: expected {p.message!r}, got {kind} {got!r}")
            return
        assert (kind, got) == ("returned", expected), f"{where}: {kind} {got!r} != {expected!r}"

    check("_build_atempo_chain", cw._build_atempo_chain, args, keywords, path, strict,
          Reached, observe)


def draw_calls(name, text, examine):
    """``examine(args, keywords, path, strict)`` for each call plan drawn for ``name``.

    For properties whose fakes are bound once for all their examples.
    """
    @settings(SETTINGS)
    @given(plan=call_plan(name, text), strict=st.booleans())
    def run(plan, strict):
        args, keywords, path = plan
        examine(args, keywords, path, strict)

    run()


class FakeQuote:
    """quote() that notes the URL; the fake wget then shows the output path."""

    def __call__(self, url, safe="/"):
        self.url = url
        return "x"


def test_download_video(cw, rebind):
    quote = rebind("quote", FakeQuote())

    def stop_at_wget(argv):
        raise Reached({"url": quote.url, "output_file": argv[3]})

    rebind("subprocess", FakeSubprocess(status=stop_at_wget))
    rebind("requests", FakeRequests())
    rebind("time", NO_SLEEP)

    def observe(bound, kind, got, where):
        assert kind == "reached", f"{where}: the body was not reached: {kind} {got!r}"
        for p in ("url", "output_file"):
            assert got[p] is bound[p], f"{where}: {p} {got[p]!r} is not {bound[p]!r}"

    def examine(args, keywords, path, strict):
        check("_download_video", cw._download_video, args, keywords, path, strict, Reached,
              observe)

    draw_calls("_download_video", any_text, examine)


def stop_at_post(payload):
    raise Reached(payload)


def test_generate_tts(cw, rebind):
    rebind("requests", FakeRequests(post=stop_at_post))

    def observe(bound, kind, got, where):
        assert kind == "reached", f"{where}: the body was not reached: {kind} {got!r}"
        assert list(got) == ["text", "voice"]
        assert got["text"] is bound["text"] and got["voice"] is bound["voice"], where

    def examine(args, keywords, path, strict):
        check("_generate_tts", cw._generate_tts, args, keywords, path, strict, Reached,
              observe)

    draw_calls("_generate_tts", any_text, examine)


class RecapFakes:
    """Fakes that carry run_recap to its final stage and note what they see.

    os.path.join notes the directory and answers a path in the scratch
    directory; the segments file, really opened, holds one segment whose
    narration is the file's own name, so the fake speech call shows which
    file was read; _build_atempo_chain stops the run with the speed.
    """

    def __init__(self, scratch):
        fakes = self
        self.scratch = scratch
        self.seen = {}

        class Path:
            @staticmethod
            def join(directory, name):
                fakes.seen.setdefault("output_dir", directory)
                assert directory is fakes.seen["output_dir"]
                return os.path.join(scratch, name)

            exists = staticmethod(lambda path: False)
            abspath = staticmethod(os.path.abspath)

        self.os = type("FakeOs", (), {"path": Path, "remove": staticmethod(os.remove)})

    def download(self, url, output_file):
        self.seen["youtube_url"] = url

    def tts(self, text, output_file, voice):
        self.seen["segments_file"] = text
        self.seen["tts_voice"] = voice

    def atempo(self, speed):
        self.seen["speed_factor"] = speed
        raise Reached(dict(self.seen))


@pytest.fixture(scope="module")
def scratch():
    with tempfile.TemporaryDirectory() as d:
        yield d


def test_run_recap(cw, rebind, scratch):
    import json

    fakes = RecapFakes(scratch)
    rebind("os", fakes.os)
    rebind("_download_video", fakes.download)
    rebind("_generate_tts", fakes.tts)
    rebind("_build_atempo_chain", fakes.atempo)
    rebind("subprocess", FakeSubprocess())
    rebind("time", NO_SLEEP)

    def observe(bound, kind, got, where):
        assert kind == "reached", f"{where}: the body was not reached: {kind} {got!r}"
        for p in ("youtube_url", "tts_voice", "output_dir"):
            assert got[p] is bound[p], f"{where}: {p} {got[p]!r} is not {bound[p]!r}"
        assert got["segments_file"] == bound["segments_file"], where
        assert type(got["speed_factor"]) is float
        assert same_float(got["speed_factor"], bound["speed_factor"]), where

    def examine(args, keywords, path, strict):
        fakes.seen.clear()
        try:
            bound = predict("run_recap", args, keywords, path, strict)
        except Predicted:
            bound = None
        made = None
        if bound is not None:
            made = os.path.join(scratch, bound["segments_file"])
            with open(made, "w", encoding="utf-8") as f:
                json.dump([{"start": "1", "end": "2", "voiceover": bound["segments_file"]}], f)
        cwd = os.getcwd()
        os.chdir(scratch)
        try:
            check("run_recap", cw.run_recap, args, keywords, path, strict, Reached, observe)
        finally:
            os.chdir(cwd)
            if made is not None:
                os.remove(made)

    draw_calls("run_recap", safe_text, examine)


def test_examples_drawn():
    """Reports how many calls each property made (run with -s to see it)."""
    print("\nfuzz: examples drawn: " + ", ".join(f"{k} {v}" for k, v in sorted(drawn.items())))
    for (name, label), n in sorted(outcomes.items()):
        print(f"fuzz:   {name}: {label}: {n}")
    assert all(v >= EXAMPLES // 2 for v in drawn.values()), drawn
