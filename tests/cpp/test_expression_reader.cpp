// Direct tests of the reader of the library's expression texts (cpp/texts/expression_reader) and
// of their native evaluation (cpp/lp1/text_evaluator): the keyword table and identifiers, the
// literal forms, what is read and what is declined, the host's precedence and scopes, the
// integers the for-clauses run over, the forms each caller accepts and the outline of any text. Run as `test_expression_reader CASE` (one case) or
// `test_expression_reader --list`.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lp1/text_evaluator.hpp"
#include "texts/expression_reader.hpp"
#include "check.hpp"

using namespace zk;

namespace {

const lp1::Poll kNoPoll;

// The names a text may call: a block w of 10 x 10 columns from column 0 (first index fastest,
// as the library numbers them), a block x of the same 100 columns in one dimension, a block y of
// 5 columns from 100, and the summation.
std::vector<lp1::NameBinding> bind(const texts::ReadText &read) {
    std::vector<lp1::NameBinding> names(read.names_.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (read.names_[k] == "CompiledSum") {
            names[k].kind_ = lp1::NameBinding::Kind::kSum;
        } else if (read.names_[k] == "w") {
            names[k].kind_ = lp1::NameBinding::Kind::kBlock;
            names[k].block_ = lp1::BlockShape{0, {10, 10}, {1, 10}};
        } else if (read.names_[k] == "x") {
            names[k].kind_ = lp1::NameBinding::Kind::kBlock;
            names[k].block_ = lp1::BlockShape{0, {100}, {1}};
        } else if (read.names_[k] == "y") {
            names[k].kind_ = lp1::NameBinding::Kind::kBlock;
            names[k].block_ = lp1::BlockShape{100, {5}, {1}};
        }
    }
    return names;
}

// column -> coefficient (as a double) and the constant of a polynomial.
struct Meaning {
    std::map<std::int64_t, double> terms_;
    double constant_ = 0.0;

    bool operator==(const Meaning &o) const { return terms_ == o.terms_ && constant_ == o.constant_; }
};

Meaning meaning(const lp1::Polynomial &p) {
    Meaning m;
    m.constant_ = p.constant_.as_double();
    for (std::size_t k = 0; k < p.linear_.nnz(); ++k)
        m.terms_[p.linear_.row_[k]] = p.linear_.values_.type_ == lp1::Dtype::kInt64
                                       ? static_cast<double>(p.linear_.values_.ints_[k])
                                       : p.linear_.values_.floats_[k];
    return m;
}

std::optional<Meaning> value_of(const std::string &text) {
    std::optional<texts::ReadText> read = texts::read_expression(text);
    if (!read) return std::nullopt;
    std::optional<lp1::Polynomial> p = lp1::evaluate_one(*read, bind(*read), kNoPoll);
    if (!p) return std::nullopt;
    return meaning(*p);
}

std::optional<std::vector<Meaning>> items_of(const std::string &text) {
    std::optional<texts::ReadText> read = texts::read_expression(text);
    if (!read) return std::nullopt;
    std::optional<std::vector<lp1::Polynomial>> items =
        lp1::evaluate_items(*read, bind(*read), kNoPoll);
    if (!items) return std::nullopt;
    std::vector<Meaning> out;
    for (const lp1::Polynomial &p : *items) out.push_back(meaning(p));
    return out;
}

Meaning unit(std::int64_t column, double coefficient = 1.0, double constant = 0.0) {
    Meaning m;
    m.terms_[column] = coefficient;
    m.constant_ = constant;
    return m;
}

// ---------------------------------------------------------------------------------------------

void keywords_and_identifiers() {
    for (const char *k :
         {"False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
          "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
          "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
          "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"}) {
        CHECK_TEXT(texts::is_keyword(k), k);
        CHECK_TEXT(!texts::is_identifier(k), k);
    }
    for (const char *name : {"x", "_", "range", "match", "case", "CompiledSum", "x_1", "X9"})
        CHECK_TEXT(texts::is_identifier(name) && !texts::is_keyword(name), name);
    for (const char *name : {"", "1x", "x-y", "x y", "\xc3\xa9", "x\xc3\xa9", "x.y"})
        CHECK_TEXT(!texts::is_identifier(name), name);
}

void literals() {
    struct Case {
        const char *text_;
        texts::TokenKind kind_;
        std::int64_t i_;
        double f_;
    };
    const Case cases[] = {
        {"0", texts::TokenKind::kInt, 0, 0},
        {"7", texts::TokenKind::kInt, 7, 0},
        {"9223372036854775807", texts::TokenKind::kInt, INT64_MAX, 0},
        {"2.5", texts::TokenKind::kFloat, 0, 2.5},
        {"1.", texts::TokenKind::kFloat, 0, 1.0},
        {"1e-05", texts::TokenKind::kFloat, 0, 1e-05},
        {"1E+16", texts::TokenKind::kFloat, 0, 1e16},
        {"0.1", texts::TokenKind::kFloat, 0, 0.1},
        {"1e400", texts::TokenKind::kFloat, 0, HUGE_VAL},
        {"9223372036854775808", texts::TokenKind::kBad, 0, 0},
        {"01", texts::TokenKind::kBad, 0, 0},
        {"1_000", texts::TokenKind::kBad, 0, 0},
        {"1j", texts::TokenKind::kBad, 0, 0},
        {"0x1", texts::TokenKind::kBad, 0, 0},
        {"1e", texts::TokenKind::kBad, 0, 0},
        {"1.2.3", texts::TokenKind::kBad, 0, 0},
        {".5", texts::TokenKind::kBad, 0, 0},
    };
    for (const Case &c : cases) {
        texts::Tokenizer t(c.text_);
        texts::Token tok = t.next();
        CHECK_TEXT(tok.kind_ == c.kind_, c.text_);
        if (c.kind_ == texts::TokenKind::kInt) CHECK_TEXT(tok.int_value_ == c.i_, c.text_);
        if (c.kind_ == texts::TokenKind::kFloat) CHECK_TEXT(tok.float_value_ == c.f_, c.text_);
        if (c.kind_ != texts::TokenKind::kBad)
            CHECK_TEXT(t.next().kind_ == texts::TokenKind::kEnd, c.text_);
    }
}

void declined() {
    for (const char *text : {"x(0) ** 2",
                             "x(0) / 2",
                             "x(0) // 2",
                             "x(0) % 2",
                             "x(0) @ x(1)",
                             "x(0,)",
                             "x(a=1)",
                             "x(0) if 1 else x(1)",
                             "[x(0), x(1) for i in [1]]",
                             "x(0)(1)",
                             "x(0)[1]",
                             "x(\xc3\xa9)",
                             "\xc3\xa9(0)",
                             "x(01)",
                             "x(99999999999999999999)",
                             "range(3)",
                             "[x(0) for range in [1]]",
                             "[x(i) for i in range(0, 3, 0)]",
                             "[x(0) for i in (5)]",
                             "[x(0) for (i) in [1]]",
                             "[x(0) for i in [j]]",
                             "[x(0) for i in [1] if 1]",
                             "lambda: x(0)",
                             "x(0) + True",
                             "x(0) + None",
                             "x",
                             "x + 1",
                             "3",
                             "3 - x(0)",
                             "z(0)",
                             "x(0) + 'a'",
                             "x(0)\n+ x(1)",
                             "x(0) # note",
                             "(x(0), x(1))",
                             "()",
                             "[x(i) for i in x(0)]",
                             "[i(0) for i in [1]]",
                             "x(1.5)",
                             "x(-1)",
                             "x(100)",
                             "w(0, 10)",
                             "w(1, 2, 7)",
                             "w(3)",
                             "x(1, 0)",
                             "x()",
                             "y(5)",
                             "x(0) * x(1) * x(2)",
                             "CompiledSum(x(0))",
                             "CompiledSum([x(0)], [x(1)])",
                             "x(0) +",
                             "(x(0)",
                             "x(0))",
                             "[x(0) for i in range(1, 2, 3, 4)]",
                             "[x(0) for i]"}) {
        CHECK_TEXT(!value_of(text) && !items_of(std::string("[") + text + "]"), text);
    }
    // The host reads a text that starts with a blank as indented; inside brackets it is free.
    CHECK(!value_of(" x(0)"));
    CHECK(items_of("[ x(0)]") == std::vector<Meaning>({unit(0)}));
}

void precedence_and_index_arithmetic() {
    // Columns of w(a, b) are a + 10 b.
    CHECK(value_of("x(1 + 2 * 3)") == unit(7));
    CHECK(value_of("x((1 + 2) * 3)") == unit(9));
    CHECK(value_of("x(-2 * -3)") == unit(6));
    CHECK(value_of("x(9 - 2 - 3)") == unit(4));
    CHECK(value_of("w(1, 2)") == unit(21));
    CHECK(value_of("y(4)") == unit(104));
    CHECK(value_of("2 * (x(1))") == unit(1, 2));
    CHECK(value_of("-(x(1)) + 3") == unit(1, -1, 3));
    CHECK(value_of("- -x(1)") == unit(1));
    CHECK(value_of("2.5 * (x(0)) - 1") == unit(0, 2.5, -1));
    CHECK(value_of("x(0) + x(0)") == unit(0, 2));
    // (x0 + 1) x1: x1 and the quadratic part x0 x1 (aside here); x0's zero may not be stored.
    std::optional<Meaning> product = value_of("(x(0) + 1) * (x(1))");
    CHECK(product && product->terms_.at(1) == 1.0 && product->constant_ == 0.0);
    CHECK(product && (product->terms_.count(0) == 0 || product->terms_.at(0) == 0.0));
}

void scopes_and_loops() {
    CHECK(items_of("[x(i) for i in range(0, 10, 3)]") ==
          std::vector<Meaning>({unit(0), unit(3), unit(6), unit(9)}));
    CHECK(items_of("[x(i) for i in range(5, 0, -2)]") ==
          std::vector<Meaning>({unit(5), unit(3), unit(1)}));
    CHECK(items_of("[x(i) for i in range(-3)]") == std::vector<Meaning>());
    CHECK(items_of("[x(i) for i in (2,)]") == std::vector<Meaning>({unit(2)}));
    CHECK(items_of("[x(i) for i in [-1 + 1]]") == std::nullopt);  // only literals in for-clauses
    CHECK(items_of("[w(i, j) for i in [1, 2] for j in [3]]") ==
          std::vector<Meaning>({unit(31), unit(32)}));
    // The inner comprehension's i hides the outer one only inside it.
    Meaning both;
    both.terms_ = {{1, 1.0}, {2, 1.0}};
    CHECK(items_of("[CompiledSum([x(i) for i in [1]]) + x(i) for i in [2]]") ==
          std::vector<Meaning>({both}));
    // An outer target reaches into the inner comprehension.
    Meaning row;
    row.terms_ = {{2, 1.0}, {12, 1.0}, {22, 1.0}};
    CHECK(items_of("[CompiledSum([w(i, j) for j in range(0, 3)]) for i in [2]]") ==
          std::vector<Meaning>({row}));
    // A target bound twice in one comprehension is one name: the later clause wins.
    CHECK(items_of("[x(i) for i in [1] for i in [4]]") == std::vector<Meaning>({unit(4)}));
    Meaning constant;
    constant.constant_ = 3;
    CHECK(value_of("CompiledSum([1, 2])") == constant);
    CHECK(value_of("CompiledSum([])") == Meaning());
}

// Each form is read exactly when its caller accepts it.
void accepted_forms() {
    using Set = void (*)(texts::ReadForms &);
    struct Case {
        const char *text_;
        Set accept_;
    };
    const Case cases[] = {
        {"2.5 * x", [](texts::ReadForms &f) { f.floats_ = true; }},
        {"123456789012345678901234567890", [](texts::ReadForms &f) { f.long_ints_ = true; }},
        {"f(None, True, False)", [](texts::ReadForms &f) { f.constants_ = true; }},
        {"~a", [](texts::ReadForms &f) { f.invert_ = true; }},
        {"2 ** i", [](texts::ReadForms &f) { f.power_ = true; }},
        {"a.b", [](texts::ReadForms &f) { f.attributes_ = true; }},
        {"f(*[a, b])", [](texts::ReadForms &f) { f.starred_ = true; }},
        {"f(a,)", [](texts::ReadForms &f) { f.call_comma_ = true; }},
        {"f(1)(2)", [](texts::ReadForms &f) { f.chained_calls_ = true; }},
        {" a + b", [](texts::ReadForms &f) { f.leading_blanks_ = true; }},
    };
    for (const Case &c : cases) {
        CHECK_TEXT(!texts::read_syntax(c.text_, texts::ReadForms{}), c.text_);
        texts::ReadForms forms;
        c.accept_(forms);
        CHECK_TEXT(texts::read_syntax(c.text_, forms), c.text_);
    }
    texts::ReadForms no_tabs;
    no_tabs.tabs_ = false;
    CHECK(texts::read_syntax("a\t+ b", texts::ReadForms{}));
    CHECK(!texts::read_syntax("a\t+ b", no_tabs));
    // What every caller reads: the tree keeps the host's grouping and the texts as written.
    std::optional<texts::Syntax> s = texts::read_syntax("f(a, [k for k in (1, 2)]) - -3", {});
    CHECK(s);
    if (!s) return;
    const texts::SyntaxNode &root = s->node(s->root_);
    CHECK(root.form_ == texts::Form::kBinary && root.op_ == texts::Op::kSub);
    const texts::SyntaxNode &call = s->node(root.a_);
    CHECK(call.form_ == texts::Form::kCall && call.count_ == 2);
    CHECK(s->node(call.a_).text_ == "f");
    const texts::SyntaxNode &comp = s->node(s->item(call, 1).node_);
    CHECK(comp.form_ == texts::Form::kComprehension && comp.count_ == 1);
    CHECK(s->targets_.at(static_cast<std::size_t>(s->item(comp, 0).aux_)) == "k");
    CHECK(s->node(s->item(comp, 0).node_).form_ == texts::Form::kTuple);
    const texts::SyntaxNode &minus = s->node(root.b_);
    CHECK(minus.form_ == texts::Form::kUnary && minus.op_ == texts::Op::kNeg);
    CHECK(s->node(minus.a_).int_ == 3);
    CHECK(root.height_ == 4 && s->nesting_ == 3);
}

// The outline of any one-line text: its root, groups unread.
void outline() {
    texts::ReadForms forms;
    forms.outline_ = true;
    struct Case {
        const char *text_;
        texts::Form form_;
        texts::Op op_;  // of a unary or binary root
    };
    const Case cases[] = {
        {"x(i + 1)[2].y", texts::Form::kAttr, texts::Op::kAdd},
        {"f(2)", texts::Form::kCall, texts::Op::kAdd},
        {"{1: 2}", texts::Form::kGroup, texts::Op::kAdd},
        {"'a' ", texts::Form::kAtom, texts::Op::kAdd},
        {"0x1f", texts::Form::kAtom, texts::Op::kAdd},
        {"...", texts::Form::kAtom, texts::Op::kAdd},
        {"-2", texts::Form::kUnary, texts::Op::kNeg},
        {"-2 ** 2", texts::Form::kUnary, texts::Op::kNeg},
        {"2 ** -i", texts::Form::kBinary, texts::Op::kPow},
        {"a * b / c", texts::Form::kBinary, texts::Op::kProductLike},
        {"a * b - c", texts::Form::kBinary, texts::Op::kSub},
        {"a - b * c", texts::Form::kBinary, texts::Op::kSub},
        {"a + b < c", texts::Form::kBinary, texts::Op::kLoose},
        {"i if i else 3", texts::Form::kBinary, texts::Op::kLoose},
        {"not a * b", texts::Form::kUnary, texts::Op::kLoose},
        {"lambda: 1", texts::Form::kUnary, texts::Op::kLoose},
        {"a, b", texts::Form::kBinary, texts::Op::kLoose},
    };
    for (const Case &c : cases) {
        std::optional<texts::Syntax> s = texts::read_syntax(c.text_, forms);
        CHECK_TEXT(s, c.text_);
        if (!s) continue;
        const texts::SyntaxNode &root = s->node(s->root_);
        CHECK_TEXT(root.form_ == c.form_, c.text_);
        if (root.form_ == texts::Form::kUnary || root.form_ == texts::Form::kBinary)
            CHECK_TEXT(root.op_ == c.op_, c.text_);
    }
    for (const char *text : {"", "(a", "a)", "x # note", "a +", "a b", "'open"})
        CHECK_TEXT(!texts::read_syntax(text, forms), text);
}

const std::map<std::string, std::function<void()>> kCases = {
    {"accepted_forms", accepted_forms},
    {"outline", outline},
    {"keywords_and_identifiers", keywords_and_identifiers},
    {"literals", literals},
    {"declined", declined},
    {"precedence_and_index_arithmetic", precedence_and_index_arithmetic},
    {"scopes_and_loops", scopes_and_loops},
};

}  // namespace

int main(int argc, char **argv) { return run_cases(argc, argv, kCases); }
