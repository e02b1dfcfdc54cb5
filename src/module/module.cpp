// Placeholder entry point; the binding lands next.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef kelvane_module = {PyModuleDef_HEAD_INIT, "kelvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_kelvane(void) { return PyModule_Create(&kelvane_module); }
