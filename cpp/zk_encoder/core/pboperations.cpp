// zk_encoder.core.pboperations: the pseudo-Boolean term nodes that an evaluated formula text builds
// (weighted leaf, two-operand sum, n-ary sum) and their flattening into engine weighted literals
// or (number, coefficient) pairs.
//
// The classes are made by the interpreter's abstract-base metaclass, so PBBaseOp is a real ABC and
// instances are plain objects with attribute dictionaries. Every walk over a term (flattening,
// negation, scaling, text form) runs on an explicit stack: a chain a + b + c + ... nests one AddOp
// per operand, and a program may write hundreds of thousands of them.
#include <string>
#include <vector>

#include "common/format.hpp"
#include "common/integers.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"

namespace zk::core {

namespace {

constexpr const char *kModule = "zk_encoder.core.pboperations";
constexpr const char *kEngineModule = "nubrix.sorn_engine.pbct";
constexpr const char *kSumLogLine = "Sum to_pb result {}";
constexpr const char *kNotASequence = "the operands of a Sum must be a sequence";
// The host's own wordings, for failures that plain module code would meet.
constexpr const char *kUnexpectedKeyword = "Sum.__init__() got an unexpected keyword argument '%S'";

// The module's globals: the engine module, log_d and the class names are read from them at every
// call, as code of the module itself would.
ModuleGlobals g_module;

// The classes as this module made them; walks inline exactly these and call the methods of
// anything else.
PyObject *g_leaf_type = nullptr;
PyObject *g_add_type = nullptr;
PyObject *g_sum_type = nullptr;

// Interned names and text pieces, made once at start-up.
struct Names {
    nb::object pb_var_, name_, coefficient_, first_variable_, second_variable_, variables_;
    nb::object to_pb_, to_maxsat_, weighted_lit_;
    nb::object leaf_open_, leaf_pb_, leaf_bx_, close_, add_open_, sum_open_, comma_;
};
Names *g_names = nullptr;

nb::object intern(const char *s) { return nb::steal(zk::interned(s)); }

nb::object get(nb::handle obj, const nb::object &attr) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), attr.ptr());
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

enum class Kind { Leaf, Add, Sum, Other };

Kind kind_of(nb::handle obj) {
    PyObject *t = (PyObject *)Py_TYPE(obj.ptr());
    if (t == g_leaf_type) return Kind::Leaf;
    if (t == g_add_type) return Kind::Add;
    if (t == g_sum_type) return Kind::Sum;
    return Kind::Other;
}

// ---------------------------------------------------------------------------------------------
// Flattening. Items come depth first, left to right; nothing is merged or dropped.

enum class Flat { Pb, MaxSat };

struct FlatFrame {
    nb::object node_;
    Kind kind_;
    nb::object seq_;        // Sum: its operands as a fast sequence; AddOp: the pair of operands
    Py_ssize_t next_ = 0;   // next operand to visit
    Py_ssize_t start_ = 0;  // Sum: where its items begin in the output
};

struct Flattener {
    Flat mode_;
    nb::list out_;
    nb::object weighted_lit_;  // pb.WeightedLit, read once per flattening
    nb::object log_d_;

    void leaf(nb::handle node) {
        nb::object num = get(node, g_names->pb_var_);
        nb::object coef = get(node, g_names->coefficient_);
        if (mode_ == Flat::Pb) {
            if (!weighted_lit_.is_valid())
                weighted_lit_ = get(g_module.get("pb"), g_names->weighted_lit_);
            out_.append(weighted_lit_(num, coef));
        } else {
            out_.append(nb::make_tuple(num, coef));
        }
    }

    // Anything that is not one of this module's own nodes flattens itself.
    void other(nb::handle node) {
        nb::object method = get(node, mode_ == Flat::Pb ? g_names->to_pb_ : g_names->to_maxsat_);
        nb::object items = check(PyObject_CallNoArgs(method.ptr()));
        nb::object it = check(PyObject_GetIter(items.ptr()));
        while (PyObject *item = PyIter_Next(it.ptr())) out_.append(nb::steal(item));
        if (PyErr_Occurred()) throw nb::python_error();
    }

    FlatFrame frame(nb::handle node, Kind kind) {
        FlatFrame f{nb::borrow(node), kind, nb::object()};
        if (kind == Kind::Add) {
            nb::object a = get(node, g_names->first_variable_);
            nb::object b = get(node, g_names->second_variable_);
            f.seq_ = nb::make_tuple(a, b);
        } else {
            nb::object vars = get(node, g_names->variables_);
            f.seq_ = check(PySequence_Fast(vars.ptr(), kNotASequence));
            f.start_ = PyList_GET_SIZE(out_.ptr());
        }
        return f;
    }

    void sum_done(const FlatFrame &f) {
        if (mode_ != Flat::Pb) return;
        if (!log_d_.is_valid()) log_d_ = g_module.get("log_d");
        nb::object items =
            check(PyList_GetSlice(out_.ptr(), f.start_, PyList_GET_SIZE(out_.ptr())));
        nb::object text = check(PyObject_Repr(items.ptr()));
        log_d_(format_message_str(kSumLogLine, text));
    }

    void run(nb::handle root, Kind root_kind) {
        if (root_kind == Kind::Leaf) return leaf(root);
        std::vector<FlatFrame> stack;
        stack.push_back(frame(root, root_kind));
        while (!stack.empty()) {
            FlatFrame &f = stack.back();
            PyObject *seq = f.seq_.ptr();
            Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
            if (f.next_ == n) {
                if (f.kind_ == Kind::Sum) sum_done(f);
                stack.pop_back();
                continue;
            }
            nb::object child = nb::borrow(PySequence_Fast_GET_ITEM(seq, f.next_));
            ++f.next_;
            switch (Kind k = kind_of(child)) {
                case Kind::Leaf:
                    leaf(child);
                    break;
                case Kind::Other:
                    other(child);
                    break;
                default:
                    stack.push_back(frame(child, k));
                    break;  // invalidates f
            }
        }
    }
};

nb::list flatten(nb::handle self, Kind kind, Flat mode) {
    Flattener f{mode, nb::list(), nb::object(), nb::object()};
    f.run(self, kind);
    return f.out_;
}

// ---------------------------------------------------------------------------------------------
// Negation and scaling: pushed to the leaves, the shape of the tree kept. The multiplier stays on
// the left at every level.

struct MapFrame {
    nb::object node_;
    Kind kind_;
    nb::object seq_;
    Py_ssize_t next_ = 0;
    std::vector<nb::object> done_;
};

struct Mapper {
    nb::handle factor_;  // invalid: negation

    nb::object apply(nb::handle value) const {
        return check(factor_.is_valid() ? PyNumber_Multiply(factor_.ptr(), value.ptr())
                                        : PyNumber_Negative(value.ptr()));
    }

    nb::object leaf(nb::handle node) const {
        nb::object num = get(node, g_names->pb_var_);
        nb::object name = get(node, g_names->name_);
        nb::object coef = apply(get(node, g_names->coefficient_));
        return g_module.get("PBVariable")(num, name, coef);
    }

    MapFrame frame(nb::handle node, Kind kind) const {
        MapFrame f{nb::borrow(node), kind, nb::object(), 0, {}};
        if (kind == Kind::Add) {
            nb::object a = get(node, g_names->first_variable_);
            nb::object b = get(node, g_names->second_variable_);
            f.seq_ = nb::make_tuple(a, b);
        } else {
            nb::object vars = get(node, g_names->variables_);
            f.seq_ = check(PySequence_Fast(vars.ptr(), kNotASequence));
        }
        f.done_.reserve((size_t)PySequence_Fast_GET_SIZE(f.seq_.ptr()));
        return f;
    }

    nb::object build(MapFrame &f) const {
        if (f.kind_ == Kind::Add) return g_module.get("AddOp")(f.done_[0], f.done_[1]);
        nb::object args = check(PyTuple_New((Py_ssize_t)f.done_.size()));
        for (size_t i = 0; i < f.done_.size(); ++i)
            PyTuple_SET_ITEM(args.ptr(), (Py_ssize_t)i, f.done_[i].release().ptr());
        return check(PyObject_Call(g_module.get("Sum").ptr(), args.ptr(), nullptr));
    }

    nb::object run(nb::handle root, Kind root_kind) const {
        if (root_kind == Kind::Leaf) return leaf(root);
        std::vector<MapFrame> stack;
        stack.push_back(frame(root, root_kind));
        for (;;) {
            MapFrame &f = stack.back();
            PyObject *seq = f.seq_.ptr();
            if (f.next_ == PySequence_Fast_GET_SIZE(seq)) {
                nb::object result = build(f);
                stack.pop_back();
                if (stack.empty()) return result;
                stack.back().done_.push_back(std::move(result));
                continue;
            }
            nb::object child = nb::borrow(PySequence_Fast_GET_ITEM(seq, f.next_));
            ++f.next_;
            switch (Kind k = kind_of(child)) {
                case Kind::Leaf:
                    f.done_.push_back(leaf(child));
                    break;
                case Kind::Other:
                    f.done_.push_back(apply(child));
                    break;
                default:
                    stack.push_back(frame(child, k));
                    break;  // invalidates f
            }
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Text form: pieces collected on an explicit stack and joined once.

struct ReprFrame {
    Kind kind_;
    nb::object seq_;
    Py_ssize_t next_ = 0;
};

struct Texter {
    std::vector<nb::object> pieces_;

    void leaf(nb::handle node) {
        nb::object coef = get(node, g_names->coefficient_);
        nb::object num = get(node, g_names->pb_var_);
        nb::object name = get(node, g_names->name_);
        pieces_.push_back(g_names->leaf_open_);
        pieces_.push_back(check(PyObject_Str(coef.ptr())));
        pieces_.push_back(g_names->leaf_pb_);
        pieces_.push_back(check(PyObject_Str(num.ptr())));
        pieces_.push_back(g_names->leaf_bx_);
        pieces_.push_back(check(PyObject_Str(name.ptr())));
        pieces_.push_back(g_names->close_);
    }

    ReprFrame open(nb::handle node, Kind kind) {
        ReprFrame f{kind, nb::object()};
        if (kind == Kind::Add) {
            nb::object a = get(node, g_names->first_variable_);
            nb::object b = get(node, g_names->second_variable_);
            f.seq_ = nb::make_tuple(a, b);
            pieces_.push_back(g_names->add_open_);
        } else {
            nb::object vars = get(node, g_names->variables_);
            f.seq_ = check(PySequence_Fast(vars.ptr(), kNotASequence));
            pieces_.push_back(g_names->sum_open_);
        }
        return f;
    }

    nb::object run(nb::handle root, Kind root_kind) {
        if (root_kind == Kind::Leaf) {
            leaf(root);
        } else {
            std::vector<ReprFrame> stack;
            stack.push_back(open(root, root_kind));
            while (!stack.empty()) {
                ReprFrame &f = stack.back();
                PyObject *seq = f.seq_.ptr();
                if (f.next_ == PySequence_Fast_GET_SIZE(seq)) {
                    pieces_.push_back(g_names->close_);
                    stack.pop_back();
                    continue;
                }
                if (f.next_ > 0) pieces_.push_back(g_names->comma_);
                nb::object child = nb::borrow(PySequence_Fast_GET_ITEM(seq, f.next_));
                ++f.next_;
                switch (Kind k = kind_of(child)) {
                    case Kind::Leaf:
                        leaf(child);
                        break;
                    case Kind::Other:
                        pieces_.push_back(check(PyObject_Str(child.ptr())));
                        break;
                    default:
                        stack.push_back(open(child, k));
                        break;  // invalidates f
                }
            }
        }
        nb::object list = check(PyList_New((Py_ssize_t)pieces_.size()));
        for (size_t i = 0; i < pieces_.size(); ++i)
            PyList_SET_ITEM(list.ptr(), (Py_ssize_t)i, pieces_[i].inc_ref().ptr());
        nb::object empty = check(PyUnicode_FromString(""));
        return check(PyUnicode_Join(empty.ptr(), list.ptr()));
    }
};

// ---------------------------------------------------------------------------------------------
// Class construction.

nb::object method(nb::handle ns, const char *name, nb::object fn) {
    ns[name] = fn;
    return fn;
}

// The methods every concrete node defines, in their documented order after __init__.
template <Kind K>
void node_methods(nb::dict &ns) {
    method(ns, "__neg__",
           nb::cpp_function([](nb::handle self) { return Mapper{nb::handle()}.run(self, K); },
                            nb::is_method(), nb::name("__neg__"), nb::sig("def __neg__(self)")));
    // An integer multiplier of any kind (bool, numpy integer) scales by its plain int: the
    // engine takes no other coefficient, and a numpy integer would wrap around past 64 bits.
    method(ns, "__rmul__",
           nb::cpp_function(
               [](nb::handle self, nb::handle other) {
                   nb::object k = plain_integer(other);
                   return Mapper{k.is_valid() ? nb::handle(k) : other}.run(self, K);
               },
               nb::is_method(), nb::name("__rmul__"), nb::arg("other").none(),
               nb::sig("def __rmul__(self, other)")));
    method(ns, "__repr__",
           nb::cpp_function([](nb::handle self) { return Texter{}.run(self, K); }, nb::is_method(),
                            nb::name("__repr__"), nb::sig("def __repr__(self)")));
    method(ns, "to_pb",
           nb::cpp_function([](nb::handle self) { return flatten(self, K, Flat::Pb); },
                            nb::is_method(), nb::name("to_pb"), nb::sig("def to_pb(self)")));
    method(
        ns, "to_maxsat",
        nb::cpp_function([](nb::handle self) { return flatten(self, K, Flat::MaxSat); },
                         nb::is_method(), nb::name("to_maxsat"), nb::sig("def to_maxsat(self)")));
}

nb::dict class_namespace(const char *name) {
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = name;
    return ns;
}

// Abstract methods of PBBaseOp: bodies that do nothing, marked the way abc.abstractmethod marks a
// function, and bound to their instance like functions (nanobind functions take no attributes, so
// the marker lives on a small descriptor class).
nb::object abstract_slot_class() {
    nb::dict ns = class_namespace("abstractslot");
    ns["__isabstractmethod__"] = true;
    ns["__get__"] = nb::cpp_function(
        [](nb::handle self, nb::handle inst, nb::handle) -> nb::object {
            if (inst.is_none()) return nb::borrow(self);
            return check(PyMethod_New(self.ptr(), inst.ptr()));
        },
        nb::is_method(), nb::name("__get__"), nb::arg("instance").none(),
        nb::arg("owner").none() = nb::none());
    ns["__call__"] = nb::cpp_function([](nb::handle, nb::args, nb::kwargs) { return nb::none(); },
                                      nb::is_method(), nb::name("__call__"));
    nb::handle type_type((PyObject *)&PyType_Type);
    return type_type("abstractslot", nb::make_tuple(), ns);
}

nb::object abstract_method(nb::handle slot_class, const char *name) {
    nb::object slot = slot_class();
    slot.attr("__name__") = name;
    slot.attr("__qualname__") = nb::str((std::string("PBBaseOp.") + name).c_str());
    return slot;
}

// The host's own wording for a keyword given to a function that takes positional items only.
[[noreturn]] void unexpected_keyword(nb::handle kwargs) {
    PyObject *k = nullptr;
    Py_ssize_t pos = 0;
    PyDict_Next(kwargs.ptr(), &pos, &k, nullptr);
    PyErr_Format(PyExc_TypeError, kUnexpectedKeyword, k);
    throw nb::python_error();
}

void set(nb::handle self, const nb::object &attr, nb::handle value) {
    if (PyObject_SetAttr(self.ptr(), attr.ptr(), value.ptr()) != 0) throw nb::python_error();
}

void make_classes(nb::module_ &m) {
    nb::object abc_meta = nb::module_::import_("abc").attr("ABCMeta");

    nb::dict base_ns = class_namespace("PBBaseOp");
    base_ns["__add__"] = nb::cpp_function(
        [](nb::handle self, nb::handle other) { return g_module.get("AddOp")(self, other); },
        nb::is_method(), nb::name("__add__"), nb::arg("other").none(),
        nb::sig("def __add__(self, other)"));
    base_ns["__sub__"] = nb::cpp_function(
        [](nb::handle self, nb::handle other) {
            nb::object negated = check(PyNumber_Negative(other.ptr()));
            return g_module.get("AddOp")(self, negated);
        },
        nb::is_method(), nb::name("__sub__"), nb::arg("other").none(),
        nb::sig("def __sub__(self, other)"));
    // A text may put an integer-valued factor (a power) right of a term: (a + b) * (2 ** k)
    // scales the term as 2 ** k * (a + b) does. A product of two terms is no term: refused as
    // the host refuses unsupported operands, here and not by the other operand's reflected
    // product, which would take this term for a coefficient.
    base_ns["__mul__"] = nb::cpp_function(
        [](nb::handle self, nb::handle other) -> nb::object {
            nb::object k = plain_integer(other);
            if (!k.is_valid()) raise_unsupported_operands("*", self, other);
            return self.attr("__rmul__")(k);
        },
        nb::is_method(), nb::name("__mul__"), nb::arg("other").none(),
        nb::sig("def __mul__(self, other)"));
    nb::object slot_class = abstract_slot_class();
    for (const char *name : {"__neg__", "__rmul__", "to_pb", "to_maxsat"})
        base_ns[name] = abstract_method(slot_class, name);
    nb::object base = abc_meta("PBBaseOp", nb::make_tuple(m.attr("ABC")), base_ns);
    m.attr("PBBaseOp") = base;

    nb::dict leaf_ns = class_namespace("PBVariable");
    leaf_ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::handle pb_var, nb::handle name, nb::handle coefficient) {
            set(self, g_names->pb_var_, pb_var);
            set(self, g_names->name_, name);
            set(self, g_names->coefficient_, coefficient);
        },
        nb::is_method(), nb::name("__init__"), nb::arg("pb_var").none(), nb::arg("name").none(),
        nb::arg("coefficient").none() = 1,
        nb::sig("def __init__(self, pb_var, name, coefficient=1)"));
    node_methods<Kind::Leaf>(leaf_ns);
    nb::object leaf = abc_meta("PBVariable", nb::make_tuple(base), leaf_ns);
    m.attr("PBVariable") = leaf;

    nb::dict add_ns = class_namespace("AddOp");
    add_ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::handle first, nb::handle second) {
            set(self, g_names->first_variable_, first);
            set(self, g_names->second_variable_, second);
        },
        nb::is_method(), nb::name("__init__"), nb::arg("first_variable").none(),
        nb::arg("second_variable").none(),
        nb::sig("def __init__(self, first_variable, second_variable)"));
    node_methods<Kind::Add>(add_ns);
    nb::object add = abc_meta("AddOp", nb::make_tuple(base), add_ns);
    m.attr("AddOp") = add;

    nb::dict sum_ns = class_namespace("Sum");
    sum_ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::args variables, nb::kwargs kwargs) {
            if (PyDict_GET_SIZE(kwargs.ptr()) != 0) unexpected_keyword(kwargs);
            set(self, g_names->variables_, variables);
        },
        nb::is_method(), nb::name("__init__"), nb::sig("def __init__(self, *variables)"));
    node_methods<Kind::Sum>(sum_ns);
    nb::object sum = abc_meta("Sum", nb::make_tuple(base), sum_ns);
    m.attr("Sum") = sum;

    // Held for the life of the process, like the module that binds them.
    g_leaf_type = leaf.release().ptr();
    g_add_type = add.release().ptr();
    g_sum_type = sum.release().ptr();
}

void bind_module(nb::module_ &m) {
    init_module();
    g_module.bind(m);
    g_names = new Names{
        intern("pb_var"),
        intern("name"),
        intern("coefficient"),
        intern("first_variable"),
        intern("second_variable"),
        intern("variables"),
        intern("to_pb"),
        intern("to_maxsat"),
        intern("WeightedLit"),
        intern("Var(coeff: "),
        intern("; pb num: "),
        intern("; bx var: "),
        intern(")"),
        intern("AddOp("),
        intern("Sum("),
        intern(", "),
    };

    nb::module_ abc = nb::module_::import_("abc");
    m.attr("ABC") = abc.attr("ABC");
    m.attr("abstractmethod") = abc.attr("abstractmethod");
    m.attr("pb") = nb::module_::import_(kEngineModule);
    import_logger(m);
    make_classes(m);
}

}  // namespace

}  // namespace zk::core

ZK_MODULE(pboperations, m) { zk::core::bind_module(m); }
