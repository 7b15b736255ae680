// The lexer, the strict tokenizer and the reserved words (tokens.hpp).
#include "texts/tokens.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

namespace zk::texts {

namespace {

constexpr std::string_view kKeywords[] = {
    "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
    "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
    "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
    "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};

// Longest first within each length class, as the host's tokenizer matches them.
constexpr std::string_view kOperators3[] = {"**=", "//=", ">>=", "<<=", "..."};
constexpr std::string_view kOperators2[] = {
    "**", "//", "<<", ">>", "<=", ">=", "==", "!=", "->", ":=",
    "+=", "-=", "*=", "/=", "%=", "@=", "&=", "|=", "^="};
constexpr std::string_view kOperators1 = "+-*/%@&|^~<>=.,:;!";

constexpr std::string_view kStringPrefixes[] = {"r", "u", "b", "f", "br", "rb", "fr", "rf"};

bool is_word_byte(char c) { return is_name_char(c) || is_non_ascii(c); }

bool is_string_prefix(std::string_view w) {
    if (w.size() > 2) return false;
    char lower[2] = {};
    for (std::size_t i = 0; i < w.size(); ++i)
        lower[i] = static_cast<char>(w[i] >= 'A' && w[i] <= 'Z' ? w[i] - 'A' + 'a' : w[i]);
    std::string_view l(lower, w.size());
    return std::find(std::begin(kStringPrefixes), std::end(kStringPrefixes), l) !=
           std::end(kStringPrefixes);
}

}  // namespace

bool is_keyword(std::string_view word) {
    return std::find(std::begin(kKeywords), std::end(kKeywords), word) != std::end(kKeywords);
}

std::vector<std::string_view> keyword_table() {
    return std::vector<std::string_view>(std::begin(kKeywords), std::end(kKeywords));
}

bool is_identifier(std::string_view word) {
    if (word.empty() || !is_name_start(word[0])) return false;
    for (char c : word)
        if (!is_name_char(c)) return false;
    return !is_keyword(word);
}

IdentifierAnswer identifier_answer(std::string_view word) {
    for (char c : word)
        if (is_non_ascii(c)) return IdentifierAnswer::kAskHost;
    return is_identifier(word) ? IdentifierAnswer::kYes : IdentifierAnswer::kNo;
}

bool is_plain_float(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size() && is_digit(t[i])) ++i;
    if (i == 0) return false;
    bool fraction = false;
    if (i < t.size() && t[i] == '.') {
        fraction = true;
        ++i;
        while (i < t.size() && is_digit(t[i])) ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        const std::size_t digits = i;
        while (i < t.size() && is_digit(t[i])) ++i;
        if (i == digits) return false;
        return i == t.size();
    }
    return fraction && i == t.size();
}

double read_plain_float(std::string_view literal) {
    // strtod rounds correctly, as the host's float literals do.
    const std::string copy(literal);
    return std::strtod(copy.c_str(), nullptr);
}

bool read_plain_int(std::string_view t, std::int64_t &out) {
    if (t.empty() || (t.size() > 1 && t[0] == '0')) return false;
    std::int64_t v = 0;
    for (char d : t) {
        if (!is_digit(d) || __builtin_mul_overflow(v, 10, &v) ||
            __builtin_add_overflow(v, d - '0', &v))
            return false;
    }
    out = v;
    return true;
}

Lexeme Lexer::make(LexKind kind, std::size_t end) {
    Lexeme l;
    l.kind_ = kind;
    l.pos_ = pos_;
    l.text_ = text_.substr(pos_, end - pos_);
    pos_ = end;
    return l;
}

// The index after the string literal whose opening quote is at `quote`; npos when it does not
// end on its line.
std::size_t Lexer::string_end(std::size_t quote) const {
    const char q = text_[quote];
    const bool triple = text_.compare(quote, 3, std::string(3, q)) == 0;
    std::size_t i = quote + (triple ? 3 : 1);
    while (i < text_.size()) {
        const char c = text_[i];
        if (c == '\\') {
            i += 2;
        } else if (triple && text_.compare(i, 3, std::string(3, q)) == 0) {
            return i + 3;
        } else if (!triple && c == q) {
            return i + 1;
        } else if (!triple && c == '\n') {
            return std::string_view::npos;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

// Numbers are cut loosely (1j, 0x1f, 1_000, 1e-5, 1.5.3 are one token each): a reader that wants
// a plain form checks the text.
std::size_t Lexer::number_end() const {
    std::size_t i = pos_;
    const bool radix = i + 1 < text_.size() && text_[i] == '0' &&
                       std::string_view("xXoObB").find(text_[i + 1]) != std::string_view::npos;
    while (i < text_.size()) {
        const char c = text_[i];
        if (!radix && (c == 'e' || c == 'E') && i + 1 < text_.size() &&
            (text_[i + 1] == '+' || text_[i + 1] == '-')) {
            i += 2;
        } else if (is_word_byte(c) || c == '.') {
            ++i;
        } else {
            break;
        }
    }
    return i;
}

std::size_t Lexer::operator_end() const {
    if (kOperators1.find(text_[pos_]) == std::string_view::npos) return std::string_view::npos;
    // Every longer operator goes on with another operator character: texts are mostly "x + 1".
    if (pos_ + 1 == text_.size() || kOperators1.find(text_[pos_ + 1]) == std::string_view::npos)
        return pos_ + 1;
    const std::string_view rest = text_.substr(pos_);
    for (std::string_view op : kOperators3)
        if (rest.compare(0, 3, op) == 0) return pos_ + 3;
    for (std::string_view op : kOperators2)
        if (rest.compare(0, 2, op) == 0) return pos_ + 2;
    return pos_ + 1;
}

Lexeme Lexer::next() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    if (pos_ == text_.size()) return make(LexKind::kEnd, pos_);
    const char c = text_[pos_];
    if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])))
        return make(LexKind::kNumber, number_end());
    if (is_name_start(c) || is_non_ascii(c)) {
        std::size_t end = pos_;
        while (end < text_.size() && is_word_byte(text_[end])) ++end;
        if (end < text_.size() && (text_[end] == '\'' || text_[end] == '"') &&
            is_string_prefix(text_.substr(pos_, end - pos_))) {
            const std::size_t close = string_end(end);
            if (close != std::string_view::npos) return make(LexKind::kString, close);
        }
        return make(LexKind::kName, end);
    }
    if (c == '\'' || c == '"') {
        const std::size_t close = string_end(pos_);
        if (close == std::string_view::npos) return make(LexKind::kOther, pos_ + 1);
        return make(LexKind::kString, close);
    }
    if (c == '(' || c == '[' || c == '{') return make(LexKind::kOpen, pos_ + 1);
    if (c == ')' || c == ']' || c == '}') return make(LexKind::kClose, pos_ + 1);
    const std::size_t op = operator_end();
    if (op != std::string_view::npos) return make(LexKind::kOperator, op);
    return make(LexKind::kOther, pos_ + 1);
}

Token Tokenizer::bad() {
    bad_ = true;
    Token t;
    t.kind_ = TokenKind::kBad;
    return t;
}

Token Tokenizer::next() {
    if (bad_) return bad();
    const Lexeme l = lexer_.next();
    Token t;
    t.text_ = l.text_;
    switch (l.kind_) {
        case LexKind::kEnd:
            t.kind_ = TokenKind::kEnd;
            return t;
        case LexKind::kName:
            // Names outside ASCII are normalised by the host before lookup.
            for (char c : l.text_)
                if (is_non_ascii(c)) return bad();
            t.kind_ = TokenKind::kName;
            return t;
        case LexKind::kNumber:
            if (read_plain_int(l.text_, t.int_value_)) {
                t.kind_ = TokenKind::kInt;
                return t;
            }
            if (!is_plain_float(l.text_)) return bad();
            t.float_value_ = read_plain_float(l.text_);
            t.kind_ = TokenKind::kFloat;
            return t;
        case LexKind::kOperator:
            if (l.text_.size() != 1 ||
                std::string_view("+-*,").find(l.text_[0]) == std::string_view::npos)
                return bad();
            t.kind_ = TokenKind::kPunct;
            return t;
        case LexKind::kOpen:
        case LexKind::kClose:
            if (l.text_[0] == '{' || l.text_[0] == '}') return bad();
            t.kind_ = TokenKind::kPunct;
            return t;
        default:
            return bad();
    }
}

}  // namespace zk::texts
