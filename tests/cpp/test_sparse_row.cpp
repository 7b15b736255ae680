// The arithmetic of single sparse rows (cpp/linear/sparse_row.hpp) and of sparse arrays in
// coordinate form (cpp/linear/sparse_array.hpp) against a small reference over random operands:
// dense per-entry values computed exactly in 128 bits, results equal to 0 dropped by sums and kept
// by products, the dtype numpy gives them (int32 / int64 / float64 for rows, the narrowest that
// holds them; int64 / float64 / exact object values for arrays), and std::nullopt exactly where
// the result is left to the host. Run as `test_sparse_row CASE SEED` or `test_sparse_row --list`.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "linear/sparse_array.hpp"
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
std::int64_t any_value(Rng &rng, Dtype w) {
    const std::int64_t lo = w == Dtype::kInt32 ? INT32_MIN : INT64_MIN;
    const std::int64_t hi = w == Dtype::kInt32 ? INT32_MAX : INT64_MAX;
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
    r.width_ = static_cast<Dtype>(pick(rng, 0, 2));
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
                                  const std::vector<double> &reals, bool ints, Dtype natural,
                                  IndexType index, bool keep_zeros) {
    SparseRow r;
    r.length_ = kLength;
    r.index_ = index;
    bool in64 = ints;
    for (std::int64_t c = 0; ints && c < kLength; ++c)
        if (present[c] && !fits(exact[c], INT64_MIN, INT64_MAX)) in64 = false;
    bool in32 = in64 && natural == Dtype::kInt32;
    for (std::int64_t c = 0; in32 && c < kLength; ++c)
        if (present[c] && !fits(exact[c], INT32_MIN, INT32_MAX)) in32 = false;
    r.width_ = in64 ? (in32 ? Dtype::kInt32 : Dtype::kInt64) : Dtype::kFloat64;
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
            expected(present, exact, reals, ints, promoted(a.width_, b.width_), index, false);
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
        const std::int64_t k = any_value(rng, pick(rng, 0, 1) ? Dtype::kInt32 : Dtype::kInt64);
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
        CHECK(r.width_ == (real ? Dtype::kFloat64 : Dtype::kInt32));
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
    CHECK(merged_rows(a, a, false)->width_ == Dtype::kInt64);
    a.width_ = Dtype::kInt64;
    a.ints_[0] = INT64_MAX;
    const auto past = merged_rows(a, a, false);
    CHECK(past->width_ == Dtype::kFloat64 && past->reals_[0] == 2.0 * 9223372036854775807.0);
    SparseRow f = unit_row(1, kLength, true, IndexType::kInt32);
    f.reals_[0] = std::numeric_limits<double>::max();
    CHECK(!merged_rows(f, f, false));
    CHECK(!scaled_row(f, 2.0));
    CHECK(!scaled_row(f, std::int64_t{2}));
}

// ---------------------------------------------------------------------------------------------
// Arrays in coordinate form.

constexpr std::int64_t kSide = 5;

std::string hex_of(__int128 v) {
    const bool negative = v < 0;
    auto m = negative ? ~static_cast<unsigned __int128>(v) + 1 : static_cast<unsigned __int128>(v);
    std::string digits;
    do {
        digits += "0123456789abcdef"[static_cast<unsigned>(m & 15)];
        m >>= 4;
    } while (m != 0);
    std::reverse(digits.begin(), digits.end());
    return (negative ? "-0x" : "0x") + digits;
}

ExactInt exact_of(__int128 v) { return *ExactInt::from_hex(hex_of(v)); }

// The value of an ExactInt below 2^127 in magnitude.
__int128 int128_of(const ExactInt &x) {
    const std::string text = x.hex();
    const bool negative = text[0] == '-';
    unsigned __int128 m = 0;
    for (std::size_t k = negative ? 3 : 2; k < text.size(); ++k) {
        const char c = text[k];
        m = m * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return negative ? -static_cast<__int128>(m) : static_cast<__int128>(m);
}

// Integers past int64 (up to 2^64 in magnitude), and some within it.
__int128 any_wide(Rng &rng) {
    const __int128 sign = pick(rng, 0, 1) ? 1 : -1;
    switch (pick(rng, 0, 3)) {
        case 0:
            return pick(rng, -5, 5);
        case 1:
            return any_value(rng, Dtype::kInt64);
        default:
            return sign * ((static_cast<__int128>(1) << 63) + pick(rng, 0, INT64_MAX));
    }
}

// One stored value as the reference reads it: an exact integer or a real.
struct Cell {
    bool real_ = false;
    __int128 i_ = 0;
    double f_ = 0.0;

    double as_real() const { return real_ ? f_ : static_cast<double>(i_); }
};

Cell cell_of(const Values &v, std::size_t k) {
    switch (v.type_) {
        case Dtype::kInt64:
            return {false, v.ints_[k], 0.0};
        case Dtype::kFloat64:
            return {true, 0, v.floats_[k]};
        default: {
            const Entry &e = v.objects_[k];
            return e.float_ ? Cell{true, 0, e.f_} : Cell{false, int128_of(e.x_), 0.0};
        }
    }
}

void push_value(Values &v, Dtype t, const Cell &c) {
    switch (t) {
        case Dtype::kInt64:
            v.ints_.push_back(static_cast<std::int64_t>(c.i_));
            break;
        case Dtype::kFloat64:
            v.floats_.push_back(c.as_real());
            break;
        default:
            v.objects_.push_back(c.real_ ? Entry::of_float(c.f_) : Entry(exact_of(c.i_)));
    }
}

// numpy's object arrays come back to int64 once every value is an int that fits, to float64
// once every one is a float.
Values settled(const std::vector<Cell> &cells) {
    bool ints = true, reals = true;
    for (const Cell &c : cells) {
        ints = ints && !c.real_ && fits(c.i_, INT64_MIN, INT64_MAX);
        reals = reals && c.real_;
    }
    Values v;
    v.type_ = ints ? Dtype::kInt64 : reals ? Dtype::kFloat64 : Dtype::kObject;
    for (const Cell &c : cells) push_value(v, v.type_, c);
    return v;
}

Values reals_of(const std::vector<Cell> &cells) {
    Values v;
    v.type_ = Dtype::kFloat64;
    for (const Cell &c : cells) push_value(v, v.type_, c);
    return v;
}

// Entries at distinct cells of a rows x cols array, in random stored order.
Coo any_array(Rng &rng, Dtype t, std::int64_t rows, std::int64_t cols) {
    Coo a;
    a.rows_ = rows;
    a.cols_ = cols;
    a.index_ = pick(rng, 0, 3) == 0 ? IndexType::kInt32 : IndexType::kInt64;
    a.values_.type_ = t;
    std::vector<std::pair<std::int64_t, std::int64_t>> at;
    for (std::int64_t r = 0; r < rows; ++r)
        for (std::int64_t c = 0; c < cols; ++c)
            if (pick(rng, 0, 1)) at.emplace_back(r, c);
    if (pick(rng, 0, 1)) std::shuffle(at.begin(), at.end(), rng);
    for (const auto &[r, c] : at) {
        a.row_.push_back(r);
        a.col_.push_back(c);
        if (t == Dtype::kInt64)
            push_value(a.values_, t, {false, any_value(rng, t), 0.0});
        else if (t == Dtype::kFloat64)
            push_value(a.values_, t, {true, 0, any_real(rng)});
        else
            push_value(a.values_, t, {false, any_wide(rng), 0.0});
    }
    return a;
}

Coo any_array(Rng &rng, Dtype t) {
    const std::int64_t rows = pick(rng, 0, kSide);
    return any_array(rng, t, rows, pick(rng, 0, 1) ? 1 : pick(rng, 1, kSide));
}

// Operand dtypes whose results the reference computes exactly: int64 with float64, int64 with
// object (exact integers).
std::pair<Dtype, Dtype> any_pair(Rng &rng) {
    const Dtype other = pick(rng, 0, 1) ? Dtype::kFloat64 : Dtype::kObject;
    return {pick(rng, 0, 2) ? Dtype::kInt64 : other, pick(rng, 0, 2) ? Dtype::kInt64 : other};
}

bool same_real(double a, double b) { return (std::isnan(a) && std::isnan(b)) || same_bits(a, b); }

bool same_values(const Values &a, const Values &b) {
    if (a.type_ != b.type_ || a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const Cell x = cell_of(a, k), y = cell_of(b, k);
        if (x.real_ != y.real_ || (x.real_ ? !same_real(x.f_, y.f_) : x.i_ != y.i_)) return false;
    }
    return true;
}

bool same_array(const std::optional<Coo> &a, const std::optional<Coo> &b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->rows_ == b->rows_ && a->cols_ == b->cols_ && a->index_ == b->index_ &&
                  a->row_ == b->row_ && a->col_ == b->col_ && same_values(a->values_, b->values_));
}

// a ± b by the reference: the cells of either, ascending, results equal to 0 dropped.
Coo expected_sum(const Coo &a, const Coo &b, bool minus) {
    std::map<std::pair<std::int64_t, std::int64_t>, std::pair<Cell, Cell>> cells;
    for (std::size_t k = 0; k < a.nnz(); ++k)
        cells[{a.row_[k], a.col_[k]}].first = cell_of(a.values_, k);
    for (std::size_t k = 0; k < b.nnz(); ++k)
        cells[{b.row_[k], b.col_[k]}].second = cell_of(b.values_, k);
    const bool real = promoted(a.values_.type_, b.values_.type_) == Dtype::kFloat64;
    Coo r;
    r.rows_ = std::max(a.rows_, b.rows_);
    r.cols_ = std::max(a.cols_, b.cols_);
    const bool wide = (a.nnz() && a.index_ == IndexType::kInt64) ||
                      (b.nnz() && b.index_ == IndexType::kInt64);
    r.index_ = wide ? IndexType::kInt64 : IndexType::kInt32;
    std::vector<Cell> kept;
    for (const auto &[at, xy] : cells) {
        const auto &[x, y] = xy;
        Cell v;
        if (real) {
            v = {true, 0, minus ? x.as_real() - y.as_real() : x.as_real() + y.as_real()};
            if (v.f_ == 0) continue;
        } else {
            v = {false, minus ? x.i_ - y.i_ : x.i_ + y.i_, 0.0};
            if (v.i_ == 0) continue;
        }
        r.row_.push_back(at.first);
        r.col_.push_back(at.second);
        kept.push_back(v);
    }
    r.values_ = real ? reals_of(kept) : settled(kept);
    return r;
}

// numpy warns (and the result is left to it) when a float product overflows or turns into NaN
// from numbers.
bool product_warns(double x, double k, double r) {
    return (std::isinf(r) && std::isfinite(x) && std::isfinite(k)) ||
           (std::isnan(r) && !std::isnan(x) && !std::isnan(k));
}

// v · k by the reference: an integer product exactly (the values object or int64, k an int),
// reals otherwise. `beyond` is set where an exact product passes the reference's 128 bits: the
// reference cannot judge such a round.
std::optional<Values> expected_product(const Values &v, const Cell &k, bool &beyond) {
    std::vector<Cell> out;
    const bool integer = v.type_ == Dtype::kObject || (v.type_ == Dtype::kInt64 && !k.real_);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const Cell x = cell_of(v, i);
        if (integer && !x.real_ && !k.real_) {
            __int128 p = 0;
            if (__builtin_mul_overflow(x.i_, k.i_, &p)) {
                beyond = true;
                return std::nullopt;
            }
            out.push_back({false, p, 0.0});
            continue;
        }
        const double r = x.as_real() * k.as_real();
        if (product_warns(x.as_real(), k.as_real(), r)) return std::nullopt;
        out.push_back({true, 0, r});
    }
    return integer ? settled(out) : reals_of(out);
}

Number number_of(const Cell &k) {
    return k.real_ ? Number::of_float(k.f_) : Number::of_exact(exact_of(k.i_));
}

void array_sums(Rng &rng) {
    for (int round = 0; round < kRounds; ++round) {
        const auto [ta, tb] = any_pair(rng);
        const Coo a = any_array(rng, ta), b = any_array(rng, tb);
        const bool minus = pick(rng, 0, 1) == 1;
        CHECK_TEXT(same_array(array_sum(a, b, minus), expected_sum(a, b, minus)),
                   "round " + std::to_string(round));
    }
}

void array_products(Rng &rng) {
    for (int round = 0; round < kRounds; ++round) {
        const Dtype t = static_cast<Dtype>(pick(rng, 1, 3));
        Coo a = any_array(rng, t);
        if (t == Dtype::kFloat64 && a.nnz() && pick(rng, 0, 3) == 0)  // infinities and NaN too
            a.values_.floats_[0] = pick(rng, 0, 1) ? -INFINITY : std::nan("");
        Cell k;
        switch (pick(rng, 0, 3)) {
            case 0:
                k = {false, any_value(rng, Dtype::kInt64), 0.0};
                break;
            case 1:
                k = {false, any_wide(rng), 0.0};
                break;
            default:
                k = {true, 0, pick(rng, 0, 5) ? any_real(rng) : 0.0};
        }
        // Products keep the structure, explicit zeros and all.
        const std::string text = "round " + std::to_string(round);
        const std::optional<Values> got = scaled_values(a.values_, number_of(k));
        bool beyond = false;
        const std::optional<Values> want = expected_product(a.values_, k, beyond);
        if (!beyond) {
            CHECK_TEXT(got.has_value() == want.has_value(), text);
            if (got && want) CHECK_TEXT(same_values(*got, *want), text);
        }
        std::vector<Cell> negated;
        for (std::size_t i = 0; i < a.nnz(); ++i) {
            const Cell x = cell_of(a.values_, i);
            negated.push_back(x.real_ ? Cell{true, 0, -x.f_} : Cell{false, -x.i_, 0.0});
        }
        const Values minus = t == Dtype::kFloat64 ? reals_of(negated) : settled(negated);
        CHECK_TEXT(same_values(negated_values(a.values_), minus), "negation, " + text);
    }
}

// Items whose cells come after all earlier ones (a run), columns (one row each), or anywhere.
Coo any_item(Rng &rng, Dtype t, int kind, std::int64_t &next_row) {
    switch (kind) {
        case 0: {
            Coo a = any_array(rng, t, 3, 2);
            for (std::int64_t &r : a.row_) r += next_row;
            a.rows_ += next_row;
            next_row += 3;
            return a;
        }
        case 1:
            return any_array(rng, t, pick(rng, 0, 40), 1);
        default:
            return any_array(rng, t, pick(rng, 0, 8), pick(rng, 1, 4));
    }
}

void array_sums_in_one_pass(Rng &rng) {
    for (int round = 0; round < kRounds / 4; ++round) {
        const auto [ta, tb] = any_pair(rng);
        const int kind = static_cast<int>(pick(rng, 0, 3));
        std::int64_t next_row = 0;
        std::vector<Coo> items;
        for (std::int64_t n = pick(rng, 1, 8); n > 0; --n)
            items.push_back(any_item(rng, pick(rng, 0, 1) ? ta : tb,
                                     kind == 3 ? static_cast<int>(pick(rng, 0, 2)) : kind,
                                     next_row));
        const std::string text = "round " + std::to_string(round);
        ArraySum sum;
        CHECK(!sum.present());
        sum.start(items[0]);
        CHECK(sum.present());
        std::optional<Coo> fold = items[0];
        for (std::size_t i = 1; i < items.size(); ++i) {
            fold = array_sum(*fold, items[i], false);
            CHECK_TEXT(fold.has_value(), text);
            CHECK_TEXT(sum.add(items[i]), text);
        }
        CHECK_TEXT(same_array(sum.finish(), fold), text);
    }
}

void dtypes(Rng &) {
    // numpy's promotion, in one order.
    const Dtype order[] = {Dtype::kInt32, Dtype::kInt64, Dtype::kFloat64, Dtype::kObject};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            CHECK(promoted(order[i], order[j]) == order[std::max(i, j)]);
            CHECK(promoted(order[j], order[i]) == order[std::max(i, j)]);
        }
    CHECK(integer_dtype(Dtype::kInt32, true) == Dtype::kInt32);
    CHECK(integer_dtype(Dtype::kInt32, false) == Dtype::kInt64);
    CHECK(integer_dtype(Dtype::kInt64, true) == Dtype::kInt64);
    // Rows: int32 -> int64 -> float64, each only where a value needs it.
    SparseRow r32 = unit_row(1, kLength, false, IndexType::kInt32);
    r32.ints_[0] = INT32_MAX;
    CHECK(scaled_row(r32, std::int64_t{1})->width_ == Dtype::kInt32);
    CHECK(scaled_row(r32, std::int64_t{2})->width_ == Dtype::kInt64);
    CHECK(scaled_row(r32, INT64_MAX)->width_ == Dtype::kFloat64);
    SparseRow r64 = r32;
    r64.width_ = Dtype::kInt64;
    r64.ints_[0] = 7;
    CHECK(merged_rows(r32, r64, true)->width_ == Dtype::kInt64);
    CHECK(merged_rows(r32, unit_row(1, kLength, true, IndexType::kInt32), false)->width_ ==
          Dtype::kFloat64);
    // Arrays: int64 past its range holds exact values, and comes back once every one fits.
    Coo a;
    a.rows_ = 2;
    a.row_ = {0, 1};
    a.col_ = {0, 0};
    a.values_.ints_ = {INT64_MAX, 3};
    const Coo twice = *array_sum(a, a, false);
    CHECK(twice.values_.type_ == Dtype::kObject);
    CHECK(twice.values_.objects_[0].x_ == exact_of(static_cast<__int128>(INT64_MAX) * 2));
    CHECK(twice.values_.objects_[1].x_ == ExactInt(6));
    const Coo back = *array_sum(twice, a, true);
    CHECK(back.values_.type_ == Dtype::kInt64 && back.values_.ints_ == a.values_.ints_);
    const Values past = *scaled_values(a.values_, Number::of_int(-2));
    CHECK(past.type_ == Dtype::kObject);
    CHECK(scaled_values(past, Number::of_int(0))->type_ == Dtype::kInt64);
    CHECK(scaled_values(past, Number::of_float(0.5))->type_ == Dtype::kFloat64);
    a.values_.ints_ = {INT64_MIN, 3};
    const Values negated = negated_values(a.values_);
    CHECK(negated.type_ == Dtype::kObject && negated.objects_[1].x_ == ExactInt(-3));
    CHECK(negated_values(negated).type_ == Dtype::kInt64);
}

void zeros(Rng &) {
    // Products keep explicit zeros; a sum drops them, as the cells that cancel.
    Coo a;
    a.rows_ = 3;
    a.row_ = {2, 0};
    a.col_ = {0, 0};
    a.values_.ints_ = {5, 0};
    const Values zero = *scaled_values(a.values_, Number::of_int(0));
    CHECK(zero.ints_ == std::vector<std::int64_t>({0, 0}));
    CHECK(scaled_values(a.values_, Number::of_float(-0.0))->floats_.size() == 2);
    const Coo doubled = *array_sum(a, a, false);
    CHECK(doubled.row_ == std::vector<std::int64_t>{2} && doubled.values_.ints_[0] == 10);
    CHECK(array_sum(a, a, true)->nnz() == 0);
    // The one-pass sum keeps its first array as it is, and drops zeros from the first step on.
    ArraySum one;
    one.start(a);
    const Coo first = one.finish();
    CHECK(first.row_ == a.row_ && first.values_.ints_ == a.values_.ints_);
    ArraySum two;
    two.start(a);
    CHECK(two.add(with_values(a, zero)));
    CHECK(same_array(two.finish(), array_sum(a, with_values(a, zero), false)));
}

void left_to_the_host(Rng &) {
    const ExactInt huge = *ExactInt::from_hex("0x1" + std::string(275, '0'));  // 2^1100
    Values floats;
    floats.type_ = Dtype::kFloat64;
    floats.floats_ = {1.5};
    Values objects;
    objects.type_ = Dtype::kObject;
    objects.objects_ = {Entry(huge)};
    // An int past the float range meeting a float: the host raises.
    CHECK(!scaled_values(floats, Number::of_exact(huge)));
    CHECK(!scaled_values(objects, Number::of_float(2.0)));
    // Exact, it stays.
    CHECK(scaled_values(objects, Number::of_int(3))->objects_[0].x_ == huge * ExactInt(3));
    // Float products that overflow or turn into NaN from numbers: numpy warns.
    floats.floats_ = {std::numeric_limits<double>::max()};
    CHECK(!scaled_values(floats, Number::of_float(2.0)));
    CHECK(!scaled_values(floats, Number::of_int(2)));
    floats.floats_ = {INFINITY};
    CHECK(!scaled_values(floats, Number::of_float(0.0)));
    CHECK(std::isinf(scaled_values(floats, Number::of_float(2.0))->floats_[0]));
    floats.floats_ = {std::nan("")};
    CHECK(std::isnan(scaled_values(floats, Number::of_float(2.0))->floats_[0]));
    // In a sum only where the two meet in one cell.
    Coo a, b;
    a.rows_ = b.rows_ = 2;
    a.row_ = {0};
    a.col_ = {0};
    a.values_ = objects;
    b.row_ = {1};
    b.col_ = {0};
    b.values_.type_ = Dtype::kFloat64;
    b.values_.floats_ = {1.5};
    const std::optional<Coo> apart = array_sum(a, b, false);
    CHECK(apart && apart->values_.type_ == Dtype::kObject && apart->nnz() == 2);
    b.row_ = {0};
    CHECK(!array_sum(a, b, false));
    CHECK(!array_sum(b, a, true));
    ArraySum sum;
    sum.start(a);
    CHECK(!sum.add(b));
    // Rows: a real result past the float range.
    SparseRow f = unit_row(0, kLength, true, IndexType::kInt32);
    f.reals_[0] = -std::numeric_limits<double>::max();
    CHECK(!merged_rows(f, f, false));
    CHECK(merged_rows(f, f, true)->nnz() == 0);
    CHECK(!scaled_row(f, -2.0));
}

const std::map<std::string, std::function<void(Rng &)>> kCases = {
    {"array_products", array_products},
    {"array_sums", array_sums},
    {"array_sums_in_one_pass", array_sums_in_one_pass},
    {"dtypes", dtypes},
    {"left_to_the_host", left_to_the_host},
    {"merges", merges},
    {"products", products},
    {"units", units},
    {"zeros", zeros},
};

}  // namespace

int main(int argc, char **argv) { return run_seeded_cases(argc, argv, kCases); }
