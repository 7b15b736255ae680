// Logging from C++ through the package's logging functions, and raising a logged error.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zk {

namespace nb = nanobind;

// Binds in `m` what a star-import of the logger module binds (logging, se and the six functions),
// as every logging module of the package does.
inline void import_logger(nb::module_ &m) {
    nb::module_ src = nb::module_::import_("zk_encoder.core.zk_logger");
    for (const char *name : {"logging", "se", "log_c", "log_e", "log_w", "log_i", "log_d", "log_t"})
        m.attr(name) = src.attr(name);
}

// Calls the logging function `fn` ("log_e", "log_w", ...) bound in module `module`, looked up at
// the call, as the module's own code would.
inline void log_via(const char *module, const char *fn, nb::handle msg) {
    nb::module_::import_(module).attr(fn)(msg);
}

inline void log_via(const char *module, const char *fn, const std::string &msg) {
    log_via(module, fn, nb::str(msg.data(), msg.size()));
}

// Logs `msg` at error level through `module`'s log_e, then raises `exc_type` with that text.
[[noreturn]] inline void raise_logged(const char *module, nb::handle exc_type,
                                      const std::string &msg) {
    log_via(module, "log_e", msg);
    PyErr_SetObject(exc_type.ptr(), nb::str(msg.data(), msg.size()).ptr());
    throw nb::python_error();
}

// Raises a Python exception `exc_type` with the message `msg`, without logging.
[[noreturn]] inline void raise_plain(nb::handle exc_type, const std::string &msg) {
    PyErr_SetObject(exc_type.ptr(), nb::str(msg.data(), msg.size()).ptr());
    throw nb::python_error();
}

// The exception class `name` of zk_encoder._exceptions.
inline nb::object exception_class(const char *name) {
    return nb::module_::import_("zk_encoder._exceptions").attr(name);
}

}  // namespace zk
