// What both linear generations refuse alike, written once: a block of another model in a row or
// target, and a comparison with None; and the model-level rules of both: solver options, the
// sizes and bounds of a new block with the solver's column limit, and start values. Each
// generation raises these through its own module's logged errors.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "common/module_globals.hpp"
#include "linear/model.hpp"

namespace zk::linear {

namespace nb = nanobind;

// BuildError: a row or target may hold only the variables of the model it is given to.
inline std::string foreign_block_message(const std::string &block) {
    return "Variable " + block + " belongs to another model";
}

// TypeError for a row compared with what is no number (a text, an array, another row), in the
// host's own words: such a bound would reach the engine as it came.
inline std::string comparison_message(const char *op, const char *left_type,
                                      const std::string &right_type) {
    return std::string("'") + op + "' not supported between instances of '" + left_type +
           "' and '" + right_type + "'";
}

// TypeError for `row <= None` (and the other comparisons), in the host's own words: None stays
// "not given" only where it is a bound argument's default.
inline std::string none_comparison_message(const char *op, const char *left_type) {
    return comparison_message(op, left_type, "NoneType");
}

// ---------------------------------------------------------------------------------------------
// Model-level rules (linear_rules.cpp). `g` is the calling module's globals: its `np`,
// `linsolver` and `log_e`.

// A new engine solver with the model's options set on it: "log_to_console" with `log_solver`
// first, then each keyword option in call order. Every option is checked before the solver is
// made: numpy scalars go over as the host's numbers, a NaN value is refused, and so is a negative
// or NaN time limit or MIP gap (ValueError, logged).
nb::object new_solver(const ModuleGlobals &g, nb::handle log_solver, nb::handle options);

// The element count of a block whose dimension sizes are the values of `dims`, in order; each
// value is replaced by the plain int it stands for. ValueError (logged) for a size that is no
// non-negative integer. Counts past kMaxColumns (linear/model.hpp) are given as kMaxColumns + 1.
int64_t block_count(const ModuleGlobals &g, nb::handle dims);

// ValueError (logged) when `count` new columns after `first` existing ones would pass
// kMaxColumns, the most the solver numbers with its 32-bit column indexes.
void check_columns(const ModuleGlobals &g, nb::handle name, int64_t first, int64_t count);

// What a bound is named in messages.
inline constexpr char kLowerBound[] = "Lower bound";
inline constexpr char kUpperBound[] = "Upper bound";
// Both bounds at once (`row == k`, `eq=k`, `equation_bound=k`).
inline constexpr char kEquationBound[] = "Equation bound";

// What a row's numbers are named in messages.
inline constexpr char kCoefficient[] = "Coefficient";
inline constexpr char kConstant[] = "Constant";

// A bound as the plain int or float it stands for (a numpy scalar or 0-d array as its value, any
// other real number as its float value); an invalid object when it is no number; TypeError
// (logged) for a complex value, ValueError (logged) for NaN.
nb::object bound_or_none(const ModuleGlobals &g, const char *what, nb::handle bound);

// As bound_or_none, with a TypeError naming the type where `bound` is no number.
nb::object bound_number(const ModuleGlobals &g, const char *what, nb::handle bound);

// The bound of a real column: bound_number's value as a float (OverflowError past the float
// range, as float() raises).
nb::object real_bound(const ModuleGlobals &g, const char *what, nb::handle bound);

// Bounds for each of `shape` rows or columns as a new float64 array of that shape: a number
// (bound_number's rules) for every one, or values that numpy broadcasts to `shape` as np.full
// does (numpy's own ValueError otherwise), each read as a bound is: TypeError (logged) for a
// complex value or one that is no number, ValueError (logged) for NaN.
nb::object bound_vector(const ModuleGlobals &g, const char *what, nb::handle bound,
                        nb::handle shape);

// A new block's bound as its engine vector receives it: a number for every column, as the plain
// number it stands for (a float when `real`), which also replaces `bound`; or one value for each
// of its `count` elements (bound_vector), a new float64 vector, `bound` staying the caller's.
nb::object column_bound(const ModuleGlobals &g, const char *what, nb::object &bound, int64_t count,
                        bool real);

// The start values a program gives for one block, flattened row-major (np.ravel), as a new
// float64 vector: TypeError (logged) for a complex value or one that is no number, ValueError
// (logged) for NaN or an infinity. Nothing is written anywhere before these tests pass.
nb::object start_values(const ModuleGlobals &g, nb::handle solution);

}  // namespace zk::linear
