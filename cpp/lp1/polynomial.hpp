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

#include "linear/values.hpp"

namespace zk::lp1 {

// The value types are the shared sparse component's.
using linear::Compressed;
using linear::Coo;
using linear::Dtype;
using linear::Entry;
using linear::ExactInt;
using linear::IndexType;
using linear::Number;
using linear::Values;

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

// The constant of an element times k (an int within 64 bits or a float): 0 * k, as the product
// computes it (-0.0 for a negative float).
inline Number times_zero(const Number &k) {
    return scale(constant_polynomial(Number::of_int(0)), k)->constant_;
}

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
