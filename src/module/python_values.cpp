// FieldValue to Python: str, exact int, float, decimal.Decimal, the bool
// singletons, aware datetime with a fixed-offset timezone, date, naive time.
#include "python_values.h"

#include <datetime.h>

#include <cstring>

#include "../parser/line_loop.h"
#include "../values/decimal.h"
#include "../values/utf8.h"
#include "errors.h"

namespace kelvane {
namespace {

// The datetime C interface, imported on first use and kept for the process.
PyDateTime_CAPI* datetime_api() {
    static PyDateTime_CAPI* api = nullptr;
    if (api == nullptr) {
        api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (api == nullptr) raise_internal_fault("failed to import the datetime C interface");
    }
    return api;
}

// decimal.Decimal, looked up on first use; a failed lookup keeps nothing.
PyObject* decimal_class() {
    static PyObject* cls = nullptr;
    if (cls != nullptr) return cls;
    PyRef module(PyImport_ImportModule("decimal"));
    if (!module) {
        raise_internal_fault("failed to load decimal.Decimal");
        return nullptr;
    }
    PyRef attribute(PyObject_GetAttrString(module.get(), "Decimal"));
    if (!attribute) {
        raise_internal_fault("failed to load decimal.Decimal");
        return nullptr;
    }
    if (!PyType_Check(attribute.get())) {
        PyErr_SetString(PyExc_TypeError, "decimal.Decimal is not a class");
        raise_internal_fault("failed to load decimal.Decimal");
        return nullptr;
    }
    // The import may have let another thread store one first: keep that one.
    if (cls == nullptr) cls = attribute.release();
    return cls;
}

// Fixed-offset timezones by total offset. Zones in use have few distinct
// offsets, so a small direct-mapped cache keeps almost every lookup a hit.
PyObject* timezone_for_offset(PyDateTime_CAPI* api, int32_t total_offset) {
    if (total_offset == 0) return Py_NewRef(api->TimeZone_UTC);
    struct Entry {
        int32_t offset;
        PyObject* zone;
    };
    static Entry cache[64] = {};
    Entry& entry = cache[static_cast<uint32_t>(total_offset / 60 + 2048) % 64];
    if (entry.zone != nullptr && entry.offset == total_offset) return Py_NewRef(entry.zone);
    PyRef delta(api->Delta_FromDelta(0, total_offset, 0, 1, api->DeltaType));
    if (!delta) return nullptr;
    PyObject* zone = api->TimeZone_FromTimeZone(delta.get(), nullptr);
    if (zone == nullptr) return nullptr;
    Py_XDECREF(entry.zone);
    entry = {total_offset, Py_NewRef(zone)};
    return zone;
}

// Copies n bytes; short texts with fixed-size moves that may overlap rather
// than a library call.
void copy_bytes(char* out, const char* in, size_t n) {
    if (n > 16) {
        std::memcpy(out, in, n);
    } else if (n >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else {
        for (size_t k = 0; k < n; ++k) out[k] = in[k];
    }
}

// A str holding ASCII bytes, copied without decoding; one character is the
// interpreter's own cached str.
PyObject* ascii_text(std::string_view ascii) {
    if (ascii.size() == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(ascii[0]));
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (text != nullptr) copy_bytes(static_cast<char*>(PyUnicode_DATA(text)), ascii.data(), ascii.size());
    return text;
}

bool python_can_hold_year(int32_t year) { return year >= min_python_year && year <= max_python_year; }

// One object per value type. Null with an error set, or null with `refused`
// set when the value is out of the interpreter's reach.
PyObject* to_python(Absent, bool&) { return Py_NewRef(Py_None); }

PyObject* to_python(int128 value, bool&) {
    if (value >= INT64_MIN && value <= INT64_MAX) return PyLong_FromLongLong(static_cast<long long>(value));
    unsigned char bytes[16];
    auto bits = static_cast<uint128>(value);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(bits & 0xFF);
        bits >>= 8;
    }
    return _PyLong_FromByteArray(bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1);
}

PyObject* to_python(EnumInt value, bool&) { return PyLong_FromLongLong(value.value); }
PyObject* to_python(double value, bool&) { return PyFloat_FromDouble(value); }
PyObject* to_python(bool value, bool&) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(const Decimal& value, bool&) {
    PyObject* cls = decimal_class();
    if (cls == nullptr) return nullptr;
    char buffer[Decimal::text_capacity];
    const size_t length = value.write(buffer);
    PyRef text(ascii_text(std::string_view(buffer, length)));
    if (!text) return nullptr;
    PyObject* result = PyObject_CallOneArg(cls, text.get());
    if (result == nullptr) raise_internal_fault("failed to call decimal.Decimal(value)");
    return result;
}

PyObject* to_python(const ZonedDateTime& value, bool& refused) {
    if (!python_can_hold_year(value.date.year)) {
        refused = true;
        return nullptr;
    }
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    PyRef zone(timezone_for_offset(api, value.total_offset));
    if (!zone) return nullptr;
    const auto seconds = static_cast<int>(value.seconds_of_day);
    return api->DateTime_FromDateAndTime(value.date.year, value.date.month, value.date.day, seconds / 3600,
                                         seconds / 60 % 60, seconds % 60, 0, zone.get(), api->DateTimeType);
}

PyObject* to_python(const CivilDate& value, bool& refused) {
    if (!python_can_hold_year(value.year)) {
        refused = true;
        return nullptr;
    }
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    return api->Date_FromDate(value.year, value.month, value.day, api->DateType);
}

PyObject* to_python(const TimeOfDay& value, bool&) {
    PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    const auto seconds = static_cast<int>(value.seconds);
    PyObject* time = api->Time_FromTime(seconds / 3600, seconds / 60 % 60, seconds % 60,
                                        static_cast<int>(value.nanosecond / 1000), Py_None, api->TimeType);
    if (time != nullptr && value.leap_second) {
        // The warning never fails the line: a filter that raises sends the
        // exception to the unraisable hook.
        if (PyErr_WarnEx(PyExc_UserWarning, "ignored leap-second, `datetime` does not support leap-seconds", 0) < 0)
            PyErr_WriteUnraisable(time);
    }
    return time;
}

}  // namespace

PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

inline PyObject* TupleSink::text(std::string_view piece) const {
    // Pieces are checked one by one: one accent in a line leaves the others
    // ASCII. A piece of a str's UTF-8 cut at ASCII delimiters is valid UTF-8.
    if (ascii_line_ || is_ascii(piece)) return ascii_text(piece);
    return PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), nullptr);
}

inline FieldSink::Verdict TupleSink::add(PyObject* object) {
    // Unfilled slots stay null until the tuple is complete; a failed line
    // releases the tuple, which tolerates them.
    PyTuple_SET_ITEM(tuple_.get(), next_++, object);
    return Verdict::accepted;
}

FieldSink::Verdict TupleSink::record_name(std::string_view name, size_t field_count) {
    tuple_ = PyRef(PyTuple_New(static_cast<Py_ssize_t>(field_count) + 1));
    if (!tuple_) return Verdict::aborted;
    PyObject* text = this->text(name);
    if (text == nullptr) return Verdict::aborted;
    PyTuple_SET_ITEM(tuple_.get(), 0, text);
    next_ = 1;
    return Verdict::accepted;
}

template <class Value>
FieldSink::Verdict TupleSink::take(const Value& value) {
    bool refused = false;
    PyObject* object = to_python(value, refused);
    if (object == nullptr) [[unlikely]]
        return refused ? Verdict::refused : Verdict::aborted;
    return add(object);
}

template <>
FieldSink::Verdict TupleSink::take(const std::string_view& value) {
    PyObject* object = text(value);
    if (object == nullptr) [[unlikely]]
        return Verdict::aborted;
    return add(object);
}

FieldSink::Verdict TupleSink::accept(const FieldValue& value) {
    return std::visit([this](const auto& alternative) { return take(alternative); }, value);
}

PyObject* parse_line_tuple(const PreparedSchema& schema, std::string_view line, bool ascii_line) {
    TupleSink sink(ascii_line);
    const Status status = parse_line_into(schema, line, sink);
    if (!status) [[unlikely]] {
        if (!PyErr_Occurred()) raise_value_error(status.message());
        return nullptr;
    }
    return sink.release();
}

}  // namespace kelvane
