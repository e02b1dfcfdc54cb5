// The Arrow PyCapsule interface: exported Arrow structs wrapped in capsules
// named "arrow_schema", "arrow_array" and "arrow_array_stream", whose
// destructors release whatever the consumer did not take.
#pragma once

#include "../feed/arrow_export.h"
#include "../module/py_ref.h"

namespace kelvane::feed {

// Each returns a new capsule, or null with a Python error set.
PyObject* schema_capsule(const TableShape& shape);
PyObject* array_capsule(const TableShape& shape, const BatchView& view);
PyObject* stream_capsule(const TableShape& shape, std::vector<BatchView> batches);

}  // namespace kelvane::feed
