// zk_encoder.core.dumper: instantiates queued clause templates over their for-all values, numbers
// the auxiliaries of every instance inside its block and writes the clauses to the record's
// storage.
//
// A record goes through three stages: instances, numbering into PreparedClauses (plain integers,
// instantiate/), writing (dumper/clause_writer). Instances come from a compiled form of the
// template where every literal text is one the library writes and every family a modelling-side
// Variable (dumper/template_compiler: no interpreter, no Python object per literal), else from
// the generated comprehension evaluated in the record's namespace (dumper/evaluated_path).
// Writing hands whole blocks to a storage that takes flat arrays, else one call per clause.
// Numbering never touches a storage, and a write-out numbers every record before it writes any,
// so a bad literal leaves every storage as it was. This file holds the module's operations and
// its bindings.
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/pyclass.hpp"
#include "texts/native_route.hpp"
#include "zk_encoder/core/dumper/clause_writer.hpp"
#include "zk_encoder/core/dumper/evaluated_path.hpp"
#include "zk_encoder/core/dumper/record.hpp"
#include "zk_encoder/core/dumper/template_compiler.hpp"

namespace zk::core {

namespace nb = nanobind;

namespace dumper {

namespace {

// Instantiates and numbers one record; nothing is written. False when the record has no storage.
bool prepare_record(nb::handle a, Prepared &out) {
    out.storage_ = a.attr(kFieldCnfStor);
    if (out.storage_.is_none()) return false;
    if (!texts::host_evaluation_only() && prepare_compiled(a, out)) return true;
    std::string text = comprehension_text(a.attr(kFieldTemplate), a.attr(kFieldForalls));
    nb::object temp_cnf = evaluate(text, a.attr(kFieldEvalState));
    RecordNumbers rec =
        numbers_of(a.attr(kFieldWeights), a.attr(kFieldNumFormula), a.attr(kFieldInitShift),
                   a.attr(kFieldShiftPb), a.attr(kFieldShiftBx));
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
    return cls.attr("_Dumper__print_all_formula").is(g_refs->stock_print_all_);
}

nb::object dump_cnf(nb::handle a) {
    nb::object storage = a.attr(kFieldCnfStor);
    if (storage.is_none()) return nb::dict();
    if (stock_numbering(g_refs->dumper_cls_)) {
        Prepared p;
        prepare_record(a, p);
        write_clauses(p);
        return std::move(p.map_);
    }
    std::string text = comprehension_text(a.attr(kFieldTemplate), a.attr(kFieldForalls));
    nb::object temp_cnf = evaluate(text, a.attr(kFieldEvalState));
    nb::dict mapping;
    g_refs->dumper_cls_.attr("_Dumper__print_all_formula")(
        temp_cnf, a.attr(kFieldWeights), a.attr(kFieldNumFormula), a.attr(kFieldInitShift),
        a.attr(kFieldShiftPb), a.attr(kFieldShiftBx), a.attr(kFieldOffset), mapping, storage);
    return mapping;
}

void print_all_formula(nb::handle temp_cnf, nb::handle weights, nb::handle num_formula,
                       nb::handle init_shift_variable, nb::handle shift_pb_variable,
                       nb::handle shift_bx_variable, nb::handle /*offset_shift_formulas*/,
                       nb::handle mapping, nb::handle cnf_stor) {
    Prepared p;
    p.storage_ = nb::borrow(cnf_stor);
    RecordNumbers rec =
        numbers_of(weights, num_formula, init_shift_variable, shift_pb_variable, shift_bx_variable);
    number_instances(temp_cnf, rec, p);
    write_clauses(p);
    if (PyDict_Update(mapping.ptr(), p.map_.ptr()) != 0) throw nb::python_error();
}

nb::object one2one_dump(nb::handle cls, nb::handle list_dump_args) {
    nb::object dump_cnf_fn = cls.attr("_dump_cnf");
    if (!dump_cnf_fn.is(g_refs->stock_dump_cnf_) || !stock_numbering(cls)) {
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
            merged = std::move(p.map_);
        } else if (PyDict_Update(merged.ptr(), p.map_.ptr()) != 0) {
            throw nb::python_error();
        }
    }
    return merged.is_valid() ? merged : nb::dict();
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

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    zk::init_module();
    g_module.bind(m);
    zk::import_logger(m);  // also binds se

    nb::module_ abc = nb::module_::import_("abc");
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object str_t = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));

    init_template_cache();
    g_refs = new ModuleRefs{nb::module_::import_("builtins"), nb::object(), nb::object(),
                            nb::object(), nb::module_::import_("builtins").attr("range")};

    m.def("reduce_ex", &reduce_ex, nb::arg("mappings"));
    // For the formula container: compile a record's template when it is queued.
    m.def("_compile_template", &compile_template, nb::arg("record"));
    m.attr("DumpArgs") = make_dump_args(m.attr("se"));

    // Dumper: abstract, stateless; its operations live on the class.
    nb::dict ns = class_namespace("Dumper");
    nb::dict annotations;
    annotations["_Dumper__BXPR_AUX"] = str_t;
    annotations["_Dumper__PBCT_AUX"] = str_t;
    ns["__annotations__"] = annotations;
    ns["_Dumper__BXPR_AUX"] = py_text(std::string(kBxprAux));
    ns["_Dumper__PBCT_AUX"] = py_text(std::string(kPbctAux));
    nb::object abstract_dump =
        nb::cpp_function([](nb::handle, nb::handle) { return nb::none(); }, nb::name("dump"),
                         nb::arg("cls"), nb::arg("dump_args"));
    ns["dump"] = classmethod(abc.attr("abstractmethod")(partial(abstract_dump)));
    nb::object dump_cnf_fn = nb::cpp_function(&dump_cnf, nb::name("_dump_cnf"), nb::arg("a"));
    ns["_dump_cnf"] = staticmethod(dump_cnf_fn);
    nb::object print_all_fn = nb::cpp_function(
        &print_all_formula, nb::name("__print_all_formula"), nb::arg("temp_cnf"),
        nb::arg("weights").none(), nb::arg("num_formula"), nb::arg("init_shift_variable"),
        nb::arg("shift_pb_variable"), nb::arg("shift_bx_variable"),
        nb::arg("offset_shift_formulas"), nb::arg("mapping"), nb::arg("cnf_stor"));
    ns["_Dumper__print_all_formula"] = staticmethod(print_all_fn);
    g_refs->stock_print_all_ = print_all_fn;
    nb::object abc_meta = abc.attr("ABCMeta");
    nb::object dumper_cls = abc_meta("Dumper", nb::make_tuple(abc.attr("ABC")), ns);
    m.attr("Dumper") = dumper_cls;
    g_refs->stock_dump_cnf_ = dump_cnf_fn;
    g_refs->dumper_cls_ = dumper_cls;

    nb::dict ns2 = class_namespace("One2OneDumper");
    ns2["dump"] = classmethod(nb::cpp_function(&one2one_dump, nb::name("dump"), nb::arg("cls"),
                                               nb::arg("list_dump_args")));
    m.attr("One2OneDumper") = abc_meta("One2OneDumper", nb::make_tuple(dumper_cls), ns2);
}

}  // namespace

}  // namespace dumper

}  // namespace zk::core

ZK_MODULE(dumper, m) { zk::core::dumper::bind_module(m); }
