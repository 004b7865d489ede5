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
        for (PyObject* o : lists_) Py_DECREF(o);
        for (auto& m : members_) Py_DECREF(m.value);  // not handed to a list yet
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
        if (added) {
            Py_INCREF(key);
            keys_.push_back(key);
            counts_.push_back(0);
        }
        // Members are only noted here; the lists are made once, at their
        // final size, so no list grows one append at a time.
        ++counts_[*slot];
        Py_INCREF(value);
        members_.push_back(Member{*slot, value});
        return true;
    }

    // The grouped lists as a dict (new reference).
    PyObject* finish() {
        if (!dict_ && !spill()) return nullptr;
        return dict_.release();
    }

private:
    struct Member {
        uint32_t group;
        PyObject* value;  // owned until placed in its list
    };

    // Makes every list at its final size and moves the noted members in, in
    // input order, then hands the lists to a dict in first-occurrence order.
    bool spill() {
        lists_.reserve(keys_.size());
        for (Py_ssize_t count : counts_) {
            PyObject* list = PyList_New(count);
            if (!list) return false;
            lists_.push_back(list);
        }
        std::vector<Py_ssize_t> next(keys_.size(), 0);
        for (const Member& m : members_) PyList_SET_ITEM(lists_[m.group], next[m.group]++, m.value);
        members_.clear();
        Ref d(PyDict_New());
        if (!d) return false;
        for (std::size_t j = 0; j < keys_.size(); ++j)
            if (PyDict_SetItem(d.get(), keys_[j], lists_[j]) < 0) return false;
        dict_ = std::move(d);
        return true;
    }

    zerlin::HashMap<int64_t, uint32_t> slots_;  // id value -> position in keys_/counts_
    std::vector<PyObject*> keys_, lists_;
    std::vector<Py_ssize_t> counts_;
    std::vector<Member> members_;
    Ref dict_;
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
