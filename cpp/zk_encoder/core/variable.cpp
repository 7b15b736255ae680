// zk_encoder.core.variable: the objects through which an evaluated formula text names the elements
// of a model's variable families: one callable generator per family, and the element it returns,
// seen as an engine Boolean variable and as a pseudo-Boolean term.
#include "zk_encoder/core/variable.hpp"

#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/integers.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "texts/names.hpp"
#include "zk_encoder/core/manager.hpp"

namespace zk::core {

namespace {

constexpr const char *kEngineModule = "nubrix.sorn_engine.bxpr";
// Element names are element references (texts/names.hpp) of the items' text forms.
constexpr const char *kElementFormat = "%U%s%U%s";
// The host's own wordings, for failures that plain module code would meet.
constexpr const char *kUnexpectedKeyword =
    "GeneratorVariable.__call__() got an unexpected keyword argument '%S'";
constexpr const char *kNotEnoughValues = "not enough values to unpack (expected 2, got %zd)";
constexpr const char *kTooManyValues = "too many values to unpack (expected 2)";
// An element that the family does not have.
constexpr const char *kArityMsg = "Variable {} has {} dimension(s), but {} names {}";
constexpr const char *kNotIntegerMsg = "Index {} of {} is neither an integer nor an index symbol";
constexpr const char *kOutsideMsg =
    "Index value {} of {} is outside the family: dimension {} has the values 0 .. {}";

ModuleGlobals g_module;
// The model's index symbols: an item that names one is numbered only when its for-all values are
// known, which the model checks.
LoadedAttr g_index_symbol("zk_encoder.encode.variables", "Index");

struct Variable {
    nb::object bx_var_;
    nb::object pb_var_;
    nb::object name_;
};

// A plain record; kept for programs that name index ranges, the package itself does not use it.
struct Index {
    nb::object name_;
    nb::object range_start_;
    nb::object range_end_;
    nb::object range_step_;
};

using GeneratorGc =
    GcSlots<GeneratorVariable, &GeneratorVariable::name_, &GeneratorVariable::manager_>;
using VariableGc = GcSlots<Variable, &Variable::bx_var_, &Variable::pb_var_, &Variable::name_>;
using IndexGc =
    GcSlots<Index, &Index::name_, &Index::range_start_, &Index::range_end_, &Index::range_step_>;

// The element name: family name, "(", the items' text forms joined by ",", ")". It is also the
// text by which the engine prints the variable back, which the clause templates evaluate again.
nb::object element_name(const GeneratorVariable &g, const nb::args &items) {
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    nb::object item_texts = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(item_texts.ptr(), i,
                        check(PyObject_Str(PyTuple_GET_ITEM(items.ptr(), i))).release().ptr());
    nb::object sep = check(PyUnicode_FromString(texts::kItemSeparator));
    nb::object joined = check(PyUnicode_Join(sep.ptr(), item_texts.ptr()));
    nb::object family = check(PyObject_Str(g.name_.ptr()));
    return check(PyUnicode_FromFormat(kElementFormat, family.ptr(), texts::kReferenceOpen,
                                      joined.ptr(), texts::kReferenceClose));
}

// Refuses, with an IndexError or TypeError that names the element, items that cannot number an
// element of a family of `g.shape`: a generated comprehension over a range far past the family
// then stops at its first value outside, instead of naming elements without end.
void check_items(const GeneratorVariable &g, const nb::args &items, const nb::object &name) {
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (static_cast<size_t>(n) != g.shape_.size()) {
        nb::object family = check(PyObject_Str(g.name_.ptr()));
        raise_logged(PyExc_IndexError,
                     format_message_str(kArityMsg, family, g.shape_.size(), name, n));
    }
    for (Py_ssize_t d = 0; d < n; ++d) {
        PyObject *item = PyTuple_GET_ITEM(items.ptr(), d);
        if (!PyLong_Check(item)) {
            if (is_instance(item, g_index_symbol.get())) continue;
            raise_logged(PyExc_TypeError,
                         format_message_str(kNotIntegerMsg, nb::repr(nb::handle(item)), name));
        }
        int64_t v = 0;
        const bool fits = int64_of(item, v);
        const long long size = static_cast<long long>(g.shape_[static_cast<size_t>(d)]);
        if (!fits || v < 0 || v >= size)
            raise_logged(
                PyExc_IndexError,
                format_message_str(kOutsideMsg, nb::str(nb::handle(item)), name, d, size - 1));
    }
}

nb::object call_generator(GeneratorVariable &g, const nb::args &items, const nb::kwargs &kwargs) {
    if (PyDict_GET_SIZE(kwargs.ptr()) != 0) {
        PyObject *k = nullptr;
        Py_ssize_t pos = 0;
        PyDict_Next(kwargs.ptr(), &pos, &k, nullptr);
        PyErr_Format(PyExc_TypeError, kUnexpectedKeyword, k);
        throw nb::python_error();
    }
    nb::object name = element_name(g, items);
    if (g.has_shape_) check_items(g, items, name);
    nb::object pair;
    if (Manager *fast = exact_manager(g.manager_))
        pair = fast->add_variable(name);
    else
        pair = g.manager_.attr("add_variable")(name);
    nb::object seq = check(PySequence_Tuple(pair.ptr()));
    Py_ssize_t size = PyTuple_GET_SIZE(seq.ptr());
    if (size != 2) {
        // The host's wording for a pair that does not unpack.
        if (size > 2)
            PyErr_SetString(PyExc_ValueError, kTooManyValues);
        else
            PyErr_Format(PyExc_ValueError, kNotEnoughValues, size);
        throw nb::python_error();
    }
    nb::object var = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 0));
    nb::object num = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), 1));
    return g_module.get("Variable")(var, num, name);
}

nb::object to_pb(const Variable &v) { return g_module.get("PBVariable")(v.pb_var_, v.name_); }

// The element as a term scaled by an integer, on either side. Formula texts write the left
// operand of a product as it stands, so an element reference meets a factor bare, as in
// "x(1) * (2 ** k)": it scales as its term node would ("2 ** k * (x(1).to_pb())"). Anything but
// an integer is refused as the host refuses unsupported operands.
nb::object scaled(nb::pointer_and_handle<Variable> self, nb::handle factor, bool reflected) {
    nb::object k = plain_integer(factor);
    if (!k.is_valid()) {
        if (reflected) raise_unsupported_operands("*", factor, self.h);
        raise_unsupported_operands("*", self.h, factor);
    }
    return g_module.get("PBVariable")(self.p->pb_var_, self.p->name_, k);
}

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    zk::init_module();
    g_module.bind(m);

    m.attr("PBVariable") = nb::module_::import_("zk_encoder.core.pboperations").attr("PBVariable");
    nb::module_ bx = nb::module_::import_(kEngineModule);
    m.attr("bx") = bx;
    // Read as an annotation while the module loads: an engine without it fails the import here
    // (an accessor alone would look nothing up).
    nb::getattr(bx, "Variable");

    nb::class_<GeneratorVariable>(m, "GeneratorVariable", nb::type_slots(GeneratorGc::slots_))
        .def(
            "__init__",
            [](GeneratorVariable *self, nb::object name, nb::object manager) {
                new (self) GeneratorVariable{std::move(name), std::move(manager), false, {}};
            },
            nb::arg("name").none(), nb::arg("manager").none(),
            nb::sig("def __init__(self, name: str, manager) -> None"))
        .def("__call__", &call_generator, nb::sig("def __call__(self, *items)"))
        .def_rw("name", &GeneratorVariable::name_)
        .def_rw("manager", &GeneratorVariable::manager_);

    nb::class_<Variable>(m, "Variable", nb::type_slots(VariableGc::slots_))
        .def(
            "__init__",
            [](Variable *self, nb::object bx_var, nb::object pb_var, nb::object name) {
                new (self) Variable{std::move(bx_var), std::move(pb_var), std::move(name)};
            },
            nb::arg("bx_var").none(), nb::arg("pb_var").none(), nb::arg("name").none(),
            nb::sig("def __init__(self, bx_var: bx.Variable, pb_var: int, name: str) -> None"))
        .def(
            "to_bx", [](const Variable &v) { return v.bx_var_; }, nb::sig("def to_bx(self)"))
        .def("to_pb", &to_pb, nb::sig("def to_pb(self)"))
        .def(
            "__mul__",
            [](nb::pointer_and_handle<Variable> self, nb::handle other) {
                return scaled(self, other, false);
            },
            nb::arg("other").none(), nb::sig("def __mul__(self, other)"))
        .def(
            "__rmul__",
            [](nb::pointer_and_handle<Variable> self, nb::handle other) {
                return scaled(self, other, true);
            },
            nb::arg("other").none(), nb::sig("def __rmul__(self, other)"))
        .def_rw("bx_var", &Variable::bx_var_)
        .def_rw("pb_var", &Variable::pb_var_)
        .def_rw("name", &Variable::name_);

    nb::class_<Index>(m, "Index", nb::type_slots(IndexGc::slots_))
        .def(
            "__init__",
            [](Index *self, nb::object name, nb::object start, nb::object end, nb::object step) {
                new (self)
                    Index{std::move(name), std::move(start), std::move(end), std::move(step)};
            },
            nb::arg("name").none(), nb::arg("range_start").none(), nb::arg("range_end").none(),
            nb::arg("range_step").none() = 1,
            nb::sig("def __init__(self, name, range_start, range_end, range_step=1)"))
        .def_rw("name", &Index::name_)
        .def_rw("range_start", &Index::range_start_)
        .def_rw("range_end", &Index::range_end_)
        .def_rw("range_step", &Index::range_step_);
}

}  // namespace zk::core

ZK_MODULE(variable, m) { zk::core::bind_module(m); }
