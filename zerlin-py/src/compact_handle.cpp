// Compact column handles over loaded results or annotations:
// load_compact_bbox, load_compact_array and the CompactBbox class.
#include "compact_handle.hpp"
#include "json_build.hpp"

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "zerlin/file.hpp"
#include "zerlin/results_geometry.hpp"

namespace zpy {

using zerlin::CompactData;

namespace {

// The handle's data never change once it exists, so any number of calls may
// read them at once.
struct CompactObject {
    PyObject_HEAD std::unique_ptr<const CompactData> data;
};

CompactObject* as_compact(PyObject* self) {
    return reinterpret_cast<CompactObject*>(self);
}

PyObject* new_handle(CompactData&& data) {
    auto* obj = PyObject_New(CompactObject, g_compact_type);
    if (!obj) throw_python_error_already_set();
    new (&obj->data) std::unique_ptr<const CompactData>();
    try {
        obj->data = std::make_unique<const CompactData>(std::move(data));
    } catch (...) {
        Py_DECREF(reinterpret_cast<PyObject*>(obj));
        throw;
    }
    return reinterpret_cast<PyObject*>(obj);
}

extern "C" void compact_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_compact(self)->data.~unique_ptr();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The handle's data.
const CompactData& data_of(PyObject* self) {
    return *as_compact(self)->data;
}

// ---------------------------------------------------------------- loading

// Dataset members other than "annotations", built into one dict with one
// key cache for the whole document.
class DictSink : public zerlin::DatasetSink {
  public:
    DictSink() : dict_(check(PyDict_New())) {}
    void member(zerlin::JsonString key, zerlin::JsonReader& reader) override {
        Ref k(keys_.get(key));
        Ref v(build_value(reader, keys_));
        check_status(PyDict_SetItem(dict_.get(), k.get(), v.get()));
    }
    void annotations(zerlin::JsonString key) override {
        Ref k(keys_.get(key));
        check_status(PyDict_SetItem(dict_.get(), k.get(), Py_None));
    }
    PyObject* take() { return dict_.release(); }

  private:
    KeyCache keys_;
    Ref dict_;
};

}  // namespace

const CompactData* compact_data(PyObject* o) {
    if (!g_compact_type || !PyObject_TypeCheck(o, g_compact_type)) return nullptr;
    return as_compact(o)->data.get();
}

namespace {

// The two file loaders: their arguments, then body(file text, results,
// boxes_only); the third argument is load_compact_or_objects' alone.
template <class F>
PyObject* load_file(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw, F&& body) {
    return guarded([&] {
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        std::string path;
        bool results = false, boxes_only = false;
        parse_args(sig, args, nargs, kw, a);
        arg(a[0], "path", to_str, &path);
        if (a[1]) arg(a[1], "results", to_bool, &results);
        if (sig.names.size() > 2 && a[2]) arg(a[2], "boxes_only", to_bool, &boxes_only);
        return body(std::make_shared<const zerlin::Text>(zerlin::read_file(path)), results, boxes_only);
    });
}

// The dataset dict (empty for results) and the handle of a file's text.
// With `boxes_only` (the caller evaluates boxes and nothing else) the handle
// keeps no text unless the results' boxes are derived from their geometry;
// results of boxes read in parallel free it (`text` is reset, when it is
// its only owner) as soon as their records are read.
std::pair<Ref, Ref> compact_file(std::shared_ptr<const zerlin::Text>& text, bool results, zerlin::RecordGrammar grammar,
                                 bool boxes_only = false) {
    std::optional<DictSink> sink;
    if (!results) sink.emplace();
    std::function<void()> text_done;
    if (boxes_only && results)
        text_done = [&text] {
            if (text.use_count() == 1) text.reset();
        };
    zerlin::SnapshotColumns built =
        zerlin::build_snapshot(*text, results, sink ? &*sink : nullptr, true, grammar, text_done);
    // Mask areas are left to the evaluation, which decodes the masks anyway
    // (freed text: boxes, which need no completing).
    if (grammar == zerlin::RecordGrammar::Reference && text)
        zerlin::complete_results_geometry(built.columns, *text, false);
    Ref dataset(sink ? sink->take() : check(PyDict_New()));
    CompactData data;
    data.boxes_only = boxes_only && (!results || built.columns.shape == zerlin::ResultsShape::Boxes);
    if (!data.boxes_only) data.snapshot = text;
    data.columns = std::make_shared<const zerlin::AnnotationColumns>(std::move(built.columns));
    data.results = results;
    data.spans_kept = built.spans_kept;
    return {std::move(dataset), Ref(new_handle(std::move(data)))};
}

}  // namespace

PyObject* fn_load_compact_or_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"load_compact_or_objects()", {"path", "results", "boxes_only"}, 1};
    auto body = [](std::shared_ptr<const zerlin::Text> text, bool results, bool boxes_only) -> PyObject* {
        std::string refusal;
        try {
            // Results take every shape the reference loader completes.
            auto [dataset, handle] = compact_file(
                text, results, results ? zerlin::RecordGrammar::Reference : zerlin::RecordGrammar::Compact, boxes_only);
            return check(PyTuple_Pack(3, dataset.get(), handle.get(), Py_None));
        } catch (const zerlin::JsonError& e) {
            if (!text) throw;  // the text was freed: no reading of it failed
            refusal = e.what();
        } catch (const zerlin::Error& e) {
            if (e.kind() != zerlin::ErrorKind::Value || !text) throw;
            refusal = e.message();
        }
        // The same bytes as objects; bad JSON fails here with the reader's message.
        Ref document(build_document(*text));
        Ref reason(check(PyUnicode_FromStringAndSize(refusal.data(), Py_ssize_t(refusal.size()))));
        return check(PyTuple_Pack(3, document.get(), Py_None, reason.get()));
    };
    return load_file(sig, args, nargs, kw, body);
}

PyObject* fn_load_compact_bbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"load_compact_bbox()", {"path", "results"}, 1};
    return load_file(sig, args, nargs, kw, [](std::shared_ptr<const zerlin::Text> text, bool results, bool) {
        auto [dataset, handle] = compact_file(text, results, zerlin::RecordGrammar::Compact);
        return check(PyTuple_Pack(2, dataset.get(), handle.get()));
    });
}

PyObject* fn_results_shape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"results_shape()", {"handle"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        const CompactData* d = compact_data(a[0]);
        if (!d) throw_not_instance(a[0], "CompactBbox");
        const char* shape = "boxes";
        if (!d->results) return Py_NewRef(Py_None);
        switch (d->columns->shape) {
            case zerlin::ResultsShape::Masks:
                shape = "masks";
                break;
            case zerlin::ResultsShape::Keypoints:
                shape = "keypoints";
                break;
            case zerlin::ResultsShape::Boxes:
                break;
        }
        return check(PyUnicode_FromString(shape));
    });
}

namespace {

// The argument of load_compact_array: a 2-D float64 or float32 array of 7 columns.
PyArrayObject* result_array(PyObject* o) {
    auto* arr = reinterpret_cast<PyArrayObject*>(o);
    if (!PyArray_Check(o) || PyArray_NDIM(arr) != 2 ||
        (PyArray_TYPE(arr) != NPY_FLOAT64 && PyArray_TYPE(arr) != NPY_FLOAT32))
        zerlin::throw_value("expected a 2-D float64 or float32 array");
    if (PyArray_DIM(arr, 1) != 7) zerlin::throw_value("result arrays must have 7 columns");
    return arr;
}

// The rows gathered as contiguous float64 whatever the strides and width.
std::vector<double> gathered_rows(PyArrayObject* arr) {
    const std::size_t n = std::size_t(PyArray_DIM(arr, 0));
    const bool wide = PyArray_TYPE(arr) == NPY_FLOAT64;
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const bool swapped = PyArray_ISBYTESWAPPED(arr);  // e.g. dtype '>f8' on this host
    std::vector<double> rows(7 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < 7; ++j) {
            const char* p = base + npy_intp(i) * s0 + npy_intp(j) * s1;
            char bytes[8];
            const std::size_t width = wide ? 8 : 4;
            for (std::size_t b = 0; b < width; ++b) bytes[b] = p[swapped ? width - 1 - b : b];
            if (wide) {
                double v;
                std::memcpy(&v, bytes, sizeof v);
                rows[7 * i + j] = v;
            } else {
                float v;
                std::memcpy(&v, bytes, sizeof v);
                rows[7 * i + j] = double(v);
            }
        }
    }
    return rows;
}

}  // namespace

PyObject* fn_load_compact_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"load_compact_array()", {"data"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        PyArrayObject* arr = result_array(a[0]);
        const std::vector<double> rows = gathered_rows(arr);
        CompactData data;
        data.columns = std::make_shared<const zerlin::AnnotationColumns>(
            zerlin::columns_from_rows(rows.data(), std::size_t(PyArray_DIM(arr, 0))));
        data.results = true;
        data.from_array = true;
        return new_handle(std::move(data));
    });
}

// ---------------------------------------------------------------- methods

namespace {

// Keyword-less methods: only the argument matching.
void no_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* none[1];
    parse_args(sig, args, nargs, kw, none);
}

void set_float(PyObject* dict, PyObject* key, double v) {
    Ref value(check(PyFloat_FromDouble(v)));
    check_status(PyObject_SetItem(dict, key, value.get()));
}

void set_int(PyObject* dict, PyObject* key, long long v) {
    Ref value(check(PyLong_FromLongLong(v)));
    check_status(PyObject_SetItem(dict, key, value.get()));
}

void set_box(PyObject* dict, PyObject* key, const double* box) {
    Ref list(check(PyList_New(4)));
    for (Py_ssize_t j = 0; j < 4; ++j) PyList_SET_ITEM(list.get(), j, check(PyFloat_FromDouble(box[j])));
    check_status(PyObject_SetItem(dict, key, list.get()));
}

// The fields the reference loader fills in results completed from their
// geometry, in its order: masks area, bbox (where none was written), id,
// iscrowd; keypoints area, id, bbox.
void complete_from_columns(PyObject* list, const CompactData& d) {
    const std::shared_ptr<const zerlin::AnnotationColumns> completed = d.completed_columns();
    const zerlin::AnnotationColumns& c = *completed;
    const bool masks = c.shape == zerlin::ResultsShape::Masks;
    Ref area(check(PyUnicode_InternFromString("area"))), bbox(check(PyUnicode_InternFromString("bbox")));
    Ref id(check(PyUnicode_InternFromString("id"))), iscrowd(check(PyUnicode_InternFromString("iscrowd")));
    const Py_ssize_t n = std::min<Py_ssize_t>(PyList_GET_SIZE(list), Py_ssize_t(c.size()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ann = PyList_GET_ITEM(list, i);
        const std::size_t row = std::size_t(i);
        set_float(ann, area.get(), c.derived_areas[row]);
        if (masks && !c.box_written(row)) set_box(ann, bbox.get(), &c.boxes[4 * row]);
        set_int(ann, id.get(), d.row_id(row));
        if (masks)
            set_int(ann, iscrowd.get(), 0);
        else
            set_box(ann, bbox.get(), &c.boxes[4 * row]);
    }
}

// A handle loaded for boxes alone, its rows as the dicts a box evaluation
// reads: ids, box, area, crowd flag (and score for results); the file's
// other members were not kept.
PyObject* box_rows_as_dicts(const CompactData& d) {
    CollectorPaused paused;
    const zerlin::AnnotationColumns& c = *d.columns;
    Ref id(check(PyUnicode_InternFromString("id"))), image_id(check(PyUnicode_InternFromString("image_id")));
    Ref category_id(check(PyUnicode_InternFromString("category_id"))), bbox(check(PyUnicode_InternFromString("bbox")));
    Ref area(check(PyUnicode_InternFromString("area"))), iscrowd(check(PyUnicode_InternFromString("iscrowd")));
    Ref score(check(PyUnicode_InternFromString("score")));
    Ref list(check(PyList_New(Py_ssize_t(c.size()))));
    for (std::size_t row = 0; row < c.size(); ++row) {
        PyObject* ann = check(PyDict_New());
        PyList_SET_ITEM(list.get(), Py_ssize_t(row), ann);
        set_int(ann, id.get(), d.row_id(row));
        set_int(ann, image_id.get(), c.image_id(row));
        set_int(ann, category_id.get(), c.category_id(row));
        set_box(ann, bbox.get(), &c.boxes[4 * row]);
        set_float(ann, area.get(), d.row_area(row));
        set_int(ann, iscrowd.get(), d.row_crowd(row) ? 1 : 0);
        if (d.results) set_float(ann, score.get(), c.scores[row]);
    }
    return list.release();
}

PyObject* m_annotations(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"CompactBbox.annotations()", {}, 0};
        no_args(sig, args, nargs, kw);
        const CompactData& d = data_of(self);
        if (d.from_array) zerlin::throw_value("array-backed results are materialized from array_rows()");
        if (d.boxes_only) return box_rows_as_dicts(d);
        Ref doc(build_document(*d.snapshot));
        if (d.results) {
            check_list(doc.get());
            if (d.columns->shape == zerlin::ResultsShape::Boxes)
                prepare_bbox_results(doc.get());
            else
                complete_from_columns(doc.get(), d);
            return doc.release();
        }
        Ref key(check(PyUnicode_FromString("annotations")));
        return check(PyObject_GetItem(doc.get(), key.get()));
    });
}

PyObject* m_array_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"CompactBbox.array_rows()", {}, 0};
        no_args(sig, args, nargs, kw);
        const CompactData& d = data_of(self);
        npy_intp n = npy_intp(d.size());
        return array_from_vector(zerlin::rows_of(*d.completed_columns()), {n, 7}, NPY_FLOAT64);
    });
}

PyObject* m_valid_images(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"CompactBbox.valid_images()", {"images"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        std::vector<int64_t> images;
        arg(a[0], "images", to_vec_i64, &images);
        return Py_NewRef(zerlin::images_cover(*data_of(self).columns, images) ? Py_True : Py_False);
    });
}

PyObject* m_has_annotation_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"CompactBbox.has_annotation_id()", {"id"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        int64_t id = 0;
        arg(a[0], "id", to_i64, &id);
        const CompactData& d = data_of(self);
        bool found = false;
        for (std::size_t row = 0; row < d.size() && !found; ++row) found = d.row_id(row) == id;
        return Py_NewRef(found ? Py_True : Py_False);
    });
}

void check_set(PyObject* o) {
    if (!PyAnySet_Check(o)) throw_not_instance(o, "set");
}

// Whether Python container `set` holds the int `id`.
bool set_has(PyObject* set, int64_t id) {
    Ref key(check(PyLong_FromLongLong(id)));
    return check_status(PySet_Contains(set, key.get())) == 1;
}

// The selected records built from the snapshot's top-level array, in file
// order; `selected` marks them by row.
PyObject* build_rows(const CompactData& d, const std::vector<uint8_t>& selected, std::size_t count) {
    CollectorPaused paused;
    Ref list(check(PyList_New(0)));
    try {
        KeyCache keys;
        zerlin::JsonReader r(*d.snapshot);
        r.peek_nonspace();
        r.enter_container();
        r.advance();  // the '[' the file was loaded with
        bool first = true;
        std::size_t row = 0, found = 0;
        while (found < count && r.next_element(first)) {
            if (row < selected.size() && selected[row]) {
                Ref rec(build_value(r, keys));
                check_status(PyList_Append(list.get(), rec.get()));
                ++found;
            } else {
                r.skip_value();
            }
            ++row;
        }
        if (found < count) r.fail_custom_here("missing selected annotation");
    } catch (const zerlin::JsonError& e) {
        throw_labelled_json_error("JSON snapshot", e);
    }
    return list.release();
}

// The rows lvis_annotations keeps: each image's capped rows whose category
// is in `categories` and in verified[image]. Returns their count.
std::size_t select_verified_rows(const zerlin::AnnotationColumns& cols, const std::vector<int64_t>& image_ids,
                                 PyObject* categories, PyObject* verified, const std::optional<uint64_t>& max_det,
                                 std::vector<uint8_t>& selected) {
    auto groups = zerlin::rows_per_image(cols, image_ids, max_det ? &*max_det : nullptr);
    selected.assign(cols.size(), 0);
    std::size_t count = 0;
    for (std::size_t k = 0; k < image_ids.size(); ++k) {
        if (groups[k].empty()) continue;
        Ref image(check(PyLong_FromLongLong(image_ids[k])));
        Ref allowed;  // verified[image], looked up once a row needs it
        for (uint32_t row : groups[k]) {
            int64_t cat = cols.category_id(row);
            if (selected[row] || !set_has(categories, cat)) continue;
            if (!allowed) {
                allowed = Ref(check(PyObject_GetItem(verified, image.get())));
                check_set(allowed.get());
            }
            if (set_has(allowed.get(), cat)) {
                selected[row] = 1;
                ++count;
            }
        }
    }
    return count;
}

PyObject* m_lvis_annotations(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{
            "CompactBbox.lvis_annotations()", {"image_ids", "categories", "verified", "max_det"}, 4};
        PyObject* a[4];
        parse_args(sig, args, nargs, kw, a);
        std::vector<int64_t> image_ids;
        arg(a[0], "image_ids", to_vec_i64, &image_ids);
        PyObject *categories = a[1], *verified = a[2];
        with_note("categories", [&] { check_set(categories); });
        with_note("verified", [&] { check_dict(verified); });
        std::optional<uint64_t> max_det;
        if (a[3] != Py_None) arg(a[3], "max_det", to_u64, &max_det.emplace());
        const CompactData& d = data_of(self);
        if (!d.results || d.from_array || d.columns->shape != zerlin::ResultsShape::Boxes) return Py_NewRef(Py_None);
        if (!d.snapshot) zerlin::throw_value("a handle loaded for a box evaluation alone keeps no text to rebuild");
        std::vector<uint8_t> selected;
        const std::size_t count = select_verified_rows(*d.columns, image_ids, categories, verified, max_det, selected);
        Ref list(build_rows(d, selected, count));
        prepare_bbox_results(list.get());
        // Ids are positions in the whole file, as annotations() gives them.
        Ref id_key(check(PyUnicode_FromString("id")));
        Py_ssize_t i = 0;
        for (std::size_t row = 0; row < selected.size(); ++row) {
            if (!selected[row]) continue;
            Ref id(check(PyLong_FromLongLong(d.row_id(row))));
            check_status(PyObject_SetItem(PyList_GET_ITEM(list.get(), i), id_key.get(), id.get()));
            ++i;
        }
        return list.release();
    });
}

// Getters: plain figures of the handle.
PyObject* p_from_array(PyObject* self, void*) {
    return guarded([&] { return Py_NewRef(data_of(self).from_array ? Py_True : Py_False); });
}
PyObject* p_annotation_count(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromSize_t(data_of(self).size())); });
}
PyObject* p_snapshot_bytes(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromSize_t(data_of(self).snapshot_bytes())); });
}
PyObject* p_null_score_offset(PyObject* self, void*) {
    return guarded([&] {
        const std::size_t at = data_of(self).columns->first_null_score;
        return at == zerlin::AnnotationColumns::kNoNullScore ? Py_NewRef(Py_None) : check(PyLong_FromSize_t(at));
    });
}
PyObject* p_written_fields(PyObject* self, void*) {
    return guarded([&] {
        const std::vector<std::string_view> names = zerlin::written_fields(*data_of(self).columns);
        Ref out(check(PyTuple_New(Py_ssize_t(names.size()))));
        for (std::size_t i = 0; i < names.size(); ++i)
            PyTuple_SET_ITEM(out.get(), Py_ssize_t(i),
                             check(PyUnicode_FromStringAndSize(names[i].data(), Py_ssize_t(names[i].size()))));
        return out.release();
    });
}
PyObject* p_column_bytes(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromSize_t(data_of(self).column_bytes())); });
}

#define ZL_METHOD(fn, name, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef g_methods[] = {
    ZL_METHOD(m_annotations, "annotations",
              "annotations($self)\n--\n\n"
              "The annotations as dicts, with the values and derived fields of an ordinary load."),
    ZL_METHOD(m_array_rows, "array_rows",
              "array_rows($self)\n--\n\n"
              "The rows as an Nx7 float64 array [image_id, x, y, w, h, score, category_id], ids as truncated."),
    ZL_METHOD(m_valid_images, "valid_images",
              "valid_images($self, images)\n--\n\n"
              "Whether every row's image id is among the given ids."),
    ZL_METHOD(m_has_annotation_id, "has_annotation_id",
              "has_annotation_id($self, id)\n--\n\n"
              "Whether a row's annotation id (a ground truth's own, a result's 1..N) equals the given one."),
    ZL_METHOD(m_lvis_annotations, "lvis_annotations",
              "lvis_annotations($self, image_ids, categories, verified, max_det)\n--\n\n"
              "Materialise only the federated detections, without building the public indexes or releasing\n"
              "the snapshot; the per-image cap applies before category and federated filtering."),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZL_METHOD

PyGetSetDef g_getset[] = {
    {"from_array", p_from_array, nullptr, "True for handles made by load_compact_array.", nullptr},
    {"annotation_count", p_annotation_count, nullptr, "Number of rows.", nullptr},
    {"snapshot_bytes", p_snapshot_bytes, nullptr, "Bytes of the kept JSON file (0 for array-backed handles).", nullptr},
    {"column_bytes", p_column_bytes, nullptr, "Bytes of the row columns.", nullptr},
    {"null_score_offset", p_null_score_offset, nullptr,
     "Byte offset in the file of the first result's score written as null (read as 0.0), or None.", nullptr},
    {"written_fields", p_written_fields, nullptr,
     "The record fields (\"id\", \"bbox\", ...) that some record written as an object has as members.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyType_Spec* compact_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(compact_dealloc)},
        {Py_tp_methods, g_methods},
        {Py_tp_getset, g_getset},
        {Py_tp_doc, const_cast<char*>("Compact handle over loaded results or annotations.")},
        {0, nullptr},
    };
    static PyType_Spec type_def = {"vantorel._zerlin.CompactBbox", sizeof(CompactObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return &type_def;
}

}  // namespace zpy
