// Where a formula holds each of its parts: only as a requirement (positive), only negated, or
// both ways. The rules of the engine's connectives are written once here, for both routes that
// evaluate a formula text (the native one over the library's own tree, and the host's `eval`
// over the host's syntax tree).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zk::formula {

inline constexpr std::uint8_t kPositive = 1, kNegative = 2, kBothPolarities = 3;

// The engine's connectives, as the formula texts call them on `bx`.
inline constexpr std::string_view kConnectiveOwner = "bx";
// A comparison's call that encodes it into the engine's Boolean form.
inline constexpr std::string_view kComparisonCall = "to_bx";

// The other way round: what a negation holds of its operand.
inline std::uint8_t negated(std::uint8_t p) {
    return p == kPositive ? kNegative : p == kNegative ? kPositive : p;
}

// Where argument `k` of `bx.<connective>(...)` stands when the call stands at `p`: a conjunction
// or disjunction holds its operands as it is held itself, the condition of an implication the
// other way round; an equivalence, an exclusive or, the condition of an if-then-else and the
// arguments of any other call may use their values either way.
inline std::uint8_t argument_polarity(std::string_view connective, std::size_t k, std::uint8_t p) {
    if (connective == "and_s" || connective == "or_s" || connective == "and_") return p;
    if (connective == "impl_s") return k == 0 ? negated(p) : p;
    if (connective == "ite_s") return k == 0 ? kBothPolarities : p;
    return kBothPolarities;
}

}  // namespace zk::formula
