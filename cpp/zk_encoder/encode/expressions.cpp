// zk_encoder.encode.expressions: the expression language. Every operator and constructor joins
// its operands' formula texts by a fixed template and evaluates nothing; the pseudo-Boolean model
// evaluates the texts later, in a namespace that binds the names they call (bx, pb, FormulaPB,
// Sum, manager, families and indexes), or hands them to the engine's formula encoder unchanged.
#include "zk_encoder/encode/expressions.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/integers.hpp"
#include "common/logging.hpp"
#include "common/pyclass.hpp"
#include "texts/expression_reader.hpp"

namespace zk::encode {

namespace {

// Messages of refused operands.
constexpr const char *kLeftNotExpression =
    "Type 'Expression' is expected for left side of expression";
constexpr const char *kNotExpressionOrInt = "Type 'Expression' or 'int' is expected for expression";
constexpr const char *kLeftNotInt = "Type 'int' is expected for left side of expression";
constexpr const char *kOperandNotExpression =
    "Type 'Expression' is expected for variable 'expression'";
constexpr const char *kItemsNotExpressions =
    "Variable 'expressions' must contain only objects of type 'Expression'";
constexpr const char *kImplicationNotExpressions =
    "Type 'Expression' is expected for variables 'if_expr' and 'then_expr'";
constexpr const char *kIfThenElseNotExpressions =
    "Type 'Expression' is expected for variables 'if_expr', 'then_expr' and 'else_expr'";
constexpr const char *kNotSequence = "Use an iterable sequence as {} input argument";
constexpr const char *kEmptySequence = "The input sequence has zero length";
// A chained comparison such as 1 <= s <= 2 is read by the host as (1 <= s) and (s <= 2): the
// truth test of the first formula would decide, silently, that only the second bound counts.
constexpr const char *kNoTruthValue =
    "A Boolean formula has no truth value (a chained comparison such as 1 <= x + y <= 2 keeps "
    "only its last bound): write the two bounds as two constraints or join them with '&'";

// Suffixes that turn a bare variable reference into a term node or an engine Boolean variable.
constexpr const char *kToPb = ".to_pb()";
constexpr const char *kToBx = ".to_bx()";

// Heads of the n-ary texts.
constexpr const char *kSumHead = "Sum(*[";
constexpr const char *kAndHead = "bx.and_s([";
constexpr const char *kOrHead = "bx.or_s([";
constexpr const char *kXorHead = "bx.xor_s([";
constexpr const char *kEqHead = "bx.eq_s([";
constexpr const char *kImplHead = "bx.impl_s(";
constexpr const char *kIteHead = "bx.ite_s(";
constexpr const char *kListClose = "])";
constexpr const char *kItemSep = ", ";

constexpr const char *kOneText = "bx.one()";
constexpr const char *kZeroText = "bx.zero()";

// The comparison texts: "FormulaPB(" term kLeq/kGeq/kBoth bound kToBxManager.
constexpr const char *kFormulaPbOpen = "FormulaPB(";
constexpr const char *kLeq = ", pb.Comparator_type.LEQ, ";
constexpr const char *kGeq = ", pb.Comparator_type.GEQ, ";
constexpr const char *kBoth = ", pb.Comparator_type.BOTH, ";
constexpr const char *kToBxManager = ").to_bx(manager)";
constexpr const char *kMaxsatMiddle = ", None, None).to_maxsat(manager, ";

constexpr const char *kPowerOp = " ** ";

// The module's globals: the names the module's code refers to (Expression, VariableProxy,
// Integral, tp, log_e, log_w) are read from them at each call, as module-level code reads them.
// The logging functions among them come from the module's star-import of the logger: importing
// the logger module again at a call would run its body again whenever the host's registry no
// longer holds it.
ModuleGlobals g_module;

bool is_expression(nb::handle obj) { return nb::isinstance(obj, g_module.get("Expression")); }

bool is_integral(nb::handle obj) {
    // int and bool are registered Integral types; only other types need the ABC's test.
    return PyLong_Check(obj.ptr()) || nb::isinstance(obj, g_module.get("Integral"));
}

// ---------------------------------------------------------------------------------------------
// Texts are assembled as UTF-8. Python text may hold lone surrogates, which strict UTF-8 refuses,
// so those pass through as their surrogate code units and come back unchanged.

void append_unicode(std::string &out, PyObject *text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data) {
        out.append(data, static_cast<size_t>(size));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes.is_valid()) throw nb::python_error();
    out.append(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str to_str(const std::string &text) {
    PyObject *s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// str(obj): the plain text of an expression.
void append_plain(std::string &out, nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    append_unicode(out, s.ptr());
}

nb::str format_value(nb::handle obj) { return zk::format_plain(obj); }

// format(obj, ''): how values (numbers, flags, ranges, index symbols) are written into texts.
void append_value(std::string &out, nb::handle obj) {
    append_unicode(out, format_value(obj).ptr());
}

std::string value_text(nb::handle obj) {
    std::string out;
    append_value(out, obj);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Texts in pieces.

struct TextRope {
    struct Piece {
        std::string literal_;
        nb::object text_;                       // a finished str
        std::shared_ptr<const TextRope> rope_;  // an operand's text still in pieces
    };
    std::vector<Piece> pieces_;
    size_t size_ = 0;  // characters, to reserve the written-out text

    TextRope() = default;
    TextRope(const TextRope &) = delete;
    TextRope &operator=(const TextRope &) = delete;

    // A chain of a million operators nests a million ropes: they are released one after the
    // other, not recursively.
    ~TextRope() {
        std::vector<std::shared_ptr<const TextRope>> pending;
        for (Piece &p : pieces_)
            if (p.rope_) pending.push_back(std::move(p.rope_));
        while (!pending.empty()) {
            std::shared_ptr<const TextRope> r = std::move(pending.back());
            pending.pop_back();
            if (r.use_count() == 1) {
                for (Piece &p : const_cast<TextRope *>(r.get())->pieces_)
                    if (p.rope_) pending.push_back(std::move(p.rope_));
            }
        }
    }
};

// The collector's view of a text in pieces: it holds only finished texts, which close no cycle,
// and is let go when a cycle through its expression is broken.
static int gc_visit(const std::shared_ptr<const TextRope> &, visitproc, void *) { return 0; }
static void gc_clear(std::shared_ptr<const TextRope> &rope) { rope.reset(); }

namespace {

size_t saturating_add(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

// The text of a rope, written out once; a shared piece is written wherever it stands.
nb::object write_out(const TextRope &root) {
    std::string out;
    if (root.size_ < (size_t(1) << 32)) out.reserve(root.size_);
    std::vector<std::pair<const TextRope *, size_t>> stack{{&root, 0}};
    while (!stack.empty()) {
        const TextRope *r = stack.back().first;
        size_t k = stack.back().second;
        if (k == r->pieces_.size()) {
            stack.pop_back();
            continue;
        }
        ++stack.back().second;
        const TextRope::Piece &p = r->pieces_[k];
        if (p.rope_)
            stack.emplace_back(p.rope_.get(), 0);
        else if (p.text_.is_valid())
            append_unicode(out, p.text_.ptr());
        else
            out += p.literal_;
    }
    return to_str(out);
}

// The classes this module made: their texts are read without a call through the host.
std::vector<PyTypeObject *> g_own_types;

bool own_type(nb::handle obj) {
    for (PyTypeObject *t : g_own_types)
        if (Py_TYPE(obj.ptr()) == t) return true;
    return false;
}

// The text of an expression, written out on first reading.
const nb::object &text_of(Expression &e) {
    if (!e.expr_.is_valid()) {
        e.expr_ = e.rope_ ? write_out(*e.rope_) : nb::str("");
        e.rope_.reset();
    }
    return e.expr_;
}

// A text being assembled.
class Text {
  public:
    Text() : rope_(std::make_shared<TextRope>()) {}
    Text(const char *s) : Text() { *this += s; }

    Text &operator+=(const char *s) { return literal(s, std::strlen(s)); }
    Text &operator+=(const std::string &s) { return literal(s.data(), s.size()); }

    void text(nb::object s) {
        rope_->size_ =
            saturating_add(rope_->size_, static_cast<size_t>(PyUnicode_GET_LENGTH(s.ptr())));
        rope_->pieces_.push_back({std::string(), std::move(s), nullptr});
    }

    void rope(std::shared_ptr<const TextRope> r) {
        rope_->size_ = saturating_add(rope_->size_, r->size_);
        rope_->pieces_.push_back({std::string(), nb::object(), std::move(r)});
    }

    std::shared_ptr<const TextRope> finish() { return std::move(rope_); }

  private:
    std::shared_ptr<TextRope> rope_;

    Text &literal(const char *s, size_t n) {
        rope_->size_ = saturating_add(rope_->size_, n);
        if (rope_->pieces_.empty() || rope_->pieces_.back().text_.is_valid() ||
            rope_->pieces_.back().rope_)
            rope_->pieces_.push_back({std::string(), nb::object(), nullptr});
        rope_->pieces_.back().literal_.append(s, n);
        return *this;
    }
};

// str(obj) into a text under assembly: an expression of this module's own classes gives its
// pieces or its finished text as they are; anything else is asked through the host.
void append_plain(Text &out, nb::handle obj) {
    if (own_type(obj)) {
        Expression &e = *nb::inst_ptr<Expression>(obj);
        if (!e.expr_.is_valid() && e.rope_) {
            out.rope(e.rope_);
            return;
        }
        if (e.expr_.is_valid() && PyUnicode_CheckExact(e.expr_.ptr())) {
            out.text(e.expr_);
            return;
        }
    }
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    out.text(s);
}

void append_value(Text &out, nb::handle obj) { out.text(format_value(obj)); }

// The position rule: only a bare variable reference gets a suffix; any other operand is embedded
// whole with its own text.
template <typename Out>
void append_position(Out &out, nb::handle expr, const char *suffix) {
    if (nb::isinstance(expr, g_module.get("VariableProxy"))) {
        append_value(out, expr);
        out += suffix;
    } else {
        append_plain(out, expr);
    }
}

void append_pb(Text &out, nb::handle expr) { append_position(out, expr, kToPb); }
void append_bx(Text &out, nb::handle expr) { append_position(out, expr, kToBx); }
void append_pb(std::string &out, nb::handle expr) { append_position(out, expr, kToPb); }
void append_bx(std::string &out, nb::handle expr) { append_position(out, expr, kToBx); }

using AppendFn = void (*)(Text &, nb::handle);

nb::object flag(bool soft) { return nb::borrow(soft ? Py_True : Py_False); }

// Every operator result is a plain Expression, whatever the operands' classes.
nb::object make_expression(Text &text, bool soft) {
    return nb::cast(Expression(text.finish(), flag(soft)));
}

nb::object make_expression(const std::string &text, bool soft) {
    return nb::cast(Expression(to_str(text), flag(soft)));
}

// ---------------------------------------------------------------------------------------------
// Operators of Expression.

bool looser_than_product(std::string_view text);

nb::object binary_term(nb::handle self, nb::handle other, const char *op, bool wrap_right) {
    if (!is_expression(other))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kLeftNotExpression);
    Text t;
    append_pb(t, self);
    t += op;
    if (wrap_right) t += "(";
    append_pb(t, other);
    if (wrap_right) t += ")";
    return make_expression(t, true);
}

nb::object op_add(nb::handle self, nb::handle other) {
    return binary_term(self, other, " + ", false);
}

// The subtrahend is parenthesised so that a compound one is subtracted as a whole.
nb::object op_sub(nb::handle self, nb::handle other) {
    return binary_term(self, other, " - ", true);
}

nb::object op_mul(nb::handle self, nb::handle other) {
    Text t;
    if (is_integral(other)) {
        append_value(t, other);
        t += " * (";
        append_pb(t, self);
    } else if (is_expression(other)) {
        // A compound left operand is kept whole: (a + b) * c must not read a + (b * c).
        std::string left;
        append_plain(left, self);
        if (looser_than_product(left)) {
            t += "(";
            t += left;
            t += ")";
        } else {
            t += left;
        }
        t += " * (";
        append_pb(t, other);
    } else {
        g_module.raise_logged(nb::handle(PyExc_TypeError), kNotExpressionOrInt);
    }
    t += ")";
    return make_expression(t, true);
}

// Looked up on self, so that a subclass's own __mul__ serves the reflected form too.
nb::object op_rmul(nb::handle self, nb::handle other) { return self.attr("__mul__")(other); }

nb::object compare(nb::handle self, nb::handle other, const char *comparator) {
    if (!is_integral(other)) g_module.raise_logged(nb::handle(PyExc_TypeError), kLeftNotInt);
    Text t = kFormulaPbOpen;
    append_pb(t, self);
    t += comparator;
    append_value(t, other);
    t += kToBxManager;
    return make_expression(t, false);
}

nb::object op_le(nb::handle self, nb::handle other) { return compare(self, other, kLeq); }
nb::object op_ge(nb::handle self, nb::handle other) { return compare(self, other, kGeq); }
nb::object op_eq(nb::handle self, nb::handle other) { return compare(self, other, kBoth); }

nb::object connective(nb::handle self, nb::handle other, const char *head) {
    if (!is_expression(other))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kLeftNotExpression);
    Text t = head;
    append_bx(t, self);
    t += kItemSep;
    append_bx(t, other);
    t += kListClose;
    return make_expression(t, false);
}

nb::object op_and(nb::handle self, nb::handle other) { return connective(self, other, kAndHead); }
nb::object op_or(nb::handle self, nb::handle other) { return connective(self, other, kOrHead); }
nb::object op_xor(nb::handle self, nb::handle other) { return connective(self, other, kXorHead); }

nb::object op_invert(nb::handle self) {
    Text t = "~(";
    append_bx(t, self);
    t += ")";
    return make_expression(t, false);
}

// Terms (and the constants) stay true in a truth test; only Boolean formulas refuse one.
bool truth_value(const Expression &e) {
    int soft = PyObject_IsTrue(e.soft_.ptr());
    if (soft < 0) throw nb::python_error();
    if (soft == 0) g_module.raise_logged(nb::handle(PyExc_TypeError), kNoTruthValue);
    return true;
}

nb::object maxsat(nb::handle self, nb::handle minimization) {
    Text t = kFormulaPbOpen;
    append_pb(t, self);
    t += kMaxsatMiddle;
    append_value(t, minimization);
    t += ")";
    return make_expression(t, true);
}

// ---------------------------------------------------------------------------------------------
// Constructor classes.

// The values of a keyword range, read as the model reads for-all values: a sequence of integers
// that are not all plain ints (booleans, a numpy array, numpy integers) would not read back as
// the same index values from its text form, so it is written as the list, or tuple, of their plain
// ints. Anything else (a range, a text, ...) is written as it formats.
void append_range(std::string &out, nb::handle value) {
    zk::PlainInts ints = zk::plain_ints(value);
    append_value(out, ints.values_.is_valid() ? nb::handle(ints.values_) : value);
}

// Sum, And, Or, Xor: one list comprehension whose for clauses follow the keywords in call order,
// so the first keyword is the outermost loop. The blank before "])" stays without keywords.
template <typename T>
void init_indexed(T *self, nb::handle expr, const nb::kwargs &indexes, const char *head,
                  AppendFn append_operand, bool soft) {
    if (!is_expression(expr))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kOperandNotExpression);
    std::string clauses;
    bool first = true;
    for (auto [name, value] : indexes) {
        if (!first) clauses += " ";
        first = false;
        clauses += "for ";
        append_plain(clauses, name);
        clauses += " in ";
        append_range(clauses, value);
    }
    Text t = head;
    append_operand(t, expr);
    t += " ";
    t += clauses;
    t += kListClose;
    new (self) T(t.finish(), flag(soft));
}

// SumIt, AndIt, OrIt, XorIt. Only SumIt logs its refusal of a non-sequence.
template <typename T>
void init_sequence(T *self, nb::handle expressions, const char *class_name, const char *head,
                   AppendFn append_item, bool soft, bool log_not_sequence) {
    if (!nb::isinstance(expressions, g_module.get("tp").attr("Sequence"))) {
        std::string msg = zk::format_message(kNotSequence, class_name);
        if (log_not_sequence) g_module.raise_logged(nb::handle(PyExc_TypeError), msg);
        zk::raise_plain(PyExc_TypeError, msg);
    }
    Py_ssize_t length = PyObject_Length(expressions.ptr());
    if (length < 0) throw nb::python_error();
    if (length == 0) g_module.log("log_w", kEmptySequence);
    for (nb::handle item : expressions) {
        if (!is_expression(item))
            g_module.raise_logged(nb::handle(PyExc_TypeError), kItemsNotExpressions);
    }
    Text t = head;
    bool first = true;
    for (nb::handle item : expressions) {
        if (!first) t += kItemSep;
        first = false;
        append_item(t, item);
    }
    t += kListClose;
    new (self) T(t.finish(), flag(soft));
}

void init_equiv(Equiv *self, const nb::args &expressions) {
    for (nb::handle e : expressions) {
        if (!is_expression(e))
            g_module.raise_logged(nb::handle(PyExc_TypeError), kItemsNotExpressions);
    }
    Text t = kEqHead;
    bool first = true;
    for (nb::handle e : expressions) {
        if (!first) t += kItemSep;
        first = false;
        append_bx(t, e);
    }
    t += kListClose;
    new (self) Equiv(t.finish(), flag(false));
}

template <typename T>
void init_call(T *self, std::initializer_list<nb::handle> operands, const char *head,
               const char *msg) {
    for (nb::handle e : operands) {
        if (!is_expression(e)) g_module.raise_logged(nb::handle(PyExc_TypeError), msg);
    }
    Text t = head;
    bool first = true;
    for (nb::handle e : operands) {
        if (!first) t += kItemSep;
        first = false;
        append_bx(t, e);
    }
    t += ")";
    new (self) T(t.finish(), flag(false));
}

// ---------------------------------------------------------------------------------------------
// Powers. The power text must evaluate to the power it stands for: "**" binds tighter than a
// unary minus on its left ("-2 ** 2" is -4) and looser than any binary operator on its right
// ("2 ** i + 1" adds one to the power). A base is therefore written bare only when it is a
// primary (name, literal, bracketed group, with attribute, call and subscript trailers) and an
// exponent only when it is a unary expression (signs, then a primary, optionally "**" and another
// unary expression); anything else is parenthesised. Texts that do not read as one expression
// line are left alone: parentheses could not repair them.

// Texts are read for their top level only: the reader's outline form.
constexpr texts::ReadForms kOutline = [] {
    texts::ReadForms f;
    f.outline_ = true;
    f.leading_blanks_ = true;
    return f;
}();

bool is_primary(const texts::SyntaxNode &n) {
    switch (n.form_) {
        case texts::Form::kUnary:
        case texts::Form::kBinary:
            return false;
        default:
            return true;
    }
}

// Signs, then a primary, optionally "**" and another unary expression.
bool is_unary(const texts::Syntax &syntax, const texts::SyntaxNode *n) {
    for (;;) {
        if (n->form_ == texts::Form::kUnary && n->op_ != texts::Op::kLoose) {
            n = &syntax.node(n->a_);
        } else if (n->form_ == texts::Form::kBinary && n->op_ == texts::Op::kPow) {
            if (!is_primary(syntax.node(n->a_))) return false;
            n = &syntax.node(n->b_);
        } else {
            return is_primary(*n);
        }
    }
}

enum class PowerSide { kBase, kExponent };

bool needs_parentheses(std::string_view text, PowerSide side) {
    std::optional<texts::Syntax> syntax = texts::read_syntax(text, kOutline);
    if (!syntax) return false;
    const texts::SyntaxNode &root = syntax->node(syntax->root_);
    return side == PowerSide::kBase ? !is_primary(root) : !is_unary(*syntax, &root);
}

// Whether a text would not stay whole as the left operand of a product: it holds, outside
// brackets, a binary + or - or anything that binds more loosely than *. A text that does not read
// is left alone, as parentheses could not repair it.
bool looser_than_product(std::string_view text) {
    std::optional<texts::Syntax> syntax = texts::read_syntax(text, kOutline);
    if (!syntax) return false;
    const texts::SyntaxNode &root = syntax->node(syntax->root_);
    if (root.form_ == texts::Form::kUnary) return root.op_ == texts::Op::kLoose;
    return root.form_ == texts::Form::kBinary &&
           (root.op_ == texts::Op::kAdd || root.op_ == texts::Op::kSub ||
            root.op_ == texts::Op::kLoose);
}

void append_power_operand(std::string &out, const std::string &text, PowerSide side) {
    if (needs_parentheses(text, side)) {
        out += "(";
        out += text;
        out += ")";
    } else {
        out += text;
    }
}

nb::object pow_expression(nb::handle base, nb::handle exp) {
    std::string base_text = value_text(base);
    std::string exp_text = value_text(exp);
    std::string t;
    append_power_operand(t, base_text, PowerSide::kBase);
    t += kPowerOp;
    append_power_operand(t, exp_text, PowerSide::kExponent);
    return make_expression(t, true);
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: texts and flags are arbitrary objects (the constructor converts nothing),
// so they can close a cycle through an expression's attribute dictionary.

using ExpressionGc =
    GcSlots<Expression, &Expression::expr_, &Expression::soft_, &Expression::rope_>;
using ProxyGc = GcSlots<VariableProxy, &Expression::expr_, &Expression::soft_, &Expression::rope_,
                        &VariableProxy::name_>;

template <typename T, typename Gc = ExpressionGc>
nb::class_<T, Expression> subclass(nb::module_ &m, const char *name) {
    nb::class_<T, Expression> cls(m, name, nb::type_slots(Gc::slots_));
    g_own_types.push_back(reinterpret_cast<PyTypeObject *>(cls.ptr()));
    return cls;
}

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    zk::init_module();

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("Integral") = nb::module_::import_("numbers").attr("Integral");
    zk::import_logger(m);
    g_module.bind(m);

    m.def(
        "_expr2bx",
        [](nb::handle expr) {
            std::string t;
            append_bx(t, expr);
            return to_str(t);
        },
        "expr"_a.none(), nb::sig("def _expr2bx(expr: Expression) -> str"));
    m.def(
        "_expr2pb",
        [](nb::handle expr) {
            std::string t;
            append_pb(t, expr);
            return to_str(t);
        },
        "expr"_a.none(), nb::sig("def _expr2pb(expr: Expression) -> str"));

    // Every argument admits None (nanobind refuses it by default): which operands are refused,
    // and with which message, is this module's decision.
    nb::class_<Expression> expression(m, "Expression", nb::dynamic_attr(),
                                      nb::type_slots(ExpressionGc::slots_));
    expression
        .def(nb::init<nb::object, nb::object>(), "expr"_a.none() = "", "soft"_a.none() = true,
             nb::sig("def __init__(self, expr: str = '', soft: bool = True) -> None"))
        .def("__add__", &op_add, "other"_a.none(),
             nb::sig("def __add__(self, other: Expression) -> Expression"))
        .def("__sub__", &op_sub, "other"_a.none(),
             nb::sig("def __sub__(self, other: Expression) -> Expression"))
        .def("__mul__", &op_mul, "other"_a.none(),
             nb::sig("def __mul__(self, other: tp.Union[Integral, Expression]) -> Expression"))
        .def("__rmul__", &op_rmul, "other"_a.none(),
             nb::sig("def __rmul__(self, other: int) -> Expression"))
        .def("__le__", &op_le, "other"_a.none(),
             nb::sig("def __le__(self, other: Integral) -> Expression"))
        .def("__ge__", &op_ge, "other"_a.none(),
             nb::sig("def __ge__(self, other: Integral) -> Expression"))
        .def("__eq__", &op_eq, "other"_a.none(),
             nb::sig("def __eq__(self, other: Integral) -> Expression"))
        .def("__and__", &op_and, "other"_a.none(),
             nb::sig("def __and__(self, other: Expression) -> Expression"))
        .def("__or__", &op_or, "other"_a.none(),
             nb::sig("def __or__(self, other: Expression) -> Expression"))
        .def("__xor__", &op_xor, "other"_a.none(),
             nb::sig("def __xor__(self, other: Expression) -> Expression"))
        .def("__invert__", &op_invert, nb::sig("def __invert__(self) -> Expression"))
        .def("__bool__", &truth_value, nb::sig("def __bool__(self) -> bool"))
        .def("maxsat", &maxsat, "minimization"_a.none(),
             nb::sig("def maxsat(self, minimization: bool) -> Expression"))
        .def_prop_ro(
            "soft", [](const Expression &e) { return e.soft_; },
            nb::for_getter(nb::sig("def soft(self)")))
        .def(
            "__str__", [](Expression &e) { return text_of(e); },
            nb::sig("def __str__(self) -> str"))
        .def_prop_rw(
            "_expr", [](Expression &e) { return text_of(e); },
            [](Expression &e, nb::object value) {
                e.expr_ = std::move(value);
                e.rope_.reset();
            },
            nb::arg("value").none())
        .def_rw("_soft", &Expression::soft_);
    // A class that defines __eq__ without __hash__ has unhashable instances; nanobind adds
    // methods after the class exists, so the interpreter's own rule has to be applied here.
    expression.attr("__hash__") = nb::none();
    // The property was stored after the class was made, so it missed the naming that class
    // creation gives; without it, assigning to it would not name the attribute in the error.
    zk::name_properties(expression, {"soft"});

    auto proxy = subclass<VariableProxy, ProxyGc>(m, "VariableProxy");
    proxy
        .def(nb::init<nb::object>(), "name"_a.none(),
             nb::sig("def __init__(self, name: str) -> None"))
        .def(
            "__repr__", [](const VariableProxy &p) { return p.name_; },
            nb::sig("def __repr__(self)"))
        .def_rw("name", &VariableProxy::name_);
    g_own_types.push_back(reinterpret_cast<PyTypeObject *>(expression.ptr()));
    g_own_types.push_back(reinterpret_cast<PyTypeObject *>(proxy.ptr()));

    constexpr const char *kIndexedSig = "def __init__(self, expr: Expression, **indexes) -> None";
    subclass<Sum>(m, "Sum").def(
        "__init__",
        [](Sum *self, nb::handle expr, nb::kwargs indexes) {
            init_indexed(self, expr, indexes, kSumHead, append_pb, true);
        },
        "expr"_a.none(), "indexes"_a, nb::sig(kIndexedSig));
    subclass<And>(m, "And").def(
        "__init__",
        [](And *self, nb::handle expr, nb::kwargs indexes) {
            init_indexed(self, expr, indexes, kAndHead, append_bx, false);
        },
        "expr"_a.none(), "indexes"_a, nb::sig(kIndexedSig));
    subclass<Or>(m, "Or").def(
        "__init__",
        [](Or *self, nb::handle expr, nb::kwargs indexes) {
            init_indexed(self, expr, indexes, kOrHead, append_bx, false);
        },
        "expr"_a.none(), "indexes"_a, nb::sig(kIndexedSig));
    subclass<Xor>(m, "Xor").def(
        "__init__",
        [](Xor *self, nb::handle expr, nb::kwargs indexes) {
            init_indexed(self, expr, indexes, kXorHead, append_bx, false);
        },
        "expr"_a.none(), "indexes"_a, nb::sig(kIndexedSig));

    subclass<Equiv>(m, "Equiv")
        .def(
            "__init__", [](Equiv *self, nb::args expressions) { init_equiv(self, expressions); },
            "expressions"_a, nb::sig("def __init__(self, *expressions: Expression) -> None"));
    subclass<Implication>(m, "Implication")
        .def(
            "__init__",
            [](Implication *self, nb::handle if_expr, nb::handle then_expr) {
                init_call(self, {if_expr, then_expr}, kImplHead, kImplicationNotExpressions);
            },
            "if_expr"_a.none(), "then_expr"_a.none(),
            nb::sig("def __init__(self, if_expr: Expression, then_expr: Expression) -> None"));
    subclass<IfThenElse>(m, "IfThenElse")
        .def(
            "__init__",
            [](IfThenElse *self, nb::handle if_expr, nb::handle then_expr, nb::handle else_expr) {
                init_call(self, {if_expr, then_expr, else_expr}, kIteHead,
                          kIfThenElseNotExpressions);
            },
            "if_expr"_a.none(), "then_expr"_a.none(), "else_expr"_a.none(),
            nb::sig("def __init__(self, if_expr: Expression, then_expr: Expression, "
                    "else_expr: Expression) -> None"));

    constexpr const char *kSequenceSig =
        "def __init__(self, expressions: tp.Sequence[Expression]) -> None";
    subclass<SumIt>(m, "SumIt")
        .def(
            "__init__",
            [](SumIt *self, nb::handle expressions) {
                init_sequence(self, expressions, "SumIt", kSumHead, append_pb, true, true);
            },
            "expressions"_a.none(), nb::sig(kSequenceSig));
    subclass<AndIt>(m, "AndIt")
        .def(
            "__init__",
            [](AndIt *self, nb::handle expressions) {
                init_sequence(self, expressions, "AndIt", kAndHead, append_bx, false, false);
            },
            "expressions"_a.none(), nb::sig(kSequenceSig));
    subclass<OrIt>(m, "OrIt").def(
        "__init__",
        [](OrIt *self, nb::handle expressions) {
            init_sequence(self, expressions, "OrIt", kOrHead, append_bx, false, false);
        },
        "expressions"_a.none(), nb::sig(kSequenceSig));
    subclass<XorIt>(m, "XorIt")
        .def(
            "__init__",
            [](XorIt *self, nb::handle expressions) {
                init_sequence(self, expressions, "XorIt", kXorHead, append_bx, false, false);
            },
            "expressions"_a.none(), nb::sig(kSequenceSig));

    m.attr("One") = nb::cast(Expression(nb::str(kOneText), nb::borrow(Py_True)));
    m.attr("Zero") = nb::cast(Expression(nb::str(kZeroText), nb::borrow(Py_True)));

    m.def("pow_expression", &pow_expression, "base"_a.none(), "exp"_a.none(),
          nb::sig("def pow_expression(base: int, exp) -> Expression"));
}

}  // namespace zk::encode

ZK_MODULE(expressions, m) { zk::encode::bind_module(m); }
