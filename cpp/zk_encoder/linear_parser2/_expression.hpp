// State of the numeric rows of zk_encoder.linear_parser2._expression. Every field is a Python
// object exactly as the constructor received it: the arrays are numpy and scipy objects, and all
// arithmetic on them is theirs. Modules that receive rows may read the fields through nanobind
// (bound types are shared across the package's extension modules); they build rows only through
// the Python classes, whose constructors run the module's checks.
#pragma once

#include "common/module.hpp"

namespace zk::lp2 {

// One affine row over all solver columns, with an optional quadratic part and bounds.
struct LinearExpression {
    nb::object constant_;                // a number
    nb::object linear_coefficients_;     // 1-D csr_array of length N
    nb::object quadratic_coefficients_;  // None or an N x N csc_array
    nb::object lower_bound_;             // None or the bound
    nb::object upper_bound_;             // None or the bound
};

// A block of k rows: a (k, N) csr_array, one constant and optionally one bound per row.
struct LinearExpressionsArr {
    nb::object constants_;            // 1-D numpy array, one entry per row
    nb::object linear_coefficients_;  // 2-D csr_array
    nb::object lower_bounds_;         // None or 1-D numpy array
    nb::object upper_bounds_;         // None or 1-D numpy array
    nb::object is_init_;              // true: `sum` adds the stored values by column directly
};

}  // namespace zk::lp2
