// One format string per message, whose holes "{}" take the message's values in order: texts as
// they are, integers in decimal. Python-free, so the engine's core spells its messages with the
// same formatter as the library (common/format.hpp builds on it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "texts/decimal.hpp"

namespace zk::texts {

namespace format_detail {

inline constexpr std::string_view kHole = "{}";

inline void append(std::string &out, std::string_view text) { out.append(text); }
inline void append(std::string &out, const std::string &text) { out.append(text); }
inline void append(std::string &out, const char *text) { out.append(text); }

// Integers of any width in decimal, the library's one way of spelling them (a bool is no number
// here).
template <typename T, std::enable_if_t<(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                        !std::is_same_v<T, char>) ||
                                           std::is_same_v<T, __int128>,
                                       int> = 0>
void append(std::string &out, T value) {
    out += decimal(static_cast<__int128>(value));
}

// The format's text up to its next hole; `format` moves on past the hole.
inline std::string_view up_to_hole(std::string_view &format) {
    const std::size_t hole = format.find(kHole);
    const std::string_view head = format.substr(0, hole);
    format.remove_prefix(hole == std::string_view::npos ? format.size() : hole + kHole.size());
    return head;
}

}  // namespace format_detail

// `format` with its holes filled by `args` in order.
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

}  // namespace zk::texts
