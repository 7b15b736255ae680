// Index texts: the source text an index placeholder stands for once a for-all value is bound to
// its name. Index arithmetic joins the current text with a shift; an operand is put in
// parentheses only where the joined text would otherwise evaluate to another value, so one step
// on a plain name or an integer keeps its plain form ("i + 1", "2 * i"), and chains such as
// (i + 1) + 2 or 3 * (i - 1) keep their meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::texts {

// What binds outside all parentheses of a text, as far as the joins below need to know.
struct TextShape {
    bool sum_ = false;        // a binary + or - outside parentheses
    bool product_ = false;    // a binary * outside parentheses
    bool other_mul_ = false;  // /, //, %, @ outside parentheses: not associative with *
    bool unknown_ = false;    // anything that binds more loosely than + (or cannot be read)
};

TextShape shape_of(std::string_view t);

inline std::string parenthesised(const std::string &t) { return "(" + t + ")"; }

// `left` + `op` + `right` for op " + " or " - ".
inline std::string index_shift_text(std::string left, std::string_view op, std::string right) {
    TextShape ls = shape_of(left), rs = shape_of(right);
    bool minus = op == " - ";
    if (ls.unknown_) left = parenthesised(left);
    if (rs.unknown_ || (minus && rs.sum_)) right = parenthesised(right);
    std::string out = std::move(left);
    out += op;
    out += right;
    return out;
}

// `left` + " * " + `right`, the index text on the right.
inline std::string index_scale_text(std::string left, std::string right) {
    TextShape ls = shape_of(left), rs = shape_of(right);
    if (ls.unknown_ || ls.sum_) left = parenthesised(left);
    if (rs.unknown_ || rs.sum_ || rs.other_mul_) right = parenthesised(right);
    std::string out = std::move(left);
    out += " * ";
    out += right;
    return out;
}

// The names an index text uses, in order of appearance (attribute names after a dot excluded).
std::vector<std::string> names_in(std::string_view text);

// An index text read as `constant_` plus the sum of `coefs_[s]` times the value of the name
// `slots[s]`: integers, those names, unary signs, binary +, - and *, parentheses. Products of
// two non-constant terms, other names and anything else are not read.
struct LinearIndex {
    std::int64_t constant_ = 0;
    std::vector<std::int64_t> coefs_;  // one per slot

    bool is_constant() const;
};

std::optional<LinearIndex> read_index_text(std::string_view text,
                                           const std::vector<std::string> &slots);

// A literal text that is not quoted: "[-]family(index, ...)" (an element reference, negated by
// an odd number of minus signs) or an index text standing for the literal's own number.
struct PlainLiteral {
    bool negated_ = false;
    bool is_element_ = false;
    std::string_view family_;          // for an element reference
    std::vector<LinearIndex> values_;  // its indices, or the one number
};

std::optional<PlainLiteral> read_plain_literal(std::string_view text,
                                               const std::vector<std::string> &slots);

}  // namespace zk::texts
