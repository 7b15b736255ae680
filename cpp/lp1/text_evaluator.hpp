// The numeric value of a first-generation text read by texts::read_expression, computed with
// the native arithmetic of polynomial.hpp: the same polynomials, entry for entry, that the
// host's evaluation of the text gives through the numeric expression classes.
//
// Each free name the text calls is bound by the caller to a block of columns or to the
// summation; anything the evaluation meets outside what it reproduces exactly (another name,
// an operation the numeric expressions refuse, an integer leaving 64 bits, an element outside
// its block) makes it decline with std::nullopt, and the caller evaluates the text through the
// host, which then also raises what the host raises.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "lp1/polynomial.hpp"
#include "texts/expression_reader.hpp"

namespace zk::lp1 {

// A block of columns: its first column, dimension sizes and strides.
struct BlockShape {
    std::int64_t first_ = 0;
    std::vector<std::int64_t> sizes_;
    std::vector<std::int64_t> strides_;
};

struct NameBinding {
    enum class Kind : std::uint8_t { kUnknown, kBlock, kSum };
    Kind kind_ = Kind::kUnknown;
    BlockShape block_;
};

// Called every so many for-clause iterations, so that a long evaluation can be interrupted:
// whatever it throws ends the evaluation and leaves it.
using Poll = std::function<void()>;

// The items of a text that is a list display or comprehension, each a polynomial.
std::optional<std::vector<Polynomial>> evaluate_items(const texts::ReadText &text,
                                                      const std::vector<NameBinding> &names,
                                                      const Poll &poll);

// The polynomial of a text that is one expression.
std::optional<Polynomial> evaluate_one(const texts::ReadText &text,
                                       const std::vector<NameBinding> &names, const Poll &poll);

}  // namespace zk::lp1
