// Cyclic garbage collection for bound classes that hold Python objects: a manager holds its
// generators and every generator holds its manager, so without these slots neither is ever freed.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace zk {

namespace nb = nanobind;

// Slots for nb::type_slots(...): visit and clear the nb::object members `Members` of `T`.
template <typename T, auto... Members>
struct GcSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        T *p = nb::inst_ptr<T>(self);
        for (PyObject *o : {(p->*Members).ptr()...}) Py_VISIT(o);
        return 0;
    }

    static int clear(PyObject *self) {
        T *p = nb::inst_ptr<T>(self);
        (((p->*Members).reset()), ...);
        return 0;
    }

    static inline PyType_Slot slots_[] = {
        {Py_tp_traverse, (void *)traverse},
        {Py_tp_clear, (void *)clear},
        {0, nullptr},
    };
};

// Pauses the cyclic collector for a scope that allocates many objects none of which can be part
// of a cycle (clause lists, engine variables, texts): the collector would otherwise rescan the
// growing results again and again. It is switched back on only if it was on.
struct GcPause {
    int was_enabled_ = PyGC_Disable();
    GcPause() = default;
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
};

}  // namespace zk
