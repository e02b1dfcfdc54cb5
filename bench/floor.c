/* The floor that parse_line is measured against (bench/bench_floor.py builds
 * this file into a temporary directory; it is no part of kelvane): split the
 * line at its delimiter and build the very same Python objects through the C
 * API in a C loop, with every value already known. A quoted piece is taken
 * as the span between its quotes, with no copy. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <string.h>

enum {
    TEXT = 's',     /* str of the piece */
    INTEGER = 'i',  /* PyLong_FromLongLong */
    FLOAT = 'f',    /* PyFloat_FromDouble */
    DECIMAL = 'd',  /* decimal.Decimal(str) by vectorcall */
    BOOLEAN = 'b',
    NONE = 'n',
    DATE = 'D',
    TIME = 't',
    DATETIME = 'T',       /* its zone built through the C API, as a conversion does */
    DATETIME_ZONED = 'Z', /* its zone object given, reused */
};

typedef struct {
    int code;
    long long integer;
    double real;
    int parts[8]; /* year..microsecond and the offset in seconds, or hour..microsecond for TIME */
    PyObject *object; /* DECIMAL: the text as bytes; DATETIME_ZONED: the tzinfo */
} Step;

typedef struct {
    PyObject_HEAD
    char delimiter;
    char quote; /* 0: none */
    Py_ssize_t count;
    Step *steps;
} FloorObject;

static PyObject *decimal_class;

static void floor_dealloc(PyObject *self) {
    FloorObject *floor = (FloorObject *)self;
    for (Py_ssize_t i = 0; i < floor->count; ++i) Py_XDECREF(floor->steps[i].object);
    PyMem_Free(floor->steps);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/* Floor(delimiter, quote, steps): steps is a sequence of (code, value). */
static PyObject *floor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    const char *delimiter, *quote;
    PyObject *plan;
    if (!PyArg_ParseTuple(args, "ssO", &delimiter, &quote, &plan)) return NULL;
    PyObject *sequence = PySequence_Fast(plan, "steps must be a sequence");
    if (sequence == NULL) return NULL;
    FloorObject *self = (FloorObject *)type->tp_alloc(type, 0);
    if (self == NULL) goto fail;
    self->delimiter = delimiter[0];
    self->quote = quote[0];
    self->count = PySequence_Fast_GET_SIZE(sequence);
    self->steps = PyMem_Calloc((size_t)self->count + 1, sizeof(Step));
    if (self->steps == NULL) goto fail;
    for (Py_ssize_t i = 0; i < self->count; ++i) {
        Step *step = &self->steps[i];
        int code;
        PyObject *value;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(sequence, i), "CO", &code, &value)) goto fail;
        step->code = code;
        switch (code) {
            case INTEGER: step->integer = PyLong_AsLongLong(value); break;
            case FLOAT: step->real = PyFloat_AsDouble(value); break;
            case BOOLEAN: step->integer = PyObject_IsTrue(value); break;
            case DECIMAL: step->object = Py_NewRef(value); break;
            case DATE:
                if (!PyArg_ParseTuple(value, "iii", &step->parts[0], &step->parts[1], &step->parts[2])) goto fail;
                break;
            case TIME:
                if (!PyArg_ParseTuple(value, "iiii", &step->parts[0], &step->parts[1], &step->parts[2],
                                      &step->parts[3]))
                    goto fail;
                break;
            case DATETIME:
                if (!PyArg_ParseTuple(value, "iiiiiiii", &step->parts[0], &step->parts[1], &step->parts[2],
                                      &step->parts[3], &step->parts[4], &step->parts[5], &step->parts[6],
                                      &step->parts[7]))
                    goto fail;
                break;
            case DATETIME_ZONED:
                if (!PyArg_ParseTuple(value, "iiiiiiiO", &step->parts[0], &step->parts[1], &step->parts[2],
                                      &step->parts[3], &step->parts[4], &step->parts[5], &step->parts[6],
                                      &step->object))
                    goto fail;
                Py_INCREF(step->object);
                break;
            default: break;
        }
        if (PyErr_Occurred()) goto fail;
    }
    Py_DECREF(sequence);
    return (PyObject *)self;
fail:
    Py_DECREF(sequence);
    Py_XDECREF(self);
    return NULL;
}

static PyObject *make(const Step *step, const char *piece, Py_ssize_t length) {
    switch (step->code) {
        case TEXT: return PyUnicode_FromStringAndSize(piece, length);
        case INTEGER: return PyLong_FromLongLong(step->integer);
        case FLOAT: return PyFloat_FromDouble(step->real);
        case BOOLEAN: return Py_NewRef(step->integer ? Py_True : Py_False);
        case NONE: return Py_NewRef(Py_None);
        case DECIMAL: {
            PyObject *text = PyUnicode_FromStringAndSize(PyBytes_AS_STRING(step->object),
                                                         PyBytes_GET_SIZE(step->object));
            if (text == NULL) return NULL;
            PyObject *value = PyObject_Vectorcall(decimal_class, &text, 1, NULL);
            Py_DECREF(text);
            return value;
        }
        case DATE: return PyDate_FromDate(step->parts[0], step->parts[1], step->parts[2]);
        case TIME:
            return PyTime_FromTime(step->parts[0], step->parts[1], step->parts[2], step->parts[3]);
        case DATETIME: {
            /* timedelta, then timezone; a zero offset is timezone.utc. */
            PyObject *zone;
            if (step->parts[7] == 0) {
                zone = Py_NewRef(PyDateTimeAPI->TimeZone_UTC);
            } else {
                PyObject *delta = PyDateTimeAPI->Delta_FromDelta(0, step->parts[7], 0, 1, PyDateTimeAPI->DeltaType);
                if (delta == NULL) return NULL;
                zone = PyDateTimeAPI->TimeZone_FromTimeZone(delta, NULL);
                Py_DECREF(delta);
                if (zone == NULL) return NULL;
            }
            PyObject *value = PyDateTimeAPI->DateTime_FromDateAndTime(
                step->parts[0], step->parts[1], step->parts[2], step->parts[3], step->parts[4], step->parts[5],
                step->parts[6], zone, PyDateTimeAPI->DateTimeType);
            Py_DECREF(zone);
            return value;
        }
        case DATETIME_ZONED:
            return PyDateTimeAPI->DateTime_FromDateAndTime(step->parts[0], step->parts[1], step->parts[2],
                                                           step->parts[3], step->parts[4], step->parts[5],
                                                           step->parts[6], step->object,
                                                           PyDateTimeAPI->DateTimeType);
    }
    PyErr_SetString(PyExc_ValueError, "bad step");
    return NULL;
}

static PyObject *floor_parse_line(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    FloorObject *floor = (FloorObject *)self;
    if (nargs != 1 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "parse_line(line)");
        return NULL;
    }
    Py_ssize_t size;
    const char *p = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (p == NULL) return NULL;
    const char *end = p + size;
    while (end > p && end[-1] == '\n') --end;
    PyObject *tuple = PyTuple_New(floor->count + 1);
    if (tuple == NULL) return NULL;
    for (Py_ssize_t i = 0; i <= floor->count; ++i) {
        const char *start = p;
        const char *stop;
        if (floor->quote && p < end && *p == floor->quote) {
            ++start;
            stop = memchr(start, floor->quote, (size_t)(end - start));
            if (stop == NULL) goto bad;
            p = stop + 1;
        } else {
            stop = memchr(p, floor->delimiter, (size_t)(end - p));
            if (stop == NULL) stop = end;
            p = stop;
        }
        if (p < end) ++p; /* the delimiter */
        PyObject *item = i == 0 ? PyUnicode_FromStringAndSize(start, stop - start)
                                : make(&floor->steps[i - 1], start, stop - start);
        if (item == NULL) {
            Py_DECREF(tuple);
            return NULL;
        }
        PyTuple_SET_ITEM(tuple, i, item);
    }
    return tuple;
bad:
    Py_DECREF(tuple);
    PyErr_SetString(PyExc_ValueError, "unterminated quote");
    return NULL;
}

static PyMethodDef floor_methods[] = {
    {"parse_line", (PyCFunction)(void (*)(void))floor_parse_line, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_new, floor_new},
    {Py_tp_dealloc, floor_dealloc},
    {Py_tp_methods, floor_methods},
    {0, NULL},
};

static PyType_Spec floor_spec = {"floor.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_floor(void) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == NULL) return NULL;
    PyObject *decimal = PyImport_ImportModule("decimal");
    if (decimal == NULL) return NULL;
    decimal_class = PyObject_GetAttrString(decimal, "Decimal");
    Py_DECREF(decimal);
    if (decimal_class == NULL) return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL) return NULL;
    PyObject *type = PyType_FromSpec(&floor_spec);
    if (type == NULL || PyModule_AddObject(module, "Floor", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
