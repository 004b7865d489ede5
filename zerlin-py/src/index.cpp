// index_annotations and prepare_bbox_results: the two per-annotation loops a
// front end runs after loading, done natively on the caller's own objects.
#include "binding.hpp"
#include "zerlin/hashmap.hpp"

#include <vector>

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

// Lists of values grouped under int keys. Image and category ids are almost
// always exact ints with few distinct values, so grouping them in a native
// table avoids hashing and probing Python dicts once per annotation; the dict
// is made once at the end, keys in first-occurrence order, each key being the
// first object seen for it, exactly as repeated setdefault() would leave it.
// Any other key kind hands the grouping over to a real dict (spill), which
// then keeps Python's equality rules (1 == 1.0 == True) for the rest.
class Grouper {
public:
    ~Grouper() {
        for (PyObject* o : keys_) Py_DECREF(o);
        for (PyObject* o : lists_) {
            if (!lists_tracked_) PyObject_GC_Track(o);  // a spilled dict may still hold it
            Py_DECREF(o);
        }
    }

    bool append(PyObject* key, PyObject* value) {
        if (dict_) return append_to_slot(dict_.get(), key, value);
        int overflow = 0;
        long long k = PyLong_CheckExact(key) ? PyLong_AsLongLongAndOverflow(key, &overflow) : 0;
        if (!PyLong_CheckExact(key) || overflow != 0) {
            if (!spill()) return false;
            return append_to_slot(dict_.get(), key, value);
        }
        auto [slot, added] = slots_.find_or_insert(int64_t(k), [&] { return uint32_t(keys_.size()); });
        if (!added) return PyList_Append(lists_[*slot], value) == 0;
        PyObject* list = PyList_New(0);
        if (!list) return false;
        // Untracked while private to us: every collection the interpreter runs
        // meanwhile would otherwise walk every annotation the lists hold.
        PyObject_GC_UnTrack(list);
        Py_INCREF(key);
        keys_.push_back(key);
        lists_.push_back(list);
        return PyList_Append(list, value) == 0;
    }

    // The grouped lists as a dict (new reference).
    PyObject* finish() {
        if (!dict_ && !spill()) return nullptr;
        for (PyObject* list : lists_) PyObject_GC_Track(list);
        lists_tracked_ = true;
        return dict_.release();
    }

private:
    bool spill() {
        Ref d(PyDict_New());
        if (!d) return false;
        for (std::size_t j = 0; j < keys_.size(); ++j)
            if (PyDict_SetItem(d.get(), keys_[j], lists_[j]) < 0) return false;
        dict_ = std::move(d);
        return true;
    }

    zerlin::HashMap<int64_t, uint32_t> slots_;  // id value -> position in keys_/lists_
    std::vector<PyObject*> keys_, lists_;
    Ref dict_;
    bool lists_tracked_ = false;
};

// Item access; exact dicts skip the generic protocol.
inline PyObject* get_item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v;
        int r = PyDict_GetItemRef(mapping, key, &v);
        if (r == 0) PyErr_SetObject(PyExc_KeyError, key);
        return v;
    }
    return PyObject_GetItem(mapping, key);
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
    const Py_ssize_t n = PyList_GET_SIZE(anns);
    Ref by_id(new_dict(std::size_t(n)));
    if (!by_id) return nullptr;
    Grouper by_image, by_category;
    for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
        Ref ann(PyList_GetItemRef(anns, i));
        if (!ann) return nullptr;
        Ref image_id(get_item(ann.get(), k->image_id));
        if (!image_id || !by_image.append(image_id.get(), ann.get())) return nullptr;
        Ref id(get_item(ann.get(), k->id));
        if (!id || PyDict_SetItem(by_id.get(), id.get(), ann.get()) < 0) return nullptr;
        if (with_categories) {
            Ref cat(get_item(ann.get(), k->category_id));
            if (!cat || !by_category.append(cat.get(), image_id.get())) return nullptr;
        }
    }
    Ref images(by_image.finish());
    if (!images) return nullptr;
    Ref categories(by_category.finish());
    if (!categories) return nullptr;
    return PyTuple_Pack(3, by_id.get(), images.get(), categories.get());
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
        Ref box(get_item(ann.get(), k->bbox));
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
