// Texts of values and messages: format(obj, '') for the plain text form in which values (numbers,
// ranges, index symbols) are written into the library's texts, and one format string per message,
// whose holes "{}" take the message's values in order.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <type_traits>

#include "common/errors.hpp"
#include "texts/decimal.hpp"

namespace zk {

namespace nb = nanobind;

inline nb::str format_plain(nb::handle obj) {
    nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
    return check<nb::str>(PyObject_Format(obj.ptr(), empty.ptr()));
}

inline std::string format_plain_utf8(nb::handle obj) {
    return nb::cast<std::string>(format_plain(obj));
}

namespace format_detail {

inline constexpr std::string_view kHole = "{}";

inline void append(std::string &out, std::string_view text) { out.append(text); }
inline void append(std::string &out, const std::string &text) { out.append(text); }
inline void append(std::string &out, const char *text) { out.append(text); }

// Integers of any width in decimal, the library's one way of spelling them (a bool or a char is
// no number here).
template <typename T, std::enable_if_t<(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                        !std::is_same_v<T, char>) ||
                                           std::is_same_v<T, __int128>,
                                       int> = 0>
void append(std::string &out, T value) {
    out += texts::decimal(static_cast<__int128>(value));
}

// The format's text up to its next hole; `format` moves on past the hole.
inline std::string_view up_to_hole(std::string_view &format) {
    const size_t hole = format.find(kHole);
    const std::string_view head = format.substr(0, hole);
    format.remove_prefix(hole == std::string_view::npos ? format.size() : hole + kHole.size());
    return head;
}

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
    append(text, value);
    return utf8_piece(text);
}

}  // namespace format_detail

// `format` with its holes filled by `args` in order: texts as they are, integers in decimal.
template <typename... Args>
std::string format_message(std::string_view format, const Args &...args) {
    std::string out;
    out.reserve(format.size() + 16 * sizeof...(args));
    auto fill = [&](const auto &arg) {
        out.append(format_detail::up_to_hole(format));
        format_detail::append(out, arg);
    };
    (fill(args), ...);
    out.append(format);
    return out;
}

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
        nb::object head = format_detail::utf8_piece(format_detail::up_to_hole(format));
        out = join(out.is_valid() ? join(out, head) : head, format_detail::piece(arg));
    };
    (fill(args), ...);
    nb::object tail = format_detail::utf8_piece(format);
    return out.is_valid() ? join(out, tail) : tail;
}

}  // namespace zk
