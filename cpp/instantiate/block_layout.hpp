// The auxiliary blocks of a record: which number instance o gives its k-th pseudo-Boolean or
// Boolean-expression auxiliary (an auxiliary's literal text is read back by cpp/texts/names.hpp).
// Python-free: both ways of producing instances (the evaluated comprehension and a compiled
// template) number through it.
#pragma once

#include <cstdint>
#include <string_view>

#include "texts/literals.hpp"
#include "texts/names.hpp"

namespace zk::instantiate {

using texts::AuxKind;
using texts::AuxName;
using texts::kBxprAux;
using texts::kMaxLiteral;
using texts::kPbctAux;

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

}  // namespace zk::instantiate
