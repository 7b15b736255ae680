// State of the numeric linear expressions of zk_encoder.linear_parser.compiled_linear_expressions.
// Other modules of the first linear generation may read it through nanobind (bound types are
// shared across the package's extension modules); they create expressions through the Python
// classes, as the evaluated texts do.
#pragma once

#include "common/module.hpp"

#include <utility>

namespace zk::lp1 {

// A constant, a sparse column of coefficients over global columns and an optional quadratic part,
// kept as the objects the constructor was given or the arithmetic made.
struct CompiledLinearExpression {
    nb::object constant_;
    nb::object linear_;
    nb::object quadratic_;

    CompiledLinearExpression(nb::object constant, nb::object linear, nb::object quadratic)
        : constant_(std::move(constant)), linear_(std::move(linear)),
          quadratic_(std::move(quadratic)) {}
};

// The sum of a list of expressions; nanobind binds one Python class per C++ type.
struct CompiledSum : CompiledLinearExpression {
    using CompiledLinearExpression::CompiledLinearExpression;
};

}  // namespace zk::lp1
