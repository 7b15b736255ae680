// Bindings of the engine's clause side at the top level: the clause storage wcnf_storage, the
// variable mapping var_mapping, the witness_interpreter and the engine manager.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "core/var_map.hpp"
#include "core/wcnf_store.hpp"

namespace se {

namespace {

using clause::PrefatoryMode;
using clause::VarMap;
using clause::WcnfStore;
using clause::WitnessInterpreter;

// Messages.
constexpr const char *kAddHardClauses = "add_hard_clauses";
constexpr const char *kAddSoftClauses = "add_soft_clauses";
constexpr const char *kAddHardClause = "add_hard_clause";
constexpr const char *kAddSoftClause = "add_soft_clause";
constexpr const char *kSoftWeight = "add_soft_clause: the weight";
constexpr const char *kVariableCount = "set_variable_count: the count";
constexpr const char *kClauseCount = "set_clause_count: the count";
constexpr const char *kWeightLimit = "set_weight_limit: the weight";
constexpr const char *kPrefatoryLiteral = "insert_prefatory_value: the literal";
constexpr const char *kMapNumber = "set_var_map: a number";
constexpr const char *kGetNameNumber = "get_name: the number";
constexpr const char *kWitnessLiteral = "interpret: a witness literal";
constexpr const char *kNotPositive = " must be a positive integer, not ";
constexpr const char *kNegative = " must not be negative";
constexpr const char *kOffsetsStart =
    ": offsets must start with 0 and hold one entry more than there are clauses";
constexpr const char *kOffsetsDecrease = ": offsets must not decrease";
constexpr const char *kLastOffset = ": the last offset ";
constexpr const char *kDiffersFrom = " differs from the number of literals, ";
constexpr const char *kZeroAt = ": the literal at position ";
constexpr const char *kIsZero = " is 0";
constexpr const char *kLiteralHead = ": literal ";
constexpr const char *kOutsideRange = " is outside the variable range";
constexpr const char *kBytesPath = "the path must be a text path, not bytes";
constexpr const char *kWeightCount = " weights for ";
constexpr const char *kWeightCountTail = " clauses";
constexpr const char *kWeightHead = "add_soft_clauses: weight ";
constexpr const char *kWeightTail = " is not positive";
constexpr const char *kNameType = "set_model_name: the name must be a str, not ";
constexpr const char *kMapType = "set_var_map: expected a dict of names to numbers, not ";
constexpr const char *kFamiliesType =
    "set_var_families: expected a list of (name, first number, sizes), not ";
constexpr const char *kFamilyType =
    "set_var_families: a family must be (name, first number, sizes), not ";
constexpr const char *kFamilySize = "set_var_families: a size";
constexpr const char *kFamilyRangeHead = "set_var_families: the numbers of family ";
constexpr const char *kFamilyTwiceHead = "set_var_families: a family named twice: ";
constexpr const char *kFamilyElementHead = "set_var_families: the name ";
constexpr const char *kFamilyElementTail = " of other_map is an element of a family";
constexpr const char *kMapKeyType = "set_var_map: a name must be a str, not ";
constexpr const char *kMapNumberHead = "set_var_map: the number ";
constexpr const char *kMapNumberOf = " of ";
constexpr const char *kMapNumberRange = " is outside 0..";
constexpr const char *kMappingType = "set_var_mapping: expected a var_mapping, not ";
constexpr const char *kPrefixesType =
    "set_auxiliary_vars: expected a sequence of str prefixes, not ";
constexpr const char *kPrefixType = "set_auxiliary_vars: a prefix must be a str, not ";
constexpr const char *kNoTables =
    "witness_interpreter: build_mapping_tables() has not succeeded yet";
constexpr const char *kWitnessType = "interpret: the witness must be a sequence of integers, not ";
constexpr const char *kInterpret = "interpret: ";
constexpr const char *kStorageType = "set_cnf_storage: expected a wcnf_storage, not ";
constexpr const char *kInterpreterType =
    "set_witness_interpreter: expected a witness_interpreter, not ";

constexpr const char *kArrayHead = ": ";
constexpr const char *kArrayMiddle = " must be a 1-D numpy integer array, not ";
constexpr const char *kArrayNdimTail = "-D array";
constexpr const char *kValueBeyond64 = " does not fit in 64 bits";
constexpr const char *kOffsetsName = "offsets";
constexpr const char *kLiteralsName = "literals";
constexpr const char *kWeightsName = "weights";

// Any dtype, stride and layout: the bulk readers check the dtype and walk the strides
// themselves, so nothing is ever converted (a float or bool array would be truncated silently).
using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

struct Storage {
    WcnfStore store_;
};

struct Mapping {
    VarMap map_;
};

struct Interpreter {
    WitnessInterpreter wi_;
    nb::object mapping_;  // the var_mapping given, or None
};

struct EngineManager {
    nb::object storage_ = nb::none();
    nb::object interpreter_ = nb::none();
};

int64_t weight_arg(nb::handle w, const char *what) {
    const int64_t v = int64_arg(w, what);
    if (v <= 0) raise_py(PyExc_ValueError, std::string(what) + kNotPositive + std::to_string(v));
    return v;
}

int64_t count_arg(nb::handle n, const char *what) {
    const int64_t v = int64_arg(n, what);
    if (v < 0) raise_py(PyExc_ValueError, std::string(what) + kNegative);
    return v;
}

nb::object optional_int(const std::optional<int64_t> &v) {
    return v ? nb::object(nb::int_(*v)) : nb::object(nb::none());
}

nb::list clause_list(const int32_t *lits, std::size_t n) { return int_list(lits, n); }

[[noreturn]] void refuse_array(const char *op, const char *what, const std::string &seen) {
    raise_py(PyExc_TypeError, std::string(op) + kArrayHead + what + kArrayMiddle + seen);
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
        refuse_array(op, what, "a " + std::to_string(a.array_.ndim()) + kArrayNdimTail);
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
                         std::string(op) + kArrayHead + what + kArrayHead +
                             std::to_string(p[static_cast<int64_t>(i) * a.stride_]) +
                             kValueBeyond64);
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
        raise_py(PyExc_ValueError, std::string(what) + kOffsetsDecrease);
    }
    const int64_t last = off.at(n - 1);
    if (last != nlits) {
        undo();
        raise_py(PyExc_ValueError, std::string(what) + kLastOffset + std::to_string(last) +
                                       kDiffersFrom + std::to_string(nlits));
    }
    if (nlits == 0) return;
    lit.visit([&](const auto *p, int64_t st) { ok = copy_literals(p, st, lit.size_, room.lits_); });
    if (ok) return;
    undo();
    for (std::size_t i = 0; i < lit.size_; ++i) {
        const int64_t v = lit.at(i);
        if (v == 0)
            raise_py(PyExc_ValueError, std::string(what) + kZeroAt + std::to_string(i) + kIsZero);
        if (v > kMaxVariable || v < -kMaxVariable)
            raise_py(PyExc_ValueError,
                     std::string(what) + kLiteralHead + std::to_string(v) + kOutsideRange);
    }
}

// The offsets' first entry, checked before any room is taken.
std::size_t clause_count(const IntegerArray &off, const char *what) {
    if (off.size_ == 0 || off.at(0) != 0)
        raise_py(PyExc_ValueError, std::string(what) + kOffsetsStart);
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
        raise_py(PyExc_ValueError, std::string(kAddSoftClauses) + ": " + std::to_string(w.size_) +
                                       kWeightCount + std::to_string(n) + kWeightCountTail);
    }
    if (n == 0) return;
    bool ok = true;
    w.visit([&](const auto *p, int64_t st) { ok = copy_weights(p, st, n, room.weights_); });
    if (ok) return;
    undo();
    for (std::size_t i = 0; i < n; ++i)
        if (w.at(i) <= 0)
            raise_py(PyExc_ValueError, kWeightHead + std::to_string(w.at(i)) + kWeightTail);
}

PrefatoryMode prefatory_mode(bool as_units) {
    return as_units ? PrefatoryMode::kUnits : PrefatoryMode::kComment;
}

std::string path_arg(nb::handle path) {
    nb::object p = nb::module_::import_("os").attr("fspath")(path);
    if (!nb::isinstance<nb::str>(p)) raise_py(PyExc_TypeError, kBytesPath);
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

nb::object py_str(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (o == nullptr) throw nb::python_error();
    return nb::steal(o);
}

// A name's UTF-8 bytes, straight from the str (no copy for the ASCII names a model makes); a
// name that has none (a lone surrogate) raises its UnicodeEncodeError.
std::string_view utf8_name(PyObject *key) {
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) throw nb::python_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

[[noreturn]] void refuse_map_number(PyObject *key, int64_t n) {
    raise_py(PyExc_ValueError, kMapNumberHead + std::to_string(n) + kMapNumberOf +
                                   nb::cast<std::string>(nb::repr(key)) + kMapNumberRange +
                                   std::to_string(kMaxVariable));
}

// The content of a dict of names to numbers, read in its order.
clause::NameTable read_var_map(nb::handle mapping) {
    PyObject *d = mapping.ptr();
    if (!PyDict_Check(d)) raise_py(PyExc_TypeError, kMapType + py_type_name(mapping));
    const auto count = static_cast<std::size_t>(PyDict_Size(d));
    clause::NameTable t;
    t.reserve(count, 16 * count);
    // In place while every number is a plain int: reading those runs no Python code, so the
    // dict cannot change under PyDict_Next.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool in_place = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) raise_py(PyExc_TypeError, kMapKeyType + py_type_name(key));
        if (!PyLong_CheckExact(value)) {
            in_place = false;
            break;
        }
        int overflow;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) raise_py(PyExc_OverflowError, std::string(kMapNumber) + kDoesNotFit64);
        if (n < 0 || n > kMaxVariable) refuse_map_number(key, n);
        t.add(utf8_name(key), n);
    }
    if (in_place) return t;
    // Another kind of number converts through __index__, which may change the dict: read a
    // snapshot of the items instead, from the start, so that faults are met in order.
    t = clause::NameTable();
    t.reserve(count, 16 * count);
    nb::object items = nb::steal(PyDict_Items(d));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        key = PyTuple_GET_ITEM(item, 0);
        value = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(key)) raise_py(PyExc_TypeError, kMapKeyType + py_type_name(key));
        const int64_t n = int64_arg(value, kMapNumber);
        if (n < 0 || n > kMaxVariable) refuse_map_number(key, n);
        t.add(utf8_name(key), n);
    }
    return t;
}

// Families by shape, then a dict of other names. The content must be what a dict of all of it
// would hold: distinct family names, and no other name that is a family element.
clause::NameTable read_var_families(nb::handle families, nb::handle other) {
    if (!PyList_Check(families.ptr()) && !PyTuple_Check(families.ptr()))
        raise_py(PyExc_TypeError, kFamiliesType + py_type_name(families));
    if (!PyDict_Check(other.ptr())) raise_py(PyExc_TypeError, kMapType + py_type_name(other));
    clause::NameTable t;
    for (nb::handle item : nb::iter(families)) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 3)
            raise_py(PyExc_TypeError, kFamilyType + py_type_name(item));
        nb::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
        if (!PyUnicode_Check(name.ptr()))
            raise_py(PyExc_TypeError, kMapKeyType + py_type_name(name));
        const int64_t first = int64_arg(PyTuple_GET_ITEM(item.ptr(), 1), kMapNumber);
        std::vector<int64_t> sizes;
        __int128 count = 1;
        for (nb::handle s : nb::iter(nb::handle(PyTuple_GET_ITEM(item.ptr(), 2)))) {
            sizes.push_back(int64_arg(s, kFamilySize));
            count = sizes.back() <= 0 || count == 0 ? 0 : count * sizes.back();
            if (count > kMaxVariable + __int128{1}) count = kMaxVariable + __int128{2};
        }
        const std::string text(utf8_name(name.ptr()));
        if (count > 0 && (first < 0 || first + count - 1 > kMaxVariable))
            raise_py(PyExc_ValueError,
                     kFamilyRangeHead + text + kMapNumberRange + std::to_string(kMaxVariable));
        if (!t.add_family(text, first, std::move(sizes)))
            raise_py(PyExc_ValueError, kFamilyTwiceHead + text);
    }
    clause::NameTable rest = read_var_map(other);
    t.reserve(rest.listed_size(), 16 * rest.listed_size());
    int64_t unused;
    for (std::size_t i = 0; i < rest.listed_size(); ++i) {
        if (t.family_number(rest.name(i), &unused))
            raise_py(PyExc_ValueError,
                     kFamilyElementHead + std::string(rest.name(i)) + kFamilyElementTail);
        t.add(rest.name(i), rest.number(i));
    }
    return t;
}

void register_storage(nb::module_ &m) {
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
                    raise_py(PyExc_TypeError, kNameType + py_type_name(name));
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
            return "wcnf_storage(" + std::to_string(s.store_.hard().size()) + " hard, " +
                   std::to_string(s.store_.soft().size()) + " soft clauses)";
        });
}

void register_mapping(nb::module_ &m) {
    nb::class_<Mapping>(m, "var_mapping",
                        "Map between variable-element names and clause-variable numbers")
        .def(nb::init<>())
        .def(
            "set_var_map",
            [](Mapping &self, nb::handle mapping) { self.map_.assign(read_var_map(mapping)); },
            nb::arg("var_map").none(), "Replace the content with a dict of names to numbers")
        .def(
            "set_var_families",
            [](Mapping &self, nb::handle families, nb::handle other) {
                self.map_.assign(read_var_families(families, other));
            },
            nb::arg("families").none(), nb::arg("other_map").none(),
            "Replace the content with families given by shape, (name, first number, sizes): "
            "element k (row-major) is name[i,j,...] with number first + k; then the entries of "
            "the dict other_map. The same content as set_var_map with the whole dict, in the "
            "same order")
        .def(
            "build_inverse_map", [](Mapping &self) { self.map_.build_inverse(); },
            "Index the names by number (look-ups by number also do it when needed)")
        .def(
            "get_var",
            [](const Mapping &self, const std::string &name) {
                int64_t n;
                if (!self.map_.number(name, &n)) throw nb::key_error(name.c_str());
                return n;
            },
            nb::arg("name"), "The number of a name")
        .def(
            "get_name",
            [](Mapping &self, nb::handle number) {
                std::string name;
                if (!self.map_.name(int64_arg(number, kGetNameNumber), &name)) {
                    PyErr_SetObject(PyExc_KeyError, number.ptr());
                    throw nb::python_error();
                }
                return py_str(name);
            },
            nb::arg("number").none(), "The (first) name of a number")
        .def("size", [](const Mapping &self) { return self.map_.size(); })
        .def("__len__", [](const Mapping &self) { return self.map_.size(); })
        .def("__contains__",
             [](const Mapping &self, nb::handle name) {
                 if (!PyUnicode_Check(name.ptr())) return false;
                 Py_ssize_t size;
                 const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
                 if (utf8 == nullptr) {  // a lone surrogate: no name can be it
                     clear_only(PyExc_UnicodeEncodeError);
                     return false;
                 }
                 int64_t n;
                 return self.map_.number(std::string_view(utf8, static_cast<std::size_t>(size)),
                                         &n);
             })
        .def(
            "get_var_map",
            [](const Mapping &self) {
                nb::dict d;
                self.map_.table()->for_each([&](std::string_view name, int64_t n) {
                    nb::object number = nb::steal(PyLong_FromLongLong(n));
                    if (!number.is_valid() ||
                        PyDict_SetItem(d.ptr(), py_str(name).ptr(), number.ptr()) != 0)
                        throw nb::python_error();
                });
                return d;
            },
            "A new dict of the content")
        .def("__repr__", [](const Mapping &self) {
            return "var_mapping(" + std::to_string(self.map_.size()) + " names)";
        });
}

void register_interpreter(nb::module_ &m) {
    nb::class_<Interpreter>(m, "witness_interpreter",
                            "Decodes a solver's witness into the values of named elements")
        .def("__init__", [](Interpreter *self) { new (self) Interpreter{{}, nb::none()}; })
        .def(
            "set_var_mapping",
            [](Interpreter &self, nb::handle mapping) {
                if (!nb::isinstance<Mapping>(mapping))
                    raise_py(PyExc_TypeError, kMappingType + py_type_name(mapping));
                self.mapping_ = nb::borrow(mapping);
            },
            nb::arg("mapping").none())
        .def("get_var_mapping", [](const Interpreter &self) { return self.mapping_; })
        .def(
            "set_auxiliary_vars",
            [](Interpreter &self, nb::handle prefixes) {
                // A str is iterable too, but its characters as prefixes would make every name
                // starting with "_" an auxiliary.
                if (nb::isinstance<nb::str>(prefixes))
                    raise_py(PyExc_TypeError, kPrefixesType + py_type_name(prefixes));
                std::vector<std::string> p;
                for (nb::handle item : nb::iter(prefixes)) {
                    if (!nb::isinstance<nb::str>(item))
                        raise_py(PyExc_TypeError, kPrefixType + py_type_name(item));
                    p.push_back(nb::cast<std::string>(item));
                }
                self.wi_.set_auxiliary_prefixes(std::move(p));
            },
            nb::arg("prefixes").none(), "Names beginning with one of these are auxiliaries")
        .def("get_auxiliary_vars",
             [](const Interpreter &self) {
                 nb::list l;
                 for (const auto &p : self.wi_.auxiliary_prefixes())
                     l.append(nb::str(p.c_str(), p.size()));
                 return l;
             })
        .def(
            "is_auxiliary",
            [](const Interpreter &self, const std::string &name) {
                return self.wi_.is_auxiliary(name);
            },
            nb::arg("name"))
        .def(
            "build_mapping_tables",
            [](Interpreter &self, nb::handle leave_out_auxiliaries) {
                const int truth = PyObject_IsTrue(leave_out_auxiliaries.ptr());
                if (truth < 0) throw nb::python_error();
                if (self.mapping_.is_none()) return false;
                return self.wi_.build_tables(nb::cast<const Mapping &>(self.mapping_).map_,
                                             truth != 0);
            },
            nb::arg("leave_out_auxiliaries").none() = true,
            "Take the elements to decode from the mapping (auxiliaries left out when the argument "
            "is true); true when the mapping holds at least one name")
        .def(
            "interpret",
            [](const Interpreter &self, nb::handle witness) {
                if (!self.wi_.built()) raise_py(engine_error().ptr(), kNoTables);
                std::vector<int64_t> lits;
                nb::object fast = sequence_snapshot(witness);
                if (!fast.is_valid())
                    raise_py(PyExc_TypeError, kWitnessType + py_type_name(witness));
                const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
                PyObject **items = &PyTuple_GET_ITEM(fast.ptr(), 0);
                lits.reserve(static_cast<std::size_t>(n));
                for (Py_ssize_t i = 0; i < n; ++i)
                    lits.push_back(int64_arg(items[i], kWitnessLiteral));
                std::vector<bool> values;
                try {
                    values = self.wi_.decode(lits);
                } catch (const std::invalid_argument &e) {
                    raise_py(PyExc_ValueError, std::string(kInterpret) + e.what());
                }
                nb::dict out;
                std::size_t i = 0;
                self.wi_.for_each_entry([&](std::string_view name, int64_t) {
                    if (PyDict_SetItem(out.ptr(), py_str(name).ptr(),
                                       values[i++] ? Py_True : Py_False) != 0)
                        throw nb::python_error();
                });
                return out;
            },
            nb::arg("witness").none(),
            "A dict element name -> bool from a witness (signed integers, as a SAT solver's model)")
        .def("__repr__", [](const Interpreter &self) {
            return std::string("witness_interpreter(") +
                   (self.wi_.built() ? std::to_string(self.wi_.table_size()) + " elements"
                                     : "no tables") +
                   ")";
        });
}

void register_manager(nb::module_ &m) {
    nb::class_<EngineManager>(m, "manager",
                              "The engine manager: creates formula encoders, keeps the latest "
                              "clause storage and witness interpreter")
        .def(nb::init<>())
        .def(
            "create_formula_encoder",
            [](EngineManager &, nb::handle name) { return make_formula_encoder(name); },
            nb::arg("name").none())
        .def(
            "set_cnf_storage",
            [](EngineManager &self, nb::handle storage) {
                if (!storage.is_none() && !nb::isinstance<Storage>(storage))
                    raise_py(PyExc_TypeError, kStorageType + py_type_name(storage));
                self.storage_ = nb::borrow(storage);
            },
            nb::arg("storage").none())
        .def(
            "get_cnf_storage", [](const EngineManager &self) { return self.storage_; },
            "The storage last set, or None")
        .def(
            "set_witness_interpreter",
            [](EngineManager &self, nb::handle wi) {
                if (!wi.is_none() && !nb::isinstance<Interpreter>(wi))
                    raise_py(PyExc_TypeError, kInterpreterType + py_type_name(wi));
                self.interpreter_ = nb::borrow(wi);
            },
            nb::arg("interpreter").none())
        .def(
            "get_witness_interpreter", [](const EngineManager &self) { return self.interpreter_; },
            "The witness interpreter last set, or None")
        .def("__repr__", [](const EngineManager &self) {
            return std::string("manager(storage ") + (self.storage_.is_none() ? "unset" : "set") +
                   ", witness interpreter " + (self.interpreter_.is_none() ? "unset" : "set") + ")";
        });
}

}  // namespace

void register_clause_side(nb::module_ &m) {
    engine_error(m);
    register_storage(m);
    register_mapping(m);
    register_interpreter(m);
    register_manager(m);
}

}  // namespace se
