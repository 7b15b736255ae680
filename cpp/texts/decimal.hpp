// Integers as decimal text: the one writer behind every number the library spells (element keys,
// auxiliary names, messages). std::to_chars gives the shortest exact form without the locale.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace zk::texts {

// Room for any int64_t: 19 digits and a sign.
inline constexpr std::size_t kDecimalWidth = 20;

// Writes `v` at `buf` (at least kDecimalWidth bytes); returns the number of characters.
inline std::size_t write_decimal(std::int64_t v, char *buf) {
    return static_cast<std::size_t>(std::to_chars(buf, buf + kDecimalWidth, v).ptr - buf);
}

inline void append_decimal(std::string &out, std::int64_t v) {
    char buf[kDecimalWidth];
    out.append(buf, write_decimal(v, buf));
}

inline std::string decimal(std::int64_t v) {
    char buf[kDecimalWidth];
    return std::string(buf, write_decimal(v, buf));
}

// Sums and products of two int64_t values, as the checks of instance counts need them.
inline std::string decimal(__int128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return decimal(static_cast<std::int64_t>(v));
    unsigned __int128 m =
        v < 0 ? static_cast<unsigned __int128>(-(v + 1)) + 1 : static_cast<unsigned __int128>(v);
    char buf[40];
    std::size_t n = sizeof buf;
    while (m > 0) {
        buf[--n] = static_cast<char>('0' + static_cast<int>(m % 10));
        m /= 10;
    }
    if (v < 0) buf[--n] = '-';
    return std::string(buf + n, sizeof buf - n);
}

// A decimal integer: an optional sign, then digits only; false when it is not one or does not
// fit an int64_t.
inline bool read_decimal(std::string_view t, std::int64_t &out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size()) return false;
    // Gathered as a negative number so that the most negative value still fits.
    std::int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_sub_overflow(v, t[i] - '0', &v))
            return false;
    }
    if (!negative && v == INT64_MIN) return false;
    out = negative ? v : -v;
    return true;
}

}  // namespace zk::texts
