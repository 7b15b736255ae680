// zk_encoder.linear_parser.linear_expression: the first linear generation's text expressions.
// Every operator and constructor joins its operands' source texts by a fixed template and
// evaluates nothing; the linear model evaluates the texts later, where each variable reference
// yields a numeric linear expression and each operator written into the text computes. The
// templates are chosen so that, under the host's operator precedence, the evaluated text does
// exactly the arithmetic the operator stands for, using only operators the numeric expressions
// offer (there is no reflected subtraction: `k - e` is written as `-(e) + k`).
#include "zk_encoder/linear_parser/linear_expression.hpp"

#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"
#include "zk_encoder/linear_parser/forall_text.hpp"

namespace zk::lp1 {

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

constexpr const char *kSumHead = "CompiledSum([";
constexpr const char *kSumTail = "])";
constexpr const char *kItemSeparator = ", ";

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
    if (PyObject **dict = py_private::dict_ptr(obj.ptr()); dict && *dict) {
        int r = PyDict_Contains(*dict, name);
        if (r < 0) throw nb::python_error();
        if (r == 1) return false;
    }
    return py_private::type_lookup(type, name) == original;
}

[[noreturn]] void refuse(const char *msg) { g_module.raise_logged(PyExc_TypeError, nb::str(msg)); }

// A number operand as the plain int or float written into the text (numpy scalars, booleans and
// fractions by their value, so that the text means what the program's number means); an invalid
// object for what is no number. Complex values, NaN and infinities are refused: the text would
// not evaluate, or would give the solver a coefficient it cannot take.
nb::object number_operand(nb::handle obj, const char *what) {
    if (PyLong_CheckExact(obj.ptr())) return nb::borrow(obj);
    nb::object plain = numbers::plain_or_none(g_module, what, obj);
    if (plain.is_valid()) numbers::refuse_if_not_finite(g_module, what, plain);
    return plain;
}

bool is_expression(nb::handle obj) { return PyObject_TypeCheck(obj.ptr(), g_expression_type) != 0; }

LinearExpression &state(nb::handle obj) { return *nb::inst_ptr<LinearExpression>(obj); }

const BlockRefsPtr &blocks_of(nb::handle obj) { return state(obj).blocks_; }

bool is_bounded(nb::handle obj) {
    const LinearExpression &e = state(obj);
    return !e.lo_.is_none() || !e.hi_.is_none();
}

// The text of one of this module's expressions whose str() is its own: the stored text itself.
PyObject *own_text(nb::handle obj) {
    if (PyObject_TypeCheck(obj.ptr(), g_expression_type) == 0) return nullptr;
    if (py_private::type_lookup(Py_TYPE(obj.ptr()), g_own->str_name_) != g_own->str_)
        return nullptr;
    PyObject *text = state(obj).expression_.ptr();
    // str() refuses a text that is not a string; the host's call says how.
    return PyUnicode_CheckExact(text) ? text : nullptr;
}

// format(obj, ''): how numbers, operands and keyword values are written into texts. For the
// host's float and an expression whose formatting is object's own, that is str(obj).
nb::object formatted(nb::handle obj) {
    if (PyFloat_CheckExact(obj.ptr())) {
        PyObject *s = PyObject_Str(obj.ptr());
        if (!s) throw nb::python_error();
        return nb::steal(s);
    }
    if (py_private::type_lookup(Py_TYPE(obj.ptr()), g_own->format_name_) == g_own->object_format_) {
        if (PyObject *text = own_text(obj)) return nb::borrow(text);
    }
    return zk::format_plain(obj);
}

nb::object plain(nb::handle obj) {
    if (PyObject *text = own_text(obj)) return nb::borrow(text);
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// Joins text pieces: literal parts and texts the host made.
class Text {
  public:
    Text &operator<<(const char *literal) {
        add(nb::str(literal));
        return *this;
    }
    Text &operator<<(nb::handle text) {
        add(text);
        return *this;
    }
    nb::object str() const {
        nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
        PyObject *r = PyUnicode_Join(empty.ptr(), pieces_.ptr());
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }

  private:
    void add(nb::handle piece) {
        if (PyList_Append(pieces_.ptr(), piece.ptr()) != 0) throw nb::python_error();
    }
    nb::list pieces_;
};

// Every operator result is a plain LinearExpression, whatever the operands' classes; it names
// the blocks its operands name.
nb::object make_expression(const Text &text, BlockRefsPtr blocks) {
    return nb::cast(LinearExpression(text.str(), std::move(blocks)));
}

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

nb::object op_pos(nb::handle self) {
    return make_expression(Text() << "+(" << formatted(self) << ")", blocks_of(self));
}
nb::object op_neg(nb::handle self) {
    return make_expression(Text() << "-(" << formatted(self) << ")", blocks_of(self));
}

enum class Op { kAdd, kSub, kMul };

nb::object binary(nb::handle self, nb::handle other, Op op) {
    check_borders(self);
    Text t;
    BlockRefsPtr blocks = blocks_of(self);
    if (nb::object k =
            number_operand(other, op == Op::kMul ? linear::kCoefficient : linear::kConstant);
        k.is_valid()) {
        nb::object n = formatted(k);
        switch (op) {
            case Op::kAdd:
                t << formatted(self) << " + " << n;
                break;
            case Op::kSub:
                t << formatted(self) << " - " << n;
                break;
            case Op::kMul:
                t << n << " * (" << formatted(self) << ")";
                break;
        }
    } else if (is_expression(other)) {
        check_borders(other);
        blocks = merged_refs(blocks, blocks_of(other));
        switch (op) {
            case Op::kAdd:
                t << formatted(self) << " + " << formatted(other);
                break;
            case Op::kSub:
                t << formatted(self) << " - (" << formatted(other) << ")";
                break;
            case Op::kMul:
                t << "(" << formatted(self) << ") * (" << formatted(other) << ")";
                break;
        }
    } else {
        refuse(kNotExpressionOperand);
    }
    return make_expression(t, std::move(blocks));
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
    nb::object copy = nb::cast(LinearExpression(state(self).expression_, blocks_of(self)));
    LinearExpression &c = state(copy);
    if (bound != Bound::kLe) c.lo_ = nb::borrow(other);
    if (bound != Bound::kGe) c.hi_ = nb::borrow(other);
    return copy;
}

nb::object op_eq(nb::handle self, nb::handle other) { return compare(self, other, Bound::kEq); }
nb::object op_le(nb::handle self, nb::handle other) { return compare(self, other, Bound::kLe); }
nb::object op_ge(nb::handle self, nb::handle other) { return compare(self, other, Bound::kGe); }

bool op_bool(nb::handle self) {
    if (is_bounded(self)) refuse(kBoundedTruth);
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
    if (!is_expression(expression)) refuse(kSumNotExpression);
    check_borders(expression);
    Text clauses;
    bool first = true;
    for (auto [name, value] : indexes) {
        if (!first) clauses << " ";
        first = false;
        clauses << "for " << plain(name) << " in " << forall_text(value);
    }
    nb::object text =
        (Text() << kSumHead << formatted(expression) << " " << clauses.str() << kSumTail).str();
    new (self) Sum(text, blocks_of(expression));
}

void init_sum_it(SumIt *self, nb::handle expressions) {
    if (!nb::isinstance(expressions, g_module.get("tp").attr("Sequence")))
        refuse(kSumItNotSequence);
    Py_ssize_t length = PyObject_Length(expressions.ptr());
    if (length < 0) throw nb::python_error();
    if (length == 0) g_module.log("log_w", kSumItEmpty);
    for (nb::handle item : expressions) {
        if (!is_expression(item)) refuse(kSumItNotExpressions);
        check_borders(item);
    }
    Text t;
    t << kSumHead;
    bool first = true;
    BlockRefsPtr blocks;
    for (nb::handle item : expressions) {
        if (!first) t << kItemSeparator;
        first = false;
        t << plain(item);
        if (is_expression(item)) blocks = merged_refs(blocks, blocks_of(item));
    }
    t << kSumTail;
    new (self) SumIt(t.str(), std::move(blocks));
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: texts and bounds are arbitrary objects (nothing is converted or tested),
// so they can close a cycle, for example through a bound that is itself an expression.

int expression_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject **dict = py_private::dict_ptr(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    LinearExpression *e = nb::inst_ptr<LinearExpression>(self);
    Py_VISIT(e->expression_.ptr());
    Py_VISIT(e->lo_.ptr());
    Py_VISIT(e->hi_.ptr());
    if (PyType_IsSubtype(Py_TYPE(self), g_proxy_type))
        Py_VISIT(nb::inst_ptr<LinearVariableProxy>(self)->name_.ptr());
    return 0;
}

int expression_clear(PyObject *self) {
    if (PyObject **dict = py_private::dict_ptr(self)) Py_CLEAR(*dict);
    if (!nb::inst_ready(self)) return 0;
    LinearExpression *e = nb::inst_ptr<LinearExpression>(self);
    e->expression_ = nb::none();
    e->lo_ = nb::none();
    e->hi_ = nb::none();
    if (PyType_IsSubtype(Py_TYPE(self), g_proxy_type))
        nb::inst_ptr<LinearVariableProxy>(self)->name_ = nb::none();
    return 0;
}

PyType_Slot kExpressionSlots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(expression_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(expression_clear)},
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
    nb::class_<LinearExpression> expression(m, "LinearExpression", nb::dynamic_attr(),
                                            nb::type_slots(kExpressionSlots));
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
            "__str__", [](const LinearExpression &e) { return e.expression_; },
            nb::sig("def __str__(self) -> str"))
        .def("_check_borders", &own_check_borders, nb::sig("def _check_borders(self)"))
        .def("__bool__", &op_bool, nb::sig("def __bool__(self) -> bool"))
        .def_rw("_expression", &LinearExpression::expression_)
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
    // Properties stored after the class was made missed the naming that class creation gives;
    // without it, assigning to one would not name the attribute in the error.
    for (const char *p : {"lo", "hi"})
        nb::getattr(expression, "__dict__")[p].attr("__set_name__")(expression, p);
    g_expression_type = reinterpret_cast<PyTypeObject *>(expression.ptr());
    {
        nb::object own = nb::getattr(expression, "__dict__");
        auto interned = [](const char *name) {
            PyObject *s = PyUnicode_InternFromString(name);
            if (!s) throw nb::python_error();
            return s;
        };
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
        m, "LinearVariableProxy", nb::type_slots(kExpressionSlots));
    proxy
        .def(nb::init<nb::object>(), "name"_a.none(),
             nb::sig("def __init__(self, name: str) -> None"))
        .def(
            "__repr__", [](const LinearVariableProxy &p) { return p.name_; },
            nb::sig("def __repr__(self)"))
        .def_rw("_name", &LinearVariableProxy::name_);
    g_proxy_type = reinterpret_cast<PyTypeObject *>(proxy.ptr());

    nb::class_<Sum, LinearExpression>(m, "Sum", nb::type_slots(kExpressionSlots))
        .def("__init__", &init_sum, "args"_a, "indexes"_a,
             nb::sig("def __init__(self, expression: LinearExpression, **indexes) -> None"));
    nb::class_<SumIt, LinearExpression>(m, "SumIt", nb::type_slots(kExpressionSlots))
        .def("__init__", &init_sum_it, "expressions"_a.none(),
             nb::sig("def __init__(self, expressions: tp.Sequence[LinearExpression]) "
                     "-> None"));
}

}  // namespace

}  // namespace zk::lp1

ZK_MODULE(linear_expression, m) { zk::lp1::bind_module(m); }
