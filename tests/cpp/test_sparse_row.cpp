// The arithmetic of single sparse rows (cpp/linear/sparse_row.hpp) against a small reference
// over random rows: dense per-column values computed exactly in 128 bits, results equal to 0
// dropped by sums and kept by products, the narrowest dtype of int32 / int64 / float64 that holds
// them, and std::nullopt exactly where a real result leaves the float range. Run as
// `test_sparse_row CASE SEED` or `test_sparse_row --list`.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "linear/sparse_row.hpp"
#include "check.hpp"

using namespace zk::linear;

namespace {

constexpr int kRounds = 3000;
constexpr std::int64_t kLength = 12;


std::int64_t pick(Rng &rng, std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
}

// Values often at the edges of int32 and int64, and zeros.
std::int64_t any_value(Rng &rng, Width w) {
    const std::int64_t lo = w == Width::kInt32 ? INT32_MIN : INT64_MIN;
    const std::int64_t hi = w == Width::kInt32 ? INT32_MAX : INT64_MAX;
    switch (pick(rng, 0, 4)) {
        case 0:
            return 0;
        case 1:
            return pick(rng, -5, 5);
        case 2:
            return pick(rng, 0, 1) ? lo + pick(rng, 0, 2) : hi - pick(rng, 0, 2);
        default:
            return pick(rng, lo, hi);
    }
}

double any_real(Rng &rng) {
    switch (pick(rng, 0, 4)) {
        case 0:
            return 0.0;
        case 1:
            return static_cast<double>(pick(rng, -4, 4)) * 0.5;
        case 2:
            return (pick(rng, 0, 1) ? 1 : -1) * std::numeric_limits<double>::max() / 1.5;
        default:
            return std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    }
}

SparseRow any_row(Rng &rng) {
    SparseRow r;
    r.length_ = kLength;
    r.index_ = pick(rng, 0, 3) == 0 ? IndexType::kInt32 : IndexType::kInt64;
    r.width_ = static_cast<Width>(pick(rng, 0, 2));
    for (std::int32_t c = 0; c < kLength; ++c) {
        if (pick(rng, 0, 2) != 0) continue;
        r.cols_.push_back(c);
        if (r.real())
            r.reals_.push_back(any_real(rng));
        else
            r.ints_.push_back(any_value(rng, r.width_));
    }
    return r;
}

// The dense values of a row: exact integers, or reals.
struct Dense {
    std::vector<bool> present_ = std::vector<bool>(kLength, false);
    std::vector<__int128> ints_ = std::vector<__int128>(kLength, 0);
    std::vector<double> reals_ = std::vector<double>(kLength, 0.0);
};

Dense dense(const SparseRow &r) {
    Dense d;
    for (std::size_t k = 0; k < r.nnz(); ++k) {
        const auto c = static_cast<std::size_t>(r.cols_[k]);
        d.present_[c] = true;
        d.ints_[c] = r.real() ? 0 : r.ints_[k];
        d.reals_[c] = r.real() ? r.reals_[k] : static_cast<double>(r.ints_[k]);
    }
    return d;
}

bool fits(__int128 v, std::int64_t lo, std::int64_t hi) { return v >= lo && v <= hi; }

// The expected row from per-column results: exact integers when `ints` (settled into the
// narrowest of `natural` and int64, or the real results past int64), reals otherwise.
std::optional<SparseRow> expected(const std::vector<bool> &present,
                                  const std::vector<__int128> &exact,
                                  const std::vector<double> &reals, bool ints, Width natural,
                                  IndexType index, bool keep_zeros) {
    SparseRow r;
    r.length_ = kLength;
    r.index_ = index;
    bool in64 = ints;
    for (std::int64_t c = 0; ints && c < kLength; ++c)
        if (present[c] && !fits(exact[c], INT64_MIN, INT64_MAX)) in64 = false;
    bool in32 = in64 && natural == Width::kInt32;
    for (std::int64_t c = 0; in32 && c < kLength; ++c)
        if (present[c] && !fits(exact[c], INT32_MIN, INT32_MAX)) in32 = false;
    r.width_ = in64 ? (in32 ? Width::kInt32 : Width::kInt64) : Width::kFloat64;
    for (std::int32_t c = 0; c < kLength; ++c) {
        if (!present[c]) continue;
        if (in64) {
            if (exact[c] == 0 && !keep_zeros) continue;
            r.cols_.push_back(c);
            r.ints_.push_back(static_cast<std::int64_t>(exact[c]));
        } else {
            if (reals[c] == 0 && !keep_zeros) continue;
            if (!std::isfinite(reals[c])) return std::nullopt;
            r.cols_.push_back(c);
            r.reals_.push_back(reals[c]);
        }
    }
    return r;
}

bool same_bits(double a, double b) { return std::signbit(a) == std::signbit(b) && a == b; }

bool same(const std::optional<SparseRow> &a, const std::optional<SparseRow> &b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->length_ != b->length_ || a->index_ != b->index_ || a->width_ != b->width_ ||
        a->cols_ != b->cols_)
        return false;
    if (a->real()) {
        if (a->reals_.size() != b->reals_.size()) return false;
        for (std::size_t i = 0; i < a->reals_.size(); ++i)
            if (!same_bits(a->reals_[i], b->reals_[i])) return false;
        return true;
    }
    return a->ints_ == b->ints_;
}

void merges(Rng &rng) {
    for (int round = 0; round < kRounds; ++round) {
        const SparseRow a = any_row(rng), b = any_row(rng);
        const bool minus = pick(rng, 0, 1) == 1;
        const Dense x = dense(a), y = dense(b);
        std::vector<bool> present(kLength);
        std::vector<__int128> exact(kLength);
        std::vector<double> reals(kLength);
        for (std::int64_t c = 0; c < kLength; ++c) {
            present[c] = x.present_[c] || y.present_[c];
            exact[c] = minus ? x.ints_[c] - y.ints_[c] : x.ints_[c] + y.ints_[c];
            reals[c] = minus ? x.reals_[c] - y.reals_[c] : x.reals_[c] + y.reals_[c];
        }
        const bool ints = !a.real() && !b.real();
        const IndexType index = a.index_ == IndexType::kInt64 || b.index_ == IndexType::kInt64
                                    ? IndexType::kInt64
                                    : IndexType::kInt32;
        const auto want =
            expected(present, exact, reals, ints, wider(a.width_, b.width_), index, false);
        CHECK_TEXT(same(merged_rows(a, b, minus), want), "round " + std::to_string(round));
    }
    // Rows of different lengths are the host's to refuse.
    SparseRow a = unit_row(0, 3, true, IndexType::kInt64), b = unit_row(0, 4, true, a.index_);
    CHECK(!merged_rows(a, b, false));
}

void products(Rng &rng) {
    for (int round = 0; round < kRounds; ++round) {
        const SparseRow a = any_row(rng);
        const Dense x = dense(a);
        const bool by_int = pick(rng, 0, 1) == 1;
        const std::int64_t k = any_value(rng, pick(rng, 0, 1) ? Width::kInt32 : Width::kInt64);
        const double kr = any_real(rng);
        std::vector<__int128> exact(kLength);
        std::vector<double> reals(kLength);
        for (std::int64_t c = 0; c < kLength; ++c) {
            // k · x in 128 bits: |k|, |x| < 2^63, so the product stays below 2^126.
            exact[c] = x.ints_[c] * static_cast<__int128>(k);
            reals[c] = by_int ? x.reals_[c] * static_cast<double>(k) : x.reals_[c] * kr;
        }
        const bool ints = by_int && !a.real();
        const auto want = expected(x.present_, exact, reals, ints, a.width_, a.index_, true);
        const auto got = by_int ? scaled_row(a, k) : scaled_row(a, kr);
        CHECK_TEXT(same(got, want), "round " + std::to_string(round));
        std::vector<__int128> minus(kLength);
        std::vector<double> minus_reals(kLength);
        for (std::int64_t c = 0; c < kLength; ++c) {
            minus[c] = -x.ints_[c];
            minus_reals[c] = a.real() ? -x.reals_[c] : x.reals_[c] * -1.0;
        }
        const auto want_negated =
            expected(x.present_, minus, minus_reals, !a.real(), a.width_, a.index_, true);
        CHECK_TEXT(same(negated_row(a), want_negated), "negation, round " + std::to_string(round));
    }
}

void units(Rng &rng) {
    for (int round = 0; round < 100; ++round) {
        const auto col = static_cast<std::int32_t>(pick(rng, 0, kLength - 1));
        const bool real = pick(rng, 0, 1) == 1;
        const SparseRow r = unit_row(col, kLength, real, IndexType::kInt32);
        CHECK(r.cols_ == std::vector<std::int32_t>{col});
        CHECK(r.width_ == (real ? Width::kFloat64 : Width::kInt32));
        CHECK(real ? r.reals_ == std::vector<double>{1.0} : r.ints_ == std::vector<int64_t>{1});
        // x - x keeps nothing; 0 · x keeps its explicit zero, which a later sum drops.
        CHECK(merged_rows(r, r, true)->nnz() == 0);
        const SparseRow zero = *scaled_row(r, std::int64_t{0});
        CHECK(zero.nnz() == 1);
        CHECK(merged_rows(zero, zero, false)->nnz() == 0);
    }
    // int32 sums that leave int32 become int64; int64 sums past it float64.
    SparseRow a = unit_row(1, kLength, false, IndexType::kInt32);
    a.ints_[0] = INT32_MAX;
    CHECK(merged_rows(a, a, false)->width_ == Width::kInt64);
    a.width_ = Width::kInt64;
    a.ints_[0] = INT64_MAX;
    const auto past = merged_rows(a, a, false);
    CHECK(past->width_ == Width::kFloat64 && past->reals_[0] == 2.0 * 9223372036854775807.0);
    SparseRow f = unit_row(1, kLength, true, IndexType::kInt32);
    f.reals_[0] = std::numeric_limits<double>::max();
    CHECK(!merged_rows(f, f, false));
    CHECK(!scaled_row(f, 2.0));
    CHECK(!scaled_row(f, std::int64_t{2}));
}

const std::map<std::string, std::function<void(Rng &)>> kCases = {
    {"merges", merges},
    {"products", products},
    {"units", units},
};

}  // namespace

int main(int argc, char **argv) { return run_seeded_cases(argc, argv, kCases); }
