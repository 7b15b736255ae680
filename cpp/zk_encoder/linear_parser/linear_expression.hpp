// State of the linear text expressions of zk_encoder.linear_parser.linear_expression. Other
// modules of the first linear generation may read it through nanobind (bound types are shared
// across the package's extension modules); they create expressions through the Python classes.
#pragma once

#include <utility>

#include "common/module.hpp"

namespace zk::lp1 {

// A source text and its optional bounds, all kept exactly as given: the constructor converts
// nothing, and only a comparison sets the bounds of its fresh copy.
struct LinearExpression {
    nb::object expression_;
    nb::object lo_;
    nb::object hi_;

    explicit LinearExpression(nb::object expression)
        : expression_(std::move(expression)), lo_(nb::none()), hi_(nb::none()) {}
};

// The reference text of one variable element; it is both the text and `_name`.
struct LinearVariableProxy : LinearExpression {
    nb::object name_;

    explicit LinearVariableProxy(nb::object name)
        : LinearExpression(name), name_(std::move(name)) {}
};

// The constructor classes keep nothing beyond their text; each needs a C++ type of its own
// because nanobind binds one Python class per C++ type.
struct Sum : LinearExpression {
    using LinearExpression::LinearExpression;
};
struct SumIt : LinearExpression {
    using LinearExpression::LinearExpression;
};

}  // namespace zk::lp1
