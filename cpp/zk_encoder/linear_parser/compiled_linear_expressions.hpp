// State of the numeric linear expressions of zk_encoder.linear_parser.compiled_linear_expressions.
// Other modules of the first linear generation may read it through nanobind (bound types are
// shared across the package's extension modules) and may create unit expressions directly in
// native form (make_unit_expression); everything else goes through the Python classes.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "lp1/polynomial.hpp"

namespace zk::lp1 {

// An expression is held in one or both of two forms: the native Polynomial, which the arithmetic
// works on, and the Python objects a program sees (constant, COO linear part, quadratic part or
// None). Objects given to the constructor are kept as given; the Python objects of a computed
// expression are made from the native form when first read. Both forms never change once set.
struct CompiledLinearExpression {
    // Null handles: not made yet from `native_`.
    nb::object constant_;
    nb::object linear_;
    nb::object quadratic_;
    // Null: not known in native form (not tried yet, or outside what that form holds).
    std::shared_ptr<const Polynomial> native_;
    bool native_tried_ = false;

    CompiledLinearExpression(nb::object constant, nb::object linear, nb::object quadratic)
        : constant_(std::move(constant)),
          linear_(std::move(linear)),
          quadratic_(std::move(quadratic)) {}

    explicit CompiledLinearExpression(std::shared_ptr<const Polynomial> native)
        : native_(std::move(native)), native_tried_(true) {}
};

// A native number as the host's int or float it stands for (an int of any size).
inline nb::object py_number(const Number &n) {
    switch (n.type_) {
        case Dtype::kInt64:
            return check(PyLong_FromLongLong(n.i_));
        case Dtype::kObject:
            return check(PyLong_FromString(n.x_.hex().c_str(), nullptr, 16));
        default:
            return check(PyFloat_FromDouble(n.f_));
    }
}

// The sum of a list of expressions; nanobind binds one Python class per C++ type.
struct CompiledSum : CompiledLinearExpression {
    using CompiledLinearExpression::CompiledLinearExpression;
};

// The unit expression of global column g, equal in every part to
// CompiledLinearExpression(coo_array(([1], ([g], [0])))). The class must have been loaded (the
// module zk_encoder.linear_parser.compiled_linear_expressions imported). Columns beyond the
// native form's extent are made exactly that way.
inline nb::object make_unit_expression(std::int64_t g) {
    if (g >= 0 && g < std::numeric_limits<std::int32_t>::max())
        return nb::cast(
            CompiledLinearExpression(std::make_shared<const Polynomial>(unit_polynomial(g))));
    nb::object coo = nb::module_::import_("scipy.sparse").attr("coo_array");
    nb::object unit = coo(
        nb::make_tuple(nb::make_tuple(1), nb::make_tuple(nb::make_tuple(g), nb::make_tuple(0))));
    nb::object cls = nb::module_::import_("zk_encoder.linear_parser.compiled_linear_expressions")
                         .attr("CompiledLinearExpression");
    return cls(unit);
}

}  // namespace zk::lp1
