// zk_encoder.core.zk_logger: the package's single road for diagnostics, forwarding every message
// to the engine's log sink.
#include "common/module.hpp"

namespace zk::core {

namespace {

constexpr const char *kRootFormat = "%(asctime)s %(name)s %(levelname)s: %(message)s";

// The module's globals; `se` is read from them at every call, as module-level code would.
PyObject *g_globals = nullptr;

void forward(nb::handle msg, const char *level) {
    nb::handle se = PyDict_GetItemString(g_globals, "se");
    if (!se.is_valid()) throw nb::attribute_error("name 'se' is not defined");
    nb::object sink = se.attr("log_encoder");
    nb::object member = se.attr("log_level_type").attr(level);
    sink(msg, member);
}

}  // namespace

}  // namespace zk::core

NB_MODULE(zk_logger, m) {
    zk::init_module();
    zk::core::g_globals = m.attr("__dict__").inc_ref().ptr();

    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    m.attr("se") = nb::module_::import_("nubrix.sorn_engine");
    logging.attr("basicConfig")(nb::arg("level") = logging.attr("WARNING"),
                                nb::arg("format") = zk::core::kRootFormat);

    m.def("log_c", [](nb::object msg) { zk::core::forward(msg, "critical"); }, nb::arg("msg").none());
    m.def("log_e", [](nb::object msg) { zk::core::forward(msg, "error"); }, nb::arg("msg").none());
    m.def("log_w", [](nb::object msg) { zk::core::forward(msg, "warning"); }, nb::arg("msg").none());
    m.def("log_i", [](nb::object msg) { zk::core::forward(msg, "info"); }, nb::arg("msg").none());
    m.def("log_d", [](nb::object msg) { zk::core::forward(msg, "debug"); }, nb::arg("msg").none());
    m.def("log_t", [](nb::object msg) { zk::core::forward(msg, "trace"); }, nb::arg("msg").none());
}
