// The per-model formula container: clause templates, auxiliary-number blocks, the hard and soft
// queues and the container-wide clause storage.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace zk::core {

namespace nb = nanobind;

struct FormulaContainer {
    nb::object target_variables_;
    int64_t cur_init_shift_variable_ = 0;
    int64_t num_formula_ = 0;
    int64_t num_clauses_ = 0;
    int64_t target_num_clauses_ = 0;
    int64_t cur_count_clauses_hard_ = 0;
    int64_t cur_count_clauses_soft_ = 0;
    nb::list hard_queue_;
    nb::list soft_queue_;
    nb::object cnf_stor_;
    nb::list mappings_;
    nb::object hard_weight_;
    // A target's clauses stay in the shared storage for good: one target per container.
    bool target_written_ = false;
    // A CNF build stamped a storage that holds the target.
    bool target_built_ = false;
    // The maps of `mappings_` merged so far, with each map's identity and version when it was
    // merged: a read merges only the maps added since, unless one of them changed.
    nb::object merged_;
    std::vector<std::pair<PyObject *, uint64_t>> merged_from_;
};

}  // namespace zk::core
