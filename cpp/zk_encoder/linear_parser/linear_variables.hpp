// State of the index placeholders and variable blocks of zk_encoder.linear_parser.linear_variables.
// The linear model reads a block's layout through nanobind (bound types are shared across the
// package's extension modules) when it evaluates the texts that name the block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/module.hpp"

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
};

}  // namespace zk::lp1
