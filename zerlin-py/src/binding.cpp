#include "binding.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace zpy {

using zerlin::throw_type;

PyObject* g_panic_type = nullptr;
PyTypeObject* g_owner_type = nullptr;
PyTypeObject* g_evaluator_type = nullptr;
PyTypeObject* g_compact_type = nullptr;

// ---------------------------------------------------------------- errors

std::string type_name(PyObject* o) {
    Ref name(PyType_GetName(Py_TYPE(o)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    return s;
}

namespace {

// "'{type}' object {rest}", the form of the type errors below.
std::string object_message(PyObject* o, std::string_view rest) {
    std::string msg = "'";
    msg += type_name(o);
    msg += "' object ";
    msg += rest;
    return msg;
}

}  // namespace

void throw_not_instance(PyObject* o, const char* what) {
    throw_type(object_message(o, std::string("is not an instance of '") + what + "'"));
}

namespace {

void set_panic(const char* message) {
    PyErr_SetString(g_panic_type ? g_panic_type : PyExc_SystemError, message);
}

// Sets the Python exception matching a core error.
void set_error(const zerlin::Error& e) {
    PyObject* type = PyExc_ValueError;
    switch (e.kind()) {
        case zerlin::ErrorKind::Value:
            type = PyExc_ValueError;
            break;
        case zerlin::ErrorKind::Key:
            type = PyExc_KeyError;
            break;
        case zerlin::ErrorKind::Type:
            type = PyExc_TypeError;
            break;
        case zerlin::ErrorKind::Overflow:
            type = PyExc_OverflowError;
            break;
        case zerlin::ErrorKind::Os:
            type = PyExc_OSError;
            break;
        case zerlin::ErrorKind::Runtime:
            type = PyExc_RuntimeError;
            break;
        case zerlin::ErrorKind::Index:
            type = PyExc_IndexError;
            break;
        case zerlin::ErrorKind::Memory:
            type = PyExc_MemoryError;
            break;
        case zerlin::ErrorKind::Internal:
            set_panic(e.message().c_str());
            return;
        case zerlin::ErrorKind::Cancelled:
            report_cancelled();
            return;
    }
    // A single-argument exception whose text is the message, whatever the type.
    Ref msg(PyUnicode_FromStringAndSize(e.message().data(), Py_ssize_t(e.message().size())));
    if (!msg) return;
    PyErr_SetObject(type, msg.get());
}

// Adds the note "while processing '<arg>'" to the exception currently set.
void add_arg_note(const char* arg) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", arg);
    if (note) {
        PyObject* r = PyObject_CallMethod(exc, "add_note", "O", note);
        Py_DECREF(note);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();  // keep the original error if the note cannot be added
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

const char* literal_text(zerlin::NonFiniteLiteral literal) {
    switch (literal) {
        case zerlin::NonFiniteLiteral::NaN:
            return "NaN";
        case zerlin::NonFiniteLiteral::Infinity:
            return "Infinity";
        case zerlin::NonFiniteLiteral::NegativeInfinity:
            return "-Infinity";
        case zerlin::NonFiniteLiteral::None:
            return nullptr;
    }
    return nullptr;
}

// The ValueError of a JSON reader error, with its structure attached.
void set_json_error(const LabelledJsonError& e) {
    set_error(e);
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    const char* literal = literal_text(e.literal());
    PyObject* detail = Py_BuildValue("(snnz)", zerlin::json_errc_name(e.code()), Py_ssize_t(e.line()),
                                     Py_ssize_t(e.column()), literal);
    if (!detail || PyObject_SetAttrString(exc, "json_error", detail) < 0) PyErr_Clear();  // the message still says it
    Py_XDECREF(detail);
    PyErr_SetRaisedException(exc);
}

}  // namespace

namespace {

// The ident of the thread that runs signal handlers, learnt once (0: unknown,
// every thread asks).
unsigned long main_thread_ident() {
    static std::atomic<unsigned long> known{0};
    static std::atomic<bool> asked{false};
    if (!asked.exchange(true)) {
        PyObject* err = PyErr_GetRaisedException();
        PyObject* threading = PyImport_ImportModule("threading");
        PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
        PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
        const unsigned long value = ident ? PyLong_AsUnsignedLong(ident) : 0;
        Py_XDECREF(ident);
        Py_XDECREF(main);
        Py_XDECREF(threading);
        PyErr_Clear();
        PyErr_SetRaisedException(err);
        known = value == static_cast<unsigned long>(-1) ? 0 : value;
    }
    return known;
}

}  // namespace

SignalInterrupter::SignalInterrupter() noexcept : outer_(current_) {
    const unsigned long main = main_thread_ident();
    active_ = main == 0 || main == PyThread_get_thread_ident();
    current_ = this;
}

bool SignalInterrupter::interrupted() noexcept {
    if (released) PyEval_RestoreThread(released);
    const bool stop = PyErr_CheckSignals() < 0;
    if (released) released = PyEval_SaveThread();
    return stop;
}

void report_cancelled() {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
}

void set_error_from_current() {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic("a Python error was reported but none is set");
    } catch (const LabelledJsonError& e) {
        set_json_error(e);
    } catch (const zerlin::Error& e) {
        set_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error& e) {
        // A size beyond what any allocation can hold.
        PyErr_Format(PyExc_MemoryError, "cannot allocate: %s", e.what());
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
}

void rethrow_with_note(const char* arg) {
    try {
        throw;
    } catch (const PythonErrorAlreadySet&) {
        add_arg_note(arg);
        throw;
    } catch (const zerlin::Error& e) {
        // The note goes on the Python exception, so the error becomes one here.
        set_error(e);
        add_arg_note(arg);
        throw_python_error_already_set();
    }
}

// ---------------------------------------------------------------- argument matching

namespace {

void append_quoted_list(std::string& msg, const std::vector<const char*>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) msg += ',';
            msg += (i == names.size() - 1) ? " and " : " ";
        }
        msg += '\'';
        msg += names[i];
        msg += '\'';
    }
}

[[noreturn]] void refuse_too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::string most = std::to_string(sig.names.size());
    const std::string takes =
        sig.required == sig.names.size() ? most : "from " + std::to_string(sig.required) + " to " + most;
    throw_type(std::string(sig.display) + " takes " + takes + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given"));
}

// Places keyword `key` with `value`; TypeError on a mismatch.
void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) throw_type("keywords must be strings");
    Py_ssize_t len = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &len);
    if (!k) throw_python_error_already_set();
    for (std::size_t j = 0; j < sig.names.size(); ++j) {
        if (std::strlen(sig.names[j]) == std::size_t(len) && std::memcmp(sig.names[j], k, std::size_t(len)) == 0) {
            if (out[j]) throw_type(std::string(sig.display) + " got multiple values for argument '" + k + "'");
            out[j] = value;
            return;
        }
    }
    throw_type(std::string(sig.display) + " got an unexpected keyword argument '" + k + "'");
}

void check_required(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t j = 0; j < sig.required; ++j)
        if (!out[j]) missing.push_back(sig.names[j]);
    if (missing.empty()) return;
    std::string msg = std::string(sig.display) + " missing " + std::to_string(missing.size()) +
                      (missing.size() == 1 ? " required positional argument: " : " required positional arguments: ");
    append_quoted_list(msg, missing);
    throw_type(msg);
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t n = sig.names.size();
    for (std::size_t j = 0; j < n; ++j) out[j] = nullptr;
    if (std::size_t(nargs) > n) refuse_too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nk; ++i) place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
    check_required(sig, out);
}

void parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t n = sig.names.size();
    for (std::size_t j = 0; j < n; ++j) out[j] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (std::size_t(nargs) > n) refuse_too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
    }
    check_required(sig, out);
}

// ---------------------------------------------------------------- conversions

void to_i64(PyObject* o, int64_t* out) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw_python_error_already_set();
    *out = v;
}

void to_u64(PyObject* o, uint64_t* out) {
    Ref idx(check(PyNumber_Index(o)));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == (unsigned long long)-1 && PyErr_Occurred()) throw_python_error_already_set();
    *out = v;
}

void to_u32(PyObject* o, uint32_t* out) {
    Ref idx(check(PyNumber_Index(o)));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_python_error_already_set();
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL)
        throw zerlin::Error(zerlin::ErrorKind::Overflow, "out of range integral type conversion attempted");
    *out = uint32_t(v);
}

void to_f64(PyObject* o, double* out) {
    if (PyFloat_Check(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_python_error_already_set();
    *out = v;
}

void to_bool(PyObject* o, bool* out) {
    if (PyBool_Check(o)) {
        *out = o == Py_True;
        return;
    }
    if (Py_TYPE(o) != &PyBoolArrType_Type) throw_type(object_message(o, "cannot be converted to 'PyBool'"));
    inquiry truth = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(o), Py_nb_bool));
    if (!truth) {
        std::string msg = "object of type '";
        msg += type_name(o);
        msg += "' does not define a '__bool__' conversion";
        throw_type(msg);
    }
    int r = truth(o);
    if (r < 0) throw_python_error_already_set();
    *out = r != 0;
}

void to_str(PyObject* o, std::string* out) {
    if (!PyUnicode_Check(o)) throw_type(object_message(o, "cannot be converted to 'PyString'"));
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) throw_python_error_already_set();
    out->assign(s, std::size_t(len));
}

void check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) throw_type("Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) throw_not_instance(o, "Sequence");
}

void to_vec_i64(PyObject* o, std::vector<int64_t>* out) {
    to_vec(o, out, &to_i64);
}
void to_vec_u64(PyObject* o, std::vector<uint64_t>* out) {
    to_vec(o, out, &to_u64);
}
void to_vec_f64(PyObject* o, std::vector<double>* out) {
    to_vec(o, out, &to_f64);
}

void to_vec_bool(PyObject* o, std::vector<uint8_t>* out) {
    to_vec(o, out, [](PyObject* item, uint8_t* v) {
        bool b;
        to_bool(item, &b);
        *v = b ? 1 : 0;
    });
}

void to_fixed_f64(PyObject* o, std::size_t n, double* out) {
    check_sequence(o);
    Py_ssize_t len = PySequence_Size(o);
    if (len < 0) throw_python_error_already_set();
    if (std::size_t(len) != n)
        throw zerlin::Error(zerlin::ErrorKind::Value, "expected a sequence of length " + std::to_string(n) + " (got " +
                                                          std::to_string(len) + ")");
    for (std::size_t i = 0; i < n; ++i) {
        Ref item(check(PySequence_GetItem(o, Py_ssize_t(i))));
        to_f64(item.get(), &out[i]);
    }
}

void check_tuple(PyObject* o, Py_ssize_t n) {
    if (!PyTuple_Check(o)) throw_not_instance(o, "tuple");
    if (PyTuple_GET_SIZE(o) != n)
        throw zerlin::Error(zerlin::ErrorKind::Value, "expected tuple of length " + std::to_string(n) +
                                                          ", but got tuple of length " +
                                                          std::to_string(PyTuple_GET_SIZE(o)));
}

void check_list(PyObject* o) {
    if (!PyList_Check(o)) throw_not_instance(o, "list");
}

void check_dict(PyObject* o) {
    if (!PyDict_Check(o)) throw_not_instance(o, "dict");
}

void to_array_of_type(PyObject* o, int typenum, PyArrayObject** out) {
    if (PyArray_Check(o)) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        if (PyArray_TYPE(a) == typenum && PyArray_ISNOTSWAPPED(a)) {
            *out = a;
            return;
        }
    }
    Ref descr(check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum))));
    const char* dtype = reinterpret_cast<PyArray_Descr*>(descr.get())->typeobj->tp_name;
    if (const char* dot = std::strrchr(dtype, '.')) dtype = dot + 1;
    throw_type(object_message(o, std::string("is not a ") + dtype + " numpy.ndarray"));
}

// ---------------------------------------------------------------- containers

PyObject* new_dict(std::size_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(Py_ssize_t(n));
#else
    (void)n;
    return PyDict_New();
#endif
}

// ---------------------------------------------------------------- arrays

namespace {

struct Owner {
    PyObject_HEAD void* state;
    void (*drop)(void*);
};

}  // namespace

extern "C" void owner_dealloc(PyObject* self) {
    auto* o = reinterpret_cast<Owner*>(self);
    if (o->drop) o->drop(o->state);
    o->drop = nullptr;
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyType_Spec* owner_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
        {Py_tp_doc, const_cast<char*>("Owns the memory of arrays handed out by the module.")},
        {0, nullptr},
    };
    static PyType_Spec type_def = {"vantorel._zerlin.PySliceContainer", sizeof(Owner), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return &type_def;
}

PyObject* array_from_buffer(void* data, std::size_t count, void (*drop)(void*), void* owner_state, const npy_intp* dims,
                            int nd, int typenum, bool fortran) {
    std::size_t product = 1;
    for (int i = 0; i < nd; ++i) product *= std::size_t(dims[i]);
    if (product != count) {
        drop(owner_state);
        std::string shape = "(";
        for (int i = 0; i < nd; ++i) shape += (i ? ", " : "") + std::to_string(dims[i]);
        shape += nd == 1 ? ",)" : ")";
        zerlin::throw_value("cannot reshape array of size " + std::to_string(count) + " into shape " + shape);
    }
    if (count == 0) {
        // Nothing to share: let NumPy make its own empty array.
        drop(owner_state);
        return check(PyArray_Zeros(nd, const_cast<npy_intp*>(dims), PyArray_DescrFromType(typenum), fortran ? 1 : 0));
    }
    auto* owner = PyObject_New(Owner, g_owner_type);
    if (!owner) {
        drop(owner_state);
        throw_python_error_already_set();
    }
    owner->state = owner_state;
    owner->drop = drop;
    int flags = (fortran ? NPY_ARRAY_FARRAY : NPY_ARRAY_CARRAY);
    PyObject* arr =
        PyArray_New(&PyArray_Type, nd, const_cast<npy_intp*>(dims), typenum, nullptr, data, 0, flags, nullptr);
    if (!arr) {
        Py_DECREF(reinterpret_cast<PyObject*>(owner));
        throw_python_error_already_set();
    }
    // The base is taken over even when setting it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), reinterpret_cast<PyObject*>(owner)) < 0) {
        Py_DECREF(arr);
        throw_python_error_already_set();
    }
    return arr;
}

// ---------------------------------------------------------------- borrow flag

SharedBorrow::SharedBorrow(BorrowFlag& f) : f_(f) {
    int64_t cur = f_.state.load(std::memory_order_relaxed);
    do {
        if (cur < 0) throw zerlin::Error(zerlin::ErrorKind::Runtime, "Already mutably borrowed");
    } while (!f_.state.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
}

SharedBorrow::~SharedBorrow() {
    f_.state.fetch_sub(1, std::memory_order_release);
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) : f_(f) {
    int64_t expected = 0;
    if (!f_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire))
        throw zerlin::Error(zerlin::ErrorKind::Runtime, "Already borrowed");
}

ExclusiveBorrow::~ExclusiveBorrow() {
    f_.state.store(0, std::memory_order_release);
}

}  // namespace zpy
