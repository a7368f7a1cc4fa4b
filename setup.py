"""Build of the C++ extension modules clipweave.clipweave, clipweave.studio._core,
clipweave.voice._engines, clipweave.align._align
and clipweave.follow._follow.

Everything else about the package lives in pyproject.toml. The origins of
the two remote services are fixed at build time; to point a build at other,
compatible services set CLIPWEAVE_DOWNLOAD_API_ORIGIN,
CLIPWEAVE_DOWNLOAD_SITE_ORIGIN or CLIPWEAVE_TTS_ORIGIN in the environment
of the build (an https origin, no trailing slash). They are written into a
header the C++ sources include and into clipweave/app/builtin_origins.py,
from which the command line knows them.
"""
import os
import subprocess
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

# The build's service origins: (environment variable, key, default). The
# defaults are placeholders under the reserved .example domain.
ORIGINS = (
    ("CLIPWEAVE_DOWNLOAD_API_ORIGIN", "download_service", "https://api.video-download.example"),
    ("CLIPWEAVE_DOWNLOAD_SITE_ORIGIN", "download_site", "https://video-download.example"),
    ("CLIPWEAVE_TTS_ORIGIN", "speech_service", "https://text-to-speech.example"),
)
GENERATED = os.path.join("build", "generated")
ORIGINS_HEADER = os.path.join(GENERATED, "clipweave_origins.h")
ORIGINS_MODULE = os.path.join(GENERATED, "clipweave_origins.py")
# Where the module goes in the package: the command line reads it.
ORIGINS_MODULE_IN_PACKAGE = os.path.join("clipweave", "app", "builtin_origins.py")


def build_origins():
    """{variable: origin} of this build, from its environment or the defaults."""
    origins = {}
    for name, _key, default in ORIGINS:
        value = os.environ.get(name) or default
        if '"' in value or "\\" in value or "\n" in value:
            raise SystemExit(f"{name} must not contain quotes, backslashes or line feeds")
        origins[name] = value.rstrip("/")
    return origins


def write_if_changed(path, text):
    """Writes text to path unless it holds it already; true when written."""
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return False
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True


def write_origins():
    """Writes the build's origins as a header the C++ sources include and as
    a Python module the command line reads; true when the header's text
    changed (a build with other origins), false when a build with the same
    ones can reuse the module."""
    origins = build_origins()
    header = ["// Written by setup.py from the build's environment.", "#pragma once"]
    header += [f'#define {name} "{origins[name]}"' for name, _, _ in ORIGINS]
    module = ['"""The service origins built into clipweave.clipweave (written by setup.py)."""',
              "ORIGINS = {"]
    module += [f"    {key!r}: {origins[name]!r}," for name, key, _ in ORIGINS]
    module += ["}"]
    write_if_changed(ORIGINS_MODULE, "\n".join(module) + "\n")
    return write_if_changed(ORIGINS_HEADER, "\n".join(header) + "\n")


class BuildExt(build_ext):
    """Writes the origins header and module; drops C-only flags that the
    interpreter's own build passes to g++."""

    def build_extensions(self):
        # The up-to-date check compares whole seconds, so a header rewritten
        # within the second of the last link would not count as newer.
        if write_origins():
            self.force = True
        for flag in ("-Wstrict-prototypes",):
            if flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        super().build_extensions()
        # Beside the extension modules in the build's library directory,
        # which is what gets installed.
        self._copy_origins_module(self.build_lib)

    def run(self):
        super().run()
        # setuptools builds an in-place build in build_lib too, then copies
        # the extension modules into the tree; the origins go along.
        if self.inplace:
            self._copy_origins_module("")

    @staticmethod
    def _copy_origins_module(root):
        with open(ORIGINS_MODULE, encoding="utf-8") as f:
            write_if_changed(os.path.join(root, ORIGINS_MODULE_IN_PACKAGE), f.read())


# Compiled into every extension module: each is a shared object of its own.
COMMON_SOURCES = sorted(glob("clipweave/common/*.cpp"))
COMMON_HEADERS = sorted(glob("clipweave/common/*.hpp"))

extra = os.environ.get("CLIPWEAVE_EXTRA_CFLAGS", "").split()
extra_link = os.environ.get("CLIPWEAVE_EXTRA_LDFLAGS", "").split()


def pkg_config_includes(package, fallback):
    """The include directories pkg-config gives for package, or fallback."""
    try:
        flags = subprocess.run(["pkg-config", "--cflags-only-I", package], capture_output=True,
                               text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return [fallback]
    return [f[2:] for f in flags if f.startswith("-I")] or [fallback]


def extension(name, folders, libraries=(), headers=(), include_dirs=()):
    """A C++17 extension module of the sources in folders, with clipweave/common."""
    sources = sorted(f for folder in folders for f in glob(f"{folder}/*.cpp")) + COMMON_SOURCES
    depends = sorted(f for folder in folders for f in glob(f"{folder}/*.hpp")) + COMMON_HEADERS
    return Extension(name, sources=sources, depends=depends + list(headers),
                     include_dirs=list(include_dirs), libraries=list(libraries), language="c++",
                     extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"] + extra,
                     extra_link_args=extra_link)


setup(
    ext_modules=[
        extension("clipweave.clipweave", ["clipweave", "clipweave/pipeline", "clipweave/services"],
                  headers=[ORIGINS_HEADER], include_dirs=[GENERATED]),
        # The studio render's core; it shares clipweave/common with the exact module.
        extension("clipweave.studio._core", ["clipweave/studio"]),
        # The offline voices, linked against libespeak-ng and libflite.
        extension("clipweave.voice._engines", ["clipweave/voice"],
                  libraries=["espeak-ng", "flite_cmu_us_slt", "flite_cmu_us_rms", "flite_cmu_us_awb",
                             "flite_cmu_us_kal", "flite_usenglish", "flite_cmulex", "flite", "m"]),
        # Word times carried from one recording onto another; FFTW for the spectra.
        extension("clipweave.align._align", ["clipweave/align"], libraries=["fftw3"]),
        # Faces, people and cuts for the subject-following framing; OpenCV 4.
        extension("clipweave.follow._follow", ["clipweave/follow"],
                  libraries=["opencv_objdetect", "opencv_imgproc", "opencv_core"],
                  include_dirs=pkg_config_includes("opencv4", "/usr/include/opencv4")),
    ],
    cmdclass={"build_ext": BuildExt},
)
