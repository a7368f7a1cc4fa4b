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
import concurrent.futures
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import threading
from glob import glob

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.errors import CompileError
# After setuptools, which provides distutils where the interpreter has none.
from distutils import log  # noqa: E402
from distutils.ccompiler import gen_preprocess_options  # noqa: E402

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
    a Python module the command line reads, each only when its text changed
    (a build with other origins): the sources that include the header then
    compile again, and only they."""
    origins = build_origins()
    header = ["// Written by setup.py from the build's environment.", "#pragma once"]
    header += [f'#define {name} "{origins[name]}"' for name, _, _ in ORIGINS]
    module = ['"""The service origins built into clipweave.clipweave (written by setup.py)."""',
              "ORIGINS = {"]
    module += [f"    {key!r}: {origins[name]!r}," for name, key, _ in ORIGINS]
    module += ["}"]
    write_if_changed(ORIGINS_MODULE, "\n".join(module) + "\n")
    write_if_changed(ORIGINS_HEADER, "\n".join(header) + "\n")


# The face model (scripts/setup.sh fetches it) and where the package finds it.
FACE_MODEL_DIR = os.path.join("data", "blazeface")
FACE_MODEL_FILES = ("face_detection_back_256x256_barracuda.onnx", "LICENSE")
FACE_MODEL_IN_PACKAGE = os.path.join("clipweave", "follow", "blazeface")


# Sources that include no Python header (directly or through the project's
# own headers) do not depend on the interpreter: they are compiled once, with
# the flags below rather than each interpreter's, into build/cxx/ and linked
# into the modules of every interpreter. A source wrongly taken for one of them
# cannot build by mistake: its compile has no Python include directory.
PURE_FLAGS = ["-fPIC", "-DNDEBUG", "-g", "-O3", "-fwrapv", "-Wall"]
PYTHON_HEADERS = ("Python.h",)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def includes_python(path, include_dirs, seen=None):
    """Whether path includes a Python header, itself or through a header of
    the project's (a quoted include found beside it or in include_dirs)."""
    seen = set() if seen is None else seen
    if path in seen:
        return False
    seen.add(path)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    for kind, name in INCLUDE.findall(text):
        if os.path.basename(name) in PYTHON_HEADERS:
            return True
        if kind == '"':
            for folder in (os.path.dirname(path), *include_dirs):
                header = os.path.normpath(os.path.join(folder, name))
                if os.path.isfile(header):
                    if includes_python(header, include_dirs, seen):
                        return True
                    break
    return False


def stale(target, inputs):
    """True unless target exists and is newer than every one of inputs (to the
    nanosecond: setuptools' own check compares whole seconds)."""
    try:
        built = os.stat(target).st_mtime_ns
        return any(os.stat(f).st_mtime_ns >= built for f in inputs)
    except FileNotFoundError:
        return True


def dependencies(depfile):
    """The files a compiler's make-style dependency file lists; None without one."""
    try:
        with open(depfile, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    text = text.replace("\\\n", " ").split(":", 1)[-1]
    return [name.replace("\0", " ") for name in text.replace("\\ ", "\0").split()]


def signature(*parts):
    return hashlib.sha256(repr(parts).encode()).hexdigest()[:16]


class BuildExt(build_ext):
    """Compiles each object only when it or a header it includes changed (the
    compiler's own dependency lists say which), each shared one once per build
    and each interpreter-independent one once for every interpreter, all of
    them in parallel (--parallel, CLIPWEAVE_BUILD_JOBS, or one job a
    processor); relinks a module only when one of its objects or its link
    command changed. Writes the origins header and module, and copies the face
    model into the package where setup.sh fetched it; drops C-only flags
    that the interpreter's own build passes to g++. CLIPWEAVE_BUILD_ONLY (a
    comma-separated list of module names) builds those modules alone."""

    def finalize_options(self):
        super().finalize_options()
        only = [n for n in os.environ.get("CLIPWEAVE_BUILD_ONLY", "").split(",") if n]
        if only:
            known = [e.name for e in self.extensions]
            if set(only) - set(known):
                raise SystemExit(f"CLIPWEAVE_BUILD_ONLY: {only} are not all among {known}")
            self.extensions = [e for e in self.extensions if e.name in only]

    def build_extensions(self):
        write_origins()
        for flag in ("-Wstrict-prototypes",):
            if flag in self.compiler.compiler_so:
                self.compiler.compiler_so.remove(flag)
        compiles, objects = {}, {}
        for ext in self.extensions:
            objects[ext.name] = [self._object(ext, source, compiles) for source in sorted(ext.sources)]
        self._compile_all([job for job in compiles.values() if self.force or job["stale"]()])
        for ext in self.extensions:
            self._link(ext, objects[ext.name])
        # Beside the extension modules in the build's library directory,
        # which is what gets installed.
        self._copy_origins_module(self.build_lib)
        self._copy_face_model(self.build_lib)

    def _object(self, ext, source, compiles):
        """The object file of source as ext compiles it; its compile job is
        added to compiles (keyed by the object, so shared ones compile once)."""
        macros = ext.define_macros + [(name,) for name in ext.undef_macros]
        args = (ext.extra_compile_args or []) + ["-MMD"]  # the headers it includes, for the next build
        if includes_python(source, ext.include_dirs):
            command = self.compiler.compiler_so + gen_preprocess_options(
                macros, ext.include_dirs + self.compiler.include_dirs)
            folder = os.path.join(self.build_temp, signature(command, args))
        else:
            cxx = shlex.split(os.environ.get("CXX", "g++"))
            cxx[0] = os.path.realpath(shutil.which(cxx[0]) or cxx[0])
            command = cxx + PURE_FLAGS + gen_preprocess_options(macros, ext.include_dirs)
            # Keyed by the compiler's binary too: an upgraded g++ compiles anew.
            folder = os.path.join(os.path.dirname(self.build_temp), "cxx",
                                  signature(command, args, os.stat(cxx[0]).st_mtime_ns))
        obj = os.path.join(folder, os.path.splitext(source)[0] + ".o")
        depfile = os.path.splitext(obj)[0] + ".d"

        def is_stale():
            return stale(obj, dependencies(depfile) or [source, depfile])

        compiles.setdefault(obj, {"object": obj, "depfile": depfile, "stale": is_stale,
                                  "command": command + ["-c", source] + args})
        return obj

    def _compile_all(self, jobs):
        if not jobs:
            return
        workers = self.parallel if isinstance(self.parallel, int) and self.parallel > 1 else \
            int(os.environ.get("CLIPWEAVE_BUILD_JOBS") or os.cpu_count() or 1)
        log.info("compiling %d objects, %d at a time", len(jobs), workers)

        def compile_one(job):
            # Written aside, then moved: a build that stops half way, or
            # another one at the same time, never finds half an object.
            obj, depfile = job["object"], job["depfile"]
            os.makedirs(os.path.dirname(obj), exist_ok=True)
            part = f"{obj}.{os.getpid()}.{threading.get_ident()}"
            self.compiler.spawn(job["command"] + ["-o", part, "-MF", part + ".d", "-MT", obj])
            os.replace(part + ".d", depfile)
            os.replace(part, obj)

        with concurrent.futures.ThreadPoolExecutor(max(1, workers)) as pool:
            running = [pool.submit(compile_one, job) for job in jobs]
            failed = [f.exception() for f in running if f.exception() is not None]
        if failed:
            raise CompileError(f"{len(failed)} of {len(jobs)} compiles failed: {failed[0]}")

    def _link(self, ext, objects):
        target = self.get_ext_fullpath(ext.name)
        options = dict(libraries=self.get_libraries(ext), library_dirs=ext.library_dirs,
                       runtime_library_dirs=ext.runtime_library_dirs,
                       extra_postargs=ext.extra_link_args or [],
                       export_symbols=self.get_export_symbols(ext))
        # The link command's record: a module linked otherwise (other flags,
        # other objects, another build in the same folder) is linked again.
        record = os.path.join(self.build_temp, "links", ext.name)
        wanted = signature(objects, options, self.compiler.linker_so)
        try:
            with open(record, encoding="utf-8") as f:
                same = f.read() == wanted
        except FileNotFoundError:
            same = False
        if same and not self.force and not stale(target, objects):
            log.info("'%s' is up to date", ext.name)
            return
        log.info("linking '%s'", ext.name)
        self.compiler.force = True  # the decision is made: its whole-second check would skip
        self.compiler.link_shared_object(objects, target, debug=self.debug,
                                         build_temp=self.build_temp, target_lang="c++", **options)
        write_if_changed(record, wanted)

    def run(self):
        super().run()
        # setuptools builds an in-place build in build_lib too, then copies
        # the extension modules into the tree; the origins go along.
        if self.inplace:
            self._copy_origins_module("")

    @staticmethod
    def _copy_face_model(root):
        """The face model that scripts/setup.sh fetched, with its licence, into
        the package (clipweave/follow/blazeface/); without it the package
        searches faces with the Haar cascades."""
        for name in FACE_MODEL_FILES:
            source = os.path.join(FACE_MODEL_DIR, name)
            if os.path.isfile(source):
                target = os.path.join(root, FACE_MODEL_IN_PACKAGE, name)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(source, target)

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
        # Captions are measured with HarfBuzz and FreeType, which draws colour emoji too.
        extension("clipweave.studio._core", ["clipweave/studio"], libraries=["harfbuzz", "freetype"],
                  include_dirs=pkg_config_includes("harfbuzz", "/usr/include/harfbuzz")
                  + pkg_config_includes("freetype2", "/usr/include/freetype2")),
        # The offline voices, linked against libespeak-ng and libflite.
        extension("clipweave.voice._engines", ["clipweave/voice"],
                  libraries=["espeak-ng", "flite_cmu_us_slt", "flite_cmu_us_rms", "flite_cmu_us_awb",
                             "flite_cmu_us_kal", "flite_usenglish", "flite_cmulex", "flite", "m"]),
        # Word times carried from one recording onto another; FFTW for the spectra.
        extension("clipweave.align._align", ["clipweave/align"], libraries=["fftw3"]),
        # Faces, people and cuts for the subject-following framing; OpenCV 4
        # (its dnn module runs the face model).
        extension("clipweave.follow._follow", ["clipweave/follow"],
                  libraries=["opencv_dnn", "opencv_objdetect", "opencv_imgproc", "opencv_core"],
                  include_dirs=pkg_config_includes("opencv4", "/usr/include/opencv4")),
    ],
    cmdclass={"build_ext": BuildExt},
)
