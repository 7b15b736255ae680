// zk_encoder.encode.model: the pseudo-Boolean model. It numbers variable families, evaluates
// formula texts into engine formulas and hands them to its formula container, or forwards the
// whole model as texts to the engine's formula encoder.
#include "zk_encoder/encode/model.hpp"

#include <frameobject.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/buffers.hpp"
#include "common/gc.hpp"
#include "common/integers.hpp"
#include "common/logging.hpp"
#include "common/module.hpp"
#include "common/module_globals.hpp"
#include "common/names.hpp"
#include "common/unpack.hpp"
#include "formula/evaluation.hpp"
#include "texts/decimal.hpp"
#include "texts/index_text.hpp"
#include "texts/literals.hpp"
#include "texts/names.hpp"
#include "texts/tokens.hpp"
#include "zk_encoder/core/manager.hpp"
#include "zk_encoder/core/variable.hpp"
#include "zk_encoder/encode/variables.hpp"

namespace zk::encode {

namespace {

using namespace nb::literals;

constexpr const char *kModule = "zk_encoder.encode.model";

// Reserved names (class attributes of Model).
constexpr const char *kExpressionFormulaRe = R"((.*),\sline\s(\d+),(.*)\n(.*))";
using texts::kBxprAux;
using texts::kDummyVar;
using texts::kMaxLiteral;
using texts::kPbctAux;
constexpr const char *kDummyDim = "d";

constexpr const char *kClassDoc = "Main class of pseudo-boolean model";
constexpr const char *kInitDoc =
    "Initializes an instance of model.\n\n:param smanager: sorn_engine manager is singleton";
constexpr const char *kCreateVariablesDoc = "Provides variables for writing expressions.";
constexpr const char *kGetIndexesDoc = "Provides indexes for writing expressions.";
constexpr const char *kAddConstraintDoc =
    "Adds hard constraint to the model.\n\n"
    ":param constraint: valid expression for the constraint\n"
    ":param foralls: indexes by which the substitution of expressions of the type \"for all\" "
    "occurs";
constexpr const char *kAddSoftConstraintDoc =
    "Adds soft constraint to the model.\n\n"
    ":param constraint: valid expression for the constraint\n"
    ":param weight: weight of the soft constraint\n"
    ":param minimization: flag for the task type\n"
    ":param foralls: indexes by which the substitution of expressions of the type \"for all\" "
    "occurs";
constexpr const char *kUseTargetDoc = "Is the target set in the model";
constexpr const char *kAddTargetDoc = "Adds target to the model.";
constexpr const char *kBuildCnfDoc = "Creation CNF";

// Progress lines: a label right-aligned in 15 characters, then " : ".
constexpr const char *kPythonVersionLine = " python version : ";
constexpr const char *kModelNameLine = "     model name : ";
constexpr const char *kSsfeLine = "           ssfe : ";
constexpr const char *kAddNewVarLine = "    add new var : ";
constexpr const char *kConstraintLine = "     constraint : ";
constexpr const char *kCnfStartLine = "      CNF build : started. Model <";
constexpr const char *kWcnfStartLine = "     WCNF build : started. Model <";
constexpr const char *kTargetVariablesPiece = ">; Target variables = ";
constexpr const char *kCnfEndLine = "         action : CNF build finished";
constexpr const char *kWcnfEndLine = "         action : WCNF build finished";
constexpr const char *kCnfEncoderSuffix = " (formula encoder).";
constexpr const char *kWcnfEncoderSuffix = "(formula encoder).";
constexpr const char *kOwnSuffix = ".";
constexpr const char *kDurationPiece = " Duration = ";
constexpr const char *kDurationFormat = "%H:%M:%S.%f";

constexpr const char *kForallsPrefix = "Foralls: ";
constexpr const char *kConstraintJoin = "___";

// Other log lines.
constexpr const char *kBuildingTargetMsg = "Building target";
constexpr const char *kBuildingSoftMsg = "Building soft constraint: ";
constexpr const char *kHardUtilityMsg = "Enumerating hard utility variables";
constexpr const char *kTargetUtilityMsg = "Enumerating target utility variables";
constexpr const char *kPreliminaryMsg = "Preliminary variable value was added: ";
constexpr const char *kTargetAlreadyUsedMsg = "Target already used";

// Refusals.
constexpr const char *kBadNameMsg = "Variable must have a non-empty name containing only letters";
constexpr const char *kVarInUseHead = "Variable named ";
constexpr const char *kVarInUseTail = " is already in use";
constexpr const char *kLateVarTail =
    " cannot be created after the first constraint or target: its numbers would overlap the "
    "auxiliary variables. Create every variable before adding formulas";
constexpr const char *kTooManyTail =
    " has too many elements: their numbers would run past 2147483647, the largest clause literal";
constexpr const char *kBadSizesMsg = "Dimension sizes must be non-negative integers";
constexpr const char *kVarIsIndexTail = " is already in use as an index name";
// Names that formula texts and the generated instantiation texts rely on, besides the host's.
constexpr const char *kShadowedNames[] = {"bx", "pb", "Sum", "FormulaPB", "manager"};
constexpr const char *kForallHead = "For-all index named ";
constexpr const char *kForallNotIdentifierTail =
    " must be an identifier that is not a keyword and reads back unchanged";
constexpr const char *kForallIsFamilyTail = " is the name of a variable family";
constexpr const char *kForallValuesHead = "For-all values of ";
constexpr const char *kForallValuesTail = " must be a range or a sequence of integers, not ";
constexpr const char *kForallValueHead = "For-all value ";
constexpr const char *kForallValueMid = " of ";
constexpr const char *kForallValueNotInt = " is not an integer";
constexpr const char *kForallTooLargeTail = " must fit in 64 bits";
constexpr const char *kNoForallHead = "Index ";
constexpr const char *kNoForallMid = " of ";
constexpr const char *kNoForallTail = " has no for-all values in this formula";
constexpr const char *kUnreadableTail = " cannot be read as an index";
constexpr const char *kOutsideHead = "Index ";
constexpr const char *kOutsideTakes = " takes the value ";
constexpr const char *kOutsideAt = " (at ";
constexpr const char *kOutsideFamily = "), outside the family: dimension ";
constexpr const char *kOutsideValues = " has the values 0 .. ";
constexpr const char *kIndexNotIntMid = " gives ";
constexpr const char *kIndexNotIntTail = ", which is not an integer";
constexpr const char *kTooManyInstancesMsg =
    "Too many for-all instances: the formula's clauses or auxiliary variables would be numbered "
    "past 2147483647, the largest clause literal";
constexpr const char *kWeightTooLargeHead = "Soft constraint weight ";
constexpr const char *kWeightTooLargeTail =
    " is too large: every weight, and all of them together, must stay below 2**63";
constexpr const char *kWeightTypeMsg = "Type 'Expression' or 'int' is expected for expression";
constexpr const char *kPreliminaryHead =
    "A preliminary value must name a variable of the model: a number from 1 to ";
constexpr const char *kPreliminaryMid = ", not ";
constexpr const char *kEmptyIndexesMsg =
    "The indexes parameter must contain a non-empty sequence of index names";
constexpr const char *kReservedIndexHead = "Names '";
constexpr const char *kReservedIndexMid = "' and '";
constexpr const char *kReservedIndexTail = "' are reserved. Change the name to a valid one";
constexpr const char *kIndexInUseHead = "Index named ";
constexpr const char *kIndexInUseTail = " is already in use";
constexpr const char *kIndexNotIdentifierTail = " must be an identifier that is not a keyword";
constexpr const char *kNotExpressionMsg =
    "Variable 'constraint' must contain only objects of type 'Expression'";
constexpr const char *kTargetDefinedMsg = "Target has already been defined";
constexpr const char *kSoftDefinedMsg = "Soft constraint has already been defined";
constexpr const char *kAlreadyCnfMsg = "Current model already works with CNF";
constexpr const char *kAlreadyWcnfMsg = "Current model already works with WCNF";
constexpr const char *kNotSoftMsg = "Input constraint cannot be converted to a soft constraints";
constexpr const char *kNotTargetMsg = "Target is not a pseudo-boolean function without border";
constexpr const char *kNotBooleanMsg = "Constraint is not a Boolean formula: ";
constexpr const char *kContradictionHead = "Contradiction was detected in formula ";
constexpr const char *kRedundantHead = "Redundant constraint was detected in formula ";
constexpr const char *kLinePiece = ", line ";
constexpr const char *kTargetContradictionMsg = "Contradiction was detected in target";
constexpr const char *kTargetRedundantMsg = "Redundant constraint was detected in target";
constexpr const char *kWcnfFormatMsg = "This expression is defined for WCNF format";
constexpr const char *kCnfFormatMsg = "This expression is defined for CNF format";
constexpr const char *kNoBorderMsg =
    "Border or minimization arguments are not defined, but target is set";
constexpr const char *kNoContainerMsg = "The model doesn't contain any formula container";
constexpr const char *kCnfEmptyMsg = "CNF storage is empty";
constexpr const char *kWcnfEmptyMsg = "WCNF storage is empty";
constexpr const char *kNoManagerMsg = "Sorn manager is not set or empty";
constexpr const char *kNoMappingMsg = "Variable mapping is empty";

// The module's globals: names are looked up at every call, as the module's own code would.
ModuleGlobals g_module;
// Helpers of the host that are not among the module's names.
PyObject *g_eval = nullptr;
PyObject *g_format_stack = nullptr;
PyObject *g_model_type = nullptr;

bool truthy(const nb::handle &obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool is_instance(const nb::handle &obj, const nb::handle &cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool equals(const nb::handle &a, const nb::handle &b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool equals(const nb::handle &a, const char *text) { return equals(a, nb::str(text)); }

// The host's `a + b`, so that a piece that is not a text fails as joining it would.
nb::object concat(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object concat(const char *a, nb::handle b) { return concat(nb::str(a), b); }

nb::str text_of(nb::handle obj) { return nb::str(obj); }

void log(const char *fn, nb::handle msg) { g_module.log(fn, msg); }
void log(const char *fn, const char *msg) { g_module.log(fn, msg); }

// Logs `msg` at error level, then raises the module global `exc_name` with the same text.
[[noreturn]] void refuse(const char *exc_name, nb::handle msg) {
    g_module.raise_logged(exc_name, msg);
}
[[noreturn]] void refuse(const char *exc_name, const char *msg) { refuse(exc_name, nb::str(msg)); }

[[noreturn]] void refuse_builtin(PyObject *exc_type, const char *msg) {
    g_module.raise_logged(exc_type, nb::str(msg));
}

using names::is_keyword;
using names::is_plain_name;
using names::kKeywordTail;
using names::kNotReadBackTail;
using names::kShadowsTail;
using names::reads_back;

nb::object class_attr(const char *name) {
    return nb::borrow(reinterpret_cast<PyObject *>(g_model_type)).attr(name);
}

nb::object now() { return g_module.get("datetime").attr("now")(); }

// The program's line that called into the model: its source text and line number, read from the
// calling Python frame in the host's standard stack format. The model's operations are native, so
// the interpreter's current frame is the caller's own.
std::pair<nb::object, nb::object> call_site() {
    PyFrameObject *frame = PyEval_GetFrame();
    if (!frame) return {nb::str(""), nb::str("")};
    nb::object frame_obj = nb::borrow(reinterpret_cast<PyObject *>(frame));
    nb::object entries = nb::borrow(g_format_stack)(frame_obj, 1);
    nb::object fallback_line = nb::str(nb::int_(PyFrame_GetLineNumber(frame)));
    if (nb::len(entries) == 0) return {nb::str(""), fallback_line};
    nb::object match = class_attr("_Model__EXPRESSION_FORMULA_RE").attr("match")(entries[0]);
    if (match.is_none()) return {nb::str(""), fallback_line};
    return {match.attr("group")(4).attr("strip")(), match.attr("group")(2).attr("strip")()};
}

// Runs `body` and resets the Manager on every way out that has not reset it already, so that a
// failed formula leaves no names, numbers or counts behind for the next one.
template <typename Body>
void with_manager_reset(const nb::object &manager, Body &&body) {
    bool reset_done = false;
    try {
        body(reset_done);
    } catch (...) {
        if (!reset_done) {
            try {
                manager.attr("reset")();
            } catch (nb::python_error &) {
                // The formula's own error says more than a failing reset.
            }
        }
        throw;
    }
    if (!reset_done) manager.attr("reset")();
}

[[noreturn]] void refuse_builtin(PyObject *exc_type, const std::string &msg) {
    g_module.raise_logged(exc_type, msg);
}
[[noreturn]] void refuse(const char *exc_name, const std::string &msg) {
    g_module.raise_logged(exc_name, msg);
}

std::string utf8_of(nb::handle text) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!p) throw nb::python_error();
    return std::string(p, static_cast<size_t>(n));
}

std::string repr_text(nb::handle obj) {
    PyObject *r = PyObject_Repr(obj.ptr());
    if (!r) throw nb::python_error();
    return utf8_of(nb::steal(r));
}

std::string type_name_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

bool is_shadowed(const nb::handle &name) {
    return names::is_among(name, kShadowedNames) || names::is_among(name, names::kHostTextNames);
}

// The values of one for-all keyword, as normalize_foralls leaves them: a range or a list or
// tuple of ints, all within 64 bits.
struct ForallSlot {
    std::string name_;
    nb::object values_;
    bool is_range_ = false;
    int64_t start_ = 0, step_ = 1;
    __int128 count_ = 0;
    int64_t min_ = 0, max_ = 0;

    int64_t at(__int128 k) const {
        if (is_range_) return static_cast<int64_t>(start_ + k * step_);
        PyObject *item = PySequence_Fast_GET_ITEM(values_.ptr(), static_cast<Py_ssize_t>(k));
        long long v = PyLong_Check(item) ? PyLong_AsLongLong(item) : 0;
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return static_cast<int64_t>(v);
    }
};

struct ForallInfo {
    std::vector<std::string> names_;
    std::vector<ForallSlot> slots_;
    __int128 instances_ = 1;
};

constexpr __int128 kInstanceCap = static_cast<__int128>(1) << 62;

ForallInfo read_forall_info(const nb::handle &foralls) {
    ForallInfo fa;
    // Only what normalize_foralls leaves is read here; anything else is the container's to judge.
    if (!PyDict_Check(foralls.ptr())) return fa;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(foralls.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key) ||
            !(PyRange_Check(value) || PyList_Check(value) || PyTuple_Check(value)))
            continue;
        ForallSlot slot;
        slot.name_ = utf8_of(key);
        slot.values_ = nb::borrow(value);
        if (PyRange_Check(value)) {
            int64_t stop = 0;
            slot.is_range_ = true;
            slot.start_ = nb::cast<int64_t>(nb::handle(value).attr("start"));
            stop = nb::cast<int64_t>(nb::handle(value).attr("stop"));
            slot.step_ = nb::cast<int64_t>(nb::handle(value).attr("step"));
            __int128 lo = slot.start_, hi = stop, st = slot.step_;
            slot.count_ = st > 0 ? (hi > lo ? (hi - lo + st - 1) / st : 0)
                                 : (lo > hi ? (lo - hi - st - 1) / -st : 0);
            if (slot.count_ > 0) {
                int64_t last = slot.at(slot.count_ - 1);
                slot.min_ = std::min(slot.start_, last);
                slot.max_ = std::max(slot.start_, last);
            }
        } else {
            Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
            slot.count_ = n;
            for (Py_ssize_t k = 0; k < n; ++k) {
                int64_t v = slot.at(k);
                if (k == 0 || v < slot.min_) slot.min_ = v;
                if (k == 0 || v > slot.max_) slot.max_ = v;
            }
        }
        fa.instances_ = std::min(fa.instances_ * slot.count_, kInstanceCap);
        fa.names_.push_back(slot.name_);
        fa.slots_.push_back(std::move(slot));
    }
    return fa;
}

int slot_of(const ForallInfo &fa, const std::string &name) {
    for (size_t s = 0; s < fa.names_.size(); ++s)
        if (fa.names_[s] == name) return static_cast<int>(s);
    return -1;
}

std::string assignment_text(const ForallInfo &fa, const std::vector<std::pair<int, int64_t>> &at) {
    std::string out;
    for (const auto &[s, v] : at) {
        if (!out.empty()) out += ", ";
        out += fa.names_[static_cast<size_t>(s)] + " = " + texts::decimal(v);
    }
    return out;
}

[[noreturn]] void refuse_outside(std::string_view item, std::string_view element, __int128 value,
                                 const std::string &at, size_t dim, int64_t size) {
    std::string msg = std::string(kOutsideHead) + std::string(item) + kNoForallMid +
                      std::string(element) + kOutsideTakes + texts::decimal(value);
    msg += at.empty() ? std::string(kOutsideFamily + 1) : kOutsideAt + at + kOutsideFamily;
    msg += texts::decimal(static_cast<int64_t>(dim)) + kOutsideValues + texts::decimal(size - 1);
    refuse_builtin(PyExc_IndexError, msg);
}

// An index text that the linear reader does not take (a product of two indexes, a call): it is
// evaluated for every combination of the for-all values it uses, as the write-out would.
void check_by_evaluation(const ForallInfo &fa, const std::vector<int> &used, std::string_view item,
                         std::string_view element, size_t dim, int64_t size) {
    constexpr __int128 kMaxCombinations = 1000000;
    nb::object builtins = nb::module_::import_("builtins");
    nb::object code;
    try {
        code = builtins.attr("compile")(nb::str(item.data(), item.size()), "<index>", "eval");
    } catch (nb::python_error &) {
        refuse("FormulaError", std::string(kNoForallHead) + std::string(item) + kNoForallMid +
                                   std::string(element) + kUnreadableTail);
    }
    __int128 combos = 1;
    for (int s : used) combos *= fa.slots_[static_cast<size_t>(s)].count_;
    if (combos == 0 || combos > kMaxCombinations) return;
    std::vector<__int128> k(used.size(), 0);
    nb::object eval = builtins.attr("eval");
    while (true) {
        nb::dict ns;
        ns["__builtins__"] = builtins;
        std::vector<std::pair<int, int64_t>> at;
        for (size_t u = 0; u < used.size(); ++u) {
            const ForallSlot &slot = fa.slots_[static_cast<size_t>(used[u])];
            int64_t v = slot.at(k[u]);
            ns[slot.name_.c_str()] = v;
            at.emplace_back(used[u], v);
        }
        nb::object r = eval(code, ns);
        if (!PyLong_Check(r.ptr()))
            refuse_builtin(PyExc_TypeError, std::string(kNoForallHead) + std::string(item) +
                                                kNoForallMid + std::string(element) +
                                                kIndexNotIntMid + repr_text(r) + " (at " +
                                                assignment_text(fa, at) + ")" + kIndexNotIntTail);
        int64_t v = 0;
        if (!int64_of(r, v) || v < 0 || v >= size)
            refuse_outside(item, element, int64_of(r, v) ? v : INT64_MAX, assignment_text(fa, at),
                           dim, size);
        size_t u = used.size();
        while (u > 0) {
            --u;
            if (++k[u] < fa.slots_[static_cast<size_t>(used[u])].count_) break;
            k[u] = 0;
            if (u == 0) return;
        }
        if (used.empty()) return;
    }
}

// The family behind `h` when it is exactly the package's family class; null for anything else.
const zk::encode::VariableFamily *family_ptr(nb::handle h) {
    nb::handle type = nb::type<zk::encode::VariableFamily>();
    if (!h.is_valid() || !type.is_valid() || (PyObject *)Py_TYPE(h.ptr()) != type.ptr())
        return nullptr;
    return nb::inst_ptr<zk::encode::VariableFamily>(h);
}

// Far past any family, and small enough that a few of them add up without overflow.
__int128 clamped(__int128 v) {
    constexpr __int128 kFar = static_cast<__int128>(1) << 100;
    return v > kFar ? kFar : v < -kFar ? -kFar : v;
}

// One element name that the evaluation registered, such as "x(i + 1,2)", against its family.
void check_element(const ForallInfo &fa, const zk::encode::VariableFamily &f,
                   std::string_view element, std::string_view items_text) {
    std::vector<std::string_view> items = texts::split_items(items_text);
    if (items.size() != f.sizes_.size())
        refuse_builtin(PyExc_IndexError,
                       texts::arity_message(f.name_text_, f.sizes_.size(), element, items.size()));
    for (size_t d = 0; d < items.size(); ++d) {
        std::string_view item = items[d];
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        std::vector<int> used;
        for (const std::string &n : texts::names_in(item)) {
            int s = slot_of(fa, n);
            if (s < 0)
                refuse("FormulaError", std::string(kNoForallHead) + n + kNoForallMid +
                                           std::string(element) + kNoForallTail);
            if (std::find(used.begin(), used.end(), s) == used.end()) used.push_back(s);
        }
        const int64_t size = f.sizes_[d];
        std::optional<texts::LinearIndex> linear = texts::read_index_text(item, fa.names_);
        if (!linear) {
            if (fa.instances_ > 0) check_by_evaluation(fa, used, item, element, d, size);
            continue;
        }
        const int64_t constant = linear->constant_;
        const std::vector<int64_t> &coefs = linear->coefs_;
        if (fa.instances_ == 0) continue;
        // Each keyword's values are independent of the others: the extremes of a sum of
        // multiples are the sums of the extremes.
        __int128 lo = constant, hi = constant;
        std::vector<std::pair<int, int64_t>> at_lo, at_hi;
        for (size_t s = 0; s < coefs.size(); ++s) {
            __int128 c = coefs[s];
            if (c == 0) continue;
            const ForallSlot &slot = fa.slots_[s];
            int64_t low_value = c > 0 ? slot.min_ : slot.max_;
            int64_t high_value = c > 0 ? slot.max_ : slot.min_;
            lo += clamped(c * low_value);
            hi += clamped(c * high_value);
            at_lo.emplace_back(static_cast<int>(s), low_value);
            at_hi.emplace_back(static_cast<int>(s), high_value);
        }
        if (lo < 0) refuse_outside(item, element, lo, assignment_text(fa, at_lo), d, size);
        if (hi >= size) refuse_outside(item, element, hi, assignment_text(fa, at_hi), d, size);
    }
}

}  // namespace

Model::Model(nb::object smanager, nb::object name, nb::object use_fe)
    : sorn_manager_(std::move(smanager)),
      model_name_(std::move(name)),
      use_formula_encoder_(std::move(use_fe)) {
    log("log_i", concat(kPythonVersionLine, g_module.get("se").attr("get_python_version")()));
    log("log_i", concat(kModelNameLine, model_name_));
    log("log_i", concat(kSsfeLine, text_of(use_formula_encoder_)));

    formula_encoder_ = nb::none();
    formula_container_ = nb::none();
    used_vars_ = nb::steal(PySet_New(nullptr));
    manager_ = g_module.get("manager").attr("Manager")();
    variables_ = nb::dict();
    indexes_ = nb::dict();

    nb::dict base;
    base["Sum"] = g_module.get("pboperations").attr("Sum");
    base["FormulaPB"] = g_module.get("formulapb").attr("FormulaPB");
    base["bx"] = g_module.get("bx");
    base["pb"] = g_module.get("pb");
    base["manager"] = manager_;
    formulas_dir_ = base;

    forwarded_families_ = nb::dict();
    preliminary_values_ = nb::list();
    preliminary_storage_ = nb::none();

    shift_target_variable_ = nb::int_(0);
    is_wcnf_ = nb::none();
    template_target_ = nb::none();
    start_time_ = now();

    if (!truthy(use_formula_encoder_)) {
        nb::kwargs dims;
        dims[kDummyDim] = 1;
        create_variables(nb::str(kDummyVar), dims);
    }
}

nb::object Model::create_variables(nb::object name, nb::kwargs dims) {
    bool own = !truthy(use_formula_encoder_);

    if (!PyUnicode_Check(name.ptr()) || !truthy(name) ||
        !(truthy(name.attr("isalpha")()) || equals(name, kDummyVar)))
        refuse_builtin(PyExc_ValueError, kBadNameMsg);
    if (own && check(PySet_Contains(used_vars_.ptr(), name.ptr())) == 1)
        refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kVarInUseTail)));
    // A keyword, or a name the interpreter reads as another one, would make every formula text
    // that names the family fail.
    if (is_keyword(name))
        refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kKeywordTail)));
    if (!reads_back(name))
        refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kNotReadBackTail)));
    refuse_shadowing(name, kVarInUseHead);
    if (check(PyDict_Contains(indexes_.ptr(), name.ptr())) == 1)
        refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kVarIsIndexTail)));
    if (own && !formula_container_.is_none())
        refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kLateVarTail)));
    // A numpy integer is a size like any other; the family and the texts get its plain int.
    nb::list sizes;
    std::vector<std::pair<nb::object, nb::object>> plain_sizes;
    for (auto item : dims) {
        nb::handle size = item.second;
        nb::object plain = plain_non_bool_integer(size);
        if (!plain.is_valid() ||
            check(PyObject_RichCompareBool(plain.ptr(), nb::int_(0).ptr(), Py_LT)) == 1)
            refuse_builtin(PyExc_ValueError, kBadSizesMsg);
        if (!plain.is(size)) plain_sizes.emplace_back(nb::borrow(item.first), plain);
        sizes.append(plain);
    }
    for (auto &[key, plain] : plain_sizes) dims[key] = plain;

    nb::object count = nb::int_(1);
    for (nb::handle size : sizes) {
        PyObject *r = PyNumber_Multiply(count.ptr(), size.ptr());
        if (!r) throw nb::python_error();
        count = nb::steal(r);
    }
    // The model numbers the elements itself, and every number must stand in a clause as a literal.
    // The engine's formula encoder numbers the families after its own placeholder, so the same
    // limit holds there one element earlier.
    if (truthy(count)) {
        nb::object last = concat(shift_target_variable_, count);
        long long limit = own ? kMaxLiteral + 1 : kMaxLiteral;
        if (check(PyObject_RichCompareBool(last.ptr(), nb::int_(limit).ptr(), Py_GT)) == 1)
            refuse("VariableError", concat(concat(kVarInUseHead, name), nb::str(kTooManyTail)));
    }

    // The family object is made before anything records the name: should it refuse the sizes, the
    // model, its Manager and the engine are left as they were.
    nb::object family;
    nb::object family_class = g_module.get("Variable");
    if (!own) {
        init_formula_encoder();
        family = family_class(name, dims, 0);
        formula_encoder_.attr("create_variables")(name, sizes);
        forwarded_families_[name] = family;
    } else {
        family = family_class(name, dims, shift_target_variable_);
        if (PySet_Add(used_vars_.ptr(), name.ptr()) < 0) throw nb::python_error();
        manager_.attr("registration_generator_variables")(name);
        variables_[name] = family;
        // The generator refuses elements the family does not have, where a formula names them.
        auto *gen = zk::core::exact_generator(manager_.attr("name2genvar")[name]);
        if (const VariableFamily *f = family_ptr(family); gen && f) {
            gen->shape_ = f->sizes_;
            gen->has_shape_ = true;
        }
    }
    shift_target_variable_ = concat(shift_target_variable_, count);

    nb::object line = concat(kAddNewVarLine, name);
    line = concat(line, text_of(dims));
    line = concat(line, nb::str(" = ["));
    line = concat(line, text_of(count));
    line = concat(line, nb::str("]"));
    log("log_i", line);
    start_time_ = now();
    return family;
}

nb::object Model::get_indexes(nb::object names) {
    if (nb::len(names) == 0) refuse_builtin(PyExc_ValueError, kEmptyIndexesMsg);
    nb::list result;
    nb::object index_class = g_module.get("Index");
    for (nb::handle name : names) {
        if (equals(name, kBxprAux) || equals(name, kPbctAux)) {
            std::string msg = std::string(kReservedIndexHead) + kBxprAux + kReservedIndexMid +
                              kPbctAux + kReservedIndexTail;
            refuse("VariableError", msg.c_str());
        }
        // Index names are pasted into formula texts that are evaluated: only a plain name reads
        // back as the same name.
        if (!is_plain_name(name))
            refuse("VariableError", concat(concat(kIndexInUseHead, text_of(name)),
                                           nb::str(kIndexNotIdentifierTail)));
        if (!reads_back(name))
            refuse("VariableError",
                   concat(concat(kIndexInUseHead, text_of(name)), nb::str(kNotReadBackTail)));
        // The engine's formula encoder holds a placeholder family of that name too.
        if (check(PySet_Contains(used_vars_.ptr(), name.ptr())) == 1 ||
            check(PyDict_Contains(forwarded_families_.ptr(), name.ptr())) == 1 ||
            equals(name, kDummyVar))
            refuse("VariableError",
                   concat(concat(kIndexInUseHead, text_of(name)), nb::str(kIndexInUseTail)));
        refuse_shadowing(name, kIndexInUseHead);
        nb::object index = index_class(name);
        indexes_[name] = index;
        result.append(index);
    }
    if (nb::len(result) > 1) return result;
    return result[0];
}

void Model::refuse_shadowing(const nb::handle &name, const char *head) const {
    if (is_shadowed(name))
        refuse("VariableError", concat(concat(head, name), nb::str(kShadowsTail)));
}

nb::object Model::family_named(const nb::handle &name) const {
    PyObject *f = PyDict_GetItemWithError(
        (truthy(use_formula_encoder_) ? forwarded_families_ : variables_).ptr(), name.ptr());
    if (!f && PyErr_Occurred()) throw nb::python_error();
    return f ? nb::borrow(f) : nb::object();
}

void Model::normalize_foralls(const nb::dict &foralls) const {
    std::vector<std::pair<nb::object, nb::object>> items;
    for (auto item : foralls) items.emplace_back(nb::borrow(item.first), nb::borrow(item.second));
    for (auto &[key, value] : items) {
        // Keywords become loop names of generated texts; a family's name would hide the family.
        if (!is_plain_name(key) || !reads_back(key))
            refuse("VariableError",
                   concat(concat(kForallHead, text_of(key)), nb::str(kForallNotIdentifierTail)));
        refuse_shadowing(key, kForallHead);
        if (family_named(key).is_valid())
            refuse("VariableError", concat(concat(kForallHead, key), nb::str(kForallIsFamilyTail)));
        std::string name = utf8_of(key);
        int64_t bound = 0;
        if (PyRange_Check(value.ptr())) {
            for (const char *part : {"start", "stop", "step"})
                if (!int64_of(value.attr(part), bound))
                    refuse_builtin(PyExc_ValueError,
                                   std::string(kForallValuesHead) + name + kForallTooLargeTail);
            continue;
        }
        // Any sequence of integers: its values are written into texts as a list of plain ints.
        zk::PlainInts ints = zk::plain_ints(value);
        if (!ints.sequence_)
            refuse_builtin(PyExc_TypeError, std::string(kForallValuesHead) + name +
                                                kForallValuesTail + type_name_of(value));
        if (!ints.values_.is_valid())
            refuse_builtin(PyExc_TypeError, std::string(kForallValueHead) +
                                                repr_text(ints.not_integer_) + kForallValueMid +
                                                name + kForallValueNotInt);
        for (nb::handle i : ints.values_)
            if (!int64_of(i, bound))
                refuse_builtin(PyExc_ValueError,
                               std::string(kForallValuesHead) + name + kForallTooLargeTail);
        if (!ints.values_.is(value)) foralls[key] = ints.values_;
    }
}

void Model::check_elements(const nb::object &foralls) const {
    ForallInfo fa = read_forall_info(foralls);
    nb::object registered = manager_.attr("name2pb");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(registered.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        std::string element = utf8_of(key);
        size_t open = element.find('(');
        if (element.empty() || element[0] == '_' || open == std::string::npos ||
            element.back() != ')')
            continue;
        nb::object family = family_named(nb::str(element.data(), open));
        const VariableFamily *f = family.is_valid() ? family_ptr(family) : nullptr;
        if (!f) continue;
        std::string_view items(element);
        check_element(fa, *f, element, items.substr(open + 1, items.size() - open - 2));
    }
}

void Model::add_constraint(nb::object constraint, nb::kwargs foralls) {
    if (!is_instance(constraint, g_module.get("Expression")))
        refuse_builtin(PyExc_TypeError, kNotExpressionMsg);
    if (!is_wcnf_.is_none())
        refuse("TargetError", truthy(is_wcnf_) ? kSoftDefinedMsg : kTargetDefinedMsg);
    normalize_foralls(foralls);
    // The formula text can be long (one call per element of a written-out sum): it is made once
    // for the log line and the evaluation.
    nb::object text = text_of(constraint);
    nb::object foralls_text = text_of(foralls);
    nb::object line = concat(kConstraintLine, text);
    line = concat(line, nb::str(kConstraintJoin));
    line = concat(line, foralls_text);
    log("log_d", line);
    if (truthy(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("add_constraint")(text, concat(kForallsPrefix, foralls_text));
    } else {
        fill_hard_text(text, foralls);
    }
}

void Model::add_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                                nb::kwargs foralls) {
    if (!is_wcnf_.is_none() && !truthy(is_wcnf_)) refuse("FormulaError", kAlreadyCnfMsg);
    if (!truthy(constraint.attr("soft"))) refuse("FormulaError", kNotSoftMsg);
    normalize_foralls(foralls);
    // A numpy integer weighs as its plain int (numpy's own product would come first otherwise).
    if (!is_instance(weight, g_module.get("Expression")) && !PyLong_Check(weight.ptr())) {
        nb::object plain = plain_integer(weight);
        if (!plain.is_valid()) refuse_builtin(PyExc_TypeError, kWeightTypeMsg);
        weight = plain;
    }
    if (truthy(use_formula_encoder_)) {
        init_formula_encoder();
        // Weighted from here on, unless the encoder refuses the constraint.
        nb::object mode_before = is_wcnf_;
        is_wcnf_ = nb::bool_(true);
        try {
            formula_encoder_.attr("add_soft_constraint")(text_of(constraint),
                                                         concat(kForallsPrefix, text_of(foralls)),
                                                         weight, minimization);
        } catch (...) {
            is_wcnf_ = mode_before;
            throw;
        }
    } else {
        fill_soft_constraint(constraint, weight, minimization, foralls);
    }
}

bool Model::use_target() const {
    if (is_wcnf_.is_none()) return false;
    return !truthy(is_wcnf_);
}

void Model::add_target(nb::object target) {
    if (!is_wcnf_.is_none() && truthy(is_wcnf_)) refuse("FormulaError", kAlreadyWcnfMsg);
    if (truthy(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("add_target")(text_of(target));
    } else {
        fill_target(target);
    }
}

void Model::reset_target() {
    if (use_target()) template_target_ = nb::none();
}

void Model::fill_target(nb::object target) {
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    if (!truthy(target.attr("soft"))) refuse("TargetError", kNotTargetMsg);
    // The target is encoded only at a build: its elements are checked now, where it is given.
    try {
        with_manager_reset(manager_, [&](bool &) {
            evaluate(text_of(target));
            check_elements(nb::dict());
        });
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
    if (use_target()) log("log_w", kTargetAlreadyUsedMsg);
    reset_target();
    template_target_ = std::move(target);
    is_wcnf_ = nb::bool_(false);
}

nb::dict Model::evaluation_namespace() const {
    nb::dict ns;
    if (PyDict_Update(ns.ptr(), formulas_dir_.ptr()) < 0) throw nb::python_error();
    if (PyDict_Update(ns.ptr(), indexes_.ptr()) < 0) throw nb::python_error();
    nb::object genvars = manager_.attr("name2genvar");
    if (PyDict_Update(ns.ptr(), genvars.ptr()) < 0) throw nb::python_error();
    return ns;
}

nb::object Model::evaluate(const nb::object &text, const nb::dict &bindings) const {
    nb::dict ns = evaluation_namespace();
    if (PyDict_Update(ns.ptr(), bindings.ptr()) < 0) throw nb::python_error();
    // The texts the library writes run natively, with `eval`'s meaning; any other goes to `eval`.
    return formula::eval_formula(text, ns, g_eval);
}

// Evaluated hard constraint or target bound -> its clause form through the engine's Tseytin
// transformation.
nb::object Model::to_clause_form(nb::object value, const nb::object &text) {
    if (is_instance(value, g_module.get("variable").attr("Variable")))
        value = value.attr("to_bx")();
    // Comparisons that the formula reads other than as plain requirements stand for literals
    // whose defining clauses hold beside the whole formula.
    // A literal that the formula lost on the way (x | ~x, an implication of true) is free, and its
    // definition holds for one of its values whatever the rest: only the others are conjoined, so
    // that a formula that always holds is still found redundant.
    if (zk::core::Manager *mgr = zk::core::exact_manager(manager_)) {
        if (nb::len(mgr->definitions_) > 0 && nb::hasattr(value, "tseytin")) {
            nb::list definitions = mgr->definitions_;
            mgr->definitions_ = nb::list();
            nb::object support = value.attr("support")();
            nb::list parts;
            parts.append(value);
            for (nb::handle pair : definitions) {
                int used = PySequence_Contains(support.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0));
                if (used < 0) throw nb::python_error();
                if (used) parts.append(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
            }
            if (nb::len(parts) > 1) value = g_module.get("bx").attr("and_s")(parts);
        }
    }
    // A term without a comparison would fail inside the transformation with an error that names
    // neither the constraint nor the cause.
    if (!nb::hasattr(value, "tseytin")) refuse("FormulaError", concat(kNotBooleanMsg, text));
    return value.attr("tseytin")(manager_.attr("bx_context"), class_attr("_Model__BXPR_AUX"));
}

namespace {

// The names of a clause form's variables, through the engine's flat clause arrays where it offers
// them: no engine object per variable. Null where the arrays are not to be had.
nb::object clause_form_names(const nb::object &templ) {
    nb::object arrays = zk::clause_arrays(templ);
    if (!arrays.is_valid()) return nb::object();
    return nb::borrow(PyTuple_GET_ITEM(arrays.ptr(), 0));
}

AuxCounts count_auxiliaries(const nb::object &manager, const nb::object &templ,
                            const nb::object &bxpr_aux) {
    AuxCounts counts{manager.attr("cnt_pbvar"), nb::int_(0)};
    long n = 0;
    auto count = [&](nb::handle text) {
        int r = PySequence_Contains(text.ptr(), bxpr_aux.ptr());
        if (r < 0) throw nb::python_error();
        if (r == 1) ++n;
    };
    nb::object names = clause_form_names(templ);
    if (names.is_valid()) {
        for (nb::handle name : names) count(name);
    } else {
        for (nb::handle v : templ.attr("support")()) count(text_of(v));
    }
    counts.bx_ = nb::int_(n);
    return counts;
}

}  // namespace

void Model::fill_hard_constraint(nb::object constraint, nb::object foralls) {
    init_formula_container();
    if (PyDict_Check(foralls.ptr())) normalize_foralls(nb::borrow<nb::dict>(foralls));
    fill_hard_text(text_of(constraint), foralls);
}

namespace {

// The for-all values of every keyword, in keyword order, when they can be listed and the instances
// are not too many to make one by one; empty otherwise.
constexpr Py_ssize_t kMaxInstances = 1000000;

std::vector<std::pair<nb::object, std::vector<nb::object>>> instance_values(
    const nb::object &foralls) {
    std::vector<std::pair<nb::object, std::vector<nb::object>>> out;
    if (!PyDict_Check(foralls.ptr()) || PyDict_GET_SIZE(foralls.ptr()) == 0) return out;
    Py_ssize_t count = 1;
    for (auto [key, value] : nb::borrow<nb::dict>(foralls)) {
        Py_ssize_t n = PyObject_Length(value.ptr());
        if (n < 0) {
            clear_only(PyExc_TypeError);
            return {};
        }
        if (n > 0 && count > kMaxInstances / n) return {};
        count *= n;
        std::vector<nb::object> values;
        for (nb::handle v : value) values.push_back(nb::borrow(v));
        out.emplace_back(nb::borrow(key), std::move(values));
    }
    return out;
}

// Whether some for-all keyword takes no value: the constraint then has no instance.
bool without_instances(const nb::object &foralls) {
    if (!PyDict_Check(foralls.ptr())) return false;
    for (auto [key, value] : nb::borrow<nb::dict>(foralls)) {
        Py_ssize_t n = PyObject_Length(value.ptr());
        if (n < 0) {
            clear_only(PyExc_TypeError);
            continue;
        }
        if (n == 0) return true;
    }
    return false;
}

void warn_redundant_here() {
    auto [source, line] = call_site();
    log("log_w", concat(concat(concat(kRedundantHead, source), nb::str(kLinePiece)), line));
}

}  // namespace

std::pair<nb::object, nb::object> Model::hard_template(const nb::object &text,
                                                       const nb::object &foralls,
                                                       const nb::dict &bindings, bool instances,
                                                       bool warn_redundant) {
    AuxCounts counts{nb::int_(0), nb::int_(0)};
    nb::object result;
    with_manager_reset(manager_, [&](bool &reset_done) {
        nb::object value = evaluate(text, bindings);
        check_elements(foralls);
        nb::object templ = to_clause_form(value, text);
        log("log_t", kHardUtilityMsg);
        nb::object bxpr_aux = class_attr("_Model__BXPR_AUX");
        counts = count_auxiliaries(manager_, templ, bxpr_aux);
        nb::object bx = g_module.get("bx");
        if (is_instance(templ, bx.attr("Zero"))) {
            // A constraint without any instance asks for nothing.
            if (!instances) return;
            auto [source, line] = call_site();
            nb::object msg =
                concat(concat(concat(kContradictionHead, source), nb::str(kLinePiece)), line);
            log("log_e", msg);
            manager_.attr("reset")();
            reset_done = true;
            zk::raise_plain(g_module.get("FormulaError"), msg);
        }
        if (is_instance(templ, bx.attr("One"))) {
            if (warn_redundant) warn_redundant_here();
            return;
        }
        check_instances(foralls, counts);
        result = templ;
    });
    if (!result.is_valid()) return {nb::object(), nb::object()};
    return {result, nb::make_tuple(counts.pb_, counts.bx_)};
}

void Model::fill_hard_text(const nb::object &text, const nb::object &foralls) {
    // A refused formula leaves no container behind: families may still follow it.
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    // The evaluation, its encoding and the queued template make hundreds of thousands of objects
    // for a large formula, none of them in a cycle.
    zk::GcPause pause;
    try {
        std::pair<nb::object, nb::object> made;
        try {
            made = hard_template(text, foralls, nb::dict(), !without_instances(foralls));
        } catch (nb::python_error &e) {
            // The template is made once, with index symbols for the for-all values; a formula
            // whose shape depends on the values (a coefficient that is a power of an index, an
            // integer plus an index) is made for each instance instead.
            if (!e.matches(PyExc_TypeError) || !fill_by_instances(text, foralls, false)) throw;
            return;
        }
        if (!made.first.is_valid()) return;
        formula_container_.attr("add_hard_constraint")(made.first, foralls, made.second[0],
                                                       made.second[1]);
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
}

// The constraint made for each instance of its for-all values, each an instance of its own;
// nothing is queued unless every instance is made. False when the values cannot be listed.
bool Model::fill_by_instances(const nb::object &text, const nb::object &foralls, bool soft) {
    auto values = instance_values(foralls);
    if (values.empty()) return false;
    for (auto &entry : values)
        if (entry.second.empty()) return true;  // no instance
    std::vector<size_t> at(values.size(), 0);
    std::vector<std::pair<nb::object, nb::object>> made;
    nb::dict none;
    nb::list all_weights;
    for (;;) {
        nb::dict bindings;
        for (size_t k = 0; k < values.size(); ++k)
            bindings[values[k].first] = values[k].second[at[k]];
        if (soft) {
            with_manager_reset(manager_, [&](bool &) {
                nb::object value = evaluate(text, bindings);
                check_elements(none);
                auto [formula, weights] = zk::unpack_pair(value);
                for (nb::handle w : weights) all_weights.append(w);
                made.emplace_back(formula, weights);
            });
        } else {
            // Redundant is said of the constraint, not of one of its instances.
            made.push_back(hard_template(text, none, bindings, true, false));
        }
        size_t k = values.size();
        while (k > 0 && ++at[k - 1] == values[k - 1].second.size()) at[--k] = 0;
        if (k == 0) break;
    }
    if (soft) check_weights(all_weights, none);
    bool redundant = !soft;
    for (auto &[templ, extra] : made) {
        if (!templ.is_valid()) continue;
        redundant = false;
        if (soft)
            formula_container_.attr("add_soft_formula")(templ, extra, none, 0, 0);
        else
            formula_container_.attr("add_hard_constraint")(templ, none, extra[0], extra[1]);
    }
    if (redundant) warn_redundant_here();
    return true;
}

void Model::fill_soft_constraint(nb::object constraint, nb::object weight, nb::object minimization,
                                 nb::object foralls) {
    bool creates_container = formula_container_.is_none();
    init_formula_container();
    if (PyDict_Check(foralls.ptr())) normalize_foralls(nb::borrow<nb::dict>(foralls));
    try {
        PyObject *product = PyNumber_Multiply(weight.ptr(), constraint.ptr());
        if (!product) throw nb::python_error();
        nb::object objective = nb::steal(product).attr("maxsat")(minimization);
        log("log_d", concat(kBuildingSoftMsg, text_of(constraint)));
        nb::object text = text_of(objective);
        bool by_instances = false;
        with_manager_reset(manager_, [&](bool &) {
            nb::object value;
            try {
                value = evaluate(text);
            } catch (nb::python_error &e) {
                // As for hard constraints: weights that depend on the for-all values are made for
                // each instance.
                if (!e.matches(PyExc_TypeError) || instance_values(foralls).empty()) throw;
                by_instances = true;
                return;
            }
            check_elements(foralls);
            auto [formula, weights] = zk::unpack_pair(value);
            check_weights(weights, foralls);
            formula_container_.attr("add_soft_formula")(formula, weights, foralls, 0, 0);
        });
        if (by_instances) fill_by_instances(text, foralls, true);
        is_wcnf_ = nb::bool_(true);
    } catch (...) {
        if (creates_container) formula_container_ = nb::none();
        throw;
    }
}

// What the container cannot number: auxiliaries past the literal range, more instances than
// clauses a storage can count.
void Model::check_instances(const nb::object &foralls, const AuxCounts &counts) const {
    ForallInfo fa = read_forall_info(foralls);
    int64_t pb = nb::cast<int64_t>(counts.pb_), bx = nb::cast<int64_t>(counts.bx_);
    __int128 next = nb::cast<int64_t>(formula_container_.attr("_cur_init_shift_variable"));
    __int128 last = next + fa.instances_ * (static_cast<__int128>(pb) + bx) - 1;
    if (fa.instances_ > kMaxLiteral || last > kMaxLiteral)
        refuse_builtin(PyExc_ValueError, kTooManyInstancesMsg);
}

// Weights reach the clause storage as 64-bit integers, and so does their total, the weight that
// a hard clause carries.
void Model::check_weights(const nb::object &weights, const nb::object &foralls) const {
    ForallInfo fa = read_forall_info(foralls);
    if (fa.instances_ > kMaxLiteral) refuse_builtin(PyExc_ValueError, kTooManyInstancesMsg);
    nb::object total = formula_container_.attr("hard_weight");
    nb::object limit = nb::int_(INT64_MAX);
    nb::object instances = nb::int_(static_cast<int64_t>(fa.instances_));
    for (nb::handle w : weights) {
        bool too_large = !PyLong_Check(w.ptr()) ||
                         check(PyObject_RichCompareBool(w.ptr(), limit.ptr(), Py_GT)) == 1;
        if (!too_large) {
            PyObject *sum = PyNumber_Add(total.ptr(), (nb::borrow(w) * instances).ptr());
            if (!sum) throw nb::python_error();
            total = nb::steal(sum);
            too_large = check(PyObject_RichCompareBool(total.ptr(), limit.ptr(), Py_GT)) == 1;
        }
        if (too_large)
            refuse_builtin(PyExc_ValueError, std::string(kWeightTooLargeHead) +
                                                 utf8_of(text_of(w)) + kWeightTooLargeTail);
    }
}

void Model::build_target(nb::object border, nb::object minimization) {
    init_formula_container();
    PyObject *bounded_ptr = PyObject_RichCompare(template_target_.ptr(), border.ptr(),
                                                 truthy(minimization) ? Py_LE : Py_GE);
    if (!bounded_ptr) throw nb::python_error();
    nb::object bounded = nb::steal(bounded_ptr);
    log("log_i", kBuildingTargetMsg);
    with_manager_reset(manager_, [&](bool &reset_done) {
        nb::object text = text_of(bounded);
        nb::object templ = to_clause_form(evaluate(text), text);
        log("log_d", kTargetUtilityMsg);
        AuxCounts counts = count_auxiliaries(manager_, templ, class_attr("_Model__BXPR_AUX"));
        nb::object bx = g_module.get("bx");
        if (is_instance(templ, bx.attr("Zero"))) {
            log("log_e", kTargetContradictionMsg);
            manager_.attr("reset")();
            reset_done = true;
            zk::raise_plain(g_module.get("FormulaError"), nb::str(kTargetContradictionMsg));
        }
        if (is_instance(templ, bx.attr("One")))
            log("log_w", kTargetRedundantMsg);
        else
            formula_container_.attr("add_target_constraint")(templ, nb::dict(), counts.pb_,
                                                             counts.bx_);
    });
}

void Model::init_formula_container() {
    if (formula_container_.is_none())
        formula_container_ = g_module.get("FormulaContainer")(variables_, shift_target_variable_);
}

void Model::init_formula_encoder() {
    if (!formula_encoder_.is_none()) return;
    // Without an engine manager there is no one to ask; say so instead of failing on None.
    if (sorn_manager_.is_none()) refuse("BuildError", kNoManagerMsg);
    formula_encoder_ = sorn_manager_.attr("create_formula_encoder")(model_name_);
}

namespace {

nb::object start_line(const char *head, const nb::object &name, const nb::object &shift) {
    PyObject *last = PyNumber_Subtract(shift.ptr(), nb::int_(1).ptr());
    if (!last) throw nb::python_error();
    nb::object line = concat(head, name);
    line = concat(line, nb::str(kTargetVariablesPiece));
    return concat(line, text_of(nb::steal(last)));
}

}  // namespace

// The common middle of both builds: the formula encoder generates its clauses, or the container
// completes its storage through `container_build` ("build_cnf_formula" or "build_wcnf_formula").
nb::object Model::built_storage(const char *container_build) {
    if (truthy(use_formula_encoder_)) {
        init_formula_encoder();
        formula_encoder_.attr("generate_cnf")();
        return formula_encoder_.attr("get_cnf_storage")();
    }
    if (formula_container_.is_none()) refuse("BuildError", kNoContainerMsg);
    formula_container_.attr(container_build)(model_name_);
    return formula_container_.attr("cnf_storage")();
}

// The common end of both builds: hand the storage over, map names, make the witness interpreter.
// Empty when there is no variable mapping.
nb::object Model::finish_build(nb::object storage, const char *empty_storage_msg) {
    if (storage.is_none()) refuse("BuildError", empty_storage_msg);
    if (sorn_manager_.is_none()) refuse("BuildError", kNoManagerMsg);
    sorn_manager_.attr("set_cnf_storage")(storage);
    insert_preliminary_values(storage);
    nb::object var_maps = get_var_mapping();
    if (var_maps.is_none()) {
        log("log_e", kNoMappingMsg);
        return nb::object();
    }
    nb::object wi = g_module.get("se").attr("witness_interpreter")();
    wi.attr("set_var_mapping")(var_maps);
    nb::list prefixes;
    prefixes.append(class_attr("_Model__BXPR_AUX"));
    prefixes.append(class_attr("_Model__PBCT_AUX"));
    wi.attr("set_auxiliary_vars")(prefixes);
    nb::object rez = wi.attr("build_mapping_tables")(true);
    if (truthy(rez)) sorn_manager_.attr("set_witness_interpreter")(wi);
    return rez;
}

nb::object Model::build_cnf(nb::object border, nb::object minimization) {
    if (truthy(is_wcnf_)) refuse("BuildError", kWcnfFormatMsg);
    if (use_target()) {
        if (border.is_none() || minimization.is_none()) refuse("BuildError", kNoBorderMsg);
        build_target(border, minimization);
    }
    log("log_i", start_line(kCnfStartLine, model_name_, shift_target_variable_));
    nb::object rez = finish_build(built_storage("build_cnf_formula"), kCnfEmptyMsg);
    if (!rez.is_valid()) return nb::bool_(false);

    PyObject *diff = PyNumber_Subtract(now().ptr(), start_time_.ptr());
    if (!diff) throw nb::python_error();
    nb::object span = nb::steal(diff);
    nb::object origin = g_module.get("datetime")(1, 1, 1, 0, 0, 0, 0);
    nb::object stamp = concat(origin, span).attr("strftime")(kDurationFormat);
    nb::object duration = stamp[nb::slice(nb::none(), nb::int_(-3), nb::none())];
    nb::object line =
        concat(kCnfEndLine, nb::str(truthy(use_formula_encoder_) ? kCnfEncoderSuffix : kOwnSuffix));
    line = concat(concat(line, nb::str(kDurationPiece)), duration);
    log("log_i", line);
    return rez;
}

nb::object Model::build_wcnf() {
    if (is_wcnf_.is_none() || !truthy(is_wcnf_)) refuse("BuildError", kCnfFormatMsg);
    log("log_i", start_line(kWcnfStartLine, model_name_, shift_target_variable_));
    nb::object rez = finish_build(built_storage("build_wcnf_formula"), kWcnfEmptyMsg);
    if (!rez.is_valid()) return nb::bool_(false);
    log("log_i", concat(kWcnfEndLine,
                        nb::str(truthy(use_formula_encoder_) ? kWcnfEncoderSuffix : kOwnSuffix)));
    return rez;
}

bool Model::served_by_encoder() const {
    return truthy(use_formula_encoder_) && !formula_encoder_.is_none();
}

bool Model::encodes_itself() const { return !truthy(use_formula_encoder_); }

nb::object Model::get_cnf_storage() {
    if (!encodes_itself()) {
        if (formula_encoder_.is_none()) return nb::none();
        return formula_encoder_.attr("get_cnf_storage")();
    }
    if (formula_container_.is_none()) return nb::none();
    return formula_container_.attr("cnf_storage")();
}

nb::object Model::get_var_mapping() {
    if (!encodes_itself()) {
        if (formula_encoder_.is_none()) return nb::none();
        return formula_encoder_.attr("get_var_mapping")();
    }
    if (formula_container_.is_none()) return nb::none();
    // Families by shape where both sides can: a family of 10^8 declared elements then costs no
    // names on either side. Only the library's own container knows its shapes; another object
    // in its place is read through `mapping`.
    const bool own_container =
        Py_TYPE(formula_container_.ptr()) ==
        reinterpret_cast<PyTypeObject *>(g_module.get("FormulaContainer").ptr());
    nb::object shapes =
        own_container ? formula_container_.attr("_mapping_shapes")() : nb::object(nb::none());
    if (!shapes.is_none()) {
        nb::object var_maps = g_module.get("se").attr("var_mapping")();
        PyObject *bulk = PyObject_GetAttrString(var_maps.ptr(), "set_var_families");
        if (bulk != nullptr) {
            nb::object call = nb::steal(bulk);
            call(shapes[0], shapes[1]);
            var_maps.attr("build_inverse_map")();
            return var_maps;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object mapping = formula_container_.attr("mapping");
        var_maps.attr("set_var_map")(mapping);
        var_maps.attr("build_inverse_map")();
        return var_maps;
    }
    // Every read of the container's map is a new copy of it: read it once.
    nb::object mapping = formula_container_.attr("mapping");
    if (nb::len(mapping) == 0) return nb::none();
    nb::object var_maps = g_module.get("se").attr("var_mapping")();
    var_maps.attr("set_var_map")(mapping);
    var_maps.attr("build_inverse_map")();
    return var_maps;
}

nb::object Model::save_metrics_json(nb::object filename) {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("save_metrics_json")(filename);
}

nb::object Model::save_metrics_csv(nb::object filename) {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("save_metrics_csv")(filename);
}

void Model::reset() {
    if (served_by_encoder()) formula_encoder_.attr("reset")();
}

void Model::set_witness(nb::object witness) {
    if (served_by_encoder()) formula_encoder_.attr("set_witness")(witness);
}

void Model::set_another_witness(nb::object witness) {
    if (served_by_encoder()) formula_encoder_.attr("set_another_witness")(witness);
}

nb::object Model::check_another_witness() {
    if (!served_by_encoder()) return nb::bool_(false);
    return formula_encoder_.attr("check_another_witness")();
}

void Model::add_preliminary_var_value(nb::object var, nb::object negative) {
    // Element numbers run from 1: after the placeholder of the own encoding, after the formula
    // encoder's own placeholder in the other back end.
    nb::object last =
        truthy(use_formula_encoder_)
            ? shift_target_variable_
            : nb::steal(PyNumber_Subtract(shift_target_variable_.ptr(), nb::int_(1).ptr()));
    if (!last.is_valid()) throw nb::python_error();
    nb::object number = plain_non_bool_integer(var);
    if (!number.is_valid() ||
        check(PyObject_RichCompareBool(number.ptr(), nb::int_(1).ptr(), Py_LT)) == 1 ||
        check(PyObject_RichCompareBool(number.ptr(), last.ptr(), Py_GT)) == 1)
        refuse_builtin(PyExc_ValueError, std::string(kPreliminaryHead) + utf8_of(text_of(last)) +
                                             kPreliminaryMid + repr_text(var));
    nb::object literal = number;
    if (truthy(negative)) {
        PyObject *neg = PyNumber_Negative(number.ptr());
        if (!neg) throw nb::python_error();
        literal = nb::steal(neg);
    }
    log("log_d", concat(kPreliminaryMsg, text_of(literal)));
    // Kept for this model's builds; once one has run, its storage takes the value at once. The
    // engine manager's current storage may be another model's.
    if (PyList_Append(preliminary_values_.ptr(), literal.ptr()) < 0) throw nb::python_error();
    if (!preliminary_storage_.is_none()) {
        preliminary_storage_.attr("insert_prefatory_value")(literal);
        preliminary_inserted_ = static_cast<size_t>(PyList_GET_SIZE(preliminary_values_.ptr()));
    }
}

// Gives the storage of a build the preliminary values it does not hold yet.
void Model::insert_preliminary_values(const nb::object &storage) {
    if (!storage.is(preliminary_storage_)) {
        preliminary_storage_ = storage;
        preliminary_inserted_ = 0;
    }
    size_t n = static_cast<size_t>(PyList_GET_SIZE(preliminary_values_.ptr()));
    if (preliminary_inserted_ >= n) return;
    nb::object insert = storage.attr("insert_prefatory_value");
    for (; preliminary_inserted_ < n; ++preliminary_inserted_)
        insert(nb::handle(PyList_GET_ITEM(preliminary_values_.ptr(),
                                          static_cast<Py_ssize_t>(preliminary_inserted_))));
}

namespace {

using zk::encode::Model;

// Binds the module's names in the order the module's own imports bind them.
void import_names(nb::module_ &m) {
    m.attr("tp") = nb::module_::import_("typing");
    m.attr("traceback") = nb::module_::import_("traceback");
    m.attr("re") = nb::module_::import_("re");
    m.attr("reduce") = nb::module_::import_("functools").attr("reduce");
    m.attr("mul") = nb::module_::import_("operator").attr("mul");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    m.attr("se") = nb::module_::import_("nubrix.sorn_engine");
    m.attr("bx") = nb::module_::import_("nubrix.sorn_engine.bxpr");
    m.attr("pb") = nb::module_::import_("nubrix.sorn_engine.pbct");

    nb::module_ variables = nb::module_::import_("zk_encoder.encode.variables");
    m.attr("Variable") = variables.attr("Variable");
    m.attr("Index") = variables.attr("Index");
    m.attr("Expression") = nb::module_::import_("zk_encoder.encode.expressions").attr("Expression");
    m.attr("FormulaContainer") =
        nb::module_::import_("zk_encoder.core.formula_container").attr("FormulaContainer");
    for (const char *name : {"pboperations", "formulapb", "manager", "variable"})
        m.attr(name) = nb::module_::import_((std::string("zk_encoder.core.") + name).c_str());
    nb::module_ exceptions = nb::module_::import_("zk_encoder._exceptions");
    for (const char *name : {"VariableError", "FormulaError", "TargetError", "BuildError"})
        m.attr(name) = exceptions.attr(name);
    zk::import_logger(m);
}

}  // namespace

// The module's objects, in the order the package's readers expect them.
void bind_module(nb::module_ &m) {
    using namespace nb::literals;
    namespace ze = zk::encode;
    zk::init_module();
    import_names(m);
    ze::g_module.bind(m);
    ze::g_eval = nb::module_::import_("builtins").attr("eval").inc_ref().ptr();
    zk::formula::def_formula_eval(m);
    ze::g_format_stack = nb::module_::import_("traceback").attr("format_stack").inc_ref().ptr();

    // The engine types that annotate the model's operations must exist when the class is made.
    nb::object se = m.attr("se");
    for (const char *name : {"manager", "wcnf_storage", "var_mapping"}) nb::getattr(se, name);

    // A program's engine manager or formula encoder may hold the model it serves.
    using Gc =
        zk::GcSlots<Model, &Model::sorn_manager_, &Model::model_name_, &Model::use_formula_encoder_,
                    &Model::formula_encoder_, &Model::formula_container_, &Model::used_vars_,
                    &Model::manager_, &Model::variables_, &Model::indexes_, &Model::formulas_dir_,
                    &Model::shift_target_variable_, &Model::is_wcnf_, &Model::template_target_,
                    &Model::start_time_, &Model::forwarded_families_, &Model::preliminary_values_,
                    &Model::preliminary_storage_>;
    nb::class_<Model> cls(m, "Model", ze::kClassDoc, nb::type_slots(Gc::slots_));
    ze::g_model_type = cls.ptr();
    cls.attr("_Model__EXPRESSION_FORMULA_RE") =
        m.attr("re").attr("compile")(ze::kExpressionFormulaRe);
    cls.attr("_Model__BXPR_AUX") = ze::kBxprAux;
    cls.attr("_Model__PBCT_AUX") = ze::kPbctAux;
    cls.attr("_Model__DUMMY_VAR") = ze::kDummyVar;

    // Signatures carry the declared annotations and defaults; the annotated engine names were
    // looked up above.
    cls.def(nb::init<nb::object, nb::object, nb::object>(), "smanager"_a.none(), "name"_a.none(),
            "use_formula_encoder"_a.none() = false,
            nb::sig("def __init__(self, smanager: se.manager, name: str, "
                    "use_formula_encoder: bool = False) -> None"),
            ze::kInitDoc)
        .def("get_name", &Model::get_name, nb::sig("def get_name(self) -> str"))
        .def("create_variables", &Model::create_variables, "name"_a.none(), "dims"_a,
             nb::sig("def create_variables(self, name: str, **dims: int) -> Variable"),
             ze::kCreateVariablesDoc)
        .def("get_indexes", &Model::get_indexes, "indexes"_a.none(),
             nb::sig("def get_indexes(self, indexes: tp.Sequence[str]) -> "
                     "tp.Union[Index, tp.Sequence[Index]]"),
             ze::kGetIndexesDoc)
        .def("add_constraint", &Model::add_constraint, "constraint"_a.none(), "foralls"_a,
             nb::sig("def add_constraint(self, constraint: Expression, "
                     "**foralls: tp.Sequence[int]) -> None"),
             ze::kAddConstraintDoc)
        .def("add_soft_constraint", &Model::add_soft_constraint, "constraint"_a.none(),
             "weight"_a.none() = 1, "minimization"_a.none() = false, "foralls"_a,
             nb::sig("def add_soft_constraint(self, constraint: Expression, weight: int = 1, "
                     "minimization: bool = False, **foralls: tp.Sequence[int]) -> None"),
             ze::kAddSoftConstraintDoc)
        .def_prop_ro("use_target", &Model::use_target,
                     nb::for_getter(nb::sig("def use_target(self) -> bool")), ze::kUseTargetDoc)
        .def("add_target", &Model::add_target, "target"_a.none(),
             nb::sig("def add_target(self, target) -> None"), ze::kAddTargetDoc)
        .def("_Model__reset_target", &Model::reset_target,
             nb::sig("def _Model__reset_target(self) -> None"))
        .def("_Model__build_target", &Model::build_target, "border"_a.none(),
             "minimization"_a.none(),
             nb::sig("def _Model__build_target(self, border: int, minimization: bool)"))
        .def("_Model__fill_hard_constraint", &Model::fill_hard_constraint, "constraint"_a.none(),
             "foralls"_a.none(),
             nb::sig("def _Model__fill_hard_constraint(self, constraint, "
                     "foralls: tp.Dict[str, tp.Sequence[int]])"))
        .def("_Model__fill_soft_constraint", &Model::fill_soft_constraint, "constraint"_a.none(),
             "weight"_a.none(), "minimization"_a.none(), "foralls"_a.none(),
             nb::sig("def _Model__fill_soft_constraint(self, constraint, weight: int, "
                     "minimization: bool, foralls: tp.Dict[str, tp.Sequence[int]])"))
        .def("_Model__fill_target", &Model::fill_target, "target"_a.none(),
             nb::sig("def _Model__fill_target(self, target)"))
        .def("_Model__init_formula_container", &Model::init_formula_container,
             nb::sig("def _Model__init_formula_container(self)"))
        .def("_Model__init_formula_encoder", &Model::init_formula_encoder,
             nb::sig("def _Model__init_formula_encoder(self)"))
        .def("build_cnf", &Model::build_cnf, "border"_a.none() = nb::none(),
             "minimization"_a.none() = nb::none(),
             nb::sig("def build_cnf(self, border: tp.Optional[int] = None, "
                     "minimization: tp.Optional[bool] = None) -> bool"),
             ze::kBuildCnfDoc)
        .def("build_wcnf", &Model::build_wcnf, nb::sig("def build_wcnf(self) -> bool"))
        .def("get_cnf_storage", &Model::get_cnf_storage,
             nb::sig("def get_cnf_storage(self) -> se.wcnf_storage"))
        .def("get_var_mapping", &Model::get_var_mapping,
             nb::sig("def get_var_mapping(self) -> se.var_mapping"))
        .def("save_metrics_json", &Model::save_metrics_json, "filename"_a.none(),
             nb::sig("def save_metrics_json(self, filename: str)"))
        .def("save_metrics_csv", &Model::save_metrics_csv, "filename"_a.none(),
             nb::sig("def save_metrics_csv(self, filename: str)"))
        .def("reset", &Model::reset, nb::sig("def reset(self) -> None"))
        .def("set_witness", &Model::set_witness, "witness"_a.none(),
             nb::sig("def set_witness(self, witness) -> None"))
        .def("set_another_witness", &Model::set_another_witness, "witness"_a.none(),
             nb::sig("def set_another_witness(self, witness) -> None"))
        .def("check_another_witness", &Model::check_another_witness,
             nb::sig("def check_another_witness(self) -> bool"))
        .def("get_var_index", &Model::get_var_index, "var"_a.none(),
             nb::sig("def get_var_index(self, var: int) -> int"))
        .def("add_preliminary_var_value", &Model::add_preliminary_var_value, "var"_a.none(),
             "negative"_a.none() = false,
             nb::sig("def add_preliminary_var_value(self, var: int, negative=False)"));

    // The fields, under their Python names; writable so that a program (or a test) can put the
    // model into any state the operations reach.
#define ZK_MODEL_FIELD(py_name, member)                   \
    cls.def_prop_rw(                                      \
        py_name, [](Model &self) { return self.member; }, \
        [](Model &self, nb::object value) { self.member = std::move(value); }, "value"_a.none())
    ZK_MODEL_FIELD("_sorn_manager", sorn_manager_);
    ZK_MODEL_FIELD("_model_name", model_name_);
    ZK_MODEL_FIELD("_use_formula_encoder", use_formula_encoder_);
    ZK_MODEL_FIELD("_formula_encoder", formula_encoder_);
    ZK_MODEL_FIELD("_formula_container", formula_container_);
    ZK_MODEL_FIELD("_used_vars", used_vars_);
    ZK_MODEL_FIELD("_manager", manager_);
    ZK_MODEL_FIELD("_variables", variables_);
    ZK_MODEL_FIELD("_indexes", indexes_);
    ZK_MODEL_FIELD("_formulas_dir", formulas_dir_);
    ZK_MODEL_FIELD("_shift_target_variable", shift_target_variable_);
    ZK_MODEL_FIELD("_is_wcnf", is_wcnf_);
    ZK_MODEL_FIELD("_template_target", template_target_);
    ZK_MODEL_FIELD("_start_time", start_time_);
#undef ZK_MODEL_FIELD
}

}  // namespace zk::encode

ZK_MODULE(model, m) { zk::encode::bind_module(m); }
