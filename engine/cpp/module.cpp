// Entry of the stand-in engine module nubrix.sorn_engine.
#include "bind.hpp"

namespace se {

nb::module_ make_submodule(nb::module_ &parent, const char *name, const char *doc) {
    nb::module_ sub = parent.def_submodule(name, doc);
    nb::module_::import_("sys").attr("modules")[nb::str(sub.attr("__name__"))] = sub;
    return sub;
}

}  // namespace se

NB_MODULE(sorn_engine, m) {
    namespace nb = nanobind;
    nb::set_leak_warnings(false);
    m.doc() = "Stand-in for the nubrix solver engine";
    se::register_top(m);
    se::register_bxpr(m);
    se::register_pbct(m);
    se::register_clause_side(m);
    se::register_linsolver(m);
}
