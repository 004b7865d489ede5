// Mask functions: RLE objects and NumPy arrays in, RLE objects and arrays out.
#include "binding.hpp"

namespace zpy {


PyObject* fn_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"encode()", {"mask"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"decode()", {"rle_objs"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"merge()", {"rle_objs", "intersect"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_area(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"area()", {"rle_objs"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_toBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"toBbox()", {"rle_objs"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_iou(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"iou()", {"dt", "gt", "iscrowd"}, 3};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_frBbox(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frBbox()", {"bb", "h", "w"}, 3};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_frPoly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPoly()", {"poly", "h", "w"}, 3};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_frUncompressedRLE(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frUncompressedRLE()", {"uc", "_h", "_w"}, 3};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_frPyObjects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"frPyObjects()", {"obj", "h", "w"}, 3};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_toBoundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"toBoundary()", {"rle_objs", "dilation_ratio"}, 1};
    return not_yet(sig, args, nargs, kw);
}

}  // namespace zpy
