// The model-level machinery both linear generations share (linear_model.hpp).
#include "common/linear_model.hpp"

#include <nanobind/ndarray.h>

#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/linear_rules.hpp"
#include "common/numbers.hpp"

namespace zk::linear {

namespace {

using namespace nb::literals;

constexpr char kSuboptimalMsg[] =
    "Solution is suboptimal due to a time limit, but a primal solution is available";
constexpr char kNotSolvedMsg[] = "The model was not solved correctly";
constexpr char kNoSolutionMsg[] = "There is no solution to the problem. Run 'solve' to find it";

using Reals = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A new float64 array that owns `values`.
nb::object float64_array(const ModuleGlobals &g, std::vector<double> &&values) {
    if (values.empty()) {
        nb::object np = g.get("np");
        return np.attr("zeros")(0, "dtype"_a = np.attr("float64"));
    }
    auto *owned = new std::vector<double>(std::move(values));
    nb::capsule owner(owned,
                      [](void *p) noexcept { delete static_cast<std::vector<double> *>(p); });
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(owned->data(), {owned->size()}, owner)
        .cast();
}

// The start vector held, read as float64 values (one a program put in its place as numpy reads
// it).
Reals held_values(const ModuleGlobals &g, nb::handle held, nb::object &keep) {
    Reals reals;
    if (nb::try_cast(held, reals, false)) return reals;
    nb::object np = g.get("np");
    keep = np.attr("ascontiguousarray")(np.attr("ravel")(held), "dtype"_a = np.attr("float64"));
    return nb::cast<Reals>(keep);
}

// A new start vector over `column_count` columns: the values held first, zeros after.
nb::object grown(const ModuleGlobals &g, nb::handle held, int64_t column_count) {
    const auto columns = static_cast<std::size_t>(column_count);
    if (held.is_none()) return float64_array(g, grown_start(nullptr, 0, columns));
    nb::object keep;
    Reals reals = held_values(g, held, keep);
    return float64_array(g, grown_start(reals.data(), reals.shape(0), columns));
}

// The start vector as it goes to the engine: the one held while it covers the model's columns
// exactly, else one grown (or cut) to them.
nb::object start_over(const ModuleGlobals &g, nb::handle held, int64_t column_count) {
    nb::object keep;
    Reals reals = held_values(g, held, keep);
    if (reals.shape(0) == static_cast<std::size_t>(column_count)) return nb::borrow(held);
    return float64_array(
        g, grown_start(reals.data(), reals.shape(0), static_cast<std::size_t>(column_count)));
}

void refuse_before_answer(const ModuleGlobals &g) { g.raise_logged("SolverError", kNoSolutionMsg); }

}  // namespace

ModelState new_model_state() { return ModelState{nb::none(), nb::none(), nb::none(), nb::none()}; }

int gc_visit(const ModelState &state, visitproc visit, void *arg) {
    for (const nb::object *member : {&state.prev_solution_, &state.solution_,
                                     &state.solution_values_, &state.objective_value_})
        if (int r = zk::gc_visit(*member, visit, arg)) return r;
    return 0;
}

void gc_clear(ModelState &state) {
    for (nb::object *member : {&state.prev_solution_, &state.solution_, &state.solution_values_,
                               &state.objective_value_})
        zk::gc_clear(*member);
}

void check_new_name(const ModuleGlobals &g, nb::handle used, nb::handle name) {
    if (!truth(name) || !truth(name.attr("isidentifier")()))
        g.raise_logged(nb::handle(PyExc_ValueError), kBadNameMsg);
    if (contains(used, name))
        g.raise_logged("VariableError", format_message_str(kNameInUseMsg, nb::str(name)));
}

ColumnKind column_kind(const ModuleGlobals &g, nb::handle variable_type) {
    nb::object kinds = g.get("VariableType");
    if (compare(variable_type, kinds.attr("INTEGER"), Py_EQ)) return ColumnKind::kInteger;
    if (compare(variable_type, kinds.attr("REAL"), Py_EQ)) return ColumnKind::kReal;
    if (compare(variable_type, kinds.attr("BINARY"), Py_EQ)) return ColumnKind::kBinary;
    g.raise_logged(nb::handle(PyExc_ValueError), kInvalidFormatMsg);
}

NewColumns::NewColumns(const ModuleGlobals &g, ColumnRange columns, BlockBounds bounds,
                       nb::handle lower, nb::handle upper) {
    nb::object np = g.get("np");
    nb::object full = np.attr("full");
    nb::object dtype = np.attr(bounds.dtype_ == BoundDtype::kInt32 ? "int32" : "float64");
    count_ = nb::int_(columns.count_);
    nb::object lo = bounds.binary_ ? nb::int_(kBinaryLower) : nb::borrow(lower);
    nb::object hi = bounds.binary_ ? nb::int_(kBinaryUpper) : nb::borrow(upper);
    lower_ = full(count_, "fill_value"_a = lo, "dtype"_a = dtype);
    upper_ = full(count_, "fill_value"_a = hi, "dtype"_a = dtype);
    if (bounds.integral_) {
        columns_ = np.attr("arange")(nb::int_(columns.first_), nb::int_(columns.end()));
        kinds_ = full(
            count_, "fill_value"_a = g.get("linsolver").attr("LinsolverVarType").attr("kInteger"));
    }
}

void NewColumns::add(nb::handle solver) const { solver.attr("addVars")(count_, lower_, upper_); }

void NewColumns::mark_integral(nb::handle solver) const {
    if (columns_.is_valid()) solver.attr("changeColsIntegrality")(count_, columns_, kinds_);
}

nb::object column_index(const ModuleGlobals &g, nb::handle columns) {
    nb::object np = g.get("np");
    return np.attr("asarray")(columns, "dtype"_a = np.attr("intp"));
}

void set_start_values(const ModuleGlobals &g, ModelState &state, int64_t column_count,
                      nb::handle variables, nb::handle name, ColumnsOf columns_of,
                      nb::handle solution) {
    nb::object block = check(PyObject_GetItem(variables.ptr(), name.ptr()));
    nb::object values = start_values(g, solution);
    nb::object columns = columns_of(block);
    // A new vector: a refused write leaves the one held (and any the engine was given) as it was.
    nb::object vector = grown(g, state.prev_solution_, column_count);
    if (PyObject_SetItem(vector.ptr(), columns.ptr(), values.ptr()) != 0) throw nb::python_error();
    state.prev_solution_ = std::move(vector);
}

nb::object solve(const ModuleGlobals &g, nb::handle solver, ModelState &state, int64_t column_count,
                 OnFailure on_failure) {
    nb::object solver_module = g.get("linsolver");
    if (!state.prev_solution_.is_none()) {
        // Blocks made after the last start values get zeros, not a vector that ends early.
        state.prev_solution_ = start_over(g, state.prev_solution_, column_count);
        nb::object start = solver_module.attr("LinsolverSolution")();
        start.attr("col_value") = state.prev_solution_;
        solver.attr("setSolution")(start);
    }
    solver.attr("run")();
    state.solution_ = solver.attr("getSolution")();
    nb::object info = solver.attr("getInfo")();
    nb::object status = solver.attr("getModelStatus")();
    nb::object statuses = solver_module.attr("LinsolverModelStatus");
    EngineStatus engine_status = EngineStatus::kOther;
    if (compare(status, statuses.attr("kOptimal"), Py_EQ))
        engine_status = EngineStatus::kOptimal;
    else if (compare(status, statuses.attr("kTimeLimit"), Py_EQ))
        engine_status = EngineStatus::kTimeLimit;
    const bool value_valid =
        engine_status == EngineStatus::kTimeLimit && truth(state.solution_.attr("value_valid"));
    const SolveOutcome outcome = solve_outcome(engine_status, value_valid, on_failure);
    nb::object results = g.get("SolutionStatus");
    switch (outcome) {
        case SolveOutcome::kFailed:
            g.raise_logged("SolverError", kNotSolvedMsg);
        case SolveOutcome::kInfeasible:
            g.log("log_w", kNotSolvedMsg);
            return results.attr("INFEASIBLE");
        case SolveOutcome::kSuboptimal:
            g.log("log_w", kSuboptimalMsg);
            break;
        case SolveOutcome::kOptimal:
            break;
    }
    state.solution_values_ = g.get("np").attr("array")(state.solution_.attr("col_value"));
    state.objective_value_ = info.attr("objective_function_value");
    return results.attr(outcome == SolveOutcome::kOptimal ? "OPTIMAL" : "SUBOPTIMAL");
}

nb::object objective_value(const ModuleGlobals &g, const ModelState &state) {
    if (state.solution_values_.is_none()) refuse_before_answer(g);
    return state.objective_value_;
}

nb::object engine_solution(const ModuleGlobals &g, const ModelState &state) {
    if (state.solution_.is_none()) refuse_before_answer(g);
    return state.solution_;
}

nb::object block_result(const ModuleGlobals &g, const ModelState &state, nb::handle variables,
                        nb::handle name, ColumnsOf columns_of) {
    if (state.solution_values_.is_none()) refuse_before_answer(g);
    nb::object block = check(PyObject_GetItem(variables.ptr(), name.ptr()));
    nb::object picked =
        check(PyObject_GetItem(state.solution_values_.ptr(), columns_of(block).ptr()));
    return picked.attr("astype")(block.attr("type")).attr("reshape")(block.attr("shape"));
}

void write_model(const ModuleGlobals &g, nb::handle solver, nb::handle model_path) {
    nb::object path_class = g.get("Path");
    nb::object path =
        is_instance(model_path, path_class) ? nb::borrow(model_path) : path_class(model_path);
    path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    solver.attr("writeModel")(path.attr("as_posix")());
}

}  // namespace zk::linear
