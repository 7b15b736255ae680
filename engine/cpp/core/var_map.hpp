// Map between variable-element names and clause-variable numbers, and the witness interpreter
// that decodes a solver's assignment into the values of named elements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace se::clause {

// A family of elements given by its shape: element k (row-major, last dimension fastest) is
// named name + "[" + its indexes joined by "," + "]" and has number first + k. A family of 10^8
// declared elements costs its shape here; names are made when asked for.
struct Family {
    std::string name_;
    int64_t first_ = 0;
    std::vector<int64_t> sizes_;
    uint64_t count_ = 0;  // 0 when a size is not positive
    uint64_t begin_ = 0;  // entry index of its first element
};

// Families first (in the order given), then names and numbers in the order given, the names'
// bytes back to back in one arena: a model's map holds millions of short names, which as
// separate strings would cost an allocation each. name(i), number(i) and numbers() are about the
// listed entries only; entry indexes over the whole table count the families' elements first.
class NameTable {
  public:
    NameTable() : begin_{0} {}
    void reserve(std::size_t entries, std::size_t bytes) {
        begin_.reserve(entries + 1);
        numbers_.reserve(entries);
        bytes_.reserve(bytes);
    }
    void add(std::string_view name, int64_t number) {
        bytes_.append(name.data(), name.size());
        begin_.push_back(bytes_.size());
        numbers_.push_back(number);
    }
    // Only before any add(); false when a family of that name is there already.
    bool add_family(std::string name, int64_t first, std::vector<int64_t> sizes);
    std::size_t size() const { return family_entries_ + numbers_.size(); }
    std::size_t listed_size() const { return numbers_.size(); }
    std::string_view name(std::size_t i) const {
        return std::string_view(bytes_).substr(begin_[i], begin_[i + 1] - begin_[i]);
    }
    int64_t number(std::size_t i) const { return numbers_[i]; }
    const std::vector<int64_t> &numbers() const { return numbers_; }

    const std::vector<Family> &families() const { return families_; }
    // The name of element k of family f, written into out.
    void family_element_name(const Family &f, uint64_t k, std::string *out) const;
    // The number of a family element's name, or false when no family has that name.
    bool family_number(std::string_view name, int64_t *out) const;
    // Every entry in order: fn(name, number).
    template <class Fn>
    void for_each(Fn &&fn) const {
        std::string buf;
        for (const Family &f : families_)
            for (uint64_t k = 0; k < f.count_; ++k) {
                family_element_name(f, k, &buf);
                fn(std::string_view(buf), f.first_ + static_cast<int64_t>(k));
            }
        for (std::size_t i = 0; i < numbers_.size(); ++i) fn(name(i), numbers_[i]);
    }

  private:
    std::string bytes_;
    std::vector<std::size_t> begin_;
    std::vector<int64_t> numbers_;
    std::vector<Family> families_;
    std::unordered_map<std::string, std::size_t> family_index_;  // name -> position
    std::size_t family_entries_ = 0;
};

class VarMap {
  public:
    VarMap() : table_(std::make_shared<const NameTable>()) {}

    // Replaces the whole content; entries keep the given order. When a name comes twice, the
    // later number answers (as in a dict built from the entries).
    void assign(NameTable table);
    // Number -> entry; when several names share a number the first one answers.
    void build_inverse();

    std::size_t size() const { return table_->size(); }
    bool empty() const { return table_->size() == 0; }
    // The content as it stands; a later assign leaves it as it was for whoever holds it.
    const std::shared_ptr<const NameTable> &table() const { return table_; }
    // The number of a name; false when none has it. The index by name is built by the first
    // look-up: a build hands over the map and may never ask a name.
    bool number(std::string_view name, int64_t *out) const;
    // The (first) name of a number; false when none has it. Builds the inverse map first when
    // needed.
    bool name(int64_t number, std::string *out);

  private:
    void build_name_index() const;

    std::shared_ptr<const NameTable> table_;
    // Open addressing, linear probing: each slot holds the entry's index + 1 (0: empty) in its
    // low half and the high half of the name's hash in its high half, so that a probe compares
    // names only when the hashes agree.
    mutable std::vector<uint64_t> name_slots_;
    mutable bool name_index_built_ = false;
    // Inverse map: dense (first entry of each number, kNone where none) when the numbers are
    // not far above the entry count, else (number, entry) pairs sorted by number.
    std::vector<uint32_t> by_number_dense_;
    std::vector<std::pair<int64_t, uint32_t>> by_number_sparse_;
    bool inverse_built_ = false;
};

class WitnessInterpreter {
  public:
    void set_auxiliary_prefixes(std::vector<std::string> prefixes) {
        prefixes_ = std::move(prefixes);
    }
    const std::vector<std::string> &auxiliary_prefixes() const { return prefixes_; }
    bool is_auxiliary(std::string_view name) const;

    // Takes the entries to decode from map: those with a clause-variable number (>= 1), without
    // the auxiliaries when leave_out_auxiliaries. False when map is empty.
    bool build_tables(const VarMap &map, bool leave_out_auxiliaries);
    bool built() const { return built_; }
    std::size_t table_size() const;
    // Every table entry in order: fn(name, number).
    template <class Fn>
    void for_each_entry(Fn &&fn) const {
        std::string buf;
        for (const Run &r : runs_) {
            const Family &f = names_->families()[r.family_];
            for (uint64_t k = r.from_; k < r.from_ + r.count_; ++k) {
                names_->family_element_name(f, k, &buf);
                fn(std::string_view(buf), f.first_ + static_cast<int64_t>(k));
            }
        }
        for (uint32_t i : picked_) fn(names_->name(i), names_->number(i));
    }

    // values[i] for table entry i: true when the witness holds +n, false for -n or when n is
    // missing. 0 entries (DIMACS line ends) are skipped. Throws std::invalid_argument when the
    // witness holds both n and -n.
    std::vector<bool> decode(const std::vector<int64_t> &witness) const;

  private:
    std::vector<std::string> prefixes_;
    // The map's content when the tables were built (kept alive here: the mapping may be given
    // new content since) and the entries taken from it.
    std::shared_ptr<const NameTable> names_;
    // Family elements taken, as runs of consecutive elements (before the listed entries).
    struct Run {
        std::size_t family_;
        uint64_t from_, count_;
    };
    std::vector<Run> runs_;
    std::vector<uint32_t> picked_;
    bool built_ = false;
};

}  // namespace se::clause
