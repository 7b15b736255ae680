// The arithmetic of numeric linear expressions, entry for entry as scipy's sparse operations give
// it (see polynomial.hpp). The steps mirror scipy's: a COO array is added through compressed rows
// (sorted, duplicates summed, explicit zeros kept), two compressed arrays are combined by the
// sparse library's merge (sorted operands) or its accumulator (unsorted operands), which keep
// only nonzero results, and a product of compressed arrays keeps the accumulator's order.
#include "lp1/polynomial.hpp"

#include <algorithm>
#include <type_traits>
#include <cstdint>
#include <limits>
#include <numeric>
#include <unordered_map>
#include <utility>

namespace zk::lp1 {

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// int64 arithmetic wraps, as numpy's and the sparse library's loops do.
std::int64_t wrap_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t wrap_sub(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t wrap_mul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

double plus(double a, double b) { return a + b; }
double minus(double a, double b) { return a - b; }
double times(double a, double b) { return a * b; }
std::int64_t plus(std::int64_t a, std::int64_t b) { return wrap_add(a, b); }
std::int64_t minus(std::int64_t a, std::int64_t b) { return wrap_sub(a, b); }
std::int64_t times(std::int64_t a, std::int64_t b) { return wrap_mul(a, b); }

ValueType upcast(ValueType a, ValueType b) {
    return a == ValueType::kInt64 && b == ValueType::kInt64 ? ValueType::kInt64
                                                            : ValueType::kFloat64;
}

template <typename T>
T value_at(const Values &v, std::size_t k) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        return v.ints[k];
    } else {
        return v.type == ValueType::kInt64 ? static_cast<double>(v.ints[k]) : v.floats[k];
    }
}

template <typename T>
void push(Values &v, T x) {
    if constexpr (std::is_same_v<T, std::int64_t>)
        v.ints.push_back(x);
    else
        v.floats.push_back(x);
}

Values empty_values(ValueType t) {
    Values v;
    v.type = t;
    return v;
}

Values take(const Values &v, const std::vector<std::size_t> &order) {
    Values out = empty_values(v.type);
    if (v.type == ValueType::kInt64) {
        out.ints.reserve(order.size());
        for (std::size_t k : order) out.ints.push_back(v.ints[k]);
    } else {
        out.floats.reserve(order.size());
        for (std::size_t k : order) out.floats.push_back(v.floats[k]);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Numbers, as the host's int and float operators compute them.

std::optional<Number> number_add(Number a, Number b, bool subtract) {
    if (a.is_int() && b.is_int()) {
        std::int64_t r = 0;
        bool overflow = subtract ? __builtin_sub_overflow(a.i, b.i, &r)
                                 : __builtin_add_overflow(a.i, b.i, &r);
        if (overflow) return std::nullopt;
        return Number::of_int(r);
    }
    return Number::of_float(subtract ? a.as_double() - b.as_double()
                                     : a.as_double() + b.as_double());
}

std::optional<Number> number_mul(Number a, Number b) {
    if (a.is_int() && b.is_int()) {
        std::int64_t r = 0;
        if (__builtin_mul_overflow(a.i, b.i, &r)) return std::nullopt;
        return Number::of_int(r);
    }
    return Number::of_float(a.as_double() * b.as_double());
}

std::optional<Number> number_neg(Number a) {
    if (a.is_int()) {
        if (a.i == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
        return Number::of_int(-a.i);
    }
    return Number::of_float(-a.f);
}

// ---------------------------------------------------------------------------------------------
// Stored values, as numpy computes `data * k` and `-data`.

Values scaled(const Values &v, Number k) {
    if (v.type == ValueType::kInt64 && k.is_int()) {
        Values out = empty_values(ValueType::kInt64);
        out.ints.reserve(v.ints.size());
        for (std::int64_t x : v.ints) out.ints.push_back(wrap_mul(x, k.i));
        return out;
    }
    Values out = empty_values(ValueType::kFloat64);
    const double kd = k.as_double();
    const std::size_t n = v.size();
    out.floats.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.floats.push_back(value_at<double>(v, i) * kd);
    return out;
}

Values negated(const Values &v) {
    Values out = empty_values(v.type);
    if (v.type == ValueType::kInt64) {
        out.ints.reserve(v.ints.size());
        for (std::int64_t x : v.ints) out.ints.push_back(wrap_sub(0, x));
    } else {
        out.floats.reserve(v.floats.size());
        for (double x : v.floats) out.floats.push_back(-x);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Compressed rows without the pointer array: entries grouped by ascending row, within a row in
// the order the compressed arrays hold them.

struct Rows {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    IndexType index = IndexType::kInt32;
    std::vector<std::int64_t> row;
    std::vector<std::int64_t> col;
    Values values;

    std::size_t nnz() const { return row.size(); }
};

// coo.tocsr(): an empty array gets a new empty one (int32 indexes); otherwise the entries are
// grouped by row and, entries being unique, sorted by column within each row.
Rows to_rows(const Coo &a) {
    Rows r;
    r.rows = a.rows;
    r.cols = a.cols;
    if (a.nnz() == 0) {
        r.index = IndexType::kInt32;
        r.values = empty_values(a.values.type);
        return r;
    }
    r.index = a.index;
    std::vector<std::size_t> order(a.nnz());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return a.row[x] != a.row[y] ? a.row[x] < a.row[y] : a.col[x] < a.col[y];
    });
    r.row.reserve(order.size());
    r.col.reserve(order.size());
    for (std::size_t k : order) {
        r.row.push_back(a.row[k]);
        r.col.push_back(a.col[k]);
    }
    r.values = take(a.values, order);
    return r;
}

Coo to_coo(Rows &&r) {
    Coo c;
    c.rows = r.rows;
    c.cols = r.cols;
    c.index = r.index;
    c.row = std::move(r.row);
    c.col = std::move(r.col);
    c.values = std::move(r.values);
    return c;
}

// Columns strictly increasing within every row.
bool is_canonical(const Rows &r) {
    for (std::size_t k = 1; k < r.nnz(); ++k)
        if (r.row[k] == r.row[k - 1] && r.col[k] <= r.col[k - 1]) return false;
    return true;
}

// Half-open ranges of the entries of each row present.
struct RowRange {
    std::int64_t row;
    std::size_t begin;
    std::size_t end;
};

std::vector<RowRange> row_ranges(const Rows &r) {
    std::vector<RowRange> out;
    std::size_t k = 0;
    while (k < r.nnz()) {
        std::size_t e = k;
        while (e < r.nnz() && r.row[e] == r.row[k]) ++e;
        out.push_back({r.row[k], k, e});
        k = e;
    }
    return out;
}

IndexType combined_index(IndexType a, IndexType b, std::size_t maxval) {
    if (a == IndexType::kInt64 || b == IndexType::kInt64) return IndexType::kInt64;
    return maxval > static_cast<std::size_t>(kInt32Max) ? IndexType::kInt64 : IndexType::kInt32;
}

template <typename T>
void emit(Rows &out, std::int64_t row, std::int64_t col, T value) {
    if (value != 0) {  // only nonzero results are stored; NaN is kept
        out.row.push_back(row);
        out.col.push_back(col);
        push(out.values, value);
    }
}

// Sorted operands: a merge of each row.
template <typename T>
void merge_rows(const Rows &a, const Rows &b, bool subtract, Rows &out) {
    auto op = [&](T x, T y) { return subtract ? minus(x, y) : plus(x, y); };
    std::size_t i = 0, j = 0;
    while (i < a.nnz() || j < b.nnz()) {
        std::int64_t row = i < a.nnz() && (j >= b.nnz() || a.row[i] <= b.row[j]) ? a.row[i]
                                                                                   : b.row[j];
        while (i < a.nnz() && a.row[i] == row && j < b.nnz() && b.row[j] == row) {
            if (a.col[i] == b.col[j]) {
                emit(out, row, a.col[i], op(value_at<T>(a.values, i), value_at<T>(b.values, j)));
                ++i;
                ++j;
            } else if (a.col[i] < b.col[j]) {
                emit(out, row, a.col[i], op(value_at<T>(a.values, i), T(0)));
                ++i;
            } else {
                emit(out, row, b.col[j], op(T(0), value_at<T>(b.values, j)));
                ++j;
            }
        }
        for (; i < a.nnz() && a.row[i] == row; ++i)
            emit(out, row, a.col[i], op(value_at<T>(a.values, i), T(0)));
        for (; j < b.nnz() && b.row[j] == row; ++j)
            emit(out, row, b.col[j], op(T(0), value_at<T>(b.values, j)));
    }
}

// Unsorted operands: per row, the accumulator lists columns in reverse order of first
// appearance (the first operand's entries, then the second's).
template <typename T>
void accumulate_rows(const Rows &a, const Rows &b, bool subtract, Rows &out) {
    auto op = [&](T x, T y) { return subtract ? minus(x, y) : plus(x, y); };
    std::vector<std::int64_t> cols;
    std::vector<T> av, bv;
    std::unordered_map<std::int64_t, std::size_t> slot;
    std::size_t i = 0, j = 0;
    while (i < a.nnz() || j < b.nnz()) {
        std::int64_t row = i < a.nnz() && (j >= b.nnz() || a.row[i] <= b.row[j]) ? a.row[i]
                                                                                   : b.row[j];
        cols.clear();
        av.clear();
        bv.clear();
        slot.clear();
        for (; i < a.nnz() && a.row[i] == row; ++i) {
            auto [it, fresh] = slot.emplace(a.col[i], cols.size());
            if (fresh) {
                cols.push_back(a.col[i]);
                av.push_back(T(0));
                bv.push_back(T(0));
            }
            av[it->second] = plus(av[it->second], value_at<T>(a.values, i));
        }
        for (; j < b.nnz() && b.row[j] == row; ++j) {
            auto [it, fresh] = slot.emplace(b.col[j], cols.size());
            if (fresh) {
                cols.push_back(b.col[j]);
                av.push_back(T(0));
                bv.push_back(T(0));
            }
            bv[it->second] = plus(bv[it->second], value_at<T>(b.values, j));
        }
        for (std::size_t s = cols.size(); s-- > 0;) emit(out, row, cols[s], op(av[s], bv[s]));
    }
}

// The compressed sum or difference of two arrays of one shape.
Rows combine(const Rows &a, const Rows &b, bool subtract) {
    Rows out;
    out.rows = a.rows;
    out.cols = a.cols;
    out.index = combined_index(a.index, b.index, a.nnz() + b.nnz());
    const ValueType t = upcast(a.values.type, b.values.type);
    out.values = empty_values(t);
    const bool sorted = is_canonical(a) && is_canonical(b);
    if (t == ValueType::kInt64) {
        if (sorted)
            merge_rows<std::int64_t>(a, b, subtract, out);
        else
            accumulate_rows<std::int64_t>(a, b, subtract, out);
    } else {
        if (sorted)
            merge_rows<double>(a, b, subtract, out);
        else
            accumulate_rows<double>(a, b, subtract, out);
    }
    return out;
}

// The sparse product a @ b of compressed arrays.
template <typename T>
std::size_t product_rows(const Rows &a, const Rows &b, Rows &out) {
    std::vector<RowRange> b_rows = row_ranges(b);
    auto find_row = [&](std::int64_t r) -> const RowRange * {
        auto it = std::lower_bound(b_rows.begin(), b_rows.end(), r,
                                   [](const RowRange &x, std::int64_t v) { return x.row < v; });
        return it != b_rows.end() && it->row == r ? &*it : nullptr;
    };
    std::size_t structural = 0;
    std::vector<std::int64_t> cols;
    std::vector<T> sums;
    std::unordered_map<std::int64_t, std::size_t> slot;
    for (const RowRange &ar : row_ranges(a)) {
        cols.clear();
        sums.clear();
        slot.clear();
        for (std::size_t i = ar.begin; i < ar.end; ++i) {
            const RowRange *br = find_row(a.col[i]);
            if (!br) continue;
            const T v = value_at<T>(a.values, i);
            for (std::size_t k = br->begin; k < br->end; ++k) {
                auto [it, fresh] = slot.emplace(b.col[k], cols.size());
                if (fresh) {
                    cols.push_back(b.col[k]);
                    sums.push_back(T(0));
                }
                sums[it->second] = plus(sums[it->second], times(v, value_at<T>(b.values, k)));
            }
        }
        structural += cols.size();
        for (std::size_t s = cols.size(); s-- > 0;) emit(out, ar.row, cols[s], sums[s]);
    }
    return structural;
}

Rows product(const Rows &a, const Rows &b) {
    Rows out;
    out.rows = a.rows;
    out.cols = b.cols;
    const ValueType t = upcast(a.values.type, b.values.type);
    out.values = empty_values(t);
    const std::size_t structural = t == ValueType::kInt64 ? product_rows<std::int64_t>(a, b, out)
                                                          : product_rows<double>(a, b, out);
    // No entry can arise at all: the library makes a new empty array (int32 indexes).
    out.index = structural == 0 ? IndexType::kInt32
                                : combined_index(a.index, b.index, structural);
    return out;
}

Coo transposed(const Coo &a) {
    Coo t = a;
    std::swap(t.rows, t.cols);
    std::swap(t.row, t.col);
    return t;
}

// Copies of two arrays grown to the larger extent in each dimension.
std::pair<Coo, Coo> aligned(const Coo &a, const Coo &b) {
    std::pair<Coo, Coo> out{a, b};
    const std::int64_t rows = std::max(a.rows, b.rows);
    const std::int64_t cols = std::max(a.cols, b.cols);
    out.first.rows = out.second.rows = rows;
    out.first.cols = out.second.cols = cols;
    return out;
}

Coo sum_of(const Coo &a, const Coo &b, bool subtract) {
    auto [ca, cb] = aligned(a, b);
    return to_coo(combine(to_rows(ca), to_rows(cb), subtract));
}

Coo with_values(const Coo &a, Values v) {
    Coo out = a;
    out.values = std::move(v);
    return out;
}

}  // namespace

Polynomial positive(const Polynomial &e) { return e; }

std::optional<Polynomial> negative(const Polynomial &e) {
    std::optional<Number> c = number_neg(e.constant);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant = *c;
    r.linear = with_values(e.linear, negated(e.linear.values));
    if (e.quadratic) r.quadratic = with_values(*e.quadratic, negated(e.quadratic->values));
    return r;
}

std::optional<Polynomial> add(const Polynomial &e, const Polynomial &f, bool subtract) {
    std::optional<Number> c = number_add(e.constant, f.constant, subtract);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant = *c;
    r.linear = sum_of(e.linear, f.linear, subtract);
    if (e.quadratic && f.quadratic) {
        r.quadratic = sum_of(*e.quadratic, *f.quadratic, subtract);
    } else if (e.quadratic) {
        r.quadratic = e.quadratic;
    } else if (f.quadratic) {
        r.quadratic = f.quadratic;
        if (subtract) r.quadratic->values = negated(f.quadratic->values);
    }
    return r;
}

std::optional<Polynomial> add(const Polynomial &e, Number k, bool subtract) {
    std::optional<Number> c = number_add(e.constant, k, subtract);
    if (!c) return std::nullopt;
    Polynomial r = e;
    r.constant = *c;
    return r;
}

std::optional<Polynomial> scale(const Polynomial &e, Number k) {
    std::optional<Number> c = number_mul(k, e.constant);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant = *c;
    r.linear = with_values(e.linear, scaled(e.linear.values, k));
    if (e.quadratic) r.quadratic = with_values(*e.quadratic, scaled(e.quadratic->values, k));
    return r;
}

std::optional<Polynomial> multiply(const Polynomial &e, const Polynomial &f) {
    std::optional<Number> c = number_mul(f.constant, e.constant);
    if (!c) return std::nullopt;
    auto [a, b] = aligned(e.linear, f.linear);
    Polynomial r;
    r.constant = *c;
    // c(f) a + c(e) b
    r.linear = to_coo(combine(to_rows(with_values(a, scaled(a.values, f.constant))),
                              to_rows(with_values(b, scaled(b.values, e.constant))), false));
    // 0.5 (a bᵀ + b aᵀ): symmetric, with xᵀQx = (a·x)(b·x).
    Rows ab = product(to_rows(a), to_rows(transposed(b)));
    Rows ba = product(to_rows(b), to_rows(transposed(a)));
    Rows q = combine(ab, ba, false);
    q.values = scaled(q.values, Number::of_float(0.5));
    r.quadratic = to_coo(std::move(q));
    return r;
}

Compressed hessian(const Coo &q) {
    Compressed h;
    h.rows = q.rows;
    h.cols = q.cols;
    h.indptr.assign(static_cast<std::size_t>(q.cols) + 1, 0);
    if (q.nnz() == 0) {
        h.index = IndexType::kInt32;
        h.values = empty_values(q.values.type);
        return h;
    }
    h.index = q.index;
    std::vector<std::size_t> order(q.nnz());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return q.col[x] != q.col[y] ? q.col[x] < q.col[y] : q.row[x] < q.row[y];
    });
    h.indices.reserve(order.size());
    for (std::size_t k : order) {
        h.indices.push_back(q.row[k]);
        ++h.indptr[static_cast<std::size_t>(q.col[k]) + 1];
    }
    std::partial_sum(h.indptr.begin(), h.indptr.end(), h.indptr.begin());
    h.values = scaled(take(q.values, order), Number::of_int(2));
    return h;
}

}  // namespace zk::lp1
