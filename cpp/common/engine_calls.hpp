// The engine's faster calls (engine/CONTRACT.md, "Faster calls"): each one looked up and made
// here, together with the required calls that do its work where the engine lacks it, so that
// every caller takes the same decision the same way.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/arrays.hpp"
#include "common/errors.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"

namespace zk::engine_calls {

namespace nb = nanobind;

inline constexpr const char *kAddHardClauses = "add_hard_clauses";
inline constexpr const char *kAddSoftClauses = "add_soft_clauses";
inline constexpr const char *kClauseArrays = "clause_arrays";
inline constexpr const char *kGetClauseArrays = "get_clause_arrays";
inline constexpr const char *kClausesS = "clauses_s";
inline constexpr const char *kSetVarFamilies = "set_var_families";
inline constexpr const char *kAddRowList = "addRowList";
inline constexpr const char *kChangeColCostArrays = "changeColCostArrays";

inline constexpr const char *kNotClauses = "the encoder's clauses must be a sequence";
inline constexpr const char *kNotAClause = "a clause of the encoder must be a sequence of integers";

// Clauses as flat arrays: clause i holds lits_[offsets_[i] .. offsets_[i + 1]).
struct ClauseLists {
    std::vector<int64_t> offsets_{0};
    std::vector<int64_t> lits_;
};

// Offsets that start at 0, do not decrease and end at the literals' count.
inline bool valid_offsets(const std::vector<int64_t> &offsets, std::size_t n_lits) {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != static_cast<int64_t>(n_lits))
        return false;
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1]) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Clause storage: add_hard_clauses / add_soft_clauses, else one call per clause

// Clauses held by the caller: clause c is lits_[offsets_[c] .. offsets_[c + 1]).
struct ClauseSpans {
    const int64_t *offsets_;
    std::size_t count_;  // clauses
    const int64_t *lits_;
    std::size_t n_lits_;
};

namespace detail {

inline nb::list clause_list(const ClauseSpans &c, std::size_t k) {
    std::size_t b = static_cast<std::size_t>(c.offsets_[k]);
    std::size_t e = static_cast<std::size_t>(c.offsets_[k + 1]);
    nb::list lits = check<nb::list>(PyList_New(static_cast<Py_ssize_t>(e - b)));
    for (std::size_t i = b; i < e; ++i) {
        PyObject *lit = PyLong_FromLongLong(c.lits_[i]);
        if (!lit) rethrow();
        PyList_SET_ITEM(lits.ptr(), static_cast<Py_ssize_t>(i - b), lit);
    }
    return lits;
}

// One call per clause; `weight_of(c)` the weight object of soft clause c, hard when null.
template <typename WeightOf>
void add_one_by_one(nb::handle storage, const ClauseSpans &c, WeightOf weight_of) {
    nb::object add_hard = storage.attr("add_hard_clause");
    nb::object add_soft;
    for (std::size_t k = 0; k < c.count_; ++k) {
        nb::list lits = clause_list(c, k);
        nb::handle weight = weight_of(k);
        if (!weight.is_valid()) {
            add_hard(lits);
        } else {
            if (!add_soft.is_valid()) add_soft = storage.attr("add_soft_clause");
            add_soft(lits, weight);
        }
    }
}

}  // namespace detail

// The bulk call is handed read-only views of the caller's arrays, valid only during the call.
inline void add_hard_clauses(nb::handle storage, const ClauseSpans &c) {
    if (nb::object bulk = optional_attr(storage, kAddHardClauses); bulk.is_valid()) {
        bulk(arrays::borrowed_view(c.offsets_, c.count_ + 1),
             arrays::borrowed_view(c.lits_, c.n_lits_));
        return;
    }
    detail::add_one_by_one(storage, c, [](std::size_t) { return nb::handle(); });
}

// `weights`: one per clause as 64-bit integers, or null when one does not fit (then the bulk
// call is not even looked up); `weight_values[weight_pos[c]]`: clause c's weight as given.
inline void add_soft_clauses(nb::handle storage, const ClauseSpans &c, const int64_t *weights,
                             const std::vector<nb::object> &weight_values,
                             const std::vector<int32_t> &weight_pos) {
    if (weights) {
        if (nb::object bulk = optional_attr(storage, kAddSoftClauses); bulk.is_valid()) {
            bulk(arrays::borrowed_view(c.offsets_, c.count_ + 1),
                 arrays::borrowed_view(c.lits_, c.n_lits_),
                 arrays::borrowed_view(weights, c.count_));
            return;
        }
    }
    detail::add_one_by_one(storage, c, [&](std::size_t k) -> nb::handle {
        int32_t pos = weight_pos[k];
        return pos < 0 ? nb::handle() : nb::handle(weight_values[static_cast<std::size_t>(pos)]);
    });
}

// ---------------------------------------------------------------------------------------------
// Clause forms: clause_arrays(), else get_args() and support()

// The result of the engine's clause_arrays() of a clause expression: (names, offsets,
// literals) with names a list; null where the engine lacks it (AttributeError) or the expression
// is not in clause form (the call's ValueError). Any other error reaches the program. The
// fallback is the caller's walk over the expression's own objects.
inline nb::object clause_arrays(nb::handle expr) {
    nb::object method = optional_attr(expr, kClauseArrays);
    if (!method.is_valid()) return nb::object();
    PyObject *res = PyObject_CallNoArgs(method.ptr());
    if (!res) {
        clear_only(PyExc_ValueError);
        return nb::object();
    }
    nb::object arrays = nb::steal(res);
    if (!PyTuple_Check(arrays.ptr()) || PyTuple_GET_SIZE(arrays.ptr()) != 3 ||
        !PyList_Check(PyTuple_GET_ITEM(arrays.ptr(), 0)))
        return nb::object();
    return arrays;
}

// The offsets and literals of a clause_arrays() result; false when they are not valid ones.
inline bool read_clause_arrays(nb::handle arrays, std::vector<int64_t> &offsets,
                               std::vector<int64_t> &lits) {
    return arrays::read_int_buffer(PyTuple_GET_ITEM(arrays.ptr(), 1), offsets) &&
           arrays::read_int_buffer(PyTuple_GET_ITEM(arrays.ptr(), 2), lits) &&
           valid_offsets(offsets, lits.size());
}

// ---------------------------------------------------------------------------------------------
// Clause databases: get_clause_arrays(), else get_clauses()

namespace detail {

inline ClauseLists clause_lists(nb::handle db) {
    nb::object clauses = db.attr("get_clauses")();
    nb::object outer = check(PySequence_Fast(clauses.ptr(), kNotClauses));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(outer.ptr());
    ClauseLists flat;
    flat.offsets_.reserve(static_cast<std::size_t>(n) + 1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *clause = PySequence_Fast_GET_ITEM(outer.ptr(), i);
        nb::object seq = check(PySequence_Fast(clause, kNotAClause));
        Py_ssize_t k = PySequence_Fast_GET_SIZE(seq.ptr());
        PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
        for (Py_ssize_t j = 0; j < k; ++j)
            flat.lits_.push_back(static_cast<int64_t>(index_int64(items[j])));
        flat.offsets_.push_back(static_cast<int64_t>(flat.lits_.size()));
    }
    return flat;
}

}  // namespace detail

// The database's clauses, without a Python object per literal where it offers them as flat
// arrays (offsets, literals) of a valid shape.
inline ClauseLists database_clauses(nb::handle db) {
    if (optional_attr(db, kGetClauseArrays).is_valid()) {
        nb::object arrays = db.attr(kGetClauseArrays)();
        nb::object pair = check(PySequence_Tuple(arrays.ptr()));
        ClauseLists flat;
        if (PyTuple_GET_SIZE(pair.ptr()) == 2 &&
            arrays::read_int_buffer(PyTuple_GET_ITEM(pair.ptr(), 0), flat.offsets_) &&
            arrays::read_int_buffer(PyTuple_GET_ITEM(pair.ptr(), 1), flat.lits_) &&
            valid_offsets(flat.offsets_, flat.lits_.size()))
            return flat;
    }
    return detail::clause_lists(db);
}

// ---------------------------------------------------------------------------------------------
// Conjunctions of clauses: bx.clauses_s, else bx.or_s per clause and bx.and_s of them

namespace detail {

// The literals are named in the same order (first clause first, left to right), each distinct
// literal is handed over once, and no engine object is made per clause.
template <typename LiteralOf>
nb::object clauses_in_bulk(const ClauseLists &flat, LiteralOf &literal, nb::handle clauses_s) {
    nb::list exprs;
    std::vector<int64_t> picks(flat.lits_.size());
    int64_t next = 0;
    auto pick = [&](int64_t lit, int64_t &slot) {
        if (slot < 0) {
            exprs.append(literal(lit));
            slot = next++;
        }
        return slot;
    };
    // The numbers of one formula are drawn from a source reset for it, so they are few and
    // dense: a table indexed by number then beats hashing every literal.
    int64_t largest = 0;
    for (int64_t lit : flat.lits_)
        largest = std::max(largest, lit == INT64_MIN ? INT64_MAX : lit < 0 ? -lit : lit);
    if (largest <= 2 * static_cast<int64_t>(flat.lits_.size()) + 4096) {
        std::vector<int64_t> pos(static_cast<std::size_t>(largest) + 1, -1), neg(pos);
        for (std::size_t k = 0; k < flat.lits_.size(); ++k) {
            int64_t lit = flat.lits_[k];
            picks[k] = pick(lit, lit > 0 ? pos[static_cast<std::size_t>(lit)]
                                         : neg[static_cast<std::size_t>(-lit)]);
        }
    } else {
        std::unordered_map<int64_t, int64_t> pick_of;
        for (std::size_t k = 0; k < flat.lits_.size(); ++k) {
            int64_t lit = flat.lits_[k];
            auto at = pick_of.emplace(lit, -1).first;
            picks[k] = pick(lit, at->second);
        }
    }
    return clauses_s(exprs, flat.offsets_, picks);
}

}  // namespace detail

// The conjunction of the clauses as one Boolean formula of `bx`; `literal(lit)` gives the engine
// literal of a signed number.
template <typename LiteralOf>
nb::object clause_formula(nb::handle bx, const ClauseLists &flat, LiteralOf &&literal) {
    if (nb::object fn = optional_attr(bx, kClausesS); fn.is_valid())
        return detail::clauses_in_bulk(flat, literal, fn);
    nb::object or_s = bx.attr("or_s");
    nb::object and_s = bx.attr("and_s");
    std::size_t n = flat.offsets_.size() - 1;
    nb::object conj = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        int64_t begin = flat.offsets_[i], end = flat.offsets_[i + 1];
        nb::object disj = check(PyList_New(static_cast<Py_ssize_t>(end - begin)));
        for (int64_t j = begin; j < end; ++j)
            PyList_SET_ITEM(disj.ptr(), static_cast<Py_ssize_t>(j - begin),
                            literal(flat.lits_[static_cast<std::size_t>(j)]).release().ptr());
        PyList_SET_ITEM(conj.ptr(), static_cast<Py_ssize_t>(i), or_s(disj).release().ptr());
    }
    return and_s(conj);
}

// ---------------------------------------------------------------------------------------------
// Variable mappings: set_var_families, else set_var_map with the whole map

// `whole_map()` gives the map the families stand for; it is read only where the mapping lacks
// set_var_families.
template <typename WholeMap>
void set_var_families(nb::handle var_maps, nb::handle families, nb::handle others,
                      WholeMap &&whole_map) {
    if (nb::object bulk = optional_attr(var_maps, kSetVarFamilies); bulk.is_valid()) {
        bulk(families, others);
        return;
    }
    var_maps.attr("set_var_map")(whole_map());
}

// ---------------------------------------------------------------------------------------------
// Linear solvers: addRowList, else addRow; changeColCostArrays, else changeColCost per term
//
// Both faster calls are looked up on the solver's class (an object may answer every attribute,
// as a recording stand-in does), through names interned once: the per-row path is hot.

namespace detail {

// One name object per faster call, made once. The method is held, not borrowed from the class:
// the rows' own code (a text's __format__, the evaluation, the engine's calls) may delete it.
inline nb::object add_row_list_of(nb::handle solver) {
    static PyObject *const name = interned(kAddRowList);
    return nb::steal(py_private::type_lookup_new(Py_TYPE(solver.ptr()), name));
}

inline nb::object change_col_cost_arrays_of(nb::handle solver) {
    static PyObject *const name = interned(kChangeColCostArrays);
    return nb::steal(py_private::type_lookup_new(Py_TYPE(solver.ptr()), name));
}

inline nb::object call_method(nb::handle function, nb::handle self,
                              std::initializer_list<PyObject *> args) {
    std::vector<PyObject *> all{self.ptr()};
    all.insert(all.end(), args.begin(), args.end());
    PyObject *r = PyObject_Vectorcall(function.ptr(), all.data(), all.size(), nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

}  // namespace detail

// addRow, the required call: a row's bounds, its number of terms, its column indexes and
// coefficients, each passed on as the caller gives it.
template <typename Lower, typename Upper, typename Count, typename Indexes, typename Values>
void add_row(nb::handle solver, Lower &&lower, Upper &&upper, Count &&count, Indexes &&indexes,
             Values &&values) {
    solver.attr("addRow")(std::forward<Lower>(lower), std::forward<Upper>(upper),
                          std::forward<Count>(count), std::forward<Indexes>(indexes),
                          std::forward<Values>(values));
}

// The rows of one call of a model, its faster call looked up once for all of them.
class RowCalls {
  public:
    explicit RowCalls(nb::handle solver)
        : solver_(nb::borrow(solver)), add_row_list_(detail::add_row_list_of(solver)) {}

    // Whether rows may go as lists (addRowList).
    bool takes_lists() const { return add_row_list_.is_valid(); }

    // addRowList: the columns as a list of int, the coefficients as a list of float;
    // `value_at(k)` is the float the engine makes of coefficient k. Only where takes_lists().
    template <typename ValueAt>
    void add_row_list(nb::handle lower, nb::handle upper, const std::vector<int64_t> &columns,
                      ValueAt &&value_at) const {
        const std::size_t n = columns.size();
        nb::object count = nb::int_(n);
        nb::object indexes = check(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t k = 0; k < n; ++k)
            PyList_SET_ITEM(indexes.ptr(), static_cast<Py_ssize_t>(k),
                            check(PyLong_FromLongLong(columns[k])).release().ptr());
        nb::object values = check(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t k = 0; k < n; ++k)
            PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(k),
                            check(PyFloat_FromDouble(value_at(k))).release().ptr());
        detail::call_method(add_row_list_, solver_,
                            {lower.ptr(), upper.ptr(), count.ptr(), indexes.ptr(), values.ptr()});
    }

    // addRow, the row's number of terms the length of its indexes.
    void add_row(nb::handle lower, nb::handle upper, nb::handle indexes, nb::handle values) const {
        engine_calls::add_row(solver_, lower, upper, nb::len(indexes), indexes, values);
    }

  private:
    // Both held for the whole call: program code runs between the look-up and the last row.
    nb::object solver_;
    nb::object add_row_list_;
};

// The costs of the objective's columns: one changeColCostArrays call, else changeColCost term by
// term (the arrays' own iterators give the same scalars as indexing them, for a million terms).
inline void change_col_costs(nb::handle solver, nb::handle indexes, nb::handle values) {
    std::size_t count = nb::len(indexes);
    if (nb::object costs = detail::change_col_cost_arrays_of(solver); costs.is_valid()) {
        nb::object n_costs = nb::int_(count);
        detail::call_method(costs, solver, {n_costs.ptr(), indexes.ptr(), values.ptr()});
    } else if (arrays::is_numpy_vector(indexes) && arrays::is_numpy_vector(values) &&
               nb::len(values) == count) {
        nb::object change = solver.attr("changeColCost");
        nb::object column_it = nb::steal(PyObject_GetIter(indexes.ptr()));
        if (!column_it.is_valid()) throw nb::python_error();
        nb::object value_it = nb::steal(PyObject_GetIter(values.ptr()));
        if (!value_it.is_valid()) throw nb::python_error();
        for (std::size_t k = 0; k < count; ++k) {
            nb::object column = nb::steal(PyIter_Next(column_it.ptr()));
            nb::object value = nb::steal(PyIter_Next(value_it.ptr()));
            if (!column.is_valid() || !value.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            PyObject *args[] = {column.ptr(), value.ptr()};
            PyObject *r = PyObject_Vectorcall(change.ptr(), args, 2, nullptr);
            if (!r) throw nb::python_error();
            Py_DECREF(r);
        }
    } else {
        for (std::size_t k = 0; k < count; ++k)
            solver.attr("changeColCost")(indexes[nb::int_(k)], values[nb::int_(k)]);
    }
}

}  // namespace zk::engine_calls
