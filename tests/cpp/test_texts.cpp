// Round trips of the library's text forms (cpp/texts/): over random values, writing a value and
// reading the text back gives the same value. Run as `test_texts CASE SEED`, `test_texts --list`,
// or `test_texts identifiers FILE` where FILE holds lines "word is_keyword is_identifier" with
// the host's answers.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "texts/decimal.hpp"
#include "texts/index_text.hpp"
#include "texts/literals.hpp"
#include "texts/names.hpp"
#include "texts/tokens.hpp"
#include "check.hpp"

using namespace zk;

namespace {

constexpr int kRounds = 2000;


std::int64_t pick(Rng &rng, std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
}

// Integers over the whole range, often at and around the extremes and the powers of ten.
std::int64_t any_int64(Rng &rng) {
    switch (pick(rng, 0, 4)) {
        case 0:
            return pick(rng, INT64_MIN, INT64_MAX);
        case 1:
            return pick(rng, 0, 1) ? INT64_MIN + pick(rng, 0, 3) : INT64_MAX - pick(rng, 0, 3);
        case 2: {
            std::int64_t p = 1;
            for (std::int64_t k = pick(rng, 0, 18); k > 0; --k) p *= 10;
            return (pick(rng, 0, 1) ? p : -p) + pick(rng, -1, 1);
        }
        default:
            return pick(rng, -1000, 1000);
    }
}

// An ASCII identifier that is not a keyword, sometimes close to one or to a reserved name.
std::string any_name(Rng &rng) {
    static const std::string kStart = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    static const std::string kRest = kStart + "0123456789";
    for (;;) {
        std::string name;
        switch (pick(rng, 0, 5)) {
            case 0:
                name = std::string(texts::kDummyVar) + std::to_string(pick(rng, 0, 9));
                break;
            case 1:
                name = "for_" + std::string(1, kRest[pick(rng, 0, kRest.size() - 1)]);
                break;
            default:
                name = kStart[pick(rng, 0, kStart.size() - 1)];
                for (std::int64_t k = pick(rng, 0, 7); k > 0; --k)
                    name += kRest[pick(rng, 0, kRest.size() - 1)];
        }
        if (texts::is_identifier(name)) return name;
    }
}

// A random index text over `slots` built with the library's joins, and its value as a linear form.
std::string any_index_text(Rng &rng, const std::vector<std::string> &slots,
                           texts::LinearIndex &value, int depth = 0) {
    value.constant_ = 0;
    value.coefs_.assign(slots.size(), 0);
    const std::int64_t choice = depth > 3 ? pick(rng, 0, 1) : pick(rng, 0, 4);
    if (choice == 0) {
        value.constant_ = pick(rng, 0, 1000000);
        return texts::decimal(value.constant_);
    }
    if (choice == 1) {
        const std::size_t s = static_cast<std::size_t>(pick(rng, 0, slots.size() - 1));
        value.coefs_[s] = 1;
        return slots[s];
    }
    texts::LinearIndex left, right;
    std::string lt = any_index_text(rng, slots, left, depth + 1);
    if (choice == 4) {
        // A non-negative integer factor on the left, as the library scales an index.
        const std::int64_t k = pick(rng, 0, 50);
        value.constant_ = k * left.constant_;
        for (std::size_t s = 0; s < slots.size(); ++s) value.coefs_[s] = k * left.coefs_[s];
        return texts::index_scale_text(texts::decimal(k), lt);
    }
    std::string rt = any_index_text(rng, slots, right, depth + 1);
    const std::int64_t sign = choice == 2 ? 1 : -1;
    value.constant_ = left.constant_ + sign * right.constant_;
    for (std::size_t s = 0; s < slots.size(); ++s)
        value.coefs_[s] = left.coefs_[s] + sign * right.coefs_[s];
    return texts::index_shift_text(lt, sign > 0 ? " + " : " - ", rt);
}

bool same(const texts::LinearIndex &a, const texts::LinearIndex &b) {
    return a.constant_ == b.constant_ && a.coefs_ == b.coefs_;
}

void decimals(Rng &rng) {
    std::vector<std::int64_t> values = {0, 1, -1, INT64_MAX, INT64_MIN, INT64_MIN + 1};
    for (int r = 0; r < kRounds * 5; ++r) values.push_back(any_int64(rng));
    for (std::int64_t v : values) {
        const std::string text = texts::decimal(v);
        char expected[32];
        std::snprintf(expected, sizeof expected, "%lld", static_cast<long long>(v));
        CHECK_TEXT(text == expected, expected);
        std::int64_t back = 0;
        CHECK_TEXT(texts::read_decimal(text, back) && back == v, text);
        std::string appended = "k=";
        texts::append_decimal(appended, v);
        CHECK_TEXT(appended == "k=" + text, appended);
        if (v >= 0) CHECK_TEXT(texts::read_plain_int(text, back) && back == v, text);
        CHECK_TEXT(texts::decimal(static_cast<__int128>(v)) == text, text);
    }
    // One past either end is not an int64_t; the wide writer still spells it.
    const __int128 above = static_cast<__int128>(INT64_MAX) + 1;
    const __int128 below = static_cast<__int128>(INT64_MIN) - 1;
    std::int64_t back = 0;
    CHECK_TEXT(texts::decimal(above) == "9223372036854775808", "above");
    CHECK_TEXT(texts::decimal(below) == "-9223372036854775809", "below");
    CHECK_TEXT(!texts::read_decimal(texts::decimal(above), back), "above");
    CHECK_TEXT(!texts::read_decimal(texts::decimal(below), back), "below");
    for (const char *bad : {"", "-", "+", "1a", "--1", " 1", "1 "})
        CHECK_TEXT(!texts::read_decimal(bad, back), bad);
    for (const char *bad : {"01", "-1", "+1", "1_0", ""})
        CHECK_TEXT(!texts::read_plain_int(bad, back), bad);
}

void element_references(Rng &rng) {
    for (int r = 0; r < kRounds; ++r) {
        std::vector<std::string> slots;
        for (std::int64_t k = pick(rng, 1, 3); k > 0; --k) {
            // For-all names are distinct.
            std::string name = any_name(rng);
            bool fresh = true;
            for (const std::string &s : slots) fresh = fresh && s != name;
            if (fresh) slots.push_back(name);
        }
        const std::string family = any_name(rng);
        std::vector<std::string> items;
        std::vector<texts::LinearIndex> values;
        for (std::int64_t k = pick(rng, 0, 4); k > 0; --k) {
            texts::LinearIndex v;
            items.push_back(any_index_text(rng, slots, v));
            values.push_back(v);
        }
        std::string text;
        texts::append_element_reference(text, family, items);
        // Indexes given as ints write what their decimal texts write, after what `out` holds.
        {
            std::vector<std::int64_t> ints;
            std::vector<std::string> decimals;
            for (std::size_t d = 0; d < items.size(); ++d) {
                ints.push_back(pick(rng, 0, 2) == 0 ? pick(rng, INT64_MIN, INT64_MAX)
                                                    : pick(rng, -3, 1000));
                decimals.push_back(texts::decimal(ints.back()));
            }
            std::string from_ints = "a, ", from_texts = "a, ";
            texts::append_element_reference(from_ints, family, ints.data(), ints.size());
            texts::append_element_reference(from_texts, family, decimals);
            CHECK_TEXT(from_ints == from_texts, from_texts);
        }
        auto read = texts::read_element_reference(text);
        CHECK_TEXT(read && read->family_ == family, text);
        if (!read) continue;
        std::vector<std::string> back(read->items_.begin(), read->items_.end());
        if (items.empty()) CHECK_TEXT(back.size() <= 1 && (back.empty() || back[0].empty()), text);
        if (!items.empty()) CHECK_TEXT(back == items, text);
        for (std::size_t d = 0; d < items.size(); ++d) {
            auto v = texts::read_index_text(items[d], slots);
            CHECK_TEXT(v && same(*v, values[d]), items[d]);
        }
        // The literal of the element, negated or not, reads back as the element.
        for (bool negated : {false, true}) {
            std::string literal;
            texts::append_literal_text(literal, text, negated);
            auto lit = texts::read_plain_literal(literal, slots);
            CHECK_TEXT(lit && lit->is_element_ && lit->family_ == family && lit->negated_ == negated,
                       literal);
            if (!lit) continue;
            CHECK_TEXT(lit->values_.size() == values.size(), literal);
            for (std::size_t d = 0; d < values.size() && d < lit->values_.size(); ++d)
                CHECK_TEXT(same(lit->values_[d], values[d]), literal);
        }
    }
    // Not references: the group must close at the end, after a family name.
    for (const char *bad : {"x", "(1)", "x(1)(2)", "x(1", "x(1))", "x(1) + 1"})
        CHECK_TEXT(!texts::read_element_reference(bad), bad);
}

void element_keys(Rng &rng) {
    for (int r = 0; r < kRounds; ++r) {
        const std::string family = any_name(rng);
        std::vector<std::int64_t> indices;
        for (std::int64_t k = pick(rng, 0, 4); k > 0; --k)
            indices.push_back(pick(rng, 0, 2) ? pick(rng, 0, 99) : pick(rng, 0, INT64_MAX));
        std::string key;
        texts::append_element_key(key, family, indices.data(), indices.size());
        auto read = texts::read_element_key(key);
        CHECK_TEXT(read && read->family_ == family && read->indices_ == indices, key);
    }
    for (const char *bad : {"x[01]", "x[1,]", "x[-1]", "x[1", "x1]", "x[ 1]"})
        CHECK_TEXT(!texts::read_element_key(bad), bad);
}

void auxiliary_names(Rng &rng) {
    for (int r = 0; r < kRounds; ++r) {
        const texts::AuxKind kind = pick(rng, 0, 1) ? texts::AuxKind::kPbct : texts::AuxKind::kBxpr;
        const std::int64_t counter = pick(rng, 0, 2) ? pick(rng, 0, 1000) : pick(rng, 0, INT64_MAX);
        std::string name;
        texts::append_counter_name(name, texts::aux_prefix(kind), counter);
        for (bool negated : {false, true}) {
            // The quoted literal reads back to the printed name, which reads back to the counter.
            std::string literal;
            texts::append_literal_text(literal, name, negated);
            std::string_view inner;
            CHECK_TEXT(texts::quoted_content(literal, inner), literal);
            CHECK_TEXT(inner == (negated ? "~" : "") + name, literal);
            texts::AuxName a = texts::read_aux_name(inner);
            CHECK_TEXT(a.status_ == texts::AuxName::Status::kOk && a.kind_ == kind &&
                           a.k_ == counter && a.negated_ == negated,
                       literal);
        }
        // The key of a record's auxiliary: prefix and three numbers.
        const std::int64_t formula = pick(rng, 0, 1000), instance = pick(rng, 0, INT32_MAX),
                           k = pick(rng, 0, 100);
        std::string key;
        texts::append_aux_key(key, kind, formula, instance, k);
        auto read = texts::read_element_key(key);
        CHECK_TEXT(read && read->family_ == texts::aux_prefix(kind) &&
                       read->indices_ == std::vector<std::int64_t>({formula, instance, k}),
                   key);
    }
    CHECK_TEXT(texts::read_aux_name("x_3").status_ == texts::AuxName::Status::kNoPrefix, "x_3");
    CHECK_TEXT(texts::read_aux_name("_pbct_aux_q").status_ == texts::AuxName::Status::kBadIndex,
               "_pbct_aux_q");
}

// The host's answers for ASCII words, one line each: "word is_keyword is_identifier".
int identifiers(const char *path) {
    std::ifstream in(path);
    std::string word;
    int kw = 0, id = 0, lines = 0;
    std::vector<std::string> host_keywords;
    while (in >> word >> kw >> id) {
        ++lines;
        CHECK_TEXT(texts::is_keyword(word) == (kw != 0), word);
        CHECK_TEXT(texts::is_identifier(word) == (id != 0 && kw == 0), word);
        CHECK_TEXT(texts::identifier_answer(word) == ((id != 0 && kw == 0)
                                                          ? texts::IdentifierAnswer::kYes
                                                          : texts::IdentifierAnswer::kNo),
                   word);
        if (kw) host_keywords.push_back(word);
    }
    CHECK_TEXT(lines > 0, path);
    for (std::string_view k : texts::keyword_table()) {
        bool found = false;
        for (const std::string &h : host_keywords) found = found || h == k;
        CHECK_TEXT(found, k);
    }
    // Outside ASCII the host decides.
    CHECK_TEXT(texts::identifier_answer("\xc3\xa9t\xc3\xa9") == texts::IdentifierAnswer::kAskHost,
               "ete");
    CHECK_TEXT(!texts::is_identifier("\xc3\xa9t\xc3\xa9"), "ete");
    return g_failures == 0 ? 0 : 1;
}

const std::map<std::string, std::function<void(Rng &)>> kCases = {
    {"decimals", decimals},
    {"element_references", element_references},
    {"element_keys", element_keys},
    {"auxiliary_names", auxiliary_names},
};

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "identifiers") return identifiers(argv[2]);
    return run_seeded_cases(argc, argv, kCases, " | identifiers FILE");
}
