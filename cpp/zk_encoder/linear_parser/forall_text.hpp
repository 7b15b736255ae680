// The text by which a for-all value of the first linear generation enters a text, after
// "for i in ": shared by `Sum` and the model's for-all keywords.
//
// The value's own text form is evaluated back, so it must be source text of the same values. A
// numpy integer prints as "np.int64(3)" and a numpy array without commas, which name nothing or
// read as something else; a sequence of integers is therefore written as a list of plain ints
// (numpy integers, booleans and numpy integer arrays included), so that it means what the same
// host integers mean. Any other numpy array is written as the host's values it holds (tolist), so
// that it reads back as the same list of host values would: floats, nested rows, a 0-d array's
// one value. A text is written unchanged (it may use the keywords before it); anything else
// keeps its own text form, for the evaluation to judge.
#pragma once

#include <nanobind/nanobind.h>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/integers.hpp"
#include "common/numbers.hpp"

namespace zk::lp1 {

namespace nb = nanobind;

inline nb::str forall_text(nb::handle value) {
    PlainInts ints = plain_ints(value);
    if (ints.values_.is_valid()) {
        // A list or tuple of plain ints: the text it always had.
        if (ints.values_.is(value)) return format_plain(value);
        return format_plain(check(PySequence_List(ints.values_.ptr())));
    }
    if (numbers::is_a(value, numbers::classes().np_ndarray_))
        return format_plain(value.attr("tolist")());
    return format_plain(value);
}

}  // namespace zk::lp1
