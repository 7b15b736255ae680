// Python-free half of the formula encoder: the for-all reader, metrics files, witness checks.
#include "core/formula_encoder.hpp"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <unordered_map>

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
constexpr const char *kNameTwiceHead = "index name ";
constexpr const char *kNameTwiceTail = " given twice";
constexpr const char *kExpectedTail = "' expected";
constexpr const char *kReadFailHead = "formula encoder: cannot read the for-all text at offset ";
constexpr const char *kReadFailTail =
    "); expected \"Foralls: \" and a dictionary of index names to ranges, lists or tuples of "
    "integers, got: ";

// A cursor over the for-all text; every error names the offset where reading stopped.
class Reader {
  public:
    explicit Reader(const std::string &text) : text_(text) {}

    [[noreturn]] void fail(const std::string &what) const {
        std::ostringstream msg;
        msg << kReadFailHead << pos_ << " (" << what << kReadFailTail << text_;
        throw ForallSyntaxError(msg.str());
    }

    void skip_blanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }

    bool at_end() const { return pos_ >= text_.size(); }

    bool peek(char c) {
        skip_blanks();
        return pos_ < text_.size() && text_[pos_] == c;
    }

    bool accept(char c) {
        if (!peek(c)) return false;
        ++pos_;
        return true;
    }

    void expect(char c) {
        if (!accept(c)) fail(std::string("'") + c + kExpectedTail);
    }

    bool accept_word(const char *word) {
        skip_blanks();
        std::string w(word);
        if (text_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }

    void expect_prefix(const char *prefix) {
        std::string p(prefix);
        if (text_.compare(0, p.size(), p) != 0) fail(kMissingPrefix);
        pos_ = p.size();
    }

    // A quoted name: 'name' or "name", no escapes (an identifier needs none).
    std::string name() {
        skip_blanks();
        if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"'))
            fail(kQuotedNameExpected);
        char quote = text_[pos_++];
        size_t begin = pos_;
        while (pos_ < text_.size() && text_[pos_] != quote) {
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            // Letters, digits and underscores; non-ASCII letters are left to the caller's test.
            if (!(std::isalnum(c) || c == '_' || c >= 0x80)) fail(kNotIdentifier);
            ++pos_;
        }
        if (pos_ >= text_.size()) fail(kUnterminatedName);
        std::string result = text_.substr(begin, pos_ - begin);
        ++pos_;
        if (result.empty()) fail(kEmptyName);
        if (std::isdigit(static_cast<unsigned char>(result[0]))) fail(kNotIdentifier);
        return result;
    }

    int64_t integer() {
        skip_blanks();
        size_t begin = pos_;
        bool negative = false;
        if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+')) {
            negative = text_[pos_] == '-';
            ++pos_;
        }
        size_t digits = pos_;
        // Magnitudes are gathered as unsigned so that the most negative value still fits.
        uint64_t magnitude = 0;
        const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                        : uint64_t(std::numeric_limits<int64_t>::max());
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
            uint64_t d = uint64_t(text_[pos_] - '0');
            if (magnitude > (limit - d) / 10) {
                pos_ = begin;
                fail(kIntegerRange);
            }
            magnitude = magnitude * 10 + d;
            ++pos_;
        }
        if (pos_ == digits) {
            pos_ = begin;
            fail(kIntegerExpected);
        }
        if (negative)
            return magnitude == limit ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
        return int64_t(magnitude);
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
            v.kind = ForallValue::Kind::kRange;
            if (args.size() == 1) {
                v.stop = args[0];
            } else {
                v.start = args[0];
                v.stop = args[1];
                if (args.size() == 3) v.step = args[2];
            }
            if (v.step == 0) fail(kZeroStep);
        } else if (accept('[')) {
            v.kind = ForallValue::Kind::kList;
            v.items = integers(']', &had_comma);
        } else if (accept('(')) {
            v.kind = ForallValue::Kind::kTuple;
            v.items = integers(')', &had_comma);
            // "(3)" is a parenthesised integer, not a tuple.
            if (v.items.size() == 1 && !had_comma) fail(kTupleComma);
        } else {
            fail(kValueExpected);
        }
        return v;
    }

  private:
    const std::string &text_;
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
    return v ? std::to_string(*v) : std::string(absent);
}

}  // namespace

int64_t ForallValue::size() const {
    if (kind != Kind::kRange) return int64_t(items.size());
    // The host's range length, computed without overflow for the values a text can hold.
    __int128 lo = start, hi = stop, st = step;
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
        f.name = r.name();
        if (seen.count(f.name)) r.fail(kNameTwiceHead + f.name + kNameTwiceTail);
        seen[f.name] = true;
        r.expect(':');
        f.value = r.value();
        result.push_back(std::move(f));
        if (r.accept(',')) continue;
        r.expect('}');
        break;
    }
    r.skip_blanks();
    if (!r.at_end()) r.fail(kTrailingText);
    return result;
}

bool is_variable_reference(const std::string &text, const std::string &family) {
    if (text.size() < family.size() + 2 || text.compare(0, family.size(), family) != 0 ||
        text[family.size()] != '(' || text.back() != ')')
        return false;
    int depth = 0;
    for (size_t k = family.size(); k < text.size(); ++k) {
        if (text[k] == '(') ++depth;
        if (text[k] == ')' && --depth == 0) return k + 1 == text.size();
    }
    return false;
}

std::string metrics_json(const Metrics &m) {
    std::ostringstream out;
    out << "{\n"
        << "  \"model_name\": " << json_string(m.model_name) << ",\n"
        << "  \"families\": " << m.families << ",\n"
        << "  \"elements\": " << m.elements << ",\n"
        << "  \"constraints\": " << m.constraints << ",\n"
        << "  \"soft_constraints\": " << m.soft_constraints << ",\n"
        << "  \"targets\": " << m.targets << ",\n"
        << "  \"clauses\": " << optional_text(m.clauses, "null") << ",\n"
        << "  \"variables\": " << optional_text(m.variables, "null") << ",\n"
        << "  \"weight_limit\": " << optional_text(m.weight_limit, "null") << "\n"
        << "}\n";
    return out.str();
}

std::string metrics_csv(const Metrics &m) {
    std::ostringstream out;
    out << "model_name,families,elements,constraints,soft_constraints,targets,clauses,variables,"
           "weight_limit\n"
        << csv_field(m.model_name) << ',' << m.families << ',' << m.elements << ',' << m.constraints
        << ',' << m.soft_constraints << ',' << m.targets << ',' << optional_text(m.clauses, "")
        << ',' << optional_text(m.variables, "") << ',' << optional_text(m.weight_limit, "")
        << '\n';
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
