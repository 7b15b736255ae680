// Variable mapping and witness decoding.
#include "var_map.hpp"

#include <algorithm>
#include <stdexcept>

namespace se::clause {

namespace {

constexpr const char *kBothValuesHead = "the witness gives variable ";
constexpr const char *kBothValuesTail = " both values";

}  // namespace

void VarMap::assign(std::vector<std::pair<std::string, int64_t>> entries) {
    entries_ = std::move(entries);
    by_name_.clear();
    by_name_.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) by_name_[entries_[i].first] = i;
    by_number_.clear();
    inverse_built_ = false;
}

void VarMap::build_inverse() {
    by_number_.clear();
    by_number_.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) by_number_.emplace(entries_[i].second, i);
    inverse_built_ = true;
}

const int64_t *VarMap::number(const std::string &name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : &entries_[it->second].second;
}

const std::string *VarMap::name(int64_t number) {
    if (!inverse_built_) build_inverse();
    auto it = by_number_.find(number);
    return it == by_number_.end() ? nullptr : &entries_[it->second].first;
}

bool WitnessInterpreter::is_auxiliary(const std::string &name) const {
    for (const std::string &p : prefixes_)
        if (name.compare(0, p.size(), p) == 0) return true;
    return false;
}

bool WitnessInterpreter::build_tables(const VarMap &map, bool leave_out_auxiliaries) {
    table_.clear();
    built_ = false;
    if (map.empty()) return false;
    for (const auto &e : map.entries()) {
        if (e.second < 1) continue;
        if (leave_out_auxiliaries && is_auxiliary(e.first)) continue;
        table_.push_back(e);
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
    out.reserve(table_.size());
    for (const auto &e : table_) {
        const uint64_t v = static_cast<uint64_t>(e.second);
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
