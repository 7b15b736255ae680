// What a first-generation numeric linear expression is, in plain C++: a constant, a sparse column
// of coefficients over global columns and an optional quadratic part Q, with the arithmetic that
// combines them.
//
// The library defines these results through scipy's sparse operations (conversion to compressed
// rows, the compressed sum that drops zero results, the sparse product, the order in which
// entries are stored, the dtypes numpy promotes to). The functions here reproduce those results
// entry for entry, so an expression computed here and one computed by scipy are the same arrays;
// the module turns them into scipy objects only where a program reads them.
//
// The form holds integer constants of any size and floats, values of dtype int64 or float64, and
// sparse arrays whose entries are unique. Integers never wrap: where numpy's int64 loops would
// (or where an integer beyond 64 bits comes in), the values become what numpy's object arrays
// hold, the host's own numbers entry by entry (exact ints, and floats where a float came in), and
// go out as float64, the widest type the sparse library holds; they come back to int64 (or
// float64) once every entry fits. An operation on which numpy would warn (a float product that
// overflows or becomes NaN), or on which the host would raise (an int beyond the float range
// meeting a float), returns std::nullopt, and the caller computes it through the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lp1/exact_int.hpp"

namespace zk::lp1 {

// numpy's int32 and int64 index arrays: scipy picks the index dtype from the arrays it combines.
enum class IndexType : std::uint8_t { kInt32, kInt64 };

// The dtypes of stored values: int64 (as a unit expression's [1] gives), float64, and object:
// the host's numbers, after an integer left int64 (float64 where they are handed out).
enum class ValueType : std::uint8_t { kInt64, kFloat64, kObject };

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
    ValueType type_ = ValueType::kInt64;
    std::int64_t i_ = 0;
    double f_ = 0.0;
    ExactInt x_;  // kObject only: never a value that fits int64

    static Number of_int(std::int64_t v) { return Number{ValueType::kInt64, v, 0.0, {}}; }
    static Number of_float(double v) { return Number{ValueType::kFloat64, 0, v, {}}; }
    // The int64 form when the value fits.
    static Number of_exact(ExactInt v) {
        std::int64_t small = 0;
        if (v.fits_int64(small)) return of_int(small);
        return Number{ValueType::kObject, 0, 0.0, std::move(v)};
    }
    bool is_int() const { return type_ == ValueType::kInt64; }
    bool is_integer() const { return type_ != ValueType::kFloat64; }
    ExactInt exact() const { return type_ == ValueType::kObject ? x_ : ExactInt(i_); }
    Entry entry() const { return is_integer() ? Entry(exact()) : Entry::of_float(f_); }
    // An infinity for an integer beyond the float range (where the host raises).
    double as_double() const {
        switch (type_) {
            case ValueType::kInt64:
                return static_cast<double>(i_);
            case ValueType::kObject:
                return x_.to_double();
            default:
                return f_;
        }
    }
};

// Stored values of one dtype; only the vector of that dtype is used.
struct Values {
    ValueType type_ = ValueType::kInt64;
    std::vector<std::int64_t> ints_;
    std::vector<double> floats_;
    std::vector<Entry> objects_;

    std::size_t size() const {
        switch (type_) {
            case ValueType::kInt64:
                return ints_.size();
            case ValueType::kObject:
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

struct Polynomial {
    Number constant_;
    Coo linear_;  // shape (n, 1)
    std::optional<Coo> quadratic_;
};

// The unit expression of global column g: the value 1 (int64) at row g of a column of g + 1 rows,
// as coo_array(([1], ([g], [0]))) holds it.
inline Polynomial unit_polynomial(std::int64_t g) {
    Polynomial p;
    p.linear_.rows_ = g + 1;
    p.linear_.row_.push_back(g);
    p.linear_.col_.push_back(0);
    p.linear_.values_.ints_.push_back(1);
    return p;
}

// A sum of numbers only: that number, no coefficients (a column of no rows), no quadratic part.
inline Polynomial constant_polynomial(Number c) {
    Polynomial p;
    p.constant_ = c;
    p.linear_.rows_ = 0;
    return p;
}

// +e, -e, e ± f, e ± k, k × e, e × f. The product requires both factors without a quadratic part.
Polynomial positive(const Polynomial &e);
std::optional<Polynomial> negative(const Polynomial &e);
std::optional<Polynomial> add(const Polynomial &e, const Polynomial &f, bool subtract);
std::optional<Polynomial> add(const Polynomial &e, Number k, bool subtract);
std::optional<Polynomial> scale(const Polynomial &e, Number k);
std::optional<Polynomial> multiply(const Polynomial &e, const Polynomial &f);

// One item of a sum: an expression, or (when `expression_` is null) a number.
struct SumItem {
    const Polynomial *expression_ = nullptr;
    Number number_;
};

// The host's builtin sum of the items, start 0, every step computed as the operators above
// compute it, in one pass (the steps themselves would copy the growing sum each time). Without
// any expression among the items the result is a number. std::nullopt when a step is left to the
// host.
struct SumResult {
    std::optional<Polynomial> expression_;
    Number number_;
};
std::optional<SumResult> sum_items(const std::vector<SumItem> &items);

// The same sum fed one item at a time, so that a long sum need not hold all its items at once.
// add() returns false when a step has to be left to the host (see the top of this file); the
// builder is then spent.
class SumBuilder {
  public:
    SumBuilder();
    ~SumBuilder();
    SumBuilder(const SumBuilder &) = delete;
    SumBuilder &operator=(const SumBuilder &) = delete;
    bool add(const SumItem &item);
    SumResult finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// 2Q in compressed sparse column form, as Q.tocsc(copy=True) times 2 gives it; std::nullopt when
// doubling a value overflows (numpy warns then).
std::optional<Compressed> hessian(const Coo &q);

}  // namespace zk::lp1
