// The linear solver's own copy of a model: columns, rows in compressed-row form, costs, the
// quadratic part and the start vector, kept in plain arrays shaped as the solver takes them.
// Every change is checked whole before anything is kept, so a refused change leaves the model
// as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace se::lin {

// Column kinds, numbered as the solver numbers them.
enum VarType : int32_t { kContinuous = 0, kInteger = 1, kSemiContinuous = 2, kSemiInteger = 3 };
constexpr int32_t kVarTypeCount = 4;

enum Sense : int32_t { kMinimize = 1, kMaximize = -1 };

// How a quadratic part is given: its lower triangle (the strict upper triangle is ignored), or
// the whole square matrix (read as its symmetric part).
enum HessianFormat : int32_t { kTriangular = 1, kSquare = 2 };

// The solver numbers rows, columns and entries in 32 bits.
constexpr int64_t kMaxCount = INT32_MAX;

// Errors of a refused change: std::invalid_argument (a malformed argument) and std::out_of_range
// (a column index outside the model); the message names the operation.
class Model {
  public:
    int32_t num_col() const { return static_cast<int32_t>(col_lower_.size()); }
    int32_t num_row() const { return static_cast<int32_t>(row_lower_.size()); }
    int64_t num_nz() const { return static_cast<int64_t>(a_index_.size()); }

    // Appends n columns with the given bounds, continuous and of cost 0.
    void add_cols(const double *lower, const double *upper, int64_t n);

    // Sets the kinds of the listed columns (the last entry for a column repeated wins).
    template <typename I, typename T>
    void change_integrality(const I *cols, const T *types, int64_t n);

    // Appends m rows lower <= sum values[k] * x[indices[k]] <= upper, row r holding the entries
    // starts[r] .. starts[r + 1] - 1; repeated columns within a row are summed.
    template <typename I>
    void add_rows(const char *op, const double *lower, const double *upper, int64_t m,
                  const I *starts, const I *indices, const double *values, int64_t count);

    void set_sense(int32_t sense) { sense_ = sense; }
    int32_t sense() const { return sense_; }

    // Sets the costs of the listed columns (the last entry for a column repeated wins).
    template <typename I>
    void change_costs(const char *op, const I *cols, const double *costs, int64_t n);

    // Replaces the quadratic part by the compressed-column matrix of dimension dim, given by
    // num_starts column starts (dim + 1 for a square of that size; a narrower matrix has empty
    // columns up to dim, a wider one must hold no entry beyond dim); count 0 clears it.
    template <typename I>
    void pass_hessian(int64_t dim, int32_t format, const I *starts, int64_t num_starts,
                      const I *indices, const double *values, int64_t count);

    // Replaces the start vector (n values for the columns 0 .. n - 1; n 0 clears it).
    void set_start(const double *values, int64_t n);

    // The arrays handed to the solver.
    const std::vector<double> &col_lower() const { return col_lower_; }
    const std::vector<double> &col_upper() const { return col_upper_; }
    const std::vector<double> &col_cost() const { return col_cost_; }
    const std::vector<int32_t> &integrality() const { return integrality_; }
    const std::vector<double> &row_lower() const { return row_lower_; }
    const std::vector<double> &row_upper() const { return row_upper_; }
    const std::vector<int32_t> &a_start() const { return a_start_; }
    const std::vector<int32_t> &a_index() const { return a_index_; }
    const std::vector<double> &a_value() const { return a_value_; }
    const std::vector<double> &start() const { return start_; }

    // The quadratic part as a lower triangle over all columns (dimension num_col()), or empty
    // starts when there is no quadratic part with a non-zero entry.
    void hessian(std::vector<int32_t> &starts, std::vector<int32_t> &indices,
                 std::vector<double> &values) const;
    bool has_hessian() const;
    bool has_integer_columns() const;

    // c'x + 1/2 x'Hx at x (num_col() values).
    double objective(const double *x) const;

    // Rounds the values of integer and semi-integer columns that lie within tol of an integer.
    void snap_integers(double *x, double tol) const;

    // The columns, ascending, that neither the objective nor any row reads: no cost, no non-zero
    // quadratic entry, no non-zero matrix entry, and bounds that hold a value. Whatever value
    // such a column takes within its bounds, every row and the objective are the same.
    std::vector<int32_t> idle_columns() const;

    // The value an idle column takes: the point of its bounds nearest 0.
    double idle_value(int32_t col) const;

    // The model without the given columns (ascending, idle ones): the other columns keep their
    // order and are numbered anew, every row stays, and the dropped columns' entries (all zeros)
    // leave the rows. The start vector is not carried over.
    Model without_columns(const std::vector<int32_t> &cols) const;

  private:
    // add_rows' copy of the entries, checking them as it goes; throws, leaving the matrix
    // arrays longer, when it refuses them (add_rows shortens them again).
    template <typename I>
    void add_checked_rows(const char *op, int64_t m, const I *starts, const I *indices,
                          const double *values, int64_t count);

    std::vector<double> col_lower_, col_upper_, col_cost_;
    std::vector<int32_t> integrality_;
    int32_t sense_ = kMinimize;
    std::vector<double> row_lower_, row_upper_;
    std::vector<int32_t> a_start_{0}, a_index_;
    std::vector<double> a_value_;
    // Lower triangle, column-wise, rows ascending within a column, over columns 0 .. q_dim_ - 1.
    int32_t q_dim_ = 0;
    std::vector<int32_t> q_start_{0}, q_index_;
    std::vector<double> q_value_;
    std::vector<double> start_;
};

}  // namespace se::lin
