// zk_encoder.core.dumper: instantiates queued clause templates over their for-all values, numbers
// the auxiliaries of every instance inside its block and writes the clauses to the record's
// storage.
//
// A record goes through three stages: instances, numbering into PreparedClauses (plain integers,
// dumper.hpp), writing. Instances come from a compiled form of the template where every literal
// text is one the library writes and every family a modelling-side Variable (no interpreter, no
// Python object per literal), else from the generated comprehension evaluated in the record's
// namespace. Writing hands whole blocks to a storage that takes flat arrays, else one call per
// clause. Numbering never touches a storage, and a write-out numbers every record before it
// writes any, so a bad literal leaves every storage as it was.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nanobind/ndarray.h>

#include "common/gc.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "zk_encoder/core/dumper.hpp"
#include "zk_encoder/encode/variables.hpp"

namespace zk::core {

namespace {

constexpr const char *kModule = "zk_encoder.core.dumper";
constexpr const char *kNotPbctOrBxpr = "Index is not pbct or bxpr: ";
constexpr const char *kIndefinitePbct = "Indefinite pbct index: ";
constexpr const char *kIndefiniteBxpr = "Indefinite bxpr index: ";
constexpr const char *kBadLiteral = "Clause literal is neither a variable number nor an "
                                    "auxiliary name: ";
constexpr const char *kLiteralRange = "Clause literal out of range: ";
constexpr const char *kBadWeight = "Soft clause weight must be a non-negative integer: ";
constexpr const char *kLiteralTextNotStr = "Clause template literal must be a text: ";

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

constexpr const char *kVariablesModule = "zk_encoder.encode.variables";
constexpr const char *kAddHardClauses = "add_hard_clauses";
constexpr const char *kAddSoftClauses = "add_soft_clauses";
constexpr const char *kRangeName = "range";
constexpr const char *kBuiltinsName = "__builtins__";

struct ModuleRefs {
    nb::object builtins;
    nb::object stock_dump_cnf;       // Dumper._dump_cnf as defined here
    nb::object stock_print_all;      // Dumper.__print_all_formula as defined here
    nb::object dumper_cls;
    nb::object variable_type;        // the modelling-side Variable, once its module is loaded
    nb::object range_type;
};
ModuleRefs *g_refs = nullptr;
ModuleGlobals g_module;

nb::str py_text(const std::string &s) { return nb::str(s.data(), s.size()); }

std::string repr_of(nb::handle obj) { return nb::cast<std::string>(nb::repr(obj)); }

// Logged through the module's own log_e; the package's FormulaError finishes loading after this
// module, so it is taken from the loaded package at the first refusal.
LoadedAttr g_formula_error{"zk_encoder._exceptions", "FormulaError"};

[[noreturn]] void raise_formula_error(const std::string &msg) {
    g_module.raise_logged(g_formula_error.get(), msg);
}

std::string_view utf8_view(PyObject *s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<size_t>(n)};
}

// ---------------------------------------------------------------------------------------------
// Stage 1: the comprehension text of a record, and its evaluation.

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
                raise_plain(PyExc_TypeError, kLiteralTextNotStr + repr_of(lit));
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
    nb::object fn = g_refs->builtins.attr("eval");
    nb::str source = py_text(text);
    GcPause pause;
    return fn(source, eval_state);
}

// ---------------------------------------------------------------------------------------------
// Stage 2: numbering an evaluated list of instances.

struct RecordNumbers {
    nb::object weights;  // None for a hard record
    int64_t num_formula = 0;
    BlockLayout layout;
};

// Reads the weights once: the same weights serve every instance. Position i of the result is -1
// for a clause to drop (weight 0), else i.
std::vector<int32_t> weight_positions(nb::handle weights, size_t clause_count,
                                      std::vector<nb::object> &values) {
    std::vector<int32_t> pos(clause_count, -1);
    values.assign(clause_count, nb::object());
    for (size_t i = 0; i < clause_count; ++i) {
        nb::object w = weights[nb::int_(i)];
        if (!PyLong_Check(w.ptr()) || PyObject_RichCompareBool(w.ptr(), nb::int_(0).ptr(), Py_LT) == 1)
            raise_formula_error(kBadWeight + repr_of(w));
        if (PyObject_IsTrue(w.ptr()) == 1) pos[i] = static_cast<int32_t>(i);
        values[i] = w;
    }
    return pos;
}

void append_decimal(std::string &out, int64_t v) {
    char buf[24];
    size_t n = 0;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
        buf[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u > 0);
    if (v < 0) out += '-';
    while (n > 0) out += buf[--n];
}

// Keys are written digit by digit: a record may number millions of auxiliaries.
void fill_map(const PreparedClauses &pc, int64_t num_formula, nb::dict &map) {
    if (pc.aux.size() > 8 && PyDict_GET_SIZE(map.ptr()) == 0)
        map = nb::steal<nb::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(pc.aux.size())));
    std::string key;
    for (const AuxEntry &e : pc.aux) {
        key.assign(e.kind == AuxKind::kPbct ? kPbctAux : kBxprAux);
        key += '[';
        append_decimal(key, num_formula);
        key += ',';
        append_decimal(key, e.instance);
        key += ',';
        append_decimal(key, e.k);
        key += ']';
        // The key is ASCII by construction: no decoding needed.
        PyObject *k = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
        if (k) std::memcpy(PyUnicode_1BYTE_DATA(k), key.data(), key.size());
        PyObject *v = k ? PyLong_FromLongLong(e.number) : nullptr;
        int rc = v ? PyDict_SetItem(map.ptr(), k, v) : -1;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (rc != 0) throw nb::python_error();
    }
}

struct Prepared {
    PreparedClauses clauses;
    std::vector<nb::object> weight_values;  // by template position
    nb::object storage;
    nb::dict map;
};

void number_instances(nb::handle temp_cnf, const RecordNumbers &rec, Prepared &out) {
    const BlockLayout &L = rec.layout;
    nb::object instances = nb::steal(PySequence_Fast(temp_cnf.ptr(), "instances must be a list"));
    if (!instances.is_valid()) throw nb::python_error();
    Py_ssize_t n_inst = PySequence_Fast_GET_SIZE(instances.ptr());
    std::vector<int32_t> positions;
    bool weights_read = false;
    // One map entry per auxiliary and instance is enough: later occurrences repeat the number.
    std::vector<char> seen(static_cast<size_t>(std::max<int64_t>(L.block_size(), 0)), 0);
    PreparedClauses &pc = out.clauses;

    for (Py_ssize_t o = 0; o < n_inst; ++o) {
        std::fill(seen.begin(), seen.end(), 0);
        PyObject *inst_obj = PySequence_Fast_GET_ITEM(instances.ptr(), o);
        nb::object inst = nb::steal(PySequence_Fast(inst_obj, "an instance must be a list"));
        if (!inst.is_valid()) throw nb::python_error();
        Py_ssize_t m = PySequence_Fast_GET_SIZE(inst.ptr());
        if (!rec.weights.is_none() && !weights_read) {
            positions = weight_positions(rec.weights, static_cast<size_t>(m), out.weight_values);
            weights_read = true;
        }
        for (Py_ssize_t c = 0; c < m; ++c) {
            int32_t wpos = -1;
            bool keep = true;
            if (!rec.weights.is_none()) {
                if (static_cast<size_t>(c) >= positions.size()) {
                    // Instances of one template have equal lengths; read more weights if not.
                    std::vector<nb::object> more;
                    positions = weight_positions(rec.weights, static_cast<size_t>(c) + 1, more);
                    out.weight_values = more;
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
                    AuxName a = parse_aux_name(text);
                    if (a.status == AuxName::Status::kNoPrefix)
                        raise_formula_error(kNotPbctOrBxpr + std::string(text));
                    if (a.status == AuxName::Status::kBadIndex) {
                        std::string tail(text.substr(text.rfind('_') + 1));
                        raise_plain(PyExc_ValueError,
                                    "invalid literal for int() with base 10: " +
                                        repr_of(py_text(tail)));
                    }
                    if (a.k < 0 || a.k >= L.capacity(a.kind)) {
                        raise_formula_error(
                            (a.kind == AuxKind::kPbct ? kIndefinitePbct : kIndefiniteBxpr) +
                            std::string(text) + " in instance " + std::to_string(o) +
                            " of formula " + std::to_string(rec.num_formula) + ", whose block has " +
                            std::to_string(L.capacity(a.kind)) + " of them");
                    }
                    int64_t number = L.number(o, a.kind, a.k);
                    if (number <= 0 || number > kMaxLiteral)
                        raise_formula_error(kLiteralRange + std::to_string(number));
                    value = a.negated ? -number : number;
                    size_t slot = static_cast<size_t>(a.kind == AuxKind::kPbct ? a.k : L.pb + a.k);
                    if (keep && !seen[slot]) {
                        seen[slot] = 1;
                        pc.aux.push_back({a.kind, o, a.k, number});
                    }
                } else if (PyLong_Check(lit)) {
                    int overflow = 0;
                    long long v = PyLong_AsLongLongAndOverflow(lit, &overflow);
                    if (overflow != 0 || v == 0 || v > kMaxLiteral || v < -kMaxLiteral)
                        raise_formula_error(kLiteralRange + repr_of(lit));
                    value = v;
                } else {
                    raise_formula_error(kBadLiteral + repr_of(lit));
                }
                if (keep) pc.lits.push_back(value);
            }
            if (keep) pc.close_clause(wpos);
        }
    }

    fill_map(pc, rec.num_formula, out.map);
}

// ---------------------------------------------------------------------------------------------
// Stage 1, compiled: a record's template read once into integer form, and its instantiation.

// A compiled template with what it was compiled from: a record whose template, families or
// keywords have changed since is compiled again.
struct CompiledRecord {
    TemplateCode code;
    nb::object template_obj;
    std::vector<nb::object> texts;  // every literal text, in template order
    nb::object eval_state;
    std::vector<nb::object> family_objs;
    std::vector<nb::object> family_names;
};

bool is_python_keyword(std::string_view w) {
    static constexpr std::string_view kKeywords[] = {
        "False", "None",   "True",    "and",      "as",       "assert", "async",
        "await", "break",  "class",   "continue", "def",      "del",    "elif",
        "else",  "except", "finally", "for",      "from",     "global", "if",
        "import", "in",    "is",      "lambda",   "nonlocal", "not",    "or",
        "pass",  "raise",  "return",  "try",      "while",    "with",   "yield"};
    for (std::string_view k : kKeywords)
        if (w == k) return true;
    return false;
}

bool is_plain_name(std::string_view w) {
    if (w.empty() || !detail::is_ident_start(w[0])) return false;
    for (char c : w)
        if (!detail::is_ident_char(c)) return false;
    return !is_python_keyword(w);
}

const nb::object &variable_type() {
    if (!g_refs->variable_type.is_valid()) {
        PyObject *mod = PyImport_GetModule(nb::str(kVariablesModule).ptr());
        if (!mod) {
            PyErr_Clear();
            static const nb::object kNone = nb::none();
            return kNone;
        }
        nb::object m = nb::steal(mod);
        g_refs->variable_type = m.attr("Variable");
    }
    return g_refs->variable_type;
}

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

bool exact_int64(PyObject *o, int64_t &out) {
    if (!PyLong_CheckExact(o) && !PyBool_Check(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
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
            PyErr_Clear();
            return false;
        }
        std::string_view name(p, static_cast<size_t>(n));
        // A keyword that names a family hides it; one named "range" hides the builtin that
        // later for-clauses are written with.
        if (!is_plain_name(name) || name == kRangeName) return false;
        if (PyDict_GetItemWithError(eval_state, key)) return false;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        names.emplace_back(name);
    }
    return true;
}

std::unique_ptr<CompiledRecord> compile_record(nb::handle tmpl, nb::handle eval_state,
                                               nb::handle foralls) {
    const nb::object &var_type = variable_type();
    if (var_type.is_none()) return nullptr;
    auto cr = std::make_unique<CompiledRecord>();
    TemplateCode &code = cr->code;
    if (!forall_names(foralls.ptr(), eval_state.ptr(), code.slot_names)) return nullptr;
    PyObject **clauses = nullptr;
    Py_ssize_t n_clauses = 0;
    if (!plain_items(tmpl.ptr(), clauses, n_clauses)) return nullptr;
    cr->template_obj = nb::borrow(tmpl);
    cr->eval_state = nb::borrow(eval_state);
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
    cr->texts.reserve(total_lits);
    code.lits.reserve(total_lits);
    for (Py_ssize_t c = 0; c < n_clauses; ++c) {
        PyObject **lits = nullptr;
        Py_ssize_t n_lits = 0;
        if (!plain_items(clauses[c], lits, n_lits)) return nullptr;
        for (Py_ssize_t l = 0; l < n_lits; ++l) {
            PyObject *text_obj = lits[l];
            cr->texts.push_back(nb::borrow(text_obj));
            auto &known = seen_slot(text_obj);
            if (known.first) {
                code.lits.push_back(code.lits[known.second]);
                continue;
            }
            if (!PyUnicode_CheckExact(text_obj)) return nullptr;
            Py_ssize_t len = 0;
            const char *p = PyUnicode_AsUTF8AndSize(text_obj, &len);
            if (!p) {
                PyErr_Clear();
                return nullptr;
            }
            std::string_view text(p, static_cast<size_t>(len));
            LitCode lc;
            std::string_view quoted;
            if (quoted_content(text, quoted)) {
                AuxName a = parse_aux_name(quoted);
                if (a.status != AuxName::Status::kOk) return nullptr;
                lc.form = LitForm::kAux;
                lc.aux_kind = a.kind;
                lc.aux_k = a.k;
                lc.negated = a.negated;
            } else {
                ReadLiteral r = read_plain_literal(text, code, lc.first_index, lc.index_count);
                if (!r.ok) return nullptr;
                lc.negated = r.negated;
                if (r.is_element) {
                    if (is_python_keyword(r.family)) return nullptr;
                    lc.form = LitForm::kElement;
                    // Templates name few families: look among those seen before asking the dict.
                    size_t f = 0;
                    for (; f < cr->family_names.size(); ++f) {
                        Py_ssize_t fn = 0;
                        const char *fp = PyUnicode_AsUTF8AndSize(cr->family_names[f].ptr(), &fn);
                        if (std::string_view(fp, static_cast<size_t>(fn)) == r.family) break;
                    }
                    if (f == cr->family_names.size()) {
                        nb::str name(r.family.data(), r.family.size());
                        PyObject *fam = PyDict_GetItemWithError(eval_state.ptr(), name.ptr());
                        if (!fam) {
                            PyErr_Clear();
                            return nullptr;
                        }
                        if (Py_TYPE(fam) != reinterpret_cast<PyTypeObject *>(var_type.ptr()) ||
                            !nb::inst_ready(fam))
                            return nullptr;
                        const auto &vf = *nb::inst_ptr<zk::encode::VariableFamily>(fam);
                        constexpr int64_t kLimit = int64_t{1} << 62;
                        if (vf.st_shift_ > kLimit || vf.st_shift_ < -kLimit) return nullptr;
                        int64_t total = 1;
                        for (int64_t size : vf.sizes_)
                            if (size <= 0 || !detail::checked_mul(total, size, total) ||
                                total > kLimit)
                                return nullptr;
                        code.families.push_back({vf.st_shift_, vf.sizes_, vf.strides_});
                        cr->family_names.push_back(name);
                        cr->family_objs.push_back(nb::borrow(fam));
                    }
                    if (code.families[f].sizes.size() != lc.index_count) return nullptr;
                    lc.family = static_cast<uint32_t>(f);
                } else {
                    lc.form = LitForm::kValue;
                }
            }
            known = {text_obj, static_cast<uint32_t>(code.lits.size())};
            code.lits.push_back(lc);
        }
        code.clause_begin.push_back(static_cast<uint32_t>(code.lits.size()));
    }
    return cr;
}

// Whether `cr` was compiled from the record as it stands now.
bool still_matches(const CompiledRecord &cr, nb::handle tmpl, nb::handle eval_state,
                   nb::handle foralls) {
    if (!tmpl.is(cr.template_obj) || !eval_state.is(cr.eval_state)) return false;
    PyObject **clauses = nullptr;
    Py_ssize_t n_clauses = 0;
    if (!plain_items(tmpl.ptr(), clauses, n_clauses) ||
        static_cast<size_t>(n_clauses) != cr.code.clause_count())
        return false;
    size_t t = 0;
    for (Py_ssize_t c = 0; c < n_clauses; ++c) {
        PyObject **lits = nullptr;
        Py_ssize_t n_lits = 0;
        if (!plain_items(clauses[c], lits, n_lits) ||
            static_cast<uint32_t>(n_lits) !=
                cr.code.clause_begin[static_cast<size_t>(c) + 1] - cr.code.clause_begin[static_cast<size_t>(c)])
            return false;
        for (Py_ssize_t l = 0; l < n_lits; ++l)
            if (lits[l] != cr.texts[t++].ptr()) return false;
    }
    for (size_t f = 0; f < cr.family_names.size(); ++f) {
        PyObject *fam = PyDict_GetItemWithError(eval_state.ptr(), cr.family_names[f].ptr());
        if (fam != cr.family_objs[f].ptr()) {
            PyErr_Clear();
            return false;
        }
    }
    std::vector<std::string> names;
    return forall_names(foralls.ptr(), eval_state.ptr(), names) && names == cr.code.slot_names;
}

// Compiled templates of queued records, kept beside the records rather than on them (a record
// stays a plain data record that copies and pickles as before). An entry goes when its record
// does.
struct KeptCode {
    std::unique_ptr<CompiledRecord> code;
    nb::object watch;  // a weak reference to the record whose going removes the entry
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
    if (kept != g_kept->end() && kept->second.watch.ptr() == watch.ptr()) g_kept->erase(kept);
}

CompiledRecord *attached_code(nb::handle record) {
    auto it = g_kept->find(record.ptr());
    if (it == g_kept->end() || PyWeakref_GetObject(it->second.watch.ptr()) != record.ptr())
        return nullptr;
    return it->second.code.get();
}

// False when the record cannot be watched (it takes no weak references).
bool attach_code(nb::handle record, std::unique_ptr<CompiledRecord> cr) {
    PyObject *key = record.ptr();
    PyObject *watch = PyWeakref_NewRef(key, g_forget);
    if (!watch) {
        PyErr_Clear();
        return false;
    }
    KeptCode &kept = (*g_kept)[key];
    if (kept.watch.is_valid()) g_kept_by_watch->erase(kept.watch.ptr());
    kept.code = std::move(cr);
    kept.watch = nb::steal(watch);
    (*g_kept_by_watch)[watch] = key;
    return true;
}

bool compile_template(nb::handle record) {
    std::unique_ptr<CompiledRecord> cr = compile_record(
        record.attr(kFieldTemplate), record.attr(kFieldEvalState), record.attr(kFieldForalls));
    return cr && attach_code(record, std::move(cr));
}

// The for-all values as integers, when each is a range or a list or tuple of integers (whose
// text forms evaluate back to the same values) and the namespace leaves `range` the builtin.
bool read_foralls(nb::handle foralls, nb::handle eval_state, ForallValues &fv) {
    PyObject *builtins = PyDict_GetItemString(eval_state.ptr(), kBuiltinsName);
    if (builtins && builtins != PyEval_GetBuiltins() && builtins != g_refs->builtins.ptr())
        return false;
    if (PyDict_GetItemString(eval_state.ptr(), kRangeName)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    fv.instances = 1;
    while (PyDict_Next(foralls.ptr(), &pos, &key, &value)) {
        std::vector<int64_t> vals;
        PyObject **items = nullptr;
        Py_ssize_t n = 0;
        if (Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(g_refs->range_type.ptr())) {
            int64_t start = 0, stop = 0, step = 0;
            nb::handle r(value);
            nb::object a = r.attr("start"), b = r.attr("stop"), c = r.attr("step");
            if (!exact_int64(a.ptr(), start) || !exact_int64(b.ptr(), stop) ||
                !exact_int64(c.ptr(), step))
                return false;
            Py_ssize_t len = PyObject_Length(value);
            if (len < 0) {
                PyErr_Clear();
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
        if (!detail::checked_mul(fv.instances, static_cast<int64_t>(vals.size()), fv.instances))
            return false;
        fv.values.push_back(std::move(vals));
    }
    return true;
}

// Reads the weights of the template's clauses as the numbering does, without raising: false
// where the numbering would refuse one.
bool read_weights(nb::handle weights, size_t clause_count, std::vector<int32_t> &pos,
                  std::vector<nb::object> &values) {
    pos.assign(clause_count, -1);
    values.assign(clause_count, nb::object());
    for (size_t i = 0; i < clause_count; ++i) {
        PyObject *idx = PyLong_FromSize_t(i);
        PyObject *w = idx ? PyObject_GetItem(weights.ptr(), idx) : nullptr;
        Py_XDECREF(idx);
        if (!w) {
            PyErr_Clear();
            return false;
        }
        nb::object wo = nb::steal(w);
        if (!PyLong_Check(w)) return false;
        int sign = _PyLong_Sign(w);
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

// Instantiates a record natively; false (with `out` as it was) when the record must be evaluated.
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
        !exact_field(a, kFieldInitShift, layout.init) ||
        !exact_field(a, kFieldShiftPb, layout.pb) || !exact_field(a, kFieldShiftBx, layout.bx))
        return false;
    nb::object weights = a.attr(kFieldWeights);
    std::vector<int32_t> positions;
    if (!weights.is_none() && fv.instances > 0 &&
        !read_weights(weights, cr->code.clause_count(), positions, out.weight_values))
        return false;
    // The evaluation would have bound the builtins in the namespace: the record ends the same.
    if (PyDict_SetDefault(eval_state.ptr(), nb::str(kBuiltinsName).ptr(), PyEval_GetBuiltins()) ==
        nullptr)
        throw nb::python_error();
    if (!instantiate(cr->code, fv, layout, weights.is_none() ? nullptr : &positions,
                     out.clauses)) {
        out.clauses = PreparedClauses();
        out.weight_values.clear();
        return false;
    }
    fill_map(out.clauses, num_formula, out.map);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Stage 3: writing prepared clauses: whole blocks through a bulk insertion where the storage
// offers one, else one storage call per clause.

nb::object int64_array(const int64_t *data, size_t n) {
    nb::ndarray<nb::numpy, const int64_t, nb::ndim<1>> arr(data, {n}, nb::handle());
    return nb::cast(arr, nb::rv_policy::reference);
}

nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *v = PyObject_GetAttrString(obj.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

// True when the clauses went in as one block, the record's own arrays viewed as they stand.
bool write_block(const Prepared &p) {
    const PreparedClauses &pc = p.clauses;
    const bool soft = pc.soft();
    std::vector<int64_t> weights;
    if (soft) {
        std::vector<int64_t> by_position(p.weight_values.size(), 0);
        for (size_t i = 0; i < p.weight_values.size(); ++i)
            if (p.weight_values[i].is_valid() && !exact_int64(p.weight_values[i].ptr(), by_position[i]))
                return false;
        weights.resize(pc.size());
        for (size_t c = 0; c < pc.size(); ++c)
            weights[c] = by_position[static_cast<size_t>(pc.weight_pos[c])];
    }
    nb::object bulk = optional_attr(p.storage, soft ? kAddSoftClauses : kAddHardClauses);
    if (!bulk.is_valid()) return false;
    nb::object offsets = int64_array(pc.begin.data(), pc.begin.size());
    nb::object lits = int64_array(pc.lits.data(), pc.lits.size());
    if (soft)
        bulk(offsets, lits, int64_array(weights.data(), weights.size()));
    else
        bulk(offsets, lits);
    return true;
}

void write_clauses(const Prepared &p) {
    const PreparedClauses &pc = p.clauses;
    if (pc.size() == 0) return;
    if (write_block(p)) return;
    nb::object add_hard = p.storage.attr("add_hard_clause");
    nb::object add_soft;
    for (size_t c = 0; c < pc.size(); ++c) {
        size_t b = static_cast<size_t>(pc.begin[c]), e = static_cast<size_t>(pc.begin[c + 1]);
        nb::list lits = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(e - b)));
        for (size_t i = b; i < e; ++i)
            PyList_SET_ITEM(lits.ptr(), static_cast<Py_ssize_t>(i - b),
                            PyLong_FromLongLong(pc.lits[i]));
        int32_t wpos = pc.soft() ? pc.weight_pos[c] : -1;
        if (wpos < 0) {
            add_hard(lits);
        } else {
            if (!add_soft.is_valid()) add_soft = p.storage.attr("add_soft_clause");
            add_soft(lits, p.weight_values[static_cast<size_t>(wpos)]);
        }
    }
}

RecordNumbers numbers_of(nb::handle weights, nb::handle num_formula, nb::handle init,
                         nb::handle pb, nb::handle bx) {
    RecordNumbers r;
    r.weights = nb::borrow(weights);
    r.num_formula = nb::cast<int64_t>(num_formula);
    r.layout.init = nb::cast<int64_t>(init);
    r.layout.pb = nb::cast<int64_t>(pb);
    r.layout.bx = nb::cast<int64_t>(bx);
    return r;
}

// Instantiates and numbers one record; nothing is written. False when the record has no storage.
bool prepare_record(nb::handle a, Prepared &out) {
    out.storage = a.attr(kFieldCnfStor);
    if (out.storage.is_none()) return false;
    if (prepare_compiled(a, out)) return true;
    std::string text = comprehension_text(a.attr(kFieldTemplate), a.attr(kFieldForalls));
    nb::object temp_cnf = evaluate(text, a.attr(kFieldEvalState));
    RecordNumbers rec = numbers_of(a.attr(kFieldWeights), a.attr(kFieldNumFormula),
                                   a.attr(kFieldInitShift), a.attr(kFieldShiftPb),
                                   a.attr(kFieldShiftBx));
    number_instances(temp_cnf, rec, out);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The module's operations.

nb::dict reduce_ex(nb::handle mappings) {
    nb::dict out;
    for (nb::handle m : mappings)
        if (PyDict_Update(out.ptr(), m.ptr()) != 0) throw nb::python_error();
    return out;
}

// The numbering hook is the stock one: records may skip the evaluation.
bool stock_numbering(nb::handle cls) {
    return cls.attr("_Dumper__print_all_formula").is(g_refs->stock_print_all);
}

nb::object dump_cnf(nb::handle a) {
    nb::object storage = a.attr(kFieldCnfStor);
    if (storage.is_none()) return nb::dict();
    if (stock_numbering(g_refs->dumper_cls)) {
        Prepared p;
        prepare_record(a, p);
        write_clauses(p);
        return std::move(p.map);
    }
    std::string text = comprehension_text(a.attr(kFieldTemplate), a.attr(kFieldForalls));
    nb::object temp_cnf = evaluate(text, a.attr(kFieldEvalState));
    nb::dict mapping;
    g_refs->dumper_cls.attr("_Dumper__print_all_formula")(
        temp_cnf, a.attr(kFieldWeights), a.attr(kFieldNumFormula), a.attr(kFieldInitShift),
        a.attr(kFieldShiftPb), a.attr(kFieldShiftBx), a.attr(kFieldOffset), mapping, storage);
    return mapping;
}

void print_all_formula(nb::handle temp_cnf, nb::handle weights, nb::handle num_formula,
                       nb::handle init_shift_variable, nb::handle shift_pb_variable,
                       nb::handle shift_bx_variable, nb::handle /*offset_shift_formulas*/,
                       nb::handle mapping, nb::handle cnf_stor) {
    Prepared p;
    p.storage = nb::borrow(cnf_stor);
    RecordNumbers rec = numbers_of(weights, num_formula, init_shift_variable, shift_pb_variable,
                                   shift_bx_variable);
    number_instances(temp_cnf, rec, p);
    write_clauses(p);
    if (PyDict_Update(mapping.ptr(), p.map.ptr()) != 0) throw nb::python_error();
}

nb::object one2one_dump(nb::handle cls, nb::handle list_dump_args) {
    nb::object dump_cnf_fn = cls.attr("_dump_cnf");
    if (!dump_cnf_fn.is(g_refs->stock_dump_cnf) || !stock_numbering(cls)) {
        nb::list maps;
        for (nb::handle a : list_dump_args) maps.append(dump_cnf_fn(a));
        return reduce_ex(maps);
    }
    // Number every record first, then write: a failure leaves all storages untouched.
    std::vector<Prepared> prepared;
    for (nb::handle a : list_dump_args) {
        Prepared p;
        if (prepare_record(a, p)) prepared.push_back(std::move(p));
    }
    // The first map is a new dictionary of our own: merging starts from it rather than copying
    // every auxiliary of a large record once more.
    nb::object merged;
    for (Prepared &p : prepared) {
        write_clauses(p);
        if (!merged.is_valid()) {
            merged = std::move(p.map);
        } else if (PyDict_Update(merged.ptr(), p.map.ptr()) != 0) {
            throw nb::python_error();
        }
    }
    return merged.is_valid() ? merged : nb::dict();
}

// What instantiation is measured against (bench only): the clause template of fixed numbers
// copied `instances` times with shifted numbers into flat arrays; returns the literal count.
int64_t copy_floor(std::vector<int32_t> literals, std::vector<int64_t> offsets, int64_t instances,
                   int64_t shift) {
    LiteralArray out_lits, out_offsets;
    copy_shifted(literals, offsets, instances, shift, out_lits, out_offsets);
    return static_cast<int64_t>(out_lits.size());
}

nb::object make_dump_args(nb::handle se) {
    nb::module_ typing = nb::module_::import_("typing");
    nb::object Sequence = typing.attr("Sequence"), Optional = typing.attr("Optional"),
               Dict = typing.attr("Dict"), Any = typing.attr("Any");
    nb::object str_t = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object int_t = nb::borrow(reinterpret_cast<PyObject *>(&PyLong_Type));
    nb::object seq_int = Sequence[int_t];
    nb::list fields;
    fields.append(nb::make_tuple(kFieldTemplate, Sequence[Sequence[str_t]]));
    fields.append(nb::make_tuple(kFieldWeights, Optional[seq_int]));
    fields.append(nb::make_tuple(kFieldForalls, Dict[nb::make_tuple(str_t, seq_int)]));
    fields.append(nb::make_tuple(kFieldNumFormula, int_t));
    fields.append(nb::make_tuple(kFieldInitShift, int_t));
    fields.append(nb::make_tuple(kFieldShiftPb, int_t));
    fields.append(nb::make_tuple(kFieldShiftBx, int_t));
    fields.append(nb::make_tuple(kFieldOffset, int_t));
    fields.append(nb::make_tuple(kFieldEvalState, Dict[nb::make_tuple(str_t, Any)]));
    fields.append(nb::make_tuple(kFieldCnfStor, se.attr("wcnf_storage")));
    return make_dataclass(kModule, "DumpArgs", fields);
}

nb::dict class_namespace(const char *qualname) {
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = qualname;
    return ns;
}

}  // namespace

}  // namespace zk::core

NB_MODULE(dumper, m) {
    using namespace zk::core;
    zk::init_module();
    g_module.bind(m);
    zk::import_logger(m);  // also binds se

    nb::module_ abc = nb::module_::import_("abc");
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object str_t = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));

    g_kept = new std::unordered_map<PyObject *, KeptCode>();
    g_kept_by_watch = new std::unordered_map<PyObject *, PyObject *>();
    g_forget = nb::cpp_function(&forget_code, nb::arg("watch")).release().ptr();
    g_refs = new ModuleRefs{nb::module_::import_("builtins"), nb::object(), nb::object(),
                            nb::object(), nb::object(),
                            nb::module_::import_("builtins").attr("range")};

    m.def("reduce_ex", &reduce_ex, nb::arg("mappings"));
    // For the formula container: compile a record's template when it is queued.
    m.def("_compile_template", &compile_template, nb::arg("record"));
    m.def("_copy_floor", &copy_floor, nb::arg("literals"), nb::arg("offsets"),
          nb::arg("instances"), nb::arg("shift"));
    m.attr("DumpArgs") = make_dump_args(m.attr("se"));

    // Dumper: abstract, stateless; its operations live on the class.
    nb::dict ns = class_namespace("Dumper");
    nb::dict annotations;
    annotations["_Dumper__BXPR_AUX"] = str_t;
    annotations["_Dumper__PBCT_AUX"] = str_t;
    ns["__annotations__"] = annotations;
    ns["_Dumper__BXPR_AUX"] = py_text(std::string(kBxprAux));
    ns["_Dumper__PBCT_AUX"] = py_text(std::string(kPbctAux));
    nb::object abstract_dump = nb::cpp_function(
        [](nb::handle, nb::handle) { return nb::none(); }, nb::name("dump"), nb::arg("cls"),
        nb::arg("dump_args"));
    ns["dump"] = classmethod(abc.attr("abstractmethod")(partial(abstract_dump)));
    nb::object dump_cnf_fn = nb::cpp_function(&dump_cnf, nb::name("_dump_cnf"), nb::arg("a"));
    ns["_dump_cnf"] = staticmethod(dump_cnf_fn);
    nb::object print_all_fn = nb::cpp_function(
        &print_all_formula, nb::name("__print_all_formula"), nb::arg("temp_cnf"),
        nb::arg("weights").none(), nb::arg("num_formula"), nb::arg("init_shift_variable"),
        nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"),
        nb::arg("offset_shift_formulas"), nb::arg("mapping"), nb::arg("cnf_stor"));
    ns["_Dumper__print_all_formula"] = staticmethod(print_all_fn);
    g_refs->stock_print_all = print_all_fn;
    nb::object abc_meta = abc.attr("ABCMeta");
    nb::object dumper_cls = abc_meta("Dumper", nb::make_tuple(abc.attr("ABC")), ns);
    m.attr("Dumper") = dumper_cls;
    g_refs->stock_dump_cnf = dump_cnf_fn;
    g_refs->dumper_cls = dumper_cls;

    nb::dict ns2 = class_namespace("One2OneDumper");
    ns2["dump"] = classmethod(nb::cpp_function(&one2one_dump, nb::name("dump"), nb::arg("cls"),
                                               nb::arg("list_dump_args")));
    m.attr("One2OneDumper") = abc_meta("One2OneDumper", nb::make_tuple(dumper_cls), ns2);
}
