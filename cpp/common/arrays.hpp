// numpy arrays across the library's edge: the one way to make an array of C++ values for a
// program or the engine, and the one way to read an array or buffer that comes in.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/errors.hpp"

namespace zk::arrays {

namespace nb = nanobind;

// ---------------------------------------------------------------------------------------------
// Making arrays

namespace detail {

// A 1-D numpy array over `data`, kept alive by `owner` (released with the array).
template <typename T>
nb::object wrap(T *data, std::size_t n, nb::capsule owner) {
    std::size_t shape[1] = {n};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(data, 1, shape, owner));
}

template <typename T>
const char *numpy_dtype_name() {
    if constexpr (std::is_same_v<T, int32_t>) return "int32";
    if constexpr (std::is_same_v<T, int64_t>) return "int64";
    if constexpr (std::is_same_v<T, double>) return "float64";
}

// numpy's own dtype object of T (np.dtype("int64") and so on).
template <typename T>
nb::handle numpy_dtype() {
    static PyObject *const dtype =
        nb::object(nb::module_::import_("numpy").attr("dtype")(numpy_dtype_name<T>()))
            .release()
            .ptr();
    return dtype;
}

// nanobind describes an array to numpy by the buffer format of its C type, and numpy makes a dtype
// of that format: for int64 that is 'q' (long long), a dtype distinct from numpy's own int64 ('l'
// where long has 64 bits), which a program sees in `dtype.char`, in `is` and in every result
// numpy derives from the array. The library's int64 arrays therefore carry numpy's own dtype,
// as the arrays of numpy's and the sparse library's own operations do.
template <typename T>
inline constexpr bool kForeignFormat = std::is_same_v<T, int64_t>;

}  // namespace detail

// A new writable 1-D array made by numpy itself (np.empty: it owns its memory, and its dtype is
// numpy's own), for the caller to write, and where its n values go.
template <typename T>
std::pair<nb::object, T *> numpy_empty(std::size_t n) {
    static PyObject *const empty =
        nb::object(nb::module_::import_("numpy").attr("empty")).release().ptr();
    nb::object arr = nb::borrow(empty)(n, nb::arg("dtype") = detail::numpy_dtype<T>());
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    T *data = static_cast<T *>(view.buf);
    // The array keeps its memory: the pointer stays valid after the view is released.
    PyBuffer_Release(&view);
    return {std::move(arr), data};
}

// The vector's values copied into such an array.
template <typename T>
nb::object numpy_copy_of(const std::vector<T> &v) {
    auto [arr, data] = numpy_empty<T>(v.size());
    // An empty vector's data() may be null, which memcpy must not be given even for no bytes.
    if (!v.empty()) std::memcpy(data, v.data(), v.size() * sizeof(T));
    return arr;
}

// A new writable 1-D numpy array owning the vector's values (moved, not copied, where numpy's
// own dtype allows: an int64 array is copied into one numpy makes).
template <typename T>
nb::object numpy_of(std::vector<T> &&v) {
    if constexpr (detail::kForeignFormat<T>) {
        return numpy_copy_of(v);
    } else {
        auto *owned = new std::vector<T>(std::move(v));
        nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
        return detail::wrap(owned->data(), owned->size(), std::move(owner));
    }
}

// A new writable 1-D numpy array of n values for the caller to write, and where they go.
template <typename T>
std::pair<nb::object, T *> new_numpy(std::size_t n) {
    if constexpr (detail::kForeignFormat<T>) {
        return numpy_empty<T>(n);
    } else {
        // Left unwritten: every caller writes each value before the array is seen.
        T *data = new T[n > 0 ? n : 1];
        nb::capsule owner(data, [](void *p) noexcept { delete[] static_cast<T *>(p); });
        return {detail::wrap(data, n, std::move(owner)), data};
    }
}

// A read-only 1-D numpy view of memory the caller owns, for the length of one engine call only:
// the array keeps nothing alive, so it must not outlive the call it is handed to.
template <typename T>
nb::object borrowed_view(const T *data, std::size_t n) {
    nb::ndarray<nb::numpy, const T, nb::ndim<1>> arr(data, {n}, nb::handle());
    nb::object view = nb::cast(arr, nb::rv_policy::reference);
    // A view of the same memory under numpy's own dtype.
    if constexpr (detail::kForeignFormat<T>) return view.attr("view")(detail::numpy_dtype<T>());
    return view;
}

// ---------------------------------------------------------------------------------------------
// Reading arrays

// The values of a 1-D C-contiguous array of T, read in place; valid while the object it was
// read from lives (or, converted, while the view does).
template <typename T>
using Contiguous = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Exactly such an array, no conversion and no copy; false for anything else. With `convert`,
// also any array the nanobind conversion makes into one (a copy, which the view keeps).
template <typename T>
bool view_of(nb::handle obj, Contiguous<T> &out, bool convert = false) {
    return nb::try_cast(obj, out, convert);
}

// The same through the conversion, raising (nanobind's cast error) where none is possible.
template <typename T>
Contiguous<T> converted_view(nb::handle obj) {
    return nb::cast<Contiguous<T>>(obj);
}

namespace detail {

inline PyTypeObject *ndarray_type() {
    static PyObject *type = [] {
        nb::object t = nb::module_::import_("numpy").attr("ndarray");
        return t.release().ptr();
    }();
    return reinterpret_cast<PyTypeObject *>(type);
}

}  // namespace detail

// Whether `obj` is exactly a numpy array (no subclass) of one dimension.
inline bool is_numpy_vector(nb::handle obj) {
    if (Py_TYPE(obj.ptr()) != detail::ndarray_type()) return false;
    return nb::cast<long>(obj.attr("ndim")) == 1;
}

// The dtype character of exactly a numpy array (no subclass) of one dimension in native byte
// order ('l' int64, 'i' int32, 'd' float64, ...), or 0 for anything else.
inline char numpy_kind(nb::handle arr) {
    if (Py_TYPE(arr.ptr()) != detail::ndarray_type()) return 0;
    nb::object dtype = arr.attr("dtype");
    if (!truth(dtype.attr("isnative"))) return 0;
    if (!arr.attr("ndim").equal(nb::int_(1))) return 0;
    nb::object c = dtype.attr("char");
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(c.ptr()) ? PyUnicode_AsUTF8AndSize(c.ptr(), &size) : nullptr;
    if (!text) {
        if (PyErr_Occurred()) clear_only(PyExc_UnicodeEncodeError);
        return 0;
    }
    return size == 1 ? text[0] : 0;
}

// The items of a 1-D array whose items are T (strided or not) copied into `out`; a numpy array
// that `numpy_kind` found of T's character is one.
template <typename T>
void copy_items(nb::handle arr, std::vector<T> &out) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides[0];
    out.resize(static_cast<std::size_t>(n));
    const char *p = static_cast<const char *>(view.buf);
    for (Py_ssize_t k = 0; k < n; ++k)
        std::memcpy(&out[static_cast<std::size_t>(k)], p + k * stride, sizeof(T));
    PyBuffer_Release(&view);
}

// The items of exactly a 1-D numpy array of dtype character `kind` (native order), as T; false,
// with `out` untouched, for anything else.
template <typename T>
bool read_numpy(nb::handle arr, char kind, std::vector<T> &out) {
    if (numpy_kind(arr) != kind) return false;
    copy_items(arr, out);
    return true;
}

// Any 1-D C-contiguous buffer of 32- or 64-bit signed integers (a numpy array, array.array, a
// memoryview: what an engine may hand out), copied into `out`; false (with `out` unspecified)
// when `obj` is no such buffer.
inline bool read_int_buffer(nb::handle obj, std::vector<int64_t> &out) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        // Not a buffer, or not a contiguous one.
        clear_only(PyExc_TypeError, PyExc_BufferError);
        return false;
    }
    const char *fmt = view.format ? view.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    bool ok = view.ndim == 1 && fmt[0] != '\0' && fmt[1] == '\0' &&
              std::string_view("ilq").find(fmt[0]) != std::string_view::npos &&
              (view.itemsize == 4 || view.itemsize == 8);
    if (ok) {
        size_t n = static_cast<size_t>(view.len / view.itemsize);
        out.resize(n);
        if (view.itemsize == 4) {
            const int32_t *p = static_cast<const int32_t *>(view.buf);
            for (size_t i = 0; i < n; ++i) out[i] = p[i];
        } else if (n > 0) {
            std::memcpy(out.data(), view.buf, n * sizeof(int64_t));
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

}  // namespace zk::arrays
