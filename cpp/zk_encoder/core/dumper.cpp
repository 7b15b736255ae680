// zk_encoder.core.dumper: instantiates queued clause templates over their for-all values, numbers
// the auxiliaries of every instance inside its block and writes the clauses to the record's
// storage.
//
// A record goes through three stages: instances (today: one generated comprehension evaluated in
// the record's namespace), numbering into PreparedClauses (plain integers, dumper.hpp), writing
// (one storage call per clause). Numbering never touches a storage, and a write-out numbers every
// record before it writes any, so a bad literal leaves every storage as it was.
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "zk_encoder/core/dumper.hpp"

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

struct ModuleRefs {
    nb::object builtins;
    nb::object stock_dump_cnf;  // Dumper._dump_cnf as defined here
    nb::object dumper_cls;
};
ModuleRefs *g_refs = nullptr;

nb::str py_text(const std::string &s) { return nb::str(s.data(), s.size()); }

std::string repr_of(nb::handle obj) { return nb::cast<std::string>(nb::repr(obj)); }

[[noreturn]] void raise_formula_error(const std::string &msg) {
    raise_logged(kModule, exception_class("FormulaError"), msg);
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
    struct GcPause {
        int was_enabled = PyGC_Disable();
        ~GcPause() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;
    return fn(source, eval_state);
}

// ---------------------------------------------------------------------------------------------
// Stage 2: numbering an evaluated list of instances.

struct RecordNumbers {
    nb::object weights;  // None for a hard record
    int64_t num_formula = 0;
    BlockLayout layout;
};

std::string aux_key(std::string_view prefix, int64_t f, int64_t o, int64_t k) {
    std::string key(prefix);
    key += "[" + std::to_string(f) + "," + std::to_string(o) + "," + std::to_string(k) + "]";
    return key;
}

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
                if (keep) pc.lits.push_back(static_cast<int32_t>(value));
            }
            if (keep) pc.close_clause(wpos);
        }
    }

    for (const AuxEntry &e : pc.aux) {
        std::string key =
            aux_key(e.kind == AuxKind::kPbct ? kPbctAux : kBxprAux, rec.num_formula, e.instance, e.k);
        nb::object num = nb::int_(e.number);
        if (PyDict_SetItem(out.map.ptr(), py_text(key).ptr(), num.ptr()) != 0)
            throw nb::python_error();
    }
}

// ---------------------------------------------------------------------------------------------
// Stage 3: writing prepared clauses, one storage call per clause.

void write_clauses(const Prepared &p) {
    const PreparedClauses &pc = p.clauses;
    if (pc.size() == 0) return;
    nb::object add_hard = p.storage.attr("add_hard_clause");
    nb::object add_soft;
    for (size_t c = 0; c < pc.size(); ++c) {
        size_t b = pc.begin[c], e = pc.begin[c + 1];
        nb::list lits = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(e - b)));
        for (size_t i = b; i < e; ++i)
            PyList_SET_ITEM(lits.ptr(), static_cast<Py_ssize_t>(i - b), PyLong_FromLong(pc.lits[i]));
        int32_t wpos = pc.weight_pos[c];
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

// Evaluates and numbers one record; nothing is written. False when the record has no storage.
bool prepare_record(nb::handle a, Prepared &out) {
    out.storage = a.attr(kFieldCnfStor);
    if (out.storage.is_none()) return false;
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

nb::object dump_cnf(nb::handle a) {
    nb::object storage = a.attr(kFieldCnfStor);
    if (storage.is_none()) return nb::dict();
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
    if (!dump_cnf_fn.is(g_refs->stock_dump_cnf)) {
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
    nb::dict merged;
    for (const Prepared &p : prepared) {
        write_clauses(p);
        if (PyDict_Update(merged.ptr(), p.map.ptr()) != 0) throw nb::python_error();
    }
    return merged;
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
    zk::import_logger(m);  // also binds se

    nb::module_ abc = nb::module_::import_("abc");
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object str_t = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));

    g_refs = new ModuleRefs{nb::module_::import_("builtins"), nb::object(),
                            nb::object()};

    m.def("reduce_ex", &reduce_ex, nb::arg("mappings"));
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
    ns["_Dumper__print_all_formula"] = staticmethod(nb::cpp_function(
        &print_all_formula, nb::name("__print_all_formula"), nb::arg("temp_cnf"),
        nb::arg("weights").none(), nb::arg("num_formula"), nb::arg("init_shift_variable"),
        nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"),
        nb::arg("offset_shift_formulas"), nb::arg("mapping"), nb::arg("cnf_stor")));
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
