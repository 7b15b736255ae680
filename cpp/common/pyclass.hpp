// Building real Python classes (exceptions, dataclasses) from C++ through the interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zk {

namespace nb = nanobind;

// A direct subclass of `base` (Exception by default) named module.name, with the given docstring
// ("" gives an empty docstring, nullptr none).
inline nb::object make_exception(const char *module, const char *name, const char *doc,
                                 PyObject *base = PyExc_Exception) {
    std::string dotted = std::string(module) + "." + name;
    PyObject *cls = PyErr_NewExceptionWithDoc(dotted.c_str(), doc, base, nullptr);
    if (!cls) throw nb::python_error();
    return nb::steal(cls);
}

// A dataclasses.make_dataclass class; `fields` is a list of (name, type[, field]) tuples.
inline nb::object make_dataclass(const char *module, const char *name, nb::list fields,
                                 nb::dict kwargs = nb::dict()) {
    nb::object cls =
        nb::module_::import_("dataclasses").attr("make_dataclass")(name, fields, **kwargs);
    cls.attr("__module__") = module;
    return cls;
}

}  // namespace zk
