// The clause writer of zk_encoder.core.dumper (clause_writer.hpp).
#include "zk_encoder/core/dumper/clause_writer.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "common/engine_calls.hpp"
#include "common/python_private.hpp"
#include "texts/names.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

namespace {

// A soft record's weights, one per clause, as the bulk insertion takes them; false when one of
// them does not fit in 64 bits.
bool clause_weights(const Prepared &p, std::vector<int64_t> &weights) {
    const PreparedClauses &pc = p.clauses_;
    std::vector<int64_t> by_position(p.weight_values_.size(), 0);
    for (size_t i = 0; i < p.weight_values_.size(); ++i)
        if (p.weight_values_[i].is_valid() &&
            !exact_int64(p.weight_values_[i].ptr(), by_position[i]))
            return false;
    weights.resize(pc.size());
    for (size_t c = 0; c < pc.size(); ++c)
        weights[c] = by_position[static_cast<size_t>(pc.weight_pos_[c])];
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
    const engine_calls::ClauseSpans spans{pc.begin_.data(), pc.size(), pc.lits_.data(),
                                          pc.lits_.size()};
    if (!pc.soft()) {
        engine_calls::add_hard_clauses(p.storage_, spans);
        return;
    }
    std::vector<int64_t> weights;
    const bool fit = clause_weights(p, weights);
    engine_calls::add_soft_clauses(p.storage_, spans, fit ? weights.data() : nullptr,
                                   p.weight_values_, pc.weight_pos_);
}

}  // namespace dumper

}  // namespace zk::core
