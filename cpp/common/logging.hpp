// The package's logger as its modules reach it: a module whose globals bind the logging functions
// (a star-import of the logger module) logs through its own globals (ModuleGlobals); a module that
// binds none logs through the logger module's functions, read at each use.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.hpp"
#include "common/module_globals.hpp"

namespace zk {

namespace nb = nanobind;

inline constexpr char kLoggerModule[] = "zk_encoder.core.zk_logger";

// Binds in `m` what a star-import of the logger module binds (logging, se and the six functions),
// as every logging module of the package does. Their code then reads these names from its own
// globals (ModuleGlobals).
inline void import_logger(nb::module_ &m) {
    nb::module_ src = nb::module_::import_(kLoggerModule);
    for (const char *name : {"logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"})
        m.attr(name) = src.attr(name);
}

// The logger module's function `fn` ("log_e", "log_w", ...), for a module that binds none. It is
// read from the host's registry of loaded modules, where the package's start-up put the logger
// module: a refusal then runs no import.
inline nb::object package_log_function(const char *fn) {
    nb::object name = nb::str(kLoggerModule);
    PyObject *loaded = PyImport_GetModule(name.ptr());
    if (!loaded) {
        if (PyErr_Occurred()) rethrow();
        return nb::module_::import_(kLoggerModule).attr(fn);
    }
    return nb::steal(loaded).attr(fn);
}

// Logs `msg` through the logger module's log_e, then raises `exc_type` with the same text: the
// refusals of a module that binds no logging function.
[[noreturn]] inline void raise_logged(nb::handle exc_type, nb::handle msg) {
    raise_after_logging(package_log_function("log_e"), exc_type, msg);
}

}  // namespace zk
