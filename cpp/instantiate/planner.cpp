// Instantiating a compiled clause template (planner.hpp).
#include "instantiate/planner.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace zk::instantiate {

namespace {

namespace detail {

using Wide = __int128;

// An affine form over the columns: the for-all values, then the instance's block start.
struct WideAffine {
    Wide constant_ = 0;
    std::vector<Wide> coef_;
};

struct Box {
    std::vector<Wide> lo_, hi_;
};

inline void interval(const WideAffine &a, const Box &box, Wide &lo, Wide &hi) {
    lo = hi = a.constant_;
    for (size_t s = 0; s < a.coef_.size(); ++s) {
        Wide c = a.coef_[s];
        if (c > 0) {
            lo += c * box.lo_[s];
            hi += c * box.hi_[s];
        } else if (c < 0) {
            lo += c * box.hi_[s];
            hi += c * box.lo_[s];
        }
    }
}

inline WideAffine widen(const TemplateCode &code, const Affine &a, size_t width) {
    WideAffine w;
    w.constant_ = a.constant_;
    w.coef_.assign(width, 0);
    for (uint32_t t = 0; t < a.term_count_; ++t) {
        const AffineTerm &term = code.terms_[a.first_term_ + t];
        w.coef_[term.slot_] += term.coef_;
    }
    return w;
}

inline Wide value_at(const WideAffine &a, const std::vector<Wide> &point) {
    Wide v = a.constant_;
    for (size_t s = 0; s < a.coef_.size(); ++s) v += a.coef_[s] * point[s];
    return v;
}

}  // namespace detail

// Every literal of a record as an affine form over the columns, in the order it is written, when
// every index of every instance is proven inside its family and every literal proven a valid
// nonzero number: the loop that runs it then checks nothing. A clause whose order by magnitude
// is the same in every instance is written in that order; the others are sorted per instance.
struct FastPlan {
    size_t width_ = 0;
    std::vector<int64_t> constant_;
    std::vector<int64_t> coef_;
    std::vector<uint32_t> clause_end_;
    std::vector<uint8_t> needs_sort_;
    std::vector<int32_t> weight_position_;
};

bool plan_fast(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
               const std::vector<int32_t> *weight_pos, const std::vector<int64_t> &aux_offset,
               FastPlan &plan) {
    using detail::Wide;
    const size_t nslots = code.slot_names_.size(), width = nslots + 1;
    const int64_t n_inst = fv.instances_;
    detail::Box box;
    std::vector<Wide> first(width);
    for (size_t s = 0; s < nslots; ++s) {
        const auto &vals = fv.values_[s];
        box.lo_.push_back(*std::min_element(vals.begin(), vals.end()));
        box.hi_.push_back(*std::max_element(vals.begin(), vals.end()));
        first[s] = vals[0];
    }
    Wide b0 = L.init_,
         b1 = static_cast<Wide>(L.init_) + static_cast<Wide>(n_inst - 1) * L.block_size();
    box.lo_.push_back(std::min(b0, b1));
    box.hi_.push_back(std::max(b0, b1));
    first[nslots] = b0;
    Wide magnitude = 0;  // largest column value, for the overflow bound
    for (size_t s = 0; s < width; ++s)
        magnitude = std::max({magnitude, box.lo_[s] < 0 ? -box.lo_[s] : box.lo_[s],
                              box.hi_[s] < 0 ? -box.hi_[s] : box.hi_[s]});
    constexpr Wide kSafe = static_cast<Wide>(1) << 62;

    // Each template literal as a signed affine form, with the sign it has in every instance.
    std::vector<detail::WideAffine> forms(code.lits_.size());
    std::vector<int> signs(code.lits_.size());
    for (size_t l = 0; l < code.lits_.size(); ++l) {
        const LitCode &lc = code.lits_[l];
        detail::WideAffine &v = forms[l];
        if (lc.form_ == LitForm::kElement) {
            const FamilyShape &f = code.families_[lc.family_];
            v.constant_ = f.st_shift_;
            v.coef_.assign(width, 0);
            for (uint32_t d = 0; d < lc.index_count_; ++d) {
                detail::WideAffine x =
                    detail::widen(code, code.affines_[lc.first_index_ + d], width);
                Wide lo, hi;
                detail::interval(x, box, lo, hi);
                if (lo < 0 || hi >= f.sizes_[d]) return false;
                v.constant_ += x.constant_ * f.strides_[d];
                for (size_t s = 0; s < width; ++s) v.coef_[s] += x.coef_[s] * f.strides_[d];
            }
        } else if (lc.form_ == LitForm::kValue) {
            v = detail::widen(code, code.affines_[lc.first_index_], width);
        } else {
            v.constant_ = aux_offset[l];
            v.coef_.assign(width, 0);
            v.coef_[nslots] = 1;
        }
        if (lc.negated_) {
            v.constant_ = -v.constant_;
            for (Wide &c : v.coef_) c = -c;
        }
        Wide lo, hi;
        detail::interval(v, box, lo, hi);
        if (lo < -kMaxLiteral || hi > kMaxLiteral || (lo <= 0 && hi >= 0)) return false;
        signs[l] = lo > 0 ? 1 : -1;
        Wide bound = v.constant_ < 0 ? -v.constant_ : v.constant_;
        for (Wide c : v.coef_) bound += (c < 0 ? -c : c) * magnitude;
        if (bound >= kSafe) return false;
    }

    plan.width_ = width;
    std::vector<uint32_t> order;
    for (size_t c = 0; c < code.clause_count(); ++c) {
        if (weight_pos && (*weight_pos)[c] < 0) continue;
        uint32_t b = code.clause_begin_[c], e = code.clause_begin_[c + 1];
        order.resize(e - b);
        for (uint32_t i = 0; i < e - b; ++i) order[i] = b + i;
        auto magnitude_at_first = [&](uint32_t l) {
            Wide v = detail::value_at(forms[l], first);
            return v < 0 ? -v : v;
        };
        std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
            return magnitude_at_first(x) < magnitude_at_first(y);
        });
        // The order holds in every instance when each neighbour pair keeps its order (strictly,
        // where the pair is the other way round in the template).
        bool invariant = true;
        for (size_t i = 0; i + 1 < order.size() && invariant; ++i) {
            uint32_t x = order[i], y = order[i + 1];
            detail::WideAffine d;
            d.constant_ = signs[x] * forms[x].constant_ - signs[y] * forms[y].constant_;
            d.coef_.resize(width);
            for (size_t s = 0; s < width; ++s)
                d.coef_[s] = signs[x] * forms[x].coef_[s] - signs[y] * forms[y].coef_[s];
            Wide lo, hi;
            detail::interval(d, box, lo, hi);
            invariant = x < y ? hi <= 0 : hi < 0;
        }
        if (!invariant)
            for (uint32_t i = 0; i < e - b; ++i) order[i] = b + i;
        for (uint32_t l : order) {
            plan.constant_.push_back(static_cast<int64_t>(forms[l].constant_));
            for (size_t s = 0; s < width; ++s)
                plan.coef_.push_back(static_cast<int64_t>(forms[l].coef_[s]));
        }
        plan.clause_end_.push_back(static_cast<uint32_t>(plan.constant_.size()));
        plan.needs_sort_.push_back(invariant ? 0 : 1);
        plan.weight_position_.push_back(weight_pos ? (*weight_pos)[c] : -1);
    }
    return true;
}

// Steps the positions `at` among the for-all values, and the values `cur` they stand at, to the
// next instance: the last keyword runs fastest.
inline void next_instance(const ForallValues &fv, std::vector<size_t> &at, int64_t *cur) {
    for (size_t s = at.size(); s-- > 0;) {
        if (++at[s] < fv.values_[s].size()) {
            cur[s] = fv.values_[s][at[s]];
            return;
        }
        at[s] = 0;
        cur[s] = fv.values_[s][0];
    }
}

// Runs a plan; W is the column count when known at compile time (0: plan.width_).
template <size_t W>
void run_fast(const FastPlan &plan, const ForallValues &fv, const BlockLayout &L,
              const std::vector<std::pair<AuxKind, int64_t>> &recorded, bool soft, int64_t *lp,
              int64_t *bp, int32_t *wp, int64_t written, std::vector<AuxEntry> &aux) {
    const size_t width = W ? W : plan.width_;
    const size_t nslots = width - 1;
    const int64_t n_inst = fv.instances_;
    const size_t n_clauses = plan.clause_end_.size();
    std::vector<size_t> at(nslots, 0);
    std::vector<int64_t> cur(width, 0);
    for (size_t s = 0; s < nslots; ++s) cur[s] = fv.values_[s][0];
    const int64_t *constant = plan.constant_.data();
    const int64_t *coef = plan.coef_.data();
    const uint32_t *clause_end = plan.clause_end_.data();
    const uint8_t *needs_sort = plan.needs_sort_.data();
    for (int64_t o = 0; o < n_inst; ++o) {
        cur[nslots] = L.init_ + o * L.block_size();
        const int64_t *x = cur.data();
        uint32_t l = 0;
        for (size_t c = 0; c < n_clauses; ++c) {
            int64_t *start = lp;
            for (const uint32_t e = clause_end[c]; l < e; ++l) {
                const int64_t *a = coef + static_cast<size_t>(l) * width;
                int64_t v = constant[l];
                for (size_t s = 0; s < width; ++s) v += a[s] * x[s];
                *lp++ = v;
            }
            if (needs_sort[c]) sort_by_magnitude(start, static_cast<size_t>(lp - start));
            written += lp - start;
            *bp++ = written;
            if (soft) *wp++ = plan.weight_position_[c];
        }
        for (const auto &[kind, k] : recorded) aux.push_back({kind, o, k, L.number(o, kind, k)});
        next_instance(fv, at, cur.data());
    }
}

}  // namespace

// Planning reads the whole template once more than the checked loop does: it is tried from
// kPlanFrom instances on.
bool instantiate_template(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
                          const std::vector<int32_t> *weight_pos, PreparedClauses &out, Route route,
                          size_t *planned_width) {
    if (planned_width) *planned_width = 0;
    const size_t nslots = code.slot_names_.size();
    const int64_t n_inst = fv.instances_;
    const size_t m = code.clause_count();
    if (n_inst == 0 || m == 0) return true;

    // Bound every affine over the for-all values, so that the loop below cannot overflow.
    std::vector<int64_t> magnitude(nslots, 0);
    for (size_t s = 0; s < nslots; ++s)
        for (int64_t v : fv.values_[s]) magnitude[s] = std::max(magnitude[s], v < 0 ? -v : v);
    constexpr __int128 kSafe = static_cast<__int128>(1) << 62;
    for (const Affine &a : code.affines_) {
        __int128 b = a.constant_ < 0 ? -static_cast<__int128>(a.constant_) : a.constant_;
        for (uint32_t t = 0; t < a.term_count_; ++t) {
            const AffineTerm &term = code.terms_[a.first_term_ + t];
            __int128 c = term.coef_ < 0 ? -static_cast<__int128>(term.coef_) : term.coef_;
            b += c * magnitude[term.slot_];
            if (b >= kSafe) return false;
        }
    }

    // Auxiliary numbers grow (or shrink) linearly with the instance: check both ends once.
    std::vector<int64_t> aux_offset(code.lits_.size(), 0);
    for (size_t l = 0; l < code.lits_.size(); ++l) {
        const LitCode &lc = code.lits_[l];
        if (lc.form_ != LitForm::kAux) continue;
        if (lc.aux_k_ < 0 || lc.aux_k_ >= L.capacity(lc.aux_kind_)) return false;
        for (int64_t o : {int64_t{0}, n_inst - 1}) {
            __int128 number = static_cast<__int128>(L.init_) +
                              static_cast<__int128>(o) * L.block_size() +
                              (lc.aux_kind_ == AuxKind::kPbct ? 0 : L.pb_) + lc.aux_k_;
            if (number <= 0 || number > kMaxLiteral) return false;
        }
        aux_offset[l] = (lc.aux_kind_ == AuxKind::kPbct ? 0 : L.pb_) + lc.aux_k_;
    }

    // Clauses kept, their literal count, and the auxiliaries each instance records (first
    // occurrence in kept clauses, in order).
    size_t kept_clauses = 0, kept_lits = 0;
    std::vector<std::pair<AuxKind, int64_t>> recorded;
    {
        std::vector<char> seen(static_cast<size_t>(std::max<int64_t>(L.block_size(), 0)), 0);
        for (size_t c = 0; c < m; ++c) {
            if (weight_pos && (*weight_pos)[c] < 0) continue;
            ++kept_clauses;
            kept_lits += code.clause_begin_[c + 1] - code.clause_begin_[c];
            for (uint32_t l = code.clause_begin_[c]; l < code.clause_begin_[c + 1]; ++l) {
                const LitCode &lc = code.lits_[l];
                if (lc.form_ != LitForm::kAux) continue;
                size_t slot = static_cast<size_t>(aux_offset[l]);
                if (!seen[slot]) {
                    seen[slot] = 1;
                    recorded.emplace_back(lc.aux_kind_, lc.aux_k_);
                }
            }
        }
    }

    const size_t lit_base = out.lits_.size();
    const size_t clause_base = out.size();
    const size_t new_clauses = kept_clauses * static_cast<size_t>(n_inst);
    out.lits_.resize(lit_base + kept_lits * static_cast<size_t>(n_inst));
    out.begin_.resize(clause_base + 1 + new_clauses);
    if (weight_pos) out.weight_pos_.resize(out.weight_pos_.size() + new_clauses);
    out.aux_.reserve(out.aux_.size() + recorded.size() * static_cast<size_t>(n_inst));
    int64_t *lp = out.lits_.data() + lit_base;
    int64_t *bp = out.begin_.data() + clause_base + 1;
    int32_t *wp =
        weight_pos ? out.weight_pos_.data() + out.weight_pos_.size() - new_clauses : nullptr;
    int64_t written = static_cast<int64_t>(lit_base);

    constexpr int64_t kPlanFrom = 16;
    FastPlan plan;
    if (route == Route::kAuto && n_inst >= kPlanFrom &&
        plan_fast(code, fv, L, weight_pos, aux_offset, plan)) {
        const bool soft = weight_pos != nullptr;
        auto run = [&](auto width_tag) {
            run_fast<decltype(width_tag)::value>(plan, fv, L, recorded, soft, lp, bp, wp, written,
                                                 out.aux_);
        };
        if (planned_width) *planned_width = plan.width_;
        switch (plan.width_) {
            case 1:
                run(std::integral_constant<size_t, 1>{});
                break;
            case 2:
                run(std::integral_constant<size_t, 2>{});
                break;
            case 3:
                run(std::integral_constant<size_t, 3>{});
                break;
            default:
                run(std::integral_constant<size_t, 0>{});
                break;
        }
        return true;
    }

    std::vector<size_t> at(nslots, 0);
    std::vector<int64_t> cur(nslots, 0);
    for (size_t s = 0; s < nslots; ++s) cur[s] = fv.values_[s][0];
    const Affine *affines = code.affines_.data();
    const AffineTerm *terms = code.terms_.data();
    auto value_of = [&](const Affine &a) {
        int64_t v = a.constant_;
        for (uint32_t t = 0; t < a.term_count_; ++t) {
            const AffineTerm &term = terms[a.first_term_ + t];
            v += term.coef_ * cur[term.slot_];
        }
        return v;
    };

    for (int64_t o = 0; o < n_inst; ++o) {
        const int64_t block = L.init_ + o * L.block_size();
        for (size_t c = 0; c < m; ++c) {
            const bool keep = !weight_pos || (*weight_pos)[c] >= 0;
            int64_t *clause_start = lp;
            for (uint32_t l = code.clause_begin_[c]; l < code.clause_begin_[c + 1]; ++l) {
                const LitCode &lc = code.lits_[l];
                int64_t v;
                if (lc.form_ == LitForm::kElement) {
                    const FamilyShape &f = code.families_[lc.family_];
                    v = f.st_shift_;
                    for (uint32_t d = 0; d < lc.index_count_; ++d) {
                        int64_t x = value_of(affines[lc.first_index_ + d]);
                        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(f.sizes_[d]))
                            return false;
                        v += x * f.strides_[d];
                    }
                } else if (lc.form_ == LitForm::kValue) {
                    v = value_of(affines[lc.first_index_]);
                } else {
                    v = block + aux_offset[l];
                }
                if (lc.negated_) v = -v;
                if (v == 0 || v > kMaxLiteral || v < -kMaxLiteral) return false;
                if (keep) *lp++ = v;
            }
            if (keep) {
                size_t n = static_cast<size_t>(lp - clause_start);
                sort_by_magnitude(clause_start, n);
                written += static_cast<int64_t>(n);
                *bp++ = written;
                if (wp) *wp++ = (*weight_pos)[c];
            }
        }
        for (const auto &[kind, k] : recorded)
            out.aux_.push_back({kind, o, k, L.number(o, kind, k)});
        next_instance(fv, at, cur.data());
    }
    return true;
}

}  // namespace zk::instantiate
