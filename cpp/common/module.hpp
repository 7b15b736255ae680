// What every extension module of the package does first.
#pragma once

#include <nanobind/nanobind.h>

namespace zk {

namespace nb = nanobind;

// Module objects live until the interpreter ends; the objects they hold are not leaks.
inline void init_module() { nb::set_leak_warnings(false); }

}  // namespace zk
