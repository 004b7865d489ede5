// index_annotations and prepare_bbox_results: the two per-annotation loops a
// front end runs after loading, done natively on the caller's own objects.
#include "binding.hpp"

namespace zpy {

namespace {

// Interned once per process: lookups then hit the string's cached hash.
struct Keys {
    PyObject* id;
    PyObject* image_id;
    PyObject* category_id;
    PyObject* bbox;
    PyObject* area;
    PyObject* iscrowd;
    PyObject* two;
    PyObject* three;
    PyObject* zero;
};

const Keys* keys() {
    static Keys k = [] {
        Keys x;
        x.id = PyUnicode_InternFromString("id");
        x.image_id = PyUnicode_InternFromString("image_id");
        x.category_id = PyUnicode_InternFromString("category_id");
        x.bbox = PyUnicode_InternFromString("bbox");
        x.area = PyUnicode_InternFromString("area");
        x.iscrowd = PyUnicode_InternFromString("iscrowd");
        x.two = PyLong_FromLong(2);
        x.three = PyLong_FromLong(3);
        x.zero = PyLong_FromLong(0);
        return x;
    }();
    if (!k.id || !k.image_id || !k.category_id || !k.bbox || !k.area || !k.iscrowd || !k.two || !k.three || !k.zero) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    return &k;
}

// The loop bound: items appended during the loop are not visited, and a list
// shortened during the loop ends it early.
inline bool still_in(PyObject* list, Py_ssize_t i, Py_ssize_t start_len) {
    return i < start_len && i < PyList_GET_SIZE(list);
}

// Appends `value` to the list stored under `key` in `index`, creating it.
bool append_to_slot(PyObject* index, PyObject* key, PyObject* value) {
    PyObject* slot;
    int found = PyDict_GetItemRef(index, key, &slot);
    if (found < 0) return false;
    if (found == 0) {
        Ref list(PyList_New(0));
        if (!list || PyList_Append(list.get(), value) < 0) return false;
        return PyDict_SetItem(index, key, list.get()) == 0;
    }
    Ref hold(slot);
    if (!PyList_Check(slot)) {
        set_not_instance(slot, "list");
        return false;
    }
    return PyList_Append(slot, value) == 0;
}

}  // namespace

PyObject* fn_index_annotations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"index_annotations()", {"annotations", "with_categories"}, 2};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    bool with_categories;
    if (!check_list(a[0])) {
        add_arg_note("annotations");
        return nullptr;
    }
    if (!arg(a[1], "with_categories", to_bool, &with_categories)) return nullptr;
    const Keys* k = keys();
    if (!k) return nullptr;
    PyObject* anns = a[0];
    Ref by_id(PyDict_New()), by_image(PyDict_New()), by_category(PyDict_New());
    if (!by_id || !by_image || !by_category) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(anns);
    for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
        Ref ann(PyList_GetItemRef(anns, i));
        if (!ann) return nullptr;
        Ref image_id(PyObject_GetItem(ann.get(), k->image_id));
        if (!image_id || !append_to_slot(by_image.get(), image_id.get(), ann.get())) return nullptr;
        Ref id(PyObject_GetItem(ann.get(), k->id));
        if (!id || PyDict_SetItem(by_id.get(), id.get(), ann.get()) < 0) return nullptr;
        if (with_categories) {
            Ref cat(PyObject_GetItem(ann.get(), k->category_id));
            if (!cat || !append_to_slot(by_category.get(), cat.get(), image_id.get())) return nullptr;
        }
    }
    return PyTuple_Pack(3, by_id.get(), by_image.get(), by_category.get());
}

PyObject* fn_prepare_bbox_results(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"prepare_bbox_results()", {"annotations"}, 1};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    if (!check_list(a[0])) {
        add_arg_note("annotations");
        return nullptr;
    }
    const Keys* k = keys();
    if (!k) return nullptr;
    PyObject* anns = a[0];
    const Py_ssize_t n = PyList_GET_SIZE(anns);
    for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
        Ref ann(PyList_GetItemRef(anns, i));
        if (!ann) return nullptr;
        Ref box(PyObject_GetItem(ann.get(), k->bbox));
        if (!box) return nullptr;
        Ref w(PyObject_GetItem(box.get(), k->two));
        if (!w) return nullptr;
        Ref h(PyObject_GetItem(box.get(), k->three));
        if (!h) return nullptr;
        Ref area(PyNumber_Multiply(w.get(), h.get()));
        if (!area || PyObject_SetItem(ann.get(), k->area, area.get()) < 0) return nullptr;
        Ref id(PyLong_FromSsize_t(i + 1));
        if (!id || PyObject_SetItem(ann.get(), k->id, id.get()) < 0) return nullptr;
        if (PyObject_SetItem(ann.get(), k->iscrowd, k->zero) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace zpy
