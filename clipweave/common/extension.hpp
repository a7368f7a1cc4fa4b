// What the package's extension modules (clipweave.studio._core,
// clipweave.voice._engines, clipweave.align._align, clipweave.follow._follow)
// share where their plain C++ meets Python: one module definition and one
// error boundary. The exact module, clipweave.clipweave, defines itself in
// module.cpp and keeps its own boundary (py::at_c_boundary).
#pragma once

#include <exception>
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "refusal.hpp"

namespace clipweave::py {

// --- the error boundary --------------------------------------------------------

// The body of an extension function: its result, or NULL with the Python
// error set. A Python error raised in body propagates as it was raised;
// common::Refused becomes a ValueError and common::Failed a RuntimeError,
// each with the same one-line message; std::bad_alloc a MemoryError; any
// other C++ exception a SystemError.
template <class Body>
PyObject* entry(Body&& body) {
    Object result;
    const bool ok = at_c_boundary([&] {
        try {
            result = body();
        } catch (const common::Refused& e) {
            raise(PyExc_ValueError, e.what());
        } catch (const common::Failed& e) {
            raise(PyExc_RuntimeError, e.what());
        }
    });
    return ok ? result.release() : nullptr;
}

// work() with the GIL released, for C++ that touches no Python object: its
// result, or what it threw, thrown again once the GIL is held (so entry
// turns it into its Python error). Not an RAII guard: taking the GIL back
// at interpreter exit may end the thread by unwinding it, which cannot
// pass through a destructor.
template <class Work>
auto released(Work&& work) -> std::invoke_result_t<Work&> {
    using Result = std::invoke_result_t<Work&>;
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result{};
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<Result>)
            work();
        else
            result.emplace(work());
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// --- the module definition -----------------------------------------------------

// The method-table form of a function that takes keywords.
inline PyCFunction with_keywords(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// An exec step that may throw, as the exec slot the interpreter calls.
template <void (*Exec)(Handle module)>
int exec_step(PyObject* module) {
    return at_c_boundary([&] { Exec(module); }) ? 0 : -1;
}

// module.name = value, for the constants a module offers its callers.
inline void add_constant(Handle module, const char* name, Handle value) {
    require(PyModule_AddObjectRef(module.ptr(), name, value.ptr()));
}

// Per-module state: its size and the three calls the interpreter makes on
// it (none for a module without state).
struct ModuleState {
    Py_ssize_t size = 0;
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
    freefunc free = nullptr;
};

// An extension module's definition for multi-phase initialisation: its
// dotted name, docstring, functions, an optional exec step and state. A
// function's docstring begins "name(parameters)\n--\n\n" (with ", /" for
// one that takes no keywords), so that help() and inspect.signature show
// its parameters. Every one of the package's modules may be imported
// in any interpreter, each with its own GIL: what they keep of Python is in
// their module state, and what C++ state they share is locked. Lives as
// long as the process (a namespace-scope object): the interpreter keeps a
// pointer to it.
class ExtensionModule {
public:
    ExtensionModule(const char* name, const char* doc, std::initializer_list<PyMethodDef> functions,
                    int (*exec)(PyObject*) = nullptr, ModuleState state = {})
        : methods_(functions),
          slots_{exec != nullptr ? slot(Py_mod_exec, reinterpret_cast<void*>(exec)) : per_interpreter(),
                 exec != nullptr ? per_interpreter() : end(), end()},
          def_{PyModuleDef_HEAD_INIT, name, doc, state.size, terminated(methods_), slots_, state.traverse,
               state.clear, state.free} {}
    ExtensionModule(const ExtensionModule&) = delete;
    ExtensionModule& operator=(const ExtensionModule&) = delete;

    // What the module's PyInit_ function returns.
    PyObject* init() { return PyModuleDef_Init(&def_); }

private:
    static PyMethodDef* terminated(std::vector<PyMethodDef>& methods) {
        methods.push_back({nullptr, nullptr, 0, nullptr});
        return methods.data();
    }
    static PyModuleDef_Slot slot(int id, void* value) { return {id, value}; }
    static PyModuleDef_Slot end() { return {0, nullptr}; }
    static PyModuleDef_Slot per_interpreter() {
#ifdef Py_mod_multiple_interpreters
        return slot(Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED);
#else
        return end();
#endif
    }

    std::vector<PyMethodDef> methods_;
    PyModuleDef_Slot slots_[3];
    PyModuleDef def_;
};

}  // namespace clipweave::py
