// Cyclic garbage collection for bound classes that hold Python objects: a manager holds its
// generators and every generator holds its manager, so without these slots neither is ever freed.
#pragma once

#include <nanobind/nanobind.h>

#include "common/python_private.hpp"

namespace zk {

namespace nb = nanobind;

// How the collector sees one member of a bound class. An object is visited and, when the
// collector breaks a cycle, replaced by None, so a method reached on a cleared instance fails as
// a Python error, never on a null pointer. A member of another type gets these two functions
// beside its own type (found there by argument-dependent look-up).
inline int gc_visit(const nb::object &member, visitproc visit, void *arg) {
    Py_VISIT(member.ptr());
    return 0;
}
inline void gc_clear(nb::object &member) { member = nb::none(); }

// Slots for nb::type_slots(...): visit and clear the members `Members` of `T` and the instance's
// attribute dictionary, if the bound class gives it one (nanobind leaves that to classes with
// slots of their own). Members are touched only once the instance is constructed: the collector
// may meet an instance whose __init__ has not run or has failed.
template <typename T, auto... Members>
struct GcSlots {
    // The dictionary slot of the bound class (nb::dynamic_attr), or null. A Python subclass that
    // adds a dictionary of its own has it visited and cleared by the host's subclass slots: seen
    // here as well, it would be counted twice against the collector's count of its references.
    static PyObject **own_dict(PyObject *self) {
        PyTypeObject *type = Py_TYPE(self);
        while (type && type->tp_traverse != &traverse) type = type->tp_base;
        return type && type->tp_dictoffset ? py_private::dict_ptr(self) : nullptr;
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (PyObject **dict = own_dict(self)) Py_VISIT(*dict);
        if (!nb::inst_ready(self)) return 0;
        T *p = nb::inst_ptr<T>(self);
        int r = 0;
        (void)(((r = gc_visit(p->*Members, visit, arg)) != 0) || ...);
        return r;
    }

    static int clear(PyObject *self) {
        if (PyObject **dict = own_dict(self)) Py_CLEAR(*dict);
        if (!nb::inst_ready(self)) return 0;
        T *p = nb::inst_ptr<T>(self);
        (gc_clear(p->*Members), ...);
        return 0;
    }

    static inline PyType_Slot slots_[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(clear)},
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
