// What the bodies reach at call time: the module's globals, with the
// builtins behind them, the print and open taken at initialisation, and the
// names they use on every call, interned once.
#pragma once

#include "common/pyref.hpp"

namespace clipweave {

// Attribute, keyword, global and key names of the bodies.
#define CLIPWEAVE_NAMES(X)                                                                   \
    X(json) X(subprocess) X(requests) X(base64) X(re) X(time) X(os) X(quote)                 \
    X(_download_video) X(_generate_tts) X(_build_atempo_chain)                               \
    X(path) X(join) X(exists) X(remove) X(abspath) X(run) X(check) X(capture_output)        \
    X(returncode) X(load) X(encoding) X(sleep) X(get) X(post) X(raise_for_status) X(headers) \
    X(timeout) X(safe) X(end) X(flush) X(write) X(status_code) X(sub) X(b64decode)           \
    X(success) X(id) X(progress_url) X(progress) X(download_url) X(audio_data)               \
    X(start) X(voiceover) X(__enter__) X(__exit__)

struct Names {
#define CLIPWEAVE_NAME_MEMBER(name) py::Object name;
    CLIPWEAVE_NAMES(CLIPWEAVE_NAME_MEMBER)
#undef CLIPWEAVE_NAME_MEMBER
};

// Process-wide: the module lives in one interpreter for the life of the
// process. Never destroyed, so nothing is released after the interpreter.
struct ProcessState {
    long long interpreter_id = -1;  // -1 until the first creation
    py::Object module;              // set while exec runs and after it succeeds
    py::Object print;
    py::Object open;
    Names names;
};

ProcessState& process_state();

// Interns every name; called by exec before anything uses them.
void intern_names(Names& names);

// The interned names; the module is initialised when a body runs.
const Names& names();

// The value bound to name in the module's globals, else in the builtins,
// else NameError. Looked up anew on every use, so rebinding takes effect.
py::Object global(py::Handle name);

// print(text, ...) with the builtin taken at initialisation.
void print(py::Handle text, std::initializer_list<py::Kwarg> kwargs = {});
void print(const char* utf8);

// open(...) with the builtin taken at initialisation.
py::Object open(std::initializer_list<py::Arg> args, std::initializer_list<py::Kwarg> kwargs = {});

}  // namespace clipweave
