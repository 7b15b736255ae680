// Modelling-side index symbols and variable families: their C++ state, shared with the formula
// layer so that a native instantiation path can number elements without calling into Python.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zk::encode {

namespace nb = nanobind;

// An index symbol: a name and the source text that a for-all value later evaluates.
struct Index {
    nb::object name_;
    nb::object expression_;
};

// Why an element could not be numbered; kOk when it could.
enum class ElementFault { kOk, kArity, kRange };

// A named block of Boolean variables over dimensions, numbered row-major from `st_shift_`.
struct VariableFamily {
    nb::object name_;     // the family name as given
    nb::object indexes_;  // the very dimension dictionary given
    std::string name_text_;
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

}  // namespace zk::encode
