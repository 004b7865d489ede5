// The Evaluator class: annotation lists in, evaluation arrays out.
#include "binding.hpp"

namespace zpy {

namespace {

struct EvaluatorObject {
    PyObject_HEAD
    BorrowFlag borrow;
};

const Signature kNew{"Evaluator.__new__()",
                     {"gt_anns", "dt_anns", "img_sizes", "img_ids", "cat_ids", "iou_thrs", "rec_thrs", "max_dets",
                      "area_rng", "use_cats", "iou_type", "kpt_sigmas", "use_area", "boundary_dilation"},
                     12};
const Signature kRun{"Evaluator.run()", {"collect_eval_imgs"}, 0};
const Signature kTimings{"Evaluator.timings()", {}, 0};
const Signature kPerInstance{"Evaluator.per_instance()", {"t_idx", "a_idx", "max_det"}, 0};
const Signature kConfigureLvis{"Evaluator.configure_lvis()", {"gt_ignore", "non_exhaustive", "preserve_crowds"}, 2};

extern "C" PyObject* evaluator_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[14];
    if (!parse_args_tuple(kNew, args, kwargs, a)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "Evaluator is not available in this build yet");
    return nullptr;
}

extern "C" void evaluator_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

#define ZL_STUB(fn, sig)                                                                 \
    PyObject* fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        return not_yet(sig, args, nargs, kw);                                           \
    }
ZL_STUB(method_run, kRun)
ZL_STUB(method_timings, kTimings)
ZL_STUB(method_per_instance, kPerInstance)
ZL_STUB(method_configure_lvis, kConfigureLvis)
#undef ZL_STUB

#define ZL_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef g_methods[] = {
    ZL_METHOD("run", method_run, "run($self, collect_eval_imgs=False)\n--\n\n"),
    ZL_METHOD("timings", method_timings, "timings($self)\n--\n\n"),
    ZL_METHOD("per_instance", method_per_instance, "per_instance($self, t_idx=0, a_idx=0, max_det=100)\n--\n\n"),
    ZL_METHOD("configure_lvis", method_configure_lvis,
              "configure_lvis($self, gt_ignore, non_exhaustive, preserve_crowds=False)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZL_METHOD

}  // namespace

PyType_Spec* evaluator_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(evaluator_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(evaluator_dealloc)},
        {Py_tp_methods, g_methods},
        {Py_tp_doc, const_cast<char*>("Evaluator(gt_anns, dt_anns, img_sizes, img_ids, cat_ids, iou_thrs, rec_thrs, "
                                      "max_dets, area_rng, use_cats, iou_type, kpt_sigmas, use_area=True, "
                                      "boundary_dilation=0.02)\n--\n\n"
                                      "COCO/LVIS evaluation of one set of results against ground truth.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"vantorel._zerlin.Evaluator", sizeof(EvaluatorObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return &spec;
}

}  // namespace zpy
