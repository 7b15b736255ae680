// A module's own global names, read from its dictionary at each use as the module's code would:
// a program that rebinds one (a test that swaps a logging function) is seen at the next call.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/errors.hpp"

namespace zk {

namespace nb = nanobind;

// `text` as an interned str, kept for the life of the process: made once (a function-local
// static), it names a global or an attribute on a hot path without making the text at each use.
inline PyObject *interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

class ModuleGlobals {
  public:
    // Keeps the module's dictionary; module objects live until the interpreter ends.
    void bind(nb::module_ &m) { dict_ = m.attr("__dict__").inc_ref().ptr(); }

    // The global `name`; the host's NameError when the module does not bind it.
    nb::object get(const char *name) const {
        PyObject *v = PyDict_GetItemString(dict_, name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(v);
    }

    // The global of a name made once by `interned`: a hot path's look-up then makes no text.
    nb::object get(nb::handle name) const {
        PyObject *v = PyDict_GetItemWithError(dict_, name.ptr());
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw nb::python_error();
        }
        return nb::borrow(v);
    }

    // Hands `msg` to the logging function `fn` ("log_e", "log_w", ...) the module binds.
    void log(const char *fn, nb::handle msg) const { get(fn)(msg); }
    void log(const char *fn, const std::string &msg) const {
        log(fn, nb::str(msg.data(), msg.size()));
    }
    void log(const char *fn, const char *msg) const { log(fn, nb::str(msg)); }

    // Logs `msg` through the module's log_e, then raises `exc_type` with the same text.
    [[noreturn]] void raise_logged(nb::handle exc_type, nb::handle msg) const {
        raise_after_logging(get("log_e"), exc_type, msg);
    }
    [[noreturn]] void raise_logged(nb::handle exc_type, const std::string &msg) const {
        raise_logged(exc_type, nb::str(msg.data(), msg.size()));
    }
    // As above with the module's global `exc_name`, read after the line is logged.
    [[noreturn]] void raise_logged(const char *exc_name, nb::handle msg) const {
        log("log_e", msg);
        raise_plain(get(exc_name), msg);
    }
    [[noreturn]] void raise_logged(const char *exc_name, const std::string &msg) const {
        raise_logged(exc_name, nb::str(msg.data(), msg.size()));
    }

  private:
    PyObject *dict_ = nullptr;
};

// An attribute of a package module that may finish loading after the module that needs it (the
// exception classes load late in the package's start-up). It is read from the host's registry of
// loaded modules at first use and kept; nothing is imported at the call.
class LoadedAttr {
  public:
    LoadedAttr(const char *module, const char *name) : module_(module), name_(name) {}

    nb::handle get() {
        if (!value_) {
            PyObject *mod = PyImport_GetModule(nb::str(module_).ptr());
            if (!mod) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ImportError, "module '%s' is not loaded", module_);
                throw nb::python_error();
            }
            nb::object m = nb::steal(mod);
            // Kept for the life of the process, as the module holding it is.
            value_ = nb::object(m.attr(name_)).release().ptr();
        }
        return value_;
    }

  private:
    const char *module_;
    const char *name_;
    PyObject *value_ = nullptr;
};

}  // namespace zk
