// zk_encoder.linear_parser.compiled_linear_expressions: the numeric linear expressions that the
// first-generation linear model gets when it evaluates a constraint's or the objective's text.
// An expression is a value: a constant, a sparse column of coefficients over global columns and
// an optional quadratic part Q (the value xᵀQx); no operation changes an operand or hands out a
// stored array.
#include "zk_encoder/linear_parser/compiled_linear_expressions.hpp"

#include "common/logging.hpp"
#include "common/module_globals.hpp"

#include <string>

namespace zk::lp1 {

namespace {

constexpr const char *kAddNotExpression =
    "Type 'LinearExpression' is expected for left side of expression";
constexpr const char *kMulNotExpression =
    "Type 'LinearExpression' or 'int' is expected for expression";

// The module's globals (np, Integral, Real, coo_array, log_e), read at each use as the module's
// code reads them.
ModuleGlobals g_module;
PyTypeObject *g_base_type = nullptr;

[[noreturn]] void refuse(const char *msg) { g_module.raise_logged(PyExc_TypeError, nb::str(msg)); }

bool is_number(nb::handle obj) {
    // int, bool and float are registered numeric types; only other types need the ABCs' tests.
    if (PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr())) return true;
    return nb::isinstance(obj, g_module.get("Integral")) ||
           nb::isinstance(obj, g_module.get("Real"));
}

bool is_expression(nb::handle obj) {
    return PyObject_TypeCheck(obj.ptr(), g_base_type) != 0;
}

const CompiledLinearExpression &parts(nb::handle obj) {
    return *nb::inst_ptr<CompiledLinearExpression>(obj);
}

nb::object binary(nb::handle a, nb::handle b, binaryfunc op) {
    PyObject *r = op(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object unary(nb::handle a, unaryfunc op) {
    PyObject *r = op(a.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object copy_of(nb::handle sparse) { return sparse.attr("copy")(); }
nb::object to_coo(nb::handle sparse) { return sparse.attr("tocoo")(); }

// The constructor's storage rule: a linear part of exactly the COO array type is kept as given,
// any other object is converted with its own tocoo().
nb::object coo_form(nb::handle linear) {
    if (Py_TYPE(linear.ptr()) == reinterpret_cast<PyTypeObject *>(g_module.get("coo_array").ptr()))
        return nb::borrow(linear);
    return to_coo(linear);
}

// Every operator result is a plain CompiledLinearExpression, whatever the operands' classes.
nb::object make_result(nb::object constant, nb::handle linear, nb::object quadratic) {
    nb::object stored = coo_form(linear);
    return nb::cast(CompiledLinearExpression(std::move(constant), std::move(stored),
                                             std::move(quadratic)));
}

// Copies of two sparse arrays grown to the larger extent in each dimension; growing keeps every
// entry where it is, and the operands' own arrays are never resized.
std::pair<nb::object, nb::object> aligned(nb::handle a, nb::handle b) {
    nb::object shape = g_module.get("np").attr("maximum")(a.attr("shape"), b.attr("shape"));
    nb::object ca = copy_of(a);
    ca.attr("resize")(shape);
    nb::object cb = copy_of(b);
    cb.attr("resize")(shape);
    return {ca, cb};
}

// ---------------------------------------------------------------------------------------------
// Operators.

// Sparse arrays have no unary plus: the plus of a copy is the copy itself.
nb::object op_pos(nb::handle self) {
    const CompiledLinearExpression &e = parts(self);
    nb::object q = e.quadratic_.is_none() ? nb::none() : copy_of(e.quadratic_);
    return make_result(unary(e.constant_, PyNumber_Positive), to_coo(copy_of(e.linear_)), q);
}

nb::object op_neg(nb::handle self) {
    const CompiledLinearExpression &e = parts(self);
    nb::object q = e.quadratic_.is_none() ? nb::none()
                                          : unary(copy_of(e.quadratic_), PyNumber_Negative);
    nb::object l = to_coo(unary(copy_of(e.linear_), PyNumber_Negative));
    return make_result(unary(e.constant_, PyNumber_Negative), l, q);
}

nb::object add_or_sub(nb::handle self, nb::handle other, bool subtract) {
    const binaryfunc op = subtract ? PyNumber_Subtract : PyNumber_Add;
    const CompiledLinearExpression &e = parts(self);
    if (is_expression(other)) {
        const CompiledLinearExpression &o = parts(other);
        nb::object constant = binary(e.constant_, o.constant_, op);
        auto [a, b] = aligned(e.linear_, o.linear_);
        nb::object linear = to_coo(binary(a, b, op));
        nb::object q = nb::none();
        if (!e.quadratic_.is_none() && !o.quadratic_.is_none()) {
            auto [qa, qb] = aligned(e.quadratic_, o.quadratic_);
            q = to_coo(binary(qa, qb, op));
        } else if (!e.quadratic_.is_none()) {
            q = copy_of(e.quadratic_);
        } else if (!o.quadratic_.is_none()) {
            q = copy_of(o.quadratic_);
            if (subtract) q = unary(q, PyNumber_Negative);
        }
        return make_result(std::move(constant), linear, std::move(q));
    }
    if (is_number(other)) {
        nb::object constant = binary(e.constant_, other, op);
        nb::object q = e.quadratic_.is_none() ? nb::none() : copy_of(e.quadratic_);
        return make_result(std::move(constant), copy_of(e.linear_), std::move(q));
    }
    refuse(kAddNotExpression);
}

nb::object op_add(nb::handle self, nb::handle other) { return add_or_sub(self, other, false); }
nb::object op_sub(nb::handle self, nb::handle other) { return add_or_sub(self, other, true); }

// Looked up on self, as the reflected form of a Python class calls its own addition.
nb::object op_radd(nb::handle self, nb::handle other) { return self.attr("__add__")(other); }

nb::object op_mul(nb::handle self, nb::handle other) {
    const CompiledLinearExpression &e = parts(self);
    if (is_number(other)) {
        nb::object constant = binary(other, e.constant_, PyNumber_Multiply);
        nb::object linear = binary(other, e.linear_, PyNumber_Multiply);
        nb::object q = e.quadratic_.is_none() ? nb::none()
                                              : binary(other, e.quadratic_, PyNumber_Multiply);
        return make_result(std::move(constant), linear, std::move(q));
    }
    if (!is_expression(other)) refuse(kMulNotExpression);
    const CompiledLinearExpression &o = parts(other);
    // A product of degree above two has no representation.
    if (!e.quadratic_.is_none() || !o.quadratic_.is_none()) refuse(kMulNotExpression);
    auto [a, b] = aligned(e.linear_, o.linear_);
    nb::object constant = binary(o.constant_, e.constant_, PyNumber_Multiply);
    nb::object linear = to_coo(binary(binary(o.constant_, a, PyNumber_Multiply),
                                      binary(e.constant_, b, PyNumber_Multiply), PyNumber_Add));
    // 0.5 (a bᵀ + b aᵀ): symmetric, with xᵀQx = (a·x)(b·x).
    nb::object ab = binary(a, b.attr("T"), PyNumber_MatrixMultiply);
    nb::object ba = binary(b, a.attr("T"), PyNumber_MatrixMultiply);
    nb::object half = nb::steal(PyFloat_FromDouble(0.5));
    nb::object q = to_coo(binary(half, binary(ab, ba, PyNumber_Add), PyNumber_Multiply));
    return make_result(std::move(constant), linear, std::move(q));
}

nb::object op_rmul(nb::handle self, nb::handle other) { return self.attr("__mul__")(other); }

// ---------------------------------------------------------------------------------------------
// Properties: fresh arrays and matrices on every access.

nb::object linear_indexes(const CompiledLinearExpression &e) {
    return copy_of(e.linear_.attr("row"));
}

nb::object linear_values(const CompiledLinearExpression &e) {
    return copy_of(e.linear_.attr("data"));
}

// The solver takes the Hessian, 2Q, column-compressed.
nb::object quadratic_values(const CompiledLinearExpression &e) {
    if (e.quadratic_.is_none()) return nb::none();
    nb::object csc = e.quadratic_.attr("tocsc")(nb::arg("copy") = true);
    return binary(nb::int_(2), csc, PyNumber_Multiply);
}

// ---------------------------------------------------------------------------------------------
// Constructors.

void init_expression(CompiledLinearExpression *self, nb::object linear, nb::object constant,
                     nb::object quadratic) {
    nb::object stored = coo_form(linear);
    new (self) CompiledLinearExpression(std::move(constant), std::move(stored),
                                        std::move(quadratic));
}

// A sum of nothing or of numbers only is the constant expression of that number, with no
// coefficients and no quadratic part, so that an empty range or sequence sums to zero.
nb::object empty_column() {
    nb::object np = g_module.get("np");
    nb::object int64 = np.attr("int64");
    auto empty = [&] { return np.attr("array")(nb::list(), nb::arg("dtype") = int64); };
    nb::object coords = nb::make_tuple(empty(), empty());
    return g_module.get("coo_array")(nb::make_tuple(empty(), coords),
                                     nb::arg("shape") = nb::make_tuple(0, 1));
}

void init_sum(CompiledSum *self, nb::handle expressions) {
    nb::object total = nb::module_::import_("builtins").attr("sum")(expressions);
    if (is_expression(total)) {
        const CompiledLinearExpression &t = parts(total);
        new (self) CompiledSum(t.constant_, t.linear_, t.quadratic_);
        return;
    }
    if (!is_number(total)) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '_constant'",
                     Py_TYPE(total.ptr())->tp_name);
        throw nb::python_error();
    }
    new (self) CompiledSum(total, empty_column(), nb::none());
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: the parts are arbitrary objects (the constructor tests nothing), so they
// can close a cycle through an expression's attribute dictionary.

int expression_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject **dict = _PyObject_GetDictPtr(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    CompiledLinearExpression *e = nb::inst_ptr<CompiledLinearExpression>(self);
    Py_VISIT(e->constant_.ptr());
    Py_VISIT(e->linear_.ptr());
    Py_VISIT(e->quadratic_.ptr());
    return 0;
}

int expression_clear(PyObject *self) {
    if (PyObject **dict = _PyObject_GetDictPtr(self)) Py_CLEAR(*dict);
    if (!nb::inst_ready(self)) return 0;
    CompiledLinearExpression *e = nb::inst_ptr<CompiledLinearExpression>(self);
    e->constant_ = nb::none();
    e->linear_ = nb::none();
    e->quadratic_ = nb::none();
    return 0;
}

PyType_Slot kExpressionSlots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(expression_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(expression_clear)},
    {0, nullptr},
};

}  // namespace

}  // namespace zk::lp1

NB_MODULE(compiled_linear_expressions, m) {
    using namespace zk::lp1;
    using namespace nb::literals;
    zk::init_module();

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("np") = nb::module_::import_("numpy");
    nb::module_ numbers = nb::module_::import_("numbers");
    m.attr("Integral") = numbers.attr("Integral");
    m.attr("Real") = numbers.attr("Real");
    m.attr("coo_array") = nb::module_::import_("scipy.sparse").attr("coo_array");
    zk::import_logger(m);
    g_module.bind(m);

    nb::class_<CompiledLinearExpression> base(m, "CompiledLinearExpression", nb::dynamic_attr(),
                                              nb::type_slots(kExpressionSlots));
    base.def("__init__", &init_expression, "linear_coefficients"_a.none(),
             "constant"_a.none() = 0, "quadratic_coefficients"_a.none() = nb::none(),
             nb::sig("def __init__(self, linear_coefficients: coo_array, "
                     "constant: tp.Union[Integral, Real] = 0, "
                     "quadratic_coefficients: tp.Optional[coo_array] = None) -> None"))
        .def_prop_ro("constant", [](const CompiledLinearExpression &e) { return e.constant_; },
                     nb::for_getter(nb::sig("def constant(self) -> tp.Union[Integral, Real]")))
        .def_prop_ro("linear_coefficients_indexes", &linear_indexes,
                     nb::for_getter(nb::sig(
                         "def linear_coefficients_indexes(self) -> tp.Sequence[int]")))
        .def_prop_ro("quadratic_coefficients", &quadratic_values,
                     nb::for_getter(nb::sig("def quadratic_coefficients(self)")))
        .def_prop_ro("linear_coefficients", &linear_values,
                     nb::for_getter(nb::sig(
                         "def linear_coefficients(self) -> tp.Sequence[Integral]")))
        .def("__pos__", &op_pos, nb::sig("def __pos__(self) -> CompiledLinearExpression"))
        .def("__neg__", &op_neg, nb::sig("def __neg__(self) -> CompiledLinearExpression"))
        .def("__radd__", &op_radd, "other"_a.none(),
             nb::sig("def __radd__(self, other: tp.Union[CompiledLinearExpression, Integral, "
                     "Real]) -> CompiledLinearExpression"))
        .def("__add__", &op_add, "other"_a.none(),
             nb::sig("def __add__(self, other: tp.Union[CompiledLinearExpression, Integral, "
                     "Real]) -> CompiledLinearExpression"))
        .def("__sub__", &op_sub, "other"_a.none(),
             nb::sig("def __sub__(self, other: tp.Union[CompiledLinearExpression, Integral, "
                     "Real]) -> CompiledLinearExpression"))
        .def("__mul__", &op_mul, "other"_a.none(),
             nb::sig("def __mul__(self, other: tp.Union[Integral, Real, "
                     "CompiledLinearExpression]) -> CompiledLinearExpression"))
        .def("__rmul__", &op_rmul, "other"_a.none(),
             nb::sig("def __rmul__(self, other: int) -> CompiledLinearExpression"))
        .def_rw("_constant", &CompiledLinearExpression::constant_)
        .def_rw("_linear_coefficients", &CompiledLinearExpression::linear_)
        .def_rw("_quadratic_coefficients", &CompiledLinearExpression::quadratic_);
    g_base_type = reinterpret_cast<PyTypeObject *>(base.ptr());
    // Properties stored after the class was made missed the naming that class creation gives;
    // without it, assigning to one would not name the attribute in the error.
    for (const char *p : {"constant", "linear_coefficients_indexes", "quadratic_coefficients",
                          "linear_coefficients"})
        nb::getattr(base, "__dict__")[p].attr("__set_name__")(base, p);

    nb::class_<CompiledSum, CompiledLinearExpression>(m, "CompiledSum",
                                                      nb::type_slots(kExpressionSlots))
        .def("__init__", &init_sum, "expressions"_a.none(),
             nb::sig("def __init__(self, expressions: "
                     "tp.Sequence[CompiledLinearExpression]) -> None"));
}
