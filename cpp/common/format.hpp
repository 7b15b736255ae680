// Texts of values and messages: format(obj, '') for the plain text form in which values (numbers,
// ranges, index symbols) are written into the library's texts, and one format string per message,
// whose holes "{}" take the message's values in order.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "texts/format.hpp"

namespace zk {

namespace nb = nanobind;

inline nb::str format_plain(nb::handle obj) {
    nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
    return check<nb::str>(PyObject_Format(obj.ptr(), empty.ptr()));
}

inline std::string format_plain_utf8(nb::handle obj) {
    return nb::cast<std::string>(format_plain(obj));
}

// The one formatter of message texts; format_message_str below fills the same format strings.
using texts::format_message;

namespace format_detail {

inline nb::object utf8_piece(std::string_view text) {
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A piece of a Python text: a Python object as it is, C++ values as their UTF-8 text.
inline nb::object piece(nb::handle obj) { return nb::borrow(obj); }
inline nb::object piece(const nb::object &obj) { return nb::borrow(obj); }
inline nb::object piece(const nb::str &obj) { return nb::borrow(obj); }

template <typename T>
nb::object piece(const T &value) {
    std::string text;
    texts::format_detail::append(text, value);
    return utf8_piece(text);
}

}  // namespace format_detail

// As format_message, made as a Python text by the host's `+` of its pieces: Python objects among
// `args` go in as they are, so a name without a UTF-8 form (a lone surrogate) still reaches the
// message, and a piece that is no text fails as joining it would.
template <typename... Args>
nb::object format_message_str(std::string_view format, const Args &...args) {
    auto join = [](const nb::object &left, const nb::object &right) {
        return check(PyNumber_Add(left.ptr(), right.ptr()));
    };
    nb::object out;
    auto fill = [&](const auto &arg) {
        nb::object head = format_detail::utf8_piece(texts::format_detail::up_to_hole(format));
        out = join(out.is_valid() ? join(out, head) : head, format_detail::piece(arg));
    };
    (fill(args), ...);
    nb::object tail = format_detail::utf8_piece(format);
    return out.is_valid() ? join(out, tail) : tail;
}

}  // namespace zk
