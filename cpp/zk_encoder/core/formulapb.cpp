// zk_encoder.core.formulapb: a pseudo-Boolean term joined to the engine, either as a constraint
// (encoded by the engine's pseudo-Boolean encoder, its clauses returned as one Boolean formula) or
// as an objective (unit literals with one weight each, the form of a soft constraint).
//
// An encoding may have millions of literals: they are read into flat arrays once, and each
// distinct number is turned into its engine variable (and negation) once.
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/engine_calls.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/numbers.hpp"
#include "common/unpack.hpp"
#include "zk_encoder/core/manager.hpp"

namespace zk::core {

namespace {

constexpr const char *kPbModule = "nubrix.sorn_engine.pbct";
constexpr const char *kBxModule = "nubrix.sorn_engine.bxpr";
constexpr const char *kBeforeToBx = "FormulaPB before to_bx: {}";
constexpr const char *kAfterToBx = "Bx formula from FormulaPB: {}";
constexpr const char *kBeforeToMaxsat = "FormulaPB before to_maxsat: {}";

// The module's globals: pb, bx and log_d are read from them at every call.
ModuleGlobals g_module;

void log_debug(const char *format, nb::handle value) {
    g_module.log("log_d", format_message_str(format, nb::str(value)));
}

struct FormulaPB {
    nb::object expression_;
    nb::object comparator_;
    nb::object border_;  // tuple of the further positional arguments
};

using FormulaGc =
    GcSlots<FormulaPB, &FormulaPB::expression_, &FormulaPB::comparator_, &FormulaPB::border_>;

// Clauses as flat arrays: clause i holds lits[offsets[i] .. offsets[i + 1]).
using FlatClauses = engine_calls::ClauseLists;

int64_t as_literal(PyObject *o) { return static_cast<int64_t>(index_int64(o)); }

// Engine literals of pseudo-Boolean numbers, made once per number and sign. Numbers are resolved
// in the order they are first met, which is what names the encoder's auxiliaries in order.
class LiteralTable {
  public:
    explicit LiteralTable(nb::handle manager) : manager_(manager), fast_(exact_manager(manager)) {}

    nb::object literal(int64_t lit) {
        int64_t num = lit > 0 ? lit : -lit;
        if (!fast_) {
            // Any other registry is asked for every literal, as its contract is written.
            nb::object var = manager_.attr("get_pb_var")(num);
            return lit > 0 ? var : check(PyNumber_Invert(var.ptr()));
        }
        Entry &e = table_[num];
        if (!e.pos_.is_valid()) e.pos_ = fast_->get_pb_var(nb::int_(num));
        if (lit > 0) return e.pos_;
        if (!e.neg_.is_valid()) e.neg_ = check(PyNumber_Invert(e.pos_.ptr()));
        return e.neg_;
    }

  private:
    struct Entry {
        nb::object pos_, neg_;
    };
    nb::handle manager_;
    Manager *fast_ = nullptr;
    std::unordered_map<int64_t, Entry> table_;
};

nb::object translate(const FlatClauses &flat, nb::handle manager) {
    LiteralTable table(manager);
    return engine_calls::clause_formula(g_module.get("bx"), flat,
                                        [&](int64_t lit) { return table.literal(lit); });
}

// The encoder's clauses for `terms` compared by `comparator` with the bounds `border`.
FlatClauses encode(nb::handle terms, nb::handle comparator, nb::handle border, nb::handle manager) {
    nb::object pb = g_module.get("pb");
    Py_ssize_t extra = PyTuple_GET_SIZE(border.ptr());
    nb::object args = check(PyTuple_New(2 + extra));
    PyTuple_SET_ITEM(args.ptr(), 0, nb::borrow(terms).release().ptr());
    PyTuple_SET_ITEM(args.ptr(), 1, nb::borrow(comparator).release().ptr());
    for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(args.ptr(), 2 + i,
                         nb::borrow(PyTuple_GET_ITEM(border.ptr(), i)).release().ptr());
    nb::object constraint =
        check(PyObject_Call(pb.attr("PBConstraint").ptr(), args.ptr(), nullptr));

    nb::object formula = pb.attr("VectorClauseDatabase")(manager.attr("pb_config"));
    nb::object encoder = pb.attr("pb2cnf")(manager.attr("pb_config"));
    encoder.attr("encode2")(constraint, formula, manager.attr("pb_var_manager"));
    return engine_calls::database_clauses(formula);
}

nb::object plus(nb::handle a, long b) {
    nb::object d = nb::int_(b);
    return check(PyNumber_Add(a.ptr(), d.ptr()));
}

// One side of the complement: the terms against a single bound.
struct Side {
    const char *comparator_;
    nb::object bound_;
};

// The comparisons whose disjunction is the complement of `comparator` over `border`: at most k
// fails exactly when at least k + 1 holds, and so on. Empty for bounds of another shape, which
// the encoder has refused already.
std::vector<Side> complement_sides(nb::handle comparator, nb::handle border) {
    nb::object types = g_module.get("pb").attr("Comparator_type");
    Py_ssize_t n = PyTuple_GET_SIZE(border.ptr());
    auto is = [&](const char *name) { return comparator.is(types.attr(name)); };
    if (n == 1) {
        nb::handle k = PyTuple_GET_ITEM(border.ptr(), 0);
        if (is("LEQ")) return {{"GEQ", plus(k, 1)}};
        if (is("GEQ")) return {{"LEQ", plus(k, -1)}};
        if (is("BOTH")) return {{"LEQ", plus(k, -1)}, {"GEQ", plus(k, 1)}};
    } else if (n == 2 && is("BOTH")) {
        return {{"LEQ", plus(PyTuple_GET_ITEM(border.ptr(), 0), -1)},
                {"GEQ", plus(PyTuple_GET_ITEM(border.ptr(), 1), 1)}};
    }
    return {};
}

// Whether every literal of the clauses is a variable the formula named before the encoding
// (a model variable): then the clauses are exactly the comparison, in any context.
bool without_auxiliaries(const FlatClauses &flat, const Manager &mgr) {
    for (int64_t lit : flat.lits_) {
        nb::object num = nb::int_(lit > 0 ? lit : -lit);
        if (!Manager::find(mgr.pb2bx_, num)) return false;
    }
    return true;
}

// The clauses with `lit` added in front of each one: they then hold wherever `lit` is false.
FlatClauses guarded(const FlatClauses &flat, int64_t lit) {
    FlatClauses out;
    out.offsets_.reserve(flat.offsets_.size());
    out.lits_.reserve(flat.lits_.size() + flat.offsets_.size());
    for (size_t i = 0; i + 1 < flat.offsets_.size(); ++i) {
        out.lits_.push_back(lit);
        out.lits_.insert(out.lits_.end(), flat.lits_.begin() + flat.offsets_[i],
                         flat.lits_.begin() + flat.offsets_[i + 1]);
        out.offsets_.push_back(static_cast<int64_t>(out.lits_.size()));
    }
    return out;
}

// A comparison that does not stand as a plain requirement: a new literal r that means exactly the
// comparison where the formula reads it. Where r is read true, its clauses guarded by ~r define
// it; where it is read false, the clauses of the complement guarded by r. The definitions go to
// the registry, to be conjoined with the whole formula, where they are plain requirements.
nb::object reified(const FormulaPB &f, nb::handle manager, Manager &mgr, uint8_t polarity,
                   nb::handle terms, FlatClauses flat) {
    if (without_auxiliaries(flat, mgr)) return translate(flat, manager);
    nb::object num = mgr.pb_var_manager().attr("get_variable")();
    int64_t r = as_literal(num.ptr());
    nb::object literal = mgr.get_pb_var(num);
    // Both encodings first: should the complement fail, nothing is recorded.
    std::vector<FlatClauses> complements;
    if (polarity & kNegative) {
        std::vector<Side> sides = complement_sides(f.comparator_, f.border_);
        if (sides.empty()) throw nb::type_error("a comparison under negation needs one bound");
        nb::object types = g_module.get("pb").attr("Comparator_type");
        for (const Side &side : sides)
            complements.push_back(
                encode(terms, types.attr(side.comparator_), nb::make_tuple(side.bound_), manager));
    }
    nb::object bx = g_module.get("bx");
    nb::list definitions;
    if (polarity & kPositive) definitions.append(translate(guarded(flat, -r), manager));
    if (complements.size() == 1) {
        definitions.append(translate(guarded(complements[0], r), manager));
    } else if (complements.size() == 2) {
        nb::list either;
        either.append(literal);
        for (const FlatClauses &c : complements) either.append(translate(c, manager));
        definitions.append(bx.attr("or_s")(either));
    }
    for (nb::handle d : definitions) mgr.definitions_.append(nb::make_tuple(literal, d));
    return literal;
}

nb::object to_bx(const FormulaPB &f, nb::handle manager) {
    // Where this comparison stands was told for this comparison alone.
    Manager *mgr = exact_manager(manager);
    uint8_t polarity = kPositive;
    if (mgr) std::swap(polarity, mgr->polarity_);
    log_debug(kBeforeToBx, f.expression_);
    nb::object pb_expression = f.expression_.attr("to_pb")();
    FlatClauses flat = encode(pb_expression, f.comparator_, f.border_, manager);
    nb::object bx_formula =
        polarity != kPositive ? reified(f, manager, *mgr, polarity, pb_expression, std::move(flat))
                              : translate(flat, manager);
    log_debug(kAfterToBx, bx_formula);
    return bx_formula;
}

bool truth(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::tuple to_maxsat(const FormulaPB &f, nb::handle manager, nb::handle minimization) {
    log_debug(kBeforeToMaxsat, f.expression_);
    nb::list weights, literals;
    nb::object pairs = f.expression_.attr("to_maxsat")();
    nb::object zero = nb::int_(0);
    Manager *fast = exact_manager(manager);
    nb::object iter = check(PyObject_GetIter(pairs.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(raw);
        auto [var_idx, weight] = zk::unpack_pair(item);
        weights.append(check(PyNumber_Absolute(weight.ptr())));
        nb::object var = fast ? fast->get_pb_var(var_idx) : manager.attr("get_pb_var")(var_idx);
        bool positive = truth(check(PyObject_RichCompare(weight.ptr(), zero.ptr(), Py_GT)));
        // Negated exactly when both tests agree: the weight an assignment falsifies then grows
        // with the term when minimising and with its negative otherwise.
        if (positive == truth(minimization))
            literals.append(check(PyNumber_Invert(var.ptr())));
        else
            literals.append(var);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object conj = g_module.get("bx").attr("and_")(literals);
    return nb::make_tuple(conj, weights);
}

void bind_module(nb::module_ &m) {
    init_module();
    g_module.bind(m);

    m.attr("pb") = nb::module_::import_(kPbModule);
    m.attr("bx") = nb::module_::import_(kBxModule);
    import_logger(m);

    nb::class_<FormulaPB>(m, "FormulaPB", nb::type_slots(FormulaGc::slots_))
        .def(
            "__init__",
            [](FormulaPB *self, nb::object expression, nb::object comparator, nb::args border) {
                new (self)
                    FormulaPB{std::move(expression), std::move(comparator), nb::borrow(border)};
            },
            nb::arg("expression").none(), nb::arg("comparator").none(), nb::arg("border"))
        .def("to_bx", &to_bx, nb::arg("manager").none())
        .def("to_maxsat", &to_maxsat, nb::arg("manager").none(), nb::arg("minimization").none())
        .def_rw("expression", &FormulaPB::expression_)
        .def_rw("comparator", &FormulaPB::comparator_)
        .def_rw("border", &FormulaPB::border_);
}

}  // namespace

}  // namespace zk::core

ZK_MODULE(formulapb, m) { zk::core::bind_module(m); }
