// The generator of one variable family, shared by zk_encoder.core.variable (which binds it) and
// the model, which tells each generator the shape of its family so that an element that does not
// exist is refused where the formula names it.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace zk::core {

namespace nb = nanobind;

struct GeneratorVariable {
    nb::object name_;
    nb::object manager_;
    // The family's dimension sizes, once the model has given them; without them any item goes.
    bool has_shape_ = false;
    std::vector<int64_t> shape_;
};

// The generator behind `h` when it is exactly a GeneratorVariable; null for anything else.
inline GeneratorVariable *exact_generator(nb::handle h) {
    nb::handle type = nb::type<GeneratorVariable>();
    if (!type.is_valid() || (PyObject *)Py_TYPE(h.ptr()) != type.ptr()) return nullptr;
    return nb::inst_ptr<GeneratorVariable>(h);
}

}  // namespace zk::core
