// zk_encoder.linear_parser.linear_expression: the first linear generation's text expressions.
// Every operator and constructor joins its operands' source texts by a fixed template and
// evaluates nothing; the linear model evaluates the texts later, where each variable reference
// yields a numeric linear expression and each operator written into the text computes. The
// templates are chosen so that, under the host's operator precedence, the evaluated text does
// exactly the arithmetic the operator stands for, using only operators the numeric expressions
// offer (there is no reflected subtraction: `k - e` is written as `-(e) + k`).
#include "zk_encoder/linear_parser/linear_expression.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/pyclass.hpp"
#include "common/python_private.hpp"
#include "zk_encoder/linear_parser/forall_text.hpp"

namespace zk::lp1 {

// The collector's view of a text in pieces: it holds only texts, which close no cycle, and is let
// go when a cycle through its expression is broken.
static int gc_visit(const TextPtr &, visitproc, void *) { return 0; }
static void gc_clear(TextPtr &text) { text.reset(); }

namespace {

constexpr const char *kNotExpressionOperand =
    "Type 'LinearExpression' is expected for left side of expression";
constexpr const char *kBoundedFinal =
    "It is forbidden to change the formula after setting the boundaries";
constexpr const char *kSumNotExpression =
    "Type 'LinearExpression' is expected for variable 'expression'";
constexpr const char *kSumItNotSequence = "Use an iterable sequence as SumIt input argument";
constexpr const char *kSumItEmpty = "The input sequence has zero length";
constexpr const char *kSumItNotExpressions =
    "Variable 'expressions' must contain only objects of type 'LinearExpression'";
// A chained comparison `1 <= e <= 5` is the host's `(1 <= e) and (e <= 5)`: if a bounded
// expression were true, the first bound would be dropped without a word.
constexpr const char *kBoundedTruth =
    "A bounded linear expression has no truth value: a chained comparison such as "
    "'1 <= x <= 5' would lose a bound; give both bounds to add_constraint (lo=..., hi=...)";

constexpr char kSumHead[] = "CompiledSum([";
constexpr char kSumTail[] = "])";
constexpr char kItemSeparator[] = ", ";

// The module's globals (tp, Integral, Real, FormulaError, log_e, log_w), read at each use as
// the module's code reads them.
ModuleGlobals g_module;
PyTypeObject *g_expression_type = nullptr;
PyTypeObject *g_proxy_type = nullptr;

// The class's own methods as made at import, and their names: a lookup that finds exactly
// these (no instance attribute, no subclass override, no replacement on the class) may be
// skipped for a direct call. Texts are built millions of times per model.
struct OwnMethods {
    PyObject *mul_name_, *check_name_, *str_name_, *format_name_;
    PyObject *mul_, *check_, *str_, *object_format_;
    getattrofunc getattro_;
};
OwnMethods *g_own = nullptr;

bool finds_own(nb::handle obj, PyObject *name, PyObject *original) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != g_own->getattro_) return false;
    // An instance with attributes of its own takes the host's look-up: searching its dictionary
    // could compare a key of the program's own class, and so run its code (inside the one pass
    // of a SumIt, for one).
    if (PyObject **dict = py_private::dict_ptr(obj.ptr()); dict && *dict && PyDict_GET_SIZE(*dict))
        return false;
    return py_private::type_finds(type, name, original);
}

// A number operand as the plain int or float written into the text (numpy scalars, booleans and
// fractions by their value, so that the text means what the program's number means); an invalid
// object for what is no number, complex values included. NaN and infinities are refused: the
// text would not evaluate, or would give the solver a coefficient it cannot take.
// An expression is no number: the abstract number classes' tests, which cost more than the
// whole operation, are skipped for it.
nb::object number_operand(nb::handle obj, const char *what) {
    if (PyLong_CheckExact(obj.ptr())) return nb::borrow(obj);
    if (PyObject_TypeCheck(obj.ptr(), g_expression_type)) return nb::object();
    const numbers::Kind kind = numbers::kind(obj);
    if (kind != numbers::Kind::kInt && kind != numbers::Kind::kReal) return nb::object();
    nb::object plain = numbers::plain(obj, kind);
    numbers::refuse_if_not_finite(g_module, what, plain);
    return plain;
}

bool is_expression(nb::handle obj) { return PyObject_TypeCheck(obj.ptr(), g_expression_type) != 0; }

LinearExpression &state(nb::handle obj) { return *nb::inst_ptr<LinearExpression>(obj); }

const BlockRefsPtr &blocks_of(nb::handle obj) { return state(obj).blocks_; }

bool is_bounded(nb::handle obj) {
    const LinearExpression &e = state(obj);
    return !e.lo_.is_none() || !e.hi_.is_none();
}

// An operand as it enters a text: the piece written for it and, when that piece is the
// operand's own text (so that the text evaluates to what the operand's native term says), the
// operand's state.
struct Operand {
    TextPiece piece_;
    LinearExpression *own_ = nullptr;
};

// One of this module's expressions whose str() is its own: its stored text, written or not.
LinearExpression *own_text(nb::handle obj) {
    if (PyObject_TypeCheck(obj.ptr(), g_expression_type) == 0) return nullptr;
    if (!py_private::type_finds(Py_TYPE(obj.ptr()), g_own->str_name_, g_own->str_)) return nullptr;
    LinearExpression &e = state(obj);
    if (e.text_ || e.pending_ != Pending::kNone) return &e;
    // str() refuses a text that is not a string; the host's call says how.
    return PyUnicode_CheckExact(e.expression_.ptr()) ? &e : nullptr;
}

// The expression's own text as a piece; a text written from the element is written now.
TextPiece own_piece(LinearExpression &e) {
    if (e.pending_ != Pending::kNone) e.text();
    TextPiece p;
    if (e.text_)
        p.node_ = e.text_;
    else
        p.object_ = e.expression_;
    return p;
}

// A text the host made, as an exact str: a subclass's instance could refer back.
TextPiece text_piece(nb::object text) {
    TextPiece p;
    if (PyUnicode_CheckExact(text.ptr())) {
        p.object_ = std::move(text);
    } else {
        p.object_ = nb::steal(PyUnicode_FromObject(text.ptr()));
        if (!p.object_.is_valid()) throw nb::python_error();
    }
    return p;
}

// One of this module's expressions whose format(obj, '') is its own text (object's own
// formatting, which is str()).
LinearExpression *own_formatted(nb::handle obj) {
    if (!py_private::type_finds(Py_TYPE(obj.ptr()), g_own->format_name_, g_own->object_format_))
        return nullptr;
    return own_text(obj);
}

// format(obj, ''): how numbers, operands and keyword values are written into texts. For the
// host's float and an expression whose formatting is object's own, that is str(obj); a float
// and an int within 64 bits are written only when the text is (str() of either cannot fail).
Operand formatted(nb::handle obj) {
    Operand out;
    PyObject *o = obj.ptr();
    if (PyFloat_CheckExact(o)) {
        out.piece_.object_ = nb::borrow(obj);
        return out;
    }
    if (PyLong_CheckExact(o)) {
        std::int64_t v = 0;
        if (int64_of(obj, v)) {
            out.piece_.object_ = nb::borrow(obj);
            return out;
        }
    }
    if (LinearExpression *e = own_formatted(obj)) {
        out.piece_ = own_piece(*e);
        out.own_ = e;
        return out;
    }
    out.piece_ = text_piece(zk::format_plain(obj));
    return out;
}

// str(obj), as SumIt writes its items.
Operand plain(nb::handle obj) {
    Operand out;
    if (LinearExpression *e = own_text(obj)) {
        out.piece_ = own_piece(*e);
        out.own_ = e;
        return out;
    }
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    out.piece_ = text_piece(nb::steal(s));
    return out;
}

// A written text of a few dozen characters; `ascii`: of ASCII characters only.
bool is_short_text(const TextPiece &p, bool ascii = false) {
    constexpr Py_ssize_t kShortText = 128;
    PyObject *text = p.object_.ptr();
    return !p.node_ && text && PyUnicode_CheckExact(text) && PyUnicode_IS_READY(text) &&
           PyUnicode_GET_LENGTH(text) <= kShortText && (!ascii || PyUnicode_IS_ASCII(text));
}

// A literal part of the templates. Parts are made once and found again by their address, so
// only a character array converts to one (a string literal, or a constant array like kSumHead):
// the pointer of a std::string's characters would be found again after it was freed.
class Literal {
  public:
    template <std::size_t N>
    constexpr Literal(const char (&text)[N]) : text_(text) {}  // NOLINT: converts on purpose
    const char *text() const { return text_; }

  private:
    const char *text_;
};

nb::handle literal(Literal lit) {
    static std::vector<std::pair<const char *, PyObject *>> made;
    for (const auto &m : made)
        if (m.first == lit.text()) return m.second;
    PyObject *s = interned(lit.text());
    made.emplace_back(lit.text(), s);
    return s;
}

// Joins text pieces: literal parts, texts the host made and the texts of operands. Every piece
// is an atom (an exact str, int or float) or a node of such pieces: freeing a text, in the one
// pass of a SumIt for one, then runs no program code.
class Text {
  public:
    Text &operator<<(Literal lit) {
        TextPiece p;
        p.object_ = nb::borrow(literal(lit));
        made().pieces_.push_back(std::move(p));
        return *this;
    }
    Text &operator<<(const Operand &operand) {
        if (!is_atom(operand.piece_.object_.ptr()))
            throw std::logic_error("a text piece must be an exact str, int or float");
        made().pieces_.push_back(operand.piece_);
        return *this;
    }
    Text &operator<<(nb::object text) {
        made().pieces_.push_back(text_piece(std::move(text)));
        return *this;
    }
    void separate_by(Literal lit) { made().separator_ = nb::borrow(literal(lit)); }
    void reserve(std::size_t n) { made(n); }
    TextPtr node() {
        made();
        return std::move(node_);
    }
    // The text written at once, for what keeps its text as an object.
    nb::object str() { return written_text(node()); }

  private:
    // Made at the first piece: an operator whose text is written at once never needs it.
    // Room for every operator's template at once.
    TextNode &made(std::size_t room = 4) {
        if (!node_) {
            node_ = std::make_shared<TextNode>();
            node_->pieces_.reserve(room);
        } else if (room > 4) {
            node_->pieces_.reserve(room);
        }
        return *node_;
    }

    std::shared_ptr<TextNode> node_;
};

void untrack_if_acyclic(nb::handle obj) {
    PyObject *also = nullptr;
    if (PyType_IsSubtype(Py_TYPE(obj.ptr()), g_proxy_type))
        also = nb::inst_ptr<LinearVariableProxy>(obj)->name_.ptr();
    untrack_if_acyclic(obj, state(obj), also);
}

// Every operator result is a plain LinearExpression, whatever the operands' classes; it names
// the blocks its operands name.
nb::object make_expression(Text &text, BlockRefsPtr blocks, NativeTerm native = {},
                           bool chain = false) {
    nb::object out =
        nb::cast(LinearExpression(text.node(), std::move(blocks), std::move(native), chain));
    untrack_if_acyclic(out);
    return out;
}

// "k * (e)" written at once for a plain int and an operand whose text is written (an element
// reference, most often): a program may hold a million such products, and the text costs less
// than the pieces it is made of. (A float's digits cost more to write than its pieces to keep.)
// Invalid where the pieces are anything else.
nb::object product_text(nb::handle k, const Operand &operand) {
    PyObject *text = operand.piece_.object_.ptr();
    if (operand.piece_.node_ || !text || !PyUnicode_CheckExact(text)) return nb::object();
    std::int64_t v = 0;
    if (!PyLong_CheckExact(k.ptr()) || !int64_of(k, v)) return nb::object();
    char digits[24];
    const std::to_chars_result d = std::to_chars(digits, digits + sizeof digits, v);
    const std::size_t digit_count = static_cast<std::size_t>(d.ptr - digits);
    if (PyUnicode_READY(text) != 0) throw nb::python_error();
    if (PyUnicode_IS_ASCII(text)) {
        // Element references are ASCII: the text is laid out in place, not decoded.
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t total = static_cast<Py_ssize_t>(digit_count) + 5 + size;
        PyObject *r = PyUnicode_New(total, 127);
        if (!r) throw nb::python_error();
        char *out = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(r));
        std::memcpy(out, digits, digit_count);
        out += digit_count;
        std::memcpy(out, " * (", 4);
        out += 4;
        std::memcpy(out, PyUnicode_1BYTE_DATA(text), static_cast<std::size_t>(size));
        out[size] = ')';
        return nb::steal(r);
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        // A text that UTF-8 cannot hold (a lone surrogate) stays in pieces.
        clear_only(PyExc_UnicodeEncodeError);
        return nb::object();
    }
    std::string out(digits, digit_count);
    out += " * (";
    out.append(utf8, static_cast<std::size_t>(size));
    out += ")";
    PyObject *r = PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// k * e for a plain int k within 64 bits and an element reference whose text is not written
// yet (formatted as its own text): the product's text too is written from k and the element
// when read. Invalid for any other operands.
nb::object pending_product(nb::handle self, nb::handle k) {
    std::int64_t v = 0;
    if (!PyLong_CheckExact(k.ptr()) || !int64_of(k, v)) return nb::object();
    LinearExpression *e = own_formatted(self);
    if (!e || e->pending_ != Pending::kElement) return nb::object();
    LinearExpression product(nb::object(), e->blocks_);
    product.native_ = e->native_;
    product.native_.set_factor(Number::of_int(v));
    product.pending_ = Pending::kProduct;
    nb::object out = nb::cast(std::move(product));
    untrack_if_acyclic(out);
    return out;
}

nb::object make_written(nb::object text, BlockRefsPtr blocks, NativeTerm native) {
    LinearExpression e(std::move(text), std::move(blocks));
    e.native_ = std::move(native);
    nb::object out = nb::cast(std::move(e));
    untrack_if_acyclic(out);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Native terms: what the operators' texts evaluate to, computed as the evaluation computes it
// (the numeric expressions' arithmetic, step for step in the order the text's operators group),
// so that the model may take the value without reading the text again.

NativeTerm held(std::optional<Polynomial> &&p) {
    NativeTerm t;
    if (p) t.polynomial_ = std::make_shared<const Polynomial>(std::move(*p));
    return t;
}

// A number operand as the evaluation reads its text: ints within 64 bits and floats (the native
// evaluation leaves other literals to the host).
std::optional<Number> native_number(nb::handle k) {
    if (PyFloat_CheckExact(k.ptr())) return Number::of_float(PyFloat_AS_DOUBLE(k.ptr()));
    std::int64_t v = 0;
    if (!PyLong_CheckExact(k.ptr()) || !int64_of(k, v)) return std::nullopt;
    return Number::of_int(v);
}

enum class Op { kAdd, kSub, kMul };

// The sum e + item, kept as the items of a sum written left to right.
NativeTerm chained(const NativeTerm &e, std::shared_ptr<SumChain> item) {
    if (e.chain_) {
        item->previous_ = e.chain_;
    } else {
        auto first = std::make_shared<SumChain>();
        first->term_ = e;
        item->previous_ = std::move(first);
    }
    NativeTerm t;
    t.chain_ = std::move(item);
    return t;
}

// e + k, e - k, k * e.
NativeTerm with_number(const NativeTerm &e, const Number &k, Op op) {
    if (op == Op::kAdd) {
        auto item = std::make_shared<SumChain>();
        item->is_number_ = true;
        item->number_ = k;
        return chained(e, std::move(item));
    }
    if (op == Op::kMul && e.column_ >= 0 && !e.scaled_ && k.type_ != Dtype::kObject) {
        NativeTerm t = e;
        t.set_factor(k);
        return t;
    }
    Polynomial scratch;
    const Polynomial *p = term_value(e, scratch);
    if (!p) return {};
    if (op == Op::kMul) return held(scale(*p, k));
    return held(add(*p, k, op == Op::kSub));
}

// e + f, e - f, e * f.
NativeTerm with_expression(const NativeTerm &e, const NativeTerm &f, Op op) {
    if (op == Op::kAdd && !f.chain_) {
        auto item = std::make_shared<SumChain>();
        item->term_ = f;
        return chained(e, std::move(item));
    }
    Polynomial scratch_e, scratch_f;
    const Polynomial *p = term_value(e, scratch_e);
    const Polynomial *q = p ? term_value(f, scratch_f) : nullptr;
    if (!q) return {};
    if (op == Op::kMul) {
        // A product of degree above two has no representation: the host says how it fails.
        if (p->quadratic_ || q->quadratic_) return {};
        return held(multiply(*p, *q));
    }
    return held(add(*p, *q, op == Op::kSub));
}

NativeTerm unary_term(const NativeTerm &e, bool negate) {
    Polynomial scratch;
    const Polynomial *p = term_value(e, scratch);
    if (!p) return {};
    if (!negate) return held(positive(*p));
    return held(negative(*p));
}

// The host's builtin sum of the items (as the summation class adds them), or unknown.
class NativeSum {
  public:
    void add(const LinearExpression *item) {
        if (!ok_) return;
        if (!item || !item->native_.known()) {
            ok_ = false;
            return;
        }
        const Polynomial *p = values_.value(item->native_);
        SumItem s;
        s.expression_ = p;
        ok_ = p != nullptr && builder_.add(s);
    }
    NativeTerm finish() {
        if (!ok_) return {};
        SumResult r = builder_.finish();
        if (r.expression_) return held(std::move(r.expression_));
        return held(constant_polynomial(r.number_));
    }

  private:
    SumBuilder builder_;
    TermValues values_;
    bool ok_ = true;
};

nb::object own_check_borders(nb::handle self);

// The bound check as a program sees it: looked up on the object, like the method it is.
void check_borders(nb::handle obj) {
    if (finds_own(obj, g_own->check_name_, g_own->check_)) {
        own_check_borders(obj);
        return;
    }
    obj.attr("_check_borders")();
}

// ---------------------------------------------------------------------------------------------
// LinearExpression.

nb::object own_check_borders(nb::handle self) {
    if (!is_bounded(self)) return nb::borrow(Py_True);
    g_module.raise_logged("FormulaError", nb::str(kBoundedFinal));
}

nb::object unary(nb::handle self, bool negate) {
    Operand a = formatted(self);
    Text t;
    t << (negate ? "-(" : "+(") << a << ")";
    NativeTerm native;
    if (a.own_ && a.own_->native_.known()) native = unary_term(a.own_->native_, negate);
    return make_expression(t, blocks_of(self), std::move(native));
}

nb::object op_pos(nb::handle self) { return unary(self, false); }
nb::object op_neg(nb::handle self) { return unary(self, true); }

const NativeTerm *native_of(const Operand &operand) {
    return operand.own_ && operand.own_->native_.known() ? &operand.own_->native_ : nullptr;
}

nb::object binary(nb::handle self, nb::handle other, Op op) {
    check_borders(self);
    Text t;
    NativeTerm native;
    BlockRefsPtr blocks = blocks_of(self);
    if (nb::object k =
            number_operand(other, op == Op::kMul ? linear::kCoefficient : linear::kConstant);
        k.is_valid()) {
        if (op == Op::kMul) {
            if (nb::object made = pending_product(self, k); made.is_valid()) return made;
        }
        Operand a = formatted(self);
        nb::object written = op == Op::kMul ? product_text(k, a) : nb::object();
        if (!written.is_valid()) {
            Operand n = formatted(k);
            switch (op) {
                case Op::kAdd:
                    t << a << " + " << n;
                    break;
                case Op::kSub:
                    t << a << " - " << n;
                    break;
                case Op::kMul:
                    t << n << " * (" << a << ")";
                    break;
            }
        }
        if (const NativeTerm *e = native_of(a)) {
            if (std::optional<Number> number = native_number(k))
                native = with_number(*e, *number, op);
        }
        if (written.is_valid())
            return make_written(std::move(written), std::move(blocks), std::move(native));
    } else if (is_expression(other)) {
        check_borders(other);
        blocks = merged_refs(blocks, blocks_of(other));
        Operand a = formatted(self);
        Operand b = formatted(other);
        switch (op) {
            case Op::kAdd:
                t << a << " + " << b;
                break;
            case Op::kSub:
                t << a << " - (" << b << ")";
                break;
            case Op::kMul:
                t << "(" << a << ") * (" << b << ")";
                break;
        }
        const NativeTerm *e = native_of(a);
        const NativeTerm *f = native_of(b);
        // "a + b - c" after " + " groups as (a + b) - c would not: the text is the meaning.
        if (e && f && !(op == Op::kAdd && b.own_->chain_)) native = with_expression(*e, *f, op);
    } else {
        g_module.raise_logged(PyExc_TypeError, kNotExpressionOperand);
    }
    return make_expression(t, std::move(blocks), std::move(native), op != Op::kMul);
}

nb::object op_add(nb::handle self, nb::handle other) { return binary(self, other, Op::kAdd); }
nb::object op_sub(nb::handle self, nb::handle other) { return binary(self, other, Op::kSub); }
nb::object op_mul(nb::handle self, nb::handle other) { return binary(self, other, Op::kMul); }

// The reflected forms go through the object's own methods, as a Python class's would.
nb::object op_radd(nb::handle self, nb::handle other) { return self.attr("__add__")(other); }
nb::object op_rmul(nb::handle self, nb::handle other) {
    if (finds_own(self, g_own->mul_name_, g_own->mul_)) return op_mul(self, other);
    return self.attr("__mul__")(other);
}
nb::object op_rsub(nb::handle self, nb::handle other) {
    PyObject *negated = PyNumber_Negative(self.ptr());
    if (!negated) throw nb::python_error();
    return nb::steal(negated).attr("__add__")(other);
}

enum class Bound { kEq, kLe, kGe };

// The host's names of the comparisons, for its own message about None.
const char *operator_text(Bound bound) {
    switch (bound) {
        case Bound::kEq:
            return "==";
        case Bound::kLe:
            return "<=";
        default:
            return ">=";
    }
}

nb::object compare(nb::handle self, nb::handle other, Bound bound) {
    check_borders(self);
    // None is "no bound" only as a bound argument's default; here it would drop the bound the
    // comparison was written for.
    if (other.is_none()) {
        nb::object type_name =
            nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))).attr("__name__");
        g_module.raise_logged(PyExc_TypeError,
                              linear::none_comparison_message(
                                  operator_text(bound), nb::cast<std::string>(type_name).c_str()));
    }
    // A number bound is kept as given; complex ones and NaN are refused here, where they are
    // written (an infinity is no bound on that side).
    const char *what = bound == Bound::kEq   ? linear::kEquationBound
                       : bound == Bound::kLe ? linear::kUpperBound
                                             : linear::kLowerBound;
    linear::bound_or_none(g_module, what, other);
    LinearExpression copied = state(self);
    copied.lo_ = nb::none();
    copied.hi_ = nb::none();
    if (bound != Bound::kLe) copied.lo_ = nb::borrow(other);
    if (bound != Bound::kGe) copied.hi_ = nb::borrow(other);
    nb::object copy = nb::cast(std::move(copied));
    untrack_if_acyclic(copy);
    return copy;
}

nb::object op_eq(nb::handle self, nb::handle other) { return compare(self, other, Bound::kEq); }
nb::object op_le(nb::handle self, nb::handle other) { return compare(self, other, Bound::kLe); }
nb::object op_ge(nb::handle self, nb::handle other) { return compare(self, other, Bound::kGe); }

bool op_bool(nb::handle self) {
    if (is_bounded(self)) g_module.raise_logged(PyExc_TypeError, kBoundedTruth);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Constructors.

[[noreturn]] void refuse_binding(const char *format, const char *detail) {
    PyErr_Format(PyExc_TypeError, format, "Sum.__init__()", detail);
    throw nb::python_error();
}

// Binds (expression, **indexes) as a Python signature would: the receiver's and the operand's
// names cannot serve as keyword ranges.
nb::object bind_sum_operand(const nb::args &args, const nb::kwargs &indexes) {
    constexpr const char *kMultiple = "%s got multiple values for argument '%s'";
    if (args.size() > 1) {
        PyErr_Format(PyExc_TypeError,
                     "Sum.__init__() takes 2 positional arguments but %zd were "
                     "given",
                     static_cast<Py_ssize_t>(args.size()) + 1);
        throw nb::python_error();
    }
    if (PyDict_GetItemString(indexes.ptr(), "self")) refuse_binding(kMultiple, "self");
    PyObject *keyword = PyDict_GetItemString(indexes.ptr(), "expression");
    if (args.size() == 1) {
        if (keyword) refuse_binding(kMultiple, "expression");
        return args[0];
    }
    if (!keyword) refuse_binding("%s missing 1 required positional argument: '%s'", "expression");
    nb::object operand = nb::borrow(keyword);
    if (PyDict_DelItemString(indexes.ptr(), "expression") != 0) throw nb::python_error();
    return operand;
}

// The instance is made only once its text is: a refused call leaves nothing half made.
void init_sum(Sum *self, nb::args args, nb::kwargs indexes) {
    nb::object expression = bind_sum_operand(args, indexes);
    if (!is_expression(expression)) g_module.raise_logged(PyExc_TypeError, kSumNotExpression);
    check_borders(expression);
    Text clauses;
    bool first = true;
    // The pairs held while each value's own text is made (its __format__ may reach the
    // keywords' dictionary).
    nb::object pairs = check(PyDict_Items(indexes.ptr()));
    for (nb::handle pair : pairs) {
        if (!first) clauses << " ";
        first = false;
        clauses << "for " << plain(PyTuple_GET_ITEM(pair.ptr(), 0)) << " in "
                << forall_text(PyTuple_GET_ITEM(pair.ptr(), 1));
    }
    Text t;
    t << kSumHead << formatted(expression) << " " << clauses.str() << kSumTail;
    new (self) Sum(t.str(), blocks_of(expression));
    untrack_if_acyclic(nb::find(self));
}

// What a SumIt takes of its items: their texts in order (copied into `written_` as they come,
// or kept as pieces), the blocks they name and their sum.
struct SumItParts {
    explicit SumItParts(bool copied) : copied_(copied) {
        if (copied_) written_ = kSumHead;
    }
    bool copied_;
    std::string written_;
    Text items_;
    BlockRefsPtr blocks_;
    NativeSum total_;
    bool short_items_ = true;
};

void check_sum_it_items(nb::handle expressions) {
    for (nb::handle item : expressions) {
        if (!is_expression(item)) g_module.raise_logged(PyExc_TypeError, kSumItNotExpressions);
        check_borders(item);
    }
}

enum class Taken { kAll, kNotOwn, kNotShort };

// Takes every item. `checked`: the items were checked already; otherwise each is checked as it
// is taken, as long as its check and its text are the class's own (they run none of the
// program's code, so the sequence cannot change under the loop): kNotOwn at the first that is
// not, with nothing taken that anyone sees. Where the texts are copied as they come, kNotShort
// at the first item whose text is not a short written one.
Taken take_sum_it_items(nb::handle expressions, Py_ssize_t length, bool checked,
                        SumItParts &parts) {
    if (parts.copied_) {
        parts.written_.reserve(parts.written_.size() + static_cast<std::size_t>(length) * 24);
    } else {
        parts.items_.separate_by(kItemSeparator);
        parts.items_.reserve(static_cast<std::size_t>(length));
    }
    bool first = true;
    for (nb::handle item : expressions) {
        LinearExpression *own = nullptr;
        if (!checked) {
            if (!is_expression(item)) g_module.raise_logged(PyExc_TypeError, kSumItNotExpressions);
            own = own_text(item);
            if (!own || !finds_own(item, g_own->check_name_, g_own->check_)) return Taken::kNotOwn;
            own_check_borders(item);
        }
        if (parts.copied_) {
            // Each text is read once, here: a million items' texts are long out of the cache
            // by the time a second pass would reach them. A text written from the element goes
            // straight into the sum's. (Texts are copied only where the items were not checked
            // before, so `own` is the item's.)
            if (!first) parts.written_ += kItemSeparator;
            if (own->pending_ == Pending::kNone) {
                const TextPiece p = own_piece(*own);
                if (!is_short_text(p, true)) return Taken::kNotShort;
                PyObject *text = p.object_.ptr();
                parts.written_.append(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)),
                                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
            } else {
                own->append_pending(parts.written_);
            }
        } else {
            Operand a = own ? Operand{own_piece(*own), own} : plain(item);
            own = a.own_;
            parts.short_items_ = parts.short_items_ && is_short_text(a.piece_);
            parts.items_ << a;
        }
        first = false;
        parts.total_.add(own);
        // Most items name the very blocks the sum names already.
        const BlockRefsPtr &named = blocks_of(item);
        if (named.get() != parts.blocks_.get()) parts.blocks_ = merged_refs(parts.blocks_, named);
    }
    return Taken::kAll;
}

void init_sum_it(SumIt *self, nb::handle expressions) {
    if (!nb::isinstance(expressions, g_module.get("tp").attr("Sequence")))
        g_module.raise_logged(PyExc_TypeError, kSumItNotSequence);
    Py_ssize_t length = PyObject_Length(expressions.ptr());
    if (length < 0) throw nb::python_error();
    if (length == 0) g_module.log("log_w", kSumItEmpty);
    // The host's list and tuple are read once (twice at most, when an item's text is long), with
    // the texts of short written items (products of an int and an element, elements) copied
    // into the sum's own text as they come: it costs less than the pieces that would keep each
    // item's text alive after the items are gone. Any other sequence is read twice, as the
    // checks before the sum always did.
    const bool once = PyList_CheckExact(expressions.ptr()) || PyTuple_CheckExact(expressions.ptr());
    std::optional<SumItParts> parts;
    Taken taken = Taken::kNotOwn;
    if (once) {
        taken = take_sum_it_items(expressions, length, false, parts.emplace(true));
        if (taken == Taken::kNotShort)
            taken = take_sum_it_items(expressions, length, false, parts.emplace(false));
    }
    if (taken == Taken::kNotOwn) {
        check_sum_it_items(expressions);
        take_sum_it_items(expressions, length, true, parts.emplace(false));
    }
    if (parts->copied_) {
        parts->written_ += kSumTail;
        nb::object text = nb::steal(PyUnicode_FromStringAndSize(
            parts->written_.data(), static_cast<Py_ssize_t>(parts->written_.size())));
        if (!text.is_valid()) throw nb::python_error();
        new (self) SumIt(std::move(text), std::move(parts->blocks_));
        self->native_ = parts->total_.finish();
    } else {
        TextPiece list;
        list.node_ = parts->items_.node();
        Text t;
        t << kSumHead;
        t << Operand{list, nullptr};
        t << kSumTail;
        new (self) SumIt(t.node(), std::move(parts->blocks_), parts->total_.finish(), false);
        // Short written items of a sequence read twice are copied all the same, once made; a
        // sum nesting sums is not copied again (a written text that long is no short item).
        if (parts->short_items_) self->text();
    }
    untrack_if_acyclic(nb::find(self));
}

// A reference's name: its text, written when first read.
nb::object proxy_name(LinearVariableProxy &p) {
    if (!p.name_.is_valid()) p.name_ = p.text();
    return p.name_;
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: texts and bounds are arbitrary objects (nothing is converted or tested),
// so they can close a cycle, for example through a bound that is itself an expression.

using ExpressionGc =
    GcSlots<LinearExpression, &LinearExpression::expression_, &LinearExpression::text_,
            &LinearExpression::lo_, &LinearExpression::hi_>;
using ProxyGc =
    GcSlots<LinearVariableProxy, &LinearExpression::expression_, &LinearExpression::text_,
            &LinearExpression::lo_, &LinearExpression::hi_, &LinearVariableProxy::name_>;

// An expression the library took out of the cycle collection goes back in before anything that
// could refer back to it is stored in it: an attribute, a dictionary handed out, a new text.
void track(PyObject *self) {
    if (!PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

int expression_setattro(PyObject *self, PyObject *name, PyObject *value) {
    track(self);
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject *expression_get_dict(PyObject *self, void *context) {
    track(self);
    return PyObject_GenericGetDict(self, context);
}

int expression_set_dict(PyObject *self, PyObject *value, void *context) {
    track(self);
    return PyObject_GenericSetDict(self, value, context);
}

PyGetSetDef kDictGetSet = {"__dict__", expression_get_dict, expression_set_dict, nullptr, nullptr};

void hook_dict(nb::handle cls) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object descr = nb::steal(PyDescr_NewGetSet(type, &kDictGetSet));
    if (!descr.is_valid()) throw nb::python_error();
    if (PyDict_SetItemString(type->tp_dict, "__dict__", descr.ptr()) != 0) throw nb::python_error();
    PyType_Modified(type);
}

template <typename Gc>
PyType_Slot kExpressionSlots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(Gc::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Gc::clear)},
    {Py_tp_setattro, reinterpret_cast<void *>(expression_setattro)},
    {0, nullptr},
};

void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    init_module();

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    nb::module_ numbers = nb::module_::import_("numbers");
    m.attr("Integral") = numbers.attr("Integral");
    m.attr("Real") = numbers.attr("Real");
    m.attr("FormulaError") = nb::module_::import_("zk_encoder._exceptions").attr("FormulaError");
    import_logger(m);
    g_module.bind(m);

    constexpr const char *kOperand = "other: tp.Union[LinearExpression, Integral, Real]";
    auto sig = [](const char *name, const char *params, const char *result) {
        return std::string("def ") + name + "(self" + params + ")" + result;
    };
    const std::string add_sig =
        sig("__add__", (std::string(", ") + kOperand).c_str(), " -> LinearExpression");
    const std::string radd_sig =
        sig("__radd__", (std::string(", ") + kOperand).c_str(), " -> LinearExpression");
    const std::string sub_sig =
        sig("__sub__", (std::string(", ") + kOperand).c_str(), " -> LinearExpression");
    const std::string rsub_sig =
        sig("__rsub__", (std::string(", ") + kOperand).c_str(), " -> LinearExpression");
    const std::string rmul_sig =
        sig("__rmul__", (std::string(", ") + kOperand).c_str(), " -> LinearExpression");

    // Every argument admits None (nanobind refuses it by default): which operands are refused,
    // and with which message, is this module's decision.
    // Expressions are made and freed by the million (every operator's result, every element
    // reference): freed instances are kept for reuse, which spares the binding library's
    // registration of each new instance in its registry of live ones.
    nb::class_<LinearExpression> expression(m, "LinearExpression", nb::dynamic_attr(),
                                            nb::type_slots(kExpressionSlots<ExpressionGc>),
                                            nb::pooled());
    expression
        .def(nb::init<nb::object>(), "expression"_a.none() = "",
             nb::sig("def __init__(self, expression: str = '')"))
        .def_prop_ro(
            "lo", [](const LinearExpression &e) { return e.lo_; },
            nb::for_getter(nb::sig("def lo(self) -> tp.Optional[tp.Union[Integral, Real]]")))
        .def_prop_ro(
            "hi", [](const LinearExpression &e) { return e.hi_; },
            nb::for_getter(nb::sig("def hi(self) -> tp.Optional[tp.Union[Integral, Real]]")))
        .def("__pos__", &op_pos, nb::sig("def __pos__(self) -> LinearExpression"))
        .def("__neg__", &op_neg, nb::sig("def __neg__(self) -> LinearExpression"))
        .def("__add__", &op_add, "other"_a.none(), nb::sig(add_sig.c_str()))
        .def("__radd__", &op_radd, "other"_a.none(), nb::sig(radd_sig.c_str()))
        .def("__sub__", &op_sub, "other"_a.none(), nb::sig(sub_sig.c_str()))
        .def("__rsub__", &op_rsub, "other"_a.none(), nb::sig(rsub_sig.c_str()))
        .def("__mul__", &op_mul, "other"_a.none(),
             nb::sig("def __mul__(self, other: tp.Union[Integral, Real, LinearExpression]) "
                     "-> LinearExpression"))
        .def("__rmul__", &op_rmul, "other"_a.none(), nb::sig(rmul_sig.c_str()))
        .def("__eq__", &op_eq, "other"_a.none(),
             nb::sig("def __eq__(self, other: tp.Union[Integral, Real])"))
        .def("__le__", &op_le, "other"_a.none(),
             nb::sig("def __le__(self, other: tp.Union[Integral, Real])"))
        .def("__ge__", &op_ge, "other"_a.none(),
             nb::sig("def __ge__(self, other: tp.Union[Integral, Real])"))
        .def(
            "__str__", [](LinearExpression &e) { return e.text(); },
            nb::sig("def __str__(self) -> str"))
        .def("_check_borders", &own_check_borders, nb::sig("def _check_borders(self)"))
        .def("__bool__", &op_bool, nb::sig("def __bool__(self) -> bool"))
        .def_prop_rw(
            "_expression", [](LinearExpression &e) { return e.text(); },
            [](LinearExpression &e, nb::object text) {
                // A reference's `_name` is the text it was made with, whether that text was
                // written when it was made or (from the element) on a later read.
                nb::handle self = nb::find(&e);
                if (PyObject_TypeCheck(self.ptr(), g_proxy_type))
                    proxy_name(*nb::inst_ptr<LinearVariableProxy>(self));
                // Another text means another value: what was known of the old one goes.
                e.expression_ = std::move(text);
                e.text_.reset();
                e.native_ = NativeTerm();
                e.chain_ = false;
                e.pending_ = Pending::kNone;
            },
            "value"_a.none())
        .def_rw("_lo", &LinearExpression::lo_)
        .def_rw("_hi", &LinearExpression::hi_);
    // A class that defines __eq__ without __hash__ has unhashable instances; nanobind adds
    // methods after the class exists, so the interpreter's own rule has to be applied here.
    expression.attr("__hash__") = nb::none();
    // numpy's operators would otherwise take an expression as an element of an object array
    // (`np.array([1.0, 2.0]) * x[0]` an array of two expressions, `np.float64(2) * x[0]` after
    // numpy's own conversion): they hand it back to the expression's reflected operators, which
    // answer as for the same operands the other way round.
    expression.attr("__array_ufunc__") = nb::none();
    name_properties(expression, {"lo", "hi"});
    g_expression_type = reinterpret_cast<PyTypeObject *>(expression.ptr());
    {
        nb::object own = nb::getattr(expression, "__dict__");
        PyObject *object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
        g_own = new OwnMethods{interned("__mul__"),
                               interned("_check_borders"),
                               interned("__str__"),
                               interned("__format__"),
                               nb::object(own["__mul__"]).release().ptr(),
                               nb::object(own["_check_borders"]).release().ptr(),
                               nb::object(own["__str__"]).release().ptr(),
                               nb::getattr(object_type, "__dict__")["__format__"].inc_ref().ptr(),
                               g_expression_type->tp_getattro};
    }

    auto proxy = nb::class_<LinearVariableProxy, LinearExpression>(
        m, "LinearVariableProxy", nb::type_slots(kExpressionSlots<ProxyGc>), nb::pooled());
    proxy
        .def(nb::init<nb::object>(), "name"_a.none(),
             nb::sig("def __init__(self, name: str) -> None"))
        .def("__repr__", &proxy_name, nb::sig("def __repr__(self)"))
        .def_prop_rw("_name", &proxy_name,
                     [](LinearVariableProxy &p, nb::object name) { p.name_ = std::move(name); });
    g_proxy_type = reinterpret_cast<PyTypeObject *>(proxy.ptr());
    hook_dict(expression);
    hook_dict(proxy);

    hook_dict(
        nb::class_<Sum, LinearExpression>(m, "Sum", nb::type_slots(kExpressionSlots<ExpressionGc>))
            .def("__init__", &init_sum, "args"_a, "indexes"_a,
                 nb::sig("def __init__(self, expression: LinearExpression, **indexes) -> None")));
    hook_dict(nb::class_<SumIt, LinearExpression>(m, "SumIt",
                                                  nb::type_slots(kExpressionSlots<ExpressionGc>))
                  .def("__init__", &init_sum_it, "expressions"_a.none(),
                       nb::sig("def __init__(self, expressions: tp.Sequence[LinearExpression]) "
                               "-> None")));
}

}  // namespace

}  // namespace zk::lp1

ZK_MODULE(linear_expression, m) { zk::lp1::bind_module(m); }
