// Numbers as programs hand them to the linear models (sizes aside): the host's int, bool and
// float, numpy's scalars and any other registered `numbers.Real`, read one way by both linear
// generations. A program's number becomes a plain int (exact, whatever its size) or a plain float
// before it reaches an expression, a text or the engine, so numpy scalars mean exactly what the
// same host numbers mean and texts never carry a numpy repr. Complex values are refused instead
// of losing their imaginary part.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "common/module_globals.hpp"

namespace zk::numbers {

namespace nb = nanobind;

// The abstract number classes and numpy's scalar roots, looked up once for the process (numpy is
// a dependency of both generations and loaded before either).
struct Classes {
    PyObject *integral_ = nullptr;
    PyObject *real_ = nullptr;
    PyObject *complex_ = nullptr;
    PyObject *np_integer_ = nullptr;
    PyObject *np_floating_ = nullptr;
    PyObject *np_complex_ = nullptr;
    PyObject *np_bool_ = nullptr;
    PyObject *np_ndarray_ = nullptr;
};

inline const Classes &classes() {
    static Classes c = [] {
        Classes r;
        nb::module_ numbers = nb::module_::import_("numbers");
        nb::module_ np = nb::module_::import_("numpy");
        // Kept for the life of the process, as the modules holding them are.
        r.integral_ = nb::object(numbers.attr("Integral")).release().ptr();
        r.real_ = nb::object(numbers.attr("Real")).release().ptr();
        r.complex_ = nb::object(numbers.attr("Complex")).release().ptr();
        r.np_integer_ = nb::object(np.attr("integer")).release().ptr();
        r.np_floating_ = nb::object(np.attr("floating")).release().ptr();
        r.np_complex_ = nb::object(np.attr("complexfloating")).release().ptr();
        r.np_bool_ = nb::object(np.attr("bool_")).release().ptr();
        r.np_ndarray_ = nb::object(np.attr("ndarray")).release().ptr();
        return r;
    }();
    return c;
}

enum class Kind {
    kNone,     // not a number (an expression, a string, None, ...)
    kInt,      // int, bool, a numpy integer or numpy bool, any numbers.Integral
    kReal,     // float, a numpy floating scalar, any other numbers.Real (Fraction, ...)
    kComplex,  // complex, a numpy complex scalar, any other numbers.Complex
};

inline bool is_a(nb::handle obj, PyObject *cls) {
    return check(PyObject_IsInstance(obj.ptr(), cls)) == 1;
}

inline Kind kind(nb::handle obj) {
    PyObject *o = obj.ptr();
    // The host's own types first: no abstract-class test on the common road.
    if (PyLong_Check(o)) return Kind::kInt;
    if (PyFloat_Check(o)) return Kind::kReal;
    if (PyComplex_Check(o)) return Kind::kComplex;
    if (PyUnicode_Check(o) || o == Py_None) return Kind::kNone;
    const Classes &c = classes();
    if (is_a(obj, c.np_integer_) || is_a(obj, c.np_bool_) || is_a(obj, c.integral_))
        return Kind::kInt;
    if (is_a(obj, c.np_floating_) || is_a(obj, c.real_)) return Kind::kReal;
    if (is_a(obj, c.np_complex_) || is_a(obj, c.complex_)) return Kind::kComplex;
    return Kind::kNone;
}

inline bool is_number(nb::handle obj) {
    Kind k = kind(obj);
    return k == Kind::kInt || k == Kind::kReal;
}

// The host's name of an object's type, for messages.
inline std::string type_text(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

inline std::string repr_text(nb::handle obj) { return nb::cast<std::string>(nb::repr(obj)); }

// The TypeError for a complex value given as `what` ("Coefficient", "Lower bound", ...).
[[noreturn]] inline void refuse_complex(const ModuleGlobals &g, const char *what, nb::handle obj) {
    g.raise_logged(nb::handle(PyExc_TypeError),
                   std::string(what) + " must be a real number, not complex: " + repr_text(obj));
}

// The TypeError for a value that is no number at all.
[[noreturn]] inline void refuse_not_number(const ModuleGlobals &g, const char *what,
                                           nb::handle obj) {
    g.raise_logged(nb::handle(PyExc_TypeError),
                   std::string(what) + " must be a real number, not " + type_text(obj));
}

// The pending error of PyFloat_AsDouble, raised; the value otherwise.
inline double check_real(double v) {
    if (v == -1.0 && PyErr_Occurred()) rethrow();
    return v;
}

}  // namespace zk::numbers

namespace zk {

// The readers of a program's integer, one per contract; callers take the one whose contract is
// theirs instead of calling PyLong_As* or nb::cast themselves:
//   int64_of                an int (bool included) or an object with __index__ as 64 bits; false
//                           past 64 bits; the host's TypeError for anything else (a float).
//   index_int64             as the host reads an index: TypeError for what is no integer,
//                           OverflowError past 64 bits.
//   index_int64_of          as index_int64, with false instead of the OverflowError.
//   int128_of               as int64_of, for 128 bits.
//   int_int64               the host's int() (floats truncated, numpy sizes) as 64 bits;
//                           OverflowError past them.
//   plain_integer           the plain int of any integer (bool and numpy's bool as 0 or 1), any
//                           size; invalid for anything else.
//   plain_non_bool_integer  as plain_integer, truth values invalid too.
// Sizes of dimensions (`dimension_size`) and sequences of integers (`plain_ints`) are read in
// integers.hpp; the engine reads its arguments by its own rule (`non_bool_int64`).

// The value of an int when it fits in 64 bits; false when it does not. What the host raises for
// anything else reaches the caller.
inline bool int64_of(nb::handle obj, int64_t &out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) rethrow();
    if (overflow != 0) return false;
    out = static_cast<int64_t>(v);
    return true;
}

// An integer argument read as the host reads an index: TypeError for what is no integer
// (__index__), OverflowError for what does not fit in 64 bits.
inline long long index_int64(nb::handle obj) {
    nb::object i = check(PyNumber_Index(obj.ptr()));
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) rethrow();
    return v;
}

// An integer read through __index__ (TypeError for what is no integer); false when it does not
// fit in 64 bits.
inline bool index_int64_of(nb::handle obj, int64_t &out) {
    return int64_of(check(PyNumber_Index(obj.ptr())), out);
}

// The value of an int that 128 bits hold; false for one past them. What the host raises for
// anything else reaches the caller.
inline bool int128_of(nb::handle obj, __int128 &out) {
    int64_t small = 0;
    if (int64_of(obj, small)) {
        out = small;
        return true;
    }
    // obj = high * 2**64 + low, high signed (the shift rounds down), low the 64 bits below.
    nb::object sixty_four = nb::int_(64);
    nb::object high = check(PyNumber_Rshift(obj.ptr(), sixty_four.ptr()));
    nb::object mask = check(PyLong_FromUnsignedLongLong(~0ULL));
    nb::object low = check(PyNumber_And(obj.ptr(), mask.ptr()));
    int64_t hi = 0;
    if (!int64_of(high, hi)) return false;
    const unsigned long long lo = PyLong_AsUnsignedLongLong(low.ptr());
    if (lo == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow();
    out =
        static_cast<__int128>(static_cast<unsigned __int128>(static_cast<uint64_t>(hi)) << 64 | lo);
    return true;
}

inline constexpr const char *kNotIn64Bits = "value does not fit in 64 bits";

// The host's int(value) as a 64-bit number (numpy gives the element count of an array without
// dimensions as the float 1.0); the host's error when it has none, OverflowError when too wide.
inline int64_t int_int64(nb::handle value) {
    nb::object v =
        PyLong_Check(value.ptr()) ? nb::borrow(value) : check(PyNumber_Long(value.ptr()));
    int64_t r = 0;
    if (!int64_of(v, r)) {
        PyErr_SetString(PyExc_OverflowError, kNotIn64Bits);
        throw nb::python_error();
    }
    return r;
}

// The plain int of an integer (a numpy integer or bool, a bool or an int subclass included);
// invalid for anything else, a float among them.
inline nb::object plain_integer(nb::handle obj) {
    PyObject *o = obj.ptr();
    if (PyLong_CheckExact(o)) return nb::borrow(obj);
    if (PyFloat_Check(o)) return nb::object();
    // numpy's bool as an index is deprecated (a warning, an error under -W error).
    if (!PyLong_Check(o) && numbers::is_a(obj, numbers::classes().np_bool_))
        return nb::int_(truth(obj) ? 1 : 0);
    if (!PyIndex_Check(o)) return nb::object();
    PyObject *r = PyNumber_Index(o);
    if (!r) {
        // Not an integer after all.
        clear_only(PyExc_TypeError, PyExc_DeprecationWarning);
        return nb::object();
    }
    return nb::steal(r);
}

// As plain_integer, with truth values (bool, numpy's bool) refused too: for counts and numbers
// of things, where True is no size.
inline nb::object plain_non_bool_integer(nb::handle obj) {
    if (PyBool_Check(obj.ptr()) ||
        (!PyLong_Check(obj.ptr()) && numbers::is_a(obj, numbers::classes().np_bool_)))
        return nb::object();
    return plain_integer(obj);
}

}  // namespace zk

namespace zk::numbers {

// A number of kind kInt or kReal as the host's plain int (exact, any size; bool and numpy
// integers become int) or float (numpy floats and other reals by their float value).
inline nb::object plain(nb::handle obj, Kind k) {
    PyObject *o = obj.ptr();
    if (k == Kind::kInt) {
        nb::object i = plain_integer(obj);
        if (i.is_valid()) return i;
        // An Integral without __index__: int() as the host would.
        return check(PyNumber_Long(o));
    }
    if (PyFloat_CheckExact(o)) return nb::borrow(obj);
    return check(PyFloat_FromDouble(check_real(PyFloat_AsDouble(o))));
}

// A program's number as the plain int or float it stands for; an invalid object when `obj` is
// no number (the caller says what else it may be); TypeError for a complex value.
inline nb::object plain_or_none(const ModuleGlobals &g, const char *what, nb::handle obj) {
    Kind k = kind(obj);
    if (k == Kind::kComplex) refuse_complex(g, what, obj);
    if (k == Kind::kNone) return nb::object();
    return plain(obj, k);
}

// As plain_or_none, with a TypeError naming the type where `obj` is no number.
inline nb::object plain_number(const ModuleGlobals &g, const char *what, nb::handle obj) {
    nb::object r = plain_or_none(g, what, obj);
    if (!r.is_valid()) refuse_not_number(g, what, obj);
    return r;
}

// A number's float value (OverflowError for an int past the float range, as float() raises).
inline double real_value(const ModuleGlobals &g, const char *what, nb::handle obj) {
    nb::object p = plain_number(g, what, obj);
    return check_real(PyFloat_AsDouble(p.ptr()));
}

// The ValueError for a value that must be finite.
[[noreturn]] inline void refuse_not_finite(const ModuleGlobals &g, const char *what,
                                           nb::handle obj) {
    g.raise_logged(nb::handle(PyExc_ValueError),
                   std::string(what) + " must be a finite number, not " + repr_text(obj));
}

// The ValueError for a NaN where an infinity is still a value (a bound, an option).
[[noreturn]] inline void refuse_nan(const ModuleGlobals &g, const std::string &what) {
    g.raise_logged(nb::handle(PyExc_ValueError), what + " must be a number, not nan");
}

// The ValueError of refuse_not_finite where `obj` is a real number that is NaN or infinite; ints
// and what is no number pass (the caller says what else it may be).
inline void refuse_if_not_finite(const ModuleGlobals &g, const char *what, nb::handle obj) {
    if (PyLong_Check(obj.ptr())) return;
    Kind k = kind(obj);
    if (k != Kind::kReal) return;
    nb::object p = plain(obj, k);
    if (!std::isfinite(PyFloat_AS_DOUBLE(p.ptr()))) refuse_not_finite(g, what, p);
}

// A number's float value, refusing NaN and both infinities.
inline double finite_value(const ModuleGlobals &g, const char *what, nb::handle obj) {
    double v = real_value(g, what, obj);
    if (!std::isfinite(v)) refuse_not_finite(g, what, obj);
    return v;
}

}  // namespace zk::numbers
