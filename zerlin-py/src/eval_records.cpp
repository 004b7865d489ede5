#include "eval_records.hpp"

#include <algorithm>
#include <cstring>

namespace zpy {

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref v(check(value));
    if (PyDict_SetItemString(dict, key, v.get()) < 0) throw_python_error_already_set();
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    Ref v(check(value));
    if (PyDict_SetItem(dict, key, v.get()) < 0) throw_python_error_already_set();
}

namespace {

template <class T>
PyObject* int_list(std::span<const T> v) {
    Ref list(check(PyList_New(Py_ssize_t(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), check(PyLong_FromLongLong((long long)v[i])));
    return list.release();
}

PyObject* float_list(std::span<const double> v) {
    Ref list(check(PyList_New(Py_ssize_t(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), check(PyFloat_FromDouble(v[i])));
    return list.release();
}

// A (rows, cols) float64 matrix of the given integer values.
template <class T>
PyObject* float_matrix(std::span<const T> v, std::size_t rows, std::size_t cols) {
    std::vector<double> out(v.begin(), v.end());
    return array_from_vector(std::move(out), {npy_intp(rows), npy_intp(cols)}, NPY_FLOAT64);
}

struct RecordKeys {
    Ref image_id, category_id, aRng, maxDet, dtIds, gtIds, dtScores, dtMatches, gtMatches, gtIgnore, dtIgnore;
    RecordKeys() {
        intern_all({&image_id, &category_id, &aRng, &maxDet, &dtIds, &gtIds, &dtScores, &dtMatches, &gtMatches,
                    &gtIgnore, &dtIgnore},
                   {"image_id", "category_id", "aRng", "maxDet", "dtIds", "gtIds", "dtScores", "dtMatches", "gtMatches",
                    "gtIgnore", "dtIgnore"});
    }
};

PyObject* eval_record(const zerlin::EvalImage& e, std::size_t T, const RecordKeys& k) {
    const std::size_t D = e.dt_ids.size(), G = e.gt_ids.size();
    Ref d(check(PyDict_New()));
    set_item(d.get(), k.image_id.get(), PyLong_FromLongLong(e.image_id));
    set_item(d.get(), k.category_id.get(), PyLong_FromLongLong(e.category_id));
    set_item(d.get(), k.aRng.get(), PyLong_FromUnsignedLong(e.area_index));
    set_item(d.get(), k.maxDet.get(), PyLong_FromUnsignedLongLong(e.max_det));
    set_item(d.get(), k.dtIds.get(), int_list(e.dt_ids));
    set_item(d.get(), k.gtIds.get(), int_list(e.gt_ids));
    set_item(d.get(), k.dtScores.get(), float_list(e.dt_scores));
    set_item(d.get(), k.dtMatches.get(), float_matrix(e.dt_matches, T, D));
    set_item(d.get(), k.gtMatches.get(), float_matrix(e.gt_matches, T, G));
    std::vector<double> gt_ig(e.gt_ignore.begin(), e.gt_ignore.end());
    set_item(d.get(), k.gtIgnore.get(), array_from_vector(std::move(gt_ig), {npy_intp(G)}, NPY_FLOAT64));
    set_item(d.get(), k.dtIgnore.get(), float_matrix(e.dt_ignore, T, D));
    return d.release();
}

// The arrays of one call's records, as views into one buffer made for them
// all: a record's four arrays then cost no allocation of their own (the
// per-batch loop makes a million of them over COCO val). Each view is a
// writeable C-contiguous array of the reference's dtype and shape.
class RecordArena {
  public:
    static std::size_t bytes_of(const zerlin::EvalImage& e, std::size_t T) {
        const std::size_t D = e.dt_ids.size(), G = e.gt_ids.size();
        return aligned(8 * T * D) + aligned(8 * T * G) + aligned(8 * G) + aligned(T * D);
    }
    explicit RecordArena(std::size_t total) {
        npy_intp n = npy_intp(std::max<std::size_t>(total, 1));
        base_ = Ref(check(PyArray_SimpleNew(1, &n, NPY_UINT8)));
        next_ = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(base_.get())));
        end_ = next_ + n;
    }
    // A new view of `dims` holding `v` converted to the array's type `Out`.
    template <class Out, class In>
    PyObject* take(std::span<const In> v, std::initializer_list<npy_intp> dims, int typenum) {
        const std::size_t size = aligned(v.size() * sizeof(Out));
        if (std::size_t(end_ - next_) < size)
            throw zerlin::Error(zerlin::ErrorKind::Internal, "evaluation record arrays outgrew their buffer");
        Out* out = reinterpret_cast<Out*>(next_);
        for (std::size_t i = 0; i < v.size(); ++i) out[i] = Out(v[i]);
        // An empty array's strides are all 0, as NumPy gives the reference's
        // (derived from a given buffer they would not be).
        npy_intp zeros[2] = {0, 0};
        PyObject* arr = check(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum), int(dims.size()),
                                                   const_cast<npy_intp*>(dims.begin()), v.empty() ? zeros : nullptr,
                                                   next_, NPY_ARRAY_CARRAY, nullptr));
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), Py_NewRef(base_.get())) < 0) {
            Py_DECREF(arr);
            throw_python_error_already_set();
        }
        next_ += size;
        return arr;
    }

  private:
    static std::size_t aligned(std::size_t n) { return (n + 7) & ~std::size_t(7); }
    Ref base_;
    char* next_ = nullptr;
    char* end_ = nullptr;
};

// A list the collector need not watch: it holds numbers only. A record
// torchvision's loop keeps for every batch would otherwise be walked by every
// later full collection of the process (a million records over COCO val).
PyObject* untracked(PyObject* list) {
    if (list) PyObject_GC_UnTrack(list);
    return list;
}

// A record's dict, copied from a template holding the keys in the
// reference's order: the copy takes the template's compact string-keyed
// table whole (a third smaller than one grown key by key, and no resizing),
// and each value then replaces its placeholder.
class RecordDicts {
  public:
    explicit RecordDicts(const RecordKeys& k) : template_(check(PyDict_New())) {
        for (const Ref* key : {&k.image_id, &k.category_id, &k.aRng, &k.maxDet, &k.dtIds, &k.gtIds, &k.dtMatches,
                               &k.gtMatches, &k.dtScores, &k.gtIgnore, &k.dtIgnore})
            if (PyDict_SetItem(template_.get(), key->get(), Py_None) < 0) throw_python_error_already_set();
    }
    PyObject* make() const { return check(PyDict_Copy(template_.get())); }

  private:
    Ref template_;
};

// The number objects of one (image, category)'s detections: its records of
// every area range list the same detections, so their ids and scores are
// made once and each record's own lists hold them (numbers are immutable;
// the lists stay the records' own).
template <class T>
class SharedNumbers {
  public:
    // A new list of the objects of `values`, those of the last call when the
    // values agree bit for bit (0.0 and -0.0 stay apart); `make` builds one.
    template <class Make>
    PyObject* list(std::span<const T> values, Make make) {
        if (values.size() != objects_.size() ||
            (!values.empty() && std::memcmp(values.data(), last_.data(), values.size() * sizeof(T)) != 0)) {
            forget();
            last_.assign(values.begin(), values.end());
            for (const T& v : values) objects_.push_back(check(make(v)));
        }
        Ref out(check(PyList_New(Py_ssize_t(values.size()))));
        for (std::size_t i = 0; i < objects_.size(); ++i)
            PyList_SET_ITEM(out.get(), Py_ssize_t(i), Py_NewRef(objects_[i]));
        return untracked(out.release());
    }
    SharedNumbers() = default;
    SharedNumbers(const SharedNumbers&) = delete;
    SharedNumbers& operator=(const SharedNumbers&) = delete;
    ~SharedNumbers() { forget(); }

  private:
    void forget() {
        for (PyObject* o : objects_) Py_DECREF(o);
        objects_.clear();
        last_.clear();
    }
    std::vector<PyObject*> objects_;  // held
    std::vector<T> last_;             // the values they were made from
};

// The objects a record is made from beyond its engine values.
struct RecordMaking {
    const RecordKeys& keys;
    const RecordDicts& dicts;
    RecordArena& arena;
    SharedNumbers<int64_t>& dt_ids;
    SharedNumbers<double>& dt_scores;
};

PyObject* reference_record(const zerlin::EvalImage& e, std::size_t T, RecordMaking& m, PyObject* image_id,
                           PyObject* category_id, PyObject* area_rng, PyObject* max_det) {
    const RecordKeys& k = m.keys;
    RecordArena& arena = m.arena;
    const npy_intp t = npy_intp(T), D = npy_intp(e.dt_ids.size()), G = npy_intp(e.gt_ids.size());
    Ref d(m.dicts.make());
    set_item(d.get(), k.image_id.get(), Py_NewRef(image_id));
    set_item(d.get(), k.category_id.get(), Py_NewRef(category_id));
    set_item(d.get(), k.aRng.get(), Py_NewRef(area_rng));
    set_item(d.get(), k.maxDet.get(), Py_NewRef(max_det));
    set_item(d.get(), k.dtIds.get(), m.dt_ids.list(e.dt_ids, [](int64_t v) { return PyLong_FromLongLong(v); }));
    set_item(d.get(), k.gtIds.get(), untracked(int_list(e.gt_ids)));
    set_item(d.get(), k.dtMatches.get(), arena.take<double>(e.dt_matches, {t, D}, NPY_FLOAT64));
    set_item(d.get(), k.gtMatches.get(), arena.take<double>(e.gt_matches, {t, G}, NPY_FLOAT64));
    set_item(d.get(), k.dtScores.get(), m.dt_scores.list(e.dt_scores, PyFloat_FromDouble));
    // The reference builds gtIgnore from a list of ints, which is float64 when empty.
    if (G == 0)
        set_item(d.get(), k.gtIgnore.get(), arena.take<double>(e.gt_ignore, {0}, NPY_FLOAT64));
    else
        set_item(d.get(), k.gtIgnore.get(), arena.take<int64_t>(e.gt_ignore, {G}, NPY_INT64));
    set_item(d.get(), k.dtIgnore.get(), arena.take<npy_bool>(e.dt_ignore, {t, D}, NPY_BOOL));
    // Its values are numbers, arrays and the untracked lists, save aRng (the
    // caller's list, shared by every record): no cycle can pass through it.
    // A value the caller adds later that could makes the dict tracked again.
    PyObject_GC_UnTrack(d.get());
    return d.release();
}

// Item i of a sequence made by PySequence_Fast (borrowed).
PyObject* item(const Ref& seq, std::size_t i) {
    return PySequence_Fast_GET_ITEM(seq.get(), Py_ssize_t(i));
}

}  // namespace

PyObject* eval_imgs_list(const zerlin::RunResult& r) {
    CollectorPaused paused;
    RecordKeys keys;
    Ref list(check(PyList_New(Py_ssize_t(r.eval_slots.size()))));
    for (std::size_t i = 0; i < r.eval_slots.size(); ++i) {
        zerlin::check_cancelled();
        uint32_t s = r.eval_slots[i];
        PyObject* item;
        if (s == zerlin::RunResult::kNoRecord) {
            item = Py_NewRef(Py_None);
        } else {
            item = eval_record(r.eval_imgs[s], r.T, keys);
        }
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

PyObject* reference_eval_imgs_list(const zerlin::RunResult& r, const RecordLabels& labels) {
    CollectorPaused paused;
    RecordKeys keys;
    RecordDicts dicts(keys);
    const std::size_t I = std::size_t(PySequence_Fast_GET_SIZE(labels.img_ids.get())), A = r.A;
    std::size_t total = 0;
    for (std::size_t s = 0; s < r.eval_imgs.size(); ++s) total += RecordArena::bytes_of(r.eval_imgs[s], r.T);
    RecordArena arena(total);
    // Each image's shared numbers (a new category's detections differ, so
    // its first record makes new ones).
    std::vector<SharedNumbers<int64_t>> dt_ids(I);
    std::vector<SharedNumbers<double>> dt_scores(I);
    Ref list(check(PyList_New(Py_ssize_t(r.eval_slots.size()))));
    // Entries run over categories, then areas, then images, and are made in
    // that order, so that a reader going the same way finds a cell's records
    // side by side in memory.
    for (std::size_t i = 0; i < r.eval_slots.size(); ++i) {
        zerlin::check_cancelled();
        const std::size_t k = i / (A * I), a = i / I % A, img = i % I;
        const uint32_t s = r.eval_slots[i];
        PyObject* record;
        if (s == zerlin::RunResult::kNoRecord) {
            record = Py_NewRef(Py_None);
        } else {
            RecordMaking making{keys, dicts, arena, dt_ids[img], dt_scores[img]};
            record = reference_record(r.eval_imgs[s], r.T, making, item(labels.img_ids, img), item(labels.cat_ids, k),
                                      item(labels.area_rngs, a), labels.max_det);
        }
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), record);
    }
    return list.release();
}

}  // namespace zpy
