// The model-level rules both linear generations share (linear_rules.hpp).
#include "common/linear_rules.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/integers.hpp"
#include "common/numbers.hpp"

namespace zk::linear {

namespace {

using namespace nb::literals;

constexpr const char *kLogToConsole = "log_to_console";
// Options whose value is a non-negative number for every solver the library drives; the
// engine may take a NaN or a negative one without a word and then never stop, or stop at once.
constexpr const char *kNonNegativeOptions[] = {"time_limit", "mip_rel_gap"};
constexpr const char *kNonNegative = "{} must be a non-negative number, not {}";

constexpr const char *kTooMany =
    "Linear variable named {} has too many elements: its columns would run past 2147483647";

constexpr const char *kStartValue = "Start value";

std::string text_of(nb::handle obj) { return nb::cast<std::string>(nb::str(obj)); }

bool is_non_negative_option(const std::string &name) {
    for (const char *n : kNonNegativeOptions)
        if (name == n) return true;
    return false;
}

// One option's value as the engine receives it. Only numbers are read: any other value is the
// engine's to judge, as before.
nb::object option_value(const ModuleGlobals &g, nb::handle name, nb::handle value) {
    numbers::Kind k = numbers::kind(value);
    if (k != numbers::Kind::kInt && k != numbers::Kind::kReal) return nb::borrow(value);
    nb::object plain;
    if (PyBool_Check(value.ptr())) {
        plain = nb::borrow(value);
    } else if (!PyLong_Check(value.ptr()) && numbers::is_a(value, numbers::classes().np_bool_)) {
        // A switch stays a switch: numpy's bool as the host's.
        plain = nb::bool_(truth(value));
    } else {
        plain = numbers::plain(value, k);
    }
    const std::string key = text_of(name);
    const double v = PyFloat_Check(plain.ptr()) ? PyFloat_AS_DOUBLE(plain.ptr()) : 0.0;
    if (is_non_negative_option(key)) {
        // An int is compared exactly: no float conversion to overflow.
        bool negative =
            PyFloat_Check(plain.ptr()) ? !(v >= 0.0) : compare(plain, nb::int_(0), Py_LT);
        if (negative)
            g.raise_logged(nb::handle(PyExc_ValueError),
                           format_message(kNonNegative, key, numbers::repr_text(plain)));
    } else if (std::isnan(v)) {
        numbers::refuse_nan(g, key);
    }
    return plain;
}

// 0-d numpy arrays stand for their one value, as numpy itself treats them.
nb::object scalar_of(nb::handle obj) {
    PyObject *ndarray = numbers::classes().np_ndarray_;
    if (Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(ndarray) &&
        index_int64(obj.attr("ndim")) == 0)
        return obj[nb::tuple()];
    return nb::borrow(obj);
}

// Where a flat complex array holds its first value with an imaginary part (0 when none has):
// the value a refusal names.
nb::object first_complex(const ModuleGlobals &g, nb::handle flat) {
    nb::object imaginary = g.get("np").attr("flatnonzero")(flat.attr("imag"));
    return index_int64(imaginary.attr("size")) > 0 ? imaginary[0] : nb::int_(0);
}

}  // namespace

nb::object new_solver(const ModuleGlobals &g, nb::handle log_solver, nb::handle options) {
    std::vector<std::pair<nb::object, nb::object>> settings;
    nb::str console(kLogToConsole);
    settings.emplace_back(console, option_value(g, console, log_solver));
    for (auto item : nb::borrow<nb::dict>(options))
        settings.emplace_back(nb::borrow(item.first), option_value(g, item.first, item.second));
    nb::object solver = g.get("linsolver").attr("LinearSolver")();
    nb::object set = solver.attr("setOptionValue");
    for (const auto &[name, value] : settings) set(name, value);
    return solver;
}

int64_t block_count(const ModuleGlobals &g, nb::handle dims) {
    nb::dict d = nb::borrow<nb::dict>(dims);
    std::vector<std::pair<nb::object, nb::object>> plain_sizes;
    int64_t n = 1;
    for (auto item : d) {
        nb::object size = dimension_size(item.second);
        int64_t v = 0;
        if (size.is_valid() && !int64_of(size, v)) v = kMaxColumns + 1;
        if (!size.is_valid()) g.raise_logged(nb::handle(PyExc_ValueError), kBadSizesMsg);
        if (!size.is(item.second)) plain_sizes.emplace_back(nb::borrow(item.first), size);
        // Past kMaxColumns the count stays there: no product of the sizes can overflow.
        if (n != 0 && v != 0 && n > kMaxColumns / v)
            n = kMaxColumns + 1;
        else
            n *= v;
    }
    for (auto &[key, size] : plain_sizes) d[key] = size;
    return n;
}

void check_columns(const ModuleGlobals &g, nb::handle name, int64_t first, int64_t count) {
    if (!next_columns(first, count))
        g.raise_logged(nb::handle(PyExc_ValueError), format_message(kTooMany, text_of(name)));
}

nb::object bound_or_none(const ModuleGlobals &g, const char *what, nb::handle bound) {
    nb::object plain = numbers::plain_or_none(g, what, scalar_of(bound));
    // An infinity is "no bound"; a NaN would reach the solver as neither.
    if (plain.is_valid() && PyFloat_Check(plain.ptr()) &&
        std::isnan(PyFloat_AS_DOUBLE(plain.ptr())))
        numbers::refuse_nan(g, what);
    return plain;
}

nb::object bound_number(const ModuleGlobals &g, const char *what, nb::handle bound) {
    nb::object plain = bound_or_none(g, what, bound);
    if (!plain.is_valid()) numbers::refuse_not_number(g, what, bound);
    return plain;
}

nb::object real_bound(const ModuleGlobals &g, const char *what, nb::handle bound) {
    nb::object plain = bound_number(g, what, bound);
    if (PyFloat_CheckExact(plain.ptr())) return plain;
    return check(PyFloat_FromDouble(numbers::check_real(PyFloat_AsDouble(plain.ptr()))));
}

nb::object bound_vector(const ModuleGlobals &g, const char *what, nb::handle bound,
                        nb::handle shape) {
    nb::object np = g.get("np");
    nb::object float64 = np.attr("float64");
    nb::object full = np.attr("full");
    if (nb::object k = bound_or_none(g, what, bound); k.is_valid())
        return full(shape, k, "dtype"_a = float64);
    // Anything else as numpy reads it, then each value by the rules of a single bound.
    nb::object given = is_instance(bound, numbers::classes().np_ndarray_)
                           ? nb::borrow(bound)
                           : np.attr("asarray")(bound);
    const std::string kind = nb::cast<std::string>(given.attr("dtype").attr("kind"));
    nb::object values;
    if (kind == "O") {
        nb::list items;
        for (nb::handle item : np.attr("ravel")(given))
            items.append(numbers::real_value(g, what, item));
        values = np.attr("array")(items, "dtype"_a = float64).attr("reshape")(given.attr("shape"));
    } else if (kind == "f" || kind == "i" || kind == "u" || kind == "b") {
        // A copy: later program code cannot change what was checked.
        values = given.attr("astype")(float64);
    } else {
        nb::object flat = np.attr("ravel")(given);
        if (index_int64(flat.attr("size")) > 0) {
            if (kind == "c")
                numbers::refuse_complex(g, what, flat.attr("item")(first_complex(g, flat)));
            numbers::refuse_not_number(g, what, flat.attr("item")(0));
        }
        values = np.attr("zeros")(given.attr("shape"), "dtype"_a = float64);
    }
    if (truth(np.attr("isnan")(values).attr("any")())) numbers::refuse_nan(g, what);
    // numpy's broadcast rule, and its error for values it cannot spread over `shape`.
    if (compare(values.attr("shape"), shape, Py_EQ)) return values;
    return full(shape, values, "dtype"_a = float64);
}

nb::object column_bound(const ModuleGlobals &g, const char *what, nb::object &bound, int64_t count,
                        bool real) {
    nb::object plain = bound_or_none(g, what, bound);
    if (!plain.is_valid()) return bound_vector(g, what, bound, nb::make_tuple(count));
    bound = real ? real_bound(g, what, plain) : plain;
    return bound;
}

nb::object start_values(const ModuleGlobals &g, nb::handle solution) {
    nb::object np = g.get("np");
    nb::object flat = np.attr("ravel")(solution);
    nb::object float64 = np.attr("float64");
    const std::string kind = nb::cast<std::string>(flat.attr("dtype").attr("kind"));
    const bool empty = index_int64(flat.attr("size")) == 0;
    nb::object values;
    switch (kind.empty() ? '?' : kind[0]) {
        case 'b':
        case 'i':
        case 'u':
        case 'f':
            values = flat.attr("astype")(float64);
            break;
        case 'O': {
            // Any numbers: numpy scalars, large ints, fractions, each by its float value.
            nb::list items;
            for (nb::handle item : flat) items.append(numbers::real_value(g, kStartValue, item));
            values = np.attr("array")(items, "dtype"_a = float64);
            break;
        }
        default:
            // Complex values would lose their imaginary part; texts, dates and the like are no
            // numbers, whatever numpy would make of them.
            if (!empty && kind[0] == 'c')
                numbers::refuse_complex(g, kStartValue, flat.attr("item")(first_complex(g, flat)));
            if (!empty) numbers::refuse_not_number(g, kStartValue, flat.attr("item")(0));
            values = np.attr("zeros")(0, "dtype"_a = float64);
            break;
    }
    nb::object finite = np.attr("isfinite")(values);
    if (!truth(finite.attr("all")())) {
        nb::object at = np.attr("flatnonzero")(np.attr("logical_not")(finite))[0];
        numbers::refuse_not_finite(g, kStartValue, values.attr("item")(at));
    }
    return values;
}

}  // namespace zk::linear
