// The evaluated path of zk_encoder.core.dumper (evaluated_path.hpp).
#include "zk_encoder/core/dumper/evaluated_path.hpp"

#include <algorithm>
#include <vector>

#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/numbers.hpp"
#include "texts/names.hpp"
#include "zk_encoder/core/dumper/clause_writer.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

namespace {

using numbers::repr_text;

constexpr const char *kNotPbctOrBxpr = "Index is not pbct or bxpr: {}";
constexpr const char *kIndefinitePbct =
    "Indefinite pbct index: {} in instance {} of formula {}, whose block has {} of them";
constexpr const char *kIndefiniteBxpr =
    "Indefinite bxpr index: {} in instance {} of formula {}, whose block has {} of them";
constexpr const char *kBadLiteral =
    "Clause literal is neither a variable number nor an auxiliary name: {}";
constexpr const char *kLiteralRange = "Clause literal out of range: {}";
constexpr const char *kBadWeight = "Soft clause weight must be a non-negative integer: {}";
constexpr const char *kLiteralTextNotStr = "Clause template literal must be a text: {}";
// The host's own wording, for an auxiliary name whose number int() would not read.
constexpr const char *kNotDecimal = "invalid literal for int() with base 10: {}";

}  // namespace

std::string comprehension_text(nb::handle template_constraint, nb::handle foralls) {
    std::string text = "[[";
    bool first_clause = true;
    for (nb::handle clause : template_constraint) {
        if (!first_clause) text += ",";
        first_clause = false;
        text += "[";
        bool first_lit = true;
        for (nb::handle lit : clause) {
            if (!PyUnicode_Check(lit.ptr()))
                raise_plain(PyExc_TypeError, format_message(kLiteralTextNotStr, repr_text(lit)));
            if (!first_lit) text += ",";
            first_lit = false;
            text += utf8_view(lit.ptr());
        }
        text += "]";
    }
    text += "] ";
    bool first_for = true;
    for (nb::handle item : foralls.attr("items")()) {
        nb::object key = item[0], value = item[1];
        if (!first_for) text += " ";
        first_for = false;
        text += "for ";
        text += nb::cast<std::string>(nb::str(key));
        text += " in ";
        PyObject *empty = PyUnicode_FromString("");
        PyObject *formatted = empty ? PyObject_Format(value.ptr(), empty) : nullptr;
        Py_XDECREF(empty);
        if (!formatted) throw nb::python_error();
        text += utf8_view(formatted);
        Py_DECREF(formatted);
    }
    text += "]";
    return text;
}

// `eval` is looked up at every record, as the name would be in module code. The comprehension
// allocates one list per clause and instance and none of them can be part of a cycle, so the
// cyclic collector, which would otherwise rescan the growing result again and again, is paused
// for the evaluation.
nb::object evaluate(const std::string &text, nb::handle eval_state) {
    nb::object fn = g_refs->builtins_.attr("eval");
    nb::str source = py_text(text);
    GcPause pause;
    return fn(source, eval_state);
}

// Reads the weights once: the same weights serve every instance. Position i of the result is -1
// for a clause to drop (weight 0), else i.
static std::vector<int32_t> weight_positions(nb::handle weights, size_t clause_count,
                                             std::vector<nb::object> &values) {
    std::vector<int32_t> pos(clause_count, -1);
    values.assign(clause_count, nb::object());
    for (size_t i = 0; i < clause_count; ++i) {
        nb::object w = weights[nb::int_(i)];
        if (!PyLong_Check(w.ptr()) || compare(w, nb::int_(0), Py_LT))
            g_module.raise_logged(g_formula_error.get(), format_message(kBadWeight, repr_text(w)));
        if (truth(w)) pos[i] = static_cast<int32_t>(i);
        values[i] = w;
    }
    return pos;
}

void number_instances(nb::handle temp_cnf, const RecordNumbers &rec, Prepared &out) {
    const BlockLayout &L = rec.layout_;
    nb::object instances = nb::steal(PySequence_Fast(temp_cnf.ptr(), "instances must be a list"));
    if (!instances.is_valid()) throw nb::python_error();
    Py_ssize_t n_inst = PySequence_Fast_GET_SIZE(instances.ptr());
    std::vector<int32_t> positions;
    bool weights_read = false;
    // One map entry per auxiliary and instance is enough: later occurrences repeat the number.
    std::vector<char> seen(static_cast<size_t>(std::max<int64_t>(L.block_size(), 0)), 0);
    PreparedClauses &pc = out.clauses_;

    for (Py_ssize_t o = 0; o < n_inst; ++o) {
        std::fill(seen.begin(), seen.end(), 0);
        PyObject *inst_obj = PySequence_Fast_GET_ITEM(instances.ptr(), o);
        nb::object inst = nb::steal(PySequence_Fast(inst_obj, "an instance must be a list"));
        if (!inst.is_valid()) throw nb::python_error();
        Py_ssize_t m = PySequence_Fast_GET_SIZE(inst.ptr());
        if (!rec.weights_.is_none() && !weights_read) {
            positions = weight_positions(rec.weights_, static_cast<size_t>(m), out.weight_values_);
            weights_read = true;
        }
        for (Py_ssize_t c = 0; c < m; ++c) {
            int32_t wpos = -1;
            bool keep = true;
            if (!rec.weights_.is_none()) {
                if (static_cast<size_t>(c) >= positions.size()) {
                    // Instances of one template have equal lengths; read more weights if not.
                    std::vector<nb::object> more;
                    positions = weight_positions(rec.weights_, static_cast<size_t>(c) + 1, more);
                    out.weight_values_ = more;
                }
                wpos = positions[static_cast<size_t>(c)];
                keep = wpos >= 0;
            }
            PyObject *clause_obj = PySequence_Fast_GET_ITEM(inst.ptr(), c);
            nb::object clause = nb::steal(PySequence_Fast(clause_obj, "a clause must be a list"));
            if (!clause.is_valid()) throw nb::python_error();
            Py_ssize_t nl = PySequence_Fast_GET_SIZE(clause.ptr());
            for (Py_ssize_t l = 0; l < nl; ++l) {
                PyObject *lit = PySequence_Fast_GET_ITEM(clause.ptr(), l);
                int64_t value = 0;
                if (PyUnicode_Check(lit)) {
                    std::string_view text = utf8_view(lit);
                    AuxName a = texts::read_aux_name(text);
                    if (a.status_ == AuxName::Status::kNoPrefix)
                        g_module.raise_logged(g_formula_error.get(),
                                              format_message(kNotPbctOrBxpr, text));
                    if (a.status_ == AuxName::Status::kBadIndex) {
                        std::string tail(text.substr(text.rfind('_') + 1));
                        raise_plain(PyExc_ValueError,
                                    format_message(kNotDecimal, repr_text(py_text(tail))));
                    }
                    if (a.k_ < 0 || a.k_ >= L.capacity(a.kind_)) {
                        g_module.raise_logged(
                            g_formula_error.get(),
                            format_message(
                                a.kind_ == AuxKind::kPbct ? kIndefinitePbct : kIndefiniteBxpr, text,
                                o, rec.num_formula_, L.capacity(a.kind_)));
                    }
                    int64_t number = L.number(o, a.kind_, a.k_);
                    if (number <= 0 || number > kMaxLiteral)
                        g_module.raise_logged(g_formula_error.get(),
                                              format_message(kLiteralRange, number));
                    value = a.negated_ ? -number : number;
                    size_t slot =
                        static_cast<size_t>(a.kind_ == AuxKind::kPbct ? a.k_ : L.pb_ + a.k_);
                    if (keep && !seen[slot]) {
                        seen[slot] = 1;
                        pc.aux_.push_back({a.kind_, o, a.k_, number});
                    }
                } else if (PyLong_Check(lit)) {
                    int64_t v = 0;
                    if (!int64_of(lit, v) || v == 0 || v > kMaxLiteral || v < -kMaxLiteral)
                        g_module.raise_logged(g_formula_error.get(),
                                              format_message(kLiteralRange, repr_text(lit)));
                    value = v;
                } else {
                    g_module.raise_logged(g_formula_error.get(),
                                          format_message(kBadLiteral, repr_text(lit)));
                }
                if (keep) pc.lits_.push_back(value);
            }
            if (keep) pc.close_clause(wpos);
        }
    }

    fill_map(pc, rec.num_formula_, out.map_);
}

RecordNumbers numbers_of(nb::handle weights, nb::handle num_formula, nb::handle init, nb::handle pb,
                         nb::handle bx) {
    RecordNumbers r;
    r.weights_ = nb::borrow(weights);
    r.num_formula_ = index_int64(num_formula);
    r.layout_.init_ = index_int64(init);
    r.layout_.pb_ = index_int64(pb);
    r.layout_.bx_ = index_int64(bx);
    return r;
}

}  // namespace dumper

}  // namespace zk::core
