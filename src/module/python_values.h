// Turns converted fields into Python objects and collects a line's tuple.
#pragma once

#include "../parser/field_value.h"
#include "../parser/line_parser.h"
#include "py_ref.h"

namespace kelvane {

// Builds parse_line's tuple: the record name, then one object per field, each
// made as soon as its field has converted. parse_line_tuple hands it every
// value by its own type (`take`); as a FieldSink it takes FieldValues.
class TupleSink final : public FieldSink {
public:
    // `ascii_line`: every text of the line is ASCII, so pieces need no check.
    explicit TupleSink(bool ascii_line) : ascii_line_(ascii_line) {}

    Verdict record_name(std::string_view name, size_t field_count) override;
    Verdict accept(const FieldValue& value) override;

    template <class Value>
    Verdict take(const Value& value);

    // The finished tuple (after a successful parse).
    PyObject* release() { return tuple_.release(); }

private:
    // A piece's text as a str.
    PyObject* text(std::string_view piece) const;
    Verdict add(PyObject* object);

    PyRef tuple_;
    bool ascii_line_;
    Py_ssize_t next_ = 0;
};

// parse_line's tuple, or null with the exception set: ValueError with the
// line's message, or what building an object raised.
PyObject* parse_line_tuple(const PreparedSchema& schema, std::string_view line, bool ascii_line);

PyObject* text_to_python(std::string_view text);

}  // namespace kelvane
