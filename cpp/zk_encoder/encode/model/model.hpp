// The pseudo-Boolean model: variable families, index symbols, hard and soft constraints, one
// target, CNF and weighted-CNF builds, with the library's own encoding or the engine's formula
// encoder as back end.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

namespace zk::encode {

namespace nb = nanobind;

// The two auxiliary counts of one encoded formula.
struct AuxCounts {
    nb::object pb_;
    nb::object bx_;
};

// Every field is a Python object: the model hands them to Python code (formula texts, the
// container, the engine) far more often than it computes with them.
struct Model {
    nb::object sorn_manager_;
    nb::object model_name_;
    nb::object use_formula_encoder_;
    nb::object formula_encoder_;
    nb::object formula_container_;
    nb::object used_vars_;
    nb::object manager_;
    nb::object variables_;
    nb::object indexes_;
    nb::object formulas_dir_;
    nb::object shift_target_variable_;
    nb::object is_wcnf_;
    nb::object template_target_;
    nb::object start_time_;
    // With the engine's formula encoder: the families handed to it, by name (the own encoding
    // keeps them in `variables_`).
    nb::object forwarded_families_;
    // Preliminary values given so far, and the storage of this model's latest build with how
    // many of them it holds.
    nb::object preliminary_values_;
    nb::object preliminary_storage_;
    size_t preliminary_inserted_ = 0;

    Model(nb::object smanager, nb::object name, nb::object use_fe);

    nb::object get_name() const { return model_name_; }
    nb::object create_variables(nb::object name, nb::kwargs dims);
    nb::object get_indexes(nb::object names);

    void add_constraint(nb::object constraint, nb::kwargs foralls);
    void add_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                             nb::kwargs foralls);
    bool use_target() const;
    void add_target(nb::object target);
    void reset_target();

    void build_target(nb::object border, nb::object minimization);
    void fill_hard_constraint(nb::object constraint, nb::object foralls);
    // fill_hard_constraint for a constraint whose formula text is already made.
    void fill_hard_text(const nb::object &text, const nb::object &foralls);
    void fill_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                              nb::object foralls);
    void fill_target(nb::object target);
    void init_formula_container();
    void init_formula_encoder();

    nb::object build_cnf(nb::object border, nb::object minimization);
    nb::object build_wcnf();

    nb::object get_cnf_storage();
    nb::object get_var_mapping();
    nb::object save_metrics_json(nb::object filename);
    nb::object save_metrics_csv(nb::object filename);
    void reset();
    void set_witness(nb::object witness);
    void set_another_witness(nb::object witness);
    nb::object check_another_witness();
    nb::object get_var_index(nb::object var) const { return var; }
    void add_preliminary_var_value(nb::object var, nb::object negative);

  private:
    bool served_by_encoder() const;
    bool encodes_itself() const;
    nb::dict evaluation_namespace() const;
    nb::object evaluate(const nb::object &text, const nb::dict &bindings = nb::dict()) const;
    // One hard formula (over the for-all values `foralls`, or with them bound in `bindings`) to
    // its clause template and auxiliary counts; null when it always holds. Raises on a
    // contradiction.
    std::pair<nb::object, nb::object> hard_template(const nb::object &text,
                                                    const nb::object &foralls,
                                                    const nb::dict &bindings, bool instances,
                                                    bool warn_redundant = true);
    bool fill_by_instances(const nb::object &text, const nb::object &foralls, bool soft);
    nb::object to_clause_form(nb::object value, const nb::object &text);
    // The formula's elements, as the Manager registered them while it was evaluated, checked
    // against their families and the for-all values `foralls` (already normalised).
    void check_elements(const nb::object &foralls) const;
    // Checks the for-all keywords and values of one call and puts plain integers in their place.
    void normalize_foralls(const nb::dict &foralls) const;
    // Refuses a name that would hide one the formula texts use, with `message` (a format string
    // whose hole takes the name).
    void refuse_shadowing(const nb::handle &name, const char *message) const;
    nb::object family_named(const nb::handle &name) const;
    void check_instances(const nb::object &foralls, const AuxCounts &counts) const;
    void check_weights(const nb::object &weights, const nb::object &foralls) const;
    nb::object built_storage(const char *container_build);
    void insert_preliminary_values(const nb::object &storage);
    nb::object finish_build(nb::object storage, const char *empty_storage_msg);
};

}  // namespace zk::encode
