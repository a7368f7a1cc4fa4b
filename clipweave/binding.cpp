#include "binding.hpp"

namespace clipweave {
namespace {

int count_error(const Signature& s, bool too_many, Py_ssize_t given) {
    const bool has_default = s.nrequired < s.nparams;
    const char* qualifier = "exactly";
    Py_ssize_t expected = s.nparams;
    if (has_default) {
        qualifier = too_many ? "at most" : "at least";
        expected = too_many ? s.nparams : s.nrequired;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
                 qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

bool same_name(PyObject* param, PyObject* key) {
    // Both are str here; the comparison cannot fail.
    return param == key || PyUnicode_Compare(param, key) == 0;
}

int place_keyword(const FunctionObject& f, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  PyObject** slots) {
    const Signature& s = *f.sig;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
        return -1;
    }
    // Interned names usually match by identity; only then compare text.
    for (int i = static_cast<int>(nargs); i < s.nparams; ++i) {
        if (slots[i] == nullptr && f.param_names[i] == key) {
            slots[i] = value;
            return 0;
        }
    }
    for (int i = static_cast<int>(nargs); i < s.nparams; ++i) {
        if (slots[i] == nullptr && PyUnicode_Compare(f.param_names[i], key) == 0) {
            slots[i] = value;
            return 0;
        }
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (slots[i] != nullptr && same_name(f.param_names[i], key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         s.name, key);
            return -1;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
    return -1;
}

int check_required(const Signature& s, PyObject* const* slots) {
    for (int i = 0; i < s.nrequired; ++i) {
        if (slots[i] == nullptr) return count_error(s, false, i);
    }
    return 0;
}

PyObject* subclass_note() {
    static PyObject* note = PyUnicode_InternFromString(
        "Subclasses of built-in types are rejected; pass a plain str, e.g. str(value)");
    return note;
}

PyObject* empty_text() {
    static PyObject* empty = PyUnicode_InternFromString("");
    return empty;
}

int str_type_error(const char* param, PyObject* obj) {
    const bool subclass = PyUnicode_Check(obj);
    PyObject* tail = subclass ? subclass_note() : empty_text();
    if (tail == nullptr) return -1;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", param,
                 "str", Py_TYPE(obj)->tp_name, subclass ? ". " : "", tail);
    return -1;
}

// Float parameters first, then str parameters, each in parameter order; the
// first failure wins.
int check_and_convert(const FunctionObject& f, PyObject** slots, BoundArgs& out) {
    const Signature& s = *f.sig;
    for (int i = s.nrequired; i < s.nparams; ++i) {
        if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(f.defaults, i - s.nrequired);
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (s.params[i].kind != Kind::Float) continue;
        PyObject* o = slots[i];
        double v;
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
        } else {
            v = PyFloat_AsDouble(o);
            if (v == -1.0 && PyErr_Occurred()) return -1;
        }
        out.num[i] = v;
        out.obj[i] = o;
    }
    for (int i = 0; i < s.nparams; ++i) {
        if (s.params[i].kind != Kind::Str) continue;
        if (!PyUnicode_CheckExact(slots[i])) return str_type_error(s.params[i].name, slots[i]);
        out.obj[i] = slots[i];
    }
    return 0;
}

}  // namespace

int bind_vector(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, BoundArgs& out) {
    const Signature& s = *f.sig;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* slots[kMaxParams] = {};
    if (nargs > s.nparams) return count_error(s, true, nargs);
    if (nkw == 0 && nargs < s.nrequired) return count_error(s, false, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (place_keyword(f, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots) < 0)
            return -1;
    }
    if (nkw != 0 && check_required(s, slots) < 0) return -1;
    return check_and_convert(f, slots, out);
}

int bind_tuple_dict(const FunctionObject& f, PyObject* args, PyObject* kwargs,
                    BoundArgs& out) {
    const Signature& s = *f.sig;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool has_kw = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    PyObject* slots[kMaxParams] = {};
    if (nargs > s.nparams) return count_error(s, true, nargs);
    if (!has_kw && nargs < s.nrequired) return count_error(s, false, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (has_kw) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (place_keyword(f, key, value, nargs, slots) < 0) return -1;
        }
        if (check_required(s, slots) < 0) return -1;
    }
    return check_and_convert(f, slots, out);
}

}  // namespace clipweave
