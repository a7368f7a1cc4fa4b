"""Build of the C++ extension modules clipweave.clipweave and clipweave.studio._core.

Everything else about the package lives in pyproject.toml. The origins of
the two remote services are fixed at build time; to point a build at other,
compatible services set CLIPWEAVE_DOWNLOAD_API_ORIGIN,
CLIPWEAVE_DOWNLOAD_SITE_ORIGIN or CLIPWEAVE_TTS_ORIGIN in the environment
of the build (an https origin, no trailing slash).
"""
import os
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ORIGIN_SETTINGS = (
    "CLIPWEAVE_DOWNLOAD_API_ORIGIN",
    "CLIPWEAVE_DOWNLOAD_SITE_ORIGIN",
    "CLIPWEAVE_TTS_ORIGIN",
)
GENERATED = os.path.join("build", "generated")
ORIGINS_HEADER = os.path.join(GENERATED, "clipweave_origins.h")


def write_origins_header():
    """Writes the build's origins as a header the sources include; true
    when its text changed (a build with other origins), false when a
    build with the same ones can reuse the module."""
    lines = ["// Written by setup.py from the build's environment.", "#pragma once"]
    for name in ORIGIN_SETTINGS:
        value = os.environ.get(name)
        if value:
            if '"' in value or "\\" in value or "\n" in value:
                raise SystemExit(f"{name} must not contain quotes, backslashes or line feeds")
            lines.append(f'#define {name} "{value.rstrip("/")}"')
    text = "\n".join(lines) + "\n"
    try:
        with open(ORIGINS_HEADER, encoding="utf-8") as f:
            if f.read() == text:
                return False
    except FileNotFoundError:
        pass
    os.makedirs(GENERATED, exist_ok=True)
    with open(ORIGINS_HEADER, "w", encoding="utf-8") as f:
        f.write(text)
    return True


class BuildExt(build_ext):
    """Writes the origins header; drops C-only flags that the interpreter's
    own build passes to g++."""

    def build_extensions(self):
        # The up-to-date check compares whole seconds, so a header rewritten
        # within the second of the last link would not count as newer.
        if write_origins_header():
            self.force = True
        for flag in ("-Wstrict-prototypes",):
            if flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        super().build_extensions()


# Compiled into both extension modules: each is a shared object of its own.
COMMON_SOURCES = sorted(glob("clipweave/common/*.cpp"))
COMMON_HEADERS = sorted(glob("clipweave/common/*.hpp"))

extra = os.environ.get("CLIPWEAVE_EXTRA_CFLAGS", "").split()
extra_link = os.environ.get("CLIPWEAVE_EXTRA_LDFLAGS", "").split()

setup(
    ext_modules=[
        Extension(
            "clipweave.clipweave",
            sources=sorted(glob("clipweave/*.cpp") + glob("clipweave/pipeline/*.cpp")
                           + glob("clipweave/services/*.cpp")) + COMMON_SOURCES,
            depends=sorted(glob("clipweave/*.hpp") + glob("clipweave/pipeline/*.hpp")
                           + glob("clipweave/services/*.hpp")) + COMMON_HEADERS + [ORIGINS_HEADER],
            include_dirs=[GENERATED],
            language="c++",
            extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"] + extra,
            extra_link_args=extra_link,
        ),
        # The studio render's core; it shares clipweave/common with the exact module.
        Extension(
            "clipweave.studio._core",
            sources=sorted(glob("clipweave/studio/*.cpp")) + COMMON_SOURCES,
            depends=sorted(glob("clipweave/studio/*.hpp")) + COMMON_HEADERS,
            language="c++",
            extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"] + extra,
            extra_link_args=extra_link,
        ),
    ],
    cmdclass={"build_ext": BuildExt},
)
