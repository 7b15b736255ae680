// Modelling-side index symbols and variable families: their C++ state, which the model reads
// directly; the modules below this layer number elements from a family's shape, which this
// module publishes for them (common/family_shapes.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "instantiate/family_shape.hpp"

namespace zk::encode {

namespace nb = nanobind;

// An index symbol: a name and the source text that a for-all value later evaluates.
struct Index {
    nb::object name_;
    nb::object expression_;
};

using instantiate::ElementFault;

// A named block of Boolean variables over dimensions, numbered row-major from `st_shift_`; its
// shape is what the modules below this layer read of it (common/family_shapes.hpp).
struct VariableFamily : instantiate::FamilyShape {
    nb::object name_;     // the family name as given
    nb::object indexes_;  // the very dimension dictionary given
    std::string name_text_;
};

}  // namespace zk::encode
