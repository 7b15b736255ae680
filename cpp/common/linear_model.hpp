// The model-level machinery both linear generations share, at the engine's Python interface: the
// checks of a new block's name and kind, the hand-off of its columns, start values, the solve and
// its status, the results and the written model, with the messages they give. Each generation's
// binding keeps what is its own (its blocks' classes, its text names, its debug checks) and calls
// these with its module's globals `g`: its `np`, `linsolver`, `SolutionStatus`, `Path`, logging
// functions and exception classes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "common/module_globals.hpp"
#include "linear/model.hpp"

namespace zk::linear {

namespace nb = nanobind;

inline constexpr char kBadNameMsg[] =
    "Linear variable must have a non-empty name containing only letters";
inline constexpr char kNameInUseMsg[] = "Linear variable named {} is already in use";
inline constexpr char kIntegerBoundsMsg[] =
    "For integer variables, the boundaries must be integers";
inline constexpr char kInvalidFormatMsg[] = "Invalid variable format";
// A row's bound given both as an argument and by the row itself.
inline constexpr char kBorderTwiceMsg[] = "The border is set twice";

// What a model holds of its start values and its answers.
struct ModelState {
    // The start vector (float64, one value per column), or None before any start value.
    nb::object prev_solution_;
    // The engine's solution of the last run, or None before any.
    nb::object solution_;
    // The column values and the objective of the last answer, or None before any.
    nb::object solution_values_;
    nb::object objective_value_;
};

ModelState new_model_state();

// For the bound classes' collector slots (common/gc.hpp).
int gc_visit(const ModelState &state, visitproc visit, void *arg);
void gc_clear(ModelState &state);

// A new block's name: ValueError (logged) for one that is no identifier, VariableError (logged)
// for one the model holds already (in `used`).
void check_new_name(const ModuleGlobals &g, nb::handle used, nb::handle name);

// The kind a member of the module's VariableType names; ValueError (logged) for anything else.
ColumnKind column_kind(const ModuleGlobals &g, nb::handle variable_type);

// The engine's calls for a new block, made ready before the first of them so that a refused
// block adds no column: its bound vectors and, for integral columns, their integrality.
class NewColumns {
  public:
    // `lower` and `upper` are the plain numbers of the bounds (unread for a binary block).
    NewColumns(const ModuleGlobals &g, ColumnRange columns, BlockBounds bounds, nb::handle lower,
               nb::handle upper);

    // addVars, then changeColsIntegrality for integral columns. `added` runs once the engine
    // holds the columns, before the integrality call: later blocks are numbered behind them
    // whether or not that call succeeds.
    template <typename Added>
    void send(nb::handle solver, Added &&added) const {
        add(solver);
        added();
        mark_integral(solver);
    }

  private:
    void add(nb::handle solver) const;
    void mark_integral(nb::handle solver) const;

    nb::object count_, lower_, upper_, columns_, kinds_;
};

// The positions of a block's columns as one integer-array index.
nb::object column_index(const ModuleGlobals &g, nb::handle columns);

// Where a block's columns lie in the model's column vectors (an index for them); each generation
// reads its own blocks.
using ColumnsOf = nb::object (*)(nb::handle block);

// The start values a program gives for the block `variables[name]` (common/linear_rules.hpp's
// start_values) written into the start vector over the model's `column_count` columns. A new
// vector is kept only once every value is written.
void set_start_values(const ModuleGlobals &g, ModelState &state, int64_t column_count,
                      nb::handle variables, nb::handle name, ColumnsOf columns_of,
                      nb::handle solution);

// Runs the engine's `solver` with the start vector (grown to the model's columns) if there is one
// and returns the module's SolutionStatus member for the outcome: OPTIMAL, SUBOPTIMAL with a
// warning, else SolverError (logged) or INFEASIBLE with a warning, as `on_failure` says. The
// results of an earlier answer stay when there is none.
nb::object solve(const ModuleGlobals &g, nb::handle solver, ModelState &state, int64_t column_count,
                 OnFailure on_failure);

// The last answer's objective, the engine's solution, and the values of the block
// `variables[name]` as an array of its `type` in its `shape`; SolverError (logged) before any
// answer.
nb::object objective_value(const ModuleGlobals &g, const ModelState &state);
nb::object engine_solution(const ModuleGlobals &g, const ModelState &state);
nb::object block_result(const ModuleGlobals &g, const ModelState &state, nb::handle variables,
                        nb::handle name, ColumnsOf columns_of);

// The engine's `solver` writes the model to `model_path` (a Path or what Path takes), its folders
// made first.
void write_model(const ModuleGlobals &g, nb::handle solver, nb::handle model_path);

}  // namespace zk::linear
