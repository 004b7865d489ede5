// Newer CPython C API functions, provided for older interpreters (3.11+).
// The module is written against the 3.14 API; each shim below reproduces the
// documented behaviour of the function it stands in for.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000  // 3.13
// Returns 1 and a new reference when found, 0 and NULL when absent, -1 on error.
static inline int PyDict_GetItemRef(PyObject* p, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(p, key);
    if (item) {
        Py_INCREF(item);
        *result = item;
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

static inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}

static inline PyObject* PyImport_ImportModuleAttrString(const char* mod, const char* attr) {
    PyObject* m = PyImport_ImportModule(mod);
    if (!m) return nullptr;
    PyObject* r = PyObject_GetAttrString(m, attr);
    Py_DECREF(m);
    return r;
}
#endif

#if PY_VERSION_HEX < 0x030E0000  // 3.14
// Returns 1 with a new reference in *item, 0 at the end, -1 on error.
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    if (!PyIter_Check(iter)) {
        *item = nullptr;
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%s'", Py_TYPE(iter)->tp_name);
        return -1;
    }
    *item = PyIter_Next(iter);
    if (*item) return 1;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

#if PY_VERSION_HEX < 0x030C0000  // 3.12
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject* type = (PyObject*)Py_TYPE(exc);
    Py_INCREF(type);
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_Restore(type, exc, tb);
}
#endif
