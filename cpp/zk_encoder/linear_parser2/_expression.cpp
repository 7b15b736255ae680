// zk_encoder.linear_parser2._expression: the second generation's numeric rows. A row
// (LinearExpression) and a block of rows (LinearExpressionsArr) hold numpy and scipy arrays; every
// operator computes its result at once with their own arithmetic, one call per row or block, and
// returns a new object. Operands are never changed, and results share the operands' arrays
// wherever those stay the same.
#include "zk_encoder/linear_parser2/_expression.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/logging.hpp"
#include "common/module_globals.hpp"
#include "common/python_private.hpp"

namespace zk::lp2 {

namespace nb = nanobind;

namespace {

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
constexpr const char *kBorderSize = "The size of the border must match the number of constraints.";
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

// hasattr(): false only for AttributeError; every other error of the look-up is raised.
bool has_attr(nb::handle obj, const char *name) { return zk::optional_attr(obj, name).is_valid(); }

bool debug() { return truth(g_module.get("DEBUG")); }

// A number: an instance of _CoefType. The host's int, bool and float are registered with the
// abstract number classes, so only other types need the union's test.
bool is_number(nb::handle obj) {
    if (PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr())) return true;
    return is_instance(obj, g_module.get("_CoefType"));
}

bool is_ndarray(nb::handle obj) { return is_instance(obj, g_module.get("np").attr("ndarray")); }
bool is_csr(nb::handle obj) { return is_instance(obj, g_module.get("csr_array")); }
bool is_csc(nb::handle obj) { return is_instance(obj, g_module.get("csc_array")); }

[[noreturn]] void fail_type(const std::string &msg) {
    g_module.raise_logged(nb::handle(PyExc_TypeError), msg);
}
[[noreturn]] void fail_value(const std::string &msg) {
    g_module.raise_logged(nb::handle(PyExc_ValueError), msg);
}
[[noreturn]] void fail_formula(const std::string &msg) {
    g_module.raise_logged("FormulaError", msg);
}

// ---------------------------------------------------------------------------------------------
// Garbage collection: every field is an arbitrary object (the constructors convert nothing), so a
// row can close a cycle through a bound or its attribute dictionary.

template <typename T, auto... Members>
struct ObjectSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (PyObject **dict = py_private::dict_ptr(self)) Py_VISIT(*dict);
        if (!nb::inst_ready(self)) return 0;
        T *p = nb::inst_ptr<T>(self);
        for (PyObject *o : {(p->*Members).ptr()...}) Py_VISIT(o);
        return 0;
    }

    static int clear(PyObject *self) {
        if (PyObject **dict = py_private::dict_ptr(self)) Py_CLEAR(*dict);
        if (!nb::inst_ready(self)) return 0;
        T *p = nb::inst_ptr<T>(self);
        ((p->*Members = nb::none()), ...);
        return 0;
    }

    static inline PyType_Slot slots_[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(clear)},
        {0, nullptr},
    };
};

using RowSlots =
    ObjectSlots<LinearExpression, &LinearExpression::constant_,
                &LinearExpression::linear_coefficients_, &LinearExpression::quadratic_coefficients_,
                &LinearExpression::lower_bound_, &LinearExpression::upper_bound_>;
// A block's matrix is visited only while the block is its one owner: blocks made from one another
// share it, and the collector must see each reference once.
struct BlockSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (PyObject **dict = py_private::dict_ptr(self)) Py_VISIT(*dict);
        if (!nb::inst_ready(self)) return 0;
        auto *p = nb::inst_ptr<LinearExpressionsArr>(self);
        for (PyObject *o : {p->constants_.ptr(), p->lower_bounds_.ptr(), p->upper_bounds_.ptr(),
                            p->is_init_.ptr()})
            Py_VISIT(o);
        if (p->coefs_ && p->coefs_.use_count() == 1) Py_VISIT(p->coefs_->matrix_.ptr());
        return 0;
    }

    static int clear(PyObject *self) {
        if (PyObject **dict = py_private::dict_ptr(self)) Py_CLEAR(*dict);
        if (!nb::inst_ready(self)) return 0;
        auto *p = nb::inst_ptr<LinearExpressionsArr>(self);
        p->constants_ = p->lower_bounds_ = p->upper_bounds_ = p->is_init_ = nb::none();
        p->coefs_.reset();
        return 0;
    }

    static inline PyType_Slot slots_[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(clear)},
        {0, nullptr},
    };
};

// ---------------------------------------------------------------------------------------------
// Rows.

void check_row_parts(nb::handle linear, nb::handle constant, nb::handle quadratic) {
    if (!debug()) return;
    if (!is_csr(linear)) fail_type(kRowNotCsr);
    if (!is_number(constant)) fail_type(kConstantNotNumber);
    if (!quadratic.is_none() && !is_csc(quadratic)) fail_type(kQuadraticNotCsc);
}

// Every result goes through the constructor's checks and is a plain LinearExpression, whatever
// the operands' classes.
nb::object make_row(nb::object linear, nb::object constant, nb::object quadratic = nb::none(),
                    nb::object lower = nb::none(), nb::object upper = nb::none()) {
    check_row_parts(linear, constant, quadratic);
    return nb::cast(LinearExpression{std::move(constant), std::move(linear), std::move(quadratic),
                                     std::move(lower), std::move(upper)});
}

// A copy of the fields (references only): the arithmetic below runs the host's code, which could
// otherwise reach the operand's fields while they are in use.
LinearExpression row_of(nb::handle obj) { return nb::cast<LinearExpression &>(obj); }
bool is_row(nb::handle obj) { return nb::isinstance<LinearExpression>(obj); }

bool row_bounded(const LinearExpression &r) {
    return !r.lower_bound_.is_none() || !r.upper_bound_.is_none();
}

void row_guard(const LinearExpression &r) {
    if (row_bounded(r)) fail_formula(kRowOperandBounded);
}

// a ± b for two rows free of bounds.
nb::object combine_rows(const LinearExpression &a, const LinearExpression &b, bool minus) {
    nb::object constant = add_or_sub(a.constant_, b.constant_, minus);
    nb::object linear = add_or_sub(a.linear_coefficients_, b.linear_coefficients_, minus);
    nb::object quadratic = nb::none();
    bool qa = !a.quadratic_coefficients_.is_none();
    bool qb = !b.quadratic_coefficients_.is_none();
    if (qa && qb)
        quadratic = add_or_sub(a.quadratic_coefficients_, b.quadratic_coefficients_, minus);
    else if (qa)
        quadratic = a.quadratic_coefficients_;
    else if (qb)
        quadratic = minus ? negate(b.quadratic_coefficients_) : b.quadratic_coefficients_;
    return make_row(std::move(linear), std::move(constant), std::move(quadratic));
}

nb::object row_add_sub(nb::handle self, nb::handle other, bool minus) {
    LinearExpression r = row_of(self);
    row_guard(r);
    if (is_number(other)) {
        // Only the constant moves: the result refers to the row's own arrays.
        return make_row(r.linear_coefficients_, add_or_sub(r.constant_, other, minus),
                        r.quadratic_coefficients_);
    }
    if (is_row(other)) {
        LinearExpression o = row_of(other);
        row_guard(o);
        return combine_rows(r, o, minus);
    }
    fail_type(kRowOperandType);
}

nb::object row_add(nb::handle self, nb::handle other) { return row_add_sub(self, other, false); }
nb::object row_sub(nb::handle self, nb::handle other) { return row_add_sub(self, other, true); }

// other - row.
nb::object row_rsub(nb::handle self, nb::handle other) {
    LinearExpression r = row_of(self);
    row_guard(r);
    if (is_number(other)) {
        nb::object quadratic =
            r.quadratic_coefficients_.is_none() ? nb::none() : negate(r.quadratic_coefficients_);
        return make_row(negate(r.linear_coefficients_), sub(other, r.constant_),
                        std::move(quadratic));
    }
    if (is_row(other)) {
        LinearExpression o = row_of(other);
        row_guard(o);
        return combine_rows(o, r, true);
    }
    fail_type(kRowOperandType);
}

nb::object row_mul(nb::handle self, nb::handle other) {
    LinearExpression r = row_of(self);
    row_guard(r);
    if (is_number(other)) {
        nb::object quadratic = r.quadratic_coefficients_.is_none()
                                   ? nb::none()
                                   : mul(other, r.quadratic_coefficients_);
        return make_row(mul(other, r.linear_coefficients_), mul(other, r.constant_),
                        std::move(quadratic));
    }
    if (!is_row(other)) fail_type(kRowOperandType);
    LinearExpression o = row_of(other);
    row_guard(o);
    if (!r.quadratic_coefficients_.is_none() || !o.quadratic_coefficients_.is_none())
        fail_value(kQuadraticProduct);

    // (a·x + ca)(b·x + cb) = ca·cb + (cb·a + ca·b)·x + x^T (a b^T) x; the outer product is stored
    // symmetrised, which keeps the value at every x.
    const nb::object &a = r.linear_coefficients_;
    const nb::object &b = o.linear_coefficients_;
    nb::object constant = mul(r.constant_, o.constant_);
    nb::object linear = add(mul(a, o.constant_), mul(b, r.constant_));
    nb::object outer = matmul(a.attr("reshape")(-1, 1), b.attr("reshape")(1, -1));
    nb::object half = nb::float_(0.5);
    nb::object quadratic = mul(half, add(outer, outer.attr("T"))).attr("tocsc")();
    return make_row(std::move(linear), std::move(constant), std::move(quadratic));
}

// A comparison gives a copy with the new bound; the opposite bound that the row already carries
// stays, so `(e >= 1) <= 5` states both.
nb::object row_eq(nb::handle self, nb::handle other) {
    LinearExpression r = row_of(self);
    if (row_bounded(r)) fail_formula(kHasBoundary);
    return make_row(r.linear_coefficients_, r.constant_, r.quadratic_coefficients_,
                    nb::borrow(other), nb::borrow(other));
}

nb::object row_ge(nb::handle self, nb::handle other) {
    LinearExpression r = row_of(self);
    if (!r.lower_bound_.is_none()) fail_formula(kRowHasLower);
    return make_row(r.linear_coefficients_, r.constant_, r.quadratic_coefficients_,
                    nb::borrow(other), r.upper_bound_);
}

nb::object row_le(nb::handle self, nb::handle other) {
    LinearExpression r = row_of(self);
    if (!r.upper_bound_.is_none()) fail_formula(kRowHasUpper);
    return make_row(r.linear_coefficients_, r.constant_, r.quadratic_coefficients_, r.lower_bound_,
                    nb::borrow(other));
}

bool row_bool(nb::handle self) {
    if (row_bounded(row_of(self))) fail_type(kBoundedTruth);
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
        if (compare(constants.attr("shape")[0], rows, Py_NE)) fail_formula(kConstantsLength);
    }
    if (!is_csr(linear) || compare(ndim_of(linear), nb::int_(2), Py_NE)) fail_type(kBlockNotCsr2d);
    if (given && (!array || compare(ndim_of(constants), nb::int_(1), Py_NE)))
        fail_type(kConstantNotNumber);
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
// canonical form (columns ascending within a row, none repeated), applied in the order the
// program wrote the sums: per row, the two rows are merged by column, an entry present on one
// side only is combined with 0 (a - 0, 0 - b), and a result equal to 0 is not stored. Values are
// int32 while both sides are (added with wrap-around, as the library's C++ adds them) and
// float64 once either side is. Picked rows are canonical, and so is every such sum, so each step
// is the library's own canonical case; its results have 32-bit indices while all counts fit.

struct PlainCsr {
    std::vector<int32_t> starts_, cols_;
    std::vector<double> reals_;  // float64 values
    std::vector<int32_t> ints_;  // int32 values
    bool is_float_ = false;
};

template <typename T>
T value_at(const PlainCsr &m, size_t k) {
    if (m.is_float_) return static_cast<T>(m.reals_[k]);
    return static_cast<T>(m.ints_[k]);
}

// The library's C++ adds its int32 values with wrap-around; here that is said explicitly.
template <typename T>
T apply(T a, T b, bool minus) {
    if constexpr (std::is_integral_v<T>) {
        const auto ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
        return static_cast<T>(minus ? ua - ub : ua + ub);
    } else {
        return minus ? a - b : a + b;
    }
}

template <typename T>
void merge_rows(const PlainCsr &a, const PlainCsr &b, bool minus, int64_t rows, PlainCsr &out,
                std::vector<T> &values) {
    out.starts_.assign(static_cast<size_t>(rows) + 1, 0);
    out.cols_.reserve(a.cols_.size() + b.cols_.size());
    values.reserve(a.cols_.size() + b.cols_.size());
    auto keep = [&](int32_t col, T v) {
        if (v != 0) {
            out.cols_.push_back(col);
            values.push_back(v);
        }
    };
    for (int64_t r = 0; r < rows; ++r) {
        size_t i = static_cast<size_t>(a.starts_[static_cast<size_t>(r)]);
        size_t j = static_cast<size_t>(b.starts_[static_cast<size_t>(r)]);
        const auto ie = static_cast<size_t>(a.starts_[static_cast<size_t>(r) + 1]);
        const auto je = static_cast<size_t>(b.starts_[static_cast<size_t>(r) + 1]);
        while (i < ie && j < je) {
            if (a.cols_[i] == b.cols_[j]) {
                keep(a.cols_[i], apply(value_at<T>(a, i), value_at<T>(b, j), minus));
                ++i;
                ++j;
            } else if (a.cols_[i] < b.cols_[j]) {
                keep(a.cols_[i], apply(value_at<T>(a, i), T(0), minus));
                ++i;
            } else {
                keep(b.cols_[j], apply(T(0), value_at<T>(b, j), minus));
                ++j;
            }
        }
        for (; i < ie; ++i) keep(a.cols_[i], apply(value_at<T>(a, i), T(0), minus));
        for (; j < je; ++j) keep(b.cols_[j], apply(T(0), value_at<T>(b, j), minus));
        out.starts_[static_cast<size_t>(r) + 1] = static_cast<int32_t>(out.cols_.size());
    }
}

PlainCsr picked_rows(const BlockCoefs &c) {
    PlainCsr m;
    m.is_float_ = c.float_;
    m.starts_.resize(static_cast<size_t>(c.rows_) + 1);
    for (size_t r = 0; r < m.starts_.size(); ++r) m.starts_[r] = static_cast<int32_t>(r);
    m.cols_ = c.cols_;
    if (c.float_)
        m.reals_.assign(c.cols_.size(), 1.0);
    else
        m.ints_.assign(c.cols_.size(), 1);
    return m;
}

PlainCsr summed_rows(const BlockCoefs &c, const PlainCsr &a, const PlainCsr &b) {
    PlainCsr out;
    out.is_float_ = c.float_;
    if (c.float_)
        merge_rows(a, b, c.minus_, c.rows_, out, out.reals_);
    else
        merge_rows(a, b, c.minus_, c.rows_, out, out.ints_);
    return out;
}

// The rows of a tree of picks and sums. A node may be shared (`s + s`), so each is computed once
// per call and its arrays are dropped as soon as its last user in the tree has them; the tree is
// walked without recursion, however deep it is.
PlainCsr evaluate(const BlockCoefs &root) {
    std::unordered_map<const BlockCoefs *, int64_t> users;
    std::vector<const BlockCoefs *> stack{&root};
    users[&root] = 1;
    while (!stack.empty()) {
        const BlockCoefs *c = stack.back();
        stack.pop_back();
        if (c->kind_ != BlockCoefs::Kind::kSum) continue;
        for (const BlockCoefs *child : {c->left_.get(), c->right_.get()})
            if (users[child]++ == 0) stack.push_back(child);
    }
    std::unordered_map<const BlockCoefs *, PlainCsr> done;
    std::vector<std::pair<const BlockCoefs *, bool>> todo{{&root, false}};
    while (!todo.empty()) {
        auto [c, expanded] = todo.back();
        todo.pop_back();
        if (done.count(c)) continue;
        if (c->kind_ == BlockCoefs::Kind::kPicked) {
            done.emplace(c, picked_rows(*c));
            continue;
        }
        const BlockCoefs *l = c->left_.get(), *r = c->right_.get();
        if (!expanded) {
            todo.push_back({c, true});
            todo.push_back({r, false});
            todo.push_back({l, false});
            continue;
        }
        done.emplace(c, summed_rows(*c, done.at(l), done.at(r)));
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
bool counted_rows(const BlockCoefs &root, PlainCsr &out) {
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
            todo.push_back({c->right_.get(), false});
            todo.push_back({c->left_.get(), false});
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
            {c->left_.get(), w}, {c->right_.get(), c->minus_ ? -w : w}};
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
    out.is_float_ = root.float_;
    if (out.is_float_)
        out.reals_.assign(values.begin(), values.end());
    else
        out.ints_.assign(values.begin(), values.end());
    return true;
}

template <typename T>
nb::object numpy_of(std::vector<T> &&v) {
    auto *owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    size_t shape[1] = {owned->size()};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), 1, shape, owner));
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
    PlainCsr m;
    if (!counted_rows(c, m)) m = evaluate(c);
    nb::object values = m.is_float_ ? numpy_of(std::move(m.reals_)) : numpy_of(std::move(m.ints_));
    return csr_array(
        nb::make_tuple(values, numpy_of(std::move(m.cols_)), numpy_of(std::move(m.starts_))),
        nb::arg("shape") = shape);
}

nb::object matrix_of(const std::shared_ptr<const BlockCoefs> &c) {
    if (!c) return nb::none();
    if (!c->matrix_.is_valid()) c->matrix_ = make_matrix(*c);
    return c->matrix_;
}

nb::object matrix_of(const LinearExpressionsArr &b) { return matrix_of(b.coefs_); }

// a ± b kept as arrays, when both are and the result's counts fit the 32-bit indices; else null.
BlockCoefs::Ptr lazy_sum(const BlockCoefs::Ptr &a, const BlockCoefs::Ptr &b, bool minus) {
    if (!a || !b || !a->lazy() || !b->lazy()) return nullptr;
    if (a->rows_ != b->rows_ || a->width_ != b->width_) return nullptr;
    const int64_t stored = a->stored_ + b->stored_;
    if (stored > std::numeric_limits<int32_t>::max()) return nullptr;
    auto c = std::make_shared<BlockCoefs>();
    c->kind_ = BlockCoefs::Kind::kSum;
    c->rows_ = a->rows_;
    c->width_ = a->width_;
    c->stored_ = stored;
    c->float_ = a->float_ || b->float_;
    c->left_ = a;
    c->right_ = b;
    c->minus_ = minus;
    return c;
}

// The matrix of a result that keeps its operand's: the same tree, so that the matrix, once made,
// is one object for both; but a matrix given as an object gets a holder of its own, so that
// each block that refers to it is its one owner and shows the reference to the collector.
BlockCoefs::Ptr shared(const BlockCoefs::Ptr &c) {
    if (c && c->kind_ == BlockCoefs::Kind::kMatrix) return BlockCoefs::matrix(c->matrix_);
    return c;
}

nb::object make_block(std::shared_ptr<const BlockCoefs> coefs, nb::object constants,
                      nb::object lower, nb::object upper, bool is_init) {
    if (constants.is_none() || debug()) {
        nb::object linear = matrix_of(coefs);
        check_block_parts(linear, constants);
        if (constants.is_none()) constants = default_constants(linear);
    }
    return nb::cast(LinearExpressionsArr{std::move(constants), std::move(coefs), std::move(lower),
                                         std::move(upper), nb::bool_(is_init)});
}

nb::object make_block(nb::object linear, nb::object constants, nb::object lower, nb::object upper,
                      bool is_init) {
    return make_block(BlockCoefs::matrix(std::move(linear)), std::move(constants), std::move(lower),
                      std::move(upper), is_init);
}

LinearExpressionsArr block_of(nb::handle obj) { return nb::cast<LinearExpressionsArr &>(obj); }
bool is_block(nb::handle obj) { return nb::isinstance<LinearExpressionsArr>(obj); }

bool block_bounded(const LinearExpressionsArr &b) {
    return !b.lower_bounds_.is_none() || !b.upper_bounds_.is_none();
}

void block_guard(const LinearExpressionsArr &b) {
    if (block_bounded(b)) fail_formula(kHasBoundary);
}

// ---------------------------------------------------------------------------------------------
// Shortcuts for large blocks. Each gives exactly the arrays (values, places, dtypes) that the
// sparse library's own way gives, and applies only where that has been made sure: plain numeric
// dtypes, 32-bit indices, the exact library types. Anything else takes the library's way.

bool exact_type(nb::handle obj, nb::handle cls) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(cls.ptr());
}

// float64, int64 or int32: numpy and the sparse library promote these alike.
bool plain_number_dtype(nb::handle arr) {
    nb::object name = arr.attr("dtype").attr("name");
    for (const char *n : {"float64", "int64", "int32"})
        if (PyUnicode_CompareWithASCIIString(name.ptr(), n) == 0) return true;
    return false;
}

bool int32_dtype(nb::handle arr) {
    return PyUnicode_CompareWithASCIIString(arr.attr("dtype").attr("name").ptr(), "int32") == 0;
}

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
    using Starts = nb::ndarray<const int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
    Starts starts;
    if (!nb::try_cast(indptr, starts)) return false;
    const int32_t *p = starts.data();
    const size_t n = starts.shape(0);
    for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<int32_t>(i)) return false;
    return true;
}

// (w[:, None] * m).tocsr() for a matrix in canonical form (columns sorted, none repeated within
// a row), where the library's way through the coordinate form keeps every entry in its place:
// each value times its row's weight, the result sharing the column indices and row starts
// instead of three new copies. Invalid when the shortcut does not apply.
nb::object scaled_rows(nb::handle m, nb::handle w) {
    if (!plain_matrix_and_weights(m, w) || !truth(m.attr("has_canonical_format")))
        return nb::object();
    nb::object np = g_module.get("np");
    nb::object indptr = m.attr("indptr");
    // Rows of one value each (what indexing makes) take the weights as they are.
    nb::object per_value =
        one_value_per_row(indptr) ? nb::borrow(w) : np.attr("repeat")(w, np.attr("diff")(indptr));
    nb::object data = np.attr("multiply")(m.attr("data"), per_value);
    return g_module.get("csr_array")(nb::make_tuple(data, m.attr("indices"), indptr),
                                     nb::arg("shape") = m.attr("shape"));
}

// csr_array(w).dot(m).tocsr() as the dense column sums m' w made sparse: the library's product
// adds w_i * m_ij over the rows in the same order and keeps the non-zero sums, which is what the
// conversion of the dense sums keeps. Rows of weight 0 are left out of the product but not of
// the dense sums (0 * inf is NaN there), so the shortcut needs every weight non-zero.
nb::object weighted_row_sum(nb::handle m, nb::handle w) {
    if (!plain_matrix_and_weights(m, w)) return nb::object();
    nb::object np = g_module.get("np");
    if (compare(np.attr("count_nonzero")(w), w.attr("size"), Py_NE)) return nb::object();
    nb::object sums = matmul(m.attr("T"), w);
    return g_module.get("csr_array")(sums);
}

// The same for picked rows kept as arrays and float64 weights, without making the matrix: the
// product adds 1 * w_r, that is w_r, to the column of row r, in row order.
nb::object weighted_picked_sum(const BlockCoefs::Ptr &c, nb::handle w) {
    if (!c || !c->lazy() || c->kind_ != BlockCoefs::Kind::kPicked) return nb::object();
    nb::object np = g_module.get("np");
    if (!exact_type(w, np.attr("ndarray")) || compare(w.attr("dtype"), np.attr("float64"), Py_NE))
        return nb::object();
    using Weights = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
    Weights weights;
    if (!nb::try_cast(w, weights, false) || static_cast<int64_t>(weights.shape(0)) != c->rows_)
        return nb::object();
    const double *v = weights.data();
    for (int64_t r = 0; r < c->rows_; ++r)
        if (v[r] == 0) return nb::object();
    std::vector<double> sums(static_cast<size_t>(c->width_), 0.0);
    for (size_t r = 0; r < c->cols_.size(); ++r) sums[static_cast<size_t>(c->cols_[r])] += v[r];
    return g_module.get("csr_array")(numpy_of(std::move(sums)));
}

nb::object block_add_sub(nb::handle self, nb::handle other, bool minus) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (is_number(other)) {
        return make_block(shared(b.coefs_), add_or_sub(b.constants_, other, minus), nb::none(),
                          nb::none(), true);
    }
    if (is_block(other)) {
        LinearExpressionsArr o = block_of(other);
        // A bounded operand is a finished constraint, as for rows: its bounds would be lost.
        block_guard(o);
        if (compare(b.constants_.attr("shape"), o.constants_.attr("shape"), Py_NE))
            fail_formula(kElementCount);
        nb::object constants = add_or_sub(b.constants_, o.constants_, minus);
        if (BlockCoefs::Ptr lazy = lazy_sum(b.coefs_, o.coefs_, minus))
            return make_block(std::move(lazy), std::move(constants), nb::none(), nb::none(), false);
        nb::object linear = add_or_sub(matrix_of(b), matrix_of(o), minus);
        return make_block(std::move(linear), std::move(constants), nb::none(), nb::none(), false);
    }
    fail_type(kBlockOperandType);
}

nb::object block_add(nb::handle self, nb::handle other) {
    return block_add_sub(self, other, false);
}
nb::object block_sub(nb::handle self, nb::handle other) { return block_add_sub(self, other, true); }

nb::object block_mul(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (is_number(other)) {
        return make_block(mul(other, matrix_of(b)), mul(other, b.constants_), nb::none(),
                          nb::none(), true);
    }
    if (is_ndarray(other)) {
        if (debug() && (compare(ndim_of(other), nb::int_(1), Py_NE) ||
                        compare(other.attr("size"), b.constants_.attr("size"), Py_NE)))
            fail_formula(kElementCount);
        // w[:, None] scales row i by w_i.
        nb::object matrix = matrix_of(b);
        nb::object linear = scaled_rows(matrix, other);
        if (!linear.is_valid()) {
            nb::object column =
                other[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none())];
            linear = mul(column, matrix).attr("tocsr")();
        }
        return make_block(std::move(linear), mul(b.constants_, other), nb::none(), nb::none(),
                          false);
    }
    fail_type(kBlockFactorType);
}

// other - block, as block * -1 + other.
nb::object block_rsub(nb::handle self, nb::handle other) {
    nb::object negated = block_mul(self, nb::int_(-1));
    return block_add(negated, other);
}

// A bound value: a number becomes one float64 entry per row, so that a fractional or infinite
// bound keeps its value on integer constants.
nb::object border(const LinearExpressionsArr &b, nb::handle value) {
    nb::object v = nb::borrow(value);
    nb::object shape = b.constants_.attr("shape");
    if (is_number(v)) {
        nb::object np = g_module.get("np");
        v = np.attr("full")(shape, v, nb::arg("dtype") = np.attr("float64"));
    }
    if (compare(v.attr("shape"), shape, Py_NE)) fail_formula(kBorderSize);
    return v;
}

// As for rows, a comparison keeps the opposite bounds the block already carries.
nb::object block_eq(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    nb::object v = border(b, other);
    return make_block(shared(b.coefs_), b.constants_, v, v, false);
}

nb::object block_ge(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    if (!b.lower_bounds_.is_none()) fail_formula(kBlockHasLower);
    nb::object v = border(b, other);
    return make_block(shared(b.coefs_), b.constants_, std::move(v), b.upper_bounds_, false);
}

nb::object block_le(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    if (!b.upper_bounds_.is_none()) fail_formula(kBlockHasUpper);
    nb::object v = border(b, other);
    return make_block(shared(b.coefs_), b.constants_, b.lower_bounds_, std::move(v), false);
}

nb::object block_sum(nb::handle self) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    nb::object constant = b.constants_.attr("sum")();
    nb::object m = matrix_of(b);
    nb::object width = nb::make_tuple(m.attr("shape")[1]);
    nb::object csr_array = g_module.get("csr_array");
    nb::object linear;
    if (truth(b.is_init_)) {
        // The sparse constructor adds values of equal column in place, in the arrays it is given:
        // it gets copies, never the block's own arrays.
        nb::object data = m.attr("data").attr("copy")();
        nb::object columns = m.attr("indices").attr("copy")();
        linear = csr_array(nb::make_tuple(data, nb::make_tuple(columns)), nb::arg("shape") = width);
    } else {
        linear = csr_array(m.attr("sum")(nb::arg("axis") = 0));
    }
    return make_row(std::move(linear), std::move(constant));
}

nb::object block_dot(nb::handle self, nb::handle other) {
    LinearExpressionsArr b = block_of(self);
    block_guard(b);
    if (debug() && !is_ndarray(other)) {
        nb::object msg = zk::check(PyUnicode_FromFormat(
            "%s%S", kUndefinedType, reinterpret_cast<PyObject *>(Py_TYPE(other.ptr()))));
        g_module.raise_logged(nb::handle(PyExc_TypeError), msg);
    }
    nb::object constant = b.constants_.attr("dot")(other);
    nb::object linear = weighted_picked_sum(b.coefs_, other);
    if (linear.is_valid()) return make_row(std::move(linear), std::move(constant));
    nb::object matrix = matrix_of(b);
    linear = weighted_row_sum(matrix, other);
    if (!linear.is_valid()) {
        nb::object weights = g_module.get("csr_array")(other);
        linear = weights.attr("dot")(matrix).attr("tocsr")();
    }
    return make_row(std::move(linear), std::move(constant));
}

bool block_bool(nb::handle self) {
    if (block_bounded(block_of(self))) fail_type(kBoundedTruth);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Module functions.

nb::object sumexp(nb::handle expr) { return expr.attr("sum")(); }

nb::object dot(nb::handle first_expr, nb::handle second_expr) {
    if (debug()) {
        bool fits = (is_block(first_expr) && is_ndarray(second_expr)) ||
                    (is_ndarray(first_expr) && is_block(second_expr));
        if (!fits) fail_formula(kDotArguments);
    }
    if (is_block(first_expr)) return first_expr.attr("dot")(second_expr);
    return second_expr.attr("dot")(first_expr);
}

// The fields under their attribute names, in the constructor's order, each read and written
// as the Python object it stands for.
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
    member_field<Row, &Row::linear_coefficients_>("_linear_coefficients"),
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

    nb::class_<LinearExpression> row(m, "LinearExpression", kRowDoc, nb::dynamic_attr(),
                                     nb::type_slots(RowSlots::slots_));
    row.def(
           "__init__",
           [](LinearExpression *self, nb::handle linear, nb::handle constant, nb::handle quadratic,
              nb::handle lower, nb::handle upper) {
               check_row_parts(linear, constant, quadratic);
               new (self)
                   LinearExpression{nb::borrow(constant), nb::borrow(linear), nb::borrow(quadratic),
                                    nb::borrow(lower), nb::borrow(upper)};
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
            "linear_coefficients", [](const LinearExpression &r) { return r.linear_coefficients_; },
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

    nb::class_<LinearExpressionsArr> block(m, "LinearExpressionsArr", kBlockDoc, nb::dynamic_attr(),
                                           nb::type_slots(BlockSlots::slots_));
    block
        .def(
            "__init__",
            [](LinearExpressionsArr *self, nb::handle linear, nb::handle constants,
               nb::handle lower, nb::handle upper, nb::handle is_init) {
                check_block_parts(linear, constants);
                nb::object c =
                    constants.is_none() ? default_constants(linear) : nb::borrow(constants);
                new (self)
                    LinearExpressionsArr{std::move(c), BlockCoefs::matrix(nb::borrow(linear)),
                                         nb::borrow(lower), nb::borrow(upper), nb::borrow(is_init)};
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

    m.def("sumexp", &sumexp, "expr"_a.none(),
          nb::sig("def sumexp(expr: LinearExpressionsArr) -> LinearExpression"));
    m.def("dot", &dot, "first_expr"_a.none(), "second_expr"_a.none(),
          nb::sig("def dot(first_expr: Union[LinearExpressionsArr, np.ndarray], "
                  "second_expr: Union[LinearExpressionsArr, np.ndarray]) -> LinearExpression"));
}

}  // namespace

}  // namespace zk::lp2

ZK_MODULE(_expression, m) { zk::lp2::bind_module(m); }
