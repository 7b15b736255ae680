// State of the linear text expressions of zk_encoder.linear_parser.linear_expression. Other
// modules of the first linear generation may read it through nanobind (bound types are shared
// across the package's extension modules); they create expressions through the Python classes.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/module.hpp"

namespace zk::lp1 {

// Texts name blocks, and a model evaluates a text with its own blocks bound to their names: a
// reference written by another model's block of the same name would silently become one of this
// model's columns. So each block has an identity of its own, made at its first reference and
// shared by every expression whose text names it; the model holding that very block is the only
// one that may evaluate the text. An identity lives as long as a block or an expression holds it,
// so no other block can ever have the same one.
struct BlockId {
    std::string name_;
};
using BlockIdPtr = std::shared_ptr<const BlockId>;

// The blocks an expression's text names (none: null), ordered by identity, each once.
struct BlockRefs {
    std::vector<BlockIdPtr> ids_;
};
using BlockRefsPtr = std::shared_ptr<const BlockRefs>;

inline BlockRefsPtr merged_refs(const BlockRefsPtr &a, const BlockRefsPtr &b) {
    if (!b || a == b) return a;
    if (!a) return b;
    auto before = std::owner_less<BlockIdPtr>();
    // Most operands name blocks the other already names: nothing new to make then.
    if (std::includes(a->ids_.begin(), a->ids_.end(), b->ids_.begin(), b->ids_.end(), before))
        return a;
    if (std::includes(b->ids_.begin(), b->ids_.end(), a->ids_.begin(), a->ids_.end(), before))
        return b;
    auto out = std::make_shared<BlockRefs>();
    std::set_union(a->ids_.begin(), a->ids_.end(), b->ids_.begin(), b->ids_.end(),
                   std::back_inserter(out->ids_), before);
    return out;
}

// A source text and its optional bounds, all kept exactly as given: the constructor converts
// nothing, and only a comparison sets the bounds of its fresh copy. `blocks_` are the blocks
// whose references the text holds.
struct LinearExpression {
    nb::object expression_;
    nb::object lo_;
    nb::object hi_;
    BlockRefsPtr blocks_;

    explicit LinearExpression(nb::object expression, BlockRefsPtr blocks = nullptr)
        : expression_(std::move(expression)),
          lo_(nb::none()),
          hi_(nb::none()),
          blocks_(std::move(blocks)) {}
};

// The reference text of one variable element; it is both the text and `_name`.
struct LinearVariableProxy : LinearExpression {
    nb::object name_;

    explicit LinearVariableProxy(nb::object name, BlockRefsPtr blocks = nullptr)
        : LinearExpression(name, std::move(blocks)), name_(std::move(name)) {}
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
