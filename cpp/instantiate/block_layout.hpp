// The auxiliary blocks of a record: which number instance o gives its k-th pseudo-Boolean or
// Boolean-expression auxiliary, and how an auxiliary's literal text reads back into (kind, index).
// Python-free: both ways of producing instances (the evaluated comprehension and a compiled
// template) number through it.
#pragma once

#include <cstdint>
#include <string_view>

namespace zk::instantiate {

constexpr std::string_view kBxprAux = "_bxpr_aux";
constexpr std::string_view kPbctAux = "_pbct_aux";

// The largest variable number a clause literal may carry.
constexpr int64_t kMaxLiteral = INT32_MAX;

enum class AuxKind : uint8_t { kPbct, kBxpr };

// Instance o owns pb + bx numbers from init + o * (pb + bx), the pseudo-Boolean auxiliaries first.
struct BlockLayout {
    int64_t init_ = 0;
    int64_t pb_ = 0;
    int64_t bx_ = 0;

    int64_t block_size() const { return pb_ + bx_; }
    int64_t capacity(AuxKind kind) const { return kind == AuxKind::kPbct ? pb_ : bx_; }
    // Where the kind's auxiliaries start inside a block.
    int64_t offset(AuxKind kind) const { return kind == AuxKind::kPbct ? 0 : pb_; }
    int64_t number(int64_t instance, AuxKind kind, int64_t k) const {
        return init_ + instance * block_size() + offset(kind) + k;
    }
};

// An auxiliary literal text read back: its kind, the index after the last "_", its sign.
struct AuxName {
    enum class Status { kOk, kNoPrefix, kBadIndex } status_ = Status::kOk;
    AuxKind kind_ = AuxKind::kPbct;
    bool negated_ = false;
    int64_t k_ = 0;
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
        a.negated_ = true;
        name = text.substr(1);
    }
    if (name.find(kPbctAux) != std::string_view::npos) {
        a.kind_ = AuxKind::kPbct;
    } else if (name.find(kBxprAux) != std::string_view::npos) {
        a.kind_ = AuxKind::kBxpr;
    } else {
        a.status_ = AuxName::Status::kNoPrefix;
        return a;
    }
    size_t us = name.rfind('_');
    if (!parse_decimal(name.substr(us + 1), a.k_)) a.status_ = AuxName::Status::kBadIndex;
    return a;
}

}  // namespace zk::instantiate
