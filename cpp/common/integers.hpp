// Sequences of integers as programs pass them (for-all values, keyword values of indexed
// constructors) read as the plain ints that the library's texts, term nodes and the engine take,
// and the size of a dimension; one integer is read by the readers listed in numbers.hpp.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.hpp"
#include "common/numbers.hpp"

namespace zk {

namespace nb = nanobind;

// What every model says of a size that dimension_size refuses.
inline constexpr const char *kBadSizesMsg = "Dimension sizes must be non-negative integers";

// The size of one dimension of a variable family or block, as every model reads it: the plain int
// of an integer (numpy's included), not negative; a truth value is no size. Invalid otherwise.
inline nb::object dimension_size(nb::handle size) {
    nb::object plain = plain_non_bool_integer(size);
    if (plain.is_valid() && compare(plain, nb::int_(0), Py_LT)) return nb::object();
    return plain;
}

// Values given as a sequence of integers: for-all values of a model's constraint, the keyword
// values of an indexed constructor. A text, bytes, a mapping, a set or a range is no such
// sequence (a range is kept as it is by its readers).
struct PlainInts {
    bool sequence_ = false;
    // The plain ints in the value's order: the value itself when it holds nothing else, otherwise
    // a new tuple for a tuple and a new list for any other sequence. Invalid when some item is no
    // integer.
    nb::object values_;
    // That item, the first one.
    nb::object not_integer_;
};

inline PlainInts plain_ints(nb::handle value) {
    PlainInts out;
    PyObject *v = value.ptr();
    if (!PySequence_Check(v) || PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) ||
        PyDict_Check(v) || PyAnySet_Check(v) || PyRange_Check(v))
        return out;
    // The items are read into a tuple of their own first: an item's __index__ may change the
    // program's list under the loop, and each item must live while its own code runs.
    PyObject *fast = PyList_Check(v) ? PyList_AsTuple(v) : PySequence_Fast(v, "");
    if (!fast) {
        clear_only(PyExc_TypeError);
        return out;
    }
    out.sequence_ = true;
    nb::object seq = nb::steal(fast);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    bool plain = PyList_CheckExact(v) || PyTuple_CheckExact(v);
    nb::object ints = check(PyList_New(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        nb::handle item = PySequence_Fast_GET_ITEM(fast, k);
        nb::object i = plain_integer(item);
        if (!i.is_valid()) {
            out.not_integer_ = nb::borrow(item);
            return out;
        }
        plain = plain && i.is(item);
        PyList_SET_ITEM(ints.ptr(), k, i.release().ptr());
    }
    if (plain)
        out.values_ = nb::borrow(value);
    else if (PyTuple_Check(v))
        out.values_ = check(PyList_AsTuple(ints.ptr()));
    else
        out.values_ = ints;
    return out;
}

// The host's refusal of a binary operator for these operand types, in its own wording.
[[noreturn]] inline void raise_unsupported_operands(const char *op, nb::handle left,
                                                    nb::handle right) {
    PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for %s: '%s' and '%s'", op,
                 Py_TYPE(left.ptr())->tp_name, Py_TYPE(right.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace zk
