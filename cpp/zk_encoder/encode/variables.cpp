// zk_encoder.encode.variables: modelling-side index symbols and variable families.
//
// An index symbol only writes text; a family writes variable references into formula texts,
// lists its element names with their clause-variable numbers, and numbers one element when a
// generated instantiation text calls it with integer index values.
#include "zk_encoder/encode/variables.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/family_shapes.hpp"
#include "common/format.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"
#include "texts/decimal.hpp"
#include "texts/index_text.hpp"
#include "texts/names.hpp"

namespace zk::encode {

namespace {

constexpr const char *kPlus = " + ";
constexpr const char *kMinus = " - ";
constexpr const char *kSizeNotInteger =
    "Variable family '{}': the size of dimension '{}' must be an integer";
constexpr const char *kShiftNotInteger =
    "Variable family '{}': the first number must be an integer";
constexpr const char *kSizeTooLarge =
    "Variable family '{}': the size of dimension '{}' does not fit in 64 bits";
constexpr const char *kShiftTooLarge =
    "Variable family '{}': the first number does not fit in 64 bits";
constexpr const char *kCountTooLarge =
    "Variable family '{}': the numbers of its elements do not fit in 64 bits";
constexpr const char *kOutOfRange =
    "Variable family '{}': index value {} at position {} is outside 0 .. {}";

// Objects the module binds while it loads, read by the operations.
struct ModuleRefs {
    nb::object variable_proxy_;
    nb::object sequence_abc_;
    nb::object deepcopy_;
};
ModuleRefs *g_refs = nullptr;

using zk::format_message;
using zk::format_plain_utf8;

// ---------------------------------------------------------------------------------------------
// Index texts (texts/index_text.hpp): one operation on a plain symbol or an integer gives the
// plain text, chains keep their meaning when the for-all value is substituted.

nb::object make_index(nb::handle cls, nb::handle name, const std::string &expression) {
    return cls(name, nb::str(expression.data(), expression.size()));
}

nb::object index_add(nb::handle self_obj, nb::handle shift, const char *op) {
    Index &self = nb::cast<Index &>(self_obj);
    return make_index(
        self_obj.type(), self.name_,
        texts::index_shift_text(format_plain_utf8(self.expression_), op, format_plain_utf8(shift)));
}

nb::object index_rmul(nb::handle self_obj, nb::handle shift) {
    Index &self = nb::cast<Index &>(self_obj);
    return make_index(
        self_obj.type(), self.name_,
        texts::index_scale_text(format_plain_utf8(shift), format_plain_utf8(self.expression_)));
}

// ---------------------------------------------------------------------------------------------
// Variable families.

// The family is read into a local one and moved into place only once every check has passed: a
// refused call constructs nothing, so it keeps neither members nor references to its arguments.
void init_family(VariableFamily *self, nb::object name, nb::object indexes, nb::object st_shift) {
    VariableFamily family;
    VariableFamily *f = &family;
    f->name_ = name;
    f->indexes_ = indexes;
    f->name_text_ = nb::cast<std::string>(nb::str(name));
    if (!PyLong_Check(st_shift.ptr()))
        raise_plain(PyExc_TypeError, format_message(kShiftNotInteger, f->name_text_));
    if (!int64_of(st_shift, f->st_shift_))
        raise_plain(PyExc_OverflowError, format_message(kShiftTooLarge, f->name_text_));
    for (nb::handle item : indexes.attr("items")()) {
        nb::object key = item[0], size = item[1];
        if (!PyLong_Check(size.ptr()))
            raise_plain(PyExc_TypeError, format_message(kSizeNotInteger, f->name_text_,
                                                        nb::cast<std::string>(nb::str(key))));
        int64_t n = 0;
        if (!int64_of(size, n))
            raise_plain(PyExc_OverflowError, format_message(kSizeTooLarge, f->name_text_,
                                                            nb::cast<std::string>(nb::str(key))));
        f->sizes_.push_back(n);
    }
    // Row-major: the stride of a dimension is the product of the sizes of all later ones. Strides
    // only matter while every size is positive; past 64 bits no index could reach them anyway.
    f->strides_.assign(f->sizes_.size(), 1);
    int64_t running = 1;
    for (size_t d = f->sizes_.size(); d-- > 0;) {
        f->strides_[d] = running;
        if (__builtin_mul_overflow(running, f->sizes_[d], &running))
            raise_plain(PyExc_OverflowError, format_message(kCountTooLarge, f->name_text_));
    }
    int64_t last = 0;
    if (running > 0 && __builtin_add_overflow(f->st_shift_, running - 1, &last))
        raise_plain(PyExc_OverflowError, format_message(kCountTooLarge, f->name_text_));
    new (self) VariableFamily(std::move(family));
}

// The element number of `items` as a new reference, or nullptr with the error set. Called once
// per model-variable literal of every instance, so it stays off nanobind's generic dispatch.
PyObject *family_number(const VariableFamily &f, PyObject *items) {
    size_t count = static_cast<size_t>(PyTuple_GET_SIZE(items));
    if (count != f.strides_.size()) {
        PyErr_SetNone(PyExc_TypeError);
        return nullptr;
    }
    int64_t values[16];
    std::vector<int64_t> heap;
    int64_t *vals = values;
    if (count > 16) {
        heap.resize(count);
        vals = heap.data();
    }
    size_t overflow_at = count;
    for (size_t d = 0; d < count; ++d) {
        PyObject *item = PyTuple_GET_ITEM(items, d);
        if (!PyLong_Check(item)) {
            PyErr_SetNone(PyExc_TypeError);
            return nullptr;
        }
        int64_t v = 0;
        const bool fits = int64_of(item, v);
        if (!fits && overflow_at == count) overflow_at = d;
        vals[d] = fits ? v : -1;
    }
    int64_t number = 0;
    size_t bad = 0;
    if (f.element_number(vals, count, number, bad) == ElementFault::kOk)
        return PyLong_FromLongLong(number);
    if (overflow_at < bad) bad = overflow_at;
    PyObject *text = PyObject_Str(PyTuple_GET_ITEM(items, bad));
    if (!text) return nullptr;
    const char *value = PyUnicode_AsUTF8(text);
    if (!value) {
        Py_DECREF(text);
        return nullptr;
    }
    const std::string msg =
        format_message(kOutOfRange, f.name_text_, value, bad, f.sizes_[bad] - 1);
    Py_DECREF(text);
    PyErr_SetString(PyExc_IndexError, msg.c_str());
    return nullptr;
}

PyObject *family_tp_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetNone(PyExc_TypeError);
        return nullptr;
    }
    return family_number(*nb::inst_ptr<VariableFamily>(self), args);
}

PyType_Slot kFamilySlots[] = {
    {Py_tp_call, reinterpret_cast<void *>(&family_tp_call)},
    {0, nullptr},
};

// Every element of a large family gets a key here once, when the model's container is made.
nb::dict family_map(const VariableFamily &f) {
    size_t n = f.sizes_.size();
    int64_t total = 1;
    for (int64_t s : f.sizes_) {
        if (s <= 0) return nb::dict();
        total *= s;
    }
    nb::dict out = check<nb::dict>(py_private::new_presized_dict(static_cast<Py_ssize_t>(total)));
    std::vector<int64_t> idx(n, 0);
    std::string key = f.name_text_;
    key += texts::kKeyOpen;
    const size_t head = key.size();
    // Where the text of dimension d starts in `key`; only dimensions that changed are rewritten.
    std::vector<size_t> start(n + 1, head);
    size_t from = 0;
    int64_t number = f.st_shift_;
    while (true) {
        key.resize(start[from]);
        for (size_t d = from; d < n; ++d) {
            start[d] = key.size();
            if (d) key += texts::kItemSeparator;
            texts::append_decimal(key, idx[d]);
        }
        key += texts::kKeyClose;
        PyObject *k = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
        PyObject *v = k ? PyLong_FromLongLong(number) : nullptr;
        int rc = v ? PyDict_SetItem(out.ptr(), k, v) : -1;
        Py_XDECREF(k);
        Py_XDECREF(v);
        if (rc != 0) throw nb::python_error();
        ++number;
        if (n == 0) return out;
        // Advance the last dimension fastest.
        size_t d = n;
        while (true) {
            --d;
            if (++idx[d] < f.sizes_[d]) break;
            idx[d] = 0;
            if (d == 0) return out;
        }
        from = d;
    }
}

// A deep copy of a dimension dictionary. The formula layer copies every family for every queued
// record; a plain dictionary of texts to integers (what the model passes) holds nothing mutable
// below its first level, so a copy of that level is already a deep one.
nb::object copied_indexes(nb::handle indexes) {
    if (PyDict_CheckExact(indexes.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool flat = true;
        while (flat && PyDict_Next(indexes.ptr(), &pos, &key, &value))
            flat = PyUnicode_CheckExact(key) && PyLong_CheckExact(value);
        if (flat) return nb::steal(PyDict_Copy(indexes.ptr()));
    }
    return g_refs->deepcopy_(indexes);
}

nb::object family_getitem(const VariableFamily &f, nb::handle items) {
    std::vector<std::string> texts_of_items;
    if (check(PyObject_IsInstance(items.ptr(), g_refs->sequence_abc_.ptr())) == 1) {
        for (nb::handle member : items)
            texts_of_items.push_back(nb::cast<std::string>(nb::str(member)));
    } else {
        texts_of_items.push_back(format_plain_utf8(items));
    }
    std::string text;
    texts::append_element_reference(text, f.name_text_, texts_of_items);
    return g_refs->variable_proxy_(nb::str(text.data(), text.size()));
}

// What the modules below this layer read of a family (common/family_shapes.hpp).
FamilyView published_view(PyObject *family) {
    nb::handle type = nb::type<VariableFamily>();
    if (!type.is_valid() || (PyObject *)Py_TYPE(family) != type.ptr() || !nb::inst_ready(family))
        return {};
    const VariableFamily *f = nb::inst_ptr<VariableFamily>(family);
    return {f, &f->name_text_};
}

constexpr FamilyShapes kPublishedShapes{&published_view};

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    zk::init_module();

    nb::module_ expressions = nb::module_::import_("zk_encoder.encode.expressions");
    m.attr("VariableProxy") = expressions.attr("VariableProxy");
    zk::import_logger(m);

    g_refs =
        new ModuleRefs{m.attr("VariableProxy"), nb::module_::import_("typing").attr("Sequence"),
                       nb::module_::import_("copy").attr("deepcopy")};

    nb::class_<Index>(m, "Index")
        .def(
            "__init__",
            [](Index *self, nb::object name, nb::object expression) {
                new (self) Index{name, expression.is_none() ? name : expression};
            },
            nb::arg("name"), nb::arg("expression").none() = nb::none())
        .def(
            "__add__",
            [](nb::handle self, nb::handle shift) { return index_add(self, shift, kPlus); },
            nb::arg("shift").none())
        .def(
            "__sub__",
            [](nb::handle self, nb::handle shift) { return index_add(self, shift, kMinus); },
            nb::arg("shift").none())
        .def(
            "__rmul__", [](nb::handle self, nb::handle shift) { return index_rmul(self, shift); },
            nb::arg("shift").none())
        .def("__str__", [](const Index &self) { return self.expression_; })
        .def_prop_ro("name", [](const Index &self) { return self.name_; })
        .def_prop_ro("expression", [](const Index &self) { return self.expression_; });

    nb::class_<VariableFamily>(m, "Variable", nb::type_slots(kFamilySlots))
        .def("__init__", &init_family, nb::arg("name"), nb::arg("indexes"), nb::arg("st_shift"))
        .def("__getitem__", &family_getitem, nb::arg("items").none())
        .def_prop_ro("map", &family_map)
        .def("copy",
             [](nb::handle self) {
                 const VariableFamily &f = nb::cast<const VariableFamily &>(self);
                 return self.type()(f.name_, copied_indexes(f.indexes_), nb::int_(f.st_shift_));
             })
        .def_prop_ro("name", [](const VariableFamily &f) { return f.name_; })
        .def_prop_ro("indexes", [](const VariableFamily &f) { return f.indexes_; })
        .def_prop_ro("st_shift", [](const VariableFamily &f) { return f.st_shift_; })
        .def_prop_ro("shifts", [](const VariableFamily &f) {
            nb::list out;
            for (int64_t s : f.strides_) out.append(s);
            return out;
        });
    m.attr(kFamilyShapesAttr) = nb::capsule(&kPublishedShapes, kFamilyShapesCapsule);
}

}  // namespace zk::encode

ZK_MODULE(variables, m) { zk::encode::bind_module(m); }
