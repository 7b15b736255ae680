// The native evaluation of first-generation texts (see text_evaluator.hpp). Every step takes the
// host's route through the operators: which operand's method runs, which numbers are promoted,
// and in which order the summation adds its items.
#include "lp1/text_evaluator.hpp"

#include <cmath>
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
    Kind kind_ = Kind::kInt;
    std::int64_t i_ = 0;
    double f_ = 0.0;
    Polynomial p_;

    static Value of_int(std::int64_t v) {
        Value r;
        r.i_ = v;
        return r;
    }
    static Value of_float(double v) {
        Value r;
        r.kind_ = Kind::kFloat;
        r.f_ = v;
        return r;
    }
    static Value of_expr(Polynomial &&p) {
        Value r;
        r.kind_ = Kind::kExpr;
        r.p_ = std::move(p);
        return r;
    }
    bool is_expr() const { return kind_ == Kind::kExpr; }
    Number number() const {
        return kind_ == Kind::kInt ? Number::of_int(i_) : Number::of_float(f_);
    }
    double as_double() const { return kind_ == Kind::kInt ? static_cast<double>(i_) : f_; }
};

Polynomial must(std::optional<Polynomial> &&p) {
    if (!p) throw Decline{};
    return std::move(*p);
}

class Evaluator {
  public:
    Evaluator(const ReadText &text, const std::vector<NameBinding> &names, const Poll &poll)
        : text_(text), names_(names), poll_(poll), slots_(text.slots_, 0) {}

    Value eval(const Node &n) {
        switch (n.kind_) {
            case NodeKind::kInt:
                return Value::of_int(n.value_);
            case NodeKind::kFloat:
                return Value::of_float(n.number_);
            case NodeKind::kLocal:
                return Value::of_int(slots_[static_cast<std::size_t>(n.value_)]);
            case NodeKind::kPos:
                return positive_of(eval(text_.child(n, 0)));
            case NodeKind::kNeg:
                return negative_of(eval(text_.child(n, 0)));
            case NodeKind::kAdd:
            case NodeKind::kSub: {
                Value a = eval(text_.child(n, 0));
                Value b = eval(text_.child(n, 1));
                return sum_of(std::move(a), std::move(b), n.kind_ == NodeKind::kSub);
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
        if (n.kind_ == NodeKind::kList) {
            for (std::uint32_t k = 0; k < n.count_; ++k) f(text_.child(n, k));
            return;
        }
        if (n.kind_ != NodeKind::kComprehension) throw Decline{};
        const Comprehension &c = text_.comprehensions_[static_cast<std::size_t>(n.value_)];
        const Node &element = text_.nodes_[c.element_];
        iterate(c, 0, [&] { f(element); });
    }

    template <typename F>
    void iterate(const Comprehension &c, std::size_t k, const F &f) {
        if (k == c.loops_.size()) {
            if (++iterations_ % kPollEvery == 0 && poll_) poll_();
            f();
            return;
        }
        const texts::Loop &loop = c.loops_[k];
        const std::int64_t size = loop.size();
        for (std::int64_t j = 0; j < size; ++j) {
            slots_[loop.slot_] = loop.at(j);
            iterate(c, k + 1, f);
        }
    }

    static Value positive_of(Value v) {
        if (v.is_expr()) return Value::of_expr(positive(v.p_));
        return v;
    }

    static Value negative_of(Value v) {
        switch (v.kind_) {
            case Value::Kind::kInt:
                if (v.i_ == std::numeric_limits<std::int64_t>::min()) throw Decline{};
                return Value::of_int(-v.i_);
            case Value::Kind::kFloat:
                return Value::of_float(-v.f_);
            default:
                return Value::of_expr(must(negative(v.p_)));
        }
    }

    // A NaN or an infinity meeting an expression: the expressions' operators refuse it, and
    // which of them does so first is the host's order to keep.
    static void decline_not_finite(const Value &v) {
        if (v.kind_ == Value::Kind::kFloat && !std::isfinite(v.f_)) throw Decline{};
    }

    // a + b, a - b. A number on the left hands an expression on the right to its reflected
    // addition, which adds the number; the expressions have no reflected subtraction.
    static Value sum_of(Value a, Value b, bool subtract) {
        if (a.is_expr() || b.is_expr()) {
            decline_not_finite(a);
            decline_not_finite(b);
        }
        if (a.is_expr() && b.is_expr()) return Value::of_expr(must(add(a.p_, b.p_, subtract)));
        if (a.is_expr()) return Value::of_expr(must(add(a.p_, b.number(), subtract)));
        if (b.is_expr()) {
            if (subtract) throw Decline{};
            return Value::of_expr(must(add(b.p_, a.number(), false)));
        }
        if (a.kind_ == Value::Kind::kInt && b.kind_ == Value::Kind::kInt) {
            std::int64_t r = 0;
            bool overflow = subtract ? __builtin_sub_overflow(a.i_, b.i_, &r)
                                     : __builtin_add_overflow(a.i_, b.i_, &r);
            if (overflow) throw Decline{};
            return Value::of_int(r);
        }
        return Value::of_float(subtract ? a.as_double() - b.as_double()
                                        : a.as_double() + b.as_double());
    }

    // a * b: an expression scales by a number on either side; two expressions multiply when
    // neither has a quadratic part.
    static Value product_of(Value a, Value b) {
        if (a.is_expr() || b.is_expr()) {
            decline_not_finite(a);
            decline_not_finite(b);
        }
        if (a.is_expr() && b.is_expr()) {
            if (a.p_.quadratic_ || b.p_.quadratic_) throw Decline{};
            return Value::of_expr(must(multiply(a.p_, b.p_)));
        }
        if (a.is_expr()) return Value::of_expr(must(scale(a.p_, b.number())));
        if (b.is_expr()) return Value::of_expr(must(scale(b.p_, a.number())));
        if (a.kind_ == Value::Kind::kInt && b.kind_ == Value::Kind::kInt) {
            std::int64_t r = 0;
            if (__builtin_mul_overflow(a.i_, b.i_, &r)) throw Decline{};
            return Value::of_int(r);
        }
        return Value::of_float(a.as_double() * b.as_double());
    }

    Value call(const Node &n) {
        const NameBinding &binding = names_[static_cast<std::size_t>(n.value_)];
        switch (binding.kind_) {
            case NameBinding::Kind::kBlock:
                return element(binding.block_, n);
            case NameBinding::Kind::kSum:
                return summation(n);
            default:
                throw Decline{};
        }
    }

    // The unit expression of one element: one item per dimension, each inside its dimension
    // (the block's own call refuses anything else).
    Value element(const BlockShape &block, const Node &n) {
        return Value::of_expr(unit_polynomial(column_of(block, n)));
    }

    std::int64_t column_of(const BlockShape &block, const Node &n) {
        if (n.count_ != block.sizes_.size()) throw Decline{};
        std::int64_t column = block.first_;
        for (std::uint32_t k = 0; k < n.count_; ++k) {
            Value v = eval(text_.child(n, k));
            if (v.kind_ != Value::Kind::kInt) throw Decline{};
            if (v.i_ < 0 || v.i_ >= block.sizes_[k]) throw Decline{};
            column += v.i_ * block.strides_[k];
        }
        if (column < 0 || column >= kMaxColumn) throw Decline{};
        return column;
    }

    Value summation(const Node &n) {
        if (n.count_ != 1) throw Decline{};
        SumBuilder builder;
        // Plain elements, the usual items, are summed through one unit expression moved from
        // column to column: the builder copies what it keeps.
        Polynomial unit = unit_polynomial(0);
        for_item_nodes(text_.child(n, 0), [&](const Node &node) {
            if (node.kind_ == NodeKind::kCall) {
                const NameBinding &binding = names_[static_cast<std::size_t>(node.value_)];
                if (binding.kind_ == NameBinding::Kind::kBlock) {
                    const std::int64_t g = column_of(binding.block_, node);
                    unit.linear_.rows_ = g + 1;
                    unit.linear_.row_[0] = g;
                    SumItem item;
                    item.expression_ = &unit;
                    if (!builder.add(item)) throw Decline{};
                    return;
                }
            }
            Value v = eval(node);
            decline_not_finite(v);
            SumItem item;
            if (v.is_expr())
                item.expression_ = &v.p_;
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
        ev.for_items(text.nodes_[text.root_], [&](Value v) {
            if (!v.is_expr()) throw Decline{};
            out.push_back(std::move(v.p_));
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
        Value v = ev.eval(text.nodes_[text.root_]);
        if (!v.is_expr()) return std::nullopt;
        return std::move(v.p_);
    } catch (const Decline &) {
        return std::nullopt;
    }
}

}  // namespace zk::lp1
