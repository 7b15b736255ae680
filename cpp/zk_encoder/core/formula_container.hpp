// The per-model formula container: clause templates, auxiliary-number blocks, the hard and soft
// queues and the container-wide clause storage.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
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
    // Families of the library's own Variable type whose element maps are not made yet: their
    // map is a function of the shape alone, so it is made when `_mappings` or `mapping` is read.
    // Until then `mappings_` holds None at `slot_`. A family of 10^8 elements with a few clauses
    // costs its shape, not 10^8 names.
    struct LazyFamily {
        Py_ssize_t slot_ = 0;
        nb::object family_;
        std::string name_;
        int64_t st_shift_ = 0;
        std::vector<int64_t> sizes_;
        int64_t count_ = 0;  // elements; 0 when a size is not positive (an empty map)
    };
    std::vector<LazyFamily> lazy_;
};

}  // namespace zk::core
