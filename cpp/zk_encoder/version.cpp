// zk_encoder.version: the package version text.
#include "common/module.hpp"

// Compiled in from pyproject.toml's version (CMakeLists.txt), the one place it is written.
#ifndef ZK_VERSION
#error "ZK_VERSION is not defined: build through CMakeLists.txt"
#endif

namespace zk {

namespace {

constexpr const char *kVersion = ZK_VERSION;

void bind_module(nb::module_ &m) {
    init_module();
    m.attr("zk_version") = kVersion;
}

}  // namespace

}  // namespace zk

ZK_MODULE(version, m) { zk::bind_module(m); }
