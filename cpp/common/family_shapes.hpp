// The variable families of the modelling layer as the modules below it read them. The family
// type belongs to zk_encoder.encode.variables, above the formula container and the dumper, which
// number a family's elements natively: that module publishes, as its attribute `_family_shapes`,
// a capsule of the function that gives the shape of one of its families, and they look it up
// there, so that neither includes the other's header.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/errors.hpp"
#include "instantiate/family_shape.hpp"

namespace zk {

namespace nb = nanobind;

inline constexpr const char *kFamilyShapesModule = "zk_encoder.encode.variables";
inline constexpr const char *kFamilyShapesAttr = "_family_shapes";
inline constexpr const char *kFamilyShapesCapsule = "zk_encoder.encode.variables._family_shapes";

// A family as those modules read it: its shape and its name as text (its elements' names are
// made from it).
struct FamilyView {
    const instantiate::FamilyShape *shape_ = nullptr;
    const std::string *name_text_ = nullptr;
};

struct FamilyShapes {
    // The view of `family` when it is exactly a family of that module and constructed (a subclass
    // may override what its shape stands for), else an empty one. Runs no program code.
    FamilyView (*view_of)(PyObject *family);
};

// The published functions, or null while zk_encoder.encode.variables is not loaded (no family of
// it exists then; it is not imported from here, which would reverse the start-up order). Looked
// up once it is.
inline const FamilyShapes *family_shapes() {
    static const FamilyShapes *published = nullptr;
    if (published) return published;
    PyObject *mod = PyImport_GetModule(nb::str(kFamilyShapesModule).ptr());
    if (!mod) {
        if (PyErr_Occurred()) rethrow();
        return nullptr;
    }
    nb::object capsule = nb::steal(mod).attr(kFamilyShapesAttr);
    void *p = PyCapsule_GetPointer(capsule.ptr(), kFamilyShapesCapsule);
    if (!p) rethrow();
    published = static_cast<const FamilyShapes *>(p);
    return published;
}

// The view of `family` as family_shapes() gives it; an empty one for anything else.
inline FamilyView family_view(nb::handle family) {
    const FamilyShapes *shapes = family_shapes();
    return shapes ? shapes->view_of(family.ptr()) : FamilyView{};
}

}  // namespace zk
