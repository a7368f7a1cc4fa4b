"""The offline voices: where the listed word onsets fall in the narration
the run plays, against the engine's own word times, and how fast each voice
speaks.

For every voice and sentence: speak(), write_mp3() as the run does, and the
MP3 decoded again at the speech's rate. A word's engine time is the earliest
engine word whose text offset lies inside the written word (words the
engine gave no word of their own, such as an emoji, are left out). Its
place in the decoded audio is found by matching 60 ms of the samples from
that time against the decoded audio, near the codec's offset for the whole
clip (cross-correlation of 1 ms envelopes, then of samples). The figure is
the listed onset minus that place: how far a caption shown at the listed
onset is from its word's sound as played.

    .venv/py310/bin/python bench/voices.py [--quick] [--cache DIR]

--cache keeps the MP3 files under DIR/voices/ to listen to; without it they
go to a temporary directory.
"""
import argparse
import array
import math
import operator
import os
import platform
import statistics
import sys
import tempfile
import time

from clipweave.system import children
from clipweave.voice import Spoken, Word, _engines, speak, write_mp3

MEDIAN_GOAL_MS = 10.0
VOICES = [("flite", "slt"), ("flite", "rms"), ("flite", "awb"), ("flite", "kal"),
          ("espeak-ng", "en-us"), ("espeak-ng", "fr")]
ENGLISH = [
    "In 1999 the well-known Dr. Smith paid $4.50 for 12 eggs.",
    "Mr. Lee's state-of-the-art boat left at 7:45 a.m. on Jan. 3rd 🚤 and docked 2.5 km north.",
    "After a 30-minute wait 🎉 the U.S. team won 3-2, e.g. a one-goal lead, at 10 p.m.",
]
FRENCH = [
    "En 1999, le célèbre Dr Martin a payé 4,50 € pour 12 œufs.",
    "M. Dupont, arrivé à 7 h 45 le 3 janv. 🚤, a parcouru 2,5 km vers le nord-est.",
    "Après une attente de 30 minutes 🎉, l'équipe a gagné 3-2, c.-à-d. d'un but, à 22 h.",
]
WINDOW = 0.060  # seconds of samples matched from each engine onset
SEARCH = 0.002  # seconds either side of the clip's offset searched for each word
MOST_OFFSET = 0.100  # seconds either way the codec may shift the clip
QUIET = 1e-3  # a window this far under the clip's loudest sample is silence: the clip's offset holds


def samples(pcm):
    a = array.array("h")
    a.frombytes(pcm)
    return a


def envelope(a, rate, frame=0.001):
    n = max(1, int(rate * frame))
    return [math.sqrt(sum(x * x for x in a[i:i + n]) / n) for i in range(0, len(a) - n + 1, n)]


def dot(a, b):
    return sum(map(operator.mul, a, b))


def clip_offset(pcm, decoded, rate):
    """Samples by which the decoded audio runs late of pcm: the best 1 ms
    envelope lag, then the best sample lag within a millisecond of it."""
    ea, eb = envelope(pcm, rate), envelope(decoded, rate)
    most = int(MOST_OFFSET * 1000)
    n = min(len(ea), len(eb))

    def envelope_score(k):
        lo, hi = max(0, -k), min(n, n - k)
        return dot(ea[lo:hi], eb[lo + k:hi + k])

    coarse = max(range(-most, most + 1), key=envelope_score) * rate // 1000
    step = rate // 1000 + 1
    found = best_lag(pcm, decoded, 0, len(pcm), range(coarse - step, coarse + step + 1))
    if found is None:
        raise RuntimeError(f"the decoded MP3 matches the speech nowhere within {MOST_OFFSET:g} s")
    return found


def best_lag(pcm, decoded, start, stop, lags):
    """The lag at which decoded best matches pcm[start:stop] (normalised
    correlation), or None when the lags run off the decoded audio."""
    window = pcm[start:stop]
    best, best_score = None, -math.inf
    for k in lags:
        lo, hi = start + k, stop + k
        if lo < 0 or hi > len(decoded):
            continue
        other = decoded[lo:hi]
        power = dot(other, other)
        if power == 0:
            continue
        score = dot(window, other) / math.sqrt(power)
        if score > best_score:
            best, best_score = k, score
    return best


def engine_onsets(text, engine_words):
    """The earliest engine time inside each written word, or None."""
    out, offset = [], 0
    for token in text.split():
        offset = text.index(token, offset)
        inside = [s for at, s, _ in engine_words if offset <= at < offset + len(token)]
        out.append(min(inside) if inside else None)
        offset += len(token)
    return out


def measure_sentence(engine, voice, text, number, folder, repeat):
    """(|listed - heard| in seconds for each word with an engine time,
    written words, words in silence, clip offset, synthesis seconds, audio seconds)."""
    synthesis = math.inf
    for _ in range(repeat):
        begun = time.perf_counter()
        speak(text, engine, voice)
        synthesis = min(synthesis, time.perf_counter() - begun)
    # The engine's own words from the same call as the listed ones: espeak-ng
    # may time a text a few ms differently from one call to the next.
    pcm_bytes, rate, words, engine_words = _engines.speak(text, engine, voice)
    spoken = Spoken(pcm_bytes, rate, tuple(Word(*w) for w in words))
    listed = [w.start for w in spoken.words]
    path = os.path.join(folder, f"{engine}-{voice}-{number}.mp3")
    write_mp3(spoken, path)
    decoded_bytes = children.run(children.ffmpeg("-i", path, "-f", "s16le", "-ac", 1, "-ar", rate, "-"),
                                 capture=True).stdout
    pcm, decoded = samples(pcm_bytes), samples(decoded_bytes)
    offset = clip_offset(pcm, decoded, rate)
    loudest = max(map(abs, pcm)) or 1
    span, search = int(WINDOW * rate), int(SEARCH * rate)
    differences, silent = [], 0
    for onset, own in zip(listed, engine_onsets(text, engine_words)):
        if own is None:
            continue
        start = int(round(own * rate))
        stop = min(len(pcm), start + span)
        lag = None
        if stop > start and max(map(abs, pcm[start:stop])) > QUIET * loudest:
            lag = best_lag(pcm, decoded, start, stop, range(offset - search, offset + search + 1))
        if lag is None:
            silent += 1
            lag = offset
        differences.append(abs(onset - (own + lag / rate)))
    return (differences, len(listed), silent, offset / rate, synthesis, len(pcm) / rate)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(share * len(ordered)) - 1))]


def measure(quick, folder):
    repeat = 1 if quick else 5
    rows = []
    for engine, voice in VOICES:
        sentences = FRENCH if voice == "fr" else ENGLISH
        if quick:
            sentences = sentences[:1]
        differences, written, silent, offsets, synthesis, audio = [], 0, 0, [], 0.0, 0.0
        for number, text in enumerate(sentences):
            d, w, s, o, syn, aud = measure_sentence(engine, voice, text, number, folder, repeat)
            differences += d
            written += w
            silent += s
            offsets.append(o)
            synthesis += syn
            audio += aud
        rows.append({"voice": f"{engine} {voice}", "timed": len(differences), "written": written,
                     "silent": silent, "offset": statistics.median(offsets),
                     "median": statistics.median(differences), "p90": percentile(differences, 0.9),
                     "max": max(differences), "speed": synthesis / audio, "differences": differences})
    return rows


def print_table(rows, quick, load_before):
    print(f"clipweave voices benchmark: CPython {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load average {load_before[0]:.2f} before / {os.getloadavg()[0]:.2f} after"
          + ("  [--quick: one sentence, one synthesis a voice]" if quick else ""))
    print()
    print("Listed word onsets in the decoded MP3 against the engine's own word times, "
          "|difference| in ms;")
    print("synthesis time / audio length (best of repeats). "
          "In silence: words whose engine time has no sound after it to match.")
    print(f"   | {'voice':<16} | {'words':>7} | {'in silence':>10} | {'codec offset':>12} | "
          f"{'median':>6} | {'p90':>6} | {'max':>6} | {'synth/audio':>11} | goal: median <= "
          f"{MEDIAN_GOAL_MS:g} ms")
    every = []
    for r in rows:
        every += r["differences"]
        ok = r["median"] * 1000 <= MEDIAN_GOAL_MS
        print(f"   | {r['voice']:<16} | {r['timed']:>3}/{r['written']:<3} | {r['silent']:>10} | "
              f"{r['offset'] * 1000:>9.2f} ms | {r['median'] * 1000:>6.2f} | {r['p90'] * 1000:>6.2f} | "
              f"{r['max'] * 1000:>6.2f} | {r['speed']:>11.4f} | "
              f"{'(quick)' if quick else ('ok' if ok else 'MISSED')}")
    print(f"   | {'every voice':<16} | {len(every):>7} | {'':>10} | {'':>12} | "
          f"{statistics.median(every) * 1000:>6.2f} | {percentile(every, 0.9) * 1000:>6.2f} | "
          f"{max(every) * 1000:>6.2f} | {'':>11} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one sentence a voice, for smoke tests")
    parser.add_argument("--cache", help="keep the MP3 files under DIR/voices/")
    args = parser.parse_args(argv)
    load_before = os.getloadavg()
    if args.cache:
        folder = os.path.join(args.cache, "voices")
        os.makedirs(folder, exist_ok=True)
        rows = measure(args.quick, folder)
    else:
        with tempfile.TemporaryDirectory(prefix="clipweave-voices-") as folder:
            rows = measure(args.quick, folder)
    print_table(rows, args.quick, load_before)
    return 0


if __name__ == "__main__":
    sys.exit(main())
