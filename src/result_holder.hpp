#pragma once
// The owner of a result buffer that a NumPy array views.
//
// The returned array's data is the pipeline's own buffer, not a copy; the array's base object
// is a holder of the class "PySliceContainer", which frees the buffer when the array (and with
// it the holder) is released. The class is created on first use and kept for the life of the
// process; Python code cannot create instances of it.

#include <vector>

#include "py_ref.hpp"

namespace tacitor::result_holder {

// A new holder that owns `buffer`; the buffer's data address is unchanged by the move.
// Failure to create the class or the object is the internal failure "Failed to create slice
// container: ...".
py::Ref hold(std::vector<float>&& buffer);

}  // namespace tacitor::result_holder
