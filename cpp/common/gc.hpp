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

    static inline PyType_Slot slots[] = {
        {Py_tp_traverse, (void *)traverse},
        {Py_tp_clear, (void *)clear},
        {0, nullptr},
    };
};

}  // namespace zk
