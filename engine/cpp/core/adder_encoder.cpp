// Adder-network encoding: columns of literals per bit, full/half adders, bitwise comparators.
#include "adder_encoder.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace se::pbct {

namespace {

using Wide = __int128;

// Columns 0..kColumns-1 hold every digit of weights below 2**62 plus the carries out of them.
constexpr std::size_t kColumns = 72;

bool bit(Wide v, std::size_t i) { return i < 127 && ((v >> i) & 1) != 0; }

std::size_t bit_length(Wide v) {
    std::size_t n = 0;
    for (; v > 0; v >>= 1) ++n;
    return n;
}

// Low bits of k that are all 1: at_most never reads the outputs there (no 0-bit lies below).
std::size_t trailing_ones(Wide k) {
    std::size_t n = 0;
    for (; (k & 1) != 0; k >>= 1) ++n;
    return n;
}

// Every wire of the network is a literal worth 2^column when true, and the network's value is
// the constraint's sum plus the shift of the -1 digits. So for value <= k a true wire in a
// column at or above bit_length(k) is impossible, and in an exact evaluation of the adders a
// carry is true only when the wires it stands for are: the carries into those columns are
// false in every model worth having and are fixed false instead of drawn. A full adder with a
// false carry says "at most one of a, b, c" and its sum is their disjunction.
// For value >= k the mirror holds: one true wire in a column at or above bit_length(k - 1)
// already makes the value at least k, so those columns are not added up at all.
enum class Direction { kUp, kDown, kExact };

class Network {
  public:
    Network(ClauseSink &sink, AuxSource &aux, Direction direction)
        : sink_(sink),
          aux_(aux),
          up_(direction != Direction::kDown),
          down_(direction != Direction::kUp),
          columns_(kColumns) {}

    // Adds weight * lit; returns the constant the network's value exceeds the sum by.
    Wide add_term(int32_t lit, int64_t weight) {
        Wide shift = 0;
        std::size_t j = 0;
        int64_t w = weight;
        while (w != 0) {
            if (w & 1) {
                const int64_t digit = 2 - (w & 3);  // +1 or -1
                if (digit > 0) {
                    columns_[j].push_back(lit);
                } else {
                    // -2^j * lit = 2^j * (1 - lit) - 2^j
                    columns_[j].push_back(-lit);
                    shift += Wide{1} << j;
                }
                w -= digit;
            }
            w >>= 1;
            ++j;
        }
        return shift;
    }

    // Reduces every column below `stop` to at most one literal; out[i] is bit i (0: constant
    // false, or not read). Carries into columns >= carry_limit are fixed false (upward and
    // exact adders only, and only where the value is bounded below 2^carry_limit). The
    // outputs below unused_below are not read by the comparator, so the last adder of such a
    // column draws no sum: in one-way adders a sum occurs in one polarity only, and leaving it
    // out keeps the models' projection.
    std::vector<int32_t> reduce(std::size_t carry_limit, std::size_t unused_below,
                                std::size_t stop = kColumns) {
        std::vector<int32_t> out;
        std::size_t top = columns_.size();
        while (top > 0 && columns_[top - 1].empty()) --top;
        for (std::size_t i = 0; i < top && i < stop; ++i) {
            // Only inner vectors grow, so `col` stays valid.
            std::vector<int32_t> &col = columns_[i];
            const bool carry_false = up_ && i + 1 >= carry_limit;
            const bool drop_last_sum = !(up_ && down_) && i < unused_below;
            std::size_t head = 0;
            while (col.size() - head >= 2) {
                const std::size_t take = col.size() - head >= 3 ? 3 : 2;
                const bool last = col.size() - head == take;
                const int32_t s = last && drop_last_sum ? 0 : aux_.fresh();
                const int32_t co = carry_false ? 0 : aux_.fresh();
                if (take == 3)
                    full_adder(col[head], col[head + 1], col[head + 2], s, co);
                else
                    half_adder(col[head], col[head + 1], s, co);
                head += take;
                if (s != 0) col.push_back(s);
                if (co != 0) columns_[i + 1].push_back(co);
            }
            out.push_back(col.size() - head == 1 ? col[head] : 0);
            if (i + 1 == top && !columns_[top].empty()) ++top;
        }
        return out;
    }

    // Every wire left in the columns from `first` up (after reduce() stopped there).
    std::vector<int32_t> wires_from(std::size_t first) const {
        std::vector<int32_t> wires;
        for (std::size_t i = first; i < columns_.size(); ++i)
            wires.insert(wires.end(), columns_[i].begin(), columns_[i].end());
        return wires;
    }

  private:
    // Upward clauses make 2*co + s at least a + b + c, downward ones at most.
    // co == 0: the carry is false (upward and exact only). s == 0: no sum (one-way only).
    void full_adder(int32_t a, int32_t b, int32_t c, int32_t s, int32_t co) {
        if (up_) {
            if (co == 0) {
                // With a false carry "a, b and c" is already excluded by the pairs.
                sink_.add({-a, -b});
                sink_.add({-a, -c});
                sink_.add({-b, -c});
                if (s != 0) {
                    sink_.add({-a, s});
                    sink_.add({-b, s});
                    sink_.add({-c, s});
                }
            } else {
                sink_.add({-a, -b, co});
                sink_.add({-a, -c, co});
                sink_.add({-b, -c, co});
                if (s != 0) {
                    sink_.add({-a, s, co});
                    sink_.add({-b, s, co});
                    sink_.add({-c, s, co});
                    sink_.add({-a, -b, -c, s});
                }
            }
        }
        if (!down_) return;
        if (co != 0) {
            sink_.add({a, b, -co});
            sink_.add({a, c, -co});
            sink_.add({b, c, -co});
        }
        if (s == 0) return;
        sink_.add({a, b, c, -s});
        if (co == 0) return;
        sink_.add({-co, -s, a});
        sink_.add({-co, -s, b});
        sink_.add({-co, -s, c});
    }

    void half_adder(int32_t a, int32_t b, int32_t s, int32_t co) {
        if (up_) {
            if (co == 0) {
                sink_.add({-a, -b});
                if (s != 0) {
                    sink_.add({-a, s});
                    sink_.add({-b, s});
                }
            } else {
                sink_.add({-a, -b, co});
                if (s != 0) {
                    sink_.add({-a, s, co});
                    sink_.add({-b, s, co});
                }
            }
        }
        if (!down_) return;
        if (co != 0) {
            sink_.add({a, -co});
            sink_.add({b, -co});
        }
        if (s == 0) return;
        sink_.add({a, b, -s});
        if (co != 0) sink_.add({-co, -s});
    }

    ClauseSink &sink_;
    AuxSource &aux_;
    bool up_;
    bool down_;
    std::vector<std::vector<int32_t>> columns_;
};

// Forbids value(out) > k: for every 0-bit i of k, out[i] may be 1 only when some 1-bit of k
// above i meets a 0 in out. A constant-false output there satisfies the clause for good.
void at_most(const std::vector<int32_t> &out, Wide k, ClauseSink &sink) {
    if (k < 0) {
        sink.add_clause(nullptr, 0);
        return;
    }
    if (k >> out.size() != 0) return;  // above every value the outputs can take
    std::vector<int32_t> above;        // negated outputs at the 1-bits of k above the current bit
    bool satisfied = false;
    std::vector<int32_t> clause;
    for (std::size_t i = out.size(); i-- > 0;) {
        if (bit(k, i)) {
            if (out[i] == 0)
                satisfied = true;
            else
                above.push_back(-out[i]);
        } else if (out[i] != 0 && !satisfied) {
            clause.assign(1, -out[i]);
            clause.insert(clause.end(), above.begin(), above.end());
            sink.add_clause(clause.data(), clause.size());
        }
    }
}

// Forbids value(out) < k, the mirror image of at_most. Each clause also holds when one of
// `high` is true (wires worth at least k each, left out of the outputs).
void at_least(const std::vector<int32_t> &out, Wide k, const std::vector<int32_t> &high,
              ClauseSink &sink, AuxSource &aux) {
    if (k <= 0) return;
    std::vector<std::vector<int32_t>> clauses;
    if (k >> out.size() != 0) {
        clauses.emplace_back();
    } else {
        std::vector<int32_t> above;  // outputs at the 0-bits of k above the current bit
        for (std::size_t i = out.size(); i-- > 0;) {
            if (!bit(k, i)) {
                if (out[i] != 0) above.push_back(out[i]);
            } else {
                std::vector<int32_t> &clause = clauses.emplace_back();
                if (out[i] != 0) clause.push_back(out[i]);
                clause.insert(clause.end(), above.begin(), above.end());
            }
        }
    }
    // One auxiliary standing for "some high wire" keeps several clauses short.
    if (clauses.size() > 1 && high.size() > 1) {
        const int32_t h = aux.fresh();
        std::vector<int32_t> some_high(1, -h);
        some_high.insert(some_high.end(), high.begin(), high.end());
        sink.add_clause(some_high.data(), some_high.size());
        for (std::vector<int32_t> &clause : clauses) clause.push_back(h);
    } else {
        for (std::vector<int32_t> &clause : clauses)
            clause.insert(clause.end(), high.begin(), high.end());
    }
    for (const std::vector<int32_t> &clause : clauses)
        sink.add_clause(clause.data(), clause.size());
}

// sum(weights[i] * (sign * lits[i])) <= bound with upward adders.
void one_way_at_most(const NormalizedConstraint &c, int32_t sign, int64_t bound, ClauseSink &sink,
                     AuxSource &aux) {
    Network net(sink, aux, Direction::kUp);
    Wide shift = 0;
    for (std::size_t i = 0; i < c.lits_.size(); ++i)
        shift += net.add_term(sign * c.lits_[i], c.weights_[i]);
    const Wide k = Wide{bound} + shift;
    at_most(net.reduce(bit_length(k), trailing_ones(k)), k, sink);
}

// sum(weights[i] * (sign * lits[i])) >= bound with downward adders, bound > 0. The outputs
// below the lowest 1-bit of the bound are never read.
void one_way_at_least(const NormalizedConstraint &c, int32_t sign, int64_t bound, ClauseSink &sink,
                      AuxSource &aux) {
    Network net(sink, aux, Direction::kDown);
    Wide shift = 0;
    for (std::size_t i = 0; i < c.lits_.size(); ++i)
        shift += net.add_term(sign * c.lits_[i], c.weights_[i]);
    const Wide k = Wide{bound} + shift;
    const std::size_t saturated = bit_length(k - 1);  // 2^saturated >= k
    const std::vector<int32_t> out = net.reduce(kColumns, trailing_ones(~k), saturated);
    at_least(out, k, net.wires_from(saturated), sink, aux);
}

// The clause "some sign * lits[i] is true".
void some_literal(const NormalizedConstraint &c, int32_t sign, ClauseSink &sink) {
    std::vector<int32_t> clause(c.lits_.size());
    for (std::size_t i = 0; i < c.lits_.size(); ++i) clause[i] = sign * c.lits_[i];
    sink.add_clause(clause.data(), clause.size());
}

// sum(weights[i] * (sign * lits[i])) >= bound, 0 < bound < total: one clause when every
// weight reaches the bound, else the adders of whichever bound is smaller: at least `bound`
// with downward adders, or at most total - bound over the negated literals with upward ones.
void one_side_at_least(const NormalizedConstraint &c, int32_t sign, int64_t bound,
                       int64_t least_weight, ClauseSink &sink, AuxSource &aux) {
    if (least_weight >= bound)
        some_literal(c, sign, sink);
    else if (bound < c.total_ - bound)
        one_way_at_least(c, sign, bound, sink, aux);
    else
        one_way_at_most(c, -sign, c.total_ - bound, sink, aux);
}

}  // namespace

void AdderEncoder::encode(const NormalizedConstraint &c, ClauseSink &sink, AuxSource &aux) {
    const bool upper = c.upper_ < c.total_;
    const bool lower = c.lower_ > 0;
    const std::size_t n = c.lits_.size();
    // A side that every single literal settles is one clause: sum >= lower when no weight is
    // below lower is "some literal true"; sum <= upper when no weight is below total - upper
    // (the sum over the negated literals at least that) is "some literal false".
    const int64_t least = n == 0 ? 0 : *std::min_element(c.weights_.begin(), c.weights_.end());
    const bool lower_clause = lower && least >= c.lower_;
    const bool upper_clause = upper && least >= c.total_ - c.upper_;
    if (upper && lower && !lower_clause && !upper_clause) {
        Network net(sink, aux, Direction::kExact);
        Wide shift = 0;
        for (std::size_t i = 0; i < n; ++i) shift += net.add_term(c.lits_[i], c.weights_[i]);
        const Wide high = Wide{c.upper_} + shift;
        const std::vector<int32_t> out = net.reduce(bit_length(high), 0);
        at_most(out, high, sink);
        at_least(out, Wide{c.lower_} + shift, {}, sink, aux);
        return;
    }
    if (lower) one_side_at_least(c, 1, c.lower_, least, sink, aux);
    // sum <= upper  <=>  sum over the negated literals >= total - upper
    if (upper) one_side_at_least(c, -1, c.total_ - c.upper_, least, sink, aux);
}

}  // namespace se::pbct
