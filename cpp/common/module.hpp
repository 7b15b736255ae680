// What every extension module of the package does first, and how each one is declared.
#pragma once

#include <nanobind/nanobind.h>

namespace zk {

namespace nb = nanobind;

// Module objects live until the interpreter ends; the objects they hold are not leaks.
inline void init_module() { nb::set_leak_warnings(false); }

// A module's import fails with the error its body raised, as a module written in Python does:
// a missing dependency is the host's ModuleNotFoundError, an engine that lacks a name the host's
// AttributeError. nanobind would raise an ImportError of its own instead, with that error only
// as its cause. Its module definition is kept, and only its execution step is wrapped: the body's
// error is noted when it leaves the body, and put back in place of nanobind's once the step has
// failed.
template <void (*Body)(nb::module_ &)>
class ModuleInit {
  public:
    static void run(nb::module_ m) {
        try {
            Body(m);
        } catch (nb::python_error &e) {
            Py_XDECREF(failure_);
            failure_ = e.value().inc_ref().ptr();
            throw;
        }
    }

    // The definition nanobind made, executed through `exec` from now on; `name` is the module's
    // own, where nanobind's carries the name it was made under.
    static PyObject *define(PyObject *def, const char *name) {
        if (!def) {
            restore_failure();
            return nullptr;
        }
        if (!PyObject_TypeCheck(def, &PyModuleDef_Type)) return def;
        PyModuleDef *d = reinterpret_cast<PyModuleDef *>(def);
        d->m_name = name;
        for (PyModuleDef_Slot *s = d->m_slots; s && s->slot != 0; ++s) {
            if (s->slot != Py_mod_exec || s->value == reinterpret_cast<void *>(&exec)) continue;
            nanobind_exec_ = reinterpret_cast<int (*)(PyObject *)>(s->value);
            s->value = reinterpret_cast<void *>(&exec);
        }
        return def;
    }

  private:
    static inline PyObject *failure_ = nullptr;
    static inline int (*nanobind_exec_)(PyObject *) = nullptr;

    static int exec(PyObject *m) {
        const int r = nanobind_exec_(m);
        if (r != 0) restore_failure();
        return r;
    }

    // The body's error in place of the pending one.
    static void restore_failure() {
        PyObject *original = failure_;
        if (!original) return;
        failure_ = nullptr;
        PyErr_Clear();
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(original))), original,
                      PyException_GetTraceback(original));
    }
};

}  // namespace zk

// Declares the extension module `name` with nanobind, its body following as with NB_MODULE.
#define ZK_MODULE(name, variable)                                                                  \
    static void zk_module_body_##name(::zk::nb::module_ &);                                        \
    NB_MODULE(name##_nanobind, m) { ::zk::ModuleInit<zk_module_body_##name>::run(m); }             \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                           \
        return ::zk::ModuleInit<zk_module_body_##name>::define(PyInit_##name##_nanobind(), #name); \
    }                                                                                              \
    static void zk_module_body_##name(::zk::nb::module_ &variable)
