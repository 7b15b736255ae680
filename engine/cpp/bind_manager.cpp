// nubrix.sorn_engine.manager: the engine manager, which makes formula encoders and keeps the
// latest clause storage and witness interpreter.
#include <nanobind/nanobind.h>

#include <string>

#include "bind.hpp"
#include "bind_support.hpp"
#include "clause_objects.hpp"
#include "common/format.hpp"

namespace se {

namespace {

using zk::format_message;

// Messages.
constexpr const char *kStorageTypeMsg = "set_cnf_storage: expected a wcnf_storage, not {}";
constexpr const char *kInterpreterTypeMsg =
    "set_witness_interpreter: expected a witness_interpreter, not {}";
constexpr const char *kReprFormat = "manager(storage {}, witness interpreter {})";
constexpr const char *kReprSet = "set";
constexpr const char *kReprUnset = "unset";

}  // namespace

void register_manager(nb::module_ &m) {
    nb::class_<EngineManager>(m, "manager",
                              "The engine manager: creates formula encoders, keeps the latest "
                              "clause storage and witness interpreter")
        .def(nb::init<>())
        .def(
            "create_formula_encoder",
            [](EngineManager &, nb::handle name) { return make_formula_encoder(name); },
            nb::arg("name").none())
        .def(
            "set_cnf_storage",
            [](EngineManager &self, nb::handle storage) {
                if (!storage.is_none() && !nb::isinstance<Storage>(storage))
                    raise_py(PyExc_TypeError,
                             format_message(kStorageTypeMsg, py_type_name(storage)));
                self.storage_ = nb::borrow(storage);
            },
            nb::arg("storage").none())
        .def(
            "get_cnf_storage", [](const EngineManager &self) { return self.storage_; },
            "The storage last set, or None")
        .def(
            "set_witness_interpreter",
            [](EngineManager &self, nb::handle wi) {
                if (!wi.is_none() && !nb::isinstance<Interpreter>(wi))
                    raise_py(PyExc_TypeError,
                             format_message(kInterpreterTypeMsg, py_type_name(wi)));
                self.interpreter_ = nb::borrow(wi);
            },
            nb::arg("interpreter").none())
        .def(
            "get_witness_interpreter", [](const EngineManager &self) { return self.interpreter_; },
            "The witness interpreter last set, or None")
        .def("__repr__", [](const EngineManager &self) {
            return format_message(kReprFormat, self.storage_.is_none() ? kReprUnset : kReprSet,
                                  self.interpreter_.is_none() ? kReprUnset : kReprSet);
        });
}
}  // namespace se
