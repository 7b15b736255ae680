// State of the expression classes of zk_encoder.encode.expressions. Modules that receive
// expressions may read it through nanobind (bound types are shared across the package's
// extension modules); they build expressions only through the Python classes.
#pragma once

#include "common/module.hpp"

#include <utility>

namespace zk::encode {

// A formula text and its flag (true: a pseudo-Boolean term, false: a Boolean formula). Both are
// kept exactly as the caller gave them: the constructor converts nothing, so a text that is not a
// string fails only where it is written out.
struct Expression {
    nb::object expr_;
    nb::object soft_;

    Expression(nb::object expr, nb::object soft) : expr_(std::move(expr)), soft_(std::move(soft)) {}
};

// One subscripted model variable; its reference text is both the formula text and `name`.
struct VariableProxy : Expression {
    nb::object name_;

    explicit VariableProxy(nb::object name)
        : Expression(name, nb::borrow(Py_True)), name_(std::move(name)) {}
};

// The constructor classes keep nothing beyond text and flag; each needs a C++ type of its own
// because nanobind binds one Python class per C++ type.
struct Sum : Expression { using Expression::Expression; };
struct And : Expression { using Expression::Expression; };
struct Or : Expression { using Expression::Expression; };
struct Xor : Expression { using Expression::Expression; };
struct Equiv : Expression { using Expression::Expression; };
struct Implication : Expression { using Expression::Expression; };
struct IfThenElse : Expression { using Expression::Expression; };
struct SumIt : Expression { using Expression::Expression; };
struct AndIt : Expression { using Expression::Expression; };
struct OrIt : Expression { using Expression::Expression; };
struct XorIt : Expression { using Expression::Expression; };

}  // namespace zk::encode
