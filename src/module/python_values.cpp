// FieldValue to Python: str, exact int, float, decimal.Decimal, the bool
// singletons, aware datetime with a fixed-offset timezone, date, naive time.
#include "python_values.h"

#include <datetime.h>

#include <cstring>

#include "../values/decimal.h"
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

// A str holding ASCII bytes, copied without decoding.
PyObject* ascii_text(std::string_view ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (text != nullptr) std::memcpy(PyUnicode_DATA(text), ascii.data(), ascii.size());
    return text;
}

bool python_can_hold_year(int32_t year) { return year >= min_python_year && year <= max_python_year; }

struct ToPython {
    const TupleSink& sink;
    // Null with an error set, or null with `refused` set.
    bool& refused;

    PyObject* operator()(Absent) const { return Py_NewRef(Py_None); }
    PyObject* operator()(std::string_view text) const { return sink.text(text); }

    PyObject* operator()(int128 value) const {
        if (value >= INT64_MIN && value <= INT64_MAX) return PyLong_FromLongLong(static_cast<long long>(value));
        unsigned char bytes[16];
        auto bits = static_cast<uint128>(value);
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(bits & 0xFF);
            bits >>= 8;
        }
        return _PyLong_FromByteArray(bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1);
    }

    PyObject* operator()(EnumInt value) const { return PyLong_FromLongLong(value.value); }
    PyObject* operator()(double value) const { return PyFloat_FromDouble(value); }
    PyObject* operator()(bool value) const { return Py_NewRef(value ? Py_True : Py_False); }

    PyObject* operator()(const Decimal& value) const {
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

    PyObject* operator()(const ZonedDateTime& value) const {
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

    PyObject* operator()(const CivilDate& value) const {
        if (!python_can_hold_year(value.year)) {
            refused = true;
            return nullptr;
        }
        PyDateTime_CAPI* api = datetime_api();
        if (api == nullptr) return nullptr;
        return api->Date_FromDate(value.year, value.month, value.day, api->DateType);
    }

    PyObject* operator()(const TimeOfDay& value) const {
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
};

}  // namespace

PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* TupleSink::text(std::string_view piece) const {
    return ascii_line_ ? ascii_text(piece) : text_to_python(piece);
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

FieldSink::Verdict TupleSink::accept(const FieldValue& value) {
    bool refused = false;
    PyObject* object = std::visit(ToPython{*this, refused}, value);
    if (object == nullptr) return refused ? Verdict::refused : Verdict::aborted;
    // Unfilled slots stay null until the tuple is complete; a failed line
    // releases the tuple, which tolerates them.
    PyTuple_SET_ITEM(tuple_.get(), next_++, object);
    return Verdict::accepted;
}

}  // namespace kelvane
