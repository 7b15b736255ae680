// The template compiler of zk_encoder.core.dumper and its cache (template_compiler.hpp).
#include "zk_encoder/core/dumper/template_compiler.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/family_shapes.hpp"
#include "common/python_private.hpp"
#include "instantiate/planner.hpp"
#include "instantiate/template_text.hpp"
#include "texts/tokens.hpp"
#include "zk_encoder/core/dumper/clause_writer.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

namespace {

constexpr const char *kRangeName = "range";
constexpr const char *kBuiltinsName = "__builtins__";

// A compiled template with what it was compiled from: a record whose template, families or
// keywords have changed since is compiled again.
struct CompiledRecord {
    TemplateCode code_;
    nb::object template_obj_;
    std::vector<nb::object> texts_;  // every literal text, in template order
    nb::object eval_state_;
    std::vector<nb::object> family_objs_;
    std::vector<nb::object> family_names_;
};

// The sequence's items when it is a list or tuple (whose reading runs no host code).
bool plain_items(PyObject *seq, PyObject **&items, Py_ssize_t &n) {
    if (PyList_CheckExact(seq)) {
        items = PySequence_Fast_ITEMS(seq);
        n = PyList_GET_SIZE(seq);
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        items = PySequence_Fast_ITEMS(seq);
        n = PyTuple_GET_SIZE(seq);
        return true;
    }
    return false;
}

// The keywords of a for-all dictionary, when every one can stand in a for-clause as itself.
bool forall_names(PyObject *foralls, PyObject *eval_state, std::vector<std::string> &names) {
    if (!PyDict_CheckExact(foralls) || !PyDict_CheckExact(eval_state)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(foralls, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(key, &n);
        if (!p) {
            clear_only(PyExc_UnicodeEncodeError);
            return false;
        }
        std::string_view name(p, static_cast<size_t>(n));
        // A keyword that names a family hides it; one named "range" hides the builtin that
        // later for-clauses are written with.
        if (!texts::is_identifier(name) || name == kRangeName) return false;
        if (PyDict_GetItemWithError(eval_state, key)) return false;
        if (PyErr_Occurred()) {
            rethrow();
            return false;
        }
        names.emplace_back(name);
    }
    return true;
}

std::unique_ptr<CompiledRecord> compile_record(nb::handle tmpl, nb::handle eval_state,
                                               nb::handle foralls) {
    const FamilyShapes *shapes = family_shapes();
    if (!shapes) return nullptr;
    auto cr = std::make_unique<CompiledRecord>();
    TemplateCode &code = cr->code_;
    if (!forall_names(foralls.ptr(), eval_state.ptr(), code.slot_names_)) return nullptr;
    PyObject **clauses = nullptr;
    Py_ssize_t n_clauses = 0;
    if (!plain_items(tmpl.ptr(), clauses, n_clauses)) return nullptr;
    cr->template_obj_ = nb::borrow(tmpl);
    cr->eval_state_ = nb::borrow(eval_state);
    // Templates made from the engine's clause arrays share one text object per literal: each
    // such text is read once (an open-addressing table on the object's address).
    size_t total_lits = 0;
    for (Py_ssize_t c = 0; c < n_clauses; ++c) {
        PyObject **lits = nullptr;
        Py_ssize_t n_lits = 0;
        if (!plain_items(clauses[c], lits, n_lits)) return nullptr;
        total_lits += static_cast<size_t>(n_lits);
    }
    size_t table_size = 16;
    while (table_size < 2 * total_lits) table_size <<= 1;
    std::vector<std::pair<PyObject *, uint32_t>> seen(table_size, {nullptr, 0});
    auto seen_slot = [&](PyObject *o) -> std::pair<PyObject *, uint32_t> & {
        size_t h = (reinterpret_cast<uintptr_t>(o) >> 4) * 0x9E3779B97F4A7C15ull;
        for (size_t i = h & (table_size - 1);; i = (i + 1) & (table_size - 1))
            if (seen[i].first == o || seen[i].first == nullptr) return seen[i];
    };
    cr->texts_.reserve(total_lits);
    code.lits_.reserve(total_lits);
    for (Py_ssize_t c = 0; c < n_clauses; ++c) {
        PyObject **lits = nullptr;
        Py_ssize_t n_lits = 0;
        if (!plain_items(clauses[c], lits, n_lits)) return nullptr;
        for (Py_ssize_t l = 0; l < n_lits; ++l) {
            PyObject *text_obj = lits[l];
            cr->texts_.push_back(nb::borrow(text_obj));
            auto &known = seen_slot(text_obj);
            if (known.first) {
                code.lits_.push_back(code.lits_[known.second]);
                continue;
            }
            if (!PyUnicode_CheckExact(text_obj)) return nullptr;
            Py_ssize_t len = 0;
            const char *p = PyUnicode_AsUTF8AndSize(text_obj, &len);
            if (!p) {
                clear_only(PyExc_UnicodeEncodeError);
                return nullptr;
            }
            std::string_view text(p, static_cast<size_t>(len));
            LitCode lc;
            std::string_view family;
            if (!read_literal(text, code, lc, family)) return nullptr;
            if (lc.form_ == LitForm::kElement) {
                // Templates name few families: look among those seen before asking the dict.
                size_t f = 0;
                for (; f < cr->family_names_.size(); ++f) {
                    Py_ssize_t fn = 0;
                    const char *fp = PyUnicode_AsUTF8AndSize(cr->family_names_[f].ptr(), &fn);
                    if (std::string_view(fp, static_cast<size_t>(fn)) == family) break;
                }
                if (f == cr->family_names_.size()) {
                    nb::str name(family.data(), family.size());
                    PyObject *fam = PyDict_GetItemWithError(eval_state.ptr(), name.ptr());
                    if (!fam) {
                        if (PyErr_Occurred()) rethrow();
                        return nullptr;
                    }
                    const instantiate::FamilyShape *shape = shapes->view_of(fam).shape_;
                    if (!shape) return nullptr;
                    const instantiate::FamilyShape &vf = *shape;
                    constexpr int64_t kLimit = int64_t{1} << 62;
                    if (vf.st_shift_ > kLimit || vf.st_shift_ < -kLimit) return nullptr;
                    int64_t total = 1;
                    for (int64_t size : vf.sizes_)
                        if (size <= 0 || !detail::checked_mul(total, size, total) || total > kLimit)
                            return nullptr;
                    code.families_.push_back({vf.st_shift_, vf.sizes_, vf.strides_});
                    cr->family_names_.push_back(name);
                    cr->family_objs_.push_back(nb::borrow(fam));
                }
                if (code.families_[f].sizes_.size() != lc.index_count_) return nullptr;
                lc.family_ = static_cast<uint32_t>(f);
            }
            known = {text_obj, static_cast<uint32_t>(code.lits_.size())};
            code.lits_.push_back(lc);
        }
        code.clause_begin_.push_back(static_cast<uint32_t>(code.lits_.size()));
    }
    return cr;
}

// Whether `cr` was compiled from the record as it stands now.
bool still_matches(const CompiledRecord &cr, nb::handle tmpl, nb::handle eval_state,
                   nb::handle foralls) {
    if (!tmpl.is(cr.template_obj_) || !eval_state.is(cr.eval_state_)) return false;
    PyObject **clauses = nullptr;
    Py_ssize_t n_clauses = 0;
    if (!plain_items(tmpl.ptr(), clauses, n_clauses) ||
        static_cast<size_t>(n_clauses) != cr.code_.clause_count())
        return false;
    size_t t = 0;
    for (Py_ssize_t c = 0; c < n_clauses; ++c) {
        PyObject **lits = nullptr;
        Py_ssize_t n_lits = 0;
        if (!plain_items(clauses[c], lits, n_lits) ||
            static_cast<uint32_t>(n_lits) != cr.code_.clause_begin_[static_cast<size_t>(c) + 1] -
                                                 cr.code_.clause_begin_[static_cast<size_t>(c)])
            return false;
        for (Py_ssize_t l = 0; l < n_lits; ++l)
            if (lits[l] != cr.texts_[t++].ptr()) return false;
    }
    for (size_t f = 0; f < cr.family_names_.size(); ++f) {
        PyObject *fam = PyDict_GetItemWithError(eval_state.ptr(), cr.family_names_[f].ptr());
        if (fam != cr.family_objs_[f].ptr()) {
            if (PyErr_Occurred()) rethrow();
            return false;
        }
    }
    std::vector<std::string> names;
    return forall_names(foralls.ptr(), eval_state.ptr(), names) && names == cr.code_.slot_names_;
}

// Compiled templates of queued records, kept beside the records rather than on them (a record
// stays a plain data record that copies and pickles as before). An entry goes when its record
// does.
struct KeptCode {
    std::unique_ptr<CompiledRecord> code_;
    nb::object watch_;  // a weak reference to the record whose going removes the entry
};
std::unordered_map<PyObject *, KeptCode> *g_kept = nullptr;
std::unordered_map<PyObject *, PyObject *> *g_kept_by_watch = nullptr;  // weak reference -> record
PyObject *g_forget = nullptr;  // the weak references' callback, made once

void forget_code(nb::handle watch) {
    auto it = g_kept_by_watch->find(watch.ptr());
    if (it == g_kept_by_watch->end()) return;
    PyObject *key = it->second;
    g_kept_by_watch->erase(it);
    auto kept = g_kept->find(key);
    if (kept != g_kept->end() && kept->second.watch_.ptr() == watch.ptr()) g_kept->erase(kept);
}

CompiledRecord *attached_code(nb::handle record) {
    auto it = g_kept->find(record.ptr());
    if (it == g_kept->end() || PyWeakref_GetObject(it->second.watch_.ptr()) != record.ptr())
        return nullptr;
    return it->second.code_.get();
}

// False when the record cannot be watched (it takes no weak references).
bool attach_code(nb::handle record, std::unique_ptr<CompiledRecord> cr) {
    PyObject *key = record.ptr();
    PyObject *watch = PyWeakref_NewRef(key, g_forget);
    if (!watch) {
        clear_only(PyExc_TypeError);
        return false;
    }
    KeptCode &kept = (*g_kept)[key];
    if (kept.watch_.is_valid()) g_kept_by_watch->erase(kept.watch_.ptr());
    kept.code_ = std::move(cr);
    kept.watch_ = nb::steal(watch);
    (*g_kept_by_watch)[watch] = key;
    return true;
}

// The for-all values as integers, when each is a range or a list or tuple of integers (whose
// text forms evaluate back to the same values) and the namespace leaves `range` the builtin.
bool read_foralls(nb::handle foralls, nb::handle eval_state, ForallValues &fv) {
    PyObject *builtins = PyDict_GetItemString(eval_state.ptr(), kBuiltinsName);
    if (builtins && builtins != PyEval_GetBuiltins() && builtins != g_refs->builtins_.ptr())
        return false;
    if (PyDict_GetItemString(eval_state.ptr(), kRangeName)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    fv.instances_ = 1;
    while (PyDict_Next(foralls.ptr(), &pos, &key, &value)) {
        std::vector<int64_t> vals;
        PyObject **items = nullptr;
        Py_ssize_t n = 0;
        if (Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(g_refs->range_type_.ptr())) {
            int64_t start = 0, stop = 0, step = 0;
            nb::handle r(value);
            nb::object a = r.attr("start"), b = r.attr("stop"), c = r.attr("step");
            if (!exact_int64(a.ptr(), start) || !exact_int64(b.ptr(), stop) ||
                !exact_int64(c.ptr(), step))
                return false;
            Py_ssize_t len = PyObject_Length(value);
            if (len < 0) {
                clear_only(PyExc_OverflowError);
                return false;
            }
            vals.resize(static_cast<size_t>(len));
            for (Py_ssize_t i = 0; i < len; ++i) vals[static_cast<size_t>(i)] = start + i * step;
        } else if (plain_items(value, items, n)) {
            vals.resize(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!exact_int64(items[i], vals[static_cast<size_t>(i)])) return false;
        } else {
            return false;
        }
        if (!detail::checked_mul(fv.instances_, static_cast<int64_t>(vals.size()), fv.instances_))
            return false;
        fv.values_.push_back(std::move(vals));
    }
    return true;
}

// Reads the weights of the template's clauses as the numbering does: false where the numbering
// would refuse one or must ask the weight itself; an error of reading one is raised.
bool read_weights(nb::handle weights, size_t clause_count, std::vector<int32_t> &pos,
                  std::vector<nb::object> &values) {
    pos.assign(clause_count, -1);
    values.assign(clause_count, nb::object());
    for (size_t i = 0; i < clause_count; ++i) {
        PyObject *idx = PyLong_FromSize_t(i);
        PyObject *w = idx ? PyObject_GetItem(weights.ptr(), idx) : nullptr;
        Py_XDECREF(idx);
        if (!w) rethrow();
        nb::object wo = nb::steal(w);
        // A subclass of int may answer its comparison and truth value its own way: the
        // evaluated path asks it, so only a plain int is read here.
        if (!PyLong_CheckExact(w)) return false;
        int sign = py_private::long_sign(w);
        if (sign < 0) return false;
        if (sign > 0) pos[i] = static_cast<int32_t>(i);
        values[i] = wo;
    }
    return true;
}

bool exact_field(nb::handle record, const char *field, int64_t &out) {
    nb::object v = record.attr(field);
    return PyLong_CheckExact(v.ptr()) && exact_int64(v.ptr(), out);
}

}  // namespace

void init_template_cache() {
    g_kept = new std::unordered_map<PyObject *, KeptCode>();
    g_kept_by_watch = new std::unordered_map<PyObject *, PyObject *>();
    g_forget = nb::cpp_function(&forget_code, nb::arg("watch")).release().ptr();
}

bool compile_template(nb::handle record) {
    std::unique_ptr<CompiledRecord> cr = compile_record(
        record.attr(kFieldTemplate), record.attr(kFieldEvalState), record.attr(kFieldForalls));
    return cr && attach_code(record, std::move(cr));
}

bool prepare_compiled(nb::handle a, Prepared &out) {
    nb::object tmpl = a.attr(kFieldTemplate), eval_state = a.attr(kFieldEvalState),
               foralls = a.attr(kFieldForalls);
    CompiledRecord *cr = attached_code(a);
    std::unique_ptr<CompiledRecord> fresh;
    if (!cr || !still_matches(*cr, tmpl, eval_state, foralls)) {
        fresh = compile_record(tmpl, eval_state, foralls);
        if (!fresh) return false;
        cr = fresh.get();
    }
    ForallValues fv;
    if (!read_foralls(foralls, eval_state, fv)) return false;
    int64_t num_formula = 0;
    BlockLayout layout;
    if (!exact_field(a, kFieldNumFormula, num_formula) ||
        !exact_field(a, kFieldInitShift, layout.init_) ||
        !exact_field(a, kFieldShiftPb, layout.pb_) || !exact_field(a, kFieldShiftBx, layout.bx_))
        return false;
    nb::object weights = a.attr(kFieldWeights);
    std::vector<int32_t> positions;
    if (!weights.is_none() && fv.instances_ > 0 &&
        !read_weights(weights, cr->code_.clause_count(), positions, out.weight_values_))
        return false;
    // The evaluation would have bound the builtins in the namespace: the record ends the same.
    if (PyDict_SetDefault(eval_state.ptr(), nb::str(kBuiltinsName).ptr(), PyEval_GetBuiltins()) ==
        nullptr)
        throw nb::python_error();
    if (!instantiate_template(cr->code_, fv, layout, weights.is_none() ? nullptr : &positions,
                              out.clauses_)) {
        out.clauses_ = PreparedClauses();
        out.weight_values_.clear();
        return false;
    }
    fill_map(out.clauses_, num_formula, out.map_);
    return true;
}

}  // namespace dumper

}  // namespace zk::core
