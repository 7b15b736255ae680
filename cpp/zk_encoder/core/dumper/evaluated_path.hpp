// The evaluated path of zk_encoder.core.dumper: a record's template written out as a list
// comprehension, evaluated in the record's namespace, and the resulting instances numbered.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "zk_encoder/core/dumper/record.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

struct RecordNumbers {
    nb::object weights_;  // None for a hard record
    int64_t num_formula_ = 0;
    BlockLayout layout_;
};

RecordNumbers numbers_of(nb::handle weights, nb::handle num_formula, nb::handle init, nb::handle pb,
                         nb::handle bx);

std::string comprehension_text(nb::handle template_constraint, nb::handle foralls);

nb::object evaluate(const std::string &text, nb::handle eval_state);

// Numbers every literal of the evaluated instances into `out`, filling its map; raises on the
// first literal it refuses.
void number_instances(nb::handle temp_cnf, const RecordNumbers &rec, Prepared &out);

}  // namespace dumper

}  // namespace zk::core
