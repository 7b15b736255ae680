// Literal texts of clause templates and the largest literal. A literal of an element is its
// reference with "-" for a negation ("-x(1,2)"); any other literal is its printed form, "~" for a
// negation, in single quotes ("'~_pbct_aux_3'"), so that evaluating the text gives the name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zk::texts {

// The largest variable number a clause literal may carry.
inline constexpr std::int64_t kMaxLiteral = INT32_MAX;

inline constexpr char kNegationMark = '~';
inline constexpr char kQuote = '\'';

// The literal text of a variable printed as `name`, negated or not.
inline void append_literal_text(std::string &out, std::string_view name, bool negated) {
    if (name.find('(') != std::string_view::npos) {
        const std::size_t from = out.size();
        if (negated) out += '-';
        out += name;
        for (std::size_t i = from; i < out.size(); ++i)
            if (out[i] == kNegationMark) out[i] = '-';
    } else {
        out += kQuote;
        if (negated) out += kNegationMark;
        out += name;
        out += kQuote;
    }
}

// The literal text of a literal the host prints as `printed` ("~x(1)", "a").
inline std::string literal_text(std::string_view printed) {
    std::string out;
    append_literal_text(out, printed, false);
    return out;
}

// The inner text of a quoted literal when it reads back exactly as it stands: no escapes, no
// quote inside, nothing after the closing quote but blanks.
inline bool quoted_content(std::string_view text, std::string_view &out) {
    std::size_t b = 0;
    while (b < text.size() && (text[b] == ' ' || text[b] == '\t')) ++b;
    if (b >= text.size() || text[b] != kQuote) return false;
    const std::size_t e = text.find(kQuote, b + 1);
    if (e == std::string_view::npos) return false;
    for (std::size_t i = e + 1; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\t') return false;
    out = text.substr(b + 1, e - b - 1);
    for (char c : out)
        if (c == '\\' || c == '\n' || c == '\r') return false;
    return true;
}

}  // namespace zk::texts
