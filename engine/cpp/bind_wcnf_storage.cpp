// nubrix.sorn_engine.wcnf_storage: the clause storage, hard and weighted clauses with their stamps
// and preliminary values, filled clause by clause or a block of arrays at a time, written as
// DIMACS CNF or WCNF.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "clause_objects.hpp"
#include "common/format.hpp"
#include "core/wcnf_store.hpp"

namespace se {

namespace {

using clause::PrefatoryMode;
using clause::WcnfStore;
using zk::format_message;

// Operations, as messages name them.
constexpr const char *kAddHardClauses = "add_hard_clauses";
constexpr const char *kAddSoftClauses = "add_soft_clauses";
constexpr const char *kAddHardClause = "add_hard_clause";
constexpr const char *kAddSoftClause = "add_soft_clause";
// What a message names, where the argument is one value.
constexpr const char *kSoftWeight = "add_soft_clause: the weight";
constexpr const char *kVariableCount = "set_variable_count: the count";
constexpr const char *kClauseCount = "set_clause_count: the count";
constexpr const char *kWeightLimit = "set_weight_limit: the weight";
constexpr const char *kPrefatoryLiteral = "insert_prefatory_value: the literal";
constexpr const char *kOffsetsName = "offsets";
constexpr const char *kLiteralsName = "literals";
constexpr const char *kWeightsName = "weights";

// Messages.
constexpr const char *kNotPositiveMsg = "{} must be a positive integer, not {}";
constexpr const char *kNegativeMsg = "{} must not be negative";
constexpr const char *kOffsetsStartMsg =
    "{}: offsets must start with 0 and hold one entry more than there are clauses";
constexpr const char *kOffsetsDecreaseMsg = "{}: offsets must not decrease";
constexpr const char *kLastOffsetMsg =
    "{}: the last offset {} differs from the number of literals, {}";
constexpr const char *kZeroLiteralMsg = "{}: the literal at position {} is 0";
constexpr const char *kLiteralRangeMsg = "{}: literal {} is outside the variable range";
constexpr const char *kBytesPathMsg = "the path must be a text path, not bytes";
constexpr const char *kWeightCountMsg = "{}: {} weights for {} clauses";
constexpr const char *kWeightNotPositiveMsg = "add_soft_clauses: weight {} is not positive";
constexpr const char *kNameTypeMsg = "set_model_name: the name must be a str, not {}";
constexpr const char *kArrayTypeMsg = "{}: {} must be a 1-D numpy integer array, not {}";
constexpr const char *kArrayNdimMsg = "a {}-D array";
constexpr const char *kArrayValueMsg = "{}: {}: {} does not fit in 64 bits";
constexpr const char *kReprFormat = "wcnf_storage({} hard, {} soft clauses)";

// Any dtype, stride and layout: the bulk readers check the dtype and walk the strides
// themselves, so nothing is ever converted (a float or bool array would be truncated silently).
using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

int64_t weight_arg(nb::handle w, const char *what) {
    const int64_t v = int64_arg(w, what);
    if (v <= 0) raise_py(PyExc_ValueError, format_message(kNotPositiveMsg, what, v));
    return v;
}

int64_t count_arg(nb::handle n, const char *what) {
    const int64_t v = int64_arg(n, what);
    if (v < 0) raise_py(PyExc_ValueError, format_message(kNegativeMsg, what));
    return v;
}

nb::object optional_int(const std::optional<int64_t> &v) {
    return v ? nb::object(nb::int_(*v)) : nb::object(nb::none());
}

nb::list clause_list(const int32_t *lits, std::size_t n) { return int_list(lits, n); }

[[noreturn]] void refuse_array(const char *op, const char *what, const std::string &seen) {
    raise_py(PyExc_TypeError, format_message(kArrayTypeMsg, op, what, seen));
}

std::string dtype_name(nb::handle array) {
    nb::object dtype = array.attr("dtype");
    return nb::cast<std::string>(nb::str(dtype));
}

// A 1-D integer array of any width, signedness and stride, read where it lies: the bulk
// insertions convert each value once, straight into the storage, with no copy between.
struct IntegerArray {
    AnyArray array_;  // keeps the memory alive
    const void *data_ = nullptr;
    int64_t stride_ = 1;  // in elements
    std::size_t size_ = 0;
    uint8_t bits_ = 64;
    bool is_signed_ = true;

    // Calls f(const T *values, stride) with T the array's element type.
    template <typename F>
    void visit(F &&f) const {
        switch (bits_) {
            case 8:
                return is_signed_ ? f(static_cast<const int8_t *>(data_), stride_)
                                  : f(static_cast<const uint8_t *>(data_), stride_);
            case 16:
                return is_signed_ ? f(static_cast<const int16_t *>(data_), stride_)
                                  : f(static_cast<const uint16_t *>(data_), stride_);
            case 32:
                return is_signed_ ? f(static_cast<const int32_t *>(data_), stride_)
                                  : f(static_cast<const uint32_t *>(data_), stride_);
            default:
                return is_signed_ ? f(static_cast<const int64_t *>(data_), stride_)
                                  : f(static_cast<const uint64_t *>(data_), stride_);
        }
    }
    int64_t at(std::size_t i) const {
        int64_t v = 0;
        visit([&](const auto *p, int64_t st) {
            v = static_cast<int64_t>(p[static_cast<int64_t>(i) * st]);
        });
        return v;
    }
};

// Checks the array's kind (an empty array may have any dtype: np.array([]) is float64, and it
// holds no value to misread) and that every value fits in 64 bits signed.
IntegerArray integer_array(nb::handle obj, const char *op, const char *what) {
    IntegerArray a;
    if (!nb::try_cast(obj, a.array_, /*convert=*/false)) {
        refuse_array(op, what, nb::hasattr(obj, "dtype") ? dtype_name(obj) : py_type_name(obj));
    }
    if (a.array_.ndim() != 1)
        refuse_array(op, what, format_message(kArrayNdimMsg, a.array_.ndim()));
    a.size_ = a.array_.shape(0);
    if (a.size_ == 0) return a;
    const nb::dlpack::dtype dt = a.array_.dtype();
    const auto code = static_cast<nb::dlpack::dtype_code>(dt.code);
    a.is_signed_ = code == nb::dlpack::dtype_code::Int;
    if ((!a.is_signed_ && code != nb::dlpack::dtype_code::UInt) || dt.lanes != 1 ||
        (dt.bits != 8 && dt.bits != 16 && dt.bits != 32 && dt.bits != 64))
        refuse_array(op, what, dtype_name(obj));
    a.bits_ = dt.bits;
    a.data_ = a.array_.data();
    a.stride_ = a.array_.stride(0);
    if (a.bits_ == 64 && !a.is_signed_) {
        const auto *p = static_cast<const uint64_t *>(a.data_);
        constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        for (std::size_t i = 0; i < a.size_; ++i)
            if (p[static_cast<int64_t>(i) * a.stride_] > kMax)
                raise_py(PyExc_OverflowError,
                         format_message(kArrayValueMsg, op, what,
                                        p[static_cast<int64_t>(i) * a.stride_]));
    }
    return a;
}

template <typename T>
bool literal_ok(T v) {
    if constexpr (std::is_signed_v<T>)
        return v != 0 && static_cast<int64_t>(v) >= -kMaxVariable &&
               static_cast<int64_t>(v) <= kMaxVariable;
    else
        return v != 0 && static_cast<uint64_t>(v) <= static_cast<uint64_t>(kMaxVariable);
}

// The library hands contiguous int64 arrays: for them the loops below are also built for AVX2
// and chosen when the module loads, since 64-bit comparisons have no SSE2 form and the checks
// would otherwise hold the copy to one value a cycle.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define SE_AVX2_CLONE [[gnu::target_clones("avx2", "default")]]
#else
#define SE_AVX2_CLONE
#endif

SE_AVX2_CLONE bool copy_int64_literals(const int64_t *src, std::size_t n, int32_t *dst) {
    uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int64_t v = src[i];
        // One unsigned comparison for the range -kMaxVariable..kMaxVariable.
        bad |= static_cast<uint64_t>(static_cast<uint64_t>(v) + kMaxVariable >
                                     static_cast<uint64_t>(2 * kMaxVariable)) |
               static_cast<uint64_t>(v == 0);
        dst[i] = static_cast<int32_t>(v);
    }
    return bad == 0;
}

SE_AVX2_CLONE bool copy_int64_offsets(const int64_t *src, std::size_t n, int64_t base,
                                      int64_t *dst) {
    uint64_t bad = 0;
    const uint64_t b = static_cast<uint64_t>(base);
    for (std::size_t i = 1; i < n; ++i) {
        bad |= static_cast<uint64_t>(src[i] < src[i - 1]);
        dst[i - 1] = static_cast<int64_t>(b + static_cast<uint64_t>(src[i]));
    }
    return bad == 0;
}

// Copies n values into dst as literals; false when one of them is not a literal.
template <typename T>
bool copy_literals(const T *src, int64_t stride, std::size_t n, int32_t *dst) {
    if constexpr (std::is_same_v<T, int64_t>)
        if (stride == 1) return copy_int64_literals(src, n, dst);
    unsigned ok = 1;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = src[static_cast<int64_t>(i) * stride];
        ok &= static_cast<unsigned>(literal_ok(v));
        dst[i] = static_cast<int32_t>(v);
    }
    return ok != 0;
}

// Writes base + offsets[i + 1] for each of the n - 1 clauses; false when the offsets
// decrease. Unsigned sums: offsets beyond the literals are refused after the copy, by the
// caller, and must not overflow before.
template <typename T>
bool copy_offsets(const T *src, int64_t stride, std::size_t n, int64_t base, int64_t *dst) {
    if constexpr (std::is_same_v<T, int64_t>)
        if (stride == 1) return copy_int64_offsets(src, n, base, dst);
    unsigned ok = 1;
    const uint64_t b = static_cast<uint64_t>(base);
    for (std::size_t i = 1; i < n; ++i) {
        const T prev = src[static_cast<int64_t>(i - 1) * stride];
        const T v = src[static_cast<int64_t>(i) * stride];
        ok &= static_cast<unsigned>(v >= prev);
        dst[i - 1] = static_cast<int64_t>(b + static_cast<uint64_t>(v));
    }
    return ok != 0;
}

// Writes the weights to dst; false when one is not positive.
template <typename T>
bool copy_weights(const T *src, int64_t stride, std::size_t n, int64_t *dst) {
    unsigned ok = 1;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = src[static_cast<int64_t>(i) * stride];
        ok &= static_cast<unsigned>(v > 0);
        dst[i] = static_cast<int64_t>(v);
    }
    return ok != 0;
}

// Writes a CSR-style block (clause i is literals[offsets[i]:offsets[i + 1]]) into room, checking
// it on the way; on a fault, raises (the caller gives the room back first, in undo).
template <typename Undo>
void write_block(const IntegerArray &off, const IntegerArray &lit, const ClauseList::Room &room,
                 const char *what, Undo &&undo) {
    const std::size_t n = off.size_;
    const int64_t nlits = static_cast<int64_t>(lit.size_);
    bool ok = true;
    off.visit(
        [&](const auto *p, int64_t st) { ok = copy_offsets(p, st, n, room.base_, room.offsets_); });
    if (!ok) {
        undo();
        raise_py(PyExc_ValueError, format_message(kOffsetsDecreaseMsg, what));
    }
    const int64_t last = off.at(n - 1);
    if (last != nlits) {
        undo();
        raise_py(PyExc_ValueError, format_message(kLastOffsetMsg, what, last, nlits));
    }
    if (nlits == 0) return;
    lit.visit([&](const auto *p, int64_t st) { ok = copy_literals(p, st, lit.size_, room.lits_); });
    if (ok) return;
    undo();
    for (std::size_t i = 0; i < lit.size_; ++i) {
        const int64_t v = lit.at(i);
        if (v == 0) raise_py(PyExc_ValueError, format_message(kZeroLiteralMsg, what, i));
        if (v > kMaxVariable || v < -kMaxVariable)
            raise_py(PyExc_ValueError, format_message(kLiteralRangeMsg, what, v));
    }
}

// The offsets' first entry, checked before any room is taken.
std::size_t clause_count(const IntegerArray &off, const char *what) {
    if (off.size_ == 0 || off.at(0) != 0)
        raise_py(PyExc_ValueError, format_message(kOffsetsStartMsg, what));
    return off.size_ - 1;
}

void add_hard_block(WcnfStore &store, nb::handle offsets, nb::handle literals) {
    const IntegerArray off = integer_array(offsets, kAddHardClauses, kOffsetsName);
    const IntegerArray lit = integer_array(literals, kAddHardClauses, kLiteralsName);
    const std::size_t n = clause_count(off, kAddHardClauses);
    const std::size_t old = store.hard().size();
    const ClauseList::Room room = store.extend_hard(n, lit.size_);
    write_block(off, lit, room, kAddHardClauses, [&] { store.truncate_hard(old); });
}

void add_soft_block(WcnfStore &store, nb::handle offsets, nb::handle literals, nb::handle weights) {
    const IntegerArray off = integer_array(offsets, kAddSoftClauses, kOffsetsName);
    const IntegerArray lit = integer_array(literals, kAddSoftClauses, kLiteralsName);
    const std::size_t n = clause_count(off, kAddSoftClauses);
    const std::size_t old = store.soft().size();
    const WcnfStore::SoftRoom room = store.extend_soft(n, lit.size_);
    auto undo = [&] { store.truncate_soft(old); };
    write_block(off, lit, room.clauses_, kAddSoftClauses, undo);
    IntegerArray w;
    try {
        w = integer_array(weights, kAddSoftClauses, kWeightsName);
    } catch (...) {
        undo();
        throw;
    }
    if (w.size_ != n) {
        undo();
        raise_py(PyExc_ValueError, format_message(kWeightCountMsg, kAddSoftClauses, w.size_, n));
    }
    if (n == 0) return;
    bool ok = true;
    w.visit([&](const auto *p, int64_t st) { ok = copy_weights(p, st, n, room.weights_); });
    if (ok) return;
    undo();
    for (std::size_t i = 0; i < n; ++i)
        if (w.at(i) <= 0)
            raise_py(PyExc_ValueError, format_message(kWeightNotPositiveMsg, w.at(i)));
}

PrefatoryMode prefatory_mode(bool as_units) {
    return as_units ? PrefatoryMode::kUnits : PrefatoryMode::kComment;
}

std::string path_arg(nb::handle path) {
    nb::object p = nb::module_::import_("os").attr("fspath")(path);
    if (!nb::isinstance<nb::str>(p)) raise_py(PyExc_TypeError, kBytesPathMsg);
    return nb::cast<std::string>(p);
}

template <typename F>
void writing(F &&f) {
    try {
        f();
    } catch (const std::invalid_argument &e) {
        raise_py(PyExc_ValueError, e.what());
    } catch (const std::runtime_error &e) {
        raise_py(PyExc_OSError, e.what());
    }
}

}  // namespace

void register_wcnf_storage(nb::module_ &m) {
    nb::class_<Storage>(m, "wcnf_storage",
                        "Clause storage: hard and weighted (soft) clauses of signed integers, "
                        "stamps and preliminary values; writes DIMACS CNF and WCNF files")
        .def(nb::init<>())
        .def(
            "add_hard_clause",
            [](Storage &s, nb::handle lits) {
                std::vector<int32_t> c;
                literals_arg(lits, kAddHardClause, c);
                s.store_.add_hard(c.data(), c.size());
            },
            nb::arg("lits").none())
        .def(
            "add_soft_clause",
            [](Storage &s, nb::handle lits, nb::handle weight) {
                std::vector<int32_t> c;
                literals_arg(lits, kAddSoftClause, c);
                s.store_.add_soft(c.data(), c.size(), weight_arg(weight, kSoftWeight));
            },
            nb::arg("lits").none(), nb::arg("weight").none())
        .def(
            "add_hard_clauses",
            [](Storage &s, nb::handle offsets, nb::handle literals) {
                add_hard_block(s.store_, offsets, literals);
            },
            nb::arg("offsets"), nb::arg("literals"),
            "Append many hard clauses at once: clause i is literals[offsets[i]:offsets[i + 1]]")
        .def(
            "add_soft_clauses",
            [](Storage &s, nb::handle offsets, nb::handle literals, nb::handle weights) {
                add_soft_block(s.store_, offsets, literals, weights);
            },
            nb::arg("offsets"), nb::arg("literals"), nb::arg("weights"),
            "Append many soft clauses at once, with one weight per clause")
        .def(
            "merge", [](Storage &s, const Storage &other) { s.store_.merge(other.store_); },
            nb::arg("other"), "Append every clause (and preliminary value) of other")
        .def(
            "set_model_name",
            [](Storage &s, nb::handle name) {
                if (!nb::isinstance<nb::str>(name))
                    raise_py(PyExc_TypeError, format_message(kNameTypeMsg, py_type_name(name)));
                s.store_.set_model_name(nb::cast<std::string>(name));
            },
            nb::arg("name").none())
        .def(
            "set_variable_count",
            [](Storage &s, nb::handle n) {
                s.store_.set_variable_count(count_arg(n, kVariableCount));
            },
            nb::arg("n").none())
        .def(
            "set_clause_count",
            [](Storage &s, nb::handle n) { s.store_.set_clause_count(count_arg(n, kClauseCount)); },
            nb::arg("n").none())
        .def(
            "set_weight_limit",
            [](Storage &s, nb::handle w) {
                s.store_.set_weight_limit(weight_arg(w, kWeightLimit));
            },
            nb::arg("weight").none())
        .def(
            "insert_prefatory_value",
            [](Storage &s, nb::handle lit) {
                s.store_.insert_prefatory(literal_arg(lit, kPrefatoryLiteral));
            },
            nb::arg("lit").none(),
            "Record a preliminary value: +n for variable n true, -n for false")
        .def("get_model_name",
             [](const Storage &s) {
                 const auto &n = s.store_.model_name();
                 return n ? nb::object(nb::str(n->c_str(), n->size())) : nb::object(nb::none());
             })
        .def("get_variable_count",
             [](const Storage &s) { return optional_int(s.store_.variable_count()); })
        .def("get_clause_count",
             [](const Storage &s) { return optional_int(s.store_.clause_count()); })
        .def("get_weight_limit",
             [](const Storage &s) { return optional_int(s.store_.weight_limit()); })
        .def("get_prefatory_values",
             [](const Storage &s) {
                 return clause_list(s.store_.prefatory().data(), s.store_.prefatory().size());
             })
        .def("num_hard_clauses", [](const Storage &s) { return s.store_.hard().size(); })
        .def("num_soft_clauses", [](const Storage &s) { return s.store_.soft().size(); })
        .def("__len__",
             [](const Storage &s) { return s.store_.hard().size() + s.store_.soft().size(); })
        .def(
            "max_variable", [](const Storage &s) { return s.store_.max_variable(); },
            "The largest variable in a clause or preliminary value (0 when none)")
        .def(
            "hard_clauses",
            [](const Storage &s) {
                const ClauseList &h = s.store_.hard();
                nb::list out = new_list(h.size());
                Py_ssize_t i = 0;
                h.for_each([&](const int32_t *lits, std::size_t n) {
                    PyList_SET_ITEM(out.ptr(), i++, clause_list(lits, n).release().ptr());
                });
                return out;
            },
            "The hard clauses as lists of integers")
        .def(
            "soft_clauses",
            [](const Storage &s) {
                const ClauseList &c = s.store_.soft();
                nb::list out = new_list(c.size());
                std::size_t i = 0;
                c.for_each([&](const int32_t *lits, std::size_t n) {
                    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                                    nb::make_tuple(clause_list(lits, n), s.store_.weights()[i])
                                        .release()
                                        .ptr());
                    ++i;
                });
                return out;
            },
            "The soft clauses as (clause, weight) pairs")
        .def(
            "hard_clause_arrays",
            [](const Storage &s) {
                return nb::make_tuple(numpy_copy(s.store_.hard().offsets()),
                                      numpy_copy(s.store_.hard().lits()));
            },
            "(offsets, literals) as numpy arrays (int64, int32)")
        .def(
            "soft_clause_arrays",
            [](const Storage &s) {
                return nb::make_tuple(numpy_copy(s.store_.soft().offsets()),
                                      numpy_copy(s.store_.soft().lits()),
                                      numpy_copy(s.store_.weights()));
            },
            "(offsets, literals, weights) as numpy arrays (int64, int32, int64)")
        .def(
            "write_cnf",
            [](const Storage &s, nb::handle path, bool as_units) {
                const std::string p = path_arg(path);
                writing([&] { s.store_.write_cnf(p, prefatory_mode(as_units)); });
            },
            nb::arg("path"), nb::arg("prefatory_as_units") = false,
            "Write the hard clauses as a DIMACS CNF file")
        .def(
            "write_wcnf",
            [](const Storage &s, nb::handle path, bool as_units) {
                const std::string p = path_arg(path);
                writing([&] { s.store_.write_wcnf(p, prefatory_mode(as_units)); });
            },
            nb::arg("path"), nb::arg("prefatory_as_units") = false,
            "Write hard and soft clauses as a (classic) DIMACS WCNF file")
        .def("__repr__", [](const Storage &s) {
            return format_message(kReprFormat, s.store_.hard().size(), s.store_.soft().size());
        });
}

}  // namespace se
