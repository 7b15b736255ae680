// What the parts of zk_encoder.core.dumper share: a record's field names, the module's objects,
// and a record's prepared form (its clauses numbered, ready to write).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "instantiate/block_layout.hpp"
#include "instantiate/prepared_clauses.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

using namespace zk::instantiate;

constexpr const char *kModule = "zk_encoder.core.dumper";

// Field names of DumpArgs, in declaration order.
constexpr const char *kFieldTemplate = "template_constraint";
constexpr const char *kFieldWeights = "weights";
constexpr const char *kFieldForalls = "foralls";
constexpr const char *kFieldNumFormula = "num_formula";
constexpr const char *kFieldInitShift = "init_shift_variable";
constexpr const char *kFieldShiftPb = "shift_pb_variable";
constexpr const char *kFieldShiftBx = "shift_bx_variable";
constexpr const char *kFieldOffset = "offset_shift_for_formula";
constexpr const char *kFieldEvalState = "eval_state";
constexpr const char *kFieldCnfStor = "cnf_stor";

struct ModuleRefs {
    nb::object builtins_;
    nb::object stock_dump_cnf_;   // Dumper._dump_cnf as defined here
    nb::object stock_print_all_;  // Dumper.__print_all_formula as defined here
    nb::object dumper_cls_;
    nb::object range_type_;
};
inline ModuleRefs *g_refs = nullptr;
inline ModuleGlobals g_module;

inline nb::str py_text(const std::string &s) { return nb::str(s.data(), s.size()); }

// The refusals' class, raised after the module's own log_e has the message: the package's
// FormulaError finishes loading after this module, so it is taken from the loaded package at the
// first refusal.
inline LoadedAttr g_formula_error{"zk_encoder._exceptions", "FormulaError"};

inline std::string_view utf8_view(PyObject *s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<size_t>(n)};
}

// An exact int (or bool) that fits in 64 bits; false otherwise.
inline bool exact_int64(PyObject *o, int64_t &out) {
    if (!PyLong_CheckExact(o) && !PyBool_Check(o)) return false;
    return int64_of(o, out);
}

// A record's clauses numbered, with what writing them needs.
struct Prepared {
    PreparedClauses clauses_;
    std::vector<nb::object> weight_values_;  // by template position
    nb::object storage_;
    nb::dict map_;
};

}  // namespace dumper

}  // namespace zk::core
