// zk_encoder.linear_parser2._expression: the second generation's numeric rows. A row
// (LinearExpression) and a block of rows (LinearExpressionsArr) hold numpy and scipy arrays, or
// plain arrays made into them when read (a row's RowCoefs, a block's BlockCoefs); every operator
// computes its result at once, one call per row or block, and returns a new object. Real values
// take numpy's and scipy's own arithmetic, or the shared sparse rows' (cpp/linear/), which give
// the same arrays; integer values take it too wherever it cannot wrap around, and are computed
// exactly otherwise. The numbers a program gives are read as the plain numbers they stand for,
// and what no solver row can hold (NaN, infinities, complex values) is refused in the call that
// gives it. Operands are never changed, and results share the operands' arrays wherever those
// stay the same.
#include "zk_encoder/linear_parser2/_expression.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/gc.hpp"
#include "common/linear_rules.hpp"
#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/python_private.hpp"
#include "linear/kernels.hpp"

namespace zk::lp2 {

namespace nb = nanobind;
namespace exact = zk::linear;

namespace {

using namespace nb::literals;

constexpr const char *kRowDoc = "An expression specifying a single row of the constraint matrix";
constexpr const char *kBlockDoc = "An expression defining several rows of the constraint matrix";

constexpr const char *kDebugVariable = "DEBUG_SOLVER_MODE";

// Messages of the row.
constexpr const char *kRowNotCsr = "Linear coefficients must be a csr array";
constexpr const char *kConstantNotNumber = "Constant must be a float or int number";
constexpr const char *kQuadraticNotCsc = "Quadratic coefficients must be a csc array";
constexpr const char *kRowOperandBounded =
    "Operations with expressions with defined boundaries are not allowed.";
constexpr const char *kRowOperandType =
    "Type 'float', 'int' or 'LinearExpression' is expected for left side of expression";
constexpr const char *kQuadraticProduct =
    "Creating a quadratic expression is only available for linear expressions";
constexpr const char *kRowHasLower = "The expression already has a lower bound set.";
constexpr const char *kRowHasUpper = "The expression already has a upper bound set.";

// Shared by rows (==) and blocks (every bound guard).
constexpr const char *kHasBoundary = "The expression already has one of the boundaries set.";

// Messages of the block.
constexpr const char *kBlockHasLower = "The expression already has a lower bounds set.";
constexpr const char *kBlockHasUpper = "The expression already has a upper bounds set.";
constexpr const char *kElementCount = "Expression smust have the same number of elements.";
constexpr const char *kBlockOperandType =
    "Type 'float', 'int' or 'LinearExpressionsArr' is expected for left side of expression";
constexpr const char *kBlockFactorType =
    "Type 'float' or 'int' is expected for left side of expression";
constexpr const char *kConstantsLength =
    "constants and linear_coeffients must have the same number of elements.";
constexpr const char *kBlockNotCsr2d = "Linear coefficients must be a csr array with 2 dimensions.";
constexpr const char *kUndefinedType = "Undefined type ";
constexpr const char *kDotArguments =
    "One of the arguments must be of type 'LinearExpressionsArr', the other 'np.ndarray'";

using linear::kCoefficient;
using linear::kConstant;
using linear::kEquationBound;
using linear::kLowerBound;
using linear::kUpperBound;

constexpr const char *kRowClass = "LinearExpression";
constexpr const char *kBlockClass = "LinearExpressionsArr";

// A bounded row or block is a finished constraint, not a truth value: without this, `1 <= e <= 5`
// would keep only its second bound and `e != 1` would be silently false.
constexpr const char *kBoundedTruth =
    "An expression with defined boundaries has no truth value: state each bound with its own "
    "comparison, without chained comparisons or '!='";

// The module's globals (DEBUG, _CoefType, np, csr_array, csc_array, FormulaError, log_e) are read
// at each use, as the module's own code reads them: a program that rebinds DEBUG switches the
// checks of later calls.
ModuleGlobals g_module;

// ---------------------------------------------------------------------------------------------
// The host's operators and tests, raising what they raise.

nb::object add(nb::handle a, nb::handle b) { return zk::check(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object sub(nb::handle a, nb::handle b) {
    return zk::check(PyNumber_Subtract(a.ptr(), b.ptr()));
}
nb::object mul(nb::handle a, nb::handle b) {
    return zk::check(PyNumber_Multiply(a.ptr(), b.ptr()));
}
nb::object matmul(nb::handle a, nb::handle b) {
    return zk::check(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}
nb::object negate(nb::handle a) { return zk::check(PyNumber_Negative(a.ptr())); }

nb::object add_or_sub(nb::handle a, nb::handle b, bool minus) {
    return minus ? sub(a, b) : add(a, b);
}

nb::object apply_op(exact::Op op, nb::handle a, nb::handle b) {
    switch (op) {
        case exact::Op::kAdd:
            return add(a, b);
        case exact::Op::kSub:
            return sub(a, b);
        case exact::Op::kMul:
            break;
    }
    return mul(a, b);
}

exact::Op sum_op(bool minus) { return minus ? exact::Op::kSub : exact::Op::kAdd; }

// hasattr(): false only for AttributeError; every other error of the look-up is raised.
bool has_attr(nb::handle obj, const char *name) { return zk::optional_attr(obj, name).is_valid(); }

bool debug() { return truth(g_module.get("DEBUG")); }

bool is_ndarray(nb::handle obj) { return is_instance(obj, g_module.get("np").attr("ndarray")); }
bool is_csr(nb::handle obj) { return is_instance(obj, g_module.get("csr_array")); }
bool is_csc(nb::handle obj) { return is_instance(obj, g_module.get("csc_array")); }

bool exact_type(nb::handle obj, nb::handle cls) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(cls.ptr());
}

// ---------------------------------------------------------------------------------------------
// Numbers a program gives. Each is read as the plain int or float it stands for (numpy scalars,
// fractions and the like alike), so that it means what the same host number means; complex
// values are refused, and so are NaN and infinite coefficients and constants, which no solver
// row can hold (an infinite bound is no bound on that side).

// The plain number `obj` stands for; invalid when it is no number (TypeError, naming `what`, for
// a complex one).
nb::object number(const char *what, nb::handle obj) {
    return numbers::plain_or_none(g_module, what, obj);
}

// The plain number an operand of `+`, `-` or `*` stands for; invalid when it is no number. A
// complex value is no number there: the operators refuse it in their own words, as any other
// operand that is neither a number nor a row or block.
nb::object operand_number(nb::handle obj) {
    const numbers::Kind k = numbers::kind(obj);
    if (k != numbers::Kind::kInt && k != numbers::Kind::kReal) return nb::object();
    return numbers::plain(obj, k);
}

bool finite_plain(nb::handle plain) {
    return !PyFloat_Check(plain.ptr()) || std::isfinite(PyFloat_AS_DOUBLE(plain.ptr()));
}

void check_finite(const char *what, nb::handle plain) {
    if (!finite_plain(plain)) numbers::refuse_not_finite(g_module, what, plain);
}

// ---------------------------------------------------------------------------------------------
// numpy arrays of values.

nb::object np_mod() { return g_module.get("np"); }

nb::object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }

// numpy's one-letter kind of a dtype: 'b' truth values, 'i' and 'u' integers, 'f' reals ...
char kind_of(nb::handle dtype) {
    nb::object kind = dtype.attr("kind");
    Py_ssize_t n = 0;
    const char *text = PyUnicode_AsUTF8AndSize(kind.ptr(), &n);
    if (!text) rethrow();
    return n > 0 ? text[0] : '?';
}

char dtype_kind(nb::handle arr) { return kind_of(arr.attr("dtype")); }

bool integer_kind(char kind) { return kind == 'i' || kind == 'u' || kind == 'b'; }

bool is_dtype(nb::handle arr, const char *name) {
    return PyUnicode_CompareWithASCIIString(arr.attr("dtype").attr("name").ptr(), name) == 0;
}

using Int64s = arrays::Contiguous<int64_t>;
using Int32s = arrays::Contiguous<int32_t>;
using Reals = arrays::Contiguous<double>;

// The values of a 1-D integer array as a contiguous int64 array (numpy's conversion, a copy unless
// they are that already); invalid for unsigned 64-bit values past int64.
nb::object int64_values(nb::handle arr) {
    nb::object np = np_mod();
    if (is_dtype(arr, "uint64") && index_int64(arr.attr("size")) > 0 &&
        compare(arr.attr("max")(), nb::int_(std::numeric_limits<int64_t>::max()), Py_GT))
        return nb::object();
    return np.attr("ascontiguousarray")(arr, "dtype"_a = np.attr("int64"));
}

// Exact integer results as an array of `natural` (the type numpy's own arithmetic gives) when
// every value fits it, else int64.
nb::object fit_to(nb::object out, const exact::Range &range, nb::handle natural) {
    nb::object np = np_mod();
    nb::object dtype = np.attr("dtype")(natural);
    if (compare(dtype, np.attr("int64"), Py_EQ) || !integer_kind(kind_of(dtype))) return out;
    if (range.empty_) return out.attr("astype")(dtype);
    nb::object info = np.attr("iinfo")(dtype);
    if (compare(nb::int_(range.lo_), info.attr("min"), Py_GE) &&
        compare(nb::int_(range.hi_), info.attr("max"), Py_LE))
        return out.attr("astype")(dtype);
    return out;
}

nb::object int_result(std::vector<int64_t> &&values, const exact::Range &range,
                      nb::handle natural) {
    return fit_to(numpy_of(std::move(values)), range, natural);
}

// An int64 array as `natural` when every value fits it.
nb::object narrowed(nb::handle values, nb::handle natural) {
    exact::Range range;
    if (index_int64(values.attr("size")) > 0) {
        range.add(index_int64(values.attr("min")()));
        range.add(index_int64(values.attr("max")()));
    }
    return fit_to(nb::borrow(values), range, natural);
}

// The type numpy gives an integer array and a host integer: the array's own (a truth-value
// array's arithmetic gives the default int).
nb::object natural_with_int(nb::handle arr) {
    if (dtype_kind(arr) == 'b') return np_mod().attr("dtype")("int64");
    return arr.attr("dtype");
}

// The same for two arrays.
nb::object natural_of(nb::handle a, nb::handle b) {
    nb::object np = np_mod();
    nb::object t = np.attr("result_type")(a.attr("dtype"), b.attr("dtype"));
    if (kind_of(t) == 'b') return np.attr("dtype")("int64");
    return t;
}

nb::object as_reals(nb::handle arr) { return arr.attr("astype")(np_mod().attr("float64")); }

// Whether every value of magnitude up to `bound` (a host int) is one of the signed integer type
// `natural`: the library's own arithmetic in that type is then exact, and its way is taken.
bool fits_type(nb::handle bound, nb::handle natural) {
    nb::object np = np_mod();
    nb::object dtype = np.attr("dtype")(natural);
    if (kind_of(dtype) != 'i') return false;
    return compare(bound, np.attr("iinfo")(dtype).attr("max"), Py_LE);
}

// The flat position of the first NaN or infinite value of a real array, or -1.
int64_t first_not_finite(nb::handle arr, bool nan_only = false) {
    Reals reals;
    if (arrays::view_of(arr, reals))
        return exact::first_bad_real(reals.data(), reals.shape(0), nan_only);
    nb::object np = np_mod();
    nb::object flat = np.attr("ravel")(arr);
    nb::object good =
        nan_only ? np.attr("logical_not")(np.attr("isnan")(flat)) : np.attr("isfinite")(flat);
    if (truth(good.attr("all")())) return -1;
    return index_int64(np.attr("argmin")(good));
}

// Refuses (ValueError, naming `what`) an array of real values that holds NaN or an infinity.
void check_finite_values(const char *what, nb::handle arr) {
    if (dtype_kind(arr) != 'f') return;
    int64_t at = first_not_finite(arr);
    if (at >= 0) {
        nb::object flat = np_mod().attr("ravel")(arr);
        numbers::refuse_not_finite(g_module, what, flat.attr("item")(at));
    }
}

void check_finite_matrix(const char *what, nb::handle m) {
    if (has_attr(m, "data")) check_finite_values(what, m.attr("data"));
}

// The largest magnitude of an array's values as a real value (0 when empty, NaN when one is).
double max_abs(nb::handle arr) {
    Reals reals;
    if (arrays::view_of(arr, reals)) return exact::max_abs(reals.data(), reals.shape(0));
    if (index_int64(arr.attr("size")) == 0) return 0.0;
    const double low = std::fabs(nb::cast<double>(builtin("float")(arr.attr("min")())));
    const double high = std::fabs(nb::cast<double>(builtin("float")(arr.attr("max")())));
    return std::max(low, high);
}

double magnitude_of(nb::handle number) {
    return std::fabs(zk::numbers::check_real(PyFloat_AsDouble(number.ptr())));
}

// numpy warns when real values overflow: an operation whose results may leave the real range
// (`bound`, the largest magnitude they can reach, is past it) runs with its warnings off, and the
// checks after it refuse such values themselves, in the library's words.
template <typename Fn>
nb::object real_arithmetic(double bound, Fn fn) {
    if (bound <= std::numeric_limits<double>::max()) return fn();
    nb::object state = np_mod().attr("errstate")("all"_a = "ignore");
    state.attr("__enter__")();
    nb::object r;
    try {
        r = fn();
    } catch (...) {
        state.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    state.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return r;
}

double op_bound(exact::Op op, double a, double b) { return op == exact::Op::kMul ? a * b : a + b; }

// The real results of a op b (b of a's length or one value; b op a when `swap`), computed and
// checked in one pass: NaN and infinite results are refused (ValueError, naming `what`).
nb::object checked_reals(const char *what, const Reals &a, const double *b, size_t b_len,
                         exact::Op op, bool swap) {
    const size_t n = a.shape(0);
    auto [array, out] = arrays::new_numpy<double>(n);
    if (!exact::reals_op(a.data(), n, b, b_len, op, swap, out)) {
        const int64_t at = exact::first_bad_real(out, n, false);
        numbers::refuse_not_finite(g_module, what, nb::float_(out[at]));
    }
    return array;
}

// values op k (k op values when `swap`) for a 1-D array and a plain number: integers exactly,
// as real values past 64 bits; real values natively where they are float64, as numpy computes
// them otherwise. Results that are NaN or infinite are refused (ValueError, naming `what`).
nb::object values_with_number(nb::handle values, nb::handle k, exact::Op op, bool swap,
                              const char *what) {
    auto real_way = [op, swap, what](nb::handle a, nb::handle b) {
        Reals reals;
        if (arrays::view_of(a, reals)) {
            const double kd = zk::numbers::check_real(PyFloat_AsDouble(b.ptr()));
            return checked_reals(what, reals, &kd, 1, op, swap);
        }
        nb::object r = real_arithmetic(op_bound(op, max_abs(a), magnitude_of(b)), [&] {
            return swap ? apply_op(op, b, a) : apply_op(op, a, b);
        });
        check_finite_values(what, r);
        return r;
    };
    if (!PyLong_Check(k.ptr()) || !integer_kind(dtype_kind(values))) return real_way(values, k);
    nb::object ints = int64_values(values);
    __int128 kv = 0;
    if (ints.is_valid()) {
        Int64s a = arrays::converted_view<int64_t>(ints);
        std::vector<int64_t> out(a.shape(0));
        exact::Range range;
        const bool beyond = !int128_of(k, kv);
        // Past 128 bits only a product with zeros stays an integer.
        if (beyond && op == exact::Op::kMul &&
            std::all_of(a.data(), a.data() + a.shape(0), [](int64_t v) { return v == 0; }))
            return int_result(std::move(out), range, natural_with_int(values));
        if (!beyond && exact::with_scalar(a.data(), a.shape(0), kv, op, swap, out.data(), range))
            return int_result(std::move(out), range, natural_with_int(values));
    }
    return real_way(as_reals(values), zk::check(PyNumber_Float(k.ptr())));
}

// a op b for two arrays: integers exactly where both are 1-D with one value per entry of a (or
// one for all), as real values past 64 bits; real values natively where both are float64, as
// numpy computes them otherwise. Results that are NaN or infinite are refused (ValueError,
// naming `what`).
nb::object values_with_values(nb::handle a, nb::handle b, exact::Op op, const char *what) {
    auto real_way = [op, what](nb::handle x, nb::handle y) {
        Reals rx, ry;
        if (arrays::view_of(x, rx) && arrays::view_of(y, ry) &&
            (ry.shape(0) == rx.shape(0) || ry.shape(0) == 1))
            return checked_reals(what, rx, ry.data(), ry.shape(0), op, false);
        nb::object r = real_arithmetic(op_bound(op, max_abs(x), max_abs(y)),
                                       [&] { return apply_op(op, x, y); });
        check_finite_values(what, r);
        return r;
    };
    if (!integer_kind(dtype_kind(a)) || !integer_kind(dtype_kind(b))) return real_way(a, b);
    nb::object natural = natural_of(a, b);
    if (!integer_kind(kind_of(natural))) return apply_op(op, a, b);
    if (index_int64(a.attr("ndim")) != 1 || index_int64(b.attr("ndim")) != 1)
        return apply_op(op, a, b);
    const int64_t na = index_int64(a.attr("size")), nbv = index_int64(b.attr("size"));
    if (nbv != na && nbv != 1) return apply_op(op, a, b);
    nb::object ia = int64_values(a), ib = int64_values(b);
    if (ia.is_valid() && ib.is_valid()) {
        Int64s x = arrays::converted_view<int64_t>(ia), y = arrays::converted_view<int64_t>(ib);
        std::vector<int64_t> out(x.shape(0));
        exact::Range range;
        if (exact::elementwise(x.data(), x.shape(0), y.data(), y.shape(0), op, false, out.data(),
                               range))
            return int_result(std::move(out), range, natural);
    }
    return real_way(as_reals(a), as_reals(b));
}

// Refuses (TypeError) an array of values that are no real numbers: complex ones, texts, dates.
void refuse_kind(const char *what, nb::handle arr, char kind) {
    nb::object flat = np_mod().attr("ravel")(arr);
    if (index_int64(flat.attr("size")) == 0) return;
    nb::object first = flat.attr("item")(0);
    if (kind == 'c') numbers::refuse_complex(g_module, what, first);
    numbers::refuse_not_number(g_module, what, first);
}

// The weights a program gives a block (one per row): real numbers as numpy holds them (integers
// stay integers), each value of an object array by the plain number it stands for. NaN and
// infinite weights are refused (ValueError), and so is what is no real number (TypeError).
nb::object weights_of(nb::handle w) {
    nb::object np = np_mod();
    const char kind = dtype_kind(w);
    if (integer_kind(kind)) return nb::borrow(w);
    if (kind == 'f') {
        check_finite_values(kCoefficient, w);
        // Half-precision values are read as float64, which holds them exactly: the sparse library
        // takes no float16.
        if (is_dtype(w, "float16")) return as_reals(w);
        return nb::borrow(w);
    }
    if (kind != 'O') {
        refuse_kind(kCoefficient, w, kind);
        return nb::borrow(w);
    }
    nb::list values;
    bool ints = true;
    int64_t unused = 0;
    for (nb::handle item : np.attr("ravel")(w)) {
        nb::object v = numbers::plain_number(g_module, kCoefficient, item);
        check_finite(kCoefficient, v);
        ints = ints && PyLong_Check(v.ptr()) && int64_of(v, unused);
        values.append(v);
    }
    nb::object dtype = np.attr(ints ? "int64" : "float64");
    nb::object out = np.attr("array")(values, "dtype"_a = dtype).attr("reshape")(w.attr("shape"));
    check_finite_values(kCoefficient, out);
    return out;
}

// Python's int of a 128-bit value.
nb::object py_int(__int128 v) {
    if (exact::fits_int64(v)) return nb::int_(static_cast<int64_t>(v));
    const auto hi = static_cast<int64_t>(v >> 64);
    const auto lo = static_cast<uint64_t>(v);
    nb::object high = zk::check(PyNumber_Lshift(nb::int_(hi).ptr(), nb::int_(64).ptr()));
    nb::object low = zk::check(PyLong_FromUnsignedLongLong(lo));
    return add(high, low);
}

// Σ c_i (Σ c_i · w_i with weights) as a plain number: exact for integers, whatever their size.
nb::object total(nb::handle c, nb::handle w) {
    nb::object np = np_mod();
    const bool weighted = !w.is_none();
    const bool ints = integer_kind(dtype_kind(c)) && (!weighted || integer_kind(dtype_kind(w)));
    bool shaped = index_int64(c.attr("ndim")) == 1;
    if (weighted)
        shaped = shaped && index_int64(w.attr("ndim")) == 1 &&
                 compare(w.attr("size"), c.attr("size"), Py_EQ);
    if (ints && shaped) {
        nb::object ic = int64_values(c);
        nb::object iw = weighted ? int64_values(w) : nb::object();
        if (ic.is_valid() && (!weighted || iw.is_valid())) {
            Int64s a = arrays::converted_view<int64_t>(ic);
            const int64_t one = 1;
            const int64_t *b = &one;
            size_t b_len = 1;
            Int64s wv;
            if (weighted) {
                wv = arrays::converted_view<int64_t>(iw);
                b = wv.data();
                b_len = wv.shape(0);
            }
            __int128 sum = 0;
            if (exact::dot(a.data(), a.shape(0), b, b_len, sum)) return py_int(sum);
        }
        // Past 128 bits: the host's integers.
        nb::object terms = c.attr("tolist")();
        if (weighted)
            terms = builtin("map")(nb::module_::import_("operator").attr("mul"), terms,
                                   w.attr("tolist")());
        return builtin("sum")(terms);
    }
    // numpy's dot gives no warnings; its sum warns on overflow.
    nb::object r =
        weighted ? c.attr("dot")(w)
                 : real_arithmetic(max_abs(c) * static_cast<double>(index_int64(c.attr("size"))),
                                   [&] { return c.attr("sum")(); });
    nb::object plain = numbers::plain_or_none(g_module, kConstant, r);
    if (!plain.is_valid()) return r;
    check_finite(kConstant, plain);
    return plain;
}

// The largest magnitude of an integer array's values as the host's int (0 when empty): the
// magnitude of int64's least value is no int64.
nb::object magnitude(nb::handle values) {
    if (index_int64(values.attr("size")) == 0) return nb::int_(0);
    nb::object low = builtin("abs")(builtin("int")(values.attr("min")()));
    nb::object high = builtin("abs")(builtin("int")(values.attr("max")()));
    return builtin("max")(low, high);
}

// The longest row (of a csr_array; column of a csc_array) as the host's int.
nb::object longest_line(nb::handle m) {
    nb::object starts = m.attr("indptr");
    if (index_int64(starts.attr("size")) < 2) return nb::int_(0);
    return builtin("int")(np_mod().attr("diff")(starts).attr("max")());
}

bool within_int64(nb::handle bound) {
    return compare(bound, nb::int_(std::numeric_limits<int64_t>::max()), Py_LE);
}

nb::object as_int64(nb::handle arr) { return arr.attr("astype")(np_mod().attr("int64")); }

// ---------------------------------------------------------------------------------------------
// Sparse matrices (a row's 1-D csr_array, a block's 2-D one, the quadratic csc_array): integer
// values computed exactly, real ones by the sparse library with their results checked.

bool is_compressed(nb::handle m) {
    return exact_type(m, g_module.get("csr_array")) || exact_type(m, g_module.get("csc_array"));
}

// A compressed array of the library's own types whose stored values are integers.
bool integer_sparse(nb::handle m) {
    return is_compressed(m) && integer_kind(dtype_kind(m.attr("data")));
}

// The same structure with other stored values. The index arrays are shared while the matrix is
// canonical (nothing rearranges them then), copied otherwise, as the library's own copy would.
nb::object with_values(nb::handle m, nb::handle values) {
    nb::object indices = m.attr("indices"), indptr = m.attr("indptr");
    if (!truth(m.attr("has_canonical_format"))) {
        indices = indices.attr("copy")();
        indptr = indptr.attr("copy")();
    }
    nb::handle cls(reinterpret_cast<PyObject *>(Py_TYPE(m.ptr())));
    return cls(nb::make_tuple(values, indices, indptr), "shape"_a = m.attr("shape"));
}

// k · m for a plain number k.
nb::object scale_matrix(nb::handle m, nb::handle k) {
    if (PyLong_Check(k.ptr()) && integer_sparse(m)) {
        nb::object data = m.attr("data");
        nb::object factor = builtin("abs")(k);
        nb::object natural = natural_with_int(data);
        if (!fits_type(factor, natural) || !fits_type(mul(magnitude(data), factor), natural))
            return with_values(m,
                               values_with_number(data, k, exact::Op::kMul, false, kCoefficient));
    }
    // float64 values times a host number: natively, in the same pass as their check.
    Reals reals;
    if ((PyFloat_Check(k.ptr()) || PyLong_Check(k.ptr())) && is_compressed(m) &&
        arrays::view_of(m.attr("data"), reals))
        return with_values(
            m, values_with_number(m.attr("data"), k, exact::Op::kMul, false, kCoefficient));
    nb::object r =
        real_arithmetic(max_abs(m.attr("data")) * magnitude_of(k), [&] { return mul(k, m); });
    check_finite_matrix(kCoefficient, r);
    return r;
}

// -m: -(-2**31) is no int32 either.
nb::object negate_matrix(nb::handle m) {
    if (integer_sparse(m)) {
        nb::object data = m.attr("data");
        if (!fits_type(magnitude(data), natural_with_int(data)))
            return with_values(
                m, values_with_number(data, nb::int_(-1), exact::Op::kMul, false, kCoefficient));
    }
    return negate(m);
}

// m with its values as real ones, or as int64, in the same layout (the library's astype would add
// up repeated entries as well).
nb::object real_matrix(nb::handle m) {
    if (!is_compressed(m) || dtype_kind(m.attr("data")) == 'f') return nb::borrow(m);
    return with_values(m, as_reals(m.attr("data")));
}

nb::object int64_matrix(nb::handle m) {
    return with_values(m, m.attr("data").attr("astype")(np_mod().attr("int64")));
}

// The compressed arrays of a matrix as the kernels read them: 32-bit indices (the library's own
// for every matrix of this size) and int64 values.
struct Compressed {
    nb::object starts_obj_, cols_obj_, values_obj_;
    Int32s starts_, cols_;
    Int64s values_;
    size_t lines_ = 0;  // rows of a csr_array, columns of a csc_array

    exact::CsrView view() const {
        return {starts_.data(), cols_.data(), values_.data(), nullptr, exact::Dtype::kInt64};
    }
};

bool compressed(nb::handle m, Compressed &out) {
    nb::object np = np_mod();
    nb::object shape = m.attr("shape");
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.ptr());
    const bool csc = exact_type(m, g_module.get("csc_array"));
    const int64_t lines = ndim == 1 ? 1 : index_int64(shape[csc ? 1 : 0]);
    const int64_t across = index_int64(shape[ndim == 1 || csc ? 0 : 1]);
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (across > kMax || index_int64(m.attr("nnz")) > kMax) return false;
    out.values_obj_ = int64_values(m.attr("data"));
    if (!out.values_obj_.is_valid()) return false;
    nb::object int32 = np.attr("int32");
    out.starts_obj_ = np.attr("ascontiguousarray")(m.attr("indptr"), "dtype"_a = int32);
    out.cols_obj_ = np.attr("ascontiguousarray")(m.attr("indices"), "dtype"_a = int32);
    out.starts_ = arrays::converted_view<int32_t>(out.starts_obj_);
    out.cols_ = arrays::converted_view<int32_t>(out.cols_obj_);
    out.values_ = arrays::converted_view<int64_t>(out.values_obj_);
    out.lines_ = static_cast<size_t>(lines);
    return true;
}

// The library's results keep 64-bit indices where an operand has them.
bool wide_indices(nb::handle m) {
    return !is_dtype(m.attr("indices"), "int32") || !is_dtype(m.attr("indptr"), "int32");
}

// Index arrays of a result made from operands with wide indices: as wide.
nb::object index_array(std::vector<int32_t> &&v, bool wide) {
    nb::object out = numpy_of(std::move(v));
    if (wide) out = out.attr("astype")(np_mod().attr("int64"));
    return out;
}

// The library's own way `fn` on integer operands, taken in int64 where `bound` (the magnitude
// no value along the way can pass) shows that it cannot wrap there, and the result given the
// type `natural` when its values fit it; as real values otherwise. For the forms the kernels
// here do not take (matrices not in canonical form), whose results keep the library's layout.
template <typename Fn>
nb::object library_way(nb::handle bound, nb::handle natural, Fn fn) {
    if (!within_int64(bound)) {
        nb::object r = fn(true);
        check_finite_matrix(kCoefficient, r);
        return r;
    }
    nb::object r = fn(false);
    return with_values(r, narrowed(r.attr("data"), natural));
}

// a ± b for two compressed arrays of one type with integer values, exactly (canonical operands
// are merged as the library merges them); invalid where the library's own way is taken.
nb::object exact_matrix_sum(nb::handle a, nb::handle b, bool minus) {
    if (!integer_sparse(a) || !integer_sparse(b) || Py_TYPE(a.ptr()) != Py_TYPE(b.ptr()))
        return nb::object();
    // Matrices of other shapes: the library's own error.
    if (compare(a.attr("shape"), b.attr("shape"), Py_NE)) return nb::object();
    nb::object natural = natural_of(a.attr("data"), b.attr("data"));
    // Repeated entries of a matrix not in canonical form are added up along the way.
    nb::object bound = add(mul(magnitude(a.attr("data")), longest_line(a)),
                           mul(magnitude(b.attr("data")), longest_line(b)));
    if (fits_type(bound, natural)) return nb::object();
    if (!truth(a.attr("has_canonical_format")) || !truth(b.attr("has_canonical_format"))) {
        return library_way(bound, natural, [&](bool real) {
            return real ? add_or_sub(real_matrix(a), real_matrix(b), minus)
                        : add_or_sub(int64_matrix(a), int64_matrix(b), minus);
        });
    }
    Compressed x, y;
    if (!compressed(a, x) || !compressed(b, y)) return nb::object();
    exact::PlainCsr out = exact::merged(x.view(), y.view(), minus, static_cast<int64_t>(x.lines_));
    nb::object values;
    if (out.width_ != exact::Dtype::kFloat64) {
        exact::Range range;
        range.add(out.ints_);
        values = int_result(std::move(out.ints_), range, natural);
    } else {
        values = numpy_of(std::move(out.reals_));
        check_finite_values(kCoefficient, values);
    }
    nb::handle cls(reinterpret_cast<PyObject *>(Py_TYPE(a.ptr())));
    const bool wide = wide_indices(a) || wide_indices(b);
    return cls(nb::make_tuple(values, index_array(std::move(out.cols_), wide),
                              index_array(std::move(out.starts_), wide)),
               "shape"_a = a.attr("shape"));
}

nb::object matrix_sum(nb::handle a, nb::handle b, bool minus) {
    if (nb::object r = exact_matrix_sum(a, b, minus); r.is_valid()) return r;
    nb::object r = add_or_sub(a, b, minus);
    check_finite_matrix(kCoefficient, r);
    return r;
}

// The type numpy's sum gives values of `arr`'s type (int64 for int32).
nb::object sum_type(nb::handle arr) {
    nb::object np = np_mod();
    return np.attr("zeros")(0, "dtype"_a = arr.attr("dtype")).attr("sum")().attr("dtype");
}

// The column sums of a 2-D csr_array of integer values, weighted by one integer per row or not,
// as a 1-D csr_array over its columns: exact in `natural` while the sums fit it, int64 next,
// float64 past that. `present`: every column holding an entry, sums of 0 included (as the
// library adds stored values by column); otherwise the sums that are not 0 (as a row made from
// dense sums holds them). Invalid where the shortcut does not apply.
nb::object exact_column_sums(nb::handle m, nb::handle weights, bool present, nb::handle natural) {
    if (!exact_type(m, g_module.get("csr_array")) || index_int64(m.attr("ndim")) != 2 ||
        !integer_kind(dtype_kind(m.attr("data"))))
        return nb::object();
    nb::object iw;
    Int64s w;
    if (!weights.is_none()) {
        if (!integer_kind(dtype_kind(weights)) || index_int64(weights.attr("ndim")) != 1 ||
            compare(weights.attr("size"), m.attr("shape")[0], Py_NE))
            return nb::object();
        iw = int64_values(weights);
        if (!iw.is_valid()) return nb::object();
        w = arrays::converted_view<int64_t>(iw);
    }
    nb::object data = m.attr("data");
    nb::object factor = iw.is_valid() ? magnitude(weights) : nb::int_(1);
    nb::object bound = mul(mul(magnitude(data), factor), m.attr("nnz"));
    if (fits_type(bound, natural)) return nb::object();
    Compressed x;
    if (!compressed(m, x)) return nb::object();
    const int64_t width = index_int64(m.attr("shape")[1]);
    exact::ColumnSums sums =
        exact::column_sums(x.starts_.data(), x.lines_, x.cols_.data(), x.values_.data(),
                           iw.is_valid() ? w.data() : nullptr, width, present);
    bool ints = sums.exact_ok_;
    for (size_t i = 0; ints && i < sums.exact_.size(); ++i)
        ints = exact::fits_int64(sums.exact_[i]);
    nb::object values;
    if (ints) {
        std::vector<int64_t> v(sums.exact_.begin(), sums.exact_.end());
        exact::Range range;
        range.add(v);
        values = int_result(std::move(v), range, natural);
    } else {
        values = numpy_of(std::move(sums.reals_));
        check_finite_values(kCoefficient, values);
    }
    std::vector<int32_t> starts{0, static_cast<int32_t>(sums.cols_.size())};
    const bool wide = wide_indices(m);
    return g_module.get("csr_array")(
        nb::make_tuple(values, index_array(std::move(sums.cols_), wide),
                       index_array(std::move(starts), wide)),
        "shape"_a = nb::make_tuple(width));
}

// ---------------------------------------------------------------------------------------------
// Origins: the variable arrays a result holds are those of its operands.

OriginPtr join(const OriginPtr &a, const OriginPtr &b) {
    if (a == b) return a;
    if (!a || !b) return with_others(a ? a : b);
    auto before = [](const nb::object &x, const nb::object &y) {
        return std::less<PyObject *>()(x.ptr(), y.ptr());
    };
    auto covers = [&before](const Origin &x, const Origin &y) {
        return (x.others_ || !y.others_) &&
               std::includes(x.arrays_.begin(), x.arrays_.end(), y.arrays_.begin(), y.arrays_.end(),
                             before);
    };
    if (covers(*a, *b)) return a;
    if (covers(*b, *a)) return b;
    Origin o;
    std::set_union(a->arrays_.begin(), a->arrays_.end(), b->arrays_.begin(), b->arrays_.end(),
                   std::back_inserter(o.arrays_), before);
    o.others_ = a->others_ || b->others_;
    return new_origin(std::move(o));
}
// ---------------------------------------------------------------------------------------------
// Garbage collection: every field is an arbitrary object (the constructors convert nothing), so a
// row can close a cycle through a bound or its attribute dictionary.

using RowGc =
    GcSlots<LinearExpression, &LinearExpression::constant_, &LinearExpression::linear_coefficients_,
            &LinearExpression::quadratic_coefficients_, &LinearExpression::lower_bound_,
            &LinearExpression::upper_bound_, &LinearExpression::coefs_, &LinearExpression::origin_>;
using BlockGc = GcSlots<LinearExpressionsArr, &LinearExpressionsArr::constants_,
                        &LinearExpressionsArr::lower_bounds_, &LinearExpressionsArr::upper_bounds_,
                        &LinearExpressionsArr::is_init_, &LinearExpressionsArr::coefs_,
                        &LinearExpressionsArr::origin_>;

// ---------------------------------------------------------------------------------------------
// Rows.

void check_row_parts(nb::handle linear, nb::handle constant, nb::handle quadratic) {
    if (!debug()) return;
    if (!is_csr(linear)) g_module.raise_logged(nb::handle(PyExc_TypeError), kRowNotCsr);
    if (!numbers::is_number(constant))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kConstantNotNumber);
    if (!quadratic.is_none() && !is_csc(quadratic))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kQuadraticNotCsc);
}

// The csr_array of a row's values and column indices.
nb::object make_row_matrix(nb::handle values, nb::handle indices, int64_t length,
                           linear::IndexType index) {
    const Py_ssize_t n = PyObject_Length(values.ptr());
    if (n < 0) throw nb::python_error();
    std::vector<int32_t> starts{0, static_cast<int32_t>(n)};
    nb::object m =
        g_module.get("csr_array")(nb::make_tuple(values, indices, row_indices(starts, index)),
                                  "shape"_a = nb::make_tuple(length));
    // The constructor keeps views of the arrays: the matrix holds the arrays themselves.
    m.attr("data") = values;
    m.attr("indices") = indices;
    return m;
}

// A row's coefficient matrix, made from its plain row the first time it is asked for; from then
// on the matrix is what every operation reads.
nb::object linear_of(const LinearExpression &r) {
    if (RowCoefs *c = instance_of<RowCoefs>(r.coefs_)) return c->matrix(make_row_matrix);
    // A holder the collector cleared holds nothing.
    if (r.coefs_.is_valid()) return nb::none();
    return r.linear_coefficients_;
}

// A row's coefficients: the csr_array, or the holder of the plain row it is made from when read.
struct Coefs {
    nb::object matrix_;
    nb::object plain_;

    static Coefs of(const LinearExpression &r) { return {r.linear_coefficients_, r.coefs_}; }
    static Coefs of(linear::SparseRow &&row) { return {nb::object(), new_coefs(std::move(row))}; }
    static Coefs of(nb::object matrix) { return {std::move(matrix), nb::object()}; }
    bool plain() const { return plain_.is_valid(); }
};

// Every result goes through the constructor's checks and is a plain LinearExpression, whatever
// the operands' classes.
nb::object make_row(Coefs linear, nb::object constant, nb::object quadratic, OriginPtr origin,
                    nb::object lower = nb::none(), nb::object upper = nb::none()) {
    if (!linear.plain()) check_row_parts(linear.matrix_, constant, quadratic);
    return new_row(LinearExpression{std::move(constant), std::move(linear.matrix_),
                                    std::move(quadratic), std::move(lower), std::move(upper),
                                    std::move(origin), std::move(linear.plain_)});
}

nb::object make_row(nb::object linear, nb::object constant, nb::object quadratic,
                    OriginPtr origin) {
    return make_row(Coefs::of(std::move(linear)), std::move(constant), std::move(quadratic),
                    std::move(origin));
}

// A copy of the fields (references only): the arithmetic below runs the host's code, which could
// otherwise reach the operand's fields while they are in use.
LinearExpression row_of(nb::handle obj) { return nb::cast<LinearExpression &>(obj); }
bool is_row(nb::handle obj) { return nb::isinstance<LinearExpression>(obj); }

bool row_bounded(const LinearExpression &r) {
    return !r.lower_bound_.is_none() || !r.upper_bound_.is_none();
}

void row_guard(const LinearExpression &r) {
    if (row_bounded(r)) g_module.raise_logged("FormulaError", kRowOperandBounded);
}

// A row's constant as the plain number it stands for (a numpy scalar a constructor was given);
// any other object as it is, whose arithmetic is its own.
nb::object constant_of(const LinearExpression &r) {
    nb::object plain = number(kConstant, r.constant_);
    return plain.is_valid() ? plain : r.constant_;
}

// A constant computed from plain numbers: an infinite or NaN one is refused.
nb::object checked_constant(nb::object c) {
    check_finite(kConstant, c);
    return c;
}

// The sum or difference of two rows' plain coefficients; empty where either has none or the
// host computes it.
Coefs plain_sum(const LinearExpression &a, const LinearExpression &b, bool minus) {
    const linear::SparseRow *pa = plain_row(a), *pb = plain_row(b);
    if (!pa || !pb) return {};
    std::optional<linear::SparseRow> r = linear::merged_rows(*pa, *pb, minus);
    if (!r) return {};
    return Coefs::of(std::move(*r));
}

// k · a for a row's plain coefficients and a plain number; empty where the host computes it.
Coefs plain_scaled(const LinearExpression &a, nb::handle k) {
    const linear::SparseRow *pa = plain_row(a);
    if (!pa) return {};
    std::optional<linear::SparseRow> r;
    int64_t small = 0;
    if (PyFloat_Check(k.ptr()))
        r = linear::scaled_row(*pa, PyFloat_AS_DOUBLE(k.ptr()));
    else if (PyLong_Check(k.ptr()) && int64_of(k, small))
        r = linear::scaled_row(*pa, small);
    if (!r) return {};
    return Coefs::of(std::move(*r));
}

Coefs scaled_coefs(const LinearExpression &a, nb::handle k) {
    Coefs c = plain_scaled(a, k);
    if (c.plain()) return c;
    return Coefs::of(scale_matrix(linear_of(a), k));
}

Coefs negated_coefs(const LinearExpression &a) {
    if (const linear::SparseRow *pa = plain_row(a)) return Coefs::of(linear::negated_row(*pa));
    return Coefs::of(negate_matrix(linear_of(a)));
}

// a ± b for two rows free of bounds.
nb::object combine_rows(const LinearExpression &a, const LinearExpression &b, bool minus) {
    nb::object constant = checked_constant(add_or_sub(constant_of(a), constant_of(b), minus));
    Coefs linear = plain_sum(a, b, minus);
    if (!linear.plain()) linear = Coefs::of(matrix_sum(linear_of(a), linear_of(b), minus));
    nb::object quadratic = nb::none();
    bool qa = !a.quadratic_coefficients_.is_none();
    bool qb = !b.quadratic_coefficients_.is_none();
    if (qa && qb)
        quadratic = matrix_sum(a.quadratic_coefficients_, b.quadratic_coefficients_, minus);
    else if (qa)
        quadratic = a.quadratic_coefficients_;
    else if (qb)
        quadratic = minus ? negate_matrix(b.quadratic_coefficients_) : b.quadratic_coefficients_;
    return make_row(std::move(linear), std::move(constant), std::move(quadratic),
                    join(a.origin_, b.origin_));
}

// ---------------------------------------------------------------------------------------------
// The road of rows stated one term at a time (`x[c] * a + x[d] * b ...`): operands whose
// arithmetic runs no host code (plain coefficients, a float constant, no quadratic part, no
// bounds) and host floats or 64-bit ints as numbers are combined here directly, with the results
// the steps above give; anything else, a result they would refuse among it, takes those steps.

// The row `obj` is when it is such an operand; null otherwise.
const LinearExpression *simple_row(nb::handle obj) {
    static auto *const type = reinterpret_cast<PyTypeObject *>(nb::type<LinearExpression>().ptr());
    if (!PyObject_TypeCheck(obj.ptr(), type) || !nb::inst_ready(obj)) return nullptr;
    const LinearExpression *r = nb::inst_ptr<LinearExpression>(obj);
    if (!plain_row(*r) || !PyFloat_CheckExact(r->constant_.ptr()) ||
        !r->quadratic_coefficients_.is_none() || !r->lower_bound_.is_none() ||
        !r->upper_bound_.is_none())
        return nullptr;
    return r;
}

double constant_value(const LinearExpression &r) { return PyFloat_AS_DOUBLE(r.constant_.ptr()); }

nb::object simple_result(linear::SparseRow &&row, double constant, OriginPtr origin) {
    return new_row(LinearExpression{nb::float_(constant), nb::object(), nb::none(), nb::none(),
                                    nb::none(), std::move(origin), new_coefs(std::move(row))});
}

// a ± b.
nb::object simple_sum(const LinearExpression &a, const LinearExpression &b, bool minus) {
    const double constant =
        minus ? constant_value(a) - constant_value(b) : constant_value(a) + constant_value(b);
    if (!std::isfinite(constant)) return {};
    std::optional<linear::SparseRow> r = linear::merged_rows(*plain_row(a), *plain_row(b), minus);
    if (!r) return {};
    return simple_result(std::move(*r), constant, join(a.origin_, b.origin_));
}

// a ± k (k - a when `swap`) for a host float or int: only the constant moves.
nb::object simple_shift(const LinearExpression &a, nb::handle k, bool minus, bool swap) {
    double kd = 0.0;
    if (PyFloat_CheckExact(k.ptr())) {
        kd = PyFloat_AS_DOUBLE(k.ptr());
    } else {
        int64_t small = 0;
        if (!PyLong_CheckExact(k.ptr()) || !int64_of(k, small)) return {};
        kd = static_cast<double>(small);
    }
    const double c = constant_value(a);
    const double constant = swap ? kd - c : minus ? c - kd : c + kd;
    if (!std::isfinite(kd) || !std::isfinite(constant)) return {};
    if (swap) return simple_result(linear::negated_row(*plain_row(a)), constant, a.origin_);
    return new_row(LinearExpression{nb::float_(constant), nb::object(), nb::none(), nb::none(),
                                    nb::none(), a.origin_, a.coefs_});
}

// k · a for a host float or int.
nb::object simple_product(const LinearExpression &a, nb::handle k) {
    std::optional<linear::SparseRow> r;
    double kd = 0.0;
    if (PyFloat_CheckExact(k.ptr())) {
        kd = PyFloat_AS_DOUBLE(k.ptr());
        if (!std::isfinite(kd)) return {};
        r = linear::scaled_row(*plain_row(a), kd);
    } else {
        int64_t small = 0;
        if (!PyLong_CheckExact(k.ptr()) || !int64_of(k, small)) return {};
        kd = static_cast<double>(small);
        r = linear::scaled_row(*plain_row(a), small);
    }
    const double constant = kd * constant_value(a);
    if (!r || !std::isfinite(constant)) return {};
    return simple_result(std::move(*r), constant, a.origin_);
}

// self ± other, or other - self (`reflected`), on the direct road where both are simple; an
// invalid object where the general steps take it.
nb::object simple_add_sub(nb::handle self, nb::handle other, bool minus, bool reflected) {
    const LinearExpression *a = simple_row(self);
    if (!a) return {};
    if (const LinearExpression *b = simple_row(other))
        return reflected ? simple_sum(*b, *a, true) : simple_sum(*a, *b, minus);
    return simple_shift(*a, other, minus, reflected);
}

nb::object row_add_sub(nb::handle self, nb::handle other, bool minus) {
    if (nb::object r = simple_add_sub(self, other, minus, false); r.is_valid()) return r;
    LinearExpression r = row_of(self);
    row_guard(r);
    if (is_row(other)) {
        LinearExpression o = row_of(other);
        row_guard(o);
        return combine_rows(r, o, minus);
    }
    if (nb::object k = operand_number(other); k.is_valid()) {
        check_finite(kConstant, k);
        // Only the constant moves: the result refers to the row's own arrays.
        return make_row(Coefs::of(r), checked_constant(add_or_sub(constant_of(r), k, minus)),
                        r.quadratic_coefficients_, r.origin_);
    }
    g_module.raise_logged(nb::handle(PyExc_TypeError), kRowOperandType);
}

nb::object row_add(nb::handle self, nb::handle other) { return row_add_sub(self, other, false); }
nb::object row_sub(nb::handle self, nb::handle other) { return row_add_sub(self, other, true); }

// other - row.
nb::object row_rsub(nb::handle self, nb::handle other) {
    if (nb::object r = simple_add_sub(self, other, true, true); r.is_valid()) return r;
    LinearExpression r = row_of(self);
    row_guard(r);
    if (is_row(other)) {
        LinearExpression o = row_of(other);
        row_guard(o);
        return combine_rows(o, r, true);
    }
    if (nb::object k = operand_number(other); k.is_valid()) {
        check_finite(kConstant, k);
        nb::object quadratic = r.quadratic_coefficients_.is_none()
                                   ? nb::none()
                                   : negate_matrix(r.quadratic_coefficients_);
        return make_row(negated_coefs(r), checked_constant(sub(k, constant_of(r))),
                        std::move(quadratic), r.origin_);
    }
    g_module.raise_logged(nb::handle(PyExc_TypeError), kRowOperandType);
}

nb::object row_mul(nb::handle self, nb::handle other) {
    if (const LinearExpression *a = simple_row(self))
        if (nb::object r = simple_product(*a, other); r.is_valid()) return r;
    LinearExpression r = row_of(self);
    row_guard(r);
    if (!is_row(other)) {
        nb::object k = operand_number(other);
        if (!k.is_valid()) g_module.raise_logged(nb::handle(PyExc_TypeError), kRowOperandType);
        check_finite(kCoefficient, k);
        nb::object quadratic = r.quadratic_coefficients_.is_none()
                                   ? nb::none()
                                   : scale_matrix(r.quadratic_coefficients_, k);
        return make_row(scaled_coefs(r, k), checked_constant(mul(k, constant_of(r))),
                        std::move(quadratic), r.origin_);
    }
    LinearExpression o = row_of(other);
    row_guard(o);
    if (!r.quadratic_coefficients_.is_none() || !o.quadratic_coefficients_.is_none())
        g_module.raise_logged(nb::handle(PyExc_ValueError), kQuadraticProduct);

    // (a·x + ca)(b·x + cb) = ca·cb + (cb·a + ca·b)·x + x^T (a b^T) x; the outer product is stored
    // symmetrised, which keeps the value at every x. Its halves are real values whatever the
    // rows hold, so the products are taken as real values too: an integer product never wraps.
    nb::object ca = constant_of(r), cb = constant_of(o);
    nb::object constant = checked_constant(mul(ca, cb));
    Coefs linear;
    {
        Coefs sa = plain_scaled(r, cb), sb = plain_scaled(o, ca);
        if (sa.plain() && sb.plain())
            if (std::optional<linear::SparseRow> sum =
                    linear::merged_rows(*instance_of<RowCoefs>(sa.plain_)->plain(),
                                        *instance_of<RowCoefs>(sb.plain_)->plain(), false))
                linear = Coefs::of(std::move(*sum));
    }
    const nb::object a = linear_of(r);
    const nb::object b = linear_of(o);
    if (!linear.plain())
        linear = Coefs::of(matrix_sum(scale_matrix(a, cb), scale_matrix(b, ca), false));
    nb::object outer =
        matmul(real_matrix(a).attr("reshape")(-1, 1), real_matrix(b).attr("reshape")(1, -1));
    nb::object half = nb::float_(0.5);
    nb::object quadratic = mul(half, add(outer, outer.attr("T"))).attr("tocsc")();
    check_finite_matrix(kCoefficient, quadratic);
    return make_row(std::move(linear), std::move(constant), std::move(quadratic),
                    join(r.origin_, o.origin_));
}

// A bound a comparison gives: the plain number (an infinity is no bound on that side, NaN is
// refused); None and what is no number are refused with the host's words for the comparison,
// as the engine could hold no such bound.
nb::object bound_of(const char *op, const char *cls, const char *what, nb::handle other) {
    if (other.is_none())
        g_module.raise_logged(nb::handle(PyExc_TypeError),
                              linear::none_comparison_message(op, cls));
    nb::object v = number(what, other);
    if (!v.is_valid())
        g_module.raise_logged(nb::handle(PyExc_TypeError),
                              linear::comparison_message(op, cls, numbers::type_text(other)));
    if (PyFloat_Check(v.ptr()) && std::isnan(PyFloat_AS_DOUBLE(v.ptr())))
        numbers::refuse_nan(g_module, what);
    return v;
}

// A comparison gives a copy with the new bound; the opposite bound that the row already carries
// stays, so `(e >= 1) <= 5` states both.
// The copy of a simple row (see simple_row) with a bound a host float or int gives, on the sides
// named; invalid for anything else (a NaN among it, refused by the steps below).
nb::object simple_bounded(nb::handle self, nb::handle other, bool lower, bool upper) {
    const LinearExpression *r = simple_row(self);
    if (!r) return {};
    if (PyFloat_CheckExact(other.ptr())) {
        if (std::isnan(PyFloat_AS_DOUBLE(other.ptr()))) return {};
    } else if (!PyLong_CheckExact(other.ptr())) {
        return {};
    }
    nb::object v = nb::borrow(other);
    return new_row(LinearExpression{r->constant_, nb::object(), nb::none(), lower ? v : nb::none(),
                                    upper ? v : nb::none(), r->origin_, r->coefs_});
}

nb::object row_eq(nb::handle self, nb::handle other) {
    if (nb::object b = simple_bounded(self, other, true, true); b.is_valid()) return b;
    LinearExpression r = row_of(self);
    if (row_bounded(r)) g_module.raise_logged("FormulaError", kHasBoundary);
    nb::object v = bound_of("==", kRowClass, kEquationBound, other);
    return make_row(Coefs::of(r), r.constant_, r.quadratic_coefficients_, r.origin_, v, v);
}

nb::object row_ge(nb::handle self, nb::handle other) {
    if (nb::object b = simple_bounded(self, other, true, false); b.is_valid()) return b;
    LinearExpression r = row_of(self);
    if (!r.lower_bound_.is_none()) g_module.raise_logged("FormulaError", kRowHasLower);
    nb::object v = bound_of(">=", kRowClass, kLowerBound, other);
    return make_row(Coefs::of(r), r.constant_, r.quadratic_coefficients_, r.origin_, std::move(v),
                    r.upper_bound_);
}

nb::object row_le(nb::handle self, nb::handle other) {
    if (nb::object b = simple_bounded(self, other, false, true); b.is_valid()) return b;
    LinearExpression r = row_of(self);
    if (!r.upper_bound_.is_none()) g_module.raise_logged("FormulaError", kRowHasUpper);
    nb::object v = bound_of("<=", kRowClass, kUpperBound, other);
    return make_row(Coefs::of(r), r.constant_, r.quadratic_coefficients_, r.origin_, r.lower_bound_,
                    std::move(v));
}

bool row_bool(nb::handle self) {
    if (row_bounded(row_of(self)))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kBoundedTruth);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Blocks.

nb::object ndim_of(nb::handle obj) { return obj.attr("ndim"); }

void check_block_parts(nb::handle linear, nb::handle constants) {
    if (!debug()) return;
    bool given = !constants.is_none();
    bool array = given && is_ndarray(constants);
    // The length test needs shapes on both sides; constants of another kind get the constants'
    // own message below instead of an attribute error here.
    if (array && truth(ndim_of(constants)) && has_attr(linear, "shape")) {
        nb::object rows = linear.attr("shape")[0];
        if (compare(constants.attr("shape")[0], rows, Py_NE))
            g_module.raise_logged("FormulaError", kConstantsLength);
    }
    if (!is_csr(linear) || compare(ndim_of(linear), nb::int_(2), Py_NE))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kBlockNotCsr2d);
    if (given && (!array || compare(ndim_of(constants), nb::int_(1), Py_NE)))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kConstantNotNumber);
}

// One zero per matrix row, typed like the stored values: every reader of the constants (the row
// count, the length test, the model) takes them as one per row.
nb::object default_constants(nb::handle linear) {
    nb::object np = g_module.get("np");
    return np.attr("zeros")(linear.attr("shape")[0],
                            nb::arg("dtype") = linear.attr("data").attr("dtype"));
}

// ---------------------------------------------------------------------------------------------
// Matrices kept as plain arrays (BlockCoefs): picked columns, and sums and differences of them.
// The matrix is made by the rules of the sparse library's sum of two compressed-row matrices in
// canonical form (exact::merged), applied in the order the program wrote the sums. Values are
// integers while both sides are, exact (int32 while they fit, int64 next, float64 past that),
// and float64 once either side is. Picked rows are canonical, and so is every such sum, so each
// step is the library's own canonical case; its results have 32-bit indices while all counts
// fit.

exact::PlainCsr picked_rows(const BlockCoefs &c) {
    exact::PlainCsr m;
    m.width_ = c.float_ ? exact::Dtype::kFloat64 : exact::Dtype::kInt32;
    m.starts_.resize(static_cast<size_t>(c.rows_) + 1);
    for (size_t r = 0; r < m.starts_.size(); ++r) m.starts_[r] = static_cast<int32_t>(r);
    m.cols_ = c.cols_;
    if (c.float_)
        m.reals_.assign(c.cols_.size(), 1.0);
    else
        m.ints_.assign(c.cols_.size(), 1);
    return m;
}

// The rows of a tree of picks and sums. A node may be shared (`s + s`), so each is computed once
// per call and its arrays are dropped as soon as its last user in the tree has them; the tree is
// walked without recursion, however deep it is.
exact::PlainCsr evaluate(const BlockCoefs &root) {
    std::unordered_map<const BlockCoefs *, int64_t> users;
    std::vector<const BlockCoefs *> stack{&root};
    users[&root] = 1;
    while (!stack.empty()) {
        const BlockCoefs *c = stack.back();
        stack.pop_back();
        if (c->kind_ != BlockCoefs::Kind::kSum) continue;
        for (const BlockCoefs *child : {block_coefs(c->left_), block_coefs(c->right_)})
            if (users[child]++ == 0) stack.push_back(child);
    }
    std::unordered_map<const BlockCoefs *, exact::PlainCsr> done;
    std::vector<std::pair<const BlockCoefs *, bool>> todo{{&root, false}};
    while (!todo.empty()) {
        auto [c, expanded] = todo.back();
        todo.pop_back();
        if (done.count(c)) continue;
        if (c->kind_ == BlockCoefs::Kind::kPicked) {
            done.emplace(c, picked_rows(*c));
            continue;
        }
        const BlockCoefs *l = block_coefs(c->left_), *r = block_coefs(c->right_);
        if (!expanded) {
            todo.push_back({c, true});
            todo.push_back({r, false});
            todo.push_back({l, false});
            continue;
        }
        exact::PlainCsr sum =
            exact::merged(exact::view(done.at(l)), exact::view(done.at(r)), c->minus_, c->rows_);
        done.emplace(c, std::move(sum));
        for (const BlockCoefs *child : {l, r})
            if (--users[child] == 0) done.erase(child);
    }
    return std::move(done.at(&root));
}
// The same rows by counting, for a tree whose picked rows reach the top with small weights: a
// picked block enters the result with its weight (the signed number of its ways to the top),
// and each entry of the result is the weighted count of the picks of its row and column. The
// library's sums give exactly that: every value along the way is an integer below 2^31, which
// float64 and int32 hold exactly, and an entry that is 0 at some step and left out adds nothing
// later. Empty (the flag false) when the weights are too large for that.
bool counted_rows(const BlockCoefs &root, exact::PlainCsr &out) {
    constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
    // Parents before children: the reverse of a depth-first finishing order.
    std::vector<const BlockCoefs *> order;
    std::unordered_map<const BlockCoefs *, bool> seen;
    std::vector<std::pair<const BlockCoefs *, bool>> todo{{&root, false}};
    while (!todo.empty()) {
        auto [c, finished] = todo.back();
        todo.pop_back();
        if (finished) {
            order.push_back(c);
            continue;
        }
        if (seen[c]) continue;
        seen[c] = true;
        todo.push_back({c, true});
        if (c->kind_ == BlockCoefs::Kind::kSum) {
            todo.push_back({block_coefs(c->right_), false});
            todo.push_back({block_coefs(c->left_), false});
        }
    }
    std::unordered_map<const BlockCoefs *, int64_t> weight, ways;
    weight[&root] = 1;
    ways[&root] = 1;
    std::vector<const BlockCoefs *> leaves;
    int64_t entries = 0, total_ways = 0;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const BlockCoefs *c = *it;
        const int64_t w = weight[c], n = ways[c];
        if (c->kind_ != BlockCoefs::Kind::kSum) {
            total_ways += n;
            if (total_ways > kLimit) return false;
            if (w != 0) {
                leaves.push_back(c);
                entries += c->rows_;
            }
            continue;
        }
        // The same block may stand on both sides (`a - a`).
        const std::pair<const BlockCoefs *, int64_t> sides[] = {
            {block_coefs(c->left_), w}, {block_coefs(c->right_), c->minus_ ? -w : w}};
        for (const auto &[child, share] : sides) {
            weight[child] += share;
            int64_t &cn = ways[child];
            cn += n;
            if (cn > kLimit) return false;
        }
    }
    if (entries > kLimit) return false;
    // Every picked block holds one entry in every row: row r gathers entry r of each of them,
    // ascending by column unless the blocks came in another order.
    const auto rows = static_cast<size_t>(root.rows_);
    const size_t per_row = leaves.size();
    std::vector<int32_t> leaf_weight(per_row);
    for (size_t l = 0; l < per_row; ++l) leaf_weight[l] = static_cast<int32_t>(weight[leaves[l]]);
    out.starts_.assign(rows + 1, 0);
    out.cols_.resize(static_cast<size_t>(entries));
    std::vector<int64_t> values(static_cast<size_t>(entries));
    std::vector<std::pair<int32_t, int32_t>> row;  // (column, weight) of a row to be sorted
    size_t at = 0;
    for (size_t r = 0; r < rows; ++r) {
        int32_t *cols = out.cols_.data() + at;
        int64_t *sums = values.data() + at;
        bool ascending = true;
        for (size_t l = 0; l < per_row; ++l) {
            cols[l] = leaves[l]->cols_[r];
            sums[l] = leaf_weight[l];
            ascending = ascending && (l == 0 || cols[l - 1] <= cols[l]);
        }
        if (!ascending) {
            row.clear();
            for (size_t l = 0; l < per_row; ++l)
                row.emplace_back(cols[l], static_cast<int32_t>(sums[l]));
            std::sort(row.begin(), row.end(),
                      [](const auto &x, const auto &y) { return x.first < y.first; });
            for (size_t l = 0; l < per_row; ++l) {
                cols[l] = row[l].first;
                sums[l] = row[l].second;
            }
        }
        // Entries of one column added up, in place; sums of 0 are not stored.
        size_t kept = 0;
        for (size_t k = 0; k < per_row;) {
            const int32_t c = cols[k];
            int64_t v = 0;
            for (; k < per_row && cols[k] == c; ++k) v += sums[k];
            if (v != 0) {
                cols[kept] = c;
                sums[kept] = v;
                ++kept;
            }
        }
        at += kept;
        out.starts_[r + 1] = static_cast<int32_t>(at);
    }
    out.cols_.resize(at);
    values.resize(at);
    if (root.float_) {
        out.width_ = exact::Dtype::kFloat64;
        out.reals_.assign(values.begin(), values.end());
    } else {
        out.width_ = exact::Dtype::kInt32;
        out.ints_ = std::move(values);
    }
    return true;
}

// The matrix as the sparse library holds it. Picked rows are handed over in compressed form, as
// indexing has always made them; a tree's arrays are those of the library's own sums.
nb::object make_matrix(const BlockCoefs &c) {
    nb::object np = g_module.get("np");
    nb::object shape = nb::make_tuple(nb::int_(c.rows_), nb::int_(c.width_));
    nb::object csr_array = g_module.get("csr_array");
    if (c.kind_ == BlockCoefs::Kind::kPicked) {
        nb::object dtype = np.attr(c.float_ ? "float64" : "int32");
        nb::object values = np.attr("ones")(nb::make_tuple(c.rows_), nb::arg("dtype") = dtype);
        std::vector<int32_t> cols = c.cols_;
        nb::object starts = np.attr("arange")(c.rows_ + 1, nb::arg("dtype") = np.attr("int32"));
        return csr_array(nb::make_tuple(values, numpy_of(std::move(cols)), starts),
                         nb::arg("shape") = shape);
    }
    exact::PlainCsr m;
    if (!counted_rows(c, m)) m = evaluate(c);
    nb::object values;
    if (m.width_ == exact::Dtype::kFloat64) {
        values = numpy_of(std::move(m.reals_));
    } else if (m.width_ == exact::Dtype::kInt64) {
        values = numpy_of(std::move(m.ints_));
    } else {
        std::vector<int32_t> narrow(m.ints_.begin(), m.ints_.end());
        values = numpy_of(std::move(narrow));
    }
    return csr_array(
        nb::make_tuple(values, numpy_of(std::move(m.cols_)), numpy_of(std::move(m.starts_))),
        nb::arg("shape") = shape);
}

// A block's matrix, made from its arrays the first time it is asked for; from then on it is what
// every operation reads.
nb::object matrix_of(const nb::object &coefs) {
    BlockCoefs *c = instance_of<BlockCoefs>(coefs);
    if (!c) return nb::none();
    if (!c->matrix_.is_valid()) {
        nb::object m = make_matrix(*c);
        if (!c->matrix_.is_valid()) c->matrix_ = std::move(m);
    }
    return c->matrix_;
}

nb::object matrix_of(const LinearExpressionsArr &b) { return matrix_of(b.coefs_); }

// a ± b kept as arrays, when both are and the result's counts fit the 32-bit indices; else null.
nb::object lazy_sum(const nb::object &left, const nb::object &right, bool minus) {
    const BlockCoefs *a = block_coefs(left), *b = block_coefs(right);
    if (!a || !b || !a->lazy() || !b->lazy()) return {};
    if (a->rows_ != b->rows_ || a->width_ != b->width_) return {};
    const int64_t stored = a->stored_ + b->stored_;
    if (stored > std::numeric_limits<int32_t>::max()) return {};
    BlockCoefs c;
    c.kind_ = BlockCoefs::Kind::kSum;
    c.rows_ = a->rows_;
    c.width_ = a->width_;
    c.stored_ = stored;
    c.float_ = a->float_ || b->float_;
    c.left_ = left;
    c.right_ = right;
    c.minus_ = minus;
    return new_instance(std::move(c));
}

nb::object make_block(nb::object coefs, nb::object constants, nb::object lower, nb::object upper,
                      bool is_init, OriginPtr origin) {
    if (constants.is_none() || debug()) {
        nb::object linear = matrix_of(coefs);
        check_block_parts(linear, constants);
        if (constants.is_none()) constants = default_constants(linear);
    }
    return nb::cast(LinearExpressionsArr{std::move(constants), std::move(coefs), std::move(lower),
                                         std::move(upper), nb::bool_(is_init), std::move(origin)});
}

// A block of a matrix the library made.
nb::object make_matrix_block(nb::object linear, nb::object constants, nb::object lower,
                             nb::object upper, bool is_init, OriginPtr origin) {
    return make_block(BlockCoefs::matrix(std::move(linear)), std::move(constants), std::move(lower),
                      std::move(upper), is_init, std::move(origin));
}

LinearExpressionsArr block_of(nb::handle obj) { return nb::cast<LinearExpressionsArr &>(obj); }
bool is_block(nb::handle obj) { return nb::isinstance<LinearExpressionsArr>(obj); }

bool block_bounded(const LinearExpressionsArr &b) {
    return !b.lower_bounds_.is_none() || !b.upper_bounds_.is_none();
}

void block_guard(const LinearExpressionsArr &b) {
    if (block_bounded(b)) g_module.raise_logged("FormulaError", kHasBoundary);
}

// ---------------------------------------------------------------------------------------------
// Shortcuts for large blocks. Each gives exactly the arrays (values, places, dtypes) that the
// sparse library's own way gives, and applies only where that has been made sure: plain numeric
// dtypes, 32-bit indices, the exact library types. Anything else takes the library's way.

// float64, int64 or int32: numpy and the sparse library promote these alike.
bool plain_number_dtype(nb::handle arr) {
    nb::object name = arr.attr("dtype").attr("name");
    for (const char *n : {"float64", "int64", "int32"})
        if (PyUnicode_CompareWithASCIIString(name.ptr(), n) == 0) return true;
    return false;
}

bool int32_dtype(nb::handle arr) { return is_dtype(arr, "int32"); }

// A 2-D csr_array with 32-bit indices and plain values, and w a 1-D numpy array of plain numbers
// with one entry per row.
bool plain_matrix_and_weights(nb::handle m, nb::handle w) {
    nb::object np = g_module.get("np");
    if (!exact_type(m, g_module.get("csr_array")) || !exact_type(w, np.attr("ndarray")))
        return false;
    if (compare(m.attr("ndim"), nb::int_(2), Py_NE) || compare(w.attr("ndim"), nb::int_(1), Py_NE))
        return false;
    if (compare(w.attr("shape")[0], m.attr("shape")[0], Py_NE)) return false;
    return plain_number_dtype(w) && plain_number_dtype(m.attr("data")) &&
           int32_dtype(m.attr("indices")) && int32_dtype(m.attr("indptr"));
}

// Row starts 0, 1, 2, ...: each row holds exactly one value.
bool one_value_per_row(nb::handle indptr) {
    Int32s starts;
    if (!arrays::view_of(indptr, starts, true)) return false;
    const int32_t *p = starts.data();
    const size_t n = starts.shape(0);
    for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<int32_t>(i)) return false;
    return true;
}

// Each stored value's row weight: the weights themselves for rows of one value each.
nb::object weight_per_value(nb::handle indptr, nb::handle w) {
    if (one_value_per_row(indptr)) return nb::borrow(w);
    nb::object np = g_module.get("np");
    return np.attr("repeat")(w, np.attr("diff")(indptr));
}

nb::object plain_scaled_rows(nb::handle m, nb::handle w) {
    if (!plain_matrix_and_weights(m, w) || !truth(m.attr("has_canonical_format")))
        return nb::object();
    nb::object np = g_module.get("np");
    nb::object indptr = m.attr("indptr");
    nb::object data;
    Reals values, weights;
    Int32s starts;
    if (arrays::view_of(m.attr("data"), values) && arrays::view_of(w, weights) &&
        one_value_per_row(indptr)) {
        // Rows of one value each (what indexing makes): the weights as they are.
        data = values_with_values(m.attr("data"), w, exact::Op::kMul, kCoefficient);
    } else if (arrays::view_of(m.attr("data"), values) && arrays::view_of(w, weights) &&
               arrays::view_of(indptr, starts)) {
        // float64 values and weights: each value times its row's weight natively, in the same
        // pass as the check of the products.
        auto [array, out] = arrays::new_numpy<double>(values.shape(0));
        if (!exact::reals_scaled_rows(starts.data(), weights.shape(0), values.data(),
                                      weights.data(), out)) {
            const int64_t at = exact::first_bad_real(out, values.shape(0), false);
            numbers::refuse_not_finite(g_module, kCoefficient, nb::float_(out[at]));
        }
        data = array;
    } else {
        nb::object per_value = weight_per_value(indptr, w);
        data = real_arithmetic(max_abs(m.attr("data")) * max_abs(w),
                               [&] { return np.attr("multiply")(m.attr("data"), per_value); });
        check_finite_values(kCoefficient, data);
    }
    return g_module.get("csr_array")(nb::make_tuple(data, m.attr("indices"), indptr),
                                     nb::arg("shape") = m.attr("shape"));
}

// (w[:, None] * m).tocsr() for a matrix in canonical form (columns sorted, none repeated within
// a row), where the library's way through the coordinate form keeps every entry in its place:
// each value times its row's weight, the result sharing the column indices and row starts
// instead of three new copies. Integer values and weights are multiplied exactly, whatever the
// matrix's form (each entry times its row's weight keeps the row's sums). Invalid when the
// shortcut does not apply.
nb::object scaled_rows(nb::handle m, nb::handle w) {
    const bool ints = integer_sparse(m) && exact_type(m, g_module.get("csr_array")) &&
                      integer_kind(dtype_kind(w)) && index_int64(m.attr("ndim")) == 2 &&
                      index_int64(w.attr("ndim")) == 1;
    if (ints) {
        nb::object rows = m.attr("shape")[0];
        nb::object weights = nb::borrow(w);
        if (compare(w.attr("size"), nb::int_(1), Py_EQ) && compare(rows, nb::int_(1), Py_NE))
            weights = np_mod().attr("repeat")(w, rows);
        if (compare(weights.attr("size"), rows, Py_NE)) return nb::object();
        nb::object natural = natural_of(w, m.attr("data"));
        nb::object bound = mul(mul(magnitude(m.attr("data")), magnitude(weights)), longest_line(m));
        if (fits_type(bound, natural)) return plain_scaled_rows(m, w);
        nb::object per_value = weight_per_value(m.attr("indptr"), weights);
        nb::object values =
            values_with_values(m.attr("data"), per_value, exact::Op::kMul, kCoefficient);
        if (truth(m.attr("has_canonical_format"))) return with_values(m, values);
        // Repeated entries: the library's way through the coordinate form, in int64.
        return library_way(bound, natural, [&](bool real) {
            nb::object column =
                nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none());
            nb::object ws = real ? as_reals(weights) : as_int64(weights);
            nb::object ms = real ? real_matrix(m) : int64_matrix(m);
            return real_arithmetic(max_abs(ms.attr("data")) * max_abs(ws),
                                   [&] { return mul(ws[column], ms).attr("tocsr")(); });
        });
    }
    return plain_scaled_rows(m, w);
}

// csr_array(w).dot(m).tocsr() as the dense column sums m' w made sparse: the library's product
// adds w_i * m_ij over the rows in the same order and keeps the non-zero sums, which is what the
// conversion of the dense sums keeps. Rows of weight 0 are left out of the product but not of
// the dense sums (0 * inf is NaN there), so the shortcut needs every weight non-zero. Integer
// values and weights are added up exactly instead.
nb::object weighted_row_sum(nb::handle m, nb::handle w) {
    if (integer_sparse(m) && integer_kind(dtype_kind(w))) {
        nb::object sums = exact_column_sums(m, w, false, natural_of(w, m.attr("data")));
        if (sums.is_valid()) return sums;
    }
    if (!plain_matrix_and_weights(m, w)) return nb::object();
    nb::object np = g_module.get("np");
    if (compare(np.attr("count_nonzero")(w), w.attr("size"), Py_NE)) return nb::object();
    nb::object sums = matmul(m.attr("T"), w);
    return g_module.get("csr_array")(sums);
}

// The picked rows of a block kept as arrays, when it has them.
const BlockCoefs *lazy_picked(const nb::object &coefs) {
    const BlockCoefs *c = block_coefs(coefs);
    if (!c || !c->lazy() || c->kind_ != BlockCoefs::Kind::kPicked) return nullptr;
    if (c->width_ > std::numeric_limits<int32_t>::max()) return nullptr;
    return c;
}

// The positions of picked rows ordered by column, in row order within a column.
std::vector<size_t> by_column(const std::vector<int32_t> &cols) {
    std::vector<size_t> order(cols.size());
    for (size_t r = 0; r < order.size(); ++r) order[r] = r;
    std::stable_sort(order.begin(), order.end(),
                     [&cols](size_t a, size_t b) { return cols[a] < cols[b]; });
    return order;
}

// The same for picked rows kept as arrays and float64 weights, as a plain row, without making
// the matrix: the product adds 1 * w_r, that is w_r, to the column of row r, in row order, and
// the dense sums made sparse keep those that are not 0 (32-bit indices).
Coefs weighted_picked_sum(const nb::object &coefs, nb::handle w) {
    const BlockCoefs *c = lazy_picked(coefs);
    if (!c) return {};
    nb::object np = g_module.get("np");
    if (!exact_type(w, np.attr("ndarray")) || compare(w.attr("dtype"), np.attr("float64"), Py_NE))
        return {};
    Reals weights;
    if (!arrays::view_of(w, weights) || static_cast<int64_t>(weights.shape(0)) != c->rows_)
        return {};
    const double *v = weights.data();
    for (int64_t r = 0; r < c->rows_; ++r)
        if (v[r] == 0) return {};
    linear::SparseRow row;
    row.length_ = c->width_;
    row.index_ = linear::IndexType::kInt32;
    row.width_ = linear::Dtype::kFloat64;
    const std::vector<size_t> order = by_column(c->cols_);
    for (size_t i = 0; i < order.size();) {
        const int32_t col = c->cols_[order[i]];
        double sum = 0.0;
        for (; i < order.size() && c->cols_[order[i]] == col; ++i) sum += v[order[i]];
        if (sum == 0) continue;
        row.cols_.push_back(col);
        row.reals_.push_back(sum);
    }
    if (linear::first_bad_real(row.reals_.data(), row.reals_.size(), false) >= 0) return {};
    return Coefs::of(std::move(row));
}

// The column sums of picked rows kept as arrays, as a plain row: the sparse constructor adds the
// values 1 of each column (int32 or float64, as stored), columns ascending, with the 32-bit
// indices of the picked matrix.
Coefs picked_column_sums(const nb::object &coefs) {
    const BlockCoefs *c = lazy_picked(coefs);
    if (!c) return {};
    linear::SparseRow row;
    row.length_ = c->width_;
    row.index_ = linear::IndexType::kInt32;
    row.width_ = c->float_ ? linear::Dtype::kFloat64 : linear::Dtype::kInt32;
    const std::vector<size_t> order = by_column(c->cols_);
    for (size_t i = 0; i < order.size();) {
        const int32_t col = c->cols_[order[i]];
        int64_t count = 0;
        for (; i < order.size() && c->cols_[order[i]] == col; ++i) ++count;
        row.cols_.push_back(col);
        if (c->float_)
            row.reals_.push_back(static_cast<double>(count));
        else
            row.ints_.push_back(count);
    }
    return Coefs::of(std::move(row));
}

nb::object block_add_sub(nb::handle self, nb::handle other, bool minus) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (is_block(other)) {
        LinearExpressionsArr o = block_of(other);
        // A bounded operand is a finished constraint, as for rows: its bounds would be lost.
        block_guard(o);
        if (compare(b.constants_.attr("shape"), o.constants_.attr("shape"), Py_NE))
            g_module.raise_logged("FormulaError", kElementCount);
        nb::object constants =
            values_with_values(b.constants_, o.constants_, sum_op(minus), kConstant);
        OriginPtr origin = join(b.origin_, o.origin_);
        if (nb::object lazy = lazy_sum(b.coefs_, o.coefs_, minus); lazy.is_valid())
            return make_block(std::move(lazy), std::move(constants), nb::none(), nb::none(), false,
                              std::move(origin));
        nb::object linear = matrix_sum(matrix_of(b), matrix_of(o), minus);
        return make_matrix_block(std::move(linear), std::move(constants), nb::none(), nb::none(),
                                 false, std::move(origin));
    }
    if (nb::object k = operand_number(other); k.is_valid()) {
        check_finite(kConstant, k);
        nb::object constants = values_with_number(b.constants_, k, sum_op(minus), false, kConstant);
        return make_block(b.coefs_, std::move(constants), nb::none(), nb::none(), true, b.origin_);
    }
    g_module.raise_logged(nb::handle(PyExc_TypeError), kBlockOperandType);
}

nb::object block_add(nb::handle self, nb::handle other) {
    return block_add_sub(self, other, false);
}
nb::object block_sub(nb::handle self, nb::handle other) { return block_add_sub(self, other, true); }

nb::object block_mul(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (is_ndarray(other)) {
        if (debug() && (compare(ndim_of(other), nb::int_(1), Py_NE) ||
                        compare(other.attr("size"), b.constants_.attr("size"), Py_NE)))
            g_module.raise_logged("FormulaError", kElementCount);
        nb::object w = weights_of(other);
        // w[:, None] scales row i by w_i.
        nb::object matrix = matrix_of(b);
        nb::object linear = scaled_rows(matrix, w);
        if (!linear.is_valid()) {
            nb::object column =
                w[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none())];
            double bound = has_attr(matrix, "data") ? max_abs(matrix.attr("data")) * max_abs(w)
                                                    : std::numeric_limits<double>::infinity();
            linear = real_arithmetic(bound, [&] { return mul(column, matrix).attr("tocsr")(); });
            check_finite_matrix(kCoefficient, linear);
        }
        nb::object constants = values_with_values(b.constants_, w, exact::Op::kMul, kConstant);
        return make_matrix_block(std::move(linear), std::move(constants), nb::none(), nb::none(),
                                 false, b.origin_);
    }
    nb::object k = operand_number(other);
    if (!k.is_valid()) g_module.raise_logged(nb::handle(PyExc_TypeError), kBlockFactorType);
    check_finite(kCoefficient, k);
    nb::object constants = values_with_number(b.constants_, k, exact::Op::kMul, false, kConstant);
    return make_matrix_block(scale_matrix(matrix_of(b), k), std::move(constants), nb::none(),
                             nb::none(), true, b.origin_);
}

// other - block, as block * -1 + other; for a number n, the constants n - c_i at once, which
// fit wherever n and c_i do (-c_i alone may not: -(-2**31) is no int32).
nb::object block_rsub(nb::handle self, nb::handle other) {
    if (!is_block(other)) {
        LinearExpressionsArr b = block_of(self);
        block_guard(b);
        if (nb::object k = operand_number(other); k.is_valid()) {
            check_finite(kConstant, k);
            nb::object constants =
                values_with_number(b.constants_, k, exact::Op::kSub, true, kConstant);
            return make_matrix_block(negate_matrix(matrix_of(b)), std::move(constants), nb::none(),
                                     nb::none(), true, b.origin_);
        }
    }
    nb::object negated = block_mul(self, nb::int_(-1));
    return block_add(negated, other);
}

// A bound value: a number becomes one float64 entry per row, so that a fractional or infinite
// bound keeps its value on integer constants; an array is kept as it is, once its values are
// known to be real numbers and none is NaN.
nb::object border(const LinearExpressionsArr &b, const char *op, const char *what,
                  nb::handle value) {
    nb::object shape = b.constants_.attr("shape");
    nb::object np = g_module.get("np");
    if (value.is_none())
        g_module.raise_logged(nb::handle(PyExc_TypeError),
                              linear::none_comparison_message(op, kBlockClass));
    nb::object v;
    if (nb::object k = number(what, value); k.is_valid()) {
        if (PyFloat_Check(k.ptr()) && std::isnan(PyFloat_AS_DOUBLE(k.ptr())))
            numbers::refuse_nan(g_module, what);
        v = np.attr("full")(shape, k, nb::arg("dtype") = np.attr("float64"));
    } else {
        v = nb::borrow(value);
        if (is_ndarray(v)) {
            const char kind = dtype_kind(v);
            if (kind == 'O') {
                for (nb::handle item : np.attr("ravel")(v)) {
                    nb::object x = numbers::plain_number(g_module, what, item);
                    if (PyFloat_Check(x.ptr()) && std::isnan(PyFloat_AS_DOUBLE(x.ptr())))
                        numbers::refuse_nan(g_module, what);
                }
            } else if (kind == 'f') {
                if (first_not_finite(v, true) >= 0) numbers::refuse_nan(g_module, what);
            } else if (!integer_kind(kind)) {
                refuse_kind(what, v, kind);
            }
        }
    }
    if (compare(v.attr("shape"), shape, Py_NE)) g_module.raise_logged("FormulaError", kBorderSize);
    return v;
}

// As for rows, a comparison keeps the opposite bounds the block already carries.
nb::object block_eq(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    nb::object v = border(b, "==", kEquationBound, other);
    return make_block(b.coefs_, b.constants_, v, v, false, b.origin_);
}

nb::object block_ge(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    if (!b.lower_bounds_.is_none()) g_module.raise_logged("FormulaError", kBlockHasLower);
    nb::object v = border(b, ">=", kLowerBound, other);
    return make_block(b.coefs_, b.constants_, std::move(v), b.upper_bounds_, false, b.origin_);
}

nb::object block_le(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    if (!b.upper_bounds_.is_none()) g_module.raise_logged("FormulaError", kBlockHasUpper);
    nb::object v = border(b, "<=", kUpperBound, other);
    return make_block(b.coefs_, b.constants_, b.lower_bounds_, std::move(v), false, b.origin_);
}

nb::object block_sum(nb::handle self) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    nb::object constant = total(b.constants_, nb::none());
    const bool direct = truth(b.is_init_);
    if (direct)
        if (Coefs sums = picked_column_sums(b.coefs_); sums.plain())
            return make_row(std::move(sums), std::move(constant), nb::none(), b.origin_);
    nb::object m = matrix_of(b);
    nb::object width = nb::make_tuple(m.attr("shape")[1]);
    nb::object csr_array = g_module.get("csr_array");
    nb::object linear;
    if (integer_sparse(m))
        linear =
            exact_column_sums(m, nb::none(), direct,
                              direct ? natural_with_int(m.attr("data")) : sum_type(m.attr("data")));
    if (linear.is_valid())
        return make_row(std::move(linear), std::move(constant), nb::none(), b.origin_);
    if (direct) {
        // The sparse constructor adds values of equal column in place, in the arrays it is given:
        // it gets copies, never the block's own arrays.
        nb::object data = m.attr("data").attr("copy")();
        nb::object columns = m.attr("indices").attr("copy")();
        linear = csr_array(nb::make_tuple(data, nb::make_tuple(columns)), nb::arg("shape") = width);
    } else {
        linear = csr_array(m.attr("sum")(nb::arg("axis") = 0));
    }
    check_finite_matrix(kCoefficient, linear);
    return make_row(std::move(linear), std::move(constant), nb::none(), b.origin_);
}

nb::object block_dot(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (debug() && !is_ndarray(other)) {
        nb::object msg = zk::check(PyUnicode_FromFormat(
            "%s%S", kUndefinedType, reinterpret_cast<PyObject *>(Py_TYPE(other.ptr()))));
        g_module.raise_logged(nb::handle(PyExc_TypeError), msg);
    }
    // A list (taken like an array without the checks) is read as numpy reads it.
    nb::object w = weights_of(is_ndarray(other) ? nb::borrow(other)
                                                : g_module.get("np").attr("asarray")(other));
    nb::object constant = total(b.constants_, w);
    if (Coefs sums = weighted_picked_sum(b.coefs_, w); sums.plain())
        return make_row(std::move(sums), std::move(constant), nb::none(), b.origin_);
    nb::object matrix = matrix_of(b);
    nb::object linear = weighted_row_sum(matrix, w);
    if (!linear.is_valid()) {
        nb::object weights = g_module.get("csr_array")(w);
        linear = weights.attr("dot")(matrix).attr("tocsr")();
    }
    check_finite_matrix(kCoefficient, linear);
    return make_row(std::move(linear), std::move(constant), nb::none(), b.origin_);
}

bool block_bool(nb::handle self) {
    if (block_bounded(block_of(self)))
        g_module.raise_logged(nb::handle(PyExc_TypeError), kBoundedTruth);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Module functions.

nb::object sumexp(nb::handle expr) { return expr.attr("sum")(); }

nb::object dot(nb::handle first_expr, nb::handle second_expr) {
    if (debug()) {
        bool fits = (is_block(first_expr) && is_ndarray(second_expr)) ||
                    (is_ndarray(first_expr) && is_block(second_expr));
        if (!fits) g_module.raise_logged("FormulaError", kDotArguments);
    }
    if (is_block(first_expr)) return first_expr.attr("dot")(second_expr);
    return second_expr.attr("dot")(first_expr);
}

template <typename T>
struct Field {
    const char *name_;
    nb::object (*get_)(const T &);
    void (*set_)(T &, nb::object);
};

template <typename T, nb::object T::*M>
constexpr Field<T> member_field(const char *name) {
    return {name, [](const T &t) { return t.*M; },
            [](T &t, nb::object value) { t.*M = std::move(value); }};
}

using Row = LinearExpression;
using Block = LinearExpressionsArr;

const Field<Row> kRowFields[] = {
    member_field<Row, &Row::constant_>("_constant"),
    {"_linear_coefficients", [](const Row &r) { return linear_of(r); },
     [](Row &r, nb::object value) {
         r.linear_coefficients_ = std::move(value);
         r.coefs_ = nb::object();
     }},
    member_field<Row, &Row::quadratic_coefficients_>("_quadratic_coefficients"),
    member_field<Row, &Row::lower_bound_>("_lower_bound"),
    member_field<Row, &Row::upper_bound_>("_upper_bound"),
};

const Field<Block> kBlockFields[] = {
    member_field<Block, &Block::constants_>("_constants"),
    {"_linear_coefficients", [](const Block &b) { return matrix_of(b); },
     [](Block &b, nb::object value) { b.coefs_ = BlockCoefs::matrix(std::move(value)); }},
    member_field<Block, &Block::lower_bounds_>("_lower_bounds"),
    member_field<Block, &Block::upper_bounds_>("_upper_bounds"),
    member_field<Block, &Block::is_init_>("_is_init"),
};

// Each field reads and writes like an instance attribute: any object may be assigned, None
// included.
template <typename T, size_t K>
void fields(nb::class_<T> &cls, const Field<T> (&list)[K]) {
    for (const Field<T> &f : list) {
        auto get = f.get_;
        auto set = f.set_;
        cls.def_prop_rw(
            f.name_, [get](const T &t) { return get(t); },
            [set](T &t, nb::handle value) { set(t, nb::borrow(value)); },
            nb::for_setter(nb::arg("value").none()));
    }
}

// Copies and pickles see the state an instance of a class keeping these fields in its attribute
// dictionary has: one dictionary of the fields and of every other attribute.
template <typename T, size_t K>
nb::dict get_state(nb::handle self, const Field<T> (&list)[K]) {
    T &t = nb::cast<T &>(self);
    nb::dict state;
    for (const Field<T> &f : list) state[f.name_] = f.get_(t);
    PyObject **dict = py_private::dict_ptr(self.ptr());
    if (dict && *dict && PyDict_Update(state.ptr(), *dict) != 0) throw nb::python_error();
    return state;
}

template <typename T, size_t K>
void set_state(T &t, nb::handle state, const Field<T> (&list)[K]) {
    if (!PyDict_Check(state.ptr())) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %s",
                     Py_TYPE(state.ptr())->tp_name);
        throw nb::python_error();
    }
    T value;
    for (const Field<T> &f : list) {
        PyObject *item = PyDict_GetItemString(state.ptr(), f.name_);
        if (!item) {
            PyErr_SetString(PyExc_KeyError, f.name_);
            throw nb::python_error();
        }
        f.set_(value, nb::borrow(item));
    }
    new (&t) T(std::move(value));
    nb::object self = nb::find(&t);
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    while (PyDict_Next(state.ptr(), &pos, &key, &item)) {
        bool own = false;
        for (const Field<T> &f : list)
            own = own || PyUnicode_CompareWithASCIIString(key, f.name_) == 0;
        if (!own && PyObject_GenericSetAttr(self.ptr(), key, item) != 0) throw nb::python_error();
    }
}

// `__radd__` is `__add__` itself (and `__rmul__` `__mul__`): the same function object under two
// names, as a class body that assigns one to the other makes it.
template <typename Cls>
void alias(Cls &cls, const char *name, const char *existing) {
    nb::object fn = nb::getattr(cls, "__dict__")[existing];
    nb::setattr(cls, name, fn);
}

// A class whose instances only the library makes, bound for the collector's slots and kept alive
// by its registration alone.
template <typename T>
void bind_holder(nb::module_ &m, const char *name) {
    nb::class_<T> cls(m, name, nb::type_slots(HolderSlots<T>::slots_), nb::pooled());
    cls.inc_ref();
    nb::delattr(m, name);
}

void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    zk::init_module();

    m.attr("annotations") = nb::module_::import_("__future__").attr("annotations");
    nb::module_ os = nb::module_::import_("os");
    m.attr("os") = os;
    nb::module_ numbers = nb::module_::import_("numbers");
    m.attr("Real") = numbers.attr("Real");
    m.attr("Integral") = numbers.attr("Integral");
    nb::module_ typing = nb::module_::import_("typing");
    for (const char *name : {"Union", "Optional", "Any"}) m.attr(name) = typing.attr(name);
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    nb::module_ sparse = nb::module_::import_("scipy.sparse");
    m.attr("csr_array") = sparse.attr("csr_array");
    m.attr("csc_array") = sparse.attr("csc_array");
    zk::import_logger(m);
    m.attr("FormulaError") = nb::module_::import_("zk_encoder._exceptions").attr("FormulaError");
    // The text itself when set (any non-empty text switches the checks on), False when unset.
    m.attr("DEBUG") = os.attr("environ").attr("get")(kDebugVariable, false);
    m.attr("_CoefType") = typing.attr("Union")[nb::make_tuple(
        numbers.attr("Integral"), numbers.attr("Real"), np.attr("integer"), np.attr("floating"))];
    g_module.bind(m);

    // The holders of plain coefficients (shared by rows and blocks made from one another) are
    // objects of the host's so that the collector sees every holder's reference; they are no
    // names of the module.
    bind_holder<RowCoefs>(m, "_RowCoefs");
    bind_holder<BlockCoefs>(m, "_BlockCoefs");
    // An array keeps a weak reference to the origin its rows share (see VariableArray).
    {
        nb::class_<Origin> cls(m, "_Origin", nb::type_slots(HolderSlots<Origin>::slots_),
                               nb::is_weak_referenceable());
        cls.inc_ref();
        nb::delattr(m, "_Origin");
    }

    // Rows are made and freed by the million: freed instances are kept for reuse (see the first
    // generation's expressions).
    nb::class_<LinearExpression> row(m, "LinearExpression", kRowDoc, nb::dynamic_attr(),
                                     nb::type_slots(RowGc::slots_), nb::pooled());
    row.def(
           "__init__",
           [](LinearExpression *self, nb::handle linear, nb::handle constant, nb::handle quadratic,
              nb::handle lower, nb::handle upper) {
               check_row_parts(linear, constant, quadratic);
               new (self)
                   LinearExpression{nb::borrow(constant), nb::borrow(linear), nb::borrow(quadratic),
                                    nb::borrow(lower),    nb::borrow(upper),  OriginPtr(),
                                    nb::object()};
           },
           "linear_coefficients"_a.none(), "constant"_a.none() = 0.0,
           "quadratic_coefficients"_a.none() = nb::none(), "lower_bound"_a.none() = nb::none(),
           "upper_bound"_a.none() = nb::none(),
           nb::sig("def __init__(self, linear_coefficients: csr_array, constant: _CoefType = 0.0, "
                   "quadratic_coefficients: Optional[csc_array] = None, "
                   "lower_bound: Optional[_CoefType] = None, "
                   "upper_bound: Optional[_CoefType] = None) -> None"))
        .def_prop_ro(
            "constant", [](const LinearExpression &r) { return r.constant_; },
            nb::for_getter(nb::sig("def constant(self) -> _CoefType")))
        .def_prop_ro(
            "linear_coefficients", [](const LinearExpression &r) { return linear_of(r); },
            nb::for_getter(nb::sig("def linear_coefficients(self) -> csr_array")))
        .def_prop_ro(
            "quadratic_coefficients",
            [](const LinearExpression &r) { return r.quadratic_coefficients_; },
            nb::for_getter(nb::sig("def quadratic_coefficients(self) -> Optional[csc_array]")))
        .def_prop_ro(
            "lower_bound", [](const LinearExpression &r) { return r.lower_bound_; },
            nb::for_getter(nb::sig("def lower_bound(self) -> Optional[_CoefType]")))
        .def_prop_ro(
            "upper_bound", [](const LinearExpression &r) { return r.upper_bound_; },
            nb::for_getter(nb::sig("def upper_bound(self) -> Optional[_CoefType]")));
    row.def("__add__", &row_add, "other"_a.none(),
            nb::sig("def __add__(self, other: Union[_CoefType, LinearExpression]) "
                    "-> LinearExpression"));
    alias(row, "__radd__", "__add__");
    row.def("__sub__", &row_sub, "other"_a.none(), nb::sig("def __sub__(self, other)"))
        .def("__rsub__", &row_rsub, "other"_a.none(), nb::sig("def __rsub__(self, other)"))
        .def("__mul__", &row_mul, "other"_a.none(),
             nb::sig("def __mul__(self, other: Union[_CoefType, LinearExpression]) "
                     "-> LinearExpression"));
    alias(row, "__rmul__", "__mul__");
    row.def("__eq__", &row_eq, "other"_a.none(),
            nb::sig("def __eq__(self, other: _CoefType) -> LinearExpression"))
        .def("__ge__", &row_ge, "other"_a.none(),
             nb::sig("def __ge__(self, other: _CoefType) -> LinearExpression"))
        .def("__le__", &row_le, "other"_a.none(),
             nb::sig("def __le__(self, other: _CoefType) -> LinearExpression"))
        .def("__bool__", &row_bool, nb::sig("def __bool__(self) -> bool"));
    fields(row, kRowFields);
    row.def(
           "__getstate__", [](nb::handle self) { return get_state(self, kRowFields); },
           nb::sig("def __getstate__(self) -> dict"))
        .def(
            "__setstate__",
            [](LinearExpression &r, nb::handle state) { set_state(r, state, kRowFields); },
            "state"_a.none(), nb::sig("def __setstate__(self, state: dict) -> None"));
    // A class that defines __eq__ without __hash__ has unhashable instances; nanobind adds methods
    // after the class exists, so the interpreter's own rule has to be applied here.
    row.attr("__hash__") = nb::none();
    // numpy's operators and scalars defer to the row, as the host's numbers do: `w * e` is
    // `e * w`, and what the row does not define is refused alike on either side.
    row.attr("__array_ufunc__") = nb::none();

    nb::class_<LinearExpressionsArr> block(m, "LinearExpressionsArr", kBlockDoc, nb::dynamic_attr(),
                                           nb::type_slots(BlockGc::slots_));
    block
        .def(
            "__init__",
            [](LinearExpressionsArr *self, nb::handle linear, nb::handle constants,
               nb::handle lower, nb::handle upper, nb::handle is_init) {
                check_block_parts(linear, constants);
                nb::object c =
                    constants.is_none() ? default_constants(linear) : nb::borrow(constants);
                new (self) LinearExpressionsArr{
                    std::move(c),        BlockCoefs::matrix(nb::borrow(linear)),
                    nb::borrow(lower),   nb::borrow(upper),
                    nb::borrow(is_init), OriginPtr()};
            },
            "linear_coefficients"_a.none(), "constants"_a.none() = nb::none(),
            "lower_bounds"_a.none() = nb::none(), "upper_bounds"_a.none() = nb::none(),
            "is_init"_a.none() = false,
            nb::sig("def __init__(self, linear_coefficients: csr_array, "
                    "constants: Optional[np.ndarray] = None, "
                    "lower_bounds: Optional[np.ndarray] = None, "
                    "upper_bounds: Optional[np.ndarray] = None, is_init: bool = False) -> None"))
        .def_prop_ro(
            "num_constraints",
            [](const LinearExpressionsArr &b) { return b.constants_.attr("size"); },
            nb::for_getter(nb::sig("def num_constraints(self) -> int")))
        .def_prop_ro(
            "constants", [](const LinearExpressionsArr &b) { return b.constants_; },
            nb::for_getter(nb::sig("def constants(self) -> np.ndarray")))
        .def_prop_ro(
            "linear_coefficients",
            [](const LinearExpressionsArr &b) { return nb::object(matrix_of(b).attr("tocsr")()); },
            nb::for_getter(nb::sig("def linear_coefficients(self) -> csr_array")))
        .def_prop_ro(
            "lower_bounds", [](const LinearExpressionsArr &b) { return b.lower_bounds_; },
            nb::for_getter(nb::sig("def lower_bounds(self) -> Optional[np.ndarray]")))
        .def_prop_ro(
            "upper_bounds", [](const LinearExpressionsArr &b) { return b.upper_bounds_; },
            nb::for_getter(nb::sig("def upper_bounds(self) -> Optional[np.ndarray]")));
    block.def("__add__", &block_add, "other"_a.none(),
              nb::sig("def __add__(self, other: Union[_CoefType, LinearExpressionsArr]) "
                      "-> LinearExpressionsArr"));
    alias(block, "__radd__", "__add__");
    block
        .def("__sub__", &block_sub, "other"_a.none(),
             nb::sig("def __sub__(self, other: Union[_CoefType, LinearExpressionsArr]) "
                     "-> LinearExpressionsArr"))
        .def("__rsub__", &block_rsub, "other"_a.none(),
             nb::sig("def __rsub__(self, other: Union[_CoefType, LinearExpressionsArr]) "
                     "-> LinearExpressionsArr"))
        .def("__mul__", &block_mul, "other"_a.none(),
             nb::sig("def __mul__(self, other: Union[_CoefType, np.ndarray]) "
                     "-> LinearExpressionsArr"));
    alias(block, "__rmul__", "__mul__");
    block
        .def("__eq__", &block_eq, "other"_a.none(),
             nb::sig("def __eq__(self, other: Union[np.ndarray, _CoefType]) "
                     "-> LinearExpressionsArr"))
        .def("__ge__", &block_ge, "other"_a.none(),
             nb::sig("def __ge__(self, other: Union[np.ndarray, _CoefType]) "
                     "-> LinearExpressionsArr"))
        .def("__le__", &block_le, "other"_a.none(),
             nb::sig("def __le__(self, other: Union[np.ndarray, _CoefType]) "
                     "-> LinearExpressionsArr"))
        .def("sum", &block_sum, nb::sig("def sum(self) -> LinearExpression"))
        .def("dot", &block_dot, "other"_a.none(),
             nb::sig("def dot(self, other: np.ndarray) -> LinearExpression"))
        .def("__bool__", &block_bool, nb::sig("def __bool__(self) -> bool"));
    fields(block, kBlockFields);
    block
        .def(
            "__getstate__", [](nb::handle self) { return get_state(self, kBlockFields); },
            nb::sig("def __getstate__(self) -> dict"))
        .def(
            "__setstate__",
            [](LinearExpressionsArr &b, nb::handle state) { set_state(b, state, kBlockFields); },
            "state"_a.none(), nb::sig("def __setstate__(self, state: dict) -> None"));
    block.attr("__hash__") = nb::none();
    block.attr("__array_ufunc__") = nb::none();

    m.def("sumexp", &sumexp, "expr"_a.none(),
          nb::sig("def sumexp(expr: LinearExpressionsArr) -> LinearExpression"));
    m.def("dot", &dot, "first_expr"_a.none(), "second_expr"_a.none(),
          nb::sig("def dot(first_expr: Union[LinearExpressionsArr, np.ndarray], "
                  "second_expr: Union[LinearExpressionsArr, np.ndarray]) -> LinearExpression"));
}

}  // namespace

}  // namespace zk::lp2

ZK_MODULE(_expression, m) { zk::lp2::bind_module(m); }
