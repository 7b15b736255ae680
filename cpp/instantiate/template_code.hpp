// A record's clause template in integer form: its literal texts read once, so that every for-all
// instance is numbered without evaluating anything. Python-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instantiate/block_layout.hpp"
#include "instantiate/family_shape.hpp"

namespace zk::instantiate {

// An index value as constant + sum of coef * value of a for-all keyword (its slot).
struct AffineTerm {
    uint32_t slot_;
    int64_t coef_;
};

struct Affine {
    int64_t constant_ = 0;
    uint32_t first_term_ = 0;
    uint32_t term_count_ = 0;
};

enum class LitForm : uint8_t { kElement, kValue, kAux };

struct LitCode {
    LitForm form_ = LitForm::kValue;
    bool negated_ = false;
    AuxKind aux_kind_ = AuxKind::kPbct;
    uint32_t family_ = 0;       // kElement
    uint32_t first_index_ = 0;  // kElement: its index values; kValue: the literal's own value
    uint32_t index_count_ = 0;
    int64_t aux_k_ = 0;  // kAux
};

struct TemplateCode {
    std::vector<std::string> slot_names_;  // the for-all keywords, outermost first
    std::vector<FamilyShape> families_;
    std::vector<Affine> affines_;
    std::vector<AffineTerm> terms_;
    std::vector<LitCode> lits_;
    std::vector<uint32_t> clause_begin_{0};

    size_t clause_count() const { return clause_begin_.size() - 1; }
};

namespace detail {

inline bool checked_add(int64_t a, int64_t b, int64_t &out) {
    return !__builtin_add_overflow(a, b, &out);
}
inline bool checked_mul(int64_t a, int64_t b, int64_t &out) {
    return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace detail

}  // namespace zk::instantiate
