// Turns converted fields into Python objects and collects a line's tuple.
#pragma once

#include "../parser/field_value.h"
#include "py_ref.h"

namespace kelvane {

// Builds parse_line's tuple: the record name, then one object per field, each
// made as soon as its field has converted.
class TupleSink final : public FieldSink {
public:
    // `ascii_line`: every text of the line is ASCII, so pieces need no decoding.
    explicit TupleSink(bool ascii_line) : ascii_line_(ascii_line) {}

    Verdict record_name(std::string_view name, size_t field_count) override;
    Verdict accept(const FieldValue& value) override;

    // A piece's text as a str.
    PyObject* text(std::string_view piece) const;

    // The finished tuple (after a successful parse).
    PyObject* release() { return tuple_.release(); }

private:
    PyRef tuple_;
    bool ascii_line_;
    Py_ssize_t next_ = 0;
};

PyObject* text_to_python(std::string_view text);

}  // namespace kelvane
