"""Build of the C++ extension module clipweave.clipweave.

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


def origin_macros():
    macros = []
    for name in ORIGIN_SETTINGS:
        value = os.environ.get(name)
        if value:
            if '"' in value or "\\" in value:
                raise SystemExit(f"{name} must not contain quotes or backslashes")
            macros.append((name, f'"{value.rstrip("/")}"'))
    return macros


class BuildExt(build_ext):
    """Drops C-only flags that the interpreter's own build passes to g++."""

    def build_extensions(self):
        for flag in ("-Wstrict-prototypes",):
            if flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        super().build_extensions()


extra = os.environ.get("CLIPWEAVE_EXTRA_CFLAGS", "").split()
extra_link = os.environ.get("CLIPWEAVE_EXTRA_LDFLAGS", "").split()

setup(
    ext_modules=[
        Extension(
            "clipweave.clipweave",
            sources=sorted(glob("clipweave/**/*.cpp", recursive=True)),
            depends=sorted(glob("clipweave/**/*.hpp", recursive=True)),
            language="c++",
            define_macros=origin_macros(),
            extra_compile_args=["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"] + extra,
            extra_link_args=extra_link,
        )
    ],
    cmdclass={"build_ext": BuildExt},
)
