// zk_encoder._exceptions: the package's five exception classes.
#include "common/module.hpp"
#include "common/pyclass.hpp"

namespace zk {

namespace {

constexpr const char *kModule = "zk_encoder._exceptions";

struct ExceptionDef {
    const char *name_;
    const char *doc_;
};

// Creation order is part of the interface.
constexpr ExceptionDef kExceptions[] = {
    {"VariableError", "The variable cannot be created"},
    {"TargetError", "Target entry error"},
    {"FormulaError", ""},
    {"BuildError", ""},
    {"SolverError", ""},
};

void bind_module(nb::module_ &m) {
    init_module();
    for (const ExceptionDef &e : kExceptions)
        m.attr(e.name_) = make_exception(kModule, e.name_, e.doc_);
}

}  // namespace

}  // namespace zk

ZK_MODULE(_exceptions, m) { zk::bind_module(m); }
