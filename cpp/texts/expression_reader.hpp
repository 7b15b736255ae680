// The one reader of the library's expression texts, without the host.
//
// read_syntax reads a one-line text into a syntax tree under the host's grammar: names, integer
// and float literals, unary + - ~, binary + - * **, parentheses and tuples, attribute access,
// calls with positional and starred list arguments, list displays and list comprehensions of
// plain for-clauses. What a caller accepts of these is its ReadForms; anything outside them (or
// outside the grammar) makes the reader decline, and the caller hands the text to the host
// unchanged. Declining is never an error. Operands and operators wait on explicit stacks, so a
// text may nest as deep as memory allows; a caller that recurses over the tree bounds it by the
// tree's height and bracket nesting.
//
// The outline form (ReadForms::outline_) reads only the top level of any one-line expression
// text: every bracketed group is one opaque operand, every literal form one atom, and every
// other operator and keyword one loose operator (binding less tightly than + and -), so that a
// writer knows whether a text stays whole beside an operator.
//
// read_expression is the reading of the first linear generation's texts into the form its
// evaluator walks (element references with index arithmetic, integer and float literals, unary
// and binary + and -, *, calls of names, list displays and list comprehensions whose for-clauses
// run over integer ranges or integer lists).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "texts/tokens.hpp"

namespace zk::texts {

// ---------------------------------------------------------------------------------------------
// The syntax tree.

// What a caller of read_syntax accepts beyond names, decimal integers that fit 64 bits, unary
// and binary + and -, *, parentheses, tuples, calls of names and list displays and
// comprehensions.
struct ReadForms {
    bool floats_ = false;          // float literals in the forms the host writes (2.5, 1e-05)
    bool long_ints_ = false;       // decimal integers beyond 64 bits, kept as their digits
    bool constants_ = false;       // None, True, False
    bool invert_ = false;          // unary ~
    bool power_ = false;           // binary **
    bool attributes_ = false;      // a.b
    bool starred_ = false;         // starred list arguments of a call: f(*[a, b])
    bool call_comma_ = false;      // a trailing comma after a call's arguments: f(a,)
    bool chained_calls_ = false;   // a call of an attribute or of a call's result: a.b(1)(2)
    bool leading_blanks_ = false;  // blanks before the first token
    bool tabs_ = true;             // tabs between tokens
    bool outline_ = false;         // the top level of any expression text (see above)
};

enum class Form : std::uint8_t {
    kInt,       // int_: the value; text_: the digits
    kLongInt,   // text_: the digits of an integer beyond 64 bits
    kFloat,     // float_: the value; text_: the literal
    kConstant,  // text_: None, True or False
    kName,      // text_: the name
    kAttr,      // a_: the object; text_: the attribute
    kCall,      // a_: the callee; items: the arguments (aux_ 1: starred); outline: b_ the group
    kList,      // items: the elements
    kTuple,     // items: the elements
    kComprehension,  // a_: the element; items: the clauses (node_ iterable, aux_ target)
    kUnary,          // op_; a_: the operand
    kBinary,         // op_; a_, b_: the operands
    kAtom,           // outline: any other literal; text_: it
    kGroup,          // outline: a bracketed group; text_: it, brackets included
    kSubscript,      // outline: a_: the object; b_: the square group
};

enum class Op : std::uint8_t {
    kAdd,
    kSub,
    kMul,
    kPow,
    kPos,
    kNeg,
    kInvert,
    kProductLike,  // outline: / // % @, as tight as *
    kLoose,        // outline: any operator or keyword looser than + and -
};

struct SyntaxNode {
    Form form_ = Form::kInt;
    Op op_ = Op::kAdd;
    bool starred_ = false;  // kCall: some argument is starred
    std::int32_t a_ = -1;
    std::int32_t b_ = -1;
    std::uint32_t first_ = 0;  // into Syntax::items_
    std::uint32_t count_ = 0;
    std::uint32_t height_ = 0;  // of the subtree: 0 for a leaf
    std::string_view text_;     // into the text read
    std::int64_t int_ = 0;
    double float_ = 0.0;
};

// A call argument (aux_: starred), a display element, or a comprehension clause (node_: its
// iterable, aux_: its target in Syntax::targets_).
struct SyntaxItem {
    std::int32_t node_ = -1;
    std::int32_t aux_ = 0;
};

struct Syntax {
    std::vector<SyntaxNode> nodes_;  // children before their parents
    std::vector<SyntaxItem> items_;
    std::vector<std::string_view> targets_;  // comprehension targets, each a name
    std::int32_t root_ = -1;
    std::uint32_t nesting_ = 0;  // the deepest bracket nesting

    const SyntaxNode &node(std::int32_t n) const { return nodes_[static_cast<std::size_t>(n)]; }
    const SyntaxItem &item(const SyntaxNode &n, std::uint32_t k) const {
        return items_[n.first_ + k];
    }
};

// The tree of `text`, or std::nullopt when it is not one expression of the accepted forms. The
// tree's texts point into `text`.
std::optional<Syntax> read_syntax(std::string_view text, const ReadForms &forms);

// ---------------------------------------------------------------------------------------------
// The first linear generation's texts.

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
