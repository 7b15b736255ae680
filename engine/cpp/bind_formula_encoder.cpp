// The engine's formula encoder: encodes a whole model received as variable families and texts.
#include "bind.hpp"

namespace se {

nb::object make_formula_encoder(nb::handle model_name) {
    (void)model_name;
    throw nb::type_error("formula encoder: not available yet");
}

}  // namespace se
