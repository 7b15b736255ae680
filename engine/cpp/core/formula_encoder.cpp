// Python-free half of the formula encoder: the for-all reader, metrics files, witness checks.
#include "core/formula_encoder.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <unordered_map>

#include "texts/decimal.hpp"
#include "texts/format.hpp"
#include "texts/names.hpp"
#include "texts/tokens.hpp"

namespace se::fe {

namespace {

constexpr const char *kForallsPrefix = "Foralls: ";

// Why the reader stopped, each completed by the offset and the whole text.
constexpr const char *kMissingPrefix = "missing prefix \"Foralls: \"";
constexpr const char *kQuotedNameExpected = "quoted index name expected";
constexpr const char *kNotIdentifier = "index name is not an identifier";
constexpr const char *kUnterminatedName = "unterminated index name";
constexpr const char *kEmptyName = "empty index name";
constexpr const char *kIntegerRange = "integer out of range";
constexpr const char *kIntegerExpected = "integer expected";
constexpr const char *kRangeArity = "range takes one to three integers";
constexpr const char *kZeroStep = "range step must not be zero";
constexpr const char *kTupleComma = "a tuple of one integer needs a comma";
constexpr const char *kValueExpected = "range, list or tuple of integers expected";
constexpr const char *kTrailingText = "text after the dictionary";
constexpr const char *kNameTwice = "index name {} given twice";
constexpr const char *kExpected = "'{}' expected";
constexpr const char *kReadFail =
    "formula encoder: cannot read the for-all text at offset {} ({}); expected \"Foralls: \" and a "
    "dictionary of index names to ranges, lists or tuples of "
    "integers, got: {}";

// A cursor over the tokens of the for-all text (the library's own lexer); every error names the
// offset where reading stopped.
class Reader {
  public:
    explicit Reader(const std::string &text) : text_(text), lexer_(std::string_view(text)) {}

    [[noreturn]] void fail(const std::string &what) const {
        throw ForallSyntaxError(zk::texts::format_message(kReadFail, pos_, what, text_));
    }

    void expect_prefix(const char *prefix) {
        const std::string p(prefix);
        if (text_.compare(0, p.size(), p) != 0) fail(kMissingPrefix);
        lexer_ = zk::texts::Lexer(std::string_view(text_).substr(p.size()));
        base_ = p.size();
        advance();
    }

    bool at_end() const { return tok_.kind_ == zk::texts::LexKind::kEnd; }

    bool accept(char c) {
        if (tok_.kind_ == zk::texts::LexKind::kString || tok_.text_.size() != 1 ||
            tok_.text_[0] != c)
            return false;
        advance();
        return true;
    }

    void expect(char c) {
        if (!accept(c)) fail(zk::texts::format_message(kExpected, std::string(1, c)));
    }

    bool accept_word(const char *word) {
        if (tok_.kind_ != zk::texts::LexKind::kName || tok_.text_ != word) return false;
        advance();
        return true;
    }

    // A quoted name: 'name' or "name", no prefix, no escapes (an identifier needs none). Its
    // characters are checked one by one so that an error names the one that stops it.
    std::string name() {
        const std::string_view t = tok_.text_;
        if (t.empty() || (t[0] != '\'' && t[0] != '"')) fail(kQuotedNameExpected);
        const char quote = t[0];
        const size_t begin = pos_ + 1;
        size_t end = begin;
        while (end < text_.size() && text_[end] != quote) {
            // Letters, digits and underscores; non-ASCII letters are left to the caller's test.
            if (!zk::texts::is_name_char(text_[end]) && !zk::texts::is_non_ascii(text_[end])) {
                pos_ = end;
                fail(kNotIdentifier);
            }
            ++end;
        }
        if (end >= text_.size()) {
            pos_ = end;
            fail(kUnterminatedName);
        }
        std::string result = text_.substr(begin, end - begin);
        pos_ = end + 1;
        if (result.empty()) fail(kEmptyName);
        if (zk::texts::is_digit(result[0])) fail(kNotIdentifier);
        advance();
        return result;
    }

    // An optional sign right before the digits, then decimal digits.
    int64_t integer() {
        const zk::texts::Lexeme sign = tok_;
        const bool signed_ =
            tok_.kind_ == zk::texts::LexKind::kOperator && (tok_.text_ == "-" || tok_.text_ == "+");
        if (signed_) advance();
        const bool digits = tok_.kind_ == zk::texts::LexKind::kNumber &&
                            (!signed_ || tok_.pos_ == sign.pos_ + 1) &&
                            std::all_of(tok_.text_.begin(), tok_.text_.end(), zk::texts::is_digit);
        if (!digits) {
            pos_ = base_ + sign.pos_;
            fail(kIntegerExpected);
        }
        std::string decimal(signed_ ? sign.text_ : std::string_view());
        decimal += tok_.text_;
        int64_t value = 0;
        if (!zk::texts::read_decimal(decimal, value)) {
            pos_ = base_ + sign.pos_;
            fail(kIntegerRange);
        }
        advance();
        return value;
    }

    // Integers up to `close`, separated by commas; a trailing comma is allowed.
    std::vector<int64_t> integers(char close, bool *had_comma) {
        std::vector<int64_t> items;
        *had_comma = false;
        while (!accept(close)) {
            items.push_back(integer());
            if (accept(',')) {
                *had_comma = true;
                continue;
            }
            expect(close);
            break;
        }
        return items;
    }

    ForallValue value() {
        ForallValue v;
        bool had_comma = false;
        if (accept_word("range")) {
            expect('(');
            std::vector<int64_t> args = integers(')', &had_comma);
            if (args.empty() || args.size() > 3) fail(kRangeArity);
            v.kind_ = ForallValue::Kind::kRange;
            if (args.size() == 1) {
                v.stop_ = args[0];
            } else {
                v.start_ = args[0];
                v.stop_ = args[1];
                if (args.size() == 3) v.step_ = args[2];
            }
            if (v.step_ == 0) fail(kZeroStep);
        } else if (accept('[')) {
            v.kind_ = ForallValue::Kind::kList;
            v.items_ = integers(']', &had_comma);
        } else if (accept('(')) {
            v.kind_ = ForallValue::Kind::kTuple;
            v.items_ = integers(')', &had_comma);
            // "(3)" is a parenthesised integer, not a tuple.
            if (v.items_.size() == 1 && !had_comma) fail(kTupleComma);
        } else {
            fail(kValueExpected);
        }
        return v;
    }

  private:
    // Line breaks and other blanks between tokens are blanks here too.
    void advance() {
        do {
            tok_ = lexer_.next();
        } while (tok_.kind_ == zk::texts::LexKind::kOther &&
                 std::isspace(static_cast<unsigned char>(tok_.text_[0])));
        pos_ = base_ + (at_end() ? text_.size() - base_ : tok_.pos_);
    }

    const std::string &text_;
    zk::texts::Lexer lexer_;
    zk::texts::Lexeme tok_;
    size_t base_ = 0;
    size_t pos_ = 0;
};

// JSON text of a string: quotes, backslashes and control characters escaped.
std::string json_string(const std::string &s) {
    std::ostringstream out;
    out << '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out << "\\\"";
                break;
            case '\\':
                out << "\\\\";
                break;
            case '\n':
                out << "\\n";
                break;
            case '\r':
                out << "\\r";
                break;
            case '\t':
                out << "\\t";
                break;
            default:
                if (c < 0x20) {
                    static const char *hex = "0123456789abcdef";
                    out << "\\u00" << hex[c >> 4] << hex[c & 15];
                } else {
                    out << c;
                }
        }
    }
    out << '"';
    return out.str();
}

std::string csv_field(const std::string &s) {
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

template <typename T>
std::string optional_text(const std::optional<T> &v, const char *absent) {
    return v ? zk::texts::decimal(*v) : std::string(absent);
}

}  // namespace

int64_t ForallValue::size() const {
    if (kind_ != Kind::kRange) return int64_t(items_.size());
    // The host's range length, computed without overflow for the values a text can hold.
    __int128 lo = start_, hi = stop_, st = step_;
    __int128 n =
        st > 0 ? (hi > lo ? (hi - lo + st - 1) / st : 0) : (lo > hi ? (lo - hi - st - 1) / -st : 0);
    return int64_t(n);
}

std::vector<Forall> parse_foralls(const std::string &text) {
    Reader r(text);
    r.expect_prefix(kForallsPrefix);
    r.expect('{');
    std::vector<Forall> result;
    std::unordered_map<std::string, bool> seen;
    while (!r.accept('}')) {
        Forall f;
        f.name_ = r.name();
        if (seen.count(f.name_)) r.fail(zk::texts::format_message(kNameTwice, f.name_));
        seen[f.name_] = true;
        r.expect(':');
        f.value_ = r.value();
        result.push_back(std::move(f));
        if (r.accept(',')) continue;
        r.expect('}');
        break;
    }
    if (!r.at_end()) r.fail(kTrailingText);
    return result;
}

bool is_variable_reference(const std::string &text, const std::string &family) {
    std::optional<zk::texts::ElementReference> r = zk::texts::read_element_reference(text);
    return r && r->family_ == family;
}

std::string metrics_json(const Metrics &m) {
    std::ostringstream out;
    out << "{\n"
        << "  \"model_name\": " << json_string(m.model_name_) << ",\n"
        << "  \"families\": " << m.families_ << ",\n"
        << "  \"elements\": " << m.elements_ << ",\n"
        << "  \"constraints\": " << m.constraints_ << ",\n"
        << "  \"soft_constraints\": " << m.soft_constraints_ << ",\n"
        << "  \"targets\": " << m.targets_ << ",\n"
        << "  \"clauses\": " << optional_text(m.clauses_, "null") << ",\n"
        << "  \"variables\": " << optional_text(m.variables_, "null") << ",\n"
        << "  \"weight_limit\": " << optional_text(m.weight_limit_, "null") << "\n"
        << "}\n";
    return out.str();
}

std::string metrics_csv(const Metrics &m) {
    std::ostringstream out;
    out << "model_name,families,elements,constraints,soft_constraints,targets,clauses,variables,"
           "weight_limit\n"
        << csv_field(m.model_name_) << ',' << m.families_ << ',' << m.elements_ << ','
        << m.constraints_ << ',' << m.soft_constraints_ << ',' << m.targets_ << ','
        << optional_text(m.clauses_, "") << ',' << optional_text(m.variables_, "") << ','
        << optional_text(m.weight_limit_, "") << '\n';
    return out.str();
}

bool write_text_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    out.close();
    return bool(out);
}

bool consistent(const std::vector<int32_t> &witness) {
    std::unordered_map<int32_t, bool> value;
    value.reserve(witness.size() * 2);
    for (int32_t lit : witness) {
        auto [it, fresh] = value.emplace(lit > 0 ? lit : -lit, lit > 0);
        if (!fresh && it->second != (lit > 0)) return false;
    }
    return true;
}

bool satisfies(const std::vector<std::vector<int32_t>> &clauses,
               const std::vector<int32_t> &witness) {
    std::unordered_map<int32_t, bool> value;
    value.reserve(witness.size() * 2);
    for (int32_t lit : witness) {
        if (lit == 0) continue;
        value[lit > 0 ? lit : -lit] = lit > 0;
    }
    for (const auto &clause : clauses) {
        bool sat = false;
        for (int32_t lit : clause) {
            auto it = value.find(lit > 0 ? lit : -lit);
            bool v = it != value.end() && it->second;
            if ((lit > 0) == v) {
                sat = true;
                break;
            }
        }
        if (!sat) return false;
    }
    return true;
}

}  // namespace se::fe
