// Native evaluation of formula texts: the expression forms the library itself writes are read
// into a program (program.hpp) and executed with the interpreter's own operations, so that a
// formula costs no compilation. Any other text, and every text while the native routes are
// switched off (texts/native_route.hpp), goes to the interpreter's `eval`, which is told where
// the formula holds each comparison as the native route tells it.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace zk::formula {

namespace nb = nanobind;

// Where the registry that encodes the comparisons keeps the polarity of the one it encodes next:
// the slot of `registry`, or null when it is not a registry whose slot the caller reads directly
// (a subclass may override its methods, another object is called through its attributes). The
// registry's type belongs to a module above this layer, so the module that evaluates formulas
// passes the function that knows it.
using PolaritySlot = std::uint8_t *(*)(nb::handle registry);

// Whether `text` is a str that reads completely into the natively evaluated forms. Reading has no
// effect on anything.
bool formula_is_native(nb::handle text);

// The value of `eval(text, ns, ns)`: executed natively when `ns` is a dict and the text reads into
// the native forms, else handed to `fallback_eval` (the interpreter's `eval`) unchanged. Errors of
// the execution propagate as nb::python_error, as they would from `eval`. A comparison that the
// formula does not hold as a plain requirement is told where it stands through `polarity_slot`.
nb::object eval_formula(nb::handle text, nb::handle ns, nb::handle fallback_eval,
                        PolaritySlot polarity_slot);

// Adds the module-private `_eval_formula(text, namespace)` and `_formula_is_native(text)`.
void def_formula_eval(nb::module_ &m, PolaritySlot polarity_slot);

}  // namespace zk::formula
