// Boolean-expression graph: hash-consing, simplifying constructors, text form, support and the
// clause-form reader. Every walk keeps its own stack: expressions may be far deeper than the C++
// stack.
#include "core/bxpr.hpp"

#include <algorithm>
#include <stdexcept>

namespace se::bxpr {

namespace {

constexpr uint32_t kMaxNodes = UINT32_MAX >> 1;  // one bit of a Ref is the negation
constexpr const char *kTooManyNodes = "bxpr: expression graph too large";

constexpr uint8_t kSeenPos = 1;
constexpr uint8_t kSeenNeg = 2;
constexpr uint8_t kOddCount = 1;
constexpr uint8_t kListed = 4;

inline uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

uint64_t hash_node(Kind kind, const Ref *args, size_t n) {
    uint64_t h = mix(static_cast<uint64_t>(kind) * 0x9e3779b97f4a7c15ULL + n);
    for (size_t i = 0; i < n; ++i) h = mix(h ^ (args[i] + 0x9e3779b97f4a7c15ULL));
    return h;
}

const char *kind_name(Kind kind) {
    switch (kind) {
        case Kind::kAnd:
            return "And";
        case Kind::kOr:
            return "Or";
        case Kind::kXor:
            return "Xor";
        case Kind::kEq:
            return "Equal";
        case Kind::kImpl:
            return "Implies";
        case Kind::kIte:
            return "ITE";
        default:
            return "";
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// NodeIndex

NodeIndex::NodeIndex(const Graph &g) : graph_(g) {
    stamp_.swap(g.index_stamp_);
    slot_.swap(g.index_slot_);
    if (++g.index_epoch_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0u);
        g.index_epoch_ = 1;
    }
    epoch_ = g.index_epoch_;
}

NodeIndex::~NodeIndex() {
    // Every stamp in these arrays is at most the graph's epoch, so they are fit for reuse.
    if (stamp_.size() >= graph_.index_stamp_.size()) {
        graph_.index_stamp_.swap(stamp_);
        graph_.index_slot_.swap(slot_);
    }
}

std::pair<uint32_t, bool> NodeIndex::insert(uint32_t node) {
    if (node >= stamp_.size()) {
        size_t want =
            std::max({static_cast<size_t>(node) + 1, graph_.node_count(), stamp_.size() * 2});
        stamp_.resize(want, 0u);
        slot_.resize(want, 0u);
    }
    if (stamp_[node] == epoch_) return {slot_[node], false};
    stamp_[node] = epoch_;
    slot_[node] = count_;
    return {count_++, true};
}

// ---------------------------------------------------------------------------------------------
// Graph

Graph::Graph() {
    nodes_.push_back(Node{Kind::kConst, 1, 0, 0});
    hashes_.push_back(0);
    table_.assign(1024, 0u);
}

Ref Graph::var(std::string_view name) {
    auto it = by_name_.find(name);
    if (it != by_name_.end()) return make_ref(it->second, false);
    if (nodes_.size() >= kMaxNodes) throw std::length_error(kTooManyNodes);
    uint32_t node = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{Kind::kVar, 1, 0, names_.size()});
    hashes_.push_back(0);
    names_.emplace_back(name);
    by_name_.emplace(std::string_view(names_.back()), node);
    return make_ref(node, false);
}

uint32_t Graph::find_var(std::string_view name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? 0u : it->second;
}

ArgSpan Graph::args(uint32_t node) const {
    const Node &n = nodes_[node];
    if (n.kind_ == Kind::kVar || n.kind_ == Kind::kConst) return ArgSpan{nullptr, 0};
    return ArgSpan{args_.data() + n.first_, n.nargs_};
}

const std::string &Graph::name(uint32_t node) const { return names_[nodes_[node].first_]; }

void Graph::begin_marks() {
    if (++mark_epoch_ == 0) {
        std::fill(mark_stamp_.begin(), mark_stamp_.end(), 0u);
        mark_epoch_ = 1;
    }
}

uint8_t &Graph::mark(uint32_t node) {
    if (node >= mark_stamp_.size()) {
        size_t want = std::max(nodes_.size(), mark_stamp_.size() * 2);
        mark_stamp_.resize(want, 0u);
        mark_bits_.resize(want, 0u);
    }
    if (mark_stamp_[node] != mark_epoch_) {
        mark_stamp_[node] = mark_epoch_;
        mark_bits_[node] = 0;
    }
    return mark_bits_[node];
}

bool Graph::all_simplified(const Ref *args, size_t n) const {
    for (size_t i = 0; i < n; ++i)
        if (!nodes_[node_of(args[i])].simplified_) return false;
    return true;
}

void Graph::grow_table() {
    std::vector<uint32_t> table(table_.size() * 2, 0u);
    size_t mask = table.size() - 1;
    for (uint32_t node : table_) {
        if (node == 0) continue;
        size_t i = hashes_[node] & mask;
        while (table[i] != 0) i = (i + 1) & mask;
        table[i] = node;
    }
    table_.swap(table);
}

Ref Graph::intern(Kind kind, const Ref *args, size_t n, bool simplified) {
    uint64_t h = hash_node(kind, args, n);
    size_t mask = table_.size() - 1;
    size_t i = h & mask;
    while (uint32_t node = table_[i]) {
        const Node &nd = nodes_[node];
        if (hashes_[node] == h && nd.kind_ == kind && nd.nargs_ == n &&
            std::equal(args, args + n, args_.begin() + static_cast<std::ptrdiff_t>(nd.first_)))
            return make_ref(node, false);
        i = (i + 1) & mask;
    }
    if (nodes_.size() >= kMaxNodes || n > UINT32_MAX) throw std::length_error(kTooManyNodes);
    uint32_t node = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{kind, static_cast<uint8_t>(simplified ? 1 : 0), static_cast<uint32_t>(n),
                          args_.size()});
    hashes_.push_back(h);
    args_.insert(args_.end(), args, args + n);
    table_[i] = node;
    if (++interned_ * 2 > table_.size()) grow_table();
    return make_ref(node, false);
}

Ref Graph::make_and(const Ref *args, size_t n) {
    begin_marks();
    scratch_.clear();
    for (size_t i = 0; i < n; ++i) {
        Ref a = args[i];
        if (a == kTrue) continue;
        if (a == kFalse) return kFalse;
        uint8_t &seen = mark(node_of(a));
        uint8_t bit = is_negated(a) ? kSeenNeg : kSeenPos;
        if (seen & bit) continue;
        if (seen) return kFalse;  // a and ~a
        seen |= bit;
        scratch_.push_back(a);
    }
    if (scratch_.empty()) return kTrue;
    if (scratch_.size() == 1) return scratch_[0];
    return intern(Kind::kAnd, scratch_.data(), scratch_.size(),
                  all_simplified(scratch_.data(), scratch_.size()));
}

Ref Graph::make_or(const Ref *args, size_t n) {
    begin_marks();
    scratch_.clear();
    for (size_t i = 0; i < n; ++i) {
        Ref a = args[i];
        if (a == kFalse) continue;
        if (a == kTrue) return kTrue;
        uint8_t &seen = mark(node_of(a));
        uint8_t bit = is_negated(a) ? kSeenNeg : kSeenPos;
        if (seen & bit) continue;
        if (seen) return kTrue;
        seen |= bit;
        scratch_.push_back(a);
    }
    if (scratch_.empty()) return kFalse;
    if (scratch_.size() == 1) return scratch_[0];
    return intern(Kind::kOr, scratch_.data(), scratch_.size(),
                  all_simplified(scratch_.data(), scratch_.size()));
}

Ref Graph::make_xor(const Ref *args, size_t n) {
    // Operands are stored positive, their negations folded into the parity of the result; a
    // pair of equal operands cancels.
    begin_marks();
    scratch_.clear();
    bool parity = false;
    for (size_t i = 0; i < n; ++i) {
        Ref a = args[i];
        if (is_const(a)) {
            parity ^= (a == kTrue);
            continue;
        }
        parity ^= is_negated(a);
        uint8_t &seen = mark(node_of(a));
        if (!(seen & kListed)) {
            seen |= kListed;
            scratch_.push_back(a & ~1u);
        }
        seen ^= kOddCount;
    }
    size_t kept = 0;
    for (Ref a : scratch_)
        if (mark(node_of(a)) & kOddCount) scratch_[kept++] = a;
    scratch_.resize(kept);
    Ref flip = parity ? 1u : 0u;
    if (scratch_.empty()) return kFalse ^ flip;
    if (scratch_.size() == 1) return scratch_[0] ^ flip;
    return intern(Kind::kXor, scratch_.data(), scratch_.size(),
                  all_simplified(scratch_.data(), scratch_.size())) ^
           flip;
}

Ref Graph::make_eq(const Ref *args, size_t n) {
    std::vector<Ref> ops;
    bool has_true = false;
    bool has_false = false;
    begin_marks();
    for (size_t i = 0; i < n; ++i) {
        Ref a = args[i];
        if (a == kTrue) {
            has_true = true;
            continue;
        }
        if (a == kFalse) {
            has_false = true;
            continue;
        }
        uint8_t &seen = mark(node_of(a));
        uint8_t bit = is_negated(a) ? kSeenNeg : kSeenPos;
        if (seen & bit) continue;
        if (seen) return kFalse;  // a and ~a are never equal
        seen |= bit;
        ops.push_back(a);
    }
    if (has_true && has_false) return kFalse;
    if (has_true) return make_and(ops.data(), ops.size());
    if (has_false) return negate(make_or(ops.data(), ops.size()));
    if (ops.size() <= 1) return kTrue;
    // Negating every operand keeps them all equal: store the form whose first operand is positive.
    if (is_negated(ops[0]))
        for (Ref &a : ops) a = negate(a);
    return intern(Kind::kEq, ops.data(), ops.size(), all_simplified(ops.data(), ops.size()));
}

Ref Graph::make_impl(Ref p, Ref q) {
    if (p == kFalse || q == kTrue || p == q) return kTrue;
    if (p == kTrue) return q;
    if (q == kFalse) return negate(p);
    if (p == negate(q)) return q;
    Ref ops[2] = {p, q};
    return intern(Kind::kImpl, ops, 2, all_simplified(ops, 2));
}

Ref Graph::make_ite(Ref c, Ref t, Ref e) {
    if (c == kTrue) return t;
    if (c == kFalse) return e;
    if (t == e) return t;
    if (is_negated(c)) {
        c = negate(c);
        std::swap(t, e);
    }
    if (t == kTrue && e == kFalse) return c;
    if (t == kFalse && e == kTrue) return negate(c);
    Ref pair[2];
    auto both = [&](Ref a, Ref b) {
        pair[0] = a;
        pair[1] = b;
        return make_and(pair, 2);
    };
    auto either = [&](Ref a, Ref b) {
        pair[0] = a;
        pair[1] = b;
        return make_or(pair, 2);
    };
    if (t == kTrue || t == c) return either(c, e);
    if (t == kFalse || t == negate(c)) return both(negate(c), e);
    if (e == kTrue || e == negate(c)) return either(negate(c), t);
    if (e == kFalse || e == c) return both(c, t);
    Ref ops[3] = {c, t, e};
    return intern(Kind::kIte, ops, 3, all_simplified(ops, 3));
}

Ref Graph::make_raw(Kind kind, const Ref *args, size_t n) {
    // Marked simplified exactly when the simplifying constructor would build the same node.
    bool simplified = n >= 2 && all_simplified(args, n);
    if (simplified) {
        begin_marks();
        for (size_t i = 0; i < n && simplified; ++i) {
            if (is_const(args[i])) {
                simplified = false;
                break;
            }
            uint8_t &seen = mark(node_of(args[i]));
            if (seen) simplified = false;
            seen |= is_negated(args[i]) ? kSeenNeg : kSeenPos;
        }
    }
    return intern(kind, args, n, simplified);
}

// ---------------------------------------------------------------------------------------------
// Walks

std::string to_text(const Graph *g, Ref root) {
    std::string out;
    struct Frame {
        Ref ref_;
        uint32_t next_;
    };
    std::vector<Frame> stack{{root, 0}};
    constexpr uint32_t kFresh = UINT32_MAX;
    stack.back().next_ = kFresh;
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next_ == kFresh) {
            if (is_const(f.ref_)) {
                out += f.ref_ == kTrue ? '1' : '0';
                stack.pop_back();
                continue;
            }
            uint32_t node = node_of(f.ref_);
            if (is_negated(f.ref_)) out += '~';
            if (g->kind(node) == Kind::kVar) {
                out += g->name(node);
                stack.pop_back();
                continue;
            }
            out += kind_name(g->kind(node));
            out += '(';
            f.next_ = 0;
        }
        ArgSpan args = g->args(node_of(f.ref_));
        if (f.next_ < args.size()) {
            if (f.next_ > 0) out += ", ";
            Ref child = args[f.next_++];
            stack.push_back(Frame{child, kFresh});
        } else {
            out += ')';
            stack.pop_back();
        }
    }
    return out;
}

std::vector<uint32_t> support(const Graph &g, Ref root) {
    std::vector<uint32_t> vars;
    if (is_const(root)) return vars;
    NodeIndex seen(g);
    std::vector<uint32_t> stack{node_of(root)};
    seen.insert(node_of(root));
    while (!stack.empty()) {
        uint32_t node = stack.back();
        stack.pop_back();
        if (g.kind(node) == Kind::kVar) {
            vars.push_back(node);
            continue;
        }
        ArgSpan args = g.args(node);
        // Pushed last to first so that the walk meets operands in their order.
        for (uint32_t i = args.size(); i-- > 0;) {
            uint32_t child = node_of(args[i]);
            if (child != 0 && seen.insert(child).second) stack.push_back(child);
        }
    }
    return vars;
}

namespace {

bool is_literal(const Graph &g, Ref r) { return !is_const(r) && g.kind(node_of(r)) == Kind::kVar; }

bool is_clause(const Graph &g, Ref r) {
    if (is_literal(g, r)) return true;
    if (is_const(r) || is_negated(r) || g.kind(node_of(r)) != Kind::kOr) return false;
    for (Ref a : g.args(node_of(r)))
        if (!is_literal(g, a)) return false;
    return true;
}

}  // namespace

bool is_clause_form(const Graph *g, Ref root) {
    if (is_const(root)) return true;
    if (is_clause(*g, root)) return true;
    if (is_negated(root) || g->kind(node_of(root)) != Kind::kAnd) return false;
    for (Ref c : g->args(node_of(root)))
        if (!is_clause(*g, c)) return false;
    return true;
}

bool read_clauses(const Graph *g, Ref root, std::vector<uint32_t> &vars,
                  std::vector<int64_t> &offsets, std::vector<int32_t> &lits) {
    if (!is_clause_form(g, root)) return false;
    vars.clear();
    offsets.assign(1, 0);
    lits.clear();
    if (root == kTrue) return true;
    if (root == kFalse) {
        offsets.push_back(0);
        return true;
    }
    NodeIndex number(*g);
    auto add_literal = [&](Ref lit) {
        auto [slot, fresh] = number.insert(node_of(lit));
        if (fresh) vars.push_back(node_of(lit));
        int32_t v = static_cast<int32_t>(slot) + 1;
        lits.push_back(is_negated(lit) ? -v : v);
    };
    auto add_clause = [&](Ref clause) {
        if (is_literal(*g, clause)) {
            add_literal(clause);
        } else {
            for (Ref a : g->args(node_of(clause))) add_literal(a);
        }
        offsets.push_back(static_cast<int64_t>(lits.size()));
    };
    if (is_clause(*g, root)) {
        add_clause(root);
    } else {
        for (Ref c : g->args(node_of(root))) add_clause(c);
    }
    return true;
}

}  // namespace se::bxpr
