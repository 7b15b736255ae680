// Bindings of nubrix.sorn_engine.pbct: weighted literals, pseudo-Boolean constraints, encoder
// configuration, auxiliary-number source, clause database and the constraint-to-CNF encoder.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "common/format.hpp"
#include "common/pyclass.hpp"
#include "core/clause_list.hpp"
#include "core/pb_encoder.hpp"

namespace se {

namespace {

namespace pbct = se::pbct;

constexpr const char *kModuleName = "nubrix.sorn_engine.pbct";
constexpr int64_t kDefaultMaxClauses = 1000000;

using zk::format_message;

// Messages.
constexpr const char *kSourceExhausted = "AuxVarManager: variable numbers beyond 2**31-1 exhausted";
constexpr const char *kMustBeMember = "{} must be a member of {}, not {}";
constexpr const char *kTakesBoth =
    "PBConstraint: {} takes one bound (equality) or two (lower, upper), got {}";
constexpr const char *kTakesOne = "PBConstraint: {} takes one bound, got {}";
constexpr const char *kTermsNotSequence =
    "PBConstraint: the terms must be a sequence of WeightedLit, not {}";
constexpr const char *kTermNotWeightedLit =
    "PBConstraint: every term must be a WeightedLit, not {}";
constexpr const char *kBelowSource =
    "pb2cnf.encode2: variable {} of the constraint is not below the next number {} of the "
    "AuxVarManager; its auxiliaries would reuse constraint variables";
constexpr const char *kNegativeLimit = "PBConfig.max_clauses_per_constraint must not be negative";
constexpr const char *kFirstOutOfRange = "AuxVarManager: the first number must lie in 1..{}";
constexpr const char *kConfigTypeDb = "VectorClauseDatabase: config must be a PBConfig, not {}";
constexpr const char *kConfigTypeEncoder = "pb2cnf: config must be a PBConfig, not {}";

enum ComparatorValue { kLeq = 0, kGeq = 1, kBoth = 2 };
constexpr const char *kComparatorNames[] = {"LEQ", "GEQ", "BOTH"};
enum EncoderValue { kAdder = 0 };

// The two enumeration classes, each with a reference of its own: a program may delete the
// module attributes, and the getters still build members from them.
PyObject *comparator_type = nullptr;
PyObject *encoder_type = nullptr;

struct PbConfig {
    int encoder_ = kAdder;
    int64_t max_clauses_ = kDefaultMaxClauses;
};

struct AuxVarManager {
    int64_t next_;
};

struct PbConstraint {
    pbct::Constraint constraint_;
    int comparator_;
    nb::tuple bounds_;  // the bounds as given, as Python ints
};

// Beyond this a bound lies outside every sum, whatever the constant that the constraint's
// terms move it by (that is below 2**63 times the number of terms).
constexpr int kBoundSaturationBits = 100;
constexpr const char *kBoundWhat = "PBConstraint: a bound";

struct ClauseDatabase {
    ClauseList clauses_;
};

struct Pb2Cnf {
    nb::object config_;  // the PBConfig, read at every encoding
};

// Draws from a copy of the source's counter, so a failed encoding leaves the source untouched.
class TentativeAux : public pbct::AuxSource {
  public:
    explicit TentativeAux(int64_t next) : next_(next) {}
    int32_t fresh() override {
        if (next_ > kMaxVariable) throw std::overflow_error(kSourceExhausted);
        return static_cast<int32_t>(next_++);
    }
    int64_t next() const { return next_; }

  private:
    int64_t next_;
};

int enum_value(nb::handle member, PyObject *cls, const char *what) {
    const int r = PyObject_IsInstance(member.ptr(), cls);
    if (r < 0) throw nb::python_error();
    if (r == 0)
        raise_py(PyExc_TypeError,
                 format_message(kMustBeMember, what,
                                nb::cast<std::string>(nb::handle(cls).attr("__name__")),
                                py_type_name(member)));
    return nb::cast<int>(member.attr("value"));
}

nb::object comparator_member(int value) { return nb::handle(comparator_type)(value); }

std::string term_repr(const pbct::WeightedTerm &t) {
    return "WeightedLit(" + std::to_string(t.lit_) + ", " + std::to_string(t.coef_) + ")";
}

nb::list clause_lists(const ClauseList &cl) {
    nb::list out = new_list(cl.size());
    for (std::size_t i = 0; i < cl.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                        int_list(cl.begin(i), cl.length(i)).release().ptr());
    return out;
}

// A bound as a Python int (appended to given) and as a Bound: exact up to 2**100, saturated
// beyond.
pbct::Bound bound_arg(nb::handle b, nb::list &given) {
    int overflow;
    const int64_t v = non_bool_int64(b, kBoundWhat, &overflow);
    nb::object as_int = nb::steal(PyNumber_Index(b.ptr()));
    if (!as_int.is_valid()) throw nb::python_error();
    given.append(as_int);
    if (overflow == 0) return v;
    const pbct::Bound limit = pbct::Bound{1} << kBoundSaturationBits;
    const pbct::Bound saturated = overflow > 0 ? limit : -limit;
    nb::object high = nb::steal(PyNumber_Rshift(as_int.ptr(), nb::int_(64).ptr()));
    if (!high.is_valid()) throw nb::python_error();
    int high_overflow;
    const long long h = PyLong_AsLongLongAndOverflow(high.ptr(), &high_overflow);
    if (h == -1 && PyErr_Occurred()) throw nb::python_error();
    if (high_overflow != 0 || h >= (int64_t{1} << (kBoundSaturationBits - 64)) ||
        h < -(int64_t{1} << (kBoundSaturationBits - 64)))
        return saturated;
    const unsigned long long low = PyLong_AsUnsignedLongLongMask(as_int.ptr());
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return pbct::Bound{h} * (pbct::Bound{1} << 64) + pbct::Bound{low};
}

void init_constraint(PbConstraint *self, nb::handle lits, nb::handle comparator, nb::args bounds) {
    const int cmp = enum_value(comparator, comparator_type, "PBConstraint: the comparator");
    const std::size_t nb_bounds = bounds.size();
    const bool ok = cmp == kBoth ? (nb_bounds == 1 || nb_bounds == 2) : nb_bounds == 1;
    if (!ok)
        raise_py(PyExc_TypeError, format_message(cmp == kBoth ? kTakesBoth : kTakesOne,
                                                 kComparatorNames[cmp], nb_bounds));

    pbct::Constraint c;
    nb::object fast = nb::steal(PySequence_Fast(lits.ptr(), ""));
    if (!fast.is_valid()) {
        clear_only(PyExc_TypeError);
        raise_py(PyExc_TypeError, format_message(kTermsNotSequence, py_type_name(lits)));
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject **items = PySequence_Fast_ITEMS(fast.ptr());
    c.terms_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle item(items[i]);
        if (!nb::isinstance<pbct::WeightedTerm>(item))
            raise_py(PyExc_TypeError, format_message(kTermNotWeightedLit, py_type_name(item)));
        c.terms_.push_back(nb::cast<const pbct::WeightedTerm &>(item));
    }

    std::vector<pbct::Bound> values;
    nb::list given;
    for (nb::handle b : bounds) values.push_back(bound_arg(b, given));
    switch (cmp) {
        case kLeq:
            c.has_upper_ = true;
            c.upper_ = values[0];
            break;
        case kGeq:
            c.has_lower_ = true;
            c.lower_ = values[0];
            break;
        default:
            c.has_lower_ = c.has_upper_ = true;
            c.lower_ = values[0];
            c.upper_ = values.size() == 2 ? values[1] : values[0];
    }
    new (self) PbConstraint{std::move(c), cmp, nb::tuple(given)};
}

void encode2(Pb2Cnf &self, const PbConstraint &constraint, ClauseDatabase &db, AuxVarManager &aux) {
    const PbConfig &config = nb::cast<const PbConfig &>(self.config_);
    int32_t max_var = 0;
    for (const pbct::WeightedTerm &t : constraint.constraint_.terms_) {
        const int32_t v = t.lit_ < 0 ? -t.lit_ : t.lit_;
        if (v > max_var) max_var = v;
    }
    if (max_var >= aux.next_)
        raise_py(PyExc_ValueError, format_message(kBelowSource, max_var, aux.next_));

    const std::size_t before = db.clauses_.size();
    TentativeAux tentative(aux.next_);
    pbct::LimitedSink sink(db.clauses_, config.max_clauses_);
    try {
        auto encoder = pbct::make_encoder(pbct::EncoderKind::kAdder);
        pbct::encode_constraint(constraint.constraint_, *encoder, sink, tentative);
    } catch (const pbct::ClauseLimitError &e) {
        db.clauses_.truncate(before);
        raise_py(engine_error().ptr(), e.what());
    } catch (const std::overflow_error &e) {
        db.clauses_.truncate(before);
        raise_py(PyExc_OverflowError, e.what());
    } catch (...) {
        db.clauses_.truncate(before);
        throw;
    }
    aux.next_ = tentative.next();
}

}  // namespace

void register_pbct(nb::module_ &m) {
    engine_error(m);
    nb::module_ pb =
        make_submodule(m, "pbct", "Pseudo-Boolean constraints and their encoding into clauses");

    nb::object cmp = zk::make_enum(
        kModuleName, "Comparator_type", {{"LEQ", kLeq}, {"GEQ", kGeq}, {"BOTH", kBoth}},
        "How a pseudo-Boolean sum is compared with its bound(s): at most "
        "(LEQ), at least (GEQ), equal to or between (BOTH)");
    pb.attr("Comparator_type") = cmp;
    comparator_type = cmp.inc_ref().ptr();
    nb::object enc = zk::make_enum(kModuleName, "PB_Encoder_type", {{"ADDER", kAdder}},
                                   "Encoding of pseudo-Boolean constraints into clauses");
    pb.attr("PB_Encoder_type") = enc;
    encoder_type = enc.inc_ref().ptr();
    pb.attr("EngineError") = engine_error();

    nb::class_<PbConfig>(pb, "PBConfig", "Configuration of the pseudo-Boolean encoder")
        .def(nb::init<>())
        .def_prop_rw(
            "pb_encoder", [](const PbConfig &c) { return nb::handle(encoder_type)(c.encoder_); },
            [](PbConfig &c, nb::handle v) {
                c.encoder_ = enum_value(v, encoder_type, "PBConfig.pb_encoder");
            },
            "The encoding used (a PB_Encoder_type member); ADDER by default")
        .def_prop_rw(
            "max_clauses_per_constraint", [](const PbConfig &c) { return c.max_clauses_; },
            [](PbConfig &c, nb::handle v) {
                const int64_t n = int64_arg(v, "PBConfig.max_clauses_per_constraint");
                if (n < 0) raise_py(PyExc_ValueError, kNegativeLimit);
                c.max_clauses_ = n;
            },
            "Largest number of clauses one constraint may be encoded into (1000000 by default)")
        .def("__repr__", [](const PbConfig &c) {
            return "PBConfig(pb_encoder=PB_Encoder_type.ADDER, max_clauses_per_constraint=" +
                   std::to_string(c.max_clauses_) + ")";
        });

    nb::class_<AuxVarManager>(pb, "AuxVarManager",
                              "Source of variable numbers: hands out first, first + 1, ...; the "
                              "encoder draws its auxiliaries from it too")
        .def(
            "__init__",
            [](AuxVarManager *self, nb::handle first) {
                const int64_t f = int64_arg(first, "AuxVarManager: the first number");
                if (f < 1 || f > kMaxVariable)
                    raise_py(PyExc_ValueError, format_message(kFirstOutOfRange, kMaxVariable));
                new (self) AuxVarManager{f};
            },
            nb::arg("first"))
        .def(
            "get_variable",
            [](AuxVarManager &a) {
                if (a.next_ > kMaxVariable) raise_py(engine_error().ptr(), kSourceExhausted);
                return a.next_++;
            },
            "A number never handed out before")
        .def_prop_ro(
            "next_variable", [](const AuxVarManager &a) { return a.next_; },
            "The number get_variable() gives next")
        .def("__repr__", [](const AuxVarManager &a) {
            return "AuxVarManager(next_variable=" + std::to_string(a.next_) + ")";
        });

    nb::class_<pbct::WeightedTerm>(pb, "WeightedLit",
                                   "One term coef * var of a pseudo-Boolean sum; a negative var "
                                   "stands for the negated variable")
        .def(
            "__init__",
            [](pbct::WeightedTerm *self, nb::handle var, nb::handle coef) {
                const int32_t lit = literal_arg(var, "WeightedLit: the variable");
                new (self) pbct::WeightedTerm{lit, int64_arg(coef, "WeightedLit: the coefficient")};
            },
            nb::arg("var").none(), nb::arg("coef").none())
        .def_prop_ro("var", [](const pbct::WeightedTerm &t) { return t.lit_; })
        .def_prop_ro("coef", [](const pbct::WeightedTerm &t) { return t.coef_; })
        .def("__repr__", &term_repr)
        .def("__eq__",
             [](const pbct::WeightedTerm &a, nb::handle b) {
                 if (!nb::isinstance<pbct::WeightedTerm>(b)) return false;
                 const auto &t = nb::cast<const pbct::WeightedTerm &>(b);
                 return a.lit_ == t.lit_ && a.coef_ == t.coef_;
             })
        .def("__hash__",
             [](const pbct::WeightedTerm &t) { return nb::hash(nb::make_tuple(t.lit_, t.coef_)); });

    nb::class_<PbConstraint>(pb, "PBConstraint",
                             "sum(coef * var) compared with a bound: LEQ bound, GEQ bound, BOTH "
                             "bound (equality) or BOTH lower, upper (lower <= sum <= upper)")
        .def("__init__", &init_constraint, nb::arg("lits").none(), nb::arg("comparator").none(),
             nb::arg("bounds"))
        .def_prop_ro("comparator",
                     [](const PbConstraint &c) { return comparator_member(c.comparator_); })
        .def_prop_ro("bounds", [](const PbConstraint &c) { return c.bounds_; })
        .def_prop_ro("lits",
                     [](const PbConstraint &c) {
                         nb::list l;
                         for (const auto &t : c.constraint_.terms_) l.append(nb::cast(t));
                         return l;
                     })
        .def("__repr__", [](const PbConstraint &c) {
            std::string s = "PBConstraint([";
            for (std::size_t i = 0; i < c.constraint_.terms_.size(); ++i)
                s += (i ? ", " : "") + term_repr(c.constraint_.terms_[i]);
            s += std::string("], Comparator_type.") + kComparatorNames[c.comparator_];
            for (nb::handle b : c.bounds_) s += ", " + nb::cast<std::string>(nb::repr(b));
            return s + ")";
        });

    nb::class_<ClauseDatabase>(pb, "VectorClauseDatabase",
                               "Clauses produced by the encoder, kept as flat integer arrays")
        .def(
            "__init__",
            [](ClauseDatabase *self, nb::handle config) {
                if (!config.is_none() && !nb::isinstance<PbConfig>(config))
                    raise_py(PyExc_TypeError, format_message(kConfigTypeDb, py_type_name(config)));
                new (self) ClauseDatabase();
            },
            nb::arg("config").none() = nb::none())
        .def(
            "get_clauses", [](const ClauseDatabase &db) { return clause_lists(db.clauses_); },
            "The clauses, each a list of non-zero signed integers")
        .def(
            "get_clause_arrays",
            [](const ClauseDatabase &db) {
                return nb::make_tuple(numpy_copy(db.clauses_.offsets()),
                                      numpy_copy(db.clauses_.lits()));
            },
            "(offsets, literals) as numpy arrays (int64, int32): clause i is "
            "literals[offsets[i]:offsets[i + 1]]")
        .def("__len__", [](const ClauseDatabase &db) { return db.clauses_.size(); })
        .def("clear", [](ClauseDatabase &db) { db.clauses_.clear(); })
        .def("__repr__", [](const ClauseDatabase &db) {
            return "VectorClauseDatabase(" + std::to_string(db.clauses_.size()) + " clauses)";
        });

    nb::class_<Pb2Cnf>(pb, "pb2cnf", "Encoder of pseudo-Boolean constraints into clauses")
        .def(
            "__init__",
            [](Pb2Cnf *self, nb::handle config) {
                if (!nb::isinstance<PbConfig>(config))
                    raise_py(PyExc_TypeError,
                             format_message(kConfigTypeEncoder, py_type_name(config)));
                new (self) Pb2Cnf{nb::borrow(config)};
            },
            nb::arg("config").none())
        .def("encode2", &encode2, nb::arg("constraint"), nb::arg("db"), nb::arg("aux"),
             "Append the clauses of constraint to db, drawing auxiliaries from aux; on failure "
             "neither db nor aux changes");
}

}  // namespace se
