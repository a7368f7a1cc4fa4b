// A thin RAII layer over the CPython object API.
//
// Handle is a borrowed reference, Object an owned one. Any C-API failure
// becomes a C++ exception, PyErrOccurred, that carries nothing: the Python
// error stays set in the interpreter exactly as the failing call left it, and
// the C boundary (the callable's entry points) turns the exception back into
// a NULL return. No code outside this header counts references by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string_view>
#include <utility>

namespace clipweave::py {

// "A Python exception is set." Thrown after a failing C-API call.
struct PyErrOccurred final {};

[[noreturn]] inline void raise_current() { throw PyErrOccurred{}; }

class Object;

struct Kwarg;

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit by design

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    Object attr(const char* name) const;
    Object attr(Handle name) const;
    // obj[key], the host's subscription.
    Object operator[](const char* key) const;
    Object operator[](Handle key) const;
    // obj.get(key) for a mapping-like object, default None.
    Object get(const char* key) const;

    // Calls with positional arguments and, optionally, keywords by name.
    Object operator()(std::initializer_list<Handle> args = {},
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
    ~Object() { Py_XDECREF(p_); }

    // Takes over a new reference; NULL means the call that made it failed.
    static Object steal(PyObject* p) {
        if (p == nullptr) raise_current();
        return Object(p);
    }
    static Object borrow(Handle h) noexcept {
        Py_XINCREF(h.ptr());
        return Object(h.ptr());
    }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Object(PyObject* p) noexcept : Handle(p) {}
};

struct Kwarg {
    const char* name;
    Handle value;
};

// --- construction -----------------------------------------------------------

inline Object str(std::string_view utf8) {
    return Object::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}
inline Object integer(long long v) { return Object::steal(PyLong_FromLongLong(v)); }
inline Object floating(double v) { return Object::steal(PyFloat_FromDouble(v)); }
inline Handle none() noexcept { return Py_None; }
inline Handle boolean(bool v) noexcept { return v ? Py_True : Py_False; }

inline Object list(std::initializer_list<Handle> items) {
    Object out = Object::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Handle h : items) {
        Py_INCREF(h.ptr());
        PyList_SET_ITEM(out.ptr(), i++, h.ptr());
    }
    return out;
}
inline void append(Handle list, Handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) raise_current();
}
// A new list holding the items of a followed by those of b.
inline Object concat_lists(Handle a, Handle b) {
    return Object::steal(PySequence_Concat(a.ptr(), b.ptr()));
}
inline Py_ssize_t length(Handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) raise_current();
    return n;
}

// --- text ------------------------------------------------------------------

// The host's format(value) with an empty format spec.
inline Object format(Handle value) {
    Object empty = str("");
    return Object::steal(PyObject_Format(value.ptr(), empty.ptr()));
}
// Concatenation of str objects, without a round trip through UTF-8, so
// that paths holding surrogate escapes pass through unchanged.
inline Object join(std::initializer_list<Handle> parts) {
    Object seq = list(parts);
    Object empty = str("");
    return Object::steal(PyUnicode_Join(empty.ptr(), seq.ptr()));
}

// --- protocol --------------------------------------------------------------

inline Object Handle::attr(const char* name) const {
    return Object::steal(PyObject_GetAttrString(p_, name));
}
inline Object Handle::attr(Handle name) const {
    return Object::steal(PyObject_GetAttr(p_, name.ptr()));
}
inline Object Handle::operator[](Handle key) const {
    return Object::steal(PyObject_GetItem(p_, key.ptr()));
}
inline Object Handle::operator[](const char* key) const { return (*this)[str(key)]; }
inline Object Handle::get(const char* key) const { return attr("get")({str(key)}); }

inline bool Handle::truthy() const {
    int r = PyObject_IsTrue(p_);
    if (r < 0) raise_current();
    return r != 0;
}

inline bool not_equal(Handle a, Handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) raise_current();
    return r != 0;
}

inline Object Handle::operator()(std::initializer_list<Handle> args,
                                 std::initializer_list<Kwarg> kwargs) const {
    constexpr size_t kMax = 8;
    if (args.size() + kwargs.size() > kMax) {
        PyErr_SetString(PyExc_SystemError, "clipweave: too many call arguments");
        raise_current();
    }
    PyObject* stack[kMax];
    size_t n = 0;
    for (Handle a : args) stack[n++] = a.ptr();
    Object kwnames;
    if (kwargs.size() != 0) {
        kwnames = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kwarg& kw : kwargs) {
            PyObject* name = PyUnicode_InternFromString(kw.name);
            if (name == nullptr) raise_current();
            PyTuple_SET_ITEM(kwnames.ptr(), k++, name);
            stack[n++] = kw.value.ptr();
        }
    }
    return Object::steal(PyObject_Vectorcall(p_, stack, args.size(), kwnames.ptr()));
}

}  // namespace clipweave::py
