// Reading the literal texts of a clause template into its integer form. Only the texts that the
// library itself writes are read (element references whose index texts are integers, for-all
// names and sums, differences and integer multiples of those; quoted auxiliary names; integers);
// a record with any other text keeps to the evaluated comprehension. The texts themselves are
// read by cpp/texts/; this turns a reading into the template's code. Python-free.
#pragma once

#include <cstdint>
#include <string_view>

#include "instantiate/template_code.hpp"
#include "texts/literals.hpp"

namespace zk::instantiate {

using texts::quoted_content;

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

}  // namespace zk::instantiate
