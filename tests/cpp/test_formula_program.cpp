// Direct tests of the formula texts' programs (cpp/formula/): where an argument stands under each
// connective, where the formula holds each comparison, which scope each name has, and which texts
// are left to the host. Run as `test_formula_program CASE` (one case) or
// `test_formula_program --list`.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "formula/polarity.hpp"
#include "formula/program.hpp"
#include "check.hpp"

using namespace zk;
using formula::kBothPolarities;
using formula::kNegative;
using formula::kPositive;

namespace {

void connectives() {
    struct Case {
        const char *connective_;
        std::size_t k_;
        std::uint8_t at_;
        std::uint8_t expected_;
    };
    const Case cases[] = {
        {"and_s", 0, kPositive, kPositive},     {"and_s", 3, kNegative, kNegative},
        {"or_s", 0, kNegative, kNegative},      {"and_", 1, kPositive, kPositive},
        {"impl_s", 0, kPositive, kNegative},    {"impl_s", 0, kNegative, kPositive},
        {"impl_s", 1, kNegative, kNegative},    {"impl_s", 0, kBothPolarities, kBothPolarities},
        {"ite_s", 0, kPositive, kBothPolarities}, {"ite_s", 1, kNegative, kNegative},
        {"ite_s", 2, kPositive, kPositive},     {"eq_s", 0, kPositive, kBothPolarities},
        {"xor_s", 1, kNegative, kBothPolarities}, {"to_pb", 0, kPositive, kBothPolarities},
    };
    for (const Case &c : cases)
        CHECK_TEXT(formula::argument_polarity(c.connective_, c.k_, c.at_) == c.expected_,
                   c.connective_ + std::string(" ") + std::to_string(c.k_));
    CHECK(formula::negated(kPositive) == kNegative && formula::negated(kNegative) == kPositive);
    CHECK(formula::negated(kBothPolarities) == kBothPolarities);
}

// The polarity of the comparison `<name>.to_bx(m)` in the program of `text`.
std::optional<std::uint8_t> comparison_at(const formula::Program &prog, std::string_view name) {
    for (const formula::Node &n : prog.nodes_) {
        if (n.kind_ != formula::Kind::Call || !n.comparison_) continue;
        const formula::Node &callee = prog.nodes_[static_cast<std::size_t>(n.a_)];
        const formula::Node &owner = prog.nodes_[static_cast<std::size_t>(callee.a_)];
        if (owner.text_ == name) return n.polarity_;
    }
    return std::nullopt;
}

void comparisons() {
    const std::string text =
        "bx.and_s([a.to_bx(m), ~(b.to_bx(m)), bx.impl_s(c.to_bx(m), d.to_bx(m)), "
        "bx.eq_s(e.to_bx(m)), f(g.to_bx(m)), -h.to_bx(m), bx.ite_s(i.to_bx(m), j.to_bx(m), "
        "~k.to_bx(m)), [l.to_bx(m) for q in r], (n.to_bx(m),)])";
    std::optional<formula::Program> prog = formula::read_program(text);
    CHECK(prog);
    if (!prog) return;
    const std::map<std::string, std::uint8_t> expected = {
        {"a", kPositive},       {"b", kNegative},       {"c", kNegative},
        {"d", kPositive},       {"e", kBothPolarities}, {"g", kBothPolarities},
        {"h", kBothPolarities}, {"i", kBothPolarities}, {"j", kPositive},
        {"k", kNegative},       {"l", kPositive},       {"n", kPositive}};
    for (const auto &[name, p] : expected)
        CHECK_TEXT(comparison_at(*prog, name) == p, name);
    // The whole formula negated turns every one-way place round; a call with starred arguments
    // may use any of them either way.
    prog = formula::read_program("~bx.or_s([a.to_bx(m)], b.to_bx(m))");
    CHECK(prog && comparison_at(*prog, "a") == kNegative);
    CHECK(prog && comparison_at(*prog, "b") == kNegative);
    prog = formula::read_program("bx.or_s(a.to_bx(m), *[b.to_bx(m)])");
    CHECK(prog && comparison_at(*prog, "a") == kBothPolarities);
    CHECK(prog && comparison_at(*prog, "b") == kBothPolarities);
}

void scopes() {
    std::optional<formula::Program> prog = formula::read_program("[a for a in a]");
    CHECK(prog);
    if (prog) {
        const formula::Node &comp = prog->nodes_[static_cast<std::size_t>(prog->root_)];
        CHECK(prog->nodes_[static_cast<std::size_t>(comp.a_)].kind_ == formula::Kind::Local);
        const formula::Item &clause = prog->items_[comp.first_];
        CHECK(prog->nodes_[static_cast<std::size_t>(clause.node_)].kind_ == formula::Kind::Global);
    }
    prog = formula::read_program("[[a + c for c in r] for a in r]");
    CHECK(prog);
    if (prog) {
        int outer = 0, inner = 0;
        for (const formula::Node &n : prog->nodes_) {
            if (n.kind_ != formula::Kind::Local) continue;
            if (n.text_ == "a") outer += n.up_ == 1;
            if (n.text_ == "c") inner += n.up_ == 0;
        }
        CHECK(outer == 1 && inner == 1);
    }
}

void declined() {
    for (const char *text : {"globals()", "[k for eval in r]", "__debug__", "1.5", "a\t+ b",
                             "a if b else c", "a < b", "f(a=1)", "f(*a)", "01", "\xc3\xa9"})
        CHECK_TEXT(!formula::read_program(text), text);
    for (const char *text : {"x.globals", "  x ( 1 , 2 )  ", "f(a, [1, 2,], *[3],)", "True.real",
                             "123456789012345678901234567890", "f(1)(2)"})
        CHECK_TEXT(formula::read_program(text), text);
}

void instructions() {
    std::optional<formula::Program> prog = formula::read_program("f(1, x.y)");
    CHECK(prog);
    if (!prog) return;
    std::vector<formula::Instr> code = formula::compile(*prog);
    std::string ops;
    for (const formula::Instr &i : code) ops += std::to_string(static_cast<int>(i.op_)) + " ";
    const auto op = [](formula::Ins i) { return std::to_string(static_cast<int>(i)) + " "; };
    CHECK(ops == op(formula::Ins::Global) + op(formula::Ins::Const) + op(formula::Ins::Global) +
                     op(formula::Ins::Attr) + op(formula::Ins::Call));
}

const std::map<std::string, std::function<void()>> kCases = {
    {"connectives", connectives}, {"comparisons", comparisons}, {"scopes", scopes},
    {"declined", declined},       {"instructions", instructions},
};

}  // namespace

int main(int argc, char **argv) { return run_cases(argc, argv, kCases); }
