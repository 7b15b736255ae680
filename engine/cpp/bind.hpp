// Registration functions of the engine's modules; module.cpp calls them in order.
#pragma once

#include <nanobind/nanobind.h>

namespace se {

namespace nb = nanobind;

// Top level: log sink, levels, version text, factories of storage, mapping and interpreter.
void register_top(nb::module_ &m);

// Creates a sub-module of nubrix.sorn_engine and registers it under its dotted name, so that
// `import nubrix.sorn_engine.NAME` finds it.
nb::module_ make_submodule(nb::module_ &parent, const char *name, const char *doc);

}  // namespace se
