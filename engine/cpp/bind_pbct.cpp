// Bindings of the engine's pbct side.
#include "bind.hpp"

namespace se {

void register_pbct(nb::module_ &m) { (void)m; }

}  // namespace se
