// Native evaluation of formula texts. A text is read completely before anything runs
// (program.hpp): when every piece of it is one of the native forms it is executed with the
// interpreter's own operations, in the interpreter's order and with its scoping; otherwise the
// interpreter's `eval` gets it as it came. Reading, scoping and running keep their own stacks,
// so a text may nest as deep as memory allows (the interpreter's reading refuses a hundred
// parentheses): the host's limits apply only to the texts it evaluates itself.
#include "formula/evaluation.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/python_private.hpp"
#include "formula/polarity.hpp"
#include "formula/program.hpp"
#include "texts/native_route.hpp"

namespace zk::formula {

namespace {

// The interpreter's own messages for names that are not bound.
constexpr const char *kNameErrorFormat = "name '%.200s' is not defined";
constexpr const char *kUnboundLocalFormat = "local variable '%.200s' referenced before assignment";
constexpr const char *kUnboundFreeFormat =
    "free variable '%.200s' referenced before assignment in enclosing scope";
constexpr const char *kNameAttr = "name";

// What `eval` names the frames of an evaluated text in a traceback.
constexpr const char *kSourceFile = "<string>";
constexpr const char *kModuleFrame = "<module>";
constexpr const char *kListcompFrame = "<listcomp>";
constexpr const char *kBuiltinsName = "__builtins__";

constexpr const char *kPolarityName = "__zk_polarity__";

// A program with the objects its nodes stand for: every constant, and every name as the
// interpreter's interned string.
struct NativeFormula {
    Program prog_;
    std::vector<nb::object> objects_;  // by node
};

nb::object interned(std::string_view s) {
    PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (o) PyUnicode_InternInPlace(&o);
    if (!o) rethrow();
    return nb::steal(o);
}

// The native form of `text`, or std::nullopt when it is not a str of the native forms. Reading
// has no effect on anything; an error of the interpreter while making the objects (out of
// memory) reaches the program.
std::optional<NativeFormula> native_formula(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        clear_only(PyExc_UnicodeEncodeError);
        return std::nullopt;
    }
    std::optional<Program> prog = read_program(std::string_view(utf8, static_cast<size_t>(size)));
    if (!prog) return std::nullopt;
    NativeFormula formula{std::move(*prog), {}};
    formula.objects_.resize(formula.prog_.nodes_.size());
    for (size_t n = 0; n < formula.prog_.nodes_.size(); ++n) {
        const Node &node = formula.prog_.nodes_[n];
        nb::object &obj = formula.objects_[n];
        switch (node.kind_) {
            case Kind::Const:
                switch (node.value_) {
                    case Value::kInt:
                        obj = nb::steal(PyLong_FromLongLong(node.int_));
                        if (!obj.is_valid()) rethrow();
                        break;
                    case Value::kLongInt: {
                        // The interpreter's own conversion, with its limit on the number of
                        // digits: a literal it refuses goes to `eval`, which refuses it too.
                        const std::string digits(node.text_);
                        obj = nb::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
                        if (!obj.is_valid()) {
                            clear_only(PyExc_ValueError);
                            return std::nullopt;
                        }
                        break;
                    }
                    case Value::kNone:
                        obj = nb::none();
                        break;
                    case Value::kTrue:
                        obj = nb::borrow(Py_True);
                        break;
                    case Value::kFalse:
                        obj = nb::borrow(Py_False);
                        break;
                }
                break;
            case Kind::Global:
            case Kind::Local:
            case Kind::Attr:
                obj = interned(node.text_);
                break;
            default:
                break;
        }
    }
    return formula;
}

void raise_unbound(PyObject *exc_type, const char *format, PyObject *name) {
    PyErr_Format(exc_type, format, PyUnicode_AsUTF8(name));
    // As the interpreter does, so that the error can suggest a close name.
    if (exc_type != PyExc_NameError) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (PyErr_GivenExceptionMatches(value, PyExc_NameError))
        (void)PyObject_SetAttrString(value, kNameAttr, name);
    PyErr_Restore(type, value, tb);
}

// The builtins a frame of `ns` sees, as the interpreter finds them when it makes the frame; the
// enclosing frame's when `ns` has none.
PyObject *builtins_of(PyObject *ns, PyObject *builtins_name, PyObject *enclosing) {
    PyObject *b = PyDict_GetItemWithError(ns, builtins_name);
    if (!b) {
        if (PyErr_Occurred()) return nullptr;
        b = enclosing ? enclosing : PyEval_GetBuiltins();
    } else if (PyModule_Check(b)) {
        b = PyModule_GetDict(b);
    }
    Py_INCREF(b);
    return b;
}

class Executor {
  public:
    Executor(const NativeFormula &formula, PyObject *ns, PyObject *builtins_name,
             PolaritySlot polarity_slot)
        : prog_(formula.prog_),
          objects_(formula.objects_),
          ns_(ns),
          builtins_name_(builtins_name),
          polarity_slot_(polarity_slot) {}

    ~Executor() {
        for (PyObject *o : values_) Py_DECREF(o);
        for (PyObject *o : iterators_) Py_DECREF(o);
        for (PyObject *o : made_) Py_DECREF(o);
        for (Frame &f : frames_) Py_XDECREF(f.result_);
        for (PyObject *o : locals_) Py_XDECREF(o);
        for (PyObject *b : builtins_) Py_DECREF(b);
    }

    PyObject *run() {
        std::vector<Instr> code = compile(prog_);
        PyObject *b = builtins_of(ns_, builtins_name_, nullptr);
        if (!b) return nullptr;
        builtins_.push_back(b);
        if (Py_EnterRecursiveCall("")) return nullptr;
        bool ok = execute(code);
        Py_LeaveRecursiveCall();
        if (!ok) {
            // The frames still open failed, innermost first, then the text's own.
            while (!frames_.empty()) {
                leave_frame();
                py_private::traceback_add(kListcompFrame, kSourceFile, 1);
            }
            py_private::traceback_add(kModuleFrame, kSourceFile, 1);
            return nullptr;
        }
        PyObject *r = values_.back();
        values_.pop_back();
        return r;
    }

  private:
    struct Frame {
        size_t base_;       // its slots in locals_
        PyObject *result_;  // the list it makes
        size_t iterators_;  // iterators_ size when it was entered
    };

    const Program &prog_;
    const std::vector<nb::object> &objects_;
    PyObject *ns_;
    PyObject *builtins_name_;
    PolaritySlot polarity_slot_;
    std::vector<PyObject *> values_;
    std::vector<PyObject *> iterators_;
    std::vector<PyObject *> made_;  // builtins of comprehensions about to start
    std::vector<Frame> frames_;
    std::vector<PyObject *> locals_;    // the slots of every comprehension frame, innermost last
    std::vector<PyObject *> builtins_;  // per frame: the module frame, then each comprehension

    const Node &node(int32_t n) const { return prog_.nodes_[static_cast<size_t>(n)]; }
    const Item &item(uint32_t k) const { return prog_.items_[k]; }

    bool push(PyObject *v) {
        if (!v) return false;
        values_.push_back(v);
        return true;
    }
    PyObject *pop() {
        PyObject *v = values_.back();
        values_.pop_back();
        return v;
    }

    void leave_frame() {
        Frame f = frames_.back();
        frames_.pop_back();
        while (iterators_.size() > f.iterators_) {
            Py_DECREF(iterators_.back());
            iterators_.pop_back();
        }
        for (size_t k = f.base_; k < locals_.size(); ++k) Py_XDECREF(locals_[k]);
        locals_.resize(f.base_);
        Py_DECREF(builtins_.back());
        builtins_.pop_back();
        Py_XDECREF(f.result_);
    }

    bool execute(const std::vector<Instr> &code) {
        size_t pc = 0;
        while (pc < code.size()) {
            const Instr &in = code[pc++];
            const Node &nd = node(in.node_);
            PyObject *obj = objects_[static_cast<size_t>(in.node_)].ptr();
            switch (in.op_) {
                case Ins::Const:
                    Py_INCREF(obj);
                    values_.push_back(obj);
                    break;
                case Ins::Global:
                    if (!push(global(obj))) return false;
                    break;
                case Ins::Local:
                    if (!push(local(nd, obj))) return false;
                    break;
                case Ins::Attr: {
                    PyObject *o = pop();
                    PyObject *r = PyObject_GetAttr(o, obj);
                    Py_DECREF(o);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Unary: {
                    PyObject *o = pop();
                    PyObject *r;
                    switch (static_cast<UnOp>(nd.op_)) {
                        case UnOp::Neg:
                            r = PyNumber_Negative(o);
                            break;
                        case UnOp::Pos:
                            r = PyNumber_Positive(o);
                            break;
                        default:
                            r = PyNumber_Invert(o);
                            break;
                    }
                    Py_DECREF(o);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Binary: {
                    PyObject *rhs = pop();
                    PyObject *l = pop();
                    PyObject *r;
                    switch (static_cast<BinOp>(nd.op_)) {
                        case BinOp::Add:
                            r = PyNumber_Add(l, rhs);
                            break;
                        case BinOp::Sub:
                            r = PyNumber_Subtract(l, rhs);
                            break;
                        case BinOp::Mul:
                            r = PyNumber_Multiply(l, rhs);
                            break;
                        default:
                            r = PyNumber_Power(l, rhs, Py_None);
                            break;
                    }
                    Py_DECREF(l);
                    Py_DECREF(rhs);
                    if (!push(r)) return false;
                    break;
                }
                case Ins::Call:
                    if (!push(call(nd))) return false;
                    break;
                case Ins::List:
                case Ins::Tuple:
                    if (!push(display(nd, in.op_ == Ins::List))) return false;
                    break;
                case Ins::MakeComp: {
                    PyObject *b = builtins_of(ns_, builtins_name_, builtins_.back());
                    if (!b) return false;
                    made_.push_back(b);
                    break;
                }
                case Ins::BeginComp: {
                    PyObject *iterable = pop();
                    PyObject *it = PyObject_GetIter(iterable);
                    Py_DECREF(iterable);
                    if (!it) return false;
                    PyObject *result = PyList_New(0);
                    if (!result) {
                        Py_DECREF(it);
                        return false;
                    }
                    frames_.push_back({locals_.size(), result, iterators_.size()});
                    iterators_.push_back(it);
                    locals_.resize(locals_.size() + static_cast<size_t>(nd.slots_), nullptr);
                    builtins_.push_back(made_.back());
                    made_.pop_back();
                    break;
                }
                case Ins::GetIter: {
                    PyObject *iterable = pop();
                    PyObject *it = PyObject_GetIter(iterable);
                    Py_DECREF(iterable);
                    if (!it) return false;
                    iterators_.push_back(it);
                    break;
                }
                case Ins::ForIter: {
                    // The interpreter looks at pending signals at every jump back to a loop's
                    // head.
                    if (PyErr_CheckSignals() < 0) return false;
                    PyObject *v = PyIter_Next(iterators_.back());
                    if (!v) {
                        if (PyErr_Occurred()) return false;
                        Py_DECREF(iterators_.back());
                        iterators_.pop_back();
                        pc = static_cast<size_t>(in.target_);
                        break;
                    }
                    PyObject *&slot = locals_[frames_.back().base_ + static_cast<size_t>(in.slot_)];
                    PyObject *old = slot;
                    slot = v;
                    Py_XDECREF(old);
                    break;
                }
                case Ins::Append: {
                    PyObject *e = pop();
                    int r = PyList_Append(frames_.back().result_, e);
                    Py_DECREF(e);
                    if (r < 0) return false;
                    break;
                }
                case Ins::Jump:
                    pc = static_cast<size_t>(in.target_);
                    break;
                case Ins::EndComp: {
                    PyObject *result = frames_.back().result_;
                    frames_.back().result_ = nullptr;
                    leave_frame();
                    values_.push_back(result);
                    break;
                }
            }
        }
        return true;
    }

    // At module level the name is looked up in the locals, then the globals (the same dict),
    // inside a comprehension in the globals alone; then in the frame's builtins.
    PyObject *global(PyObject *name) {
        PyObject *v = PyDict_GetItemWithError(ns_, name);
        if (!v && !PyErr_Occurred() && frames_.empty()) v = PyDict_GetItemWithError(ns_, name);
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (PyErr_Occurred()) return nullptr;
        PyObject *b = builtins_.back();
        if (PyDict_CheckExact(b)) {
            v = PyDict_GetItemWithError(b, name);
            if (v) {
                Py_INCREF(v);
                return v;
            }
            if (!PyErr_Occurred()) raise_unbound(PyExc_NameError, kNameErrorFormat, name);
            return nullptr;
        }
        v = PyObject_GetItem(b, name);
        if (!v && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            raise_unbound(PyExc_NameError, kNameErrorFormat, name);
        }
        return v;
    }

    PyObject *local(const Node &nd, PyObject *name) {
        size_t base = frames_[frames_.size() - 1 - static_cast<size_t>(nd.up_)].base_;
        PyObject *v = locals_[base + static_cast<size_t>(nd.slot_)];
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (nd.up_ == 0)
            raise_unbound(PyExc_UnboundLocalError, kUnboundLocalFormat, name);
        else
            raise_unbound(PyExc_NameError, kUnboundFreeFormat, name);
        return nullptr;
    }

    // The last `count` values, in order, taken off the stack.
    std::vector<PyObject *> take(uint32_t count) {
        std::vector<PyObject *> out(values_.end() - count, values_.end());
        values_.resize(values_.size() - count);
        return out;
    }

    PyObject *display(const Node &nd, bool list) {
        std::vector<PyObject *> values = take(nd.count_);
        Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
        PyObject *r = list ? PyList_New(n) : PyTuple_New(n);
        if (!r) {
            for (PyObject *o : values) Py_DECREF(o);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (list)
                PyList_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
            else
                PyTuple_SET_ITEM(r, k, values[static_cast<size_t>(k)]);
        }
        return r;
    }

    PyObject *call(const Node &nd) {
        std::vector<PyObject *> args = take(nd.count_);
        PyObject *fn = pop();
        // A comparison that the formula does not hold as a plain requirement is told so through
        // the registry it is encoded with.
        uint8_t *slot = nullptr;
        uint8_t saved = kPositive;
        if (nd.comparison_ && nd.polarity_ != kPositive && args.size() == 1) {
            slot = polarity_slot_(args[0]);
            if (slot) {
                saved = *slot;
                *slot = nd.polarity_;
            }
        }
        PyObject *r;
        if (!nd.starred_) {
            r = PyObject_Vectorcall(fn, args.data(), args.size(), nullptr);
        } else {
            // The starred items are lists: their items take their places.
            std::vector<PyObject *> flat;
            for (uint32_t k = 0; k < nd.count_; ++k) {
                PyObject *v = args[k];
                if (!item(nd.first_ + k).aux_) {
                    flat.push_back(v);
                    continue;
                }
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(v); ++j)
                    flat.push_back(PyList_GET_ITEM(v, j));
            }
            PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(flat.size()));
            if (tuple) {
                for (size_t j = 0; j < flat.size(); ++j) {
                    Py_INCREF(flat[j]);
                    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), flat[j]);
                }
                r = PyObject_Call(fn, tuple, nullptr);
                Py_DECREF(tuple);
            } else {
                r = nullptr;
            }
        }
        if (slot) *slot = saved;
        for (PyObject *o : args) Py_DECREF(o);
        Py_DECREF(fn);
        return r;
    }
};

// The text of a name the host's syntax tree holds; empty for one it cannot spell in UTF-8.
std::string_view utf8_of(nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) return {};
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8) {
        clear_only(PyExc_UnicodeEncodeError);
        return {};
    }
    return std::string_view(utf8, static_cast<size_t>(size));
}

bool is_a(nb::handle obj, const nb::object &cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool name_is(nb::handle obj, const char *attr, std::string_view value) {
    nb::object v = obj.attr(attr);
    return PyUnicode_Check(v.ptr()) && utf8_of(v) == value;
}

// The host's syntax tree of `text` with every comparison that the formula does not hold as a
// plain requirement given its registry through `__zk_polarity__(manager, polarity)`, which tells
// the registry where the comparison stands; the same rules as the native reading, plus the
// conditional expression, whose value is one of its branches. Null when no comparison needs it
// or the host cannot read the text (its `eval` then says why).
nb::object marked_tree(nb::handle text) {
    nb::object ast = nb::module_::import_("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(text, kSourceFile, "eval");
    } catch (nb::python_error &) {
        return nb::object();
    }
    nb::object call_t = ast.attr("Call"), attr_t = ast.attr("Attribute"), name_t = ast.attr("Name"),
               unary_t = ast.attr("UnaryOp"), invert_t = ast.attr("Invert"),
               list_t = ast.attr("List"), tuple_t = ast.attr("Tuple"),
               listcomp_t = ast.attr("ListComp"), ifexp_t = ast.attr("IfExp"),
               starred_t = ast.attr("Starred");
    std::unordered_map<PyObject *, uint8_t> polarity;
    auto of = [&](nb::handle n) {
        auto it = polarity.find(n.ptr());
        return it == polarity.end() ? kBothPolarities : it->second;
    };
    nb::object body = tree.attr("body");
    polarity[body.ptr()] = kPositive;
    std::vector<std::pair<nb::object, uint8_t>> sites;
    // Breadth first: every parent is met before its children.
    for (nb::handle node : ast.attr("walk")(body)) {
        uint8_t p = of(node);
        if (is_a(node, unary_t)) {
            if (is_a(node.attr("op"), invert_t)) polarity[node.attr("operand").ptr()] = negated(p);
        } else if (is_a(node, list_t) || is_a(node, tuple_t)) {
            for (nb::handle e : node.attr("elts")) polarity[e.ptr()] = p;
        } else if (is_a(node, listcomp_t)) {
            polarity[node.attr("elt").ptr()] = p;
        } else if (is_a(node, ifexp_t)) {
            polarity[node.attr("body").ptr()] = p;
            polarity[node.attr("orelse").ptr()] = p;
        } else if (is_a(node, call_t)) {
            nb::object fn = node.attr("func");
            nb::object args = node.attr("args");
            bool plain = nb::len(nb::object(node.attr("keywords"))) == 0;
            for (nb::handle a : args) plain = plain && !is_a(a, starred_t);
            if (!plain || !is_a(fn, attr_t)) continue;
            if (name_is(fn, "attr", kComparisonCall)) {
                if (p != kPositive && nb::len(args) == 1) sites.emplace_back(nb::borrow(node), p);
                continue;
            }
            nb::object owner = fn.attr("value");
            if (!is_a(owner, name_t) || !name_is(owner, "id", kConnectiveOwner)) continue;
            nb::object connective = fn.attr("attr");
            const std::string_view name = utf8_of(connective);
            size_t k = 0;
            for (nb::handle a : args) polarity[a.ptr()] = argument_polarity(name, k++, p);
        }
    }
    if (sites.empty()) return nb::object();
    for (auto &[call, p] : sites) {
        nb::list args = nb::borrow<nb::list>(call.attr("args"));
        nb::list wrapped_args;
        wrapped_args.append(args[0]);
        wrapped_args.append(ast.attr("Constant")(nb::int_(p)));
        nb::object fn = name_t(kPolarityName, ast.attr("Load")());
        args[0] = call_t(fn, wrapped_args, nb::list());
    }
    ast.attr("fix_missing_locations")(tree);
    return tree;
}

// `__zk_polarity__(manager, polarity)`: tells a registry whose slot `polarity_slot` reads where
// the comparison it is about to encode stands, and gives it back. One function per slot, made
// once and kept for the life of the process, past the interpreter's own end.
nb::handle polarity_teller(PolaritySlot polarity_slot) {
    static std::vector<std::pair<PolaritySlot, nb::handle>> made;
    for (const auto &[slot, teller] : made)
        if (slot == polarity_slot) return teller;
    nb::handle teller = nb::cpp_function([polarity_slot](nb::handle manager, int polarity) {
                            if (uint8_t *slot = polarity_slot(manager))
                                *slot = static_cast<uint8_t>(polarity);
                            return nb::borrow(manager);
                        }).release();
    made.emplace_back(polarity_slot, teller);
    return teller;
}

nb::object eval_with_polarities(nb::handle text, nb::handle ns, nb::handle fallback_eval,
                                PolaritySlot polarity_slot) {
    nb::object tree;
    if (PyUnicode_Check(text.ptr()) && PyDict_Check(ns.ptr())) tree = marked_tree(text);
    if (!tree.is_valid()) return fallback_eval(text, ns, ns);
    nb::handle tell = polarity_teller(polarity_slot);
    nb::object code = nb::module_::import_("builtins").attr("compile")(tree, kSourceFile, "eval");
    nb::str name(kPolarityName);
    nb::object previous = nb::borrow(PyDict_GetItemWithError(ns.ptr(), name.ptr()));
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyDict_SetItem(ns.ptr(), name.ptr(), tell.ptr()) < 0) throw nb::python_error();
    auto restore = [&] {
        if (previous.is_valid())
            PyDict_SetItem(ns.ptr(), name.ptr(), previous.ptr());
        else if (PyDict_DelItem(ns.ptr(), name.ptr()) < 0)
            PyErr_Clear();
    };
    try {
        nb::object r = fallback_eval(code, ns, ns);
        restore();
        return r;
    } catch (...) {
        restore();
        throw;
    }
}

}  // namespace

bool formula_is_native(nb::handle text) { return native_formula(text).has_value(); }

nb::object eval_formula(nb::handle text, nb::handle ns, nb::handle fallback_eval,
                        PolaritySlot polarity_slot) {
    std::optional<NativeFormula> formula;
    if (!texts::host_evaluation_only() && PyDict_CheckExact(ns.ptr()))
        formula = native_formula(text);
    if (!formula) return eval_with_polarities(text, ns, fallback_eval, polarity_slot);
    nb::str builtins_name(kBuiltinsName);
    // As `eval` does before it runs anything.
    PyObject *b = PyDict_GetItemWithError(ns.ptr(), builtins_name.ptr());
    if (!b) {
        if (PyErr_Occurred()) throw nb::python_error();
        if (PyDict_SetItem(ns.ptr(), builtins_name.ptr(), PyEval_GetBuiltins()) < 0)
            throw nb::python_error();
    }
    PyObject *r = Executor(*formula, ns.ptr(), builtins_name.ptr(), polarity_slot).run();
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void def_formula_eval(nb::module_ &m, PolaritySlot polarity_slot) {
    nb::object eval_fn = nb::module_::import_("builtins").attr("eval");
    m.def(
        "_eval_formula",
        [eval_fn, polarity_slot](nb::object text, nb::object ns) {
            return eval_formula(text, ns, eval_fn, polarity_slot);
        },
        nb::arg("text").none(), nb::arg("namespace").none());
    m.def(
        "_formula_is_native", [](nb::object text) { return formula_is_native(text); },
        nb::arg("text").none());
}

}  // namespace zk::formula
