// The native evaluation of first-generation texts (see text_evaluator.hpp). Every step takes the
// host's route through the operators: which operand's method runs, which numbers are promoted,
// and in which order the summation adds its items.
#include "lp1/text_evaluator.hpp"

#include <limits>
#include <utility>

namespace zk::lp1 {

namespace {

using texts::Comprehension;
using texts::Node;
using texts::NodeKind;
using texts::ReadText;

// The evaluation leaves what it reproduces exactly.
struct Decline {};

// Unit expressions are exact in native form below this column (the sparse library's 32-bit
// extent).
constexpr std::int64_t kMaxColumn = std::numeric_limits<std::int32_t>::max();

constexpr std::uint64_t kPollEvery = 1 << 16;

struct Value {
    enum class Kind : std::uint8_t { kInt, kFloat, kExpr };
    Kind kind = Kind::kInt;
    std::int64_t i = 0;
    double f = 0.0;
    Polynomial p;

    static Value of_int(std::int64_t v) {
        Value r;
        r.i = v;
        return r;
    }
    static Value of_float(double v) {
        Value r;
        r.kind = Kind::kFloat;
        r.f = v;
        return r;
    }
    static Value of_expr(Polynomial &&p) {
        Value r;
        r.kind = Kind::kExpr;
        r.p = std::move(p);
        return r;
    }
    bool is_expr() const { return kind == Kind::kExpr; }
    Number number() const { return kind == Kind::kInt ? Number::of_int(i) : Number::of_float(f); }
    double as_double() const { return kind == Kind::kInt ? static_cast<double>(i) : f; }
};

Polynomial must(std::optional<Polynomial> &&p) {
    if (!p) throw Decline{};
    return std::move(*p);
}

class Evaluator {
  public:
    Evaluator(const ReadText &text, const std::vector<NameBinding> &names, const Poll &poll)
        : text_(text), names_(names), poll_(poll), slots_(text.slots, 0) {}

    Value eval(const Node &n) {
        switch (n.kind) {
            case NodeKind::kInt:
                return Value::of_int(n.value);
            case NodeKind::kFloat:
                return Value::of_float(n.number);
            case NodeKind::kLocal:
                return Value::of_int(slots_[static_cast<std::size_t>(n.value)]);
            case NodeKind::kPos:
                return positive_of(eval(text_.child(n, 0)));
            case NodeKind::kNeg:
                return negative_of(eval(text_.child(n, 0)));
            case NodeKind::kAdd:
            case NodeKind::kSub: {
                Value a = eval(text_.child(n, 0));
                Value b = eval(text_.child(n, 1));
                return sum_of(std::move(a), std::move(b), n.kind == NodeKind::kSub);
            }
            case NodeKind::kMul: {
                Value a = eval(text_.child(n, 0));
                Value b = eval(text_.child(n, 1));
                return product_of(std::move(a), std::move(b));
            }
            case NodeKind::kCall:
                return call(n);
            default:
                throw Decline{};
        }
    }

    // Every item of a list display or comprehension, in order.
    template <typename F>
    void for_items(const Node &n, F &&f) {
        for_item_nodes(n, [&](const Node &item) { f(eval(item)); });
    }

  private:
    // Every item node of a list display or comprehension, in order, the for-clause targets bound.
    template <typename F>
    void for_item_nodes(const Node &n, F &&f) {
        if (n.kind == NodeKind::kList) {
            for (std::uint32_t k = 0; k < n.count; ++k) f(text_.child(n, k));
            return;
        }
        if (n.kind != NodeKind::kComprehension) throw Decline{};
        const Comprehension &c = text_.comprehensions[static_cast<std::size_t>(n.value)];
        const Node &element = text_.nodes[c.element];
        iterate(c, 0, [&] { f(element); });
    }

    template <typename F>
    void iterate(const Comprehension &c, std::size_t k, const F &f) {
        if (k == c.loops.size()) {
            if (++iterations_ % kPollEvery == 0 && poll_) poll_();
            f();
            return;
        }
        const texts::Loop &loop = c.loops[k];
        const std::int64_t size = loop.size();
        for (std::int64_t j = 0; j < size; ++j) {
            slots_[loop.slot] = loop.at(j);
            iterate(c, k + 1, f);
        }
    }

    static Value positive_of(Value v) {
        if (v.is_expr()) return Value::of_expr(positive(v.p));
        return v;
    }

    static Value negative_of(Value v) {
        switch (v.kind) {
            case Value::Kind::kInt:
                if (v.i == std::numeric_limits<std::int64_t>::min()) throw Decline{};
                return Value::of_int(-v.i);
            case Value::Kind::kFloat:
                return Value::of_float(-v.f);
            default:
                return Value::of_expr(must(negative(v.p)));
        }
    }

    // a + b, a - b. A number on the left hands an expression on the right to its reflected
    // addition, which adds the number; the expressions have no reflected subtraction.
    static Value sum_of(Value a, Value b, bool subtract) {
        if (a.is_expr() && b.is_expr()) return Value::of_expr(must(add(a.p, b.p, subtract)));
        if (a.is_expr()) return Value::of_expr(must(add(a.p, b.number(), subtract)));
        if (b.is_expr()) {
            if (subtract) throw Decline{};
            return Value::of_expr(must(add(b.p, a.number(), false)));
        }
        if (a.kind == Value::Kind::kInt && b.kind == Value::Kind::kInt) {
            std::int64_t r = 0;
            bool overflow = subtract ? __builtin_sub_overflow(a.i, b.i, &r)
                                     : __builtin_add_overflow(a.i, b.i, &r);
            if (overflow) throw Decline{};
            return Value::of_int(r);
        }
        return Value::of_float(subtract ? a.as_double() - b.as_double()
                                        : a.as_double() + b.as_double());
    }

    // a * b: an expression scales by a number on either side; two expressions multiply when
    // neither has a quadratic part.
    static Value product_of(Value a, Value b) {
        if (a.is_expr() && b.is_expr()) {
            if (a.p.quadratic_ || b.p.quadratic_) throw Decline{};
            return Value::of_expr(must(multiply(a.p, b.p)));
        }
        if (a.is_expr()) return Value::of_expr(must(scale(a.p, b.number())));
        if (b.is_expr()) return Value::of_expr(must(scale(b.p, a.number())));
        if (a.kind == Value::Kind::kInt && b.kind == Value::Kind::kInt) {
            std::int64_t r = 0;
            if (__builtin_mul_overflow(a.i, b.i, &r)) throw Decline{};
            return Value::of_int(r);
        }
        return Value::of_float(a.as_double() * b.as_double());
    }

    Value call(const Node &n) {
        const NameBinding &binding = names_[static_cast<std::size_t>(n.value)];
        switch (binding.kind) {
            case NameBinding::Kind::kBlock:
                return element(binding.block, n);
            case NameBinding::Kind::kSum:
                return summation(n);
            default:
                throw Decline{};
        }
    }

    // The unit expression of one element: items beyond the dimensions are ignored, missing
    // trailing ones count as 0, every other one must lie inside its dimension.
    Value element(const BlockShape &block, const Node &n) {
        return Value::of_expr(unit_polynomial(column_of(block, n)));
    }

    std::int64_t column_of(const BlockShape &block, const Node &n) {
        std::int64_t column = block.first;
        for (std::uint32_t k = 0; k < n.count; ++k) {
            Value v = eval(text_.child(n, k));
            if (v.kind != Value::Kind::kInt) throw Decline{};
            if (k >= block.sizes.size()) continue;
            if (v.i < 0 || v.i >= block.sizes[k]) throw Decline{};
            column += v.i * block.strides[k];
        }
        for (std::size_t d = n.count; d < block.sizes.size(); ++d) {
            const std::int64_t value = 0;
            if (value < 0 || value >= block.sizes[d]) throw Decline{};
            column += value * block.strides[d];
        }
        if (column < 0 || column >= kMaxColumn) throw Decline{};
        return column;
    }

    Value summation(const Node &n) {
        if (n.count != 1) throw Decline{};
        SumBuilder builder;
        // Plain elements, the usual items, are summed through one unit expression moved from
        // column to column: the builder copies what it keeps.
        Polynomial unit = unit_polynomial(0);
        for_item_nodes(text_.child(n, 0), [&](const Node &node) {
            if (node.kind == NodeKind::kCall) {
                const NameBinding &binding = names_[static_cast<std::size_t>(node.value)];
                if (binding.kind == NameBinding::Kind::kBlock) {
                    const std::int64_t g = column_of(binding.block, node);
                    unit.linear_.rows_ = g + 1;
                    unit.linear_.row_[0] = g;
                    SumItem item;
                    item.expression_ = &unit;
                    if (!builder.add(item)) throw Decline{};
                    return;
                }
            }
            Value v = eval(node);
            SumItem item;
            if (v.is_expr())
                item.expression_ = &v.p;
            else
                item.number_ = v.number();
            if (!builder.add(item)) throw Decline{};
        });
        SumResult r = builder.finish();
        if (r.expression_) return Value::of_expr(std::move(*r.expression_));
        return Value::of_expr(constant_polynomial(r.number_));
    }

    const ReadText &text_;
    const std::vector<NameBinding> &names_;
    const Poll &poll_;
    std::vector<std::int64_t> slots_;
    std::uint64_t iterations_ = 0;
};

}  // namespace

std::optional<std::vector<Polynomial>> evaluate_items(const ReadText &text,
                                                      const std::vector<NameBinding> &names,
                                                      const Poll &poll) {
    try {
        Evaluator ev(text, names, poll);
        std::vector<Polynomial> out;
        ev.for_items(text.nodes[text.root], [&](Value v) {
            if (!v.is_expr()) throw Decline{};
            out.push_back(std::move(v.p));
        });
        return out;
    } catch (const Decline &) {
        return std::nullopt;
    }
}

std::optional<Polynomial> evaluate_one(const ReadText &text, const std::vector<NameBinding> &names,
                                       const Poll &poll) {
    try {
        Evaluator ev(text, names, poll);
        Value v = ev.eval(text.nodes[text.root]);
        if (!v.is_expr()) return std::nullopt;
        return std::move(v.p);
    } catch (const Decline &) {
        return std::nullopt;
    }
}

}  // namespace zk::lp1
