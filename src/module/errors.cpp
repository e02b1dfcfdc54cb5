// Raising the binding's exceptions.
#include "errors.h"

#include <string>

namespace kelvane {
namespace {

// Created on first need and kept for the life of the process.
PyObject* internal_fault_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "kelvane.InternalFault",
            "Raised when kelvane detects a broken internal invariant. It derives from\n"
            "BaseException so that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void raise_value_error(std::string_view message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_internal_fault(std::string_view prefix) {
    std::string message(prefix);
    if (PyObject* pending = PyErr_GetRaisedException()) {
        PyRef owned(pending);
        PyRef description(PyObject_Str(pending));
        message += ": ";
        if (description) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(description.get(), &size);
            if (utf8 != nullptr) {
                message.append(Py_TYPE(pending)->tp_name);
                if (size > 0) message.append(": ").append(utf8, static_cast<size_t>(size));
            }
        }
        PyErr_Clear();
    }
    if (message.empty()) message = "an internal fault occurred";
    PyObject* type = internal_fault_type();
    if (type == nullptr) return;
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace kelvane
