"""Shared fixtures: the built module and the rebinding of its globals.

The module looks its globals up at call time, so rebinding one (``requests``,
``subprocess``, ``time``, ``_generate_tts`` ...) for the length of a test is
how tests route service calls to loopback, skip fixed sleeps or observe
processes. ``rebind`` restores every global when the test ends.
"""
import os
import pathlib
import tempfile

import pytest

import clipweave.clipweave as _module

# Which test runs where. scripts/test.sh runs every test on the target,
# CPython 3.10; "bash scripts/test.sh --all" (what CI runs) adds the two
# selections below, by these markers:
#
# interpreter: also on 3.11, 3.12 and 3.13. What the interpreter decides:
#   the C API binding of the modules (argument binding and its messages,
#   ownership of arguments, reference counts, buffers, errors propagated from
#   Python code the C++ calls, introspection), the module's import and life
#   cycle, threads under the interpreter lock, float text identical to the
#   interpreter's, and the Python shell's unit-level behaviour (options and
#   their messages, segments, errors, running children) over a standard
#   library that changes between versions. Renders, demos and whole runs of
#   the command spend their time in ffmpeg, the speech engines and C++ that
#   is the same for every interpreter: run again elsewhere they would find
#   nothing new.
# native: under AddressSanitizer and UndefinedBehaviorSanitizer (heavy ones
#   excepted): the tests that drive the C++ modules in the test process.
#   Tests that run the command as a child process are left out: they check
#   exit statuses, signals and files, and the C++ they reach is reached
#   in-process here; so are tests of Python code alone.
# heavy: renders, demos, builds, loops of whole command runs, long
#   alignments. On the target only, never under the sanitizers; skip them
#   with -m "not heavy" for a quick run.
INTERPRETER_FILES = {
    "test_binding.py", "test_fuzz_binding.py", "test_argument_ownership.py",
    "test_introspection.py", "test_import.py", "test_atempo.py", "test_leaks.py",
    "test_threads.py", "test_download.py", "test_tts.py", "test_studio_core.py",
    "test_cli.py", "test_errors.py", "test_segments.py", "test_children.py", "test_options.py",
}
NATIVE_FILES = {
    "test_binding.py", "test_fuzz_binding.py", "test_argument_ownership.py",
    "test_introspection.py", "test_import.py", "test_atempo.py", "test_leaks.py",
    "test_threads.py", "test_download.py", "test_tts.py", "test_pipeline.py", "test_faults.py",
    "test_service_words.py", "test_studio_core.py", "test_studio_groups.py",
    "test_studio_captions.py", "test_voice.py", "test_align.py", "test_follow.py", "test_cli.py",
}
HEAVY_FILES = {
    "test_batch.py", "test_workers.py", "test_bench_smoke.py", "test_build.py", "test_command_line.py",
    "test_end_to_end.py", "test_hostile_runs.py", "test_studio_picture.py",
    "test_studio_render.py", "test_studio_music.py", "test_edit_server.py", "test_edit_browser.py",
}
# Heavy tests in files that are otherwise light, by function name.
HEAVY_TESTS = {
    "test_cli.py": {"test_tiny_demo", "test_tiny_studio_demo",
                    "test_successful_run_prints_the_absolute_result"},
    "test_align.py": {"test_time_grows_linearly_with_length", "test_a_long_narration_keeps_its_way"},
    "test_voice.py": {"test_without_a_speech_service_the_command_narrates_offline"},
    "test_studio_groups.py": {"test_groups_join_frame_exact_and_in_step",
                              "test_a_thousand_segments_render_within_the_usual_open_files"},
    "test_studio_captions.py": {
        "test_the_words_heard_are_reported_on_the_video_timeline",
        "test_a_caption_is_shown_at_every_word_with_the_highlight",
        "test_every_caption_pixel_is_inside_the_safe_area",
        "test_a_cut_narration_shows_and_lists_no_unheard_word",
        "test_other_frames_are_their_size",
        "test_a_character_no_font_has_is_no_box",
        "test_the_title_is_on_the_first_frame_above_the_captions_and_gone_after_3_s",
        "test_an_emoji_is_drawn_in_colour_beside_its_word",
        "test_the_command_reports_words_and_where_segments_went"},
    "test_follow.py": {
        "test_the_render_is_a_filled_frame_of_the_whole_length", "test_the_face_is_whole_in_every_frame",
        "test_the_window_moves_smoothly_then_jumps_at_the_cut_and_holds",
        "test_the_frames_either_side_of_the_cut_are_each_their_own_shot",
        "test_hard_shots_make_a_correct_recap", "test_a_blur_shot_is_the_blur_framing",
        "test_the_command_reports_the_framing_and_reuses_its_analysis",
        "test_a_failed_analysis_keeps_the_blur_framing",
        "test_a_clip_moved_earlier_is_analysed_where_it_is_shown",
        "test_each_clip_is_looked_at_once_as_soon_as_its_length_is_known",
        "test_a_square_short_follows_with_a_square_window",
        "test_a_small_face_walking_across_a_wide_frame_stays_whole",
        "test_the_window_never_turns_back_from_one_frame_to_the_next_and_eases",
        "test_a_segment_s_own_frame_is_honoured"},
    "test_options.py": {"test_a_settings_file_aspect_makes_a_4_5_short"},
}

# Tests that run the command as a child process in files that otherwise drive
# it in-process: not under the sanitizers (see native above).
COMMAND_PROCESS_TESTS = {
    "test_cli.py": {"test_help_version_and_usage", "test_precheck_failure_as_a_process"},
}


def pytest_collection_modifyitems(items):
    for item in items:
        name = item.path.name
        heavy = (name in HEAVY_FILES or item.originalname in HEAVY_TESTS.get(name, ())
                 or item.get_closest_marker("heavy") is not None)
        if heavy:
            item.add_marker(pytest.mark.heavy)
            continue
        if name in INTERPRETER_FILES:
            item.add_marker(pytest.mark.interpreter)
        if name in NATIVE_FILES and item.originalname not in COMMAND_PROCESS_TESTS.get(name, ()):
            item.add_marker(pytest.mark.native)


@pytest.fixture(scope="session")
def cw():
    return _module


@pytest.fixture(autouse=True)
def private_settings(tmp_path_factory, monkeypatch):
    """No test reads the user's configuration or fills the user's cache."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("XDG_CONFIG_HOME", str(home / "config"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(home / "cache"))
    for name in ("CLIPWEAVE_DOWNLOAD_SERVICE", "CLIPWEAVE_SPEECH_SERVICE"):
        monkeypatch.delenv(name, raising=False)
    return home


@pytest.fixture
def rebind(monkeypatch):
    def _rebind(name, value):
        monkeypatch.setattr(_module, name, value)
        return value

    return _rebind


@pytest.fixture
def memory_dir(tmp_path):
    """A scratch directory in memory where there is one: in loops of many
    calls, writing files to a disk costs far more than the call under test."""
    shm = pathlib.Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        with tempfile.TemporaryDirectory(dir=shm) as d:
            yield pathlib.Path(d)
    else:
        yield tmp_path
