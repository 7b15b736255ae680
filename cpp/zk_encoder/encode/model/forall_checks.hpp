// The for-all range checks of zk_encoder.encode.model: every element a formula names, checked
// against its family over all the values its for-all keywords take, before anything is encoded.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/numbers.hpp"
#include "zk_encoder/encode/variables.hpp"

namespace zk::encode {

namespace nb = nanobind;

// The values of one for-all keyword, as normalize_foralls leaves them: a range or a list or
// tuple of ints, all within 64 bits.
struct ForallSlot {
    std::string name_;
    nb::object values_;
    bool is_range_ = false;
    int64_t start_ = 0, step_ = 1;
    __int128 count_ = 0;
    int64_t min_ = 0, max_ = 0;

    int64_t at(__int128 k) const {
        if (is_range_) return static_cast<int64_t>(start_ + k * step_);
        PyObject *item = PySequence_Fast_GET_ITEM(values_.ptr(), static_cast<Py_ssize_t>(k));
        return static_cast<int64_t>(index_int64(item));
    }
};

struct ForallInfo {
    std::vector<std::string> names_;
    std::vector<ForallSlot> slots_;
    __int128 instances_ = 1;
};
// The for-all keywords of one call as normalize_foralls leaves them (anything else is skipped,
// the container's to judge), with the number of their instances, capped far past any literal.
ForallInfo read_forall_info(const nb::handle &foralls);

// The family behind `h` when it is exactly the package's family class; null for anything else.
const VariableFamily *family_ptr(nb::handle h);

// One element name that the evaluation registered, such as "x(i + 1,2)", against its family:
// raises when an index is outside its dimension for some for-all values, names no for-all
// keyword, or gives no integer.
void check_element(const ForallInfo &fa, const VariableFamily &f, std::string_view element,
                   std::string_view items_text);

}  // namespace zk::encode
