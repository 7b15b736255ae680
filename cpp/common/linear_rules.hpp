// What both linear generations refuse alike, written once: a block of another model in a row or
// target, and a comparison with None. Each generation raises these through its own module's
// logged errors.
#pragma once

#include <string>

namespace zk::linear {

// BuildError: a row or target may hold only the variables of the model it is given to.
inline std::string foreign_block_message(const std::string &block) {
    return "Variable " + block + " belongs to another model";
}

// TypeError for a row compared with what is no number (a text, an array, another row), in the
// host's own words: such a bound would reach the engine as it came.
inline std::string comparison_message(const char *op, const char *left_type,
                                      const std::string &right_type) {
    return std::string("'") + op + "' not supported between instances of '" + left_type +
           "' and '" + right_type + "'";
}

// TypeError for `row <= None` (and the other comparisons), in the host's own words: None stays
// "not given" only where it is a bound argument's default.
inline std::string none_comparison_message(const char *op, const char *left_type) {
    return comparison_message(op, left_type, "NoneType");
}

}  // namespace zk::linear
