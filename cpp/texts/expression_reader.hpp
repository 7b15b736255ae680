// The library's own expression texts, read without the host: a reader of the forms the library
// writes (element references with index arithmetic, integer and float literals, unary and binary +
// and -, *, calls, list displays and list comprehensions whose for-clauses run over integer ranges
// or integer lists).
//
// The reader accepts a text only where its meaning under the host's grammar is certain: anything
// else (another operator, a keyword, a non-ASCII name, a trailing comma in a call, a literal
// form it does not know, an integer beyond 64 bits) makes it decline, and the caller hands the
// text to the host unchanged. Declining is never an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "texts/tokens.hpp"

namespace zk::texts {

enum class NodeKind : std::uint8_t {
    kInt,            // value_: the integer
    kFloat,          // number_: the float
    kName,           // value_: name id; only while reading (a free name used as a value)
    kLocal,          // value_: the slot of a for-clause target
    kPos,            // child 0
    kNeg,            // child 0
    kAdd,            // children 0, 1
    kSub,            // children 0, 1
    kMul,            // children 0, 1
    kCall,           // value_: the callee's name id; children: the arguments
    kList,           // children: the items
    kComprehension,  // value_: index into ReadText::comprehensions_
};

struct Node {
    NodeKind kind_ = NodeKind::kInt;
    std::uint32_t first_ = 0;  // into ReadText::children_
    std::uint32_t count_ = 0;
    union {
        std::int64_t value_;
        double number_;
    };
    Node() : value_(0) {}
};

// One for-clause: its target's slot and the integers it runs over.
struct Loop {
    std::uint32_t slot_ = 0;
    bool range_ = false;
    std::int64_t start_ = 0;  // range_: start_ + k * step_ for k < count_
    std::int64_t step_ = 1;
    std::int64_t count_ = 0;
    std::vector<std::int64_t> values_;  // otherwise

    std::int64_t size() const {
        return range_ ? count_ : static_cast<std::int64_t>(values_.size());
    }
    std::int64_t at(std::int64_t k) const {
        return range_ ? start_ + k * step_ : values_[static_cast<std::size_t>(k)];
    }
};

struct Comprehension {
    std::uint32_t element_ = 0;
    std::vector<Loop> loops_;  // outermost first
};

struct ReadText {
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> children_;
    std::vector<std::string> names_;  // free names, all used as callees, by id
    std::vector<Comprehension> comprehensions_;
    bool uses_range_ = false;  // a for-clause runs over range(...): the name must be the builtin
    std::uint32_t slots_ = 0;
    std::uint32_t root_ = 0;

    const Node &child(const Node &n, std::uint32_t k) const {
        return nodes_[children_[n.first_ + k]];
    }
};

// The reading of one expression text, or std::nullopt when the reader declines it.
std::optional<ReadText> read_expression(std::string_view text);

}  // namespace zk::texts
