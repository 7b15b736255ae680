// zk_encoder.linear_parser2.model: the second-generation linear model. It hands out blocks of
// engine columns as variable arrays, turns rows and blocks of rows into engine rows and the
// objective, solves and reports.
//
// The engine is reached only through the module's global `linsolver`, looked up at each use, so
// a program or a test can put another solver module in its place.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "common/engine_calls.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/linear_model.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/pyclass.hpp"
#include "zk_encoder/linear_parser2/_expression.hpp"

namespace zk::lp2 {

namespace {

using namespace nb::literals;

constexpr const char *kModule = "zk_encoder.linear_parser2.model";
constexpr const char *kClassDoc =
    "An interface for initializing and solving a MILP problem with a quadratic objective function";
constexpr const char *kDebugVariable = "DEBUG_SOLVER_MODE";
constexpr const char *kCounter = "_total_created_variables";
constexpr const char *kBlockForRowMsg =
    "To add a constraint of type 'LinearExpressionsArr', the 'add_constraints' function is used.";
constexpr const char *kRowForBlockMsg =
    "To add a constraint of type 'LinearExpression', the 'add_constraint' function is used.";
constexpr const char *kUnknownType = "Unknown type {}";
constexpr const char *kUnknownTargetType = "Unknown type {} for target";
constexpr const char *kForeignColumnsMsg =
    "The target refers to columns that this model does not hold";
constexpr const char *kForeignRowColumnsMsg =
    "The constraint refers to columns that this model does not hold";
constexpr const char *kStoredEntriesMsg =
    "The coefficient matrix's arrays do not hold the number of entries it stores";

using linear::kBorderTwiceMsg;

ModuleGlobals g_module;

struct LinearModel {
    nb::object linsolver_model_;
    nb::object used_vars_;
    nb::object general_shift_variables_;
    nb::object variables_;
    linear::ModelState state_;
};

std::string text_of(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

nb::object sub(nb::handle a, nb::handle b) {
    return zk::check(PyNumber_Subtract(a.ptr(), b.ptr()));
}
nb::object neg(nb::handle a) { return zk::check(PyNumber_Negative(a.ptr())); }

bool debug_on() { return truth(g_module.get("DEBUG")); }
nb::object np() { return g_module.get("np"); }
nb::object linsolver() { return g_module.get("linsolver"); }

// The strict choice between a bound given as an argument and one the row carries.
nb::object set_border_strict(nb::object first, nb::object second) {
    if (!first.is_none() && !second.is_none()) raise_plain(PyExc_ValueError, kBorderTwiceMsg);
    return first.is_none() ? second : first;
}

nb::object set_border_lenient(nb::object first, nb::object second) {
    if (!first.is_none() && !second.is_none()) {
        if (debug_on()) raise_plain(g_module.get("BuildError"), kBorderTwiceMsg);
        return first;
    }
    return first.is_none() ? second : first;
}

std::string type_text(nb::handle obj) {
    return text_of(nb::handle((PyObject *)Py_TYPE(obj.ptr())));
}

// ---------------------------------------------------------------------------------------------
// Construction and variables.

void init_model(LinearModel *self, nb::object log_solver, nb::kwargs options) {
    nb::object solver = linear::new_solver(g_module, log_solver, options);
    new (self) LinearModel{solver, nb::set(), nb::int_(0), nb::dict(), linear::new_model_state()};
}

nb::object get_variable(nb::handle self_obj, nb::object name, nb::object variable_type,
                        nb::object lower_bound, nb::object upper_bound, nb::kwargs shape) {
    LinearModel &self = nb::cast<LinearModel &>(self_obj);
    linear::check_new_name(g_module, self.used_vars_, name);
    // The name stays taken whatever follows.
    self.used_vars_.attr("add")(name);

    int64_t n = linear::block_count(g_module, shape);

    const linear::ColumnKind kind = linear::column_kind(g_module, variable_type);
    const linear::BlockBounds bounds = linear::block_bounds(kind, linear::BoundDtype::kFloat64);
    int64_t g = zk::index_int64(self.general_shift_variables_);
    nb::object array_cls = g_module.get("VariableArray");
    int64_t total = zk::index_int64(array_cls.attr(kCounter));
    // Checked before any bound vector is made. Rows span the columns of every model of the
    // process: those must stay within the limit too.
    linear::check_columns(g_module, name, g, n);
    linear::check_columns(g_module, name, total, n);

    nb::object numpy = np();
    nb::object type_var = numpy.attr(kind == linear::ColumnKind::kReal ? "float64" : "int32");
    // What the array records: the caller's bounds (a binary array's are 0 and 1), numbers as the
    // plain ones they stand for. The engine's bound vectors are made from them below.
    nb::object lower_sent, upper_sent;
    if (kind == linear::ColumnKind::kBinary) {
        lower_bound = nb::int_(linear::kBinaryLower);
        upper_bound = nb::int_(linear::kBinaryUpper);
    } else {
        if (kind == linear::ColumnKind::kInteger && debug_on()) {
            // The default infinities are exempt; an integer is one whatever its type, and values
            // for each element are no integer.
            nb::object inf = g_module.get("inf");
            auto not_int = [](nb::handle bound, const char *what, nb::handle infinity) {
                nb::object plain = linear::bound_or_none(g_module, what, bound);
                if (!plain.is_valid()) return true;
                return !PyLong_Check(plain.ptr()) && !compare(plain, infinity, Py_EQ);
            };
            if (not_int(lower_bound, linear::kLowerBound, neg(inf)) ||
                not_int(upper_bound, linear::kUpperBound, inf))
                g_module.raise_logged(nb::handle(PyExc_ValueError), linear::kIntegerBoundsMsg);
        }
        const bool real = kind == linear::ColumnKind::kReal;
        lower_sent = linear::column_bound(g_module, linear::kLowerBound, lower_bound, n, real);
        upper_sent = linear::column_bound(g_module, linear::kUpperBound, upper_bound, n, real);
    }

    // Everything the engine receives is built before its first call, so a refused array leaves
    // the engine and the model's column count in step.
    const linear::NewColumns columns(g_module, linear::ColumnRange{g, n}, bounds, lower_sent,
                                     upper_sent);
    nb::object shape_tuple = zk::check(PySequence_Tuple(shape.attr("values")().ptr()));
    nb::object array = array_cls(name, shape_tuple, lower_bound, upper_bound, type_var, g);

    columns.send(self.linsolver_model_, [&] {
        // Held by the engine from here on: later blocks are numbered behind these columns.
        self.general_shift_variables_ = nb::int_(g + n);
        array_cls.attr(kCounter) = nb::int_(total + n);
    });
    self.variables_[name] = array;
    return array;
}

// ---------------------------------------------------------------------------------------------
// Constraints and objective. Every argument is checked before the first engine call, so a
// refused call leaves the engine as it was.

// A bound given to the model, as an argument or carried by a row: None stays "not given"; a
// number is the plain one it stands for (an infinity is no bound on that side); NaN, complex
// values and what is no number are refused.
nb::object bound_value(const char *what, nb::handle value) {
    if (value.is_none()) return nb::none();
    return linear::bound_number(g_module, what, value);
}

// The origin a model may rely on for a row or block (see trusted_origin), or null.
OriginPtr origin_of(nb::handle expr) {
    if (nb::isinstance<LinearExpression>(expr))
        return trusted_origin(nb::cast<LinearExpression &>(expr));
    if (nb::isinstance<LinearExpressionsArr>(expr))
        return trusted_origin(nb::cast<LinearExpressionsArr &>(expr));
    return OriginPtr();
}

// A row of the row class itself kept as a plain row whose columns all come from the variable
// arrays it records, or null.
const LinearExpression *plain_road(nb::handle expr) {
    if (Py_TYPE(expr.ptr()) != reinterpret_cast<PyTypeObject *>(nb::type<LinearExpression>().ptr()))
        return nullptr;
    const LinearExpression &r = nb::cast<const LinearExpression &>(expr);
    if (!r.origin_ || r.origin_->others_ || !plain_row(r)) return nullptr;
    return &r;
}

// The largest column number of a row's or block's coefficients, -1 without any.
int64_t last_column(nb::handle coefs) {
    if (index_int64(coefs.attr("nnz")) == 0) return -1;
    return index_int64(coefs.attr("indices").attr("max")());
}

// A row, block or target may hold only this model's variables: every variable array it
// records must be the one the model keeps under that name, whatever the names and column
// numbers (BuildError, logged, naming the first that is not). Columns of no recorded array (a
// row made from arrays directly) must at least be columns of this model.
void check_own_variables(const LinearModel &self, nb::handle expr, nb::handle coefs,
                         const char *columns_msg) {
    OriginPtr origin = origin_of(expr);
    if (origin) {
        // A copy: the look-ups below run program code (a subclass's `name`, a key's `__eq__`).
        const std::vector<nb::object> arrays = origin->arrays_;
        for (const nb::object &array : arrays) {
            nb::object name = array.attr("name");
            PyObject *held = PyObject_GetItem(self.variables_.ptr(), name.ptr());
            if (!held) zk::clear_only(PyExc_KeyError);
            nb::object kept = nb::steal(held);
            if (!kept.is(array))
                g_module.raise_logged("BuildError", linear::foreign_block_message(text_of(name)));
        }
    }
    if (!origin || origin->others_) {
        if (last_column(coefs) >= zk::index_int64(self.general_shift_variables_))
            g_module.raise_logged("BuildError", columns_msg);
    }
}

// Coefficients and constants of rows a program made from arrays directly reach the engine only
// when they are finite numbers (those of the library's own arithmetic were checked when made).
void check_finite_parts(nb::handle expr, nb::handle coefs, nb::handle constants) {
    OriginPtr origin = origin_of(expr);
    if (origin && !origin->others_) return;
    nb::object numpy = np();
    const std::pair<nb::object, const char *> parts[] = {
        {coefs.attr("data"), linear::kCoefficient}, {nb::borrow(constants), linear::kConstant}};
    for (const auto &[part, what] : parts) {
        nb::object flat = numpy.attr("ravel")(numpy.attr("asarray")(part));
        if (index_int64(flat.attr("size")) == 0) continue;
        const std::string kind = nb::cast<std::string>(flat.attr("dtype").attr("kind"));
        if (kind == "c") numbers::refuse_complex(g_module, what, flat.attr("item")(0));
        if (kind == "O") {
            for (nb::handle item : flat) numbers::finite_value(g_module, what, item);
        } else if (kind == "f") {
            nb::object finite = numpy.attr("isfinite")(flat);
            if (!truth(finite.attr("all")()))
                numbers::refuse_not_finite(g_module, what,
                                           flat.attr("item")(numpy.attr("argmin")(finite)));
        }
    }
}

// A matrix's stored entries as the engine receives them, each array read once: the engine reads
// `count_` values of each array (and `rows + 1` row starts), so a matrix a program has written
// arrays of other lengths into is refused before the engine sees it.
struct StoredEntries {
    nb::object count_, starts_, indices_, data_;
};

StoredEntries stored_entries(nb::handle matrix, int64_t rows = -1) {
    StoredEntries e{matrix.attr("nnz"), nb::object(), matrix.attr("indices"), matrix.attr("data")};
    const int64_t n = index_int64(e.count_);
    auto length = [](const nb::object &a) {
        const Py_ssize_t k = PyObject_Length(a.ptr());
        if (k < 0) throw nb::python_error();
        return static_cast<int64_t>(k);
    };
    bool agree = length(e.indices_) == n && length(e.data_) == n;
    if (rows >= 0) {
        e.starts_ = matrix.attr("indptr");
        agree = agree && length(e.starts_) == rows + 1;
    }
    if (!agree) g_module.raise_logged(nb::handle(PyExc_ValueError), kStoredEntriesMsg);
    return e;
}

void add_constraint(LinearModel &self, nb::object constraint, nb::object lower_bound,
                    nb::object upper_bound, nb::object equation_bound) {
    if (debug_on() && !is_instance(constraint, g_module.get("LinearExpression"))) {
        if (is_instance(constraint, g_module.get("LinearExpressionsArr")))
            g_module.raise_logged("BuildError", kBlockForRowMsg);
        g_module.raise_logged("BuildError", format_message(kUnknownType, type_text(constraint)));
    }
    if (!equation_bound.is_none()) {
        if (debug_on() && (!lower_bound.is_none() || !upper_bound.is_none()))
            g_module.raise_logged("BuildError", kBorderTwiceMsg);
        lower_bound = equation_bound;
        upper_bound = equation_bound;
    }
    lower_bound = set_border_strict(lower_bound, constraint.attr("lower_bound"));
    upper_bound = set_border_strict(upper_bound, constraint.attr("upper_bound"));
    const char *lower_what =
        equation_bound.is_none() ? linear::kLowerBound : linear::kEquationBound;
    const char *upper_what =
        equation_bound.is_none() ? linear::kUpperBound : linear::kEquationBound;
    lower_bound = bound_value(lower_what, lower_bound);
    upper_bound = bound_value(upper_what, upper_bound);
    nb::object inf = g_module.get("inf");
    if (lower_bound.is_none()) lower_bound = neg(inf);
    if (upper_bound.is_none()) upper_bound = inf;
    nb::object constant = constraint.attr("constant");
    // A row kept as a plain row whose columns all come from known arrays (checked here) hands
    // the engine its arrays directly, the same arrays its csr_array would hold.
    if (const LinearExpression *r = plain_road(constraint)) {
        check_own_variables(self, constraint, nb::none(), kForeignRowColumnsMsg);
        // The check may have run program code that read the matrix: the plain row is then no
        // longer the truth, and the matrix's road below is taken.
        if (PlainArrays plain = plain_arrays(*r); plain.count_.is_valid()) {
            nb::object lower = sub(lower_bound, constant), upper = sub(upper_bound, constant);
            engine_calls::add_row(self.linsolver_model_, lower, upper, plain.count_, plain.indices_,
                                  plain.values_);
            return;
        }
    }
    nb::object row = constraint.attr("linear_coefficients");
    check_own_variables(self, constraint, row, kForeignRowColumnsMsg);
    check_finite_parts(constraint, row, constant);
    StoredEntries entries = stored_entries(row);
    nb::object lower = sub(lower_bound, constant), upper = sub(upper_bound, constant);
    engine_calls::add_row(self.linsolver_model_, lower, upper, entries.count_, entries.indices_,
                          entries.data_);
}

void add_constraints(LinearModel &self, nb::object constraints, nb::object lower_bounds,
                     nb::object upper_bounds, nb::object equation_bounds) {
    if (debug_on() && !is_instance(constraints, g_module.get("LinearExpressionsArr"))) {
        if (is_instance(constraints, g_module.get("LinearExpression")))
            g_module.raise_logged("BuildError", kRowForBlockMsg);
        g_module.raise_logged("BuildError", format_message(kUnknownType, type_text(constraints)));
    }
    const char *lower_what = linear::kLowerBound, *upper_what = linear::kUpperBound;
    if (!equation_bounds.is_none()) {
        if (debug_on() && (!lower_bounds.is_none() || !upper_bounds.is_none()))
            g_module.raise_logged("BuildError", kBorderTwiceMsg);
        // One number for every row, or a vector: never the caller's own storage.
        bool scalar = numbers::is_number(equation_bounds);
        lower_bounds = scalar ? equation_bounds : equation_bounds.attr("copy")();
        upper_bounds = scalar ? equation_bounds : equation_bounds.attr("copy")();
        lower_what = upper_what = linear::kEquationBound;
    }
    nb::object lower = set_border_strict(lower_bounds, constraints.attr("lower_bounds"));
    nb::object upper = set_border_strict(upper_bounds, constraints.attr("upper_bounds"));
    nb::object constants = constraints.attr("constants");
    nb::object numpy = np();
    nb::object inf = g_module.get("inf");
    nb::object float64 = numpy.attr("float64");
    lower = lower.is_none()
                ? numpy.attr("full")(constants.attr("shape"), neg(inf), "dtype"_a = float64)
                : linear::bound_vector(g_module, lower_what, lower, constants.attr("shape"));
    upper = upper.is_none()
                ? numpy.attr("full")(constants.attr("shape"), inf, "dtype"_a = float64)
                : linear::bound_vector(g_module, upper_what, upper, constants.attr("shape"));
    nb::object matrix = constraints.attr("linear_coefficients");
    nb::object count = constraints.attr("num_constraints");
    check_own_variables(self, constraints, matrix, kForeignRowColumnsMsg);
    check_finite_parts(constraints, matrix, constants);
    StoredEntries entries = stored_entries(matrix, index_int64(count));
    nb::object lows = sub(lower, constants), ups = sub(upper, constants);
    // One engine call for the whole block: its compressed-row arrays go over as they are.
    self.linsolver_model_.attr("addRows")(count, lows, ups, entries.count_, entries.starts_,
                                          entries.indices_, entries.data_);
}

// The Hessian of the quadratic part x'Qx over the model's `g` columns, in compressed-column
// form: Q + Q' (2Q for the symmetric matrices the rows hold), since the solver minimises
// 1/2 x'Hx. Q is as wide as the rows were when they were built: narrower when the model gained
// columns since, wider when other models created columns. Returns (starts, indices, values).
nb::tuple hessian_arrays(nb::handle quad, int64_t g) {
    nb::object numpy = np();
    nb::object transposed = quad.attr("T");
    nb::object h = zk::check(PyNumber_Add(quad.ptr(), transposed.ptr())).attr("tocsc")();
    nb::object starts = h.attr("indptr");
    nb::object indices = h.attr("indices");
    nb::object values = h.attr("data");
    int64_t width = zk::index_int64(h.attr("shape")[1]);
    int64_t stored = zk::index_int64(h.attr("nnz"));
    if (width < g) {
        nb::object last = starts[nb::int_(width)];
        nb::object tail = numpy.attr("full")(g - width, last, "dtype"_a = starts.attr("dtype"));
        starts = numpy.attr("concatenate")(nb::make_tuple(starts, tail));
    } else if (width > g) {
        bool inside = zk::index_int64(starts[nb::int_(g)]) == stored;
        if (inside && stored > 0) inside = zk::index_int64(indices.attr("max")()) < g;
        if (!inside) g_module.raise_logged("BuildError", kForeignColumnsMsg);
        starts = starts[nb::slice(nb::int_(0), nb::int_(g + 1), nb::none())];
    }
    return nb::make_tuple(starts, indices, values);
}

void add_target(LinearModel &self, nb::object target, nb::object minimization) {
    nb::object solver_module = linsolver();
    if (debug_on() && !is_instance(target, g_module.get("LinearExpression")))
        g_module.raise_logged("BuildError", format_message(kUnknownTargetType, type_text(target)));
    nb::object lin_row = target.attr("linear_coefficients");
    nb::object quad = target.attr("quadratic_coefficients");

    // Everything is checked before the first engine call: a refused target leaves the sense,
    // the earlier costs and the quadratic part as they were.
    int64_t g = zk::index_int64(self.general_shift_variables_);
    check_own_variables(self, target, lin_row, kForeignColumnsMsg);
    check_finite_parts(target, lin_row, target.attr("constant"));
    StoredEntries entries = stored_entries(lin_row);
    if (last_column(lin_row) >= g) g_module.raise_logged("BuildError", kForeignColumnsMsg);
    nb::tuple hessian;
    if (!quad.is_none()) hessian = hessian_arrays(quad, g);
    bool minimize = truth(minimization);

    nb::object sense = solver_module.attr("ObjSense");
    self.linsolver_model_.attr("changeObjectiveSense")(minimize ? sense.attr("kMinimize")
                                                                : sense.attr("kMaximize"));

    nb::object numpy = np();
    nb::object format = solver_module.attr("HessianFormat").attr("kTriangular");
    // A new objective replaces the old one whole: every cost back to 0 and the quadratic part
    // cleared, or columns the new target does not list keep their old costs.
    self.linsolver_model_.attr("changeColsCost")(g, numpy.attr("arange")(g),
                                                 numpy.attr("zeros")(g));
    nb::object int32 = numpy.attr("int32");
    self.linsolver_model_.attr("passHessian")(
        g, 0, format, numpy.attr("zeros")(g + 1, "dtype"_a = int32),
        numpy.attr("zeros")(0, "dtype"_a = int32), numpy.attr("zeros")(0));
    self.linsolver_model_.attr("changeColsCost")(entries.count_, entries.indices_, entries.data_);
    if (!quad.is_none()) {
        nb::object values = hessian[2];
        self.linsolver_model_.attr("passHessian")(g, values.attr("size"), format, hessian[0],
                                                  hessian[1], values);
    }
}

// ---------------------------------------------------------------------------------------------
// Solving and results.

nb::object block_columns(nb::handle block) { return block.attr("_map")(); }

void set_solution(LinearModel &self, nb::object variable_name, nb::object solution) {
    linear::set_start_values(g_module, self.state_, index_int64(self.general_shift_variables_),
                             self.variables_, variable_name, &block_columns, solution);
}

nb::object solve(LinearModel &self, nb::object is_feasible) {
    return linear::solve(
        g_module, self.linsolver_model_, self.state_, index_int64(self.general_shift_variables_),
        truth(is_feasible) ? linear::OnFailure::kRaise : linear::OnFailure::kReportInfeasible);
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

void write_model(const LinearModel &self, nb::object model_path) {
    linear::write_model(g_module, self.linsolver_model_, model_path);
}

using Gc =
    GcSlots<LinearModel, &LinearModel::linsolver_model_, &LinearModel::used_vars_,
            &LinearModel::general_shift_variables_, &LinearModel::variables_, &LinearModel::state_>;

// Binds the module's names in the order the module's own imports bind them.
void import_names(nb::module_ &m) {
    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    nb::module_ os = nb::module_::import_("os");
    m.attr("os") = os;
    nb::module_ enum_mod = nb::module_::import_("enum");
    m.attr("Enum") = enum_mod.attr("Enum");
    m.attr("auto") = enum_mod.attr("auto");
    m.attr("reduce") = nb::module_::import_("functools").attr("reduce");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("linsolver") = nb::module_::import_("nubrix.sorn_engine.linsolver");
    zk::import_logger(m);
    nb::module_ exceptions = nb::module_::import_("zk_encoder._exceptions");
    for (const char *name :
         {"VariableError", "TargetError", "FormulaError", "BuildError", "SolverError"})
        m.attr(name) = exceptions.attr(name);
    m.attr("VariableArray") =
        nb::module_::import_("zk_encoder.linear_parser2.variable").attr("VariableArray");
    nb::module_ expression = nb::module_::import_("zk_encoder.linear_parser2._expression");
    for (const char *name : {"_CoefType", "LinearExpression", "LinearExpressionsArr"})
        m.attr(name) = expression.attr(name);
    m.attr("DEBUG") = os.attr("environ").attr("get")(zk::lp2::kDebugVariable, false);
}

void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    namespace lp = zk::lp2;
    using lp::LinearModel;
    zk::init_module();
    import_names(m);
    lp::g_module.bind(m);

    // Values 1, 2, 3 in member order, as auto() gives them.
    m.attr("SolutionStatus") = zk::make_enum(
        lp::kModule, "SolutionStatus", {{"OPTIMAL", 1}, {"SUBOPTIMAL", 2}, {"INFEASIBLE", 3}});
    m.attr("VariableType") =
        zk::make_enum(lp::kModule, "VariableType", {{"REAL", 1}, {"INTEGER", 2}, {"BINARY", 3}});
    nb::object inf = m.attr("linsolver").attr("kLinsolverInf");
    m.attr("inf") = inf;
    nb::object minus_inf = lp::neg(inf);

    nb::class_<LinearModel> cls(m, "LinearModel", lp::kClassDoc, nb::type_slots(lp::Gc::slots_));
    cls.def("__init__", &lp::init_model, "log_solver"_a.none() = false, "options"_a,
            nb::sig("def __init__(self, log_solver: bool = False, **options) -> None"))
        .def("get_variable", &lp::get_variable, "name"_a.none(), "variable_type"_a.none(),
             "lower_bound"_a.none() = minus_inf, "upper_bound"_a.none() = inf, "shape"_a,
             nb::sig("def get_variable(self, name: str, variable_type: VariableType, "
                     "lower_bound: tp.Union[int, float] = -inf, "
                     "upper_bound: tp.Union[int, float] = inf, **shape: int) -> VariableArray"))
        .def("add_constraint", &lp::add_constraint, "constraint"_a.none(),
             "lower_bound"_a.none() = nb::none(), "upper_bound"_a.none() = nb::none(),
             "equation_bound"_a.none() = nb::none(),
             nb::sig("def add_constraint(self, constraint: LinearExpression, "
                     "lower_bound: tp.Optional[_CoefType] = None, "
                     "upper_bound: tp.Optional[_CoefType] = None, "
                     "equation_bound: tp.Optional[_CoefType] = None) -> None"))
        .def("add_constraints", &lp::add_constraints, "constraints"_a.none(),
             "lower_bounds"_a.none() = nb::none(), "upper_bounds"_a.none() = nb::none(),
             "equation_bounds"_a.none() = nb::none(),
             nb::sig("def add_constraints(self, constraints: LinearExpressionsArr, "
                     "lower_bounds: tp.Optional[np.ndarray] = None, "
                     "upper_bounds: tp.Optional[np.ndarray] = None, "
                     "equation_bounds: tp.Optional[np.ndarray] = None) -> None"))
        .def("add_target", &lp::add_target, "target"_a.none(), "minimization"_a.none(),
             nb::sig("def add_target(self, target: LinearExpression, minimization: bool) -> None"))
        .def_static("_set_border", &lp::set_border_lenient, "first_border"_a.none(),
                    "second_border"_a.none(),
                    nb::sig("def _set_border(first_border: _CoefType, second_border: _CoefType) "
                            "-> _CoefType"))
        .def("set_solution", &lp::set_solution, "variable_name"_a.none(), "solution"_a.none(),
             nb::sig("def set_solution(self, variable_name: str, solution: np.ndarray) -> None"))
        .def("solve", &lp::solve, "is_feasible"_a.none() = false,
             nb::sig("def solve(self, is_feasible: bool = False) -> SolutionStatus"))
        .def_prop_ro("objective_value", &lp::objective_value,
                     nb::for_getter(nb::sig("def objective_value(self) -> float")))
        .def("get_linsolver_solution", &lp::get_linsolver_solution,
             nb::sig("def get_linsolver_solution(self) -> linsolver.LinsolverSolution"))
        .def("get_result", &lp::get_result, "variable_name"_a.none(),
             nb::sig("def get_result(self, variable_name: str) -> np.ndarray"))
        .def("write_model", &lp::write_model, "model_path"_a.none(),
             nb::sig("def write_model(self, model_path: Path | str) -> None"))
        .def_static("_LinearModel__set_border", &lp::set_border_strict, "first_border"_a.none(),
                    "second_border"_a.none(),
                    nb::sig("def _LinearModel__set_border(first_border, second_border)"));

    // The fields, under their Python names; writable so that a program (or a test) can put the
    // model into any state the operations reach.
#define ZK_LP2_FIELD(py_name, member)                                                \
    cls.def_prop_rw(                                                                 \
        py_name, [](LinearModel &self) { return self.member; },                      \
        [](LinearModel &self, nb::object value) { self.member = std::move(value); }, \
        "value"_a.none())
    ZK_LP2_FIELD("_linsolver_model", linsolver_model_);
    ZK_LP2_FIELD("_used_vars", used_vars_);
    ZK_LP2_FIELD("_general_shift_variables", general_shift_variables_);
    ZK_LP2_FIELD("_variables", variables_);
    ZK_LP2_FIELD("_prev_solution", state_.prev_solution_);
    ZK_LP2_FIELD("_solution", state_.solution_);
    ZK_LP2_FIELD("_solution_values", state_.solution_values_);
    ZK_LP2_FIELD("_objective_value", state_.objective_value_);
#undef ZK_LP2_FIELD
}

}  // namespace

}  // namespace zk::lp2

ZK_MODULE(model, m) { zk::lp2::bind_module(m); }
