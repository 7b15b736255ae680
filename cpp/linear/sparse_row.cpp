// The arithmetic of single sparse rows (see sparse_row.hpp). Sums follow the sparse library's
// merge of two canonical compressed arrays; products with a number and negation follow numpy's
// `data * k` and `-data`, the structure staying as it is.
#include "linear/sparse_row.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace zk::linear {

namespace {

bool all_finite(const std::vector<double> &v) {
    return first_bad_real(v.data(), v.size(), false) < 0;
}

SparseRow same_structure(const SparseRow &a) {
    SparseRow r;
    r.length_ = a.length_;
    r.index_ = a.index_;
    r.cols_ = a.cols_;
    return r;
}

// Exact integer values as the narrowest of `natural` and int64 that holds them.
void settle_ints(SparseRow &r, Dtype natural) {
    Range range;
    range.add(r.ints_);
    r.width_ = integer_dtype_for(natural, range);
}

// The values of `a` as float64 times `k`: the result numpy gives an integer array past 64 bits
// (through float64) and every real one.
std::optional<SparseRow> real_product(const SparseRow &a, double k) {
    SparseRow r = same_structure(a);
    r.width_ = Dtype::kFloat64;
    r.reals_.resize(a.nnz());
    if (!real_products(a.real() ? nullptr : a.ints_.data(), a.real() ? a.reals_.data() : nullptr,
                       a.nnz(), k, r.reals_.data()))
        return std::nullopt;
    return r;
}

}  // namespace

std::optional<SparseRow> merged_rows(const SparseRow &a, const SparseRow &b, bool minus) {
    if (a.length_ != b.length_) return std::nullopt;
    SparseRow r;
    r.length_ = a.length_;
    r.index_ = combined_index(a.index_, b.index_, a.nnz() + b.nnz());
    const std::size_t most = a.nnz() + b.nnz();
    r.cols_.reserve(most);
    if (!a.real() && !b.real()) {
        r.ints_.reserve(most);
        const bool exact = merge_line<std::int64_t>(
            a.cols_.data(), a.nnz(), [&a](std::size_t i) { return a.ints_[i]; }, b.cols_.data(),
            b.nnz(), [&b](std::size_t j) { return b.ints_[j]; }, sum_step<std::int64_t>(minus),
            is_zero_value<std::int64_t>, r.cols_, r.ints_);
        if (exact) {
            settle_ints(r, promoted(a.width_, b.width_));
            return r;
        }
        r.cols_.clear();
        r.ints_.clear();
    }
    auto value = [](const SparseRow &x) {
        return [&x](std::size_t i) {
            return x.real() ? x.reals_[i] : static_cast<double>(x.ints_[i]);
        };
    };
    r.width_ = Dtype::kFloat64;
    r.reals_.reserve(most);
    merge_line<double>(a.cols_.data(), a.nnz(), value(a), b.cols_.data(), b.nnz(), value(b),
                       sum_step<double>(minus), is_zero_value<double>, r.cols_, r.reals_);
    if (!all_finite(r.reals_)) return std::nullopt;
    return r;
}

std::optional<SparseRow> scaled_row(const SparseRow &a, std::int64_t k) {
    if (a.real()) return real_product(a, static_cast<double>(k));
    SparseRow r = same_structure(a);
    r.ints_.resize(a.nnz());
    Range range;
    if (with_scalar(a.ints_.data(), a.nnz(), k, Op::kMul, false, r.ints_.data(), range)) {
        r.width_ = integer_dtype_for(a.width_, range);
        return r;
    }
    return real_product(a, static_cast<double>(k));
}

std::optional<SparseRow> scaled_row(const SparseRow &a, double k) { return real_product(a, k); }

SparseRow negated_row(const SparseRow &a) {
    if (a.real()) {
        SparseRow r = same_structure(a);
        r.width_ = Dtype::kFloat64;
        r.reals_.resize(a.nnz());
        negate_reals(a.reals_.data(), a.nnz(), r.reals_.data());
        return r;
    }
    // -(-2**63) is past int64: numpy's way through float64 then, which always stays finite.
    std::optional<SparseRow> r = scaled_row(a, std::int64_t{-1});
    return std::move(*r);
}

}  // namespace zk::linear
