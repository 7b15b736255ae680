// Reading index texts and plain literal texts (index_text.hpp).
#include "texts/index_text.hpp"

#include "texts/tokens.hpp"

namespace zk::texts {

namespace {

bool checked_add(std::int64_t a, std::int64_t b, std::int64_t &out) {
    return !__builtin_add_overflow(a, b, &out);
}
bool checked_mul(std::int64_t a, std::int64_t b, std::int64_t &out) {
    return !__builtin_mul_overflow(a, b, &out);
}

bool combine(LinearIndex &acc, const LinearIndex &rhs, std::int64_t sign) {
    std::int64_t scaled = 0;
    if (!checked_mul(rhs.constant_, sign, scaled) ||
        !checked_add(acc.constant_, scaled, acc.constant_))
        return false;
    for (std::size_t s = 0; s < acc.coefs_.size(); ++s)
        if (!checked_mul(rhs.coefs_[s], sign, scaled) ||
            !checked_add(acc.coefs_[s], scaled, acc.coefs_[s]))
            return false;
    return true;
}

bool scale(LinearIndex &v, std::int64_t k) {
    if (!checked_mul(v.constant_, k, v.constant_)) return false;
    for (std::int64_t &c : v.coefs_)
        if (!checked_mul(c, k, c)) return false;
    return true;
}

// The tokens of one text, read with backtracking: the texts are short.
class IndexReader {
  public:
    IndexReader(std::string_view text, const std::vector<std::string> &slots) : slots_(slots) {
        Tokenizer tokens(text);
        for (;;) {
            tokens_.push_back(tokens.next());
            if (tokens_.back().kind_ == TokenKind::kEnd || tokens_.back().kind_ == TokenKind::kBad)
                break;
        }
    }

    std::size_t pos() const { return at_; }
    void set_pos(std::size_t p) { at_ = p; }
    bool at_end() const { return tokens_[at_].kind_ == TokenKind::kEnd; }
    bool is_punct(char c) const {
        const Token &t = tokens_[at_];
        return t.kind_ == TokenKind::kPunct && t.text_[0] == c;
    }
    bool take(char c) {
        if (!is_punct(c)) return false;
        ++at_;
        return true;
    }
    bool name(std::string_view &out) {
        if (tokens_[at_].kind_ != TokenKind::kName) return false;
        out = tokens_[at_++].text_;
        return true;
    }

    bool expression(LinearIndex &out) {
        if (!term(out)) return false;
        for (;;) {
            const bool minus = is_punct('-');
            if (!minus && !is_punct('+')) return true;
            ++at_;
            LinearIndex rhs;
            if (!term(rhs) || !combine(out, rhs, minus ? -1 : 1)) return false;
        }
    }

  private:
    bool term(LinearIndex &out) {
        if (!unary(out)) return false;
        while (take('*')) {
            LinearIndex rhs;
            if (!unary(rhs)) return false;
            if (out.is_constant()) {
                const std::int64_t k = out.constant_;
                out = rhs;
                if (!scale(out, k)) return false;
            } else if (!rhs.is_constant() || !scale(out, rhs.constant_)) {
                return false;
            }
        }
        return true;
    }

    bool unary(LinearIndex &out) {
        const bool minus = is_punct('-');
        if (minus || is_punct('+')) {
            ++at_;
            return unary(out) && (!minus || scale(out, -1));
        }
        return atom(out);
    }

    bool atom(LinearIndex &out) {
        out.constant_ = 0;
        out.coefs_.assign(slots_.size(), 0);
        if (take('(')) return expression(out) && take(')');
        const Token &t = tokens_[at_];
        if (t.kind_ == TokenKind::kInt) {
            ++at_;
            out.constant_ = t.int_value_;
            return true;
        }
        std::string_view n;
        if (!name(n)) return false;
        for (std::size_t s = 0; s < slots_.size(); ++s) {
            if (slots_[s] == n) {
                out.coefs_[s] = 1;
                return true;
            }
        }
        return false;  // a name that is not a for-all keyword
    }

    const std::vector<std::string> &slots_;
    std::vector<Token> tokens_;
    std::size_t at_ = 0;
};

constexpr std::string_view kLooseWords[] = {"and", "or", "not", "if",    "else",
                                            "in",  "is", "for", "lambda"};

}  // namespace

TextShape shape_of(std::string_view t) {
    TextShape s;
    bool expect_operand = true;
    int depth = 0;
    Lexer lexer(t);
    for (Lexeme l = lexer.next(); l.kind_ != LexKind::kEnd; l = lexer.next()) {
        if (l.kind_ == LexKind::kOpen) {
            ++depth;
            continue;
        }
        if (l.kind_ == LexKind::kClose) {
            if (depth == 0) {
                s.unknown_ = true;
            } else if (--depth == 0) {
                expect_operand = false;
            }
            continue;
        }
        if (depth > 0) continue;
        switch (l.kind_) {
            case LexKind::kName:
                // A keyword is never an attribute name: after a dot it is still one.
                for (std::string_view w : kLooseWords)
                    if (l.text_ == w) s.unknown_ = true;
                expect_operand = false;
                break;
            case LexKind::kNumber:
                expect_operand = false;
                break;
            case LexKind::kOperator:
                if (l.is("+") || l.is("-")) {
                    if (!expect_operand) s.sum_ = true;
                    expect_operand = true;
                } else if (l.is("~")) {
                    if (!expect_operand) s.unknown_ = true;
                } else if (l.is("**")) {
                    // A power binds more tightly than everything here.
                    expect_operand = true;
                } else if (l.is("*")) {
                    s.product_ = true;
                    expect_operand = true;
                } else if (l.is("/") || l.is("//") || l.is("%") || l.is("@")) {
                    s.other_mul_ = true;
                    expect_operand = true;
                } else if (l.is(".")) {
                    expect_operand = false;
                } else if (l.is("...")) {
                    expect_operand = false;
                } else {
                    s.unknown_ = true;
                }
                break;
            default:
                s.unknown_ = true;  // strings, comments, anything else
        }
    }
    if (depth != 0) s.unknown_ = true;
    return s;
}

std::vector<std::string> names_in(std::string_view text) {
    std::vector<std::string> names;
    Lexer lexer(text);
    bool after_dot = false;
    for (Lexeme l = lexer.next(); l.kind_ != LexKind::kEnd; l = lexer.next()) {
        if (l.kind_ == LexKind::kName && !after_dot) names.emplace_back(l.text_);
        after_dot = l.kind_ == LexKind::kOperator && l.text_.back() == '.';
    }
    return names;
}

bool LinearIndex::is_constant() const {
    for (std::int64_t c : coefs_)
        if (c != 0) return false;
    return true;
}

std::optional<LinearIndex> read_index_text(std::string_view text,
                                           const std::vector<std::string> &slots) {
    IndexReader rd(text, slots);
    LinearIndex v;
    if (!rd.expression(v) || !rd.at_end()) return std::nullopt;
    v.coefs_.resize(slots.size(), 0);
    return v;
}

std::optional<PlainLiteral> read_plain_literal(std::string_view text,
                                               const std::vector<std::string> &slots) {
    PlainLiteral r;
    IndexReader rd(text, slots);
    for (;;) {
        if (rd.take('-'))
            r.negated_ = !r.negated_;
        else if (!rd.take('+'))
            break;
    }
    std::string_view family;
    if (rd.name(family) && rd.take('(')) {
        if (!rd.take(')')) {
            for (;;) {
                LinearIndex v;
                if (!rd.expression(v)) return std::nullopt;
                r.values_.push_back(std::move(v));
                if (rd.take(')')) break;
                if (!rd.take(',')) return std::nullopt;
                if (rd.take(')')) break;  // a trailing comma
            }
        }
        if (!rd.at_end()) return std::nullopt;
        r.is_element_ = true;
        r.family_ = family;
        return r;
    }
    rd.set_pos(0);
    r.negated_ = false;
    LinearIndex v;
    if (!rd.expression(v) || !rd.at_end()) return std::nullopt;
    r.values_.push_back(std::move(v));
    return r;
}

}  // namespace zk::texts
