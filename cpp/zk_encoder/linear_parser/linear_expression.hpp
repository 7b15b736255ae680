// State of the linear text expressions of zk_encoder.linear_parser.linear_expression. Other
// modules of the first linear generation may read it through nanobind (bound types are shared
// across the package's extension modules); they create expressions through the Python classes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/module.hpp"
#include "common/python_private.hpp"
#include "lp1/polynomial.hpp"
#include "texts/decimal.hpp"
#include "texts/names.hpp"

namespace zk::lp1 {

// Texts name blocks, and a model evaluates a text with its own blocks bound to their names: a
// reference written by another model's block of the same name would silently become one of this
// model's columns. So each block has an identity of its own, made at its first reference and
// shared by every expression whose text names it; the model holding that very block is the only
// one that may evaluate the text. An identity lives as long as a block or an expression holds it,
// so no other block can ever have the same one.
struct BlockId {
    std::string name_;
    // The name as the key a namespace is looked up with (as far as the C string goes).
    nb::object key_;
    // The block's layout: its first column, and the size and stride of each dimension (the text
    // of a reference to one of its elements is written from it when read).
    std::int64_t first_ = 0;
    std::vector<std::int64_t> sizes_;
    std::vector<std::int64_t> strides_;
};
using BlockIdPtr = std::shared_ptr<const BlockId>;

// The blocks an expression's text names (none: null), ordered by identity, each once.
struct BlockRefs {
    std::vector<BlockIdPtr> ids_;
};
using BlockRefsPtr = std::shared_ptr<const BlockRefs>;

inline BlockRefsPtr merged_refs(const BlockRefsPtr &a, const BlockRefsPtr &b) {
    if (!b || a == b) return a;
    if (!a) return b;
    auto before = std::owner_less<BlockIdPtr>();
    // Most operands name blocks the other already names: nothing new to make then.
    if (std::includes(a->ids_.begin(), a->ids_.end(), b->ids_.begin(), b->ids_.end(), before))
        return a;
    if (std::includes(b->ids_.begin(), b->ids_.end(), a->ids_.begin(), a->ids_.end(), before))
        return b;
    auto out = std::make_shared<BlockRefs>();
    std::set_union(a->ids_.begin(), a->ids_.end(), b->ids_.begin(), b->ids_.end(),
                   std::back_inserter(out->ids_), before);
    return out;
}

// A text not written yet: its pieces in order, each a text the host made (an exact str), a number
// written as str() writes it (an exact int within 64 bits or an exact float) or another such
// text; with a separator, one between every two pieces. A text that only reaches the model's
// evaluation never has to be written, and a sum of a million items shares its items' texts
// instead of copying them. Pieces hold nothing that can refer back to an expression, so the
// expressions holding them can stay out of the host's cycle collection.
struct TextNode;
using TextPtr = std::shared_ptr<const TextNode>;

struct TextPiece {
    nb::object object_;
    TextPtr node_;
};

struct TextNode {
    std::vector<TextPiece> pieces_;
    nb::object separator_;
    // The text once written, for every expression that shares the node.
    mutable nb::object written_;

    TextNode() = default;
    TextNode(const TextNode &) = delete;
    TextNode &operator=(const TextNode &) = delete;
    // A sum built by a loop nests its texts as deep as the loop ran: freed without recursion.
    ~TextNode() {
        std::vector<TextPtr> stack;
        for (TextPiece &p : pieces_)
            if (p.node_) stack.push_back(std::move(p.node_));
        while (!stack.empty()) {
            TextPtr n = std::move(stack.back());
            stack.pop_back();
            if (n.use_count() != 1) continue;
            // The last owner: its children are taken before it goes, so it frees none itself.
            for (TextPiece &p : const_cast<TextNode &>(*n).pieces_)
                if (p.node_) stack.push_back(std::move(p.node_));
        }
    }
};

// The text of the node, written once and kept in it.
inline nb::object written_text(const TextPtr &root) {
    if (root->written_.is_valid()) return root->written_;
    nb::list parts;
    struct Frame {
        const TextNode *node_;
        std::size_t next_;
    };
    std::vector<Frame> stack{{root.get(), 0}};
    auto append = [&](PyObject *piece) {
        if (PyList_Append(parts.ptr(), piece) != 0) throw nb::python_error();
    };
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next_ == f.node_->pieces_.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t k = f.next_++;
        if (k > 0 && f.node_->separator_.is_valid()) append(f.node_->separator_.ptr());
        const TextPiece &p = f.node_->pieces_[k];
        if (p.node_) {
            if (p.node_->written_.is_valid())
                append(p.node_->written_.ptr());
            else
                stack.push_back({p.node_.get(), 0});
        } else if (PyUnicode_CheckExact(p.object_.ptr())) {
            append(p.object_.ptr());
        } else {
            nb::object s = nb::steal(PyObject_Str(p.object_.ptr()));
            if (!s.is_valid()) throw nb::python_error();
            append(s.ptr());
        }
    }
    nb::object empty = nb::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty.is_valid()) throw nb::python_error();
    PyObject *r = PyUnicode_Join(empty.ptr(), parts.ptr());
    if (!r) throw nb::python_error();
    root->written_ = nb::steal(r);
    return root->written_;
}

// The numeric value the text evaluates to in the model that holds its blocks, where the operators
// could tell it: the polynomial that evaluation gives, entry for entry, or (the most common text
// by far, a million of which a program may hold at once) one element times a number, kept
// unexpanded, or a sum written left to right ("a + b + c + 5"), kept as its items until its value
// is asked for. Unknown (the text is the only form) for texts a program wrote, references through
// index placeholders, and whatever the native arithmetic leaves to the host.
struct SumChain;

struct NativeTerm {
    std::shared_ptr<const Polynomial> polynomial_;
    std::shared_ptr<const SumChain> chain_;
    // The factor of a scaled element: an int within 64 bits or a float (nothing wider is kept).
    union {
        std::int64_t factor_int_;
        double factor_float_;
    };
    // Elements are kept so only below the int32 extent the native form holds (a million
    // products held at once: every byte of the expression counts).
    std::int32_t column_ = -1;
    bool scaled_ = false;
    bool factor_is_float_ = false;

    NativeTerm() : factor_int_(0) {}

    bool known() const { return polynomial_ != nullptr || column_ >= 0 || chain_ != nullptr; }
    Number factor() const {
        return factor_is_float_ ? Number::of_float(factor_float_) : Number::of_int(factor_int_);
    }
    void set_factor(const Number &k) {
        scaled_ = true;
        factor_is_float_ = k.type_ == Dtype::kFloat64;
        if (factor_is_float_)
            factor_float_ = k.f_;
        else
            factor_int_ = k.i_;
    }
};

// One item of a sum written left to right and the items before it (none for the first): an
// expression's term, or a number added to the sum.
struct SumChain {
    std::shared_ptr<const SumChain> previous_;
    NativeTerm term_;
    bool is_number_ = false;
    Number number_;

    SumChain() = default;
    SumChain(const SumChain &) = delete;
    SumChain &operator=(const SumChain &) = delete;
    // A sum built by a loop is as long as the loop ran: freed without recursion.
    ~SumChain() {
        std::shared_ptr<const SumChain> p = std::move(previous_);
        while (p && p.use_count() == 1) {
            std::shared_ptr<const SumChain> next = std::move(const_cast<SumChain &>(*p).previous_);
            p = std::move(next);
        }
    }
};

inline const Polynomial *term_value(const NativeTerm &t, Polynomial &scratch);

// The values of known terms, one at a time, for a sum that copies each before the next: an
// element times a factor scales the unit value 1, whatever the column, so one scaled unit per
// factor serves every element, moved to the column (a row of a few elements would otherwise
// make and free two polynomials per element). A few scaled units are kept; past them, a new
// factor takes the place of the oldest, rewritten in place where both are of one type, so that
// a sum whose every factor differs (a target of a million float prices) makes no array per term.
class TermValues {
  public:
    // Valid until the next call; null when the arithmetic leaves the term to the host.
    const Polynomial *value(const NativeTerm &t) {
        if (t.polynomial_ || t.chain_ || t.column_ < 0) return term_value(t, scratch_);
        Polynomial *p = &unit_;
        if (t.scaled_) {
            p = scaled_unit(t.factor());
            if (!p) return nullptr;
        }
        p->linear_.rows_ = t.column_ + 1;
        p->linear_.row_[0] = t.column_;
        return p;
    }

  private:
    struct Scaled {
        Number factor_;
        Polynomial value_;
    };
    static constexpr std::size_t kScaledUnits = 32;

    static bool same(const Number &a, const Number &b) {
        return a.type_ == b.type_ && a.i_ == b.i_ && std::memcmp(&a.f_, &b.f_, sizeof(double)) == 0;
    }

    // 1 times k (of k's type, an int within 64 bits or a float), with the constant 0 times k.
    Polynomial *scaled_unit(const Number &k) {
        for (Scaled &s : scaled_)
            if (same(s.factor_, k)) return &s.value_;
        if (scaled_.size() < kScaledUnits) {
            std::optional<Polynomial> made = scale(unit_polynomial(0), k);
            if (!made) return nullptr;
            scaled_.push_back(Scaled{k, std::move(*made)});
            return &scaled_.back().value_;
        }
        Scaled &oldest = scaled_[next_++ % kScaledUnits];
        if (oldest.factor_.type_ == k.type_) {
            // The unit's one value is k itself: only the constant needs the arithmetic (and
            // makes no array).
            oldest.value_.constant_ = times_zero(k);
            if (k.type_ == Dtype::kFloat64)
                oldest.value_.linear_.values_.floats_[0] = k.f_;
            else
                oldest.value_.linear_.values_.ints_[0] = k.i_;
        } else {
            std::optional<Polynomial> made = scale(unit_polynomial(0), k);
            if (!made) return nullptr;
            oldest.value_ = std::move(*made);
        }
        oldest.factor_ = k;
        return &oldest.value_;
    }

    Polynomial scratch_;
    Polynomial unit_ = unit_polynomial(0);
    std::vector<Scaled> scaled_;
    std::size_t next_ = 0;
};

// The sum a + b + c ... as the evaluation computes it, step by step from the left: the host's
// builtin sum gives the same entries in one pass, from a start of 0, which changes only the
// constant and only where the first is a float -0.0 (0 + -0.0 is 0.0); that constant is then
// added up step by step. The one pass costs less than the steps from two items on: each step
// copies the sum so far.
inline const Polynomial *chain_value(const SumChain &last, Polynomial &scratch) {
    std::vector<const SumChain *> items;
    for (const SumChain *c = &last; c; c = c->previous_.get()) items.push_back(c);
    std::reverse(items.begin(), items.end());
    TermValues values;
    if (items.size() == 1) {
        const Polynomial *p = values.value(items[0]->term_);
        if (!p) return nullptr;
        scratch = *p;
        return &scratch;
    }
    SumBuilder builder;
    Number first;
    for (std::size_t k = 0; k < items.size(); ++k) {
        SumItem s;
        if (items[k]->is_number_) {
            s.number_ = items[k]->number_;
        } else {
            s.expression_ = values.value(items[k]->term_);
            if (!s.expression_) return nullptr;
            if (k == 0) first = s.expression_->constant_;
        }
        if (!builder.add(s)) return nullptr;
    }
    SumResult r = builder.finish();
    if (!r.expression_) return nullptr;
    scratch = std::move(*r.expression_);
    if (first.type_ == Dtype::kFloat64 && first.f_ == 0.0 && std::signbit(first.f_)) {
        Number c = first;
        for (std::size_t k = 1; k < items.size(); ++k) {
            Number next = items[k]->is_number_ ? items[k]->number_ : Number();
            if (!items[k]->is_number_) {
                const Polynomial *p = values.value(items[k]->term_);
                if (!p) return nullptr;
                next = p->constant_;
            }
            std::optional<Polynomial> step =
                add(constant_polynomial(c), constant_polynomial(next), false);
            if (!step) return nullptr;
            c = step->constant_;
        }
        scratch.constant_ = c;
    }
    return &scratch;
}

// The polynomial of a known term: the one it holds, or the one made in `scratch` (its element
// times its factor, or its sum); null when the arithmetic leaves it to the host.
inline const Polynomial *term_value(const NativeTerm &t, Polynomial &scratch) {
    if (t.polynomial_) return t.polynomial_.get();
    if (t.chain_) return chain_value(*t.chain_, scratch);
    if (t.column_ < 0) return nullptr;
    scratch = unit_polynomial(t.column_);
    if (!t.scaled_) return &scratch;
    std::optional<Polynomial> p = scale(scratch, t.factor());
    if (!p) return nullptr;
    scratch = std::move(*p);
    return &scratch;
}

// A text written only when read, from what the expression holds: a reference to one element of
// a block ("x(1,2)", from its block's layout and its column), or a plain int times such a
// reference ("3 * (x(1,2))"). A program makes them by the million, and most are only ever summed
// into a model.
enum class Pending : std::uint8_t { kNone, kElement, kProduct };

// The reference text of the element at `column` of the block `b` (the index along each
// dimension, as a subscript of plain ints writes it), times `factor` when one is given: "x(1,2)",
// "3 * (x(1,2))". The first dimension runs fastest (stride 1), so the indexes are read off from
// the last dimension down, one division each.
inline void append_element_text(std::string &out, const BlockId &b, std::int64_t column,
                                const std::int64_t *factor = nullptr) {
    const std::size_t dims = b.sizes_.size();
    std::int64_t few[8];
    std::vector<std::int64_t> many(dims > 8 ? dims : 0);
    std::int64_t *index = dims > 8 ? many.data() : few;
    std::int64_t rest = column - b.first_;
    for (std::size_t d = dims; d-- > 1;) {
        // An element exists only where every dimension has one, so no stride is 0 here.
        if (b.strides_[d] <= 0) throw std::logic_error("an element of a block without elements");
        index[d] = rest / b.strides_[d];
        rest -= index[d] * b.strides_[d];
    }
    if (dims > 0) index[0] = rest;
    if (factor) {
        texts::append_decimal(out, *factor);
        out += " * (";
    }
    texts::append_element_reference(out, b.name_, index, dims);
    if (factor) out += ')';
}

// A source text and its optional bounds, all kept exactly as given: the constructor converts
// nothing, and only a comparison sets the bounds of its fresh copy. `blocks_` are the blocks
// whose references the text holds. An operator's result keeps its text unwritten (`text_`, with
// `expression_` null) until a program or an evaluation by the host reads it, and its value in
// `native_` where known. `chain_`: the text is a sum or difference at its top level, which a
// template that appends it after " + " would regroup. `pending_`: the text is one written from
// the element (the one block of `blocks_`, the column and factor of `native_`) when read.
struct LinearExpression {
    nb::object expression_;
    nb::object lo_;
    nb::object hi_;
    BlockRefsPtr blocks_;
    TextPtr text_;
    NativeTerm native_;
    bool chain_ = false;
    Pending pending_ = Pending::kNone;

    explicit LinearExpression(nb::object expression, BlockRefsPtr blocks = nullptr)
        : expression_(std::move(expression)),
          lo_(nb::none()),
          hi_(nb::none()),
          blocks_(std::move(blocks)) {}

    LinearExpression(TextPtr text, BlockRefsPtr blocks, NativeTerm native, bool chain)
        : lo_(nb::none()),
          hi_(nb::none()),
          blocks_(std::move(blocks)),
          text_(std::move(text)),
          native_(std::move(native)),
          chain_(chain) {}

    // Appends the text that `pending_` stands for.
    void append_pending(std::string &out) const {
        append_element_text(out, *blocks_->ids_[0], native_.column_,
                            pending_ == Pending::kProduct ? &native_.factor_int_ : nullptr);
    }

    // The text, written now if it was not yet.
    const nb::object &text() {
        if (!expression_.is_valid()) {
            if (pending_ != Pending::kNone) {
                std::string written;
                append_pending(written);
                PyObject *s = PyUnicode_DecodeUTF8(
                    written.data(), static_cast<Py_ssize_t>(written.size()), nullptr);
                if (!s) throw nb::python_error();
                expression_ = nb::steal(s);
                pending_ = Pending::kNone;
            } else {
                expression_ = written_text(text_);
                text_.reset();
            }
        }
        return expression_;
    }
};

// An object that cannot refer to anything: no cycle can pass through it.
inline bool is_atom(PyObject *obj) {
    return obj == nullptr || obj == Py_None || PyUnicode_CheckExact(obj) ||
           PyLong_CheckExact(obj) || PyFloat_CheckExact(obj);
}

// Takes an expression out of the host's cycle collection when it holds nothing that could refer
// back to it (`also`: a field of a derived state): a program that keeps a million products in a
// list would otherwise have every collection walk them. The expression classes track it again
// before anything else is stored in it (an attribute, its attribute dictionary handed out).
inline void untrack_if_acyclic(nb::handle obj, const LinearExpression &e,
                               PyObject *also = nullptr) {
    PyObject *o = obj.ptr();
    if (!PyObject_GC_IsTracked(o)) return;
    if (PyObject **dict = py_private::dict_ptr(o); dict && *dict) return;
    if (!is_atom(e.expression_.ptr()) || !is_atom(e.lo_.ptr()) || !is_atom(e.hi_.ptr()) ||
        !is_atom(also))
        return;
    PyObject_GC_UnTrack(o);
}

// The reference text of one variable element; it is both the text and `_name`.
struct LinearVariableProxy : LinearExpression {
    nb::object name_;

    explicit LinearVariableProxy(nb::object name, BlockRefsPtr blocks = nullptr)
        : LinearExpression(name, std::move(blocks)), name_(std::move(name)) {}
};

// The constructor classes keep nothing beyond their text; each needs a C++ type of its own
// because nanobind binds one Python class per C++ type.
struct Sum : LinearExpression {
    using LinearExpression::LinearExpression;
};
struct SumIt : LinearExpression {
    using LinearExpression::LinearExpression;
};

}  // namespace zk::lp1
