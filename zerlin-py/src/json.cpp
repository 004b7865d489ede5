// JSON file functions: load_json, parse_json_only, read_file_only.
#include "binding.hpp"

namespace zpy {

PyObject* fn_load_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"load_json()", {"path"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_parse_json_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"parse_json_only()", {"path"}, 1};
    return not_yet(sig, args, nargs, kw);
}
PyObject* fn_read_file_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static const Signature sig{"read_file_only()", {"path"}, 1};
    return not_yet(sig, args, nargs, kw);
}

}  // namespace zpy
