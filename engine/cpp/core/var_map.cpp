// Variable mapping and witness decoding.
#include "var_map.hpp"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <unordered_map>

namespace se::clause {

namespace {

constexpr const char *kBothValuesHead = "the witness gives variable ";
constexpr const char *kBothValuesTail = " both values";
constexpr const char *kTooManyNames = "var_mapping: more than 4294967294 names";
constexpr uint32_t kNone = 0xffffffffu;
constexpr uint64_t kTagMask = 0xffffffff00000000u;
constexpr uint64_t kIndexMask = 0xffffffffu;

uint64_t hash_name(std::string_view name) { return std::hash<std::string_view>{}(name); }

}  // namespace

void VarMap::assign(NameTable table) {
    if (table.size() >= kNone) throw std::length_error(kTooManyNames);
    table_ = std::make_shared<const NameTable>(std::move(table));
    std::vector<uint64_t>().swap(name_slots_);
    name_index_built_ = false;
    std::vector<uint32_t>().swap(by_number_dense_);
    std::vector<std::pair<int64_t, uint32_t>>().swap(by_number_sparse_);
    inverse_built_ = false;
}

void VarMap::build_name_index() const {
    const NameTable &t = *table_;
    const std::size_t n = t.size();
    // At most half full: short probe runs even where hashes cluster.
    std::size_t cap = 16;
    while (cap < 2 * n) cap *= 2;
    name_slots_.assign(cap, 0);
    const std::size_t mask = cap - 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = t.name(i);
        const uint64_t h = hash_name(key);
        const uint64_t tag = h & kTagMask;
        for (std::size_t at = h & mask;; at = (at + 1) & mask) {
            uint64_t &slot = name_slots_[at];
            // Empty, or a repeated name, which the later entry answers.
            if (slot == 0 || ((slot & kTagMask) == tag && t.name((slot & kIndexMask) - 1) == key)) {
                slot = tag | (i + 1);
                break;
            }
        }
    }
    name_index_built_ = true;
}

const int64_t *VarMap::number(std::string_view name) const {
    if (!name_index_built_) build_name_index();
    const NameTable &t = *table_;
    const std::size_t mask = name_slots_.size() - 1;
    const uint64_t h = hash_name(name);
    const uint64_t tag = h & kTagMask;
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
        const uint64_t slot = name_slots_[at];
        if (slot == 0) return nullptr;
        const std::size_t i = (slot & kIndexMask) - 1;
        if ((slot & kTagMask) == tag && t.name(i) == name) return &t.numbers()[i];
    }
}

void VarMap::build_inverse() {
    const std::vector<int64_t> &numbers = table_->numbers();
    const std::size_t n = numbers.size();
    by_number_dense_.clear();
    by_number_sparse_.clear();
    int64_t top = -1;
    for (int64_t v : numbers) top = std::max(top, v);
    // Dense only while it costs about what the entries do: one huge number must not cost
    // gigabytes.
    if (top >= 0 && static_cast<uint64_t>(top) <= 4 * static_cast<uint64_t>(n) + 1024) {
        by_number_dense_.assign(static_cast<std::size_t>(top) + 1, kNone);
        for (std::size_t i = n; i-- > 0;)  // backwards: the first entry of a number stays
            by_number_dense_[static_cast<std::size_t>(numbers[i])] = static_cast<uint32_t>(i);
    } else {
        by_number_sparse_.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            by_number_sparse_.emplace_back(numbers[i], static_cast<uint32_t>(i));
        // Sorted by (number, entry): the first pair of a number is its first entry.
        std::sort(by_number_sparse_.begin(), by_number_sparse_.end());
    }
    inverse_built_ = true;
}

bool VarMap::name(int64_t number, std::string_view *out) {
    if (!inverse_built_) build_inverse();
    std::size_t i = kNone;
    if (!by_number_dense_.empty()) {
        if (number >= 0 && static_cast<uint64_t>(number) < by_number_dense_.size())
            i = by_number_dense_[static_cast<std::size_t>(number)];
    } else {
        auto it = std::lower_bound(by_number_sparse_.begin(), by_number_sparse_.end(),
                                   std::make_pair(number, uint32_t{0}));
        if (it != by_number_sparse_.end() && it->first == number) i = it->second;
    }
    if (i == kNone) return false;
    *out = table_->name(i);
    return true;
}

bool WitnessInterpreter::is_auxiliary(std::string_view name) const {
    for (const std::string &p : prefixes_)
        if (name.substr(0, p.size()) == p) return true;
    return false;
}

bool WitnessInterpreter::build_tables(const VarMap &map, bool leave_out_auxiliaries) {
    names_ = map.table();
    picked_.clear();
    built_ = false;
    if (map.empty()) return false;
    const NameTable &t = *names_;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t.number(i) < 1) continue;
        if (leave_out_auxiliaries && is_auxiliary(t.name(i))) continue;
        picked_.push_back(static_cast<uint32_t>(i));
    }
    built_ = true;
    return true;
}

std::vector<bool> WitnessInterpreter::decode(const std::vector<int64_t> &witness) const {
    // value of a variable: 0 unknown, 1 true, 2 false. A dense array indexed by variable is the
    // fast way, but only when the numbers are not far above the witness's length: a witness
    // or mapping naming variable 2**31-1 must not cost gigabytes.
    auto magnitude = [](int64_t lit) {
        return lit < 0 ? uint64_t{0} - static_cast<uint64_t>(lit) : static_cast<uint64_t>(lit);
    };
    uint64_t top = 0;
    for (int64_t lit : witness) top = std::max(top, magnitude(lit));
    const bool dense = top <= 4 * static_cast<uint64_t>(witness.size()) + 1024;
    std::vector<unsigned char> dense_value(dense ? static_cast<std::size_t>(top) + 1 : 0, 0);
    std::unordered_map<uint64_t, unsigned char> sparse_value;
    if (!dense) sparse_value.reserve(witness.size());
    for (int64_t lit : witness) {
        if (lit == 0) continue;
        const uint64_t v = magnitude(lit);
        const unsigned char now = lit > 0 ? 1 : 2;
        unsigned char &slot = dense ? dense_value[static_cast<std::size_t>(v)] : sparse_value[v];
        if (slot != 0 && slot != now)
            throw std::invalid_argument(kBothValuesHead + std::to_string(v) + kBothValuesTail);
        slot = now;
    }
    std::vector<bool> out;
    out.reserve(picked_.size());
    for (uint32_t i : picked_) {
        const uint64_t v = static_cast<uint64_t>(names_->number(i));
        unsigned char value = 0;
        if (dense) {
            if (v <= top) value = dense_value[static_cast<std::size_t>(v)];
        } else {
            auto it = sparse_value.find(v);
            if (it != sparse_value.end()) value = it->second;
        }
        out.push_back(value == 1);
    }
    return out;
}

}  // namespace se::clause
