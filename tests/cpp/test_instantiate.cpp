// Direct tests of the Python-free instantiation core (cpp/instantiate/): templates read from the
// texts the library writes, instantiated by the planned loop (widths 1, 2, 3 and the generic
// width) and by the checked loop, and both compared with a plain reading of what the clauses
// mean. Run as `test_instantiate CASE` (one case) or `test_instantiate --list`.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "instantiate/planner.hpp"
#include "instantiate/template_text.hpp"
#include "check.hpp"

using namespace zk::instantiate;

namespace {

struct Family {
    int64_t st_shift_;
    std::vector<int64_t> sizes_;
};

// A family's strides, last index fastest.
std::vector<int64_t> strides_of(const std::vector<int64_t> &sizes) {
    std::vector<int64_t> strides(sizes.size(), 1);
    for (size_t d = sizes.size(); d-- > 1;) strides[d - 1] = strides[d] * sizes[d];
    return strides;
}

// Reads a template as the dumper's compiler does, families taken from `families`.
bool compile(const std::vector<std::vector<std::string>> &clauses,
             const std::vector<std::string> &slots, const std::map<std::string, Family> &families,
             TemplateCode &code) {
    code = TemplateCode();
    code.slot_names_ = slots;
    std::vector<std::string> family_names;
    for (const auto &clause : clauses) {
        for (const std::string &text : clause) {
            LitCode lc;
            std::string_view family;
            if (!read_literal(text, code, lc, family)) return false;
            if (lc.form_ == LitForm::kElement) {
                auto it = families.find(std::string(family));
                if (it == families.end()) return false;
                size_t f = 0;
                while (f < family_names.size() && family_names[f] != it->first) ++f;
                if (f == family_names.size()) {
                    family_names.push_back(it->first);
                    code.families_.push_back(
                        {it->second.st_shift_, it->second.sizes_, strides_of(it->second.sizes_)});
                }
                if (code.families_[f].sizes_.size() != lc.index_count_) return false;
                lc.family_ = static_cast<uint32_t>(f);
            }
            code.lits_.push_back(lc);
        }
        code.clause_begin_.push_back(static_cast<uint32_t>(code.lits_.size()));
    }
    return true;
}

// What the clauses mean, read plainly: every instance in turn (last keyword fastest), every
// literal evaluated on its own and checked, literals ordered by magnitude (stable), weight-0
// clauses left out, each auxiliary listed at its first occurrence in an instance's kept clauses.
struct Expected {
    bool ok_ = true;
    std::vector<std::vector<int64_t>> clauses_;
    std::vector<int32_t> weight_pos_;
    std::vector<AuxEntry> aux_;
};

Expected expected(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
                  const std::vector<int32_t> *weights) {
    Expected e;
    const size_t nslots = code.slot_names_.size();
    std::vector<size_t> at(nslots, 0);
    for (int64_t o = 0; o < fv.instances_; ++o) {
        auto value_of = [&](const Affine &a) {
            int64_t v = a.constant_;
            for (uint32_t t = 0; t < a.term_count_; ++t) {
                const AffineTerm &term = code.terms_[a.first_term_ + t];
                v += term.coef_ * fv.values_[term.slot_][at[term.slot_]];
            }
            return v;
        };
        std::vector<std::pair<AuxKind, int64_t>> listed;
        for (size_t c = 0; c < code.clause_count(); ++c) {
            const bool keep = !weights || (*weights)[c] >= 0;
            std::vector<int64_t> clause;
            for (uint32_t l = code.clause_begin_[c]; l < code.clause_begin_[c + 1]; ++l) {
                const LitCode &lc = code.lits_[l];
                int64_t v = 0;
                if (lc.form_ == LitForm::kElement) {
                    const FamilyShape &f = code.families_[lc.family_];
                    v = f.st_shift_;
                    for (uint32_t d = 0; d < lc.index_count_; ++d) {
                        int64_t x = value_of(code.affines_[lc.first_index_ + d]);
                        if (x < 0 || x >= f.sizes_[d]) e.ok_ = false;
                        v += x * f.strides_[d];
                    }
                } else if (lc.form_ == LitForm::kValue) {
                    v = value_of(code.affines_[lc.first_index_]);
                } else {
                    if (lc.aux_k_ < 0 || lc.aux_k_ >= L.capacity(lc.aux_kind_)) e.ok_ = false;
                    v = L.number(o, lc.aux_kind_, lc.aux_k_);
                    bool seen = false;
                    for (const auto &[kind, k] : listed)
                        seen = seen || (kind == lc.aux_kind_ && k == lc.aux_k_);
                    if (keep && !seen) {
                        listed.emplace_back(lc.aux_kind_, lc.aux_k_);
                        e.aux_.push_back({lc.aux_kind_, o, lc.aux_k_, v});
                    }
                }
                if (lc.negated_) v = -v;
                if (v == 0 || v > kMaxLiteral || v < -kMaxLiteral) e.ok_ = false;
                clause.push_back(v);
            }
            if (!keep) continue;
            std::stable_sort(clause.begin(), clause.end(),
                             [](int64_t x, int64_t y) { return std::llabs(x) < std::llabs(y); });
            e.clauses_.push_back(clause);
            if (weights) e.weight_pos_.push_back((*weights)[c]);
        }
        for (size_t s = nslots; s-- > 0;) {
            if (++at[s] < fv.values_[s].size()) break;
            at[s] = 0;
        }
    }
    return e;
}

bool same_aux(const std::vector<AuxEntry> &a, const std::vector<AuxEntry> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].kind_ != b[i].kind_ || a[i].instance_ != b[i].instance_ || a[i].k_ != b[i].k_ ||
            a[i].number_ != b[i].number_)
            return false;
    return true;
}

bool matches(const PreparedClauses &pc, const Expected &e) {
    if (pc.size() != e.clauses_.size()) return false;
    for (size_t c = 0; c < pc.size(); ++c) {
        std::vector<int64_t> got(pc.lits_.begin() + pc.begin_[c],
                                 pc.lits_.begin() + pc.begin_[c + 1]);
        if (got != e.clauses_[c]) return false;
    }
    return pc.weight_pos_ == e.weight_pos_ && same_aux(pc.aux_, e.aux_);
}

struct Case {
    std::vector<std::vector<std::string>> clauses_;
    std::vector<std::string> slots_;
    std::vector<std::vector<int64_t>> values_;
    int64_t instances_ = -1;  // -1: the product of the value counts
    std::map<std::string, Family> families_;
    BlockLayout layout_;
    std::vector<int32_t> weights_;  // empty: a hard record
    size_t planned_width_ = 0;      // the plan expected to run (0: none)
    bool refused_ = false;          // some literal of some instance is refused
};

std::vector<int64_t> range(int64_t from, int64_t to) {
    std::vector<int64_t> v;
    for (int64_t x = from; x < to; ++x) v.push_back(x);
    return v;
}

// Runs one case through both loops and the plain reading; the failures it finds.
int run_case(const Case &k) {
    const int before = g_failures;
    TemplateCode code;
    CHECK(compile(k.clauses_, k.slots_, k.families_, code));
    ForallValues fv;
    fv.values_ = k.values_;
    fv.instances_ = 1;
    for (const auto &v : k.values_) fv.instances_ *= static_cast<int64_t>(v.size());
    if (k.instances_ >= 0) fv.instances_ = k.instances_;
    const std::vector<int32_t> *weights = k.weights_.empty() ? nullptr : &k.weights_;

    PreparedClauses planned, checked;
    size_t width = 99, checked_width = 99;
    const bool planned_ok =
        instantiate_template(code, fv, k.layout_, weights, planned, Route::kAuto, &width);
    const bool checked_ok = instantiate_template(code, fv, k.layout_, weights, checked,
                                                 Route::kChecked, &checked_width);
    const Expected e = expected(code, fv, k.layout_, weights);
    CHECK(e.ok_ == !k.refused_);
    CHECK(checked_width == 0);
    if (k.refused_) {
        CHECK(!planned_ok);
        CHECK(!checked_ok);
        CHECK(width == 0);
        return g_failures - before;
    }
    CHECK(planned_ok);
    CHECK(checked_ok);
    CHECK(width == k.planned_width_);
    CHECK(matches(planned, e));
    CHECK(matches(checked, e));
    CHECK(planned.begin_ == checked.begin_);
    CHECK(planned.lits_ == checked.lits_);
    return g_failures - before;
}

const std::map<std::string, std::function<Case()>> &cases() {
    static const std::map<std::string, std::function<Case()>> kCases = {
        // No keyword: the template repeated over 20 blocks, only its auxiliaries move.
        {"width1_no_keyword",
         [] {
             Case k;
             k.clauses_ = {{"'_pbct_aux_0'", "5"}, {"'~_bxpr_aux_1'", "-7", "'_pbct_aux_0'"}};
             k.instances_ = 20;
             k.layout_ = {100, 1, 2};
             k.planned_width_ = 1;
             return k;
         }},
        // One keyword, as N-queens writes its rows: neighbours, a reversed index whose order
        // against the other literal flips halfway (sorted per instance), an auxiliary.
        {"width2_one_keyword",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "-x(i + 1)"},
                           {"-x(i)", "'_pbct_aux_0'"},
                           {"y(19 - i)", "x(i)"},
                           {"'~_bxpr_aux_0'", "-y(i)", "'_pbct_aux_0'"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 20)};
             k.families_ = {{"x", {1, {21}}}, {"y", {22, {20}}}};
             k.layout_ = {42, 1, 1};
             k.planned_width_ = 2;
             return k;
         }},
        // One keyword over values out of order, with negative and scaled coefficients.
        {"width2_unordered_values",
         [] {
             Case k;
             k.clauses_ = {{"x(2*i - 1)", "-x(40 - 2 * i)"}, {"-(i + 3)", "x(i)"}};
             k.slots_ = {"i"};
             k.values_ = {{5, 1, 19, 7, 3, 11, 2, 17, 13, 8, 4, 6, 9, 10, 12, 14, 15, 16}};
             k.families_ = {{"x", {3, {41}}}};
             k.layout_ = {1000, 0, 0};
             k.planned_width_ = 2;
             return k;
         }},
        // Two keywords over a board, soft: one clause of weight 0 left out.
        {"width3_two_keywords_soft",
         [] {
             Case k;
             k.clauses_ = {{"q(i, j)", "-q(j, i)"},
                           {"-q(i, j)", "'_bxpr_aux_0'"},
                           {"q(4 - i, 4 - j)", "'_pbct_aux_1'"},
                           {"-q(i, (j + 1) * 1)", "'~_bxpr_aux_0'"}};
             k.slots_ = {"i", "j"};
             k.values_ = {range(0, 5), range(0, 4)};
             k.families_ = {{"q", {10, {5, 5}}}};
             k.layout_ = {200, 2, 1};
             k.weights_ = {0, 1, -1, 3};
             k.planned_width_ = 3;
             return k;
         }},
        // Three keywords: the generic width.
        {"generic_three_keywords",
         [] {
             Case k;
             k.clauses_ = {{"z(i, j, k)", "-z(k, j, i)", "i + j + k + 1"},
                           {"'_pbct_aux_0'", "-z(2 - i, j, k)"},
                           {"'_bxpr_aux_2'", "z(i, 0, k)", "'~_pbct_aux_0'"}};
             k.slots_ = {"i", "j", "k"};
             k.values_ = {range(0, 3), range(0, 3), range(0, 3)};
             k.families_ = {{"z", {50, {3, 3, 3}}}};
             k.layout_ = {500, 1, 3};
             k.planned_width_ = 4;
             return k;
         }},
        // Four keywords, 16 instances exactly: the generic width at the smallest planned count.
        {"generic_four_keywords",
         [] {
             Case k;
             k.clauses_ = {{"w(a, b, c, d)", "-w(d, c, b, a)"},
                           {"-w(a, a, d, d)", "'_pbct_aux_0'"}};
             k.slots_ = {"a", "b", "c", "d"};
             k.values_ = {range(0, 2), range(0, 2), range(0, 2), range(0, 2)};
             k.families_ = {{"w", {1, {2, 2, 2, 2}}}};
             k.layout_ = {17, 1, 0};
             k.planned_width_ = 5;
             return k;
         }},
        // Under 16 instances nothing is planned; the checked loop gives the same clauses.
        {"few_instances_unplanned",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "-x(i + 1)"}, {"'_pbct_aux_0'", "x(i)"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 15)};
             k.families_ = {{"x", {1, {16}}}};
             k.layout_ = {20, 1, 0};
             k.planned_width_ = 0;
             return k;
         }},
        // A clause whose order cannot be proven for every instance: sorted per instance.
        {"width2_order_flips",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "-x(31 - i)", "x(16)"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 32)};
             k.families_ = {{"x", {1, {32}}}};
             k.planned_width_ = 2;
             return k;
         }},
        // The last instance reaches past its family: both loops refuse the record.
        {"refused_index_out_of_range",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "-x(i + 1)"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 20)};
             k.families_ = {{"x", {1, {20}}}};
             k.refused_ = true;
             return k;
         }},
        // An auxiliary index past its block: refused.
        {"refused_auxiliary_past_block",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "'_bxpr_aux_1'"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 20)};
             k.families_ = {{"x", {1, {20}}}};
             k.layout_ = {30, 0, 1};
             k.refused_ = true;
             return k;
         }},
        // A literal of value 0 in one instance: refused.
        {"refused_zero_literal",
         [] {
             Case k;
             k.clauses_ = {{"x(i)", "i - 7"}};
             k.slots_ = {"i"};
             k.values_ = {range(0, 20)};
             k.families_ = {{"x", {8, {20}}}};
             k.refused_ = true;
             return k;
         }},
    };
    return kCases;
}

// What the numbers mean for one small case, written out: the first two instances of the
// one-keyword board.
int check_written_out() {
    const int before = g_failures;
    TemplateCode code;
    CHECK(compile({{"x(i)", "-x(i + 1)"}, {"'_pbct_aux_0'", "-x(i)"}}, {"i"}, {{"x", {1, {22}}}},
                  code));
    ForallValues fv;
    fv.values_ = {range(1, 21)};
    fv.instances_ = 20;
    PreparedClauses pc;
    size_t width = 0;
    CHECK(instantiate_template(code, fv, {100, 1, 0}, nullptr, pc, Route::kAuto, &width));
    CHECK(width == 2);
    // x(i) is number i + 1; instance o's auxiliary is 100 + o.
    const std::vector<int64_t> head = {2, -3, -2, 100, 3, -4, -3, 101};
    CHECK(pc.size() == 40);
    CHECK(std::vector<int64_t>(pc.lits_.begin(), pc.lits_.begin() + 8) == head);
    CHECK(pc.aux_.size() == 20 && pc.aux_[1].number_ == 101 && pc.aux_[1].instance_ == 1);
    return g_failures - before;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CASE | --list\n", argv[0]);
        return 2;
    }
    const std::string which = argv[1];
    if (which == "--list") {
        for (const auto &[name, make] : cases()) std::printf("%s\n", name.c_str());
        std::printf("written_out\n");
        return 0;
    }
    int failures = 0;
    if (which == "written_out") {
        failures = check_written_out();
    } else {
        auto it = cases().find(which);
        if (it == cases().end()) {
            std::fprintf(stderr, "no case %s\n", which.c_str());
            return 2;
        }
        failures = run_case(it->second());
    }
    return failures == 0 ? 0 : 1;
}
