// Evaluation-image records as Python objects: the Evaluator's own layout
// (run(collect_eval_imgs=True)), and the reference API's layout for the
// drop-in COCOeval, built directly so no record is converted twice.
#pragma once

#include "binding.hpp"

#include "zerlin/eval.hpp"

namespace zpy {

// dict[key] = value, taking the new reference `value` (NULL: the call that made it failed).
void set_item(PyObject* dict, const char* key, PyObject* value);
void set_item(PyObject* dict, PyObject* key, PyObject* value);

// One entry per (category slot, area, image): a record dict or None.
PyObject* eval_imgs_list(const zerlin::RunResult& r);

// The caller's objects a reference-layout record carries: the ids of the
// images and category slots ([-1] when categories are pooled), the area
// ranges and the detection cap, as the reference's own loops hand them on.
struct RecordLabels {
    Ref img_ids, cat_ids, area_rngs;  // sequences of the engine's I, K and A items
    PyObject* max_det;                // borrowed from the arguments
};

// The same entries in the reference's layout and types: aRng the caller's
// range object, gtIgnore int64 (float64 when empty), dtIgnore bool.
PyObject* reference_eval_imgs_list(const zerlin::RunResult& r, const RecordLabels& labels);

}  // namespace zpy
