// One way to fail for the whole library: raising an exception, checking a fallible interpreter
// call, and reading an optional attribute.
//
// Interpreter calls that answer with an int (PyObject_IsTrue, PyObject_RichCompareBool,
// PyDict_Contains, PyObject_IsInstance, ...) answer -1 with an exception set; comparing them with
// `== 1` would take the error for "false" and return a value with an exception still pending.
// Go through `truth`, `compare`, `contains`, `is_instance` or `check` instead.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zk {

namespace nb = nanobind;

// Raises `exc_type` with the message `msg`, without logging: the errors the host itself would
// raise. The library's refusals are logged first, through raise_after_logging: by
// ModuleGlobals::raise_logged in a module whose globals bind the logging functions, by
// zk::raise_logged (logging.hpp) in one that binds none.
[[noreturn]] inline void raise_plain(nb::handle exc_type, nb::handle msg) {
    PyErr_SetObject(exc_type.ptr(), msg.ptr());
    throw nb::python_error();
}

[[noreturn]] inline void raise_plain(nb::handle exc_type, const std::string &msg) {
    raise_plain(exc_type, nb::str(msg.data(), msg.size()));
}

[[noreturn]] inline void raise_plain(nb::handle exc_type, const char *msg) {
    raise_plain(exc_type, nb::str(msg));
}

// Raises `msg` after handing it to `log_e` (a logging function of the package).
[[noreturn]] inline void raise_after_logging(nb::handle log_e, nb::handle exc_type,
                                             nb::handle msg) {
    log_e(msg);
    raise_plain(exc_type, msg);
}

// The pending exception, raised in C++.
[[noreturn]] inline void rethrow() { throw nb::python_error(); }

// An int answer of the interpreter: -1 means an exception is set.
inline int check(int r) {
    if (r < 0) rethrow();
    return r;
}

// A new reference, or null with an exception set (allocation included): owned either way.
template <typename T = nb::object>
T check(PyObject *r) {
    if (!r) rethrow();
    return nb::steal<T>(r);
}

// Python's own truth value, raising what __bool__ or __len__ raise.
inline bool truth(nb::handle obj) { return check(PyObject_IsTrue(obj.ptr())) == 1; }

inline bool compare(nb::handle a, nb::handle b, int op) {
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) == 1;
}

inline bool is_instance(nb::handle obj, nb::handle cls) {
    return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1;
}

inline bool contains(nb::handle container, nb::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

// After a failed call whose failure only means "not offered": clears the error when it is
// `expected` (AttributeError for an optional attribute), raises anything else, so MemoryError,
// KeyboardInterrupt and the caller's own errors are never swallowed.
inline void clear_only(PyObject *expected) {
    if (!PyErr_ExceptionMatches(expected)) rethrow();
    PyErr_Clear();
}

inline void clear_only(PyObject *expected, PyObject *or_expected) {
    if (!PyErr_ExceptionMatches(expected) && !PyErr_ExceptionMatches(or_expected)) rethrow();
    PyErr_Clear();
}

// The attribute `name` of `obj`, or an invalid object when `obj` lacks it (AttributeError);
// every other error of the look-up reaches the program.
inline nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (r) return nb::steal(r);
    clear_only(PyExc_AttributeError);
    return nb::object();
}

}  // namespace zk
