// The host's `a, b = value`, with the host's own messages when the value does not fit.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "common/errors.hpp"

namespace zk {

namespace nb = nanobind;

inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *v = PyIter_Next(it);
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        values[i] = nb::steal(v);
    }
    if (PyObject *v = PyIter_Next(it)) {
        Py_DECREF(v);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {std::move(values[0]), std::move(values[1])};
}

}  // namespace zk
