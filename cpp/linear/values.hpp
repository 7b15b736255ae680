// The stored values of sparse rows and arrays as numpy holds them, shared by both linear
// generations: the index dtype, the value dtypes (int32, int64, float64, and the host's own
// numbers entry by entry once an integer leaves int64) with their promotion, a number as the host
// holds it, and sparse arrays in coordinate and compressed form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "linear/exact_int.hpp"

namespace zk::linear {

// numpy's int32 and int64 index arrays: scipy picks the index dtype from the arrays it combines.
enum class IndexType : std::uint8_t { kInt32, kInt64 };

// The index dtype of a result of two operands that may store up to `most` entries: int64 where
// an operand has it or the entries could leave int32.
inline IndexType combined_index(IndexType a, IndexType b, std::size_t most) {
    if (a == IndexType::kInt64 || b == IndexType::kInt64) return IndexType::kInt64;
    return most > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())
               ? IndexType::kInt64
               : IndexType::kInt32;
}

// The dtypes of stored values, in numpy's order of promotion: int32 (what integer variables give
// the second generation), int64 (as a unit expression's [1] gives the first), float64, and object:
// the host's numbers, after an integer left int64 (float64 where they are handed out).
enum class Dtype : std::uint8_t { kInt32, kInt64, kFloat64, kObject };

// The dtype numpy gives a result of two operands: the later of the two in the order above (an
// object operand makes an object result, computed entry by entry as the host computes).
constexpr Dtype promoted(Dtype a, Dtype b) { return a > b ? a : b; }

// The dtype that holds exact integer results: int32 while the operands' own dtype is int32 and
// every result fits it (`fits_int32`), int64 otherwise (results past int64 are the caller's:
// float64 in the second generation, object values in the first).
constexpr Dtype integer_dtype(Dtype least, bool fits_int32) {
    return least == Dtype::kInt32 && fits_int32 ? Dtype::kInt32 : Dtype::kInt64;
}

// One value of an object array: an exact int or a float.
struct Entry {
    bool float_ = false;
    double f_ = 0.0;
    ExactInt x_;

    Entry() = default;
    // Implicit: the arithmetic's templates write T(0) and compare with 0.
    Entry(std::int64_t v) : x_(v) {}  // NOLINT(google-explicit-constructor)
    explicit Entry(ExactInt v) : x_(std::move(v)) {}
    static Entry of_float(double v) {
        Entry e;
        e.float_ = true;
        e.f_ = v;
        return e;
    }
    // The float the host makes of it; an infinity for an int beyond the float range.
    double to_double() const { return float_ ? f_ : x_.to_double(); }
};

// A number as the host holds it: an int (within 64 bits, or exactly beyond: kObject) or a float.
struct Number {
    Dtype type_ = Dtype::kInt64;
    std::int64_t i_ = 0;
    double f_ = 0.0;
    ExactInt x_;  // kObject only: never a value that fits int64

    static Number of_int(std::int64_t v) { return Number{Dtype::kInt64, v, 0.0, {}}; }
    static Number of_float(double v) { return Number{Dtype::kFloat64, 0, v, {}}; }
    // The int64 form when the value fits.
    static Number of_exact(ExactInt v) {
        std::int64_t small = 0;
        if (v.fits_int64(small)) return of_int(small);
        return Number{Dtype::kObject, 0, 0.0, std::move(v)};
    }
    bool is_int() const { return type_ == Dtype::kInt64; }
    bool is_integer() const { return type_ != Dtype::kFloat64; }
    ExactInt exact() const { return type_ == Dtype::kObject ? x_ : ExactInt(i_); }
    Entry entry() const { return is_integer() ? Entry(exact()) : Entry::of_float(f_); }
    // An infinity for an integer beyond the float range (where the host raises).
    double as_double() const {
        switch (type_) {
            case Dtype::kInt64:
                return static_cast<double>(i_);
            case Dtype::kObject:
                return x_.to_double();
            default:
                return f_;
        }
    }
};

// Stored values of one dtype; only the vector of that dtype is used.
struct Values {
    Dtype type_ = Dtype::kInt64;
    std::vector<std::int64_t> ints_;
    std::vector<double> floats_;
    std::vector<Entry> objects_;

    std::size_t size() const {
        switch (type_) {
            case Dtype::kInt32:
            case Dtype::kInt64:
                return ints_.size();
            case Dtype::kObject:
                return objects_.size();
            default:
                return floats_.size();
        }
    }
};

// A sparse array in coordinate form, entries in stored order, each (row, col) at most once.
struct Coo {
    std::int64_t rows_ = 0;
    std::int64_t cols_ = 1;
    IndexType index_ = IndexType::kInt64;
    std::vector<std::int64_t> row_;
    std::vector<std::int64_t> col_;
    Values values_;

    std::size_t nnz() const { return row_.size(); }
};

// Compressed columns (or rows, transposed), as the solver takes the Hessian.
struct Compressed {
    std::int64_t rows_ = 0;
    std::int64_t cols_ = 0;
    IndexType index_ = IndexType::kInt32;
    std::vector<std::int64_t> indptr_;
    std::vector<std::int64_t> indices_;
    Values values_;
};

}  // namespace zk::linear
