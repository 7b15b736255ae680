// The for-all range checks: index texts the linear reader takes are bounded by the extremes of
// their keywords' values; any other is evaluated for every combination of the values it uses.
#include "zk_encoder/encode/model/forall_checks.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/numbers.hpp"
#include "texts/decimal.hpp"
#include "texts/index_text.hpp"
#include "zk_encoder/encode/model/messages.hpp"
#include "zk_encoder/encode/model/module_state.hpp"

namespace zk::encode {

namespace {

constexpr __int128 kInstanceCap = static_cast<__int128>(1) << 62;

}  // namespace

ForallInfo read_forall_info(const nb::handle &foralls) {
    ForallInfo fa;
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
            slot.start_ = index_int64(nb::handle(value).attr("start"));
            stop = index_int64(nb::handle(value).attr("stop"));
            slot.step_ = index_int64(nb::handle(value).attr("step"));
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

namespace {

int slot_of(const ForallInfo &fa, const std::string &name) {
    for (size_t s = 0; s < fa.names_.size(); ++s)
        if (fa.names_[s] == name) return static_cast<int>(s);
    return -1;
}

std::string assignment_text(const ForallInfo &fa, const std::vector<std::pair<int, int64_t>> &at) {
    std::string out;
    for (const auto &[s, v] : at) {
        if (!out.empty()) out += kAssignmentSeparator;
        out += format_message(kAssignmentText, fa.names_[static_cast<size_t>(s)], v);
    }
    return out;
}

[[noreturn]] void refuse_outside(std::string_view item, std::string_view element, __int128 value,
                                 const std::string &at, size_t dim, int64_t size) {
    g_module.raise_logged(
        PyExc_IndexError,
        at.empty() ? format_message(kOutsideMsg, item, element, value, dim, size - 1)
                   : format_message(kOutsideAtMsg, item, element, value, at, dim, size - 1));
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
        g_module.raise_logged("FormulaError", format_message(kUnreadableMsg, item, element));
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
            g_module.raise_logged(PyExc_TypeError,
                                  format_message(kIndexNotIntMsg, item, element,
                                                 numbers::repr_text(r), assignment_text(fa, at)));
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

}  // namespace

const VariableFamily *family_ptr(nb::handle h) {
    nb::handle type = nb::type<zk::encode::VariableFamily>();
    if (!h.is_valid() || !type.is_valid() || (PyObject *)Py_TYPE(h.ptr()) != type.ptr())
        return nullptr;
    return nb::inst_ptr<zk::encode::VariableFamily>(h);
}

namespace {

// Far past any family, and small enough that a few of them add up without overflow.
__int128 clamped(__int128 v) {
    constexpr __int128 kFar = static_cast<__int128>(1) << 100;
    return v > kFar ? kFar : v < -kFar ? -kFar : v;
}

}  // namespace

void check_element(const ForallInfo &fa, const VariableFamily &f, std::string_view element,
                   std::string_view items_text) {
    std::vector<std::string_view> items = texts::split_items(items_text);
    if (items.size() != f.sizes_.size())
        g_module.raise_logged(PyExc_IndexError, texts::arity_message(f.name_text_, f.sizes_.size(),
                                                                     element, items.size()));
    for (size_t d = 0; d < items.size(); ++d) {
        std::string_view item = items[d];
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        std::vector<int> used;
        for (const std::string &n : texts::names_in(item)) {
            int s = slot_of(fa, n);
            if (s < 0)
                g_module.raise_logged("FormulaError", format_message(kNoForallMsg, n, element));
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

}  // namespace zk::encode
