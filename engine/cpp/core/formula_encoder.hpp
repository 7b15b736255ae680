// The formula encoder's Python-free half: reading the for-all text that a model sends with each
// constraint, the metrics files, and checking witnesses against clauses.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace se::fe {

// A for-all text that is not "Foralls: " and a dictionary of index names to ranges, lists or
// tuples of integers. The text is never evaluated, so anything else is refused here.
class ForallSyntaxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ForallValue {
    enum class Kind { kRange, kList, kTuple };
    Kind kind_ = Kind::kList;
    // kRange: start, stop, step as the host's range takes them; step is never 0.
    int64_t start_ = 0;
    int64_t stop_ = 0;
    int64_t step_ = 1;
    // kList, kTuple: the items in order.
    std::vector<int64_t> items_;

    // Number of values the index takes.
    int64_t size() const;
};

struct Forall {
    std::string name_;  // as written between the quotes; the caller checks it is an identifier
    ForallValue value_;
};

// Parses "Foralls: {'i': range(0, 3), 'j': [0, 2]}" into its entries, in text order.
std::vector<Forall> parse_foralls(const std::string &text);

// Whether `text` is a bare variable reference such as "x(i + 1,j)": the family name, then one
// parenthesised group of index texts that ends the text. The model writes such a text for a
// subscripted family alone, which the library's own encoding reads as a variable, not as a term.
bool is_variable_reference(const std::string &text, const std::string &family);

// The counts that save_metrics_json / save_metrics_csv write. Build counts are absent until the
// first generate_cnf.
struct Metrics {
    std::string model_name_;
    int64_t families_ = 0;
    int64_t elements_ = 0;
    int64_t constraints_ = 0;
    int64_t soft_constraints_ = 0;
    int64_t targets_ = 0;
    std::optional<int64_t> clauses_;
    std::optional<int64_t> variables_;
    std::optional<int64_t> weight_limit_;
};

std::string metrics_json(const Metrics &m);
std::string metrics_csv(const Metrics &m);

// Writes `content` to `path`; false when the file cannot be written.
bool write_text_file(const std::string &path, const std::string &content);

// False when the witness holds both n and -n for some variable.
bool consistent(const std::vector<int32_t> &witness);

// True when every clause has a literal that `witness` (signed literals, one per variable it sets)
// makes true. A variable the witness does not mention is false.
bool satisfies(const std::vector<std::vector<int32_t>> &clauses,
               const std::vector<int32_t> &witness);

}  // namespace se::fe
