// Instantiating a compiled clause template over its for-all values: every instance numbered, its
// auxiliaries placed in its block, its literals sorted. A plan proven once for all instances runs
// without checks where it can be proven; the checked loop takes the rest. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "instantiate/block_layout.hpp"
#include "instantiate/prepared_clauses.hpp"
#include "instantiate/template_code.hpp"

namespace zk::instantiate {

// For-all values read as integers, outermost keyword first, and the count of instances.
struct ForallValues {
    std::vector<std::vector<int64_t>> values_;
    int64_t instances_ = 1;
};

// Which loop instantiates: the planned one where it can be proven, or always the checked one.
enum class Route : uint8_t { kAuto, kChecked };

// Instantiates `code` over every for-all instance into `out` (literals sorted, weight-0 clauses
// dropped, auxiliaries numbered in their blocks and listed once per instance). `weight_pos` is
// null for a hard record, else one entry per template clause (-1: weight 0). Returns false, with
// `out` unusable, when any literal of any instance would be refused: the caller then replays the
// record through the evaluation, whose error is the one to report.
// `planned_width`, where given, receives the column count of the plan that ran (0: none ran).
bool instantiate_template(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
                          const std::vector<int32_t> *weight_pos, PreparedClauses &out,
                          Route route = Route::kAuto, size_t *planned_width = nullptr);

}  // namespace zk::instantiate
