// zk_encoder.version: the package version text.
#include "common/module.hpp"

// Compiled in from pyproject.toml's version (CMakeLists.txt), the one place it is written.
#ifndef ZK_VERSION
#error "ZK_VERSION is not defined: build through CMakeLists.txt"
#endif

namespace zk {

constexpr const char *kVersion = ZK_VERSION;

}  // namespace zk

NB_MODULE(version, m) {
    zk::init_module();
    m.attr("zk_version") = zk::kVersion;
}
