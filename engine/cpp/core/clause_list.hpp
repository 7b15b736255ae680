// Clauses kept as one flat literal array with offsets: clause i is lits[offsets[i], offsets[i+1]).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pb_encoder.hpp"

namespace se {

class ClauseList : public pbct::ClauseSink {
public:
    ClauseList() : offsets_{0} {}

    void add_clause(const int32_t *lits, std::size_t size) override {
        lits_.insert(lits_.end(), lits, lits + size);
        offsets_.push_back(static_cast<int64_t>(lits_.size()));
    }
    void append(const ClauseList &other) {
        if (&other == this) {
            // Inserting a vector's own range into it is undefined: go through a copy.
            const ClauseList copy(other);
            append(copy);
            return;
        }
        const int64_t base = static_cast<int64_t>(lits_.size());
        lits_.insert(lits_.end(), other.lits_.begin(), other.lits_.end());
        offsets_.reserve(offsets_.size() + other.size());
        for (std::size_t i = 1; i < other.offsets_.size(); ++i)
            offsets_.push_back(base + other.offsets_[i]);
    }
    // Drops every clause after the first n (undoes a failed encoding).
    void truncate(std::size_t n) {
        if (n >= size()) return;
        lits_.resize(static_cast<std::size_t>(offsets_[n]));
        offsets_.resize(n + 1);
    }
    void clear() {
        lits_.clear();
        offsets_.assign(1, 0);
    }
    void reserve(std::size_t clauses, std::size_t lits) {
        offsets_.reserve(clauses + 1);
        lits_.reserve(lits);
    }

    std::size_t size() const { return offsets_.size() - 1; }
    std::size_t literal_count() const { return lits_.size(); }
    const int32_t *begin(std::size_t i) const { return lits_.data() + offsets_[i]; }
    std::size_t length(std::size_t i) const {
        return static_cast<std::size_t>(offsets_[i + 1] - offsets_[i]);
    }
    const std::vector<int32_t> &lits() const { return lits_; }
    const std::vector<int64_t> &offsets() const { return offsets_; }
    int32_t max_variable() const;

private:
    std::vector<int32_t> lits_;
    std::vector<int64_t> offsets_;
};

inline int32_t ClauseList::max_variable() const {
    int32_t m = 0;
    for (int32_t l : lits_) {
        const int32_t v = l < 0 ? -l : l;
        if (v > m) m = v;
    }
    return m;
}

}  // namespace se
