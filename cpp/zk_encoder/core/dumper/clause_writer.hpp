// The clause writer of zk_encoder.core.dumper: a record's prepared clauses into its storage (whole
// blocks through a bulk insertion where the storage offers one, else one call per clause), and
// the map of its auxiliary names.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "zk_encoder/core/dumper/record.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

// Enters every auxiliary of `pc` in `map`, "_pbct_aux[formula,instance,k]" (or "_bxpr_aux[...]")
// to its number.
void fill_map(const PreparedClauses &pc, int64_t num_formula, nb::dict &map);

// Writes the prepared clauses to the record's storage.
void write_clauses(const Prepared &p);

}  // namespace dumper

}  // namespace zk::core
