// zk_encoder.linear_parser.compiled_linear_expressions: the numeric linear expressions that the
// first-generation linear model gets when it evaluates a constraint's or the objective's text.
// An expression is a value: a constant, a sparse column of coefficients over global columns and
// an optional quadratic part Q (the value xᵀQx); no operation changes an operand or hands out a
// stored array.
#include "zk_encoder/linear_parser/compiled_linear_expressions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/arrays.hpp"
#include "common/gc.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/pyclass.hpp"

namespace zk::lp1 {

namespace {

constexpr const char *kAddNotExpression =
    "Type 'LinearExpression' is expected for left side of expression";
constexpr const char *kMulNotExpression =
    "Type 'LinearExpression' or 'int' is expected for expression";

constexpr std::int64_t kMaxExtent = std::numeric_limits<std::int32_t>::max();

// The module's globals (np, Integral, Real, coo_array, log_e), read at each use as the module's
// code reads them.
ModuleGlobals g_module;
PyTypeObject *g_base_type = nullptr;

// What the native form is exchanged with; not names of the module.
struct Refs {
    nb::object csc_array_, builtin_sum_;
};
Refs *g_refs = nullptr;

bool is_expression(nb::handle obj) { return PyObject_TypeCheck(obj.ptr(), g_base_type) != 0; }

CompiledLinearExpression &state(nb::handle obj) {
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

// ---------------------------------------------------------------------------------------------
// Numbers and arrays between the host and the native form. Only what that form holds exactly is
// taken in: the host's own int (of any size), bool and float; numpy arrays of dtype int32, int64
// or float64 in native byte order.

// An int beyond 64 bits, read through its hexadecimal text.
ExactInt exact_of(nb::handle obj) {
    nb::object text = check(PyNumber_ToBase(obj.ptr(), 16));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw nb::python_error();
    std::optional<ExactInt> v = ExactInt::from_hex(std::string_view(utf8, size));
    if (!v) {
        PyErr_SetString(PyExc_SystemError, "unexpected hexadecimal text of an int");
        throw nb::python_error();
    }
    return std::move(*v);
}

std::optional<Number> number_of(nb::handle obj) {
    PyObject *o = obj.ptr();
    if (PyBool_Check(o)) return Number::of_int(o == Py_True ? 1 : 0);
    if (PyLong_CheckExact(o)) {
        std::int64_t v = 0;
        if (!int64_of(o, v)) return Number::of_exact(exact_of(obj));
        return Number::of_int(v);
    }
    if (PyFloat_CheckExact(o)) return Number::of_float(PyFloat_AS_DOUBLE(o));
    return std::nullopt;
}

// The float of an object value, as the host converts an int (OverflowError beyond the float
// range).
double float_of(const Entry &v) {
    const double d = v.to_double();
    if (!v.float_ && !std::isfinite(d)) {
        PyErr_SetString(PyExc_OverflowError, "int too large to convert to float");
        throw nb::python_error();
    }
    return d;
}

bool read_index(nb::handle arr, std::vector<std::int64_t> &out, IndexType &type) {
    switch (arrays::numpy_kind(arr)) {
        case 'l': {
            type = IndexType::kInt64;
            arrays::copy_items(arr, out);
            return true;
        }
        case 'i': {
            type = IndexType::kInt32;
            std::vector<std::int32_t> narrow;
            arrays::copy_items(arr, narrow);
            out.assign(narrow.begin(), narrow.end());
            return true;
        }
        default:
            return false;
    }
}

bool read_values(nb::handle arr, Values &out) {
    switch (arrays::numpy_kind(arr)) {
        case 'l':
            out.type_ = Dtype::kInt64;
            arrays::copy_items(arr, out.ints_);
            return true;
        case 'd':
            out.type_ = Dtype::kFloat64;
            arrays::copy_items(arr, out.floats_);
            return true;
        default:
            return false;
    }
}

bool read_extent(nb::handle obj, std::int64_t &out) {
    std::int64_t v = 0;
    if (!PyLong_CheckExact(obj.ptr()) || !int64_of(obj, v) || v < 0 || v > kMaxExtent) return false;
    out = v;
    return true;
}

// A COO array of exactly scipy's type whose entries are unique and within its shape.
std::optional<Coo> coo_of(nb::handle obj, bool column) {
    if (Py_TYPE(obj.ptr()) != reinterpret_cast<PyTypeObject *>(g_module.get("coo_array").ptr()))
        return std::nullopt;
    nb::object shape = obj.attr("shape");
    if (!PyTuple_Check(shape.ptr()) || PyTuple_GET_SIZE(shape.ptr()) != 2) return std::nullopt;
    Coo c;
    if (!read_extent(PyTuple_GET_ITEM(shape.ptr(), 0), c.rows_) ||
        !read_extent(PyTuple_GET_ITEM(shape.ptr(), 1), c.cols_))
        return std::nullopt;
    if (column && c.cols_ != 1) return std::nullopt;
    IndexType col_type = IndexType::kInt64;
    if (!read_index(obj.attr("row"), c.row_, c.index_) ||
        !read_index(obj.attr("col"), c.col_, col_type) || col_type != c.index_ ||
        !read_values(obj.attr("data"), c.values_))
        return std::nullopt;
    if (c.col_.size() != c.row_.size() || c.values_.size() != c.row_.size()) return std::nullopt;
    std::vector<std::pair<std::int64_t, std::int64_t>> cells;
    cells.reserve(c.row_.size());
    for (std::size_t k = 0; k < c.row_.size(); ++k) {
        if (c.row_[k] < 0 || c.row_[k] >= c.rows_ || c.col_[k] < 0 || c.col_[k] >= c.cols_)
            return std::nullopt;
        cells.emplace_back(c.row_[k], c.col_[k]);
    }
    // An array flagged canonical is converted without sorting: take it only if it is sorted.
    const bool flagged = truth(obj.attr("has_canonical_format"));
    if (flagged && !std::is_sorted(cells.begin(), cells.end())) return std::nullopt;
    std::sort(cells.begin(), cells.end());
    if (std::adjacent_find(cells.begin(), cells.end()) != cells.end()) return std::nullopt;
    return c;
}

nb::object np_index(const std::vector<std::int64_t> &v, IndexType type) {
    if (type == IndexType::kInt64) return arrays::numpy_copy_of(v);
    auto [arr, out] = arrays::numpy_empty<std::int32_t>(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) out[k] = static_cast<std::int32_t>(v[k]);
    return arr;
}

// Object values go out as float64, the widest type the sparse library holds.
nb::object np_values(const Values &v) {
    if (v.type_ == Dtype::kInt64) return arrays::numpy_copy_of(v.ints_);
    if (v.type_ == Dtype::kFloat64) return arrays::numpy_copy_of(v.floats_);
    std::vector<double> rounded;
    rounded.reserve(v.objects_.size());
    for (const Entry &x : v.objects_) rounded.push_back(float_of(x));
    return arrays::numpy_copy_of(rounded);
}

nb::object py_coo(const Coo &c) {
    nb::object coords = nb::make_tuple(np_index(c.row_, c.index_), np_index(c.col_, c.index_));
    return g_module.get("coo_array")(nb::make_tuple(np_values(c.values_), coords),
                                     nb::arg("shape") = nb::make_tuple(c.rows_, c.cols_));
}

// ---------------------------------------------------------------------------------------------
// The two forms of an expression.

const Polynomial *native(CompiledLinearExpression &e) {
    if (e.native_ || e.native_tried_) return e.native_.get();
    e.native_tried_ = true;
    std::optional<Number> c = number_of(e.constant_);
    if (!c) return nullptr;
    std::optional<Coo> linear = coo_of(e.linear_, true);
    if (!linear) return nullptr;
    auto p = std::make_shared<Polynomial>();
    p->constant_ = *c;
    p->linear_ = std::move(*linear);
    if (!e.quadratic_.is_none()) {
        std::optional<Coo> q = coo_of(e.quadratic_, false);
        if (!q) return nullptr;
        p->quadratic_ = std::move(*q);
    }
    e.native_ = std::move(p);
    return e.native_.get();
}

const nb::object &constant_of(CompiledLinearExpression &e) {
    if (!e.constant_.is_valid()) e.constant_ = py_number(e.native_->constant_);
    return e.constant_;
}

const nb::object &linear_of(CompiledLinearExpression &e) {
    if (!e.linear_.is_valid()) e.linear_ = py_coo(e.native_->linear_);
    return e.linear_;
}

const nb::object &quadratic_of(CompiledLinearExpression &e) {
    if (!e.quadratic_.is_valid())
        e.quadratic_ = e.native_->quadratic_ ? py_coo(*e.native_->quadratic_) : nb::none();
    return e.quadratic_;
}

bool has_quadratic(CompiledLinearExpression &e) {
    if (e.native_ && !e.quadratic_.is_valid()) return e.native_->quadratic_.has_value();
    return !quadratic_of(e).is_none();
}

nb::object from_native(std::optional<Polynomial> &&p) {
    return nb::cast(CompiledLinearExpression(std::make_shared<const Polynomial>(std::move(*p))));
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
    return nb::cast(
        CompiledLinearExpression(std::move(constant), std::move(stored), std::move(quadratic)));
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
// Operators: in native form when both operands are held there, through scipy otherwise (parts
// that form does not hold, such as other dtypes or formats, numpy scalars or integers beyond 64
// bits). Both ways give the same arrays.

// Sparse arrays have no unary plus: the plus of a copy is the copy itself.
nb::object op_pos(nb::handle self) {
    CompiledLinearExpression &e = state(self);
    if (const Polynomial *p = native(e)) return from_native(positive(*p));
    nb::object constant = unary(constant_of(e), PyNumber_Positive);
    nb::object linear = to_coo(copy_of(linear_of(e)));
    const nb::object &q0 = quadratic_of(e);
    nb::object q = q0.is_none() ? nb::none() : copy_of(q0);
    return make_result(std::move(constant), linear, std::move(q));
}

nb::object op_neg(nb::handle self) {
    CompiledLinearExpression &e = state(self);
    if (const Polynomial *p = native(e)) {
        if (std::optional<Polynomial> r = negative(*p)) return from_native(std::move(r));
    }
    nb::object constant = unary(constant_of(e), PyNumber_Negative);
    nb::object linear = to_coo(unary(copy_of(linear_of(e)), PyNumber_Negative));
    const nb::object &q0 = quadratic_of(e);
    nb::object q = q0.is_none() ? nb::none() : unary(copy_of(q0), PyNumber_Negative);
    return make_result(std::move(constant), linear, std::move(q));
}

nb::object add_or_sub(nb::handle self, nb::handle other, bool subtract) {
    const binaryfunc op = subtract ? PyNumber_Subtract : PyNumber_Add;
    CompiledLinearExpression &e = state(self);
    if (is_expression(other)) {
        CompiledLinearExpression &o = state(other);
        const Polynomial *pe = native(e);
        const Polynomial *po = pe ? native(o) : nullptr;
        if (pe && po) {
            if (std::optional<Polynomial> r = add(*pe, *po, subtract))
                return from_native(std::move(r));
        }
        nb::object constant = binary(constant_of(e), constant_of(o), op);
        auto [a, b] = aligned(linear_of(e), linear_of(o));
        nb::object linear = to_coo(binary(a, b, op));
        const nb::object &qe = quadratic_of(e);
        const nb::object &qo = quadratic_of(o);
        nb::object q = nb::none();
        if (!qe.is_none() && !qo.is_none()) {
            auto [qa, qb] = aligned(qe, qo);
            q = to_coo(binary(qa, qb, op));
        } else if (!qe.is_none()) {
            q = copy_of(qe);
        } else if (!qo.is_none()) {
            q = copy_of(qo);
            if (subtract) q = unary(q, PyNumber_Negative);
        }
        return make_result(std::move(constant), linear, std::move(q));
    }
    if (numbers::is_number(other)) {
        // A NaN or an infinity would make every result built on it meaningless, and the solver
        // refuses it: refused where it is given.
        numbers::refuse_if_not_finite(g_module, linear::kConstant, other);
        if (const Polynomial *p = native(e)) {
            if (std::optional<Number> k = number_of(other)) {
                if (std::optional<Polynomial> r = add(*p, *k, subtract))
                    return from_native(std::move(r));
            }
        }
        nb::object constant = binary(constant_of(e), other, op);
        nb::object linear = copy_of(linear_of(e));
        const nb::object &q0 = quadratic_of(e);
        nb::object q = q0.is_none() ? nb::none() : copy_of(q0);
        return make_result(std::move(constant), linear, std::move(q));
    }
    g_module.raise_logged(PyExc_TypeError, kAddNotExpression);
}

nb::object op_add(nb::handle self, nb::handle other) { return add_or_sub(self, other, false); }
nb::object op_sub(nb::handle self, nb::handle other) { return add_or_sub(self, other, true); }

// Looked up on self, as the reflected form of a Python class calls its own addition.
nb::object op_radd(nb::handle self, nb::handle other) { return self.attr("__add__")(other); }

nb::object op_mul(nb::handle self, nb::handle other) {
    CompiledLinearExpression &e = state(self);
    if (numbers::is_number(other)) {
        numbers::refuse_if_not_finite(g_module, linear::kCoefficient, other);
        if (const Polynomial *p = native(e)) {
            if (std::optional<Number> k = number_of(other)) {
                if (std::optional<Polynomial> r = scale(*p, *k)) return from_native(std::move(r));
            }
        }
        nb::object constant = binary(other, constant_of(e), PyNumber_Multiply);
        nb::object linear = binary(other, linear_of(e), PyNumber_Multiply);
        const nb::object &q0 = quadratic_of(e);
        nb::object q = q0.is_none() ? nb::none() : binary(other, q0, PyNumber_Multiply);
        return make_result(std::move(constant), linear, std::move(q));
    }
    if (!is_expression(other)) g_module.raise_logged(PyExc_TypeError, kMulNotExpression);
    CompiledLinearExpression &o = state(other);
    // A product of degree above two has no representation.
    if (has_quadratic(e) || has_quadratic(o))
        g_module.raise_logged(PyExc_TypeError, kMulNotExpression);
    const Polynomial *pe = native(e);
    const Polynomial *po = pe ? native(o) : nullptr;
    if (pe && po) {
        if (std::optional<Polynomial> r = multiply(*pe, *po)) return from_native(std::move(r));
    }
    auto [a, b] = aligned(linear_of(e), linear_of(o));
    const nb::object &ce = constant_of(e);
    const nb::object &co = constant_of(o);
    nb::object constant = binary(co, ce, PyNumber_Multiply);
    nb::object scaled_a = binary(co, a, PyNumber_Multiply);
    nb::object scaled_b = binary(ce, b, PyNumber_Multiply);
    nb::object linear = to_coo(binary(scaled_a, scaled_b, PyNumber_Add));
    // 0.5 (a bᵀ + b aᵀ): symmetric, with xᵀQx = (a·x)(b·x).
    nb::object ab = binary(a, b.attr("T"), PyNumber_MatrixMultiply);
    nb::object ba = binary(b, a.attr("T"), PyNumber_MatrixMultiply);
    nb::object half = check(PyFloat_FromDouble(0.5));
    nb::object q = to_coo(binary(half, binary(ab, ba, PyNumber_Add), PyNumber_Multiply));
    return make_result(std::move(constant), linear, std::move(q));
}

nb::object op_rmul(nb::handle self, nb::handle other) { return self.attr("__mul__")(other); }

// ---------------------------------------------------------------------------------------------
// Properties: fresh arrays and matrices on every access.

nb::object linear_indexes(nb::handle self) {
    CompiledLinearExpression &e = state(self);
    if (e.native_) return np_index(e.native_->linear_.row_, e.native_->linear_.index_);
    return copy_of(linear_of(e).attr("row"));
}

nb::object linear_values(nb::handle self) {
    CompiledLinearExpression &e = state(self);
    if (e.native_) return np_values(e.native_->linear_.values_);
    return copy_of(linear_of(e).attr("data"));
}

// The solver takes the Hessian, 2Q, column-compressed.
nb::object quadratic_values(nb::handle self) {
    CompiledLinearExpression &e = state(self);
    if (e.native_) {
        if (!e.native_->quadratic_) return nb::none();
        if (std::optional<Compressed> h = hessian(*e.native_->quadratic_)) {
            nb::object parts =
                nb::make_tuple(np_values(h->values_), np_index(h->indices_, h->index_),
                               np_index(h->indptr_, h->index_));
            return g_refs->csc_array_(parts, nb::arg("shape") = nb::make_tuple(h->rows_, h->cols_));
        }
    }
    const nb::object &q = quadratic_of(e);
    if (q.is_none()) return nb::none();
    nb::object csc = q.attr("tocsc")(nb::arg("copy") = true);
    return binary(nb::int_(2), csc, PyNumber_Multiply);
}

// The stored parts, as a program may read (or replace) them.
nb::object get_constant(nb::handle self) { return constant_of(state(self)); }
nb::object get_linear(nb::handle self) { return linear_of(state(self)); }
nb::object get_quadratic(nb::handle self) { return quadratic_of(state(self)); }

// Replacing one part leaves the Python form as the only one.
void detach(CompiledLinearExpression &e) {
    constant_of(e);
    linear_of(e);
    quadratic_of(e);
    e.native_.reset();
    e.native_tried_ = false;
}
void set_constant(nb::handle self, nb::object v) {
    detach(state(self));
    state(self).constant_ = std::move(v);
}
void set_linear(nb::handle self, nb::object v) {
    detach(state(self));
    state(self).linear_ = std::move(v);
}
void set_quadratic(nb::handle self, nb::object v) {
    detach(state(self));
    state(self).quadratic_ = std::move(v);
}

// ---------------------------------------------------------------------------------------------
// Constructors.

void init_expression(CompiledLinearExpression *self, nb::object linear, nb::object constant,
                     nb::object quadratic) {
    nb::object stored = coo_form(linear);
    new (self)
        CompiledLinearExpression(std::move(constant), std::move(stored), std::move(quadratic));
}

// A sum of nothing or of numbers only is the constant expression of that number, with no
// coefficients and no quadratic part, so that an empty range or sequence sums to zero.
nb::object empty_column() {
    Coo c;
    c.rows_ = 0;
    return py_coo(c);
}

// The builtin sum of the items, in one native pass when every item is held in native form, else
// through the host's own sum (which also raises what a foreign item raises).
nb::object total_of(nb::handle expressions) {
    nb::object items = nb::steal(PySequence_List(expressions.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    std::vector<SumItem> native_items;
    native_items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.ptr())));
    bool all_native = true;
    for (nb::handle item : items) {
        SumItem s;
        if (is_expression(item)) {
            s.expression_ = native(state(item));
        } else if (std::optional<Number> n = number_of(item)) {
            s.number_ = *n;
            native_items.push_back(s);
            continue;
        }
        if (!s.expression_) {
            all_native = false;
            break;
        }
        native_items.push_back(s);
    }
    if (all_native) {
        if (std::optional<SumResult> r = sum_items(native_items)) {
            if (r->expression_) return from_native(std::move(r->expression_));
            return py_number(r->number_);
        }
    }
    return g_refs->builtin_sum_(items);
}

void init_sum(CompiledSum *self, nb::handle expressions) {
    nb::object total = total_of(expressions);
    if (is_expression(total)) {
        // The sum is a new expression that nothing else holds: its parts are taken over.
        CompiledLinearExpression &t = state(total);
        new (self) CompiledSum(t.constant_, t.linear_, t.quadratic_);
        self->native_ = t.native_;
        self->native_tried_ = t.native_tried_;
        return;
    }
    if (!numbers::is_number(total)) {
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '_constant'",
                     Py_TYPE(total.ptr())->tp_name);
        throw nb::python_error();
    }
    if (std::optional<Number> c = number_of(total)) {
        new (self) CompiledSum(std::make_shared<const Polynomial>(constant_polynomial(*c)));
        return;
    }
    new (self) CompiledSum(total, empty_column(), nb::none());
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: the parts are arbitrary objects (the constructor tests nothing), so they
// can close a cycle through an expression's attribute dictionary.

using ExpressionGc =
    GcSlots<CompiledLinearExpression, &CompiledLinearExpression::constant_,
            &CompiledLinearExpression::linear_, &CompiledLinearExpression::quadratic_>;

// An expression made from the native form keeps it: its parts can be made again from it, so they
// are left unmade rather than None.
int expression_clear(PyObject *self) {
    ExpressionGc::clear(self);
    if (!nb::inst_ready(self)) return 0;
    CompiledLinearExpression *e = nb::inst_ptr<CompiledLinearExpression>(self);
    if (e->native_) {
        e->constant_ = nb::object();
        e->linear_ = nb::object();
        e->quadratic_ = nb::object();
    }
    return 0;
}

PyType_Slot kExpressionSlots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(ExpressionGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(expression_clear)},
    {0, nullptr},
};

void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    init_module();

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("np") = nb::module_::import_("numpy");
    nb::module_ numbers = nb::module_::import_("numbers");
    m.attr("Integral") = numbers.attr("Integral");
    m.attr("Real") = numbers.attr("Real");
    m.attr("coo_array") = nb::module_::import_("scipy.sparse").attr("coo_array");
    import_logger(m);
    g_module.bind(m);
    g_refs = new Refs{nb::module_::import_("scipy.sparse").attr("csc_array"),
                      nb::module_::import_("builtins").attr("sum")};

    nb::class_<CompiledLinearExpression> base(m, "CompiledLinearExpression", nb::dynamic_attr(),
                                              nb::type_slots(kExpressionSlots));
    base.def("__init__", &init_expression, "linear_coefficients"_a.none(), "constant"_a.none() = 0,
             "quadratic_coefficients"_a.none() = nb::none(),
             nb::sig("def __init__(self, linear_coefficients: coo_array, "
                     "constant: tp.Union[Integral, Real] = 0, "
                     "quadratic_coefficients: tp.Optional[coo_array] = None) -> None"))
        .def_prop_ro("constant", &get_constant,
                     nb::for_getter(nb::sig("def constant(self) -> tp.Union[Integral, Real]")))
        .def_prop_ro(
            "linear_coefficients_indexes", &linear_indexes,
            nb::for_getter(nb::sig("def linear_coefficients_indexes(self) -> tp.Sequence[int]")))
        .def_prop_ro("quadratic_coefficients", &quadratic_values,
                     nb::for_getter(nb::sig("def quadratic_coefficients(self)")))
        .def_prop_ro(
            "linear_coefficients", &linear_values,
            nb::for_getter(nb::sig("def linear_coefficients(self) -> tp.Sequence[Integral]")))
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
        .def_prop_rw("_constant", &get_constant, &set_constant)
        .def_prop_rw("_linear_coefficients", &get_linear, &set_linear)
        .def_prop_rw("_quadratic_coefficients", &get_quadratic, &set_quadratic);
    g_base_type = reinterpret_cast<PyTypeObject *>(base.ptr());
    // numpy's operators would otherwise take an expression as an element of an object array:
    // they hand it back to the expression's reflected operators, which answer as for the same
    // operands the other way round.
    base.attr("__array_ufunc__") = nb::none();
    name_properties(base, {"constant", "linear_coefficients_indexes", "quadratic_coefficients",
                           "linear_coefficients"});

    nb::class_<CompiledSum, CompiledLinearExpression>(m, "CompiledSum",
                                                      nb::type_slots(kExpressionSlots))
        .def("__init__", &init_sum, "expressions"_a.none(),
             nb::sig("def __init__(self, expressions: "
                     "tp.Sequence[CompiledLinearExpression]) -> None"));
}

}  // namespace

}  // namespace zk::lp1

ZK_MODULE(compiled_linear_expressions, m) { zk::lp1::bind_module(m); }
