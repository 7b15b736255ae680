// nubrix.sorn_engine.witness_interpreter: decodes a solver's witness into the values of the named
// elements of a variable mapping, auxiliaries left out.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "clause_objects.hpp"
#include "common/format.hpp"

namespace se {

namespace {

using zk::format_message;

// What a message names, where the argument is one value.
constexpr const char *kWitnessLiteral = "interpret: a witness literal";

// Messages.
constexpr const char *kMappingTypeMsg = "set_var_mapping: expected a var_mapping, not {}";
constexpr const char *kPrefixesTypeMsg =
    "set_auxiliary_vars: expected a sequence of str prefixes, not {}";
constexpr const char *kPrefixTypeMsg = "set_auxiliary_vars: a prefix must be a str, not {}";
constexpr const char *kNoTablesMsg =
    "witness_interpreter: build_mapping_tables() has not succeeded yet";
constexpr const char *kWitnessTypeMsg =
    "interpret: the witness must be a sequence of integers, not {}";
constexpr const char *kInterpretMsg = "interpret: {}";
constexpr const char *kReprFormat = "witness_interpreter({})";
constexpr const char *kReprElementsFormat = "{} elements";
constexpr const char *kReprNoTables = "no tables";

}  // namespace

void register_witness_interpreter(nb::module_ &m) {
    nb::class_<Interpreter>(m, "witness_interpreter",
                            "Decodes a solver's witness into the values of named elements")
        .def("__init__", [](Interpreter *self) { new (self) Interpreter{{}, nb::none()}; })
        .def(
            "set_var_mapping",
            [](Interpreter &self, nb::handle mapping) {
                if (!nb::isinstance<Mapping>(mapping))
                    raise_py(PyExc_TypeError,
                             format_message(kMappingTypeMsg, py_type_name(mapping)));
                self.mapping_ = nb::borrow(mapping);
            },
            nb::arg("mapping").none())
        .def("get_var_mapping", [](const Interpreter &self) { return self.mapping_; })
        .def(
            "set_auxiliary_vars",
            [](Interpreter &self, nb::handle prefixes) {
                // A str is iterable too, but its characters as prefixes would make every name
                // starting with "_" an auxiliary.
                if (nb::isinstance<nb::str>(prefixes))
                    raise_py(PyExc_TypeError,
                             format_message(kPrefixesTypeMsg, py_type_name(prefixes)));
                std::vector<std::string> p;
                for (nb::handle item : nb::iter(prefixes)) {
                    if (!nb::isinstance<nb::str>(item))
                        raise_py(PyExc_TypeError,
                                 format_message(kPrefixTypeMsg, py_type_name(item)));
                    p.push_back(nb::cast<std::string>(item));
                }
                self.wi_.set_auxiliary_prefixes(std::move(p));
            },
            nb::arg("prefixes").none(), "Names beginning with one of these are auxiliaries")
        .def("get_auxiliary_vars",
             [](const Interpreter &self) {
                 nb::list l;
                 for (const auto &p : self.wi_.auxiliary_prefixes())
                     l.append(nb::str(p.c_str(), p.size()));
                 return l;
             })
        .def(
            "is_auxiliary",
            [](const Interpreter &self, const std::string &name) {
                return self.wi_.is_auxiliary(name);
            },
            nb::arg("name"))
        .def(
            "build_mapping_tables",
            [](Interpreter &self, nb::handle leave_out_auxiliaries) {
                const int truth = PyObject_IsTrue(leave_out_auxiliaries.ptr());
                if (truth < 0) throw nb::python_error();
                if (self.mapping_.is_none()) return false;
                return self.wi_.build_tables(nb::cast<const Mapping &>(self.mapping_).map_,
                                             truth != 0);
            },
            nb::arg("leave_out_auxiliaries").none() = true,
            "Take the elements to decode from the mapping (auxiliaries left out when the argument "
            "is true); true when the mapping holds at least one name")
        .def(
            "interpret",
            [](const Interpreter &self, nb::handle witness) {
                if (!self.wi_.built()) raise_py(engine_error().ptr(), kNoTablesMsg);
                std::vector<int64_t> lits;
                nb::object fast = sequence_snapshot(witness);
                if (!fast.is_valid())
                    raise_py(PyExc_TypeError,
                             format_message(kWitnessTypeMsg, py_type_name(witness)));
                const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
                PyObject **items = &PyTuple_GET_ITEM(fast.ptr(), 0);
                lits.reserve(static_cast<std::size_t>(n));
                for (Py_ssize_t i = 0; i < n; ++i)
                    lits.push_back(int64_arg(items[i], kWitnessLiteral));
                std::vector<bool> values;
                try {
                    values = self.wi_.decode(lits);
                } catch (const std::invalid_argument &e) {
                    raise_py(PyExc_ValueError, format_message(kInterpretMsg, e.what()));
                }
                nb::dict out;
                std::size_t i = 0;
                self.wi_.for_each_entry([&](std::string_view name, int64_t) {
                    if (PyDict_SetItem(out.ptr(), py_str(name).ptr(),
                                       values[i++] ? Py_True : Py_False) != 0)
                        throw nb::python_error();
                });
                return out;
            },
            nb::arg("witness").none(),
            "A dict element name -> bool from a witness (signed integers, as a SAT solver's model)")
        .def("__repr__", [](const Interpreter &self) {
            return format_message(kReprFormat,
                                  self.wi_.built()
                                      ? format_message(kReprElementsFormat, self.wi_.table_size())
                                      : std::string(kReprNoTables));
        });
}
}  // namespace se
