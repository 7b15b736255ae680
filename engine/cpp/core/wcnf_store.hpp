// Clause storage: hard and weighted clauses in flat arrays, stamps, preliminary values, and the
// DIMACS CNF / WCNF writers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "clause_list.hpp"

namespace se::clause {

// Preliminary values in a written file: comment lines, which leave the problem as it is, or
// unit clauses, which fix the values.
enum class PrefatoryMode { kComment, kUnits };

// What a written file's "p" line says.
struct Header {
    int64_t variables_;
    int64_t clauses_;
    int64_t top_;  // weight of a hard clause (WCNF only)
};

class WcnfStore {
  public:
    void add_hard(const int32_t *lits, std::size_t size) { hard_.add_clause(lits, size); }
    void add_soft(const int32_t *lits, std::size_t size, int64_t weight) {
        soft_.add_clause(lits, size);
        weights_.push_back(weight);
    }

    // Room for a block of clauses that the caller writes in place (see ClauseList::extend), and
    // for a soft block one weight per clause; truncate_*(old count) gives it back.
    ClauseList::Room extend_hard(std::size_t clauses, std::size_t lits) {
        return hard_.extend(clauses, lits);
    }
    struct SoftRoom {
        ClauseList::Room clauses_;
        int64_t *weights_;
    };
    SoftRoom extend_soft(std::size_t clauses, std::size_t lits);
    void truncate_hard(std::size_t n) { hard_.truncate(n); }
    void truncate_soft(std::size_t n) {
        soft_.truncate(n);
        weights_.truncate(soft_.size());
    }

    // Appends other's clauses (and preliminary values); other may be this store.
    void merge(const WcnfStore &other);

    // A later value of the same variable replaces the earlier one, keeping its place.
    void insert_prefatory(int32_t lit);

    void set_model_name(std::string name) { model_name_ = std::move(name); }
    void set_variable_count(int64_t n) { variable_count_ = n; }
    void set_clause_count(int64_t n) { clause_count_ = n; }
    void set_weight_limit(int64_t w) { weight_limit_ = w; }

    const ClauseList &hard() const { return hard_; }
    const ClauseList &soft() const { return soft_; }
    const PodArray<int64_t> &weights() const { return weights_; }
    const std::vector<int32_t> &prefatory() const { return prefatory_; }
    const std::optional<std::string> &model_name() const { return model_name_; }
    const std::optional<int64_t> &variable_count() const { return variable_count_; }
    const std::optional<int64_t> &clause_count() const { return clause_count_; }
    const std::optional<int64_t> &weight_limit() const { return weight_limit_; }

    int32_t max_variable() const;

    Header cnf_header(PrefatoryMode mode) const;
    Header wcnf_header(PrefatoryMode mode) const;

    // Throw std::invalid_argument (soft clauses in a CNF) or std::runtime_error (I/O).
    void write_cnf(const std::string &path, PrefatoryMode mode) const;
    void write_wcnf(const std::string &path, PrefatoryMode mode) const;

  private:
    ClauseList hard_;
    ClauseList soft_;
    PodArray<int64_t> weights_;
    std::vector<int32_t> prefatory_;
    std::unordered_map<int32_t, std::size_t> prefatory_index_;  // variable -> place
    std::optional<std::string> model_name_;
    std::optional<int64_t> variable_count_;
    std::optional<int64_t> clause_count_;
    std::optional<int64_t> weight_limit_;
};

}  // namespace se::clause
