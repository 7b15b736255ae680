// Normalisation of pseudo-Boolean constraints, shared by every encoder.
#include "pb_encoder.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>

#include "adder_encoder.hpp"
#include "texts/format.hpp"

namespace se::pbct {

namespace {

using Wide = __int128;

constexpr const char *kCoefficientSumTooLarge =
    "pseudo-Boolean constraint: the sum of the absolute coefficients exceeds 2**62";

constexpr const char *kLimit =
    "pb2cnf: the encoding of the constraint needs more than {} clauses "
    "(max_clauses_per_constraint); nothing was added";

Wide clamp(Wide v, Wide lo, Wide hi) { return v < lo ? lo : (v > hi ? hi : v); }

// A two-sided constraint may still miss every sum its terms can reach (3a + 5b == 4 after the
// bounds fixed nothing). Deciding that is subset sum, so it is done only where a bitset of the
// reachable sums is cheap; larger constraints are encoded and left to the solver.
constexpr int64_t kReachMaxTotal = int64_t{1} << 16;
constexpr int64_t kReachMaxWork = int64_t{1} << 22;  // weights times 64-bit words

// True when some subset of weights sums into [lower, upper] (0 <= lower <= upper <= total).
bool some_sum_between(const std::vector<std::pair<int32_t, int64_t>> &terms, std::size_t first,
                      int64_t g, int64_t lower, int64_t upper, int64_t total) {
    const std::size_t words = static_cast<std::size_t>(total / 64 + 1);
    std::vector<uint64_t> reach(words, 0);
    reach[0] = 1;
    int64_t high = 0;  // largest sum reached so far
    for (std::size_t i = first; i < terms.size(); ++i) {
        const int64_t w = terms[i].second / g;
        const std::size_t word_shift = static_cast<std::size_t>(w / 64);
        const unsigned bit_shift = static_cast<unsigned>(w % 64);
        high = std::min(total, high + w);
        // reach |= reach << w, from the top down so each sum is used once
        for (std::size_t j = static_cast<std::size_t>(high / 64) + 1; j-- > word_shift;) {
            const std::size_t src = j - word_shift;
            uint64_t moved = reach[src] << bit_shift;
            if (bit_shift != 0 && src > 0) moved |= reach[src - 1] >> (64 - bit_shift);
            reach[j] |= moved;
        }
    }
    for (int64_t v = lower; v <= upper; ++v) {
        if (v % 64 == 0 && v + 63 <= upper && reach[static_cast<std::size_t>(v / 64)] == 0) {
            v += 63;
            continue;
        }
        if ((reach[static_cast<std::size_t>(v / 64)] >> (v % 64)) & 1) return true;
    }
    return false;
}

}  // namespace

ClauseLimitError::ClauseLimitError(int64_t limit)
    : std::runtime_error(zk::texts::format_message(kLimit, limit)), limit_(limit) {}

std::unique_ptr<Encoder> make_encoder(EncoderKind kind) {
    switch (kind) {
        case EncoderKind::kAdder:
            return std::make_unique<AdderEncoder>();
    }
    return nullptr;
}

Normalized normalize(const Constraint &c) {
    Normalized out;

    // Merge by variable: -v with coefficient a is a - a*v.
    std::vector<std::pair<int32_t, Wide>> by_var;
    by_var.reserve(c.terms_.size());
    Wide constant = 0;
    for (const WeightedTerm &t : c.terms_) {
        if (t.coef_ == 0) continue;
        if (t.lit_ > 0) {
            by_var.emplace_back(t.lit_, Wide{t.coef_});
        } else {
            constant += t.coef_;
            by_var.emplace_back(-t.lit_, -Wide{t.coef_});  // -INT64_MIN needs the wider type
        }
    }
    std::stable_sort(by_var.begin(), by_var.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    std::vector<std::pair<int32_t, int64_t>> terms;  // (literal, weight > 0)
    terms.reserve(by_var.size());
    Wide total = 0;
    for (std::size_t i = 0; i < by_var.size();) {
        const int32_t v = by_var[i].first;
        Wide a = 0;
        for (; i < by_var.size() && by_var[i].first == v; ++i) {
            a += by_var[i].second;
            if (a > kMaxCoefficientSum || a < -kMaxCoefficientSum)
                throw std::overflow_error(kCoefficientSumTooLarge);
        }
        if (a == 0) continue;
        // a*v with a < 0 is a + |a| * (1 - v).
        if (a < 0) {
            constant += a;
            terms.emplace_back(-v, static_cast<int64_t>(-a));
        } else {
            terms.emplace_back(v, static_cast<int64_t>(a));
        }
        total += a < 0 ? -a : a;
        if (total > kMaxCoefficientSum) throw std::overflow_error(kCoefficientSumTooLarge);
    }

    // Bounds on the positive-weight sum; outside [0, total] they are clipped.
    Wide lower = c.has_lower_ ? Wide{c.lower_} - constant : 0;
    Wide upper = c.has_upper_ ? Wide{c.upper_} - constant : total;
    lower = clamp(lower, 0, total + 1);
    upper = clamp(upper, -1, total);
    if (lower > upper) {
        out.never_true_ = true;
        return out;
    }

    // Fix literals the bounds force, largest weight first: a weight above `upper` forces its
    // literal false, one above total - lower forces it true. Both thresholds only shrink.
    std::stable_sort(terms.begin(), terms.end(),
                     [](const auto &a, const auto &b) { return a.second > b.second; });
    std::size_t first = 0;
    for (; first < terms.size(); ++first) {
        const int32_t lit = terms[first].first;
        const Wide w = terms[first].second;
        if (w > upper) {
            out.units_.push_back(-lit);
            total -= w;
        } else if (w > total - lower) {
            out.units_.push_back(lit);
            total -= w;
            lower -= w;
            upper -= w;
        } else {
            break;
        }
        if (lower < 0) lower = 0;
        if (lower > total || lower > upper) {
            out.never_true_ = true;
            out.units_.clear();
            return out;
        }
    }
    if (lower == 0 && upper >= total) return out;

    // Dividing by the common factor of the weights makes the adders narrower.
    int64_t g = 0;
    for (std::size_t i = first; i < terms.size(); ++i) g = std::gcd(g, terms[i].second);
    if (g > 1) {
        lower = (lower + g - 1) / g;
        upper = upper / g;
        total /= g;
        if (lower > upper) {
            out.never_true_ = true;
            out.units_.clear();
            return out;
        }
    }
    const int64_t g_div = g > 1 ? g : 1;
    if (lower > 0 && upper < total && total <= kReachMaxTotal &&
        static_cast<int64_t>(terms.size() - first) * (static_cast<int64_t>(total) / 64 + 1) <=
            kReachMaxWork &&
        !some_sum_between(terms, first, g_div, static_cast<int64_t>(lower),
                          static_cast<int64_t>(upper), static_cast<int64_t>(total))) {
        out.never_true_ = true;
        out.units_.clear();
        return out;
    }
    NormalizedConstraint &r = out.residual_;
    r.lits_.reserve(terms.size() - first);
    r.weights_.reserve(terms.size() - first);
    for (std::size_t i = first; i < terms.size(); ++i) {
        r.lits_.push_back(terms[i].first);
        r.weights_.push_back(terms[i].second / g_div);
    }
    r.lower_ = static_cast<int64_t>(lower);
    r.upper_ = static_cast<int64_t>(upper);
    r.total_ = static_cast<int64_t>(total);
    out.has_residual_ = !(r.lower_ == 0 && r.upper_ >= r.total_);
    return out;
}

void encode_constraint(const Constraint &c, Encoder &encoder, ClauseSink &sink, AuxSource &aux) {
    Normalized n = normalize(c);
    if (n.never_true_) {
        sink.add_clause(nullptr, 0);
        return;
    }
    for (int32_t u : n.units_) sink.add_clause(&u, 1);
    if (n.has_residual_) encoder.encode(n.residual_, sink, aux);
}

}  // namespace se::pbct
