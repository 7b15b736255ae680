// Map between variable-element names and clause-variable numbers, and the witness interpreter
// that decodes a solver's assignment into the values of named elements.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace se::clause {

class VarMap {
public:
    // Replaces the whole content; entries keep the given order.
    void assign(std::vector<std::pair<std::string, int64_t>> entries);
    // Number -> entry; when several names share a number the first one answers.
    void build_inverse();

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const std::vector<std::pair<std::string, int64_t>> &entries() const { return entries_; }
    const int64_t *number(const std::string &name) const;
    // Builds the inverse map first when needed.
    const std::string *name(int64_t number);

private:
    std::vector<std::pair<std::string, int64_t>> entries_;
    std::unordered_map<std::string, std::size_t> by_name_;
    std::unordered_map<int64_t, std::size_t> by_number_;
    bool inverse_built_ = false;
};

class WitnessInterpreter {
public:
    void set_auxiliary_prefixes(std::vector<std::string> prefixes) {
        prefixes_ = std::move(prefixes);
    }
    const std::vector<std::string> &auxiliary_prefixes() const { return prefixes_; }
    bool is_auxiliary(const std::string &name) const;

    // Takes the entries to decode from map: those with a clause-variable number (>= 1), without
    // the auxiliaries when leave_out_auxiliaries. False when map is empty.
    bool build_tables(const VarMap &map, bool leave_out_auxiliaries);
    bool built() const { return built_; }
    const std::vector<std::pair<std::string, int64_t>> &table() const { return table_; }

    // values[i] for table()[i]: true when the witness holds +n, false for -n or when n is
    // missing. 0 entries (DIMACS line ends) are skipped. Throws std::invalid_argument when the
    // witness holds both n and -n.
    std::vector<bool> decode(const std::vector<int64_t> &witness) const;

private:
    std::vector<std::string> prefixes_;
    std::vector<std::pair<std::string, int64_t>> table_;
    bool built_ = false;
};

}  // namespace se::clause
