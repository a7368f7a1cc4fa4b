"""The editor's page in a real browser (Debian's chromium, headless, through
chromedriver), used as a person would: keys on the video, typing, dragging,
saving, previewing; the file on disk checked after, and the browser's
console free of errors."""
import json
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from clipweave.model.segments import load_segments
from editor_support import Editor, chromium, shots_video, wait_for
from support import seg


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    here = tmp_path_factory.mktemp("page")
    shots_video(here / "shots.mp4")
    return here


@pytest.fixture(scope="module")
def editor(folder):
    running = Editor(folder / "shots.mp4", home=folder / "home")
    running.wait_media()
    yield running
    running.stop()


@pytest.fixture(scope="module")
def browser():
    driver = chromium()
    yield driver
    driver.quit()


@pytest.fixture
def page(browser, editor):
    """The page freshly loaded and ready; afterwards, the console's errors
    that the test did not expect fail it."""
    browser.get(editor.url)
    wait_for(lambda: browser.execute_script("return document.body.dataset.ready === '1'"))
    expected = []
    yield browser, expected
    errors = [e["message"] for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert [m for m in errors if not any(x in m for x in expected)] == []


def keys(driver, *sequence, held=None):
    """Keys pressed with nothing in focus, as on the video; ``held``: a
    modifier held down meanwhile."""
    driver.execute_script("document.activeElement && document.activeElement.blur()")
    chain = ActionChains(driver)
    if held:
        chain.key_down(held)
    chain.send_keys(*sequence)
    if held:
        chain.key_up(held)
    chain.perform()


def state(driver):
    return driver.execute_script(
        "const s = window.clipweaveEditor.state;"
        "return {items: s.items.map(i => ({entry: i.entry, seconds: i.seconds, problems: i.problems,"
        " spoken: i.spoken && i.spoken.seconds})), time: window.clipweaveEditor.player.time,"
        " saved: document.getElementById('save-state').dataset.state}")


def cards(driver):
    return driver.find_elements(By.CSS_SELECTOR, "#segments .segment")


def seek(driver, seconds):
    """To a time as a person gets there: a click on the timeline's ruler."""
    view = driver.find_element(By.ID, "view")
    duration = driver.execute_script("return window.clipweaveEditor.timeline.duration")
    width = view.size["width"]
    ActionChains(driver).move_to_element_with_offset(
        view, round(width * seconds / duration) - width // 2, 10 - view.size["height"] // 2).click().perform()
    wait_for(lambda: abs(state(driver)["time"] - seconds) < 0.1)


def write(driver, index, text):
    """Typed at the end of segment index's narration."""
    area = cards(driver)[index].find_element(By.TAG_NAME, "textarea")
    area.click()
    area.send_keys(Keys.CONTROL, Keys.END)
    area.send_keys(text)
    area.send_keys(Keys.ESCAPE)


def test_a_three_segment_short_without_touching_a_file(page, folder):
    driver, _ = page
    assert driver.find_element(By.ID, "empty").is_displayed()
    # One: N at 0.5 s, then two seconds on, O.
    seek(driver, 0.5)
    keys(driver, "n")
    keys(driver, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, held=Keys.SHIFT)
    keys(driver, "o")
    write(driver, 0, "A pattern moves across the screen.")
    # Two: at the second cut (Ctrl+→ twice from the start), I, one frame on, O.
    keys(driver, Keys.HOME)
    seek(driver, 0.0)
    keys(driver, Keys.ARROW_RIGHT, held=Keys.CONTROL)
    keys(driver, Keys.ARROW_RIGHT, held=Keys.CONTROL)
    assert abs(state(driver)["time"] - 6.0) < 0.05
    keys(driver, "n")
    for _ in range(25):
        keys(driver, Keys.ARROW_RIGHT)  # a second, a frame at a time
    keys(driver, "o")
    write(driver, 1, "Then come the colour bars.")
    # Three: drawn on the timeline's lowest lane, over the grey shot.
    view = driver.find_element(By.ID, "view")
    duration = driver.execute_script("return window.clipweaveEditor.timeline.duration")
    w, h = view.size["width"], view.size["height"]
    x = lambda t: round(w * t / duration) - w // 2  # noqa: E731
    ActionChains(driver).move_to_element_with_offset(view, x(3.5), h // 2 - 15).click_and_hold() \
        .move_by_offset(x(5.5) - x(3.5), 0).release().perform()
    write(driver, 2, "A quiet grey moment.")
    wait_for(lambda: all(i["spoken"] for i in state(driver)["items"]))
    keys(driver, "s", held=Keys.CONTROL)
    wait_for(lambda: state(driver)["saved"] == "saved")
    made = load_segments(str(folder / "shots.segments.json"))
    assert [s.narration for s in made] == ["A pattern moves across the screen.",
                                           "Then come the colour bars.", "A quiet grey moment."]
    # Set on frames: the first where the click landed, two seconds long.
    assert made[0].start == pytest.approx(0.5, abs=0.05) and made[0].end - made[0].start == pytest.approx(2.0)
    assert round(made[0].start * 25, 6).is_integer()
    assert (made[1].start, made[1].end) == (6.0, 7.0)
    assert made[2].start == pytest.approx(3.5, abs=0.15) and made[2].end == pytest.approx(5.5, abs=0.15)
    # Written as clock times the command reads, in the file's form.
    first = json.loads((folder / "shots.segments.json").read_text())[1]
    assert first == {"start": "00:00:06", "end": "00:00:07", "voiceover": "Then come the colour bars."}
    # The narration's spoken length beside the range's.
    fit = cards(driver)[0].find_element(By.CLASS_NAME, "fit").text
    assert "narration" in fit and "range 2.00 s" in fit


def test_problems_show_next_to_their_segment_and_block_the_save(page, folder):
    driver, expected = page
    expected.append("status of 400")
    before = (folder / "shots.segments.json").read_bytes()
    end = cards(driver)[1].find_elements(By.CSS_SELECTOR, "input.time")[1]
    end.clear()
    end.send_keys("00:00:05")
    end.send_keys(Keys.ENTER)
    wait_for(lambda: cards(driver)[1].find_element(By.CLASS_NAME, "seg-errors").is_displayed())
    assert cards(driver)[1].find_element(By.CLASS_NAME, "seg-errors").text == \
        '"end" (00:00:05) is not after "start" (00:00:06)'
    assert "invalid" in cards(driver)[1].get_attribute("class")
    assert "1 problem" in driver.find_element(By.ID, "save-state").text
    keys(driver, "s", held=Keys.CONTROL)
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, '.toast[data-kind="error"]'))
    assert (folder / "shots.segments.json").read_bytes() == before
    keys(driver, "z", held=Keys.CONTROL)  # the typing undone: the file's again
    wait_for(lambda: state(driver)["items"][1]["entry"]["end"] == "00:00:07")
    wait_for(lambda: state(driver)["saved"] == "saved")


def test_a_long_narration_is_marked_and_the_edges_drag(page):
    driver, _ = page
    write(driver, 1, " They stay on the screen for a good while, longer than the range.")
    wait_for(lambda: "runs on" in cards(driver)[1].find_element(By.CLASS_NAME, "fit").text)
    assert driver.find_elements(By.CSS_SELECTOR, ".runon")
    # The end edge dragged half a second on (snapping off with Alt).
    block = driver.find_element(By.CSS_SELECTOR, '.block[data-index="1"]')
    edge = block.find_element(By.CSS_SELECTOR, ".edge.end")
    scale = driver.execute_script("return window.clipweaveEditor.timeline.scale")
    ActionChains(driver).key_down(Keys.ALT).click_and_hold(edge).move_by_offset(round(scale / 2), 0) \
        .release().key_up(Keys.ALT).perform()
    wait_for(lambda: abs(state(driver)["items"][1]["seconds"][1] - 7.5) < 0.1)
    assert cards(driver)[1].find_elements(By.CSS_SELECTOR, "input.time")[1].get_attribute("value") \
        .startswith("00:00:07.")
    # Reordered: the second goes first.
    cards(driver)[1].find_element(By.CSS_SELECTOR, 'button[aria-label="Move up"]').click()
    assert state(driver)["items"][0]["entry"]["voiceover"].startswith("Then come the colour bars.")
    keys(driver, "z", held=Keys.CONTROL)
    assert state(driver)["items"][1]["entry"]["voiceover"].startswith("Then come the colour bars.")


def test_a_preview_plays_in_the_page(page):
    driver, _ = page
    cards(driver)[0].find_element(By.CLASS_NAME, "preview-one").click()
    video = driver.find_element(By.ID, "preview-video")
    wait_for(lambda: driver.execute_script("return arguments[0].currentTime > 0.3", video), timeout=120)
    assert driver.execute_script("return [arguments[0].videoWidth, arguments[0].videoHeight]", video) == [360, 640]
    assert driver.execute_script("return window.clipweaveEditor.timings.preview.length") == 1


def test_a_file_changed_on_disk_is_not_overwritten_unasked(page, folder):
    driver, expected = page
    expected.append("status of 409")
    path = folder / "shots.segments.json"
    write(driver, 0, " Changed here.")
    theirs = [seg("1", "2", "Changed by another program.")]
    path.write_text(json.dumps(theirs))
    keys(driver, "s", held=Keys.CONTROL)
    dialog = wait_for(lambda: [d for d in driver.find_elements(By.ID, "dialog") if d.is_displayed()])[0]
    assert "changed on disk" in dialog.text
    assert json.loads(path.read_text()) == theirs
    dialog.find_element(By.XPATH, ".//button[text()='Keep mine']").click()
    wait_for(lambda: state(driver)["saved"] == "saved")
    assert load_segments(str(path))[0].narration.endswith("Changed here.")
    assert json.loads((folder / "shots.segments.json.bak").read_text()) == theirs


def test_typed_text_survives_a_closed_tab(page, folder, editor):
    driver, _ = page
    write(driver, 0, " Not saved yet.")
    driver.get("about:blank")  # the tab goes; the page keeps a draft on its way
    wait_for(lambda: (folder / "shots.segments.json.draft").exists(), timeout=10)
    driver.get(editor.base + "/")  # the cookie is the token now
    wait_for(lambda: driver.execute_script("return document.body.dataset.ready === '1'"))
    banner = driver.find_element(By.ID, "banner")
    assert "Unsaved work on this file was kept" in banner.text
    banner.find_element(By.XPATH, ".//button[text()='Restore it']").click()
    assert state(driver)["items"][0]["entry"]["voiceover"].endswith("Not saved yet.")
    assert state(driver)["saved"] == "unsaved"
    keys(driver, "s", held=Keys.CONTROL)
    wait_for(lambda: not (folder / "shots.segments.json.draft").exists())
