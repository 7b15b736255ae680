// zk_encoder.linear_parser.linear_variables: index placeholders and blocks of solver columns for
// the first linear generation.
//
// Subscripting a block writes a reference text ("x(i,j + 1)"); the model evaluates such texts
// with the block bound to its name, and the call of the block with integers gives the unit
// expression of one element's global solver column.
#include "zk_encoder/linear_parser/linear_variables.hpp"

#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"
#include "texts/decimal.hpp"
#include "texts/index_text.hpp"
#include "texts/names.hpp"
#include "zk_encoder/linear_parser/linear_expression.hpp"

namespace zk::lp1 {

namespace {

constexpr const char *kPlus = " + ";
constexpr const char *kMinus = " - ";
constexpr const char *kNotIterable = "'LinearVariable' object is not iterable";
constexpr const char *kItemNotInteger = "Linear variable {}: index {} must be an integer";
constexpr const char *kItemOutOfRange =
    "Linear variable {}: index {} is outside dimension '{}' of size {}";
constexpr const char *kSizeNotInteger =
    "Linear variable {}: the size of dimension '{}' must be an integer";
constexpr const char *kSizeTooLarge =
    "Linear variable {}: the size of dimension '{}' does not fit in 64 bits";
constexpr const char *kColumnsTooLarge = "Linear variable {}: its columns do not fit in 64 bits";
constexpr const char *kShiftNotInteger = "Linear variable {}: the first column must be an integer";
constexpr const char *kProxyClassName = "LinearVariableProxy";

ModuleGlobals g_module;
PyObject *g_sequence_abc = nullptr;
PyObject *g_proxy_class = nullptr;
// The module's namespace and the name of the class a reference is made of, looked up at every
// reference.
PyObject *g_namespace = nullptr;
PyObject *g_proxy_name = nullptr;
PyObject *g_getitem_name = nullptr;

nb::object proxy_class_now() {
    if (PyObject *cls = PyDict_GetItem(g_namespace, g_proxy_name)) return nb::borrow(cls);
    return g_module.get(kProxyClassName);
}

std::string text_of(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

std::string format_text(nb::handle obj) { return zk::format_plain_utf8(obj); }

// The value of an integer-like object when it fits in 64 bits; false when it does not.
// Anything that is not an integer raises TypeError with `not_integer`.
bool index_value(nb::handle obj, int64_t &out, const std::string &not_integer) {
    try {
        return index_int64_of(obj, out);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
    raise_plain(PyExc_TypeError, not_integer);
}

// ---------------------------------------------------------------------------------------------
// Index

nb::object index_shift(nb::handle self_obj, nb::handle shift, const char *op) {
    const Index &self = nb::cast<const Index &>(self_obj);
    std::string text =
        texts::index_shift_text(format_text(self.expression_), op, format_text(shift));
    return self_obj.type()(self.name_, nb::str(text.data(), text.size()));
}

nb::object index_scale(nb::handle self_obj, nb::handle shift) {
    const Index &self = nb::cast<const Index &>(self_obj);
    std::string text = texts::index_scale_text(format_text(shift), format_text(self.expression_));
    return self_obj.type()(self.name_, nb::str(text.data(), text.size()));
}

// ---------------------------------------------------------------------------------------------
// LinearVariable

void init_variable(LinearVariable *v, nb::object name, nb::object lo, nb::object hi,
                   nb::object indexes, nb::object st_shift, nb::object type_var) {
    LinearVariable block;
    block.name_ = name;
    block.lo_ = lo;
    block.hi_ = hi;
    block.indexes_ = indexes;
    block.st_shift_ = st_shift;
    block.type_ = type_var;
    block.name_text_ = text_of(name);
    if (!index_value(st_shift, block.first_, format_message(kShiftNotInteger, block.name_text_)))
        raise_plain(PyExc_OverflowError, format_message(kColumnsTooLarge, block.name_text_));
    for (nb::handle item : indexes.attr("items")()) {
        nb::object key = item[0], size = item[1];
        std::string key_text = text_of(key);
        int64_t n = 0;
        if (!index_value(size, n, format_message(kSizeNotInteger, block.name_text_, key_text)))
            raise_plain(PyExc_OverflowError,
                        format_message(kSizeTooLarge, block.name_text_, key_text));
        block.dim_names_.push_back(key_text);
        block.sizes_.push_back(n);
    }
    // Stride of dimension k: the product of the sizes before it, so the first runs fastest.
    int64_t running = 1;
    for (int64_t size : block.sizes_) {
        block.strides_.push_back(running);
        if (__builtin_mul_overflow(running, size < 0 ? 0 : size, &running))
            raise_plain(PyExc_OverflowError, format_message(kColumnsTooLarge, block.name_text_));
    }
    int64_t last = 0;
    if (__builtin_add_overflow(block.first_, running, &last))
        raise_plain(PyExc_OverflowError, format_message(kColumnsTooLarge, block.name_text_));
    new (v) LinearVariable(std::move(block));
}

// One item per dimension: a surplus item would be dropped and a missing one taken as 0, so the
// reference would name another element than the one written.
void check_arity(const LinearVariable &v, const std::string &reference, std::size_t items) {
    if (items != v.sizes_.size()) {
        const std::string msg =
            texts::arity_message(v.name_text_, v.sizes_.size(), reference, items);
        zk::raise_logged(PyExc_IndexError, nb::str(msg.data(), msg.size()));
    }
}

// The set of blocks a reference to `v` names: `v` alone.
const BlockRefsPtr &block_refs(const LinearVariable &v) {
    if (!v.refs_) {
        auto refs = std::make_shared<BlockRefs>();
        PyObject *key = PyUnicode_FromString(v.name_text_.c_str());
        if (!key) throw nb::python_error();
        PyUnicode_InternInPlace(&key);
        refs->ids_.push_back(std::make_shared<const BlockId>(
            BlockId{v.name_text_, nb::steal(key), v.first_, v.sizes_, v.strides_}));
        v.refs_ = std::move(refs);
    }
    return v.refs_;
}

// Where the texts of a subscript's members are decimal literals naming an element of the block
// (as the evaluation reads them: digits, no leading zero, inside each dimension), its column,
// which the reference then evaluates to whatever model evaluates it; else -1.
class ColumnReader {
  public:
    explicit ColumnReader(const LinearVariable &v) : v_(v), column_(v.first_) {}
    void member(std::string_view text) {
        const std::size_t d = read_++;
        if (column_ < 0 || d >= v_.sizes_.size()) {
            column_ = -1;
            return;
        }
        std::int64_t value = 0;
        const bool digits = !text.empty() && text[0] >= '0' && text[0] <= '9' &&
                            (text[0] != '0' || text.size() == 1);
        if (!digits || !texts::read_decimal(text, value) || value >= v_.sizes_[d] ||
            __builtin_add_overflow(column_, value * v_.strides_[d], &column_))
            column_ = -1;
    }
    // The column, within the extent the native form holds exactly.
    std::int64_t column() const {
        if (read_ != v_.sizes_.size() || column_ >= std::numeric_limits<std::int32_t>::max())
            return -1;
        return column_;
    }

  private:
    const LinearVariable &v_;
    std::int64_t column_;
    std::size_t read_ = 0;
};

// A subscript member's text: str(member), or format(member, '') for a lone one; the decimal of
// a plain int written without the host's calls (they are most of the cost of a reference).
std::string member_text(nb::handle member, bool lone) {
    if (PyLong_CheckExact(member.ptr())) {
        std::int64_t value = 0;
        if (int64_of(member, value)) return texts::decimal(value);
    }
    return lone ? format_text(member) : text_of(member);
}

// A subscript of plain ints within 64 bits, one per dimension (by far the most common): its
// column read from the values as ColumnReader would read their texts (-1 where they name no
// element of the block, or none the native form holds), and the values themselves when `values`
// is given; false for any other subscript.
bool int_subscript(const LinearVariable &v, nb::handle items, std::int64_t &column,
                   std::vector<std::int64_t> *values = nullptr) {
    PyObject *t = items.ptr();
    PyObject *const *members = &t;
    std::size_t count = 1;
    if (PyTuple_CheckExact(t)) {
        members = &PyTuple_GET_ITEM(t, 0);
        count = static_cast<std::size_t>(PyTuple_GET_SIZE(t));
    } else if (!PyLong_CheckExact(t)) {
        return false;
    }
    if (count != v.sizes_.size()) return false;
    column = v.first_;
    for (std::size_t d = 0; d < count; ++d) {
        std::int64_t value = 0;
        if (!PyLong_CheckExact(members[d]) || !int64_of(members[d], value)) return false;
        if (values) values->push_back(value);
        if (column < 0 || value < 0 || value >= v.sizes_[d] ||
            __builtin_add_overflow(column, value * v.strides_[d], &column))
            column = -1;
    }
    if (column >= std::numeric_limits<std::int32_t>::max()) column = -1;
    return true;
}

nb::object variable_getitem(const LinearVariable &v, nb::handle items) {
    std::int64_t column = -1;
    const bool ints = int_subscript(v, items, column);
    // A reference to an element, made of the module's own class, writes its text when read.
    if (ints && column >= 0 && proxy_class_now().ptr() == g_proxy_class) {
        LinearVariableProxy made(nb::object(), block_refs(v));
        made.native_.column_ = static_cast<std::int32_t>(column);
        made.pending_ = Pending::kElement;
        nb::object proxy = nb::cast(std::move(made));
        untrack_if_acyclic(proxy, *nb::inst_ptr<LinearExpression>(proxy));
        return proxy;
    }
    std::string text;
    if (ints) {
        std::vector<std::int64_t> values;
        int_subscript(v, items, column, &values);
        texts::append_element_reference(text, v.name_text_, values.data(), values.size());
    } else {
        ColumnReader columns(v);
        text = v.name_text_ + texts::kReferenceOpen;
        // The host's tuple and list are sequences whatever is registered; the test through the
        // abstract class costs more than the rest of the call.
        int r = PyTuple_CheckExact(items.ptr()) || PyList_CheckExact(items.ptr()) ? 1
                : PyLong_CheckExact(items.ptr()) ? 0
                                                 : PyObject_IsInstance(items.ptr(), g_sequence_abc);
        if (r < 0) throw nb::python_error();
        std::size_t count = 1;
        if (r == 1) {
            bool first = true;
            count = 0;
            for (nb::handle member : items) {
                if (!first) text += texts::kItemSeparator;
                first = false;
                std::string written = member_text(member, false);
                columns.member(written);
                text += written;
                ++count;
            }
        } else {
            std::string written = member_text(items, true);
            columns.member(written);
            text += written;
        }
        text += texts::kReferenceClose;
        check_arity(v, text, count);
        column = columns.column();
    }
    nb::str reference(text.data(), text.size());
    nb::object proxy_class = proxy_class_now();
    // The module's own class is made directly; a class put in its place is called.
    if (proxy_class.ptr() == g_proxy_class) {
        LinearVariableProxy made(reference, block_refs(v));
        made.native_.column_ = static_cast<std::int32_t>(column);
        nb::object proxy = nb::cast(std::move(made));
        untrack_if_acyclic(proxy, *nb::inst_ptr<LinearExpression>(proxy), reference.ptr());
        return proxy;
    }
    nb::object proxy = proxy_class(reference);
    if (nb::inst_check(proxy) && nb::isinstance<LinearExpression>(proxy))
        nb::inst_ptr<LinearExpression>(proxy)->blocks_ = block_refs(v);
    return proxy;
}

// The global column of the element `items`, one per dimension: every item must lie inside its
// dimension, or the column would belong to another block.
int64_t element_column(const LinearVariable &v, nb::handle items) {
    int64_t column = v.first_;
    for (size_t d = 0; d < v.sizes_.size(); ++d) {
        nb::handle item = PyTuple_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(d));
        nb::object index = plain_integer(item);
        if (!index.is_valid())
            zk::raise_logged(PyExc_TypeError,
                             format_message_str(kItemNotInteger, v.name_text_, text_of(item)));
        int64_t value = 0;
        if (!int64_of(index, value) || value < 0 || value >= v.sizes_[d])
            zk::raise_logged(PyExc_IndexError,
                             format_message_str(kItemOutOfRange, v.name_text_, text_of(item),
                                                v.dim_names_[d], v.sizes_[d]));
        column += value * v.strides_[d];
    }
    return column;
}

// Subscripts reach the class's own __getitem__ straight from the interpreter's slot, without the
// lookup of the method and the binding library's call around it (a model makes millions of
// them). Assigning __getitem__ on the class, or defining it in a subclass, gives that class the
// interpreter's own slot back, which looks the method up as always.
PyObject *subscript_slot(PyObject *self, PyObject *items) {
    if (!nb::inst_ready(self)) {
        // An instance never initialised: the method says how it refuses that. Held for the
        // call, which may remove it from the class.
        PyObject *method = py_private::type_lookup_new(Py_TYPE(self), g_getitem_name);
        if (!method) {
            PyErr_SetObject(PyExc_AttributeError, g_getitem_name);
            return nullptr;
        }
        PyObject *r = PyObject_CallFunctionObjArgs(method, self, items, nullptr);
        Py_DECREF(method);
        return r;
    }
    try {
        return variable_getitem(*nb::inst_ptr<LinearVariable>(self), items).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

nb::object variable_call(nb::handle self, nb::args items) {
    const LinearVariable &v = nb::cast<const LinearVariable &>(self);
    const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.ptr()));
    if (count != v.sizes_.size()) {
        std::vector<std::string> item_texts;
        for (nb::handle item : items) item_texts.push_back(text_of(item));
        std::string reference;
        texts::append_element_reference(reference, v.name_text_, item_texts);
        check_arity(v, reference, count);
    }
    int64_t column = element_column(v, items);
    nb::list data, rows, cols;
    data.append(1);
    rows.append(column);
    cols.append(0);
    nb::object unit = g_module.get("coo_array")(nb::make_tuple(data, nb::make_tuple(rows, cols)));
    return g_module.get("CompiledLinearExpression")(unit);
}

// Row-major element order (last dimension fastest), each element at its own column.
nb::tuple variable_map(const LinearVariable &v) {
    size_t dims = v.sizes_.size();
    int64_t total = 1;
    for (int64_t s : v.sizes_) total = s <= 0 ? 0 : total * s;
    nb::object out = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(total)));
    if (!out.is_valid()) throw nb::python_error();
    if (total == 0) return nb::borrow<nb::tuple>(out);
    std::vector<int64_t> idx(dims, 0);
    int64_t column = v.first_;
    for (int64_t k = 0; k < total; ++k) {
        PyObject *c = PyLong_FromLongLong(column);
        if (!c) throw nb::python_error();
        PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), c);
        for (size_t d = dims; d-- > 0;) {
            if (++idx[d] < v.sizes_[d]) {
                column += v.strides_[d];
                break;
            }
            column -= (v.sizes_[d] - 1) * v.strides_[d];
            idx[d] = 0;
        }
    }
    return nb::borrow<nb::tuple>(out);
}

nb::tuple variable_shape(const LinearVariable &v) {
    nb::list sizes;
    for (int64_t s : v.sizes_) sizes.append(s);
    return nb::tuple(sizes);
}

void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    init_module();
    g_module.bind(m);

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    m.attr("tp") = nb::module_::import_("typing");
    nb::module_ itertools = nb::module_::import_("itertools");
    m.attr("accumulate") = itertools.attr("accumulate");
    m.attr("product") = itertools.attr("product");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    m.attr("coo_array") = nb::module_::import_("scipy.sparse").attr("coo_array");
    m.attr("LinearVariableProxy") =
        nb::module_::import_("zk_encoder.linear_parser.linear_expression")
            .attr("LinearVariableProxy");
    g_proxy_class = m.attr("LinearVariableProxy").inc_ref().ptr();
    g_namespace = m.attr("__dict__").inc_ref().ptr();
    g_proxy_name = interned(kProxyClassName);
    if (!g_proxy_name) throw nb::python_error();
    m.attr("CompiledLinearExpression") =
        nb::module_::import_("zk_encoder.linear_parser.compiled_linear_expressions")
            .attr("CompiledLinearExpression");
    g_sequence_abc = m.attr("tp").attr("Sequence").inc_ref().ptr();

    nb::class_<Index>(m, "Index")
        .def(
            "__init__",
            [](Index *self, nb::object name, nb::object expression) {
                new (self) Index{name, expression.is_none() ? name : expression};
            },
            "name"_a.none(), "expression"_a.none() = nb::none(),
            nb::sig("def __init__(self, name: str, expression: tp.Optional[str] = None) -> None"))
        .def(
            "__add__",
            [](nb::handle self, nb::handle shift) { return index_shift(self, shift, kPlus); },
            "shift"_a.none(), nb::sig("def __add__(self, shift: int) -> Index"))
        .def(
            "__sub__",
            [](nb::handle self, nb::handle shift) { return index_shift(self, shift, kMinus); },
            "shift"_a.none(), nb::sig("def __sub__(self, shift: int) -> Index"))
        .def(
            "__rmul__", [](nb::handle self, nb::handle shift) { return index_scale(self, shift); },
            "shift"_a.none(), nb::sig("def __rmul__(self, shift: int) -> Index"))
        .def(
            "__str__", [](const Index &self) { return self.expression_; },
            nb::sig("def __str__(self) -> str"))
        .def_prop_ro("name", [](const Index &self) { return self.name_; })
        .def_prop_ro("expression", [](const Index &self) { return self.expression_; });

    nb::class_<LinearVariable>(m, "LinearVariable")
        .def("__init__", &init_variable, "name"_a.none(), "lo"_a.none(), "hi"_a.none(),
             "indexes"_a.none(), "st_shift"_a.none(), "type_var"_a.none(),
             nb::sig("def __init__(self, name: str, lo: int, hi: int, indexes: tp.Dict[str, int], "
                     "st_shift: int, type_var) -> None"))
        .def("__getitem__", &variable_getitem, "items"_a.none(),
             nb::sig("def __getitem__(self, items)"))
        .def("__call__", &variable_call, "items"_a,
             nb::sig("def __call__(self, *items: int) -> CompiledLinearExpression"))
        // A block has no length and its subscript never runs out: iterating would never end.
        .def(
            "__iter__",
            [](nb::handle) -> nb::object { raise_plain(PyExc_TypeError, kNotIterable); },
            nb::sig("def __iter__(self)"))
        .def_prop_ro(
            "lo", [](const LinearVariable &v) { return v.lo_; },
            nb::for_getter(nb::sig("def lo(self) -> int")))
        .def_prop_ro(
            "hi", [](const LinearVariable &v) { return v.hi_; },
            nb::for_getter(nb::sig("def hi(self) -> int")))
        .def_prop_ro("map", &variable_map,
                     nb::for_getter(nb::sig("def map(self) -> tp.Sequence[int]")))
        .def_prop_ro("shape", &variable_shape,
                     nb::for_getter(nb::sig("def shape(self) -> tp.Sequence[int]")))
        .def_prop_ro(
            "type", [](const LinearVariable &v) { return v.type_; },
            nb::for_getter(nb::sig("def type(self)")))
        .def_prop_ro("_name", [](const LinearVariable &v) { return v.name_; })
        .def_prop_ro("_lo", [](const LinearVariable &v) { return v.lo_; })
        .def_prop_ro("_hi", [](const LinearVariable &v) { return v.hi_; })
        .def_prop_ro("_indexes", [](const LinearVariable &v) { return v.indexes_; })
        .def_prop_ro("_st_shift", [](const LinearVariable &v) { return v.st_shift_; })
        .def_prop_ro("_shifts",
                     [](const LinearVariable &v) {
                         nb::list out;
                         for (int64_t s : v.strides_) out.append(s);
                         return out;
                     })
        .def_prop_ro("_type", [](const LinearVariable &v) { return v.type_; });
    g_getitem_name = interned("__getitem__");
    PyTypeObject *variable = reinterpret_cast<PyTypeObject *>(m.attr("LinearVariable").ptr());
    variable->tp_as_mapping->mp_subscript = subscript_slot;
    PyType_Modified(variable);
}

}  // namespace

}  // namespace zk::lp1

ZK_MODULE(linear_variables, m) { zk::lp1::bind_module(m); }
