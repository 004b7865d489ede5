// index_annotations, prepare_bbox_results and plain_box_results: the
// per-annotation loops a front end runs after loading, done natively on the
// caller's own objects.
#include "binding.hpp"

#include <vector>

#include "zerlin/hashmap.hpp"

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
    PyObject* score;
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
        x.score = PyUnicode_InternFromString("score");
        x.two = PyLong_FromLong(2);
        x.three = PyLong_FromLong(3);
        x.zero = PyLong_FromLong(0);
        return x;
    }();
    if (!k.id || !k.image_id || !k.category_id || !k.bbox || !k.area || !k.iscrowd || !k.score || !k.two || !k.three ||
        !k.zero) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        throw_python_error_already_set();
    }
    return &k;
}

// The loop bound: items appended during the loop are not visited, and a list
// shortened during the loop ends it early.
inline bool still_in(PyObject* list, Py_ssize_t i, Py_ssize_t start_len) {
    return i < start_len && i < PyList_GET_SIZE(list);
}

// Appends `value` to the list stored under `key` in `index`, creating it.
void append_to_slot(PyObject* index, PyObject* key, PyObject* value) {
    PyObject* slot;
    if (check_status(PyDict_GetItemRef(index, key, &slot)) == 0) {
        Ref list(check(PyList_New(0)));
        check_status(PyList_Append(list.get(), value));
        check_status(PyDict_SetItem(index, key, list.get()));
        return;
    }
    Ref hold(slot);
    check_list(slot);
    check_status(PyList_Append(slot, value));
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

    void append(PyObject* key, PyObject* value) {
        if (dict_) return append_to_slot(dict_.get(), key, value);
        int overflow = 0;
        long long k = PyLong_CheckExact(key) ? PyLong_AsLongLongAndOverflow(key, &overflow) : 0;
        if (!PyLong_CheckExact(key) || overflow != 0) {
            spill();
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
    }

    // The grouped lists as a dict (new reference).
    PyObject* finish() {
        if (!dict_) spill();
        return dict_.release();
    }

  private:
    struct Member {
        uint32_t group;
        PyObject* value;  // owned until placed in its list
    };

    // Makes every list at its final size and moves the noted members in, in
    // input order, then hands the lists to a dict in first-occurrence order.
    void spill() {
        lists_.reserve(keys_.size());
        for (Py_ssize_t count : counts_) lists_.push_back(check(PyList_New(count)));
        std::vector<Py_ssize_t> next(keys_.size(), 0);
        for (const Member& m : members_) PyList_SET_ITEM(lists_[m.group], next[m.group]++, m.value);
        members_.clear();
        Ref d(check(PyDict_New()));
        for (std::size_t j = 0; j < keys_.size(); ++j) check_status(PyDict_SetItem(d.get(), keys_[j], lists_[j]));
        dict_ = std::move(d);
    }

    zerlin::HashMap<int64_t, uint32_t> slots_;  // id value -> position in keys_/counts_
    std::vector<PyObject*> keys_, lists_;
    std::vector<Py_ssize_t> counts_;
    std::vector<Member> members_;
    Ref dict_;
};

// Item access (a new reference); exact dicts skip the generic protocol.
inline PyObject* get_item(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) return check(PyObject_GetItem(mapping, key));
    PyObject* v;
    if (check_status(PyDict_GetItemRef(mapping, key, &v)) == 1) return v;
    const char* name = PyUnicode_AsUTF8(key);  // the keys are str
    if (!name) throw_python_error_already_set();
    throw zerlin::Error(zerlin::ErrorKind::Key, name);
}

}  // namespace

PyObject* fn_index_annotations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"index_annotations()", {"annotations", "with_categories"}, 2};
        PyObject* a[2];
        parse_args(sig, args, nargs, kw, a);
        bool with_categories;
        with_note("annotations", [&] { check_list(a[0]); });
        arg(a[1], "with_categories", to_bool, &with_categories);
        const Keys* k = keys();
        PyObject* anns = a[0];
        const Py_ssize_t n = PyList_GET_SIZE(anns);
        Ref by_id(check(new_dict(std::size_t(n))));
        Grouper by_image, by_category;
        for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
            zerlin::check_cancelled();
            Ref ann(check(PyList_GetItemRef(anns, i)));
            Ref image_id(get_item(ann.get(), k->image_id));
            by_image.append(image_id.get(), ann.get());
            Ref id(get_item(ann.get(), k->id));
            check_status(PyDict_SetItem(by_id.get(), id.get(), ann.get()));
            if (with_categories) {
                Ref cat(get_item(ann.get(), k->category_id));
                by_category.append(cat.get(), image_id.get());
            }
        }
        Ref images(by_image.finish());
        Ref categories(by_category.finish());
        return check(PyTuple_Pack(3, by_id.get(), images.get(), categories.get()));
    });
}

PyObject* fn_prepare_bbox_results(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"prepare_bbox_results()", {"annotations"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        with_note("annotations", [&] { check_list(a[0]); });
        prepare_bbox_results(a[0]);
        return Py_NewRef(Py_None);
    });
}

void prepare_bbox_results(PyObject* anns) {
    const Keys* k = keys();
    const Py_ssize_t n = PyList_GET_SIZE(anns);
    for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
        Ref ann(check(PyList_GetItemRef(anns, i)));
        Ref box(get_item(ann.get(), k->bbox));
        Ref w(check(PyObject_GetItem(box.get(), k->two)));
        Ref h(check(PyObject_GetItem(box.get(), k->three)));
        Ref area(check(PyNumber_Multiply(w.get(), h.get())));
        check_status(PyObject_SetItem(ann.get(), k->area, area.get()));
        Ref id(check(PyLong_FromSsize_t(i + 1)));
        check_status(PyObject_SetItem(ann.get(), k->id, id.get()));
        check_status(PyObject_SetItem(ann.get(), k->iscrowd, k->zero));
    }
}

namespace {

enum class Scan { Plain, NotPlain, Unsure };

// One walk over a result's fields, for the common dict whose keys are
// interned strings (Python source makes them so): an interned string equals
// one of the names only by being it. Any other key leaves it Unsure, and
// lookups by name decide. `image` is set to the image id when seen.
Scan scan_fields(PyObject* ann, const Keys* k, PyObject** image) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int required = 0;
    while (PyDict_Next(ann, &pos, &key, &value)) {
        if (key == k->score || key == k->category_id || key == k->bbox) {
            if (value == Py_None) return Scan::NotPlain;
            ++required;
        } else if (key == k->image_id) {
            *image = value;
        } else if (key == k->area || key == k->id || key == k->iscrowd) {
            return Scan::NotPlain;
        } else if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) {
            return Scan::Unsure;
        }
    }
    return required == 3 && *image ? Scan::Plain : Scan::Unsure;
}

// The same judgement by lookups by name, for a dict scan_fields was unsure
// of: whether the result is plain, with `image` set to its image id if so.
// Values are borrowed only to be compared at once.
bool plain_by_lookup(PyObject* ann, const Keys* k, PyObject** image) {
    for (PyObject* key : {k->score, k->category_id, k->bbox}) {
        PyObject* v = PyDict_GetItemWithError(ann, key);
        if (!v && PyErr_Occurred()) throw_python_error_already_set();
        if (!v || v == Py_None) return false;
    }
    for (PyObject* key : {k->area, k->id, k->iscrowd})
        if (check_status(PyDict_Contains(ann, key))) return false;
    *image = PyDict_GetItemWithError(ann, k->image_id);
    if (!*image && PyErr_Occurred()) throw_python_error_already_set();
    return *image != nullptr;
}

}  // namespace

PyObject* fn_plain_box_results(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"plain_box_results()", {"annotations", "images"}, 2};
        PyObject* a[2];
        parse_args(sig, args, nargs, kw, a);
        with_note("annotations", [&] { check_list(a[0]); });
        PyObject* anns = a[0];
        if (!PyDict_Check(a[1])) return Py_NewRef(Py_False);
        const Keys* k = keys();
        const Py_ssize_t n = PyList_GET_SIZE(anns);
        for (Py_ssize_t i = 0; still_in(anns, i, n); ++i) {
            zerlin::check_cancelled();
            Ref ann(check(PyList_GetItemRef(anns, i)));
            if (!PyDict_CheckExact(ann.get())) return Py_NewRef(Py_False);
            PyObject* image = nullptr;
            const Scan seen = scan_fields(ann.get(), k, &image);
            if (seen == Scan::NotPlain) return Py_NewRef(Py_False);
            if (seen == Scan::Unsure && !plain_by_lookup(ann.get(), k, &image)) return Py_NewRef(Py_False);
            Ref held = Ref::borrow(image);  // hashing it may run code that changes the result
            if (check_status(PyDict_Contains(a[1], held.get())) == 0) return Py_NewRef(Py_False);
        }
        return Py_NewRef(Py_True);
    });
}

}  // namespace zpy
