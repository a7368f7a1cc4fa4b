"""What the module and its callables say about themselves."""
import importlib
import inspect
import pickle
import pydoc
import re

import pytest

import clipweave.clipweave as cw

SIGNATURES = {
    "_download_video": "(url: 'str', output_file: 'str') -> 'None'",
    "_generate_tts": "(text: 'str', output_file: 'str', voice: 'str') -> 'None'",
    "_build_atempo_chain": "(speed: 'float') -> 'str'",
    "run_recap": (
        "(youtube_url: 'str', segments_file: 'str', speed_factor: 'float', "
        "tts_voice: 'str', output_dir: 'str' = '.') -> 'str'"
    ),
}

# What help() and inspect.getdoc show of the two documented callables.
RUN_RECAP_HELP = """\
Main recap processing engine.

1. Download YouTube video
2. Load segments.json
3. Generate TTS for each segment
4. Cut video clips
5. Merge clips with audio
6. Concatenate all clips
7. Convert to 9:16 vertical + apply speed
8. Cleanup temp files

Returns path to FINAL_RECAP.mp4"""
ATEMPO_HELP = """\
Build ffmpeg atempo filter chain.
atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds."""

# The package's other extension modules.
EXTENSIONS = ["clipweave.studio._core", "clipweave.voice._engines", "clipweave.align._align",
              "clipweave.follow._follow"]


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    assert str(inspect.signature(getattr(cw, name))) == SIGNATURES[name]


@pytest.mark.parametrize("name", SIGNATURES)
def test_names_module_and_defaults(name):
    fn = getattr(cw, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "clipweave.clipweave"
    assert fn.__kwdefaults__ is None
    assert fn.__defaults__ == ((".",) if name == "run_recap" else None)
    code = fn.__code__
    params = list(inspect.signature(fn).parameters)
    assert code.co_argcount == len(params)
    assert code.co_varnames[: len(params)] == tuple(params)
    assert code.co_posonlyargcount == code.co_kwonlyargcount == 0


@pytest.mark.parametrize("name", SIGNATURES)
def test_annotations_are_strings_in_parameter_order(name):
    ann = getattr(cw, name).__annotations__
    params = list(inspect.signature(getattr(cw, name)).parameters)
    assert list(ann) == params + ["return"]
    assert all(type(v) is str for v in ann.values())


@pytest.mark.parametrize("name, shown", [("run_recap", RUN_RECAP_HELP),
                                         ("_build_atempo_chain", ATEMPO_HELP)])
def test_docstrings_read_as_a_def_body_writes_them(name, shown):
    fn = getattr(cw, name)
    assert inspect.getdoc(fn) == shown
    # As the docstring of a def stands in its source: from the line after the
    # opening quotes, every line (blank ones too) indented by four spaces, the
    # closing quotes on a line of their own.
    assert fn.__doc__ == "\n" + "".join(f"    {line}\n" for line in shown.split("\n")) + "    "
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert all(line in text for line in shown.split("\n"))


def test_the_other_docstrings_are_one_line_and_the_module_has_one():
    for name in ("_download_video", "_generate_tts"):
        doc = getattr(cw, name).__doc__
        assert doc and "\n" not in doc and "service" in doc
    assert inspect.getdoc(cw)


def one_line(text):
    # Newer help() breaks a long signature into one parameter a line.
    return re.sub(r"\(\s+", "(", re.sub(r",\s+", ", ", re.sub(r",?\s+\)", ")", text)))


def test_help_shows_signature_and_documentation():
    text = pydoc.render_doc(cw.run_recap, renderer=pydoc.plaintext)
    assert "run_recap" + SIGNATURES["run_recap"] in one_line(text)
    module_text = pydoc.render_doc(cw, renderer=pydoc.plaintext)
    assert "run_recap" + SIGNATURES["run_recap"] in one_line(module_text)


def test_globals_in_binding_order():
    names = [n for n in vars(cw) if not (n.startswith("__") and n.endswith("__")) or n == "__test__"]
    assert names == [
        "json", "subprocess", "requests", "base64", "re", "time", "os", "quote",
        "_download_video", "_generate_tts", "_build_atempo_chain", "run_recap", "__test__",
    ]
    import json, os, re, subprocess, time, base64, urllib.parse, requests

    assert (cw.json, cw.subprocess, cw.requests, cw.base64, cw.re, cw.time, cw.os) == (
        json, subprocess, requests, base64, re, time, os,
    )
    assert cw.quote is urllib.parse.quote
    assert cw.__test__ == {}


def test_callables_pickle_by_reference_and_bind_as_methods():
    assert pickle.loads(pickle.dumps(cw.run_recap)) is cw.run_recap

    class Holder:
        build = cw._build_atempo_chain

    # Like a Python function, it binds to an instance; the instance is
    # then the first argument, which is not a number.
    with pytest.raises(TypeError, match="must be real number, not Holder"):
        Holder().build()
    assert Holder.build(3.0) == "atempo=2.0,atempo=1.5000"


@pytest.mark.parametrize("name", EXTENSIONS)
def test_extension_functions_show_their_parameters(name):
    """help() and inspect.signature give each function's parameters, and the
    signature tells which may be passed by name."""
    module = importlib.import_module(name)
    assert inspect.getdoc(module)
    functions = [f for f in vars(module).values() if inspect.isbuiltin(f)]
    assert functions
    for fn in functions:
        signature = inspect.signature(fn)
        assert fn.__text_signature__ == str(signature)
        text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
        assert f"{fn.__name__}{signature}" in one_line(text)
        assert "\n--\n" not in text and inspect.getdoc(fn)
        params = list(signature.parameters.values())
        if not params:
            continue
        by_name = {p.name: None for p in params}
        with pytest.raises(TypeError) as refused:  # None is no value any of them takes
            fn(**by_name)
        positional_only = params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        assert ("keyword argument" in str(refused.value)) == positional_only, (fn, refused.value)
