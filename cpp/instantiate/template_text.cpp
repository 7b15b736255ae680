// Reading the literal texts of a clause template (template_text.hpp).
#include "instantiate/template_text.hpp"

#include <string>
#include <vector>

namespace zk::instantiate {

namespace {

using detail::checked_add;
using detail::checked_mul;

// A linear form over the slots while it is being parsed (dense: templates have few keywords).
struct Linear {
    int64_t constant_ = 0;
    std::vector<int64_t> coefs_;

    bool is_constant() const {
        for (int64_t c : coefs_)
            if (c != 0) return false;
        return true;
    }
};

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
        if (p_ < t_.size() &&
            (static_cast<unsigned char>(t_[p_]) >= 0x80 || t_[p_] == '\'' || t_[p_] == '"'))
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
        if (!checked_mul(rhs.constant_, sign, scaled) ||
            !checked_add(acc.constant_, scaled, acc.constant_))
            return false;
        for (size_t s = 0; s < acc.coefs_.size(); ++s)
            if (!checked_mul(rhs.coefs_[s], sign, scaled) ||
                !checked_add(acc.coefs_[s], scaled, acc.coefs_[s]))
                return false;
        return true;
    }

    static bool scale(Linear &v, int64_t k) {
        if (!checked_mul(v.constant_, k, v.constant_)) return false;
        for (int64_t &c : v.coefs_)
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
                int64_t k = out.constant_;
                out = rhs;
                if (!scale(out, k)) return false;
            } else if (rhs.is_constant()) {
                if (!scale(out, rhs.constant_)) return false;
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
        out.constant_ = 0;
        out.coefs_.assign(slots_.size(), 0);
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
            return parse_decimal(t_.substr(b, p_ - b), out.constant_);
        }
        std::string_view n;
        if (!name(n)) return false;
        for (size_t s = 0; s < slots_.size(); ++s) {
            if (slots_[s] == n) {
                out.coefs_[s] = 1;
                return true;
            }
        }
        return false;  // a name that is not a for-all keyword
    }

    std::string_view t_;
    const std::vector<std::string> &slots_;
    size_t p_ = 0;
};

// Appends one index value (or a literal's own value) to `code`.
uint32_t add_affine(TemplateCode &code, const Linear &v) {
    Affine a;
    a.constant_ = v.constant_;
    a.first_term_ = static_cast<uint32_t>(code.terms_.size());
    for (size_t s = 0; s < v.coefs_.size(); ++s)
        if (v.coefs_[s] != 0) code.terms_.push_back({static_cast<uint32_t>(s), v.coefs_[s]});
    a.term_count_ = static_cast<uint32_t>(code.terms_.size()) - a.first_term_;
    code.affines_.push_back(a);
    return static_cast<uint32_t>(code.affines_.size() - 1);
}

}  // namespace

ReadLiteral read_plain_literal(std::string_view text, TemplateCode &code, uint32_t &first_index,
                               uint32_t &index_count) {
    ReadLiteral r;
    IndexTextReader rd(text, code.slot_names_);
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
        first_index = static_cast<uint32_t>(code.affines_.size());
        index_count = 0;
        if (!rd.take(')')) {
            while (true) {
                Linear v;
                if (!rd.expression(v)) return r;
                add_affine(code, v);
                ++index_count;
                if (rd.take(')')) break;
                if (!rd.take(',')) return r;
                if (rd.take(')')) break;  // a trailing comma
            }
        }
        if (!rd.at_end()) return r;
        r.ok_ = true;
        r.negated_ = negated;
        r.is_element_ = true;
        r.family_ = fam;
        return r;
    }
    rd.set_pos(start);
    Linear v;
    if (!rd.expression(v) || !rd.at_end()) return r;
    first_index = add_affine(code, v);
    index_count = 1;
    r.ok_ = true;
    return r;
}

bool read_index_text(std::string_view text, const std::vector<std::string> &slots,
                     int64_t &constant, std::vector<int64_t> &coefs) {
    IndexTextReader rd(text, slots);
    Linear v;
    if (!rd.expression(v) || !rd.at_end()) return false;
    constant = v.constant_;
    coefs = v.coefs_;
    coefs.resize(slots.size(), 0);
    return true;
}

// The inner text of a quoted literal when it reads back exactly as it stands: no escapes, no
// quote inside, nothing after the closing quote but blanks.
bool quoted_content(std::string_view text, std::string_view &out) {
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

}  // namespace zk::instantiate
