// Bindings of nubrix.sorn_engine.bxpr: Boolean expressions, their context, Tseytin
// transformation. Every expression object holds a shared reference to the graph of its nodes,
// so an expression stays valid after its Context is dropped.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "common/format.hpp"
#include "core/bxpr.hpp"

namespace se {

namespace {

using bxpr::Graph;
using bxpr::Kind;
using bxpr::Ref;
using GraphPtr = std::shared_ptr<Graph>;

constexpr const char *kModuleDoc =
    "Boolean expressions, their context and named variables, "
    "n-ary connectives, constants, negation, support and Tseytin "
    "transformation";
constexpr const char *kMixedContexts = "bxpr: expressions of different contexts cannot be combined";
constexpr const char *kForeignContext =
    "bxpr: tseytin needs the context that made the expression's variables";
constexpr const char *kClauseOffsets =
    "clauses_s: offsets must start at 0, not decrease and end at the number of picks";
constexpr const char *kClausePick = "clauses_s: a pick is outside the expressions";
constexpr const char *kNotClauseForm = "bxpr: the expression is not in clause form";
using zk::format_message;

constexpr const char *kOneList = "bxpr: {} takes one list of expressions, not an expression";
constexpr const char *kNotExpression = "bxpr: {} expects Boolean expressions, not '{}'";

// The graph of compound expressions built from constants alone, such as and_([]). Such an
// expression has no variable, so it can join any context: its nodes are copied over.
const GraphPtr &free_graph() {
    static GraphPtr *g = new GraphPtr(std::make_shared<Graph>());
    return *g;
}

// Constants fold without any graph nodes; this graph only lends its constructors.
Graph &constant_folder() {
    static Graph *g = new Graph();
    return *g;
}

struct Context {
    GraphPtr graph_ = std::make_shared<Graph>();
};

struct Expr {
    GraphPtr graph_;  // null for the constants
    Ref ref_ = bxpr::kFalse;
};
struct LiteralExpr : Expr {};
struct VariableExpr : LiteralExpr {};
struct ComplementExpr : LiteralExpr {};
struct ConstantExpr : Expr {};
struct ZeroExpr : ConstantExpr {};
struct OneExpr : ConstantExpr {};
struct AndExpr : Expr {};
struct OrExpr : Expr {};
struct XorExpr : Expr {};
struct EqualExpr : Expr {};
struct ImpliesExpr : Expr {};
struct IteExpr : Expr {};
struct NotExpr : Expr {};

template <class T>
nb::object box(const GraphPtr &g, Ref r) {
    T t;
    t.graph_ = g;
    t.ref_ = r;
    return nb::cast(std::move(t));
}

nb::object wrap(const GraphPtr &g, Ref r) {
    if (bxpr::is_const(r))
        return r == bxpr::kTrue ? box<OneExpr>(nullptr, r) : box<ZeroExpr>(nullptr, r);
    Kind kind = g->kind(bxpr::node_of(r));
    if (kind == Kind::kVar)
        return bxpr::is_negated(r) ? box<ComplementExpr>(g, r) : box<VariableExpr>(g, r);
    if (bxpr::is_negated(r)) return box<NotExpr>(g, r);
    switch (kind) {
        case Kind::kAnd:
            return box<AndExpr>(g, r);
        case Kind::kOr:
            return box<OrExpr>(g, r);
        case Kind::kXor:
            return box<XorExpr>(g, r);
        case Kind::kEq:
            return box<EqualExpr>(g, r);
        case Kind::kImpl:
            return box<ImpliesExpr>(g, r);
        default:
            return box<IteExpr>(g, r);
    }
}

// Copies a variable-free expression of the free graph into `dst`.
Ref import_free(Graph &dst, const Graph &src, Ref root) {
    if (bxpr::is_const(root)) return root;
    bxpr::NodeIndex index(src);
    std::vector<Ref> copied;
    struct Frame {
        uint32_t node_;
        uint32_t next_;
    };
    std::vector<Frame> stack{{bxpr::node_of(root), 0}};
    index.insert(bxpr::node_of(root));
    copied.push_back(bxpr::kFalse);
    std::vector<Ref> ops;
    auto mapped = [&](Ref c) {
        return bxpr::is_const(c) ? c : copied[index.find(bxpr::node_of(c))] ^ (c & 1u);
    };
    while (!stack.empty()) {
        uint32_t node = stack.back().node_;
        bxpr::ArgSpan args = src.args(node);
        if (stack.back().next_ < args.size()) {
            Ref c = args[stack.back().next_++];
            if (bxpr::is_const(c)) continue;
            auto [slot, fresh] = index.insert(bxpr::node_of(c));
            if (fresh) {
                copied.push_back(bxpr::kFalse);
                stack.push_back(Frame{bxpr::node_of(c), 0});
            }
            (void)slot;
            continue;
        }
        ops.clear();
        for (Ref c : args) ops.push_back(mapped(c));
        Ref r;
        Kind kind = src.kind(node);
        if (kind == Kind::kAnd || kind == Kind::kOr) {
            r = dst.make_raw(kind, ops.data(), ops.size());
        } else if (kind == Kind::kXor) {
            r = dst.make_xor(ops.data(), ops.size());
        } else if (kind == Kind::kEq) {
            r = dst.make_eq(ops.data(), ops.size());
        } else if (kind == Kind::kImpl) {
            r = dst.make_impl(ops[0], ops[1]);
        } else {
            r = dst.make_ite(ops[0], ops[1], ops[2]);
        }
        copied[index.find(node)] = r;
        stack.pop_back();
    }
    return mapped(root);
}

// Operands of one call, all moved into one graph.
struct Operands {
    GraphPtr graph_;
    std::vector<Ref> refs_;
    std::vector<size_t> free_;  // positions of operands that live in the free graph

    void add(nb::handle h, const char *fn) {
        Expr *e = nullptr;
        if (!nb::try_cast<Expr *>(h, e, false) || e == nullptr)
            throw nb::type_error(
                format_message(kNotExpression, fn, Py_TYPE(h.ptr())->tp_name).c_str());
        if (e->graph_ == free_graph()) {
            free_.push_back(refs_.size());
        } else if (e->graph_) {
            if (!graph_)
                graph_ = e->graph_;
            else if (graph_ != e->graph_)
                throw nb::value_error(kMixedContexts);
        }
        refs_.push_back(e->ref_);
    }

    // The graph the result lives in, after copying free operands into it.
    Graph &settle() {
        if (!graph_) {
            if (free_.empty()) return constant_folder();
            graph_ = free_graph();
            return *graph_;
        }
        for (size_t i : free_) refs_[i] = import_free(*graph_, *free_graph(), refs_[i]);
        return *graph_;
    }
};

Operands gather(nb::handle seq, const char *fn) {
    if (nb::isinstance<Expr>(seq)) throw nb::type_error(format_message(kOneList, fn).c_str());
    Operands ops;
    if (PyList_Check(seq.ptr()) || PyTuple_Check(seq.ptr())) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
        ops.refs_.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) ops.add(items[i], fn);
    } else {
        for (nb::handle h : nb::iter(seq)) ops.add(h, fn);
    }
    return ops;
}

Operands pair_of(nb::handle a, nb::handle b, const char *fn) {
    Operands ops;
    ops.add(a, fn);
    ops.add(b, fn);
    return ops;
}

nb::object result(Operands &ops, Ref r) {
    return wrap(bxpr::is_const(r) ? GraphPtr() : ops.graph_, r);
}

using NaryMaker = Ref (Graph::*)(const Ref *, size_t);

nb::object nary(nb::handle seq, const char *fn, NaryMaker make) {
    Operands ops = gather(seq, fn);
    Graph &g = ops.settle();
    return result(ops, (g.*make)(ops.refs_.data(), ops.refs_.size()));
}

// An operator whose right operand is no expression answers NotImplemented, so that Python can
// try the other operand's reflected operator.
nb::object binary(nb::handle a, nb::handle b, const char *fn, NaryMaker make) {
    if (!nb::isinstance<Expr>(b)) return nb::borrow(Py_NotImplemented);
    Operands ops = pair_of(a, b, fn);
    Graph &g = ops.settle();
    return result(ops, (g.*make)(ops.refs_.data(), ops.refs_.size()));
}

std::string text_of(const Expr &e) { return bxpr::to_text(e.graph_.get(), e.ref_); }

nb::tuple args_of(const Expr &e) {
    if (bxpr::is_const(e.ref_)) return nb::tuple();
    uint32_t node = bxpr::node_of(e.ref_);
    if (e.graph_->kind(node) == Kind::kVar) return nb::tuple();
    if (bxpr::is_negated(e.ref_)) return nb::make_tuple(wrap(e.graph_, bxpr::negate(e.ref_)));
    bxpr::ArgSpan args = e.graph_->args(node);
    nb::object out = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!out.is_valid()) throw nb::python_error();
    for (uint32_t i = 0; i < args.size(); ++i)
        PyTuple_SET_ITEM(out.ptr(), i, wrap(e.graph_, args[i]).release().ptr());
    return nb::borrow<nb::tuple>(out);
}

nb::frozenset support_of(const Expr &e) {
    nb::list vars;
    if (!bxpr::is_const(e.ref_))
        for (uint32_t node : bxpr::support(*e.graph_, e.ref_))
            vars.append(wrap(e.graph_, bxpr::make_ref(node, false)));
    return nb::frozenset(vars);
}

nb::object tseytin_of(const Expr &e, Context &ctx, std::string_view prefix) {
    if (bxpr::is_const(e.ref_)) return wrap(nullptr, e.ref_);
    // A variable-free expression always simplifies to a constant, so the free graph gains no
    // auxiliaries and the context is not touched.
    Graph *g = e.graph_.get();
    if (e.graph_ != free_graph() && e.graph_ != ctx.graph_) throw nb::value_error(kForeignContext);
    Ref r = bxpr::tseytin(*g, e.ref_, prefix);
    return wrap(e.graph_, r);
}

nb::tuple clause_arrays_of(const Expr &e) {
    std::vector<uint32_t> vars;
    std::vector<int64_t> offsets;
    std::vector<int32_t> lits;
    if (!bxpr::read_clauses(e.graph_.get(), e.ref_, vars, offsets, lits))
        throw nb::value_error(kNotClauseForm);
    nb::list names;
    for (uint32_t node : vars)
        names.append(nb::str(e.graph_->name(node).c_str(), e.graph_->name(node).size()));
    return nb::make_tuple(names, numpy_copy(std::move(offsets)), numpy_copy(std::move(lits)));
}

nb::list clause_texts_of(const Expr &e) {
    std::vector<uint32_t> vars;
    std::vector<int64_t> offsets;
    std::vector<int32_t> lits;
    if (!bxpr::read_clauses(e.graph_.get(), e.ref_, vars, offsets, lits))
        throw nb::value_error(kNotClauseForm);
    std::vector<nb::object> pos;
    std::vector<nb::object> neg;
    pos.reserve(vars.size());
    neg.reserve(vars.size());
    for (uint32_t node : vars) {
        const std::string &name = e.graph_->name(node);
        pos.push_back(nb::str(name.c_str(), name.size()));
        neg.push_back(nb::str(("~" + name).c_str(), name.size() + 1));
    }
    nb::list out;
    for (size_t c = 0; c + 1 < offsets.size(); ++c) {
        nb::list clause;
        for (int64_t i = offsets[c]; i < offsets[c + 1]; ++i) {
            int32_t l = lits[static_cast<size_t>(i)];
            clause.append(l > 0 ? pos[static_cast<size_t>(l - 1)]
                                : neg[static_cast<size_t>(-l - 1)]);
        }
        out.append(clause);
    }
    return out;
}

bool same(const Expr &a, const Expr &b) {
    return a.ref_ == b.ref_ && (bxpr::is_const(a.ref_) || a.graph_ == b.graph_);
}

}  // namespace

void register_bxpr(nb::module_ &m) {
    nb::module_ bx = make_submodule(m, "bxpr", kModuleDoc);

    nb::class_<Context>(bx, "Context", "Maker of named Boolean variables")
        .def(nb::init<>())
        .def(
            "get_var",
            [](Context &ctx, std::string_view name) {
                return wrap(ctx.graph_, ctx.graph_->var(name));
            },
            nb::arg("name"), "The variable of that name in this context, made on first request")
        .def(
            "__len__", [](const Context &ctx) { return ctx.graph_->var_count(); },
            "Number of variables of the context");

    nb::class_<Expr>(bx, "BaseExpr", "Boolean expression")
        .def("__invert__",
             [](const Expr &e) {
                 return wrap(bxpr::is_const(e.ref_) ? nullptr : e.graph_, bxpr::negate(e.ref_));
             })
        .def(
            "__and__",
            [](nb::handle a, nb::handle b) { return binary(a, b, "&", &Graph::make_and); },
            nb::is_operator())
        .def(
            "__or__", [](nb::handle a, nb::handle b) { return binary(a, b, "|", &Graph::make_or); },
            nb::is_operator())
        .def(
            "__xor__",
            [](nb::handle a, nb::handle b) { return binary(a, b, "^", &Graph::make_xor); },
            nb::is_operator())
        .def(
            "__eq__", [](const Expr &a, const Expr &b) { return same(a, b); }, nb::is_operator())
        .def(
            "__ne__", [](const Expr &a, const Expr &b) { return !same(a, b); }, nb::is_operator())
        .def("__hash__",
             [](const Expr &e) {
                 size_t g = bxpr::is_const(e.ref_) ? 0 : reinterpret_cast<size_t>(e.graph_.get());
                 return static_cast<Py_ssize_t>(std::hash<size_t>()(g) * 31u + e.ref_);
             })
        // Expressions are immutable values: a copy is the object itself.
        .def("__copy__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__deepcopy__", [](nb::handle self, nb::handle) { return nb::borrow(self); },
            nb::arg("memo"))
        .def("__str__", &text_of)
        .def("__repr__", &text_of)
        .def("get_args", &args_of, "The operands in order; none for literals and constants")
        .def("support", &support_of, "The variables of the expression")
        .def("tseytin", &tseytin_of, nb::arg("ctx"), nb::arg("prefix"),
             "Equisatisfiable clause form, or Zero/One; new variables prefix_0, prefix_1, ...")
        .def(
            "is_cnf", [](const Expr &e) { return bxpr::is_clause_form(e.graph_.get(), e.ref_); },
            "Whether the expression is a clause form: a conjunction of clauses or one clause")
        .def("clause_texts", &clause_texts_of,
             "The clauses of a clause form, each a list of literal texts")
        .def("clause_arrays", &clause_arrays_of,
             "The clauses of a clause form as (names, offsets, literals): literal +-(i + 1) "
             "stands for names[i], clause c is literals[offsets[c]:offsets[c + 1]]");

    nb::class_<LiteralExpr, Expr>(bx, "Literal", "A variable or a negated variable");
    nb::class_<VariableExpr, LiteralExpr>(bx, "Variable", "Named Boolean variable")
        .def_prop_ro("name",
                     [](const VariableExpr &v) { return v.graph_->name(bxpr::node_of(v.ref_)); });
    nb::class_<ComplementExpr, LiteralExpr>(bx, "Complement", "Negated variable")
        .def_prop_ro("name",
                     [](const ComplementExpr &v) { return v.graph_->name(bxpr::node_of(v.ref_)); });
    nb::class_<ConstantExpr, Expr>(bx, "Constant", "Constant false or true");
    nb::class_<ZeroExpr, ConstantExpr>(bx, "Zero", "Constant false");
    nb::class_<OneExpr, ConstantExpr>(bx, "One", "Constant true");
    nb::class_<AndExpr, Expr>(bx, "And", "Conjunction");
    nb::class_<OrExpr, Expr>(bx, "Or", "Disjunction");
    nb::class_<XorExpr, Expr>(bx, "Xor", "Exclusive or: an odd number of operands hold");
    nb::class_<EqualExpr, Expr>(bx, "Equal", "Equivalence: all operands have one value");
    nb::class_<ImpliesExpr, Expr>(bx, "Implies", "Implication");
    nb::class_<IteExpr, Expr>(bx, "ITE", "If-then-else");
    nb::class_<NotExpr, Expr>(bx, "Not", "Negation of a connective");

    bx.def("one", [] { return wrap(nullptr, bxpr::kTrue); }, "Constant true");
    bx.def("zero", [] { return wrap(nullptr, bxpr::kFalse); }, "Constant false");
    bx.def(
        "and_s", [](nb::handle xs) { return nary(xs, "and_s", &Graph::make_and); },
        nb::arg("exprs"), "Conjunction, simplified; of no operand, One");
    bx.def(
        "or_s", [](nb::handle xs) { return nary(xs, "or_s", &Graph::make_or); }, nb::arg("exprs"),
        "Disjunction, simplified; of no operand, Zero");
    bx.def(
        "xor_s", [](nb::handle xs) { return nary(xs, "xor_s", &Graph::make_xor); },
        nb::arg("exprs"), "Exclusive or (odd parity), simplified; of no operand, Zero");
    bx.def(
        "eq_s", [](nb::handle xs) { return nary(xs, "eq_s", &Graph::make_eq); }, nb::arg("exprs"),
        "Equivalence (all operands equal), simplified; of fewer than two, One");
    bx.def(
        "impl_s",
        [](nb::handle p, nb::handle q) {
            Operands ops = pair_of(p, q, "impl_s");
            Graph &g = ops.settle();
            return result(ops, g.make_impl(ops.refs_[0], ops.refs_[1]));
        },
        nb::arg("p"), nb::arg("q"), "Implication p => q, simplified");
    bx.def(
        "ite_s",
        [](nb::handle c, nb::handle t, nb::handle e) {
            Operands ops;
            ops.add(c, "ite_s");
            ops.add(t, "ite_s");
            ops.add(e, "ite_s");
            Graph &g = ops.settle();
            return result(ops, g.make_ite(ops.refs_[0], ops.refs_[1], ops.refs_[2]));
        },
        nb::arg("c"), nb::arg("t"), nb::arg("e"), "If c then t else e, simplified");
    bx.def(
        "clauses_s",
        [](nb::handle exprs, std::vector<int64_t> offsets, std::vector<int64_t> picks) {
            Operands ops = gather(exprs, "clauses_s");
            Graph &g = ops.settle();
            if (offsets.empty() || offsets.front() != 0 ||
                offsets.back() != static_cast<int64_t>(picks.size()))
                throw nb::value_error(kClauseOffsets);
            std::vector<Ref> clause, conj;
            conj.reserve(offsets.size() - 1);
            for (size_t c = 0; c + 1 < offsets.size(); ++c) {
                if (offsets[c + 1] < offsets[c]) throw nb::value_error(kClauseOffsets);
                clause.clear();
                for (int64_t k = offsets[c]; k < offsets[c + 1]; ++k) {
                    int64_t at = picks[static_cast<size_t>(k)];
                    if (at < 0 || at >= static_cast<int64_t>(ops.refs_.size()))
                        throw nb::index_error(kClausePick);
                    clause.push_back(ops.refs_[static_cast<size_t>(at)]);
                }
                conj.push_back(g.make_or(clause.data(), clause.size()));
            }
            return result(ops, g.make_and(conj.data(), conj.size()));
        },
        nb::arg("exprs"), nb::arg("offsets"), nb::arg("picks"),
        "and_s of one or_s per clause, clause c of exprs[picks[offsets[c]:offsets[c + 1]]], "
        "in one call");
    bx.def(
        "and_",
        [](nb::handle xs) {
            Operands ops = gather(xs, "and_");
            Graph *g = &ops.settle();
            if (g == &constant_folder()) {
                ops.graph_ = free_graph();
                g = ops.graph_.get();
            }
            return wrap(ops.graph_, g->make_raw(Kind::kAnd, ops.refs_.data(), ops.refs_.size()));
        },
        nb::arg("exprs"), "Conjunction of exactly these operands, in order, nothing merged");
}

}  // namespace se
