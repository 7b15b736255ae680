// The names the library reserves and writes: the auxiliary prefixes and the placeholder family,
// auxiliary names in their two forms, element references "x(i + 1,j)" and element keys "x[0,1]".
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "texts/decimal.hpp"

namespace zk::texts {

// Auxiliaries of Boolean expressions and of pseudo-Boolean constraints, and the family a model
// without the formula encoder creates so that the engine always has one.
inline constexpr char kBxprAux[] = "_bxpr_aux";
inline constexpr char kPbctAux[] = "_pbct_aux";
inline constexpr char kDummyVar[] = "dummy_var";

enum class AuxKind : std::uint8_t { kPbct, kBxpr };

inline std::string_view aux_prefix(AuxKind kind) {
    return kind == AuxKind::kPbct ? kPbctAux : kBxprAux;
}

// "_pbct_aux[formula,instance,k]": a record's auxiliary in the model's map.
inline void append_aux_key(std::string &out, AuxKind kind, std::int64_t formula,
                           std::int64_t instance, std::int64_t k) {
    out += aux_prefix(kind);
    out += '[';
    append_decimal(out, formula);
    out += ',';
    append_decimal(out, instance);
    out += ',';
    append_decimal(out, k);
    out += ']';
}

// prefix "_" counter: the manager's numbered auxiliaries ("_pbct_aux_17").
inline void append_counter_name(std::string &out, std::string_view prefix, std::int64_t counter) {
    out += prefix;
    out += '_';
    append_decimal(out, counter);
}

// An auxiliary's literal text read back: its kind, the counter after the last "_", its sign.
struct AuxName {
    enum class Status { kOk, kNoPrefix, kBadIndex } status_ = Status::kOk;
    AuxKind kind_ = AuxKind::kPbct;
    bool negated_ = false;
    std::int64_t k_ = 0;
};

// A text with "~" anywhere is negated and names its remainder after the first character.
inline AuxName read_aux_name(std::string_view text) {
    AuxName a;
    std::string_view name = text;
    if (text.find('~') != std::string_view::npos) {
        a.negated_ = true;
        name = text.substr(1);
    }
    if (name.find(kPbctAux) != std::string_view::npos) {
        a.kind_ = AuxKind::kPbct;
    } else if (name.find(kBxprAux) != std::string_view::npos) {
        a.kind_ = AuxKind::kBxpr;
    } else {
        a.status_ = AuxName::Status::kNoPrefix;
        return a;
    }
    if (!read_decimal(name.substr(name.rfind('_') + 1), a.k_))
        a.status_ = AuxName::Status::kBadIndex;
    return a;
}

// Element references: the family name, "(", the index texts joined by ",", ")". It is also the
// text by which the engine prints the variable back, which the clause templates read again.
inline constexpr char kReferenceOpen[] = "(";
inline constexpr char kItemSeparator[] = ",";
inline constexpr char kReferenceClose[] = ")";

template <typename Items>
void append_element_reference(std::string &out, std::string_view family, const Items &items) {
    out += family;
    out += kReferenceOpen;
    bool first = true;
    for (const auto &item : items) {
        if (!first) out += kItemSeparator;
        first = false;
        out += item;
    }
    out += kReferenceClose;
}

// The same reference of an element given by its indexes, written in place at the end of `out`
// (a sum of a million references writes one each).
inline void append_element_reference(std::string &out, std::string_view family,
                                     const std::int64_t *indexes, std::size_t count) {
    const std::size_t at = out.size();
    out.resize(at + family.size() + count * (kDecimalWidth + 1) + 2);
    char *p = out.data() + at;
    std::memcpy(p, family.data(), family.size());
    p += family.size();
    *p++ = kReferenceOpen[0];
    for (std::size_t d = 0; d < count; ++d) {
        if (d > 0) *p++ = kItemSeparator[0];
        p += write_decimal(indexes[d], p);
    }
    *p++ = kReferenceClose[0];
    out.resize(static_cast<std::size_t>(p - out.data()));
}

// The refusal of a reference whose items are not one per dimension of its family (or block).
inline std::string arity_message(std::string_view family, std::size_t dimensions,
                                 std::string_view reference, std::size_t items) {
    std::string out = "Variable ";
    out += family;
    out += " has ";
    append_decimal(out, static_cast<std::int64_t>(dimensions));
    out += " dimension(s), but ";
    out += reference;
    out += " names ";
    append_decimal(out, static_cast<std::int64_t>(items));
    return out;
}

struct ElementReference {
    std::string_view family_;
    std::vector<std::string_view> items_;  // as written, blanks included
};

// Cuts a text at its commas outside brackets and string literals; one item for an empty text.
std::vector<std::string_view> split_items(std::string_view items_text);

// "family(items)" where the parenthesis after the family name closes at the end of the text;
// std::nullopt otherwise. An empty parenthesis has no items.
std::optional<ElementReference> read_element_reference(std::string_view text);

// Element keys: the family name, "[", the indices in decimal joined by ",", "]" (the family's
// map of element numbers).
inline constexpr char kKeyOpen[] = "[";
inline constexpr char kKeyClose[] = "]";

inline void append_element_key(std::string &out, std::string_view family,
                               const std::int64_t *indices, std::size_t count) {
    out += family;
    out += kKeyOpen;
    for (std::size_t d = 0; d < count; ++d) {
        if (d) out += kItemSeparator;
        append_decimal(out, indices[d]);
    }
    out += kKeyClose;
}

// The family name and indices of an element key, or std::nullopt. The indices hold no "[", so
// the family name ends at the last one; each index is a plain decimal (no sign, no leading zero).
struct ElementKey {
    std::string_view family_;
    std::vector<std::int64_t> indices_;
};
std::optional<ElementKey> read_element_key(std::string_view text);

}  // namespace zk::texts
