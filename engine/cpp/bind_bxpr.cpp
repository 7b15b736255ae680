// Bindings of the engine's bxpr side.
#include "bind.hpp"

namespace se {

void register_bxpr(nb::module_ &m) { (void)m; }

}  // namespace se
