// A variable family as numbering reads it: the number of its first element and its row-major
// sizes and strides. Python-free. The modelling layer's families are made of one
// (zk_encoder/encode/variables.hpp); the modules below that layer reach a family's shape through
// common/family_shapes.hpp, without its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zk::instantiate {

// Why an element could not be numbered; kOk when it could.
enum class ElementFault { kOk, kArity, kRange };

struct FamilyShape {
    int64_t st_shift_ = 0;
    std::vector<int64_t> sizes_;
    std::vector<int64_t> strides_;

    // Element number of `values` (one per dimension) in `out`. On kRange, `bad_position` is the
    // first position whose value lies outside 0 .. size - 1.
    ElementFault element_number(const int64_t *values, size_t count, int64_t &out,
                                size_t &bad_position) const {
        if (count != strides_.size()) return ElementFault::kArity;
        int64_t number = st_shift_;
        for (size_t d = 0; d < count; ++d) {
            if (values[d] < 0 || values[d] >= sizes_[d]) {
                bad_position = d;
                return ElementFault::kRange;
            }
            number += values[d] * strides_[d];
        }
        out = number;
        return ElementFault::kOk;
    }
};

}  // namespace zk::instantiate
