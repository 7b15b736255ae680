// The library's texts cut into tokens, and the host's reserved words and identifier test.
//
// One lexer follows the host's lexical rules far enough to know where every token of a one-line
// text ends (names, numbers of every form, string literals with their prefixes, operators by
// longest match, brackets); each reader then accepts the tokens it knows and declines the rest.
// The strict Tokenizer gives the tokens of the index texts the library writes itself; the
// expression reader takes its tokens from the lexer as its callers' forms allow.
//
// Non-ASCII: a byte at or above 0x80 continues a name, as the host's letters do, so a token
// never ends inside one. Whether such a name is an identifier depends on the host's Unicode
// tables and normalisation; is_identifier answers no, and identifier_answer says kAskHost where a
// caller must give the host's exact answer.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zk::texts {

// The host's reserved words (CPython 3.10's keyword.kwlist): never names.
bool is_keyword(std::string_view word);
std::vector<std::string_view> keyword_table();

// Characters of an ASCII name.
inline bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }
inline bool is_non_ascii(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// An ASCII identifier that is not a reserved word.
bool is_identifier(std::string_view word);

enum class IdentifierAnswer : std::uint8_t { kYes, kNo, kAskHost };

// is_identifier where the text is ASCII; kAskHost otherwise.
IdentifierAnswer identifier_answer(std::string_view word);

enum class LexKind : std::uint8_t {
    kName,      // letters, digits, '_' and non-ASCII bytes, not starting with a digit
    kNumber,    // every numeric literal form, loosely: the readers check what they accept
    kString,    // a string literal with its prefix and quotes
    kOperator,  // an operator or delimiter, the longest that matches ("**", "//=", "...", ".")
    kOpen,      // ( [ {
    kClose,     // ) ] }
    // One character that starts no token: '#', '\\', a line break, '$', '?', ..., and a quote
    // whose string does not end on its line (what follows it is read on).
    kOther,
    kEnd,
};

struct Lexeme {
    LexKind kind_ = LexKind::kEnd;
    std::string_view text_;
    std::size_t pos_ = 0;  // where `text_` starts

    bool is(std::string_view t) const { return text_ == t && kind_ != LexKind::kString; }
};

// One token at a time; blanks (space and tab) between tokens are skipped.
class Lexer {
  public:
    explicit Lexer(std::string_view text) : text_(text) {}
    Lexeme next();

  private:
    Lexeme make(LexKind kind, std::size_t end);
    std::size_t string_end(std::size_t quote) const;
    std::size_t number_end() const;
    std::size_t operator_end() const;

    std::string_view text_;
    std::size_t pos_ = 0;
};

enum class TokenKind : std::uint8_t { kName, kInt, kFloat, kPunct, kEnd, kBad };

struct Token {
    TokenKind kind_ = TokenKind::kEnd;
    std::string_view text_;
    std::int64_t int_value_ = 0;
    double float_value_ = 0.0;
};

// The tokens of the texts the library writes: ASCII names, decimal integers that fit 64 bits
// (no leading zeros or underscores), floats in the forms the host writes, and + - * , ( ) [ ].
// Anything else is kBad, and so is everything after it.
class Tokenizer {
  public:
    explicit Tokenizer(std::string_view text) : lexer_(text) {}
    Token next();

  private:
    Token bad();
    Lexer lexer_;
    bool bad_ = false;
};

// A float in the forms the host writes: digits '.' [digits] [exponent], or digits exponent; and
// its value, rounded as the host rounds its float literals.
bool is_plain_float(std::string_view literal);
double read_plain_float(std::string_view literal);

// A decimal integer as the host writes an int: digits without leading zeros, no sign; false
// when it is not one or does not fit an int64_t.
bool read_plain_int(std::string_view digits, std::int64_t &out);

}  // namespace zk::texts
