#include "binding.hpp"

#include <cstring>

namespace clipweave {
namespace {

// Binding reports a TypeError by returning -1 rather than by throwing: a
// rejected call is a common way to call, and unwinding a C++ exception
// costs more than the rest of such a call.

int count_error(const Signature& s, bool too_many, Py_ssize_t given) {
    const bool has_default = s.nrequired < s.nparams;
    const char* qualifier = "exactly";
    Py_ssize_t expected = s.nparams;
    if (has_default) {
        qualifier = too_many ? "at most" : "at least";
        expected = too_many ? s.nparams : s.nrequired;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name, qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool same_name(PyObject* param, PyObject* key) {
    // Both are str here; the comparison cannot fail.
    return param == key || PyUnicode_Compare(param, key) == 0;
}

// The parameter slot a keyword fills, taking a reference to its value.
int place_keyword(const FunctionFields& f, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  BoundArgs& out) {
    const Signature& s = *f.sig;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
        return -1;
    }
    // Interned names usually match by identity; only then compare text.
    for (int i = static_cast<int>(nargs); i < s.nparams; ++i) {
        if (!out.arg[i] && f.param_names[i].ptr() == key) {
            out.arg[i] = py::Object::borrow(value);
            return 0;
        }
    }
    for (int i = static_cast<int>(nargs); i < s.nparams; ++i) {
        if (!out.arg[i] && PyUnicode_Compare(f.param_names[i].ptr(), key) == 0) {
            out.arg[i] = py::Object::borrow(value);
            return 0;
        }
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (out.arg[i] && same_name(f.param_names[i].ptr(), key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         s.name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
    return -1;
}

int check_required(const Signature& s, const BoundArgs& out) {
    for (int i = 0; i < s.nrequired; ++i) {
        if (!out.arg[i]) return count_error(s, false, i);
    }
    return 0;
}

constexpr char kSubclassNote[] =
    "Subclasses of built-in types are rejected; pass a plain str, e.g. str(value)";

// Appends text to an ASCII message; false if it is not plain ASCII or
// longer than limit (PyUnicode_FromFormat truncates at limit bytes).
bool put_ascii(char*& out, const char* text, size_t limit) {
    size_t n = 0;
    for (; text[n] != '\0'; ++n) {
        if (n == limit || static_cast<unsigned char>(text[n]) >= 0x80) return false;
    }
    std::memcpy(out, text, n);
    out += n;
    return true;
}

// The same text as the PyErr_Format below. Wrong types are a common way
// to call, and parsing the format costs most of a rejected call; names
// that are not short ASCII still take the general road.
PyObject* quick_type_message(const char* param, const char* type_name, bool subclass) {
    char buf[512 + sizeof kSubclassNote];
    char* out = buf;
    if (!put_ascii(out, "Argument '", 16) || !put_ascii(out, param, 200) ||
        !put_ascii(out, "' has incorrect type (expected str, got ", 64) ||
        !put_ascii(out, type_name, 200) || !put_ascii(out, ")", 1))
        return nullptr;
    if (subclass && (!put_ascii(out, ". ", 2) || !put_ascii(out, kSubclassNote, 128)))
        return nullptr;
    const auto length = static_cast<Py_ssize_t>(out - buf);
    PyObject* message = PyUnicode_New(length, 127);
    if (message != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(message), buf, length);
    return message;
}

int str_type_error(const char* param, PyObject* obj) {
    const bool subclass = PyUnicode_Check(obj);
    py::Object message = py::Object::adopt(quick_type_message(param, Py_TYPE(obj)->tp_name, subclass));
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message.ptr());
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    py::Object tail = py::Object::adopt(PyUnicode_FromString(subclass ? kSubclassNote : ""));
    if (!tail) return -1;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", param,
                 "str", Py_TYPE(obj)->tp_name, subclass ? ". " : "", tail.ptr());
    return -1;
}

// Float parameters first, then str parameters, each in parameter order; the
// first failure wins.
int check_and_convert(const FunctionFields& f, BoundArgs& out) {
    const Signature& s = *f.sig;
    for (int i = s.nrequired; i < s.nparams; ++i) {
        if (!out.arg[i]) out.arg[i] = py::Object::borrow(PyTuple_GET_ITEM(f.defaults.ptr(), i - s.nrequired));
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (s.params[i].kind != Kind::Float) continue;
        PyObject* o = out.arg[i].ptr();
        double v;
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
        } else {
            v = PyFloat_AsDouble(o);
            if (v == -1.0 && PyErr_Occurred()) return -1;
        }
        out.real[i] = v;
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (s.params[i].kind == Kind::Str && !PyUnicode_CheckExact(out.arg[i].ptr()))
            return str_type_error(s.params[i].name, out.arg[i].ptr());
    }
    return 0;
}

}  // namespace

int bind_vector(const FunctionFields& f, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, BoundArgs& out) {
    const Signature& s = *f.sig;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > s.nparams) return count_error(s, true, nargs);
    if (nkw == 0 && nargs < s.nrequired) return count_error(s, false, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.arg[i] = py::Object::borrow(args[i]);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (place_keyword(f, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out) < 0)
            return -1;
    }
    if (nkw != 0 && check_required(s, out) < 0) return -1;
    return check_and_convert(f, out);
}

int bind_tuple_dict(const FunctionFields& f, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    const Signature& s = *f.sig;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool has_kw = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    if (nargs > s.nparams) return count_error(s, true, nargs);
    if (!has_kw && nargs < s.nrequired) return count_error(s, false, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.arg[i] = py::Object::borrow(PyTuple_GET_ITEM(args, i));
    if (has_kw) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        // Nothing that runs Python code happens while the dict is walked.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (place_keyword(f, key, value, nargs, out) < 0) return -1;
        }
        if (check_required(s, out) < 0) return -1;
    }
    return check_and_convert(f, out);
}

}  // namespace clipweave
