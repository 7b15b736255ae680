// The one switch of the native routes: every text the library would read and evaluate itself
// (first-generation linear texts, pseudo-Boolean formula texts, the clause templates the dumper
// instantiates) goes to the host's `eval` instead while the environment variable holds "host".
// It is read at each evaluation, so a test can compare both routes over the same program in one
// process. The name is the one the first route that had a switch gave it.
#pragma once

#include <cstdlib>
#include <cstring>

namespace zk::texts {

inline constexpr const char *kEvalSwitch = "ZK_ENCODER_LP1_EVAL";
inline constexpr const char *kHostEval = "host";

// Whether the native routes are switched off.
inline bool host_evaluation_only() {
    const char *v = std::getenv(kEvalSwitch);
    return v != nullptr && std::strcmp(v, kHostEval) == 0;
}

}  // namespace zk::texts
