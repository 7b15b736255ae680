// Building real Python classes (exceptions, dataclasses) from C++ through the interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>

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

// An enum.Enum made by the host's functional API, named module.name, its members (name, value)
// in order; with `doc` as its docstring when one is given.
inline nb::object make_enum(const char *module, const char *name,
                            std::initializer_list<std::pair<const char *, long>> members,
                            const char *doc = nullptr) {
    using namespace nb::literals;
    nb::list items;
    for (const auto &[member, value] : members) items.append(nb::make_tuple(member, value));
    nb::object cls = nb::module_::import_("enum").attr("Enum")(name, items, "module"_a = module,
                                                               "qualname"_a = name);
    if (doc) cls.attr("__doc__") = doc;
    return cls;
}

// Properties that nanobind stores after the class is made miss the naming that class creation
// gives (__set_name__); without it, assigning to a read-only one would not name the attribute in
// the error.
inline void name_properties(nb::handle cls, std::initializer_list<const char *> names) {
    nb::object own = nb::getattr(cls, "__dict__");
    for (const char *name : names) own[name].attr("__set_name__")(cls, name);
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
