// Mask functions: RLE objects and NumPy arrays in, RLE objects and arrays out.
// They run on the calling thread and keep the interpreter lock: each call is
// short and works on the caller's objects throughout.
#include <algorithm>
#include <string>
#include <vector>

#include "binding.hpp"
#include "zerlin/rle.hpp"

namespace zpy {

namespace {

using zerlin::Rle;

constexpr const char* kNotRleDict = "expected an RLE dict with 'size' and 'counts'";
constexpr const char* kNoSize = "RLE dict is missing 'size'";
constexpr const char* kNoCounts = "RLE dict is missing 'counts'";
constexpr const char* kBadSize = "RLE 'size' must be [h, w]";
constexpr const char* kBadCounts = "RLE 'counts' must be bytes, str, or a list of ints";
constexpr const char* kBadBoxArray = "numpy ndarray input is only for *bounding boxes* and should have Nx4 dimension";
constexpr const char* kBadBoxList = "list input can be bounding box (Nx4) or RLEs ([RLE])";
constexpr const char* kMixedKinds = "The dt and gt should have the same data type, either RLEs, list or np.ndarray";

struct MaskKeys {
    PyObject* size;
    PyObject* counts;
};

// Interned once per process.
const MaskKeys* mask_keys() {
    static MaskKeys k{PyUnicode_InternFromString("size"), PyUnicode_InternFromString("counts")};
    if (!k.size || !k.counts) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    return &k;
}

// ---------------------------------------------------------------- output

// {'size': [h, w], 'counts': compressed bytes}; `buf` is reused between calls.
PyObject* rle_to_py(const Rle& r, std::string& buf) {
    const MaskKeys* k = mask_keys();
    if (!k) return nullptr;
    zerlin::rle_to_string_into(r, buf);
    Ref size(Py_BuildValue("[kk]", static_cast<unsigned long>(r.h), static_cast<unsigned long>(r.w)));
    Ref counts(PyBytes_FromStringAndSize(buf.data(), Py_ssize_t(buf.size())));
    Ref d(PyDict_New());
    if (!size || !counts || !d) return nullptr;
    if (PyDict_SetItem(d.get(), k->size, size.get()) < 0 || PyDict_SetItem(d.get(), k->counts, counts.get()) < 0)
        return nullptr;
    return d.release();
}

PyObject* rle_list_to_py(const std::vector<Rle>& rles) {
    Ref list(PyList_New(Py_ssize_t(rles.size())));
    if (!list) return nullptr;
    std::string buf;
    for (size_t i = 0; i < rles.size(); ++i) {
        PyObject* o = rle_to_py(rles[i], buf);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), o);
    }
    return list.release();
}

// ---------------------------------------------------------------- input

// Calls fn(item) for every item of an iterable; stops at the first failure.
// Iteration errors propagate.
template <class F>
bool for_each_item(PyObject* o, F&& fn) {
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    for (;;) {
        PyObject* item;
        const int r = PyIter_NextItem(it.get(), &item);
        if (r < 0) return false;
        if (r == 0) return true;
        Ref hold(item);
        if (!fn(item)) return false;
    }
}

// Every item of an iterable, in order.
bool collect_items(PyObject* o, std::vector<Ref>* items) {
    return for_each_item(o, [&](PyObject* item) {
        items->push_back(Ref::borrow(item));
        return true;
    });
}

// d[key] as a new reference; ValueError `missing` when absent.
bool required_key(PyObject* d, PyObject* key, const char* missing, Ref* out) {
    PyObject* v;
    const int r = PyDict_GetItemRef(d, key, &v);
    if (r < 0) return false;
    if (r == 0) {
        PyErr_SetString(PyExc_ValueError, missing);
        return false;
    }
    out->reset(v);
    return true;
}

// OverflowError for masks of 2^32 pixels or more, which 32-bit pixel
// indices would wrap.
bool mask_size_ok(uint64_t h, uint64_t w) {
    try {
        zerlin::require_mask_size(h, w);
        return true;
    } catch (const zerlin::Error& e) {
        set_error(e);
        return false;
    }
}

// Run lengths as a sequence of ints in 0 .. 2^32 - 1.
bool to_runs(PyObject* o, std::vector<uint32_t>* out) { return to_vec<uint32_t>(o, out, &to_u32); }

// Bytes or str holding a compressed counts string.
bool compressed_counts(PyObject* counts, uint32_t h, uint32_t w, Rle* out) {
    char* s;
    Py_ssize_t n;
    if (PyBytes_Check(counts)) {
        if (PyBytes_AsStringAndSize(counts, &s, &n) < 0) return false;
    } else {
        const char* u = PyUnicode_AsUTF8AndSize(counts, &n);
        if (!u) return false;
        s = const_cast<char*>(u);
    }
    *out = zerlin::rle_from_string(std::string_view(s, size_t(n)), h, w, false);
    return true;
}

// One RLE object: 'counts' as compressed bytes, str, or a list of runs.
bool rle_from_py(PyObject* o, Rle* out) {
    const MaskKeys* k = mask_keys();
    if (!k) return false;
    if (!PyDict_Check(o)) {
        PyErr_SetString(PyExc_TypeError, kNotRleDict);
        return false;
    }
    Ref size, counts;
    std::vector<uint64_t> hw;
    if (!required_key(o, k->size, kNoSize, &size) || !to_vec_u64(size.get(), &hw)) return false;
    if (hw.size() != 2) {
        PyErr_SetString(PyExc_ValueError, kBadSize);
        return false;
    }
    if (!required_key(o, k->counts, kNoCounts, &counts)) return false;
    const uint32_t h = uint32_t(hw[0]), w = uint32_t(hw[1]);
    if (!mask_size_ok(h, w)) return false;
    if (PyBytes_Check(counts.get()) || PyUnicode_Check(counts.get())) return compressed_counts(counts.get(), h, w, out);
    out->h = h;
    out->w = w;
    if (!to_runs(counts.get(), &out->counts)) {
        PyErr_SetString(PyExc_TypeError, kBadCounts);  // replaces the item's own error
        return false;
    }
    return true;
}

bool rle_list_from_py(PyObject* o, std::vector<Rle>* out) {
    return for_each_item(o, [&](PyObject* item) {
        out->emplace_back();
        return rle_from_py(item, &out->back());
    });
}

// An uncompressed RLE dict: 'counts' must be the runs themselves.
bool uncompressed_from_py(PyObject* o, Rle* out) {
    const MaskKeys* k = mask_keys();
    if (!k) return false;
    if (!PyDict_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "expected uncompressed RLE dicts");
        return false;
    }
    Ref size, counts;
    std::vector<uint64_t> hw;
    if (!required_key(o, k->size, kNoSize, &size) || !to_vec_u64(size.get(), &hw) ||
        !required_key(o, k->counts, kNoCounts, &counts) || !to_runs(counts.get(), &out->counts))
        return false;
    if (hw.size() < 2) {  // entries past the second are ignored
        PyErr_SetString(PyExc_ValueError, kBadSize);
        return false;
    }
    out->h = uint32_t(hw[0]);
    out->w = uint32_t(hw[1]);
    return mask_size_ok(out->h, out->w);
}

// Detections or ground truths of iou(), or the boxes of frBbox(): either a
// box list (4 doubles each) or a list of masks.
struct BoxesOrRles {
    bool is_rles = false;
    std::vector<double> boxes;
    std::vector<Rle> rles;
    size_t size() const { return is_rles ? rles.size() : boxes.size() / 4; }
};

bool boxes_from_f64_array(PyObject* o, std::vector<double>* boxes) {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 4) {
        PyErr_SetString(PyExc_ValueError, kBadBoxArray);
        return false;
    }
    // Native byte order and alignment; the same array when it already is.
    Ref native(PyArray_FROM_OTF(o, NPY_DOUBLE, NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED));
    if (!native) return false;
    auto* b = reinterpret_cast<PyArrayObject*>(native.get());
    const npy_intp n = PyArray_DIM(b, 0), s0 = PyArray_STRIDE(b, 0), s1 = PyArray_STRIDE(b, 1);
    const char* base = PyArray_BYTES(b);
    boxes->resize(size_t(n) * 4);
    for (npy_intp i = 0; i < n; ++i)
        for (npy_intp j = 0; j < 4; ++j) (*boxes)[size_t(4 * i + j)] = *reinterpret_cast<const double*>(base + i * s0 + j * s1);
    return true;
}

bool boxes_or_rles_from_py(PyObject* o, BoxesOrRles* out) {
    if (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) == NPY_DOUBLE)
        return boxes_from_f64_array(o, &out->boxes);
    std::vector<Ref> items;
    if (!collect_items(o, &items)) return false;
    if (items.empty()) return true;
    if (PyDict_Check(items[0].get())) {
        out->is_rles = true;
        out->rles.resize(items.size());
        for (size_t i = 0; i < items.size(); ++i)
            if (!rle_from_py(items[i].get(), &out->rles[i])) return false;
        return true;
    }
    out->boxes.resize(items.size() * 4);
    for (size_t i = 0; i < items.size(); ++i) {
        if (!to_fixed_f64(items[i].get(), 4, &out->boxes[4 * i])) {
            PyErr_SetString(PyExc_ValueError, kBadBoxList);  // replaces the element's own error
            return false;
        }
    }
    return true;
}

// Crowd flags: each item through the integer conversion, low 8 bits kept.
bool crowd_from_py(PyObject* o, std::vector<uint8_t>* out) {
    return for_each_item(o, [&](PyObject* item) {
        Ref index(PyNumber_Index(item));
        if (!index) return false;
        const unsigned long long v = PyLong_AsUnsignedLongLongMask(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out->push_back(uint8_t(v));
        return true;
    });
}

bool to_polygon(PyObject* o, std::vector<double>* xy) { return to_vec_f64(o, xy); }

std::vector<const Rle*> pointers(const std::vector<Rle>& rles) {
    std::vector<const Rle*> p;
    p.reserve(rles.size());
    for (const Rle& r : rles) p.push_back(&r);
    return p;
}

// ---------------------------------------------------------------- construction

// Box list for frBbox(): an RLE list is refused.
bool boxes_only(PyObject* bb, std::vector<double>* boxes) {
    BoxesOrRles x;
    if (!boxes_or_rles_from_py(bb, &x)) return false;
    if (x.is_rles) {
        PyErr_SetString(PyExc_TypeError, "expected bounding boxes");
        return false;
    }
    boxes->swap(x.boxes);
    return true;
}

PyObject* rles_of_boxes(const std::vector<double>& boxes, uint32_t h, uint32_t w) {
    zerlin::RasterScratch scratch;
    std::vector<Rle> out(boxes.size() / 4);
    for (size_t i = 0; i < out.size(); ++i) out[i] = zerlin::rle_from_bbox(&boxes[4 * i], h, w, scratch);
    return rle_list_to_py(out);
}

// frBbox / frPoly / frUncompressedRLE on an already converted h and w. Each
// returns a new list, or nullptr with the error set (without note).
PyObject* from_boxes(PyObject* bb, uint32_t h, uint32_t w) {
    std::vector<double> boxes;
    if (!boxes_only(bb, &boxes)) return nullptr;
    return rles_of_boxes(boxes, h, w);
}

PyObject* from_polygons(PyObject* poly, uint32_t h, uint32_t w) {
    zerlin::RasterScratch scratch;
    std::vector<Rle> out;
    std::vector<double> xy;
    const bool ok = for_each_item(poly, [&](PyObject* item) {
        if (!to_polygon(item, &xy)) return false;
        out.push_back(zerlin::rle_from_polygon(xy, h, w, scratch));
        return true;
    });
    return ok ? rle_list_to_py(out) : nullptr;
}

PyObject* from_uncompressed(PyObject* uc) {
    std::vector<Rle> out;
    const bool ok = for_each_item(uc, [&](PyObject* item) {
        out.emplace_back();
        return uncompressed_from_py(item, &out.back());
    });
    return ok ? rle_list_to_py(out) : nullptr;
}

// Dict holding both 'counts' and 'size' (membership tests in that order);
// -1 with the error set when a test fails.
int is_rle_dict(PyObject* o) {
    const MaskKeys* k = mask_keys();
    if (!k) return -1;
    if (!PyDict_Check(o)) return 0;
    const int c = PySequence_Contains(o, k->counts);
    if (c <= 0) return c;
    return PySequence_Contains(o, k->size);
}

PyObject* from_py_objects(PyObject* obj, uint32_t h, uint32_t w) {
    if (PyArray_Check(obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_DOUBLE)
        return from_boxes(obj, h, w);
    if (PyDict_Check(obj)) {
        const int r = is_rle_dict(obj);
        if (r < 0) return nullptr;
        if (r == 0) {
            PyErr_SetString(PyExc_TypeError, "input type is not supported.");
            return nullptr;
        }
        Rle rle;
        if (!uncompressed_from_py(obj, &rle)) return nullptr;
        std::string buf;
        return rle_to_py(rle, buf);
    }
    // The first item decides the kind of the whole input. The items are kept
    // in a list so that the chosen conversion can read them again, even when
    // `obj` is a one-shot iterator.
    std::vector<Ref> items;
    if (!collect_items(obj, &items)) return nullptr;
    if (items.empty()) return PyList_New(0);
    Ref list(PyList_New(Py_ssize_t(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
    PyObject* first = PyList_GET_ITEM(list.get(), 0);

    const int rle = is_rle_dict(first);
    if (rle < 0) return nullptr;
    if (rle) return from_uncompressed(list.get());

    double probe;
    if (to_f64(first, &probe)) {
        // One flat coordinate list: a box when it has 4 values.
        std::vector<double> xy;
        if (!to_polygon(list.get(), &xy)) return nullptr;
        Rle r;
        if (xy.size() == 4) {
            r = zerlin::rle_from_bbox(xy.data(), h, w);
        } else {
            zerlin::RasterScratch scratch;
            r = zerlin::rle_from_polygon(xy, h, w, scratch);
        }
        std::string buf;
        return rle_to_py(r, buf);
    }
    PyErr_Clear();
    const Py_ssize_t len = PyObject_Size(first);
    if (len < 0) return nullptr;
    return len == 4 ? from_boxes(list.get(), h, w) : from_polygons(list.get(), h, w);
}

// Copies n strided h x w rasters into consecutive column-major rasters.
// Tiles keep the source rows a tile reads in cache while it is written.
void gather_column_major(const uint8_t* src, npy_intp h, npy_intp w, npy_intp n, npy_intp s0, npy_intp s1,
                         npy_intp s2, uint8_t* dst) {
    constexpr npy_intp kTile = 64;
    for (npy_intp y0 = 0; y0 < h; y0 += kTile) {
        const npy_intp y1 = std::min(h, y0 + kTile);
        for (npy_intp x0 = 0; x0 < w; x0 += kTile) {
            const npy_intp x1 = std::min(w, x0 + kTile);
            for (npy_intp i = 0; i < n; ++i) {
                for (npy_intp x = x0; x < x1; ++x) {
                    const uint8_t* col = src + i * s2 + x * s1;
                    uint8_t* out = dst + (i * w + x) * h;
                    for (npy_intp y = y0; y < y1; ++y) out[y] = col[y * s0];
                }
            }
        }
    }
}

// Converts the image size arguments, h before w; `checked` refuses a size
// of 2^32 pixels or more.
bool image_size(PyObject* const* a, const char* h_name, const char* w_name, uint32_t* h, uint32_t* w,
                bool checked = true) {
    if (!arg(a[1], h_name, to_u32, h) || !arg(a[2], w_name, to_u32, w)) return false;
    if (checked && !mask_size_ok(*h, *w)) {
        add_arg_note(w_name);
        return false;
    }
    return true;
}

// Runs a geometry conversion; its failure gets the note for `name`.
template <class F>
PyObject* noted(const char* name, F&& fn) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* r = fn();
        if (!r && PyErr_Occurred()) add_arg_note(name);
        return r;
    });
}

}  // namespace

// ---------------------------------------------------------------- mask functions

PyObject* fn_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"encode()", {"mask"}, 1};
    PyObject* a[1];
    PyArrayObject* arr;
    if (!parse_args(sig, args, nargs, kw, a) || !arg(a[0], "mask", to_array<NPY_UINT8>, &arr)) return nullptr;
    if (PyArray_NDIM(arr) != 3) {
        PyErr_SetString(PyExc_ValueError, "mask must be a 3-D (h, w, n) uint8 array");
        return nullptr;
    }
    const npy_intp h = PyArray_DIM(arr, 0), w = PyArray_DIM(arr, 1), n = PyArray_DIM(arr, 2);
    if (h > npy_intp(UINT32_MAX) || w > npy_intp(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    if (!mask_size_ok(uint64_t(h), uint64_t(w))) return nullptr;
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1), s2 = PyArray_STRIDE(arr, 2);
    // Masks whose pixels are column-major contiguous are read in place;
    // others are first gathered into column-major buffers.
    const bool in_place = (h <= 1 || s0 == 1) && (w <= 1 || s1 == h);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const uint8_t* base = reinterpret_cast<const uint8_t*>(PyArray_BYTES(arr));
        const size_t pixels = size_t(h) * size_t(w);
        npy_intp step = s2;
        std::vector<uint8_t> gathered;
        if (!in_place) {
            gathered.resize(pixels * size_t(n));
            gather_column_major(base, h, w, n, s0, s1, s2, gathered.data());
            base = gathered.data();
            step = npy_intp(pixels);
        }
        Ref list(PyList_New(n));
        if (!list) return nullptr;
        std::string buf;
        for (npy_intp i = 0; i < n; ++i) {
            const Rle r = zerlin::rle_from_mask(base + i * step, pixels, uint32_t(h), uint32_t(w));
            PyObject* o = rle_to_py(r, buf);
            if (!o) return nullptr;
            PyList_SET_ITEM(list.get(), i, o);
        }
        return list.release();
    });
}

PyObject* fn_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"decode()", {"rle_objs"}, 1};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<Rle> rles;
        if (!arg(a[0], "rle_objs", rle_list_from_py, &rles)) return nullptr;
        if (rles.empty()) {
            PyErr_SetString(PyExc_IndexError, "decode() needs at least one RLE");
            return nullptr;
        }
        // Every mask is decoded with the first one's size.
        const uint32_t h = rles[0].h, w = rles[0].w;
        // Each size is below 2^32 pixels (checked on reading), so the total
        // fits 64 bits.
        const uint64_t pixels = uint64_t(h) * w, total = pixels * rles.size();
        zerlin::require_memory(total, "the decoded masks");
        std::vector<uint8_t> raster(size_t(total), 0);
        for (size_t i = 0; i < rles.size(); ++i) zerlin::rle_decode_into(rles[i], raster.data() + i * pixels, pixels);
        return array_from_vector(std::move(raster), {npy_intp(h), npy_intp(w), npy_intp(rles.size())}, NPY_UINT8,
                                 true);
    });
}

PyObject* fn_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"merge()", {"rle_objs", "intersect"}, 1};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<Rle> rles;
        int64_t intersect = 0;
        if (!arg(a[0], "rle_objs", rle_list_from_py, &rles)) return nullptr;
        if (a[1] && !arg(a[1], "intersect", to_i64, &intersect)) return nullptr;
        const std::vector<const Rle*> p = pointers(rles);
        std::string buf;
        return rle_to_py(zerlin::rle_merge(p, intersect != 0), buf);
    });
}

PyObject* fn_area(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"area()", {"rle_objs"}, 1};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<Rle> rles;
        if (!arg(a[0], "rle_objs", rle_list_from_py, &rles)) return nullptr;
        std::vector<uint32_t> areas(rles.size());
        for (size_t i = 0; i < rles.size(); ++i) areas[i] = zerlin::rle_area(rles[i]);
        return array_from_vector(std::move(areas), {npy_intp(rles.size())}, NPY_UINT32);
    });
}

PyObject* fn_toBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"toBbox()", {"rle_objs"}, 1};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<Rle> rles;
        if (!arg(a[0], "rle_objs", rle_list_from_py, &rles)) return nullptr;
        std::vector<double> boxes(rles.size() * 4);
        for (size_t i = 0; i < rles.size(); ++i) zerlin::rle_to_bbox(rles[i], &boxes[4 * i]);
        return array_from_vector(std::move(boxes), {npy_intp(rles.size()), 4}, NPY_DOUBLE);
    });
}

PyObject* fn_iou(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"iou()", {"dt", "gt", "iscrowd"}, 3};
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        BoxesOrRles dt, gt;
        if (!arg(a[0], "dt", boxes_or_rles_from_py, &dt) || !arg(a[1], "gt", boxes_or_rles_from_py, &gt))
            return nullptr;
        const size_t nd = dt.size(), ng = gt.size();
        if (nd == 0 || ng == 0) return PyList_New(0);
        std::vector<uint8_t> crowd;
        if (!arg(a[2], "iscrowd", crowd_from_py, &crowd)) return nullptr;
        if (dt.is_rles != gt.is_rles) {
            PyErr_SetString(PyExc_TypeError, kMixedKinds);
            return nullptr;
        }
        std::vector<double> out(nd * ng);
        if (dt.is_rles)
            zerlin::rle_iou(pointers(dt.rles), pointers(gt.rles), crowd, 0.0, out.data());
        else
            zerlin::box_iou(dt.boxes.data(), nd, gt.boxes.data(), ng, crowd, out.data());
        return array_from_vector(std::move(out), {npy_intp(nd), npy_intp(ng)}, NPY_DOUBLE);
    });
}

PyObject* fn_toBoundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"toBoundary()", {"rle_objs", "dilation_ratio"}, 1};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<Rle> rles;
        double ratio = 0.02;
        if (!arg(a[0], "rle_objs", rle_list_from_py, &rles)) return nullptr;
        if (a[1] && !arg(a[1], "dilation_ratio", to_f64, &ratio)) return nullptr;
        for (Rle& r : rles) r = zerlin::rle_boundary(r, ratio);
        return rle_list_to_py(rles);
    });
}

// ---------------------------------------------------------------- construction functions

PyObject* fn_frBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frBbox()", {"bb", "h", "w"}, 3};
    PyObject* a[3];
    uint32_t h, w;
    if (!parse_args(sig, args, nargs, kw, a) || !image_size(a, "h", "w", &h, &w)) return nullptr;
    return noted("bb", [&] { return from_boxes(a[0], h, w); });
}

PyObject* fn_frPoly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPoly()", {"poly", "h", "w"}, 3};
    PyObject* a[3];
    uint32_t h, w;
    if (!parse_args(sig, args, nargs, kw, a) || !image_size(a, "h", "w", &h, &w)) return nullptr;
    return noted("poly", [&] { return from_polygons(a[0], h, w); });
}

PyObject* fn_frUncompressedRLE(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frUncompressedRLE()", {"uc", "_h", "_w"}, 3};
    PyObject* a[3];
    uint32_t h, w;  // converted for their errors only: each RLE carries its own size
    if (!parse_args(sig, args, nargs, kw, a) || !image_size(a, "_h", "_w", &h, &w, false)) return nullptr;
    return noted("uc", [&] { return from_uncompressed(a[0]); });
}

PyObject* fn_frPyObjects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPyObjects()", {"obj", "h", "w"}, 3};
    PyObject* a[3];
    uint32_t h, w;
    if (!parse_args(sig, args, nargs, kw, a) || !image_size(a, "h", "w", &h, &w)) return nullptr;
    return noted("obj", [&] { return from_py_objects(a[0], h, w); });
}

}  // namespace zpy
