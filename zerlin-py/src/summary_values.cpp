// summary_values: selection of summary-line values from an evaluation array.
#include "binding.hpp"

#include "zerlin/summary.hpp"

namespace zpy {

PyObject* fn_summary_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"summary_values()", {"array", "thresholds", "categories", "area", "max_det"}, 5};
        PyObject* a[5];
        parse_args(sig, args, nargs, kw, a);
        PyArrayObject* arr;
        std::vector<uint64_t> thresholds, categories;
        uint64_t area, max_det;
        arg(a[0], "array", to_array<NPY_DOUBLE>, &arr);
        arg(a[1], "thresholds", to_vec_u64, &thresholds);
        arg(a[2], "categories", to_vec_u64, &categories);
        arg(a[3], "area", to_u64, &area);
        arg(a[4], "max_det", to_u64, &max_det);
        const int nd = PyArray_NDIM(arr);
        std::vector<std::ptrdiff_t> shape(PyArray_DIMS(arr), PyArray_DIMS(arr) + nd);
        std::vector<std::ptrdiff_t> strides(PyArray_STRIDES(arr), PyArray_STRIDES(arr) + nd);
        zerlin::StridedView view{PyArray_BYTES(arr), shape, strides};
        std::vector<double> values = zerlin::summary_select(view, thresholds, categories, area, max_det);
        npy_intp n = npy_intp(values.size());
        return array_from_vector(std::move(values), {n}, NPY_DOUBLE);
    });
}

}  // namespace zpy
