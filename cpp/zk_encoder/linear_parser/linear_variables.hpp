// State of the index placeholders and variable blocks of zk_encoder.linear_parser.linear_variables.
// The linear model reads a block's layout through nanobind (bound types are shared across the
// package's extension modules) when it evaluates the texts that name the block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/module.hpp"
#include "zk_encoder/linear_parser/linear_expression.hpp"

namespace zk::lp1 {

// An index placeholder: the name a for-all clause binds and the text it stands for.
struct Index {
    nb::object name_;
    nb::object expression_;
};

// A block of solver columns over named dimensions. The first dimension runs fastest in the
// column numbering; `map` lists the columns in row-major element order.
struct LinearVariable {
    nb::object name_;
    nb::object lo_;
    nb::object hi_;
    nb::object indexes_;  // the very dimension dictionary given
    nb::object st_shift_;
    nb::object type_;
    std::string name_text_;
    std::vector<std::string> dim_names_;
    std::vector<int64_t> sizes_;
    std::vector<int64_t> strides_;
    int64_t first_ = 0;
    // The block's identity (linear_expression.hpp), as the one-block set its references carry;
    // made at the first reference.
    mutable BlockRefsPtr refs_;
};

}  // namespace zk::lp1
