// The reader of the library's expression texts (see expression_reader.hpp).
#include "texts/expression_reader.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace zk::texts {

namespace {

constexpr std::string_view kRange = "range";
constexpr std::string_view kFor = "for";
constexpr std::string_view kIn = "in";

// Deeper texts are left to the host, whose own limits then apply; the evaluation recurses.
constexpr int kMaxDepth = 400;

class Reader {
  public:
    explicit Reader(std::string_view text) : tokens_(text) {
        // About one node per four characters in the texts the library writes.
        out_.nodes_.reserve(text.size() / 4 + 16);
        out_.children_.reserve(text.size() / 4 + 16);
        advance();
    }

    std::optional<ReadText> read() {
        int depth = 0;
        std::optional<std::uint32_t> root = expression(depth, 0);
        if (!root || !at_end()) return std::nullopt;
        out_.root_ = *root;
        // A free name used as a value (a block, the summation class) cannot be a row.
        for (const Node &n : out_.nodes_)
            if (n.kind_ == NodeKind::kName) return std::nullopt;
        // The free names are the callees left; for-clause targets are not looked up.
        std::vector<std::string_view> spelled(name_ids_.size());
        for (const auto &[name, id] : name_ids_) spelled[id] = name;
        std::vector<std::int64_t> renumbered(name_ids_.size(), -1);
        for (Node &n : out_.nodes_) {
            if (n.kind_ != NodeKind::kCall) continue;
            std::int64_t &id = renumbered[static_cast<std::size_t>(n.value_)];
            if (id < 0) {
                id = static_cast<std::int64_t>(out_.names_.size());
                out_.names_.emplace_back(spelled[static_cast<std::size_t>(n.value_)]);
            }
            n.value_ = id;
        }
        return std::move(out_);
    }

  private:
    void advance() { tok_ = tokens_.next(); }
    bool at_end() const { return tok_.kind_ == TokenKind::kEnd; }
    bool is_punct(char c) const {
        return tok_.kind_ == TokenKind::kPunct && tok_.text_.size() == 1 && tok_.text_[0] == c;
    }
    bool is_word(std::string_view w) const {
        return tok_.kind_ == TokenKind::kName && tok_.text_ == w;
    }
    bool take(char c) {
        if (!is_punct(c)) return false;
        advance();
        return true;
    }

    std::uint32_t add_node(Node n, std::initializer_list<std::uint32_t> kids = {}) {
        n.first_ = static_cast<std::uint32_t>(out_.children_.size());
        n.count_ = static_cast<std::uint32_t>(kids.size());
        for (std::uint32_t k : kids) out_.children_.push_back(k);
        out_.nodes_.push_back(n);
        return static_cast<std::uint32_t>(out_.nodes_.size() - 1);
    }

    std::uint32_t name_id(std::string_view name) {
        // Texts name the same block over and over.
        if (last_id_ >= 0 && name == last_name_) return static_cast<std::uint32_t>(last_id_);
        auto [it, fresh] =
            name_ids_.try_emplace(name, static_cast<std::uint32_t>(name_ids_.size()));
        (void)fresh;
        last_name_ = name;
        last_id_ = it->second;
        return it->second;
    }

    // expr := term (('+' | '-') term)*
    std::optional<std::uint32_t> expression(int &depth, int nesting) {
        if (nesting > kMaxDepth) return std::nullopt;
        std::optional<std::uint32_t> left = term(depth, nesting);
        if (!left) return std::nullopt;
        while (is_punct('+') || is_punct('-')) {
            NodeKind kind = is_punct('+') ? NodeKind::kAdd : NodeKind::kSub;
            advance();
            int right_depth = 0;
            std::optional<std::uint32_t> right = term(right_depth, nesting);
            if (!right) return std::nullopt;
            depth = std::max(depth, right_depth) + 1;
            if (depth > kMaxDepth) return std::nullopt;
            Node n;
            n.kind_ = kind;
            left = add_node(n, {*left, *right});
        }
        return left;
    }

    // term := unary ('*' unary)*
    std::optional<std::uint32_t> term(int &depth, int nesting) {
        std::optional<std::uint32_t> left = unary(depth, nesting);
        if (!left) return std::nullopt;
        while (is_punct('*')) {
            advance();
            int right_depth = 0;
            std::optional<std::uint32_t> right = unary(right_depth, nesting);
            if (!right) return std::nullopt;
            depth = std::max(depth, right_depth) + 1;
            if (depth > kMaxDepth) return std::nullopt;
            Node n;
            n.kind_ = NodeKind::kMul;
            left = add_node(n, {*left, *right});
        }
        return left;
    }

    // unary := ('+' | '-') unary | primary
    std::optional<std::uint32_t> unary(int &depth, int nesting) {
        if (is_punct('+') || is_punct('-')) {
            NodeKind kind = is_punct('+') ? NodeKind::kPos : NodeKind::kNeg;
            advance();
            if (nesting + 1 > kMaxDepth) return std::nullopt;
            std::optional<std::uint32_t> operand = unary(depth, nesting + 1);
            if (!operand) return std::nullopt;
            if (++depth > kMaxDepth) return std::nullopt;
            Node n;
            n.kind_ = kind;
            return add_node(n, {*operand});
        }
        return primary(depth, nesting);
    }

    std::optional<std::uint32_t> primary(int &depth, int nesting) {
        Token t = tok_;
        switch (t.kind_) {
            case TokenKind::kInt: {
                advance();
                Node n;
                n.kind_ = NodeKind::kInt;
                n.value_ = t.int_value_;
                depth = 0;
                return add_node(n);
            }
            case TokenKind::kFloat: {
                advance();
                Node n;
                n.kind_ = NodeKind::kFloat;
                n.number_ = t.float_value_;
                depth = 0;
                return add_node(n);
            }
            case TokenKind::kName: {
                if (!is_identifier(t.text_)) return std::nullopt;
                advance();
                if (!is_punct('(')) {
                    Node n;
                    n.kind_ = NodeKind::kName;
                    n.value_ = name_id(t.text_);
                    depth = 0;
                    return add_node(n);
                }
                advance();
                // The arguments wait on a shared stack: calls nest, and texts hold millions.
                const std::size_t base = pending_.size();
                depth = 0;
                if (!is_punct(')')) {
                    for (;;) {
                        int arg_depth = 0;
                        std::optional<std::uint32_t> arg = expression(arg_depth, nesting + 1);
                        if (!arg) return std::nullopt;
                        depth = std::max(depth, arg_depth);
                        pending_.push_back(*arg);
                        if (!take(',')) break;
                    }
                }
                if (!take(')')) return std::nullopt;
                if (++depth > kMaxDepth) return std::nullopt;
                Node n;
                n.kind_ = NodeKind::kCall;
                n.value_ = name_id(t.text_);
                return add_pending(n, base);
            }
            case TokenKind::kPunct:
                if (is_punct('(')) {
                    advance();
                    std::optional<std::uint32_t> inner = expression(depth, nesting + 1);
                    if (!inner || !take(')')) return std::nullopt;
                    return inner;
                }
                if (is_punct('[')) {
                    advance();
                    return list(depth, nesting + 1);
                }
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }

    // After '[': a list display (commas, an optional trailing one) or a comprehension of one
    // element and its for-clauses.
    std::optional<std::uint32_t> list(int &depth, int nesting) {
        if (nesting > kMaxDepth) return std::nullopt;
        const std::size_t base = pending_.size();
        depth = 0;
        if (take(']')) return make_list(base, depth);
        int item_depth = 0;
        std::optional<std::uint32_t> first = expression(item_depth, nesting);
        if (!first) return std::nullopt;
        depth = item_depth;
        if (is_word(kFor)) return comprehension(*first, depth);
        pending_.push_back(*first);
        while (take(',')) {
            if (is_punct(']')) break;
            item_depth = 0;
            std::optional<std::uint32_t> item = expression(item_depth, nesting);
            if (!item) return std::nullopt;
            depth = std::max(depth, item_depth);
            pending_.push_back(*item);
        }
        if (!take(']')) return std::nullopt;
        return make_list(base, depth);
    }

    std::optional<std::uint32_t> make_list(std::size_t base, int &depth) {
        if (++depth > kMaxDepth) return std::nullopt;
        Node n;
        n.kind_ = NodeKind::kList;
        return add_pending(n, base);
    }

    // A node whose children are the pending ones from `base` on.
    std::uint32_t add_pending(Node n, std::size_t base) {
        n.first_ = static_cast<std::uint32_t>(out_.children_.size());
        n.count_ = static_cast<std::uint32_t>(pending_.size() - base);
        out_.children_.insert(out_.children_.end(), pending_.begin() + base, pending_.end());
        pending_.resize(base);
        out_.nodes_.push_back(n);
        return static_cast<std::uint32_t>(out_.nodes_.size() - 1);
    }

    std::optional<std::uint32_t> comprehension(std::uint32_t element, int &depth) {
        Comprehension c;
        c.element_ = element;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> targets;  // name id, slot
        while (is_word(kFor)) {
            advance();
            if (tok_.kind_ != TokenKind::kName || !is_identifier(tok_.text_)) return std::nullopt;
            // A target named like the builtin would hide it from a later clause.
            if (tok_.text_ == kRange) return std::nullopt;
            std::uint32_t id = name_id(tok_.text_);
            advance();
            if (!is_word(kIn)) return std::nullopt;
            advance();
            Loop loop;
            if (!iterable(loop)) return std::nullopt;
            // A name bound twice in one comprehension is one local.
            std::uint32_t slot = out_.slots_;
            bool known = false;
            for (const auto &[tid, tslot] : targets)
                if (tid == id) {
                    slot = tslot;
                    known = true;
                }
            if (!known) {
                targets.emplace_back(id, slot);
                ++out_.slots_;
            }
            loop.slot_ = slot;
            c.loops_.push_back(std::move(loop));
        }
        if (!take(']')) return std::nullopt;
        // The element's free names bound by these targets become locals; callees among them
        // would call an integer.
        if (!bind(element, targets)) return std::nullopt;
        if (++depth > kMaxDepth) return std::nullopt;
        out_.comprehensions_.push_back(std::move(c));
        Node n;
        n.kind_ = NodeKind::kComprehension;
        n.value_ = static_cast<std::int64_t>(out_.comprehensions_.size() - 1);
        return add_node(n);
    }

    bool bind(std::uint32_t node,
              const std::vector<std::pair<std::uint32_t, std::uint32_t>> &targets) {
        Node &n = out_.nodes_[node];
        if (n.kind_ == NodeKind::kName || n.kind_ == NodeKind::kCall) {
            for (const auto &[id, slot] : targets) {
                if (static_cast<std::uint32_t>(n.value_) != id) continue;
                if (n.kind_ == NodeKind::kCall) return false;
                n.kind_ = NodeKind::kLocal;
                n.value_ = slot;
                break;
            }
        }
        if (n.kind_ == NodeKind::kComprehension) {
            const Comprehension &inner = out_.comprehensions_[static_cast<std::size_t>(n.value_)];
            return bind(inner.element_, targets);
        }
        const std::uint32_t first = n.first_, count = n.kind_ == NodeKind::kLocal ? 0 : n.count_;
        for (std::uint32_t k = 0; k < count; ++k)
            if (!bind(out_.children_[first + k], targets)) return false;
        return true;
    }

    bool signed_int(std::int64_t &out) {
        bool negative = false;
        if (is_punct('-') || is_punct('+')) {
            negative = is_punct('-');
            advance();
        }
        if (tok_.kind_ != TokenKind::kInt) return false;
        out = negative ? -tok_.int_value_ : tok_.int_value_;
        advance();
        return true;
    }

    // range(a), range(a, b), range(a, b, c) over integer literals; or a list or tuple display of
    // integer literals.
    bool iterable(Loop &loop) {
        if (is_word(kRange)) {
            advance();
            if (!take('(')) return false;
            std::int64_t args[3];
            int n = 0;
            for (;;) {
                if (n == 3 || !signed_int(args[n])) return false;
                ++n;
                if (!take(',')) break;
            }
            if (!take(')')) return false;
            std::int64_t start = n == 1 ? 0 : args[0];
            std::int64_t stop = n == 1 ? args[0] : args[1];
            std::int64_t step = n == 3 ? args[2] : 1;
            if (step == 0) return false;
            __int128 span = static_cast<__int128>(stop) - start;
            __int128 count = 0;
            if (step > 0 && span > 0) count = (span + step - 1) / step;
            if (step < 0 && span < 0)
                count =
                    (-span + (-static_cast<__int128>(step)) - 1) / (-static_cast<__int128>(step));
            loop.range_ = true;
            loop.start_ = start;
            loop.step_ = step;
            loop.count_ = static_cast<std::int64_t>(count);
            out_.uses_range_ = true;
            return true;
        }
        const bool tuple = is_punct('(');
        if (!tuple && !is_punct('[')) return false;
        const char close = tuple ? ')' : ']';
        advance();
        bool comma = false;
        while (!is_punct(close)) {
            std::int64_t v = 0;
            if (!signed_int(v)) return false;
            loop.values_.push_back(v);
            comma = take(',');
            if (!comma) break;
        }
        if (!take(close)) return false;
        // (5) is the integer 5, not a tuple.
        if (tuple && loop.values_.size() == 1 && !comma) return false;
        return true;
    }

    Tokenizer tokens_;
    Token tok_;
    ReadText out_;
    std::unordered_map<std::string_view, std::uint32_t> name_ids_;
    std::string_view last_name_;
    std::int64_t last_id_ = -1;
    std::vector<std::uint32_t> pending_;
};

}  // namespace

std::optional<ReadText> read_expression(std::string_view text) {
    // The host reads a text with leading blanks as an indented block.
    if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) return std::nullopt;
    Reader reader(text);
    return reader.read();
}

}  // namespace zk::texts
