// The Evaluator class: annotation lists in, evaluation arrays out.
#include "binding.hpp"
#include "compact_handle.hpp"
#include "eval_records.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <optional>
#include <span>

#include "zerlin/eval.hpp"
#include "zerlin/federated.hpp"
#include "zerlin/group.hpp"
#include "zerlin/handle_side.hpp"
#include "zerlin/hashmap.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/side_builder.hpp"
#include "zerlin/text.hpp"

namespace zpy {

namespace {

// configure_lvis changes the engine, so it borrows it exclusively; the other
// methods share it (and run without the interpreter lock).
struct EvaluatorObject {
    PyObject_HEAD BorrowFlag borrow;
    std::unique_ptr<zerlin::Engine> engine;
    PyObject* held;  // list of the strings whose text the engine borrows (see mask_job)
};

EvaluatorObject* as_evaluator(PyObject* self) {
    return reinterpret_cast<EvaluatorObject*>(self);
}

const Signature kNew{"Evaluator.__new__()",
                     {"gt_anns",         "dt_anns",       "img_sizes",         "img_ids",           "cat_ids",
                      "iou_thrs",        "rec_thrs",      "max_dets",          "area_rng",          "use_cats",
                      "iou_type",        "kpt_sigmas",    "use_area",          "boundary_dilation", "range_by_image",
                      "ranges_by_scale", "skip_unscored", "visibility_ignore", "keypoint_parts",    "part_score"},
                     12};
constexpr std::size_t kArgCount = 20;
const Signature kRun{"Evaluator.run()", {"collect_eval_imgs"}, 0};
const Signature kTimings{"Evaluator.timings()", {}, 0};
const Signature kScoreFallbacks{"Evaluator.score_fallbacks()", {}, 0};
const Signature kPerInstance{"Evaluator.per_instance()", {"t_idx", "a_idx", "max_det"}, 0};
const Signature kConfigureLvis{"Evaluator.configure_lvis()", {"gt_ignore", "non_exhaustive", "preserve_crowds"}, 2};

// ---------------------------------------------------------------- parameters

using zerlin::ImageSizes;
using zerlin::Lookups;
using zerlin::PositionTable;

void to_img_sizes(PyObject* o, ImageSizes* out) {
    check_dict(o);
    // The items are taken first, as new references: converting a key or a
    // size may run Python code (__index__) that changes the dict.
    Ref items(check(PyDict_Items(o)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);  // a (key, value) tuple the list holds
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        int64_t id;
        uint32_t h, w;
        to_i64(PyTuple_GET_ITEM(item, 0), &id);
        check_tuple(value, 2);
        to_u32(PyTuple_GET_ITEM(value, 0), &h);
        to_u32(PyTuple_GET_ITEM(value, 1), &w);
        *out->insert(id, {h, w}).first = {h, w};
    }
}

void to_area_rng(PyObject* o, std::vector<std::array<double, 2>>* out) {
    to_vec(o, out, [](PyObject* item, std::array<double, 2>* v) { to_fixed_f64(item, 2, v->data()); });
}

void to_pairs(PyObject* o, std::vector<std::pair<int64_t, int64_t>>* out) {
    to_vec(o, out, [](PyObject* item, std::pair<int64_t, int64_t>* v) {
        check_tuple(item, 2);
        to_i64(PyTuple_GET_ITEM(item, 0), &v->first);
        to_i64(PyTuple_GET_ITEM(item, 1), &v->second);
    });
}

// COCO-WholeBody's list and score names, in KeypointPart and PartScore order.
constexpr const char* kPartListNames[] = {"keypoints", "foot_kpts", "face_kpts", "lefthand_kpts", "righthand_kpts"};
constexpr const char* kPartScoreNames[] = {"foot_score", "face_score", "lefthand_score", "righthand_score",
                                           "wholebody_score"};

template <class E, std::size_t N>
E named_enum(PyObject* o, const char* const (&names)[N], const char* what) {
    std::string name;
    to_str(o, &name);
    std::string choices;
    for (std::size_t k = 0; k < N; ++k) {
        if (name == names[k]) return E(k);
        choices += (k ? ", " : "") + std::string(names[k]);
    }
    throw zerlin::Error(zerlin::ErrorKind::Value,
                        std::string(what) + " must be one of " + choices + "; got " + zerlin::quote_literal(name));
}

void to_keypoint_parts(PyObject* o, std::vector<zerlin::KeypointPart>* out) {
    to_vec(o, out, [](PyObject* item, zerlin::KeypointPart* v) {
        *v = named_enum<zerlin::KeypointPart>(item, kPartListNames, "each of keypoint_parts");
    });
}

void to_part_score(PyObject* o, std::optional<zerlin::PartScore>* out) {
    *out = named_enum<zerlin::PartScore>(o, kPartScoreNames, "part_score");
}

bool parse_iou_type(const std::string& s, zerlin::IouKind* kind) {
    if (s == "segm")
        *kind = zerlin::IouKind::Segm;
    else if (s == "bbox")
        *kind = zerlin::IouKind::Bbox;
    else if (s == "keypoints" || s == "keypoints_crowd")
        *kind = zerlin::IouKind::Keypoints;
    else if (s == "boundary")
        *kind = zerlin::IouKind::Boundary;
    else
        return false;
    return true;
}

// ---------------------------------------------------------------- record conversion

// The eleven annotation keys, interned once per construction, and
// COCO-WholeBody's part lists and scores (KeypointPart and PartScore order).
struct AnnKeys {
    Ref id, image_id, category_id, score, bbox, area, iscrowd, num_keypoints, keypoints, segmentation, counts;
    Ref part_lists[zerlin::kKeypointPartCount], part_scores[zerlin::kPartScoreCount];
    AnnKeys() {
        intern_all({&id, &image_id, &category_id, &score, &bbox, &area, &iscrowd, &num_keypoints, &keypoints,
                    &segmentation, &counts},
                   {"id", "image_id", "category_id", "score", "bbox", "area", "iscrowd", "num_keypoints", "keypoints",
                    "segmentation", "counts"});
        intern_all({&part_lists[0], &part_lists[1], &part_lists[2], &part_lists[3], &part_lists[4]},
                   {"keypoints", "foot_kpts", "face_kpts", "lefthand_kpts", "righthand_kpts"});
        intern_all({&part_scores[0], &part_scores[1], &part_scores[2], &part_scores[3], &part_scores[4]},
                   {"foot_score", "face_score", "lefthand_score", "righthand_score", "wholebody_score"});
    }
};

// Which keypoint lists an evaluation joins, and which score ranks its results.
struct KeypointKeys {
    std::vector<const Ref*> lists;
    const Ref* part_score = nullptr;
    KeypointKeys(const AnnKeys& keys, const zerlin::EvalParams& p) {
        for (zerlin::KeypointPart part : p.keypoint_parts) lists.push_back(&keys.part_lists[std::size_t(part)]);
        if (lists.empty()) lists.push_back(&keys.keypoints);
        if (p.part_score) part_score = &keys.part_scores[std::size_t(*p.part_score)];
    }
};

// The value under `key`, or an empty Ref when absent or None.
Ref lookup(PyObject* d, const Ref& key) {
    PyObject* v;
    if (PyDict_GetItemRef(d, key.get(), &v) < 0) throw_python_error_already_set();
    Ref r(v);
    if (r.get() == Py_None) r.reset();
    return r;
}

// Ids are 64-bit everywhere (C long is 32-bit on Windows; COCO crowd ids
// reach about 9e11).
bool read_int(PyObject* d, const Ref& key, std::int64_t* out) {
    Ref v = lookup(d, key);
    if (!v) return false;
    long long x = PyLong_AsLongLong(v.get());
    if (x == -1 && PyErr_Occurred()) throw_python_error_already_set();
    *out = x;
    return true;
}

bool read_float(PyObject* d, const Ref& key, double* out) {
    Ref v = lookup(d, key);
    if (!v) return false;
    to_f64(v.get(), out);
    return true;
}

// Item j of a list as a float. Exact floats and ints are read in place (that
// runs no Python code); anything else is held while it converts, since its
// conversion may change the list. Throws with IndexError past the end.
inline double list_float(PyObject* list, Py_ssize_t j) {
    if (j >= PyList_GET_SIZE(list)) throw zerlin::Error(zerlin::ErrorKind::Index, "list index out of range");
    PyObject* item = PyList_GET_ITEM(list, j);
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    double v;
    if (PyLong_CheckExact(item)) {
        v = PyLong_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) throw_python_error_already_set();
        return v;
    }
    Ref hold = Ref::borrow(item);
    to_f64(item, &v);
    return v;
}

void read_bbox(PyObject* d, const Ref& key, double out[4]) {
    Ref v = lookup(d, key);
    if (!v) {
        out[0] = out[1] = out[2] = out[3] = 0.0;
        return;
    }
    if (PyList_Check(v.get()) && PyList_GET_SIZE(v.get()) == 4) {
        for (Py_ssize_t j = 0; j < 4; ++j) out[j] = list_float(v.get(), j);
        return;
    }
    std::vector<double> values;
    to_vec_f64(v.get(), &values);
    if (values.size() != 4) throw zerlin::Error(zerlin::ErrorKind::Value, "'bbox' must have 4 entries");
    std::copy_n(values.data(), 4, out);
}

// Reads the sequence `o` as floats into `out` (appending): lists item by
// item, anything else through the general sequence conversion.
void append_floats(PyObject* o, std::vector<double>& out, std::vector<double>& tmp) {
    if (PyList_Check(o)) {
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(o); ++j) out.push_back(list_float(o, j));
        return;
    }
    to_vec_f64(o, &tmp);
    out.insert(out.end(), tmp.begin(), tmp.end());
}

// Compressed counts at `text`, the contents of the str or bytes object
// `owner`. A huge string is borrowed rather than copied: its text is
// immutable, and `held` keeps it alive for as long as the records.
zerlin::CompressedCounts compressed_counts(PyObject* owner, const char* text, std::size_t n, PyObject* held) {
    zerlin::CompressedCounts c;
    if (n >= zerlin::kPackedMaskBytes) {
        check_status(PyList_Append(held, owner));
        c.borrowed = std::string_view(text, n);
    } else {
        c.bytes.assign(text, n);
    }
    return c;
}

// The mask job of one row: its image's size and its segmentation.
zerlin::MaskJob mask_job(PyObject* ann, std::int64_t image_id, const double box[4], const Lookups& lk,
                         const AnnKeys& keys, PyObject* held, std::vector<double>& tmp) {
    const auto* size = lk.sizes.find(image_id);
    if (!size) {
        std::string msg = "no image entry for image_id " + std::to_string(image_id);
        throw zerlin::Error(zerlin::ErrorKind::Key, msg);
    }
    zerlin::MaskJob job;
    job.h = size->first;
    job.w = size->second;
    Ref seg = lookup(ann, keys.segmentation);
    if (!seg) {
        zerlin::BoxGeom g;
        std::copy_n(box, 4, g.box);
        job.geometry = g;
    } else if (PyDict_Check(seg.get())) {
        PyObject* counts;
        if (PyDict_GetItemRef(seg.get(), keys.counts.get(), &counts) < 0) throw_python_error_already_set();
        if (!counts) throw zerlin::Error(zerlin::ErrorKind::Value, "RLE segmentation is missing 'counts'");
        Ref hold(counts);
        if (PyBytes_Check(counts)) {
            job.geometry =
                compressed_counts(counts, PyBytes_AS_STRING(counts), std::size_t(PyBytes_GET_SIZE(counts)), held);
        } else if (PyUnicode_Check(counts)) {
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(counts, &n);
            if (!text) throw_python_error_already_set();
            job.geometry = compressed_counts(counts, text, std::size_t(n), held);
        } else {
            zerlin::UncompressedCounts u;
            to_vec(counts, &u.runs, &to_u32);
            job.geometry = std::move(u);
        }
    } else {
        zerlin::Polygons poly;
        Ref it(check(PyObject_GetIter(seg.get())));
        for (;;) {
            PyObject* item;
            int r = PyIter_NextItem(it.get(), &item);
            if (r < 0) throw_python_error_already_set();
            if (r == 0) break;
            Ref ring(item);
            append_floats(item, poly.coords, tmp);
            poly.ends.push_back(uint32_t(poly.coords.size()));
        }
        job.geometry = std::move(poly);
    }
    return job;
}

// The row of annotation dict `ann` at list position `i` (box into `box`).
zerlin::AnnotationRow read_row(PyObject* ann, Py_ssize_t i, bool count_keypoints, const AnnKeys& keys, double box[4]) {
    std::int64_t image_id, category_id = -1, id = std::int64_t(i) + 1;
    if (!read_int(ann, keys.image_id, &image_id))
        throw zerlin::Error(zerlin::ErrorKind::Key, "annotation is missing 'image_id'");
    read_int(ann, keys.category_id, &category_id);
    read_int(ann, keys.id, &id);
    zerlin::AnnotationRow row;
    row.id = id;
    row.image_id = image_id;
    row.category_id = category_id;
    read_float(ann, keys.score, &row.score);
    read_bbox(ann, keys.bbox, box);
    row.box = box;
    if (!read_float(ann, keys.area, &row.area)) row.area = box[2] * box[3];
    std::int64_t crowd_value = 0;
    row.crowd = read_int(ann, keys.iscrowd, &crowd_value) && crowd_value != 0;
    std::int64_t nk = 0;
    row.no_keypoints = count_keypoints && (!read_int(ann, keys.num_keypoints, &nk) || nk == 0);
    return row;
}

// Appends the values of list-like `list` to `kp`.
void append_keypoint_values(PyObject* list, std::vector<double>& kp) {
    Py_ssize_t s = PyObject_Size(list);
    if (s < 0) throw_python_error_already_set();
    const std::size_t base = kp.size();
    kp.resize(base + std::size_t(s));
    const bool is_list = PyList_Check(list);
    for (Py_ssize_t m = 0; m < s; ++m) {
        double* out = &kp[base + std::size_t(m)];
        if (is_list) {
            *out = list_float(list, m);
            continue;
        }
        Ref index(check(PyLong_FromSsize_t(m)));
        Ref item(check(PyObject_GetItem(list, index.get())));
        to_f64(item.get(), out);
    }
}

// The keypoint lists of annotation dict `ann`, joined into `kp`; false when it has none.
bool read_keypoints(PyObject* ann, const KeypointKeys& keys, const zerlin::SideBuilder& rows, std::vector<double>& kp) {
    kp.clear();
    bool any = false;
    for (const Ref* key : keys.lists) {
        Ref list = lookup(ann, *key);
        if (!list) continue;
        any = true;
        append_keypoint_values(list.get(), kp);
    }
    if (any) rows.check_keypoint_length(kp.size());
    return any;
}

// One row per annotation dict of `list`, with the geometry the side's kind reads.
void convert_annotations(PyObject* list, bool is_gt, const Lookups& lk, const AnnKeys& keys,
                         const KeypointKeys& kp_keys, zerlin::GeometryKind kind, PyObject* held,
                         zerlin::SideBuilder& rows, std::size_t& score_fallbacks) {
    const bool keypoints = kind == zerlin::GeometryKind::Keypoints;
    const bool masks = kind == zerlin::GeometryKind::Masks || kind == zerlin::GeometryKind::BoundaryMasks;
    const Py_ssize_t start_len = PyList_GET_SIZE(list);
    rows.reserve(std::size_t(start_len));
    std::vector<double> kp, tmp;
    for (Py_ssize_t i = 0; i < start_len && i < PyList_GET_SIZE(list); ++i) {
        zerlin::check_cancelled();
        Ref d(PyList_GetItemRef(list, i));
        if (!d) throw_python_error_already_set();
        PyObject* ann = d.get();
        if (!PyDict_Check(ann)) throw zerlin::Error(zerlin::ErrorKind::Value, "annotations must be dicts");
        double box[4];
        zerlin::AnnotationRow row = read_row(ann, i, is_gt && keypoints, keys, box);
        if (keypoints && !is_gt && kp_keys.part_score && !read_float(ann, *kp_keys.part_score, &row.score))
            ++score_fallbacks;
        if (masks)
            rows.add(row, mask_job(ann, row.image_id, box, lk, keys, held, tmp));
        else if (!keypoints)
            rows.add(row);
        else if (read_keypoints(ann, kp_keys, rows, kp))
            rows.add(row, std::span<const double>(kp));
        else
            rows.add(row, std::nullopt);
    }
}

// ---------------------------------------------------------------- constructor

// The evaluation parameters (arguments 2 to 19), and the image sizes.
zerlin::EvalParams convert_params(PyObject* const* a, ImageSizes& sizes) {
    zerlin::EvalParams p;
    std::string iou_type;
    bool use_cats = false, use_area = true;
    double dilation = 0.02;
    arg(a[2], "img_sizes", &to_img_sizes, &sizes);
    arg(a[3], "img_ids", &to_vec_i64, &p.img_ids);
    arg(a[4], "cat_ids", &to_vec_i64, &p.cat_ids);
    arg(a[5], "iou_thrs", &to_vec_f64, &p.iou_thrs);
    arg(a[6], "rec_thrs", &to_vec_f64, &p.rec_thrs);
    arg(a[7], "max_dets", &to_vec_u64, &p.max_dets);
    arg(a[8], "area_rng", &to_area_rng, &p.area_rng);
    arg(a[9], "use_cats", &to_bool, &use_cats);
    arg(a[10], "iou_type", &to_str, &iou_type);
    arg(a[11], "kpt_sigmas", &to_vec_f64, &p.kpt_sigmas);
    if (a[12]) arg(a[12], "use_area", &to_bool, &use_area);
    if (a[13]) arg(a[13], "boundary_dilation", &to_f64, &dilation);
    if (a[14] && a[14] != Py_None) arg(a[14], "range_by_image", &to_vec_f64, &p.range_by_image);
    bool by_scale = false;
    if (a[15]) arg(a[15], "ranges_by_scale", &to_bool, &by_scale);
    p.ranges_by_scale = by_scale;
    bool skip_unscored = false;
    if (a[16]) arg(a[16], "skip_unscored", &to_bool, &skip_unscored);
    p.skip_unscored = skip_unscored;
    bool visibility_ignore = false;
    if (a[17]) arg(a[17], "visibility_ignore", &to_bool, &visibility_ignore);
    p.visibility_ignore = visibility_ignore;
    if (a[18] && a[18] != Py_None) arg(a[18], "keypoint_parts", &to_keypoint_parts, &p.keypoint_parts);
    if (a[19] && a[19] != Py_None) arg(a[19], "part_score", &to_part_score, &p.part_score);
    p.use_cats = use_cats;
    p.use_area = use_area;
    p.boundary_dilation = dilation;
    if (!parse_iou_type(iou_type, &p.iou_kind)) {
        std::string msg =
            "iouType must be one of segm, bbox, keypoints, boundary; got " + zerlin::quote_literal(iou_type);
        throw zerlin::Error(zerlin::ErrorKind::Value, msg);
    }
    if (p.img_ids.size() > size_t(INT32_MAX) || p.cat_ids.size() > size_t(INT32_MAX))
        throw zerlin::Error(zerlin::ErrorKind::Overflow, "too many image or category ids for 32-bit indices");
    return p;
}

// The two sides as they are read: record sets, and the handles among the
// arguments (a handle side takes part in the list conversion as an empty list).
struct Sides {
    zerlin::RecordSet gt, dt;
    const zerlin::CompactData* handles[2];
    PyObject* lists[2];
    Ref empty;
    Ref held;  // the strings the records borrow, for the evaluator to keep
};

void take_sides(PyObject* const* a, zerlin::GeometryKind kind, Sides& s) {
    s.gt = zerlin::RecordSet(kind);
    s.dt = zerlin::RecordSet(kind);
    s.empty = Ref(check(PyList_New(0)));
    s.held = Ref(check(PyList_New(0)));
    for (int side = 0; side < 2; ++side) {
        s.handles[side] = compact_data(a[side]);
        if (!s.handles[side]) check_list(a[side]);
        s.lists[side] = s.handles[side] ? s.empty.get() : a[side];
    }
}

// The list sides' records; their masks are rasterised on their own thread
// while the lists are read (a failed read abandons what was queued).
void read_list_sides(Sides& s, const zerlin::EvalParams& p, const Lookups& lk, zerlin::TimingCells& cells) {
    const zerlin::GeometryKind kind = s.gt.kind;
    std::optional<zerlin::PendingMasks> masks;
    if (kind == zerlin::GeometryKind::Masks) masks.emplace(std::nullopt, cells);
    if (kind == zerlin::GeometryKind::BoundaryMasks) masks.emplace(p.boundary_dilation, cells);
    AnnKeys keys;
    const KeypointKeys kp_keys(keys, p);
    for (int side = 0; side < 2; ++side) {
        zerlin::Stopwatch sw;
        zerlin::RecordSet& rs = side == 0 ? s.gt : s.dt;
        zerlin::SideBuilder rows(rs, side == 0, lk, masks ? &*masks : nullptr);
        convert_annotations(s.lists[side], side == 0, lk, keys, kp_keys, kind, s.held.get(), rows, rs.score_fallbacks);
        sw.add_to(side == 0 ? cells.gt_read : cells.dt_read);
    }
    if (masks) masks->finish({&s.gt, &s.dt}, false);
}

// The detections LVIS evaluates: a per-image cap, then the images' verified
// categories (its ground truths' and the negative ones).
struct FederatedSelection {
    std::vector<std::pair<int64_t, int64_t>> negative;  // (image id, category id)
    uint64_t max_det = 0;
};

// The handle sides' records, the federated selection where asked, then the
// handle sides' geometry (which the selection spares for the rows it drops).
// Handle sides never touch Python objects: this runs without the lock.
void finish_sides(Sides& s, const zerlin::EvalParams& p, const Lookups& lk, zerlin::TimingCells& cells,
                  const FederatedSelection* federated) {
    without_gil([&] {
        zerlin::HandleSideReader reader(p, lk, s.gt.kind, cells);
        if (s.handles[0]) reader.records(*s.handles[0], true, s.gt);
        if (s.handles[1]) reader.records(*s.handles[1], false, s.dt);
        if (federated && s.handles[0]) {
            // LVIS ignores the ground truths its file flags (configure_lvis keeps them given None).
            for (std::size_t r = 0; r < s.gt.size(); ++r) s.gt.ignore[r] = s.handles[0]->row_ignore(r) ? 1 : 0;
        }
        if (federated) {
            std::vector<std::pair<int32_t, int32_t>> negative;
            negative.reserve(federated->negative.size());
            for (const auto& [image, category] : federated->negative)
                negative.emplace_back(lk.images.find(image), lk.categories.find(category));
            zerlin::select_federated(s.dt, s.gt, negative, federated->max_det);
        }
        if (s.handles[0]) reader.geometry(*s.handles[0], true, s.gt, s.dt);
        if (s.handles[1]) reader.geometry(*s.handles[1], false, s.dt, s.gt);
        if (federated) zerlin::drop_outside_area(s.dt);
    });
}

PyObject* construct(PyTypeObject* type, PyObject* const* a, const FederatedSelection* federated) {
    ImageSizes sizes;
    zerlin::EvalParams p = convert_params(a, sizes);
    Sides sides;
    take_sides(a, zerlin::geometry_for(p.iou_kind), sides);
    Lookups lk{PositionTable(p.img_ids), PositionTable(p.cat_ids), sizes};
    auto cells = std::make_unique<zerlin::TimingCells>();
    read_list_sides(sides, p, lk, *cells);
    finish_sides(sides, p, lk, *cells, federated);
    auto engine =
        std::make_unique<zerlin::Engine>(std::move(p), std::move(sides.gt), std::move(sides.dt), std::move(cells));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_python_error_already_set();
    new (&as_evaluator(self)->borrow) BorrowFlag();
    new (&as_evaluator(self)->engine) std::unique_ptr<zerlin::Engine>(std::move(engine));
    as_evaluator(self)->held = sides.held.release();
    return self;
}

extern "C" PyObject* evaluator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[kArgCount];
        parse_args_tuple(kNew, args, kwargs, a);
        // Keyword values are borrowed from the keywords dict, and converting one
        // argument runs Python code: hold them all for the construction.
        Ref held[kArgCount];
        for (std::size_t i = 0; i < kArgCount; ++i) held[i] = Ref::borrow(a[i]);
        return construct(type, a, nullptr);
    });
}

}  // namespace

PyObject* fn_federated_evaluator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        if (nargs < 2) zerlin::throw_type("federated_evaluator() takes negative_categories and max_det first");
        FederatedSelection federated;
        arg(args[0], "negative_categories", &to_pairs, &federated.negative);
        arg(args[1], "max_det", &to_u64, &federated.max_det);
        // The rest are the Evaluator's own arguments, read as it reads them.
        Ref rest(check(PyTuple_New(nargs - 2)));
        for (Py_ssize_t k = 2; k < nargs; ++k) PyTuple_SET_ITEM(rest.get(), k - 2, Py_NewRef(args[k]));
        Ref keywords(check(PyDict_New()));
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            check_status(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
        PyObject* a[kArgCount];
        parse_args_tuple(kNew, rest.get(), keywords.get(), a);
        return construct(g_evaluator_type, a, &federated);
    });
}

namespace {

extern "C" void evaluator_dealloc(PyObject* self) {
    as_evaluator(self)->engine.~unique_ptr();
    Py_XDECREF(as_evaluator(self)->held);  // after the engine, which borrows from it
    as_evaluator(self)->borrow.~BorrowFlag();
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------- outputs

PyObject* run_dict(zerlin::RunResult& r) {
    const npy_intp T = npy_intp(r.T), R = npy_intp(r.R), K = npy_intp(r.K), A = npy_intp(r.A), M = npy_intp(r.M);
    Ref d(check(PyDict_New()));
    set_item(d.get(), "counts", Py_BuildValue("[nnnnn]", T, R, K, A, M));
    set_item(d.get(), "precision", array_from_vector(std::move(r.precision), {T, R, K, A, M}, NPY_FLOAT64));
    set_item(d.get(), "recall", array_from_vector(std::move(r.recall), {T, K, A, M}, NPY_FLOAT64));
    set_item(d.get(), "scores", array_from_vector(std::move(r.scores), {T, R, K, A, M}, NPY_FLOAT64));
    return d.release();
}

// ---------------------------------------------------------------- methods

PyObject* method_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        PyObject* a[1];
        parse_args(kRun, args, nargs, kw, a);
        bool collect = false;
        if (a[0]) arg(a[0], "collect_eval_imgs", &to_bool, &collect);
        SharedBorrow borrow(as_evaluator(self)->borrow);
        const zerlin::Engine& engine = *as_evaluator(self)->engine;
        zerlin::RunResult result;
        without_gil([&] { result = engine.run(collect); });
        Ref d(run_dict(result));
        if (collect) set_item(d.get(), "evalImgs", eval_imgs_list(result));
        return d.release();
    });
}

PyObject* method_timings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        PyObject* a[1];
        parse_args(kTimings, args, nargs, kw, a);
        SharedBorrow borrow(as_evaluator(self)->borrow);
        const zerlin::TimingCells& c = as_evaluator(self)->engine->timings();
        Ref d(check(PyDict_New()));
        const std::pair<const char*, const std::atomic<uint64_t>*> cells[] = {
            {"gt_read", &c.gt_read},           {"dt_read", &c.dt_read},
            {"read_blocked", &c.read_blocked}, {"rasterise", &c.rasterise},
            {"group_index", &c.group_index},   {"iou_cpu", &c.iou_cpu},
            {"match_cpu", &c.match_cpu},       {"accumulate_cpu", &c.accumulate_cpu},
        };
        for (const auto& [name, cell] : cells) set_item(d.get(), name, PyFloat_FromDouble(double(cell->load()) / 1e9));
        return d.release();
    });
}

PyObject* method_score_fallbacks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        PyObject* a[1];
        parse_args(kScoreFallbacks, args, nargs, kw, a);
        SharedBorrow borrow(as_evaluator(self)->borrow);
        return check(PyLong_FromSize_t(as_evaluator(self)->engine->dt().score_fallbacks));
    });
}

template <class T>
void set_column(PyObject* d, const char* key, std::vector<T>& v, int typenum) {
    const npy_intp n = npy_intp(v.size());
    set_item(d, key, array_from_vector(std::move(v), {n}, typenum));
}

PyObject* method_per_instance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        PyObject* a[3];
        parse_args(kPerInstance, args, nargs, kw, a);
        uint64_t t_idx = 0, a_idx = 0, max_det = 100;
        if (a[0]) arg(a[0], "t_idx", &to_u64, &t_idx);
        if (a[1]) arg(a[1], "a_idx", &to_u64, &a_idx);
        if (a[2]) arg(a[2], "max_det", &to_u64, &max_det);
        SharedBorrow borrow(as_evaluator(self)->borrow);
        const zerlin::Engine& engine = *as_evaluator(self)->engine;  // checks the indices
        zerlin::InstanceRows rows;
        without_gil([&] { rows = engine.per_instance(t_idx, a_idx, max_det); });
        Ref dts(check(PyDict_New())), gts(check(PyDict_New()));
        set_column(dts.get(), "image_id", rows.dt_image_id, NPY_INT64);
        set_column(dts.get(), "category_id", rows.dt_category_id, NPY_INT64);
        set_column(dts.get(), "dt_id", rows.dt_id, NPY_INT64);
        set_column(dts.get(), "gt_id", rows.dt_gt_id, NPY_INT64);
        set_column(dts.get(), "score", rows.dt_score, NPY_FLOAT64);
        set_column(dts.get(), "iou", rows.dt_iou, NPY_FLOAT64);
        set_column(dts.get(), "ignore", rows.dt_ignore, NPY_BOOL);
        set_column(gts.get(), "image_id", rows.gt_image_id, NPY_INT64);
        set_column(gts.get(), "category_id", rows.gt_category_id, NPY_INT64);
        set_column(gts.get(), "gt_id", rows.gt_id, NPY_INT64);
        set_column(gts.get(), "ignore", rows.gt_ignore, NPY_BOOL);
        set_column(gts.get(), "matched", rows.gt_matched, NPY_BOOL);
        return check(PyTuple_Pack(2, dts.get(), gts.get()));
    });
}

PyObject* method_configure_lvis(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        PyObject* a[3];
        parse_args(kConfigureLvis, args, nargs, kw, a);
        std::vector<uint8_t> gt_ignore;
        std::vector<std::pair<int64_t, int64_t>> pairs;
        bool preserve = false;
        const bool keep_ignore = a[0] == Py_None;
        if (!keep_ignore) arg(a[0], "gt_ignore", &to_vec_bool, &gt_ignore);
        arg(a[1], "non_exhaustive", &to_pairs, &pairs);
        if (a[2]) arg(a[2], "preserve_crowds", &to_bool, &preserve);
        ExclusiveBorrow borrow(as_evaluator(self)->borrow);
        zerlin::Engine& engine = *as_evaluator(self)->engine;
        if (keep_ignore) gt_ignore = engine.gt().ignore;
        engine.configure_lvis(gt_ignore, pairs, preserve);
        return Py_NewRef(Py_None);
    });
}

#define ZL_METHOD(name, fn, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef g_methods[] = {
    ZL_METHOD("run", method_run,
              "run($self, collect_eval_imgs=False)\n--\n\n"
              "Evaluate and accumulate; returns counts, precision, recall, scores (and evalImgs when asked)."),
    ZL_METHOD("timings", method_timings, "timings($self)\n--\n\nSeconds spent in each phase so far."),
    ZL_METHOD("score_fallbacks", method_score_fallbacks,
              "score_fallbacks($self)\n--\n\nKeypoint results ranked by 'score' for want of the part score asked for."),
    ZL_METHOD("per_instance", method_per_instance,
              "per_instance($self, t_idx=0, a_idx=0, max_det=100)\n--\n\n"
              "Per-detection and per-ground-truth verdicts at one setting, as column arrays."),
    ZL_METHOD("configure_lvis", method_configure_lvis,
              "configure_lvis($self, gt_ignore, non_exhaustive, preserve_crowds=False)\n--\n\n"
              "Install the LVIS federated flags for later runs; gt_ignore None keeps the ground truths' flags\n"
              "as read (a ground-truth handle's file's under federated_evaluator)."),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZL_METHOD

}  // namespace

namespace {

// A sequence argument of exactly n items, as a fast sequence.
Ref sequence_of(PyObject* o, const char* name, std::size_t n) {
    Ref seq = with_note(name, [&] {
        check_sequence(o);
        return Ref(check(PySequence_Fast(o, "expected a sequence")));
    });
    const std::size_t got = std::size_t(PySequence_Fast_GET_SIZE(seq.get()));
    if (got != n)
        zerlin::throw_value(std::string(name) + " has " + std::to_string(got) + " items; the evaluator has " +
                            std::to_string(n));
    return seq;
}

}  // namespace

PyObject* fn_reference_eval_imgs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{
            "reference_eval_imgs()", {"evaluator", "img_ids", "cat_ids", "area_rngs", "max_det"}, 5};
        PyObject* a[5];
        parse_args(sig, args, nargs, kw, a);
        if (!PyObject_TypeCheck(a[0], g_evaluator_type)) throw_not_instance(a[0], "Evaluator");
        SharedBorrow borrow(as_evaluator(a[0])->borrow);
        const zerlin::Engine& engine = *as_evaluator(a[0])->engine;
        const zerlin::EvalParams& p = engine.params();
        // The labels are read before the engine runs: reading them may run Python code.
        RecordLabels labels{sequence_of(a[1], "img_ids", p.img_ids.size()), sequence_of(a[2], "cat_ids", p.num_slots()),
                            sequence_of(a[3], "area_rngs", p.area_rng.size()), a[4]};
        zerlin::RunResult result;
        without_gil([&] { result = engine.eval_records(); });
        return reference_eval_imgs_list(result, labels);
    });
}

PyType_Spec* evaluator_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
        {Py_tp_methods, g_methods},
        {Py_tp_doc,
         const_cast<char*>("Evaluator(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, "
                           "max_dets, area_rng, use_cats, iou_type, kpt_sigmas, use_area=True, "
                           "boundary_dilation=0.02, range_by_image=None, ranges_by_scale=False, skip_unscored=False, "
                           "visibility_ignore=False, keypoint_parts=None, part_score=None)\n--\n\n"
                           "COCO/LVIS evaluation of one set of results against ground truth.")},
        {0, nullptr},
    };
    static PyType_Spec type_def = {"vantorel._zerlin.Evaluator", sizeof(EvaluatorObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return &type_def;
}

}  // namespace zpy
