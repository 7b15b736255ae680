// What the parts of zk_encoder.encode.model share: the module's globals, the host's helpers it
// keeps, the calling program's line, and the Manager's reset around one formula.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "common/module_globals.hpp"

namespace zk::encode {

namespace nb = nanobind;

// The module's globals: names are looked up at every call, as the module's own code would.
extern ModuleGlobals g_module;
// Helpers of the host that are not among the module's names, and the Model class.
extern PyObject *g_eval;
extern PyObject *g_format_stack;
extern PyObject *g_model_type;

// The Model class's attribute `name` (its reserved names).
nb::object class_attr(const char *name);

// datetime.now() through the module's own `datetime`.
nb::object now();

// The program's line that called into the model: its source text and line number.
std::pair<nb::object, nb::object> call_site();

// A str's UTF-8 text; the host's UnicodeEncodeError for one that has none (a lone surrogate).
std::string utf8_of(nb::handle text);

// Runs `body` and resets the Manager on every way out that has not reset it already, so that a
// failed formula leaves no names, numbers or counts behind for the next one.
template <typename Body>
void with_manager_reset(const nb::object &manager, Body &&body) {
    bool reset_done = false;
    try {
        body(reset_done);
    } catch (...) {
        if (!reset_done) {
            try {
                manager.attr("reset")();
            } catch (nb::python_error &) {
                // The formula's own error says more than a failing reset.
            }
        }
        throw;
    }
    if (!reset_done) manager.attr("reset")();
}

}  // namespace zk::encode
