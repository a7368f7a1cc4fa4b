"""Property tests of argument binding, checking and conversion.

Hypothesis draws mixes of positional and keyword arguments and odd objects
for all four callables, and calls each through one of three paths: Python
call syntax (vectorcall, keywords from a dict), the generic tp_call path
(``type(f).__call__(f, ...)``) and a raw vectorcall whose keyword-name tuple
may hold anything a C caller can put there. The values that reach the body
are observed through fakes rebound as module globals.

What each call must do comes from the interpreter, not from a second
binder written here: inspect binds the arguments against the callable's
own signature (where each one goes, which is missing, which name is
unknown or given twice), math.ldexp(o, 0) converts to float exactly as a
float parameter must (value, errors and warnings alike), and a str
parameter takes an exact str. The module reports the first problem of a
call in a fixed order: the positional count, then the keywords in the order
given, then a missing argument, then the float conversion, then the str
types; the expected error is the first of these the oracles object to.
"""
import inspect
import math
import os
import re
import sys
import tempfile
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import clipweave.clipweave as _module
from support import (
    NO_SLEEP, Boom, FakeRequests, FakeSubprocess, FloatRaises, FloatReturns, FloatSub,
    IndexRaises, IndexReturns, Sink, StrHash1, StrSub, check_atempo_chain, vectorcall)

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
DEFAULTS = {"run_recap": {"output_dir": "."}}
ALL_NAMES = sorted({p for params in PARAMS.values() for p, _ in params})

# The binding oracle reads the module's own signatures; they must say what
# this file expects, or a wrong signature and a wrong binder could agree.
SIGNATURES = {name: inspect.signature(getattr(_module, name)) for name in PARAMS}
for _name, _sig in SIGNATURES.items():
    assert [(p.name, p.kind, p.annotation) for p in _sig.parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, kind) for p, kind in PARAMS[_name]], _sig
    assert {p.name: p.default for p in _sig.parameters.values()
            if p.default is not p.empty} == DEFAULTS.get(_name, {}), _sig


# --- odd objects --------------------------------------------------------------

class IntSub(int):
    pass


class Plain:
    pass


# --- what a call must do --------------------------------------------------------

class Expected(Exception):
    """An error the call must raise: its type, and what its message must be.

    ``message`` is the exact text, or ``check(text)`` decides, for messages
    whose form is pinned in test_binding.py and whose details here are only
    partly the oracles' to say.
    """

    def __init__(self, kind, stage, message=None, check=None, form=None):
        super().__init__(kind, stage, message)
        self.kind = kind
        self.stage = stage
        self.message = message
        self.check = check if check is not None else (lambda text: text == message)
        self.form = form if form is not None else repr(message)


COUNT_FORM = re.compile(r"(?P<name>\w+)\(\) takes (?P<qualifier>exactly|at most|at least) "
                        r"(?P<expected>\d+) positional arguments? \((?P<given>\d+) given\)")


def count_error(name, too_many, given):
    """Too many positional arguments, or a required one missing: ``given``
    is what was passed, or the position of the first missing parameter."""
    sig = SIGNATURES[name]
    required = sum(p.default is p.empty for p in sig.parameters.values())
    expected = len(sig.parameters) if too_many else required
    qualifiers = ("exactly", "at most") if too_many else ("exactly", "at least")

    def check(text):
        m = COUNT_FORM.fullmatch(text)
        return (m is not None and m["name"] == name and m["qualifier"] in qualifiers
                and int(m["expected"]) == expected and int(m["given"]) == given)

    return Expected(TypeError, "positional count", check=check,
                    form=f"{name}() takes {'/'.join(qualifiers)} {expected} ... ({given} given)")


SUBCLASS_NOTE = ". Subclasses of built-in types are rejected; pass a plain str, e.g. str(value)"


def str_type_error(param, obj):
    """The message names the parameter and the argument's type (the format
    cuts a long name); a str subclass gets a note on how to pass it."""
    note = re.escape(SUBCLASS_NOTE) if isinstance(obj, str) else ""
    form = re.compile(rf"Argument '{re.escape(param)}' has incorrect type "
                      rf"\(expected str, got (?P<type>.+)\){note}", re.DOTALL)
    t = type(obj)
    names = (t.__name__, f"{t.__module__}.{t.__name__}")

    def check(text):
        m = form.fullmatch(text)
        if m is None:
            return False
        shown = m["type"].rstrip("\ufffd")  # a cut inside a character
        return bool(shown) and any(n.startswith(shown) for n in names)

    return Expected(TypeError, "str type", check=check, form=form.pattern)


def as_float(obj, strict_warnings):
    """obj converted as a float parameter converts it; raises Expected.

    math.ldexp converts its first argument with the same C call and hands
    it back unchanged with an exponent of 0, so its value, its error and
    its DeprecationWarnings are what the conversion must give.
    """
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict_warnings else "ignore", DeprecationWarning)
        try:
            return math.ldexp(obj, 0)
        except Exception as e:  # noqa: BLE001 - whatever it is, the module must raise it too
            raise Expected(type(e), "float conversion", message=str(e)) from None


def _accepts_anything(*args, **kwargs):
    pass


def expect(name, args, keywords, path, strict_warnings):
    """The values bound to the parameters, in parameter order, or raises Expected."""
    sig = SIGNATURES[name]
    if path != "raw":
        # Keywords from a dict: the call itself refuses names that are not
        # strings before any callable sees them.
        try:
            call(_accepts_anything, args, keywords, path)
        except TypeError as e:
            raise Expected(TypeError, "refused by the call", message=str(e)) from None
    try:
        sig.bind_partial(*args)
    except TypeError:
        raise count_error(name, True, len(args)) from None
    placed = {}
    for key, value in keywords:
        if not isinstance(key, str):
            # Only a C caller can get here; the module names itself.
            raise Expected(TypeError, "keyword not a str",
                           message=f"{name}() keywords must be strings")
        text = str.__str__(key)
        try:
            # A name given twice is refused by the ** merge itself.
            sig.bind_partial(*args, **placed, **{text: value})
        except TypeError:
            if text in sig.parameters:
                raise Expected(TypeError, "multiple values", message=(
                    f"{name}() got multiple values for keyword argument '{text}'")) from None
            raise Expected(TypeError, "unexpected keyword", message=(
                f"{name}() got an unexpected keyword argument '{text}'")) from None
        placed[text] = value
    try:
        bound = sig.bind(*args, **placed)
    except TypeError:
        partial = sig.bind_partial(*args, **placed).arguments
        first_missing = next(i for i, p in enumerate(sig.parameters.values())
                             if p.default is p.empty and p.name not in partial)
        raise count_error(name, False, first_missing) from None
    bound.apply_defaults()
    values = dict(bound.arguments)
    for p in sig.parameters.values():
        if p.annotation == "float":
            values[p.name] = as_float(values[p.name], strict_warnings)
    for p in sig.parameters.values():
        if p.annotation == "str" and type(values[p.name]) is not str:
            raise str_type_error(p.name, values[p.name])
    return values


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
        bound = expect(name, args, keywords, path, strict)
        expected = None
    except Expected as e:
        bound, expected = None, e
    kind, got = outcome(func, args, keywords, path, strict, sentinel)
    label = "body" if expected is None else f"{expected.kind.__name__}: {expected.stage}"
    outcomes[(name, label)] = outcomes.get((name, label), 0) + 1
    where = f"{name} via {path}: args={args!r} keywords={keywords!r}"
    if expected is not None:
        assert kind == "raised", f"{where}: expected {expected.kind.__name__}, got {kind} {got!r}"
        assert type(got) is expected.kind and expected.check(str(got)), (
            f"{where}:\n expected {expected.kind.__name__} ({expected.stage}): {expected.form}\n"
            f"      got {type(got).__name__}: {str(got)!r}")
        return
    observe(bound, kind, got, where)


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
        speed = bound["speed"]
        if not math.isfinite(speed):
            message = f"speed must be a finite number, got {speed!r}"
            assert kind == "raised" and type(got) is ValueError and str(got) == message, (
                f"{where}: expected {message!r}, got {kind} {got!r}")
            return
        assert kind == "returned", f"{where}: {kind} {got!r}"
        check_atempo_chain(speed, got)

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
            bound = expect("run_recap", args, keywords, path, strict)
        except Expected:
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
