// The shared state of zk_encoder.encode.model's parts.
#include "zk_encoder/encode/model/module_state.hpp"

#include <frameobject.h>

#include "common/errors.hpp"

namespace zk::encode {

ModuleGlobals g_module;
PyObject *g_eval = nullptr;
PyObject *g_format_stack = nullptr;
PyObject *g_model_type = nullptr;

nb::object class_attr(const char *name) {
    return nb::borrow(reinterpret_cast<PyObject *>(g_model_type)).attr(name);
}

nb::object now() { return g_module.get("datetime").attr("now")(); }

// Read from the calling Python frame in the host's standard stack format. The model's operations
// are native, so the interpreter's current frame is the caller's own.
std::pair<nb::object, nb::object> call_site() {
    PyFrameObject *frame = PyEval_GetFrame();
    if (!frame) return {nb::str(""), nb::str("")};
    nb::object frame_obj = nb::borrow(reinterpret_cast<PyObject *>(frame));
    nb::object entries = nb::borrow(g_format_stack)(frame_obj, 1);
    nb::object fallback_line = nb::str(nb::int_(PyFrame_GetLineNumber(frame)));
    if (nb::len(entries) == 0) return {nb::str(""), fallback_line};
    nb::object match = class_attr("_Model__EXPRESSION_FORMULA_RE").attr("match")(entries[0]);
    if (match.is_none()) return {nb::str(""), fallback_line};
    return {match.attr("group")(4).attr("strip")(), match.attr("group")(2).attr("strip")()};
}

std::string utf8_of(nb::handle text) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!p) rethrow();
    return std::string(p, static_cast<size_t>(n));
}

}  // namespace zk::encode
