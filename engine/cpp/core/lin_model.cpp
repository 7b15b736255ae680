// The linear solver's model: checks, duplicate merging and the quadratic part's normal form.
#include "core/lin_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace se::lin {

namespace {

// Rows at most this long find their repeated columns by comparing pairs; longer ones use a
// per-column mark.
constexpr int64_t kShortRow = 16;

constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void refuse(const char *op, const std::string &what) {
    throw std::invalid_argument(std::string(op) + ": " + what);
}

[[noreturn]] void refuse_column(const char *op, const char *what, int64_t col, int64_t limit) {
    throw std::out_of_range(std::string(op) + ": " + what + " " + std::to_string(col) +
                            " is outside the columns 0.." + std::to_string(limit - 1));
}

// Every entry in 0 .. limit - 1.
template <typename I>
void check_columns(const char *op, const char *what, const I *cols, int64_t n, int64_t limit) {
    for (int64_t k = 0; k < n; ++k) {
        const int64_t c = static_cast<int64_t>(cols[k]);
        if (c < 0 || c >= limit) refuse_column(op, what, c, limit);
    }
}

void check_not_nan(const char *op, const char *what, const double *v, int64_t n) {
    for (int64_t k = 0; k < n; ++k)
        if (std::isnan(v[k])) refuse(op, std::string(what) + " " + std::to_string(k) + " is NaN");
}

[[noreturn]] void refuse_not_finite(const char *op, const char *what, int64_t k) {
    refuse(op, std::string(what) + " " + std::to_string(k) + " is not finite");
}

void check_finite(const char *op, const char *what, const double *v, int64_t n) {
    for (int64_t k = 0; k < n; ++k)
        if (!std::isfinite(v[k])) refuse_not_finite(op, what, k);
}

// starts: n + 1 non-decreasing entries from 0 to count.
template <typename I>
void check_starts(const char *op, const I *starts, int64_t n, int64_t count) {
    if (static_cast<int64_t>(starts[0]) != 0) refuse(op, "the first start must be 0");
    for (int64_t k = 0; k < n; ++k)
        if (starts[k + 1] < starts[k])
            refuse(op, "the starts must not decrease (start " + std::to_string(k + 1) + ")");
    if (static_cast<int64_t>(starts[n]) != count)
        refuse(op, "the last start " + std::to_string(static_cast<int64_t>(starts[n])) +
                       " differs from the count " + std::to_string(count));
}

// Room for `more` entries beyond the size, growing the capacity geometrically: a reserve of the
// exact new size on every append would copy the whole array each time, so that a model built
// one row per call would cost quadratic time.
template <typename T>
void reserve_more(std::vector<T> &v, std::size_t more) {
    const std::size_t need = v.size() + more;
    if (need > v.capacity()) v.reserve(std::max(need, 2 * v.capacity()));
}

// Stable counting sort of `in` into `out` by a key in 0 .. keys - 1.
template <typename T, typename Key>
void counting_sort(const std::vector<T> &in, std::vector<T> &out, int64_t keys, Key key) {
    std::vector<std::size_t> first(static_cast<std::size_t>(keys) + 1, 0);
    for (const T &t : in) ++first[static_cast<std::size_t>(key(t)) + 1];
    for (std::size_t k = 1; k < first.size(); ++k) first[k] += first[k - 1];
    for (const T &t : in) out[first[static_cast<std::size_t>(key(t))]++] = t;
}

// Appends the entries of line `line` of compressed arrays whose index `renumber` keeps (not -1),
// with their new indices.
void append_renumbered(const std::vector<int32_t> &starts, const std::vector<int32_t> &index,
                       const std::vector<double> &value, std::size_t line,
                       const std::vector<int32_t> &renumber, std::vector<int32_t> &out_index,
                       std::vector<double> &out_value) {
    for (auto k = static_cast<std::size_t>(starts[line]);
         k < static_cast<std::size_t>(starts[line + 1]); ++k) {
        const int32_t i = renumber[static_cast<std::size_t>(index[k])];
        if (i < 0) continue;
        out_index.push_back(i);
        out_value.push_back(value[k]);
    }
}

void check_count(const char *op, const char *what, int64_t now, int64_t more) {
    if (more > kMaxCount - now)
        refuse(op, std::string("the model would hold more than ") + std::to_string(kMaxCount) +
                       " " + what);
}

}  // namespace

void Model::add_cols(const double *lower, const double *upper, int64_t n) {
    const char *op = "addVars";
    if (n < 0) refuse(op, "the number of columns must not be negative");
    check_count(op, "columns", num_col(), n);
    check_not_nan(op, "lower bound", lower, n);
    check_not_nan(op, "upper bound", upper, n);
    // Every array gets its room first, so that a failed allocation leaves all of them as they
    // were: the appends below allocate nothing.
    const auto more = static_cast<std::size_t>(n);
    reserve_more(col_lower_, more);
    reserve_more(col_upper_, more);
    reserve_more(col_cost_, more);
    reserve_more(integrality_, more);
    col_lower_.insert(col_lower_.end(), lower, lower + n);
    col_upper_.insert(col_upper_.end(), upper, upper + n);
    col_cost_.resize(col_lower_.size(), 0.0);
    integrality_.resize(col_lower_.size(), kContinuous);
}

template <typename I, typename T>
void Model::change_integrality(const I *cols, const T *types, int64_t n) {
    const char *op = "changeColsIntegrality";
    check_columns(op, "column", cols, n, num_col());
    for (int64_t k = 0; k < n; ++k) {
        const int64_t t = static_cast<int64_t>(types[k]);
        if (t < 0 || t >= kVarTypeCount)
            refuse(op, "type " + std::to_string(k) +
                           " is not a LinsolverVarType value: " + std::to_string(t));
    }
    for (int64_t k = 0; k < n; ++k)
        integrality_[static_cast<std::size_t>(cols[k])] = static_cast<int32_t>(types[k]);
}

template <typename I>
void Model::add_rows(const char *op, const double *lower, const double *upper, int64_t m,
                     const I *starts, const I *indices, const double *values, int64_t count) {
    if (m < 0) refuse(op, "the number of rows must not be negative");
    if (count < 0) refuse(op, "the number of entries must not be negative");
    check_count(op, "rows", num_row(), m);
    check_count(op, "matrix entries", num_nz(), count);
    check_starts(op, starts, m, count);
    check_not_nan(op, "lower bound", lower, m);
    check_not_nan(op, "upper bound", upper, m);

    // The columns and values are checked row by row as they are copied, in one pass over the
    // caller's arrays: a refusal, or a failed allocation, takes the copied rows back out. Column
    // errors come first, as if every column were checked before any value.
    const std::size_t base = a_index_.size(), base_rows = a_start_.size();
    try {
        add_checked_rows(op, m, starts, indices, values, count);
    } catch (...) {
        a_index_.resize(base);
        a_value_.resize(base);
        a_start_.resize(base_rows);
        throw;
    }
    row_lower_.insert(row_lower_.end(), lower, lower + m);
    row_upper_.insert(row_upper_.end(), upper, upper + m);
}

template <typename I>
void Model::add_checked_rows(const char *op, int64_t m, const I *starts, const I *indices,
                             const double *values, int64_t count) {
    const std::size_t base = a_index_.size();
    reserve_more(a_index_, static_cast<std::size_t>(count));
    reserve_more(a_value_, static_cast<std::size_t>(count));
    a_index_.resize(base + static_cast<std::size_t>(count));
    a_value_.resize(base + static_cast<std::size_t>(count));
    // The bounds are appended after the entries were accepted, without allocating.
    reserve_more(a_start_, static_cast<std::size_t>(m));
    reserve_more(row_lower_, static_cast<std::size_t>(m));
    reserve_more(row_upper_, static_cast<std::size_t>(m));
    const int64_t cols = num_col();
    int64_t bad_value = -1;
    // Long rows find their repeated columns through a mark per column when the call brings
    // enough entries to pay for the marks, else by sorting the row.
    const bool use_marks = count >= num_col() / 4;
    std::vector<int64_t> mark, pos;
    std::vector<std::pair<int32_t, int64_t>> sorted;  // (column, position in the row)
    std::size_t out = base;
    for (int64_t r = 0; r < m; ++r) {
        const int64_t s = static_cast<int64_t>(starts[r]), e = static_cast<int64_t>(starts[r + 1]);
        const std::size_t row_begin = out;
        for (int64_t k = s; k < e; ++k) {
            const auto c = static_cast<int64_t>(indices[k]);
            if (c < 0 || c >= cols) refuse_column(op, "column index", c, cols);
            if (bad_value < 0 && !std::isfinite(values[k])) bad_value = k;
        }
        bool ascending = true;  // no column can repeat: the row goes over as it is
        for (int64_t k = s + 1; k < e && ascending; ++k) ascending = indices[k - 1] < indices[k];
        if (ascending) {
            for (int64_t k = s; k < e; ++k) {
                a_index_[out] = static_cast<int32_t>(indices[k]);
                a_value_[out] = values[k];
                ++out;
            }
        } else if (e - s <= kShortRow) {
            for (int64_t k = s; k < e; ++k) {
                const int32_t c = static_cast<int32_t>(indices[k]);
                std::size_t j = row_begin;
                while (j < out && a_index_[j] != c) ++j;
                if (j < out) {
                    a_value_[j] += values[k];
                } else {
                    a_index_[out] = c;
                    a_value_[out] = values[k];
                    ++out;
                }
            }
        } else if (use_marks) {
            if (mark.empty()) {
                mark.assign(static_cast<std::size_t>(num_col()), 0);
                pos.resize(static_cast<std::size_t>(num_col()));
            }
            for (int64_t k = s; k < e; ++k) {
                const auto c = static_cast<std::size_t>(indices[k]);
                if (mark[c] == r + 1) {
                    a_value_[static_cast<std::size_t>(pos[c])] += values[k];
                } else {
                    mark[c] = r + 1;
                    pos[c] = static_cast<int64_t>(out);
                    a_index_[out] = static_cast<int32_t>(c);
                    a_value_[out] = values[k];
                    ++out;
                }
            }
        } else {
            sorted.clear();
            for (int64_t k = s; k < e; ++k)
                sorted.emplace_back(static_cast<int32_t>(indices[k]), k);
            std::sort(sorted.begin(), sorted.end());
            // Each column's first position stands for the column; the others add to it.
            std::vector<std::pair<int64_t, double>> firsts;  // (first position, summed value)
            for (std::size_t q = 0; q < sorted.size(); ++q) {
                if (q > 0 && sorted[q].first == sorted[q - 1].first) {
                    firsts.back().second += values[sorted[q].second];
                } else {
                    firsts.emplace_back(sorted[q].second, values[sorted[q].second]);
                }
            }
            std::sort(firsts.begin(), firsts.end(),
                      [](const auto &a, const auto &b) { return a.first < b.first; });
            for (const auto &f : firsts) {
                a_index_[out] = static_cast<int32_t>(indices[f.first]);
                a_value_[out] = f.second;
                ++out;
            }
        }
        a_start_.push_back(static_cast<int32_t>(out));
    }
    if (bad_value >= 0) refuse_not_finite(op, "value", bad_value);
    a_index_.resize(out);
    a_value_.resize(out);
}

template <typename I>
void Model::change_costs(const char *op, const I *cols, const double *costs, int64_t n) {
    check_columns(op, "column", cols, n, num_col());
    check_finite(op, "cost", costs, n);
    for (int64_t k = 0; k < n; ++k) col_cost_[static_cast<std::size_t>(cols[k])] = costs[k];
}

template <typename I>
void Model::pass_hessian(int64_t dim, int32_t format, const I *starts, int64_t num_starts,
                         const I *indices, const double *values, int64_t count) {
    const char *op = "passHessian";
    if (dim < 0) refuse(op, "the dimension must not be negative");
    if (dim > num_col())
        refuse(op, "the dimension " + std::to_string(dim) + " exceeds the number of columns " +
                       std::to_string(num_col()));
    if (count < 0) refuse(op, "the number of entries must not be negative");
    if (format != kTriangular && format != kSquare) refuse(op, "unknown HessianFormat");
    if (num_starts < 1) refuse(op, "the starts must hold at least one entry");
    const int64_t width = num_starts - 1;
    check_starts(op, starts, width, count);
    // A matrix wider than the dimension (rows built for more columns than the model has) is
    // read as its leading square, which must then hold every entry.
    if (width > dim && static_cast<int64_t>(starts[dim]) != count)
        refuse(op,
               "the matrix holds entries in columns beyond the dimension " + std::to_string(dim));
    check_columns(op, "row index", indices, count, dim);
    check_finite(op, "value", values, count);
    const int64_t read_cols = std::min(width, dim);

    // (column, row, value) of the lower triangle, then sorted and merged.
    struct Entry {
        int32_t col_, row_;
        double value_;
    };
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int64_t j = 0; j < read_cols; ++j) {
        for (int64_t k = static_cast<int64_t>(starts[j]); k < static_cast<int64_t>(starts[j + 1]);
             ++k) {
            const auto i = static_cast<int32_t>(indices[k]);
            const auto col = static_cast<int32_t>(j);
            if (format == kTriangular) {
                if (i >= col) entries.push_back({col, i, values[k]});
            } else if (i == col) {
                entries.push_back({col, i, values[k]});
            } else {
                // A square matrix means x'Hx, which only its symmetric part (H + H')/2 shapes.
                entries.push_back({std::min(i, col), std::max(i, col), 0.5 * values[k]});
            }
        }
    }
    // Column by column, rows ascending within a column, in time linear in the entries and the
    // dimension: a stable counting sort by row, then one by column. Equal positions keep the
    // order they were given in, and so the order in which they are summed.
    std::vector<Entry> by_row(entries.size());
    counting_sort(entries, by_row, dim, [](const Entry &e) { return e.row_; });
    counting_sort(by_row, entries, dim, [](const Entry &e) { return e.col_; });
    std::vector<int32_t> q_start(static_cast<std::size_t>(dim) + 1, 0), q_index;
    std::vector<double> q_value;
    q_index.reserve(entries.size());
    q_value.reserve(entries.size());
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const Entry &en = entries[k];
        if (k > 0 && entries[k - 1].col_ == en.col_ && entries[k - 1].row_ == en.row_) {
            q_value.back() += en.value_;
        } else {
            q_index.push_back(en.row_);
            q_value.push_back(en.value_);
        }
        q_start[static_cast<std::size_t>(en.col_) + 1] = static_cast<int32_t>(q_index.size());
    }
    for (std::size_t j = 1; j < q_start.size(); ++j)
        q_start[j] = std::max(q_start[j], q_start[j - 1]);
    q_dim_ = static_cast<int32_t>(dim);
    q_start_ = std::move(q_start);
    q_index_ = std::move(q_index);
    q_value_ = std::move(q_value);
}

void Model::set_start(const double *values, int64_t n) {
    const char *op = "setSolution";
    if (n > num_col())
        refuse(op, "the start vector has " + std::to_string(n) + " values for " +
                       std::to_string(num_col()) + " columns");
    check_finite(op, "start value", values, n);
    start_.assign(values, values + n);
}

bool Model::has_hessian() const {
    return std::any_of(q_value_.begin(), q_value_.end(), [](double v) { return v != 0.0; });
}

bool Model::has_integer_columns() const {
    return std::any_of(integrality_.begin(), integrality_.end(),
                       [](int32_t t) { return t != kContinuous; });
}

void Model::hessian(std::vector<int32_t> &starts, std::vector<int32_t> &indices,
                    std::vector<double> &values) const {
    starts.clear();
    indices.clear();
    values.clear();
    if (!has_hessian()) return;
    starts = q_start_;
    starts.resize(static_cast<std::size_t>(num_col()) + 1, q_start_.back());
    indices = q_index_;
    values = q_value_;
}

double Model::objective(const double *x) const {
    double obj = 0.0;
    for (std::size_t j = 0; j < col_cost_.size(); ++j) obj += col_cost_[j] * x[j];
    for (int32_t j = 0; j < q_dim_; ++j) {
        for (int32_t k = q_start_[static_cast<std::size_t>(j)];
             k < q_start_[static_cast<std::size_t>(j) + 1]; ++k) {
            const int32_t i = q_index_[static_cast<std::size_t>(k)];
            const double v = q_value_[static_cast<std::size_t>(k)];
            // x'Hx counts an entry below the diagonal twice (once for its mirror image).
            obj += (i == j ? 0.5 : 1.0) * v * x[i] * x[j];
        }
    }
    return obj;
}

void Model::snap_integers(double *x, double tol) const {
    for (std::size_t j = 0; j < integrality_.size(); ++j) {
        if (integrality_[j] != kInteger && integrality_[j] != kSemiInteger) continue;
        const double r = std::nearbyint(x[j]);
        if (std::abs(x[j] - r) <= tol) x[j] = r + 0.0;  // + 0.0 turns -0.0 into 0.0
    }
}

std::vector<int32_t> Model::idle_columns() const {
    const std::size_t n = col_lower_.size();
    std::vector<char> read(n, 0);
    for (std::size_t j = 0; j < n; ++j) read[j] = col_cost_[j] != 0.0;
    for (std::size_t k = 0; k < a_index_.size(); ++k)
        if (a_value_[k] != 0.0) read[static_cast<std::size_t>(a_index_[k])] = 1;
    for (int32_t j = 0; j < q_dim_; ++j) {
        for (int32_t k = q_start_[static_cast<std::size_t>(j)];
             k < q_start_[static_cast<std::size_t>(j) + 1]; ++k) {
            if (q_value_[static_cast<std::size_t>(k)] == 0.0) continue;
            read[static_cast<std::size_t>(j)] = 1;
            read[static_cast<std::size_t>(q_index_[static_cast<std::size_t>(k)])] = 1;
        }
    }
    std::vector<int32_t> idle;
    for (std::size_t j = 0; j < n; ++j) {
        // Bounds that hold no value are the solver's to report (infeasible, or refused).
        const double lo = col_lower_[j], up = col_upper_[j];
        const bool holds_value = lo <= up && lo < kInf && up > -kInf;
        if (!read[j] && holds_value) idle.push_back(static_cast<int32_t>(j));
    }
    return idle;
}

double Model::idle_value(int32_t col) const {
    const auto j = static_cast<std::size_t>(col);
    return std::min(std::max(0.0, col_lower_[j]), col_upper_[j]);
}

Model Model::without_columns(const std::vector<int32_t> &cols) const {
    const std::size_t n = col_lower_.size();
    std::vector<char> dropped(n, 0);
    for (int32_t j : cols) dropped[static_cast<std::size_t>(j)] = 1;
    // The new number of each column kept, -1 for a dropped one.
    std::vector<int32_t> renumber(n, -1);
    int32_t next = 0;
    for (std::size_t j = 0; j < n; ++j)
        if (!dropped[j]) renumber[j] = next++;
    Model out;
    out.sense_ = sense_;
    for (std::size_t j = 0; j < n; ++j) {
        if (renumber[j] < 0) continue;
        out.col_lower_.push_back(col_lower_[j]);
        out.col_upper_.push_back(col_upper_[j]);
        out.col_cost_.push_back(col_cost_[j]);
        out.integrality_.push_back(integrality_[j]);
    }
    out.row_lower_ = row_lower_;
    out.row_upper_ = row_upper_;
    out.a_start_.reserve(a_start_.size());
    out.a_index_.reserve(a_index_.size());
    out.a_value_.reserve(a_value_.size());
    for (std::size_t r = 0; r + 1 < a_start_.size(); ++r) {
        append_renumbered(a_start_, a_index_, a_value_, r, renumber, out.a_index_, out.a_value_);
        out.a_start_.push_back(static_cast<int32_t>(out.a_index_.size()));
    }
    // A dropped column has no non-zero quadratic entry, and its zeros go with it.
    for (int32_t j = 0; j < q_dim_; ++j) {
        const int32_t c = renumber[static_cast<std::size_t>(j)];
        if (c < 0) continue;
        append_renumbered(q_start_, q_index_, q_value_, static_cast<std::size_t>(j), renumber,
                          out.q_index_, out.q_value_);
        out.q_start_.push_back(static_cast<int32_t>(out.q_index_.size()));
        out.q_dim_ = c + 1;
    }
    return out;
}

template void Model::change_integrality<int32_t, int64_t>(const int32_t *, const int64_t *,
                                                          int64_t);
template void Model::change_integrality<int64_t, int64_t>(const int64_t *, const int64_t *,
                                                          int64_t);
template void Model::add_rows<int32_t>(const char *, const double *, const double *, int64_t,
                                       const int32_t *, const int32_t *, const double *, int64_t);
template void Model::add_rows<int64_t>(const char *, const double *, const double *, int64_t,
                                       const int64_t *, const int64_t *, const double *, int64_t);
template void Model::change_costs<int32_t>(const char *, const int32_t *, const double *, int64_t);
template void Model::change_costs<int64_t>(const char *, const int64_t *, const double *, int64_t);
template void Model::pass_hessian<int32_t>(int64_t, int32_t, const int32_t *, int64_t,
                                           const int32_t *, const double *, int64_t);
template void Model::pass_hessian<int64_t>(int64_t, int32_t, const int64_t *, int64_t,
                                           const int64_t *, const double *, int64_t);

}  // namespace se::lin
