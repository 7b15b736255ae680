// The Python-free model-level rules of both linear generations (model.hpp).
#include "linear/model.hpp"

#include <algorithm>

namespace zk::linear {

std::optional<ColumnRange> next_columns(int64_t first, int64_t count) {
    if (first < 0 || count < 0 || first > kMaxColumns || count > kMaxColumns - first)
        return std::nullopt;
    return ColumnRange{first, count};
}

BlockBounds block_bounds(ColumnKind kind, BoundDtype integer_dtype) {
    switch (kind) {
        case ColumnKind::kInteger:
            return BlockBounds{integer_dtype, true, false};
        case ColumnKind::kBinary:
            return BlockBounds{BoundDtype::kInt32, true, true};
        case ColumnKind::kReal:
            break;
    }
    return BlockBounds{BoundDtype::kFloat64, false, false};
}

std::vector<double> grown_start(const double *held, std::size_t held_count, std::size_t columns) {
    std::vector<double> out(columns, 0.0);
    if (held) std::copy_n(held, std::min(held_count, columns), out.begin());
    return out;
}

SolveOutcome solve_outcome(EngineStatus status, bool value_valid, OnFailure policy) {
    if (status == EngineStatus::kOptimal) return SolveOutcome::kOptimal;
    if (status == EngineStatus::kTimeLimit && value_valid) return SolveOutcome::kSuboptimal;
    return policy == OnFailure::kRaise ? SolveOutcome::kFailed : SolveOutcome::kInfeasible;
}

}  // namespace zk::linear
