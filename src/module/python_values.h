// Turns converted fields into Python objects and collects a line's tuple.
#pragma once

#include "../parser/field_value.h"
#include "py_ref.h"

namespace kelvane {

// Builds parse_line's tuple: the record name, then one object per field, each
// made as soon as its field has converted.
class TupleSink final : public FieldSink {
public:
    Verdict record_name(std::string_view name, size_t field_count) override;
    Verdict accept(const FieldValue& value) override;

    // The finished tuple (after a successful parse).
    PyObject* release() { return tuple_.release(); }

private:
    PyRef tuple_;
    Py_ssize_t next_ = 0;
};

PyObject* text_to_python(std::string_view text);

}  // namespace kelvane
