// Allocation statistics. Counting is not compiled into this build, so the
// report is fixed; callers need not test whether the functions exist.
#include "binding.hpp"

namespace zpy {

PyObject* fn_alloc_stats(PyObject*, PyObject*) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    if (PyDict_SetItemString(d.get(), "enabled", Py_False) < 0) return nullptr;
    for (const char* key : {"live_bytes", "peak_bytes", "total_allocated_bytes", "allocations", "frees"}) {
        Ref zero(PyLong_FromLong(0));
        if (!zero || PyDict_SetItemString(d.get(), key, zero.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* fn_reset_alloc_peak(PyObject*, PyObject*) { Py_RETURN_NONE; }

}  // namespace zpy
