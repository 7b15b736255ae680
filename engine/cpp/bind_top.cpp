// Engine top level: the log sink with its levels and the engine's version text.
#include <nanobind/stl/string.h>

#include <string>

#include "bind.hpp"

namespace se {

namespace {

constexpr const char *kLoggerName = "nubrix.sorn_engine";
constexpr int kTraceLevel = 5;  // below logging.DEBUG (10)
constexpr const char *kTraceName = "TRACE";

// Members of log_level_type, in order, with the host logging level each maps to.
struct LevelDef {
    const char *name_;
    int python_level_;
};
constexpr LevelDef kLevels[] = {
    {"trace", kTraceLevel}, {"debug", 10}, {"info", 20},
    {"warning", 30},        {"error", 40}, {"critical", 50},
};

}  // namespace

void register_top(nb::module_ &m) {
    nb::module_ logging = nb::module_::import_("logging");
    logging.attr("addLevelName")(kTraceLevel, kTraceName);

    nb::list members;
    for (const LevelDef &lv : kLevels) members.append(nb::make_tuple(lv.name_, lv.python_level_));
    nb::object level_enum = nb::module_::import_("enum").attr("IntEnum")(
        "log_level_type", members, nb::arg("module") = "nubrix.sorn_engine");
    level_enum.attr("__doc__") = "Severity of a message handed to log_encoder";
    m.attr("log_level_type") = level_enum;

    m.def(
        "log_encoder",
        [](nb::object msg, nb::object level) {
            nb::object levels = nb::module_::import_("nubrix.sorn_engine").attr("log_level_type");
            if (!nb::isinstance(level, levels))
                throw nb::type_error("log_encoder: the level must be a member of log_level_type");
            nb::object logger = nb::module_::import_("logging").attr("getLogger")(kLoggerName);
            nb::object pylevel = nb::int_(level);
            if (nb::cast<bool>(logger.attr("isEnabledFor")(pylevel))) {
                // %s keeps the message object as given; logging formats it only when emitted.
                logger.attr("log")(pylevel, "%s", msg);
            }
        },
        nb::arg("msg").none(), nb::arg("level"),
        "Hand a message to the host's logging under the logger 'nubrix.sorn_engine'.");

    m.def(
        "get_python_version",
        []() {
            nb::object sys = nb::module_::import_("sys");
            return std::string("Python ") + nb::cast<std::string>(nb::str(sys.attr("version")));
        },
        "Version text of the interpreter the engine runs in.");
}

}  // namespace se
