// State of the numeric rows of zk_encoder.linear_parser2._expression. Every field a constructor
// receives is kept as the Python object it was given: the arrays are numpy and scipy objects.
// Rows that element references and the arithmetic of single rows make keep their coefficients as
// a plain row instead (RowCoefs), made into the csr_array when read. Beside them each row and
// block records the variable arrays its columns come from (Origin). Modules that receive rows
// may read the fields through nanobind (bound types are shared across the package's extension
// modules); they build rows only through the Python classes, whose constructors run the module's
// checks, except that indexing a variable array makes its rows (RowCoefs) and blocks of picked
// columns (BlockCoefs::picked) directly and records their origin.
#pragma once

#include <nanobind/ndarray.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/arrays.hpp"
#include "common/module.hpp"
#include "linear/sparse_row.hpp"

namespace zk::lp2 {

namespace nb = nanobind;

// A new instance of the bound class T holding `value`, as nb::cast gives it, without the type
// and address look-ups of the cast: the rows stated one term at a time make these at every step.
template <typename T>
nb::object new_instance(T &&value) {
    static const nb::handle type = nb::type<T>();
    nb::object inst = nb::inst_alloc(type);
    new (nb::inst_ptr<T>(inst)) T(std::move(value));
    nb::inst_mark_ready(inst);
    return inst;
}

// The instance of T an object field holds, or null (unset, or None once the collector cleared
// it).
template <typename T>
T *instance_of(const nb::object &obj) {
    if (!obj.is_valid() || obj.is_none() || !nb::inst_ready(obj)) return nullptr;
    return nb::inst_ptr<T>(obj);
}

// The variable arrays whose columns a row or block holds, each once (by identity), so that a
// model can refuse another model's variables before the engine sees them. A row made from arrays
// directly (by its constructor, or from a pickled state) has none: a null origin, or `others_`
// once it is combined with rows that have them; a model checks those columns by their numbers
// alone. The references keep the arrays alive, so an identity is never taken by another array.
// An origin is an object of the host's, shared by the rows made from one another, one reference
// per row, so that the arrays it holds are shown to the collector through every row that holds
// it (a row kept in an attribute of its own array closes a cycle the collector frees).
class Origin {
  public:
    std::vector<nb::object> arrays_;  // ordered by address
    bool others_ = false;             // also columns of no known array

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        for (const nb::object &a : nb::inst_ptr<Origin>(self)->arrays_) Py_VISIT(a.ptr());
        return 0;
    }
    // A cleared origin knows no array: the columns of its rows are checked by their numbers.
    static int clear(PyObject *self) {
        if (nb::inst_ready(self)) {
            Origin *o = nb::inst_ptr<Origin>(self);
            std::vector<nb::object> gone = std::move(o->arrays_);
            o->arrays_.clear();
            o->others_ = true;
        }
        return 0;
    }
};

// A row's or block's reference to its origin (an Origin object), or none.
class OriginPtr {
  public:
    OriginPtr() = default;
    explicit OriginPtr(nb::object obj) : obj_(std::move(obj)) {}

    const Origin *get() const { return instance_of<Origin>(obj_); }
    const Origin *operator->() const { return get(); }
    const Origin &operator*() const { return *get(); }
    explicit operator bool() const { return get() != nullptr; }
    bool operator==(const OriginPtr &o) const { return get() == o.get(); }
    const nb::object &object() const { return obj_; }

    // The collector's view (see GcSlots): a cleared reference is no origin.
    friend int gc_visit(const OriginPtr &p, visitproc visit, void *arg) {
        Py_VISIT(p.obj_.ptr());
        return 0;
    }
    friend void gc_clear(OriginPtr &p) { p.obj_ = nb::object(); }

  private:
    nb::object obj_;
};

inline OriginPtr new_origin(Origin &&o) { return OriginPtr(new_instance(std::move(o))); }

// The origin of the rows of one variable array.
inline OriginPtr origin_of_array(nb::handle array) {
    Origin o;
    o.arrays_.push_back(nb::borrow(array));
    return new_origin(std::move(o));
}

// An origin whose columns a model checks by their numbers too (null stays null: no origin at all
// is checked that way already).
inline OriginPtr with_others(const OriginPtr &o) {
    if (!o || o->others_) return o;
    Origin c;
    c.arrays_ = o->arrays_;
    c.others_ = true;
    return new_origin(std::move(c));
}

// A message of both the blocks' comparisons and the model's bound vectors.
inline constexpr const char *kBorderSize =
    "The size of the border must match the number of constraints.";

// Arrays of the library's values go out through the one maker.
using arrays::numpy_of;

// The stored values and the column indices of a plain row as numpy arrays of its dtypes.
inline nb::object row_values(const linear::SparseRow &r) {
    switch (r.width_) {
        case linear::Dtype::kInt32:
            return numpy_of(std::vector<int32_t>(r.ints_.begin(), r.ints_.end()));
        case linear::Dtype::kInt64:
            return numpy_of(std::vector<int64_t>(r.ints_));
        default:
            return numpy_of(std::vector<double>(r.reals_));
    }
}

inline nb::object row_indices(const std::vector<int32_t> &v, linear::IndexType index) {
    if (index == linear::IndexType::kInt32) return numpy_of(std::vector<int32_t>(v));
    return numpy_of(std::vector<int64_t>(v.begin(), v.end()));
}

// What a model hands the engine for a row: the count and the arrays it counts.
struct PlainArrays {
    nb::object count_, indices_, values_;
};

// The collector's slots of a holder class T (its static traverse and clear).
template <typename T>
struct HolderSlots {
    static inline PyType_Slot slots_[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(T::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(T::clear)},
        {0, nullptr},
    };
};

// The coefficients of a row that element references and the arithmetic of single rows make:
// kept as a plain row, and made into the csr_array when first asked for (the arrays the sparse
// library's own operations would have given), then kept, so every read gives the same object.
// Rows made from one another share it. It is an object of the host's, one reference per row, so
// that what it holds of the host's is shown to the collector through every row that holds it.
// The plain row is the truth only until its arrays leave the library: to the engine (as the
// values and column indices the matrix made later holds, as it would had it been made first) or
// as the matrix. A program (or an engine) may hold those and write into them, so from then on
// the plain row is dropped, `plain()` is null, and every reader takes the arrays.
class RowCoefs {
  public:
    explicit RowCoefs(linear::SparseRow row)
        : row_(std::move(row)), length_(row_.length_), index_(row_.index_) {}

    const linear::SparseRow *plain() const { return values_.is_valid() ? nullptr : &row_; }

    // The values and column indices, made from the plain row the first time; they are the
    // truth from then on.
    PlainArrays hand_out() {
        if (!values_.is_valid()) {
            indices_ = row_indices(row_.cols_, index_);
            values_ = row_values(row_);
            row_ = linear::SparseRow();
        }
        return {nb::int_(PyObject_Length(values_.ptr())), indices_, values_};
    }

    // The matrix, made by `make(values, indices, length, index)` the first time.
    template <typename Make>
    const nb::object &matrix(Make make) {
        if (!matrix_.is_valid()) {
            PlainArrays a = hand_out();
            nb::object m = make(a.values_, a.indices_, length_, index_);
            // The maker may have run program code that made it meanwhile: the first one stays.
            if (!matrix_.is_valid()) matrix_ = std::move(m);
        }
        return matrix_;
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        const RowCoefs *c = nb::inst_ptr<RowCoefs>(self);
        Py_VISIT(c->matrix_.ptr());
        Py_VISIT(c->values_.ptr());
        Py_VISIT(c->indices_.ptr());
        return 0;
    }
    // A cleared holder has no plain row, and its matrix reads as None.
    static int clear(PyObject *self) {
        if (nb::inst_ready(self)) {
            RowCoefs *c = nb::inst_ptr<RowCoefs>(self);
            c->row_ = linear::SparseRow();
            c->values_ = nb::none();
            c->indices_ = nb::none();
            c->matrix_ = nb::none();
        }
        return 0;
    }

  private:
    linear::SparseRow row_;
    int64_t length_;
    linear::IndexType index_;
    nb::object values_, indices_, matrix_;
};

inline nb::object new_coefs(linear::SparseRow &&row) {
    return new_instance(RowCoefs(std::move(row)));
}

// One affine row over all solver columns, with an optional quadratic part and bounds.
struct LinearExpression {
    nb::object constant_;                // a number
    nb::object linear_coefficients_;     // 1-D csr_array of length N; invalid while coefs_ is set
    nb::object quadratic_coefficients_;  // None or an N x N csc_array
    nb::object lower_bound_;             // None or the bound
    nb::object upper_bound_;             // None or the bound
    OriginPtr origin_;
    nb::object coefs_;  // the coefficients as a RowCoefs, or invalid
};

inline nb::object new_row(LinearExpression &&r) { return new_instance(std::move(r)); }

// The plain row of a row's coefficients while it is their truth (no matrix made yet); null
// otherwise.
inline const linear::SparseRow *plain_row(const LinearExpression &r) {
    const RowCoefs *c = instance_of<RowCoefs>(r.coefs_);
    return c ? c->plain() : nullptr;
}

// What a model hands the engine for a row while its plain row is its truth: its values and
// column indices, which are the truth from then on, and the count of those arrays themselves. A
// null count otherwise: the model reads the matrix.
inline PlainArrays plain_arrays(const LinearExpression &r) {
    RowCoefs *c = instance_of<RowCoefs>(r.coefs_);
    return c && c->plain() ? c->hand_out() : PlainArrays{};
}

// The coefficient matrix of a block. A program that adds up many blocks (a transport model's
// rows are sums of a thousand columns each) would otherwise pay the sparse library's fixed cost
// on every block and every sum; so the blocks that indexing makes, and sums and differences of
// them, are kept as plain arrays and a tree of operations, and the matrix is made once, when it
// is first read, with exactly the arrays the sparse library's own sums would have given (integer
// sums exact where the library's would wrap around). Once made it is kept: every read gives that
// same object.
// Each node is an object of the host's, one reference per block or parent node, so that a matrix
// once made, and the nodes below, are shown to the collector through every holder. Once made,
// the matrix is the block's truth (a program may hold it and write into it): a node with a
// matrix takes part in no further sum as arrays (`lazy()`), and every reader takes the matrix.
class BlockCoefs {
  public:
    enum class Kind { kMatrix, kPicked, kSum };

    Kind kind_ = Kind::kMatrix;
    // kMatrix: the matrix as given (any object). Otherwise the matrix once made.
    nb::object matrix_;
    // kPicked and kSum: rows x width, float64 values (else integers), an upper bound on the stored
    // entries.
    int64_t rows_ = 0, width_ = 0, stored_ = 0;
    bool float_ = false;
    // kPicked: row r holds the value 1 at column cols_[r].
    std::vector<int32_t> cols_;
    // kSum: left_ + right_, or left_ - right_ (BlockCoefs objects).
    nb::object left_, right_;
    bool minus_ = false;

    static nb::object matrix(nb::object m) {
        BlockCoefs c;
        c.matrix_ = std::move(m);
        return new_instance(std::move(c));
    }

    // Rows of one value 1 each (float64 or int32), at the given columns of `width`.
    static nb::object picked(std::vector<int32_t> cols, int64_t width, bool is_float) {
        BlockCoefs c;
        c.kind_ = Kind::kPicked;
        c.rows_ = static_cast<int64_t>(cols.size());
        c.width_ = width;
        c.stored_ = c.rows_;
        c.float_ = is_float;
        c.cols_ = std::move(cols);
        return new_instance(std::move(c));
    }

    // Not yet made into a matrix: may take part in further sums without one.
    bool lazy() const { return kind_ != Kind::kMatrix && !matrix_.is_valid(); }

    BlockCoefs() = default;
    BlockCoefs(BlockCoefs &&) = default;
    BlockCoefs(const BlockCoefs &) = delete;
    BlockCoefs &operator=(const BlockCoefs &) = delete;

    // A program that adds blocks one by one with the host's sum() makes a chain as long as the
    // number of blocks: it is taken apart here without recursion, each node whose last holder
    // this is giving up its children before it goes.
    ~BlockCoefs() {
        std::vector<nb::object> pending;
        auto take = [&pending](nb::object &p) {
            if (p.is_valid()) pending.push_back(std::move(p));
        };
        take(left_);
        take(right_);
        while (!pending.empty()) {
            nb::object p = std::move(pending.back());
            pending.pop_back();
            if (Py_REFCNT(p.ptr()) == 1 && nb::inst_ready(p)) {
                BlockCoefs *owned = nb::inst_ptr<BlockCoefs>(p);
                take(owned->left_);
                take(owned->right_);
            }
        }
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        const BlockCoefs *c = nb::inst_ptr<BlockCoefs>(self);
        Py_VISIT(c->matrix_.ptr());
        Py_VISIT(c->left_.ptr());
        Py_VISIT(c->right_.ptr());
        return 0;
    }
    // A cleared node is a matrix node holding None.
    static int clear(PyObject *self) {
        if (nb::inst_ready(self)) {
            BlockCoefs *c = nb::inst_ptr<BlockCoefs>(self);
            c->kind_ = Kind::kMatrix;
            c->matrix_ = nb::none();
            nb::object l = std::move(c->left_), r = std::move(c->right_);
        }
        return 0;
    }
};

inline const BlockCoefs *block_coefs(const nb::object &obj) { return instance_of<BlockCoefs>(obj); }

// A block of k rows: a (k, N) csr_array, one constant and optionally one bound per row.
struct LinearExpressionsArr {
    nb::object constants_;     // 1-D numpy array, one entry per row
    nb::object coefs_;         // a BlockCoefs: the 2-D csr_array, or how to make it
    nb::object lower_bounds_;  // None or 1-D numpy array
    nb::object upper_bounds_;  // None or 1-D numpy array
    nb::object is_init_;       // true: `sum` adds the stored values by column directly
    OriginPtr origin_;
};

// The origin a model may rely on for a row or block: the recorded one while the coefficients are
// still the library's own arrays; once a program can hold them (a matrix made, or given), their
// columns are checked by their numbers and their values for finiteness as well.
inline OriginPtr trusted_origin(const LinearExpression &r) {
    return plain_row(r) ? r.origin_ : with_others(r.origin_);
}
inline OriginPtr trusted_origin(const LinearExpressionsArr &b) {
    const BlockCoefs *c = block_coefs(b.coefs_);
    return c && c->lazy() ? b.origin_ : with_others(b.origin_);
}

}  // namespace zk::lp2
