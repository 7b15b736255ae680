// Pseudo-Boolean constraints and the interface every clause encoder of them implements.
//
// An encoder never sees a raw constraint: encode_constraint() merges repeated variables, turns
// negative coefficients into positive ones over negated literals, fixes the literals whose value
// the bounds force and settles the constant cases, so an encoder only handles what is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <vector>

namespace se::pbct {

// One term coefficient * literal; a negative literal -v stands for (1 - v).
struct WeightedTerm {
    int32_t lit_;
    int64_t coef_;
};

// Bounds are wider than coefficients: the constant that negated literals and cancelling
// repeats move a bound by can exceed 64 bits, and a bound beyond it keeps its meaning only when
// it is not cut to 64 bits first.
using Bound = __int128;

// lower <= sum(coef * lit) <= upper; a side that is absent does not constrain.
struct Constraint {
    std::vector<WeightedTerm> terms_;
    bool has_lower_ = false;
    bool has_upper_ = false;
    Bound lower_ = 0;
    Bound upper_ = 0;
};

// Receives the clauses of an encoding, one at a time.
class ClauseSink {
  public:
    virtual ~ClauseSink() = default;
    virtual void add_clause(const int32_t *lits, std::size_t size) = 0;
    void add(std::initializer_list<int32_t> lits) { add_clause(lits.begin(), lits.size()); }
};

// Hands out new variable numbers for auxiliaries.
class AuxSource {
  public:
    virtual ~AuxSource() = default;
    virtual int32_t fresh() = 0;
};

// What encoders receive: lower <= sum(weights[i] * lits[i]) <= upper with all weights > 0,
// 0 <= lower <= upper <= total (the sum of the weights), not both sides trivial, every
// variable at most once and no weight large enough to force its literal.
struct NormalizedConstraint {
    std::vector<int32_t> lits_;
    std::vector<int64_t> weights_;
    int64_t lower_ = 0;
    int64_t upper_ = 0;
    int64_t total_ = 0;
};

class Encoder {
  public:
    virtual ~Encoder() = default;
    virtual void encode(const NormalizedConstraint &c, ClauseSink &sink, AuxSource &aux) = 0;
};

enum class EncoderKind { kAdder };

std::unique_ptr<Encoder> make_encoder(EncoderKind kind);

// The largest sum of absolute coefficients a constraint may have; keeps every intermediate
// value of the encoders inside 64 bits.
constexpr int64_t kMaxCoefficientSum = int64_t{1} << 62;

// Outcome of normalisation: a constant, or units plus (possibly) a residual constraint.
struct Normalized {
    bool never_true_ = false;
    std::vector<int32_t> units_;  // literals the bounds force
    bool has_residual_ = false;
    NormalizedConstraint residual_;
};

// Throws std::overflow_error when the coefficients are too large.
Normalized normalize(const Constraint &c);

// Encodes c into sink: nothing when it always holds, one empty clause when it never holds,
// otherwise clauses satisfiable (with values for the auxiliaries drawn from aux) exactly when
// it holds.
void encode_constraint(const Constraint &c, Encoder &encoder, ClauseSink &sink, AuxSource &aux);

// Raised by LimitedSink when an encoding needs more clauses than allowed.
class ClauseLimitError : public std::runtime_error {
  public:
    explicit ClauseLimitError(int64_t limit);
    int64_t limit() const { return limit_; }

  private:
    int64_t limit_;
};

// Forwards to another sink and stops the encoding once more than `limit` clauses arrive.
class LimitedSink : public ClauseSink {
  public:
    LimitedSink(ClauseSink &inner, int64_t limit) : inner_(inner), limit_(limit) {}
    void add_clause(const int32_t *lits, std::size_t size) override {
        if (++count_ > limit_) throw ClauseLimitError(limit_);
        inner_.add_clause(lits, size);
    }
    int64_t count() const { return count_; }

  private:
    ClauseSink &inner_;
    int64_t limit_;
    int64_t count_ = 0;
};

}  // namespace se::pbct
