// zk_encoder.version: the package version text.
#include "common/module.hpp"

namespace zk {

constexpr const char *kVersion = "0.2.5.2048";

}  // namespace zk

NB_MODULE(version, m) {
    zk::init_module();
    m.attr("zk_version") = zk::kVersion;
}
