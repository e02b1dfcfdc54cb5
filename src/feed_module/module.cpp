// kelvane_feed._native: the Python face of the feed reader. Schema, Layout
// (a schema with its column types), Batch (one exported record batch), Reader
// (a read in progress, the interpreter lock released while it parses) and
// count_lines. The package's Python code builds the public API on these.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>

#include "../feed/feed_reader.h"
#include "../feed/line_scan.h"
#include "../feed/schema_lint.h"
#include "../schema/record_tables.h"
#include "capsules.h"

namespace kelvane::feed {
namespace {

PyObject* schema_type = nullptr;
PyObject* layout_type = nullptr;
PyObject* batch_type = nullptr;
PyObject* reader_type = nullptr;

// C++ failures become Python exceptions here; nothing else crosses over.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected failure in the feed reader");
        return nullptr;
    }
}

PyObject* text_object(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
}

bool utf8_argument(PyObject* object, std::string_view& text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    text = std::string_view(data, static_cast<size_t>(size));
    return true;
}

// ---------------------------------------------------------------- Layout

struct LayoutObject {
    PyObject_HEAD
    std::shared_ptr<const FeedLayout>* layout;
};

const std::shared_ptr<const FeedLayout>& layout_of(PyObject* self) {
    return *reinterpret_cast<LayoutObject*>(self)->layout;
}

PyObject* new_layout(std::shared_ptr<const FeedLayout> layout) {
    auto* type = reinterpret_cast<PyTypeObject*>(layout_type);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<LayoutObject*>(self)->layout = new std::shared_ptr<const FeedLayout>(std::move(layout));
    return self;
}

void layout_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LayoutObject*>(self)->layout;
    type->tp_free(self);
    Py_DECREF(type);
}

// [(kind, [(column, type name, nullable, field kind), ...]), ...]
PyObject* layout_describe(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto& kinds = layout_of(self)->kinds();
        PyRef result(PyList_New(static_cast<Py_ssize_t>(kinds.size())));
        if (!result) return nullptr;
        for (size_t k = 0; k < kinds.size(); ++k) {
            PyRef columns(PyList_New(static_cast<Py_ssize_t>(kinds[k].columns.size())));
            if (!columns) return nullptr;
            for (size_t c = 0; c < kinds[k].columns.size(); ++c) {
                const ColumnPlan& plan = kinds[k].columns[c];
                const std::string type = column_type_name(plan.type);
                const std::string_view tag = field_kind_tag(*plan.field);
                PyObject* item = Py_BuildValue("(NNON)", text_object(plan.name), text_object(type),
                                               plan.nullable ? Py_True : Py_False, text_object(tag));
                if (item == nullptr) return nullptr;
                PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c), item);
            }
            PyObject* entry = Py_BuildValue("(NO)", text_object(kinds[k].name), columns.get());
            if (entry == nullptr) return nullptr;
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), entry);
        }
        return result.release();
    });
}

bool kind_argument(PyObject* self, PyObject* argument, size_t& kind) {
    const Py_ssize_t index = PyLong_AsSsize_t(argument);
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0 || static_cast<size_t>(index) >= layout_of(self)->kinds().size()) {
        PyErr_SetString(PyExc_IndexError, "no such record kind");
        return false;
    }
    kind = static_cast<size_t>(index);
    return true;
}

PyObject* layout_schema_capsule(PyObject* self, PyObject* argument) {
    size_t kind = 0;
    if (!kind_argument(self, argument, kind)) return nullptr;
    return guarded([&] { return schema_capsule(kind_shape(layout_of(self), kind)); });
}

struct BatchObject;
bool batch_views(PyObject* sequence, std::vector<BatchView>& views);

// stream_capsule(kind, batches): a stream over native batches of that kind.
PyObject* layout_stream_capsule(PyObject* self, PyObject* args) {
    PyObject* kind_object;
    PyObject* batches;
    if (!PyArg_ParseTuple(args, "OO", &kind_object, &batches)) return nullptr;
    size_t kind = 0;
    if (!kind_argument(self, kind_object, kind)) return nullptr;
    std::vector<BatchView> views;
    if (!batch_views(batches, views)) return nullptr;
    for (const BatchView& view : views) {
        if (view.batch->layout != layout_of(self) || view.batch->kind != kind) {
            PyErr_SetString(PyExc_ValueError, "the batch belongs to another record kind or schema");
            return nullptr;
        }
    }
    return guarded([&] { return stream_capsule(kind_shape(layout_of(self), kind), std::move(views)); });
}

// locate(line: bytes) -> None, or (record, field, field name, message) of
// the line's failure as the Parser reports it.
PyObject* layout_locate(PyObject* self, PyObject* argument) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(argument, &data, &size) < 0) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::string_view line(data, static_cast<size_t>(size));
        Located located;
        const size_t bad = invalid_utf8_at(line);
        if (bad != std::string_view::npos) {
            located.message = invalid_utf8_message(bad);
        } else {
            located = locate_failure(*layout_of(self), line);
            if (located.message.empty()) Py_RETURN_NONE;
        }
        PyRef record(located.has_record ? text_object(located.record) : Py_NewRef(Py_None));
        PyRef field(located.field != 0 ? PyLong_FromUnsignedLong(located.field) : Py_NewRef(Py_None));
        PyRef field_name(located.field != 0 ? text_object(located.field_name) : Py_NewRef(Py_None));
        PyRef message(text_object(located.message));
        if (!record || !field || !field_name || !message) return nullptr;
        return PyTuple_Pack(4, record.get(), field.get(), field_name.get(), message.get());
    });
}

PyMethodDef layout_methods[] = {
    {"describe", layout_describe, METH_NOARGS, nullptr},
    {"schema_capsule", layout_schema_capsule, METH_O, nullptr},
    {"stream_capsule", layout_stream_capsule, METH_VARARGS, nullptr},
    {"locate", layout_locate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot layout_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_methods, layout_methods},
    {0, nullptr},
};

PyType_Spec layout_spec = {"kelvane_feed._native.Layout", sizeof(LayoutObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           layout_slots};

// ---------------------------------------------------------------- Schema

struct SchemaObject {
    PyObject_HEAD
    std::shared_ptr<const FeedSchema>* schema;
};

const FeedSchema& schema_of(PyObject* self) { return **reinterpret_cast<SchemaObject*>(self)->schema; }

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* text_object_argument;
    static const char* keywords[] = {"text", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:Schema", const_cast<char**>(keywords), &text_object_argument))
        return nullptr;
    std::string_view text;
    if (!utf8_argument(text_object_argument, text)) return nullptr;
    return guarded([&]() -> PyObject* {
        Result<std::shared_ptr<const FeedSchema>> schema = FeedSchema::read(std::string(text));
        if (!schema) {
            PyRef message(text_object(schema.message()));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<SchemaObject*>(self)->schema = new std::shared_ptr<const FeedSchema>(std::move(schema).value());
        return self;
    });
}

void schema_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SchemaObject*>(self)->schema;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* schema_text(PyObject* self, void*) { return text_object(schema_of(self).text()); }

// layout(overrides): overrides is a sequence of (kind, column name or
// 1-based position, type text).
PyObject* schema_layout(PyObject* self, PyObject* overrides_object) {
    PyRef sequence(PySequence_Fast(overrides_object, "overrides must be a sequence"));
    if (!sequence) return nullptr;
    std::vector<ColumnOverride> overrides;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
        PyObject* kind;
        PyObject* column;
        PyObject* type;
        if (!PyArg_ParseTuple(item, "UOU", &kind, &column, &type)) return nullptr;
        ColumnOverride override;
        std::string_view text;
        if (!utf8_argument(kind, text)) return nullptr;
        override.kind = text;
        if (!utf8_argument(type, text)) return nullptr;
        override.type = text;
        if (PyUnicode_Check(column)) {
            if (!utf8_argument(column, text)) return nullptr;
            override.column = text;
        } else {
            const Py_ssize_t position = PyLong_AsSsize_t(column);
            if (position == -1 && PyErr_Occurred()) return nullptr;
            override.position = position < 0 ? 0 : static_cast<size_t>(position);
        }
        overrides.push_back(std::move(override));
    }
    return guarded([&]() -> PyObject* {
        Result<std::shared_ptr<const FeedLayout>> layout = schema_of(self).layout_with(overrides);
        if (!layout) {
            PyRef message(text_object(layout.message()));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        return new_layout(std::move(layout).value());
    });
}

// lint(): [(line, column, path, code, message), ...] in text order.
PyObject* schema_lint(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<LintFinding> findings = lint_schema(schema_of(self));
        PyRef list(PyList_New(static_cast<Py_ssize_t>(findings.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < findings.size(); ++i) {
            const LintFinding& finding = findings[i];
            PyRef path(text_object(finding.path));
            PyRef code(text_object(finding.code));
            PyRef message(text_object(finding.message));
            if (!path || !code || !message) return nullptr;
            PyObject* item = Py_BuildValue("(IIOOO)", finding.position.line, finding.position.column, path.get(),
                                           code.get(), message.get());
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyMethodDef schema_methods[] = {
    {"layout", schema_layout, METH_O, nullptr},
    {"lint", schema_lint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef schema_getset[] = {
    {"text", schema_text, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot schema_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(schema_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_dealloc)},
    {Py_tp_methods, schema_methods},
    {Py_tp_getset, schema_getset},
    {0, nullptr},
};

PyType_Spec schema_spec = {"kelvane_feed._native.Schema", sizeof(SchemaObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, schema_slots};

// ---------------------------------------------------------------- Batch

struct BatchObject {
    PyObject_HEAD
    TableShape* shape;
    BatchView* view;
};

PyObject* new_batch(const TableShape& shape, BatchView view) {
    auto* type = reinterpret_cast<PyTypeObject*>(batch_type);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* batch = reinterpret_cast<BatchObject*>(self);
    batch->shape = new TableShape(shape);
    batch->view = new BatchView(std::move(view));
    return self;
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* batch = reinterpret_cast<BatchObject*>(self);
    delete batch->shape;
    delete batch->view;
    type->tp_free(self);
    Py_DECREF(type);
}

bool batch_views(PyObject* sequence_object, std::vector<BatchView>& views) {
    PyRef sequence(PySequence_Fast(sequence_object, "batches must be a sequence"));
    if (!sequence) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(batch_type))) {
            PyErr_SetString(PyExc_TypeError, "batches must be native batches");
            return false;
        }
        views.push_back(*reinterpret_cast<BatchObject*>(item)->view);
    }
    return true;
}

PyObject* batch_kind(PyObject* self, void*) { return text_object(reinterpret_cast<BatchObject*>(self)->shape->kind->name); }
PyObject* batch_rows(PyObject* self, void*) { return PyLong_FromLongLong(reinterpret_cast<BatchObject*>(self)->view->rows); }
PyObject* batch_nbytes(PyObject* self, void*) {
    size_t total = 0;
    for (const ColumnData& column : reinterpret_cast<BatchObject*>(self)->view->batch->columns) total += column.byte_size();
    return PyLong_FromSize_t(total);
}

PyObject* batch_arrow_schema(PyObject* self, PyObject*) {
    return guarded([&] { return schema_capsule(*reinterpret_cast<BatchObject*>(self)->shape); });
}

// __arrow_c_array__(requested_schema=None): the requested schema is not
// negotiated; the batch always comes in its own types.
PyObject* batch_arrow_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* requested = Py_None;
    static const char* keywords[] = {"requested_schema", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(keywords), &requested)) return nullptr;
    auto* batch = reinterpret_cast<BatchObject*>(self);
    return guarded([&]() -> PyObject* {
        PyRef schema(schema_capsule(*batch->shape));
        if (!schema) return nullptr;
        PyRef array(array_capsule(*batch->shape, *batch->view));
        if (!array) return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    });
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_schema__", batch_arrow_schema, METH_NOARGS, nullptr},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_arrow_array)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"kind", batch_kind, nullptr, nullptr, nullptr},
    {"num_rows", batch_rows, nullptr, nullptr, nullptr},
    {"nbytes", batch_nbytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {0, nullptr},
};

PyType_Spec batch_spec = {"kelvane_feed._native.Batch", sizeof(BatchObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          batch_slots};

// ---------------------------------------------------------------- input

// Reads into `space` from a binary file object, by readinto() when it has
// one, otherwise by read(). Returns the count, or -1 with an error set.
Py_ssize_t read_from_file(PyObject* file, bool has_readinto, std::span<char> space) {
    if (has_readinto) {
        PyRef view(PyMemoryView_FromMemory(space.data(), static_cast<Py_ssize_t>(space.size()), PyBUF_WRITE));
        if (!view) return -1;
        PyRef result(PyObject_CallMethod(file, "readinto", "O", view.get()));
        // The memory is the reader's: no reference to it may outlive the call.
        PyObject* pending = PyErr_GetRaisedException();
        PyRef released(PyObject_CallMethod(view.get(), "release", nullptr));
        if (pending != nullptr) {
            if (!released) PyErr_Clear();
            PyErr_SetRaisedException(pending);
            return -1;
        }
        if (!released) return -1;
        if (result.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError, "the file object returned no data (non-blocking mode?)");
            return -1;
        }
        const Py_ssize_t count = PyLong_AsSsize_t(result.get());
        if (count == -1 && PyErr_Occurred()) return -1;
        if (count < 0 || static_cast<size_t>(count) > space.size()) {
            PyErr_SetString(PyExc_ValueError, "readinto() returned an impossible byte count");
            return -1;
        }
        return count;
    }
    PyRef data(PyObject_CallMethod(file, "read", "n", static_cast<Py_ssize_t>(space.size())));
    if (!data) return -1;
    if (data.get() == Py_None) {
        PyErr_SetString(PyExc_BlockingIOError, "the file object returned no data (non-blocking mode?)");
        return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Format(PyExc_TypeError, "the file object's read() returned %.200s, not bytes: open the file in binary mode ('rb')",
                     Py_TYPE(data.get())->tp_name);
        return -1;
    }
    const auto count = static_cast<size_t>(view.len);
    if (count > space.size()) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "read() returned more bytes than asked for");
        return -1;
    }
    std::memcpy(space.data(), view.buf, count);
    PyBuffer_Release(&view);
    return static_cast<Py_ssize_t>(count);
}

// 1 when `object` has the attribute, 0 when not, -1 with an error set.
int has_attribute(PyObject* object, const char* name) {
    PyRef value(PyObject_GetAttrString(object, name));
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// Opens a path given as bytes (os.fsencode); -1 with OSError set on failure.
int open_path(PyObject* path) {
    const char* name = PyBytes_AsString(path);
    if (name == nullptr) return -1;
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = open(name, O_RDONLY | O_CLOEXEC);
    Py_END_ALLOW_THREADS
    if (fd < 0) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return fd;
}

// ---------------------------------------------------------------- Reader

struct ReaderState {
    std::unique_ptr<FeedReader> reader;
    std::shared_ptr<const FeedLayout> layout;
    Py_buffer view{};
    bool has_view = false;
    int fd = -1;
    PyRef path;
    PyRef file;
    bool has_readinto = false;
    bool busy = false;
};

struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

ReaderState& reader_state(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->state; }

// Reader(layout, threads, chunk_size, crlf, skip_blank, collect, max_errors,
//        range_start, range_end, first_line_number)
PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject*) {
    PyObject* layout;
    unsigned int threads;
    unsigned long long chunk_size, max_errors, range_start, range_end, first_line;
    int crlf, skip_blank, collect;
    if (!PyArg_ParseTuple(args, "O!IKpppKKKK", reinterpret_cast<PyTypeObject*>(layout_type), &layout, &threads,
                          &chunk_size, &crlf, &skip_blank, &collect, &max_errors, &range_start, &range_end, &first_line))
        return nullptr;
    return guarded([&]() -> PyObject* {
        ReadOptions options;
        options.threads = threads == 0 ? 1 : threads;
        options.chunk_size = static_cast<size_t>(chunk_size);
        options.crlf = crlf != 0;
        options.skip_blank = skip_blank != 0;
        options.errors = collect ? ErrorPolicy::collect : ErrorPolicy::raise;
        options.max_errors = max_errors;
        options.range_start = range_start;
        options.range_end = range_end;
        options.first_line_number = first_line;
        auto state = std::make_unique<ReaderState>();
        state->layout = layout_of(layout);
        state->reader = std::make_unique<FeedReader>(state->layout, options);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<ReaderObject*>(self)->state = state.release();
        return self;
    });
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state != nullptr) {
        // Workers are joined before the bytes they may still read go away.
        Py_BEGIN_ALLOW_THREADS
        state->reader.reset();
        Py_END_ALLOW_THREADS
        if (state->has_view) PyBuffer_Release(&state->view);
        if (state->fd >= 0) close(state->fd);
        delete state;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

bool source_unset(ReaderState& state) {
    if (state.has_view || state.fd >= 0 || state.file) {
        PyErr_SetString(PyExc_RuntimeError, "the reader already has a source");
        return false;
    }
    return true;
}

PyObject* reader_use_memory(PyObject* self, PyObject* source) {
    ReaderState& state = reader_state(self);
    if (!source_unset(state)) return nullptr;
    if (PyObject_GetBuffer(source, &state.view, PyBUF_SIMPLE) < 0) return nullptr;
    state.has_view = true;
    state.reader->use_memory(static_cast<const char*>(state.view.buf), static_cast<size_t>(state.view.len));
    Py_RETURN_NONE;
}

PyObject* reader_use_path(PyObject* self, PyObject* path) {
    ReaderState& state = reader_state(self);
    if (!source_unset(state)) return nullptr;
    const int fd = open_path(path);
    if (fd < 0) return nullptr;
    state.fd = fd;
    state.path = PyRef::borrowed(path);
    state.reader->use_file(fd);
    Py_RETURN_NONE;
}

// use_file(file, base_offset): the file's next byte is the source's byte
// base_offset.
PyObject* reader_use_file(PyObject* self, PyObject* args) {
    PyObject* file;
    unsigned long long base_offset;
    if (!PyArg_ParseTuple(args, "OK", &file, &base_offset)) return nullptr;
    ReaderState& state = reader_state(self);
    if (!source_unset(state)) return nullptr;
    const int has = has_attribute(file, "readinto");
    if (has < 0) return nullptr;
    state.has_readinto = has == 1;
    state.file = PyRef::borrowed(file);
    state.reader->use_pushed_input(base_offset);
    Py_RETURN_NONE;
}

PyObject* error_tuple(const LineError& error) {
    PyRef record(error.has_record ? text_object(error.record) : Py_NewRef(Py_None));
    PyRef field(error.field != 0 ? PyLong_FromUnsignedLong(error.field) : Py_NewRef(Py_None));
    PyRef field_name(error.field != 0 ? text_object(error.field_name) : Py_NewRef(Py_None));
    PyRef line(PyLong_FromUnsignedLongLong(error.line));
    PyRef offset(PyLong_FromUnsignedLongLong(error.offset));
    PyRef message(text_object(error.message));
    PyRef text(text_object(error.text));
    if (!record || !field || !field_name || !line || !offset || !message || !text) return nullptr;
    return PyTuple_Pack(7, line.get(), offset.get(), record.get(), field.get(), field_name.get(), message.get(),
                        text.get());
}

// next() -> None at the end, or (batches, errors, lines, skipped_blank, stopped).
PyObject* reader_next(PyObject* self, PyObject*) {
    ReaderState& state = reader_state(self);
    if (state.busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is already in use by another thread");
        return nullptr;
    }
    state.busy = true;
    struct Idle {
        ReaderState& state;
        ~Idle() { state.busy = false; }
    } idle{state};

    return guarded([&]() -> PyObject* {
        if (state.file) {
            while (state.reader->wants_input()) {
                const std::span<char> space = state.reader->input_space();
                const Py_ssize_t count = read_from_file(state.file.get(), state.has_readinto, space);
                if (count < 0) return nullptr;
                state.reader->commit_input(static_cast<size_t>(count));
            }
        }
        std::optional<Delivery> delivery;
        std::exception_ptr failure;
        Py_BEGIN_ALLOW_THREADS
        try {
            delivery = state.reader->next();
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const InputError& error) {
                errno = error.error_number;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, state.path.get());
                return nullptr;
            }
        }
        if (!delivery) Py_RETURN_NONE;

        PyRef batches(PyList_New(static_cast<Py_ssize_t>(delivery->batches.size())));
        if (!batches) return nullptr;
        for (size_t i = 0; i < delivery->batches.size(); ++i) {
            const BatchView& view = delivery->batches[i];
            PyObject* batch = new_batch(kind_shape(state.layout, view.batch->kind), view);
            if (batch == nullptr) return nullptr;
            PyList_SET_ITEM(batches.get(), static_cast<Py_ssize_t>(i), batch);
        }
        PyRef errors(PyList_New(static_cast<Py_ssize_t>(delivery->errors.size())));
        if (!errors) return nullptr;
        for (size_t i = 0; i < delivery->errors.size(); ++i) {
            PyObject* error = error_tuple(delivery->errors[i]);
            if (error == nullptr) return nullptr;
            PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), error);
        }
        return Py_BuildValue("(OOKKO)", batches.get(), errors.get(), static_cast<unsigned long long>(delivery->lines),
                             static_cast<unsigned long long>(delivery->skipped_blank),
                             delivery->stopped ? Py_True : Py_False);
    });
}

PyMethodDef reader_methods[] = {
    {"use_memory", reader_use_memory, METH_O, nullptr},
    {"use_path", reader_use_path, METH_O, nullptr},
    {"use_file", reader_use_file, METH_VARARGS, nullptr},
    {"next", reader_next, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {"kelvane_feed._native.Reader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, reader_slots};

// ---------------------------------------------------------------- functions

// count_lines(kind, source, start, end): kind is "memory" (a buffer), "path"
// (bytes) or "file" (a binary file object whose next byte is byte 0).
PyObject* count_lines(PyObject*, PyObject* args) {
    const char* kind;
    PyObject* source;
    unsigned long long start, end;
    if (!PyArg_ParseTuple(args, "sOKK", &kind, &source, &start, &end)) return nullptr;
    return guarded([&]() -> PyObject* {
        LineCounter counter(start, end);
        const std::string_view which(kind);
        if (which == "memory") {
            Py_buffer view;
            if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return nullptr;
            Py_BEGIN_ALLOW_THREADS
            counter.feed(static_cast<const char*>(view.buf), static_cast<size_t>(view.len), 0);
            Py_END_ALLOW_THREADS
            PyBuffer_Release(&view);
            return PyLong_FromUnsignedLongLong(counter.finish());
        }
        std::unique_ptr<char[]> block(new char[size_t{1} << 20]);
        const std::span<char> space(block.get(), size_t{1} << 20);
        uint64_t offset = 0;
        if (which == "path") {
            const int fd = open_path(source);
            if (fd < 0) return nullptr;
            // Only the byte before the range tells whether a line begins at
            // its start: nothing earlier is read.
            offset = start == 0 ? 0 : start - 1;
            int error = 0;
            Py_BEGIN_ALLOW_THREADS
            while (offset < end) {
                const ssize_t count = pread(fd, space.data(), space.size(), static_cast<off_t>(offset));
                if (count < 0) {
                    if (errno == EINTR) continue;
                    error = errno;
                    break;
                }
                if (count == 0) break;
                counter.feed(space.data(), static_cast<size_t>(count), offset);
                offset += static_cast<uint64_t>(count);
            }
            close(fd);
            Py_END_ALLOW_THREADS
            if (error != 0) {
                errno = error;
                return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source);
            }
            return PyLong_FromUnsignedLongLong(counter.finish());
        }
        const int has = has_attribute(source, "readinto");
        if (has < 0) return nullptr;
        while (offset < end) {
            const Py_ssize_t count = read_from_file(source, has == 1, space);
            if (count < 0) return nullptr;
            if (count == 0) break;
            counter.feed(space.data(), static_cast<size_t>(count), offset);
            offset += static_cast<uint64_t>(count);
        }
        return PyLong_FromUnsignedLongLong(counter.finish());
    });
}

PyObject* error_schema_capsule(PyObject*, PyObject*) {
    return guarded([] { return schema_capsule(error_shape()); });
}

// error_stream_capsule(errors): errors are (line, offset, record, field,
// field_name, message, text) tuples.
PyObject* error_stream_capsule(PyObject*, PyObject* errors_object) {
    PyRef sequence(PySequence_Fast(errors_object, "errors must be a sequence"));
    if (!sequence) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<LineError> errors;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
        errors.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
            unsigned long long line, offset;
            PyObject *record, *field, *field_name, *message, *text;
            if (!PyArg_ParseTuple(item, "KKOOOUU", &line, &offset, &record, &field, &field_name, &message, &text))
                return nullptr;
            LineError error;
            error.line = line;
            error.offset = offset;
            std::string_view view;
            if (record != Py_None) {
                if (!PyUnicode_Check(record) || !utf8_argument(record, view)) {
                    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "record must be a str or None");
                    return nullptr;
                }
                error.has_record = true;
                error.record = view;
            }
            if (field != Py_None) {
                const unsigned long position = PyLong_AsUnsignedLong(field);
                if (PyErr_Occurred()) return nullptr;
                error.field = static_cast<uint32_t>(position);
                if (field_name != Py_None) {
                    if (!PyUnicode_Check(field_name) || !utf8_argument(field_name, view)) {
                        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "field_name must be a str or None");
                        return nullptr;
                    }
                    error.field_name = view;
                }
            }
            if (!utf8_argument(message, view)) return nullptr;
            error.message = view;
            if (!utf8_argument(text, view)) return nullptr;
            error.text = view;
            errors.push_back(std::move(error));
        }
        std::vector<BatchView> batches;
        if (!errors.empty()) batches.push_back(BatchView{error_batch(errors), static_cast<int64_t>(errors.size())});
        return stream_capsule(error_shape(), std::move(batches));
    });
}

PyMethodDef module_functions[] = {
    {"count_lines", count_lines, METH_VARARGS, nullptr},
    {"error_schema_capsule", error_schema_capsule, METH_NOARGS, nullptr},
    {"error_stream_capsule", error_stream_capsule, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kelvane_feed._native", "The feed reader's native layer.", 0, module_functions,
    nullptr, nullptr, nullptr, nullptr,
};

int add_type(PyObject* module, PyObject*& slot, PyType_Spec* spec, const char* name) {
    if (slot == nullptr) {
        slot = PyType_FromSpec(spec);
        if (slot == nullptr) return -1;
    }
    return PyModule_AddObjectRef(module, name, slot);
}

PyObject* init_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (add_type(module.get(), schema_type, &schema_spec, "Schema") < 0 ||
        add_type(module.get(), layout_type, &layout_spec, "Layout") < 0 ||
        add_type(module.get(), batch_type, &batch_spec, "Batch") < 0 ||
        add_type(module.get(), reader_type, &reader_spec, "Reader") < 0)
        return nullptr;
    return module.release();
}

}  // namespace
}  // namespace kelvane::feed

PyMODINIT_FUNC PyInit__native(void) { return kelvane::feed::init_module(); }
