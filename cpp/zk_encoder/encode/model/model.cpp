// The pseudo-Boolean model's operations: families and index names, hard and soft constraints, the
// target, and both builds, with the library's own encoding or the engine's formula encoder.
#include "zk_encoder/encode/model/model.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/engine_calls.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/gc.hpp"
#include "common/integers.hpp"
#include "common/names.hpp"
#include "common/numbers.hpp"
#include "common/unpack.hpp"
#include "formula/evaluation.hpp"
#include "zk_encoder/core/manager.hpp"
#include "zk_encoder/core/variable.hpp"
#include "zk_encoder/encode/model/forall_checks.hpp"
#include "zk_encoder/encode/model/messages.hpp"
#include "zk_encoder/encode/model/module_state.hpp"
#include "zk_encoder/encode/variables.hpp"

namespace zk::encode {

namespace {

using names::is_keyword;
using names::is_plain_name;
using names::reads_back;
using numbers::repr_text;

std::string type_name_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

bool is_shadowed(const nb::handle &name) {
    return names::is_among(name, kShadowedNames) || names::is_among(name, names::kHostTextNames);
}

}  // namespace

Model::Model(nb::object smanager, nb::object name, nb::object use_fe)
    : sorn_manager_(std::move(smanager)),
      model_name_(std::move(name)),
      use_formula_encoder_(std::move(use_fe)) {
    g_module.log("log_i", format_message_str(kPythonVersionLine,
                                             g_module.get("se").attr("get_python_version")()));
    g_module.log("log_i", format_message_str(kModelNameLine, model_name_));
    g_module.log("log_i", format_message_str(kSsfeLine, nb::str(use_formula_encoder_)));

    formula_encoder_ = nb::none();
    formula_container_ = nb::none();
    used_vars_ = nb::steal(PySet_New(nullptr));
    manager_ = g_module.get("manager").attr("Manager")();
    variables_ = nb::dict();
    indexes_ = nb::dict();

    nb::dict base;
    base["Sum"] = g_module.get("pboperations").attr("Sum");
    base["FormulaPB"] = g_module.get("formulapb").attr("FormulaPB");
    base["bx"] = g_module.get("bx");
    base["pb"] = g_module.get("pb");
    base["manager"] = manager_;
    formulas_dir_ = base;

    forwarded_families_ = nb::dict();
    preliminary_values_ = nb::list();
    preliminary_storage_ = nb::none();

    shift_target_variable_ = nb::int_(0);
    is_wcnf_ = nb::none();
    template_target_ = nb::none();
    start_time_ = now();

    if (!truth(use_formula_encoder_)) {
        nb::kwargs dims;
        dims[kDummyDim] = 1;
        create_variables(nb::str(kDummyVar), dims);
    }
}

nb::object Model::create_variables(nb::object name, nb::kwargs dims) {
    bool own = !truth(use_formula_encoder_);

    if (!PyUnicode_Check(name.ptr()) || !truth(name) ||
        !(truth(name.attr("isalpha")()) || compare(name, nb::str(kDummyVar), Py_EQ)))
        g_module.raise_logged(PyExc_ValueError, kBadNameMsg);
    if (own && check(PySet_Contains(used_vars_.ptr(), name.ptr())) == 1)
        g_module.raise_logged("VariableError", format_message_str(kVarInUseMsg, name));
    // A keyword, or a name the interpreter reads as another one, would make every formula text
    // that names the family fail.
    if (is_keyword(name))
        g_module.raise_logged("VariableError", format_message_str(kVarKeywordMsg, name));
    if (!reads_back(name))
        g_module.raise_logged("VariableError", format_message_str(kVarNotReadBackMsg, name));
    refuse_shadowing(name, kVarShadowsMsg);
    if (check(PyDict_Contains(indexes_.ptr(), name.ptr())) == 1)
        g_module.raise_logged("VariableError", format_message_str(kVarIsIndexMsg, name));
    if (own && !formula_container_.is_none())
        g_module.raise_logged("VariableError", format_message_str(kLateVarMsg, name));
    // A numpy integer is a size like any other; the family and the texts get its plain int.
    nb::list sizes;
    std::vector<std::pair<nb::object, nb::object>> plain_sizes;
    for (auto item : dims) {
        nb::handle size = item.second;
        nb::object plain = dimension_size(size);
        if (!plain.is_valid()) g_module.raise_logged(PyExc_ValueError, kBadSizesMsg);
        if (!plain.is(size)) plain_sizes.emplace_back(nb::borrow(item.first), plain);
        sizes.append(plain);
    }
    for (auto &[key, plain] : plain_sizes) dims[key] = plain;

    nb::object count = nb::int_(1);
    for (nb::handle size : sizes) {
        PyObject *r = PyNumber_Multiply(count.ptr(), size.ptr());
        if (!r) throw nb::python_error();
        count = nb::steal(r);
    }
    // The model numbers the elements itself, and every number must stand in a clause as a literal.
    // The engine's formula encoder numbers the families after its own placeholder, so the same
    // limit holds there one element earlier.
    if (truth(count)) {
        nb::object last = check(PyNumber_Add(shift_target_variable_.ptr(), count.ptr()));
        long long limit = own ? kMaxLiteral + 1 : kMaxLiteral;
        if (compare(last, nb::int_(limit), Py_GT))
            g_module.raise_logged("VariableError", format_message_str(kTooManyElementsMsg, name));
    }

    // The family object is made before anything records the name: should it refuse the sizes, the
    // model, its Manager and the engine are left as they were.
    nb::object family;
    nb::object family_class = g_module.get("Variable");
    if (!own) {
        init_formula_encoder();
        family = family_class(name, dims, 0);
        formula_encoder_.attr("create_variables")(name, sizes);
        forwarded_families_[name] = family;
    } else {
        family = family_class(name, dims, shift_target_variable_);
        if (PySet_Add(used_vars_.ptr(), name.ptr()) < 0) throw nb::python_error();
        manager_.attr("registration_generator_variables")(name);
        variables_[name] = family;
        // The generator refuses elements the family does not have, where a formula names them.
        auto *gen = zk::core::exact_generator(manager_.attr("name2genvar")[name]);
        if (const VariableFamily *f = family_ptr(family); gen && f) {
            gen->shape_ = f->sizes_;
            gen->has_shape_ = true;
        }
    }
    shift_target_variable_ = check(PyNumber_Add(shift_target_variable_.ptr(), count.ptr()));

    g_module.log("log_i", format_message_str(kAddNewVarLine, name, nb::str(dims), nb::str(count)));
    start_time_ = now();
    return family;
}

nb::object Model::get_indexes(nb::object names) {
    if (nb::len(names) == 0) g_module.raise_logged(PyExc_ValueError, kEmptyIndexesMsg);
    nb::list result;
    nb::object index_class = g_module.get("Index");
    for (nb::handle name : names) {
        if (compare(name, nb::str(kBxprAux), Py_EQ) || compare(name, nb::str(kPbctAux), Py_EQ))
            g_module.raise_logged("VariableError",
                                  format_message(kReservedIndexMsg, kBxprAux, kPbctAux));
        // Index names are pasted into formula texts that are evaluated: only a plain name reads
        // back as the same name.
        if (!is_plain_name(name))
            g_module.raise_logged("VariableError",
                                  format_message_str(kIndexNotIdentifierMsg, nb::str(name)));
        if (!reads_back(name))
            g_module.raise_logged("VariableError",
                                  format_message_str(kIndexNotReadBackMsg, nb::str(name)));
        // The engine's formula encoder holds a placeholder family of that name too.
        if (check(PySet_Contains(used_vars_.ptr(), name.ptr())) == 1 ||
            check(PyDict_Contains(forwarded_families_.ptr(), name.ptr())) == 1 ||
            compare(name, nb::str(kDummyVar), Py_EQ))
            g_module.raise_logged("VariableError",
                                  format_message_str(kIndexInUseMsg, nb::str(name)));
        refuse_shadowing(name, kIndexShadowsMsg);
        nb::object index = index_class(name);
        indexes_[name] = index;
        result.append(index);
    }
    if (nb::len(result) > 1) return result;
    return result[0];
}

void Model::refuse_shadowing(const nb::handle &name, const char *message) const {
    if (is_shadowed(name))
        g_module.raise_logged("VariableError", format_message_str(message, name));
}

nb::object Model::family_named(const nb::handle &name) const {
    PyObject *f = PyDict_GetItemWithError(
        (truth(use_formula_encoder_) ? forwarded_families_ : variables_).ptr(), name.ptr());
    if (!f && PyErr_Occurred()) throw nb::python_error();
    return f ? nb::borrow(f) : nb::object();
}

void Model::normalize_foralls(const nb::dict &foralls) const {
    std::vector<std::pair<nb::object, nb::object>> items;
    for (auto item : foralls) items.emplace_back(nb::borrow(item.first), nb::borrow(item.second));
    for (auto &[key, value] : items) {
        // Keywords become loop names of generated texts; a family's name would hide the family.
        if (!is_plain_name(key) || !reads_back(key))
            g_module.raise_logged("VariableError",
                                  format_message_str(kForallNotIdentifierMsg, nb::str(key)));
        refuse_shadowing(key, kForallShadowsMsg);
        if (family_named(key).is_valid())
            g_module.raise_logged("VariableError", format_message_str(kForallIsFamilyMsg, key));
        std::string name = utf8_of(key);
        int64_t bound = 0;
        if (PyRange_Check(value.ptr())) {
            for (const char *part : {"start", "stop", "step"})
                if (!int64_of(value.attr(part), bound))
                    g_module.raise_logged(PyExc_ValueError,
                                          format_message(kForallTooLargeMsg, name));
            continue;
        }
        // Any sequence of integers: its values are written into texts as a list of plain ints.
        zk::PlainInts ints = zk::plain_ints(value);
        if (!ints.sequence_)
            g_module.raise_logged(PyExc_TypeError,
                                  format_message(kForallValuesTypeMsg, name, type_name_of(value)));
        if (!ints.values_.is_valid())
            g_module.raise_logged(
                PyExc_TypeError,
                format_message(kForallValueNotIntMsg, repr_text(ints.not_integer_), name));
        for (nb::handle i : ints.values_)
            if (!int64_of(i, bound))
                g_module.raise_logged(PyExc_ValueError, format_message(kForallTooLargeMsg, name));
        if (!ints.values_.is(value)) foralls[key] = ints.values_;
    }
}

void Model::check_elements(const nb::object &foralls) const {
    ForallInfo fa = read_forall_info(foralls);
    nb::object registered = manager_.attr("name2pb");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(registered.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        std::string element = utf8_of(key);
        size_t open = element.find('(');
        if (element.empty() || element[0] == '_' || open == std::string::npos ||
            element.back() != ')')
            continue;
        nb::object family = family_named(nb::str(element.data(), open));
        const VariableFamily *f = family.is_valid() ? family_ptr(family) : nullptr;
        if (!f) continue;
        std::string_view items(element);
        check_element(fa, *f, element, items.substr(open + 1, items.size() - open - 2));
    }
}

void Model::add_constraint(nb::object constraint, nb::kwargs foralls) {
    if (!is_instance(constraint, g_module.get("Expression")))
        g_module.raise_logged(PyExc_TypeError, kNotExpressionMsg);
    if (!is_wcnf_.is_none())
        g_module.raise_logged("TargetError", truth(is_wcnf_) ? kSoftDefinedMsg : kTargetDefinedMsg);
    normalize_foralls(foralls);
    // The formula text can be long (one call per element of a written-out sum): it is made once
    // for the log line and the evaluation.
    nb::object text = nb::str(constraint);
    nb::object foralls_text = nb::str(foralls);
    nb::object line = format_message_str(kConstraintLine, text, foralls_text);
    g_module.log("log_d", line);
    if (truth(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("add_constraint")(text,
                                                format_message_str(kForallsText, foralls_text));
    } else {
        fill_hard_text(text, foralls);
    }
}

void Model::add_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                                nb::kwargs foralls) {
    if (!is_wcnf_.is_none() && !truth(is_wcnf_))
        g_module.raise_logged("FormulaError", kAlreadyCnfMsg);
    if (!truth(constraint.attr("soft"))) g_module.raise_logged("FormulaError", kNotSoftMsg);
    normalize_foralls(foralls);
    // A numpy integer weighs as its plain int (numpy's own product would come first otherwise).
    if (!is_instance(weight, g_module.get("Expression")) && !PyLong_Check(weight.ptr())) {
        nb::object plain = plain_integer(weight);
        if (!plain.is_valid()) g_module.raise_logged(PyExc_TypeError, kWeightTypeMsg);
        weight = plain;
    }
    if (truth(use_formula_encoder_)) {
        init_formula_encoder();
        // Weighted from here on, unless the encoder refuses the constraint.
        nb::object mode_before = is_wcnf_;
        is_wcnf_ = nb::bool_(true);
        try {
            formula_encoder_.attr("add_soft_constraint")(
                nb::str(constraint), format_message_str(kForallsText, nb::str(foralls)), weight,
                minimization);
        } catch (...) {
            is_wcnf_ = mode_before;
            throw;
        }
    } else {
        fill_soft_constraint(constraint, weight, minimization, foralls);
    }
}

bool Model::use_target() const {
    if (is_wcnf_.is_none()) return false;
    return !truth(is_wcnf_);
}

void Model::add_target(nb::object target) {
    if (!is_wcnf_.is_none() && truth(is_wcnf_))
        g_module.raise_logged("FormulaError", kAlreadyWcnfMsg);
    if (truth(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("add_target")(nb::str(target));
    } else {
        fill_target(target);
    }
}

void Model::reset_target() {
    if (use_target()) template_target_ = nb::none();
}

void Model::fill_target(nb::object target) {
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    if (!truth(target.attr("soft"))) g_module.raise_logged("TargetError", kNotTargetMsg);
    // The target is encoded only at a build: its elements are checked now, where it is given.
    try {
        with_manager_reset(manager_, [&](bool &) {
            evaluate(nb::str(target));
            check_elements(nb::dict());
        });
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
    if (use_target()) g_module.log("log_w", kTargetAlreadyUsedMsg);
    reset_target();
    template_target_ = std::move(target);
    is_wcnf_ = nb::bool_(false);
}

nb::dict Model::evaluation_namespace() const {
    nb::dict ns;
    if (PyDict_Update(ns.ptr(), formulas_dir_.ptr()) < 0) throw nb::python_error();
    if (PyDict_Update(ns.ptr(), indexes_.ptr()) < 0) throw nb::python_error();
    nb::object genvars = manager_.attr("name2genvar");
    if (PyDict_Update(ns.ptr(), genvars.ptr()) < 0) throw nb::python_error();
    return ns;
}

nb::object Model::evaluate(const nb::object &text, const nb::dict &bindings) const {
    nb::dict ns = evaluation_namespace();
    if (PyDict_Update(ns.ptr(), bindings.ptr()) < 0) throw nb::python_error();
    // The texts the library writes run natively, with `eval`'s meaning; any other goes to `eval`.
    return formula::eval_formula(text, ns, g_eval, core::polarity_slot);
}

// Evaluated hard constraint or target bound -> its clause form through the engine's Tseytin
// transformation.
nb::object Model::to_clause_form(nb::object value, const nb::object &text) {
    if (is_instance(value, g_module.get("variable").attr("Variable")))
        value = value.attr("to_bx")();
    // Comparisons that the formula reads other than as plain requirements stand for literals
    // whose defining clauses hold beside the whole formula.
    // A literal that the formula lost on the way (x | ~x, an implication of true) is free, and its
    // definition holds for one of its values whatever the rest: only the others are conjoined, so
    // that a formula that always holds is still found redundant.
    if (zk::core::Manager *mgr = zk::core::exact_manager(manager_)) {
        if (nb::len(mgr->definitions_) > 0 && nb::hasattr(value, "tseytin")) {
            nb::list definitions = mgr->definitions_;
            mgr->definitions_ = nb::list();
            nb::object support = value.attr("support")();
            nb::list parts;
            parts.append(value);
            for (nb::handle pair : definitions) {
                int used = PySequence_Contains(support.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0));
                if (used < 0) throw nb::python_error();
                if (used) parts.append(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
            }
            if (nb::len(parts) > 1) value = g_module.get("bx").attr("and_s")(parts);
        }
    }
    // A term without a comparison would fail inside the transformation with an error that names
    // neither the constraint nor the cause.
    if (!nb::hasattr(value, "tseytin"))
        g_module.raise_logged("FormulaError", format_message_str(kNotBooleanMsg, text));
    return value.attr("tseytin")(manager_.attr("bx_context"), class_attr("_Model__BXPR_AUX"));
}

namespace {

// The names of a clause form's variables, through the engine's flat clause arrays where it offers
// them: no engine object per variable. Null where the arrays are not to be had.
nb::object clause_form_names(const nb::object &templ) {
    nb::object arrays = engine_calls::clause_arrays(templ);
    if (!arrays.is_valid()) return nb::object();
    return nb::borrow(PyTuple_GET_ITEM(arrays.ptr(), 0));
}

AuxCounts count_auxiliaries(const nb::object &manager, const nb::object &templ,
                            const nb::object &bxpr_aux) {
    AuxCounts counts{manager.attr("cnt_pbvar"), nb::int_(0)};
    long n = 0;
    auto count = [&](nb::handle text) {
        int r = PySequence_Contains(text.ptr(), bxpr_aux.ptr());
        if (r < 0) throw nb::python_error();
        if (r == 1) ++n;
    };
    nb::object names = clause_form_names(templ);
    if (names.is_valid()) {
        for (nb::handle name : names) count(name);
    } else {
        for (nb::handle v : templ.attr("support")()) count(nb::str(v));
    }
    counts.bx_ = nb::int_(n);
    return counts;
}

}  // namespace

void Model::fill_hard_constraint(nb::object constraint, nb::object foralls) {
    init_formula_container();
    if (PyDict_Check(foralls.ptr())) normalize_foralls(nb::borrow<nb::dict>(foralls));
    fill_hard_text(nb::str(constraint), foralls);
}

namespace {

// The for-all values of every keyword, in keyword order, when they can be listed and the instances
// are not too many to make one by one; empty otherwise.
constexpr Py_ssize_t kMaxInstances = 1000000;

std::vector<std::pair<nb::object, std::vector<nb::object>>> instance_values(
    const nb::object &foralls) {
    std::vector<std::pair<nb::object, std::vector<nb::object>>> out;
    if (!PyDict_Check(foralls.ptr()) || PyDict_GET_SIZE(foralls.ptr()) == 0) return out;
    Py_ssize_t count = 1;
    for (auto [key, value] : nb::borrow<nb::dict>(foralls)) {
        Py_ssize_t n = PyObject_Length(value.ptr());
        if (n < 0) {
            clear_only(PyExc_TypeError);
            return {};
        }
        if (n > 0 && count > kMaxInstances / n) return {};
        count *= n;
        std::vector<nb::object> values;
        for (nb::handle v : value) values.push_back(nb::borrow(v));
        out.emplace_back(nb::borrow(key), std::move(values));
    }
    return out;
}

// Whether some for-all keyword takes no value: the constraint then has no instance.
bool without_instances(const nb::object &foralls) {
    if (!PyDict_Check(foralls.ptr())) return false;
    for (auto [key, value] : nb::borrow<nb::dict>(foralls)) {
        Py_ssize_t n = PyObject_Length(value.ptr());
        if (n < 0) {
            clear_only(PyExc_TypeError);
            continue;
        }
        if (n == 0) return true;
    }
    return false;
}

void warn_redundant_here() {
    auto [source, line] = call_site();
    g_module.log("log_w", format_message_str(kRedundantMsg, source, line));
}

}  // namespace

std::pair<nb::object, nb::object> Model::hard_template(const nb::object &text,
                                                       const nb::object &foralls,
                                                       const nb::dict &bindings, bool instances,
                                                       bool warn_redundant) {
    AuxCounts counts{nb::int_(0), nb::int_(0)};
    nb::object result;
    with_manager_reset(manager_, [&](bool &reset_done) {
        nb::object value = evaluate(text, bindings);
        check_elements(foralls);
        nb::object templ = to_clause_form(value, text);
        g_module.log("log_t", kHardUtilityMsg);
        nb::object bxpr_aux = class_attr("_Model__BXPR_AUX");
        counts = count_auxiliaries(manager_, templ, bxpr_aux);
        nb::object bx = g_module.get("bx");
        if (is_instance(templ, bx.attr("Zero"))) {
            // A constraint without any instance asks for nothing.
            if (!instances) return;
            auto [source, line] = call_site();
            nb::object msg = format_message_str(kContradictionMsg, source, line);
            g_module.log("log_e", msg);
            manager_.attr("reset")();
            reset_done = true;
            zk::raise_plain(g_module.get("FormulaError"), msg);
        }
        if (is_instance(templ, bx.attr("One"))) {
            if (warn_redundant) warn_redundant_here();
            return;
        }
        check_instances(foralls, counts);
        result = templ;
    });
    if (!result.is_valid()) return {nb::object(), nb::object()};
    return {result, nb::make_tuple(counts.pb_, counts.bx_)};
}

void Model::fill_hard_text(const nb::object &text, const nb::object &foralls) {
    // A refused formula leaves no container behind: families may still follow it.
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    // The evaluation, its encoding and the queued template make hundreds of thousands of objects
    // for a large formula, none of them in a cycle.
    zk::GcPause pause;
    try {
        std::pair<nb::object, nb::object> made;
        try {
            made = hard_template(text, foralls, nb::dict(), !without_instances(foralls));
        } catch (nb::python_error &e) {
            // The template is made once, with index symbols for the for-all values; a formula
            // whose shape depends on the values (a coefficient that is a power of an index, an
            // integer plus an index) is made for each instance instead.
            if (!e.matches(PyExc_TypeError) || !fill_by_instances(text, foralls, false)) throw;
            return;
        }
        if (!made.first.is_valid()) return;
        formula_container_.attr("add_hard_constraint")(made.first, foralls, made.second[0],
                                                       made.second[1]);
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
}

// The constraint made for each instance of its for-all values, each an instance of its own;
// nothing is queued unless every instance is made. False when the values cannot be listed.
bool Model::fill_by_instances(const nb::object &text, const nb::object &foralls, bool soft) {
    auto values = instance_values(foralls);
    if (values.empty()) return false;
    for (auto &entry : values)
        if (entry.second.empty()) return true;  // no instance
    std::vector<size_t> at(values.size(), 0);
    std::vector<std::pair<nb::object, nb::object>> made;
    nb::dict none;
    nb::list all_weights;
    for (;;) {
        nb::dict bindings;
        for (size_t k = 0; k < values.size(); ++k)
            bindings[values[k].first] = values[k].second[at[k]];
        if (soft) {
            with_manager_reset(manager_, [&](bool &) {
                nb::object value = evaluate(text, bindings);
                check_elements(none);
                auto [formula, weights] = zk::unpack_pair(value);
                for (nb::handle w : weights) all_weights.append(w);
                made.emplace_back(formula, weights);
            });
        } else {
            // Redundant is said of the constraint, not of one of its instances.
            made.push_back(hard_template(text, none, bindings, true, false));
        }
        size_t k = values.size();
        while (k > 0 && ++at[k - 1] == values[k - 1].second.size()) at[--k] = 0;
        if (k == 0) break;
    }
    if (soft) check_weights(all_weights, none);
    bool redundant = !soft;
    for (auto &[templ, extra] : made) {
        if (!templ.is_valid()) continue;
        redundant = false;
        if (soft)
            formula_container_.attr("add_soft_formula")(templ, extra, none, 0, 0);
        else
            formula_container_.attr("add_hard_constraint")(templ, none, extra[0], extra[1]);
    }
    if (redundant) warn_redundant_here();
    return true;
}

void Model::fill_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                                 nb::object foralls) {
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    if (PyDict_Check(foralls.ptr())) normalize_foralls(nb::borrow<nb::dict>(foralls));
    try {
        PyObject *product = PyNumber_Multiply(weight.ptr(), constraint.ptr());
        if (!product) throw nb::python_error();
        nb::object objective = nb::steal(product).attr("maxsat")(minimization);
        g_module.log("log_d", format_message_str(kBuildingSoftMsg, nb::str(constraint)));
        nb::object text = nb::str(objective);
        bool by_instances = false;
        with_manager_reset(manager_, [&](bool &) {
            nb::object value;
            try {
                value = evaluate(text);
            } catch (nb::python_error &e) {
                // As for hard constraints: weights that depend on the for-all values are made for
                // each instance.
                if (!e.matches(PyExc_TypeError) || instance_values(foralls).empty()) throw;
                by_instances = true;
                return;
            }
            check_elements(foralls);
            auto [formula, weights] = zk::unpack_pair(value);
            check_weights(weights, foralls);
            formula_container_.attr("add_soft_formula")(formula, weights, foralls, 0, 0);
        });
        if (by_instances) fill_by_instances(text, foralls, true);
        is_wcnf_ = nb::bool_(true);
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
}

// What the container cannot number: auxiliaries past the literal range, more instances than
// clauses a storage can count.
void Model::check_instances(const nb::object &foralls, const AuxCounts &counts) const {
    ForallInfo fa = read_forall_info(foralls);
    int64_t pb = index_int64(counts.pb_), bx = index_int64(counts.bx_);
    __int128 next = index_int64(formula_container_.attr("_cur_init_shift_variable"));
    __int128 last = next + fa.instances_ * (static_cast<__int128>(pb) + bx) - 1;
    if (fa.instances_ > kMaxLiteral || last > kMaxLiteral)
        g_module.raise_logged(PyExc_ValueError, kTooManyInstancesMsg);
}

// Weights reach the clause storage as 64-bit integers, and so does their total, the weight that
// a hard clause carries.
void Model::check_weights(const nb::object &weights, const nb::object &foralls) const {
    ForallInfo fa = read_forall_info(foralls);
    if (fa.instances_ > kMaxLiteral) g_module.raise_logged(PyExc_ValueError, kTooManyInstancesMsg);
    nb::object total = formula_container_.attr("hard_weight");
    nb::object limit = nb::int_(INT64_MAX);
    nb::object instances = nb::int_(static_cast<int64_t>(fa.instances_));
    for (nb::handle w : weights) {
        bool too_large = !PyLong_Check(w.ptr()) || compare(w, limit, Py_GT);
        if (!too_large) {
            PyObject *sum = PyNumber_Add(total.ptr(), (nb::borrow(w) * instances).ptr());
            if (!sum) throw nb::python_error();
            total = nb::steal(sum);
            too_large = compare(total, limit, Py_GT);
        }
        if (too_large)
            g_module.raise_logged(PyExc_ValueError,
                                  format_message(kWeightTooLargeMsg, utf8_of(nb::str(w))));
    }
}

void Model::build_target(nb::object border, nb::object minimization) {
    init_formula_container();
    PyObject *bounded_ptr = PyObject_RichCompare(template_target_.ptr(), border.ptr(),
                                                 truth(minimization) ? Py_LE : Py_GE);
    if (!bounded_ptr) throw nb::python_error();
    nb::object bounded = nb::steal(bounded_ptr);
    g_module.log("log_i", kBuildingTargetMsg);
    with_manager_reset(manager_, [&](bool &reset_done) {
        nb::object text = nb::str(bounded);
        nb::object templ = to_clause_form(evaluate(text), text);
        g_module.log("log_d", kTargetUtilityMsg);
        AuxCounts counts = count_auxiliaries(manager_, templ, class_attr("_Model__BXPR_AUX"));
        nb::object bx = g_module.get("bx");
        if (is_instance(templ, bx.attr("Zero"))) {
            g_module.log("log_e", kTargetContradictionMsg);
            manager_.attr("reset")();
            reset_done = true;
            zk::raise_plain(g_module.get("FormulaError"), nb::str(kTargetContradictionMsg));
        }
        if (is_instance(templ, bx.attr("One")))
            g_module.log("log_w", kTargetRedundantMsg);
        else
            formula_container_.attr("add_target_constraint")(templ, nb::dict(), counts.pb_,
                                                             counts.bx_);
    });
}

void Model::init_formula_container() {
    if (formula_container_.is_none())
        formula_container_ = g_module.get("FormulaContainer")(variables_, shift_target_variable_);
}

void Model::init_formula_encoder() {
    if (!formula_encoder_.is_none()) return;
    // Without an engine manager there is no one to ask; say so instead of failing on None.
    if (sorn_manager_.is_none()) g_module.raise_logged("BuildError", kNoManagerMsg);
    formula_encoder_ = sorn_manager_.attr("create_formula_encoder")(model_name_);
}

namespace {

nb::object start_line(const char *format, const nb::object &name, const nb::object &shift) {
    nb::object last = check(PyNumber_Subtract(shift.ptr(), nb::int_(1).ptr()));
    return format_message_str(format, name, nb::str(last));
}

}  // namespace

// The common middle of both builds: the formula encoder generates its clauses, or the container
// completes its storage through `container_build` ("build_cnf_formula" or "build_wcnf_formula").
nb::object Model::built_storage(const char *container_build) {
    if (truth(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("generate_cnf")();
        return formula_encoder_.attr("get_cnf_storage")();
    }
    if (formula_container_.is_none()) g_module.raise_logged("BuildError", kNoContainerMsg);
    formula_container_.attr(container_build)(model_name_);
    return formula_container_.attr("cnf_storage")();
}

// The common end of both builds: hand the storage over, map names, make the witness interpreter.
// Empty when there is no variable mapping.
nb::object Model::finish_build(nb::object storage, const char *empty_storage_msg) {
    if (storage.is_none()) g_module.raise_logged("BuildError", empty_storage_msg);
    if (sorn_manager_.is_none()) g_module.raise_logged("BuildError", kNoManagerMsg);
    sorn_manager_.attr("set_cnf_storage")(storage);
    insert_preliminary_values(storage);
    nb::object var_maps = get_var_mapping();
    if (var_maps.is_none()) {
        g_module.log("log_e", kNoMappingMsg);
        return nb::object();
    }
    nb::object wi = g_module.get("se").attr("witness_interpreter")();
    wi.attr("set_var_mapping")(var_maps);
    nb::list prefixes;
    prefixes.append(class_attr("_Model__BXPR_AUX"));
    prefixes.append(class_attr("_Model__PBCT_AUX"));
    wi.attr("set_auxiliary_vars")(prefixes);
    nb::object rez = wi.attr("build_mapping_tables")(true);
    if (truth(rez)) sorn_manager_.attr("set_witness_interpreter")(wi);
    return rez;
}

nb::object Model::build_cnf(nb::object border, nb::object minimization) {
    if (truth(is_wcnf_)) g_module.raise_logged("BuildError", kWcnfFormatMsg);
    if (use_target()) {
        if (border.is_none() || minimization.is_none())
            g_module.raise_logged("BuildError", kNoBorderMsg);
        build_target(border, minimization);
    }
    g_module.log("log_i", start_line(kCnfStartLine, model_name_, shift_target_variable_));
    nb::object rez = finish_build(built_storage("build_cnf_formula"), kCnfEmptyMsg);
    if (!rez.is_valid()) return nb::bool_(false);

    PyObject *diff = PyNumber_Subtract(now().ptr(), start_time_.ptr());
    if (!diff) throw nb::python_error();
    nb::object span = nb::steal(diff);
    nb::object origin = g_module.get("datetime")(1, 1, 1, 0, 0, 0, 0);
    nb::object stamp =
        check(PyNumber_Add(origin.ptr(), span.ptr())).attr("strftime")(kDurationFormat);
    nb::object duration = stamp[nb::slice(nb::none(), nb::int_(-3), nb::none())];
    g_module.log(
        "log_i",
        format_message_str(kCnfEndLine,
                           truth(use_formula_encoder_) ? kCnfEncoderSuffix : kOwnSuffix, duration));
    return rez;
}

nb::object Model::build_wcnf() {
    if (is_wcnf_.is_none() || !truth(is_wcnf_)) g_module.raise_logged("BuildError", kCnfFormatMsg);
    g_module.log("log_i", start_line(kWcnfStartLine, model_name_, shift_target_variable_));
    nb::object rez = finish_build(built_storage("build_wcnf_formula"), kWcnfEmptyMsg);
    if (!rez.is_valid()) return nb::bool_(false);
    g_module.log("log_i",
                 format_message_str(kWcnfEndLine,
                                    truth(use_formula_encoder_) ? kWcnfEncoderSuffix : kOwnSuffix));
    return rez;
}

bool Model::served_by_encoder() const {
    return truth(use_formula_encoder_) && !formula_encoder_.is_none();
}

bool Model::encodes_itself() const { return !truth(use_formula_encoder_); }

nb::object Model::get_cnf_storage() {
    if (!encodes_itself()) {
        if (formula_encoder_.is_none()) return nb::none();
        return formula_encoder_.attr("get_cnf_storage")();
    }
    if (formula_container_.is_none()) return nb::none();
    return formula_container_.attr("cnf_storage")();
}

nb::object Model::get_var_mapping() {
    if (!encodes_itself()) {
        if (formula_encoder_.is_none()) return nb::none();
        return formula_encoder_.attr("get_var_mapping")();
    }
    if (formula_container_.is_none()) return nb::none();
    // Families by shape where both sides can: a family of 10^8 declared elements then costs no
    // names on either side. Only the library's own container knows its shapes; another object
    // in its place is read through `mapping`.
    const bool own_container =
        Py_TYPE(formula_container_.ptr()) ==
        reinterpret_cast<PyTypeObject *>(g_module.get("FormulaContainer").ptr());
    nb::object shapes =
        own_container ? formula_container_.attr("_mapping_shapes")() : nb::object(nb::none());
    if (!shapes.is_none()) {
        nb::object var_maps = g_module.get("se").attr("var_mapping")();
        nb::object families = shapes[0], others = shapes[1];
        engine_calls::set_var_families(var_maps, families, others,
                                       [&] { return formula_container_.attr("mapping"); });
        var_maps.attr("build_inverse_map")();
        return var_maps;
    }
    // Every read of the container's map is a new copy of it: read it once.
    nb::object mapping = formula_container_.attr("mapping");
    if (nb::len(mapping) == 0) return nb::none();
    nb::object var_maps = g_module.get("se").attr("var_mapping")();
    var_maps.attr("set_var_map")(mapping);
    var_maps.attr("build_inverse_map")();
    return var_maps;
}

nb::object Model::save_metrics_json(nb::object filename) {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("save_metrics_json")(filename);
}

nb::object Model::save_metrics_csv(nb::object filename) {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("save_metrics_csv")(filename);
}

void Model::reset() {
    if (served_by_encoder()) formula_encoder_.attr("reset")();
}

void Model::set_witness(nb::object witness) {
    if (served_by_encoder()) formula_encoder_.attr("set_witness")(witness);
}

void Model::set_another_witness(nb::object witness) {
    if (served_by_encoder()) formula_encoder_.attr("set_another_witness")(witness);
}

nb::object Model::check_another_witness() {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("check_another_witness")();
}

void Model::add_preliminary_var_value(nb::object var, nb::object negative) {
    // Element numbers run from 1: after the placeholder of the own encoding, after the formula
    // encoder's own placeholder in the other back end.
    nb::object last =
        truth(use_formula_encoder_)
            ? shift_target_variable_
            : nb::steal(PyNumber_Subtract(shift_target_variable_.ptr(), nb::int_(1).ptr()));
    if (!last.is_valid()) throw nb::python_error();
    nb::object number = plain_non_bool_integer(var);
    if (!number.is_valid() || compare(number, nb::int_(1), Py_LT) || compare(number, last, Py_GT))
        g_module.raise_logged(
            PyExc_ValueError,
            format_message(kPreliminaryRangeMsg, utf8_of(nb::str(last)), repr_text(var)));
    nb::object literal = number;
    if (truth(negative)) {
        PyObject *neg = PyNumber_Negative(number.ptr());
        if (!neg) throw nb::python_error();
        literal = nb::steal(neg);
    }
    g_module.log("log_d", format_message_str(kPreliminaryMsg, nb::str(literal)));
    // Kept for this model's builds; once one has run, its storage takes the value at once. The
    // engine manager's current storage may be another model's.
    if (PyList_Append(preliminary_values_.ptr(), literal.ptr()) < 0) throw nb::python_error();
    if (!preliminary_storage_.is_none()) {
        preliminary_storage_.attr("insert_prefatory_value")(literal);
        preliminary_inserted_ = static_cast<size_t>(PyList_GET_SIZE(preliminary_values_.ptr()));
    }
}

// Gives the storage of a build the preliminary values it does not hold yet.
void Model::insert_preliminary_values(const nb::object &storage) {
    if (!storage.is(preliminary_storage_)) {
        preliminary_storage_ = storage;
        preliminary_inserted_ = 0;
    }
    size_t n = static_cast<size_t>(PyList_GET_SIZE(preliminary_values_.ptr()));
    if (preliminary_inserted_ >= n) return;
    nb::object insert = storage.attr("insert_prefatory_value");
    for (; preliminary_inserted_ < n; ++preliminary_inserted_) {
        // Each value held for its call, and the list's size read again: the engine's code runs
        // in between.
        const Py_ssize_t k = static_cast<Py_ssize_t>(preliminary_inserted_);
        if (k >= PyList_GET_SIZE(preliminary_values_.ptr())) break;
        insert(nb::borrow(PyList_GET_ITEM(preliminary_values_.ptr(), k)));
    }
}

}  // namespace zk::encode
