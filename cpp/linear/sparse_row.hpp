// One sparse row of coefficients over the solver's columns, in plain C++, with the arithmetic of
// single rows: what a 1-D compressed sparse row array holds (columns, values with their dtype,
// the index dtype, the row's length) and its sums, differences, products with a number and
// negation, entry for entry as the sparse library and numpy give them for rows in canonical form
// (columns ascending, none repeated): the stored order, the dtypes numpy promotes to, explicit
// zeros kept by products and dropped by sums. Integer values never wrap: they are computed
// exactly, and take the narrowest of the operands' dtype, int64 and float64 that holds them, as
// the library's exact arithmetic defines. Where the library would refuse or warn (a real result
// that is no longer finite) or where the operands lie outside this form, the result is
// std::nullopt and the caller computes through the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "linear/kernels.hpp"
#include "linear/values.hpp"

namespace zk::linear {

struct SparseRow {
    std::int64_t length_ = 0;              // the row's shape: (length_,)
    IndexType index_ = IndexType::kInt64;  // the dtype of the index and pointer arrays
    Dtype width_ = Dtype::kInt32;          // the dtype of the stored values
    std::vector<std::int32_t> cols_;       // ascending, none repeated
    std::vector<std::int64_t> ints_;       // the values of an integer width
    std::vector<double> reals_;            // the values of kFloat64

    std::size_t nnz() const { return cols_.size(); }
    bool real() const { return width_ == Dtype::kFloat64; }
};

// The row of one column: the value 1 (float64 or int32) at `col` of a row of `length`, with the
// index dtype the sparse library gives such a row.
inline SparseRow unit_row(std::int32_t col, std::int64_t length, bool real, IndexType index) {
    SparseRow r;
    r.length_ = length;
    r.index_ = index;
    r.cols_.push_back(col);
    if (real) {
        r.width_ = Dtype::kFloat64;
        r.reals_.push_back(1.0);
    } else {
        r.width_ = Dtype::kInt32;
        r.ints_.push_back(1);
    }
    return r;
}

// a + b or a - b; std::nullopt for rows of different lengths or a real result past the float
// range.
std::optional<SparseRow> merged_rows(const SparseRow &a, const SparseRow &b, bool minus);

// k · a for a host integer within 64 bits or a float (finite); std::nullopt for a real result
// past the float range.
std::optional<SparseRow> scaled_row(const SparseRow &a, std::int64_t k);
std::optional<SparseRow> scaled_row(const SparseRow &a, double k);

// -a.
SparseRow negated_row(const SparseRow &a);

}  // namespace zk::linear
