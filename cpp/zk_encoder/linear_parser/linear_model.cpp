// zk_encoder.linear_parser.linear_model: the first-generation linear model. It hands variable
// blocks, rows, the objective and start values to the engine's solver `linsolver`, runs it and
// reads the results back.
//
// The engine is reached only through the module's global `linsolver`, looked up at every use, so
// that a program (or a test) can put another solver module in its place.
#include "common/linear_model.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/arrays.hpp"
#include "common/engine_calls.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/names.hpp"
#include "common/numbers.hpp"
#include "common/pyclass.hpp"
#include "common/python_private.hpp"
#include "lp1/text_evaluator.hpp"
#include "texts/expression_reader.hpp"
#include "texts/native_route.hpp"
#include "zk_encoder/linear_parser/compiled_linear_expressions.hpp"
#include "zk_encoder/linear_parser/forall_text.hpp"
#include "zk_encoder/linear_parser/linear_expression.hpp"
#include "zk_encoder/linear_parser/linear_variables.hpp"

namespace zk::lp1 {

namespace {

using namespace nb::literals;

constexpr const char *kModule = "zk_encoder.linear_parser.linear_model";

constexpr const char *kGetIndexesDoc =
    "\n"
    "        Provides indexes for writing expressions.\n"
    "\n"
    "        :param indexes: sequence of index names.\n"
    "        :return: sequence of indexes or single index.\n"
    "        ";

constexpr const char *kInt32 = "int32";
constexpr const char *kFloat64 = "float64";
// The range of the solver's 32-bit integer bounds.
constexpr long long kInt32Min = -2147483648LL;
constexpr long long kInt32Max = 2147483647LL;

// A name the texts could not hold as it is.
constexpr const char *kKeywordNameMsg =
    "Linear variable named {} is a keyword and cannot name a variable";
constexpr const char *kNotReadBackMsg =
    "Linear variable named {} would not read back as the same name in a formula text";
constexpr const char *kShadowsMsg =
    "Linear variable named {} would hide a name that formula texts use";
// The summation class, bound by that name in every evaluation namespace: the texts of Sum and
// SumIt call it.
constexpr const char *kSumClass = "CompiledSum";
constexpr const char *kInfName = "inf";
// What a block's name must not be: the texts call the summation class and rely on the builtins.
constexpr const char *kTextNames[] = {kSumClass, names::kRangeName, names::kBuiltinsName};
constexpr const char *kIntegerRangeMsg =
    "For integer variables, the boundaries must lie between -2147483648 and 2147483647";
constexpr const char *kEmptyIndexesMsg =
    "The indexes parameter must contain a non-empty sequence of index names";
constexpr const char *kIndexInUseMsg = "Index named {} is already in use";
constexpr const char *kBordersTwiceMsg = "The borders is set twice";
constexpr const char *kColumnOutsideMsg = "Column {} lies outside the model's {} columns";

using linear::kBorderTwiceMsg;

ModuleGlobals g_module;
PyObject *g_eval = nullptr;
// What the native evaluation recognises in the namespace: blocks of exactly this type with its
// own call, and this summation class.
PyTypeObject *g_variable_type = nullptr;
ternaryfunc g_variable_call = nullptr;
PyObject *g_compiled_sum = nullptr;
// The text expressions' class (whose objects carry the blocks their texts name) and the class of
// a refused row or objective that names another model's block.
PyTypeObject *g_expression_type = nullptr;
PyObject *g_build_error = nullptr;
PyTypeObject *g_compiled_type = nullptr;

// The text expressions' own str() and format() as made at import: an expression that still has
// them writes the text its operators kept.
struct OwnText {
    PyObject *str_name_, *format_name_;
    PyObject *str_, *format_;
};
OwnText *g_own_text = nullptr;

// The names every row looks up in its namespace.
struct ScopeKeys {
    PyObject *builtins_, *sum_class_, *inf_;
};
ScopeKeys *g_keys = nullptr;
PyObject *g_namespace = nullptr;

// What the host's evaluation would call, as it was at import: the numeric expressions'
// operators and the summation's construction, and the names through which an element call makes
// its unit expression. The native evaluation reproduces these; if a program has put others in
// their place, the texts go to the host.
struct HostParts {
    struct Method {
        PyTypeObject *type_;
        PyObject *name_;
        PyObject *function_;
    };
    std::vector<Method> methods_;
    struct Global {
        PyObject *module_dict_;
        PyObject *name_;
        PyObject *value_;
    };
    std::vector<Global> globals_;
};
HostParts *g_host_parts = nullptr;

void record_host_parts() {
    g_host_parts = new HostParts();
    nb::module_ expressions =
        nb::module_::import_("zk_encoder.linear_parser.compiled_linear_expressions");
    nb::object base = expressions.attr("CompiledLinearExpression");
    nb::object sum = expressions.attr("CompiledSum");
    auto method = [](nb::handle type, const char *name) {
        PyTypeObject *t = reinterpret_cast<PyTypeObject *>(type.ptr());
        PyObject *n = interned(name);
        PyObject *f = py_private::type_lookup_new(t, n);
        return HostParts::Method{t, n, f};
    };
    for (const char *name :
         {"__add__", "__radd__", "__sub__", "__mul__", "__rmul__", "__neg__", "__pos__"})
        g_host_parts->methods_.push_back(method(base, name));
    g_host_parts->methods_.push_back(method(sum, "__init__"));
    g_host_parts->methods_.push_back(method(sum, "__new__"));
    nb::module_ variables = nb::module_::import_("zk_encoder.linear_parser.linear_variables");
    PyObject *dict = PyModule_GetDict(variables.ptr());
    for (const char *name : {"coo_array", "CompiledLinearExpression"}) {
        PyObject *n = interned(name);
        PyObject *v = PyDict_GetItemWithError(dict, n);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        Py_XINCREF(v);
        Py_INCREF(dict);
        g_host_parts->globals_.push_back({dict, n, v});
    }
}

bool host_parts_unchanged() {
    for (const HostParts::Method &m : g_host_parts->methods_)
        if (!py_private::type_finds(m.type_, m.name_, m.function_)) return false;
    for (const HostParts::Global &g : g_host_parts->globals_) {
        PyObject *v = PyDict_GetItemWithError(g.module_dict_, g.name_);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        if (v != g.value_) return false;
    }
    return true;
}

nb::object binary(PyObject *(*op)(PyObject *, PyObject *), nb::handle a, nb::handle b) {
    PyObject *r = op(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object add(nb::handle a, nb::handle b) { return binary(PyNumber_Add, a, b); }
nb::object subtract(nb::handle a, nb::handle b) { return binary(PyNumber_Subtract, a, b); }

nb::object negated(nb::handle a) {
    PyObject *r = PyNumber_Negative(a.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::str format_text(nb::handle obj) { return zk::format_plain(obj); }

nb::object global(const char *name) { return g_module.get(name); }
nb::object linsolver() { return global("linsolver"); }
// The global `inf`, which every row's open side reads.
nb::object infinity() {
    if (PyObject *v = PyDict_GetItem(g_namespace, g_keys->inf_)) return nb::borrow(v);
    return global(kInfName);
}
nb::object np() { return global("np"); }

struct LinearModel {
    nb::object linsolver_model_;
    nb::object used_vars_;
    nb::object general_shift_variable_;
    nb::object variables_;
    nb::object indexes_;
    nb::object formulas_dir_;
    linear::ModelState state_;
};

// ---------------------------------------------------------------------------------------------
// Construction

void init_model(LinearModel *self, nb::object log_solver, nb::kwargs options) {
    nb::object solver = linear::new_solver(g_module, log_solver, options);
    nb::dict formulas;
    formulas[kSumClass] = global(kSumClass);
    new (self)
        LinearModel{solver,   nb::steal(PySet_New(nullptr)), nb::int_(0), nb::dict(), nb::dict(),
                    formulas, linear::new_model_state()};
}

bool fits_int32(nb::handle value) {
    int64_t v = 0;
    return int64_of(value, v) && v >= kInt32Min && v <= kInt32Max;
}

// The texts name a block by its name and are evaluated by the host: a name that the host reads
// as a keyword or as another name, or one that hides what the texts call, would make every text
// that names it fail or mean another block.
void check_text_name(nb::handle name) {
    const char *format = nullptr;
    if (names::is_keyword(name))
        format = kKeywordNameMsg;
    else if (!names::reads_back(name))
        format = kNotReadBackMsg;
    else if (names::is_among(name, kTextNames))
        format = kShadowsMsg;
    if (format) g_module.raise_logged("VariableError", format_message_str(format, nb::str(name)));
}

// The bounds a real block's columns receive (linear::column_bound). Values for each element
// come in row-major element order, while the columns number the first dimension fastest: the
// column-major order of the elements, so the values go over as that ravel of them.
nb::object real_column_bounds(nb::object &bound, const char *what, int64_t count, nb::handle dims) {
    nb::object sent = linear::column_bound(g_module, what, bound, count, true);
    if (sent.is(bound)) return sent;
    nb::object sizes = check(PySequence_Tuple(dims.attr("values")().ptr()));
    return sent.attr("reshape")(sizes).attr("ravel")("order"_a = "F");
}

nb::object get_variables(LinearModel &self, nb::object name, nb::object variable_type,
                         nb::object lo, nb::object hi, nb::kwargs dims) {
    linear::check_new_name(g_module, self.used_vars_, name);
    check_text_name(name);
    // From here on the name stays taken, whatever happens later in the call.
    self.used_vars_.attr("add")(name);

    const linear::ColumnKind kind = linear::column_kind(g_module, variable_type);
    // Bounds as the plain numbers they stand for; a binary block's are neither tested nor sent.
    if (kind == linear::ColumnKind::kInteger) {
        lo = linear::bound_or_none(g_module, linear::kLowerBound, lo);
        hi = linear::bound_or_none(g_module, linear::kUpperBound, hi);
        if (!lo.is_valid() || !hi.is_valid() || !PyLong_Check(lo.ptr()) || !PyLong_Check(hi.ptr()))
            g_module.raise_logged(nb::handle(PyExc_ValueError), linear::kIntegerBoundsMsg);
        // The solver receives them as 32-bit integers: a wider value would wrap.
        if (!fits_int32(lo) || !fits_int32(hi))
            g_module.raise_logged(nb::handle(PyExc_ValueError), kIntegerRangeMsg);
    }
    // Checked before anything is allocated: numpy would try to hold every bound of a block that
    // the solver could never number.
    int64_t count = linear::block_count(g_module, dims);
    const int64_t first = index_int64(self.general_shift_variable_);
    linear::check_columns(g_module, name, first, count);

    // What the engine receives; the block records the caller's bounds (numbers as the plain ones
    // they stand for).
    nb::object lo_sent = lo, hi_sent = hi;
    if (kind == linear::ColumnKind::kReal) {
        lo_sent = real_column_bounds(lo, linear::kLowerBound, count, dims);
        hi_sent = real_column_bounds(hi, linear::kUpperBound, count, dims);
    }
    const linear::NewColumns columns(g_module, linear::ColumnRange{first, count},
                                     linear::block_bounds(kind, linear::BoundDtype::kInt32),
                                     lo_sent, hi_sent);
    // The block is made before the engine hears of it: a block refused here adds no column.
    const char *type_var = kind == linear::ColumnKind::kReal ? kFloat64 : kInt32;
    nb::object block = global("LinearVariable")(name, lo, hi, dims, self.general_shift_variable_,
                                                "type_var"_a = type_var);
    columns.send(self.linsolver_model_, [&] {
        // The engine holds the columns now: later blocks must be numbered behind them.
        self.general_shift_variable_ = nb::int_(first + count);
    });
    self.variables_[name] = block;
    return block;
}

nb::object get_indexes(LinearModel &self, nb::object names) {
    if (nb::len(names) == 0) g_module.raise_logged(nb::handle(PyExc_ValueError), kEmptyIndexesMsg);
    nb::list result;
    for (nb::handle name : names) {
        if (contains(self.used_vars_, name))
            g_module.raise_logged("VariableError",
                                  format_message_str(kIndexInUseMsg, nb::str(name)));
        nb::object index = global("Index")(name);
        self.indexes_[name] = index;
        result.append(index);
    }
    if (nb::len(result) > 1) return std::move(result);
    return result[0];
}

// ---------------------------------------------------------------------------------------------
// Constraints and objective

nb::object set_border(nb::object first_border, nb::object second_border) {
    if (!first_border.is_none() && !second_border.is_none())
        raise_plain(PyExc_ValueError, kBorderTwiceMsg);
    return first_border.is_none() ? second_border : first_border;
}

// The namespace texts are evaluated in: the summation class, then the blocks by name. Its names
// are looked up where they are kept; the namespace itself is made only for the host's evaluation,
// so that a row costs the same however many blocks the model has.
class Scope {
  public:
    explicit Scope(const LinearModel &model) : model_(model) {}

    // A borrowed reference, or null.
    PyObject *get(const char *name) {
        nb::object key = nb::steal(PyUnicode_FromString(name));
        if (!key.is_valid()) {
            PyErr_Clear();
            return nullptr;
        }
        return get(key.ptr());
    }

    // The same with the name as a str (made once where a row looks it up every time).
    PyObject *get(PyObject *key) {
        PyObject *vars = model_.variables_.ptr();
        PyObject *formulas = model_.formulas_dir_.ptr();
        if (!PyDict_CheckExact(vars) || !PyDict_CheckExact(formulas))
            return PyDict_GetItem(dict().ptr(), key);
        if (PyObject *v = PyDict_GetItem(vars, key)) return v;
        return PyDict_GetItem(formulas, key);
    }

    const nb::dict &dict() {
        if (!made_) {
            ns_.update(model_.formulas_dir_);
            ns_.update(model_.variables_);
            made_ = true;
        }
        return ns_;
    }

  private:
    const LinearModel &model_;
    nb::dict ns_;
    bool made_ = false;
};

nb::object evaluate(const nb::str &text, Scope &scope) {
    return nb::borrow(g_eval)(text, scope.dict(), scope.dict());
}

// ---------------------------------------------------------------------------------------------
// Native evaluation of the texts the library writes. A text it reads and binds completely gives
// the polynomials the host's evaluation would give, made into the same expression objects;
// anything else returns std::nullopt and goes to the host unchanged.

// Binds every free name of the text as the host would look it up in `ns`; false when a name is
// anything but a block or the summation class, or when `range` would not be the builtin.
bool bind_names(const texts::ReadText &text, Scope &ns, std::vector<NameBinding> &names) {
    // A namespace that names its own builtins changes what every lookup falls back to.
    if (ns.get(g_keys->builtins_)) return false;
    if (!host_parts_unchanged()) return false;
    if (text.uses_range_) {
        if (ns.get(names::kRangeName)) return false;
        PyObject *builtins = PyEval_GetBuiltins();
        PyObject *range = builtins ? PyDict_GetItemString(builtins, names::kRangeName) : nullptr;
        if (range != reinterpret_cast<PyObject *>(&PyRange_Type)) return false;
    }
    names.resize(text.names_.size());
    for (std::size_t k = 0; k < text.names_.size(); ++k) {
        PyObject *value = ns.get(text.names_[k].c_str());
        if (!value) return false;
        if (value == g_compiled_sum) {
            names[k].kind_ = NameBinding::Kind::kSum;
        } else if (Py_TYPE(value) == g_variable_type &&
                   g_variable_type->tp_call == g_variable_call && nb::inst_ready(value)) {
            const LinearVariable &v = *nb::inst_ptr<LinearVariable>(value);
            names[k].kind_ = NameBinding::Kind::kBlock;
            names[k].block_ = BlockShape{v.first_, v.sizes_, v.strides_};
        } else {
            return false;
        }
    }
    return true;
}

// A signal (Ctrl-C) ends a long evaluation as it would end the host's loop.
const Poll kCheckSignals = [] {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
};

nb::object expression_object(Polynomial &&p) {
    return nb::cast(CompiledLinearExpression(std::make_shared<const Polynomial>(std::move(p))));
}

// The list of items of a for-all text, or std::nullopt.
std::optional<nb::list> native_items(const std::string &text, Scope &ns) {
    if (texts::host_evaluation_only()) return std::nullopt;
    std::optional<texts::ReadText> read = texts::read_expression(text);
    if (!read) return std::nullopt;
    std::vector<NameBinding> names;
    if (!bind_names(*read, ns, names)) return std::nullopt;
    std::optional<std::vector<Polynomial>> items = evaluate_items(*read, names, kCheckSignals);
    if (!items) return std::nullopt;
    nb::list out;
    for (Polynomial &p : *items) out.append(expression_object(std::move(p)));
    return out;
}

// The value of an objective text, or std::nullopt.
std::optional<nb::object> native_value(const std::string &text, Scope &ns) {
    if (texts::host_evaluation_only()) return std::nullopt;
    std::optional<texts::ReadText> read = texts::read_expression(text);
    if (!read) return std::nullopt;
    std::vector<NameBinding> names;
    if (!bind_names(*read, ns, names)) return std::nullopt;
    std::optional<Polynomial> value = evaluate_one(*read, names, kCheckSignals);
    if (!value) return std::nullopt;
    return expression_object(std::move(*value));
}

// ---------------------------------------------------------------------------------------------
// What a row or an objective must be before the first engine call: a refused call changes
// nothing, and a model whose rows and objective are all checked never has its engine refuse one
// half way through.

[[noreturn]] void refuse_column(nb::handle column, nb::handle columns) {
    g_module.raise_logged(nb::handle(PyExc_IndexError),
                          format_message_str(kColumnOutsideMsg, nb::str(column), nb::str(columns)));
}

// A row or objective may hold only the blocks of the model it is given to: a text names blocks,
// and a block of another model with the same name would be read as this model's.
void check_own_blocks(nb::handle expression, Scope &ns) {
    if (PyObject_TypeCheck(expression.ptr(), g_expression_type) == 0) return;
    const BlockRefsPtr &blocks = nb::inst_ptr<LinearExpression>(expression)->blocks_;
    if (!blocks) return;
    for (const BlockIdPtr &id : blocks->ids_) {
        PyObject *value = ns.get(id->key_.ptr());
        bool own = value && PyObject_TypeCheck(value, g_variable_type) && nb::inst_ready(value);
        if (own) {
            const BlockRefsPtr &refs = nb::inst_ptr<LinearVariable>(value)->refs_;
            own = refs && refs->ids_.front() == id;
        }
        if (!own)
            raise_after_logging(global("log_e"), g_build_error,
                                nb::str(linear::foreign_block_message(id->name_).c_str()));
    }
}

// A row's bound: None is none (the solver's infinity), an infinity is the solver's infinity on
// that side, a number is its plain value; NaN and what is no number are refused.
nb::object row_bound(nb::handle bound, const char *what, bool upper) {
    nb::object inf = infinity();
    if (bound.is_none()) return upper ? inf : negated(inf);
    nb::object value = linear::bound_number(g_module, what, bound);
    if (PyFloat_Check(value.ptr()) && std::isinf(PyFloat_AS_DOUBLE(value.ptr())))
        return PyFloat_AS_DOUBLE(value.ptr()) > 0 ? inf : negated(inf);
    return value;
}

// The float the engine will make of a bound: an int beyond the float range fails here.
void check_float(nb::handle number) {
    if (PyFloat_Check(number.ptr())) return;
    numbers::check_real(PyFloat_AsDouble(number.ptr()));
}

// Every coefficient finite.
void check_coefficients(nb::handle values) {
    std::vector<double> floats;
    if (arrays::read_numpy(values, 'd', floats)) {
        for (double v : floats)
            if (!std::isfinite(v))
                numbers::refuse_not_finite(g_module, linear::kCoefficient, nb::float_(v));
        return;
    }
    std::vector<std::int64_t> ints;
    if (arrays::read_numpy(values, 'l', ints)) return;
    for (nb::handle v : values) numbers::refuse_if_not_finite(g_module, linear::kCoefficient, v);
}

// Every column index among the model's columns.
void check_columns(nb::handle indexes, nb::handle columns) {
    const std::int64_t n = index_int64(columns);
    std::vector<std::int64_t> wide;
    std::vector<std::int32_t> narrow;
    if (arrays::read_numpy(indexes, 'l', wide)) {
        for (std::int64_t c : wide)
            if (c < 0 || c >= n) refuse_column(nb::int_(c), columns);
        return;
    }
    if (arrays::read_numpy(indexes, 'i', narrow)) {
        for (std::int32_t c : narrow)
            if (c < 0 || c >= n) refuse_column(nb::int_(c), columns);
        return;
    }
    for (nb::handle c : indexes) {
        int64_t v = 0;
        if (!index_int64_of(c, v)) refuse_column(c, columns);
        if (v < 0 || v >= n) refuse_column(nb::int_(v), columns);
    }
}

// ---------------------------------------------------------------------------------------------
// Expressions whose value their operators knew: the model takes it without writing the text and
// reading it back, wherever the evaluation of that text would give the same value, which it
// would not if the text went to the host or the namespace bound its names to anything else.

// A text expression of the library whose text is its own (its str() and format() are the
// classes'), with a known value.
const LinearExpression *own_native(nb::handle expression) {
    if (texts::host_evaluation_only()) return nullptr;
    if (PyObject_TypeCheck(expression.ptr(), g_expression_type) == 0) return nullptr;
    PyTypeObject *type = Py_TYPE(expression.ptr());
    if (!py_private::type_finds(type, g_own_text->str_name_, g_own_text->str_) ||
        !py_private::type_finds(type, g_own_text->format_name_, g_own_text->format_))
        return nullptr;
    const LinearExpression *e = nb::inst_ptr<LinearExpression>(expression);
    return e->native_.known() ? e : nullptr;
}

// Whether the namespace binds every name the expression's text uses as the native evaluation
// expects (the blocks were found to be the model's own already).
bool binds_as_native(const LinearExpression &e, Scope &ns) {
    if (ns.get(g_keys->builtins_) || ns.get(g_keys->sum_class_) != g_compiled_sum) return false;
    if (!host_parts_unchanged() || g_variable_type->tp_call != g_variable_call) return false;
    if (!e.blocks_) return true;
    for (const BlockIdPtr &id : e.blocks_->ids_) {
        PyObject *value = ns.get(id->key_.ptr());
        if (!value || Py_TYPE(value) != g_variable_type) return false;
    }
    return true;
}

// The numeric expression the text evaluates to, or an invalid object.
nb::object native_object(const LinearExpression &e) {
    if (e.native_.polynomial_) return nb::cast(CompiledLinearExpression(e.native_.polynomial_));
    Polynomial scratch;
    const Polynomial *p = term_value(e.native_, scratch);
    if (!p) return nb::object();
    return expression_object(std::move(scratch));
}

// ---------------------------------------------------------------------------------------------
// Rows

// The native form of a row whose coefficients a faster call can take as they are: int64 or
// float64 values (an int beyond 64 bits goes the arrays' way, which says how it fails).
const Polynomial *row_polynomial(nb::handle item) {
    if (Py_TYPE(item.ptr()) != g_compiled_type || !nb::inst_ready(item)) return nullptr;
    const CompiledLinearExpression &c = *nb::inst_ptr<CompiledLinearExpression>(item);
    if (!c.native_ || c.native_->linear_.values_.type_ == Dtype::kObject) return nullptr;
    return c.native_.get();
}

void check_native_row(const Values &values, const std::vector<std::int64_t> &row,
                      nb::handle columns) {
    const std::int64_t n = index_int64(columns);
    if (values.type_ == Dtype::kFloat64)
        for (double v : values.floats_)
            if (!std::isfinite(v))
                numbers::refuse_not_finite(g_module, linear::kCoefficient, nb::float_(v));
    for (std::int64_t c : row)
        if (c < 0 || c >= n) refuse_column(nb::int_(c), columns);
}

// Coefficient k as the engine's float64 conversion makes it.
double float_at(const Values &v, std::size_t k) {
    return v.type_ == Dtype::kInt64 ? static_cast<double>(v.ints_[k]) : v.floats_[k];
}

// A row read straight from an expression's known value, as the numeric expression its text
// evaluates to would hold it: the constant, and the coefficients in stored order (by column).
// Read so only where the value is a polynomial, one element times its factor, or a sum written
// left to right of such elements over distinct columns; anything else makes the numeric
// expression first.
struct DirectRow {
    Number constant_;
    std::vector<std::int64_t> columns_;
    Values values_;
};

// a + b as the numeric expressions compute it.
std::optional<Number> number_sum(const Number &a, const Number &b) {
    std::optional<Polynomial> p = add(constant_polynomial(a), b, false);
    if (!p) return std::nullopt;
    return p->constant_;
}

// An element's constant (0, or 0 times its factor) and coefficient (1, or its factor).
Number element_constant(const NativeTerm &t) {
    return t.scaled_ ? times_zero(t.factor()) : Number::of_int(0);
}
Number element_value(const NativeTerm &t) { return t.scaled_ ? t.factor() : Number::of_int(1); }

bool is_element(const NativeTerm &t) {
    return !t.polynomial_ && !t.chain_ && t.column_ >= 0 &&
           (!t.scaled_ || t.factor().type_ != Dtype::kObject);
}

// The sum's items from the first, when every one is an element and no column comes twice (the
// sum's merge then only orders the entries and drops the zero ones).
bool chain_elements(const SumChain &last, std::vector<const NativeTerm *> &out) {
    for (const SumChain *c = &last; c; c = c->previous_.get()) {
        if (c->is_number_ || !is_element(c->term_)) return false;
        out.push_back(&c->term_);
    }
    std::reverse(out.begin(), out.end());
    std::vector<std::int32_t> seen;
    seen.reserve(out.size());
    for (const NativeTerm *t : out) seen.push_back(t->column_);
    std::sort(seen.begin(), seen.end());
    return std::adjacent_find(seen.begin(), seen.end()) == seen.end();
}

bool chain_row(const SumChain &last, DirectRow &row) {
    std::vector<const NativeTerm *> items;
    if (!chain_elements(last, items)) return false;
    // The builtin sum's start 0 plus the first item, then each item in turn; a first constant
    // of -0.0 is kept as the step-by-step sum keeps it (0 + -0.0 would be 0.0).
    const Number first = element_constant(*items[0]);
    const bool negative_zero =
        first.type_ == Dtype::kFloat64 && first.f_ == 0.0 && std::signbit(first.f_);
    std::optional<Number> c =
        negative_zero ? std::optional<Number>(first) : number_sum(first, Number::of_int(0));
    bool floats = false;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k > 0) {
            if (c) c = number_sum(*c, element_constant(*items[k]));
            if (!c) return false;
        }
        floats = floats || (items[k]->scaled_ && items[k]->factor_is_float_);
    }
    std::sort(items.begin(), items.end(),
              [](const NativeTerm *a, const NativeTerm *b) { return a->column_ < b->column_; });
    row.constant_ = *c;
    row.values_.type_ = floats ? Dtype::kFloat64 : Dtype::kInt64;
    for (const NativeTerm *t : items) {
        const Number v = element_value(*t);
        const bool zero = v.type_ == Dtype::kFloat64 ? v.f_ == 0.0 : v.i_ == 0;
        if (zero) continue;
        row.columns_.push_back(t->column_);
        if (!floats)
            row.values_.ints_.push_back(v.i_);
        else
            row.values_.floats_.push_back(v.type_ == Dtype::kFloat64 ? v.f_
                                                                     : static_cast<double>(v.i_));
    }
    return true;
}

bool direct_row(const NativeTerm &t, DirectRow &row) {
    if (const Polynomial *p = t.polynomial_.get()) {
        if (p->constant_.type_ == Dtype::kObject || p->linear_.values_.type_ == Dtype::kObject)
            return false;
        row.constant_ = p->constant_;
        row.columns_ = p->linear_.row_;
        row.values_ = p->linear_.values_;
        return true;
    }
    if (t.chain_) return chain_row(*t.chain_, row);
    if (!is_element(t)) return false;
    // One element keeps its coefficient, zero or not.
    row.constant_ = element_constant(t);
    const Number v = element_value(t);
    row.columns_.push_back(t.column_);
    row.values_.type_ = v.type_;
    if (v.type_ == Dtype::kFloat64)
        row.values_.floats_.push_back(v.f_);
    else
        row.values_.ints_.push_back(v.i_);
    return true;
}

void add_direct_row(LinearModel &self, const engine_calls::RowCalls &calls, const DirectRow &row,
                    nb::handle lo, nb::handle hi) {
    nb::object constant = py_number(row.constant_);
    numbers::refuse_if_not_finite(g_module, linear::kConstant, constant);
    check_native_row(row.values_, row.columns_, self.general_shift_variable_);
    nb::object lower = subtract(lo, constant);
    nb::object upper = subtract(hi, constant);
    check_float(lower);
    check_float(upper);
    const Values &v = row.values_;
    calls.add_row_list(lower, upper, row.columns_, [&](std::size_t k) { return float_at(v, k); });
}

struct RowTerms {
    nb::object lower_;
    nb::object upper_;
    nb::object indexes_;
    nb::object values_;
    const Polynomial *native_ = nullptr;
    nb::object keep_;
};

void add_constraint(LinearModel &self, nb::object expression, nb::object lo, nb::object hi,
                    nb::object eq, nb::kwargs foralls) {
    static PyObject *const lo_name = interned("lo");
    static PyObject *const hi_name = interned("hi");
    lo = set_border(lo, check(PyObject_GetAttr(expression.ptr(), lo_name)));
    hi = set_border(hi, check(PyObject_GetAttr(expression.ptr(), hi_name)));
    if (!eq.is_none()) {
        if (!lo.is_none() || !hi.is_none()) raise_plain(PyExc_ValueError, kBordersTwiceMsg);
        lo = row_bound(eq, linear::kEquationBound, false);
        hi = lo;
    }
    lo = row_bound(lo, linear::kLowerBound, false);
    hi = row_bound(hi, linear::kUpperBound, true);
    Scope ns(self);
    check_own_blocks(expression, ns);

    nb::object solver = self.linsolver_model_;
    const engine_calls::RowCalls calls(solver);
    nb::object items;
    if (PyDict_GET_SIZE(foralls.ptr()) == 0) {
        if (const LinearExpression *e = own_native(expression); e && binds_as_native(*e, ns)) {
            DirectRow direct;
            if (calls.takes_lists() && direct_row(e->native_, direct)) {
                add_direct_row(self, calls, direct, lo, hi);
                return;
            }
            nb::object row = native_object(*e);
            if (row.is_valid()) items = nb::make_tuple(row);
        }
    }
    if (!items.is_valid()) {
        std::string text = "[";
        text += nb::cast<std::string>(format_text(expression));
        text += " ";
        bool first = true;
        // The pairs held while each value's own text is made (its __format__ may reach the
        // keywords' dictionary).
        nb::object pairs = check(PyDict_Items(foralls.ptr()));
        for (nb::handle item : pairs) {
            if (!first) text += " ";
            first = false;
            text += "for ";
            text += nb::cast<std::string>(nb::str(PyTuple_GET_ITEM(item.ptr(), 0)));
            text += " in ";
            text += nb::cast<std::string>(forall_text(PyTuple_GET_ITEM(item.ptr(), 1)));
        }
        text += "]";
        std::optional<nb::list> native = native_items(text, ns);
        items = native ? nb::object(std::move(*native))
                       : evaluate(nb::str(text.data(), text.size()), ns);
    }

    // Every item is read and checked before the first row goes out, so that a refused item
    // leaves no partial set of rows behind.
    nb::object columns = self.general_shift_variable_;
    std::vector<RowTerms> rows;
    for (nb::handle item : items) {
        nb::object constant = item.attr("constant");
        RowTerms row;
        row.native_ = calls.takes_lists() ? row_polynomial(item) : nullptr;
        if (row.native_) {
            row.keep_ = nb::borrow(item);
        } else {
            row.indexes_ = item.attr("linear_coefficients_indexes");
            row.values_ = item.attr("linear_coefficients");
        }
        numbers::refuse_if_not_finite(g_module, linear::kConstant, constant);
        if (row.native_) {
            check_native_row(row.native_->linear_.values_, row.native_->linear_.row_, columns);
        } else {
            check_coefficients(row.values_);
            check_columns(row.indexes_, columns);
        }
        row.lower_ = subtract(lo, constant);
        row.upper_ = subtract(hi, constant);
        check_float(row.lower_);
        check_float(row.upper_);
        rows.push_back(std::move(row));
    }
    for (const RowTerms &row : rows) {
        if (row.native_) {
            // Each coefficient as the engine's float64 conversion makes it.
            const Values &v = row.native_->linear_.values_;
            calls.add_row_list(row.lower_, row.upper_, row.native_->linear_.row_,
                               [&](std::size_t k) { return float_at(v, k); });
        } else {
            calls.add_row(row.lower_, row.upper_, row.indexes_, row.values_);
        }
    }
}

// An objective's quadratic part: finite values over the model's columns (the resize to the
// model's column count would drop entries beyond them).
void check_quadratic(nb::handle quadratic, nb::handle columns) {
    check_coefficients(quadratic.attr("data"));
    check_columns(quadratic.attr("indices"), columns);
    const std::int64_t n = index_int64(columns);
    nb::object shape = quadratic.attr("shape");
    const std::int64_t cols = index_int64(shape[1]);
    if (cols <= n) return;
    // Compressed columns: entries of columns from n on lie after the start of column n.
    nb::object indptr = quadratic.attr("indptr");
    for (std::int64_t c = n; c < cols; ++c)
        if (!indptr[nb::int_(c)].equal(indptr[nb::int_(c + 1)]))
            refuse_column(nb::int_(c), columns);
}

void add_target(LinearModel &self, nb::object expression, nb::object minimization) {
    nb::object solver = self.linsolver_model_;
    nb::object sense = linsolver().attr("ObjSense");
    nb::object chosen = truth(minimization) ? sense.attr("kMinimize") : sense.attr("kMaximize");
    Scope ns(self);
    nb::object target;
    // An own text cannot fail to be read, so its blocks may be checked before it would be.
    const LinearExpression *own = own_native(expression);
    if (own) {
        check_own_blocks(expression, ns);
        if (binds_as_native(*own, ns)) target = native_object(*own);
    }
    if (!target.is_valid()) {
        nb::str text = nb::str(expression);
        if (!own) check_own_blocks(expression, ns);
        std::optional<nb::object> native;
        Py_ssize_t size = 0;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
            native = native_value(std::string(utf8, static_cast<std::size_t>(size)), ns);
        } else {
            // A text that is not valid UTF-8 (lone surrogates) is the host's to judge.
            clear_only(PyExc_UnicodeEncodeError);
        }
        target = native ? std::move(*native) : evaluate(text, ns);
    }
    nb::object indexes = target.attr("linear_coefficients_indexes");
    nb::object values = target.attr("linear_coefficients");
    nb::object quadratic = target.attr("quadratic_coefficients");
    nb::object n = self.general_shift_variable_;
    check_coefficients(values);
    check_columns(indexes, n);
    if (!quadratic.is_none()) check_quadratic(quadratic, n);
    // The sense goes with the objective: a refused objective leaves the previous one whole.
    solver.attr("changeObjectiveSense")(chosen);

    // A new objective replaces the old one whole: costs of columns it does not name and an
    // earlier quadratic part would otherwise stay in the solver.
    nb::object numpy = np();
    nb::object int32 = numpy.attr("int32");
    nb::object triangular = linsolver().attr("HessianFormat").attr("kTriangular");
    solver.attr("changeColsCost")(n, numpy.attr("arange")(n), numpy.attr("zeros")(n));
    solver.attr("passHessian")(n, 0, triangular,
                               numpy.attr("zeros")(add(n, nb::int_(1)), "dtype"_a = int32),
                               numpy.attr("zeros")(0, "dtype"_a = int32),
                               numpy.attr("zeros")(0, "dtype"_a = numpy.attr("float64")));

    engine_calls::change_col_costs(solver, indexes, values);
    if (!quadratic.is_none()) {
        quadratic.attr("resize")(nb::make_tuple(n, n));
        solver.attr("passHessian")(n, quadratic.attr("size"), triangular, quadratic.attr("indptr"),
                                   quadratic.attr("indices"), quadratic.attr("data"));
    }
}

// ---------------------------------------------------------------------------------------------
// Solving and results

// Column positions as one integer-array index (a tuple would index several dimensions).
nb::object block_columns(nb::handle block) {
    return linear::column_index(g_module, block.attr("map"));
}

void set_solution(LinearModel &self, nb::object variable_name, nb::object solution) {
    linear::set_start_values(g_module, self.state_, index_int64(self.general_shift_variable_),
                             self.variables_, variable_name, &block_columns, solution);
}

nb::object solve(LinearModel &self) {
    return linear::solve(g_module, self.linsolver_model_, self.state_,
                         index_int64(self.general_shift_variable_), linear::OnFailure::kRaise);
}

nb::object objective_value(const LinearModel &self) {
    return linear::objective_value(g_module, self.state_);
}

nb::object get_linsolver_solution(const LinearModel &self) {
    return linear::engine_solution(g_module, self.state_);
}

nb::object get_result(const LinearModel &self, nb::object variable_name) {
    return linear::block_result(g_module, self.state_, self.variables_, variable_name,
                                &block_columns);
}

void write_model(LinearModel &self, nb::object model_path) {
    linear::write_model(g_module, self.linsolver_model_, model_path);
}

void import_names(nb::module_ &m) {
    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("linsolver") = nb::module_::import_("nubrix.sorn_engine.linsolver");
    nb::module_ enum_module = nb::module_::import_("enum");
    m.attr("Enum") = enum_module.attr("Enum");
    m.attr("auto") = enum_module.attr("auto");
    m.attr("reduce") = nb::module_::import_("functools").attr("reduce");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("Integral") = nb::module_::import_("numbers").attr("Integral");
    nb::module_ exceptions = nb::module_::import_("zk_encoder._exceptions");
    m.attr("VariableError") = exceptions.attr("VariableError");
    m.attr("SolverError") = exceptions.attr("SolverError");
    nb::module_ variables = nb::module_::import_("zk_encoder.linear_parser.linear_variables");
    m.attr("LinearVariable") = variables.attr("LinearVariable");
    m.attr("Index") = variables.attr("Index");
    m.attr("CompiledSum") =
        nb::module_::import_("zk_encoder.linear_parser.compiled_linear_expressions")
            .attr("CompiledSum");
    import_logger(m);
}

void bind_module(nb::module_ &m) {
    init_module();
    import_names(m);
    g_module.bind(m);
    g_eval = nb::module_::import_("builtins").attr("eval").inc_ref().ptr();
    g_variable_type = reinterpret_cast<PyTypeObject *>(m.attr("LinearVariable").inc_ref().ptr());
    g_variable_call = g_variable_type->tp_call;
    g_compiled_sum = m.attr("CompiledSum").inc_ref().ptr();
    record_host_parts();
    g_expression_type = reinterpret_cast<PyTypeObject *>(
        nb::module_::import_("zk_encoder.linear_parser.linear_expression")
            .attr("LinearExpression")
            .inc_ref()
            .ptr());
    g_build_error =
        nb::module_::import_("zk_encoder._exceptions").attr("BuildError").inc_ref().ptr();
    g_compiled_type = reinterpret_cast<PyTypeObject *>(
        nb::module_::import_("zk_encoder.linear_parser.compiled_linear_expressions")
            .attr("CompiledLinearExpression")
            .inc_ref()
            .ptr());
    {
        PyObject *str_name = interned("__str__");
        PyObject *format_name = interned("__format__");
        PyObject *str = py_private::type_lookup_new(g_expression_type, str_name);
        PyObject *format = py_private::type_lookup_new(g_expression_type, format_name);
        g_own_text = new OwnText{str_name, format_name, str, format};
        g_keys =
            new ScopeKeys{interned(names::kBuiltinsName), interned(kSumClass), interned(kInfName)};
        g_namespace = m.attr("__dict__").inc_ref().ptr();
    }

    // Read once, before the class is made: the default bounds of get_variables keep this value.
    nb::object inf = m.attr("linsolver").attr("kLinsolverInf");
    m.attr(kInfName) = inf;
    nb::object neg_inf = negated(inf);
    // Values 1, 2, ... in member order, as auto() gives them.
    m.attr("SolutionStatus") =
        make_enum(kModule, "SolutionStatus", {{"OPTIMAL", 1}, {"SUBOPTIMAL", 2}});
    m.attr("VariableType") =
        make_enum(kModule, "VariableType", {{"REAL", 1}, {"INTEGER", 2}, {"BINARY", 3}});

    // The engine solver or a program's objects kept in the tables may refer back to the model.
    using Gc = GcSlots<LinearModel, &LinearModel::linsolver_model_, &LinearModel::used_vars_,
                       &LinearModel::general_shift_variable_, &LinearModel::variables_,
                       &LinearModel::indexes_, &LinearModel::formulas_dir_, &LinearModel::state_>;
    nb::class_<LinearModel> cls(m, "LinearModel", nb::type_slots(Gc::slots_));
    cls.def("__init__", &init_model, "log_solver"_a.none() = false, "options"_a,
            nb::sig("def __init__(self, log_solver: bool = False, **options)"))
        .def("get_variables", &get_variables, "name"_a.none(), "variable_type"_a.none(),
             "lo"_a.none() = neg_inf, "hi"_a.none() = inf, "dims"_a,
             nb::sig("def get_variables(self, name: str, variable_type: VariableType, "
                     "lo: tp.Union[int, float] = -inf, hi: tp.Union[int, float] = inf, "
                     "**dims: int)"))
        .def("get_indexes", &get_indexes, "indexes"_a.none(),
             nb::sig("def get_indexes(self, indexes: tp.Sequence[str]) -> "
                     "tp.Union[Index, tp.Sequence[Index]]"),
             kGetIndexesDoc)
        .def("add_constraint", &add_constraint, "expression"_a.none(), "lo"_a.none() = nb::none(),
             "hi"_a.none() = nb::none(), "eq"_a.none() = nb::none(), "foralls"_a,
             nb::sig("def add_constraint(self, expression, lo: tp.Optional[Integral] = None, "
                     "hi: tp.Optional[Integral] = None, eq: tp.Optional[Integral] = None, "
                     "**foralls)"))
        .def("add_target", &add_target, "expression"_a.none(), "minimization"_a.none(),
             nb::sig("def add_target(self, expression, minimization: bool) -> None"))
        .def("set_solution", &set_solution, "variable_name"_a.none(), "solution"_a.none(),
             nb::sig("def set_solution(self, variable_name: str, solution: np.ndarray) -> None"))
        .def("solve", &solve, nb::sig("def solve(self) -> SolutionStatus"))
        .def_prop_ro("objective_value", &objective_value,
                     nb::for_getter(nb::sig("def objective_value(self) -> float")))
        .def("get_linsolver_solution", &get_linsolver_solution,
             nb::sig("def get_linsolver_solution(self) -> linsolver.LinsolverSolution"))
        .def("get_result", &get_result, "variable_name"_a.none(),
             nb::sig("def get_result(self, variable_name: str) -> np.ndarray"))
        .def("write_model", &write_model, "model_path"_a.none(),
             nb::sig("def write_model(self, model_path: Path | str) -> None"))
        .def_static("_LinearModel__set_border", &set_border, "first_border"_a.none(),
                    "second_border"_a.none(),
                    nb::sig("def _LinearModel__set_border(first_border, second_border)"));

    // The fields, under their Python names; writable so that a program (or a test) can put the
    // model into any state the operations reach.
#define ZK_LP1_FIELD(py_name, member)                                                \
    cls.def_prop_rw(                                                                 \
        py_name, [](LinearModel &self) { return self.member; },                      \
        [](LinearModel &self, nb::object value) { self.member = std::move(value); }, \
        "value"_a.none())
    ZK_LP1_FIELD("_linsolver_model", linsolver_model_);
    ZK_LP1_FIELD("_used_vars", used_vars_);
    ZK_LP1_FIELD("_general_shift_variable", general_shift_variable_);
    ZK_LP1_FIELD("_variables", variables_);
    ZK_LP1_FIELD("_indexes", indexes_);
    ZK_LP1_FIELD("_formulas_dir", formulas_dir_);
    ZK_LP1_FIELD("_prev_solution", state_.prev_solution_);
    ZK_LP1_FIELD("_solution", state_.solution_);
    ZK_LP1_FIELD("_solution_values", state_.solution_values_);
    ZK_LP1_FIELD("_objective_value", state_.objective_value_);
#undef ZK_LP1_FIELD
}

}  // namespace

}  // namespace zk::lp1

ZK_MODULE(linear_model, m) { zk::lp1::bind_module(m); }
