"""Array comparisons, from the strictest down; each says exactly what it compares. A test takes
the strictest one its results meet."""

import numpy as np


def same_bits(got, want):
    """Two numpy arrays alike to the bit: type, dtype (its character too: int64 is not longlong),
    shape and bytes, so signed zeros and NaN payloads count. True, for use in an assert."""
    assert type(got) is type(want) is np.ndarray, (type(got), type(want))
    assert got.dtype == want.dtype and got.dtype.char == want.dtype.char, (got.dtype, want.dtype)
    assert got.shape == want.shape, (got.shape, want.shape)
    assert got.tobytes() == want.tobytes(), (got, want)
    return True


def same_number(got, want):
    """Two numbers alike to the bit: the same type; floats (numpy's too) by their bytes, so signed
    zeros and NaN payloads count; any other value by equality. True, for use in an assert."""
    assert type(got) is type(want), (type(got), type(want))
    if isinstance(got, (float, np.floating)):
        assert np.asarray(got).tobytes() == np.asarray(want).tobytes(), (got, want)
    else:
        assert got == want, (got, want)
    return True


def same_sparse(got, want):
    """Two scipy sparse arrays or matrices alike to the bit: class, shape, the stored order and
    every stored array (explicit zeros included) by same_bits; for COO also whether it is
    canonical. True, for use in an assert."""
    assert type(got) is type(want), (type(got), type(want))
    assert got.shape == want.shape, (got.shape, want.shape)
    if want.format == "coo":
        assert got.has_canonical_format == want.has_canonical_format
        same_bits(got.row, want.row)
        same_bits(got.col, want.col)
    else:
        same_bits(got.indptr, want.indptr)
        same_bits(got.indices, want.indices)
    same_bits(got.data, want.data)
    return True


def is_array(got, values, dtype):
    """A numpy array of that dtype and of the shape of `values`, whose elements equal them as
    Python numbers (tolist), NaN equal to nothing. True, for use in an assert."""
    assert isinstance(got, np.ndarray), type(got)
    assert got.dtype == np.dtype(dtype), got.dtype
    values = list(values)
    assert got.shape == np.shape(values), (got.shape, np.shape(values))
    assert got.tolist() == values, got
    return True
