// nubrix.sorn_engine.var_mapping: the map between variable-element names and clause-variable
// numbers, set from a dict or from families given by shape.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "clause_objects.hpp"
#include "common/format.hpp"
#include "core/var_map.hpp"

namespace se {

namespace {

using zk::format_message;

// What a message names, where the argument is one value.
constexpr const char *kMapNumber = "set_var_map: a number";
constexpr const char *kGetNameNumber = "get_name: the number";
constexpr const char *kFamilySize = "set_var_families: a size";

// Messages.
constexpr const char *kMapTypeMsg = "set_var_map: expected a dict of names to numbers, not {}";
constexpr const char *kMapKeyTypeMsg = "set_var_map: a name must be a str, not {}";
constexpr const char *kMapNumberRangeMsg = "set_var_map: the number {} of {} is outside 0..{}";
constexpr const char *kFamiliesTypeMsg =
    "set_var_families: expected a list of (name, first number, sizes), not {}";
constexpr const char *kFamilyTypeMsg =
    "set_var_families: a family must be (name, first number, sizes), not {}";
constexpr const char *kFamilyRangeMsg =
    "set_var_families: the numbers of family {} is outside 0..{}";
constexpr const char *kFamilyTwiceMsg = "set_var_families: a family named twice: {}";
constexpr const char *kFamilyElementMsg =
    "set_var_families: the name {} of other_map is an element of a family";
constexpr const char *kReprFormat = "var_mapping({} names)";

// A name's UTF-8 bytes, straight from the str (no copy for the ASCII names a model makes); a
// name that has none (a lone surrogate) raises its UnicodeEncodeError.
std::string_view utf8_name(PyObject *key) {
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) throw nb::python_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

[[noreturn]] void refuse_map_number(PyObject *key, int64_t n) {
    raise_py(PyExc_ValueError, format_message(kMapNumberRangeMsg, n,
                                              nb::cast<std::string>(nb::repr(key)), kMaxVariable));
}

// The content of a dict of names to numbers, read in its order.
clause::NameTable read_var_map(nb::handle mapping) {
    PyObject *d = mapping.ptr();
    if (!PyDict_Check(d))
        raise_py(PyExc_TypeError, format_message(kMapTypeMsg, py_type_name(mapping)));
    const auto count = static_cast<std::size_t>(PyDict_Size(d));
    clause::NameTable t;
    t.reserve(count, 16 * count);
    // In place while every number is a plain int: reading those runs no Python code, so the
    // dict cannot change under PyDict_Next.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool in_place = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_Check(key))
            raise_py(PyExc_TypeError, format_message(kMapKeyTypeMsg, py_type_name(key)));
        if (!PyLong_CheckExact(value)) {
            in_place = false;
            break;
        }
        const int64_t n = int64_arg(value, kMapNumber);
        if (n < 0 || n > kMaxVariable) refuse_map_number(key, n);
        t.add(utf8_name(key), n);
    }
    if (in_place) return t;
    // Another kind of number converts through __index__, which may change the dict: read a
    // snapshot of the items instead, from the start, so that faults are met in order.
    t = clause::NameTable();
    t.reserve(count, 16 * count);
    nb::object items = nb::steal(PyDict_Items(d));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        key = PyTuple_GET_ITEM(item, 0);
        value = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(key))
            raise_py(PyExc_TypeError, format_message(kMapKeyTypeMsg, py_type_name(key)));
        const int64_t n = int64_arg(value, kMapNumber);
        if (n < 0 || n > kMaxVariable) refuse_map_number(key, n);
        t.add(utf8_name(key), n);
    }
    return t;
}

// Families by shape, then a dict of other names. The content must be what a dict of all of it
// would hold: distinct family names, and no other name that is a family element.
clause::NameTable read_var_families(nb::handle families, nb::handle other) {
    if (!PyList_Check(families.ptr()) && !PyTuple_Check(families.ptr()))
        raise_py(PyExc_TypeError, format_message(kFamiliesTypeMsg, py_type_name(families)));
    if (!PyDict_Check(other.ptr()))
        raise_py(PyExc_TypeError, format_message(kMapTypeMsg, py_type_name(other)));
    clause::NameTable t;
    for (nb::handle item : nb::iter(families)) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 3)
            raise_py(PyExc_TypeError, format_message(kFamilyTypeMsg, py_type_name(item)));
        nb::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
        if (!PyUnicode_Check(name.ptr()))
            raise_py(PyExc_TypeError, format_message(kMapKeyTypeMsg, py_type_name(name)));
        const int64_t first = int64_arg(PyTuple_GET_ITEM(item.ptr(), 1), kMapNumber);
        std::vector<int64_t> sizes;
        __int128 count = 1;
        for (nb::handle s : nb::iter(nb::handle(PyTuple_GET_ITEM(item.ptr(), 2)))) {
            sizes.push_back(int64_arg(s, kFamilySize));
            count = sizes.back() <= 0 || count == 0 ? 0 : count * sizes.back();
            if (count > kMaxVariable + __int128{1}) count = kMaxVariable + __int128{2};
        }
        const std::string text(utf8_name(name.ptr()));
        if (count > 0 && (first < 0 || first + count - 1 > kMaxVariable))
            raise_py(PyExc_ValueError, format_message(kFamilyRangeMsg, text, kMaxVariable));
        if (!t.add_family(text, first, std::move(sizes)))
            raise_py(PyExc_ValueError, format_message(kFamilyTwiceMsg, text));
    }
    clause::NameTable rest = read_var_map(other);
    t.reserve(rest.listed_size(), 16 * rest.listed_size());
    int64_t unused;
    for (std::size_t i = 0; i < rest.listed_size(); ++i) {
        if (t.family_number(rest.name(i), &unused))
            raise_py(PyExc_ValueError, format_message(kFamilyElementMsg, rest.name(i)));
        t.add(rest.name(i), rest.number(i));
    }
    return t;
}

}  // namespace

void register_var_mapping(nb::module_ &m) {
    nb::class_<Mapping>(m, "var_mapping",
                        "Map between variable-element names and clause-variable numbers")
        .def(nb::init<>())
        .def(
            "set_var_map",
            [](Mapping &self, nb::handle mapping) { self.map_.assign(read_var_map(mapping)); },
            nb::arg("var_map").none(), "Replace the content with a dict of names to numbers")
        .def(
            "set_var_families",
            [](Mapping &self, nb::handle families, nb::handle other) {
                self.map_.assign(read_var_families(families, other));
            },
            nb::arg("families").none(), nb::arg("other_map").none(),
            "Replace the content with families given by shape, (name, first number, sizes): "
            "element k (row-major) is name[i,j,...] with number first + k; then the entries of "
            "the dict other_map. The same content as set_var_map with the whole dict, in the "
            "same order")
        .def(
            "build_inverse_map", [](Mapping &self) { self.map_.build_inverse(); },
            "Index the names by number (look-ups by number also do it when needed)")
        .def(
            "get_var",
            [](const Mapping &self, const std::string &name) {
                int64_t n;
                if (!self.map_.number(name, &n)) throw nb::key_error(name.c_str());
                return n;
            },
            nb::arg("name"), "The number of a name")
        .def(
            "get_name",
            [](Mapping &self, nb::handle number) {
                std::string name;
                if (!self.map_.name(int64_arg(number, kGetNameNumber), &name)) {
                    PyErr_SetObject(PyExc_KeyError, number.ptr());
                    throw nb::python_error();
                }
                return py_str(name);
            },
            nb::arg("number").none(), "The (first) name of a number")
        .def("size", [](const Mapping &self) { return self.map_.size(); })
        .def("__len__", [](const Mapping &self) { return self.map_.size(); })
        .def("__contains__",
             [](const Mapping &self, nb::handle name) {
                 if (!PyUnicode_Check(name.ptr())) return false;
                 Py_ssize_t size;
                 const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
                 if (utf8 == nullptr) {  // a lone surrogate: no name can be it
                     clear_only(PyExc_UnicodeEncodeError);
                     return false;
                 }
                 int64_t n;
                 return self.map_.number(std::string_view(utf8, static_cast<std::size_t>(size)),
                                         &n);
             })
        .def(
            "get_var_map",
            [](const Mapping &self) {
                nb::dict d;
                self.map_.table()->for_each([&](std::string_view name, int64_t n) {
                    nb::object number = nb::steal(PyLong_FromLongLong(n));
                    if (!number.is_valid() ||
                        PyDict_SetItem(d.ptr(), py_str(name).ptr(), number.ptr()) != 0)
                        throw nb::python_error();
                });
                return d;
            },
            "A new dict of the content")
        .def("__repr__",
             [](const Mapping &self) { return format_message(kReprFormat, self.map_.size()); });
}
}  // namespace se
