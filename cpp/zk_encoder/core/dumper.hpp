// Numbering of instantiated clause templates over plain integer data: auxiliary names read
// back into (kind, index), block arithmetic, map entries and literal order. Python-free, so that
// any way of producing the instances (the evaluated comprehension today, a compiled template
// later) feeds the same numbering and the same writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace zk::core {

constexpr std::string_view kBxprAux = "_bxpr_aux";
constexpr std::string_view kPbctAux = "_pbct_aux";

enum class AuxKind : uint8_t { kPbct, kBxpr };

// The blocks of one record: instance o owns pb + bx numbers from init + o * (pb + bx), the
// pseudo-Boolean auxiliaries first.
struct BlockLayout {
    int64_t init = 0;
    int64_t pb = 0;
    int64_t bx = 0;

    int64_t block_size() const { return pb + bx; }
    int64_t capacity(AuxKind kind) const { return kind == AuxKind::kPbct ? pb : bx; }
    int64_t number(int64_t instance, AuxKind kind, int64_t k) const {
        int64_t base = init + instance * block_size();
        return kind == AuxKind::kPbct ? base + k : base + pb + k;
    }
};

// An auxiliary literal text read back: its kind, the index after the last "_", its sign.
struct AuxName {
    enum class Status { kOk, kNoPrefix, kBadIndex } status = Status::kOk;
    AuxKind kind = AuxKind::kPbct;
    bool negated = false;
    int64_t k = 0;
};

inline bool parse_decimal(std::string_view t, int64_t &out) {
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    if (i == t.size()) return false;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        if (v > (INT64_MAX - 9) / 10) return false;
        v = v * 10 + (t[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

// A text with "~" anywhere is negated and names its remainder after the first character.
inline AuxName parse_aux_name(std::string_view text) {
    AuxName a;
    std::string_view name = text;
    if (text.find('~') != std::string_view::npos) {
        a.negated = true;
        name = text.substr(1);
    }
    if (name.find(kPbctAux) != std::string_view::npos) {
        a.kind = AuxKind::kPbct;
    } else if (name.find(kBxprAux) != std::string_view::npos) {
        a.kind = AuxKind::kBxpr;
    } else {
        a.status = AuxName::Status::kNoPrefix;
        return a;
    }
    size_t us = name.rfind('_');
    if (!parse_decimal(name.substr(us + 1), a.k)) a.status = AuxName::Status::kBadIndex;
    return a;
}

// One auxiliary occurrence to record in the name-to-number map.
struct AuxEntry {
    AuxKind kind;
    int64_t instance;
    int64_t k;
    int64_t number;
};

// The clauses of one record ready for its storage: literal lists back to back, each clause with
// the template position whose weight it carries (or -1 for a hard clause).
struct PreparedClauses {
    std::vector<size_t> begin{0};
    std::vector<int32_t> lits;
    std::vector<int32_t> weight_pos;
    std::vector<AuxEntry> aux;

    size_t size() const { return weight_pos.size(); }

    // Closes the clause whose literals were appended since the last call.
    void close_clause(int32_t weight_position) {
        // Stable by absolute value: a literal and its negation keep the order they were met.
        auto first = lits.begin() + static_cast<std::ptrdiff_t>(begin.back());
        std::stable_sort(first, lits.end(),
                         [](int32_t a, int32_t b) { return std::abs(a) < std::abs(b); });
        begin.push_back(lits.size());
        weight_pos.push_back(weight_position);
    }

    // Drops the clause being built (its weight is 0: it adds nothing to the objective).
    void drop_clause() { lits.resize(begin.back()); }
};

constexpr int64_t kMaxLiteral = INT32_MAX;

}  // namespace zk::core
