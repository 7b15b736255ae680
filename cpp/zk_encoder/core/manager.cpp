// zk_encoder.core.manager: the per-model variable registry. It keeps the generator of every
// family, the numbers and engine variables of the names used by the formula being evaluated, and
// the engine objects that formula is encoded with; a reset renews all but the generators.
#include "zk_encoder/core/manager.hpp"

#include "common/gc.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"

namespace zk::core {

namespace {

constexpr const char *kBxModule = "nubrix.sorn_engine.bxpr";
constexpr const char *kPbModule = "nubrix.sorn_engine.pbct";
constexpr long kMaxClausesPerConstraint = 1000000;
constexpr long kFirstPbNumber = 1;

ModuleGlobals g_module;

struct EngineObjects {
    nb::object &bx_context_, &pb_config_, &pb_var_manager_;
};

// Made in this order at construction and after every formula. Each object is stored as soon as
// it exists, so an engine failure part-way through a reset leaves the earlier ones in place.
void make_engine_objects(EngineObjects &e) {
    nb::object bx = g_module.get("bx");
    nb::object pb = g_module.get("pb");
    e.bx_context_ = bx.attr("Context")();
    e.pb_config_ = pb.attr("PBConfig")();
    e.pb_config_.attr("pb_encoder") = pb.attr("PB_Encoder_type").attr("ADDER");
    e.pb_config_.attr("max_clauses_per_constraint") = kMaxClausesPerConstraint;
    e.pb_var_manager_ = pb.attr("AuxVarManager")(kFirstPbNumber);
}

void registration_generator_variables(nb::pointer_and_handle<Manager> self, nb::handle name) {
    Manager &mgr = *self.p;
    if (Manager::find(mgr.name2genvar_, name)) return;  // the first registration wins
    nb::object generator = g_module.get("GeneratorVariable")(name, self.h);
    Manager::store(mgr.name2genvar_, name, generator);
}

void reset(Manager &mgr) {
    mgr.bx_context_.reset();
    mgr.pb_config_.reset();
    mgr.pb_var_manager_.reset();
    // Emptied in place: callers may hold the maps themselves.
    mgr.name2pb_.clear();
    mgr.pb2bx_.clear();
    mgr.pb2name_.clear();
    mgr.cnt_pbvar_ = 0;
    mgr.polarity_ = kPositive;
    mgr.definitions_ = nb::list();
    EngineObjects fields{mgr.bx_context_, mgr.pb_config_, mgr.pb_var_manager_};
    make_engine_objects(fields);
}

using ManagerGc = GcSlots<Manager, &Manager::bx_context_, &Manager::pb_config_,
                          &Manager::pb_var_manager_, &Manager::name2genvar_, &Manager::name2pb_,
                          &Manager::pb2bx_, &Manager::pb2name_, &Manager::definitions_>;

template <nb::object Manager::*Field>
void engine_field(nb::class_<Manager> &cls, const char *name) {
    cls.def_prop_rw(
        name,
        [name](const Manager &mgr) -> nb::object {
            if (!(mgr.*Field).is_valid()) Manager::missing(name);
            return mgr.*Field;
        },
        [](Manager &mgr, nb::object value) { mgr.*Field = std::move(value); },
        nb::arg("value").none());
}

void bind_module(nb::module_ &m) {
    init_module();
    g_module.bind(m);

    m.attr("GeneratorVariable") =
        nb::module_::import_("zk_encoder.core.variable").attr("GeneratorVariable");
    nb::module_ bx = nb::module_::import_(kBxModule);
    m.attr("bx") = bx;
    m.attr("pb") = nb::module_::import_(kPbModule);
    m.attr("Tuple") = nb::module_::import_("typing").attr("Tuple");
    // Read as an annotation while the module loads: an engine without it fails the import here
    // (an accessor alone would look nothing up).
    nb::getattr(bx, "Variable");

    nb::class_<Manager> cls(m, "Manager", nb::type_slots(ManagerGc::slots_));
    cls.def(
        "__init__",
        [](Manager *self) {
            // Made before the object exists: a failed construction leaves nothing to release.
            nb::object bx_context, pb_config, pb_var_manager;
            EngineObjects made{bx_context, pb_config, pb_var_manager};
            make_engine_objects(made);
            new (self) Manager();
            self->bx_context_ = std::move(bx_context);
            self->pb_config_ = std::move(pb_config);
            self->pb_var_manager_ = std::move(pb_var_manager);
        },
        nb::sig("def __init__(self)"));
    cls.def("registration_generator_variables", &registration_generator_variables,
            nb::arg("name").none(),
            nb::sig("def registration_generator_variables(self, name: str) -> None"));
    cls.def(
        "add_variable", [](Manager &mgr, nb::handle name) { return mgr.add_variable(name); },
        nb::arg("name").none(),
        nb::sig("def add_variable(self, name: str) -> Tuple[bx.Variable, int]"));
    cls.def(
        "get_pb_var",
        [](Manager &mgr, nb::handle pb_var, nb::handle prefix) {
            return mgr.get_pb_var(pb_var, prefix);
        },
        nb::arg("pb_var").none(), nb::arg("prefix").none() = kPbctAux,
        nb::sig("def get_pb_var(self, pb_var: int, prefix: str = '_pbct_aux') -> bx.Variable"));
    cls.def("reset", &reset, nb::sig("def reset(self) -> None"));
    engine_field<&Manager::bx_context_>(cls, "bx_context");
    engine_field<&Manager::pb_config_>(cls, "pb_config");
    engine_field<&Manager::pb_var_manager_>(cls, "pb_var_manager");
    cls.def_rw("name2genvar", &Manager::name2genvar_);
    cls.def_rw("name2pb", &Manager::name2pb_);
    cls.def_rw("pb2bx", &Manager::pb2bx_);
    cls.def_rw("pb2name", &Manager::pb2name_);
    cls.def_rw("cnt_pbvar", &Manager::cnt_pbvar_);
}

}  // namespace

}  // namespace zk::core

ZK_MODULE(manager, m) { zk::core::bind_module(m); }
