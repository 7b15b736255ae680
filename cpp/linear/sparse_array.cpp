// The arithmetic of sparse arrays in coordinate form (see sparse_array.hpp). The steps mirror
// scipy's: a COO array is added through compressed rows (sorted, duplicates summed, explicit zeros
// kept), two compressed arrays are combined by the sparse library's merge (sorted operands) or its
// accumulator (unsorted operands), which keep only nonzero results, and a product of compressed
// arrays keeps the accumulator's order. Products with a number and negation run on the kernels
// the single rows of sparse_row.cpp use.
#include "linear/sparse_array.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "linear/kernels.hpp"

namespace zk::linear {

namespace {

// An int64 step whose exact result leaves 64 bits: numpy's loops would wrap it; the step is done
// again on object values instead.
struct IntOverflow {};

// An int beyond the float range meeting a float: the host raises OverflowError, so the step is
// left to it.
struct FloatOverflow {};

double plus(double a, double b) { return a + b; }
double minus(double a, double b) { return a - b; }
double times(double a, double b) { return a * b; }
std::int64_t plus(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) throw IntOverflow{};
    return r;
}
std::int64_t minus(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r)) throw IntOverflow{};
    return r;
}
std::int64_t times(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw IntOverflow{};
    return r;
}

// Object values combine as the host's numbers do: ints exactly, an int and a float as the int's
// float and the float.
double float_of(const Entry &e) {
    const double d = e.to_double();
    if (!e.float_ && !std::isfinite(d)) throw FloatOverflow{};
    return d;
}
template <typename F, typename G>
Entry combine_entries(const Entry &a, const Entry &b, F exact, G floating) {
    if (!a.float_ && !b.float_) return Entry(exact(a.x_, b.x_));
    return Entry::of_float(floating(float_of(a), float_of(b)));
}
Entry plus(const Entry &a, const Entry &b) {
    return combine_entries(
        a, b, [](const ExactInt &x, const ExactInt &y) { return x + y; },
        [](double x, double y) { return x + y; });
}
Entry minus(const Entry &a, const Entry &b) {
    return combine_entries(
        a, b, [](const ExactInt &x, const ExactInt &y) { return x - y; },
        [](double x, double y) { return x - y; });
}
Entry times(const Entry &a, const Entry &b) {
    return combine_entries(
        a, b, [](const ExactInt &x, const ExactInt &y) { return x * y; },
        [](double x, double y) { return x * y; });
}
Entry negated_entry(const Entry &a) { return a.float_ ? Entry::of_float(-a.f_) : Entry(-a.x_); }
// Only the test for a stored zero uses it: NaN is not zero.
bool operator!=(const Entry &a, const Entry &b) {
    if (!a.float_ && !b.float_) return a.x_ != b.x_;
    return float_of(a) != float_of(b);
}

template <typename T>
T value_at(const Values &v, std::size_t k) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        return v.ints_[k];
    } else if constexpr (std::is_same_v<T, Entry>) {
        switch (v.type_) {
            case Dtype::kInt64:
                return Entry(v.ints_[k]);
            case Dtype::kObject:
                return v.objects_[k];
            default:
                return Entry::of_float(v.floats_[k]);
        }
    } else {
        switch (v.type_) {
            case Dtype::kInt64:
                return static_cast<double>(v.ints_[k]);
            case Dtype::kObject:
                return float_of(v.objects_[k]);
            default:
                return v.floats_[k];
        }
    }
}

template <typename T>
void push(Values &v, T x) {
    if constexpr (std::is_same_v<T, std::int64_t>)
        v.ints_.push_back(x);
    else if constexpr (std::is_same_v<T, Entry>)
        v.objects_.push_back(std::move(x));
    else
        v.floats_.push_back(x);
}

Values empty_values(Dtype t) {
    Values v;
    v.type_ = t;
    return v;
}

Values take(const Values &v, const std::vector<std::size_t> &order) {
    Values out = empty_values(v.type_);
    switch (v.type_) {
        case Dtype::kInt64:
            out.ints_.reserve(order.size());
            for (std::size_t k : order) out.ints_.push_back(v.ints_[k]);
            break;
        case Dtype::kObject:
            out.objects_.reserve(order.size());
            for (std::size_t k : order) out.objects_.push_back(v.objects_[k]);
            break;
        default:
            out.floats_.reserve(order.size());
            for (std::size_t k : order) out.floats_.push_back(v.floats_[k]);
    }
    return out;
}

// Object values go back to int64 once every one is an int that fits, or to float64 once every
// one is a float: those dtypes compute exactly what the host's numbers would.
void settle(Values &v) {
    if (v.type_ != Dtype::kObject) return;
    bool ints = true, floats = true;
    for (const Entry &e : v.objects_) {
        std::int64_t small = 0;
        if (e.float_ || !e.x_.fits_int64(small)) ints = false;
        if (!e.float_) floats = false;
        if (!ints && !floats) return;
    }
    if (ints) {
        v.ints_.reserve(v.objects_.size());
        for (const Entry &e : v.objects_) {
            std::int64_t small = 0;
            e.x_.fits_int64(small);
            v.ints_.push_back(small);
        }
        v.type_ = Dtype::kInt64;
    } else {
        v.floats_.reserve(v.objects_.size());
        for (const Entry &e : v.objects_) v.floats_.push_back(e.f_);
        v.type_ = Dtype::kFloat64;
    }
    v.objects_.clear();
}

// ---------------------------------------------------------------------------------------------
// Stored values, as numpy computes `data * k` and `-data`.

// numpy warns when a float product overflows or turns into NaN from numbers (inf times 0); such
// a product is left to numpy (std::nullopt), so that the program sees its warning.
bool warns(double x, double k, double r) {
    return (std::isinf(r) && std::isfinite(x) && std::isfinite(k)) ||
           (std::isnan(r) && !std::isnan(x) && !std::isnan(k));
}

// Throws FloatOverflow where the host would raise.
std::optional<Values> scaled(const Values &v, const Number &k) {
    if (v.type_ == Dtype::kObject || (v.type_ == Dtype::kInt64 && k.is_integer())) {
        if (v.type_ == Dtype::kInt64 && k.is_int()) {
            Values out = empty_values(Dtype::kInt64);
            out.ints_.resize(v.ints_.size());
            Range range;
            if (with_scalar(v.ints_.data(), v.ints_.size(), k.i_, Op::kMul, false, out.ints_.data(),
                            range))
                return out;
        }
        Values out = empty_values(Dtype::kObject);
        const Entry kx = k.entry();
        out.objects_.reserve(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            const Entry x = value_at<Entry>(v, i);
            Entry r = times(x, kx);
            if (r.float_ && warns(float_of(x), float_of(kx), r.f_)) return std::nullopt;
            out.objects_.push_back(std::move(r));
        }
        settle(out);
        return out;
    }
    // numpy takes an int beyond 64 bits into a float product as its float, if it has one.
    const double kd = k.as_double();
    if (!std::isfinite(kd) && k.is_integer()) throw FloatOverflow{};
    Values out = empty_values(Dtype::kFloat64);
    const std::size_t n = v.size();
    out.floats_.resize(n);
    const bool ints = v.type_ == Dtype::kInt64;
    if (!real_products(ints ? v.ints_.data() : nullptr, ints ? nullptr : v.floats_.data(), n, kd,
                       out.floats_.data())) {
        for (std::size_t i = 0; i < n; ++i)
            if (warns(value_at<double>(v, i), kd, out.floats_[i])) return std::nullopt;
    }
    return out;
}

Values negated(const Values &v) {
    Values out = empty_values(v.type_);
    switch (v.type_) {
        case Dtype::kInt64: {
            out.ints_.resize(v.ints_.size());
            Range range;
            // Only -(-2**63) is past int64.
            if (with_scalar(v.ints_.data(), v.ints_.size(), -1, Op::kMul, false, out.ints_.data(),
                            range))
                return out;
            out = empty_values(Dtype::kObject);
            for (std::int64_t x : v.ints_) out.objects_.push_back(Entry(-ExactInt(x)));
            return out;
        }
        case Dtype::kObject:
            out.objects_.reserve(v.objects_.size());
            for (const Entry &x : v.objects_) out.objects_.push_back(negated_entry(x));
            settle(out);
            return out;
        default:
            out.floats_.resize(v.floats_.size());
            negate_reals(v.floats_.data(), v.floats_.size(), out.floats_.data());
            return out;
    }
}

// ---------------------------------------------------------------------------------------------
// Compressed rows without the pointer array: entries grouped by ascending row, within a row in
// the order the compressed arrays hold them.

struct Rows : Coo {};

// coo.tocsr() of `a` grown to rows x cols: an empty array gets a new empty one (int32
// indexes); otherwise the entries are grouped by row and, entries being unique, sorted by column
// within each row.
Rows to_rows(const Coo &a, std::int64_t rows, std::int64_t cols) {
    Rows r;
    r.rows_ = rows;
    r.cols_ = cols;
    if (a.nnz() == 0) {
        r.index_ = IndexType::kInt32;
        r.values_ = empty_values(a.values_.type_);
        return r;
    }
    r.index_ = a.index_;
    auto before = [&](std::size_t x, std::size_t y) {
        return a.row_[x] != a.row_[y] ? a.row_[x] < a.row_[y] : a.col_[x] < a.col_[y];
    };
    bool sorted = true;
    for (std::size_t k = 1; k < a.nnz() && sorted; ++k) sorted = before(k - 1, k);
    if (sorted) {  // the usual case: nothing to reorder
        r.row_ = a.row_;
        r.col_ = a.col_;
        r.values_ = a.values_;
        return r;
    }
    std::vector<std::size_t> order(a.nnz());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), before);
    r.row_.reserve(order.size());
    r.col_.reserve(order.size());
    for (std::size_t k : order) {
        r.row_.push_back(a.row_[k]);
        r.col_.push_back(a.col_[k]);
    }
    r.values_ = take(a.values_, order);
    return r;
}

Rows to_rows(const Coo &a) { return to_rows(a, a.rows_, a.cols_); }

Coo to_coo(Rows &&r) { return Coo(std::move(r)); }

// Columns strictly increasing within every row.
bool is_canonical(const Rows &r) {
    for (std::size_t k = 1; k < r.nnz(); ++k)
        if (r.row_[k] == r.row_[k - 1] && r.col_[k] <= r.col_[k - 1]) return false;
    return true;
}

// Half-open ranges of the entries of each row present.
struct RowRange {
    std::int64_t row_;
    std::size_t begin_;
    std::size_t end_;
};

std::vector<RowRange> row_ranges(const Rows &r) {
    std::vector<RowRange> out;
    std::size_t k = 0;
    while (k < r.nnz()) {
        std::size_t e = k;
        while (e < r.nnz() && r.row_[e] == r.row_[k]) ++e;
        out.push_back({r.row_[k], k, e});
        k = e;
    }
    return out;
}

template <typename T>
void emit(Rows &out, std::int64_t row, std::int64_t col, T value) {
    if (value != 0) {  // only nonzero results are stored; NaN is kept
        out.row_.push_back(row);
        out.col_.push_back(col);
        push(out.values_, value);
    }
}

// Sorted operands: a merge of each row, by the shared line merge. The steps throw where the
// host's numbers take over (IntOverflow, FloatOverflow).
template <typename T>
void merge_rows(const Rows &a, const Rows &b, bool subtract, Rows &out) {
    auto step = [subtract](const T &x, const T &y, T &v) {
        v = subtract ? minus(x, y) : plus(x, y);
        return true;
    };
    auto zero = [](const T &v) { return !(v != T(0)); };
    std::vector<std::int64_t> cols;
    std::vector<T> values;
    std::size_t i = 0, j = 0;
    while (i < a.nnz() || j < b.nnz()) {
        const std::int64_t row =
            i < a.nnz() && (j >= b.nnz() || a.row_[i] <= b.row_[j]) ? a.row_[i] : b.row_[j];
        std::size_t ie = i, je = j;
        while (ie < a.nnz() && a.row_[ie] == row) ++ie;
        while (je < b.nnz() && b.row_[je] == row) ++je;
        cols.clear();
        values.clear();
        merge_line<T>(
            a.col_.data() + i, ie - i,
            [&a, i](std::size_t k) { return value_at<T>(a.values_, i + k); }, b.col_.data() + j,
            je - j, [&b, j](std::size_t k) { return value_at<T>(b.values_, j + k); }, step, zero,
            cols, values);
        for (std::size_t k = 0; k < cols.size(); ++k) {
            out.row_.push_back(row);
            out.col_.push_back(cols[k]);
            push(out.values_, std::move(values[k]));
        }
        i = ie;
        j = je;
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
        const std::int64_t row =
            i < a.nnz() && (j >= b.nnz() || a.row_[i] <= b.row_[j]) ? a.row_[i] : b.row_[j];
        cols.clear();
        av.clear();
        bv.clear();
        slot.clear();
        // The entries of one operand's row, into its own sums.
        auto gather = [&](const Rows &x, std::size_t &k, std::vector<T> &sums) {
            for (; k < x.nnz() && x.row_[k] == row; ++k) {
                auto [it, fresh] = slot.emplace(x.col_[k], cols.size());
                if (fresh) {
                    cols.push_back(x.col_[k]);
                    av.push_back(T(0));
                    bv.push_back(T(0));
                }
                sums[it->second] = plus(sums[it->second], value_at<T>(x.values_, k));
            }
        };
        gather(a, i, av);
        gather(b, j, bv);
        for (std::size_t s = cols.size(); s-- > 0;) emit(out, row, cols[s], op(av[s], bv[s]));
    }
}

// The compressed sum or difference of two arrays of one shape.
Rows combine(const Rows &a, const Rows &b, bool subtract) {
    Rows out;
    out.rows_ = a.rows_;
    out.cols_ = a.cols_;
    out.index_ = combined_index(a.index_, b.index_, a.nnz() + b.nnz());
    Dtype t = promoted(a.values_.type_, b.values_.type_);
    const bool sorted = is_canonical(a) && is_canonical(b);
    auto run = [&](auto zero) {
        using T = decltype(zero);
        out.row_.clear();
        out.col_.clear();
        out.values_ = empty_values(t);
        if (sorted)
            merge_rows<T>(a, b, subtract, out);
        else
            accumulate_rows<T>(a, b, subtract, out);
    };
    if (t == Dtype::kInt64) {
        try {
            run(std::int64_t{0});
            return out;
        } catch (const IntOverflow &) {
            t = Dtype::kObject;
        }
    }
    if (t == Dtype::kObject) {
        run(Entry());
        settle(out.values_);
    } else {
        run(0.0);
    }
    return out;
}

// The sparse product a @ b of compressed arrays.
template <typename T>
std::size_t product_rows(const Rows &a, const Rows &b, Rows &out) {
    std::vector<RowRange> b_rows = row_ranges(b);
    auto find_row = [&](std::int64_t r) -> const RowRange * {
        auto it = std::lower_bound(b_rows.begin(), b_rows.end(), r,
                                   [](const RowRange &x, std::int64_t v) { return x.row_ < v; });
        return it != b_rows.end() && it->row_ == r ? &*it : nullptr;
    };
    std::size_t structural = 0;
    std::vector<std::int64_t> cols;
    std::vector<T> sums;
    std::unordered_map<std::int64_t, std::size_t> slot;
    for (const RowRange &ar : row_ranges(a)) {
        cols.clear();
        sums.clear();
        slot.clear();
        for (std::size_t i = ar.begin_; i < ar.end_; ++i) {
            const RowRange *br = find_row(a.col_[i]);
            if (!br) continue;
            const T v = value_at<T>(a.values_, i);
            for (std::size_t k = br->begin_; k < br->end_; ++k) {
                auto [it, fresh] = slot.emplace(b.col_[k], cols.size());
                if (fresh) {
                    cols.push_back(b.col_[k]);
                    sums.push_back(T(0));
                }
                sums[it->second] = plus(sums[it->second], times(v, value_at<T>(b.values_, k)));
            }
        }
        structural += cols.size();
        for (std::size_t s = cols.size(); s-- > 0;) emit(out, ar.row_, cols[s], sums[s]);
    }
    return structural;
}

Rows product(const Rows &a, const Rows &b) {
    Rows out;
    out.rows_ = a.rows_;
    out.cols_ = b.cols_;
    Dtype t = promoted(a.values_.type_, b.values_.type_);
    auto run = [&](auto zero) {
        using T = decltype(zero);
        out.row_.clear();
        out.col_.clear();
        out.values_ = empty_values(t);
        return product_rows<T>(a, b, out);
    };
    std::size_t structural = 0;
    bool done = false;
    if (t == Dtype::kInt64) {
        try {
            structural = run(std::int64_t{0});
            done = true;
        } catch (const IntOverflow &) {
            t = Dtype::kObject;
        }
    }
    if (!done && t == Dtype::kObject) {
        structural = run(Entry());
        settle(out.values_);
    } else if (!done) {
        structural = run(0.0);
    }
    // No entry can arise at all: the library makes a new empty array (int32 indexes).
    out.index_ =
        structural == 0 ? IndexType::kInt32 : combined_index(a.index_, b.index_, structural);
    return out;
}

Coo transposed(const Coo &a) {
    Coo t = a;
    std::swap(t.rows_, t.cols_);
    std::swap(t.row_, t.col_);
    return t;
}

// Copies of two arrays grown to the larger extent in each dimension.
std::pair<Coo, Coo> aligned(const Coo &a, const Coo &b) {
    std::pair<Coo, Coo> out{a, b};
    const std::int64_t rows = std::max(a.rows_, b.rows_);
    const std::int64_t cols = std::max(a.cols_, b.cols_);
    out.first.rows_ = out.second.rows_ = rows;
    out.first.cols_ = out.second.cols_ = cols;
    return out;
}

Coo sum_of(const Coo &a, const Coo &b, bool subtract) {
    const std::int64_t rows = std::max(a.rows_, b.rows_);
    const std::int64_t cols = std::max(a.cols_, b.cols_);
    return to_coo(combine(to_rows(a, rows, cols), to_rows(b, rows, cols), subtract));
}

// The cells of a running sum, keyed by (row, col), both below 2^32 in the native form. A cell
// that becomes zero is marked absent and keeps its slot: when it comes back it starts again
// from zero, as a cell erased from a sorted merge would.
//
// Three layouts, picked by prepare() before each item's cells go in (slots stay valid until the
// next prepare()):
// - a run: while every item's cells come after all cells so far in (row, col) order (a sum
//   over a block's elements in order), they are appended and stay sorted;
// - by row: while every cell is in column 0 and the rows seen are not much more than the cells
//   (a linear part summed over most of the model's columns), an array indexed by row;
// - otherwise an open-addressing hash table, sorted at the end.
class CellTable {
  public:
    struct Cell {
        std::int64_t i_ = 0;
        double f_ = 0.0;
    };

    // What prepare() needs to know of an item's cells.
    struct Incoming {
        std::size_t count_ = 0;
        std::int64_t max_row_ = -1;
        bool col_zero_ = true;
        bool ascending_ = true;  // strictly, in (row, col) order
        std::uint64_t first_key_ = 0;
    };

    static std::uint64_t key_of(std::int64_t row, std::int64_t col) {
        return (static_cast<std::uint64_t>(row) << 32) | static_cast<std::uint64_t>(col);
    }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    void clear() { *this = CellTable(); }

    void prepare(const Incoming &in) {
        const std::int64_t rows = std::max(max_row_, in.max_row_) + 1;
        const bool zero = col_zero_ && in.col_zero_;
        const std::size_t cells = count_ + in.count_;
        if (layout_ == Layout::kRun) {
            if (in.ascending_ &&
                (keys_.empty() || in.count_ == 0 || in.first_key_ > keys_.back())) {
                const std::size_t need = keys_.size() + in.count_;
                if (need > keys_.capacity()) {
                    const std::size_t room = std::max(need, 2 * keys_.capacity());
                    keys_.reserve(room);
                    cells_.reserve(room);
                    present_.reserve(room);
                }
                return;
            }
        } else if (layout_ == Layout::kRows) {
            if (zero && static_cast<std::size_t>(rows) <= 8 * cells + 4096) {
                grow_rows(static_cast<std::size_t>(rows));
                return;
            }
            relayout(Layout::kHash, 0);
            reserve_hash(in.count_);
            return;
        }
        // Leaving the run, or hashed cells that have become dense.
        if (zero && static_cast<std::size_t>(rows) <= 4 * cells + 1024) {
            relayout(Layout::kRows, static_cast<std::size_t>(rows));
            return;
        }
        if (layout_ != Layout::kHash) relayout(Layout::kHash, 0);
        reserve_hash(in.count_);
    }

    // The cell at (row, col), present from now on (fresh cells hold zero). Returns its slot.
    std::size_t enter(std::int64_t row, std::int64_t col) {
        bool fresh = false;
        return enter(row, col, fresh);
    }

    // As above; `fresh` tells whether the cell was absent.
    std::size_t enter(std::int64_t row, std::int64_t col, bool &fresh) {
        max_row_ = std::max(max_row_, row);
        col_zero_ = col_zero_ && col == 0;
        std::size_t slot;
        switch (layout_) {
            case Layout::kRun:
                slot = keys_.size();
                keys_.push_back(key_of(row, col));
                cells_.emplace_back();
                present_.push_back(0);
                break;
            case Layout::kRows:
                slot = static_cast<std::size_t>(row);
                break;
            default:
                slot = hash_slot(key_of(row, col));
        }
        fresh = !present_[slot];
        if (fresh) {
            present_[slot] = 1;
            cells_[slot] = Cell{};
            ++count_;
        }
        return slot;
    }

    Cell &at(std::size_t slot) { return cells_[slot]; }

    void remove(std::size_t slot) {
        if (!present_[slot]) return;
        present_[slot] = 0;
        --count_;
    }

    template <typename F>
    void for_each_present(F &&f) {
        for (std::size_t s = 0; s < present_.size(); ++s)
            if (present_[s]) f(s);
    }

    // The present cells in (row, col) order.
    std::vector<std::size_t> sorted_slots() const {
        std::vector<std::size_t> slots;
        slots.reserve(count_);
        if (layout_ != Layout::kHash) {
            for (std::size_t s = 0; s < present_.size(); ++s)
                if (present_[s]) slots.push_back(s);
            return slots;
        }
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
        keyed.reserve(count_);
        for (std::size_t s = 0; s < keys_.size(); ++s)
            if (present_[s]) keyed.emplace_back(keys_[s], s);
        std::sort(keyed.begin(), keyed.end());
        for (const auto &kv : keyed) slots.push_back(kv.second);
        return slots;
    }

    std::int64_t row_of(std::size_t slot) const {
        return layout_ == Layout::kRows ? static_cast<std::int64_t>(slot)
                                        : static_cast<std::int64_t>(keys_[slot] >> 32);
    }
    std::int64_t col_of(std::size_t slot) const {
        return layout_ == Layout::kRows ? 0 : static_cast<std::int64_t>(keys_[slot] & 0xffffffffu);
    }

  private:
    enum class Layout : std::uint8_t { kRun, kRows, kHash };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    std::size_t home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }

    std::size_t hash_slot(std::uint64_t key) {
        std::size_t slot = home(key);
        while (keys_[slot] != kEmpty && keys_[slot] != key) slot = (slot + 1) & mask_;
        if (keys_[slot] == kEmpty) {
            keys_[slot] = key;
            ++used_;
        }
        return slot;
    }

    void reserve_hash(std::size_t n) {
        while ((used_ + n) * 2 > keys_.size()) grow_hash();
    }

    void grow_hash() {
        std::size_t capacity = keys_.empty() ? 16 : keys_.size() * 2;
        std::vector<std::uint64_t> keys(capacity, kEmpty);
        std::vector<Cell> cells(capacity);
        std::vector<std::uint8_t> present(capacity, 0);
        std::swap(keys, keys_);
        std::swap(cells, cells_);
        std::swap(present, present_);
        mask_ = capacity - 1;
        shift_ = 64;
        for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
        for (std::size_t s = 0; s < keys.size(); ++s) {
            if (keys[s] == kEmpty) continue;
            std::size_t slot = home(keys[s]);
            while (keys_[slot] != kEmpty) slot = (slot + 1) & mask_;
            keys_[slot] = keys[s];
            cells_[slot] = cells[s];
            present_[slot] = present[s];
        }
    }

    void grow_rows(std::size_t rows) {
        if (rows <= present_.size()) return;
        const std::size_t size = std::max(rows, present_.size() + present_.size() / 2);
        cells_.resize(size);
        present_.resize(size, 0);
    }

    // The present cells moved into another layout (absent ones are forgotten: they come back
    // from zero either way).
    void relayout(Layout to, std::size_t rows) {
        std::vector<std::pair<std::uint64_t, Cell>> kept;
        kept.reserve(count_);
        for (std::size_t s = 0; s < present_.size(); ++s) {
            if (!present_[s]) continue;
            const std::uint64_t key =
                layout_ == Layout::kRows ? key_of(static_cast<std::int64_t>(s), 0) : keys_[s];
            kept.emplace_back(key, cells_[s]);
        }
        keys_.clear();
        keys_.shrink_to_fit();
        cells_.clear();
        cells_.shrink_to_fit();
        present_.clear();
        present_.shrink_to_fit();
        used_ = 0;
        mask_ = 0;
        shift_ = 64;
        layout_ = to;
        if (to == Layout::kRows) {
            cells_.resize(rows);
            present_.assign(rows, 0);
            for (const auto &[key, cell] : kept) {
                const std::size_t row = static_cast<std::size_t>(key >> 32);
                cells_[row] = cell;
                present_[row] = 1;
            }
            return;
        }
        reserve_hash(kept.size() + 1);
        for (const auto &[key, cell] : kept) {
            const std::size_t slot = hash_slot(key);
            cells_[slot] = cell;
            present_[slot] = 1;
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<Cell> cells_;
    std::vector<std::uint8_t> present_;
    std::size_t used_ = 0;
    std::size_t count_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    Layout layout_ = Layout::kRun;
    bool col_zero_ = true;
    std::int64_t max_row_ = -1;
};

// What CellTable::prepare needs to know of a sparse array's cells.
CellTable::Incoming incoming(const Coo &c) {
    CellTable::Incoming in;
    in.count_ = c.nnz();
    std::uint64_t last = 0;
    for (std::size_t k = 0; k < c.nnz(); ++k) {
        in.max_row_ = std::max(in.max_row_, c.row_[k]);
        in.col_zero_ = in.col_zero_ && c.col_[k] == 0;
        const std::uint64_t key = CellTable::key_of(c.row_[k], c.col_[k]);
        if (k == 0)
            in.first_key_ = key;
        else if (key <= last)
            in.ascending_ = false;
        last = key;
    }
    return in;
}

// One part (linear or quadratic) of a running sum. Until the first addition of two parts it is a
// copy of the first one, stored order and explicit zeros included; from then on every step is a
// sorted merge that keeps only nonzero results, so the part is kept as a table of cells put in
// order at the end, each step touching only the cells of the added item.
class SumPart {
  public:
    bool present() const { return present_; }

    void start(const Coo &c) {
        present_ = true;
        merged_ = false;
        first_ = c;
    }

    // false when the step is left to the host.
    bool add(const Coo &item) {
        if (slow_) return add_slowly(item);
        const Dtype current = merged_ ? type_ : first_.values_.type_;
        if (current == Dtype::kObject || item.values_.type_ == Dtype::kObject) {
            to_slow();
            return add_slowly(item);
        }
        bool first_merge = false;
        if (!merged_) {
            load_first();
            first_merge = true;
        }
        const std::int64_t rows_before = rows_, cols_before = cols_;
        const IndexType index_before = index_;
        const IndexType current_index = cells_.empty() ? IndexType::kInt32 : index_;
        const IndexType added = item.nnz() == 0 ? IndexType::kInt32 : item.index_;
        index_ = combined_index(current_index, added, cells_.size() + item.nnz());
        rows_ = std::max(rows_, item.rows_);
        cols_ = std::max(cols_, item.cols_);
        const Dtype t = promoted(type_, item.values_.type_);
        if (t != type_) {
            cells_.for_each_present([this](std::size_t s) {
                Cell &c = cells_.at(s);
                c.f_ = static_cast<double>(c.i_);
            });
            type_ = t;
        }
        touched_.clear();
        fresh_.clear();
        cells_.prepare(incoming(item));
        for (std::size_t k = 0; k < item.nnz(); ++k) {
            bool fresh = false;
            const std::size_t slot = cells_.enter(item.row_[k], item.col_[k], fresh);
            Cell &c = cells_.at(slot);
            if (type_ == Dtype::kInt64) {
                std::int64_t r = 0;
                if (__builtin_add_overflow(c.i_, item.values_.ints_[k], &r)) {
                    // The item is taken back out and the sum goes on over exact integers.
                    if (fresh) cells_.remove(slot);
                    for (std::size_t m = 0; m < touched_.size(); ++m) {
                        cells_.at(touched_[m]).i_ -= item.values_.ints_[m];
                        if (fresh_[m]) cells_.remove(touched_[m]);
                    }
                    rows_ = rows_before;
                    cols_ = cols_before;
                    index_ = index_before;
                    to_slow();
                    return add_slowly(item);
                }
                c.i_ = r;
            } else {
                c.f_ = plus(c.f_, value_at<double>(item.values_, k));
            }
            touched_.push_back(slot);
            fresh_.push_back(fresh);
        }
        if (first_merge) {
            cells_.for_each_present([this](std::size_t s) {
                if (is_zero(cells_.at(s))) cells_.remove(s);
            });
        } else {
            for (std::size_t s : touched_)
                if (is_zero(cells_.at(s))) cells_.remove(s);
        }
        return true;
    }

    Coo finish() {
        if (slow_) return std::move(slow_sum_);
        if (!merged_) return std::move(first_);
        Coo c;
        c.rows_ = rows_;
        c.cols_ = cols_;
        c.index_ = index_;
        c.values_ = empty_values(type_);
        const std::vector<std::size_t> slots = cells_.sorted_slots();
        c.row_.reserve(slots.size());
        c.col_.reserve(slots.size());
        if (type_ == Dtype::kInt64)
            c.values_.ints_.reserve(slots.size());
        else
            c.values_.floats_.reserve(slots.size());
        for (std::size_t s : slots) {
            c.row_.push_back(cells_.row_of(s));
            c.col_.push_back(cells_.col_of(s));
            const Cell &v = cells_.at(s);
            if (type_ == Dtype::kInt64)
                c.values_.ints_.push_back(v.i_);
            else
                c.values_.floats_.push_back(v.f_);
        }
        return c;
    }

  private:
    using Cell = CellTable::Cell;

    bool is_zero(const Cell &c) const { return type_ == Dtype::kInt64 ? c.i_ == 0 : c.f_ == 0; }

    // Exact integers are summed step by step, each step the addition of two parts: rare enough
    // not to need the table.
    void to_slow() {
        slow_sum_ = finish();
        slow_ = true;
        merged_ = true;
        cells_.clear();
    }

    // Throws FloatOverflow where the host would raise.
    bool add_slowly(const Coo &item) {
        slow_sum_ = sum_of(slow_sum_, item, false);
        return true;
    }

    void load_first() {
        merged_ = true;
        rows_ = first_.rows_;
        cols_ = first_.cols_;
        index_ = first_.index_;
        type_ = first_.values_.type_;
        cells_.clear();
        cells_.prepare(incoming(first_));
        for (std::size_t k = 0; k < first_.nnz(); ++k) {
            Cell &c = cells_.at(cells_.enter(first_.row_[k], first_.col_[k]));
            if (type_ == Dtype::kInt64)
                c.i_ = first_.values_.ints_[k];
            else
                c.f_ = first_.values_.floats_[k];
        }
        first_ = Coo();
    }

    bool present_ = false;
    bool merged_ = false;
    Coo first_;
    std::int64_t rows_ = 0;
    std::int64_t cols_ = 0;
    IndexType index_ = IndexType::kInt32;
    Dtype type_ = Dtype::kInt64;
    CellTable cells_;
    std::vector<std::size_t> touched_;
    std::vector<bool> fresh_;
    bool slow_ = false;
    Coo slow_sum_;
};

}  // namespace

std::optional<Values> scaled_values(const Values &v, const Number &k) try {
    return scaled(v, k);
} catch (const FloatOverflow &) {
    return std::nullopt;
}

Values negated_values(const Values &v) { return negated(v); }

std::optional<Coo> array_sum(const Coo &a, const Coo &b, bool subtract) try {
    return sum_of(a, b, subtract);
} catch (const FloatOverflow &) {
    return std::nullopt;
}

std::optional<Coo> symmetric_product(const Coo &a, const Coo &b) try {
    auto [x, y] = aligned(a, b);
    Rows xy = product(to_rows(x), to_rows(transposed(y)));
    Rows yx = product(to_rows(y), to_rows(transposed(x)));
    Rows q = combine(xy, yx, false);
    std::optional<Values> half = scaled(q.values_, Number::of_float(0.5));
    if (!half) return std::nullopt;
    q.values_ = std::move(*half);
    return to_coo(std::move(q));
} catch (const FloatOverflow &) {
    return std::nullopt;
}

Compressed compressed_columns(const Coo &a) {
    Compressed c;
    c.rows_ = a.rows_;
    c.cols_ = a.cols_;
    c.indptr_.assign(static_cast<std::size_t>(a.cols_) + 1, 0);
    if (a.nnz() == 0) {
        c.index_ = IndexType::kInt32;
        c.values_ = empty_values(a.values_.type_);
        return c;
    }
    c.index_ = a.index_;
    std::vector<std::size_t> order(a.nnz());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return a.col_[x] != a.col_[y] ? a.col_[x] < a.col_[y] : a.row_[x] < a.row_[y];
    });
    c.indices_.reserve(order.size());
    for (std::size_t k : order) {
        c.indices_.push_back(a.row_[k]);
        ++c.indptr_[static_cast<std::size_t>(a.col_[k]) + 1];
    }
    std::partial_sum(c.indptr_.begin(), c.indptr_.end(), c.indptr_.begin());
    c.values_ = take(a.values_, order);
    return c;
}

struct ArraySum::State {
    SumPart part_;
};

ArraySum::ArraySum() : state_(std::make_unique<State>()) {}
ArraySum::~ArraySum() = default;

bool ArraySum::present() const { return state_->part_.present(); }

void ArraySum::start(const Coo &first) { state_->part_.start(first); }

bool ArraySum::add(const Coo &item) try {
    return state_->part_.add(item);
} catch (const FloatOverflow &) {
    return false;
}

Coo ArraySum::finish() { return state_->part_.finish(); }

}  // namespace zk::linear
