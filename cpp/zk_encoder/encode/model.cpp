// zk_encoder.encode.model: the pseudo-Boolean model. It numbers variable families, evaluates
// formula texts into engine formulas and hands them to its formula container, or forwards the
// whole model as texts to the engine's formula encoder. The model's operations are in model/:
// the class (model.cpp), its for-all range checks (forall_checks.cpp), its texts (messages.hpp)
// and what the parts share (module_state.cpp).
#include "zk_encoder/encode/model/model.hpp"

#include <string>

#include "common/gc.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "formula/evaluation.hpp"
#include "zk_encoder/core/manager.hpp"
#include "zk_encoder/encode/model/messages.hpp"
#include "zk_encoder/encode/model/module_state.hpp"

namespace zk::encode {

namespace {

constexpr const char *kClassDoc = "Main class of pseudo-boolean model";
constexpr const char *kInitDoc =
    "Initializes an instance of model.\n\n:param smanager: sorn_engine manager is singleton";
constexpr const char *kCreateVariablesDoc = "Provides variables for writing expressions.";
constexpr const char *kGetIndexesDoc = "Provides indexes for writing expressions.";
constexpr const char *kAddConstraintDoc =
    "Adds hard constraint to the model.\n\n"
    ":param constraint: valid expression for the constraint\n"
    ":param foralls: indexes by which the substitution of expressions of the type \"for all\" "
    "occurs";
constexpr const char *kAddSoftConstraintDoc =
    "Adds soft constraint to the model.\n\n"
    ":param constraint: valid expression for the constraint\n"
    ":param weight: weight of the soft constraint\n"
    ":param minimization: flag for the task type\n"
    ":param foralls: indexes by which the substitution of expressions of the type \"for all\" "
    "occurs";
constexpr const char *kUseTargetDoc = "Is the target set in the model";
constexpr const char *kAddTargetDoc = "Adds target to the model.";
constexpr const char *kBuildCnfDoc = "Creation CNF";

using zk::encode::Model;

// Binds the module's names in the order the module's own imports bind them.
void import_names(nb::module_ &m) {
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("traceback") = nb::module_::import_("traceback");
    m.attr("re") = nb::module_::import_("re");
    m.attr("reduce") = nb::module_::import_("functools").attr("reduce");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    m.attr("se") = nb::module_::import_("nubrix.sorn_engine");
    m.attr("bx") = nb::module_::import_("nubrix.sorn_engine.bxpr");
    m.attr("pb") = nb::module_::import_("nubrix.sorn_engine.pbct");

    nb::module_ variables = nb::module_::import_("zk_encoder.encode.variables");
    m.attr("Variable") = variables.attr("Variable");
    m.attr("Index") = variables.attr("Index");
    m.attr("Expression") = nb::module_::import_("zk_encoder.encode.expressions").attr("Expression");
    m.attr("FormulaContainer") =
        nb::module_::import_("zk_encoder.core.formula_container").attr("FormulaContainer");
    for (const char *name : {"pboperations", "formulapb", "manager", "variable"})
        m.attr(name) = nb::module_::import_((std::string("zk_encoder.core.") + name).c_str());
    nb::module_ exceptions = nb::module_::import_("zk_encoder._exceptions");
    for (const char *name : {"VariableError", "FormulaError", "TargetError", "BuildError"})
        m.attr(name) = exceptions.attr(name);
    zk::import_logger(m);
}

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    namespace ze = zk::encode;
    zk::init_module();
    import_names(m);
    ze::g_module.bind(m);
    ze::g_eval = nb::module_::import_("builtins").attr("eval").inc_ref().ptr();
    zk::formula::def_formula_eval(m, zk::core::polarity_slot);
    ze::g_format_stack = nb::module_::import_("traceback").attr("format_stack").inc_ref().ptr();

    // The engine types that annotate the model's operations must exist when the class is made.
    nb::object se = m.attr("se");
    for (const char *name : {"manager", "wcnf_storage", "var_mapping"}) nb::getattr(se, name);

    // A program's engine manager or formula encoder may hold the model it serves.
    using Gc =
        zk::GcSlots<Model, &Model::sorn_manager_, &Model::model_name_, &Model::use_formula_encoder_,
                    &Model::formula_encoder_, &Model::formula_container_, &Model::used_vars_,
                    &Model::manager_, &Model::variables_, &Model::indexes_, &Model::formulas_dir_,
                    &Model::shift_target_variable_, &Model::is_wcnf_, &Model::template_target_,
                    &Model::start_time_, &Model::forwarded_families_, &Model::preliminary_values_,
                    &Model::preliminary_storage_>;
    nb::class_<Model> cls(m, "Model", ze::kClassDoc, nb::type_slots(Gc::slots_));
    ze::g_model_type = cls.ptr();
    cls.attr("_Model__EXPRESSION_FORMULA_RE") =
        m.attr("re").attr("compile")(ze::kExpressionFormulaRe);
    cls.attr("_Model__BXPR_AUX") = ze::kBxprAux;
    cls.attr("_Model__PBCT_AUX") = ze::kPbctAux;
    cls.attr("_Model__DUMMY_VAR") = ze::kDummyVar;

    // Signatures carry the declared annotations and defaults; the annotated engine names were
    // looked up above.
    cls.def(nb::init<nb::object, nb::object, nb::object>(), "smanager"_a.none(), "name"_a.none(),
            "use_formula_encoder"_a.none() = false,
            nb::sig("def __init__(self, smanager: se.manager, name: str, "
                    "use_formula_encoder: bool = False) -> None"),
            ze::kInitDoc)
        .def("get_name", &Model::get_name, nb::sig("def get_name(self) -> str"))
        .def("create_variables", &Model::create_variables, "name"_a.none(), "dims"_a,
             nb::sig("def create_variables(self, name: str, **dims: int) -> Variable"),
             ze::kCreateVariablesDoc)
        .def("get_indexes", &Model::get_indexes, "indexes"_a.none(),
             nb::sig("def get_indexes(self, indexes: tp.Sequence[str]) -> "
                     "tp.Union[Index, tp.Sequence[Index]]"),
             ze::kGetIndexesDoc)
        .def("add_constraint", &Model::add_constraint, "constraint"_a.none(), "foralls"_a,
             nb::sig("def add_constraint(self, constraint: Expression, "
                     "**foralls: tp.Sequence[int]) -> None"),
             ze::kAddConstraintDoc)
        .def("add_soft_constraint", &Model::add_soft_constraint, "constraint"_a.none(),
             "weight"_a.none() = 1, "minimization"_a.none() = false, "foralls"_a,
             nb::sig("def add_soft_constraint(self, constraint: Expression, weight: int = 1, "
                     "minimization: bool = False, **foralls: tp.Sequence[int]) -> None"),
             ze::kAddSoftConstraintDoc)
        .def_prop_ro("use_target", &Model::use_target,
                     nb::for_getter(nb::sig("def use_target(self) -> bool")), ze::kUseTargetDoc)
        .def("add_target", &Model::add_target, "target"_a.none(),
             nb::sig("def add_target(self, target) -> None"), ze::kAddTargetDoc)
        .def("_Model__reset_target", &Model::reset_target,
             nb::sig("def _Model__reset_target(self) -> None"))
        .def("_Model__build_target", &Model::build_target, "border"_a.none(),
             "minimization"_a.none(),
             nb::sig("def _Model__build_target(self, border: int, minimization: bool)"))
        .def("_Model__fill_hard_constraint", &Model::fill_hard_constraint, "constraint"_a.none(),
             "foralls"_a.none(),
             nb::sig("def _Model__fill_hard_constraint(self, constraint, "
                     "foralls: tp.Dict[str, tp.Sequence[int]])"))
        .def("_Model__fill_soft_constraint", &Model::fill_soft_constraint, "constraint"_a.none(),
             "weight"_a.none(), "minimization"_a.none(), "foralls"_a.none(),
             nb::sig("def _Model__fill_soft_constraint(self, constraint, weight: int, "
                     "minimization: bool, foralls: tp.Dict[str, tp.Sequence[int]])"))
        .def("_Model__fill_target", &Model::fill_target, "target"_a.none(),
             nb::sig("def _Model__fill_target(self, target)"))
        .def("_Model__init_formula_container", &Model::init_formula_container,
             nb::sig("def _Model__init_formula_container(self)"))
        .def("_Model__init_formula_encoder", &Model::init_formula_encoder,
             nb::sig("def _Model__init_formula_encoder(self)"))
        .def("build_cnf", &Model::build_cnf, "border"_a.none() = nb::none(),
             "minimization"_a.none() = nb::none(),
             nb::sig("def build_cnf(self, border: tp.Optional[int] = None, "
                     "minimization: tp.Optional[bool] = None) -> bool"),
             ze::kBuildCnfDoc)
        .def("build_wcnf", &Model::build_wcnf, nb::sig("def build_wcnf(self) -> bool"))
        .def("get_cnf_storage", &Model::get_cnf_storage,
             nb::sig("def get_cnf_storage(self) -> se.wcnf_storage"))
        .def("get_var_mapping", &Model::get_var_mapping,
             nb::sig("def get_var_mapping(self) -> se.var_mapping"))
        .def("save_metrics_json", &Model::save_metrics_json, "filename"_a.none(),
             nb::sig("def save_metrics_json(self, filename: str)"))
        .def("save_metrics_csv", &Model::save_metrics_csv, "filename"_a.none(),
             nb::sig("def save_metrics_csv(self, filename: str)"))
        .def("reset", &Model::reset, nb::sig("def reset(self) -> None"))
        .def("set_witness", &Model::set_witness, "witness"_a.none(),
             nb::sig("def set_witness(self, witness) -> None"))
        .def("set_another_witness", &Model::set_another_witness, "witness"_a.none(),
             nb::sig("def set_another_witness(self, witness) -> None"))
        .def("check_another_witness", &Model::check_another_witness,
             nb::sig("def check_another_witness(self) -> bool"))
        .def("get_var_index", &Model::get_var_index, "var"_a.none(),
             nb::sig("def get_var_index(self, var: int) -> int"))
        .def("add_preliminary_var_value", &Model::add_preliminary_var_value, "var"_a.none(),
             "negative"_a.none() = false,
             nb::sig("def add_preliminary_var_value(self, var: int, negative=False)"));

    // The fields, under their Python names; writable so that a program (or a test) can put the
    // model into any state the operations reach.
#define ZK_MODEL_FIELD(py_name, member)                   \
    cls.def_prop_rw(                                      \
        py_name, [](Model &self) { return self.member; }, \
        [](Model &self, nb::object value) { self.member = std::move(value); }, "value"_a.none())
    ZK_MODEL_FIELD("_sorn_manager", sorn_manager_);
    ZK_MODEL_FIELD("_model_name", model_name_);
    ZK_MODEL_FIELD("_use_formula_encoder", use_formula_encoder_);
    ZK_MODEL_FIELD("_formula_encoder", formula_encoder_);
    ZK_MODEL_FIELD("_formula_container", formula_container_);
    ZK_MODEL_FIELD("_used_vars", used_vars_);
    ZK_MODEL_FIELD("_manager", manager_);
    ZK_MODEL_FIELD("_variables", variables_);
    ZK_MODEL_FIELD("_indexes", indexes_);
    ZK_MODEL_FIELD("_formulas_dir", formulas_dir_);
    ZK_MODEL_FIELD("_shift_target_variable", shift_target_variable_);
    ZK_MODEL_FIELD("_is_wcnf", is_wcnf_);
    ZK_MODEL_FIELD("_template_target", template_target_);
    ZK_MODEL_FIELD("_start_time", start_time_);
#undef ZK_MODEL_FIELD
}

}  // namespace zk::encode

ZK_MODULE(model, m) { zk::encode::bind_module(m); }
