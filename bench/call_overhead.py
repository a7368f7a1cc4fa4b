"""Call overhead: the module's callables beside pure-Python twins.

Each twin has the same signature, the same exact-type checks in the same
order, the same messages built with the same format strings and the same
body, so the ratio measures what the native binding and body save (or cost)
per call, not a difference in work.
"""
import math
import timeit

_NOTE = "Subclasses of built-in types are rejected; pass a plain str, e.g. str(value)"
_TYPE_ERROR = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s"


def _str_error(param, obj):
    subclass = isinstance(obj, str)
    return TypeError(
        _TYPE_ERROR
        % (param, "str", type(obj).__name__, ". " if subclass else "", _NOTE if subclass else "")
    )


def _as_double(obj):
    # The interpreter's float conversion: __float__, else __index__, else refuse.
    kind = type(obj)
    if kind is float:
        return obj
    to_float = getattr(kind, "__float__", None)
    if to_float is not None:
        value = to_float(obj)
        if type(value) is not float:
            if not isinstance(value, float):
                raise TypeError(
                    "%.50s.__float__ returned non-float (type %.50s)"
                    % (kind.__name__, type(value).__name__)
                )
            value = float.__float__(value)
        return value
    to_index = getattr(kind, "__index__", None)
    if to_index is not None:
        return int.__float__(to_index(obj))
    raise TypeError("must be real number, not %.50s" % kind.__name__)


def _download_video(url, output_file):
    if type(url) is not str:
        raise _str_error("url", url)
    if type(output_file) is not str:
        raise _str_error("output_file", output_file)
    raise NotImplementedError  # the service client; never reached here


def _generate_tts(text, output_file, voice):
    if type(text) is not str:
        raise _str_error("text", text)
    if type(output_file) is not str:
        raise _str_error("output_file", output_file)
    if type(voice) is not str:
        raise _str_error("voice", voice)
    raise NotImplementedError


def _build_atempo_chain(speed):
    speed = speed if type(speed) is float else _as_double(speed)
    if not math.isfinite(speed):
        raise ValueError("speed must be a finite number, got %s" % repr(speed))
    if speed <= 2.0:
        return "atempo=" + repr(speed)
    filters = []
    remaining = speed
    while remaining > 2.0:
        filters.append("atempo=2.0")
        remaining *= 0.5
    filters.append(f"atempo={remaining:.4f}")
    return ",".join(filters)


def run_recap(youtube_url, segments_file, speed_factor, tts_voice, output_dir="."):
    speed_factor = speed_factor if type(speed_factor) is float else _as_double(speed_factor)
    if type(youtube_url) is not str:
        raise _str_error("youtube_url", youtube_url)
    if type(segments_file) is not str:
        raise _str_error("segments_file", segments_file)
    if type(tts_voice) is not str:
        raise _str_error("tts_voice", tts_voice)
    if type(output_dir) is not str:
        raise _str_error("output_dir", output_dir)
    raise NotImplementedError


class Text(str):
    """A str subclass: rejected by the exact-type check."""


# (label, callable name, argument source, expected exception or None)
CASES = [
    ("_build_atempo_chain(1.5)", "_build_atempo_chain", "1.5", None),
    ("_build_atempo_chain(3.0)", "_build_atempo_chain", "3.0", None),
    ("_build_atempo_chain(100.0)", "_build_atempo_chain", "100.0", None),
    ("_build_atempo_chain(None)", "_build_atempo_chain", "None", TypeError),
    ("_download_video(None, ...)", "_download_video", "None, 'movie.mp4'", TypeError),
    ("_download_video(Text, ...)", "_download_video", "URL, 'movie.mp4'", TypeError),
    ("_generate_tts(None, ...)", "_generate_tts", "None, 'voice_0.mp3', 'alto'", TypeError),
    ("_generate_tts(Text, ...)", "_generate_tts", "TEXT, 'voice_0.mp3', 'alto'", TypeError),
    ("run_recap(None, ...)", "run_recap", "None, 'segments.json', 1.5, 'alto'", TypeError),
    ("run_recap(Text, ...)", "run_recap", "URL, 'segments.json', 1.5, 'alto'", TypeError),
]

# Beyond the timed cases, where a twin would part from the module first.
# The ratios mean something only while each twin does what the module does,
# so every measurement checks them all first.
CHECKS = [
    ("_build_atempo_chain", "2"),
    ("_build_atempo_chain", "True"),
    ("_build_atempo_chain", "-1.0"),
    ("_build_atempo_chain", "0.1 + 0.2"),
    ("_build_atempo_chain", "1e300"),
    # Ties at the fourth decimal of the last factor (1.03125, 1.09375).
    ("_build_atempo_chain", "4.125"),
    ("_build_atempo_chain", "4.375"),
    ("_build_atempo_chain", "2.0000000000000004"),
    # Where repr changes layout, and the longest short decimals.
    ("_build_atempo_chain", "1e-4"),
    ("_build_atempo_chain", "9.999999999999999e-05"),
    ("_build_atempo_chain", "-1e15"),
    ("_build_atempo_chain", "-999999999999999.9"),
    ("_build_atempo_chain", "-123456789012345.6"),
    ("_build_atempo_chain", "-1e16"),
    ("_build_atempo_chain", "-0.0"),
    ("_build_atempo_chain", "float('inf')"),
    ("_build_atempo_chain", "'2'"),
    ("_build_atempo_chain", "2**2000"),
    ("run_recap", "'u', 's', None, 'v'"),
    ("run_recap", "'u', 's', 1.0, 'v', TEXT"),
    ("_generate_tts", "'t', 'o', URL"),
]


def _short_decimals_and_ties():
    """Speeds of few digits at every scale, and binary fractions whose last
    factor can sit exactly halfway between two four-decimal texts: where
    formatting shortcuts would go wrong first."""
    for digits in (1, 7, 25, 333, 4125, 99999, 1234567, 10**15 + 1, 10**17 - 1):
        for scale in range(-22, 19):
            yield digits * 10.0**scale
    for numerator in range(1, 2**16, 257):
        for halvings in range(17):
            yield numerator / 2.0**halvings


def check_twins(module):
    """AssertionError at the first call where a twin and the module differ."""
    for _, name, args, _ in CASES:
        check_same_outcome(module, name, args)
    for name, args in CHECKS:
        check_same_outcome(module, name, args)
    for speed in _short_decimals_and_ties():
        for value in (speed, -speed):
            check_same_outcome(module, "_build_atempo_chain", repr(value))


_NAMESPACE = {
    "URL": Text("https://www.youtube.com/watch?v=x"),
    "TEXT": Text("Once upon a time"),
}


def _statement(name, args, error):
    call = f"{name}({args})"
    if error is None:
        return call
    return f"try:\n    {call}\nexcept {error.__name__}:\n    pass"


def check_same_outcome(module, name, args):
    """The module's callable and its twin agree on result or exception and message."""

    def outcome(fn):
        try:
            return ("ok", eval(f"fn({args})", dict(_NAMESPACE, fn=fn)))
        except Exception as exc:  # noqa: BLE001 - compared, not handled
            return (type(exc).__name__, str(exc))

    a, b = outcome(getattr(module, name)), outcome(globals()[name])
    if a != b:
        raise AssertionError(f"{name}({args}): module {a!r} != twin {b!r}")


def measure(module, repeat=7, min_time=0.1, number=None, cases=CASES):
    """Per-call seconds for each case, native and twin timed in alternation.

    number: loops per repeat; by default sized so that the twin's side of
    each repeat takes about min_time seconds.

    Returns a list of dicts: label, ok (True for a successful call),
    native, twin (best per-call seconds) and ratio (twin / native).
    """
    check_twins(module)
    rows = []
    for label, name, args, error in cases:
        native_fn, twin_fn = getattr(module, name), globals()[name]
        stmt = _statement(name, args, error)
        native = timeit.Timer(stmt, globals=dict(_NAMESPACE, **{name: native_fn}))
        twin = timeit.Timer(stmt, globals=dict(_NAMESPACE, **{name: twin_fn}))
        loops = number
        if loops is None:
            # One loop count for both, sized on the twin (the slower side).
            loops, taken = twin.autorange()
            loops = max(1, int(loops * min_time / taken))
        best_native = best_twin = math.inf
        for _ in range(repeat):
            best_native = min(best_native, native.timeit(loops) / loops)
            best_twin = min(best_twin, twin.timeit(loops) / loops)
        rows.append(
            {
                "label": label,
                "ok": error is None,
                "native": best_native,
                "twin": best_twin,
                "ratio": best_twin / best_native,
            }
        )
    return rows
