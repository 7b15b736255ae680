// Reading the literal texts of a clause template into its integer form. Only the texts that the
// library itself writes are read (element references whose index texts are integers, for-all
// names and sums, differences and integer multiples of those; quoted auxiliary names; integers);
// a record with any other text keeps to the evaluated comprehension. Python-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "instantiate/template_code.hpp"

namespace zk::instantiate {

inline bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

// The result of reading one literal text that is not a quoted name.
struct ReadLiteral {
    bool ok_ = false;
    bool negated_ = false;
    bool is_element_ = false;
    std::string_view family_;  // for an element reference
};

// Reads "[-]name(index, ...)" or an integer expression, appending the index values to `code`.
ReadLiteral read_plain_literal(std::string_view text, TemplateCode &code, uint32_t &first_index,
                               uint32_t &index_count);

// Reads one index text as `constant` plus the sum of `coefs[s]` times the value of `slots[s]`;
// false when it is not of the forms read here (the model's check of for-all values reads them so).
bool read_index_text(std::string_view text, const std::vector<std::string> &slots,
                     int64_t &constant, std::vector<int64_t> &coefs);

// The inner text of a quoted literal when it reads back exactly as it stands: no escapes, no
// quote inside, nothing after the closing quote but blanks.
bool quoted_content(std::string_view text, std::string_view &out);

}  // namespace zk::instantiate
