// Tseytin transformation of a Boolean-expression DAG into clause form.
//
// Two passes. The first rebuilds the DAG with the simplifying constructors (operands built by
// and_ may hold constants and repeats), rewrites implications as disjunctions and splices nested
// conjunctions into conjunctions and nested disjunctions into disjunctions, so that x | (y | z)
// becomes one clause. The second walks the result parents first, records for every connective
// which facts the clauses above need of it (true at the top, or an auxiliary literal implying it
// or implied by it), and emits those clauses only: conjunctions at the top dissolve into their
// operands and a clause-shaped input passes through without auxiliaries.
#include <algorithm>
#include <string>
#include <vector>

#include "core/bxpr.hpp"

namespace se::bxpr {

namespace {

// A shared operand is spliced into its parent only when it is short: splicing copies it into
// every parent, where an auxiliary would cost one literal per parent.
constexpr uint32_t kFlattenArity = 16;
// Exclusive ors of at most this many operands are written out as one clause per wrong parity;
// longer ones are chained through auxiliaries.
constexpr uint32_t kDirectXor = 3;
// A disjunction of at most this many other operands is distributed over a conjunction operand.
constexpr size_t kDistributeRest = 2;

// The connective that an And, Or or Implies node is seen as (implications as disjunctions).
inline Kind as_junction(Kind k) { return k == Kind::kImpl ? Kind::kOr : k; }

// Whether operand `edge` of a node of kind `parent` merges into it: a conjunction in a
// conjunction, a disjunction in a disjunction, seen through the edge's negation.
inline bool merges(Kind parent, Kind child, bool negated) {
    if (parent != Kind::kAnd && parent != Kind::kOr && parent != Kind::kImpl) return false;
    if (child != Kind::kAnd && child != Kind::kOr && child != Kind::kImpl) return false;
    return (as_junction(parent) == as_junction(child)) != negated;
}

Ref normalize(Graph &g, Ref root) {
    if (is_const(root) || g.kind(node_of(root)) == Kind::kVar) return root;

    NodeIndex index(g);
    std::vector<uint32_t> uses;     // by slot: parents within the expression
    std::vector<uint8_t> absorbed;  // by slot: merged into its only parent, never built alone
    std::vector<uint32_t> order;    // connectives, operands before their parents
    struct Frame {
        uint32_t node_;
        uint32_t next_;
    };
    std::vector<Frame> stack;
    index.insert(node_of(root));
    uses.push_back(0);
    absorbed.push_back(0);
    stack.push_back(Frame{node_of(root), 0});
    while (!stack.empty()) {
        uint32_t node = stack.back().node_;
        uint32_t i = stack.back().next_;
        ArgSpan args = g.args(node);
        if (i < args.size()) {
            ++stack.back().next_;
            Ref edge = args[i];
            uint32_t child = node_of(edge);
            if (child == 0 || g.kind(child) == Kind::kVar) continue;
            auto [slot, fresh] = index.insert(child);
            if (fresh) {
                bool negated = is_negated(edge) != (g.kind(node) == Kind::kImpl && i == 0);
                uses.push_back(1);
                absorbed.push_back(merges(g.kind(node), g.kind(child), negated) ? 1 : 0);
                stack.push_back(Frame{child, 0});
            } else {
                ++uses[slot];
                absorbed[slot] = 0;
            }
        } else {
            order.push_back(node);
            stack.pop_back();
        }
    }

    std::vector<Ref> norm(index.size(), kFalse);
    auto mapped = [&](Ref c) -> Ref {
        uint32_t n = node_of(c);
        if (n == 0 || g.kind(n) == Kind::kVar) return c;
        return norm[index.find(n)] ^ (c & 1u);
    };
    std::vector<Ref> ops;
    // Appends the rebuilt operand `a` of original operand `orig` to a conjunction (or a
    // disjunction), splicing it when it became one too. True when spliced.
    auto push_operand = [&](Kind parent, Ref orig, Ref a) {
        if (!is_const(a) && g.kind(node_of(a)) != Kind::kVar &&
            merges(parent, g.kind(node_of(a)), is_negated(a))) {
            ArgSpan inner = g.args(node_of(a));
            uint32_t on = node_of(orig);
            bool shared = on != 0 && g.kind(on) != Kind::kVar && uses[index.find(on)] > 1;
            if (!shared || inner.size() <= kFlattenArity) {
                for (Ref x : inner) ops.push_back(x ^ (a & 1u));
                return true;
            }
        }
        ops.push_back(a);
        return false;
    };

    // Operands of a conjunction or disjunction, with the operands of absorbed descendants in
    // their place: a chain ((a & b) & c) & d is read once, not rebuilt at every level.
    struct Open {
        uint32_t node_;
        Ref flip_;
        uint32_t next_;
    };
    std::vector<Open> open;
    auto gather = [&](uint32_t top, Kind kind) {
        bool changed = false;
        open.push_back(Open{top, 0, 0});
        while (!open.empty()) {
            uint32_t node = open.back().node_;
            Ref flip = open.back().flip_;
            uint32_t i = open.back().next_;
            ArgSpan args = g.args(node);
            if (i == args.size()) {
                open.pop_back();
                continue;
            }
            ++open.back().next_;
            Ref c = args[i];
            if (g.kind(node) == Kind::kImpl && i == 0) c = negate(c);
            c ^= flip;
            uint32_t cn = node_of(c);
            if (cn != 0 && g.kind(cn) != Kind::kVar && absorbed[index.find(cn)]) {
                changed = true;
                open.push_back(Open{cn, c & 1u, 0});
                continue;
            }
            Ref a = mapped(c);
            changed |= push_operand(kind, c, a) || a != c;
        }
        return changed;
    };

    for (uint32_t node : order) {
        uint32_t slot = index.find(node);
        if (absorbed[slot]) continue;
        Kind kind = g.kind(node);
        ops.clear();
        bool changed = !g.simplified(node) || kind == Kind::kImpl;
        if (kind == Kind::kAnd || kind == Kind::kOr || kind == Kind::kImpl) {
            changed |= gather(node, as_junction(kind));
        } else {
            for (Ref c : g.args(node)) {
                Ref a = mapped(c);
                changed |= a != c;
                ops.push_back(a);
            }
        }
        Ref result = make_ref(node, false);
        if (changed) {
            switch (kind) {
                case Kind::kAnd:
                    result = g.make_and(ops.data(), ops.size());
                    break;
                case Kind::kOr:
                case Kind::kImpl:
                    result = g.make_or(ops.data(), ops.size());
                    break;
                case Kind::kXor:
                    result = g.make_xor(ops.data(), ops.size());
                    break;
                case Kind::kEq:
                    result = g.make_eq(ops.data(), ops.size());
                    break;
                case Kind::kIte:
                    result = g.make_ite(ops[0], ops[1], ops[2]);
                    break;
                default:
                    break;
            }
        }
        norm[slot] = result;
    }
    return mapped(root);
}

// What the clauses need of a connective.
constexpr uint8_t kTopPos = 1;  // it holds
constexpr uint8_t kTopNeg = 2;  // it does not hold
constexpr uint8_t kAuxPos = 4;  // its auxiliary implies it
constexpr uint8_t kAuxNeg = 8;  // it implies its auxiliary

// What a parent's clause needs of an operand's literal L: L implies the operand, the operand
// implies L, or both.
constexpr uint8_t kImplies = 1;
constexpr uint8_t kImplied = 2;
constexpr uint8_t kExact = kImplies | kImplied;

constexpr Ref kNoGuard = kFalse;  // a guard literal is never a constant

class Encoder {
  public:
    Encoder(Graph &g, std::string_view prefix) : g_(g), index_(g), prefix_(prefix) {}

    Ref run(Ref root) {
        collect(root);
        mask_.assign(index_.size(), 0);
        aux_.assign(index_.size(), kNoGuard);
        require_top(root);
        for (size_t i = order_.size(); i-- > 0;) process(order_[i]);
        return build();
    }

    size_t aux_count() const { return aux_made_; }

  private:
    // Post-order over the connectives; variables get slots too, so that the names of the
    // expression's own variables are known when auxiliaries are named. Operands are visited
    // last to first, which makes the parents-first order meet them first to last.
    void collect(Ref root) {
        uint32_t rn = node_of(root);
        index_.insert(rn);
        uses_.push_back(0);
        struct Frame {
            uint32_t node_;
            uint32_t next_;
        };
        std::vector<Frame> stack{{rn, 0}};
        while (!stack.empty()) {
            uint32_t node = stack.back().node_;
            uint32_t i = stack.back().next_;
            ArgSpan args = g_.args(node);
            if (i < args.size()) {
                ++stack.back().next_;
                uint32_t child = node_of(args[args.size() - 1 - i]);
                auto [slot, fresh] = index_.insert(child);
                if (fresh) uses_.push_back(0);
                ++uses_[slot];
                if (fresh && g_.kind(child) != Kind::kVar) stack.push_back(Frame{child, 0});
            } else {
                order_.push_back(node);
                stack.pop_back();
            }
        }
    }

    Ref fresh_aux() {
        for (;;) {
            name_ = prefix_;
            name_ += '_';
            name_ += std::to_string(next_k_++);
            // A name that the expression itself uses is skipped: reusing it would tie the
            // auxiliary to that variable.
            uint32_t existing = g_.find_var(name_);
            if (existing != 0 && index_.find(existing) != NodeIndex::kNone) continue;
            ++aux_made_;
            return g_.var(name_);
        }
    }

    Ref lit(Ref c) {
        uint32_t n = node_of(c);
        if (g_.kind(n) == Kind::kVar) return c;
        Ref &aux = aux_[index_.find(n)];
        if (aux == kNoGuard) aux = fresh_aux();
        return aux ^ (c & 1u);
    }

    void need(Ref c, uint8_t what) {
        uint32_t n = node_of(c);
        if (g_.kind(n) == Kind::kVar) return;
        uint8_t bits = 0;
        if (what & kImplies) bits |= is_negated(c) ? kAuxNeg : kAuxPos;
        if (what & kImplied) bits |= is_negated(c) ? kAuxPos : kAuxNeg;
        mask_[index_.find(n)] |= bits;
    }

    void require_top(Ref r) {
        uint32_t n = node_of(r);
        uint8_t bit = is_negated(r) ? kTopNeg : kTopPos;
        uint8_t &m = mask_[index_.find(n)];
        if (m & bit) return;
        m |= bit;
        if (g_.kind(n) == Kind::kVar) {
            lits_.push_back(r);
            ends_.push_back(lits_.size());
        }
    }

    void open(Ref guard) {
        if (guard != kNoGuard) lits_.push_back(guard);
    }
    // Ends the open clause. Splicing can repeat a literal or bring in its negation: repeats
    // go, and a clause that always holds is dropped.
    void close() {
        size_t begin = ends_.empty() ? 0 : ends_.back();
        size_t n = lits_.size() - begin;
        if (n > 1) {
            sorted_.assign(lits_.begin() + static_cast<std::ptrdiff_t>(begin), lits_.end());
            std::sort(sorted_.begin(), sorted_.end());
            bool repeats = false;
            for (size_t i = 1; i < n; ++i) {
                if (sorted_[i] == negate(sorted_[i - 1])) {
                    lits_.resize(begin);
                    return;
                }
                repeats |= sorted_[i] == sorted_[i - 1];
            }
            if (repeats) {
                kept_.assign(n, 0);
                size_t kept = begin;
                for (size_t i = begin; i < lits_.size(); ++i) {
                    size_t at = static_cast<size_t>(
                        std::lower_bound(sorted_.begin(), sorted_.end(), lits_[i]) -
                        sorted_.begin());
                    if (kept_[at]) continue;
                    kept_[at] = 1;
                    lits_[kept++] = lits_[i];
                }
                lits_.resize(kept);
            }
        }
        ends_.push_back(lits_.size());
    }

    void process(uint32_t node) {
        uint32_t slot = index_.find(node);
        uint8_t m = mask_[slot];
        Kind kind = g_.kind(node);
        ArgSpan args = g_.args(node);
        if (kind == Kind::kXor) {
            encode_xor(args, m, slot);
            return;
        }
        if (m & kTopPos) {
            if (kind == Kind::kAnd) {
                for (Ref a : args) require_top(a);
            } else {
                define(kind, args, true, kNoGuard);
            }
        }
        if (m & kTopNeg) {
            if (kind == Kind::kOr) {
                for (Ref a : args) require_top(negate(a));
            } else {
                define(kind, args, false, kNoGuard);
            }
        }
        if (m & kAuxPos) define(kind, args, true, negate(lit(make_ref(node, false))));
        if (m & kAuxNeg) define(kind, args, false, lit(make_ref(node, false)));
    }

    bool spliceable(uint32_t node) const {
        return uses_[index_.find(node)] <= 1 || g_.args(node).size() <= kFlattenArity;
    }

    // Adds to the open clause literals whose truth implies `phi`. A disjunction contributes its
    // operands' literals, so that no auxiliary stands between a clause and a clause inside it.
    void push_implying(Ref phi) {
        uint32_t n = node_of(phi);
        Kind k = g_.kind(n);
        bool disjunction =
            (k == Kind::kOr && !is_negated(phi)) || (k == Kind::kAnd && is_negated(phi));
        if (disjunction && spliceable(n)) {
            for (Ref d : g_.args(n)) {
                Ref x = d ^ (phi & 1u);
                lits_.push_back(lit(x));
                need(x, kImplies);
            }
            return;
        }
        lits_.push_back(lit(phi));
        need(phi, kImplies);
    }

    static bool is_conjunction(const Graph &g, Ref phi) {
        Kind k = g.kind(node_of(phi));
        return (k == Kind::kAnd && !is_negated(phi)) || (k == Kind::kOr && is_negated(phi));
    }

    // Clauses saying: guard, or one of items_ holds. When a single item is a conjunction and
    // the others are few, x | (c1 & c2) is written (x | c1) & (x | c2), without an auxiliary.
    void emit_disjunction(Ref guard) {
        size_t conj = items_.size();
        size_t count = 0;
        for (size_t i = 0; i < items_.size(); ++i)
            if (is_conjunction(g_, items_[i])) {
                conj = i;
                ++count;
            }
        size_t rest = items_.size() - 1 + (guard != kNoGuard ? 1 : 0);
        if (count == 1 && rest <= kDistributeRest) {
            Ref whole = items_[conj];
            for (Ref e : g_.args(node_of(whole))) {
                open(guard);
                for (size_t i = 0; i < items_.size(); ++i)
                    if (i != conj) push_implying(items_[i]);
                push_implying(e ^ (whole & 1u));
                close();
            }
            return;
        }
        open(guard);
        for (Ref item : items_) push_implying(item);
        close();
    }

    // Clauses saying: guard, or the connective holds (positive) / does not hold (negative).
    void define(Kind kind, ArgSpan args, bool positive, Ref guard) {
        uint32_t n = args.size();
        switch (kind) {
            case Kind::kAnd:
            case Kind::kOr:
                // A conjunction that holds, or a disjunction that does not, is one clause per
                // operand; the other two cases are one clause over all operands.
                if (positive == (kind == Kind::kAnd)) {
                    Ref flip = positive ? 0u : 1u;
                    for (Ref a : args) {
                        open(guard);
                        push_implying(a ^ flip);
                        close();
                    }
                } else {
                    items_.clear();
                    for (Ref a : args) items_.push_back(positive ? a : negate(a));
                    emit_disjunction(guard);
                }
                break;
            case Kind::kEq:
                for (Ref a : args) need(a, kExact);
                if (positive) {
                    // x1 -> x2 -> ... -> xn -> x1 makes them all equal.
                    for (uint32_t i = 0; i < n; ++i) {
                        open(guard);
                        lits_.push_back(negate(lit(args[i])));
                        lits_.push_back(lit(args[(i + 1) % n]));
                        close();
                    }
                } else {
                    open(guard);
                    for (Ref a : args) lits_.push_back(lit(a));
                    close();
                    open(guard);
                    for (Ref a : args) lits_.push_back(negate(lit(a)));
                    close();
                }
                break;
            case Kind::kIte: {
                Ref c = lit(args[0]);
                need(args[0], kExact);
                Ref flip = positive ? 0u : 1u;
                open(guard);
                lits_.push_back(negate(c));
                push_implying(args[1] ^ flip);
                close();
                open(guard);
                lits_.push_back(c);
                push_implying(args[2] ^ flip);
                close();
                break;
            }
            default:
                break;  // implications were rewritten, variables have no definition
        }
    }

    // Clauses saying: guard, or the parity of `ops` is `odd`.
    void parity_clauses(const std::vector<Ref> &ops, bool odd, Ref guard) {
        uint32_t k = static_cast<uint32_t>(ops.size());
        for (uint32_t bits = 0; bits < (1u << k); ++bits) {
            if ((__builtin_popcount(bits) & 1) == (odd ? 1 : 0)) continue;
            // This assignment has the wrong parity: the clause forbids it.
            open(guard);
            for (uint32_t i = 0; i < k; ++i)
                lits_.push_back((bits >> i) & 1u ? negate(ops[i]) : ops[i]);
            close();
        }
    }

    void encode_xor(ArgSpan args, uint8_t m, uint32_t slot) {
        std::vector<Ref> in;
        in.reserve(args.size());
        for (Ref a : args) {
            in.push_back(lit(a));
            need(a, kExact);
        }
        // The chain is shared by all polarities that the parents ask for.
        if (in.size() > kDirectXor) {
            Ref acc = in[0];
            for (size_t i = 1; i + 1 < in.size(); ++i) {
                Ref u = fresh_aux();
                parity_clauses({u, acc, in[i]}, false, kNoGuard);  // u = acc ^ in[i]
                acc = u;
            }
            in = {acc, in.back()};
        }
        Ref self = kNoGuard;
        if (m & (kAuxPos | kAuxNeg)) {
            Ref &aux = aux_[slot];
            if (aux == kNoGuard) aux = fresh_aux();
            self = aux;
        }
        if (m & kTopPos) parity_clauses(in, true, kNoGuard);
        if (m & kTopNeg) parity_clauses(in, false, kNoGuard);
        if (m & kAuxPos) parity_clauses(in, true, negate(self));
        if (m & kAuxNeg) parity_clauses(in, false, self);
    }

    Ref build() {
        std::vector<Ref> clauses;
        clauses.reserve(ends_.size());
        size_t begin = 0;
        for (size_t end : ends_) {
            size_t n = end - begin;
            if (n == 0) return kFalse;
            clauses.push_back(n == 1 ? lits_[begin] : g_.make_raw(Kind::kOr, &lits_[begin], n));
            begin = end;
        }
        if (clauses.empty()) return kTrue;
        if (clauses.size() == 1) return clauses[0];
        return g_.make_raw(Kind::kAnd, clauses.data(), clauses.size());
    }

    Graph &g_;
    NodeIndex index_;
    std::string prefix_;
    std::string name_;
    std::vector<uint32_t> order_;
    std::vector<uint32_t> uses_;  // by slot: parents within the expression
    std::vector<uint8_t> mask_;   // by slot
    std::vector<Ref> aux_;        // by slot: the auxiliary variable of a connective, or kNoGuard
    std::vector<Ref> lits_;
    std::vector<size_t> ends_;  // clause i ends at lits_[ends_[i]]
    std::vector<Ref> items_;    // operands of the disjunction being written
    std::vector<Ref> sorted_;   // the open clause, sorted, to find repeats
    std::vector<uint8_t> kept_;
    uint32_t next_k_ = 0;
    size_t aux_made_ = 0;
};

}  // namespace

Ref tseytin(Graph &g, Ref root, std::string_view prefix, size_t *aux_count) {
    if (aux_count) *aux_count = 0;
    Ref r = normalize(g, root);
    if (is_const(r) || g.kind(node_of(r)) == Kind::kVar) return r;
    Encoder encoder(g, prefix);
    Ref out = encoder.run(r);
    if (aux_count) *aux_count = encoder.aux_count();
    return out;
}

}  // namespace se::bxpr
