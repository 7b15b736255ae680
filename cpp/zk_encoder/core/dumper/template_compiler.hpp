// The template compiler of zk_encoder.core.dumper and its cache: a queued record's literal texts
// read once into integer form (instantiate/), kept beside the record while it lives, and the
// record instantiated from that form without evaluating anything.
#pragma once

#include <nanobind/nanobind.h>

#include "zk_encoder/core/dumper/record.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

// Makes the cache; once, when the module loads.
void init_template_cache();

// Compiles a record's template and keeps it for the record; false where the record must be
// evaluated (or takes no weak references).
bool compile_template(nb::handle record);

// Instantiates a record natively; false (with `out` as it was) when the record must be evaluated.
bool prepare_compiled(nb::handle a, Prepared &out);

}  // namespace dumper

}  // namespace zk::core
