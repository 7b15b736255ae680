// The engine's formula encoder: receives one model as variable families and formula texts and
// encodes it. The texts are the library's own formula language, so the encoder replays what it
// received into a zk_encoder Model with the library's own encoding; both back ends therefore give
// the same clauses and the same variable numbers. Each input is replayed when it arrives, so that
// one the library would refuse is refused there and then, and nothing of it is kept.
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "common/format.hpp"
#include "core/formula_encoder.hpp"
#include "texts/decimal.hpp"
#include "texts/names.hpp"
#include "texts/tokens.hpp"

namespace se {

namespace {

using namespace nb::literals;
using zk::format_message;

constexpr const char *kTypeName = "formula_encoder";
constexpr const char *kTypeDoc =
    "Encoder of one whole model received as variable families and formula texts";
// The library's reserved names: the placeholder family and the auxiliaries' prefixes.
using zk::texts::kBxprAux;
using zk::texts::kPbctAux;
constexpr const char *kReservedFamily = zk::texts::kDummyVar;
constexpr const char *kWarningLevel = "warning";

// Messages.
constexpr const char *kNotText = "formula encoder: {} must be a text, not {}";
constexpr const char *kForallNotIdentifier =
    "formula encoder: for-all index name {} is not an identifier that can stand in a formula text";
constexpr const char *kFamilyNotIdentifier = "formula encoder: family name {} is not an identifier";
constexpr const char *kReservedFamilyName = "formula encoder: the family name {} is reserved";
constexpr const char *kFamilyDefined = "formula encoder: family {} is already defined";
constexpr const char *kNegativeSize =
    "formula encoder: dimension sizes of family {} must not be negative";
constexpr const char *kWitnessBothValues =
    "formula encoder: a witness gives a variable both values";
// A replayed operation that failed, with the library's error: its class, then its text if any.
constexpr const char *kFailedIn = "formula encoder: {}: {}";
constexpr const char *kFailedInWith = "formula encoder: {}: {}: {}";
// What failed, as kFailedIn names it.
constexpr const char *kWhereFamily = "family {}";
constexpr const char *kWhereTarget = "target {}";
constexpr const char *kWhereModel = "model {}";
constexpr const char *kWhereBuild = "build of model {}";
constexpr const char *kWhereConstraint = "constraint {} {} {}";
constexpr const char *kWhereSoftConstraint = "soft constraint {} {} {}";
// The prefix of the replay's log lines.
constexpr const char *kReplayLogPrefix = "formula encoder {}: ";

struct FamilyRecord {
    nb::object name_;
    std::vector<int64_t> sizes_;
};

struct FormulaRecord {
    nb::object text_;
    nb::object forall_text_;
    std::vector<fe::Forall> foralls_;
    nb::object weight_;        // soft constraints only
    nb::object minimization_;  // soft constraints only
};

nb::handle encoder_error() {
    nb::module_ top = nb::module_::import_("nubrix.sorn_engine");
    return engine_error(top);
}

std::string text_arg(nb::handle obj, const char *what) {
    if (!PyUnicode_Check(obj.ptr()))
        raise_py(PyExc_TypeError, format_message(kNotText, what, se::py_type_name(obj)));
    return nb::cast<std::string>(obj);
}

// The library's identifier test for a plain ASCII text; any other name gets the host's answer.
bool is_identifier(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr())) {
        const std::string_view ascii(
            reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(name.ptr())),
            static_cast<size_t>(PyUnicode_GET_LENGTH(name.ptr())));
        return zk::texts::identifier_answer(ascii) == zk::texts::IdentifierAnswer::kYes;
    }
    nb::object keyword = nb::module_::import_("keyword");
    return nb::cast<bool>(name.attr("isidentifier")()) &&
           !nb::cast<bool>(keyword.attr("iskeyword")(name));
}

std::vector<fe::Forall> read_foralls(nb::handle forall_text) {
    std::string text = text_arg(forall_text, "the for-all text");
    std::vector<fe::Forall> foralls;
    try {
        foralls = fe::parse_foralls(text);
    } catch (const fe::ForallSyntaxError &e) {
        raise_py(encoder_error().ptr(), e.what());
    }
    for (const fe::Forall &f : foralls)
        if (!is_identifier(nb::str(f.name_.c_str())))
            raise_py(encoder_error().ptr(), format_message(kForallNotIdentifier, f.name_));
    return foralls;
}

nb::object forall_value(const fe::ForallValue &v) {
    if (v.kind_ == fe::ForallValue::Kind::kRange)
        return nb::module_::import_("builtins").attr("range")(v.start_, v.stop_, v.step_);
    nb::list items;
    for (int64_t item : v.items_) items.append(item);
    if (v.kind_ == fe::ForallValue::Kind::kTuple) return nb::tuple(items);
    return items;
}

nb::dict forall_dict(const std::vector<fe::Forall> &foralls) {
    nb::dict d;
    for (const fe::Forall &f : foralls) d[f.name_.c_str()] = forall_value(f.value_);
    return d;
}

// Raises EngineError naming the formula that failed, with the library's error as its cause.
[[noreturn]] void rethrow_in_context(nb::python_error &e, const std::string &where) {
    nb::object original = nb::borrow(e.value());
    std::string detail = se::py_type_name(original);
    std::string msg = nb::cast<std::string>(nb::str(original));
    nb::object replacement =
        encoder_error()(msg.empty() ? format_message(kFailedIn, where, detail)
                                    : format_message(kFailedInWith, where, detail, msg));
    PyException_SetCause(replacement.ptr(), original.inc_ref().ptr());
    PyException_SetContext(replacement.ptr(), original.inc_ref().ptr());
    PyErr_SetObject(encoder_error().ptr(), replacement.ptr());
    throw nb::python_error();
}

// While the encoder replays a model, the library's progress lines would read as if the program had
// built a second model; they are collected here and only warnings and errors are passed on.
class LogCapture {
  public:
    explicit LogCapture(std::string prefix) : prefix_(std::move(prefix)) {
        top_ = nb::module_::import_("nubrix.sorn_engine");
        saved_ = top_.attr("log_encoder");
        nb::list messages = messages_;
        top_.attr("log_encoder") = nb::cpp_function(
            [messages](nb::object msg, nb::object level) {
                nb::list target = messages;
                target.append(nb::make_tuple(msg, level));
            },
            "msg"_a.none(), "level"_a.none());
    }

    ~LogCapture() { restore(); }

    // Puts the program's sink back and hands it the findings worth its attention.
    void restore() {
        if (!saved_.is_valid()) return;
        // Runs from a destructor too, possibly while an error is being raised: keep that error.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        top_.attr("log_encoder") = saved_;
        nb::object sink = saved_;
        saved_ = nb::object();
        try {
            nb::object levels = top_.attr("log_level_type");
            nb::object threshold = nb::int_(levels.attr(kWarningLevel));
            for (nb::handle item : messages_) {
                nb::object level = item[1];
                nb::object rank = nb::int_(level);
                const int at_least = PyObject_RichCompareBool(rank.ptr(), threshold.ptr(), Py_GE);
                if (at_least < 0) throw nb::python_error();
                if (at_least == 0) continue;
                std::string text = prefix_ + nb::cast<std::string>(nb::str(item[0]));
                sink(nb::str(text.c_str(), text.size()), level);
            }
        } catch (nb::python_error &) {
            // A sink that fails must not hide the outcome of the encoding.
        }
        PyErr_Restore(type, value, tb);
    }

  private:
    std::string prefix_;
    nb::object top_;
    nb::object saved_;
    nb::list messages_;
};

class FormulaEncoder {
  public:
    explicit FormulaEncoder(nb::object name) : name_(std::move(name)) {}

    void create_variables(nb::object name, nb::object sizes) {
        std::string family = text_arg(name, "the family name");
        if (!is_identifier(name))
            raise_py(encoder_error().ptr(), format_message(kFamilyNotIdentifier, family));
        if (family == kReservedFamily)
            raise_py(encoder_error().ptr(), format_message(kReservedFamilyName, kReservedFamily));
        for (const FamilyRecord &f : families_)
            if (nb::cast<std::string>(f.name_) == family)
                raise_py(encoder_error().ptr(), format_message(kFamilyDefined, family));
        FamilyRecord record{name, {}};
        for (nb::handle size : sizes) {
            int64_t s = int64_arg(size, "a dimension size");
            if (s < 0) raise_py(encoder_error().ptr(), format_message(kNegativeSize, family));
            record.sizes_.push_back(s);
        }
        LogCapture capture(log_prefix());
        std::string where = format_message(kWhereFamily, family);
        if (hard_.empty() && soft_.empty()) {
            ensure_shadow(capture);
            try {
                add_family(shadow_, record);
            } catch (nb::python_error &e) {
                shadow_current_ = false;
                capture.restore();
                rethrow_in_context(e, where);
            }
        } else {
            // Families come before formulas in a model: the whole model is replayed with it.
            std::vector<FamilyRecord> families = families_;
            families.push_back(record);
            replace_shadow(families, hard_, soft_, capture);
        }
        families_.push_back(std::move(record));
    }

    void add_constraint(nb::object text, nb::object forall_text) {
        text_arg(text, "the constraint text");
        FormulaRecord record{text, forall_text, read_foralls(forall_text), nb::none(), nb::none()};
        accept_formula(std::move(record), false);
    }

    void add_soft_constraint(nb::object text, nb::object forall_text, nb::object weight,
                             nb::object minimization) {
        text_arg(text, "the soft constraint text");
        FormulaRecord record{text, forall_text, read_foralls(forall_text), std::move(weight),
                             std::move(minimization)};
        accept_formula(std::move(record), true);
    }

    void add_target(nb::object text) {
        text_arg(text, "the target text");
        // Never encoded (no bound comes with it), but it must read as a formula text.
        try {
            nb::module_::import_("builtins").attr("compile")(text, "<target>", "eval");
        } catch (nb::python_error &e) {
            rethrow_in_context(e, format_message(kWhereTarget, nb::cast<std::string>(text)));
        }
        target_ = std::move(text);
        ++targets_;
    }

    void generate_cnf();

    nb::object get_cnf_storage() const { return storage_.is_valid() ? storage_ : nb::none(); }
    nb::object get_var_mapping() const { return mapping_.is_valid() ? mapping_ : nb::none(); }
    nb::object target() const { return target_.is_valid() ? target_ : nb::none(); }

    fe::Metrics metrics() const {
        fe::Metrics m;
        m.model_name_ = nb::cast<std::string>(nb::str(name_));
        m.families_ = int64_t(families_.size());
        for (const FamilyRecord &f : families_) {
            // Sizes beyond any real model saturate instead of wrapping around.
            int64_t n = 1;
            for (int64_t s : f.sizes_)
                if (__builtin_mul_overflow(n, s, &n)) n = INT64_MAX;
            if (__builtin_add_overflow(m.elements_, n, &m.elements_)) m.elements_ = INT64_MAX;
        }
        m.constraints_ = int64_t(hard_.size());
        m.soft_constraints_ = int64_t(soft_.size());
        m.targets_ = targets_;
        m.clauses_ = clauses_;
        m.variables_ = variables_;
        m.weight_limit_ = weight_limit_;
        return m;
    }

    bool save_metrics_json(const std::string &filename) const {
        return fe::write_text_file(filename, fe::metrics_json(metrics()));
    }
    bool save_metrics_csv(const std::string &filename) const {
        return fe::write_text_file(filename, fe::metrics_csv(metrics()));
    }

    // Forgets everything: what the model sent, the witnesses and the last encoding.
    void reset() {
        families_.clear();
        hard_.clear();
        soft_.clear();
        target_ = nb::object();
        targets_ = 0;
        shadow_ = nb::object();
        shadow_current_ = false;
        forget_encoding();
    }

    // Forgets the witnesses and the last encoding.
    void forget_encoding() {
        witness_.reset();
        another_.reset();
        storage_ = nb::object();
        mapping_ = nb::object();
        hard_clauses_.clear();
        user_variables_.clear();
        clauses_.reset();
        variables_.reset();
        weight_limit_.reset();
    }

    void set_witness(nb::object witness) { witness_ = read_witness(witness); }
    void set_another_witness(nb::object witness) { another_ = read_witness(witness); }

    // True when both witnesses are set, both satisfy the hard clauses of the last encoding, and
    // they differ on at least one variable of the model's families.
    bool check_another_witness() const {
        if (!witness_ || !another_ || !storage_.is_valid()) return false;
        if (!fe::satisfies(hard_clauses_, *witness_) || !fe::satisfies(hard_clauses_, *another_))
            return false;
        auto value_in = [](const std::vector<int32_t> &w, int32_t v) {
            for (int32_t lit : w)
                if (lit == v) return true;
            return false;
        };
        for (int32_t v : user_variables_)
            if (value_in(*witness_, v) != value_in(*another_, v)) return true;
        return false;
    }

  private:
    static std::vector<int32_t> read_witness(nb::handle witness) {
        std::vector<int32_t> lits;
        literals_arg(witness, "a witness", lits);
        if (!fe::consistent(lits)) raise_py(PyExc_ValueError, kWitnessBothValues);
        return lits;
    }

    void read_build(nb::handle storage, nb::handle mapping);

    std::string log_prefix() const {
        return format_message(kReplayLogPrefix, nb::cast<std::string>(nb::str(name_)));
    }

    static std::string formula_where(const FormulaRecord &r, size_t number, bool soft) {
        return format_message(soft ? kWhereSoftConstraint : kWhereConstraint, number,
                              nb::cast<std::string>(r.text_),
                              nb::cast<std::string>(r.forall_text_));
    }

    void add_family(nb::handle model, const FamilyRecord &f) const;
    void add_formula(nb::handle model, const FormulaRecord &r, bool soft) const;
    // A new model of the library's own encoding holding these families and formulas, in this
    // order; `where` names the input being replayed when it fails.
    nb::object replay(const std::vector<FamilyRecord> &families,
                      const std::vector<FormulaRecord> &hard,
                      const std::vector<FormulaRecord> &soft, std::string &where) const;
    // Replays these inputs into a new shadow; a failure refuses the input being replayed and
    // leaves the shadow as it was.
    void replace_shadow(const std::vector<FamilyRecord> &families,
                        const std::vector<FormulaRecord> &hard,
                        const std::vector<FormulaRecord> &soft, LogCapture &capture);
    void ensure_shadow(LogCapture &capture);
    void accept_formula(FormulaRecord record, bool soft);

    nb::object name_;
    std::vector<FamilyRecord> families_;
    std::vector<FormulaRecord> hard_;
    std::vector<FormulaRecord> soft_;
    nb::object target_;
    int64_t targets_ = 0;
    // A model of the library's own encoding that holds what was accepted: each input is judged
    // there when it arrives. Current while it holds exactly that and has not been built.
    nb::object shadow_;
    bool shadow_current_ = false;

    nb::object storage_;
    nb::object mapping_;
    std::vector<std::vector<int32_t>> hard_clauses_;
    std::vector<int32_t> user_variables_;
    std::optional<int64_t> clauses_;
    std::optional<int64_t> variables_;
    std::optional<int64_t> weight_limit_;
    std::optional<std::vector<int32_t>> witness_;
    std::optional<std::vector<int32_t>> another_;
};

void FormulaEncoder::add_family(nb::handle model, const FamilyRecord &f) const {
    nb::dict dims;
    for (size_t k = 0; k < f.sizes_.size(); ++k)
        dims[("d" + zk::texts::decimal(static_cast<int64_t>(k))).c_str()] = f.sizes_[k];
    model.attr("create_variables")(f.name_, **dims);
}

void FormulaEncoder::add_formula(nb::handle model, const FormulaRecord &r, bool soft) const {
    nb::module_ expressions = nb::module_::import_("zk_encoder.encode.expressions");
    nb::list names;
    for (const fe::Forall &f : r.foralls_) names.append(f.name_.c_str());
    if (nb::len(names) > 0) model.attr("get_indexes")(names);
    nb::dict foralls = forall_dict(r.foralls_);
    // The text of a subscripted family alone stands for a variable, as the proxy that wrote it
    // did; any other text is an expression of the given sort.
    std::string text = nb::cast<std::string>(r.text_);
    bool reference = false;
    for (const FamilyRecord &f : families_)
        reference |= fe::is_variable_reference(text, nb::cast<std::string>(f.name_));
    nb::object formula = reference ? expressions.attr("VariableProxy")(r.text_)
                                   : expressions.attr("Expression")(r.text_, soft);
    if (soft)
        model.attr("add_soft_constraint")(formula, r.weight_, r.minimization_, **foralls);
    else
        model.attr("add_constraint")(formula, **foralls);
}

nb::object FormulaEncoder::replay(const std::vector<FamilyRecord> &families,
                                  const std::vector<FormulaRecord> &hard,
                                  const std::vector<FormulaRecord> &soft,
                                  std::string &where) const {
    nb::module_ top = nb::module_::import_("nubrix.sorn_engine");
    nb::object model_class = nb::module_::import_("zk_encoder.encode.model").attr("Model");
    where = format_message(kWhereModel, nb::cast<std::string>(nb::str(name_)));
    nb::object model = model_class(top.attr("manager")(), name_, false);
    for (const FamilyRecord &f : families) {
        where = format_message(kWhereFamily, nb::cast<std::string>(f.name_));
        add_family(model, f);
    }
    for (size_t k = 0; k < hard.size(); ++k) {
        where = formula_where(hard[k], k + 1, false);
        add_formula(model, hard[k], false);
    }
    for (size_t k = 0; k < soft.size(); ++k) {
        where = formula_where(soft[k], k + 1, true);
        add_formula(model, soft[k], true);
    }
    return model;
}

void FormulaEncoder::replace_shadow(const std::vector<FamilyRecord> &families,
                                    const std::vector<FormulaRecord> &hard,
                                    const std::vector<FormulaRecord> &soft, LogCapture &capture) {
    std::string where;
    try {
        shadow_ = replay(families, hard, soft, where);
        shadow_current_ = true;
    } catch (nb::python_error &e) {
        capture.restore();
        rethrow_in_context(e, where);
    }
}

void FormulaEncoder::ensure_shadow(LogCapture &capture) {
    if (!shadow_current_) replace_shadow(families_, hard_, soft_, capture);
}

void FormulaEncoder::accept_formula(FormulaRecord record, bool soft) {
    LogCapture capture(log_prefix());
    std::vector<FormulaRecord> &list = soft ? soft_ : hard_;
    if (!soft && !soft_.empty()) {
        // A model takes its hard constraints before its soft ones: replayed in that order.
        std::vector<FormulaRecord> hard = hard_;
        hard.push_back(record);
        replace_shadow(families_, hard, soft_, capture);
    } else {
        ensure_shadow(capture);
        try {
            add_formula(shadow_, record, soft);
        } catch (nb::python_error &e) {
            // The library leaves a refused formula no trace, but a replay is certain to.
            shadow_current_ = false;
            capture.restore();
            rethrow_in_context(e, formula_where(record, list.size() + 1, soft));
        }
    }
    list.push_back(std::move(record));
}

void FormulaEncoder::generate_cnf() {
    // Every call encodes everything received; an earlier result is left as it was.
    forget_encoding();
    std::string model_name = nb::cast<std::string>(nb::str(name_));
    LogCapture capture(log_prefix());
    ensure_shadow(capture);
    nb::object model = shadow_;
    // Built once: the next input or build starts from a new replay.
    shadow_current_ = false;
    std::string where = format_message(kWhereBuild, model_name);
    try {
        // A model without formulas still has a (clause-free) encoding of its families.
        if (model.attr("_formula_container").is_none())
            model.attr("_Model__init_formula_container")();
        bool weighted = !soft_.empty();
        model.attr(weighted ? "build_wcnf" : "build_cnf")();
        nb::object storage = model.attr("get_cnf_storage")();
        nb::object mapping = model.attr("get_var_mapping")();
        read_build(storage, mapping);
        storage_ = storage;
        mapping_ = mapping;
    } catch (nb::python_error &e) {
        capture.restore();
        forget_encoding();
        rethrow_in_context(e, where);
    }
    capture.restore();
}

// The counts of the build, as the storage was stamped, and what a witness check needs: the hard
// clauses and the numbers of the model's own elements.
void FormulaEncoder::read_build(nb::handle storage, nb::handle mapping) {
    auto stamp = [&](const char *getter) -> std::optional<int64_t> {
        nb::object v = storage.attr(getter)();
        if (v.is_none()) return std::nullopt;
        return int64_arg(v, getter);
    };
    clauses_ = stamp("get_clause_count");
    variables_ = stamp("get_variable_count");
    weight_limit_ = stamp("get_weight_limit");
    user_variables_.clear();
    if (!mapping.is_none()) {
        for (auto item : nb::cast<nb::dict>(mapping.attr("get_var_map")())) {
            std::string key = nb::cast<std::string>(nb::str(item.first));
            if (key.rfind(kBxprAux, 0) == 0 || key.rfind(kPbctAux, 0) == 0 ||
                key.rfind(kReservedFamily, 0) == 0)
                continue;
            user_variables_.push_back(int32_t(int64_arg(item.second, "a variable number")));
        }
    }
    hard_clauses_.clear();
    for (nb::handle clause : storage.attr("hard_clauses")()) {
        std::vector<int32_t> lits;
        literals_arg(clause, "a clause", lits);
        hard_clauses_.push_back(std::move(lits));
    }
}

void register_formula_encoder_type() {
    nb::module_ top = nb::module_::import_("nubrix.sorn_engine");
    nb::class_<FormulaEncoder>(top, kTypeName, kTypeDoc)
        .def("create_variables", &FormulaEncoder::create_variables, "name"_a.none(),
             "arr_dims"_a.none(), "Receive a variable family: its name and dimension sizes.")
        .def("add_constraint", &FormulaEncoder::add_constraint, "formula"_a.none(),
             "foralls"_a.none(), "Receive a hard constraint text and its for-all text.")
        .def("add_soft_constraint", &FormulaEncoder::add_soft_constraint, "formula"_a.none(),
             "foralls"_a.none(), "weight"_a.none(), "minimization"_a.none(),
             "Receive a soft constraint text, its for-all text, weight and direction.")
        .def("add_target", &FormulaEncoder::add_target, "formula"_a.none(),
             "Receive a target text; kept, not encoded: no bound ever comes with it.")
        .def("generate_cnf", &FormulaEncoder::generate_cnf,
             "Encode everything received, from scratch.")
        .def("get_cnf_storage", &FormulaEncoder::get_cnf_storage,
             "The clause storage of the last encoding, or None.")
        .def("get_var_mapping", &FormulaEncoder::get_var_mapping,
             "The variable mapping of the last encoding, or None.")
        .def("save_metrics_json", &FormulaEncoder::save_metrics_json, "filename"_a,
             "Write the model's counts as JSON; False when the file cannot be written.")
        .def("save_metrics_csv", &FormulaEncoder::save_metrics_csv, "filename"_a,
             "Write the model's counts as CSV; False when the file cannot be written.")
        .def("reset", &FormulaEncoder::reset,
             "Forget everything received, the witnesses and the last encoding.")
        .def("set_witness", &FormulaEncoder::set_witness, "witness"_a.none(),
             "Keep a solver witness: signed literals.")
        .def("set_another_witness", &FormulaEncoder::set_another_witness, "witness"_a.none(),
             "Keep a second witness to compare with the first.")
        .def("check_another_witness", &FormulaEncoder::check_another_witness,
             "Whether both witnesses satisfy the hard clauses and differ on a model variable.")
        .def_prop_ro("target", &FormulaEncoder::target, "The latest target text, or None.");
}

}  // namespace

nb::object make_formula_encoder(nb::handle model_name) {
    if (!nb::type<FormulaEncoder>().is_valid()) register_formula_encoder_type();
    return nb::cast(new FormulaEncoder(nb::borrow(model_name)), nb::rv_policy::take_ownership);
}

}  // namespace se
