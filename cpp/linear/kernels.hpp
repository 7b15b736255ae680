// The integer and real kernels of sparse rows and arrays in compressed form; Python-free.
// numpy's and the sparse library's integer arithmetic wraps around in the operands' type (int32
// for integer variables), or refuses a host integer past it; these kernels compute in 64 bits, say
// when a result leaves that range, and give the least and greatest result, from which the caller
// takes the narrowest type that holds every value: the type the library's own arithmetic would
// give, int64 next, and float64 (computed as real values add and multiply) only past int64. Real
// values are scanned for NaN and infinities in vectorised passes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "linear/values.hpp"

namespace zk::linear {

enum class Op { kAdd, kSub, kMul };

// a op b in the integer type T (64 or 128 bits); false when the result leaves it.
template <typename T>
bool apply(Op op, T a, T b, T &out) {
    switch (op) {
        case Op::kAdd:
            return !__builtin_add_overflow(a, b, &out);
        case Op::kSub:
            return !__builtin_sub_overflow(a, b, &out);
        case Op::kMul:
            return !__builtin_mul_overflow(a, b, &out);
    }
    return false;
}

// The least and greatest of a run of results.
struct Range {
    int64_t lo_ = 0, hi_ = 0;
    bool empty_ = true;

    void add(int64_t v) {
        if (empty_) {
            lo_ = hi_ = v;
            empty_ = false;
        } else {
            lo_ = std::min(lo_, v);
            hi_ = std::max(hi_, v);
        }
    }
    void add(const std::vector<int64_t> &values) {
        for (int64_t v : values) add(v);
    }
    bool within(int64_t lo, int64_t hi) const { return empty_ || (lo_ >= lo && hi_ <= hi); }
    bool within_int32() const {
        return within(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    }
};

inline bool fits_int64(__int128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

// out[i] = a[i] op k for i < n (k op a[i] when `swap`), k being any 128-bit value (a host
// integer past int64 may still give results that int64 holds: 2**63 - 1 is -1 + 2**63); false
// when a result leaves 64 bits (`out` is then incomplete).
inline bool with_scalar(const int64_t *a, size_t n, __int128 k, Op op, bool swap, int64_t *out,
                        Range &range) {
    for (size_t i = 0; i < n; ++i) {
        __int128 r = 0;
        if (!(swap ? apply(op, k, static_cast<__int128>(a[i]), r)
                   : apply(op, static_cast<__int128>(a[i]), k, r)) ||
            !fits_int64(r))
            return false;
        out[i] = static_cast<int64_t>(r);
        range.add(out[i]);
    }
    return true;
}

// out[i] = a[i] op b[i] for i < n, where b holds n values or one for every i (b op a[i] when
// `swap`); false when a result leaves 64 bits (`out` is then incomplete).
inline bool elementwise(const int64_t *a, size_t n, const int64_t *b, size_t b_len, Op op,
                        bool swap, int64_t *out, Range &range) {
    for (size_t i = 0; i < n; ++i) {
        const int64_t bi = b[b_len == 1 ? 0 : i];
        if (!(swap ? apply(op, bi, a[i], out[i]) : apply(op, a[i], bi, out[i]))) return false;
        range.add(out[i]);
    }
    return true;
}

// Σ a[i] · b[i] (b holding n values or one for every i) in 128 bits; false when a partial sum
// leaves them.
inline bool dot(const int64_t *a, size_t n, const int64_t *b, size_t b_len, __int128 &out) {
    __int128 sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const __int128 p = static_cast<__int128>(a[i]) * b[b_len == 1 ? 0 : i];
        if (__builtin_add_overflow(sum, p, &sum)) return false;
    }
    out = sum;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Compressed rows.

// The narrowest integer dtype from `least` on that holds every value of `range`.
inline Dtype integer_dtype_for(Dtype least, const Range &range) {
    return integer_dtype(least, range.within_int32());
}

// A matrix in compressed rows with its own arrays.
struct PlainCsr {
    std::vector<int32_t> starts_, cols_;
    std::vector<int64_t> ints_;  // the values of an integer width
    std::vector<double> reals_;  // the values of kFloat64
    Dtype width_ = Dtype::kInt32;
};

// A matrix in compressed rows over arrays held elsewhere; `ints_` or `reals_` by its width.
struct CsrView {
    const int32_t *starts_ = nullptr, *cols_ = nullptr;
    const int64_t *ints_ = nullptr;
    const double *reals_ = nullptr;
    Dtype width_ = Dtype::kInt32;

    template <typename T>
    T value(size_t k) const {
        if (width_ == Dtype::kFloat64) return static_cast<T>(reals_[k]);
        return static_cast<T>(ints_[k]);
    }
};

inline CsrView view(const PlainCsr &m) {
    return {m.starts_.data(), m.cols_.data(), m.ints_.data(), m.reals_.data(), m.width_};
}

// One line (a row, or a column of a compressed-column array) of a ± b, both canonical (columns
// ascending, none repeated), appended to `cols` and `values` by the sparse library's rule for
// such arrays: merged by column, an entry present on one side only combined with 0 (a - 0,
// 0 - b), and a result that `is_zero` not stored. `av(i)` and `bv(j)` read the operands' values
// as T; `combine(x, y, v)` sets v to x ± y, or returns false when the result leaves T (the merge
// then stops and returns false).
template <typename T, typename Col, typename A, typename B, typename Combine, typename IsZero>
bool merge_line(const Col *ac, size_t an, A av, const Col *bc, size_t bn, B bv, Combine combine,
                IsZero is_zero, std::vector<Col> &cols, std::vector<T> &values) {
    auto keep = [&](Col col, const T &x, const T &y) {
        T v;
        if (!combine(x, y, v)) return false;
        if (!is_zero(v)) {
            cols.push_back(col);
            values.push_back(std::move(v));
        }
        return true;
    };
    size_t i = 0, j = 0;
    bool ok = true;
    while (ok && i < an && j < bn) {
        if (ac[i] == bc[j]) {
            ok = keep(ac[i], av(i), bv(j));
            ++i;
            ++j;
        } else if (ac[i] < bc[j]) {
            ok = keep(ac[i], av(i), T(0));
            ++i;
        } else {
            ok = keep(bc[j], T(0), bv(j));
            ++j;
        }
    }
    for (; ok && i < an; ++i) ok = keep(ac[i], av(i), T(0));
    for (; ok && j < bn; ++j) ok = keep(bc[j], T(0), bv(j));
    return ok;
}

// x ± y as real values (double) or exactly in 64 bits (int64_t: false past them).
template <typename T>
auto sum_step(bool minus) {
    return [minus](T x, T y, T &v) {
        if constexpr (std::is_same_v<T, double>) {
            v = minus ? x - y : x + y;
            return true;
        } else {
            return apply(minus ? Op::kSub : Op::kAdd, x, y, v);
        }
    };
}

// Only the test for a stored zero uses it: NaN is not zero.
template <typename T>
bool is_zero_value(const T &v) {
    return v == 0;
}

// The rows of a ± b, both canonical with `rows` rows, each merged by merge_line.
template <typename T>
bool merge_rows(const CsrView &a, const CsrView &b, bool minus, int64_t rows, PlainCsr &out) {
    std::vector<T> &values = [&out]() -> std::vector<T> & {
        if constexpr (std::is_same_v<T, double>)
            return out.reals_;
        else
            return out.ints_;
    }();
    const auto ra = static_cast<size_t>(rows);
    out.starts_.assign(ra + 1, 0);
    const size_t reserve = static_cast<size_t>(a.starts_[ra]) + static_cast<size_t>(b.starts_[ra]);
    out.cols_.reserve(reserve);
    values.reserve(reserve);
    for (size_t r = 0; r < ra; ++r) {
        const auto i = static_cast<size_t>(a.starts_[r]), j = static_cast<size_t>(b.starts_[r]);
        const auto ie = static_cast<size_t>(a.starts_[r + 1]);
        const auto je = static_cast<size_t>(b.starts_[r + 1]);
        if (!merge_line<T>(
                a.cols_ + i, ie - i, [&a, i](size_t k) { return a.value<T>(i + k); }, b.cols_ + j,
                je - j, [&b, j](size_t k) { return b.value<T>(j + k); }, sum_step<T>(minus),
                is_zero_value<T>, out.cols_, values))
            return false;
        out.starts_[r + 1] = static_cast<int32_t>(out.cols_.size());
    }
    return true;
}

// a ± b with the width rule above: exact while integer, real once a value leaves 64 bits.
inline PlainCsr merged(const CsrView &a, const CsrView &b, bool minus, int64_t rows) {
    const Dtype natural = promoted(a.width_, b.width_);
    PlainCsr out;
    if (natural != Dtype::kFloat64) {
        if (merge_rows<int64_t>(a, b, minus, rows, out)) {
            Range range;
            range.add(out.ints_);
            out.width_ = integer_dtype_for(natural, range);
            return out;
        }
        out = PlainCsr();
    }
    merge_rows<double>(a, b, minus, rows, out);
    out.width_ = Dtype::kFloat64;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Sums by column.

// Per column, the sum over the stored entries of weight(row) · value (weight 1 without
// weights): exactly in 128 bits, and as float64 sums in stored order (as real values add), for
// a result past 64 bits. The columns ascend; `present` keeps every column that holds an entry
// (sums of 0 included), otherwise only the columns whose sum is not 0.
struct ColumnSums {
    std::vector<int32_t> cols_;
    std::vector<__int128> exact_;
    std::vector<double> reals_;
    bool exact_ok_ = true;  // false: a sum left 128 bits, only reals_ holds the sums
};

inline ColumnSums column_sums(const int32_t *starts, size_t rows, const int32_t *cols,
                              const int64_t *values, const int64_t *weights, int64_t width,
                              bool present) {
    ColumnSums out;
    const auto nnz = static_cast<size_t>(starts[rows]);
    const auto w = static_cast<size_t>(width);
    auto emit = [&out, present](int32_t c, __int128 e, double x, bool seen) {
        if (!seen || (!present && e == 0 && out.exact_ok_)) return;
        out.cols_.push_back(c);
        out.exact_.push_back(e);
        out.reals_.push_back(x);
    };
    auto term = [&](size_t r, size_t k, __int128 &e, double &x) {
        const int64_t weight = weights ? weights[r] : 1;
        const __int128 p = static_cast<__int128>(values[k]) * weight;
        if (__builtin_add_overflow(e, p, &e)) out.exact_ok_ = false;
        x += static_cast<double>(values[k]) * static_cast<double>(weight);
    };
    if (w <= 8 * nnz + 64) {
        // Dense sums: the columns are about as many as the entries.
        std::vector<__int128> e(w, 0);
        std::vector<double> x(w, 0.0);
        std::vector<char> seen(w, 0);
        for (size_t r = 0; r < rows; ++r)
            for (auto k = static_cast<size_t>(starts[r]); k < static_cast<size_t>(starts[r + 1]);
                 ++k) {
                const auto c = static_cast<size_t>(cols[k]);
                term(r, k, e[c], x[c]);
                seen[c] = 1;
            }
        for (size_t c = 0; c < w; ++c) emit(static_cast<int32_t>(c), e[c], x[c], seen[c] != 0);
    } else {
        // Few entries over many columns: the entries sorted by column, in stored order within.
        std::vector<std::pair<size_t, size_t>> order;  // (row, entry)
        order.reserve(nnz);
        for (size_t r = 0; r < rows; ++r)
            for (auto k = static_cast<size_t>(starts[r]); k < static_cast<size_t>(starts[r + 1]);
                 ++k)
                order.emplace_back(r, k);
        std::stable_sort(order.begin(), order.end(), [cols](const auto &p, const auto &q) {
            return cols[p.second] < cols[q.second];
        });
        for (size_t i = 0; i < order.size();) {
            const int32_t c = cols[order[i].second];
            __int128 e = 0;
            double x = 0.0;
            for (; i < order.size() && cols[order[i].second] == c; ++i)
                term(order[i].first, order[i].second, e, x);
            emit(c, e, x, true);
        }
    }
    if (!out.exact_ok_ && !present) {
        // Without exact sums, the real ones decide which columns stay.
        size_t kept = 0;
        for (size_t i = 0; i < out.cols_.size(); ++i)
            if (out.reals_[i] != 0) {
                out.cols_[kept] = out.cols_[i];
                out.reals_[kept] = out.reals_[i];
                ++kept;
            }
        out.cols_.resize(kept);
        out.reals_.resize(kept);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Real values.

// The first position of v[0 .. n) that holds NaN (or, unless `nan_only`, an infinity), or -1.
// While nothing is found the scan is one pass without branches, in forms the compiler vectorises
// with the baseline instructions: x - x is 0 for a finite x and NaN otherwise.
inline int64_t first_bad_real(const double *v, size_t n, bool nan_only) {
    bool found = false;
    if (nan_only) {
        int any = 0;
        for (size_t i = 0; i < n; ++i) any |= (v[i] != v[i]);
        found = any != 0;
    } else {
        uint64_t any = 0;
        for (size_t i = 0; i < n; ++i) {
            const double d = v[i] - v[i];
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            any |= bits;
        }
        found = any != 0;
    }
    if (!found) return -1;
    for (size_t i = 0; i < n; ++i)
        if (nan_only ? std::isnan(v[i]) : !std::isfinite(v[i])) return static_cast<int64_t>(i);
    return -1;
}

// The largest magnitude in v[0 .. n), NaN when one is NaN: for values that are no NaN the
// order of magnitudes is the order of their bits without the sign, and a NaN's are past an
// infinity's.
inline double max_abs(const double *v, size_t n) {
    uint64_t top = 0;
    for (size_t i = 0; i < n; ++i) {
        uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        bits &= 0x7fffffffffffffffULL;
        top = bits > top ? bits : top;
    }
    double m;
    std::memcpy(&m, &top, sizeof m);
    return m;
}

// The bits of x - x: 0 for a finite x, those of NaN otherwise.
inline uint64_t not_finite_bits(double x) {
    const double d = x - x;
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// out[i] = f(a[i], b[i]), or f(a[i], b[0]) for every i; the or of the results' not_finite_bits.
// One loop per operation, which the compiler vectorises.
template <typename F>
uint64_t reals_loop(const double *a, size_t n, const double *b, bool one, F f, double *out) {
    uint64_t any = 0;
    if (one) {
        const double k = b[0];
        for (size_t i = 0; i < n; ++i) {
            out[i] = f(a[i], k);
            any |= not_finite_bits(out[i]);
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            out[i] = f(a[i], b[i]);
            any |= not_finite_bits(out[i]);
        }
    }
    return any;
}

// The real results of one operation, out[i] = a[i] op b[i] (b holding n values or one for every
// i; b op a[i] when `swap`), and in the same pass whether all of them are finite.
inline bool reals_op(const double *a, size_t n, const double *b, size_t b_len, Op op, bool swap,
                     double *out) {
    const bool one = b_len == 1;
    uint64_t any = 0;
    switch (op) {
        case Op::kAdd:
            any = reals_loop(a, n, b, one, [](double x, double y) { return x + y; }, out);
            break;
        case Op::kSub:
            any = swap ? reals_loop(
                             a, n, b, one, [](double x, double y) { return y - x; }, out)
                       : reals_loop(a, n, b, one, [](double x, double y) { return x - y; }, out);
            break;
        case Op::kMul:
            any = reals_loop(a, n, b, one, [](double x, double y) { return x * y; }, out);
            break;
    }
    return any == 0;
}

// out[i] = a[i] · k for the values of an int64 array (`ints`, each through its float) or a
// float64 one (`reals`), as numpy's `data * k` gives them for a float k; whether all of the
// products are finite. `out` may be `reals`.
inline bool real_products(const int64_t *ints, const double *reals, size_t n, double k,
                          double *out) {
    if (ints) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(ints[i]);
        reals = out;
    }
    return reals_op(reals, n, &k, 1, Op::kMul, false, out);
}

// out[i] = -a[i], as numpy's `-data`: every sign flipped, NaN's included.
inline void negate_reals(const double *a, size_t n, double *out) {
    for (size_t i = 0; i < n; ++i) out[i] = -a[i];
}

// The stored values of a matrix in compressed rows, each times its row's weight; whether all of
// the products are finite.
inline bool reals_scaled_rows(const int32_t *starts, size_t rows, const double *values,
                              const double *weights, double *out) {
    uint64_t any = 0;
    for (size_t r = 0; r < rows; ++r) {
        const double w = weights[r];
        for (auto k = static_cast<size_t>(starts[r]); k < static_cast<size_t>(starts[r + 1]); ++k) {
            out[k] = values[k] * w;
            any |= not_finite_bits(out[k]);
        }
    }
    return any == 0;
}

}  // namespace zk::linear
