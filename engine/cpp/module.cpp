// Entry of the stand-in engine module nubrix.sorn_engine.
#include "common/module.hpp"

#include "bind.hpp"
#include "bind_support.hpp"

namespace se {

nb::module_ make_submodule(nb::module_ &parent, const char *name, const char *doc) {
    nb::module_ sub = parent.def_submodule(name, doc);
    nb::module_::import_("sys").attr("modules")[nb::str(sub.attr("__name__"))] = sub;
    return sub;
}

namespace {

void bind_module(nb::module_ &m) {
    nb::set_leak_warnings(false);
    // Dependencies first: a missing one must fail the import before any type or submodule is
    // registered, so that a later attempt starts from nothing.
    nb::module_::import_("numpy");
    m.doc() = "Stand-in for the nubrix solver engine";
    register_top(m);
    register_bxpr(m);
    register_pbct(m);
    // The clause side's error class comes first: its classes raise it.
    engine_error(m);
    register_wcnf_storage(m);
    register_var_mapping(m);
    register_witness_interpreter(m);
    register_manager(m);
    register_linsolver(m);
}

}  // namespace

}  // namespace se

// A dependency missing at import (highspy, numpy) is reported as the host reports it.
ZK_MODULE(sorn_engine, m) { se::bind_module(m); }
