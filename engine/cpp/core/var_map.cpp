// Variable mapping and witness decoding.
#include "var_map.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "texts/format.hpp"
#include "texts/names.hpp"

namespace se::clause {

namespace {

constexpr const char *kBothValues = "the witness gives variable {} both values";
constexpr const char *kTooManyNames = "var_mapping: more than 4294967294 names";
constexpr uint32_t kNone = 0xffffffffu;
constexpr uint64_t kTagMask = 0xffffffff00000000u;
constexpr uint64_t kIndexMask = 0xffffffffu;

uint64_t hash_name(std::string_view name) { return std::hash<std::string_view>{}(name); }

}  // namespace

bool NameTable::add_family(std::string name, int64_t first, std::vector<int64_t> sizes) {
    if (!family_index_.emplace(name, families_.size()).second) return false;
    Family f;
    f.name_ = std::move(name);
    f.first_ = first;
    f.sizes_ = std::move(sizes);
    f.count_ = 1;
    for (int64_t s : f.sizes_) {
        if (s <= 0) {
            f.count_ = 0;
            break;
        }
        f.count_ *= static_cast<uint64_t>(s);  // the caller checked that the numbers fit
    }
    f.begin_ = family_entries_;
    family_entries_ += f.count_;
    families_.push_back(std::move(f));
    return true;
}

void NameTable::family_element_name(const Family &f, uint64_t k, std::string *out) const {
    const std::size_t n = f.sizes_.size();
    // Row-major indices, last dimension fastest: peel from the end.
    std::vector<int64_t> idx(n);
    for (std::size_t d = n; d-- > 0;) {
        const uint64_t s = static_cast<uint64_t>(f.sizes_[d]);
        idx[d] = static_cast<int64_t>(k % s);
        k /= s;
    }
    out->clear();
    zk::texts::append_element_key(*out, f.name_, idx.data(), n);
}

bool NameTable::family_number(std::string_view name, int64_t *out) const {
    if (families_.empty()) return false;
    const std::optional<zk::texts::ElementKey> key = zk::texts::read_element_key(name);
    if (!key) return false;
    const auto it = family_index_.find(std::string(key->family_));
    if (it == family_index_.end()) return false;
    const Family *f = &families_[it->second];
    if (f->count_ == 0 || key->indices_.size() != f->sizes_.size()) return false;
    uint64_t flat = 0;
    for (std::size_t d = 0; d < f->sizes_.size(); ++d) {
        const int64_t v = key->indices_[d];
        if (v < 0 || v >= f->sizes_[d]) return false;
        flat = flat * static_cast<uint64_t>(f->sizes_[d]) + static_cast<uint64_t>(v);
    }
    *out = f->first_ + static_cast<int64_t>(flat);
    return true;
}

void VarMap::assign(NameTable table) {
    if (table.listed_size() >= kNone) throw std::length_error(kTooManyNames);
    table_ = std::make_shared<const NameTable>(std::move(table));
    std::vector<uint64_t>().swap(name_slots_);
    name_index_built_ = false;
    std::vector<uint32_t>().swap(by_number_dense_);
    std::vector<std::pair<int64_t, uint32_t>>().swap(by_number_sparse_);
    inverse_built_ = false;
}

void VarMap::build_name_index() const {
    const NameTable &t = *table_;
    const std::size_t n = t.listed_size();
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

bool VarMap::number(std::string_view name, int64_t *out) const {
    // Families and listed names never share a name (set_var_families checks it).
    if (table_->family_number(name, out)) return true;
    if (!name_index_built_) build_name_index();
    const NameTable &t = *table_;
    const std::size_t mask = name_slots_.size() - 1;
    const uint64_t h = hash_name(name);
    const uint64_t tag = h & kTagMask;
    for (std::size_t at = h & mask;; at = (at + 1) & mask) {
        const uint64_t slot = name_slots_[at];
        if (slot == 0) return false;
        const std::size_t i = (slot & kIndexMask) - 1;
        if ((slot & kTagMask) == tag && t.name(i) == name) {
            *out = t.numbers()[i];
            return true;
        }
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

bool VarMap::name(int64_t number, std::string *out) {
    // Family elements come first: the first family holding the number answers.
    for (const Family &f : table_->families()) {
        if (f.count_ == 0 || number < f.first_) continue;
        const uint64_t k = static_cast<uint64_t>(number) - static_cast<uint64_t>(f.first_);
        if (k < f.count_) {
            table_->family_element_name(f, k, out);
            return true;
        }
    }
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
    out->assign(table_->name(i));
    return true;
}

std::size_t WitnessInterpreter::table_size() const {
    std::size_t n = picked_.size();
    for (const Run &r : runs_) n += r.count_;
    return n;
}

bool WitnessInterpreter::is_auxiliary(std::string_view name) const {
    for (const std::string &p : prefixes_)
        if (name.substr(0, p.size()) == p) return true;
    return false;
}

bool WitnessInterpreter::build_tables(const VarMap &map, bool leave_out_auxiliaries) {
    names_ = map.table();
    picked_.clear();
    runs_.clear();
    built_ = false;
    if (map.empty()) return false;
    const NameTable &t = *names_;
    std::string buf;
    for (std::size_t fi = 0; fi < t.families().size(); ++fi) {
        const Family &f = t.families()[fi];
        if (f.count_ == 0) continue;
        // Numbers below 1 are not clause variables: skip the elements before number 1.
        uint64_t from = 0;
        if (f.first_ < 1) from = static_cast<uint64_t>(1 - f.first_);
        if (from >= f.count_) continue;
        // A prefix decides the whole family when it is no longer than the family name, and
        // names none of its elements when it does not begin with the name and "["; only a
        // longer prefix that does needs each element's name.
        bool all_aux = false, each = false;
        if (leave_out_auxiliaries)
            for (const std::string &p : prefixes_) {
                if (p.size() <= f.name_.size()) {
                    if (std::string_view(f.name_).substr(0, p.size()) == p) all_aux = true;
                } else if (std::string_view(p).substr(0, f.name_.size() + 1) == f.name_ + "[") {
                    each = true;
                }
            }
        if (all_aux) continue;
        if (!each) {
            runs_.push_back({fi, from, f.count_ - from});
            continue;
        }
        for (uint64_t k = from; k < f.count_; ++k) {
            t.family_element_name(f, k, &buf);
            if (is_auxiliary(buf)) continue;
            if (!runs_.empty() && runs_.back().family_ == fi &&
                runs_.back().from_ + runs_.back().count_ == k)
                ++runs_.back().count_;
            else
                runs_.push_back({fi, k, 1});
        }
    }
    for (std::size_t i = 0; i < t.listed_size(); ++i) {
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
            throw std::invalid_argument(zk::texts::format_message(kBothValues, v));
        slot = now;
    }
    std::vector<bool> out;
    out.reserve(table_size());
    auto value_of = [&](int64_t number) {
        const uint64_t v = static_cast<uint64_t>(number);
        unsigned char value = 0;
        if (dense) {
            if (v <= top) value = dense_value[static_cast<std::size_t>(v)];
        } else {
            auto it = sparse_value.find(v);
            if (it != sparse_value.end()) value = it->second;
        }
        return value == 1;
    };
    for (const Run &r : runs_) {
        const Family &f = names_->families()[r.family_];
        for (uint64_t k = r.from_; k < r.from_ + r.count_; ++k)
            out.push_back(value_of(f.first_ + static_cast<int64_t>(k)));
    }
    for (uint32_t i : picked_) out.push_back(value_of(names_->number(i)));
    return out;
}

}  // namespace se::clause
