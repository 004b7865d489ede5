// Allocation statistics. Counting is not compiled into this build, so the
// report is fixed; callers need not test whether the functions exist.
#include "binding.hpp"

namespace zpy {

PyObject* fn_alloc_stats(PyObject*, PyObject*) {
    return guarded([] {
        Ref d(check(PyDict_New()));
        check_status(PyDict_SetItemString(d.get(), "enabled", Py_False));
        for (const char* key : {"live_bytes", "peak_bytes", "total_allocated_bytes", "allocations", "frees"}) {
            Ref zero(check(PyLong_FromLong(0)));
            check_status(PyDict_SetItemString(d.get(), key, zero.get()));
        }
        return d.release();
    });
}

PyObject* fn_reset_alloc_peak(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

}  // namespace zpy
