// State of the numeric rows of zk_encoder.linear_parser2._expression. Every field a constructor
// receives is kept as the Python object it was given: the arrays are numpy and scipy objects.
// Rows that element references and the arithmetic of single rows make keep their coefficients as
// a plain row instead (RowCoefs), made into the csr_array when read. Beside them each row and
// block records the variable arrays its columns come from (Origin). Modules that receive rows
// may read the fields through nanobind (bound types are shared across the package's extension
// modules); they build rows only through the Python classes, whose constructors run the module's
// checks, except that indexing a variable array makes its rows (RowCoefs) and blocks of picked
// columns (BlockCoefs::picked) directly and records their origin.
#pragma once

#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/arrays.hpp"
#include "common/module.hpp"
#include "linear/sparse_row.hpp"

namespace zk::lp2 {

namespace nb = nanobind;

// The variable arrays whose columns a row or block holds, each once (by identity), so that a
// model can refuse another model's variables before the engine sees them. A row made from arrays
// directly (by its constructor, or from a pickled state) has none: a null pointer, or `others_`
// once it is combined with rows that have them; a model checks those columns by their numbers
// alone. The references keep the arrays alive, so an identity is never taken by another array;
// the collector is not shown them (an array refers to no row, so they close no cycle of the
// library's own).
struct Origin {
    std::vector<nb::object> arrays_;  // ordered by address
    bool others_ = false;             // also columns of no known array
};
using OriginPtr = std::shared_ptr<const Origin>;

// The origin of the rows of one variable array.
inline OriginPtr origin_of_array(nb::handle array) {
    auto o = std::make_shared<Origin>();
    o->arrays_.push_back(nb::borrow(array));
    return o;
}

// A message of both the blocks' comparisons and the model's bound vectors.
inline constexpr const char *kBorderSize =
    "The size of the border must match the number of constraints.";

// Arrays of the library's values go out through the one maker.
using arrays::numpy_of;

// The coefficients of a row that element references and the arithmetic of single rows make:
// kept as a plain row, and made into the csr_array once, when a program first reads them (the
// arrays the sparse library's own operations would have given), then kept, so every read gives
// the same object. Rows made from one another share it.
// A model hands the engine the stored values and column indices as numpy arrays (made once),
// and the matrix made later holds those same arrays, as it would had it been made first.
struct RowCoefs;
inline nb::object row_values(const linear::SparseRow &r);
inline nb::object row_indices(const std::vector<int32_t> &v, linear::IndexType index);

struct RowCoefs {
    linear::SparseRow row_;
    mutable nb::object matrix_;
    mutable nb::object values_, indices_;

    nb::object values() const {
        if (!values_.is_valid()) values_ = row_values(row_);
        return values_;
    }
    nb::object indices() const {
        if (!indices_.is_valid()) indices_ = row_indices(row_.cols_, row_.index_);
        return indices_;
    }
};
using RowCoefsPtr = std::shared_ptr<const RowCoefs>;

// The stored values and the column indices of a plain row as numpy arrays of its dtypes.
inline nb::object row_values(const linear::SparseRow &r) {
    switch (r.width_) {
        case linear::Dtype::kInt32:
            return numpy_of(std::vector<int32_t>(r.ints_.begin(), r.ints_.end()));
        case linear::Dtype::kInt64:
            return numpy_of(std::vector<int64_t>(r.ints_));
        default:
            return numpy_of(std::vector<double>(r.reals_));
    }
}

inline nb::object row_indices(const std::vector<int32_t> &v, linear::IndexType index) {
    if (index == linear::IndexType::kInt32) return numpy_of(std::vector<int32_t>(v));
    return numpy_of(std::vector<int64_t>(v.begin(), v.end()));
}

// One affine row over all solver columns, with an optional quadratic part and bounds.
struct LinearExpression {
    nb::object constant_;                // a number
    nb::object linear_coefficients_;     // 1-D csr_array of length N; invalid while coefs_ is set
    nb::object quadratic_coefficients_;  // None or an N x N csc_array
    nb::object lower_bound_;             // None or the bound
    nb::object upper_bound_;             // None or the bound
    OriginPtr origin_;
    RowCoefsPtr coefs_;  // the coefficients as a plain row, or null
};

// A new LinearExpression holding `r`, as nb::cast gives it, without the type and address look-ups
// of the cast: the rows stated one term at a time make one of these at every step.
inline nb::object new_row(LinearExpression &&r) {
    static const nb::handle type = nb::type<LinearExpression>();
    nb::object inst = nb::inst_alloc(type);
    new (nb::inst_ptr<LinearExpression>(inst)) LinearExpression(std::move(r));
    nb::inst_mark_ready(inst);
    return inst;
}

// The coefficient matrix of a block. A program that adds up many blocks (a transport model's
// rows are sums of a thousand columns each) would otherwise pay the sparse library's fixed cost
// on every block and every sum; so the blocks that indexing makes, and sums and differences of
// them, are kept as plain arrays and a tree of operations, and the matrix is made once, when it
// is first read, with exactly the arrays the sparse library's own sums would have given (integer
// sums exact where the library's would wrap around). Once made it is kept: every read gives that
// same object.
struct BlockCoefs {
    enum class Kind { kMatrix, kPicked, kSum };
    using Ptr = std::shared_ptr<const BlockCoefs>;

    Kind kind_ = Kind::kMatrix;
    // kMatrix: the matrix as given (any object). Otherwise the matrix once made.
    mutable nb::object matrix_;
    // kPicked and kSum: rows x width, float64 values (else integers), an upper bound on the stored
    // entries.
    int64_t rows_ = 0, width_ = 0, stored_ = 0;
    bool float_ = false;
    // kPicked: row r holds the value 1 at column cols_[r].
    std::vector<int32_t> cols_;
    // kSum: left_ + right_, or left_ - right_.
    Ptr left_, right_;
    bool minus_ = false;

    static std::shared_ptr<BlockCoefs> matrix(nb::object m) {
        auto c = std::make_shared<BlockCoefs>();
        c->matrix_ = std::move(m);
        return c;
    }

    // Rows of one value 1 each (float64 or int32), at the given columns of `width`.
    static std::shared_ptr<BlockCoefs> picked(std::vector<int32_t> cols, int64_t width,
                                              bool is_float) {
        auto c = std::make_shared<BlockCoefs>();
        c->kind_ = Kind::kPicked;
        c->rows_ = static_cast<int64_t>(cols.size());
        c->width_ = width;
        c->stored_ = c->rows_;
        c->float_ = is_float;
        c->cols_ = std::move(cols);
        return c;
    }

    // Not yet a Python object: may take part in further sums without one.
    bool lazy() const { return kind_ != Kind::kMatrix && !matrix_.is_valid(); }

    BlockCoefs() = default;
    BlockCoefs(const BlockCoefs &) = delete;
    BlockCoefs &operator=(const BlockCoefs &) = delete;

    // A program that adds blocks one by one with the host's sum() makes a chain as long as the
    // number of blocks: it is taken apart here without recursion.
    ~BlockCoefs() {
        std::vector<Ptr> pending;
        auto take = [&pending](Ptr &p) {
            if (p) pending.push_back(std::move(p));
        };
        take(left_);
        take(right_);
        while (!pending.empty()) {
            Ptr p = std::move(pending.back());
            pending.pop_back();
            if (p.use_count() == 1) {
                auto *owned = const_cast<BlockCoefs *>(p.get());
                take(owned->left_);
                take(owned->right_);
            }
        }
    }
};

// A block of k rows: a (k, N) csr_array, one constant and optionally one bound per row.
struct LinearExpressionsArr {
    nb::object constants_;                     // 1-D numpy array, one entry per row
    std::shared_ptr<const BlockCoefs> coefs_;  // the 2-D csr_array, or how to make it
    nb::object lower_bounds_;                  // None or 1-D numpy array
    nb::object upper_bounds_;                  // None or 1-D numpy array
    nb::object is_init_;  // true: `sum` adds the stored values by column directly
    OriginPtr origin_;
};

}  // namespace zk::lp2
