// Reading flat integer arrays (numpy arrays, array.array, memoryviews) that the engine hands out.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/errors.hpp"

namespace zk {

namespace nb = nanobind;

// A one-dimensional C-contiguous buffer of 32- or 64-bit signed integers, copied into `out`;
// false (with `out` unspecified) when `obj` is no such buffer.
inline bool read_int_buffer(nb::handle obj, std::vector<int64_t> &out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        // Not a buffer, or not a contiguous one.
        clear_only(PyExc_TypeError, PyExc_BufferError);
        return false;
    }
    const char *fmt = view.format ? view.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    bool ok = view.ndim == 1 && fmt[0] != '\0' && fmt[1] == '\0' &&
              std::string_view("ilq").find(fmt[0]) != std::string_view::npos &&
              (view.itemsize == 4 || view.itemsize == 8);
    if (ok) {
        size_t n = static_cast<size_t>(view.len / view.itemsize);
        out.resize(n);
        if (view.itemsize == 4) {
            const int32_t *p = static_cast<const int32_t *>(view.buf);
            for (size_t i = 0; i < n; ++i) out[i] = p[i];
        } else if (n > 0) {
            std::memcpy(out.data(), view.buf, n * sizeof(int64_t));
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

// The result of the engine's optional clause_arrays() of a clause expression: (names, offsets,
// literals) with names a list; null where the engine lacks it (AttributeError) or the expression
// is not in clause form (the call's ValueError). Any other error reaches the program.
inline nb::object clause_arrays(nb::handle expr) {
    nb::object method = optional_attr(expr, "clause_arrays");
    if (!method.is_valid()) return nb::object();
    PyObject *res = PyObject_CallNoArgs(method.ptr());
    if (!res) {
        clear_only(PyExc_ValueError);
        return nb::object();
    }
    nb::object arrays = nb::steal(res);
    if (!PyTuple_Check(arrays.ptr()) || PyTuple_GET_SIZE(arrays.ptr()) != 3 ||
        !PyList_Check(PyTuple_GET_ITEM(arrays.ptr(), 0)))
        return nb::object();
    return arrays;
}

}  // namespace zk
