// State of the expression classes of zk_encoder.encode.expressions. Modules that receive
// expressions may read it through nanobind (bound types are shared across the package's
// extension modules); they build expressions only through the Python classes.
#pragma once

#include <memory>
#include <utility>

#include "common/module.hpp"

namespace zk::encode {

// The pieces of a text that operators joined: written out as one string only when it is read.
struct TextRope;

// A formula text and its flag (true: a pseudo-Boolean term, false: a Boolean formula). Both are
// kept exactly as the caller gave them: the constructor converts nothing, so a text that is not a
// string fails only where it is written out. A text that an operator made is held as the pieces
// it joined (`expr_` null) until it is first read, so that a chain of n operators costs time
// linear in its length, not in n times it.
struct Expression {
    nb::object expr_;
    nb::object soft_;
    std::shared_ptr<const TextRope> rope_;

    Expression(nb::object expr, nb::object soft) : expr_(std::move(expr)), soft_(std::move(soft)) {}
    Expression(std::shared_ptr<const TextRope> rope, nb::object soft)
        : soft_(std::move(soft)), rope_(std::move(rope)) {}
};

// One subscripted model variable; its reference text is both the formula text and `name`.
struct VariableProxy : Expression {
    nb::object name_;

    explicit VariableProxy(nb::object name)
        : Expression(name, nb::borrow(Py_True)), name_(std::move(name)) {}
};

// The constructor classes keep nothing beyond text and flag; each needs a C++ type of its own
// because nanobind binds one Python class per C++ type.
struct Sum : Expression {
    using Expression::Expression;
};
struct And : Expression {
    using Expression::Expression;
};
struct Or : Expression {
    using Expression::Expression;
};
struct Xor : Expression {
    using Expression::Expression;
};
struct Equiv : Expression {
    using Expression::Expression;
};
struct Implication : Expression {
    using Expression::Expression;
};
struct IfThenElse : Expression {
    using Expression::Expression;
};
struct SumIt : Expression {
    using Expression::Expression;
};
struct AndIt : Expression {
    using Expression::Expression;
};
struct OrIt : Expression {
    using Expression::Expression;
};
struct XorIt : Expression {
    using Expression::Expression;
};

}  // namespace zk::encode
