// What both linear generations keep of a model's columns and answers, without the interpreter:
// the column numbers of a new block within the solver's 32-bit limit, how the bounds of a new
// block are sent by its kind, the start vector over the model's columns, and what the engine's
// status after a run makes of the solve. common/linear_model.hpp hands these to the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zk::linear {

// The most columns the solver numbers with its 32-bit column indexes.
inline constexpr int64_t kMaxColumns = 2147483647;

// The columns of one block, `first_` up to `end()`, in the model's numbering.
struct ColumnRange {
    int64_t first_ = 0;
    int64_t count_ = 0;
    int64_t end() const { return first_ + count_; }
};

// The columns of a block of `count` columns after `first` existing ones; std::nullopt when they
// would pass kMaxColumns (or either number is negative).
std::optional<ColumnRange> next_columns(int64_t first, int64_t count);

enum class ColumnKind { kReal, kInteger, kBinary };

// How the bound vectors of a new block reach the engine.
enum class BoundDtype { kInt32, kFloat64 };

struct BlockBounds {
    BoundDtype dtype_ = BoundDtype::kFloat64;
    // Marked as integer columns after they are added.
    bool integral_ = false;
    // Bounds 0 and 1 whatever the program gave.
    bool binary_ = false;
};

// A binary block's bounds.
inline constexpr int kBinaryLower = 0;
inline constexpr int kBinaryUpper = 1;

// The bounds of a new block of `kind`: a real block's as float64, a binary block's as int32, an
// integer block's as `integer_dtype` (the generations differ there: the first sends int32, the
// second float64).
BlockBounds block_bounds(ColumnKind kind, BoundDtype integer_dtype);

// The start vector over `columns` columns: the `held_count` values held so far first (no more
// than `columns` of them), zeros for the columns added after them.
std::vector<double> grown_start(const double *held, std::size_t held_count, std::size_t columns);

// The engine's model status after a run, as far as a solve tells them apart.
enum class EngineStatus { kOptimal, kTimeLimit, kOther };

// What a solve without an answer does: raise (the first generation, and the second with
// is_feasible=True), or report INFEASIBLE with a warning (the second's default).
enum class OnFailure { kRaise, kReportInfeasible };

enum class SolveOutcome {
    kOptimal,
    // A time limit ended the search with a primal solution: reported with a warning.
    kSuboptimal,
    // No answer, raised.
    kFailed,
    // No answer, reported.
    kInfeasible,
};

// The outcome of a run. `value_valid` (whether the engine's solution holds values) counts only
// at a time limit; callers need not read it otherwise.
SolveOutcome solve_outcome(EngineStatus status, bool value_valid, OnFailure policy);

}  // namespace zk::linear
