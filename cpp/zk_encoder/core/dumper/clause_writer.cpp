// The clause writer of zk_encoder.core.dumper (clause_writer.hpp).
#include "zk_encoder/core/dumper/clause_writer.hpp"

#include <nanobind/ndarray.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/python_private.hpp"
#include "texts/names.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

namespace {

constexpr const char *kAddHardClauses = "add_hard_clauses";
constexpr const char *kAddSoftClauses = "add_soft_clauses";

nb::object int64_array(const int64_t *data, size_t n) {
    nb::ndarray<nb::numpy, const int64_t, nb::ndim<1>> arr(data, {n}, nb::handle());
    return nb::cast(arr, nb::rv_policy::reference);
}

// True when the clauses went in as one block, the record's own arrays viewed as they stand.
bool write_block(const Prepared &p) {
    const PreparedClauses &pc = p.clauses_;
    const bool soft = pc.soft();
    std::vector<int64_t> weights;
    if (soft) {
        std::vector<int64_t> by_position(p.weight_values_.size(), 0);
        for (size_t i = 0; i < p.weight_values_.size(); ++i)
            if (p.weight_values_[i].is_valid() &&
                !exact_int64(p.weight_values_[i].ptr(), by_position[i]))
                return false;
        weights.resize(pc.size());
        for (size_t c = 0; c < pc.size(); ++c)
            weights[c] = by_position[static_cast<size_t>(pc.weight_pos_[c])];
    }
    nb::object bulk = optional_attr(p.storage_, soft ? kAddSoftClauses : kAddHardClauses);
    if (!bulk.is_valid()) return false;
    nb::object offsets = int64_array(pc.begin_.data(), pc.begin_.size());
    nb::object lits = int64_array(pc.lits_.data(), pc.lits_.size());
    if (soft)
        bulk(offsets, lits, int64_array(weights.data(), weights.size()));
    else
        bulk(offsets, lits);
    return true;
}

}  // namespace

// Keys are written digit by digit: a record may number millions of auxiliaries.
void fill_map(const PreparedClauses &pc, int64_t num_formula, nb::dict &map) {
    if (pc.aux_.size() > 8 && PyDict_GET_SIZE(map.ptr()) == 0)
        map =
            check<nb::dict>(py_private::new_presized_dict(static_cast<Py_ssize_t>(pc.aux_.size())));
    std::string key;
    for (const AuxEntry &e : pc.aux_) {
        key.clear();
        texts::append_aux_key(key, e.kind_, num_formula, e.instance_, e.k_);
        // The key is ASCII by construction: no decoding needed.
        PyObject *k = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
        if (k) std::memcpy(PyUnicode_1BYTE_DATA(k), key.data(), key.size());
        PyObject *v = k ? PyLong_FromLongLong(e.number_) : nullptr;
        int rc = v ? PyDict_SetItem(map.ptr(), k, v) : -1;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (rc != 0) throw nb::python_error();
    }
}

void write_clauses(const Prepared &p) {
    const PreparedClauses &pc = p.clauses_;
    if (pc.size() == 0) return;
    if (write_block(p)) return;
    nb::object add_hard = p.storage_.attr("add_hard_clause");
    nb::object add_soft;
    for (size_t c = 0; c < pc.size(); ++c) {
        size_t b = static_cast<size_t>(pc.begin_[c]), e = static_cast<size_t>(pc.begin_[c + 1]);
        nb::list lits = check<nb::list>(PyList_New(static_cast<Py_ssize_t>(e - b)));
        for (size_t i = b; i < e; ++i) {
            PyObject *lit = PyLong_FromLongLong(pc.lits_[i]);
            if (!lit) rethrow();
            PyList_SET_ITEM(lits.ptr(), static_cast<Py_ssize_t>(i - b), lit);
        }
        int32_t wpos = pc.soft() ? pc.weight_pos_[c] : -1;
        if (wpos < 0) {
            add_hard(lits);
        } else {
            if (!add_soft.is_valid()) add_soft = p.storage_.attr("add_soft_clause");
            add_soft(lits, p.weight_values_[static_cast<size_t>(wpos)]);
        }
    }
}

}  // namespace dumper

}  // namespace zk::core
