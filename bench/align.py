"""The word aligner (clipweave.align._align): how close its word onsets come
to the truth, against an even spread of the words, and how its time grows
with the narration's length.

The material is tests/test_align.py's: espeak-ng's words spoken one by one
and joined, so every onset is known. The reference is the default voice at
175 words a minute with no pauses; each target another voice, speed, pitch
and pauses. The even spread is the reference's times scaled to the
target's length. Timing: the same pair repeated to 30 s, 1, 2 and 5 minutes
of target, the least of three runs, as seconds of alignment per second of
narration.

    .venv/py310/bin/python bench/align.py [--quick]
"""
import argparse
import importlib.util
import os
import statistics
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (voice, words a minute, pitch 0..99, pause range in seconds)
TARGETS = [
    ("en", 175, 50, (0.0, 0.0)),
    ("en", 130, 70, (0.0, 0.5)),
    ("en", 250, 40, (0.0, 0.1)),
    ("en-us+f3", 220, 80, (0.0, 0.2)),
    ("en+m3", 110, 30, (0.0, 1.0)),
    ("en-us+klatt", 160, 60, (0.0, 0.0)),
    ("en-gb-x-rp+f4", 190, 60, (0.0, 0.3)),
    ("en+f2", 90, 90, (0.3, 2.0)),
]
LENGTHS = (30, 60, 120, 300)


def material():
    spec = importlib.util.spec_from_file_location(
        "align_material", os.path.join(HERE, os.pardir, "tests", "test_align.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def repeated(utterance, times):
    pcm, rate, bounds = utterance
    length = len(pcm) / 2 / rate
    return pcm * times, rate, [(s + k * length, e + k * length) for k in range(times) for s, e in bounds]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two targets, lengths up to 1 minute")
    quick = parser.parse_args().quick
    m = material()
    reference = m.espeak_utterance(m.SENTENCE, "en", 175, 50, pauses=(0.0, 0.0), seed=0)

    print("Onset error, seconds (median / 90th percentile), over "
          f"{len(m.SENTENCE)} words; reference: en, 175 wpm, pitch 50, no pauses")
    print(f"{'target':<42}{'aligner':>16}{'even spread':>18}")
    for voice, speed, pitch, pauses in TARGETS[:2] if quick else TARGETS:
        target = m.espeak_utterance(m.SENTENCE, voice, speed, pitch, pauses=pauses, seed=speed)
        errors = m.onset_errors(m.aligned(reference, target), target[2])
        spread = m.onset_errors(m.even_spread(reference, target), target[2])
        name = f"{voice} {speed} wpm p{pitch} pauses {pauses[0]:g}-{pauses[1]:g} s"
        print(f"{name:<42}{statistics.median(errors):>8.3f} / {m.p90(errors):.3f}"
              f"{statistics.median(spread):>10.3f} / {m.p90(spread):.3f}")

    print()
    print("Alignment time / narration length (least of 3 runs)")
    print(f"{'narration':<12}{'seconds':>10}{'time / length':>16}{'onset median':>15}")
    target = m.espeak_utterance(m.SENTENCE, "en-us+f3", 150, 70, pauses=(0.0, 0.4), seed=1)
    unit = len(target[0]) / 2 / target[1]
    m.aligned(reference, target)  # loading, once
    for seconds in LENGTHS[:2] if quick else LENGTHS:
        times = max(1, round(seconds / unit))
        ref, tgt = repeated(reference, times), repeated(target, times)
        runs = []
        for _ in range(3):
            start = time.perf_counter()
            found = m.aligned(ref, tgt)
            runs.append(time.perf_counter() - start)
        length = len(tgt[0]) / 2 / tgt[1]
        errors = m.onset_errors(found, tgt[2])
        print(f"{seconds / 60:>5g} min{'':<4}{min(runs):>10.3f}{min(runs) / length:>16.4f}"
              f"{statistics.median(errors):>15.3f}")


if __name__ == "__main__":
    main()
