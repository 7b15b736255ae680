// zk_encoder.core.zk_logger: the package's single road for diagnostics, forwarding every message
// to the engine's log sink.
#include "common/module.hpp"
#include "common/module_globals.hpp"

namespace zk::core {

namespace {

constexpr const char *kRootFormat = "%(asctime)s %(name)s %(levelname)s: %(message)s";

// `se` is read from the module's globals at every call, as module-level code would.
ModuleGlobals g_module;

void forward(nb::handle msg, const char *level) {
    nb::object se = g_module.get("se");
    nb::object sink = se.attr("log_encoder");
    nb::object member = se.attr("log_level_type").attr(level);
    sink(msg, member);
}

// Defined in this order; each shows its own signature: one message annotated str, no return
// annotation.
struct LogFunction {
    const char *name_;
    const char *level_;
    const char *signature_;
};

constexpr LogFunction kLogFunctions[] = {
    {"log_c", "critical", "def log_c(msg: str)"}, {"log_e", "error", "def log_e(msg: str)"},
    {"log_w", "warning", "def log_w(msg: str)"},  {"log_i", "info", "def log_i(msg: str)"},
    {"log_d", "debug", "def log_d(msg: str)"},    {"log_t", "trace", "def log_t(msg: str)"},
};

void bind_module(nb::module_ &m) {
    init_module();
    g_module.bind(m);

    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    m.attr("se") = nb::module_::import_("nubrix.sorn_engine");
    logging.attr("basicConfig")(nb::arg("level") = logging.attr("WARNING"),
                                nb::arg("format") = kRootFormat);

    for (const LogFunction &f : kLogFunctions) {
        m.def(
            f.name_, [level = f.level_](nb::object msg) { forward(msg, level); },
            nb::arg("msg").none(), nb::sig(f.signature_));
    }
}

}  // namespace

}  // namespace zk::core

ZK_MODULE(zk_logger, m) { zk::core::bind_module(m); }
