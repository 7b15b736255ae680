// The arithmetic of numeric linear expressions, entry for entry as scipy's sparse operations give
// it (see polynomial.hpp): the constants as the host's numbers compute them, the sparse parts by
// the shared component's arrays (linear/sparse_array.hpp).
#include "lp1/polynomial.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "linear/sparse_array.hpp"

namespace zk::lp1 {

using linear::array_sum;
using linear::negated_values;
using linear::scaled_values;
using linear::with_values;

namespace {

// ---------------------------------------------------------------------------------------------
// Numbers, as the host's int and float operators compute them.

std::optional<Number> number_add(const Number &a, const Number &b, bool subtract) {
    if (a.is_int() && b.is_int()) {
        std::int64_t r = 0;
        bool overflow = subtract ? __builtin_sub_overflow(a.i_, b.i_, &r)
                                 : __builtin_add_overflow(a.i_, b.i_, &r);
        if (!overflow) return Number::of_int(r);
    }
    if (a.is_integer() && b.is_integer())
        return Number::of_exact(subtract ? a.exact() - b.exact() : a.exact() + b.exact());
    const double x = a.as_double(), y = b.as_double();
    if (!std::isfinite(x) && a.is_integer()) return std::nullopt;
    if (!std::isfinite(y) && b.is_integer()) return std::nullopt;
    return Number::of_float(subtract ? x - y : x + y);
}

std::optional<Number> number_mul(const Number &a, const Number &b) {
    if (a.is_int() && b.is_int()) {
        std::int64_t r = 0;
        if (!__builtin_mul_overflow(a.i_, b.i_, &r)) return Number::of_int(r);
    }
    if (a.is_integer() && b.is_integer()) return Number::of_exact(a.exact() * b.exact());
    const double x = a.as_double(), y = b.as_double();
    if (!std::isfinite(x) && a.is_integer()) return std::nullopt;
    if (!std::isfinite(y) && b.is_integer()) return std::nullopt;
    return Number::of_float(x * y);
}

Number number_neg(const Number &a) {
    switch (a.type_) {
        case Dtype::kInt64:
            if (a.i_ != std::numeric_limits<std::int64_t>::min()) return Number::of_int(-a.i_);
            return Number::of_exact(-a.exact());
        case Dtype::kObject:
            return Number::of_exact(-a.x_);
        default:
            return Number::of_float(-a.f_);
    }
}

// A NaN or an infinity added to an expression: the expressions' addition refuses it, which is
// the host's to do (in the host's order).
bool not_finite(const Number &n) { return n.type_ == Dtype::kFloat64 && !std::isfinite(n.f_); }

}  // namespace

struct SumBuilder::State {
    Number total_ = Number::of_int(0);
    bool started_ = false;
    Number constant_;
    linear::ArraySum linear_, quadratic_;
};

SumBuilder::SumBuilder() : state_(std::make_unique<State>()) {}
SumBuilder::~SumBuilder() = default;

bool SumBuilder::add(const SumItem &item) {
    State &s = *state_;
    if (!item.expression_) {
        if (s.started_ && not_finite(item.number_)) return false;
        std::optional<Number> n = s.started_ ? number_add(s.constant_, item.number_, false)
                                             : number_add(s.total_, item.number_, false);
        if (!n) return false;
        (s.started_ ? s.constant_ : s.total_) = *n;
        return true;
    }
    const Polynomial &p = *item.expression_;
    if (!s.started_) {  // the number so far plus the first expression: a copy of it
        if (not_finite(s.total_)) return false;
        std::optional<Number> n = number_add(p.constant_, s.total_, false);
        if (!n) return false;
        s.constant_ = *n;
        s.linear_.start(p.linear_);
        if (p.quadratic_) s.quadratic_.start(*p.quadratic_);
        s.started_ = true;
        return true;
    }
    std::optional<Number> n = number_add(s.constant_, p.constant_, false);
    if (!n) return false;
    s.constant_ = *n;
    if (!s.linear_.add(p.linear_)) return false;
    if (p.quadratic_) {
        if (s.quadratic_.present()) return s.quadratic_.add(*p.quadratic_);
        s.quadratic_.start(*p.quadratic_);
    }
    return true;
}

SumResult SumBuilder::finish() {
    State &s = *state_;
    SumResult result;
    if (!s.started_) {
        result.number_ = s.total_;
        return result;
    }
    Polynomial p;
    p.constant_ = s.constant_;
    p.linear_ = s.linear_.finish();
    if (s.quadratic_.present()) p.quadratic_ = s.quadratic_.finish();
    result.expression_ = std::move(p);
    return result;
}

std::optional<SumResult> sum_items(const std::vector<SumItem> &items) {
    SumBuilder builder;
    for (const SumItem &item : items)
        if (!builder.add(item)) return std::nullopt;
    return builder.finish();
}

Polynomial positive(const Polynomial &e) { return e; }

std::optional<Polynomial> negative(const Polynomial &e) {
    Polynomial r;
    r.constant_ = number_neg(e.constant_);
    r.linear_ = with_values(e.linear_, negated_values(e.linear_.values_));
    if (e.quadratic_)
        r.quadratic_ = with_values(*e.quadratic_, negated_values(e.quadratic_->values_));
    return r;
}

std::optional<Polynomial> add(const Polynomial &e, const Polynomial &f, bool subtract) {
    std::optional<Number> c = number_add(e.constant_, f.constant_, subtract);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant_ = *c;
    std::optional<Coo> linear = array_sum(e.linear_, f.linear_, subtract);
    if (!linear) return std::nullopt;
    r.linear_ = std::move(*linear);
    if (e.quadratic_ && f.quadratic_) {
        std::optional<Coo> q = array_sum(*e.quadratic_, *f.quadratic_, subtract);
        if (!q) return std::nullopt;
        r.quadratic_ = std::move(*q);
    } else if (e.quadratic_) {
        r.quadratic_ = e.quadratic_;
    } else if (f.quadratic_) {
        r.quadratic_ = f.quadratic_;
        if (subtract) r.quadratic_->values_ = negated_values(f.quadratic_->values_);
    }
    return r;
}

std::optional<Polynomial> add(const Polynomial &e, Number k, bool subtract) {
    std::optional<Number> c = number_add(e.constant_, k, subtract);
    if (!c) return std::nullopt;
    Polynomial r = e;
    r.constant_ = *c;
    return r;
}

std::optional<Polynomial> scale(const Polynomial &e, Number k) {
    std::optional<Number> c = number_mul(k, e.constant_);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant_ = *c;
    std::optional<Values> lv = scaled_values(e.linear_.values_, k);
    if (!lv) return std::nullopt;
    r.linear_ = with_values(e.linear_, std::move(*lv));
    if (e.quadratic_) {
        std::optional<Values> qv = scaled_values(e.quadratic_->values_, k);
        if (!qv) return std::nullopt;
        r.quadratic_ = with_values(*e.quadratic_, std::move(*qv));
    }
    return r;
}

std::optional<Polynomial> multiply(const Polynomial &e, const Polynomial &f) {
    std::optional<Number> c = number_mul(f.constant_, e.constant_);
    if (!c) return std::nullopt;
    Polynomial r;
    r.constant_ = *c;
    // c(f) a + c(e) b
    std::optional<Values> av = scaled_values(e.linear_.values_, f.constant_);
    std::optional<Values> bv = scaled_values(f.linear_.values_, e.constant_);
    if (!av || !bv) return std::nullopt;
    std::optional<Coo> linear = array_sum(with_values(e.linear_, std::move(*av)),
                                          with_values(f.linear_, std::move(*bv)), false);
    if (!linear) return std::nullopt;
    r.linear_ = std::move(*linear);
    r.quadratic_ = linear::symmetric_product(e.linear_, f.linear_);
    if (!r.quadratic_) return std::nullopt;
    return r;
}

std::optional<Compressed> hessian(const Coo &q) {
    Compressed h = linear::compressed_columns(q);
    if (q.nnz() == 0) return h;
    std::optional<Values> doubled = scaled_values(h.values_, Number::of_int(2));
    if (!doubled) return std::nullopt;
    h.values_ = std::move(*doubled);
    return h;
}

}  // namespace zk::lp1
