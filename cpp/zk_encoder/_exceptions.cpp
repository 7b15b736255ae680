// zk_encoder._exceptions: the package's five exception classes.
#include "common/module.hpp"
#include "common/pyclass.hpp"

namespace zk {

namespace {

constexpr const char *kModule = "zk_encoder._exceptions";

struct ExceptionDef {
    const char *name;
    const char *doc;
};

// Creation order is part of the interface.
constexpr ExceptionDef kExceptions[] = {
    {"VariableError", "The variable cannot be created"},
    {"TargetError", "Target entry error"},
    {"FormulaError", ""},
    {"BuildError", ""},
    {"SolverError", ""},
};

}  // namespace

}  // namespace zk

NB_MODULE(_exceptions, m) {
    zk::init_module();
    for (const zk::ExceptionDef &e : zk::kExceptions)
        m.attr(e.name) = zk::make_exception(zk::kModule, e.name, e.doc);
}
