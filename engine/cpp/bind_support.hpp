// Argument conversion and the engine's error class, shared by the engine's bindings.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/format.hpp"
#include "core/clause_list.hpp"

namespace se {

namespace nb = nanobind;

// The argument messages; the first hole names the argument.
constexpr const char *kMustBeIntegerMsg = "{} must be an integer, not {}";
constexpr const char *kDoesNotFit64Msg = "{} does not fit in 64 bits";
constexpr const char *kMustNotBeZeroMsg = "{} must not be 0";
constexpr const char *kOutsideVariablesMsg = "{} {} is outside the variable range 1..{}";
constexpr const char *kClauseNotSequenceMsg =
    "{}: the clause must be a sequence of integers, not {}";
constexpr const char *kALiteral = "{}: a literal";
constexpr const char *kEngineErrorQualname = "nubrix.sorn_engine.EngineError";
constexpr const char *kEngineErrorDoc = "An engine operation could not be carried out.";

[[noreturn]] inline void raise_py(PyObject *exc_type, const std::string &msg) {
    PyErr_SetString(exc_type, msg.c_str());
    throw nb::python_error();
}

// After a failed call whose failure of kind `expected` only means "not this kind of argument":
// clears that error and raises any other (MemoryError, KeyboardInterrupt, the argument's own).
inline void clear_only(PyObject *expected) {
    if (!PyErr_ExceptionMatches(expected)) throw nb::python_error();
    PyErr_Clear();
}

inline std::string py_type_name(nb::handle obj) {
    return nb::cast<std::string>(
        nb::str(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))).attr("__name__")));
}

constexpr const char *kNumpyBoolTypeName = "numpy.bool";    // numpy 2
constexpr const char *kNumpyBoolTypeName1 = "numpy.bool_";  // numpy 1

// Python's bool or numpy's.
inline bool is_bool(nb::handle obj) {
    if (PyBool_Check(obj.ptr())) return true;
    const char *tp = Py_TYPE(obj.ptr())->tp_name;
    return std::strcmp(tp, kNumpyBoolTypeName) == 0 || std::strcmp(tp, kNumpyBoolTypeName1) == 0;
}

// True for Python integers and anything that converts losslessly (numpy integers); bool is not
// a number here, neither Python's nor numpy's (which still offers __index__).
inline bool is_integer(nb::handle obj) {
    if (PyLong_Check(obj.ptr())) return !PyBool_Check(obj.ptr());
    return PyIndex_Check(obj.ptr()) && !is_bool(obj);
}

// An argument that must be an integer and no truth value (TypeError naming `what` otherwise),
// saturated to 64 bits: `overflow` is -1/+1 when it lies outside them. The library's readers of
// integers accept bool; the engine's arguments never do.
inline int64_t non_bool_int64(nb::handle obj, const std::string &what, int *overflow) {
    if (!is_integer(obj))
        raise_py(PyExc_TypeError, zk::format_message(kMustBeIntegerMsg, what, py_type_name(obj)));
    *overflow = 0;
    long long v;
    if (PyLong_CheckExact(obj.ptr())) {
        v = PyLong_AsLongLongAndOverflow(obj.ptr(), overflow);
    } else {
        nb::object idx = nb::steal(PyNumber_Index(obj.ptr()));
        if (!idx.is_valid()) throw nb::python_error();
        v = PyLong_AsLongLongAndOverflow(idx.ptr(), overflow);
    }
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (*overflow > 0) return std::numeric_limits<int64_t>::max();
    if (*overflow < 0) return std::numeric_limits<int64_t>::min();
    return v;
}

inline int64_t int64_arg(nb::handle obj, const std::string &what) {
    int overflow;
    int64_t v = non_bool_int64(obj, what, &overflow);
    if (overflow) raise_py(PyExc_OverflowError, zk::format_message(kDoesNotFit64Msg, what));
    return v;
}

constexpr int64_t kMaxVariable = std::numeric_limits<int32_t>::max();

// A clause literal: a non-zero integer whose variable fits the engine's 32-bit numbering.
inline int32_t literal_arg(nb::handle obj, const char *what) {
    int overflow;
    const int64_t v = non_bool_int64(obj, what, &overflow);
    if (v == 0) raise_py(PyExc_ValueError, zk::format_message(kMustNotBeZeroMsg, what));
    if (overflow || v > kMaxVariable || v < -kMaxVariable)
        raise_py(PyExc_ValueError,
                 zk::format_message(kOutsideVariablesMsg, what,
                                    nb::cast<std::string>(nb::repr(obj)), kMaxVariable));
    return static_cast<int32_t>(v);
}

// A tuple holding the items of a sequence (the sequence itself when it is a tuple), or an
// invalid object when seq is not iterable. Converting an item may run Python code (__index__)
// that changes a list while it is read; the tuple keeps the items and their array in place.
inline nb::object sequence_snapshot(nb::handle seq) {
    nb::object t = nb::steal(PySequence_Tuple(seq.ptr()));
    if (!t.is_valid()) clear_only(PyExc_TypeError);
    return t;
}

// Appends the literals of a Python sequence to out.
inline void literals_arg(nb::handle seq, const char *what, std::vector<int32_t> &out) {
    nb::object fast = sequence_snapshot(seq);
    if (!fast.is_valid())
        raise_py(PyExc_TypeError,
                 zk::format_message(kClauseNotSequenceMsg, what, py_type_name(seq)));
    const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
    PyObject **items = &PyTuple_GET_ITEM(fast.ptr(), 0);
    const std::string item_what = zk::format_message(kALiteral, what);
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(literal_arg(items[i], item_what.c_str()));
}

constexpr const char *kEngineErrorName = "EngineError";

inline PyObject *&engine_error_slot() {
    static PyObject *cls = nullptr;
    return cls;
}

// The engine's own error class, nubrix.sorn_engine.EngineError (a RuntimeError): made by the
// first registration that asks for it. The slot holds a reference of its own, so the class
// outlives a program's `del se.EngineError`.
inline nb::handle engine_error(nb::module_ &top) {
    PyObject *&cls = engine_error_slot();
    if (cls != nullptr) return cls;
    if (nb::hasattr(top, kEngineErrorName)) {
        nb::object existing = top.attr(kEngineErrorName);
        cls = existing.release().ptr();
        return cls;
    }
    cls = PyErr_NewExceptionWithDoc(kEngineErrorQualname, kEngineErrorDoc, PyExc_RuntimeError,
                                    nullptr);
    if (cls == nullptr) throw nb::python_error();
    top.attr(kEngineErrorName) = nb::handle(cls);
    return cls;
}

// After registration.
inline nb::handle engine_error() { return engine_error_slot(); }

// A Python text from UTF-8 bytes the engine holds (names, messages).
inline nb::object py_str(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (o == nullptr) throw nb::python_error();
    return nb::steal(o);
}

// A new list of n empty slots, to be filled with PyList_SET_ITEM; raises when out of memory.
inline nb::list new_list(std::size_t n) {
    PyObject *l = PyList_New(static_cast<Py_ssize_t>(n));
    if (l == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(l);
}

// A list of Python ints holding lits[0..n).
inline nb::list int_list(const int32_t *lits, std::size_t n) {
    nb::list l = new_list(n);
    for (std::size_t j = 0; j < n; ++j) {
        PyObject *v = PyLong_FromLong(lits[j]);
        if (v == nullptr) throw nb::python_error();
        PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(j), v);
    }
    return l;
}

// A 1-D numpy array holding a copy of the n values at data.
template <typename T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> numpy_copy(const T *data, std::size_t n) {
    auto *copy = new std::vector<T>(data, data + n);
    nb::capsule owner(copy, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(copy->data(), {copy->size()}, owner);
}

// A 1-D numpy array that takes over a freshly made array (a std::vector or the engine's own
// arrays), without a copy.
template <typename V, typename T = typename V::value_type,
          std::enable_if_t<!std::is_lvalue_reference_v<V>, int> = 0>
nb::ndarray<nb::numpy, T, nb::ndim<1>> numpy_copy(V &&v) {
    auto *owned = new V(std::move(v));
    owned->reserve(1);  // an empty array still needs an address
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<V *>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner);
}

// A 1-D numpy array holding a copy of v (a std::vector or the engine's own arrays).
template <typename V>
auto numpy_copy(const V &v) {
    return numpy_copy<std::remove_const_t<typename V::value_type>>(v.data(), v.size());
}

}  // namespace se
