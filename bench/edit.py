"""The editor's four figures, on the studio benchmark's 1080p 30 fps source
(bench/studio.py: a test pattern with a tone and a keyframe every 4 s):

  * making the browser copy ÷ the source's duration, beside ffmpeg's
    decoding of the same source alone (what no copy can go below);
  * a seek in the page, from the key press (its event's time) to the new
    frame painted (requestVideoFrameCallback), over frame steps and
    one-second jumps, in Debian's chromium, headless;
  * a 5-second segment's preview, from the click to a playable file
    (the player's canplay), its narration measured before as the page does;
  * the page ready to use (the video's first frame shown, the timeline
    drawn) after ``clipweave edit`` starts on a prepared source, its media
    in the cache; the browser is running already.

The load average (1 minute) is read before and after: these 2 cores are
shared, and every figure is a wall time.

    .venv/py310/bin/python bench/edit.py [--quick] [--cache DIR]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import studio as studio_bench  # noqa: E402
from clipweave.edit.media import copy_arguments  # noqa: E402
from editor_support import Editor, chromium, wait_for  # noqa: E402

FULL = {"seconds": 120, "size": "1920x1080", "seeks": 60, "previews": 3, "starts": 3}
QUICK = {"seconds": 8, "size": "320x180", "seeks": 6, "previews": 1, "starts": 1}
PREVIEW_LENGTH = 5.0
TEXT = "Segment {n}: a narration of about four seconds over the picture."


def load():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def timed(argv):
    started = time.perf_counter()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def copy_figures(video, seconds):
    """(copy ÷ duration, decoding alone ÷ duration, copy seconds)."""
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-") as work:
        decode = timed(["ffmpeg", "-v", "error", "-nostdin", "-i", video, "-f", "null", "-"])
        copy = timed(copy_arguments(video, os.path.join(work, "copy.mp4")))
    return copy / seconds, decode / seconds, copy


def page_ready(driver, editor):
    """Seconds from the command's start to the page ready, by the page's own clock."""
    driver.get(editor.url)
    wait_for(lambda: driver.execute_script("return document.body.dataset.ready === '1'"), timeout=120)
    ready = driver.execute_script("return performance.timeOrigin + window.clipweaveEditor.timings.ready")
    return ready / 1000 - editor.started_at


def seeks(driver, count):
    """Milliseconds from each key press to its frame painted."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    driver.execute_script("document.activeElement && document.activeElement.blur();"
                          "window.clipweaveEditor.player.seeks.length = 0")
    for i in range(count):
        chain = ActionChains(driver)
        if i % 2:
            chain.key_down(Keys.SHIFT).send_keys(Keys.ARROW_RIGHT).key_up(Keys.SHIFT)
        else:
            chain.send_keys(Keys.ARROW_RIGHT)
        chain.perform()
        wait_for(lambda: driver.execute_script("return window.clipweaveEditor.player.seeks.length") > i,
                 timeout=10, pause=0.02)
    return driver.execute_script("return window.clipweaveEditor.player.seeks")


def previews(driver, count):
    """Seconds from each Preview click to its video playable."""
    from selenium.webdriver.common.by import By

    wait_for(lambda: driver.execute_script(
        "return window.clipweaveEditor.state.items.every(i => i.spoken && !i.measuring)"), timeout=120)
    found = []
    for i in range(count):
        driver.find_elements(By.CSS_SELECTOR, "#segments .segment .preview-one")[i].click()
        wait_for(lambda: driver.execute_script("return window.clipweaveEditor.timings.preview.length") > i,
                 timeout=300)
        found.append(driver.execute_script("return window.clipweaveEditor.timings.preview")[i] / 1000)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tiny source, few samples")
    parser.add_argument("--cache", default=os.path.join(HERE, ".cache"), help="where sources are kept")
    args = parser.parse_args()
    c = QUICK if args.quick else FULL
    os.makedirs(args.cache, exist_ok=True)
    loads = [load()]
    video = studio_bench.source(args.cache, c["seconds"], c["size"], 30)
    copy, decode, copy_seconds = copy_figures(video, c["seconds"])
    loads.append(load())
    with tempfile.TemporaryDirectory(prefix="clipweave-bench-edit-") as work:
        segments = os.path.join(work, "bench.segments.json")
        step = c["seconds"] / (c["previews"] + 1)
        with open(segments, "w") as f:
            json.dump([{"start": f"{step * (n + 0.5):.2f}", "end": f"{step * (n + 0.5) + PREVIEW_LENGTH:.2f}",
                        "voiceover": TEXT.format(n=n + 1)} for n in range(c["previews"])], f)
        home = os.path.join(work, "home")
        driver = chromium()
        try:
            # The source prepared: its media made once, then in the cache.
            first = Editor(video, segments, home=home)
            first.wait_media(timeout=1800)
            first.stop()
            starts = []
            for _ in range(c["starts"]):
                editor = Editor(video, segments, home=home)
                starts.append(page_ready(driver, editor))
                if len(starts) < c["starts"]:
                    editor.stop()
            loads.append(load())
            sought = seeks(driver, c["seeks"])
            made = previews(driver, c["previews"])
            loads.append(load())
            editor.stop()
        finally:
            driver.quit()
    median = statistics.median
    ninetieth = sorted(sought)[int(0.9 * (len(sought) - 1))]
    print("| What | Measured | Goal |")
    print("|---|---|---|")
    print(f"| making the browser copy ÷ the source's duration ({c['size']}, {c['seconds']} s) "
          f"| **{copy:.2f}** ({copy_seconds:.1f} s) | ≤ 0.1 |")
    print(f"| ffmpeg decoding the same source alone ÷ its duration | {decode:.2f} | |")
    print(f"| a seek, key press to the new frame painted: median / 90th percentile ({len(sought)} "
          f"seeks) | **{median(sought):.0f} ms** / {ninetieth:.0f} ms | ≤ 100 ms |")
    print(f"| a {PREVIEW_LENGTH:g}-second segment's preview, click to playable (median of {len(made)}) "
          f"| **{median(made):.2f} s** ({', '.join(f'{m:.2f}' for m in made)}) | ≤ 3 s |")
    print(f"| the page ready after `edit` starts on a prepared source (median of {len(starts)}) "
          f"| **{median(starts):.2f} s** ({', '.join(f'{s:.2f}' for s in starts)}) | ≤ 1 s |")
    print(f"| load average (1 min) during the runs | {min(loads):.1f} – {max(loads):.1f} | |")


if __name__ == "__main__":
    main()
