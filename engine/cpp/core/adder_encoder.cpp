// Adder-network encoding: columns of literals per bit, full/half adders, bitwise comparators.
#include "adder_encoder.hpp"

#include <cstddef>
#include <vector>

namespace se::pbct {

namespace {

using Wide = __int128;

// Columns 0..kColumns-1 hold every digit of weights below 2**62 plus the carries out of them.
constexpr std::size_t kColumns = 72;

bool bit(Wide v, std::size_t i) { return i < 127 && ((v >> i) & 1) != 0; }

class Network {
public:
    Network(ClauseSink &sink, AuxSource &aux, bool exact)
        : sink_(sink), aux_(aux), exact_(exact), columns_(kColumns) {}

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

    // Reduces every column to at most one literal; out[i] is bit i (0: constant false).
    std::vector<int32_t> reduce() {
        std::vector<int32_t> out;
        std::size_t top = columns_.size();
        while (top > 0 && columns_[top - 1].empty()) --top;
        for (std::size_t i = 0; i < top; ++i) {
            // Only inner vectors grow, so `col` stays valid.
            std::vector<int32_t> &col = columns_[i];
            std::size_t head = 0;
            while (col.size() - head >= 3) {
                const int32_t a = col[head], b = col[head + 1], c = col[head + 2];
                head += 3;
                const int32_t s = aux_.fresh(), co = aux_.fresh();
                full_adder(a, b, c, s, co);
                col.push_back(s);
                columns_[i + 1].push_back(co);
            }
            if (col.size() - head == 2) {
                const int32_t a = col[head], b = col[head + 1];
                head += 2;
                const int32_t s = aux_.fresh(), co = aux_.fresh();
                half_adder(a, b, s, co);
                col.push_back(s);
                columns_[i + 1].push_back(co);
            }
            out.push_back(col.size() - head == 1 ? col[head] : 0);
            if (i + 1 == top && !columns_[top].empty()) ++top;
        }
        return out;
    }

private:
    // Upward clauses make 2*co + s at least a + b + c; exact ones also at most.
    void full_adder(int32_t a, int32_t b, int32_t c, int32_t s, int32_t co) {
        sink_.add({-a, -b, co});
        sink_.add({-a, -c, co});
        sink_.add({-b, -c, co});
        sink_.add({-a, s, co});
        sink_.add({-b, s, co});
        sink_.add({-c, s, co});
        sink_.add({-a, -b, -c, s});
        if (!exact_) return;
        sink_.add({a, b, -co});
        sink_.add({a, c, -co});
        sink_.add({b, c, -co});
        sink_.add({a, b, c, -s});
        sink_.add({-co, -s, a});
        sink_.add({-co, -s, b});
        sink_.add({-co, -s, c});
    }

    void half_adder(int32_t a, int32_t b, int32_t s, int32_t co) {
        sink_.add({-a, -b, co});
        sink_.add({-a, s, co});
        sink_.add({-b, s, co});
        if (!exact_) return;
        sink_.add({a, -co});
        sink_.add({b, -co});
        sink_.add({a, b, -s});
        sink_.add({-co, -s});
    }

    ClauseSink &sink_;
    AuxSource &aux_;
    bool exact_;
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

// Forbids value(out) < k, the mirror image of at_most.
void at_least(const std::vector<int32_t> &out, Wide k, ClauseSink &sink) {
    if (k <= 0) return;
    if (k >> out.size() != 0) {
        sink.add_clause(nullptr, 0);
        return;
    }
    std::vector<int32_t> above;  // outputs at the 0-bits of k above the current bit
    std::vector<int32_t> clause;
    for (std::size_t i = out.size(); i-- > 0;) {
        if (!bit(k, i)) {
            if (out[i] != 0) above.push_back(out[i]);
        } else {
            clause.clear();
            if (out[i] != 0) clause.push_back(out[i]);
            clause.insert(clause.end(), above.begin(), above.end());
            sink.add_clause(clause.data(), clause.size());
        }
    }
}

}  // namespace

void AdderEncoder::encode(const NormalizedConstraint &c, ClauseSink &sink, AuxSource &aux) {
    const bool upper = c.upper < c.total;
    const bool lower = c.lower > 0;
    const std::size_t n = c.lits.size();
    if (upper && lower) {
        Network net(sink, aux, /*exact=*/true);
        Wide shift = 0;
        for (std::size_t i = 0; i < n; ++i) shift += net.add_term(c.lits[i], c.weights[i]);
        const std::vector<int32_t> out = net.reduce();
        at_most(out, Wide{c.upper} + shift, sink);
        at_least(out, Wide{c.lower} + shift, sink);
        return;
    }
    // sum >= lower  <=>  sum over the negated literals <= total - lower
    const int32_t sign = upper ? 1 : -1;
    const int64_t bound = upper ? c.upper : c.total - c.lower;
    Network net(sink, aux, /*exact=*/false);
    Wide shift = 0;
    for (std::size_t i = 0; i < n; ++i) shift += net.add_term(sign * c.lits[i], c.weights[i]);
    at_most(net.reduce(), Wide{bound} + shift, sink);
}

}  // namespace se::pbct
