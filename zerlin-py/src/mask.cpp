// Mask functions: RLE objects and NumPy arrays in, RLE objects and arrays out.
// They run on the calling thread and keep the interpreter lock: each call is
// short and works on the caller's objects throughout.
#include "binding.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zerlin/hashmap.hpp"
#include "zerlin/rle.hpp"

namespace zpy {

namespace {

using zerlin::Rle;

constexpr const char* kNotRleDict = "expected an RLE dict with 'size' and 'counts'";
constexpr const char* kNoSize = "RLE dict is missing 'size'";
constexpr const char* kNoCounts = "RLE dict is missing 'counts'";
constexpr const char* kBadSize = "RLE 'size' must be [h, w]";
constexpr const char* kBadCounts = "RLE 'counts' must be bytes, str, or a list of ints";
constexpr const char* kCutCounts = "Invalid RLE mask representation: 'counts' ends inside a run";
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
        throw_python_error_already_set();
    }
    return &k;
}

// ---------------------------------------------------------------- output

// {'size': [h, w], 'counts': compressed bytes}; `buf` is reused between calls.
PyObject* rle_to_py(const Rle& r, std::string& buf) {
    const MaskKeys* k = mask_keys();
    zerlin::rle_to_string_into(r, buf);
    Ref size(check(Py_BuildValue("[kk]", static_cast<unsigned long>(r.h), static_cast<unsigned long>(r.w))));
    Ref counts(check(PyBytes_FromStringAndSize(buf.data(), Py_ssize_t(buf.size()))));
    Ref d(check(PyDict_New()));
    check_status(PyDict_SetItem(d.get(), k->size, size.get()));
    check_status(PyDict_SetItem(d.get(), k->counts, counts.get()));
    return d.release();
}

PyObject* rle_list_to_py(const std::vector<Rle>& rles) {
    Ref list(check(PyList_New(Py_ssize_t(rles.size()))));
    std::string buf;
    for (size_t i = 0; i < rles.size(); ++i) {
        zerlin::check_cancelled();
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), rle_to_py(rles[i], buf));
    }
    return list.release();
}

// ---------------------------------------------------------------- input

// Calls fn(item) for every item of an iterable, in order.
template <class F>
void for_each_item(PyObject* o, F&& fn) {
    Ref it(check(PyObject_GetIter(o)));
    for (;;) {
        PyObject* item;
        if (check_status(PyIter_NextItem(it.get(), &item)) == 0) return;
        Ref hold(item);
        zerlin::check_cancelled();  // the check point of every conversion of a list
        fn(item);
    }
}

// Every item of an iterable, in order.
void collect_items(PyObject* o, std::vector<Ref>* items) {
    for_each_item(o, [&](PyObject* item) { items->push_back(Ref::borrow(item)); });
}

// Runs fn(); any failure of a Python or core conversion is replaced by
// `kind` with `message` (the item's own error is dropped).
template <class F>
void replacing_failure(zerlin::ErrorKind kind, const char* message, F&& fn) {
    try {
        fn();
    } catch (const PythonErrorAlreadySet&) {
        PyErr_Clear();
        throw zerlin::Error(kind, message);
    } catch (const zerlin::Error&) {
        throw zerlin::Error(kind, message);
    }
}

// d[key] as a new reference; ValueError `missing` when absent.
Ref required_key(PyObject* d, PyObject* key, const char* missing) {
    PyObject* v;
    if (check_status(PyDict_GetItemRef(d, key, &v)) == 0) zerlin::throw_value(missing);
    return Ref(v);
}

// Run lengths as a sequence of ints in 0 .. 2^32 - 1.
void to_runs(PyObject* o, std::vector<uint32_t>* out) {
    to_vec(o, out, &to_u32);
}

// The text of a bytes or str object holding a compressed counts string.
std::string_view counts_text(PyObject* counts) {
    char* s;
    Py_ssize_t n;
    if (PyBytes_Check(counts)) {
        check_status(PyBytes_AsStringAndSize(counts, &s, &n));
    } else {
        const char* u = PyUnicode_AsUTF8AndSize(counts, &n);
        if (!u) throw_python_error_already_set();
        s = const_cast<char*>(u);
    }
    return std::string_view(s, size_t(n));
}

// One RLE object: 'counts' as compressed bytes, str, or a list of runs. A
// mask of 2^32 pixels or more, which 32-bit pixel indices would wrap, is
// refused with OverflowError. Sets out's size; runs given as a list go into
// out->counts, while compressed counts are returned as their text (in the
// object `text_owner` then holds), not decoded.
std::string_view rle_parts_from_py(PyObject* o, Rle* out, Ref* text_owner) {
    const MaskKeys* k = mask_keys();
    if (!PyDict_Check(o)) zerlin::throw_type(kNotRleDict);
    std::vector<uint64_t> hw;
    to_vec_u64(required_key(o, k->size, kNoSize).get(), &hw);
    if (hw.size() != 2) zerlin::throw_value(kBadSize);
    Ref counts = required_key(o, k->counts, kNoCounts);
    out->h = uint32_t(hw[0]);
    out->w = uint32_t(hw[1]);
    zerlin::require_mask_size(out->h, out->w);
    if (PyBytes_Check(counts.get()) || PyUnicode_Check(counts.get())) {
        const std::string_view text = counts_text(counts.get());
        // A last byte that says "more follows" would have the decoder read
        // past the string; every reading of runs refuses it here, at once.
        if (!text.empty() && (uint8_t(uint8_t(text.back()) - 48) & 32)) zerlin::throw_value(kCutCounts);
        *text_owner = std::move(counts);
        return text;
    }
    replacing_failure(zerlin::ErrorKind::Type, kBadCounts, [&] { to_runs(counts.get(), &out->counts); });
    return {};
}

void rle_from_py(PyObject* o, Rle* out) {
    Ref owner;
    const std::string_view text = rle_parts_from_py(o, out, &owner);
    if (owner) *out = zerlin::rle_from_string(text, out->h, out->w, false);
}

// Areas (and boxes, when asked) of a list of RLE objects, each taken from
// its compressed counts as they are read: no object's runs are kept, so a
// list of huge masks needs no more memory than its objects.
struct AreasAndBoxes {
    bool with_boxes = false;
    std::vector<uint32_t> areas;
    std::vector<double> boxes;
};

void areas_and_boxes_from_py(PyObject* o, AreasAndBoxes* out) {
    for_each_item(o, [&](PyObject* item) {
        Rle r;
        Ref owner;
        const std::string_view text = rle_parts_from_py(item, &r, &owner);
        double box[4];
        if (owner && out->with_boxes)
            out->areas.push_back(zerlin::rle_string_area_and_box(text, r.h, r.w, false, box));
        else
            out->areas.push_back(owner ? zerlin::rle_string_area(text, false) : zerlin::rle_area(r));
        if (!out->with_boxes) return;
        if (!owner) zerlin::rle_to_bbox(r, box);
        out->boxes.insert(out->boxes.end(), box, box + 4);
    });
}

void rle_list_from_py(PyObject* o, std::vector<Rle>* out) {
    for_each_item(o, [&](PyObject* item) {
        out->emplace_back();
        rle_from_py(item, &out->back());
    });
}

// An uncompressed RLE dict: 'counts' must be the runs themselves.
void uncompressed_from_py(PyObject* o, Rle* out) {
    const MaskKeys* k = mask_keys();
    if (!PyDict_Check(o)) zerlin::throw_type("expected uncompressed RLE dicts");
    std::vector<uint64_t> hw;
    to_vec_u64(required_key(o, k->size, kNoSize).get(), &hw);
    to_runs(required_key(o, k->counts, kNoCounts).get(), &out->counts);
    if (hw.size() < 2) zerlin::throw_value(kBadSize);  // entries past the second are ignored
    out->h = uint32_t(hw[0]);
    out->w = uint32_t(hw[1]);
    zerlin::require_mask_size(out->h, out->w);
}

// Detections or ground truths of iou(), or the boxes of frBbox(): either a
// box list (4 doubles each) or a list of masks.
struct BoxesOrRles {
    bool is_rles = false;
    std::vector<double> boxes;
    std::vector<Rle> rles;
    // Masks of huge compressed counts stay compressed (rles[i] then holds
    // only the size), viewing the text of the objects in `owners`.
    std::unordered_map<size_t, zerlin::PackedRle> packed;
    std::vector<Ref> owners;
    size_t size() const { return is_rles ? rles.size() : boxes.size() / 4; }
    std::vector<zerlin::MaskRef> refs() const {
        std::vector<zerlin::MaskRef> r(rles.size());
        for (size_t i = 0; i < r.size(); ++i) r[i].rle = &rles[i];
        for (const auto& [i, p] : packed) r[i].packed = &p;
        return r;
    }
};

void boxes_from_f64_array(PyObject* o, std::vector<double>* boxes) {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 4) zerlin::throw_value(kBadBoxArray);
    // Native byte order and alignment; the same array when it already is.
    Ref native(check(PyArray_FROM_OTF(o, NPY_DOUBLE, NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED)));
    auto* b = reinterpret_cast<PyArrayObject*>(native.get());
    const npy_intp n = PyArray_DIM(b, 0), s0 = PyArray_STRIDE(b, 0), s1 = PyArray_STRIDE(b, 1);
    const char* base = PyArray_BYTES(b);
    boxes->resize(size_t(n) * 4);
    for (npy_intp i = 0; i < n; ++i)
        for (npy_intp j = 0; j < 4; ++j)
            (*boxes)[size_t(4 * i + j)] = *reinterpret_cast<const double*>(base + i * s0 + j * s1);
}

void boxes_or_rles_from_py(PyObject* o, BoxesOrRles* out) {
    if (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) == NPY_DOUBLE)
        return boxes_from_f64_array(o, &out->boxes);
    std::vector<Ref> items;
    collect_items(o, &items);
    if (items.empty()) return;
    if (PyDict_Check(items[0].get())) {
        out->is_rles = true;
        out->rles.resize(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            zerlin::check_cancelled();
            Rle& r = out->rles[i];
            Ref owner;
            const std::string_view text = rle_parts_from_py(items[i].get(), &r, &owner);
            if (!owner) continue;
            if (text.size() < zerlin::kPackedMaskBytes) {
                r = zerlin::rle_from_string(text, r.h, r.w, false);
                continue;
            }
            out->packed.emplace(i, zerlin::pack_rle(text, r.h, r.w));
            out->owners.push_back(std::move(owner));
        }
        return;
    }
    out->boxes.resize(items.size() * 4);
    for (size_t i = 0; i < items.size(); ++i) {
        zerlin::check_cancelled();
        replacing_failure(zerlin::ErrorKind::Value, kBadBoxList,
                          [&] { to_fixed_f64(items[i].get(), 4, &out->boxes[4 * i]); });
    }
}

// Crowd flags: each item through the integer conversion, low 8 bits kept.
void crowd_from_py(PyObject* o, std::vector<uint8_t>* out) {
    for_each_item(o, [&](PyObject* item) {
        Ref index(check(PyNumber_Index(item)));
        const unsigned long long v = PyLong_AsUnsignedLongLongMask(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error_already_set();
        out->push_back(uint8_t(v));
    });
}

std::vector<const Rle*> pointers(const std::vector<Rle>& rles) {
    std::vector<const Rle*> p;
    p.reserve(rles.size());
    for (const Rle& r : rles) p.push_back(&r);
    return p;
}

// ---------------------------------------------------------------- construction

// Box list for frBbox(): an RLE list is refused.
void boxes_only(PyObject* bb, std::vector<double>* boxes) {
    BoxesOrRles x;
    boxes_or_rles_from_py(bb, &x);
    if (x.is_rles) zerlin::throw_type("expected bounding boxes");
    boxes->swap(x.boxes);
}

PyObject* rles_of_boxes(const std::vector<double>& boxes, uint32_t h, uint32_t w) {
    zerlin::RasterScratch scratch;
    std::vector<Rle> out(boxes.size() / 4);
    for (size_t i = 0; i < out.size(); ++i) {
        zerlin::check_cancelled();
        out[i] = zerlin::rle_from_bbox(&boxes[4 * i], h, w, scratch);
    }
    return rle_list_to_py(out);
}

// frBbox / frPoly / frUncompressedRLE on an already converted h and w. Each
// returns a new list.
PyObject* from_boxes(PyObject* bb, uint32_t h, uint32_t w) {
    std::vector<double> boxes;
    boxes_only(bb, &boxes);
    return rles_of_boxes(boxes, h, w);
}

PyObject* from_polygons(PyObject* poly, uint32_t h, uint32_t w) {
    zerlin::RasterScratch scratch;
    std::vector<Rle> out;
    std::vector<double> xy;
    for_each_item(poly, [&](PyObject* item) {
        to_vec_f64(item, &xy);
        out.push_back(zerlin::rle_from_polygon(xy, h, w, scratch));
    });
    return rle_list_to_py(out);
}

PyObject* from_uncompressed(PyObject* uc) {
    std::vector<Rle> out;
    for_each_item(uc, [&](PyObject* item) {
        out.emplace_back();
        uncompressed_from_py(item, &out.back());
    });
    return rle_list_to_py(out);
}

// Dict holding both 'counts' and 'size' (membership tests in that order).
bool is_rle_dict(PyObject* o) {
    const MaskKeys* k = mask_keys();
    return PyDict_Check(o) && check_status(PySequence_Contains(o, k->counts)) &&
           check_status(PySequence_Contains(o, k->size));
}

// Whether `o` converts to a float; its conversion error, if any, is dropped.
bool converts_to_float(PyObject* o) {
    if (PyFloat_Check(o) || PyFloat_AsDouble(o) != -1.0 || !PyErr_Occurred()) return true;
    PyErr_Clear();
    return false;
}

PyObject* from_py_objects(PyObject* obj, uint32_t h, uint32_t w) {
    if (PyArray_Check(obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) == NPY_DOUBLE)
        return from_boxes(obj, h, w);
    if (PyDict_Check(obj)) {
        if (!is_rle_dict(obj)) zerlin::throw_type("input type is not supported.");
        Rle rle;
        uncompressed_from_py(obj, &rle);
        std::string buf;
        return rle_to_py(rle, buf);
    }
    // The first item decides the kind of the whole input. The items are kept
    // in a list so that the chosen conversion can read them again, even when
    // `obj` is a one-shot iterator.
    std::vector<Ref> items;
    collect_items(obj, &items);
    if (items.empty()) return check(PyList_New(0));
    Ref list(check(PyList_New(Py_ssize_t(items.size()))));
    for (size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
    PyObject* first = PyList_GET_ITEM(list.get(), 0);

    if (is_rle_dict(first)) return from_uncompressed(list.get());
    if (converts_to_float(first)) {
        // One flat coordinate list: a box when it has 4 values.
        std::vector<double> xy;
        to_vec_f64(list.get(), &xy);
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
    const Py_ssize_t len = PyObject_Size(first);
    if (len < 0) throw_python_error_already_set();
    return len == 4 ? from_boxes(list.get(), h, w) : from_polygons(list.get(), h, w);
}

// Copies n strided h x w rasters into consecutive column-major rasters.
// Tiles keep the source rows a tile reads in cache while it is written.
void gather_column_major(const uint8_t* src, npy_intp h, npy_intp w, npy_intp n, npy_intp s0, npy_intp s1, npy_intp s2,
                         uint8_t* dst) {
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

// The construction functions: arguments (geometry, h, w), h before w
// converted first (`checked` refuses a size of 2^32 pixels or more), then
// from(geometry, h, w), whose failure gets the geometry's note.
template <class F>
PyObject* construction(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw, bool checked,
                       F&& from) {
    return guarded([&] {
        PyObject* a[3];
        parse_args(sig, args, nargs, kw, a);
        uint32_t h, w;
        arg(a[1], sig.names[1], to_u32, &h);
        arg(a[2], sig.names[2], to_u32, &w);
        if (checked) with_note(sig.names[2], [&] { zerlin::require_mask_size(h, w); });
        return with_note(sig.names[0], [&] { return from(a[0], h, w); });
    });
}

// The RLE objects of a one-argument function's 'rle_objs'.
std::vector<Rle> rle_objs_arg(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    PyObject* a[1];
    parse_args(sig, args, nargs, kw, a);
    std::vector<Rle> rles;
    arg(a[0], "rle_objs", rle_list_from_py, &rles);
    return rles;
}

// The text of compressed counts (bytes, bytearray or str), else nullopt.
std::optional<std::string_view> compressed_text(PyObject* counts) {
    if (PyByteArray_Check(counts))
        return std::string_view(PyByteArray_AS_STRING(counts), size_t(PyByteArray_GET_SIZE(counts)));
    if (PyBytes_Check(counts) || PyUnicode_Check(counts)) return counts_text(counts);
    return std::nullopt;
}

// h * w of a size given as a list or tuple of two or more ints, each in
// [0, 2^32]; nullopt for any other size (its product is left to Python).
std::optional<uint64_t> plain_pixels(PyObject* size) {
    if (!(PyList_Check(size) || PyTuple_Check(size)) || PySequence_Fast_GET_SIZE(size) < 2) return std::nullopt;
    uint64_t hw[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* side = PySequence_Fast_GET_ITEM(size, i);
        if (!PyLong_CheckExact(side)) return std::nullopt;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(side, &overflow);
        if (overflow != 0 || v < 0 || v > (1LL << 32)) return std::nullopt;
        hw[i] = uint64_t(v);
    }
    return hw[0] * hw[1];
}

// Where a list of RLE objects needs a check of its runs against h*w done in
// Python (the check itself: vantorel.compat.mask._check_runs): from `start`
// on, the first RLE dict whose compressed runs are unsound, overrun h*w or
// (with `whole`) fall short of it, as (index, total, sound); or whose counts
// are a list of runs, as (index, None, None); a size other than two ints also
// leaves the compressed verdict to Python. None when no item needs Python.
// With `pixels`, every item is judged against that h*w instead of its own:
// decode writes each mask into the first one's size.
// Each counts object is read once (lists repeat masks).
PyObject* first_run_fault(PyObject* list, bool whole, Py_ssize_t start, std::optional<uint64_t> pixels_of_all) {
    const MaskKeys* k = mask_keys();
    zerlin::HashMap<int64_t, zerlin::RunTotal> seen;
    std::vector<Ref> held;  // the counts objects whose addresses key `seen`
    // The list is read again at every item: a dict's own methods may change it.
    for (Py_ssize_t i = std::max<Py_ssize_t>(start, 0); i < PyList_GET_SIZE(list); ++i) {
        zerlin::check_cancelled();
        const Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        if (!is_rle_dict(item.get())) continue;
        Ref counts(check(PyObject_GetItem(item.get(), k->counts)));
        const std::optional<std::string_view> text = compressed_text(counts.get());
        if (!text) {
            if (PyList_Check(counts.get()) || PyTuple_Check(counts.get()) || PyArray_Check(counts.get()))
                return check(Py_BuildValue("(nOO)", i, Py_None, Py_None));
            continue;  // no counts at all: the mask function says what is wrong
        }
        const int64_t key = int64_t(reinterpret_cast<intptr_t>(counts.get()));
        const zerlin::RunTotal runs =
            *seen.find_or_insert(key, [&] { return zerlin::rle_string_run_total(*text); }).first;
        held.push_back(std::move(counts));
        const Ref size(check(PyObject_GetItem(item.get(), k->size)));
        const std::optional<uint64_t> pixels = pixels_of_all ? pixels_of_all : plain_pixels(size.get());
        if (!pixels || !runs.sound || runs.total > *pixels || (whole && runs.total < *pixels))
            return check(Py_BuildValue("(nKO)", i, static_cast<unsigned long long>(runs.total),
                                       runs.sound ? Py_True : Py_False));
    }
    Py_RETURN_NONE;
}

}  // namespace

// ---------------------------------------------------------------- mask functions

PyObject* fn_run_fault(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"run_fault()", {"rle_objs", "whole", "start", "pixels"}, 2};
        PyObject* a[4];
        parse_args(sig, args, nargs, kw, a);
        if (!PyList_Check(a[0])) zerlin::throw_type("run_fault() takes a list of RLE objects");
        bool whole = false;
        int64_t start = 0;
        std::optional<uint64_t> pixels;
        arg(a[1], "whole", to_bool, &whole);
        if (a[2]) arg(a[2], "start", to_i64, &start);
        if (a[3] && a[3] != Py_None) arg(a[3], "pixels", to_u64, &pixels.emplace());
        return first_run_fault(a[0], whole, Py_ssize_t(std::clamp<int64_t>(start, 0, PY_SSIZE_T_MAX)), pixels);
    });
}

PyObject* fn_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"encode()", {"mask"}, 1};
        PyObject* a[1];
        PyArrayObject* arr;
        parse_args(sig, args, nargs, kw, a);
        arg(a[0], "mask", to_array<NPY_UINT8>, &arr);
        if (PyArray_NDIM(arr) != 3) zerlin::throw_value("mask must be a 3-D (h, w, n) uint8 array");
        const npy_intp h = PyArray_DIM(arr, 0), w = PyArray_DIM(arr, 1), n = PyArray_DIM(arr, 2);
        if (h > npy_intp(UINT32_MAX) || w > npy_intp(UINT32_MAX))
            throw zerlin::Error(zerlin::ErrorKind::Overflow, "out of range integral type conversion attempted");
        zerlin::require_mask_size(uint64_t(h), uint64_t(w));
        const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1), s2 = PyArray_STRIDE(arr, 2);
        // Masks whose pixels are column-major contiguous are read in place;
        // others are first gathered into column-major buffers.
        const bool in_place = (h <= 1 || s0 == 1) && (w <= 1 || s1 == h);
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
        Ref list(check(PyList_New(n)));
        std::string buf;
        for (npy_intp i = 0; i < n; ++i) {
            zerlin::check_cancelled();
            const Rle r = zerlin::rle_from_mask(base + i * step, pixels, uint32_t(h), uint32_t(w));
            PyList_SET_ITEM(list.get(), i, rle_to_py(r, buf));
        }
        return list.release();
    });
}

PyObject* fn_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"decode()", {"rle_objs"}, 1};
        const std::vector<Rle> rles = rle_objs_arg(sig, args, nargs, kw);
        if (rles.empty()) throw zerlin::Error(zerlin::ErrorKind::Index, "decode() needs at least one RLE");
        // Every mask is decoded with the first one's size.
        const uint32_t h = rles[0].h, w = rles[0].w;
        // Each size is below 2^32 pixels (checked on reading), so the total
        // fits 64 bits.
        const uint64_t pixels = uint64_t(h) * w, total = pixels * rles.size();
        zerlin::require_memory(total, "the decoded masks");
        std::vector<uint8_t> raster(size_t(total), 0);
        for (size_t i = 0; i < rles.size(); ++i) {
            zerlin::check_cancelled();
            zerlin::rle_decode_into(rles[i], raster.data() + i * pixels, pixels);
        }
        return array_from_vector(std::move(raster), {npy_intp(h), npy_intp(w), npy_intp(rles.size())}, NPY_UINT8, true);
    });
}

PyObject* fn_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"merge()", {"rle_objs", "intersect"}, 1};
        PyObject* a[2];
        parse_args(sig, args, nargs, kw, a);
        std::vector<Rle> rles;
        int64_t intersect = 0;
        arg(a[0], "rle_objs", rle_list_from_py, &rles);
        if (a[1]) arg(a[1], "intersect", to_i64, &intersect);
        const std::vector<const Rle*> p = pointers(rles);
        std::string buf;
        return rle_to_py(zerlin::rle_merge(p, intersect != 0), buf);
    });
}

PyObject* fn_area(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"area()", {"rle_objs"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        AreasAndBoxes r;
        arg(a[0], "rle_objs", areas_and_boxes_from_py, &r);
        const npy_intp n = npy_intp(r.areas.size());
        return array_from_vector(std::move(r.areas), {n}, NPY_UINT32);
    });
}

PyObject* fn_toBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"toBbox()", {"rle_objs"}, 1};
        PyObject* a[1];
        parse_args(sig, args, nargs, kw, a);
        AreasAndBoxes r;
        r.with_boxes = true;
        arg(a[0], "rle_objs", areas_and_boxes_from_py, &r);
        const npy_intp n = npy_intp(r.areas.size());
        return array_from_vector(std::move(r.boxes), {n, 4}, NPY_DOUBLE);
    });
}

PyObject* fn_iou(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"iou()", {"dt", "gt", "iscrowd"}, 3};
        PyObject* a[3];
        parse_args(sig, args, nargs, kw, a);
        BoxesOrRles dt, gt;
        arg(a[0], "dt", boxes_or_rles_from_py, &dt);
        arg(a[1], "gt", boxes_or_rles_from_py, &gt);
        const size_t nd = dt.size(), ng = gt.size();
        if (nd == 0 || ng == 0) return check(PyList_New(0));
        std::vector<uint8_t> crowd;
        arg(a[2], "iscrowd", crowd_from_py, &crowd);
        if (dt.is_rles != gt.is_rles) zerlin::throw_type(kMixedKinds);
        std::vector<double> out(nd * ng);
        // Both sides are held in vectors or in immutable bytes/str objects
        // kept alive by `owners`: the computation touches no Python object.
        {
            const NoGil released;
            if (dt.is_rles)
                zerlin::rle_iou(std::span<const zerlin::MaskRef>(dt.refs()),
                                std::span<const zerlin::MaskRef>(gt.refs()), crowd, 0.0, out.data());
            else
                zerlin::box_iou(dt.boxes.data(), nd, gt.boxes.data(), ng, crowd, out.data());
        }
        return array_from_vector(std::move(out), {npy_intp(nd), npy_intp(ng)}, NPY_DOUBLE);
    });
}

PyObject* fn_toBoundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"toBoundary()", {"rle_objs", "dilation_ratio"}, 1};
        PyObject* a[2];
        parse_args(sig, args, nargs, kw, a);
        std::vector<Rle> rles;
        double ratio = 0.02;
        arg(a[0], "rle_objs", rle_list_from_py, &rles);
        if (a[1]) arg(a[1], "dilation_ratio", to_f64, &ratio);
        for (Rle& r : rles) {
            zerlin::check_cancelled();
            r = zerlin::rle_boundary(r, ratio);
        }
        return rle_list_to_py(rles);
    });
}

// ---------------------------------------------------------------- construction functions

PyObject* fn_frBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frBbox()", {"bb", "h", "w"}, 3};
    return construction(sig, args, nargs, kw, true, from_boxes);
}

PyObject* fn_frPoly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPoly()", {"poly", "h", "w"}, 3};
    return construction(sig, args, nargs, kw, true, from_polygons);
}

PyObject* fn_frUncompressedRLE(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    // h and w are converted for their errors only: each RLE carries its own size.
    static const Signature sig{"frUncompressedRLE()", {"uc", "_h", "_w"}, 3};
    return construction(sig, args, nargs, kw, false,
                        [](PyObject* uc, uint32_t, uint32_t) { return from_uncompressed(uc); });
}

PyObject* fn_frPyObjects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPyObjects()", {"obj", "h", "w"}, 3};
    return construction(sig, args, nargs, kw, true, from_py_objects);
}

}  // namespace zpy
