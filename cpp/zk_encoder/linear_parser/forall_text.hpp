// The text by which a for-all value of the first linear generation enters a text, after
// "for i in ": shared by `Sum` and the model's for-all keywords.
//
// The value's own text form is evaluated back, so it must be source text of the same values. A
// numpy integer prints as "np.int64(3)" and a numpy array without commas, which name nothing or
// read as something else; a sequence of integers is therefore written as a list of plain ints
// (numpy integers, booleans and numpy integer arrays included), so that it means what the same
// host integers mean. A text is written unchanged (it may use the keywords before it); anything
// else keeps its own text form, for the evaluation to judge.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/numbers.hpp"

namespace zk::lp1 {

namespace nb = nanobind;

inline nb::str forall_text(nb::handle value) {
    PyObject *v = value.ptr();
    const bool sequence = PySequence_Check(v) && !PyUnicode_Check(v) && !PyRange_Check(v) &&
                          !PyBytes_Check(v) && !PyByteArray_Check(v);
    if (!sequence) return format_plain(value);
    PyObject *fast = PySequence_Fast(v, "");
    if (!fast) {
        clear_only(PyExc_TypeError);
        return format_plain(value);
    }
    nb::object items = nb::steal(fast);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    bool plain = true;
    for (Py_ssize_t k = 0; k < n; ++k) {
        nb::handle item = PySequence_Fast_GET_ITEM(fast, k);
        if (PyLong_CheckExact(item.ptr())) continue;
        if (!plain_integer(item).is_valid()) return format_plain(value);
        plain = false;
    }
    // A list or tuple of plain ints keeps the text it always had.
    if (plain) return format_plain(value);
    std::string text = "[";
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (k > 0) text += ", ";
        text += nb::cast<std::string>(nb::str(plain_integer(PySequence_Fast_GET_ITEM(fast, k))));
    }
    text += "]";
    return nb::str(text.data(), text.size());
}

}  // namespace zk::lp1
