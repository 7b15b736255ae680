// Names a program gives that the library's texts then hold (variable families, linear blocks,
// indexes), judged as the host will read them back when it evaluates such a text: a keyword is
// no name at all, an identifier is read in its NFKC form, and a text that rebinds a builtin it
// relies on breaks every later evaluation.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string_view>

#include "common/errors.hpp"
#include "texts/tokens.hpp"

namespace zk::names {

namespace nb = nanobind;

// The builtins every evaluated text relies on: `range` in for-all values, and the namespace's
// own fallback to the builtins.
inline constexpr char kRangeName[] = "range";
inline constexpr char kBuiltinsName[] = "__builtins__";
inline constexpr const char *kHostTextNames[] = {kRangeName, kBuiltinsName};

// The host's keyword test and NFKC normalisation, looked up once for the process.
struct HostFunctions {
    PyObject *iskeyword_ = nullptr;
    PyObject *normalize_ = nullptr;
};

inline const HostFunctions &host_functions() {
    static HostFunctions f = [] {
        HostFunctions r;
        // Kept for the life of the process, as the modules holding them are.
        r.iskeyword_ =
            nb::object(nb::module_::import_("keyword").attr("iskeyword")).release().ptr();
        r.normalize_ =
            nb::object(nb::module_::import_("unicodedata").attr("normalize")).release().ptr();
        return r;
    }();
    return f;
}

// A plain ASCII text, seen without copying: the library's own tables answer for it.
inline std::optional<std::string_view> exact_ascii(nb::handle name) {
    if (!PyUnicode_CheckExact(name.ptr()) || !PyUnicode_IS_ASCII(name.ptr())) return std::nullopt;
    return std::string_view(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(name.ptr())),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(name.ptr())));
}

inline bool is_keyword(nb::handle name) {
    if (std::optional<std::string_view> ascii = exact_ascii(name)) return texts::is_keyword(*ascii);
    return truth(nb::borrow(host_functions().iskeyword_)(name));
}

// A text that is an identifier and not a reserved word; the host answers outside ASCII.
inline bool is_plain_name(nb::handle name) {
    if (std::optional<std::string_view> ascii = exact_ascii(name))
        return texts::identifier_answer(*ascii) == texts::IdentifierAnswer::kYes;
    return PyUnicode_Check(name.ptr()) && truth(name.attr("isidentifier")()) && !is_keyword(name);
}

// Whether a text that holds `name` names the same thing when it is evaluated: the interpreter
// reads identifiers in their NFKC form (the fullwidth x as x, a ligature as its letters), and a
// letter outside the identifier characters not as a name at all.
inline bool reads_back(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()) || !truth(name.attr("isidentifier")())) return false;
    if (exact_ascii(name)) return true;
    nb::object normal = nb::borrow(host_functions().normalize_)("NFKC", name);
    return compare(normal, name, Py_EQ);
}

// Whether `name` is one of `table`'s names.
template <size_t N>
bool is_among(nb::handle name, const char *const (&table)[N]) {
    for (const char *n : table)
        if (compare(name, nb::str(n), Py_EQ)) return true;
    return false;
}

}  // namespace zk::names
