// Capsules around exported Arrow structs. A consumer takes a struct by moving
// it out and marking the original released (release == NULL); whatever is
// still unreleased when the capsule dies is released here.
#include "capsules.h"

namespace kelvane::feed {
namespace {

template <class Struct>
void release_struct(PyObject* capsule, const char* name) {
    auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (exported == nullptr) {
        PyErr_Clear();
        return;
    }
    if (exported->release != nullptr) exported->release(exported);
    delete exported;
}

void schema_destructor(PyObject* capsule) { release_struct<ArrowSchema>(capsule, "arrow_schema"); }
void array_destructor(PyObject* capsule) { release_struct<ArrowArray>(capsule, "arrow_array"); }
void stream_destructor(PyObject* capsule) { release_struct<ArrowArrayStream>(capsule, "arrow_array_stream"); }

template <class Struct, class Fill>
PyObject* make_capsule(const char* name, PyCapsule_Destructor destructor, Fill&& fill) {
    auto* exported = new Struct();
    exported->release = nullptr;
    try {
        fill(exported);
    } catch (...) {
        delete exported;
        throw;
    }
    PyObject* capsule = PyCapsule_New(exported, name, destructor);
    if (capsule == nullptr) {
        exported->release(exported);
        delete exported;
    }
    return capsule;
}

}  // namespace

PyObject* schema_capsule(const TableShape& shape) {
    return make_capsule<ArrowSchema>("arrow_schema", schema_destructor,
                                     [&](ArrowSchema* out) { export_schema(shape, out); });
}

PyObject* array_capsule(const TableShape& shape, const BatchView& view) {
    return make_capsule<ArrowArray>("arrow_array", array_destructor,
                                    [&](ArrowArray* out) { export_batch(shape, view, out); });
}

PyObject* stream_capsule(const TableShape& shape, std::vector<BatchView> batches) {
    return make_capsule<ArrowArrayStream>("arrow_array_stream", stream_destructor, [&](ArrowArrayStream* out) {
        export_stream(shape, std::move(batches), out);
    });
}

}  // namespace kelvane::feed
