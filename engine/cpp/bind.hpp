// Registration functions of the engine's modules; module.cpp calls them in order.
#pragma once

#include <nanobind/nanobind.h>

namespace se {

namespace nb = nanobind;

// Top level: log sink, levels, version text.
void register_top(nb::module_ &m);

// Sub-module bxpr: Boolean expressions, their context, Tseytin transformation.
void register_bxpr(nb::module_ &m);

// Sub-module pbct: pseudo-Boolean constraints and their encoders.
void register_pbct(nb::module_ &m);

// Top level, the clause side, one class each: the clause storage wcnf_storage, the variable
// mapping var_mapping, the witness_interpreter and the engine manager.
void register_wcnf_storage(nb::module_ &m);
void register_var_mapping(nb::module_ &m);
void register_witness_interpreter(nb::module_ &m);
void register_manager(nb::module_ &m);

// Sub-module linsolver: the linear solver on HiGHS.
void register_linsolver(nb::module_ &m);

// The formula encoder that manager.create_formula_encoder(name) returns for one model.
nb::object make_formula_encoder(nb::handle model_name);

// Creates a sub-module of nubrix.sorn_engine and registers it under its dotted name, so that
// `import nubrix.sorn_engine.NAME` finds it.
nb::module_ make_submodule(nb::module_ &parent, const char *name, const char *doc);

}  // namespace se
