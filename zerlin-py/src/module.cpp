// Module initialisation: the two classes, then the functions, each name also
// appended to __all__ in registration order.
#define ZERLIN_NUMPY_MAIN
#include "binding.hpp"

#include <cstring>

namespace zpy {
namespace {

// clang-format cannot lay out a braced initializer inside a macro.
// clang-format off
#define ZL_FAST(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn_##name)), METH_FASTCALL | METH_KEYWORDS, doc}
// clang-format on

PyMethodDef g_functions[] = {
    ZL_FAST(load_compact_bbox,
            "load_compact_bbox(path, results=False)\n--\n\n"
            "Load a COCO dataset or results file keeping its annotations in compact column form."),
    ZL_FAST(load_compact_array,
            "load_compact_array(data)\n--\n\n"
            "Make a compact results handle from an Nx7 [image_id, x, y, w, h, score, category_id] array."),
    ZL_FAST(index_annotations,
            "index_annotations(annotations, with_categories)\n--\n\n"
            "Build the annotation indexes (by id, by image, images by category) without copying annotations."),
    ZL_FAST(prepare_bbox_results,
            "prepare_bbox_results(annotations)\n--\n\n"
            "Fill area, id and iscrowd of bounding-box results in place, with Python arithmetic."),
    ZL_FAST(plain_box_results,
            "plain_box_results(annotations, images)\n--\n\n"
            "Whether every result is a dict with score, category_id and bbox not None, no area, id or iscrowd,\n"
            "and an image_id that is a key of images (False also when unsure: the caller's checks decide)."),
    ZL_FAST(summary_values,
            "summary_values(array, thresholds, categories, area, max_det)\n--\n\n"
            "Select the precision or recall values one summary line averages (values > -1)."),
    ZL_FAST(encode, "encode(mask)\n--\n\nEncode an (h, w, n) uint8 array as n RLE objects."),
    ZL_FAST(decode, "decode(rle_objs)\n--\n\nDecode RLE objects into an (h, w, n) uint8 array."),
    ZL_FAST(merge, "merge(rle_objs, intersect=0)\n--\n\nUnion (or intersection) of RLE objects."),
    ZL_FAST(area, "area(rle_objs)\n--\n\nForeground area of each RLE object."),
    ZL_FAST(toBbox, "toBbox(rle_objs)\n--\n\nBounding box [x, y, w, h] of each RLE object."),
    ZL_FAST(iou, "iou(dt, gt, iscrowd)\n--\n\nIoU matrix between detections and ground truths (boxes or RLEs)."),
    ZL_FAST(frBbox, "frBbox(bb, h, w)\n--\n\nRLE objects of boxes."),
    ZL_FAST(frPoly, "frPoly(poly, h, w)\n--\n\nRLE objects of polygons, one per polygon."),
    ZL_FAST(frUncompressedRLE, "frUncompressedRLE(uc, _h, _w)\n--\n\nCompress uncompressed RLE objects."),
    ZL_FAST(frPyObjects, "frPyObjects(obj, h, w)\n--\n\nRLE objects of polygons, boxes or uncompressed RLEs."),
    ZL_FAST(toBoundary, "toBoundary(rle_objs, dilation_ratio=0.02)\n--\n\nBoundary band of each RLE object."),
    ZL_FAST(load_json,
            "load_json(path)\n--\n\n"
            "Parse a JSON file into Python objects, as json.load does (duplicate keys keep the last value)."),
    ZL_FAST(parse_json_only,
            "parse_json_only(path)\n--\n\n"
            "Read and syntax-check a JSON file without building objects; returns the byte count (for measuring)."),
    ZL_FAST(read_file_only, "read_file_only(path)\n--\n\nRead a file and return its byte count (for measuring)."),
    {"alloc_stats", fn_alloc_stats, METH_NOARGS,
     "alloc_stats()\n--\n\nCounters of the module's native allocations (zeros unless counting is built in)."},
    {"reset_alloc_peak", fn_reset_alloc_peak, METH_NOARGS,
     "reset_alloc_peak()\n--\n\nReset the allocation high-water mark to the live figure."},
    {nullptr, nullptr, 0, nullptr},
};

// Entry points of the package's own loading, kept out of __all__.
PyMethodDef g_internal_functions[] = {
    ZL_FAST(run_fault,
            "run_fault(rle_objs, whole, start=0, pixels=None)\n--\n\n"
            "The first RLE object from start whose runs fail the check against h*w, or need it in Python."),
    ZL_FAST(load_compact_or_objects,
            "load_compact_or_objects(path, results=False, boxes_only=False)\n--\n\n"
            "Load a dataset or results file once: (dataset, handle, None) where its records can be held in "
            "compact form (results in every shape the reference loader completes), else (the document as "
            "objects, None, the reason). With boxes_only the handle serves a box evaluation alone and keeps "
            "no copy of the file."),
    ZL_FAST(results_shape,
            "results_shape(handle)\n--\n\n"
            "How a results handle's rows were completed: 'boxes' (area w * h), 'masks' (box and area from the "
            "mask) or 'keypoints' (from the keypoints' extent); None for ground truth."),
    ZL_FAST(federated_evaluator,
            "federated_evaluator(negative_categories, max_det, /, *evaluator_args, **evaluator_kwargs)\n--\n\n"
            "An Evaluator (of the Evaluator's own arguments) over the detections the LVIS federated protocol "
            "keeps: each image's max_det best, then those of its verified categories (its ground truths' and the "
            "negative (image, category) pairs)."),
    ZL_FAST(reference_eval_imgs,
            "reference_eval_imgs(evaluator, img_ids, cat_ids, area_rngs, max_det)\n--\n\n"
            "The evaluator's per-image records in the reference API's layout and types, one entry per "
            "(category, area range, image) in that order (None where the image has neither side): image_id, "
            "category_id, aRng and maxDet are the given objects; no precision arrays are computed."),
    ZL_FAST(accumulate_records,
            "accumulate_records(records, positions, cells, rec_thrs, max_dets, shape)\n--\n\n"
            "(precision, recall, scores) of shape (T, R, K, A, M), (T, K, A, M), (T, R, K, A, M) from "
            "per-image records in the reference API's layout: for each cells row (k, a), the records at that "
            "positions row (None entries skipped), with the caps max_dets; other cells stay -1. ValueError "
            "'record layout not supported: ...' for records it does not read."),
    ZL_FAST(panoptic_match,
            "panoptic_match(maps, gt_segments, gt_areas, gt_counts, pred_segments, pred_counts)\n--\n\n"
            "PQ matching of a batch of images: maps holds (height, width, gt_pixels, gt_channels, gt_filtered, "
            "pred_pixels, pred_channels, pred_filtered) per image; segments are [id, category index, iscrowd] "
            "and [id, category index] rows, counted per image. Returns the matches (image, category, iou), "
            "false negatives and false positives (image, category) and the first fault (image, kind, segment) "
            "or None."),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZL_FAST

void add_to_all(PyObject* all, const char* name) {
    Ref s(check(PyUnicode_FromString(name)));
    check_status(PyList_Append(all, s.get()));
}

// Creates a type and adds it to the module and to __all__; `slot` keeps a
// borrowed pointer (the module holds the type).
void add_type(PyObject* module, PyObject* all, PyType_Spec* type_def, PyTypeObject** slot) {
    Ref type(check(PyType_FromModuleAndSpec(module, type_def, nullptr)));
    const char* dot = std::strrchr(type_def->name, '.');
    const char* name = dot ? dot + 1 : type_def->name;
    check_status(PyModule_AddObjectRef(module, name, type.get()));
    *slot = reinterpret_cast<PyTypeObject*>(type.get());
    add_to_all(all, name);
}

int exec_module(PyObject* module) {
    return guarded([&] {
        check_status(_import_array());
        if (!g_panic_type) {
            // Internal failures derive from BaseException so that `except Exception`
            // does not swallow a broken invariant.
            g_panic_type = check(PyErr_NewExceptionWithDoc("vantorel._zerlin.PanicException",
                                                           "An internal invariant of vantorel failed.",
                                                           PyExc_BaseException, nullptr));
        }
        check_status(PyModule_AddObjectRef(module, "PanicException", g_panic_type));
        Ref owner(check(PyType_FromModuleAndSpec(module, owner_spec(), nullptr)));
        check_status(PyModule_AddObjectRef(module, "PySliceContainer", owner.get()));
        g_owner_type = reinterpret_cast<PyTypeObject*>(owner.get());

        Ref all(check(PyList_New(0)));
        add_type(module, all.get(), evaluator_spec(), &g_evaluator_type);
        add_type(module, all.get(), compact_spec(), &g_compact_type);
        check_status(PyModule_AddFunctions(module, g_functions));
        for (PyMethodDef* def = g_functions; def->ml_name; ++def) add_to_all(all.get(), def->ml_name);
        check_status(PyModule_AddFunctions(module, g_internal_functions));
        return check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Module-level globals (types, the exception) are shared process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_zerlin",
    "Native core of vantorel: COCO/LVIS evaluation, RLE masks, JSON loading.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zpy

PyMODINIT_FUNC PyInit__zerlin(void) {
    return PyModuleDef_Init(&zpy::g_module);
}
