// format(obj, ''): the plain text form in which values (numbers, ranges, index symbols) are
// written into the library's texts and messages.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/errors.hpp"

namespace zk {

namespace nb = nanobind;

inline nb::str format_plain(nb::handle obj) {
    nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
    return check<nb::str>(PyObject_Format(obj.ptr(), empty.ptr()));
}

inline std::string format_plain_utf8(nb::handle obj) {
    return nb::cast<std::string>(format_plain(obj));
}

}  // namespace zk
