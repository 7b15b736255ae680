// Numbering of instantiated clause templates over plain integer data: auxiliary names read
// back into (kind, index), block arithmetic, map entries and literal order. Python-free, so that
// any way of producing the instances (the evaluated comprehension today, a compiled template
// later) feeds the same numbering and the same writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace zk::core {

constexpr std::string_view kBxprAux = "_bxpr_aux";
constexpr std::string_view kPbctAux = "_pbct_aux";

enum class AuxKind : uint8_t { kPbct, kBxpr };

// The blocks of one record: instance o owns pb + bx numbers from init + o * (pb + bx), the
// pseudo-Boolean auxiliaries first.
struct BlockLayout {
    int64_t init = 0;
    int64_t pb = 0;
    int64_t bx = 0;

    int64_t block_size() const { return pb + bx; }
    int64_t capacity(AuxKind kind) const { return kind == AuxKind::kPbct ? pb : bx; }
    int64_t number(int64_t instance, AuxKind kind, int64_t k) const {
        int64_t base = init + instance * block_size();
        return kind == AuxKind::kPbct ? base + k : base + pb + k;
    }
};

// An auxiliary literal text read back: its kind, the index after the last "_", its sign.
struct AuxName {
    enum class Status { kOk, kNoPrefix, kBadIndex } status = Status::kOk;
    AuxKind kind = AuxKind::kPbct;
    bool negated = false;
    int64_t k = 0;
};

inline bool parse_decimal(std::string_view t, int64_t &out) {
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    if (i == t.size()) return false;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        if (v > (INT64_MAX - 9) / 10) return false;
        v = v * 10 + (t[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

// A text with "~" anywhere is negated and names its remainder after the first character.
inline AuxName parse_aux_name(std::string_view text) {
    AuxName a;
    std::string_view name = text;
    if (text.find('~') != std::string_view::npos) {
        a.negated = true;
        name = text.substr(1);
    }
    if (name.find(kPbctAux) != std::string_view::npos) {
        a.kind = AuxKind::kPbct;
    } else if (name.find(kBxprAux) != std::string_view::npos) {
        a.kind = AuxKind::kBxpr;
    } else {
        a.status = AuxName::Status::kNoPrefix;
        return a;
    }
    size_t us = name.rfind('_');
    if (!parse_decimal(name.substr(us + 1), a.k)) a.status = AuxName::Status::kBadIndex;
    return a;
}

// Stable by absolute value: a literal and its negation keep the order they were met. Template
// clauses are short, and their literals often arrive in order already.
inline void sort_by_magnitude(int64_t *a, size_t n) {
    constexpr size_t kInsertionLimit = 24;
    if (n > kInsertionLimit) {
        std::stable_sort(a, a + n, [](int64_t x, int64_t y) { return std::abs(x) < std::abs(y); });
        return;
    }
    for (size_t i = 1; i < n; ++i) {
        int64_t x = a[i];
        int64_t ax = std::abs(x);
        size_t j = i;
        while (j > 0 && std::abs(a[j - 1]) > ax) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = x;
    }
}

// One auxiliary occurrence to record in the name-to-number map.
struct AuxEntry {
    AuxKind kind;
    int64_t instance;
    int64_t k;
    int64_t number;
};

// Leaves new elements of a vector uninitialised: the literal arrays are written once, in full,
// right after they are sized.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U> &) noexcept {}

    // Arrays of a large record take huge pages where the system offers them on request: the
    // fresh memory is then mapped at a fraction of the page faults.
    T *allocate(size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr size_t kHuge = size_t{2} << 20;
        const size_t bytes = n * sizeof(T);
        if (bytes >= 4 * kHuge) {
            void *p = std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge);
            if (!p) throw std::bad_alloc();
            madvise(p, bytes, MADV_HUGEPAGE);
            return static_cast<T *>(p);
        }
#endif
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T *p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n * sizeof(T) >= 4 * (size_t{2} << 20)) {
            std::free(p);
            return;
        }
#endif
        std::allocator<T>::deallocate(p, n);
    }
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

using LiteralArray = std::vector<int64_t, UninitAllocator<int64_t>>;

// The clauses of one record ready for its storage: literal lists back to back (64-bit, the form
// a bulk insertion takes as it stands), and for a soft record the template position whose weight
// each clause carries. Every clause of a record is of one kind.
struct PreparedClauses {
    LiteralArray begin{0};
    LiteralArray lits;
    std::vector<int32_t> weight_pos;  // empty for a hard record
    std::vector<AuxEntry> aux;

    size_t size() const { return begin.size() - 1; }
    bool soft() const { return !weight_pos.empty(); }

    // Closes the clause whose literals were appended since the last call; -1: a hard clause.
    void close_clause(int32_t weight_position) {
        sort_by_magnitude(lits.data() + begin.back(), lits.size() - static_cast<size_t>(begin.back()));
        begin.push_back(static_cast<int64_t>(lits.size()));
        if (weight_position >= 0) weight_pos.push_back(weight_position);
    }

    // Drops the clause being built (its weight is 0: it adds nothing to the objective).
    void drop_clause() { lits.resize(static_cast<size_t>(begin.back())); }
};

constexpr int64_t kMaxLiteral = INT32_MAX;

// ---------------------------------------------------------------------------------------------
// Compiled templates: the literal texts of a record read once into integer form, so that every
// for-all instance is numbered without evaluating anything. Only the texts that the library
// itself writes are read here (element references whose index texts are integers, for-all names
// and sums, differences and integer multiples of those; quoted auxiliary names; integers); a
// record with any other text keeps to the evaluated comprehension.

// An index value as constant + sum of coef * value of a for-all keyword (its slot).
struct AffineTerm {
    uint32_t slot;
    int64_t coef;
};

struct Affine {
    int64_t constant = 0;
    uint32_t first_term = 0;
    uint32_t term_count = 0;
};

// What numbering an element needs of its family.
struct FamilyShape {
    int64_t st_shift = 0;
    std::vector<int64_t> sizes;
    std::vector<int64_t> strides;
};

enum class LitForm : uint8_t { kElement, kValue, kAux };

struct LitCode {
    LitForm form = LitForm::kValue;
    bool negated = false;
    AuxKind aux_kind = AuxKind::kPbct;
    uint32_t family = 0;       // kElement
    uint32_t first_index = 0;  // kElement: its index values; kValue: the literal's own value
    uint32_t index_count = 0;
    int64_t aux_k = 0;  // kAux
};

struct TemplateCode {
    std::vector<std::string> slot_names;  // the for-all keywords, outermost first
    std::vector<FamilyShape> families;
    std::vector<Affine> affines;
    std::vector<AffineTerm> terms;
    std::vector<LitCode> lits;
    std::vector<uint32_t> clause_begin{0};

    size_t clause_count() const { return clause_begin.size() - 1; }
};

namespace detail {

inline bool checked_add(int64_t a, int64_t b, int64_t &out) {
    return !__builtin_add_overflow(a, b, &out);
}
inline bool checked_mul(int64_t a, int64_t b, int64_t &out) {
    return !__builtin_mul_overflow(a, b, &out);
}

// A linear form over the slots while it is being parsed (dense: templates have few keywords).
struct Linear {
    int64_t constant = 0;
    std::vector<int64_t> coefs;

    bool is_constant() const {
        for (int64_t c : coefs)
            if (c != 0) return false;
        return true;
    }
};

inline bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

// Reads the host-language arithmetic the index texts use: integers, names, unary signs, binary
// +, - and *, parentheses. Anything else (and every product of two non-constant terms) stops it.
class IndexTextReader {
public:
    IndexTextReader(std::string_view text, const std::vector<std::string> &slots)
        : t_(text), slots_(slots) {}

    size_t pos() const { return p_; }
    void set_pos(size_t p) { p_ = p; }
    bool at_end() {
        skip_blanks();
        return p_ == t_.size();
    }
    bool take(char c) {
        skip_blanks();
        if (p_ < t_.size() && t_[p_] == c) {
            ++p_;
            return true;
        }
        return false;
    }
    char peek() {
        skip_blanks();
        return p_ < t_.size() ? t_[p_] : '\0';
    }
    // A name, which must not run into characters the host would read as part of it.
    bool name(std::string_view &out) {
        skip_blanks();
        if (p_ >= t_.size() || !is_ident_start(t_[p_])) return false;
        size_t b = p_;
        while (p_ < t_.size() && is_ident_char(t_[p_])) ++p_;
        if (p_ < t_.size() && (static_cast<unsigned char>(t_[p_]) >= 0x80 || t_[p_] == '\'' ||
                               t_[p_] == '"'))
            return false;
        out = t_.substr(b, p_ - b);
        return true;
    }

    bool expression(Linear &out) {
        if (!term(out)) return false;
        while (true) {
            char c = peek();
            if (c != '+' && c != '-') return true;
            ++p_;
            Linear rhs;
            if (!term(rhs)) return false;
            if (!combine(out, rhs, c == '-' ? -1 : 1)) return false;
        }
    }

private:
    void skip_blanks() {
        while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t')) ++p_;
    }

    static bool combine(Linear &acc, const Linear &rhs, int64_t sign) {
        int64_t scaled = 0;
        if (!checked_mul(rhs.constant, sign, scaled) ||
            !checked_add(acc.constant, scaled, acc.constant))
            return false;
        for (size_t s = 0; s < acc.coefs.size(); ++s)
            if (!checked_mul(rhs.coefs[s], sign, scaled) ||
                !checked_add(acc.coefs[s], scaled, acc.coefs[s]))
                return false;
        return true;
    }

    static bool scale(Linear &v, int64_t k) {
        if (!checked_mul(v.constant, k, v.constant)) return false;
        for (int64_t &c : v.coefs)
            if (!checked_mul(c, k, c)) return false;
        return true;
    }

    bool term(Linear &out) {
        if (!unary(out)) return false;
        while (true) {
            skip_blanks();
            // "**" is a power, which these texts never hold.
            if (p_ >= t_.size() || t_[p_] != '*' || (p_ + 1 < t_.size() && t_[p_ + 1] == '*'))
                return true;
            ++p_;
            Linear rhs;
            if (!unary(rhs)) return false;
            if (out.is_constant()) {
                int64_t k = out.constant;
                out = rhs;
                if (!scale(out, k)) return false;
            } else if (rhs.is_constant()) {
                if (!scale(out, rhs.constant)) return false;
            } else {
                return false;
            }
        }
    }

    bool unary(Linear &out) {
        char c = peek();
        if (c == '-' || c == '+') {
            ++p_;
            if (!unary(out)) return false;
            return c == '+' || scale(out, -1);
        }
        return atom(out);
    }

    bool atom(Linear &out) {
        out.constant = 0;
        out.coefs.assign(slots_.size(), 0);
        char c = peek();
        if (c == '(') {
            ++p_;
            if (!expression(out)) return false;
            return take(')');
        }
        if (c >= '0' && c <= '9') {
            size_t b = p_;
            while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
            // Leading zeros, floats, exponents, digit separators, suffixes: not plain integers.
            if ((p_ - b > 1 && t_[b] == '0') ||
                (p_ < t_.size() && (is_ident_char(t_[p_]) || t_[p_] == '.' ||
                                    static_cast<unsigned char>(t_[p_]) >= 0x80)))
                return false;
            return parse_decimal(t_.substr(b, p_ - b), out.constant);
        }
        std::string_view n;
        if (!name(n)) return false;
        for (size_t s = 0; s < slots_.size(); ++s) {
            if (slots_[s] == n) {
                out.coefs[s] = 1;
                return true;
            }
        }
        return false;  // a name that is not a for-all keyword
    }

    std::string_view t_;
    const std::vector<std::string> &slots_;
    size_t p_ = 0;
};

}  // namespace detail

// Appends one index value (or a literal's own value) to `code`.
inline uint32_t add_affine(TemplateCode &code, const detail::Linear &v) {
    Affine a;
    a.constant = v.constant;
    a.first_term = static_cast<uint32_t>(code.terms.size());
    for (size_t s = 0; s < v.coefs.size(); ++s)
        if (v.coefs[s] != 0) code.terms.push_back({static_cast<uint32_t>(s), v.coefs[s]});
    a.term_count = static_cast<uint32_t>(code.terms.size()) - a.first_term;
    code.affines.push_back(a);
    return static_cast<uint32_t>(code.affines.size() - 1);
}

// The result of reading one literal text that is not a quoted name.
struct ReadLiteral {
    bool ok = false;
    bool negated = false;
    bool is_element = false;
    std::string_view family;  // for an element reference
};

// Reads "[-]name(index, ...)" or an integer expression, appending the index values to `code`.
inline ReadLiteral read_plain_literal(std::string_view text, TemplateCode &code,
                                      uint32_t &first_index, uint32_t &index_count) {
    ReadLiteral r;
    detail::IndexTextReader rd(text, code.slot_names);
    size_t start = rd.pos();
    bool negated = false;
    while (true) {
        char c = rd.peek();
        if (c != '-' && c != '+') break;
        rd.take(c);
        if (c == '-') negated = !negated;
    }
    std::string_view fam;
    if (rd.name(fam) && rd.take('(')) {
        first_index = static_cast<uint32_t>(code.affines.size());
        index_count = 0;
        if (!rd.take(')')) {
            while (true) {
                detail::Linear v;
                if (!rd.expression(v)) return r;
                add_affine(code, v);
                ++index_count;
                if (rd.take(')')) break;
                if (!rd.take(',')) return r;
                if (rd.take(')')) break;  // a trailing comma
            }
        }
        if (!rd.at_end()) return r;
        r.ok = true;
        r.negated = negated;
        r.is_element = true;
        r.family = fam;
        return r;
    }
    rd.set_pos(start);
    detail::Linear v;
    if (!rd.expression(v) || !rd.at_end()) return r;
    first_index = add_affine(code, v);
    index_count = 1;
    r.ok = true;
    return r;
}

// The inner text of a quoted literal when it reads back exactly as it stands: no escapes, no
// quote inside, nothing after the closing quote but blanks.
inline bool quoted_content(std::string_view text, std::string_view &out) {
    size_t b = 0;
    while (b < text.size() && (text[b] == ' ' || text[b] == '\t')) ++b;
    if (b >= text.size() || text[b] != '\'') return false;
    size_t e = text.find('\'', b + 1);
    if (e == std::string_view::npos) return false;
    for (size_t i = e + 1; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\t') return false;
    out = text.substr(b + 1, e - b - 1);
    for (char c : out)
        if (c == '\\' || c == '\n' || c == '\r') return false;
    return true;
}

// For-all values read as integers, outermost keyword first, and the count of instances.
struct ForallValues {
    std::vector<std::vector<int64_t>> values;
    int64_t instances = 1;
};

namespace detail {

using Wide = __int128;

// An affine form over the columns: the for-all values, then the instance's block start.
struct WideAffine {
    Wide constant = 0;
    std::vector<Wide> coef;
};

struct Box {
    std::vector<Wide> lo, hi;
};

inline void interval(const WideAffine &a, const Box &box, Wide &lo, Wide &hi) {
    lo = hi = a.constant;
    for (size_t s = 0; s < a.coef.size(); ++s) {
        Wide c = a.coef[s];
        if (c > 0) {
            lo += c * box.lo[s];
            hi += c * box.hi[s];
        } else if (c < 0) {
            lo += c * box.hi[s];
            hi += c * box.lo[s];
        }
    }
}

inline WideAffine widen(const TemplateCode &code, const Affine &a, size_t width) {
    WideAffine w;
    w.constant = a.constant;
    w.coef.assign(width, 0);
    for (uint32_t t = 0; t < a.term_count; ++t) {
        const AffineTerm &term = code.terms[a.first_term + t];
        w.coef[term.slot] += term.coef;
    }
    return w;
}

inline Wide value_at(const WideAffine &a, const std::vector<Wide> &point) {
    Wide v = a.constant;
    for (size_t s = 0; s < a.coef.size(); ++s) v += a.coef[s] * point[s];
    return v;
}

}  // namespace detail

// Every literal of a record as an affine form over the columns, in the order it is written, when
// every index of every instance is proven inside its family and every literal proven a valid
// nonzero number: the loop that runs it then checks nothing. A clause whose order by magnitude
// is the same in every instance is written in that order; the others are sorted per instance.
struct FastPlan {
    size_t width = 0;
    std::vector<int64_t> constant;
    std::vector<int64_t> coef;
    std::vector<uint32_t> clause_end;
    std::vector<uint8_t> needs_sort;
    std::vector<int32_t> weight_position;
};

inline bool plan_fast(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
                      const std::vector<int32_t> *weight_pos, const std::vector<int64_t> &aux_offset,
                      FastPlan &plan) {
    using detail::Wide;
    const size_t nslots = code.slot_names.size(), width = nslots + 1;
    const int64_t n_inst = fv.instances;
    detail::Box box;
    std::vector<Wide> first(width);
    for (size_t s = 0; s < nslots; ++s) {
        const auto &vals = fv.values[s];
        box.lo.push_back(*std::min_element(vals.begin(), vals.end()));
        box.hi.push_back(*std::max_element(vals.begin(), vals.end()));
        first[s] = vals[0];
    }
    Wide b0 = L.init, b1 = static_cast<Wide>(L.init) + static_cast<Wide>(n_inst - 1) * L.block_size();
    box.lo.push_back(std::min(b0, b1));
    box.hi.push_back(std::max(b0, b1));
    first[nslots] = b0;
    Wide magnitude = 0;  // largest column value, for the overflow bound
    for (size_t s = 0; s < width; ++s)
        magnitude = std::max({magnitude, box.lo[s] < 0 ? -box.lo[s] : box.lo[s],
                              box.hi[s] < 0 ? -box.hi[s] : box.hi[s]});
    constexpr Wide kSafe = static_cast<Wide>(1) << 62;

    // Each template literal as a signed affine form, with the sign it has in every instance.
    std::vector<detail::WideAffine> forms(code.lits.size());
    std::vector<int> signs(code.lits.size());
    for (size_t l = 0; l < code.lits.size(); ++l) {
        const LitCode &lc = code.lits[l];
        detail::WideAffine &v = forms[l];
        if (lc.form == LitForm::kElement) {
            const FamilyShape &f = code.families[lc.family];
            v.constant = f.st_shift;
            v.coef.assign(width, 0);
            for (uint32_t d = 0; d < lc.index_count; ++d) {
                detail::WideAffine x = detail::widen(code, code.affines[lc.first_index + d], width);
                Wide lo, hi;
                detail::interval(x, box, lo, hi);
                if (lo < 0 || hi >= f.sizes[d]) return false;
                v.constant += x.constant * f.strides[d];
                for (size_t s = 0; s < width; ++s) v.coef[s] += x.coef[s] * f.strides[d];
            }
        } else if (lc.form == LitForm::kValue) {
            v = detail::widen(code, code.affines[lc.first_index], width);
        } else {
            v.constant = aux_offset[l];
            v.coef.assign(width, 0);
            v.coef[nslots] = 1;
        }
        if (lc.negated) {
            v.constant = -v.constant;
            for (Wide &c : v.coef) c = -c;
        }
        Wide lo, hi;
        detail::interval(v, box, lo, hi);
        if (lo < -kMaxLiteral || hi > kMaxLiteral || (lo <= 0 && hi >= 0)) return false;
        signs[l] = lo > 0 ? 1 : -1;
        Wide bound = v.constant < 0 ? -v.constant : v.constant;
        for (Wide c : v.coef) bound += (c < 0 ? -c : c) * magnitude;
        if (bound >= kSafe) return false;
    }

    plan.width = width;
    std::vector<uint32_t> order;
    for (size_t c = 0; c < code.clause_count(); ++c) {
        if (weight_pos && (*weight_pos)[c] < 0) continue;
        uint32_t b = code.clause_begin[c], e = code.clause_begin[c + 1];
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
            d.constant = signs[x] * forms[x].constant - signs[y] * forms[y].constant;
            d.coef.resize(width);
            for (size_t s = 0; s < width; ++s)
                d.coef[s] = signs[x] * forms[x].coef[s] - signs[y] * forms[y].coef[s];
            Wide lo, hi;
            detail::interval(d, box, lo, hi);
            invariant = x < y ? hi <= 0 : hi < 0;
        }
        if (!invariant)
            for (uint32_t i = 0; i < e - b; ++i) order[i] = b + i;
        for (uint32_t l : order) {
            plan.constant.push_back(static_cast<int64_t>(forms[l].constant));
            for (size_t s = 0; s < width; ++s)
                plan.coef.push_back(static_cast<int64_t>(forms[l].coef[s]));
        }
        plan.clause_end.push_back(static_cast<uint32_t>(plan.constant.size()));
        plan.needs_sort.push_back(invariant ? 0 : 1);
        plan.weight_position.push_back(weight_pos ? (*weight_pos)[c] : -1);
    }
    return true;
}

// Runs a plan; W is the column count when known at compile time (0: plan.width).
template <size_t W>
inline void run_fast(const FastPlan &plan, const ForallValues &fv, const BlockLayout &L,
                     const std::vector<std::pair<AuxKind, int64_t>> &recorded, bool soft,
                     int64_t *lp, int64_t *bp, int32_t *wp, int64_t written,
                     std::vector<AuxEntry> &aux) {
    const size_t width = W ? W : plan.width;
    const size_t nslots = width - 1;
    const int64_t n_inst = fv.instances;
    const size_t n_clauses = plan.clause_end.size();
    std::vector<size_t> at(nslots, 0);
    std::vector<int64_t> cur(width, 0);
    for (size_t s = 0; s < nslots; ++s) cur[s] = fv.values[s][0];
    const int64_t *constant = plan.constant.data();
    const int64_t *coef = plan.coef.data();
    const uint32_t *clause_end = plan.clause_end.data();
    const uint8_t *needs_sort = plan.needs_sort.data();
    for (int64_t o = 0; o < n_inst; ++o) {
        cur[nslots] = L.init + o * L.block_size();
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
            if (soft) *wp++ = plan.weight_position[c];
        }
        for (const auto &[kind, k] : recorded) aux.push_back({kind, o, k, L.number(o, kind, k)});
        for (size_t s = nslots; s-- > 0;) {
            if (++at[s] < fv.values[s].size()) {
                cur[s] = fv.values[s][at[s]];
                break;
            }
            at[s] = 0;
            cur[s] = fv.values[s][0];
        }
    }
}

// Instantiates `code` over every for-all instance into `out` (literals sorted, weight-0 clauses
// dropped, auxiliaries numbered in their blocks and listed once per instance). `weight_pos` is
// null for a hard record, else one entry per template clause (-1: weight 0). Returns false, with
// `out` unusable, when any literal of any instance would be refused: the caller then replays the
// record through the evaluation, whose error is the one to report.
inline bool instantiate(const TemplateCode &code, const ForallValues &fv, const BlockLayout &L,
                        const std::vector<int32_t> *weight_pos, PreparedClauses &out) {
    const size_t nslots = code.slot_names.size();
    const int64_t n_inst = fv.instances;
    const size_t m = code.clause_count();
    if (n_inst == 0 || m == 0) return true;

    // Bound every affine over the for-all values, so that the loop below cannot overflow.
    std::vector<int64_t> magnitude(nslots, 0);
    for (size_t s = 0; s < nslots; ++s)
        for (int64_t v : fv.values[s]) magnitude[s] = std::max(magnitude[s], v < 0 ? -v : v);
    constexpr __int128 kSafe = static_cast<__int128>(1) << 62;
    for (const Affine &a : code.affines) {
        __int128 b = a.constant < 0 ? -static_cast<__int128>(a.constant) : a.constant;
        for (uint32_t t = 0; t < a.term_count; ++t) {
            const AffineTerm &term = code.terms[a.first_term + t];
            __int128 c = term.coef < 0 ? -static_cast<__int128>(term.coef) : term.coef;
            b += c * magnitude[term.slot];
            if (b >= kSafe) return false;
        }
    }

    // Auxiliary numbers grow (or shrink) linearly with the instance: check both ends once.
    std::vector<int64_t> aux_offset(code.lits.size(), 0);
    for (size_t l = 0; l < code.lits.size(); ++l) {
        const LitCode &lc = code.lits[l];
        if (lc.form != LitForm::kAux) continue;
        if (lc.aux_k < 0 || lc.aux_k >= L.capacity(lc.aux_kind)) return false;
        for (int64_t o : {int64_t{0}, n_inst - 1}) {
            __int128 number = static_cast<__int128>(L.init) +
                              static_cast<__int128>(o) * L.block_size() +
                              (lc.aux_kind == AuxKind::kPbct ? 0 : L.pb) + lc.aux_k;
            if (number <= 0 || number > kMaxLiteral) return false;
        }
        aux_offset[l] = (lc.aux_kind == AuxKind::kPbct ? 0 : L.pb) + lc.aux_k;
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
            kept_lits += code.clause_begin[c + 1] - code.clause_begin[c];
            for (uint32_t l = code.clause_begin[c]; l < code.clause_begin[c + 1]; ++l) {
                const LitCode &lc = code.lits[l];
                if (lc.form != LitForm::kAux) continue;
                size_t slot = static_cast<size_t>(aux_offset[l]);
                if (!seen[slot]) {
                    seen[slot] = 1;
                    recorded.emplace_back(lc.aux_kind, lc.aux_k);
                }
            }
        }
    }

    const size_t lit_base = out.lits.size();
    const size_t clause_base = out.size();
    const size_t new_clauses = kept_clauses * static_cast<size_t>(n_inst);
    out.lits.resize(lit_base + kept_lits * static_cast<size_t>(n_inst));
    out.begin.resize(clause_base + 1 + new_clauses);
    if (weight_pos) out.weight_pos.resize(out.weight_pos.size() + new_clauses);
    out.aux.reserve(out.aux.size() + recorded.size() * static_cast<size_t>(n_inst));
    int64_t *lp = out.lits.data() + lit_base;
    int64_t *bp = out.begin.data() + clause_base + 1;
    int32_t *wp = weight_pos ? out.weight_pos.data() + out.weight_pos.size() - new_clauses : nullptr;
    int64_t written = static_cast<int64_t>(lit_base);

    // Planning reads the whole template once more: it pays off over many instances only.
    constexpr int64_t kPlanFrom = 16;
    FastPlan plan;
    if (n_inst >= kPlanFrom && plan_fast(code, fv, L, weight_pos, aux_offset, plan)) {
        const bool soft = weight_pos != nullptr;
        auto run = [&](auto width_tag) {
            run_fast<decltype(width_tag)::value>(plan, fv, L, recorded, soft, lp, bp, wp, written,
                                                 out.aux);
        };
        switch (plan.width) {
            case 1: run(std::integral_constant<size_t, 1>{}); break;
            case 2: run(std::integral_constant<size_t, 2>{}); break;
            case 3: run(std::integral_constant<size_t, 3>{}); break;
            default: run(std::integral_constant<size_t, 0>{}); break;
        }
        return true;
    }

    std::vector<size_t> at(nslots, 0);
    std::vector<int64_t> cur(nslots, 0);
    for (size_t s = 0; s < nslots; ++s) cur[s] = fv.values[s][0];
    const Affine *affines = code.affines.data();
    const AffineTerm *terms = code.terms.data();
    auto value_of = [&](const Affine &a) {
        int64_t v = a.constant;
        for (uint32_t t = 0; t < a.term_count; ++t) {
            const AffineTerm &term = terms[a.first_term + t];
            v += term.coef * cur[term.slot];
        }
        return v;
    };

    for (int64_t o = 0; o < n_inst; ++o) {
        const int64_t block = L.init + o * L.block_size();
        for (size_t c = 0; c < m; ++c) {
            const bool keep = !weight_pos || (*weight_pos)[c] >= 0;
            int64_t *clause_start = lp;
            for (uint32_t l = code.clause_begin[c]; l < code.clause_begin[c + 1]; ++l) {
                const LitCode &lc = code.lits[l];
                int64_t v;
                if (lc.form == LitForm::kElement) {
                    const FamilyShape &f = code.families[lc.family];
                    v = f.st_shift;
                    for (uint32_t d = 0; d < lc.index_count; ++d) {
                        int64_t x = value_of(affines[lc.first_index + d]);
                        if (static_cast<uint64_t>(x) >= static_cast<uint64_t>(f.sizes[d]))
                            return false;
                        v += x * f.strides[d];
                    }
                } else if (lc.form == LitForm::kValue) {
                    v = value_of(affines[lc.first_index]);
                } else {
                    v = block + aux_offset[l];
                }
                if (lc.negated) v = -v;
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
            out.aux.push_back({kind, o, k, L.number(o, kind, k)});
        // Next instance: the last keyword runs fastest.
        for (size_t s = nslots; s-- > 0;) {
            if (++at[s] < fv.values[s].size()) {
                cur[s] = fv.values[s][at[s]];
                break;
            }
            at[s] = 0;
            cur[s] = fv.values[s][0];
        }
    }
    return true;
}

// The floor that instantiation is measured against: instance o of a template of fixed numbers
// is the template with every literal's magnitude moved by o * shift, copied into flat arrays of
// the form and allocation a record's prepared clauses take.
inline void copy_shifted(const std::vector<int32_t> &lits, const std::vector<int64_t> &offsets,
                         int64_t instances, int64_t shift, LiteralArray &out_lits,
                         LiteralArray &out_offsets) {
    const size_t per = lits.size(), clauses = offsets.size() - 1;
    out_lits.resize(per * static_cast<size_t>(instances));
    out_offsets.resize(clauses * static_cast<size_t>(instances) + 1);
    out_offsets[0] = 0;
    int64_t *lp = out_lits.data();
    int64_t *op = out_offsets.data() + 1;
    for (int64_t o = 0; o < instances; ++o) {
        const int32_t d = static_cast<int32_t>(o * shift);
        const int64_t base = o * static_cast<int64_t>(per);
        for (size_t i = 0; i < per; ++i) lp[i] = lits[i] < 0 ? lits[i] - d : lits[i] + d;
        lp += per;
        for (size_t c = 0; c < clauses; ++c) *op++ = base + offsets[c + 1];
    }
}

}  // namespace zk::core
