// Sparse arrays in coordinate form (values.hpp's Coo) with the arithmetic the first generation's
// expressions are made of: products of the stored values with a number and their negation (as
// numpy's `data * k` and `-data` give them), sums and differences (through compressed rows, as
// scipy adds such arrays), the symmetric product of two columns, the compressed-column form, and
// the sum of many arrays in one pass. Results are entry for entry scipy's own: the stored order,
// index and value dtypes, explicit zeros kept by products and dropped by sums.
//
// Integers never wrap: where numpy's int64 loops would (or where an integer beyond 64 bits comes
// in), the values become what numpy's object arrays hold, the host's own numbers entry by entry,
// and come back to int64 (or float64) once every entry fits. Where numpy would warn (a float
// product that overflows or becomes NaN) or the host would raise (an int beyond the float range
// meeting a float), the result is std::nullopt and the caller computes through the host.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "linear/values.hpp"

namespace zk::linear {

// The stored values times k, or negated.
std::optional<Values> scaled_values(const Values &v, const Number &k);
Values negated_values(const Values &v);

// `a` with other stored values of the same structure.
inline Coo with_values(const Coo &a, Values v) {
    Coo out = a;
    out.values_ = std::move(v);
    return out;
}

// a ± b, both grown to the larger extent in each dimension: (a.tocsr() ± b.tocsr()).tocoo().
std::optional<Coo> array_sum(const Coo &a, const Coo &b, bool subtract);

// 0.5 (a bᵀ + b aᵀ) of two columns grown to one shape: the symmetric Q with xᵀQx = (a·x)(b·x).
std::optional<Coo> symmetric_product(const Coo &a, const Coo &b);

// The array in compressed columns, as tocsc(copy=True) gives it.
Compressed compressed_columns(const Coo &a);

// The host's sum of many arrays, step by step a + b as array_sum gives it, computed in one pass
// (the steps themselves would copy the growing sum each time). Until the second array the sum is
// a copy of the first, stored order and explicit zeros included. add() returns false when a step
// has to be left to the host; the sum is then spent.
class ArraySum {
  public:
    ArraySum();
    ~ArraySum();
    ArraySum(const ArraySum &) = delete;
    ArraySum &operator=(const ArraySum &) = delete;

    // Whether the sum has its first array.
    bool present() const;
    void start(const Coo &first);
    bool add(const Coo &item);
    Coo finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zk::linear
