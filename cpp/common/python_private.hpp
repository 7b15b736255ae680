// The interpreter's private functions and fields the library relies on, in one place, each with
// the reason no public call does the job. They are stable within CPython 3.10, which the package
// is built for; a new interpreter version is checked here first.
#pragma once

#include <Python.h>

#include <cstdint>

namespace zk::py_private {

// The slot of an instance's attribute dictionary. Native classes made with a dynamic attribute
// dictionary must visit and clear it in their own tp_traverse/tp_clear, and the expression
// classes read it to tell a rebound method from the class's own without creating the
// dictionary; PyObject_GenericGetDict would create it on every read.
inline PyObject **dict_ptr(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

// A look-up along the type's method order, without the instance, without calling descriptors and
// without raising: the test "is this still the class's own method" that the fast paths make on
// every operation. PyObject_GetAttr would bind the method and run Python code. The found object
// is only compared here: the class holds the one reference to it, and any call into the host may
// delete the attribute and free it.
inline bool type_finds(PyTypeObject *type, PyObject *name, PyObject *expected) {
    return _PyType_Lookup(type, name) == expected;
}

// The same look-up for an object that is used (called, kept): a new reference, or null when the
// class has no such attribute.
inline PyObject *type_lookup_new(PyTypeObject *type, PyObject *name) {
    PyObject *found = _PyType_Lookup(type, name);
    Py_XINCREF(found);
    return found;
}

// A dictionary sized once for a number of entries known in advance (the maps of a block of
// auxiliaries, a family's elements): no rehash while it is filled.
inline PyObject *new_presized_dict(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// Adds a frame to the pending exception's traceback, so an error of a natively evaluated text
// shows the frame that Python's own evaluation of that text would show.
inline void traceback_add(const char *function, const char *file, int line) {
    _PyTraceback_Add(function, file, line);
}

// The sign of an int (-1, 0, 1) without converting it: a weight of any size is read in O(1).
inline int long_sign(PyObject *v) { return _PyLong_Sign(v); }

// A dictionary's version, changed by every modification: a merge of maps kept between reads is
// reused only while no merged map changed. No public call tells that a dictionary changed.
inline uint64_t dict_version(PyObject *d) {
    return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
}

}  // namespace zk::py_private
