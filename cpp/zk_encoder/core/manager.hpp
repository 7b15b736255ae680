// The per-model variable registry, shared by zk_encoder.core.manager (which binds it) and the
// modules that call it on their hot paths (generator calls, clause translation) without a Python
// method call per variable.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "formula/polarity.hpp"
#include "texts/names.hpp"

namespace zk::core {

namespace nb = nanobind;

using texts::kPbctAux;
inline constexpr const char *kNoAttribute = "'Manager' object has no attribute '%s'";

// Where the formula being evaluated holds the comparison that is encoded next: only as a
// requirement (positive), only negated, or both ways (an operand of an equivalence, ...).
using formula::kBothPolarities;
using formula::kNegative;
using formula::kPositive;

// Fields are Python objects because other parts of the package read them as such; the three
// engine objects are null between being dropped and re-created by a reset.
struct Manager {
    nb::object bx_context_;
    nb::object pb_config_;
    nb::object pb_var_manager_;
    nb::dict name2genvar_;
    nb::dict name2pb_;
    nb::dict pb2bx_;
    nb::dict pb2name_;
    int64_t cnt_pbvar_ = 0;
    // A comparison's clauses hold only where the formula requires them (their auxiliaries are
    // free): negated, they would ask merely that some clause fail for some choice of
    // auxiliaries. Whoever evaluates a formula says where the next comparison stands; one that
    // does not stand as a requirement is encoded as a literal, and the clauses that define it
    // wait here, as pairs (literal, definition), to be conjoined with the whole formula.
    uint8_t polarity_ = kPositive;
    nb::list definitions_;

    [[noreturn]] static void missing(const char *field) {
        PyErr_Format(PyExc_AttributeError, kNoAttribute, field);
        throw nb::python_error();
    }

    const nb::object &bx_context() const {
        if (!bx_context_.is_valid()) missing("bx_context");
        return bx_context_;
    }

    const nb::object &pb_var_manager() const {
        if (!pb_var_manager_.is_valid()) missing("pb_var_manager");
        return pb_var_manager_;
    }

    static void store(const nb::dict &map, nb::handle key, nb::handle value) {
        if (PyDict_SetItem(map.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
    }

    // The entry of `key` in `map`, or null; an unhashable key raises the map's TypeError.
    static PyObject *find(const nb::dict &map, nb::handle key) {
        PyObject *v = PyDict_GetItemWithError(map.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v;
    }

    static PyObject *at(const nb::dict &map, nb::handle key) {
        PyObject *v = find(map, key);
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nb::python_error();
        }
        return v;
    }

    // (engine variable, number) of a model element name; the first request since the last reset
    // draws a number and makes the engine variable.
    nb::tuple add_variable(nb::handle name) {
        if (PyObject *n = find(name2pb_, name)) {
            nb::object num = nb::borrow(n);
            return nb::make_tuple(nb::borrow(at(pb2bx_, num)), num);
        }
        static nb::handle get_variable = nb::str("get_variable").release();
        nb::object num = call_method(pb_var_manager(), get_variable);
        nb::object var = enter(name, num);
        return nb::make_tuple(var, num);
    }

    // The engine variable of a number: a registered model element's, or a new auxiliary named by
    // the prefix, "_" and the running counter, in the order numbers are first asked for.
    nb::object get_pb_var(nb::handle num, nb::handle prefix) {
        if (PyObject *v = find(pb2bx_, num)) return nb::borrow(v);
        nb::object name = aux_name(prefix);
        ++cnt_pbvar_;
        return enter(name, num);
    }

  private:
    // Methods are called through interned names: an encoding registers hundreds of thousands of
    // auxiliaries, and a bound method object per call would cost as much as the engine's work.
    static nb::object call_method(nb::handle obj, nb::handle method,
                                  nb::handle arg = nb::handle()) {
        PyObject *args[2] = {obj.ptr(), arg.ptr()};
        PyObject *r = PyObject_VectorcallMethod(
            method.ptr(), args, (arg.is_valid() ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }

    // Makes the engine variable of `name` and records it under `num` in the three maps.
    nb::object enter(nb::handle name, nb::handle num) {
        static nb::handle get_var = nb::str("get_var").release();
        nb::object var = call_method(bx_context(), get_var, name);
        store(name2pb_, name, num);
        store(pb2name_, num, name);
        store(pb2bx_, num, var);
        return var;
    }

    // prefix + "_" + counter; a plain ASCII prefix (the default) is copied without formatting.
    nb::object aux_name(nb::handle prefix) const {
        if (PyUnicode_CheckExact(prefix.ptr()) && PyUnicode_IS_ASCII(prefix.ptr())) {
            const std::string_view ascii(
                reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(prefix.ptr())),
                static_cast<size_t>(PyUnicode_GET_LENGTH(prefix.ptr())));
            std::string name;
            texts::append_counter_name(name, ascii, cnt_pbvar_);
            PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(name.size()), 127);
            if (!text) throw nb::python_error();
            std::memcpy(PyUnicode_1BYTE_DATA(text), name.data(), name.size());
            return nb::steal(text);
        }
        PyObject *text = PyObject_Str(prefix.ptr());
        if (!text) throw nb::python_error();
        nb::object name = nb::steal(PyUnicode_FromFormat("%U_%lld", text, (long long)cnt_pbvar_));
        Py_DECREF(text);
        if (!name.is_valid()) throw nb::python_error();
        return name;
    }

  public:
    nb::object get_pb_var(nb::handle num) {
        static nb::handle prefix = nb::str(kPbctAux).release();
        return get_pb_var(num, prefix);
    }
};

// The registry behind `h` when it is exactly a Manager, for callers that skip the Python method
// call; null for anything else (a subclass may override the methods, another object is called
// through its attributes).
inline Manager *exact_manager(nb::handle h) {
    nb::handle type = nb::type<Manager>();
    if (!type.is_valid() || (PyObject *)Py_TYPE(h.ptr()) != type.ptr()) return nullptr;
    return nb::inst_ptr<Manager>(h);
}

// The polarity slot of an exact registry, for the formula evaluation below this module
// (formula/evaluation.hpp), which does not know the type.
inline uint8_t *polarity_slot(nb::handle h) {
    Manager *mgr = exact_manager(h);
    return mgr ? &mgr->polarity_ : nullptr;
}

}  // namespace zk::core
