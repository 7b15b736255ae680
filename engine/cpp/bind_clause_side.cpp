// Bindings of the engine's clause_side side.
#include "bind.hpp"

namespace se {

void register_clause_side(nb::module_ &m) { (void)m; }

}  // namespace se
