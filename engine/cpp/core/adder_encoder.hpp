// Adder-network encoding of pseudo-Boolean constraints.
#pragma once

#include "pb_encoder.hpp"

namespace se::pbct {

// Writes every weight in signed binary digits (non-adjacent form, which has the fewest non-zero
// digits) and drops each literal into the column of each of its digits (its negation for a -1
// digit, the bound moving by that digit's value). Full and half adders reduce every column to one
// output bit, and the output number is compared with the bound bit by bit.
//
// A one-sided bound needs only one direction of the adders: for sum <= k the adder clauses force
// the outputs to represent at least the true sum (7 clauses per full adder instead of 14), for
// sum >= k at most; each side is encoded from the nearer end of the range (sum >= k as the sum
// over the negated literals at most total - k when that bound is the smaller one). A bound
// small beside the sum cuts the network short: carries that would exceed an upper bound are
// fixed false, and columns that alone reach a lower bound are not added up. A side that each
// literal settles alone is one clause. A two-sided bound uses exact adders and two comparators.
class AdderEncoder : public Encoder {
  public:
    void encode(const NormalizedConstraint &c, ClauseSink &sink, AuxSource &aux) override;
};

}  // namespace se::pbct
