// Compact column handles over loaded results or annotations.
#include "binding.hpp"

namespace zpy {

namespace {

struct CompactObject {
    PyObject_HEAD
};

PyObject* pending_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "CompactBbox is not available in this build yet");
    return nullptr;
}

PyObject* pending_property(PyObject*, void*) {
    PyErr_SetString(PyExc_NotImplementedError, "CompactBbox is not available in this build yet");
    return nullptr;
}

extern "C" void compact_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

#define ZL_METHOD(name, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(pending_method)), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef g_methods[] = {
    ZL_METHOD("annotations", "annotations($self)\n--\n\n"),
    ZL_METHOD("array_rows", "array_rows($self)\n--\n\n"),
    ZL_METHOD("valid_images", "valid_images($self, images)\n--\n\n"),
    ZL_METHOD("lvis_annotations", "lvis_annotations($self, image_ids, categories, verified, max_det)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZL_METHOD

PyGetSetDef g_getset[] = {
    {"from_array", pending_property, nullptr, nullptr, nullptr},
    {"annotation_count", pending_property, nullptr, nullptr, nullptr},
    {"snapshot_bytes", pending_property, nullptr, nullptr, nullptr},
    {"column_bytes", pending_property, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* fn_load_compact_bbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"load_compact_bbox()", {"path", "results"}, 1};
    return not_yet(sig, args, nargs, kw);
}

PyObject* fn_load_compact_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"load_compact_array()", {"data"}, 1};
    return not_yet(sig, args, nargs, kw);
}

PyType_Spec* compact_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(compact_dealloc)},
        {Py_tp_methods, g_methods},
        {Py_tp_getset, g_getset},
        {Py_tp_doc, const_cast<char*>("Compact handle over loaded results or annotations.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"vantorel._zerlin.CompactBbox", sizeof(CompactObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return &spec;
}

}  // namespace zpy
