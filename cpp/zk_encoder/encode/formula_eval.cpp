// Native evaluation of formula texts. A text is read completely before anything runs: when every
// piece of it is one of the forms below it is executed with the interpreter's own operations, in
// the interpreter's order and with its scoping; otherwise the interpreter's `eval` gets it as it
// came. The forms are those the expression language writes: names, decimal integers, None, True,
// False, unary + - ~, binary + - * **, parentheses and tuples, attribute access, calls with
// positional and starred list arguments, list displays and list comprehensions of plain `for`
// clauses.
#include "zk_encoder/encode/formula_eval.hpp"

#include <algorithm>
#include <unordered_map>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/module.hpp"
#include "zk_encoder/core/manager.hpp"

namespace zk::encode {

namespace {

// Deeper texts go to the interpreter, whose reading and compiling refuse very deep ones: a native
// evaluation must neither succeed where `eval` fails nor recurse without bound. Nesting counts
// brackets and prefix operators, height the whole tree (a chain of + counts one per operator).
constexpr int kMaxNesting = 100;
constexpr int kMaxHeight = 1000;
// The compiler walks the tree against the recursion limit scaled by this factor, from where the
// caller stands; what it spends beyond the tree's height stays well under the margin.
constexpr int kCompilerFrameScale = 3;
constexpr int kCompilerMargin = 50;
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

constexpr std::string_view kKeywords[] = {
    "False", "None",   "True",    "and",      "as",       "assert", "async", "await",
    "break", "class",  "continue", "def",     "del",      "elif",   "else",  "except",
    "finally", "for",  "from",    "global",   "if",       "import", "in",    "is",
    "lambda", "nonlocal", "not",  "or",       "pass",     "raise",  "return", "try",
    "while", "with",   "yield"};

// Names that mean something else outside the text's own frame: builtins that read or act on the
// calling frame (under `eval` that frame is the text's, here it would be the program's), and the
// name the compiler turns into a constant.
constexpr std::string_view kFrameNames[] = {"globals", "locals",     "vars",       "dir",
                                            "eval",    "exec",       "compile",    "__import__",
                                            "breakpoint", "super",   "__debug__"};

template <size_t N>
bool among(std::string_view name, const std::string_view (&table)[N]) {
    for (std::string_view k : table)
        if (k == name) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Reading.

enum class Tok : uint8_t {
    End, Name, Number, Plus, Minus, Tilde, Star, Power, LParen, RParen, LBracket, RBracket, Comma,
    Dot
};

struct Token {
    Tok kind;
    uint32_t pos;
    uint32_t len;
};

bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Blanks between tokens only: a tab, line break, comment or any character outside plain ASCII
// names, digits and the operators above sends the text to the interpreter.
bool tokenize(std::string_view s, std::vector<Token> &out) {
    size_t i = 0, n = s.size();
    auto push = [&](Tok kind, size_t start, size_t end) {
        out.push_back({kind, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
    };
    for (;;) {
        while (i < n && s[i] == ' ') ++i;
        if (i == n) {
            push(Tok::End, i, i);
            return true;
        }
        size_t start = i;
        char c = s[i];
        if (is_name_start(c)) {
            while (i < n && is_name_char(s[i])) ++i;
            push(Tok::Name, start, i);
            continue;
        }
        if (is_digit(c)) {
            while (i < n && is_digit(s[i])) ++i;
            // Leading zeros, floats, exponents, imaginaries, underscores, other bases.
            if (c == '0' && i - start > 1) return false;
            if (i < n && (is_name_char(s[i]) || s[i] == '.')) return false;
            push(Tok::Number, start, i);
            continue;
        }
        ++i;
        switch (c) {
            case '+': push(Tok::Plus, start, i); break;
            case '-': push(Tok::Minus, start, i); break;
            case '~': push(Tok::Tilde, start, i); break;
            case '*':
                if (i < n && s[i] == '*') {
                    ++i;
                    push(Tok::Power, start, i);
                } else {
                    push(Tok::Star, start, i);
                }
                break;
            case '(': push(Tok::LParen, start, i); break;
            case ')': push(Tok::RParen, start, i); break;
            case '[': push(Tok::LBracket, start, i); break;
            case ']': push(Tok::RBracket, start, i); break;
            case ',': push(Tok::Comma, start, i); break;
            case '.':
                // A float such as .5, or an ellipsis.
                if (i < n && (is_digit(s[i]) || s[i] == '.')) return false;
                push(Tok::Dot, start, i);
                break;
            default: return false;
        }
    }
}

enum class Kind : uint8_t {
    Const, Global, Local, Attr, Call, List, Tuple, ListComp, Binary, Unary
};
enum class BinOp : uint8_t { Add, Sub, Mul, Pow };
enum class UnOp : uint8_t { Neg, Pos, Invert };

// A call argument (aux: starred), a display item, or a comprehension clause (node: its iterable,
// aux: the slot of its target).
struct Item {
    int32_t node;
    int32_t aux;
};

struct Node {
    explicit Node(Kind k) : kind(k) {}

    Kind kind;
    uint8_t op = 0;
    bool starred = false;  // Call: some argument is starred
    int32_t a = -1;        // operand, object, callee or comprehension element
    int32_t b = -1;        // right operand
    int32_t up = 0;        // Local: how many comprehension scopes out
    int32_t slot = 0;      // Local: its slot there
    uint32_t first = 0;    // items
    uint32_t count = 0;
    int32_t slots = 0;   // ListComp: number of its local names
    int32_t depth = 1;   // height of the subtree
    // Call: whether it is a comparison's `.to_bx(...)`, and where the formula holds its result
    // (positive, negative or both, as the registry counts them).
    bool comparison = false;
    uint8_t polarity = zk::core::kBothPolarities;
    PyObject *obj = nullptr;  // Const: the value; Global, Local, Attr: the name
    std::string_view name;    // Global, Local: the name as written (only while reading)
};

struct Program {
    std::vector<Node> nodes;
    std::vector<Item> items;
    std::vector<std::string_view> targets;  // comprehension targets, while reading
    std::vector<nb::object> objects;        // owns every constant and name of the nodes
    int32_t root = -1;
};

class Parser {
  public:
    Parser(std::string_view src, const std::vector<Token> &toks, Program &prog)
        : src_(src), toks_(toks), prog_(prog) {}

    bool parse() {
        int32_t root = expr(0);
        if (root < 0 || peek().kind != Tok::End) return false;
        prog_.root = root;
        return true;
    }

  private:
    std::string_view src_;
    const std::vector<Token> &toks_;
    Program &prog_;
    size_t at_ = 0;

    const Token &peek() const { return toks_[at_]; }
    std::string_view text(const Token &t) const { return src_.substr(t.pos, t.len); }
    bool peek_word(std::string_view w) const {
        return peek().kind == Tok::Name && text(peek()) == w;
    }
    bool accept(Tok kind) {
        if (peek().kind != kind) return false;
        ++at_;
        return true;
    }

    int32_t add(Node node) {
        if (node.depth > kMaxHeight) return -1;
        prog_.nodes.push_back(node);
        return static_cast<int32_t>(prog_.nodes.size() - 1);
    }
    int32_t depth_of(int32_t n) const { return prog_.nodes[static_cast<size_t>(n)].depth; }
    Kind kind_of(int32_t n) const { return prog_.nodes[static_cast<size_t>(n)].kind; }

    PyObject *keep(PyObject *obj) {
        if (!obj) return nullptr;
        prog_.objects.push_back(nb::steal(obj));
        return obj;
    }
    PyObject *name_object(std::string_view s) {
        PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (o) PyUnicode_InternInPlace(&o);
        return keep(o);
    }

    int32_t with_items(Node node, const std::vector<Item> &items) {
        node.first = static_cast<uint32_t>(prog_.items.size());
        node.count = static_cast<uint32_t>(items.size());
        for (const Item &it : items) node.depth = std::max(node.depth, depth_of(it.node) + 1);
        int32_t n = add(node);
        if (n >= 0) prog_.items.insert(prog_.items.end(), items.begin(), items.end());
        return n;
    }

    int32_t binary(BinOp op, int32_t l, int32_t r) {
        Node node{Kind::Binary};
        node.op = static_cast<uint8_t>(op);
        node.a = l;
        node.b = r;
        node.depth = std::max(depth_of(l), depth_of(r)) + 1;
        return add(node);
    }

    int32_t expr(int d) {
        if (d > kMaxNesting) return -1;
        int32_t l = term(d);
        while (l >= 0 && (peek().kind == Tok::Plus || peek().kind == Tok::Minus)) {
            BinOp op = peek().kind == Tok::Plus ? BinOp::Add : BinOp::Sub;
            ++at_;
            int32_t r = term(d);
            if (r < 0) return -1;
            l = binary(op, l, r);
        }
        return l;
    }

    int32_t term(int d) {
        int32_t l = factor(d);
        while (l >= 0 && peek().kind == Tok::Star) {
            ++at_;
            int32_t r = factor(d);
            if (r < 0) return -1;
            l = binary(BinOp::Mul, l, r);
        }
        return l;
    }

    int32_t factor(int d) {
        if (d > kMaxNesting) return -1;
        Tok k = peek().kind;
        if (k == Tok::Plus || k == Tok::Minus || k == Tok::Tilde) {
            ++at_;
            int32_t o = factor(d + 1);
            if (o < 0) return -1;
            Node node{Kind::Unary};
            node.op = static_cast<uint8_t>(k == Tok::Minus  ? UnOp::Neg
                                           : k == Tok::Plus ? UnOp::Pos
                                                            : UnOp::Invert);
            node.a = o;
            node.depth = depth_of(o) + 1;
            return add(node);
        }
        int32_t base = primary(d);
        if (base < 0 || !accept(Tok::Power)) return base;
        int32_t exp = factor(d + 1);
        if (exp < 0) return -1;
        return binary(BinOp::Pow, base, exp);
    }

    int32_t primary(int d) {
        int32_t n = atom(d);
        while (n >= 0) {
            if (accept(Tok::Dot)) {
                if (peek().kind != Tok::Name || among(text(peek()), kKeywords)) return -1;
                Node node{Kind::Attr};
                node.a = n;
                node.obj = name_object(text(peek()));
                if (!node.obj) return -1;
                ++at_;
                node.depth = depth_of(n) + 1;
                n = add(node);
            } else if (accept(Tok::LParen)) {
                n = call(n, d + 1);
            } else {
                break;
            }
        }
        return n;
    }

    int32_t call(int32_t callee, int d) {
        // The compiler warns about calling what it sees is a literal (perhaps a missing comma),
        // and a warning can be an error: such calls are its to judge.
        Kind k = kind_of(callee);
        if (k != Kind::Global && k != Kind::Attr && k != Kind::Call) return -1;
        Node node{Kind::Call};
        node.a = callee;
        node.depth = depth_of(callee) + 1;
        std::vector<Item> args;
        while (!accept(Tok::RParen)) {
            bool starred = accept(Tok::Star);
            int32_t v = expr(d);
            if (v < 0) return -1;
            // Only a list can be starred: unpacking it runs no code and cannot fail.
            if (starred && kind_of(v) != Kind::List && kind_of(v) != Kind::ListComp) return -1;
            node.starred = node.starred || starred;
            args.push_back({v, starred ? 1 : 0});
            if (accept(Tok::Comma)) continue;
            if (peek().kind != Tok::RParen) return -1;
        }
        return with_items(node, args);
    }

    int32_t atom(int d) {
        const Token &t = peek();
        switch (t.kind) {
            case Tok::Name: return name(t);
            case Tok::Number: return number(t);
            case Tok::LParen: ++at_; return parenthesized(d + 1);
            case Tok::LBracket: ++at_; return bracketed(d + 1);
            default: return -1;
        }
    }

    int32_t name(const Token &t) {
        std::string_view s = text(t);
        ++at_;
        Node node{Kind::Const};
        if (s == "None" || s == "True" || s == "False") {
            node.obj = s == "None" ? Py_None : s == "True" ? Py_True : Py_False;
            keep(nb::borrow(node.obj).release().ptr());
            return add(node);
        }
        if (among(s, kKeywords) || among(s, kFrameNames)) return -1;
        node.kind = Kind::Global;
        node.name = s;
        node.obj = name_object(s);
        return node.obj ? add(node) : -1;
    }

    int32_t number(const Token &t) {
        std::string digits(text(t));
        ++at_;
        PyObject *v;
        if (digits.size() <= kShortIntDigits) {
            v = PyLong_FromLongLong(std::strtoll(digits.c_str(), nullptr, 10));
        } else {
            // The interpreter's own conversion, with its limit on the number of digits: a literal
            // it refuses goes to `eval`, which refuses it too.
            v = PyLong_FromString(digits.c_str(), nullptr, 10);
            if (!v) PyErr_Clear();
        }
        Node node{Kind::Const};
        node.obj = keep(v);
        return node.obj ? add(node) : -1;
    }

    int32_t parenthesized(int d) {
        Node node{Kind::Tuple};
        if (accept(Tok::RParen)) return with_items(node, {});
        int32_t e = expr(d);
        if (e < 0) return -1;
        if (accept(Tok::RParen)) return e;
        if (!accept(Tok::Comma)) return -1;
        std::vector<Item> items{{e, 0}};
        while (!accept(Tok::RParen)) {
            int32_t v = expr(d);
            if (v < 0) return -1;
            items.push_back({v, 0});
            if (accept(Tok::Comma)) continue;
            if (peek().kind != Tok::RParen) return -1;
        }
        return with_items(node, items);
    }

    int32_t bracketed(int d) {
        Node node{Kind::List};
        if (accept(Tok::RBracket)) return with_items(node, {});
        int32_t e = expr(d);
        if (e < 0) return -1;
        if (peek_word(kFor)) return comprehension(e, d);
        std::vector<Item> items{{e, 0}};
        while (!accept(Tok::RBracket)) {
            if (!accept(Tok::Comma)) return -1;
            if (accept(Tok::RBracket)) break;
            int32_t v = expr(d);
            if (v < 0) return -1;
            items.push_back({v, 0});
        }
        return with_items(node, items);
    }

    int32_t comprehension(int32_t elt, int d) {
        Node node{Kind::ListComp};
        node.a = elt;
        std::vector<Item> clauses;
        while (peek_word(kFor)) {
            ++at_;
            const Token &target = peek();
            if (target.kind != Tok::Name) return -1;
            std::string_view s = text(target);
            if (among(s, kKeywords) || among(s, kFrameNames)) return -1;
            ++at_;
            if (!peek_word(kIn)) return -1;
            ++at_;
            int32_t it = expr(d);
            if (it < 0) return -1;
            clauses.push_back({it, static_cast<int32_t>(prog_.targets.size())});
            prog_.targets.push_back(s);
        }
        if (!accept(Tok::RBracket)) return -1;
        // The loops nest inside the comprehension's frame, one level per clause.
        node.depth = depth_of(elt) + static_cast<int32_t>(clauses.size());
        return with_items(node, clauses);
    }
};

// Gives every name its scope as the compiler would: a comprehension's targets are its locals; its
// first iterable belongs to the enclosing scope, everything else to its own; a name that no
// enclosing comprehension binds is a global.
class Resolver {
  public:
    explicit Resolver(Program &prog) : prog_(prog) {}

    void resolve(int32_t n) {
        Node &node = prog_.nodes[static_cast<size_t>(n)];
        switch (node.kind) {
            case Kind::Const: return;
            case Kind::Global:
                for (size_t k = scopes_.size(); k-- > 0;) {
                    const std::vector<std::string_view> &names = scopes_[k];
                    for (size_t s = 0; s < names.size(); ++s) {
                        if (names[s] != node.name) continue;
                        node.kind = Kind::Local;
                        node.up = static_cast<int32_t>(scopes_.size() - 1 - k);
                        node.slot = static_cast<int32_t>(s);
                        return;
                    }
                }
                return;
            case Kind::Local: return;
            case Kind::Attr:
            case Kind::Unary: resolve(node.a); return;
            case Kind::Binary:
                resolve(node.a);
                resolve(node.b);
                return;
            case Kind::Call:
                resolve(node.a);
                resolve_items(node.first, node.count);
                return;
            case Kind::List:
            case Kind::Tuple: resolve_items(node.first, node.count); return;
            case Kind::ListComp: comprehension(n); return;
        }
    }

  private:
    Program &prog_;
    std::vector<std::vector<std::string_view>> scopes_;

    void resolve_items(uint32_t first, uint32_t count) {
        for (uint32_t k = 0; k < count; ++k) resolve(prog_.items[first + k].node);
    }

    void comprehension(int32_t n) {
        uint32_t first = prog_.nodes[static_cast<size_t>(n)].first;
        uint32_t count = prog_.nodes[static_cast<size_t>(n)].count;
        resolve(prog_.items[first].node);
        std::vector<std::string_view> names;
        for (uint32_t k = 0; k < count; ++k) {
            Item &clause = prog_.items[first + k];
            std::string_view target = prog_.targets[static_cast<size_t>(clause.aux)];
            size_t slot = 0;
            while (slot < names.size() && names[slot] != target) ++slot;
            if (slot == names.size()) names.push_back(target);
            clause.aux = static_cast<int32_t>(slot);
        }
        prog_.nodes[static_cast<size_t>(n)].slots = static_cast<int32_t>(names.size());
        scopes_.push_back(std::move(names));
        for (uint32_t k = 1; k < count; ++k) resolve(prog_.items[first + k].node);
        resolve(prog_.nodes[static_cast<size_t>(n)].a);
        scopes_.pop_back();
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
        for (Node &n : prog_.nodes) n.polarity = zk::core::kBothPolarities;
        node(prog_.root).polarity = zk::core::kPositive;
        for (int32_t n = prog_.root; n >= 0; --n) spread(n);
    }

  private:
    Program &prog_;

    Node &node(int32_t n) { return prog_.nodes[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items[k]; }

    static uint8_t flip(uint8_t p) {
        return p == zk::core::kPositive   ? zk::core::kNegative
               : p == zk::core::kNegative ? zk::core::kPositive
                                          : p;
    }

    static bool named(const Node &nd, const char *name) {
        return nd.obj && _PyUnicode_EqualToASCIIString(nd.obj, name);
    }

    // The name of the engine connective a call's callee names ("and_s" for bx.and_s), or null.
    const char *connective(const Node &callee) {
        static const char *const kNames[] = {"and_s", "or_s", "and_", "xor_s",
                                             "eq_s",  "impl_s", "ite_s"};
        if (callee.kind != Kind::Attr) return nullptr;
        const Node &owner = node(callee.a);
        if (owner.kind != Kind::Global || !named(owner, "bx")) return nullptr;
        for (const char *name : kNames)
            if (named(callee, name)) return name;
        return nullptr;
    }

    void spread(int32_t n) {
        Node &nd = node(n);
        uint8_t p = nd.polarity;
        switch (nd.kind) {
            case Kind::Unary:
                node(nd.a).polarity =
                    static_cast<UnOp>(nd.op) == UnOp::Invert ? flip(p) : zk::core::kBothPolarities;
                return;
            case Kind::List:
            case Kind::Tuple:
                for (uint32_t k = 0; k < nd.count; ++k) node(item(nd.first + k).node).polarity = p;
                return;
            case Kind::ListComp:
                node(nd.a).polarity = p;
                return;
            case Kind::Call: {
                const Node &callee = node(nd.a);
                if (callee.kind == Kind::Attr && named(callee, "to_bx")) nd.comparison = true;
                const char *c = connective(callee);
                if (!c || nd.starred) return;
                std::string_view name(c);
                for (uint32_t k = 0; k < nd.count; ++k) {
                    uint8_t q = zk::core::kBothPolarities;
                    if (name == "and_s" || name == "or_s" || name == "and_")
                        q = p;
                    else if (name == "impl_s")
                        q = k == 0 ? flip(p) : p;
                    else if (name == "ite_s")
                        q = k == 0 ? zk::core::kBothPolarities : p;
                    node(item(nd.first + k).node).polarity = q;
                }
                return;
            }
            default: return;
        }
    }
};

// Reads `text` into `prog`; false, with no Python error set, when it is not of the native forms.
bool read_program(nb::handle text, Program &prog) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    std::string_view src(utf8, static_cast<size_t>(size));
    std::vector<Token> toks;
    if (!tokenize(src, toks)) return false;
    Parser parser(src, toks, prog);
    if (!parser.parse()) {
        // Allocation failures while reading leave the decision to `eval` as well.
        PyErr_Clear();
        return false;
    }
    Resolver(prog).resolve(prog.root);
    PolarityPass(prog).run();
    return true;
}

// Whether `eval` would compile a tree of this height where the caller stands now.
bool compiler_accepts(const Program &prog) {
    long long budget = (static_cast<long long>(Py_GetRecursionLimit()) -
                        PyThreadState_Get()->recursion_depth) * kCompilerFrameScale;
    return prog.nodes[static_cast<size_t>(prog.root)].depth + kCompilerMargin < budget;
}

bool native_program(nb::handle text, Program &prog) {
    return read_program(text, prog) && compiler_accepts(prog);
}

// ---------------------------------------------------------------------------------------------
// Execution. Every step returns a new reference, or null with the Python error set.

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
        for (PyObject *b : builtins_) Py_DECREF(b);
    }

    PyObject *run() {
        PyObject *b = builtins_of(ns_, builtins_name_, nullptr);
        if (!b) return nullptr;
        builtins_.push_back(b);
        if (Py_EnterRecursiveCall("")) return nullptr;
        PyObject *r = eval(prog_.root);
        Py_LeaveRecursiveCall();
        if (!r) _PyTraceback_Add(kModuleFrame, kSourceFile, 1);
        return r;
    }

  private:
    const Program &prog_;
    PyObject *ns_;
    PyObject *builtins_name_;
    std::vector<PyObject *> locals_;   // the slots of every comprehension frame, innermost last
    std::vector<size_t> bases_;        // where each comprehension frame's slots start
    std::vector<PyObject *> builtins_;  // per frame: the module frame, then each comprehension

    const Node &node(int32_t n) const { return prog_.nodes[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items[k]; }

    PyObject *eval(int32_t n) {
        const Node &nd = node(n);
        switch (nd.kind) {
            case Kind::Const: Py_INCREF(nd.obj); return nd.obj;
            case Kind::Global: return global(nd.obj);
            case Kind::Local: return local(nd);
            case Kind::Attr: {
                PyObject *o = eval(nd.a);
                if (!o) return nullptr;
                PyObject *r = PyObject_GetAttr(o, nd.obj);
                Py_DECREF(o);
                return r;
            }
            case Kind::Unary: {
                PyObject *o = eval(nd.a);
                if (!o) return nullptr;
                PyObject *r;
                switch (static_cast<UnOp>(nd.op)) {
                    case UnOp::Neg: r = PyNumber_Negative(o); break;
                    case UnOp::Pos: r = PyNumber_Positive(o); break;
                    default: r = PyNumber_Invert(o); break;
                }
                Py_DECREF(o);
                return r;
            }
            case Kind::Binary: {
                PyObject *l = eval(nd.a);
                if (!l) return nullptr;
                PyObject *rhs = eval(nd.b);
                if (!rhs) {
                    Py_DECREF(l);
                    return nullptr;
                }
                PyObject *r;
                switch (static_cast<BinOp>(nd.op)) {
                    case BinOp::Add: r = PyNumber_Add(l, rhs); break;
                    case BinOp::Sub: r = PyNumber_Subtract(l, rhs); break;
                    case BinOp::Mul: r = PyNumber_Multiply(l, rhs); break;
                    default: r = PyNumber_Power(l, rhs, Py_None); break;
                }
                Py_DECREF(l);
                Py_DECREF(rhs);
                return r;
            }
            case Kind::Call: return call(nd);
            case Kind::List:
            case Kind::Tuple: return display(nd);
            case Kind::ListComp: return comprehension(nd);
        }
        return nullptr;
    }

    // At module level the name is looked up in the locals, then the globals (the same dict),
    // inside a comprehension in the globals alone; then in the frame's builtins.
    PyObject *global(PyObject *name) {
        PyObject *v = PyDict_GetItemWithError(ns_, name);
        if (!v && !PyErr_Occurred() && bases_.empty()) v = PyDict_GetItemWithError(ns_, name);
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
        size_t base = bases_[bases_.size() - 1 - static_cast<size_t>(nd.up)];
        PyObject *v = locals_[base + static_cast<size_t>(nd.slot)];
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (nd.up == 0)
            raise_unbound(PyExc_UnboundLocalError, kUnboundLocalFormat, nd.obj);
        else
            raise_unbound(PyExc_NameError, kUnboundFreeFormat, nd.obj);
        return nullptr;
    }

    // Evaluates the items first..first+count into `out`; on failure releases what it made.
    bool eval_items(uint32_t first, uint32_t count, std::vector<PyObject *> &out) {
        out.reserve(count);
        for (uint32_t k = 0; k < count; ++k) {
            PyObject *v = eval(item(first + k).node);
            if (!v) {
                for (PyObject *o : out) Py_DECREF(o);
                out.clear();
                return false;
            }
            out.push_back(v);
        }
        return true;
    }

    PyObject *display(const Node &nd) {
        std::vector<PyObject *> values;
        if (!eval_items(nd.first, nd.count, values)) return nullptr;
        Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
        PyObject *r = nd.kind == Kind::List ? PyList_New(n) : PyTuple_New(n);
        if (!r) {
            for (PyObject *o : values) Py_DECREF(o);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (nd.kind == Kind::List)
                PyList_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
            else
                PyTuple_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
        }
        return r;
    }

    PyObject *call(const Node &nd) {
        PyObject *fn = eval(nd.a);
        if (!fn) return nullptr;
        std::vector<PyObject *> args;
        if (!eval_items(nd.first, nd.count, args)) {
            Py_DECREF(fn);
            return nullptr;
        }
        // A comparison that the formula does not hold as a plain requirement is told so through
        // the registry it is encoded with.
        zk::core::Manager *mgr = nullptr;
        uint8_t saved = zk::core::kPositive;
        if (nd.comparison && nd.polarity != zk::core::kPositive && args.size() == 1) {
            mgr = zk::core::exact_manager(args[0]);
            if (mgr) {
                saved = mgr->polarity_;
                mgr->polarity_ = nd.polarity;
            }
        }
        PyObject *r;
        if (!nd.starred) {
            r = PyObject_Vectorcall(fn, args.data(), args.size(), nullptr);
        } else {
            // The starred items are lists: their items take their places.
            std::vector<PyObject *> flat;
            for (uint32_t k = 0; k < nd.count; ++k) {
                PyObject *v = args[k];
                if (!item(nd.first + k).aux) {
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

    // As the compiled comprehension runs: the frame's builtins are fixed when its function is
    // made, the first iterable is evaluated and iterated in the enclosing frame, the rest in the
    // comprehension's own.
    PyObject *comprehension(const Node &nd) {
        PyObject *b = builtins_of(ns_, builtins_name_, builtins_.back());
        if (!b) return nullptr;
        PyObject *iterable = eval(item(nd.first).node);
        PyObject *it = iterable ? PyObject_GetIter(iterable) : nullptr;
        Py_XDECREF(iterable);
        if (!it || Py_EnterRecursiveCall("")) {
            Py_XDECREF(it);
            Py_DECREF(b);
            return nullptr;
        }
        size_t base = locals_.size();
        locals_.resize(base + static_cast<size_t>(nd.slots), nullptr);
        bases_.push_back(base);
        builtins_.push_back(b);
        PyObject *result = PyList_New(0);
        bool ok = result && loop(nd, 0, it, result);
        Py_DECREF(it);
        builtins_.pop_back();
        bases_.pop_back();
        for (size_t k = base; k < locals_.size(); ++k) {
            PyObject *v = locals_[k];
            locals_[k] = nullptr;
            Py_XDECREF(v);
        }
        locals_.resize(base);
        Py_DECREF(b);
        Py_LeaveRecursiveCall();
        if (!ok) {
            Py_XDECREF(result);
            _PyTraceback_Add(kListcompFrame, kSourceFile, 1);
            return nullptr;
        }
        return result;
    }

    // The loop of clause k over the iterator `it`, the later clauses nested inside it.
    bool loop(const Node &nd, uint32_t k, PyObject *it, PyObject *result) {
        const Item &clause = item(nd.first + k);
        for (;;) {
            PyObject *v = PyIter_Next(it);
            if (!v) return !PyErr_Occurred();
            PyObject *&slot = locals_[bases_.back() + static_cast<size_t>(clause.aux)];
            PyObject *old = slot;
            slot = v;
            Py_XDECREF(old);
            if (k + 1 < nd.count) {
                PyObject *iterable = eval(item(nd.first + k + 1).node);
                if (!iterable) return false;
                PyObject *inner = PyObject_GetIter(iterable);
                Py_DECREF(iterable);
                if (!inner) return false;
                bool ok = loop(nd, k + 1, inner, result);
                Py_DECREF(inner);
                if (!ok) return false;
            } else {
                PyObject *e = eval(nd.a);
                if (!e) return false;
                int r = PyList_Append(result, e);
                Py_DECREF(e);
                if (r < 0) return false;
            }
            // The interpreter looks at pending signals at every jump back to the loop's head.
            if (PyErr_CheckSignals() < 0) return false;
        }
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
    return PyUnicode_Check(v.ptr()) && _PyUnicode_EqualToASCIIString(v.ptr(), value);
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
    nb::object call_t = ast.attr("Call"), attr_t = ast.attr("Attribute"),
               name_t = ast.attr("Name"), unary_t = ast.attr("UnaryOp"),
               invert_t = ast.attr("Invert"), list_t = ast.attr("List"),
               tuple_t = ast.attr("Tuple"), listcomp_t = ast.attr("ListComp"),
               ifexp_t = ast.attr("IfExp"), starred_t = ast.attr("Starred");
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
                if (p != zk::core::kPositive && nb::len(args) == 1) sites.emplace_back(nb::borrow(node), p);
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
    static nb::object tell = nb::cpp_function(&tell_polarity);
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
