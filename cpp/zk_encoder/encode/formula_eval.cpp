// Native evaluation of formula texts. A text is read completely before anything runs: when every
// piece of it is one of the forms below it is executed with the interpreter's own operations, in
// the interpreter's order and with its scoping; otherwise the interpreter's `eval` gets it as it
// came. The forms are those the expression language writes: names, decimal integers, None, True,
// False, unary + - ~, binary + - * **, parentheses and tuples, attribute access, calls with
// positional and starred list arguments, list displays and list comprehensions of plain `for`
// clauses. Reading, scoping and running keep their own stacks, so a text may nest as deep as
// memory allows (the interpreter's reading refuses a hundred parentheses): the host's limits
// apply only to the texts it evaluates itself.
#include "zk_encoder/encode/formula_eval.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/python_private.hpp"
#include "texts/tokens.hpp"
#include "zk_encoder/core/manager.hpp"

namespace zk::encode {

namespace {

// Integers of at most this many digits fit a long long.
constexpr size_t kShortIntDigits = 18;

// The interpreter's own messages for names that are not bound.
constexpr const char *kNameErrorFormat = "name '%.200s' is not defined";
constexpr const char *kUnboundLocalFormat = "local variable '%.200s' referenced before assignment";
constexpr const char *kUnboundFreeFormat =
    "free variable '%.200s' referenced before assignment in enclosing scope";
constexpr const char *kNameAttr = "name";

// What `eval` names the frames of an evaluated text in a traceback.
constexpr const char *kSourceFile = "<string>";
constexpr const char *kModuleFrame = "<module>";
constexpr const char *kListcompFrame = "<listcomp>";
constexpr const char *kBuiltinsName = "__builtins__";

constexpr std::string_view kFor = "for";
constexpr std::string_view kIn = "in";

// Names that mean something else outside the text's own frame: builtins that read or act on the
// calling frame (under `eval` that frame is the text's, here it would be the program's), and the
// name the compiler turns into a constant.
constexpr std::string_view kFrameNames[] = {"globals",    "locals", "vars",     "dir",
                                            "eval",       "exec",   "compile",  "__import__",
                                            "breakpoint", "super",  "__debug__"};

template <size_t N>
bool among(std::string_view name, const std::string_view (&table)[N]) {
    for (std::string_view k : table)
        if (k == name) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Reading.

enum class Tok : uint8_t {
    End,
    Name,
    Number,
    Plus,
    Minus,
    Tilde,
    Star,
    Power,
    LParen,
    RParen,
    LBracket,
    RBracket,
    Comma,
    Dot
};

struct Token {
    Tok kind_;
    uint32_t pos_;
    uint32_t len_;
};

// Blanks between tokens only: a tab, line break, comment or any token other than plain ASCII
// names, decimal integers and the operators above sends the text to the interpreter.
bool tokenize(std::string_view s, std::vector<Token> &out) {
    if (s.find('\t') != std::string_view::npos) return false;
    texts::Lexer lexer(s);
    for (;;) {
        const texts::Lexeme l = lexer.next();
        Tok kind = Tok::End;
        switch (l.kind_) {
            case texts::LexKind::kEnd:
                out.push_back({Tok::End, static_cast<uint32_t>(l.pos_), 0});
                return true;
            case texts::LexKind::kName:
                for (char c : l.text_)
                    if (texts::is_non_ascii(c)) return false;
                kind = Tok::Name;
                break;
            case texts::LexKind::kNumber: {
                // Leading zeros, floats, exponents, imaginaries, underscores, other bases.
                for (char c : l.text_)
                    if (!texts::is_digit(c)) return false;
                if (l.text_.size() > 1 && l.text_[0] == '0') return false;
                kind = Tok::Number;
                break;
            }
            case texts::LexKind::kOperator:
            case texts::LexKind::kOpen:
            case texts::LexKind::kClose: {
                static constexpr std::pair<std::string_view, Tok> kPunctuation[] = {
                    {"+", Tok::Plus},   {"-", Tok::Minus},    {"~", Tok::Tilde},
                    {"*", Tok::Star},   {"**", Tok::Power},   {"(", Tok::LParen},
                    {")", Tok::RParen}, {"[", Tok::LBracket}, {"]", Tok::RBracket},
                    {",", Tok::Comma},  {".", Tok::Dot}};
                bool known = false;
                for (const auto &[text, tok] : kPunctuation)
                    if (l.text_ == text) {
                        kind = tok;
                        known = true;
                    }
                if (!known) return false;
                // Two dots are no attribute access: an ellipsis or a float cut short.
                if (kind == Tok::Dot && l.pos_ + 1 < s.size() && s[l.pos_ + 1] == '.') return false;
                break;
            }
            default:
                return false;
        }
        out.push_back({kind, static_cast<uint32_t>(l.pos_), static_cast<uint32_t>(l.text_.size())});
    }
}

enum class Kind : uint8_t {
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
enum class BinOp : uint8_t { Add, Sub, Mul, Pow };
enum class UnOp : uint8_t { Neg, Pos, Invert };

// A call argument (aux: starred), a display item, or a comprehension clause (node: its iterable,
// aux: the slot of its target).
struct Item {
    int32_t node_;
    int32_t aux_;
};

struct Node {
    explicit Node(Kind k) : kind_(k) {}

    Kind kind_;
    uint8_t op_ = 0;
    bool starred_ = false;  // Call: some argument is starred
    int32_t a_ = -1;        // operand, object, callee or comprehension element
    int32_t b_ = -1;        // right operand
    int32_t up_ = 0;        // Local: how many comprehension scopes out
    int32_t slot_ = 0;      // Local: its slot there
    uint32_t first_ = 0;    // items
    uint32_t count_ = 0;
    int32_t slots_ = 0;  // ListComp: number of its local names
    // Call: whether it is a comparison's `.to_bx(...)`, and where the formula holds its result
    // (positive, negative or both, as the registry counts them).
    bool comparison_ = false;
    uint8_t polarity_ = zk::core::kBothPolarities;
    PyObject *obj_ = nullptr;  // Const: the value; Global, Local, Attr: the name
    std::string_view name_;    // Global, Local: the name as written (only while reading)
};

struct Program {
    std::vector<Node> nodes_;
    std::vector<Item> items_;
    std::vector<std::string_view> targets_;  // comprehension targets, while reading
    std::vector<nb::object> objects_;        // owns every constant and name of the nodes
    int32_t root_ = -1;
};

// Reads the tokens into a tree with explicit stacks, so that nesting is bounded by memory only:
// operands wait on one stack, operators and open brackets on another. Binding, from loosest:
// binary + and -, then *, then the prefix signs and ~, then ** (whose right operand may start
// with a sign), then the trailers (attribute access and calls) of a primary.
class Parser {
  public:
    Parser(std::string_view src, const std::vector<Token> &toks, Program &prog)
        : src_(src), toks_(toks), prog_(prog) {}

    bool parse() {
        bool expect_operand = true;
        for (;;) {
            const Token &t = toks_[at_];
            if (expect_operand) {
                if (!operand(t, expect_operand)) return false;
                continue;
            }
            if (t.kind_ == Tok::End) break;
            if (!after_operand(t, expect_operand)) return false;
        }
        if (!reduce() || !ops_.empty() || vals_.size() != 1) return false;
        prog_.root_ = vals_.back();
        return true;
    }

  private:
    enum class Op : uint8_t { Add, Sub, Mul, Pow, Neg, Pos, Invert, Paren, Call, List, Comp };

    // An operator, or an open bracket with what it has gathered.
    struct Entry {
        explicit Entry(Op o) : op_(o) {}

        Op op_;
        bool had_comma_ = false;
        bool starred_ = false;       // Call: some argument is starred
        bool next_starred_ = false;  // Call: the argument being read is starred
        int32_t callee_ = -1;        // Call: the callee_; Comp: the element
        std::vector<Item> items_;    // arguments, display items or comprehension clauses
    };

    std::string_view src_;
    const std::vector<Token> &toks_;
    Program &prog_;
    size_t at_ = 0;
    std::vector<int32_t> vals_;
    std::vector<Entry> ops_;

    std::string_view text(const Token &t) const { return src_.substr(t.pos_, t.len_); }
    bool word(const Token &t, std::string_view w) const {
        return t.kind_ == Tok::Name && text(t) == w;
    }
    Kind kind_of(int32_t n) const { return prog_.nodes_[static_cast<size_t>(n)].kind_; }

    static bool is_operator(Op op) { return op <= Op::Invert; }
    static int precedence(Op op) {
        switch (op) {
            case Op::Add:
            case Op::Sub:
                return 1;
            case Op::Mul:
                return 2;
            case Op::Neg:
            case Op::Pos:
            case Op::Invert:
                return 3;
            case Op::Pow:
                return 4;
            default:
                return 0;
        }
    }

    int32_t add(Node node) {
        prog_.nodes_.push_back(node);
        return static_cast<int32_t>(prog_.nodes_.size() - 1);
    }

    PyObject *keep(PyObject *obj) {
        if (!obj) return nullptr;
        prog_.objects_.push_back(nb::steal(obj));
        return obj;
    }
    PyObject *name_object(std::string_view s) {
        PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (o) PyUnicode_InternInPlace(&o);
        return keep(o);
    }

    int32_t with_items(Node node, const std::vector<Item> &items) {
        node.first_ = static_cast<uint32_t>(prog_.items_.size());
        node.count_ = static_cast<uint32_t>(items.size());
        prog_.items_.insert(prog_.items_.end(), items.begin(), items.end());
        return add(node);
    }

    // Applies the operator on top of the stack to its operands.
    bool apply() {
        Op op = ops_.back().op_;
        ops_.pop_back();
        if (op == Op::Neg || op == Op::Pos || op == Op::Invert) {
            if (vals_.empty()) return false;
            Node node{Kind::Unary};
            node.op_ = static_cast<uint8_t>(op == Op::Neg   ? UnOp::Neg
                                            : op == Op::Pos ? UnOp::Pos
                                                            : UnOp::Invert);
            node.a_ = vals_.back();
            vals_.back() = add(node);
            return true;
        }
        if (vals_.size() < 2) return false;
        Node node{Kind::Binary};
        node.op_ = static_cast<uint8_t>(op == Op::Add   ? BinOp::Add
                                        : op == Op::Sub ? BinOp::Sub
                                        : op == Op::Mul ? BinOp::Mul
                                                        : BinOp::Pow);
        node.b_ = vals_.back();
        vals_.pop_back();
        node.a_ = vals_.back();
        vals_.back() = add(node);
        return true;
    }

    // Applies the pending operators that bind at least as tightly as `prec` (more tightly, for
    // the right-associative **), down to the nearest open bracket.
    bool reduce(int prec = 0, bool right_assoc = false) {
        while (!ops_.empty() && is_operator(ops_.back().op_)) {
            int top = precedence(ops_.back().op_);
            if (right_assoc ? top <= prec : top < prec) break;
            if (!apply()) return false;
        }
        return true;
    }

    bool operand(const Token &t, bool &expect_operand) {
        switch (t.kind_) {
            case Tok::Plus:
            case Tok::Minus:
            case Tok::Tilde:
                ++at_;
                ops_.emplace_back(t.kind_ == Tok::Minus  ? Op::Neg
                                  : t.kind_ == Tok::Plus ? Op::Pos
                                                         : Op::Invert);
                return true;
            case Tok::Star: {
                // Only an argument of a call can be starred, and only once.
                if (ops_.empty() || ops_.back().op_ != Op::Call || ops_.back().next_starred_)
                    return false;
                Entry &call = ops_.back();
                if (!call.items_.empty() && !call.had_comma_) return false;
                ++at_;
                call.next_starred_ = true;
                return true;
            }
            case Tok::Name:
                return name(t, expect_operand);
            case Tok::Number:
                return number(t, expect_operand);
            case Tok::LParen:
                ++at_;
                if (toks_[at_].kind_ == Tok::RParen) {
                    ++at_;
                    vals_.push_back(with_items(Node{Kind::Tuple}, {}));
                    expect_operand = false;
                    return true;
                }
                ops_.emplace_back(Op::Paren);
                return true;
            case Tok::LBracket:
                ++at_;
                if (toks_[at_].kind_ == Tok::RBracket) {
                    ++at_;
                    vals_.push_back(with_items(Node{Kind::List}, {}));
                    expect_operand = false;
                    return true;
                }
                ops_.emplace_back(Op::List);
                return true;
            default:
                return false;
        }
    }

    bool name(const Token &t, bool &expect_operand) {
        std::string_view s = text(t);
        ++at_;
        Node node{Kind::Const};
        if (s == "None" || s == "True" || s == "False") {
            node.obj_ = s == "None" ? Py_None : s == "True" ? Py_True : Py_False;
            keep(nb::borrow(node.obj_).release().ptr());
        } else {
            if (texts::is_keyword(s) || among(s, kFrameNames)) return false;
            node.kind_ = Kind::Global;
            node.name_ = s;
            node.obj_ = name_object(s);
            if (!node.obj_) return false;
        }
        vals_.push_back(add(node));
        expect_operand = false;
        return true;
    }

    bool number(const Token &t, bool &expect_operand) {
        std::string digits(text(t));
        ++at_;
        PyObject *v;
        if (digits.size() <= kShortIntDigits) {
            v = PyLong_FromLongLong(std::strtoll(digits.c_str(), nullptr, 10));
        } else {
            // The interpreter's own conversion, with its limit on the number of digits: a literal
            // it refuses goes to `eval`, which refuses it too.
            v = PyLong_FromString(digits.c_str(), nullptr, 10);
            if (!v) clear_only(PyExc_ValueError);
        }
        Node node{Kind::Const};
        node.obj_ = keep(v);
        if (!node.obj_) return false;
        vals_.push_back(add(node));
        expect_operand = false;
        return true;
    }

    // The operand just read becomes an item of the open bracket on top.
    bool take_item() {
        if (ops_.empty() || vals_.empty()) return false;
        Entry &open = ops_.back();
        int32_t v = vals_.back();
        vals_.pop_back();
        bool starred = open.op_ == Op::Call && open.next_starred_;
        // Only a list can be starred: unpacking it runs no code and cannot fail.
        if (starred && kind_of(v) != Kind::List && kind_of(v) != Kind::ListComp) return false;
        open.starred_ = open.starred_ || starred;
        open.next_starred_ = false;
        open.items_.push_back({v, starred ? 1 : 0});
        return true;
    }

    // A target and "in" after "for".
    bool clause_head(Entry &comp) {
        const Token &target = toks_[at_];
        if (target.kind_ != Tok::Name) return false;
        std::string_view s = text(target);
        if (texts::is_keyword(s) || among(s, kFrameNames)) return false;
        ++at_;
        if (!word(toks_[at_], kIn)) return false;
        ++at_;
        comp.items_.push_back({-1, static_cast<int32_t>(prog_.targets_.size())});
        prog_.targets_.push_back(s);
        return true;
    }

    bool after_operand(const Token &t, bool &expect_operand) {
        switch (t.kind_) {
            case Tok::Dot: {
                ++at_;
                const Token &n = toks_[at_];
                if (n.kind_ != Tok::Name || texts::is_keyword(text(n))) return false;
                Node node{Kind::Attr};
                node.a_ = vals_.back();
                node.obj_ = name_object(text(n));
                if (!node.obj_) return false;
                ++at_;
                vals_.back() = add(node);
                return true;
            }
            case Tok::LParen: {
                // The compiler warns about calling what it sees is a literal (perhaps a missing
                // comma), and a warning can be an error: such calls are its to judge.
                Kind k = kind_of(vals_.back());
                if (k != Kind::Global && k != Kind::Attr && k != Kind::Call) return false;
                ++at_;
                Entry call(Op::Call);
                call.callee_ = vals_.back();
                vals_.pop_back();
                if (toks_[at_].kind_ == Tok::RParen) {
                    ++at_;
                    Node node{Kind::Call};
                    node.a_ = call.callee_;
                    vals_.push_back(with_items(node, {}));
                    return true;
                }
                ops_.push_back(std::move(call));
                expect_operand = true;
                return true;
            }
            case Tok::Plus:
            case Tok::Minus:
                ++at_;
                if (!reduce(1)) return false;
                ops_.emplace_back(t.kind_ == Tok::Plus ? Op::Add : Op::Sub);
                expect_operand = true;
                return true;
            case Tok::Star:
                ++at_;
                if (!reduce(2)) return false;
                ops_.emplace_back(Op::Mul);
                expect_operand = true;
                return true;
            case Tok::Power:
                ++at_;
                if (!reduce(4, true)) return false;
                ops_.emplace_back(Op::Pow);
                expect_operand = true;
                return true;
            case Tok::Comma: {
                ++at_;
                if (!reduce() || ops_.empty()) return false;
                Op open = ops_.back().op_;
                if (open != Op::Paren && open != Op::Call && open != Op::List) return false;
                if (!take_item()) return false;
                ops_.back().had_comma_ = true;
                Tok next = toks_[at_].kind_;
                // A trailing comma: the closing bracket follows.
                if ((next == Tok::RParen && open != Op::List) ||
                    (next == Tok::RBracket && open == Op::List))
                    return close(expect_operand, true);
                expect_operand = true;
                return true;
            }
            case Tok::RParen:
            case Tok::RBracket:
                if (!reduce() || ops_.empty()) return false;
                if (!take_item_for_close(t.kind_)) return false;
                return close(expect_operand, false);
            case Tok::Name:
                if (word(t, kFor)) {
                    ++at_;
                    if (!reduce() || ops_.empty()) return false;
                    Entry &open = ops_.back();
                    if (open.op_ == Op::List) {
                        if (!open.items_.empty() || open.had_comma_) return false;
                        open.op_ = Op::Comp;
                        open.callee_ = vals_.back();
                        vals_.pop_back();
                    } else if (open.op_ == Op::Comp) {
                        open.items_.back().node_ = vals_.back();
                        vals_.pop_back();
                    } else {
                        return false;
                    }
                    if (!clause_head(open)) return false;
                    expect_operand = true;
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

    // Before a closing bracket: the last operand becomes the last item (or iterable).
    bool take_item_for_close(Tok closing) {
        Entry &open = ops_.back();
        bool round = closing == Tok::RParen;
        if (round != (open.op_ == Op::Paren || open.op_ == Op::Call)) return false;
        if (open.op_ == Op::Comp) {
            open.items_.back().node_ = vals_.back();
            vals_.pop_back();
            return true;
        }
        return take_item();
    }

    // Closes the bracket on top, whose items are all taken.
    bool close(bool &expect_operand, bool after_comma) {
        ++at_;
        Entry open = std::move(ops_.back());
        ops_.pop_back();
        int32_t n = -1;
        switch (open.op_) {
            case Op::Paren:
                if (open.items_.size() == 1 && !after_comma && !open.had_comma_) {
                    n = open.items_[0].node_;
                } else {
                    n = with_items(Node{Kind::Tuple}, open.items_);
                }
                break;
            case Op::List:
                n = with_items(Node{Kind::List}, open.items_);
                break;
            case Op::Call: {
                Node node{Kind::Call};
                node.a_ = open.callee_;
                node.starred_ = open.starred_;
                n = with_items(node, open.items_);
                break;
            }
            case Op::Comp: {
                Node node{Kind::ListComp};
                node.a_ = open.callee_;
                n = with_items(node, open.items_);
                break;
            }
            default:
                return false;
        }
        vals_.push_back(n);
        expect_operand = false;
        return true;
    }
};

// Gives every name its scope as the compiler would: a comprehension's targets are its locals; its
// first iterable belongs to the enclosing scope, everything else to its own; a name that no
// enclosing comprehension binds is a global. The walk keeps its own stack.
class Resolver {
  public:
    explicit Resolver(Program &prog) : prog_(prog) {}

    void resolve(int32_t root) {
        std::vector<Step> steps{{Step::Visit, root}};
        while (!steps.empty()) {
            Step step = steps.back();
            steps.pop_back();
            if (step.what_ == Step::Enter) {
                scopes_.push_back(std::move(pending_[static_cast<size_t>(step.node_)]));
                continue;
            }
            if (step.what_ == Step::Leave) {
                scopes_.pop_back();
                continue;
            }
            Node &node = prog_.nodes_[static_cast<size_t>(step.node_)];
            switch (node.kind_) {
                case Kind::Const:
                case Kind::Local:
                    break;
                case Kind::Global:
                    global(node);
                    break;
                case Kind::Attr:
                case Kind::Unary:
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::Binary:
                    steps.push_back({Step::Visit, node.b_});
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::Call:
                    push_items(steps, node.first_, node.count_);
                    steps.push_back({Step::Visit, node.a_});
                    break;
                case Kind::List:
                case Kind::Tuple:
                    push_items(steps, node.first_, node.count_);
                    break;
                case Kind::ListComp:
                    comprehension(steps, step.node_);
                    break;
            }
        }
    }

  private:
    struct Step {
        enum What : uint8_t { Visit, Enter, Leave } what_;
        int32_t node_;  // Enter: the index of the names in pending_
    };

    Program &prog_;
    std::vector<std::vector<std::string_view>> scopes_;
    std::vector<std::vector<std::string_view>> pending_;

    void global(Node &node) {
        for (size_t k = scopes_.size(); k-- > 0;) {
            const std::vector<std::string_view> &names = scopes_[k];
            for (size_t s = 0; s < names.size(); ++s) {
                if (names[s] != node.name_) continue;
                node.kind_ = Kind::Local;
                node.up_ = static_cast<int32_t>(scopes_.size() - 1 - k);
                node.slot_ = static_cast<int32_t>(s);
                return;
            }
        }
    }

    void push_items(std::vector<Step> &steps, uint32_t first, uint32_t count) {
        for (uint32_t k = count; k-- > 0;)
            steps.push_back({Step::Visit, prog_.items_[first + k].node_});
    }

    // In order: the first iterable outside, then inside the comprehension's scope the other
    // iterables and the element.
    void comprehension(std::vector<Step> &steps, int32_t n) {
        Node &node = prog_.nodes_[static_cast<size_t>(n)];
        std::vector<std::string_view> names;
        for (uint32_t k = 0; k < node.count_; ++k) {
            Item &clause = prog_.items_[node.first_ + k];
            std::string_view target = prog_.targets_[static_cast<size_t>(clause.aux_)];
            size_t slot = 0;
            while (slot < names.size() && names[slot] != target) ++slot;
            if (slot == names.size()) names.push_back(target);
            clause.aux_ = static_cast<int32_t>(slot);
        }
        node.slots_ = static_cast<int32_t>(names.size());
        pending_.push_back(std::move(names));
        steps.push_back({Step::Leave, 0});
        steps.push_back({Step::Visit, node.a_});
        for (uint32_t k = node.count_; k-- > 1;)
            steps.push_back({Step::Visit, prog_.items_[node.first_ + k].node_});
        steps.push_back({Step::Enter, static_cast<int32_t>(pending_.size() - 1)});
        steps.push_back({Step::Visit, prog_.items_[node.first_].node_});
    }
};

// Where the formula holds each comparison. The engine's connectives are read by their names under
// `bx`: a conjunction or disjunction holds its operands as it is held itself, a negation and the
// condition of an implication the other way round, an equivalence, an exclusive or and the
// condition of an if-then-else both ways. Whatever else a value passes through may use it either
// way. Children are made before their parents, so one pass from the root down reaches every
// parent before its children.
class PolarityPass {
  public:
    explicit PolarityPass(Program &prog) : prog_(prog) {}

    void run() {
        for (Node &n : prog_.nodes_) n.polarity_ = zk::core::kBothPolarities;
        node(prog_.root_).polarity_ = zk::core::kPositive;
        for (int32_t n = static_cast<int32_t>(prog_.nodes_.size()) - 1; n >= 0; --n) spread(n);
    }

  private:
    Program &prog_;

    Node &node(int32_t n) { return prog_.nodes_[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items_[k]; }

    static uint8_t flip(uint8_t p) {
        return p == zk::core::kPositive   ? zk::core::kNegative
               : p == zk::core::kNegative ? zk::core::kPositive
                                          : p;
    }

    static bool named(const Node &nd, const char *name) {
        return nd.obj_ && PyUnicode_CompareWithASCIIString(nd.obj_, name) == 0;
    }

    // The name of the engine connective a call's callee names ("and_s" for bx.and_s), or null.
    const char *connective(const Node &callee) {
        static const char *const kNames[] = {"and_s", "or_s",   "and_", "xor_s",
                                             "eq_s",  "impl_s", "ite_s"};
        if (callee.kind_ != Kind::Attr) return nullptr;
        const Node &owner = node(callee.a_);
        if (owner.kind_ != Kind::Global || !named(owner, "bx")) return nullptr;
        for (const char *name : kNames)
            if (named(callee, name)) return name;
        return nullptr;
    }

    void spread(int32_t n) {
        Node &nd = node(n);
        uint8_t p = nd.polarity_;
        switch (nd.kind_) {
            case Kind::Unary:
                node(nd.a_).polarity_ =
                    static_cast<UnOp>(nd.op_) == UnOp::Invert ? flip(p) : zk::core::kBothPolarities;
                return;
            case Kind::List:
            case Kind::Tuple:
                for (uint32_t k = 0; k < nd.count_; ++k)
                    node(item(nd.first_ + k).node_).polarity_ = p;
                return;
            case Kind::ListComp:
                node(nd.a_).polarity_ = p;
                return;
            case Kind::Call: {
                const Node &callee = node(nd.a_);
                if (callee.kind_ == Kind::Attr && named(callee, "to_bx")) nd.comparison_ = true;
                const char *c = connective(callee);
                if (!c || nd.starred_) return;
                std::string_view name(c);
                for (uint32_t k = 0; k < nd.count_; ++k) {
                    uint8_t q = zk::core::kBothPolarities;
                    if (name == "and_s" || name == "or_s" || name == "and_")
                        q = p;
                    else if (name == "impl_s")
                        q = k == 0 ? flip(p) : p;
                    else if (name == "ite_s")
                        q = k == 0 ? zk::core::kBothPolarities : p;
                    node(item(nd.first_ + k).node_).polarity_ = q;
                }
                return;
            }
            default:
                return;
        }
    }
};

// Reads `text` into `prog`; false, with no Python error set, when it is not of the native forms.
bool read_program(nb::handle text, Program &prog) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        clear_only(PyExc_UnicodeEncodeError);
        return false;
    }
    std::string_view src(utf8, static_cast<size_t>(size));
    std::vector<Token> toks;
    if (!tokenize(src, toks)) return false;
    Parser parser(src, toks, prog);
    if (!parser.parse()) {
        // An error raised while reading (out of memory) reaches the program.
        if (PyErr_Occurred()) rethrow();
        return false;
    }
    Resolver(prog).resolve(prog.root_);
    PolarityPass(prog).run();
    return true;
}

bool native_program(nb::handle text, Program &prog) { return read_program(text, prog); }

// ---------------------------------------------------------------------------------------------
// Execution.

// A tree is run as a flat list of instructions on explicit stacks, so that its depth is bounded
// by memory only. Operands are evaluated left to right, a callee before its arguments, and a
// comprehension as the compiled one runs: its builtins are fixed when its function is made, its
// first iterable is evaluated and iterated in the enclosing frame, the rest in its own.
enum class Ins : uint8_t {
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
    uint8_t sub_ = 0;      // Unary, Binary: the operator
    int32_t node_ = -1;    // the node it came from
    int32_t target_ = -1;  // ForIter: where to go at the end; Jump: where to go
    int32_t slot_ = -1;    // ForIter: the slot of its clause's target
};

// The instructions of a tree, in postfix order, made without recursion.
std::vector<Instr> compile(const Program &prog) {
    std::vector<Instr> code;
    struct Task {
        enum What : uint8_t { Visit, Emit, ForHead, JumpBack, End } what_;
        int32_t node_;
        Ins op_ = Ins::Const;
        int32_t comp_ = -1;  // index into `comps`
        uint32_t clause_ = 0;
    };
    // Per comprehension: where its loops' heads are.
    std::vector<std::vector<int32_t>> comps;
    std::vector<Task> tasks{{Task::Visit, prog.root_}};
    auto node_at = [&](int32_t n) -> const Node & { return prog.nodes_[static_cast<size_t>(n)]; };
    auto item_node = [&](uint32_t k) { return prog.items_[k].node_; };
    while (!tasks.empty()) {
        Task t = tasks.back();
        tasks.pop_back();
        const Node &nd = node_at(t.node_);
        switch (t.what_) {
            case Task::Emit:
                code.push_back({t.op_, nd.op_, t.node_, -1});
                continue;
            case Task::ForHead: {
                std::vector<int32_t> &heads = comps[static_cast<size_t>(t.comp_)];
                // The first loop's end is the comprehension's end, known later.
                int32_t exit = t.clause_ == 0 ? -1 : heads[t.clause_ - 1];
                heads.push_back(static_cast<int32_t>(code.size()));
                code.push_back(
                    {Ins::ForIter, 0, t.node_, exit, prog.items_[nd.first_ + t.clause_].aux_});
                continue;
            }
            case Task::JumpBack:
                code.push_back({Ins::Jump, 0, t.node_, comps[static_cast<size_t>(t.comp_)].back()});
                continue;
            case Task::End:
                code[static_cast<size_t>(comps[static_cast<size_t>(t.comp_)].front())].target_ =
                    static_cast<int32_t>(code.size());
                code.push_back({Ins::EndComp, 0, t.node_, -1});
                continue;
            case Task::Visit:
                break;
        }
        switch (nd.kind_) {
            case Kind::Const:
                code.push_back({Ins::Const, 0, t.node_, -1});
                break;
            case Kind::Global:
                code.push_back({Ins::Global, 0, t.node_, -1});
                break;
            case Kind::Local:
                code.push_back({Ins::Local, 0, t.node_, -1});
                break;
            case Kind::Attr:
                tasks.push_back({Task::Emit, t.node_, Ins::Attr});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Unary:
                tasks.push_back({Task::Emit, t.node_, Ins::Unary});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Binary:
                tasks.push_back({Task::Emit, t.node_, Ins::Binary});
                tasks.push_back({Task::Visit, nd.b_});
                tasks.push_back({Task::Visit, nd.a_});
                break;
            case Kind::Call:
            case Kind::List:
            case Kind::Tuple: {
                Ins op = nd.kind_ == Kind::Call   ? Ins::Call
                         : nd.kind_ == Kind::List ? Ins::List
                                                  : Ins::Tuple;
                tasks.push_back({Task::Emit, t.node_, op});
                for (uint32_t k = nd.count_; k-- > 0;)
                    tasks.push_back({Task::Visit, item_node(nd.first_ + k)});
                if (nd.kind_ == Kind::Call) tasks.push_back({Task::Visit, nd.a_});
                break;
            }
            case Kind::ListComp: {
                int32_t c = static_cast<int32_t>(comps.size());
                comps.emplace_back();
                // MakeComp, iterable 0, BeginComp, head 0, [iterable k, GetIter, head k]...,
                // element, Append, Jump to the innermost head, EndComp.
                tasks.push_back({Task::End, t.node_, Ins::Const, c});
                tasks.push_back({Task::JumpBack, t.node_, Ins::Const, c});
                tasks.push_back({Task::Emit, t.node_, Ins::Append});
                tasks.push_back({Task::Visit, nd.a_});
                for (uint32_t k = nd.count_; k-- > 1;) {
                    tasks.push_back({Task::ForHead, t.node_, Ins::Const, c, k});
                    tasks.push_back({Task::Emit, t.node_, Ins::GetIter});
                    tasks.push_back({Task::Visit, item_node(nd.first_ + k)});
                }
                tasks.push_back({Task::ForHead, t.node_, Ins::Const, c, 0});
                tasks.push_back({Task::Emit, t.node_, Ins::BeginComp});
                tasks.push_back({Task::Visit, item_node(nd.first_)});
                tasks.push_back({Task::Emit, t.node_, Ins::MakeComp});
                break;
            }
        }
    }
    return code;
}

void raise_unbound(PyObject *exc_type, const char *format, PyObject *name) {
    PyErr_Format(exc_type, format, PyUnicode_AsUTF8(name));
    // As the interpreter does, so that the error can suggest a close name.
    if (exc_type != PyExc_NameError) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (PyErr_GivenExceptionMatches(value, PyExc_NameError))
        (void)PyObject_SetAttrString(value, kNameAttr, name);
    PyErr_Restore(type, value, tb);
}

// The builtins a frame of `ns` sees, as the interpreter finds them when it makes the frame; the
// enclosing frame's when `ns` has none.
PyObject *builtins_of(PyObject *ns, PyObject *builtins_name, PyObject *enclosing) {
    PyObject *b = PyDict_GetItemWithError(ns, builtins_name);
    if (!b) {
        if (PyErr_Occurred()) return nullptr;
        b = enclosing ? enclosing : PyEval_GetBuiltins();
    } else if (PyModule_Check(b)) {
        b = PyModule_GetDict(b);
    }
    Py_INCREF(b);
    return b;
}

class Executor {
  public:
    Executor(const Program &prog, PyObject *ns, PyObject *builtins_name)
        : prog_(prog), ns_(ns), builtins_name_(builtins_name) {}

    ~Executor() {
        for (PyObject *o : values_) Py_DECREF(o);
        for (PyObject *o : iterators_) Py_DECREF(o);
        for (PyObject *o : made_) Py_DECREF(o);
        for (Frame &f : frames_) Py_XDECREF(f.result_);
        for (PyObject *o : locals_) Py_XDECREF(o);
        for (PyObject *b : builtins_) Py_DECREF(b);
    }

    PyObject *run() {
        std::vector<Instr> code = compile(prog_);
        PyObject *b = builtins_of(ns_, builtins_name_, nullptr);
        if (!b) return nullptr;
        builtins_.push_back(b);
        if (Py_EnterRecursiveCall("")) return nullptr;
        bool ok = execute(code);
        Py_LeaveRecursiveCall();
        if (!ok) {
            // The frames still open failed, innermost first, then the text's own.
            while (!frames_.empty()) {
                leave_frame();
                py_private::traceback_add(kListcompFrame, kSourceFile, 1);
            }
            py_private::traceback_add(kModuleFrame, kSourceFile, 1);
            return nullptr;
        }
        PyObject *r = values_.back();
        values_.pop_back();
        return r;
    }

  private:
    struct Frame {
        size_t base_;       // its slots in locals_
        PyObject *result_;  // the list it makes
        size_t iterators_;  // iterators_ size when it was entered
    };

    const Program &prog_;
    PyObject *ns_;
    PyObject *builtins_name_;
    std::vector<PyObject *> values_;
    std::vector<PyObject *> iterators_;
    std::vector<PyObject *> made_;  // builtins of comprehensions about to start
    std::vector<Frame> frames_;
    std::vector<PyObject *> locals_;    // the slots of every comprehension frame, innermost last
    std::vector<PyObject *> builtins_;  // per frame: the module frame, then each comprehension

    const Node &node(int32_t n) const { return prog_.nodes_[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items_[k]; }

    bool push(PyObject *v) {
        if (!v) return false;
        values_.push_back(v);
        return true;
    }
    PyObject *pop() {
        PyObject *v = values_.back();
        values_.pop_back();
        return v;
    }

    void leave_frame() {
        Frame f = frames_.back();
        frames_.pop_back();
        while (iterators_.size() > f.iterators_) {
            Py_DECREF(iterators_.back());
            iterators_.pop_back();
        }
        for (size_t k = f.base_; k < locals_.size(); ++k) Py_XDECREF(locals_[k]);
        locals_.resize(f.base_);
        Py_DECREF(builtins_.back());
        builtins_.pop_back();
        Py_XDECREF(f.result_);
    }

    bool execute(const std::vector<Instr> &code) {
        size_t pc = 0;
        while (pc < code.size()) {
            const Instr &in = code[pc++];
            const Node &nd = node(in.node_);
            switch (in.op_) {
                case Ins::Const:
                    Py_INCREF(nd.obj_);
                    values_.push_back(nd.obj_);
                    break;
                case Ins::Global:
                    if (!push(global(nd.obj_))) return false;
                    break;
                case Ins::Local:
                    if (!push(local(nd))) return false;
                    break;
                case Ins::Attr: {
                    PyObject *o = pop();
                    PyObject *r = PyObject_GetAttr(o, nd.obj_);
                    Py_DECREF(o);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Unary: {
                    PyObject *o = pop();
                    PyObject *r;
                    switch (static_cast<UnOp>(nd.op_)) {
                        case UnOp::Neg:
                            r = PyNumber_Negative(o);
                            break;
                        case UnOp::Pos:
                            r = PyNumber_Positive(o);
                            break;
                        default:
                            r = PyNumber_Invert(o);
                            break;
                    }
                    Py_DECREF(o);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Binary: {
                    PyObject *rhs = pop();
                    PyObject *l = pop();
                    PyObject *r;
                    switch (static_cast<BinOp>(nd.op_)) {
                        case BinOp::Add:
                            r = PyNumber_Add(l, rhs);
                            break;
                        case BinOp::Sub:
                            r = PyNumber_Subtract(l, rhs);
                            break;
                        case BinOp::Mul:
                            r = PyNumber_Multiply(l, rhs);
                            break;
                        default:
                            r = PyNumber_Power(l, rhs, Py_None);
                            break;
                    }
                    Py_DECREF(l);
                    Py_DECREF(rhs);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Call:
                    if (!push(call(nd))) return false;
                    break;
                case Ins::List:
                case Ins::Tuple:
                    if (!push(display(nd, in.op_ == Ins::List))) return false;
                    break;
                case Ins::MakeComp: {
                    PyObject *b = builtins_of(ns_, builtins_name_, builtins_.back());
                    if (!b) return false;
                    made_.push_back(b);
                    break;
                }
                case Ins::BeginComp: {
                    PyObject *iterable = pop();
                    PyObject *it = PyObject_GetIter(iterable);
                    Py_DECREF(iterable);
                    if (!it) return false;
                    PyObject *result = PyList_New(0);
                    if (!result) {
                        Py_DECREF(it);
                        return false;
                    }
                    frames_.push_back({locals_.size(), result, iterators_.size()});
                    iterators_.push_back(it);
                    locals_.resize(locals_.size() + static_cast<size_t>(nd.slots_), nullptr);
                    builtins_.push_back(made_.back());
                    made_.pop_back();
                    break;
                }
                case Ins::GetIter: {
                    PyObject *iterable = pop();
                    PyObject *it = PyObject_GetIter(iterable);
                    Py_DECREF(iterable);
                    if (!it) return false;
                    iterators_.push_back(it);
                    break;
                }
                case Ins::ForIter: {
                    // The interpreter looks at pending signals at every jump back to a loop's
                    // head.
                    if (PyErr_CheckSignals() < 0) return false;
                    PyObject *v = PyIter_Next(iterators_.back());
                    if (!v) {
                        if (PyErr_Occurred()) return false;
                        Py_DECREF(iterators_.back());
                        iterators_.pop_back();
                        pc = static_cast<size_t>(in.target_);
                        break;
                    }
                    PyObject *&slot = locals_[frames_.back().base_ + static_cast<size_t>(in.slot_)];
                    PyObject *old = slot;
                    slot = v;
                    Py_XDECREF(old);
                    break;
                }
                case Ins::Append: {
                    PyObject *e = pop();
                    int r = PyList_Append(frames_.back().result_, e);
                    Py_DECREF(e);
                    if (r < 0) return false;
                    break;
                }
                case Ins::Jump:
                    pc = static_cast<size_t>(in.target_);
                    break;
                case Ins::EndComp: {
                    PyObject *result = frames_.back().result_;
                    frames_.back().result_ = nullptr;
                    leave_frame();
                    values_.push_back(result);
                    break;
                }
            }
        }
        return true;
    }

    // At module level the name is looked up in the locals, then the globals (the same dict),
    // inside a comprehension in the globals alone; then in the frame's builtins.
    PyObject *global(PyObject *name) {
        PyObject *v = PyDict_GetItemWithError(ns_, name);
        if (!v && !PyErr_Occurred() && frames_.empty()) v = PyDict_GetItemWithError(ns_, name);
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (PyErr_Occurred()) return nullptr;
        PyObject *b = builtins_.back();
        if (PyDict_CheckExact(b)) {
            v = PyDict_GetItemWithError(b, name);
            if (v) {
                Py_INCREF(v);
                return v;
            }
            if (!PyErr_Occurred()) raise_unbound(PyExc_NameError, kNameErrorFormat, name);
            return nullptr;
        }
        v = PyObject_GetItem(b, name);
        if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            raise_unbound(PyExc_NameError, kNameErrorFormat, name);
        }
        return v;
    }

    PyObject *local(const Node &nd) {
        size_t base = frames_[frames_.size() - 1 - static_cast<size_t>(nd.up_)].base_;
        PyObject *v = locals_[base + static_cast<size_t>(nd.slot_)];
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (nd.up_ == 0)
            raise_unbound(PyExc_UnboundLocalError, kUnboundLocalFormat, nd.obj_);
        else
            raise_unbound(PyExc_NameError, kUnboundFreeFormat, nd.obj_);
        return nullptr;
    }

    // The last `count` values, in order, taken off the stack.
    std::vector<PyObject *> take(uint32_t count) {
        std::vector<PyObject *> out(values_.end() - count, values_.end());
        values_.resize(values_.size() - count);
        return out;
    }

    PyObject *display(const Node &nd, bool list) {
        std::vector<PyObject *> values = take(nd.count_);
        Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
        PyObject *r = list ? PyList_New(n) : PyTuple_New(n);
        if (!r) {
            for (PyObject *o : values) Py_DECREF(o);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (list)
                PyList_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
            else
                PyTuple_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
        }
        return r;
    }

    PyObject *call(const Node &nd) {
        std::vector<PyObject *> args = take(nd.count_);
        PyObject *fn = pop();
        // A comparison that the formula does not hold as a plain requirement is told so through
        // the registry it is encoded with.
        zk::core::Manager *mgr = nullptr;
        uint8_t saved = zk::core::kPositive;
        if (nd.comparison_ && nd.polarity_ != zk::core::kPositive && args.size() == 1) {
            mgr = zk::core::exact_manager(args[0]);
            if (mgr) {
                saved = mgr->polarity_;
                mgr->polarity_ = nd.polarity_;
            }
        }
        PyObject *r;
        if (!nd.starred_) {
            r = PyObject_Vectorcall(fn, args.data(), args.size(), nullptr);
        } else {
            // The starred items are lists: their items take their places.
            std::vector<PyObject *> flat;
            for (uint32_t k = 0; k < nd.count_; ++k) {
                PyObject *v = args[k];
                if (!item(nd.first_ + k).aux_) {
                    flat.push_back(v);
                    continue;
                }
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(v); ++j)
                    flat.push_back(PyList_GET_ITEM(v, j));
            }
            PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(flat.size()));
            if (tuple) {
                for (size_t j = 0; j < flat.size(); ++j) {
                    Py_INCREF(flat[j]);
                    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), flat[j]);
                }
                r = PyObject_Call(fn, tuple, nullptr);
                Py_DECREF(tuple);
            } else {
                r = nullptr;
            }
        }
        if (mgr) mgr->polarity_ = saved;
        for (PyObject *o : args) Py_DECREF(o);
        Py_DECREF(fn);
        return r;
    }
};

}  // namespace

namespace {

constexpr const char *kPolarityName = "__zk_polarity__";

bool is_a(nb::handle obj, const nb::object &cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool name_is(nb::handle obj, const char *attr, const char *value) {
    nb::object v = obj.attr(attr);
    return PyUnicode_Check(v.ptr()) && PyUnicode_CompareWithASCIIString(v.ptr(), value) == 0;
}

uint8_t flipped(uint8_t p) {
    return p == zk::core::kPositive   ? zk::core::kNegative
           : p == zk::core::kNegative ? zk::core::kPositive
                                      : p;
}

// The host's syntax tree of `text` with every comparison that the formula does not hold as a
// plain requirement given its registry through `__zk_polarity__(manager, polarity)`, which tells
// the registry where the comparison stands; the same rules as the native reading, plus the
// conditional expression, whose value is one of its branches. Null when no comparison needs it
// or the host cannot read the text (its `eval` then says why).
nb::object marked_tree(nb::handle text) {
    nb::object ast = nb::module_::import_("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(text, kSourceFile, "eval");
    } catch (nb::python_error &) {
        return nb::object();
    }
    nb::object call_t = ast.attr("Call"), attr_t = ast.attr("Attribute"), name_t = ast.attr("Name"),
               unary_t = ast.attr("UnaryOp"), invert_t = ast.attr("Invert"),
               list_t = ast.attr("List"), tuple_t = ast.attr("Tuple"),
               listcomp_t = ast.attr("ListComp"), ifexp_t = ast.attr("IfExp"),
               starred_t = ast.attr("Starred");
    std::unordered_map<PyObject *, uint8_t> polarity;
    auto of = [&](nb::handle n) {
        auto it = polarity.find(n.ptr());
        return it == polarity.end() ? zk::core::kBothPolarities : it->second;
    };
    nb::object body = tree.attr("body");
    polarity[body.ptr()] = zk::core::kPositive;
    std::vector<std::pair<nb::object, uint8_t>> sites;
    // Breadth first: every parent is met before its children.
    for (nb::handle node : ast.attr("walk")(body)) {
        uint8_t p = of(node);
        if (is_a(node, unary_t)) {
            if (is_a(node.attr("op"), invert_t)) polarity[node.attr("operand").ptr()] = flipped(p);
        } else if (is_a(node, list_t) || is_a(node, tuple_t)) {
            for (nb::handle e : node.attr("elts")) polarity[e.ptr()] = p;
        } else if (is_a(node, listcomp_t)) {
            polarity[node.attr("elt").ptr()] = p;
        } else if (is_a(node, ifexp_t)) {
            polarity[node.attr("body").ptr()] = p;
            polarity[node.attr("orelse").ptr()] = p;
        } else if (is_a(node, call_t)) {
            nb::object fn = node.attr("func");
            nb::object args = node.attr("args");
            bool plain = nb::len(nb::object(node.attr("keywords"))) == 0;
            for (nb::handle a : args) plain = plain && !is_a(a, starred_t);
            if (!plain || !is_a(fn, attr_t)) continue;
            if (name_is(fn, "attr", "to_bx")) {
                if (p != zk::core::kPositive && nb::len(args) == 1)
                    sites.emplace_back(nb::borrow(node), p);
                continue;
            }
            nb::object owner = fn.attr("value");
            if (!is_a(owner, name_t) || !name_is(owner, "id", "bx")) continue;
            size_t k = 0;
            for (nb::handle a : args) {
                uint8_t q = zk::core::kBothPolarities;
                if (name_is(fn, "attr", "and_s") || name_is(fn, "attr", "or_s") ||
                    name_is(fn, "attr", "and_"))
                    q = p;
                else if (name_is(fn, "attr", "impl_s"))
                    q = k == 0 ? flipped(p) : p;
                else if (name_is(fn, "attr", "ite_s"))
                    q = k == 0 ? zk::core::kBothPolarities : p;
                polarity[a.ptr()] = q;
                ++k;
            }
        }
    }
    if (sites.empty()) return nb::object();
    for (auto &[call, p] : sites) {
        nb::list args = nb::borrow<nb::list>(call.attr("args"));
        nb::list wrapped_args;
        wrapped_args.append(args[0]);
        wrapped_args.append(ast.attr("Constant")(nb::int_(p)));
        nb::object fn = name_t(kPolarityName, ast.attr("Load")());
        args[0] = call_t(fn, wrapped_args, nb::list());
    }
    ast.attr("fix_missing_locations")(tree);
    return tree;
}

// `__zk_polarity__(manager, polarity)`: tells an exact registry where the comparison it is about
// to encode stands, and gives it back.
nb::object tell_polarity(nb::handle manager, int polarity) {
    if (zk::core::Manager *mgr = zk::core::exact_manager(manager))
        mgr->polarity_ = static_cast<uint8_t>(polarity);
    return nb::borrow(manager);
}

}  // namespace

static nb::object eval_with_polarities(nb::handle text, nb::handle ns, nb::handle fallback_eval) {
    nb::object tree;
    if (PyUnicode_Check(text.ptr()) && PyDict_Check(ns.ptr())) tree = marked_tree(text);
    if (!tree.is_valid()) return fallback_eval(text, ns, ns);
    // Made once and kept for the life of the process, past the interpreter's own end.
    static nb::handle tell = nb::cpp_function(&tell_polarity).release();
    nb::object code = nb::module_::import_("builtins").attr("compile")(tree, kSourceFile, "eval");
    nb::str name(kPolarityName);
    nb::object previous = nb::borrow(PyDict_GetItemWithError(ns.ptr(), name.ptr()));
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyDict_SetItem(ns.ptr(), name.ptr(), tell.ptr()) < 0) throw nb::python_error();
    auto restore = [&] {
        if (previous.is_valid())
            PyDict_SetItem(ns.ptr(), name.ptr(), previous.ptr());
        else if (PyDict_DelItem(ns.ptr(), name.ptr()) < 0)
            PyErr_Clear();
    };
    try {
        nb::object r = fallback_eval(code, ns, ns);
        restore();
        return r;
    } catch (...) {
        restore();
        throw;
    }
}

bool formula_is_native(nb::handle text) {
    Program prog;
    return native_program(text, prog);
}

nb::object eval_formula(nb::handle text, nb::handle ns, nb::handle fallback_eval) {
    Program prog;
    if (!PyDict_CheckExact(ns.ptr()) || !native_program(text, prog))
        return eval_with_polarities(text, ns, fallback_eval);
    nb::str builtins_name(kBuiltinsName);
    // As `eval` does before it runs anything.
    PyObject *b = PyDict_GetItemWithError(ns.ptr(), builtins_name.ptr());
    if (!b) {
        if (PyErr_Occurred()) throw nb::python_error();
        if (PyDict_SetItem(ns.ptr(), builtins_name.ptr(), PyEval_GetBuiltins()) < 0)
            throw nb::python_error();
    }
    PyObject *r = Executor(prog, ns.ptr(), builtins_name.ptr()).run();
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void def_formula_eval(nb::module_ &m) {
    nb::object eval_fn = nb::module_::import_("builtins").attr("eval");
    m.def(
        "_eval_formula",
        [eval_fn](nb::object text, nb::object ns) { return eval_formula(text, ns, eval_fn); },
        nb::arg("text").none(), nb::arg("namespace").none());
    m.def(
        "_formula_is_native", [](nb::object text) { return formula_is_native(text); },
        nb::arg("text").none());
}

}  // namespace zk::encode
