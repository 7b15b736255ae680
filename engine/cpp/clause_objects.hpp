// The C++ state behind the clause side's classes (wcnf_storage, var_mapping, witness_interpreter,
// manager): each module binds its own class, and the others check their arguments against it.
#pragma once

#include <nanobind/nanobind.h>

#include "core/var_map.hpp"
#include "core/wcnf_store.hpp"

namespace se {

namespace nb = nanobind;

struct Storage {
    clause::WcnfStore store_;
};

struct Mapping {
    clause::VarMap map_;
};

struct Interpreter {
    clause::WitnessInterpreter wi_;
    nb::object mapping_;  // the var_mapping given, or None
};

struct EngineManager {
    nb::object storage_ = nb::none();
    nb::object interpreter_ = nb::none();
};

}  // namespace se
