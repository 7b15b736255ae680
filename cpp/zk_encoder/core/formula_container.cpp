// zk_encoder.core.formula_container: the clause templates of one model with their blocks of
// auxiliary numbers, the queues of pending records and the container-wide clause storage, completed
// as CNF or weighted CNF at build time.
#include "zk_encoder/core/formula_container.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/engine_calls.hpp"
#include "common/errors.hpp"
#include "common/family_shapes.hpp"
#include "common/format.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"
#include "instantiate/template_code.hpp"
#include "texts/decimal.hpp"
#include "texts/literals.hpp"
#include "texts/names.hpp"

namespace zk::core {

namespace {

constexpr const char *kSecondTarget =
    "A CNF build with a target was already made: its bound stays "
    "in the clause storage, so a second target is refused";
constexpr const char *kTooFewWeights =
    "The soft formula has more clauses than weights: {} clauses, {} weights";
constexpr const char *kInstanceOverflow = "Too many for-all instances: ";
constexpr const char *kCountOverflow =
    "Too many auxiliary variables or clauses: their count does not fit in 64 bits";

// Names the container reads from its module's globals at each call, as module code would.
ModuleGlobals g_module;
// The dumper's compilation of a queued record's template (its literal texts read once).
PyObject *g_compile_template = nullptr;
// The dumper's reduce_ex, whose merge the container may keep between reads.
PyObject *g_stock_reduce_ex = nullptr;

// The module binds neither a logging function nor the exception classes: its one refusal logs
// through the logger module's own and raises the package's BuildError, which finishes loading
// after this module.
LoadedAttr g_build_error{"zk_encoder._exceptions", "BuildError"};

int64_t checked_product(int64_t a, int64_t b) {
    int64_t out = 0;
    if (!instantiate::detail::checked_mul(a, b, out))
        raise_plain(PyExc_OverflowError, kCountOverflow);
    return out;
}

int64_t checked_sum(int64_t a, int64_t b) {
    int64_t out = 0;
    if (!instantiate::detail::checked_add(a, b, out))
        raise_plain(PyExc_OverflowError, kCountOverflow);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Clause templates.

nb::str literal_text(nb::handle literal) {
    std::string t = texts::literal_text(nb::cast<std::string>(nb::str(literal)));
    return nb::str(t.data(), t.size());
}

nb::list parsing_clause(nb::handle clause) {
    nb::list out;
    nb::object bx = g_module.get("bx");
    if (nb::isinstance(clause, bx.attr("Or"))) {
        for (nb::handle op : clause.attr("get_args")()) out.append(literal_text(op));
    } else {
        out.append(literal_text(clause));
    }
    return out;
}

// The template of a conjunction or disjunction through the engine's flat clause arrays, where
// the engine offers them: one text per variable and sign, shared by every clause that holds the
// literal, and no engine object per literal. Null when the arrays are not to be had.
nb::object template_from_arrays(nb::handle bx_clauses) {
    nb::object arrays = engine_calls::clause_arrays(bx_clauses);
    if (!arrays.is_valid()) return nb::object();
    PyObject *names = PyTuple_GET_ITEM(arrays.ptr(), 0);
    std::vector<int64_t> offsets, lits;
    if (!engine_calls::read_clause_arrays(arrays, offsets, lits)) return nb::object();
    Py_ssize_t n_names = PyList_GET_SIZE(names);
    std::vector<nb::object> pos(static_cast<size_t>(n_names)), neg(static_cast<size_t>(n_names));
    size_t n_clauses = offsets.size() - 1;
    nb::list out = check<nb::list>(PyList_New(static_cast<Py_ssize_t>(n_clauses)));
    for (size_t c = 0; c < n_clauses; ++c) {
        nb::list clause =
            check<nb::list>(PyList_New(static_cast<Py_ssize_t>(offsets[c + 1] - offsets[c])));
        for (int64_t i = offsets[c]; i < offsets[c + 1]; ++i) {
            int64_t l = lits[static_cast<size_t>(i)];
            int64_t v = l < 0 ? -l : l;
            if (v < 1 || v > n_names) return nb::object();
            nb::object &slot = (l < 0 ? neg : pos)[static_cast<size_t>(v - 1)];
            if (!slot.is_valid()) {
                PyObject *name = PyList_GET_ITEM(names, static_cast<Py_ssize_t>(v - 1));
                Py_ssize_t len = 0;
                const char *p =
                    PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
                // A name the engine cannot spell in UTF-8 (a lone surrogate) takes the
                // object-by-object path, which reports it as the host would.
                if (!p) {
                    clear_only(PyExc_UnicodeEncodeError);
                    return nb::object();
                }
                // The literal prints as "~" and the name when negated: as literal_text.
                std::string text;
                texts::append_literal_text(text, std::string_view(p, static_cast<size_t>(len)),
                                           l < 0);
                PyObject *t =
                    PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
                if (!t) throw nb::python_error();
                slot = nb::steal(t);
            }
            PyList_SET_ITEM(clause.ptr(), static_cast<Py_ssize_t>(i - offsets[c]),
                            slot.inc_ref().ptr());
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), clause.release().ptr());
    }
    return out;
}

nb::list bx2list_clauses(nb::handle bx_clauses) {
    nb::list out;
    nb::object bx = g_module.get("bx");
    if (nb::isinstance(bx_clauses, bx.attr("And")) || nb::isinstance(bx_clauses, bx.attr("Or"))) {
        nb::object fast = template_from_arrays(bx_clauses);
        if (fast.is_valid()) return nb::borrow<nb::list>(fast);
    }
    if (nb::isinstance(bx_clauses, bx.attr("And"))) {
        for (nb::handle op : bx_clauses.attr("get_args")()) out.append(parsing_clause(op));
    } else {
        out.append(parsing_clause(bx_clauses));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Records.

struct NewRecord {
    nb::object record_;
    int64_t block_size_ = 0;
    int64_t clause_count_ = 0;
    int64_t instances_ = 0;
};

int64_t count_instances(nb::handle foralls) {
    int64_t n = 1;
    for (nb::handle value : foralls.attr("values")()) {
        Py_ssize_t len = PyObject_Length(value.ptr());
        if (len < 0) throw nb::python_error();
        if (len != 0 && n > INT64_MAX / len) raise_plain(PyExc_OverflowError, kInstanceOverflow);
        n *= len;
    }
    return n;
}

// Soft clauses of weight 0 are never written, so they are not counted either.
int64_t written_clauses_per_instance(nb::handle tmpl, nb::handle weights) {
    Py_ssize_t m = PyList_GET_SIZE(tmpl.ptr());
    if (weights.is_none()) return m;
    Py_ssize_t nw = PyObject_Length(weights.ptr());
    if (nw < 0) throw nb::python_error();
    if (nw < m) raise_plain(PyExc_IndexError, format_message(kTooFewWeights, m, nw));
    int64_t kept = 0;
    for (Py_ssize_t i = 0; i < m; ++i) {
        nb::object w = weights[nb::int_(i)];
        if (truth(w)) ++kept;
    }
    return kept;
}

NewRecord inner_add(FormulaContainer &c, nb::handle template_constraint, nb::handle weights,
                    nb::handle foralls, nb::handle shift_pb, nb::handle shift_bx) {
    // Everything the record's counts need is read before anything is built, so a refused
    // argument leaves no half-made record behind.
    int64_t pb = index_int64(shift_pb), bx = index_int64(shift_bx);
    nb::list tmpl = bx2list_clauses(template_constraint);
    int64_t instances = count_instances(foralls);
    int64_t per_instance = written_clauses_per_instance(tmpl, weights);
    int64_t block_size = checked_product(instances, checked_sum(pb, bx));
    int64_t clause_count = checked_product(instances, per_instance);
    nb::dict eval_state;
    for (nb::handle item : c.target_variables_.attr("items")()) {
        nb::object name = item[0], family = item[1];
        eval_state[name] = family.attr("copy")();
    }
    nb::object foralls_copy = PyDict_Check(foralls.ptr())
                                  ? nb::steal(PyDict_Copy(foralls.ptr()))
                                  : nb::module_::import_("builtins").attr("dict")(foralls);
    if (!foralls_copy.is_valid()) throw nb::python_error();
    nb::object record = g_module.get("DumpArgs")(
        nb::arg("template_constraint") = tmpl, nb::arg("weights") = weights,
        nb::arg("foralls") = foralls_copy, nb::arg("num_formula") = c.num_formula_,
        nb::arg("init_shift_variable") = c.cur_init_shift_variable_,
        nb::arg("shift_pb_variable") = shift_pb, nb::arg("shift_bx_variable") = shift_bx,
        nb::arg("offset_shift_for_formula") = 0, nb::arg("eval_state") = eval_state,
        nb::arg("cnf_stor") = g_module.get("se").attr("wcnf_storage")());
    // Compiled now, the template is numbered natively at write-out; a record whose texts are
    // not compilable is evaluated then.
    nb::object compiled = nb::handle(g_compile_template)(record);
    NewRecord r;
    r.record_ = record;
    r.instances_ = instances;
    r.block_size_ = block_size;
    r.clause_count_ = clause_count;
    return r;
}

void cnf_stor_merge(FormulaContainer &c, nb::handle list_dump_args) {
    nb::object merge = c.cnf_stor_.attr("merge");
    for (nb::handle a : list_dump_args) {
        nb::object stor = a.attr("cnf_stor");
        if (!stor.is_none()) merge(stor);
    }
}

// Writes a queue out. The queue and its pending count change only once every record is merged.
void dump_queue(FormulaContainer &c, nb::list &queue, int64_t &pending) {
    if (pending <= 0) return;
    nb::object maps = g_module.get("One2OneDumper").attr("dump")(queue);
    c.mappings_.append(maps);
    cnf_stor_merge(c, queue);
    if (PyList_SetSlice(queue.ptr(), 0, PyList_GET_SIZE(queue.ptr()), nullptr) != 0)
        throw nb::python_error();
    pending = 0;
}

void dump_hard(FormulaContainer &c) { dump_queue(c, c.hard_queue_, c.cur_count_clauses_hard_); }
void dump_soft(FormulaContainer &c) { dump_queue(c, c.soft_queue_, c.cur_count_clauses_soft_); }

// ---------------------------------------------------------------------------------------------
// Family maps made when read.

// Puts the maps of the families not made yet into `mappings_`, in their places.
void materialize(FormulaContainer &c) {
    if (c.lazy_.empty()) return;
    for (const auto &f : c.lazy_) {
        nb::object map = f.family_.attr("map");
        if (PyList_SetItem(c.mappings_.ptr(), f.slot_, map.release().ptr()) != 0)
            throw nb::python_error();
    }
    c.lazy_.clear();
}

using LazyNames = std::unordered_map<std::string_view, const FormulaContainer::LazyFamily *>;

// Whether `key` is the name of an element of a family not made yet: the family name, "[", the
// index values in their decimal text, joined by ",", and "]". The index part holds no "[", so
// the family name ends at the last one.
bool names_lazy_element(const LazyNames &names, PyObject *key, bool &unreadable) {
    Py_ssize_t len = 0;
    const char *p = PyUnicode_AsUTF8AndSize(key, &len);
    if (!p) {
        // A key no reading can name (a lone surrogate): the answer is not to be had this way.
        clear_only(PyExc_UnicodeEncodeError);
        unreadable = true;
        return false;
    }
    std::optional<texts::ElementKey> element =
        texts::read_element_key(std::string_view(p, static_cast<size_t>(len)));
    if (!element) return false;
    auto it = names.find(element->family_);
    if (it == names.end()) return false;
    const auto &sizes = it->second->sizes_;
    if (element->indices_.size() != sizes.size()) return false;
    for (size_t d = 0; d < sizes.size(); ++d)
        if (element->indices_[d] >= sizes[d]) return false;
    return true;
}

// The largest value of `mapping` without making the maps of the families not made yet: their
// largest number is their last element's. Exact only when no key of the other maps names an
// element of such a family (else the later value would replace it) and no two of them share a
// name, and when every other value is a plain integer; false when it cannot say.
bool largest_from_shapes(FormulaContainer &c, int64_t &largest) {
    if (!g_module.get("reduce_ex").is(g_stock_reduce_ex)) return false;
    LazyNames names;
    std::vector<bool> lazy_slot(static_cast<size_t>(PyList_GET_SIZE(c.mappings_.ptr())), false);
    bool any = false;
    for (const auto &f : c.lazy_) {
        lazy_slot[static_cast<size_t>(f.slot_)] = true;
        if (f.count_ == 0) continue;
        if (!names.emplace(f.name_, &f).second) return false;
        int64_t last = f.st_shift_ + (f.count_ - 1);
        if (!any || last > largest) largest = last;
        any = true;
    }
    // The other maps merged as the read would merge them, so that a value replaced by a later
    // map does not count; one non-empty map needs no merge.
    PyObject *list = c.mappings_.ptr();
    nb::object rest;
    bool owned = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (lazy_slot[static_cast<size_t>(i)]) continue;
        PyObject *m = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(m)) return false;
        if (PyDict_GET_SIZE(m) == 0) continue;
        if (!rest.is_valid()) {
            rest = nb::borrow(m);
            continue;
        }
        if (!owned) {
            rest = check(PyDict_Copy(rest.ptr()));
            owned = true;
        }
        if (PyDict_Update(rest.ptr(), m) != 0) throw nb::python_error();
    }
    if (rest.is_valid()) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(rest.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || !PyLong_CheckExact(value)) return false;
            bool unreadable = false;
            if (names_lazy_element(names, key, unreadable) || unreadable) return false;
            int64_t v = 0;
            if (!int64_of(value, v)) return false;
            if (!any || v > largest) largest = v;
            any = true;
        }
    }
    return any;
}

// The map as family shapes and the rest: a tuple (families, other_map), families a list of
// (name, first number, sizes) whose elements come first in the map, other_map a new dict of the
// rest in its order; None when the shapes cannot stand for the map exactly. They can when every
// family not made yet comes before any other non-empty map, no two of them share a name, the
// other maps are plain dictionaries merged by the dumper's function and none of their keys
// names such a family's element (else a later value would replace it in place).
nb::object mapping_shapes(FormulaContainer &c) {
    if (c.lazy_.empty() || !g_module.get("reduce_ex").is(g_stock_reduce_ex)) return nb::none();
    PyObject *list = c.mappings_.ptr();
    std::vector<bool> lazy_slot(static_cast<size_t>(PyList_GET_SIZE(list)), false);
    LazyNames names;
    nb::list families;
    for (const auto &f : c.lazy_) {
        lazy_slot[static_cast<size_t>(f.slot_)] = true;
        if (f.count_ == 0) continue;
        if (!names.emplace(f.name_, &f).second) return nb::none();
        nb::list sizes;
        for (int64_t s : f.sizes_) sizes.append(s);
        families.append(
            nb::make_tuple(nb::str(f.name_.data(), f.name_.size()), f.st_shift_, sizes));
    }
    if (names.empty()) return nb::none();
    Py_ssize_t last_lazy = 0;
    for (const auto &f : c.lazy_)
        if (f.count_ != 0) last_lazy = std::max(last_lazy, f.slot_);
    nb::dict rest;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (lazy_slot[static_cast<size_t>(i)]) continue;
        PyObject *m = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(m)) return nb::none();
        if (PyDict_GET_SIZE(m) == 0) continue;
        if (i < last_lazy) return nb::none();
        if (PyDict_Update(rest.ptr(), m) != 0) throw nb::python_error();
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(rest.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return nb::none();
        bool unreadable = false;
        if (names_lazy_element(names, key, unreadable) || unreadable) return nb::none();
    }
    return nb::make_tuple(families, rest);
}

// The merged map, kept up to date with `mappings_`; None when it cannot be kept (a map that is
// not a plain dictionary, or a merge function other than the dumper's).
nb::object merged_mapping(FormulaContainer &c) {
    nb::object reduce = g_module.get("reduce_ex");
    if (!reduce.is(g_stock_reduce_ex)) return nb::none();
    PyObject *list = c.mappings_.ptr();
    Py_ssize_t n = PyList_GET_SIZE(list);
    bool valid = c.merged_.is_valid() && static_cast<size_t>(n) >= c.merged_from_.size();
    for (size_t i = 0; valid && i < c.merged_from_.size(); ++i) {
        PyObject *m = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        valid =
            m == c.merged_from_[i].first && py_private::dict_version(m) == c.merged_from_[i].second;
    }
    if (!valid) {
        c.merged_ = nb::dict();
        c.merged_from_.clear();
    }
    for (Py_ssize_t i = static_cast<Py_ssize_t>(c.merged_from_.size()); i < n; ++i) {
        PyObject *m = PyList_GET_ITEM(list, i);
        if (!PyDict_CheckExact(m)) {
            c.merged_ = nb::object();
            c.merged_from_.clear();
            return nb::none();
        }
        // Into an empty map, a copy gives the same entries in the same order, without a lookup.
        if (PyDict_GET_SIZE(c.merged_.ptr()) == 0) {
            c.merged_ = nb::steal(PyDict_Copy(m));
            if (!c.merged_.is_valid()) throw nb::python_error();
        } else if (PyDict_Update(c.merged_.ptr(), m) != 0) {
            throw nb::python_error();
        }
        c.merged_from_.emplace_back(m, py_private::dict_version(m));
    }
    return c.merged_;
}

// A new dictionary on every read. The merge is kept between reads: a build reads the map of
// every family element and every auxiliary several times.
nb::object mapping(FormulaContainer &c) {
    materialize(c);
    nb::object merged = merged_mapping(c);
    if (merged.is_none()) return g_module.get("reduce_ex")(c.mappings_);
    return check(PyDict_Copy(merged.ptr()));
}

void stamp_common(FormulaContainer &c, nb::handle name_formula) {
    c.cnf_stor_.attr("set_model_name")(name_formula);
    int64_t from_shapes = 0;
    if (!c.lazy_.empty() && largest_from_shapes(c, from_shapes)) {
        c.cnf_stor_.attr("set_variable_count")(from_shapes);
        return;
    }
    materialize(c);
    nb::object merged = merged_mapping(c);
    nb::object values = (merged.is_none() ? mapping(c) : merged).attr("values")();
    nb::object largest = nb::module_::import_("builtins").attr("max")(values);
    c.cnf_stor_.attr("set_variable_count")(largest);
}

// ---------------------------------------------------------------------------------------------
// Public operations.

// Every argument is read, and every object made, before the container is constructed: a refused
// call constructs nothing, so it keeps neither C++ members nor references to its arguments.
void init_container(FormulaContainer *self, nb::object target_variables,
                    nb::object shift_target_variable) {
    int64_t shift = index_int64(shift_target_variable);
    nb::list mappings;
    std::vector<FormulaContainer::LazyFamily> lazy;
    for (nb::handle family : target_variables.attr("values")()) {
        const FamilyView view = family_view(family);
        if (!view.shape_) {
            mappings.append(family.attr("map"));
            continue;
        }
        const instantiate::FamilyShape &vf = *view.shape_;
        FormulaContainer::LazyFamily f;
        f.slot_ = PyList_GET_SIZE(mappings.ptr());
        f.family_ = nb::borrow(family);
        f.name_ = *view.name_text_;
        f.st_shift_ = vf.st_shift_;
        f.sizes_ = vf.sizes_;
        f.count_ = 1;
        for (int64_t s : vf.sizes_) {
            if (s <= 0) {
                f.count_ = 0;
                break;
            }
            f.count_ *= s;  // the family checked that its numbers fit in 64 bits
        }
        mappings.append(nb::none());
        lazy.push_back(std::move(f));
    }
    nb::object stor = g_module.get("se").attr("wcnf_storage")();
    new (self) FormulaContainer();
    FormulaContainer &c = *self;
    c.target_variables_ = std::move(target_variables);
    c.cur_init_shift_variable_ = shift;
    c.cnf_stor_ = std::move(stor);
    c.mappings_ = std::move(mappings);
    c.lazy_ = std::move(lazy);
    c.hard_weight_ = nb::int_(1);
}

// Queues a new hard or soft record and takes its clauses and its block of auxiliaries into the
// counts.
void enqueue(FormulaContainer &c, nb::list &queue, int64_t &pending, const NewRecord &r) {
    int64_t next_pending = checked_sum(pending, r.clause_count_);
    int64_t next_shift = checked_sum(c.cur_init_shift_variable_, r.block_size_);
    int64_t next_clauses = checked_sum(c.num_clauses_, r.clause_count_);
    queue.append(r.record_);
    pending = next_pending;
    c.cur_init_shift_variable_ = next_shift;
    c.num_clauses_ = next_clauses;
    c.num_formula_ += 1;
}

void add_hard_constraint(FormulaContainer &c, nb::handle template_constraint, nb::handle foralls,
                         nb::handle shift_pb_variable, nb::handle shift_bx_variable) {
    dump_hard(c);
    NewRecord r = inner_add(c, template_constraint, nb::none(), foralls, shift_pb_variable,
                            shift_bx_variable);
    enqueue(c, c.hard_queue_, c.cur_count_clauses_hard_, r);
}

void add_target_constraint(FormulaContainer &c, nb::handle template_constraint, nb::handle foralls,
                           nb::handle shift_pb_variable, nb::handle shift_bx_variable) {
    if (c.target_written_) raise_logged(g_build_error.get(), nb::str(kSecondTarget));
    nb::list records;
    NewRecord r = inner_add(c, template_constraint, nb::none(), foralls, shift_pb_variable,
                            shift_bx_variable);
    records.append(r.record_);
    nb::object maps = g_module.get("One2OneDumper").attr("dump")(records);
    c.mappings_.append(maps);
    cnf_stor_merge(c, records);
    c.target_num_clauses_ = r.clause_count_;
    c.target_written_ = true;
    // The target's auxiliaries are in the shared storage now: later blocks must not reuse them.
    c.cur_init_shift_variable_ = checked_sum(c.cur_init_shift_variable_, r.block_size_);
}

void add_soft_formula(FormulaContainer &c, nb::handle template_constraint, nb::handle weights,
                      nb::handle foralls, nb::handle shift_pb_variable,
                      nb::handle shift_bx_variable) {
    nb::object total = nb::module_::import_("builtins").attr("sum")(weights);
    dump_soft(c);
    NewRecord r =
        inner_add(c, template_constraint, weights, foralls, shift_pb_variable, shift_bx_variable);
    enqueue(c, c.soft_queue_, c.cur_count_clauses_soft_, r);
    // Every instance writes every weighted clause again, so it counts again towards the weight
    // that a hard clause must outweigh.
    c.hard_weight_ = c.hard_weight_ + total * nb::int_(r.instances_);
}

void build_cnf_formula(FormulaContainer &c, nb::handle name_formula) {
    if (c.target_built_) raise_logged(g_build_error.get(), nb::str(kSecondTarget));
    dump_hard(c);
    stamp_common(c, name_formula);
    c.cnf_stor_.attr("set_clause_count")(c.num_clauses_ + c.target_num_clauses_);
    if (c.target_written_) c.target_built_ = true;
}

void build_wcnf_formula(FormulaContainer &c, nb::handle name_formula) {
    dump_hard(c);
    dump_soft(c);
    stamp_common(c, name_formula);
    c.cnf_stor_.attr("set_clause_count")(c.num_clauses_);
    c.cnf_stor_.attr("set_weight_limit")(c.hard_weight_);
}

// The bound cannot be taken out of the storage the engine manager already holds; resetting closes
// the container for further targets instead.
void reset_target(FormulaContainer &c) {
    if (c.target_written_) c.target_built_ = true;
}

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    zk::init_module();
    g_module.bind(m);

    m.attr("se") = nb::module_::import_("nubrix.sorn_engine");
    m.attr("bx") = nb::module_::import_("nubrix.sorn_engine.bxpr");
    m.attr("reduce") = nb::module_::import_("functools").attr("reduce");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    nb::module_ dumper = nb::module_::import_("zk_encoder.core.dumper");
    for (const char *name : {"DumpArgs", "One2OneDumper", "reduce_ex"})
        m.attr(name) = dumper.attr(name);
    g_compile_template = dumper.attr("_compile_template").inc_ref().ptr();
    g_stock_reduce_ex = dumper.attr("reduce_ex").inc_ref().ptr();

    nb::class_<FormulaContainer>(m, "FormulaContainer")
        .def("__init__", &init_container, nb::arg("target_variables"),
             nb::arg("shift_target_variable"))
        .def_prop_ro("mapping", [](FormulaContainer &c) { return mapping(c); })
        .def_prop_ro("num_clauses", [](const FormulaContainer &c) { return c.num_clauses_; })
        .def("cnf_storage", [](const FormulaContainer &c) { return c.cnf_stor_; })
        .def("add_hard_constraint", &add_hard_constraint, nb::arg("template_constraint"),
             nb::arg("foralls"), nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"))
        .def("add_target_constraint", &add_target_constraint, nb::arg("template_constraint"),
             nb::arg("foralls"), nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"))
        .def("add_soft_formula", &add_soft_formula, nb::arg("template_constraint"),
             nb::arg("weights"), nb::arg("foralls"), nb::arg("shift_pb_variable"),
             nb::arg("shift_bx_variable"))
        .def("_FormulaContainer__dump_hard_constraints", &dump_hard)
        .def("_FormulaContainer__dump_soft_constraints", &dump_soft)
        .def(
            "_FormulaContainer__inner_add_constraint",
            [](FormulaContainer &c, nb::handle t, nb::handle w, nb::handle f, nb::handle pb,
               nb::handle bx) {
                NewRecord r = inner_add(c, t, w, f, pb, bx);
                return nb::make_tuple(r.record_, r.block_size_, r.clause_count_);
            },
            nb::arg("template_constraint"), nb::arg("weights").none(), nb::arg("foralls"),
            nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"))
        .def_static("_FormulaContainer__bx2list_clauses", &bx2list_clauses, nb::arg("bx_clauses"))
        .def("_FormulaContainer__create_cnf_storage",
             [](const FormulaContainer &) { return g_module.get("se").attr("wcnf_storage")(); })
        .def("_FormulaContainer__cnf_stor_merge", &cnf_stor_merge, nb::arg("list_dump_args"))
        .def("build_cnf_formula", &build_cnf_formula, nb::arg("name_formula"))
        .def("build_wcnf_formula", &build_wcnf_formula, nb::arg("name_formula"))
        .def("reset_target", &reset_target)
        .def_prop_rw(
            "hard_weight", [](const FormulaContainer &c) { return c.hard_weight_; },
            [](FormulaContainer &c, nb::object w) { c.hard_weight_ = w; })
        .def_prop_ro("_target_variables",
                     [](const FormulaContainer &c) { return c.target_variables_; })
        .def_prop_ro("_cur_init_shift_variable",
                     [](const FormulaContainer &c) { return c.cur_init_shift_variable_; })
        .def_prop_ro("_num_formula", [](const FormulaContainer &c) { return c.num_formula_; })
        .def_prop_ro("_num_clauses", [](const FormulaContainer &c) { return c.num_clauses_; })
        .def_prop_ro("_target_num_clauses",
                     [](const FormulaContainer &c) { return c.target_num_clauses_; })
        .def_prop_ro("_cur_count_clauses_hard_constraints",
                     [](const FormulaContainer &c) { return c.cur_count_clauses_hard_; })
        .def_prop_ro("_cur_count_clauses_soft_constraints",
                     [](const FormulaContainer &c) { return c.cur_count_clauses_soft_; })
        .def_prop_ro("_list_hard_constraint_dump_args",
                     [](const FormulaContainer &c) { return c.hard_queue_; })
        .def_prop_ro("_list_soft_constraint_dump_args",
                     [](const FormulaContainer &c) { return c.soft_queue_; })
        .def_prop_ro("_cnf_stor", [](const FormulaContainer &c) { return c.cnf_stor_; })
        .def("_mapping_shapes", &mapping_shapes)
        .def_prop_ro("_mappings", [](FormulaContainer &c) {
            materialize(c);
            return c.mappings_;
        });
}

}  // namespace zk::core

ZK_MODULE(formula_container, m) { zk::core::bind_module(m); }
