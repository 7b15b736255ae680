// zk_encoder.linear_parser2.variable: the variable array of the second linear generation and its
// array-style indexing, which turns a selection of elements into numeric rows at once.
//
// Every row spans all second-generation columns of the process (the class counter), so rows of
// arrays made at different times only combine while no array was created in between.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/arrays.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "zk_encoder/linear_parser2/_expression.hpp"

namespace zk::lp2 {

namespace nb = nanobind;

namespace {

using namespace nb::literals;

constexpr const char *kClassDoc = "Multidimensional array of task variables";
constexpr const char *kDebugVariable = "DEBUG_SOLVER_MODE";
constexpr const char *kCounter = "_total_created_variables";
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

constexpr const char *kOneIndexMsg = "Variable can only have one index";
constexpr const char *kNotValid = "{} is not a valid index";
constexpr const char *kDimension =
    "The dimension of the variable is {}, but {} dimensions are obtained.";
constexpr const char *kUndefined = "Undefined type {} for indexing";
constexpr const char *kMultiindex = "Unsupported index type for multiindex: {}";
constexpr const char *kNotIterableMsg = "'VariableArray' object is not iterable";

ModuleGlobals g_module;

// The index dtype the sparse library gives the row of one element (its column a host int), read
// from such a row when the module loads.
linear::IndexType g_unit_index = linear::IndexType::kInt64;

linear::IndexType unit_index() {
    nb::object probe = g_module.get("csr_array")(
        nb::make_tuple(nb::make_tuple(1), nb::make_tuple(nb::make_tuple(0))),
        "shape"_a = nb::make_tuple(1));
    nb::object int32 = g_module.get("np").attr("int32");
    return zk::compare(probe.attr("indices").attr("dtype"), int32, Py_EQ)
               ? linear::IndexType::kInt32
               : linear::IndexType::kInt64;
}

// What an element reference needs of an array, read at its first one: the fields it comes from
// never change after construction (a shape given as a list could, and is read at each call).
struct ElementFacts {
    bool ready_ = false;
    bool plain_ = false;  // float64 or int32 elements with a shift of 64 bits: plain rows
    bool is_float_ = false;
    int64_t count_ = 0, shift_ = 0;
};

struct VariableArray {
    nb::object name_;
    nb::object shape_;
    nb::object count_elems_;
    nb::object lower_bound_;
    nb::object type_;
    nb::object upper_bound_;
    nb::object shift_;
    ElementFacts facts_;
    // A weak reference to the origin its rows share while any of them lives (a strong one would
    // keep the array alive through its own rows), or invalid (None once the collector cleared it).
    nb::object origin_;
};

std::string text_of(nb::handle obj) { return zk::format_plain_utf8(obj); }

bool debug_on() { return zk::truth(g_module.get("DEBUG")); }

[[noreturn]] void refuse_value(nb::handle item) {
    g_module.raise_logged(PyExc_IndexError, format_message(kNotValid, text_of(item)));
}

// The origin of the rows of `va` (the array `self`): the one its living rows share, or a new one.
OriginPtr shared_origin(nb::handle self, VariableArray &va) {
    if (va.origin_.is_valid() && PyWeakref_CheckRef(va.origin_.ptr())) {
        PyObject *alive = PyWeakref_GetObject(va.origin_.ptr());  // borrowed
        if (alive != Py_None) return OriginPtr(nb::borrow(alive));
    }
    OriginPtr o = origin_of_array(self);
    va.origin_ = zk::check(PyWeakref_NewRef(o.object().ptr(), nullptr));
    return o;
}

// The row of one element: the value 1 of the element type at column `col` of a row of `length`,
// kept as a plain row (made into the csr_array the sparse library gives when read).
nb::object unit_expression(nb::handle self, VariableArray &va, int32_t col, int64_t length,
                           bool is_float) {
    // Every such row starts with the same constant; a float is immutable, so one object serves.
    static const nb::handle zero = PyFloat_FromDouble(0.0);
    return new_row(LinearExpression{
        nb::borrow(zero), nb::object(), nb::none(), nb::none(), nb::none(), shared_origin(self, va),
        new_coefs(linear::unit_row(col, length, is_float, g_unit_index))});
}

// What an element reference needs of `va`, once a full reading of its shape has succeeded.
ElementFacts element_facts(const VariableArray &va, int64_t count) {
    ElementFacts f;
    f.ready_ = true;
    f.count_ = count;
    nb::object numpy = g_module.get("np");
    f.is_float_ = va.type_.is(numpy.attr("float64"));
    const bool known = f.is_float_ || va.type_.is(numpy.attr("int32"));
    f.plain_ = known && PyLong_CheckExact(va.shift_.ptr()) && int64_of(va.shift_, f.shift_);
    return f;
}

// x[i] for a host int i with the checks off, as index_integer gives it, without reading the shape
// again: the road of a program that states its rows one element at a time. Invalid where the
// full road is to be taken (which then gives the row or the refusal).
nb::object element_row(nb::handle self, nb::handle item) {
    static const nb::handle debug_key = zk::interned("DEBUG");
    static const nb::handle row_key = zk::interned("LinearExpression");
    static const nb::handle counter_key = zk::interned(kCounter);
    static auto *const array_type =
        reinterpret_cast<PyTypeObject *>(nb::type<VariableArray>().ptr());
    static const nb::handle row_type = nb::type<LinearExpression>();
    if (!PyObject_TypeCheck(self.ptr(), array_type) || !nb::inst_ready(self)) return {};
    VariableArray &va = *nb::inst_ptr<VariableArray>(self);
    const ElementFacts &f = va.facts_;
    if (!f.plain_ || zk::truth(g_module.get(debug_key))) return {};
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value >= f.count_) return {};
    if (!g_module.get(row_key).is(row_type)) return {};
    const int64_t length =
        zk::int_int64(zk::check(PyObject_GetAttr(self.ptr(), counter_key.ptr())));
    int64_t col = 0;
    if (__builtin_add_overflow(static_cast<int64_t>(value), f.shift_, &col)) return {};
    if (col < 0 || col >= length || length > kInt32Max) return {};
    return unit_expression(self, va, static_cast<int32_t>(col), length, f.is_float_);
}

// What one indexing call needs of the array, read once.
struct View {
    nb::handle self_;
    VariableArray *va_;
    std::vector<int64_t> dims_;
    int64_t count_ = 0;

    View(nb::handle self_obj) : self_(self_obj), va_(&nb::cast<VariableArray &>(self_obj)) {
        nb::object shape = va_->shape_;
        Py_ssize_t n = PyObject_Length(shape.ptr());
        if (n < 0) throw nb::python_error();
        for (Py_ssize_t d = 0; d < n; ++d)
            dims_.push_back(zk::int_int64(zk::check(PySequence_GetItem(shape.ptr(), d))));
        count_ = zk::int_int64(va_->count_elems_);
        // A tuple's dimensions stay as read: later element references need not read them again.
        if (!va_->facts_.ready_ && PyTuple_CheckExact(shape.ptr()))
            va_->facts_ = element_facts(*va_, count_);
    }

    nb::object width() const { return self_.attr(kCounter); }

    nb::object np() const { return g_module.get("np"); }

    // The row of one element: the value 1 of the element type at column shift + flat, kept as a
    // plain row (made into the same csr_array when read) for the element types it knows, while
    // the module's class is the row class itself and the columns fit in 32 bits.
    nb::object row(nb::handle flat) const {
        nb::object col = zk::check(PyNumber_Add(flat.ptr(), va_->shift_.ptr()));
        if (nb::object plain = plain_row(col); plain.is_valid()) return plain;
        nb::object one = va_->type_(1);
        nb::object coefs = g_module.get("csr_array")(
            nb::make_tuple(nb::make_tuple(one), nb::make_tuple(nb::make_tuple(col))),
            "shape"_a = nb::make_tuple(width()));
        return with_origin(g_module.get("LinearExpression")("linear_coefficients"_a = coefs));
    }

    nb::object plain_row(nb::handle col) const {
        nb::object cls = g_module.get("LinearExpression");
        if (!cls.is(nb::type<LinearExpression>())) return nb::object();
        nb::object numpy = np();
        const bool is_float = va_->type_.is(numpy.attr("float64"));
        if (!is_float && !va_->type_.is(numpy.attr("int32"))) return nb::object();
        int64_t c = 0;
        const int64_t length = zk::int_int64(width());
        if (!int64_of(col, c) || c < 0 || c >= length || length > kInt32Max) return nb::object();
        return unit_expression(self_, *va_, static_cast<int32_t>(c), length, is_float);
    }

    // A new row or block that records this array as the one its columns come from, so that a
    // model can tell its own variables from another model's.
    nb::object with_origin(nb::object made) const {
        if (nb::isinstance<LinearExpression>(made))
            nb::cast<LinearExpression &>(made).origin_ = origin();
        else if (nb::isinstance<LinearExpressionsArr>(made))
            nb::cast<LinearExpressionsArr &>(made).origin_ = origin();
        return made;
    }

    OriginPtr origin() const { return shared_origin(self_, *va_); }

    // The block of the given int32 columns kept as plain arrays (made into the matrix when it
    // is read; the same matrix as below), for the element types it knows and while the module's
    // class is the block class itself. Invalid otherwise.
    nb::object picked_block(nb::handle cols, int64_t width_n) const {
        nb::object cls = g_module.get("LinearExpressionsArr");
        if (!cls.is(nb::type<LinearExpressionsArr>())) return nb::object();
        nb::object numpy = np();
        const bool is_float = va_->type_.is(numpy.attr("float64"));
        if (!is_float && !va_->type_.is(numpy.attr("int32"))) return nb::object();
        arrays::Contiguous<int32_t> view = arrays::converted_view<int32_t>(cols);
        std::vector<int32_t> picked(view.data(), view.data() + view.shape(0));
        const auto k = static_cast<Py_ssize_t>(picked.size());
        nb::object constants = numpy.attr("zeros")(k, "dtype"_a = va_->type_);
        return nb::cast(LinearExpressionsArr{
            std::move(constants), BlockCoefs::picked(std::move(picked), width_n, is_float),
            nb::none(), nb::none(), nb::bool_(true), origin()});
    }

    // One row per entry of `flat` (element numbers), in order, each with one value 1. The rows
    // are handed to the sparse library in compressed form: with one value per row the row
    // starts are 0 .. k and no sorting is needed.
    // `own_index_type`: an integer array or a mask, whose rows the sparse library makes from the
    // selection itself.
    nb::object block(nb::handle numbers, bool own_index_type = false) const {
        nb::object numpy = np();
        // No numbers, in whatever layout, are no rows.
        nb::object flat = zk::index_int64(numbers.attr("ndim")) == 1 ? nb::borrow(numbers)
                                                                     : numpy.attr("ravel")(numbers);
        Py_ssize_t k = PyObject_Length(flat.ptr());
        if (k < 0) throw nb::python_error();
        nb::object values = numpy.attr("ones")(nb::make_tuple(k), "dtype"_a = va_->type_);
        nb::object n = width();
        nb::object csr = g_module.get("csr_array");
        nb::object coefs;
        const int64_t width_n = zk::int_int64(n);
        if (k == 0 && own_index_type) {
            // No rows: the sparse library's own coordinate form, whose index type follows the
            // selection's (int64 from a mask or an int64 array).
            nb::object cols = zk::check(PyNumber_Add(flat.ptr(), va_->shift_.ptr()));
            nb::object rows = numpy.attr("arange")(0, "dtype"_a = numpy.attr("int32"));
            coefs = csr(nb::make_tuple(values, nb::make_tuple(rows, cols)),
                        "shape"_a = nb::make_tuple(k, n));
        } else if (zk::int_int64(va_->shift_) + count_ <= width_n && width_n <= kInt32Max) {
            nb::object cols = numpy.attr("add")(flat, va_->shift_, "dtype"_a = numpy.attr("int32"),
                                                "casting"_a = "unsafe");
            if (nb::object picked = picked_block(cols, width_n); picked.is_valid()) return picked;
            // The element numbers lie in the array (checked by every caller) and every column
            // fits in 32 bits, so the columns and the row starts are made as the int32 arrays
            // the sparse library would convert them to: no wide copies of a large selection.
            nb::object starts = numpy.attr("arange")(k + 1, "dtype"_a = numpy.attr("int32"));
            coefs = csr(nb::make_tuple(values, cols, starts), "shape"_a = nb::make_tuple(k, n));
        } else {
            // Element numbers of a narrow integer type would wrap around when the first column
            // is added; 64 bits hold every column.
            nb::object wide = flat.attr("astype")(numpy.attr("int64"), "copy"_a = false);
            nb::object cols = zk::check(PyNumber_Add(wide.ptr(), va_->shift_.ptr()));
            if (zk::int_int64(va_->shift_) + count_ <= width_n) {
                nb::object starts = numpy.attr("arange")(k + 1, "dtype"_a = numpy.attr("int64"));
                coefs = csr(nb::make_tuple(values, cols, starts), "shape"_a = nb::make_tuple(k, n));
            } else {
                // Columns past the row width (an array made outside a model): the coordinate
                // form checks them and raises the sparse library's own error.
                nb::object rows = numpy.attr("arange")(k, "dtype"_a = numpy.attr("int32"));
                coefs = csr(nb::make_tuple(values, nb::make_tuple(rows, cols)),
                            "shape"_a = nb::make_tuple(k, n));
            }
        }
        return with_origin(g_module.get("LinearExpressionsArr")("linear_coefficients"_a = coefs,
                                                                "is_init"_a = true));
    }
};

// ---------------------------------------------------------------------------------------------
// Index kinds.

// The element number of an integer index. An integer of a program's class is what its own
// arithmetic makes of it: the row's column is `item + shift` (its `__index__` may say something
// else), and the element is that column less the shift.
bool element_number(const View &v, nb::handle item, int64_t &value) {
    if (!PyType_HasFeature(Py_TYPE(item.ptr()), Py_TPFLAGS_HEAPTYPE))
        return zk::index_int64_of(item, value);
    nb::object col = zk::check(PyNumber_Add(item.ptr(), v.va_->shift_.ptr()));
    int64_t c = 0;
    return zk::index_int64_of(col, c) &&
           !__builtin_sub_overflow(c, zk::int_int64(v.va_->shift_), &value);
}

nb::object index_integer(const View &v, nb::handle item) {
    int64_t value = 0;
    bool fits = element_number(v, item, value);
    if (debug_on()) {
        if (v.dims_.size() != 1) g_module.raise_logged(PyExc_IndexError, kOneIndexMsg);
        if (!fits || value < 0 || value >= v.dims_[0]) refuse_value(item);
    }
    // Element numbers are checked in every mode: an unchecked number names a column of another
    // array without any error.
    if (!fits || value < 0 || value >= v.count_) refuse_value(item);
    // A host integer: a numpy scalar of a narrow type would wrap around at the first column.
    return v.row(nb::int_(value));
}

nb::object index_slice(const View &v, nb::handle item) {
    if (debug_on() && v.dims_.size() != 1) g_module.raise_logged(PyExc_IndexError, kOneIndexMsg);
    nb::object shape = v.va_->shape_;
    int64_t d0 = zk::int_int64(zk::check(PySequence_GetItem(shape.ptr(), 0)));
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(item.ptr(), &start, &stop, &step) < 0) throw nb::python_error();
    Py_ssize_t k = PySlice_AdjustIndices(static_cast<Py_ssize_t>(d0), &start, &stop, step);
    // Resolved against the first dimension, a slice selects flat numbers; on an array with an
    // empty later dimension those could lie past the array.
    if (k > 0) {
        int64_t last = start + (k - 1) * step;
        if (std::max<int64_t>(start, last) >= v.count_) refuse_value(item);
    }
    nb::object numpy = v.np();
    nb::object flat = numpy.attr("arange")(start, stop, step, "dtype"_a = numpy.attr("int32"));
    return v.block(flat);
}

// The element numbers of an integer array, refused unless one-dimensional and within the array.
void check_numbers(const View &v, nb::handle item, nb::handle numbers) {
    nb::object numpy = v.np();
    // No numbers select nothing, whatever their layout (as numpy reads them).
    if (zk::index_int64(numbers.attr("size")) == 0) return;
    if (zk::index_int64(numbers.attr("ndim")) != 1) refuse_value(item);
    nb::object lo = numbers.attr("min")(), hi = numbers.attr("max")();
    nb::object zero = nb::int_(0), count = nb::int_(v.count_);
    if (zk::compare(lo, zero, Py_LT) || zk::compare(hi, count, Py_GE)) refuse_value(item);
}

bool dtype_is(nb::handle numpy, nb::handle arr, const char *kind) {
    return nb::cast<bool>(numpy.attr("issubdtype")(arr.attr("dtype"), numpy.attr(kind)));
}

// numpy's own reading of `index` on an array of this shape: the number of elements it picks, or
// its IndexError, logged. It indexes a stand-in of the array's shape that holds no storage (every
// value the one zero).
int64_t numpy_picks(const View &v, nb::handle index) {
    nb::object numpy = v.np();
    nb::object dims = zk::check(PySequence_Tuple(v.va_->shape_.ptr()));
    nb::object probe = numpy.attr("broadcast_to")(numpy.attr("int8")(0), dims);
    PyObject *taken = PyObject_GetItem(probe.ptr(), index.ptr());
    if (taken) return index_int64(nb::steal(taken).attr("size"));
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw nb::python_error();
    nb::python_error numpy_error;
    g_module.raise_logged(PyExc_IndexError, nb::cast<std::string>(nb::str(numpy_error.value())));
}

nb::object no_numbers(const View &v) {
    return v.np().attr("zeros")(0, "dtype"_a = v.np().attr("intp"));
}

// The element numbers a mask picks, as numpy's indexing of an array of element numbers picks
// them: a mask covers the array's leading dimensions (as a rule all of them) and picks every
// element under a true entry, in row-major order. A mask of another shape is refused in numpy's
// words (with the checks on, as any other array that is no index).
nb::object mask_numbers(const View &v, nb::handle item, nb::handle mask) {
    nb::object numpy = v.np();
    nb::object shape = mask.attr("shape");
    const auto k = static_cast<size_t>(PyTuple_GET_SIZE(shape.ptr()));
    bool fits = k <= v.dims_.size();
    for (size_t d = 0; fits && d < k; ++d)
        fits = index_int64(PyTuple_GET_ITEM(shape.ptr(), static_cast<Py_ssize_t>(d))) == v.dims_[d];
    if (!fits) {
        if (debug_on()) refuse_value(item);
        // numpy takes an empty one-dimensional mask for no selection at all.
        if (numpy_picks(v, mask) != 0) refuse_value(item);
        return no_numbers(v);
    }
    nb::object picked = numpy.attr("flatnonzero")(mask);
    int64_t inner = 1;
    for (size_t d = k; d < v.dims_.size(); ++d) inner *= v.dims_[d];
    if (inner == 1) return picked;
    // Each picked entry stands for the run of elements under it.
    nb::object starts =
        picked[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none())];
    nb::object runs = zk::check(
        PyNumber_Add(zk::check(PyNumber_Multiply(starts.ptr(), nb::int_(inner).ptr())).ptr(),
                     numpy.attr("arange")(inner).ptr()));
    return numpy.attr("ravel")(runs);
}

nb::object index_array(const View &v, nb::handle item) {
    nb::object numpy = v.np();
    if (dtype_is(numpy, item, "bool_")) return v.block(mask_numbers(v, item, item), true);
    // An array of any other non-integer type would be cut to integers by the sparse library.
    if (!dtype_is(numpy, item, "integer")) refuse_value(item);
    check_numbers(v, item, item);
    return v.block(item, true);
}

nb::object index_list(const View &v, nb::handle item) {
    nb::object numpy = v.np();
    nb::object as_array = numpy.attr("asarray")(item);
    const bool empty = zk::index_int64(as_array.attr("size")) == 0;
    // A list of truth values is a mask, as numpy reads it.
    if (!empty && dtype_is(numpy, as_array, "bool_"))
        return v.block(mask_numbers(v, item, as_array));
    if (!empty && !dtype_is(numpy, as_array, "integer")) refuse_value(item);
    // Checked before any narrowing, so a number past the array is refused, never cut.
    check_numbers(v, item, as_array);
    return v.block(as_array);
}

// One axis of a tuple index: an integer or a slice, resolved against the axis's size.
struct Axis {
    bool scalar_ = false, slice_ = false;
    Py_ssize_t start_ = 0, stop_ = 0, step_ = 0, count_ = 0;  // the integer is `start_`
};

// One axis of a tuple index as an intp vector of positions along that axis.
nb::object positions(nb::handle numpy, const Axis &a) {
    if (a.scalar_)
        return numpy.attr("array")(nb::make_tuple(a.start_), "dtype"_a = numpy.attr("intp"));
    return numpy.attr("arange")(a.start_, a.stop_, a.step_, "dtype"_a = numpy.attr("intp"));
}

// One axis of a tuple index: an integer and a slice are described in `axis` (their positions
// are made only when needed), anything else returned as an intp vector of positions.
nb::object axis_selection(const View &v, nb::handle element, size_t axis_number, int64_t size,
                          Axis &axis) {
    nb::object numpy = v.np();
    if (is_instance(element, g_module.get("Integral")) ||
        is_instance(element, numpy.attr("integer"))) {
        int64_t value = 0;
        if (!zk::index_int64_of(element, value) || value < 0 || value >= size)
            refuse_value(element);
        axis.scalar_ = true;
        axis.start_ = static_cast<Py_ssize_t>(value);
        return nb::object();
    }
    if (PySlice_Check(element.ptr())) {
        if (PySlice_Unpack(element.ptr(), &axis.start_, &axis.stop_, &axis.step_) < 0)
            throw nb::python_error();
        axis.count_ = PySlice_AdjustIndices(static_cast<Py_ssize_t>(size), &axis.start_,
                                            &axis.stop_, axis.step_);
        axis.slice_ = true;
        return nb::object();
    }
    bool is_list = PyList_Check(element.ptr());
    if (is_list || is_instance(element, numpy.attr("ndarray"))) {
        nb::object arr = numpy.attr("asarray")(element);
        bool empty = zk::index_int64(arr.attr("size")) == 0;
        const bool one_dim = zk::index_int64(arr.attr("ndim")) == 1;
        // A mask along this axis picks the positions of its true entries, as in numpy.
        if (one_dim && dtype_is(numpy, arr, "bool_")) {
            if (index_int64(arr.attr("size")) != size) {
                nb::list index;
                for (size_t d = 0; d < axis_number; ++d)
                    index.append(nb::slice(nb::none(), nb::none(), nb::none()));
                index.append(arr);
                if (numpy_picks(v, nb::tuple(index)) != 0) refuse_value(element);
                return no_numbers(v);
            }
            return numpy.attr("flatnonzero")(arr);
        }
        bool integral = dtype_is(numpy, arr, "integer") || (is_list && empty);
        if (integral && one_dim) {
            if (!empty) {
                nb::object lo = arr.attr("min")(), hi = arr.attr("max")();
                nb::object zero = nb::int_(0), bound = nb::int_(size);
                if (zk::compare(lo, zero, Py_LT) || zk::compare(hi, bound, Py_GE))
                    refuse_value(element);
            }
            return arr.attr("astype")(numpy.attr("intp"));
        }
    }
    raise_plain(
        PyExc_ValueError,
        format_message(kMultiindex, text_of(nb::handle((PyObject *)Py_TYPE(element.ptr())))));
}

size_t count_scalars(const std::vector<Axis> &axes) {
    size_t k = 0;
    for (const Axis &a : axes) k += a.scalar_ ? 1 : 0;
    return k;
}

nb::object index_tuple(const View &v, nb::handle item) {
    Py_ssize_t n = PyTuple_GET_SIZE(item.ptr());
    // A tuple of another length would be read against the wrong dimensions: refused in every
    // mode.
    if (static_cast<size_t>(n) != v.dims_.size())
        g_module.raise_logged(PyExc_IndexError, format_message(kDimension, n, v.dims_.size()));
    nb::object numpy = v.np();
    std::vector<Axis> axes(static_cast<size_t>(n));
    std::vector<nb::object> arrays(static_cast<size_t>(n));
    bool all_scalar = true;
    size_t slices = 0;
    for (Py_ssize_t d = 0; d < n; ++d) {
        Axis &a = axes[static_cast<size_t>(d)];
        arrays[static_cast<size_t>(d)] = axis_selection(v, PyTuple_GET_ITEM(item.ptr(), d),
                                                        static_cast<size_t>(d), v.dims_[d], a);
        all_scalar = all_scalar && a.scalar_;
        slices += a.slice_ ? 1 : 0;
    }
    // Row-major numbering of all combinations, first dimension slowest.
    nb::object flat;
    if (n == 0) {
        flat = numpy.attr("zeros")(1, "dtype"_a = numpy.attr("intp"));
    } else if (slices <= 1 && slices + count_scalars(axes) == axes.size()) {
        // Integers and at most one slice (an element, or a row or column of a matrix): the
        // numbers run in one arithmetic progression from the integers' element.
        int64_t first = 0, stride = 1, step = 1, k = 1;
        for (Py_ssize_t d = n - 1; d >= 0; --d) {
            const Axis &a = axes[static_cast<size_t>(d)];
            first += static_cast<int64_t>(a.start_) * stride;
            if (a.slice_) {
                step = static_cast<int64_t>(a.step_) * stride;
                k = static_cast<int64_t>(a.count_);
            }
            stride *= v.dims_[static_cast<size_t>(d)];
        }
        flat = numpy.attr("arange")(first, first + k * step, step, "dtype"_a = numpy.attr("intp"));
    } else {
        nb::list selections;
        for (Py_ssize_t d = 0; d < n; ++d) {
            nb::object &arr = arrays[static_cast<size_t>(d)];
            selections.append(arr.is_valid() ? arr
                                             : positions(numpy, axes[static_cast<size_t>(d)]));
        }
        nb::object dims = zk::check(PySequence_Tuple(v.va_->shape_.ptr()));
        nb::object mesh = numpy.attr("ix_")(*selections);
        flat = numpy.attr("ravel")(numpy.attr("ravel_multi_index")(mesh, dims));
    }
    if (all_scalar) {
        if (v.count_ < 1) refuse_value(item);
        return v.row(nb::int_(zk::int_int64(flat[0])));
    }
    return v.block(flat);
}

nb::object getitem(nb::handle self, nb::handle item) {
    if (PyLong_CheckExact(item.ptr()))
        if (nb::object row = element_row(self, item); row.is_valid()) return row;
    View v(self);
    // The host's int is an Integral: its test goes through the abstract class only for others.
    if (PyLong_CheckExact(item.ptr())) return index_integer(v, item);
    nb::object numpy = v.np();
    if (is_instance(item, g_module.get("Integral")) || is_instance(item, numpy.attr("integer")))
        return index_integer(v, item);
    if (PySlice_Check(item.ptr())) return index_slice(v, item);
    if (is_instance(item, numpy.attr("ndarray"))) return index_array(v, item);
    if (PyList_Check(item.ptr())) return index_list(v, item);
    if (PyTuple_Check(item.ptr())) return index_tuple(v, item);
    g_module.raise_logged(
        PyExc_IndexError,
        format_message(kUndefined, text_of(nb::handle((PyObject *)Py_TYPE(item.ptr())))));
}

using Gc =
    GcSlots<VariableArray, &VariableArray::name_, &VariableArray::shape_,
            &VariableArray::count_elems_, &VariableArray::lower_bound_, &VariableArray::type_,
            &VariableArray::upper_bound_, &VariableArray::shift_, &VariableArray::origin_>;

// Binds the module's names in the order the module's own imports bind them.
void import_names(nb::module_ &m) {
    nb::module_ os = nb::module_::import_("os");
    m.attr("os") = os;
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Sequence") = typing.attr("Sequence");
    m.attr("Union") = typing.attr("Union");
    m.attr("Integral") = nb::module_::import_("numbers").attr("Integral");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("csr_array") = nb::module_::import_("scipy.sparse").attr("csr_array");
    zk::import_logger(m);
    nb::module_ expression = nb::module_::import_("zk_encoder.linear_parser2._expression");
    m.attr("LinearExpression") = expression.attr("LinearExpression");
    m.attr("LinearExpressionsArr") = expression.attr("LinearExpressionsArr");
    nb::object flag = os.attr("environ").attr("get")(kDebugVariable, false);
    m.attr("DEBUG") = nb::bool_(zk::truth(flag));
    nb::object np = m.attr("np");
    m.attr("_IndexType") = typing.attr("Union")[nb::make_tuple(
        m.attr("Integral"), np.attr("integer"), nb::handle((PyObject *)&PySlice_Type))];
}

void bind_module(nb::module_ &m) {
    namespace lp = zk::lp2;
    zk::init_module();
    import_names(m);
    lp::g_module.bind(m);
    lp::g_unit_index = lp::unit_index();

    // Weakly referenceable, as the instances of a class of the host's are.
    nb::class_<VariableArray> cls(m, "VariableArray", lp::kClassDoc, nb::type_slots(lp::Gc::slots_),
                                  nb::is_weak_referenceable());
    cls.attr(lp::kCounter) = 0;
    cls.def(
           "__init__",
           [](VariableArray *self, nb::object name, nb::object shape, nb::object lower_bound,
              nb::object upper_bound, nb::object type_var, nb::object shift) {
               nb::object count = lp::g_module.get("np").attr("prod")(shape);
               new (self) VariableArray{name,        shape, count, lower_bound, type_var,
                                        upper_bound, shift, {},    {}};
           },
           "name"_a.none(), "shape"_a.none(), "lower_bound"_a.none(), "upper_bound"_a.none(),
           "type_var"_a.none(), "shift"_a.none() = 0,
           nb::sig("def __init__(self, name: str, shape: Sequence[int], lower_bound: float, "
                   "upper_bound: float, type_var: type, shift: int = 0) -> None"))
        .def("__getitem__", &lp::getitem, "item"_a.none(),
             nb::sig("def __getitem__(self, item: Union[_IndexType, list, np.ndarray, "
                     "Sequence[_IndexType]]) -> Union[LinearExpression, LinearExpressionsArr]"))
        // Indexing never signals an end, so the host's fallback iteration would never stop.
        .def(
            "__iter__",
            [](nb::handle) -> nb::object { zk::raise_plain(PyExc_TypeError, lp::kNotIterableMsg); },
            nb::sig("def __iter__(self) -> NoReturn"))
        .def_prop_ro(
            "shape", [](const VariableArray &a) { return nb::tuple(a.shape_); },
            nb::for_getter(nb::sig("def shape(self) -> Sequence[int]")))
        .def_prop_ro(
            "lower_bound", [](const VariableArray &a) { return a.lower_bound_; },
            nb::for_getter(nb::sig("def lower_bound(self) -> float")))
        .def_prop_ro(
            "upper_bound", [](const VariableArray &a) { return a.upper_bound_; },
            nb::for_getter(nb::sig("def upper_bound(self) -> float")))
        .def_prop_ro(
            "name", [](const VariableArray &a) { return a.name_; },
            nb::for_getter(nb::sig("def name(self) -> str")))
        .def_prop_ro(
            "type", [](const VariableArray &a) { return a.type_; },
            nb::for_getter(nb::sig("def type(self) -> type")))
        .def(
            "_map",
            [](const VariableArray &a) {
                nb::object np = lp::g_module.get("np");
                nb::object stop = zk::check(PyNumber_Add(a.shift_.ptr(), a.count_elems_.ptr()));
                return np.attr("arange")(a.shift_, stop, "dtype"_a = "int32");
            },
            nb::sig("def _map(self) -> np.ndarray"));

#define ZK_ARRAY_FIELD(py_name, member) \
    cls.def_prop_ro(py_name, [](const VariableArray &a) { return a.member; })
    ZK_ARRAY_FIELD("_name", name_);
    ZK_ARRAY_FIELD("_shape", shape_);
    ZK_ARRAY_FIELD("_count_elems", count_elems_);
    ZK_ARRAY_FIELD("_lower_bound", lower_bound_);
    ZK_ARRAY_FIELD("_type", type_);
    ZK_ARRAY_FIELD("_upper_bound", upper_bound_);
    ZK_ARRAY_FIELD("_shift", shift_);
#undef ZK_ARRAY_FIELD
}

}  // namespace

}  // namespace zk::lp2

ZK_MODULE(variable, m) { zk::lp2::bind_module(m); }
