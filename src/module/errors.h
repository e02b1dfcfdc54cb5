// The binding's exceptions: ValueError for every schema and line failure, and
// the internal-fault exception (a BaseException) for broken invariants.
#pragma once

#include "py_ref.h"

#include <string_view>

namespace kelvane {

// Sets ValueError(message) with the message as its only argument.
void raise_value_error(std::string_view message);

// Sets the internal-fault exception. With a Python error pending, its
// description follows `prefix` and ": "; the pending error is consumed.
void raise_internal_fault(std::string_view prefix);

}  // namespace kelvane
