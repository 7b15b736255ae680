// Native evaluation of formula texts: the expression forms the library itself writes are read
// into a program (program.hpp) and executed with the interpreter's own operations, so that a
// formula costs no compilation. Any other text, and every text while the native routes are
// switched off (texts/native_route.hpp), goes to the interpreter's `eval`, which is told where
// the formula holds each comparison as the native route tells it.
#pragma once

#include <nanobind/nanobind.h>

namespace zk::formula {

namespace nb = nanobind;

// Whether `text` is a str that reads completely into the natively evaluated forms. Reading has no
// effect on anything.
bool formula_is_native(nb::handle text);

// The value of `eval(text, ns, ns)`: executed natively when `ns` is a dict and the text reads into
// the native forms, else handed to `fallback_eval` (the interpreter's `eval`) unchanged. Errors of
// the execution propagate as nb::python_error, as they would from `eval`.
nb::object eval_formula(nb::handle text, nb::handle ns, nb::handle fallback_eval);

// Adds the module-private `_eval_formula(text, namespace)` and `_formula_is_native(text)`.
void def_formula_eval(nb::module_ &m);

}  // namespace zk::formula
