// Bindings of nubrix.sorn_engine.linsolver: the linear and quadratic mixed-integer solver
// LinearSolver, its solution and run records, enumerations and infinity. The model lives in
// C++ (core/lin_model.hpp); each run hands it whole to HiGHS through highspy.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bind.hpp"
#include "bind_support.hpp"
#include "core/lin_model.hpp"

namespace se {

namespace {

namespace lin = se::lin;

constexpr const char *kModuleName = "nubrix.sorn_engine.linsolver";

// HiGHS's model statuses, whose numbers LinsolverModelStatus keeps.
enum ModelStatus : int32_t {
    kNotset = 0,
    kLoadError = 1,
    kModelError = 2,
    kPresolveError = 3,
    kSolveError = 4,
    kPostsolveError = 5,
    kModelEmpty = 6,
    kOptimal = 7,
    kInfeasible = 8,
    kUnboundedOrInfeasible = 9,
    kUnbounded = 10,
    kObjectiveBound = 11,
    kObjectiveTarget = 12,
    kTimeLimit = 13,
    kIterationLimit = 14,
    kUnknown = 15,
    kSolutionLimit = 16,
    kInterrupt = 17,
    kMemoryLimit = 18,
};
constexpr const char *kStatusNames[] = {
    "kNotset",          "kLoadError",
    "kModelError",      "kPresolveError",
    "kSolveError",      "kPostsolveError",
    "kModelEmpty",      "kOptimal",
    "kInfeasible",      "kUnboundedOrInfeasible",
    "kUnbounded",       "kObjectiveBound",
    "kObjectiveTarget", "kTimeLimit",
    "kIterationLimit",  "kUnknown",
    "kSolutionLimit",   "kInterrupt",
    "kMemoryLimit",
};
constexpr int32_t kStatusCount = 19;
constexpr int32_t kHighsInterruptStatus = 19;  // HiGHS's second interrupt status

constexpr int32_t kRowwise = 2;           // HiGHS's MatrixFormat.kRowwise
constexpr int32_t kSolutionFeasible = 2;  // HiGHS's kSolutionStatusFeasible
constexpr double kDefaultFeasibilityTol = 1e-7;
constexpr double kDefaultIntegralityTol = 1e-6;

constexpr int64_t kQpIterationsPerLine = 10;
constexpr int64_t kMinQpIterations = 1000;

constexpr const char *kOptionIntegralityTol = "mip_feasibility_tolerance";
constexpr const char *kOptionQpIterationLimit = "qp_iteration_limit";
constexpr const char *kOptionQpRegularization = "qp_regularization_value";
// The regularisation of the one retry of a QP that HiGHS ended with a solve error (HiGHS's own
// default is 1e-7).
constexpr double kRetryQpRegularization = 1e-9;
constexpr const char *kOptionOutputFlag = "output_flag";

// Messages.
constexpr const char *kNotArray = " must be a 1-D array, not ";
constexpr const char *kNotNumericArray = " must be a numeric array, not an array of ";
constexpr const char *kNotIntegerArray = " must be an integer array, not an array of ";
constexpr const char *kLengthHead = ": ";
constexpr const char *kLengthMiddle = " has length ";
constexpr const char *kLengthTail = ", expected ";
constexpr const char *kNotNumber = " must be a number, not ";
constexpr const char *kUnknownOption = "setOptionValue: unknown option ";
constexpr const char *kOptionName = "setOptionValue: the option name must be a str, not ";
constexpr const char *kOptionValueType = "setOptionValue: option ";
constexpr const char *kOptionRefused = " does not accept the value ";
constexpr const char *kOptionNan = ": NaN is not a number";
constexpr const char *kOptionNegativeTime = ": a time limit must not be negative";
constexpr const char *kTimeLimitSuffix = "time_limit";
constexpr const char *kNoColValue = "setSolution: the solution has no col_value";
constexpr const char *kPathType = "writeModel: the path must be a str or os.PathLike, not ";
constexpr const char *kEmptyPath = "writeModel: the path is empty";
constexpr const char *kPathSuffix =
    "writeModel: the file name must end in .mps (MPS) or .lp (LP): ";
constexpr const char *kMpsSuffix = ".mps";
constexpr const char *kLpSuffix = ".lp";
constexpr const char *kPassFailed = ": HiGHS refused the model";
constexpr const char *kWriteFailed = "writeModel: HiGHS could not write the model to ";
constexpr const char *kSenseValue = "changeObjectiveSense: the sense must be an ObjSense member";
constexpr const char *kFormatValue = "passHessian: the format must be a HessianFormat member";
constexpr const char *kLoggerName = "nubrix.sorn_engine";
constexpr const char *kNoAnswer = "run: no solution, model status ";
constexpr const char *kReasonHead = ": ";
constexpr const char *kReasonSeparator = "; ";
constexpr const char *kMixedQuadratic =
    "HiGHS solves no model with both a quadratic objective and integer columns";

// HiGHS's log types of the lines that say why a run failed (HighsLogType).
constexpr int kLogWarning = 4;
constexpr int kLogError = 5;
// At most this many such lines are kept of one run: the first ones, where the cause is named.
constexpr std::size_t kMaxReasons = 5;
// HiGHS's note on the integrality vector the stand-in always passes, also for a model without
// integer columns: it names no cause.
constexpr const char *kIntegralityNote =
    "No semi-integer/integer variables in model with non-empty integrality";

// The classes made through the interpreter, each holding a reference of its own.
PyObject *status_enum = nullptr;
PyObject *solution_class = nullptr;
PyObject *info_class = nullptr;
PyObject *highs_class = nullptr;  // highspy's plain solver class, imported at the first use

// A numpy array kept alive with a typed view of its contiguous data.
template <typename T>
struct ArrayView {
    nb::object keep_;
    const T *data_ = nullptr;
    int64_t size_ = 0;
};

PyObject *numpy_module = nullptr;  // imported at the first use, then kept

nb::handle numpy() {
    if (numpy_module == nullptr) numpy_module = nb::module_::import_("numpy").release().ptr();
    return numpy_module;
}

std::string dtype_text(nb::handle arr) {
    return nb::cast<std::string>(arr.attr("dtype").attr("name"));
}

char dtype_kind(nb::handle arr) { return nb::cast<std::string>(arr.attr("dtype").attr("kind"))[0]; }

// A 1-D numpy array of obj (no copy when it is one already).
nb::object one_d(nb::handle obj, const std::string &what) {
    nb::object arr = numpy().attr("asarray")(obj);
    if (nb::cast<int>(arr.attr("ndim")) != 1)
        raise_py(PyExc_TypeError, what + kNotArray +
                                      std::to_string(nb::cast<int>(arr.attr("ndim"))) + "-D " +
                                      py_type_name(obj));
    return arr;
}

template <typename T>
ArrayView<T> view_of(nb::object arr) {
    ArrayView<T> v;
    auto nd = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
    v.data_ = nd.data();
    v.size_ = static_cast<int64_t>(nd.shape(0));
    v.keep_ = std::move(arr);
    return v;
}

// obj itself when it is a 1-D C-contiguous array of T in memory, found without a Python call:
// those calls are most of the cost of a call that brings a few entries.
template <typename T>
bool view_in_place(nb::handle obj, ArrayView<T> &v) {
    nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu> nd;
    if (!nb::try_cast(obj, nd, false)) return false;
    v.data_ = nd.data();
    v.size_ = static_cast<int64_t>(nd.shape(0));
    v.keep_ = nb::borrow(obj);
    return true;
}

// Numbers as float64 by numpy's conversion (integers, floats, booleans, objects with
// __float__ such as enum members).
ArrayView<double> float_array(nb::handle obj, const std::string &what) {
    ArrayView<double> v;
    if (view_in_place(obj, v)) return v;
    nb::object arr = one_d(obj, what);
    const char kind = dtype_kind(arr);
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O' &&
        static_cast<int64_t>(nb::len(arr)) != 0)
        raise_py(PyExc_TypeError, what + kNotNumericArray + dtype_text(arr));
    return view_of<double>(numpy().attr("ascontiguousarray")(arr, nb::arg("dtype") = "float64"));
}

// Integers, as int32 or int64 arrays read where they lie; other integer types are widened, and
// objects (enum members, Python ints) converted each through __index__.
struct IndexArray {
    ArrayView<int32_t> i32_;
    ArrayView<int64_t> i64_;
    bool wide_ = false;
    int64_t size() const { return wide_ ? i64_.size_ : i32_.size_; }
};

IndexArray index_array(nb::handle obj, const std::string &what) {
    IndexArray out;
    if (view_in_place(obj, out.i32_)) return out;
    if (view_in_place(obj, out.i64_)) {
        out.wide_ = true;
        return out;
    }
    nb::object arr = one_d(obj, what);
    const char kind = dtype_kind(arr);
    const int64_t n = static_cast<int64_t>(nb::len(arr));
    if (n == 0) {
        out.i32_ = view_of<int32_t>(numpy().attr("zeros")(0, nb::arg("dtype") = "int32"));
        return out;
    }
    if (kind == 'O') {
        nb::object items = arr.attr("tolist")();
        std::vector<int64_t> vals;
        vals.reserve(static_cast<std::size_t>(n));
        for (nb::handle item : items) vals.push_back(int64_arg(item, what + ": an entry"));
        out.wide_ = true;
        out.i64_ = view_of<int64_t>(numpy().attr("array")(
            nb::cast(numpy_copy(vals.data(), vals.size())), nb::arg("dtype") = "int64"));
        return out;
    }
    if (kind != 'i' && kind != 'u')
        raise_py(PyExc_TypeError, what + kNotIntegerArray + dtype_text(arr));
    // Byte-swapped arrays are converted: only native int32 is read where it lies.
    if (dtype_text(arr) == "int32" && nb::cast<bool>(arr.attr("dtype").attr("isnative"))) {
        out.i32_ = view_of<int32_t>(numpy().attr("ascontiguousarray")(arr));
    } else {
        out.wide_ = true;
        out.i64_ =
            view_of<int64_t>(numpy().attr("ascontiguousarray")(arr, nb::arg("dtype") = "int64"));
    }
    return out;
}

// Widens an int32 index array to int64 (to pair it with a wide one).
void widen(IndexArray &a) {
    if (a.wide_) return;
    a.i64_ = view_of<int64_t>(a.i32_.keep_.attr("astype")("int64"));
    a.wide_ = true;
}

void check_length(const char *op, const char *what, int64_t got, int64_t expected) {
    if (got != expected)
        raise_py(PyExc_ValueError, std::string(op) + kLengthHead + what + kLengthMiddle +
                                       std::to_string(got) + kLengthTail +
                                       std::to_string(expected));
}

// Anything with a number protocol (__float__, __index__, ...); no text, no None.
bool is_number(nb::handle obj) {
    return !(PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || obj.is_none()) &&
           (PyFloat_Check(obj.ptr()) || PyNumber_Check(obj.ptr()));
}

double number_arg(nb::handle obj, const std::string &what) {
    if (!is_number(obj)) raise_py(PyExc_TypeError, what + kNotNumber + py_type_name(obj));
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

int64_t nonneg_arg(nb::handle obj, const std::string &what) {
    const int64_t v = int64_arg(obj, what);
    if (v < 0) raise_py(PyExc_ValueError, what + " must not be negative");
    return v;
}

// A borrowed numpy view of a vector, valid while the vector is unchanged; highspy copies what
// it is given.
template <typename T>
nb::object borrowed(const std::vector<T> &v) {
    static T empty_slot{};
    T *data = v.empty() ? &empty_slot : const_cast<T *>(v.data());
    nb::ndarray<nb::numpy, T, nb::ndim<1>> arr(data, {v.size()}, nb::handle());
    return nb::cast(arr, nb::rv_policy::reference);
}

nb::object new_highs() {
    if (highs_class == nullptr) {
        nb::module_::import_("highspy");
        // The plain solver class: highspy.Highs's constructor installs callbacks and prints
        // HiGHS's banner before any option can silence it.
        nb::object cls = nb::module_::import_("highspy._core").attr("_Highs");
        highs_class = cls.release().ptr();
    }
    return nb::handle(highs_class)();
}

bool ends_with(const std::string &text, const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool is_error_status(nb::handle status) { return nb::cast<int>(nb::int_(status)) < 0; }

struct Option {
    std::string name_;
    nb::object value_;
};

struct LinearSolver {
    lin::Model model_;
    std::vector<Option> options_;  // in the order first set; a later value replaces the earlier

    // Results of the last run.
    int32_t status_ = kNotset;
    bool value_valid_ = false, dual_valid_ = false;
    std::vector<double> col_value_, col_dual_, row_value_, row_dual_;
    bool info_valid_ = false;
    double objective_ = 0.0, mip_dual_bound_ = 0.0, mip_gap_ = 0.0;
    double max_primal_infeasibility_ = 0.0, max_dual_infeasibility_ = 0.0;
    double max_integrality_violation_ = 0.0;
    double run_time_ = 0.0;  // seconds HiGHS spent in its run
    int64_t mip_node_count_ = 0, simplex_iteration_count_ = 0, ipm_iteration_count_ = 0;
    int64_t qp_iteration_count_ = 0, crossover_iteration_count_ = 0;
    int32_t primal_solution_status_ = 0, dual_solution_status_ = 0;
};

// ---- options ----

[[noreturn]] void refuse_option(PyObject *kind, const std::string &name,
                                const std::string &expected, nb::handle value,
                                const char *reason = "") {
    raise_py(kind, kOptionValueType + std::string("'") + name + "' (" + expected + ")" +
                       kOptionRefused + nb::cast<std::string>(nb::repr(value)) + reason);
}

// Values that HiGHS takes but misreads: NaN passes its range checks (every comparison with NaN
// is false), and a time limit below 0 has no meaning.
const char *misread_reason(const std::string &name, double v) {
    if (std::isnan(v)) return kOptionNan;
    if (v < 0 && ends_with(name, kTimeLimitSuffix)) return kOptionNegativeTime;
    return nullptr;
}

// HiGHS checks the name and the value's type on a scratch solver, so a refused option is
// refused in the call that gives it.
nb::object checked_option_value(const std::string &name, nb::handle value) {
    nb::object scratch = new_highs();
    scratch.attr("setOptionValue")(kOptionOutputFlag, false);
    nb::tuple current = nb::cast<nb::tuple>(scratch.attr("getOptionValue")(name));
    if (is_error_status(current[0]))
        raise_py(PyExc_ValueError, kUnknownOption + std::string("'") + name + "'");
    const std::string expected = py_type_name(current[1]);
    const bool real_option = PyFloat_Check(current[1].ptr());
    // A real option takes any real number as a float (highspy would refuse numpy's float32 or
    // a Fraction); text is left for HiGHS to read, which refuses "nan" and negative times.
    nb::object given = nb::borrow(value);
    if (real_option && is_number(value) && !is_bool(value)) {
        const double v = PyFloat_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                refuse_option(PyExc_ValueError, name, expected, value);
            }
            clear_only(PyExc_TypeError);  // complex and the like: HiGHS refuses the type below
        } else {
            if (const char *reason = misread_reason(name, v))
                refuse_option(PyExc_ValueError, name, expected, value, reason);
            given = nb::float_(v);
        }
    }
    nb::object status = scratch.attr("setOptionValue")(name, given);
    if (!is_error_status(status)) return given;
    // A Boolean option also takes the integers 0 and 1, as Python's own truth values.
    if (PyBool_Check(current[1].ptr()) && is_integer(value)) {
        int overflow;
        const int64_t v = non_bool_int64(value, "setOptionValue: the value", &overflow);
        if (!overflow && (v == 0 || v == 1)) return nb::bool_(v == 1);
    }
    const bool same_kind = expected == py_type_name(value) ||
                           (real_option && PyFloat_Check(given.ptr())) ||
                           (expected == "int" && is_integer(value));
    refuse_option(same_kind ? PyExc_ValueError : PyExc_TypeError, name, expected, value);
}

void set_option(LinearSolver &self, nb::handle name, nb::handle value) {
    if (!PyUnicode_Check(name.ptr())) raise_py(PyExc_TypeError, kOptionName + py_type_name(name));
    const std::string key = nb::cast<std::string>(name);
    nb::object accepted = checked_option_value(key, value);
    for (Option &o : self.options_) {
        if (o.name_ == key) {
            o.value_ = std::move(accepted);
            return;
        }
    }
    self.options_.push_back({key, std::move(accepted)});
}

double option_double(nb::handle highs, const char *name, double fallback) {
    nb::tuple r = nb::cast<nb::tuple>(highs.attr("getOptionValue")(name));
    if (is_error_status(r[0])) return fallback;
    return nb::cast<double>(r[1]);
}

// ---- the handoff ----

// The warnings and errors HiGHS logs while it takes and solves one model: they say why a run
// ends without an answer (a matrix value past HiGHS's limit, say). HiGHS hands each line to its
// logging callback whatever "log_to_console" says, so the program's own log is unchanged.
class HighsLog {
  public:
    // Starts collecting the lines of `h`, a new HiGHS solver.
    void listen(nb::handle h) const {
        auto lines = lines_;
        // (type, message, data out, data in, user data); the last two are None here.
        nb::object callback = nb::cpp_function([lines](nb::args args) {
            const int type = nb::cast<int>(nb::int_(args[2].attr("log_type")));
            if ((type != kLogWarning && type != kLogError) || lines->size() >= kMaxReasons) return;
            std::string line = reason_text(nb::cast<std::string>(nb::str(args[1])));
            if (line.rfind(kIntegralityNote, 0) != 0) lines->push_back(std::move(line));
        });
        h.attr("setCallback")(callback, nb::none());
        nb::object types =
            nb::module_::import_("highspy._core").attr("cb").attr("HighsCallbackType");
        h.attr("startCallback")(types.attr("kCallbackLogging"));
    }

    const std::vector<std::string> &lines() const { return *lines_; }

  private:
    // A log line without HiGHS's type tag ("ERROR:   "), its padding and its newline.
    static std::string reason_text(const std::string &line) {
        std::size_t from = 0, to = line.size();
        if (const std::size_t colon = line.find(':');
            colon != std::string::npos &&
            (line.rfind("ERROR", 0) == 0 || line.rfind("WARNING", 0) == 0))
            from = colon + 1;
        while (from < to && std::isspace(static_cast<unsigned char>(line[from]))) ++from;
        while (to > from && std::isspace(static_cast<unsigned char>(line[to - 1]))) --to;
        return line.substr(from, to - from);
    }

    std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
};

// A solver holding the options and the model m; raises EngineError (naming op) when HiGHS
// refuses the model, or returns an invalid object when raise_on_refusal is false. With `log`,
// HiGHS's warnings and errors go there from before the model is passed.
nb::object build_highs(const LinearSolver &self, const lin::Model &m, const char *op,
                       bool raise_on_refusal, const HighsLog *log = nullptr) {
    nb::object h = new_highs();
    for (const Option &o : self.options_) h.attr("setOptionValue")(o.name_, o.value_);
    if (log) log->listen(h);
    std::vector<int32_t> q_start, q_index;
    std::vector<double> q_value;
    m.hessian(q_start, q_index, q_value);
    nb::object status;
    if (q_start.empty()) {
        status = h.attr("passModel")(
            m.num_col(), m.num_row(), m.num_nz(), kRowwise, m.sense(), 0.0, borrowed(m.col_cost()),
            borrowed(m.col_lower()), borrowed(m.col_upper()), borrowed(m.row_lower()),
            borrowed(m.row_upper()), borrowed(m.a_start()), borrowed(m.a_index()),
            borrowed(m.a_value()), borrowed(m.integrality()));
    } else {
        status = h.attr("passModel")(
            m.num_col(), m.num_row(), m.num_nz(), static_cast<int64_t>(q_index.size()), kRowwise,
            static_cast<int32_t>(lin::kTriangular), m.sense(), 0.0, borrowed(m.col_cost()),
            borrowed(m.col_lower()), borrowed(m.col_upper()), borrowed(m.row_lower()),
            borrowed(m.row_upper()), borrowed(m.a_start()), borrowed(m.a_index()),
            borrowed(m.a_value()), borrowed(q_start), borrowed(q_index), borrowed(q_value),
            borrowed(m.integrality()));
    }
    if (is_error_status(status)) {
        if (raise_on_refusal) raise_py(engine_error().ptr(), std::string(op) + kPassFailed);
        return nb::object();
    }
    return h;
}

void read_doubles(nb::handle seq, std::vector<double> &out) {
    nb::object fast = nb::steal(PySequence_Fast(seq.ptr(), "a sequence of numbers"));
    if (!fast.is_valid()) throw nb::python_error();
    // A tuple of its own: a number's __float__ may change the caller's list under the loop.
    if (PyList_Check(fast.ptr())) fast = nb::steal(PyList_AsTuple(fast.ptr()));
    if (!fast.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject **items = PySequence_Fast_ITEMS(fast.ptr());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        const double v = PyFloat_AsDouble(items[k]);
        if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
        out[static_cast<std::size_t>(k)] = v;
    }
}

void clear_results(LinearSolver &s) {
    s.status_ = kNotset;
    s.value_valid_ = s.dual_valid_ = s.info_valid_ = false;
    s.col_value_.clear();
    s.col_dual_.clear();
    s.row_value_.clear();
    s.row_dual_.clear();
    s.objective_ = s.mip_dual_bound_ = s.mip_gap_ = 0.0;
    s.max_primal_infeasibility_ = s.max_dual_infeasibility_ = s.max_integrality_violation_ = 0.0;
    s.mip_node_count_ = s.simplex_iteration_count_ = s.ipm_iteration_count_ = 0;
    s.qp_iteration_count_ = s.crossover_iteration_count_ = 0;
    s.primal_solution_status_ = s.dual_solution_status_ = 0;
    s.run_time_ = 0.0;
}

bool has_option(const LinearSolver &s, const char *name) {
    for (const Option &o : s.options_)
        if (o.name_ == name) return true;
    return false;
}

// HiGHS's QP solver cycles on some models (without end on an idle column, which run() takes
// out; the same on such a column that a row reads but does not bind), each turn dearer than the
// last. A normal QP takes at most about 3 iterations per column and row (random models of up to
// 400 columns and 300 rows, box least squares, portfolios, quadratic transport problems), so
// kQpIterationsPerLine per column and row, and at least kMinQpIterations, only end a run that
// no longer gets anywhere.
int64_t qp_iteration_limit(const lin::Model &m) {
    const int64_t size = static_cast<int64_t>(m.num_col()) + m.num_row();
    return std::min<int64_t>(std::max(kMinQpIterations, kQpIterationsPerLine * size), INT32_MAX);
}

// Values over the columns of a model without the columns `idle` (ascending), widened to the
// whole model with vals[k] at column idle[k]; values of another length are left as they are.
void spread(std::vector<double> &v, int32_t kept, const std::vector<int32_t> &idle,
            const std::vector<double> &vals) {
    if (v.size() != static_cast<std::size_t>(kept)) return;
    std::vector<double> out(v.size() + idle.size());
    std::size_t from = 0, k = 0;
    for (std::size_t j = 0; j < out.size(); ++j) {
        if (k < idle.size() && static_cast<std::size_t>(idle[k]) == j)
            out[j] = vals[k++];
        else
            out[j] = v[from++];
    }
    v = std::move(out);
}

// A model without columns: its rows hold the constant 0, so it is optimal (objective 0) when
// every row admits 0, and infeasible otherwise.
void run_without_columns(LinearSolver &s) {
    const lin::Model &m = s.model_;
    bool feasible = true;
    for (int32_t r = 0; r < m.num_row(); ++r) {
        const auto k = static_cast<std::size_t>(r);
        if (m.row_lower()[k] > kDefaultFeasibilityTol || m.row_upper()[k] < -kDefaultFeasibilityTol)
            feasible = false;
    }
    s.status_ = feasible ? kOptimal : kInfeasible;
    s.value_valid_ = s.dual_valid_ = feasible;
    s.info_valid_ = true;
    s.row_value_.assign(static_cast<std::size_t>(m.num_row()), 0.0);
    s.row_dual_.assign(static_cast<std::size_t>(m.num_row()), 0.0);
    s.primal_solution_status_ = feasible ? kSolutionFeasible : 1;
}

// The status of a finished HiGHS run as LinsolverModelStatus numbers it.
int32_t run_status(nb::handle h) {
    const int32_t hs = nb::cast<int32_t>(nb::int_(h.attr("getModelStatus")()));
    // A run that ends without a status (HiGHS refused to start it) has failed.
    if (hs == kHighsInterruptStatus) return kInterrupt;
    if (hs == kNotset) return kSolveError;
    return hs > 0 && hs < kStatusCount ? hs : kUnknown;
}

// One HiGHS run of `solved` (the model, or the model without its idle columns): the solver it
// ran in, or an invalid object when HiGHS refused the model (s.status_ then kModelError).
// `regularization`, when positive, is the QP solver's regularisation for this run.
nb::object run_once(LinearSolver &s, const lin::Model &solved, const HighsLog &log,
                    double regularization) {
    const lin::Model &m = s.model_;
    nb::object h = build_highs(s, solved, "run", false, &log);
    if (!h.is_valid()) {
        s.status_ = kModelError;
        return h;
    }
    const bool qp = m.has_hessian();
    if (qp && !has_option(s, kOptionQpIterationLimit))
        h.attr("setOptionValue")(kOptionQpIterationLimit, qp_iteration_limit(solved));
    if (regularization > 0) h.attr("setOptionValue")(kOptionQpRegularization, regularization);
    // A start vector shorter than the columns leaves the rest to the solver; HiGHS uses start
    // values for mixed-integer models.
    if (m.has_integer_columns() && !m.start().empty()) {
        std::vector<int32_t> idx(m.start().size());
        for (std::size_t k = 0; k < idx.size(); ++k) idx[k] = static_cast<int32_t>(k);
        h.attr("setSolution")(static_cast<int64_t>(idx.size()), borrowed(idx), borrowed(m.start()));
    }
    h.attr("run")();
    s.run_time_ += nb::cast<double>(h.attr("getRunTime")());
    s.status_ = run_status(h);
    return h;
}

// A run without an answer says why, on the engine's logger: the status, and the warnings and
// errors HiGHS gave (or the stand-in's own reason).
void report_no_answer(const LinearSolver &s, const std::vector<std::string> &reasons) {
    if (s.status_ == kOptimal || s.value_valid_) return;
    std::string text = kNoAnswer;
    text += s.status_ >= 0 && s.status_ < kStatusCount ? kStatusNames[s.status_] : "kUnknown";
    for (std::size_t k = 0; k < reasons.size(); ++k) {
        text += k == 0 ? kReasonHead : kReasonSeparator;
        text += reasons[k];
    }
    nb::module_::import_("logging").attr("getLogger")(kLoggerName).attr("warning")("%s", text);
}

void run(LinearSolver &s) {
    clear_results(s);
    const lin::Model &m = s.model_;
    if (m.num_col() == 0) {
        run_without_columns(s);
        report_no_answer(s, {});
        return;
    }
    // HiGHS solves no mixed-integer model with a quadratic part.
    if (m.has_hessian() && m.has_integer_columns()) {
        s.status_ = kModelError;
        report_no_answer(s, {kMixedQuadratic});
        return;
    }
    const bool qp = m.has_hessian();
    // HiGHS's QP solver can cycle without end on a column that nothing reads: such columns take
    // their value here and the solver gets the model without them.
    const std::vector<int32_t> idle = qp ? m.idle_columns() : std::vector<int32_t>();
    lin::Model reduced;
    if (!idle.empty()) reduced = m.without_columns(idle);
    const lin::Model &solved = idle.empty() ? m : reduced;
    HighsLog log;
    nb::object h = run_once(s, solved, log, 0.0);
    // HiGHS's QP solver ends some small convex models with a solve error that it solves in
    // another column order, or with a smaller regularisation: one more run with that.
    if (h.is_valid() && qp && s.status_ == kSolveError && !has_option(s, kOptionQpRegularization)) {
        HighsLog retry_log;
        nb::object again = run_once(s, solved, retry_log, kRetryQpRegularization);
        if (again.is_valid()) {
            h = std::move(again);
            log = retry_log;
        } else {
            s.status_ = kSolveError;
        }
    }
    if (!h.is_valid()) {
        report_no_answer(s, log.lines());
        return;
    }
    const bool mip = m.has_integer_columns();
    nb::object info = h.attr("getInfo")();
    s.info_valid_ = nb::cast<bool>(info.attr("valid"));
    s.objective_ = nb::cast<double>(info.attr("objective_function_value"));
    s.mip_dual_bound_ = nb::cast<double>(info.attr("mip_dual_bound"));
    s.mip_gap_ = nb::cast<double>(info.attr("mip_gap"));
    s.max_primal_infeasibility_ = nb::cast<double>(info.attr("max_primal_infeasibility"));
    s.max_dual_infeasibility_ = nb::cast<double>(info.attr("max_dual_infeasibility"));
    s.max_integrality_violation_ = nb::cast<double>(info.attr("max_integrality_violation"));
    s.mip_node_count_ = nb::cast<int64_t>(info.attr("mip_node_count"));
    s.simplex_iteration_count_ = nb::cast<int64_t>(info.attr("simplex_iteration_count"));
    s.ipm_iteration_count_ = nb::cast<int64_t>(info.attr("ipm_iteration_count"));
    s.qp_iteration_count_ = nb::cast<int64_t>(info.attr("qp_iteration_count"));
    s.crossover_iteration_count_ = nb::cast<int64_t>(info.attr("crossover_iteration_count"));
    s.primal_solution_status_ = nb::cast<int32_t>(info.attr("primal_solution_status"));
    s.dual_solution_status_ = nb::cast<int32_t>(info.attr("dual_solution_status"));

    nb::object sol = h.attr("getSolution")();
    // Values count as valid only when they are a feasible point, not merely present; values
    // and duals that HiGHS does not hold are left empty.
    const bool has_values = nb::cast<bool>(sol.attr("value_valid"));
    s.value_valid_ = has_values && s.primal_solution_status_ == kSolutionFeasible;
    s.dual_valid_ = nb::cast<bool>(sol.attr("dual_valid"));
    if (has_values) {
        read_doubles(sol.attr("col_value"), s.col_value_);
        read_doubles(sol.attr("row_value"), s.row_value_);
    }
    if (s.dual_valid_) {
        read_doubles(sol.attr("col_dual"), s.col_dual_);
        read_doubles(sol.attr("row_dual"), s.row_dual_);
    }
    if (!idle.empty()) {
        // An idle column's reduced cost is 0: no cost, no quadratic term, no row reads it.
        std::vector<double> idle_values(idle.size()), zeros(idle.size(), 0.0);
        for (std::size_t k = 0; k < idle.size(); ++k) idle_values[k] = m.idle_value(idle[k]);
        spread(s.col_value_, solved.num_col(), idle, idle_values);
        spread(s.col_dual_, solved.num_col(), idle, zeros);
    }
    if (s.value_valid_ && s.col_value_.size() == static_cast<std::size_t>(m.num_col())) {
        if (mip)
            m.snap_integers(s.col_value_.data(),
                            option_double(h, kOptionIntegralityTol, kDefaultIntegralityTol));
        s.objective_ = m.objective(s.col_value_.data());
    }
    h.attr("clearModel")();
    report_no_answer(s, log.lines());
}

// ---- records ----

nb::object make_record(PyObject *cls) { return nb::handle(cls)(); }

nb::object solution_record(const LinearSolver &s) {
    nb::object rec = make_record(solution_class);
    rec.attr("value_valid") = s.value_valid_;
    rec.attr("dual_valid") = s.dual_valid_;
    rec.attr("col_value") = nb::cast(numpy_copy(s.col_value_));
    rec.attr("col_dual") = nb::cast(numpy_copy(s.col_dual_));
    rec.attr("row_value") = nb::cast(numpy_copy(s.row_value_));
    rec.attr("row_dual") = nb::cast(numpy_copy(s.row_dual_));
    return rec;
}

nb::object info_record(const LinearSolver &s) {
    nb::object rec = make_record(info_class);
    rec.attr("valid") = s.info_valid_;
    rec.attr("objective_function_value") = s.objective_;
    rec.attr("mip_dual_bound") = s.mip_dual_bound_;
    rec.attr("mip_gap") = s.mip_gap_;
    rec.attr("mip_node_count") = s.mip_node_count_;
    rec.attr("simplex_iteration_count") = s.simplex_iteration_count_;
    rec.attr("ipm_iteration_count") = s.ipm_iteration_count_;
    rec.attr("qp_iteration_count") = s.qp_iteration_count_;
    rec.attr("crossover_iteration_count") = s.crossover_iteration_count_;
    rec.attr("primal_solution_status") = s.primal_solution_status_;
    rec.attr("dual_solution_status") = s.dual_solution_status_;
    rec.attr("max_primal_infeasibility") = s.max_primal_infeasibility_;
    rec.attr("max_dual_infeasibility") = s.max_dual_infeasibility_;
    rec.attr("max_integrality_violation") = s.max_integrality_violation_;
    rec.attr("run_time") = s.run_time_;
    return rec;
}

// ---- methods ----

void add_vars(LinearSolver &s, nb::handle n_obj, nb::handle lower_obj, nb::handle upper_obj) {
    const char *op = "addVars";
    const int64_t n = nonneg_arg(n_obj, "addVars: the number of columns");
    ArrayView<double> lower = float_array(lower_obj, "addVars: the lower bounds");
    ArrayView<double> upper = float_array(upper_obj, "addVars: the upper bounds");
    check_length(op, "the lower bounds", lower.size_, n);
    check_length(op, "the upper bounds", upper.size_, n);
    s.model_.add_cols(lower.data_, upper.data_, n);
}

void change_integrality(LinearSolver &s, nb::handle n_obj, nb::handle cols_obj,
                        nb::handle types_obj) {
    const char *op = "changeColsIntegrality";
    const int64_t n = nonneg_arg(n_obj, "changeColsIntegrality: the number of columns");
    IndexArray cols = index_array(cols_obj, "changeColsIntegrality: the columns");
    IndexArray types = index_array(types_obj, "changeColsIntegrality: the types");
    check_length(op, "the columns", cols.size(), n);
    check_length(op, "the types", types.size(), n);
    widen(types);
    if (cols.wide_)
        s.model_.change_integrality(cols.i64_.data_, types.i64_.data_, n);
    else
        s.model_.change_integrality(cols.i32_.data_, types.i64_.data_, n);
}

void add_rows_checked(LinearSolver &s, const char *op, const ArrayView<double> &lower,
                      const ArrayView<double> &upper, int64_t m, IndexArray &starts,
                      IndexArray &indices, const ArrayView<double> &values, int64_t count) {
    if (starts.wide_ != indices.wide_) {
        widen(starts);
        widen(indices);
    }
    if (starts.wide_)
        s.model_.add_rows(op, lower.data_, upper.data_, m, starts.i64_.data_, indices.i64_.data_,
                          values.data_, count);
    else
        s.model_.add_rows(op, lower.data_, upper.data_, m, starts.i32_.data_, indices.i32_.data_,
                          values.data_, count);
}

// A plain float, or a plain int within 64 bits, as a double; false for anything else, which the
// general readers convert or refuse (and name in their messages, made only then).
bool plain_double(nb::handle obj, double &out) {
    if (PyFloat_CheckExact(obj.ptr())) {
        out = PyFloat_AS_DOUBLE(obj.ptr());
        return true;
    }
    if (!PyLong_CheckExact(obj.ptr())) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (overflow != 0) return false;
    out = static_cast<double>(v);
    return true;
}

bool plain_int64(nb::handle obj, int64_t &out) {
    if (!PyLong_CheckExact(obj.ptr())) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (overflow != 0) return false;
    out = v;
    return true;
}

// The entries of a row given as the host's lists of plain ints (within 64 bits) and plain
// numbers, read item by item: what numpy's conversion would make of them, without making arrays
// (most of the cost of a call that brings a few entries). False for anything else, which the
// arrays' way converts or refuses.
bool read_lists(nb::handle indices_obj, nb::handle values_obj, std::vector<int64_t> &indices,
                std::vector<double> &values) {
    PyObject *il = indices_obj.ptr();
    PyObject *vl = values_obj.ptr();
    if (!PyList_CheckExact(il) || !PyList_CheckExact(vl)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(il), m = PyList_GET_SIZE(vl);
    indices.resize(static_cast<std::size_t>(n));
    values.resize(static_cast<std::size_t>(m));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject *item = PyList_GET_ITEM(il, k);
        if (!PyLong_CheckExact(item)) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return false;
        indices[static_cast<std::size_t>(k)] = v;
    }
    for (Py_ssize_t k = 0; k < m; ++k) {
        PyObject *item = PyList_GET_ITEM(vl, k);
        if (PyFloat_CheckExact(item)) {
            values[static_cast<std::size_t>(k)] = PyFloat_AS_DOUBLE(item);
            continue;
        }
        if (!PyLong_CheckExact(item)) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return false;
        values[static_cast<std::size_t>(k)] = static_cast<double>(v);
    }
    return true;
}

void add_row(LinearSolver &s, nb::handle lower_obj, nb::handle upper_obj, nb::handle count_obj,
             nb::handle indices_obj, nb::handle values_obj) {
    const char *op = "addRow";
    double lower = 0.0, upper = 0.0;
    int64_t count = 0;
    if (!plain_double(lower_obj, lower)) lower = number_arg(lower_obj, "addRow: the lower bound");
    if (!plain_double(upper_obj, upper)) upper = number_arg(upper_obj, "addRow: the upper bound");
    if (!plain_int64(count_obj, count) || count < 0)
        count = nonneg_arg(count_obj, "addRow: the number of entries");
    std::vector<int64_t> list_indices;
    std::vector<double> list_values;
    IndexArray indices;
    ArrayView<double> values;
    if (read_lists(indices_obj, values_obj, list_indices, list_values)) {
        indices.wide_ = true;
        indices.i64_.data_ = list_indices.data();
        indices.i64_.size_ = static_cast<int64_t>(list_indices.size());
        values.data_ = list_values.data();
        values.size_ = static_cast<int64_t>(list_values.size());
    } else {
        indices = index_array(indices_obj, "addRow: the column indices");
        values = float_array(values_obj, "addRow: the values");
    }
    check_length(op, "the column indices", indices.size(), count);
    check_length(op, "the values", values.size_, count);
    ArrayView<double> lo, up;
    lo.data_ = &lower;
    lo.size_ = 1;
    up.data_ = &upper;
    up.size_ = 1;
    IndexArray starts;
    std::vector<int64_t> st{0, count};
    starts.wide_ = true;
    starts.i64_.data_ = st.data();
    starts.i64_.size_ = 2;
    add_rows_checked(s, op, lo, up, 1, starts, indices, values, count);
}

void add_rows(LinearSolver &s, nb::handle m_obj, nb::handle lower_obj, nb::handle upper_obj,
              nb::handle count_obj, nb::handle starts_obj, nb::handle indices_obj,
              nb::handle values_obj) {
    const char *op = "addRows";
    const int64_t m = nonneg_arg(m_obj, "addRows: the number of rows");
    ArrayView<double> lower = float_array(lower_obj, "addRows: the lower bounds");
    ArrayView<double> upper = float_array(upper_obj, "addRows: the upper bounds");
    const int64_t count = nonneg_arg(count_obj, "addRows: the number of entries");
    IndexArray starts = index_array(starts_obj, "addRows: the starts");
    IndexArray indices = index_array(indices_obj, "addRows: the column indices");
    ArrayView<double> values = float_array(values_obj, "addRows: the values");
    check_length(op, "the lower bounds", lower.size_, m);
    check_length(op, "the upper bounds", upper.size_, m);
    check_length(op, "the starts", starts.size(), m + 1);
    check_length(op, "the column indices", indices.size(), count);
    check_length(op, "the values", values.size_, count);
    add_rows_checked(s, op, lower, upper, m, starts, indices, values, count);
}

void change_sense(LinearSolver &s, nb::handle sense) {
    int overflow = 0;
    const int64_t v = is_integer(sense) ? non_bool_int64(sense, "sense", &overflow) : 0;
    if (overflow || (v != lin::kMinimize && v != lin::kMaximize))
        raise_py(is_integer(sense) ? PyExc_ValueError : PyExc_TypeError, kSenseValue);
    s.model_.set_sense(static_cast<int32_t>(v));
}

void change_col_cost(LinearSolver &s, nb::handle col_obj, nb::handle cost_obj) {
    int64_t col = 0;
    double cost = 0.0;
    if (!plain_int64(col_obj, col)) col = int64_arg(col_obj, "changeColCost: the column");
    if (!plain_double(cost_obj, cost)) cost = number_arg(cost_obj, "changeColCost: the cost");
    s.model_.change_costs("changeColCost", &col, &cost, 1);
}

void change_cols_cost(LinearSolver &s, nb::handle n_obj, nb::handle cols_obj,
                      nb::handle costs_obj) {
    const char *op = "changeColsCost";
    const int64_t n = nonneg_arg(n_obj, "changeColsCost: the number of columns");
    IndexArray cols = index_array(cols_obj, "changeColsCost: the columns");
    ArrayView<double> costs = float_array(costs_obj, "changeColsCost: the costs");
    check_length(op, "the columns", cols.size(), n);
    check_length(op, "the costs", costs.size_, n);
    if (cols.wide_)
        s.model_.change_costs(op, cols.i64_.data_, costs.data_, n);
    else
        s.model_.change_costs(op, cols.i32_.data_, costs.data_, n);
}

void pass_hessian(LinearSolver &s, nb::handle dim_obj, nb::handle count_obj, nb::handle format_obj,
                  nb::handle starts_obj, nb::handle indices_obj, nb::handle values_obj) {
    const char *op = "passHessian";
    const int64_t dim = nonneg_arg(dim_obj, "passHessian: the dimension");
    const int64_t count = nonneg_arg(count_obj, "passHessian: the number of entries");
    int overflow = 0;
    const int64_t format =
        is_integer(format_obj) ? non_bool_int64(format_obj, "format", &overflow) : 0;
    if (overflow || (format != lin::kTriangular && format != lin::kSquare))
        raise_py(is_integer(format_obj) ? PyExc_ValueError : PyExc_TypeError, kFormatValue);
    IndexArray starts = index_array(starts_obj, "passHessian: the starts");
    IndexArray indices = index_array(indices_obj, "passHessian: the row indices");
    ArrayView<double> values = float_array(values_obj, "passHessian: the values");
    // No entries clears the quadratic part, whatever the starts (empty ones included).
    if (count == 0 && indices.size() == 0 && values.size_ == 0) {
        std::vector<int64_t> zeros(static_cast<std::size_t>(dim) + 1, 0);
        s.model_.pass_hessian(dim, static_cast<int32_t>(format), zeros.data(),
                              static_cast<int64_t>(zeros.size()), zeros.data(), values.data_, 0);
        return;
    }
    check_length(op, "the row indices", indices.size(), count);
    check_length(op, "the values", values.size_, count);
    if (starts.wide_ != indices.wide_) {
        widen(starts);
        widen(indices);
    }
    if (starts.wide_)
        s.model_.pass_hessian(dim, static_cast<int32_t>(format), starts.i64_.data_, starts.size(),
                              indices.i64_.data_, values.data_, count);
    else
        s.model_.pass_hessian(dim, static_cast<int32_t>(format), starts.i32_.data_, starts.size(),
                              indices.i32_.data_, values.data_, count);
}

void set_solution(LinearSolver &s, nb::handle solution) {
    if (!nb::hasattr(solution, "col_value")) raise_py(PyExc_TypeError, kNoColValue);
    nb::object col_value = solution.attr("col_value");
    if (col_value.is_none()) {
        s.model_.set_start(nullptr, 0);
        return;
    }
    ArrayView<double> values = float_array(col_value, "setSolution: col_value");
    s.model_.set_start(values.data_, values.size_);
}

void write_model(LinearSolver &s, nb::handle path_obj) {
    nb::object path;
    if (PyUnicode_Check(path_obj.ptr())) {
        path = nb::borrow(path_obj);
    } else {
        nb::object fs = nb::steal(PyOS_FSPath(path_obj.ptr()));
        if (!fs.is_valid() || !PyUnicode_Check(fs.ptr())) {
            if (!fs.is_valid()) clear_only(PyExc_TypeError);
            raise_py(PyExc_TypeError, kPathType + py_type_name(path_obj));
        }
        path = fs;
    }
    const std::string text = nb::cast<std::string>(path);
    if (text.empty()) raise_py(PyExc_ValueError, kEmptyPath);
    if (!ends_with(text, kMpsSuffix) && !ends_with(text, kLpSuffix))
        raise_py(PyExc_ValueError, kPathSuffix + text);
    // HiGHS reports a file it cannot open only by its status: try it first for the reason,
    // without truncating it, and take back a file made for a write that then fails.
    struct stat st;
    const bool existed = ::stat(text.c_str(), &st) == 0;
    std::FILE *f = std::fopen(text.c_str(), "a");
    if (f == nullptr) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
    std::fclose(f);
    nb::object status;
    try {
        nb::object h = build_highs(s, s.model_, "writeModel", true);
        status = h.attr("writeModel")(path);
        h.attr("clearModel")();
    } catch (...) {
        if (!existed) std::remove(text.c_str());
        throw;
    }
    if (is_error_status(status)) {
        if (!existed) std::remove(text.c_str());
        raise_py(engine_error().ptr(), kWriteFailed + text);
    }
}

// ---- module ----

nb::object make_int_enum(nb::module_ &m, const char *name,
                         const std::vector<std::pair<const char *, int>> &members,
                         const char *doc) {
    nb::list items;
    for (const auto &mb : members) items.append(nb::make_tuple(mb.first, mb.second));
    nb::object cls =
        nb::module_::import_("enum").attr("IntEnum")(name, items, nb::arg("module") = kModuleName);
    cls.attr("__doc__") = doc;
    m.attr(name) = cls;
    return cls;
}

// A dataclass whose fields all have defaults: a value, or (None) a new empty float64 array.
nb::object make_record_class(nb::module_ &m, const char *name,
                             const std::vector<std::pair<const char *, nb::object>> &fields,
                             const char *doc) {
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::object empty_array =
        nb::module_::import_("functools").attr("partial")(numpy().attr("zeros"), 0);
    nb::list specs;
    for (const auto &f : fields) {
        if (f.second.is_none()) {
            specs.append(nb::make_tuple(
                f.first, "numpy.ndarray",
                dataclasses.attr("field")(nb::arg("default_factory") = empty_array)));
        } else {
            specs.append(nb::make_tuple(f.first, py_type_name(f.second),
                                        dataclasses.attr("field")(nb::arg("default") = f.second)));
        }
    }
    // Records compare by identity: field-wise == on numpy arrays has no single truth value.
    nb::object cls = dataclasses.attr("make_dataclass")(name, specs, nb::arg("eq") = false);
    cls.attr("__module__") = kModuleName;
    cls.attr("__qualname__") = name;
    cls.attr("__doc__") = doc;
    m.attr(name) = cls;
    return cls;
}

}  // namespace

void register_linsolver(nb::module_ &top) {
    nb::module_ m =
        make_submodule(top, "linsolver", "Linear and quadratic mixed-integer solver (on HiGHS)");
    engine_error(top);
    m.attr("kLinsolverInf") = std::numeric_limits<double>::infinity();

    make_int_enum(m, "LinsolverVarType",
                  {{"kContinuous", lin::kContinuous},
                   {"kInteger", lin::kInteger},
                   {"kSemiContinuous", lin::kSemiContinuous},
                   {"kSemiInteger", lin::kSemiInteger}},
                  "Kind of a column");
    make_int_enum(m, "ObjSense", {{"kMinimize", lin::kMinimize}, {"kMaximize", lin::kMaximize}},
                  "Direction of the objective");
    make_int_enum(m, "HessianFormat",
                  {{"kTriangular", lin::kTriangular}, {"kSquare", lin::kSquare}},
                  "How passHessian reads its matrix: the lower triangle, or the whole square");
    std::vector<std::pair<const char *, int>> statuses;
    for (int32_t k = 0; k < kStatusCount; ++k) statuses.emplace_back(kStatusNames[k], k);
    status_enum = make_int_enum(m, "LinsolverModelStatus", statuses, "Outcome of the last run")
                      .release()
                      .ptr();

    solution_class = make_record_class(m, "LinsolverSolution",
                                       {{"value_valid", nb::bool_(false)},
                                        {"dual_valid", nb::bool_(false)},
                                        {"col_value", nb::none()},
                                        {"col_dual", nb::none()},
                                        {"row_value", nb::none()},
                                        {"row_dual", nb::none()}},
                                       "Values of a solution, in column and row order")
                         .release()
                         .ptr();
    info_class = make_record_class(m, "LinsolverInfo",
                                   {{"valid", nb::bool_(false)},
                                    {"objective_function_value", nb::float_(0.0)},
                                    {"mip_dual_bound", nb::float_(0.0)},
                                    {"mip_gap", nb::float_(0.0)},
                                    {"mip_node_count", nb::int_(0)},
                                    {"simplex_iteration_count", nb::int_(0)},
                                    {"ipm_iteration_count", nb::int_(0)},
                                    {"qp_iteration_count", nb::int_(0)},
                                    {"crossover_iteration_count", nb::int_(0)},
                                    {"primal_solution_status", nb::int_(0)},
                                    {"dual_solution_status", nb::int_(0)},
                                    {"max_primal_infeasibility", nb::float_(0.0)},
                                    {"max_dual_infeasibility", nb::float_(0.0)},
                                    {"max_integrality_violation", nb::float_(0.0)},
                                    {"run_time", nb::float_(0.0)}},
                                   "Figures of the last run")
                     .release()
                     .ptr();

    nb::class_<LinearSolver>(m, "LinearSolver",
                             "A linear, quadratic or mixed-integer model and its last solution")
        .def(nb::init<>())
        .def("setOptionValue", &set_option, nb::arg("name"), nb::arg("value").none(),
             "Set a solver option by its HiGHS name")
        .def("addVars", &add_vars, nb::arg("num_new_col"), nb::arg("lower"), nb::arg("upper"),
             "Append columns with their bounds")
        .def("changeColsIntegrality", &change_integrality, nb::arg("num_set_entries"),
             nb::arg("indices"), nb::arg("integrality"), "Set the kinds of the listed columns")
        .def("addRow", &add_row, nb::arg("lower"), nb::arg("upper"), nb::arg("num_new_nz"),
             nb::arg("indices"), nb::arg("values"), "Append one row")
        // The same call under the name an engine gives it when it takes the entries as the
        // host's lists at no extra cost (the library then hands lists instead of arrays).
        .def("addRowList", &add_row, nb::arg("lower"), nb::arg("upper"), nb::arg("num_new_nz"),
             nb::arg("indices"), nb::arg("values"), "Append one row given as lists")
        .def("addRows", &add_rows, nb::arg("num_new_row"), nb::arg("lower"), nb::arg("upper"),
             nb::arg("num_new_nz"), nb::arg("starts"), nb::arg("indices"), nb::arg("values"),
             "Append rows given in compressed-row form")
        .def("changeObjectiveSense", &change_sense, nb::arg("sense"),
             "Minimise or maximise the objective")
        .def("changeColCost", &change_col_cost, nb::arg("col"), nb::arg("cost"),
             "Set the cost of one column")
        .def("changeColsCost", &change_cols_cost, nb::arg("num_set_entries"), nb::arg("indices"),
             nb::arg("cost"), "Set the costs of the listed columns")
        // One call for the costs a first-generation objective sets one by one otherwise.
        .def("changeColCostArrays", &change_cols_cost, nb::arg("num_set_entries"),
             nb::arg("indices"), nb::arg("cost"),
             "Set the costs of the listed columns, as changeColCost for each would")
        .def("passHessian", &pass_hessian, nb::arg("dim"), nb::arg("num_nz"), nb::arg("format"),
             nb::arg("start"), nb::arg("index"), nb::arg("value"),
             "Replace the quadratic part of the objective (1/2 x'Hx)")
        .def("setSolution", &set_solution, nb::arg("solution"),
             "Set the start vector from a solution record's col_value")
        .def(
            "run", [](LinearSolver &s) { run(s); }, "Solve the model")
        .def(
            "getModelStatus",
            [](const LinearSolver &s) { return nb::handle(status_enum)(s.status_); },
            "Outcome of the last run")
        .def("getSolution", &solution_record, "Solution of the last run (a new record)")
        .def("getInfo", &info_record, "Figures of the last run (a new record)")
        .def("writeModel", &write_model, nb::arg("filename"),
             "Write the model: MPS for a name ending in .mps, LP for .lp")
        .def("getNumCol", [](const LinearSolver &s) { return s.model_.num_col(); })
        .def("getNumRow", [](const LinearSolver &s) { return s.model_.num_row(); })
        .def("getNumNz", [](const LinearSolver &s) { return s.model_.num_nz(); });
}

}  // namespace se
