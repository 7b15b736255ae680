// Reading the literal texts of a clause template into its integer form. Only the texts that the
// library itself writes are read (element references whose index texts are integers, for-all
// names and sums, differences and integer multiples of those; quoted auxiliary names; integers);
// a record with any other text keeps to the evaluated comprehension. The texts themselves are
// read by cpp/texts/; this turns a reading into the template's code. Python-free.
#pragma once

#include <cstdint>
#include <string_view>

#include "instantiate/template_code.hpp"

namespace zk::instantiate {

// Reads one literal text into `lc`, its index values appended to `code`: a quoted auxiliary name,
// "[-]name(index, ...)" or an integer expression. An element reference leaves its family name in
// `family` for the caller to resolve into `lc.family_`; false when the text is none of these.
bool read_literal(std::string_view text, TemplateCode &code, LitCode &lc, std::string_view &family);

}  // namespace zk::instantiate
