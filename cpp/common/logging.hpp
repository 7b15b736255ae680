// What a star-import of the package's logger module binds, for the modules that make one.
#pragma once

#include <nanobind/nanobind.h>

#include "common/module_globals.hpp"

namespace zk {

namespace nb = nanobind;

// Binds in `m` what a star-import of the logger module binds (logging, se and the six functions),
// as every logging module of the package does. Their code then reads these names from its own
// globals (ModuleGlobals).
inline void import_logger(nb::module_ &m) {
    nb::module_ src = nb::module_::import_("zk_encoder.core.zk_logger");
    for (const char *name : {"logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"})
        m.attr(name) = src.attr(name);
}

}  // namespace zk
