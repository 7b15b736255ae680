// Formula texts read for their native evaluation, without the host: the one reader's tree with
// every name given its scope as the compiler gives it, every comparison the place where the
// formula holds it, and the flat list of instructions that runs it. The texts point into the
// text read, which must outlive the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "formula/polarity.hpp"

namespace zk::formula {

// Constants: a decimal integer within or beyond 64 bits, None, True, False.
enum class Value : std::uint8_t { kInt, kLongInt, kNone, kTrue, kFalse };

enum class Kind : std::uint8_t {
    Const,
    Global,
    Local,
    Attr,
    Call,
    List,
    Tuple,
    ListComp,
    Binary,
    Unary
};
enum class BinOp : std::uint8_t { Add, Sub, Mul, Pow };
enum class UnOp : std::uint8_t { Neg, Pos, Invert };

// A call argument (aux: starred), a display item, or a comprehension clause (node: its iterable,
// aux: the slot of its target).
struct Item {
    std::int32_t node_;
    std::int32_t aux_;
};

struct Node {
    explicit Node(Kind k) : kind_(k) {}

    Kind kind_;
    Value value_ = Value::kInt;  // Const: what it is
    std::uint8_t op_ = 0;
    bool starred_ = false;     // Call: some argument is starred
    std::int32_t a_ = -1;      // operand, object, callee or comprehension element
    std::int32_t b_ = -1;      // right operand
    std::int32_t up_ = 0;      // Local: how many comprehension scopes out
    std::int32_t slot_ = 0;    // Local: its slot there
    std::uint32_t first_ = 0;  // items
    std::uint32_t count_ = 0;
    std::int32_t slots_ = 0;  // ListComp: number of its local names
    // Call: whether it is a comparison's `.to_bx(...)`, and where the formula holds its result
    // (positive, negative or both, as the registry counts them).
    bool comparison_ = false;
    std::uint8_t polarity_ = kBothPolarities;
    std::string_view text_;  // Const: the digits or the constant; Global, Local, Attr: the name
    std::int64_t int_ = 0;   // Const kInt: the value
};

struct Program {
    std::vector<Node> nodes_;
    std::vector<Item> items_;
    std::vector<std::string_view> targets_;  // comprehension targets, while reading
    std::int32_t root_ = -1;
};

// The program of `text`, or std::nullopt when it is not of the natively evaluated forms: names,
// decimal integers, None, True, False, unary + - ~, binary + - * **, parentheses and tuples,
// attribute access, calls with positional and starred list arguments, list displays and list
// comprehensions of plain `for` clauses, without the builtins that act on the calling frame.
std::optional<Program> read_program(std::string_view text);

// A tree is run as a flat list of instructions on explicit stacks, so that its depth is bounded
// by memory only. Operands are evaluated left to right, a callee before its arguments, and a
// comprehension as the compiled one runs: its builtins are fixed when its function is made, its
// first iterable is evaluated and iterated in the enclosing frame, the rest in its own.
enum class Ins : std::uint8_t {
    Const,
    Global,
    Local,
    Attr,
    Unary,
    Binary,
    Call,
    List,
    Tuple,
    MakeComp,   // fixes the builtins of a comprehension about to start
    BeginComp,  // pops the first iterable, enters the comprehension's frame
    GetIter,    // pops an iterable, pushes its iterator
    ForIter,    // next value into a slot, or at the end drops the iterator and jumps
    Append,     // pops a value onto the comprehension's result
    Jump,
    EndComp,  // leaves the frame, pushes the result
};

struct Instr {
    Ins op_;
    std::uint8_t sub_ = 0;      // Unary, Binary: the operator
    std::int32_t node_ = -1;    // the node it came from
    std::int32_t target_ = -1;  // ForIter: where to go at the end; Jump: where to go
    std::int32_t slot_ = -1;    // ForIter: the slot of its clause's target
};

// The instructions of a tree, in postfix order, made without recursion.
std::vector<Instr> compile(const Program &prog);

}  // namespace zk::formula
