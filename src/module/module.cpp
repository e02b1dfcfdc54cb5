// The kelvane module: entry point, the Parser type, argument binding, and the
// mapping of failures to Python exceptions. No parsing logic lives here.
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "../parser/line_parser.h"
#include "errors.h"
#include "py_ref.h"
#include "python_values.h"

namespace kelvane {
namespace {

struct ParserObject {
    PyObject_HEAD
    PreparedSchema* schema;
};

PyObject* parser_type = nullptr;  // created once per process

// __qualname__ of the object's type, as argument errors show it.
std::string type_name(PyObject* object) {
    PyRef name(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

// Binds the single parameter `param` of `function` from a vectorcall-style
// argument list. Returns a borrowed reference, or null with TypeError set.
PyObject* bind_single(const char* function, const char* param, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", function, nargs);
        return nullptr;
    }
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(keyword, param) != 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, keyword);
            return nullptr;
        }
        if (value != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function, param);
            return nullptr;
        }
        value = args[nargs + i];
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", function, param);
        return nullptr;
    }
    return value;
}

// The argument's UTF-8 text. A non-str is a TypeError naming the parameter;
// a str that cannot be encoded (lone surrogates) keeps its own exception.
bool argument_text(PyObject* argument, const char* param, std::string_view& text) {
    if (!PyUnicode_Check(argument)) {
        const std::string name = type_name(argument);
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'", param,
                     name.c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(argument, &size);
    if (utf8 == nullptr) return false;
    text = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}

// C++ failures that can still escape the core (allocation) become Python
// exceptions here; nothing else may cross into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_fault(error.what());
        return nullptr;
    } catch (...) {
        raise_internal_fault("");
        return nullptr;
    }
}

const PreparedSchema* receiver_schema(PyObject* self) {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(parser_type))) {
        const std::string name = type_name(self);
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Parser'", name.c_str());
        return nullptr;
    }
    return reinterpret_cast<ParserObject*>(self)->schema;
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Flatten tuple + dict into the vectorcall layout the binder reads.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* stack[3] = {nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs && i < 2; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0 && nargs <= 1) {
        // Only the first keyword matters: any keyword is either the one
        // parameter or an error, and a second keyword is always an error
        // reported by the first check that fails.
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        Py_ssize_t count = 0;
        PyObject* names[2];
        while (count < 2 && PyDict_Next(kwargs, &position, &key, &value)) {
            names[count] = key;
            stack[nargs + count] = value;
            ++count;
        }
        kwnames = PyRef(PyTuple_New(count));
        if (!kwnames) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(names[i]));
    }
    PyObject* argument = bind_single("Parser.__new__()", "schema_json_str", stack, nargs, kwnames.get());
    if (argument == nullptr) return nullptr;
    std::string_view text;
    if (!argument_text(argument, "schema_json_str", text)) return nullptr;

    return guarded([&]() -> PyObject* {
        Result<Schema> schema = read_schema(text);
        if (!schema) {
            raise_value_error(schema.message());
            return nullptr;
        }
        auto* prepared = new PreparedSchema(std::move(schema).value());
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            delete prepared;
            return nullptr;
        }
        reinterpret_cast<ParserObject*>(self)->schema = prepared;
        return self;
    });
}

void parser_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ParserObject*>(self)->schema;
    type->tp_free(self);
    Py_DECREF(type);
}

// What both methods start with: the bound `line` argument, the receiver's
// schema and the line's text. False with an exception set on failure.
struct MethodCall {
    PyObject* argument = nullptr;
    const PreparedSchema* schema = nullptr;
    std::string_view line;

    bool bind(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        argument = bind_single(function, "line", args, nargs, kwnames);
        if (argument == nullptr) return false;
        schema = receiver_schema(self);
        return schema != nullptr && argument_text(argument, "line", line);
    }
};

PyObject* parser_parse_line(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    MethodCall call;
    if (!call.bind("Parser.parse_line()", self, args, nargs, kwnames)) return nullptr;
    return guarded(
        [&]() -> PyObject* { return parse_line_tuple(*call.schema, call.line, PyUnicode_IS_ASCII(call.argument)); });
}

PyObject* parser_parse_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    MethodCall call;
    if (!call.bind("Parser.parse_first()", self, args, nargs, kwnames)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Result<std::string_view> first = parse_first(*call.schema, call.line);
        if (!first) {
            raise_value_error(first.message());
            return nullptr;
        }
        return text_to_python(first.value());
    });
}

PyMethodDef parser_methods[] = {
    {"parse_line", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_parse_line)),
     METH_FASTCALL | METH_KEYWORDS, "parse_line($self, line)\n--\n\n"},
    {"parse_first", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_parse_first)),
     METH_FASTCALL | METH_KEYWORDS, "parse_first($self, line)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("Parser(schema_json_str)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "kelvane.Parser",
    sizeof(ParserObject),
    0,
    // Not a base type (subclassing is refused); immutable like built-in types.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    parser_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kelvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module may live in one interpreter only: the first to import it.
std::atomic<int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

int add_parser(PyObject* module) {
    if (parser_type == nullptr) {
        parser_type = PyType_FromSpec(&parser_spec);
        if (parser_type == nullptr) return -1;
    }
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef name(PyUnicode_FromString("Parser"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttrString(module, "Parser", parser_type);
}

PyObject* init_module() {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError, "kelvane does not support sub-interpreters: it can only be imported "
                                           "by the interpreter that first imported it");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);
    PyRef module(PyModule_Create(&module_def));
    if (!module || add_parser(module.get()) < 0) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace kelvane

PyMODINIT_FUNC PyInit_kelvane(void) { return kelvane::init_module(); }
