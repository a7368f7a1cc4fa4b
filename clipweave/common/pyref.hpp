// A thin RAII layer over the CPython object API, and the only code of the
// module that counts references by hand.
//
// Handle is a borrowed reference, Object an owned one. A failing C-API call
// becomes PyErrOccurred, a C++ exception that carries nothing: the Python
// error stays set exactly as the failing call left it, and the C boundary
// (module init, the callable's entry points) turns it back into the error
// return the interpreter expects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cassert>
#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

namespace clipweave::py {

// "A Python exception is set."
struct PyErrOccurred final {
    PyErrOccurred() noexcept { assert(PyErr_Occurred() != nullptr); }
};

[[noreturn]] inline void raise_current() { throw PyErrOccurred{}; }

// Runs body where C++ meets C (init slots, the callables' entry points):
// false, with a Python error set, when body threw. Not noexcept: a thread
// that the interpreter ends at exit (taking the GIL back during
// finalisation) is unwound by force, and that unwind must pass through.
template <class Body>
bool at_c_boundary(Body&& body) {
    try {
        body();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return false;
}

// For the C-API calls that report failure as -1.
inline int require(int rc) {
    if (rc < 0) raise_current();
    return rc;
}

class Object;
struct Arg;
struct Kwarg;

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit by design

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    Object attr(Handle name) const;
    // obj[key], the host's subscription.
    Object operator[](Handle key) const;

    // A call with positional arguments and keywords, through vectorcall.
    Object operator()(std::initializer_list<Arg> args = {},
                      std::initializer_list<Kwarg> kwargs = {}) const;

    bool truthy() const;

protected:
    PyObject* p_ = nullptr;
};

class Object : public Handle {
public:
    Object() noexcept = default;
    Object(const Object& o) noexcept : Handle(o.p_) { Py_XINCREF(p_); }
    Object(Object&& o) noexcept : Handle(std::exchange(o.p_, nullptr)) {}
    Object& operator=(Object o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    // A thread ended by interpreter exit is unwound without the GIL: its
    // references are left to the dying interpreter rather than counted.
    ~Object() {
        if (p_ != nullptr && (std::uncaught_exceptions() == 0 || PyGILState_Check())) Py_DECREF(p_);
    }

    // Takes over a new reference; NULL means the call that made it failed.
    static Object steal(PyObject* p) {
        if (p == nullptr) raise_current();
        return Object(p);
    }
    // Takes over a new reference or NULL, for calls whose NULL is no error.
    static Object adopt(PyObject* p) noexcept { return Object(p); }
    static Object borrow(Handle h) noexcept {
        Py_XINCREF(h.ptr());
        return Object(h.ptr());
    }
    // The reference goes to the caller, who must own it from now on.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Object(PyObject* p) noexcept : Handle(p) {}
};

// --- raising -----------------------------------------------------------------

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise_current();
}
[[noreturn]] inline void raise(PyObject* type, Handle message) {
    PyErr_SetObject(type, message.ptr());
    raise_current();
}
template <class... Values>
[[noreturn]] void raise_format(PyObject* type, const char* format, Values... values) {
    PyErr_Format(type, format, values...);
    raise_current();
}

// --- construction ------------------------------------------------------------

inline Object str(std::string_view utf8) {
    return Object::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}
inline Object interned(const char* name) {
    return Object::steal(PyUnicode_InternFromString(name));
}
inline Object integer(long long v) { return Object::steal(PyLong_FromLongLong(v)); }
inline Object floating(double v) { return Object::steal(PyFloat_FromDouble(v)); }
inline Handle none() noexcept { return Py_None; }

// An argument of a call or an item of a new list or dict: an object, or a
// literal turned into one (text, integer, bool).
struct Arg {
    Arg(Handle h) noexcept : p(h.ptr()) {}                       // NOLINT
    Arg(const char* utf8) : owned(str(utf8)), p(owned.ptr()) {}  // NOLINT
    Arg(long long v) : owned(integer(v)), p(owned.ptr()) {}     // NOLINT
    Arg(int v) : Arg(static_cast<long long>(v)) {}              // NOLINT
    Arg(double v) : owned(floating(v)), p(owned.ptr()) {}       // NOLINT
    Arg(bool v) noexcept : p(v ? Py_True : Py_False) {}          // NOLINT

    Object owned;
    PyObject* p;
};

struct Kwarg {
    Handle name;  // an interned str
    Arg value;
};

inline Object list(std::initializer_list<Arg> items) {
    Object out = Object::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Arg& a : items) PyList_SET_ITEM(out.ptr(), i++, Object::borrow(a.p).release());
    return out;
}
inline void append(Handle list, Handle item) { require(PyList_Append(list.ptr(), item.ptr())); }
// A new list holding the items of a followed by those of b.
inline Object concat_lists(Handle a, Handle b) {
    return Object::steal(PySequence_Concat(a.ptr(), b.ptr()));
}

struct Item {
    const char* key;
    Arg value;
};
// mapping[key] = value
inline void set_item(Handle mapping, const Item& item) {
    require(PyDict_SetItemString(mapping.ptr(), item.key, item.value.p));
}
// A new dict with the items in order.
inline Object dict(std::initializer_list<Item> items) {
    Object out = Object::steal(PyDict_New());
    for (const Item& item : items) set_item(out, item);
    return out;
}

inline Py_ssize_t length(Handle o) {
    const Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) raise_current();
    return n;
}

// Calls each(item) for every item of an iterable, in order.
template <class Each>
void for_each(Handle iterable, Each&& each) {
    Object iter = Object::steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(iter.ptr())) {
        Object item = Object::steal(next);
        each(Handle(item));
    }
    if (PyErr_Occurred()) raise_current();
}

// --- text --------------------------------------------------------------------

// The host's format(value, spec).
inline Object format(Handle value, const char* spec = "") {
    Object text = str(spec);
    return Object::steal(PyObject_Format(value.ptr(), text.ptr()));
}
// Concatenation of str objects, without a round trip through UTF-8, so
// that paths holding surrogate escapes pass through unchanged.
inline Object concat(std::initializer_list<Arg> parts) {
    Object seq = list(parts);
    Object empty = str("");
    return Object::steal(PyUnicode_Join(empty.ptr(), seq.ptr()));
}

// --- protocol ----------------------------------------------------------------

inline Object Handle::attr(Handle name) const {
    return Object::steal(PyObject_GetAttr(p_, name.ptr()));
}
inline Object Handle::operator[](Handle key) const {
    return Object::steal(PyObject_GetItem(p_, key.ptr()));
}
inline bool Handle::truthy() const { return require(PyObject_IsTrue(p_)) != 0; }

inline bool compare(Handle a, Handle b, int op) {
    return require(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) != 0;
}

inline Object Handle::operator()(std::initializer_list<Arg> args,
                                 std::initializer_list<Kwarg> kwargs) const {
    constexpr size_t kMax = 8;
    if (args.size() + kwargs.size() > kMax) raise(PyExc_SystemError, "clipweave: too many call arguments");
    PyObject* stack[kMax];
    size_t n = 0;
    for (const Arg& a : args) stack[n++] = a.p;
    Object kwnames;
    if (kwargs.size() != 0) {
        kwnames = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kwarg& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.ptr(), k++, Object::borrow(kw.name).release());
            stack[n++] = kw.value.p;
        }
    }
    return Object::steal(PyObject_Vectorcall(p_, stack, args.size(), kwnames.ptr()));
}

}  // namespace clipweave::py
