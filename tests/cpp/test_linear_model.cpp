// The Python-free model-level rules of both linear generations (cpp/linear/model.hpp): the
// columns of a new block up to the solver's 32-bit limit, the bounds a block is sent with by its
// kind, the start vector that grows with zeros, and the outcome of a solve by the engine's status
// and the failure policy, each compared with the whole table of what it must give. Run as
// `test_linear_model CASE` or `test_linear_model --list`.
#include <cstdint>
#include <optional>
#include <vector>

#include "check.hpp"
#include "linear/model.hpp"

using namespace zk::linear;

namespace {

void columns() {
    struct Case {
        int64_t first_, count_;
        bool fits_;
    };
    const Case cases[] = {
        {0, 0, true},
        {0, 1, true},
        {0, kMaxColumns, true},
        {0, kMaxColumns + 1, false},
        {kMaxColumns, 0, true},
        {kMaxColumns, 1, false},
        {kMaxColumns - 5, 5, true},
        {kMaxColumns - 5, 6, false},
        {1, INT64_MAX, false},
        {INT64_MAX, INT64_MAX, false},
        {-1, 1, false},
        {0, -1, false},
    };
    for (const Case &c : cases) {
        std::optional<ColumnRange> r = next_columns(c.first_, c.count_);
        CHECK(r.has_value() == c.fits_);
        if (r) {
            CHECK(r->first_ == c.first_ && r->count_ == c.count_);
            CHECK(r->end() == c.first_ + c.count_ && r->end() <= kMaxColumns);
        }
    }
}

void bounds() {
    struct Case {
        ColumnKind kind_;
        BoundDtype integer_dtype_;
        BoundDtype dtype_;
        bool integral_, binary_;
    };
    const Case cases[] = {
        {ColumnKind::kReal, BoundDtype::kInt32, BoundDtype::kFloat64, false, false},
        {ColumnKind::kReal, BoundDtype::kFloat64, BoundDtype::kFloat64, false, false},
        {ColumnKind::kInteger, BoundDtype::kInt32, BoundDtype::kInt32, true, false},
        {ColumnKind::kInteger, BoundDtype::kFloat64, BoundDtype::kFloat64, true, false},
        {ColumnKind::kBinary, BoundDtype::kInt32, BoundDtype::kInt32, true, true},
        {ColumnKind::kBinary, BoundDtype::kFloat64, BoundDtype::kInt32, true, true},
    };
    for (const Case &c : cases) {
        BlockBounds b = block_bounds(c.kind_, c.integer_dtype_);
        CHECK(b.dtype_ == c.dtype_ && b.integral_ == c.integral_ && b.binary_ == c.binary_);
    }
    CHECK(kBinaryLower == 0 && kBinaryUpper == 1);
}

void start_vectors() {
    const std::vector<double> held{1.5, -2.0, 3.25};
    // Grown with zeros behind the values held.
    CHECK((grown_start(held.data(), held.size(), 5) ==
           std::vector<double>{1.5, -2.0, 3.25, 0.0, 0.0}));
    // Exactly the columns there are: a copy.
    CHECK(grown_start(held.data(), held.size(), 3) == held);
    // A vector longer than the model's columns is cut to them.
    CHECK((grown_start(held.data(), held.size(), 2) == std::vector<double>{1.5, -2.0}));
    // Nothing held: zeros for every column.
    CHECK((grown_start(nullptr, 0, 3) == std::vector<double>{0.0, 0.0, 0.0}));
    CHECK(grown_start(nullptr, 0, 0).empty());
    CHECK(grown_start(held.data(), held.size(), 0).empty());
}

void outcomes() {
    struct Case {
        EngineStatus status_;
        bool value_valid_;
        OnFailure policy_;
        SolveOutcome outcome_;
    };
    const EngineStatus kOpt = EngineStatus::kOptimal, kTime = EngineStatus::kTimeLimit,
                       kOther = EngineStatus::kOther;
    const OnFailure kRaise = OnFailure::kRaise, kReport = OnFailure::kReportInfeasible;
    const Case cases[] = {
        // Optimal whatever the solution's flag says.
        {kOpt, true, kRaise, SolveOutcome::kOptimal},
        {kOpt, false, kRaise, SolveOutcome::kOptimal},
        {kOpt, false, kReport, SolveOutcome::kOptimal},
        // A time limit with values is an answer, without them none.
        {kTime, true, kRaise, SolveOutcome::kSuboptimal},
        {kTime, true, kReport, SolveOutcome::kSuboptimal},
        {kTime, false, kRaise, SolveOutcome::kFailed},
        {kTime, false, kReport, SolveOutcome::kInfeasible},
        // Any other status is no answer, even with values.
        {kOther, true, kRaise, SolveOutcome::kFailed},
        {kOther, false, kRaise, SolveOutcome::kFailed},
        {kOther, true, kReport, SolveOutcome::kInfeasible},
        {kOther, false, kReport, SolveOutcome::kInfeasible},
    };
    for (const Case &c : cases) {
        const SolveOutcome o = solve_outcome(c.status_, c.value_valid_, c.policy_);
        CHECK(o == c.outcome_);
    }
}

}  // namespace

int main(int argc, char **argv) {
    return run_cases(argc, argv,
                     {{"bounds", bounds},
                      {"columns", columns},
                      {"outcomes", outcomes},
                      {"start_vectors", start_vectors}});
}
