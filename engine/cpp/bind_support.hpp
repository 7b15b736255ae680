// Argument conversion and the engine's error class, shared by the engine's bindings.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace se {

namespace nb = nanobind;

// Pieces of the argument messages: "<what>" + piece.
constexpr const char *kMustBeInteger = " must be an integer, not ";
constexpr const char *kDoesNotFit64 = " does not fit in 64 bits";
constexpr const char *kMustNotBeZero = " must not be 0";
constexpr const char *kOutsideVariables = " is outside the variable range 1..";
constexpr const char *kClauseNotSequence = ": the clause must be a sequence of integers, not ";
constexpr const char *kALiteral = ": a literal";
constexpr const char *kEngineErrorQualname = "nubrix.sorn_engine.EngineError";
constexpr const char *kEngineErrorDoc = "An engine operation could not be carried out.";

[[noreturn]] inline void raise_py(PyObject *exc_type, const std::string &msg) {
    PyErr_SetString(exc_type, msg.c_str());
    throw nb::python_error();
}

inline std::string py_type_name(nb::handle obj) {
    return nb::cast<std::string>(
        nb::str(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))).attr("__name__")));
}

// True for Python integers and anything that converts losslessly (numpy integers); bool is not
// a number here.
inline bool is_integer(nb::handle obj) {
    return !PyBool_Check(obj.ptr()) && (PyLong_Check(obj.ptr()) || PyIndex_Check(obj.ptr()));
}

// Converts an integer; `overflow` is -1/+1 when it lies outside 64 bits (result then saturated).
inline int64_t int64_of(nb::handle obj, const std::string &what, int *overflow) {
    if (!is_integer(obj)) raise_py(PyExc_TypeError, what + kMustBeInteger + py_type_name(obj));
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
    int64_t v = int64_of(obj, what, &overflow);
    if (overflow) raise_py(PyExc_OverflowError, what + kDoesNotFit64);
    return v;
}

constexpr int64_t kMaxVariable = std::numeric_limits<int32_t>::max();

// A clause literal: a non-zero integer whose variable fits the engine's 32-bit numbering.
inline int32_t literal_arg(nb::handle obj, const char *what) {
    int overflow;
    const int64_t v = int64_of(obj, what, &overflow);
    if (v == 0) raise_py(PyExc_ValueError, std::string(what) + kMustNotBeZero);
    if (overflow || v > kMaxVariable || v < -kMaxVariable)
        raise_py(PyExc_ValueError, std::string(what) + " " + nb::cast<std::string>(nb::repr(obj)) +
                                       kOutsideVariables + std::to_string(kMaxVariable));
    return static_cast<int32_t>(v);
}

// Appends the literals of a Python sequence to out.
inline void literals_arg(nb::handle seq, const char *what, std::vector<int32_t> &out) {
    nb::object fast = nb::steal(PySequence_Fast(seq.ptr(), ""));
    if (!fast.is_valid()) {
        PyErr_Clear();
        raise_py(PyExc_TypeError, std::string(what) + kClauseNotSequence + py_type_name(seq));
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject **items = PySequence_Fast_ITEMS(fast.ptr());
    const std::string item_what = std::string(what) + kALiteral;
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(literal_arg(items[i], item_what.c_str()));
}

constexpr const char *kEngineErrorName = "EngineError";

inline PyObject *&engine_error_slot() {
    static PyObject *cls = nullptr;
    return cls;
}

// The engine's own error class, nubrix.sorn_engine.EngineError (a RuntimeError): made by the
// first registration that asks for it, kept alive by the top-level module.
inline nb::handle engine_error(nb::module_ &top) {
    PyObject *&cls = engine_error_slot();
    if (cls != nullptr) return cls;
    if (nb::hasattr(top, kEngineErrorName)) {
        cls = top.attr(kEngineErrorName).ptr();
        return cls;
    }
    cls = PyErr_NewExceptionWithDoc(kEngineErrorQualname, kEngineErrorDoc, PyExc_RuntimeError,
                                    nullptr);
    if (cls == nullptr) throw nb::python_error();
    top.attr(kEngineErrorName) = nb::handle(cls);
    Py_DECREF(cls);
    return cls;
}

// After registration.
inline nb::handle engine_error() { return engine_error_slot(); }

// A 1-D numpy array holding a copy of v.
template <typename T>
nb::ndarray<nb::numpy, T, nb::ndim<1>> numpy_copy(const std::vector<T> &v) {
    auto *data = new std::vector<T>(v);
    nb::capsule owner(data, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return nb::ndarray<nb::numpy, T, nb::ndim<1>>(data->data(), {data->size()}, owner);
}

}  // namespace se
