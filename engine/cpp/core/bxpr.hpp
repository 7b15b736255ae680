// Boolean expressions as a hash-consed DAG with complement edges: simplifying constructors,
// text forms, support, the Tseytin transformation into clause form and a flat reader of clause
// forms. Python-free; the bindings wrap a Graph and a Ref into Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace se::bxpr {

// An edge into a graph: twice the node index, plus one when the edge negates the node. Negation
// therefore costs nothing and ~~e is e by construction.
using Ref = uint32_t;

enum class Kind : uint8_t { kConst, kVar, kAnd, kOr, kXor, kEq, kImpl, kIte };

// Node 0 of every graph is the constant false, so both constants are the same Ref in every graph
// and constants need no graph at all.
inline constexpr Ref kFalse = 0;
inline constexpr Ref kTrue = 1;

inline constexpr uint32_t node_of(Ref r) { return r >> 1; }
inline constexpr bool is_negated(Ref r) { return (r & 1u) != 0; }
inline constexpr Ref negate(Ref r) { return r ^ 1u; }
inline constexpr Ref make_ref(uint32_t node, bool negated) {
    return (node << 1) | (negated ? 1u : 0u);
}
inline constexpr bool is_const(Ref r) { return r <= kTrue; }

struct ArgSpan {
    const Ref *data_;
    uint32_t count_;
    const Ref *begin() const { return data_; }
    const Ref *end() const { return data_ + count_; }
    uint32_t size() const { return count_; }
    Ref operator[](uint32_t i) const { return data_[i]; }
};

// Dense numbering of the nodes met by one traversal. The stamp arrays are borrowed from the graph
// and handed back, so a traversal costs what it visits, not the size of the whole graph; a second
// index alive at the same time simply allocates its own arrays.
class NodeIndex {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;
    explicit NodeIndex(const class Graph &g);
    ~NodeIndex();
    NodeIndex(const NodeIndex &) = delete;
    NodeIndex &operator=(const NodeIndex &) = delete;

    uint32_t find(uint32_t node) const {
        return node < stamp_.size() && stamp_[node] == epoch_ ? slot_[node] : kNone;
    }
    // The node's slot, and whether it was new.
    std::pair<uint32_t, bool> insert(uint32_t node);
    uint32_t size() const { return count_; }

  private:
    const Graph &graph_;
    std::vector<uint32_t> stamp_;
    std::vector<uint32_t> slot_;
    uint32_t epoch_;
    uint32_t count_ = 0;
};

class Graph {
  public:
    Graph();
    Graph(const Graph &) = delete;
    Graph &operator=(const Graph &) = delete;

    // The variable of that name, created on first request; any text is a name.
    Ref var(std::string_view name);
    // The variable node of that name, or 0 when the graph has none.
    uint32_t find_var(std::string_view name) const;

    Kind kind(uint32_t node) const { return nodes_[node].kind_; }
    ArgSpan args(uint32_t node) const;
    const std::string &name(uint32_t node) const;
    size_t node_count() const { return nodes_.size(); }
    size_t var_count() const { return names_.size(); }

    // Simplifying constructors: constants propagate, repeated operands merge, an operand beside
    // its negation decides the result, and equal results share one node. Operands keep the
    // order in which they first occur; nested connectives are left as they are.
    Ref make_and(const Ref *args, size_t n);
    Ref make_or(const Ref *args, size_t n);
    // Odd parity of the operands.
    Ref make_xor(const Ref *args, size_t n);
    // All operands equal.
    Ref make_eq(const Ref *args, size_t n);
    Ref make_impl(Ref p, Ref q);
    Ref make_ite(Ref c, Ref t, Ref e);
    // A conjunction or disjunction of exactly these operands, in this order.
    Ref make_raw(Kind kind, const Ref *args, size_t n);

    // True when the node is what its simplifying constructor would build from its operands.
    bool simplified(uint32_t node) const { return nodes_[node].simplified_ != 0; }

  private:
    friend class NodeIndex;

    struct Node {
        Kind kind_;
        uint8_t simplified_;
        uint32_t nargs_;
        size_t first_;  // offset into args_, or index into names_ for a variable
    };

    Ref intern(Kind kind, const Ref *args, size_t n, bool simplified);
    void grow_table();
    bool all_simplified(const Ref *args, size_t n) const;
    // Marks for one constructor call: bit 1 seen positive, bit 2 seen negated.
    void begin_marks();
    uint8_t &mark(uint32_t node);

    std::vector<Node> nodes_;
    std::vector<Ref> args_;
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> table_;  // open addressing over node indexes; 0 is empty
    size_t interned_ = 0;
    std::deque<std::string> names_;  // a deque keeps the views in by_name_ valid
    std::unordered_map<std::string_view, uint32_t> by_name_;

    std::vector<uint32_t> mark_stamp_;
    std::vector<uint8_t> mark_bits_;
    uint32_t mark_epoch_ = 0;
    std::vector<Ref> scratch_;

    // Arrays lent to NodeIndex.
    mutable std::vector<uint32_t> index_stamp_;
    mutable std::vector<uint32_t> index_slot_;
    mutable uint32_t index_epoch_ = 0;
};

// Text form: a variable is its name, a negation "~" before its operand's text, constants "0" and
// "1", connectives their name with the operands in parentheses, "And(a, ~b)".
std::string to_text(const Graph *g, Ref root);

// The variable nodes of the expression, in the order a depth-first walk meets them.
std::vector<uint32_t> support(const Graph &g, Ref root);

// An equisatisfiable clause form over the expression's variables and new auxiliaries named
// prefix + "_" + k, k counting from 0; a constant when the expression simplifies to one. The
// auxiliaries are defined by one implication per polarity they occur in (Plaisted-Greenbaum),
// so every model of the expression extends to a model of the clauses and every model of the
// clauses satisfies the expression. Writes the number of auxiliaries to *aux_count.
Ref tseytin(Graph &g, Ref root, std::string_view prefix, size_t *aux_count = nullptr);

// Clause form: a conjunction of clauses or a single clause, a clause being a disjunction of
// literals or a single literal; constants count as clause forms (no clause, one empty clause).
bool is_clause_form(const Graph *g, Ref root);

// The clauses of a clause form as flat arrays: `vars` the variable nodes in order of first
// appearance, literal +-(i + 1) for vars[i], clause c at lits[offsets[c] .. offsets[c + 1]).
// False, with the arrays untouched, when `root` is not a clause form.
bool read_clauses(const Graph *g, Ref root, std::vector<uint32_t> &vars,
                  std::vector<int64_t> &offsets, std::vector<int32_t> &lits);

}  // namespace se::bxpr
