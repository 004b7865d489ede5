// The binding layer's shared machinery: argument matching, conversions of
// Python objects with the "while processing" note, mapping of core errors onto
// Python exceptions, zero-copy NumPy hand-off, the borrow flag and interpreter
// lock release. Every function of the module goes through these helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include "compat.h"

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL zerlin_ARRAY_API
#ifndef ZERLIN_NUMPY_MAIN
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/json.hpp"

namespace zpy {

// ---------------------------------------------------------------- references

// Owning reference; releases on destruction.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}  // steals
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(r.release()) {}
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) reset(r.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    PyObject* get() const { return o_; }
    PyObject* release() {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    void reset(PyObject* o = nullptr) {
        PyObject* old = o_;
        o_ = o;
        Py_XDECREF(old);
    }
    explicit operator bool() const { return o_ != nullptr; }

  private:
    PyObject* o_ = nullptr;
};

// ---------------------------------------------------------------- module globals

// Set once by module execution.
extern PyObject* g_panic_type;      // internal-failure exception (derives from BaseException)
extern PyTypeObject* g_owner_type;  // array-owner type
extern PyTypeObject* g_evaluator_type;
extern PyTypeObject* g_compact_type;

// ---------------------------------------------------------------- errors
// Everything below the entry points reports failure by throwing: a
// zerlin::Error where this layer or the core composes the message, or
// PythonErrorAlreadySet where a CPython or NumPy call failed and left its own
// exception set. Each entry point runs its body through guarded(), the one
// place where a C++ exception becomes a Python one.

// Thrown after a CPython or NumPy call failed: the Python exception is
// already set and only needs to travel to the entry point.
struct PythonErrorAlreadySet {};
[[noreturn]] inline void throw_python_error_already_set() {
    throw PythonErrorAlreadySet{};
}
// Returns o, or throws PythonErrorAlreadySet when it is NULL (a failed CPython call).
inline PyObject* check(PyObject* o) {
    if (!o) throw_python_error_already_set();
    return o;
}
// Returns the status of a CPython call, or throws PythonErrorAlreadySet when
// it is negative (a failure).
inline int check_status(int status) {
    if (status < 0) throw_python_error_already_set();
    return status;
}

// A JSON reader error with its label: a ValueError whose text is the
// labelled message and whose `json_error` attribute is the tuple (kind,
// line, column, literal), literal being "NaN", "Infinity", "-Infinity" or
// None, so that callers decide without parsing the message.
class LabelledJsonError : public zerlin::Error {
  public:
    LabelledJsonError(std::string message, const zerlin::JsonError& e)
        : Error(zerlin::ErrorKind::Value, std::move(message)),
          code_(e.code()),
          line_(e.line()),
          column_(e.column()),
          literal_(e.literal()) {}
    zerlin::JsonErrc code() const noexcept { return code_; }
    std::size_t line() const noexcept { return line_; }
    std::size_t column() const noexcept { return column_; }
    zerlin::NonFiniteLiteral literal() const noexcept { return literal_; }

  private:
    zerlin::JsonErrc code_;
    std::size_t line_, column_;
    zerlin::NonFiniteLiteral literal_;
};

// Translates the C++ exception in flight into the Python one (call inside a
// catch block).
void set_error_from_current();
// Rethrows the exception in flight as a Python exception carrying the note
// "while processing '<arg>'" (call inside a catch block). Exceptions other
// than Python and core errors (std::bad_alloc, ...) pass unchanged.
[[noreturn]] void rethrow_with_note(const char* arg);
// Name of an object's type, as Python shows it ("list", "ndarray").
std::string type_name(PyObject* o);
// TypeError "'{type}' object is not an instance of '{what}'".
[[noreturn]] void throw_not_instance(PyObject* o, const char* what);

// ---------------------------------------------------------------- Ctrl-C in long work
// Every entry point runs with a cancellation token (zerlin/cancel.hpp). On
// the thread that handles signals, the core's check points, and the pool
// while this thread waits for its pieces, ask SignalInterrupter every few
// milliseconds, which runs the interpreter's signal handlers: when one
// raises (KeyboardInterrupt), the token is cancelled, the work unwinds at
// its next check points, and the entry point returns that exception.

class SignalInterrupter final : public zerlin::Interrupter {
  public:
    SignalInterrupter() noexcept;  // with the interpreter lock held
    ~SignalInterrupter() override { current_ = outer_; }
    SignalInterrupter(const SignalInterrupter&) = delete;
    SignalInterrupter& operator=(const SignalInterrupter&) = delete;

    // Takes the interpreter lock back if NoGil released it, runs the
    // pending signal handlers, and releases the lock again.
    bool interrupted() noexcept override;
    // Whether this thread can handle signals at all (only the main thread can).
    bool active() const noexcept { return active_; }
    static SignalInterrupter* current() noexcept { return current_; }

    PyThreadState* released = nullptr;  // set by NoGil while it lives

  private:
    SignalInterrupter* outer_;
    bool active_;
    static inline thread_local SignalInterrupter* current_ = nullptr;
};

// One entry point's token, asked through the interrupter where signals arrive.
struct CallCancellation {
    zerlin::CancelToken token;
    SignalInterrupter interrupter;
    zerlin::CancelScope scope{&token, interrupter.active() ? &interrupter : nullptr};
};

// After work that was cancelled yet ran to its end: the interrupter's
// exception stays set (KeyboardInterrupt if, oddly, none is).
void report_cancelled();

// The body of an entry point: runs fn() and returns its result, a new
// reference (or status 0 for an int); any exception becomes the Python
// exception and the failure value (nullptr, or -1). A call interrupted by a
// signal returns the handler's exception and discards any result.
template <class F>
auto guarded(F&& fn) noexcept -> decltype(fn()) {
    using Result = decltype(fn());
    static_assert(std::is_same_v<Result, PyObject*> || std::is_same_v<Result, int>);
    CallCancellation cancellation;
    try {
        Result r = fn();
        if (!cancellation.token.cancelled()) return r;
        if constexpr (std::is_same_v<Result, PyObject*>) Py_XDECREF(r);
        report_cancelled();
    } catch (...) {
        set_error_from_current();
    }
    if constexpr (std::is_same_v<Result, int>)
        return -1;
    else
        return nullptr;
}

// Runs fn() (and returns its result); a failure gets the note for `arg`.
template <class F>
decltype(auto) with_note(const char* arg, F&& fn) {
    try {
        return fn();
    } catch (...) {
        rethrow_with_note(arg);
    }
}

// ---------------------------------------------------------------- argument matching

struct Signature {
    const char* display;             // "encode()", "Evaluator.run()"
    std::vector<const char*> names;  // parameter names, in order
    std::size_t required;            // leading parameters without default
};

// Vectorcall form. `out` receives one borrowed reference per parameter, or
// nullptr for an omitted optional one. Throws TypeError on a mismatch.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Tuple/dict form (tp_new).
void parse_args_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// ---------------------------------------------------------------- conversions
// Each throws the conversion's own exception on failure; callers that
// convert a declared argument add the note with arg() or with_note().

void to_i64(PyObject* o, int64_t* out);
void to_u64(PyObject* o, uint64_t* out);
void to_u32(PyObject* o, uint32_t* out);
void to_f64(PyObject* o, double* out);
void to_bool(PyObject* o, bool* out);
void to_str(PyObject* o, std::string* out);  // UTF-8

// Sequence of values: any object with PySequence_Check but str; elements by
// iteration, each converted with conv(item, T*).
template <class T, class Conv>
void to_vec(PyObject* o, std::vector<T>* out, Conv&& conv);
void check_sequence(PyObject* o);  // the "Vec" rules: TypeError when refused

void to_vec_i64(PyObject* o, std::vector<int64_t>* out);
void to_vec_u64(PyObject* o, std::vector<uint64_t>* out);
void to_vec_f64(PyObject* o, std::vector<double>* out);
void to_vec_bool(PyObject* o, std::vector<uint8_t>* out);
// Fixed-length sequence of floats: ValueError "expected a sequence of length n (got m)".
void to_fixed_f64(PyObject* o, std::size_t n, double* out);
// Tuple (or subclass) of exactly n items: the tuple-length message otherwise.
void check_tuple(PyObject* o, Py_ssize_t n);
void check_list(PyObject* o);
void check_dict(PyObject* o);

// NumPy array of dtype `typenum` in native byte order, any layout:
// TypeError "'{type}' object is not a {dtype} numpy.ndarray" otherwise.
void to_array_of_type(PyObject* o, int typenum, PyArrayObject** out);
template <int typenum>
void to_array(PyObject* o, PyArrayObject** out) {
    to_array_of_type(o, typenum, out);
}

// Converts argument `name` with conv(o, out), adding the note on failure.
template <class T, class Conv>
void arg(PyObject* o, const char* name, Conv&& conv, T* out) {
    try {
        conv(o, out);
    } catch (...) {
        rethrow_with_note(name);
    }
}

template <class T, class Conv>
void to_vec(PyObject* o, std::vector<T>* out, Conv&& conv) {
    check_sequence(o);
    Ref it(check(PyObject_GetIter(o)));
    out->clear();
    Py_ssize_t hint = PyObject_LengthHint(o, 0);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    out->reserve(std::size_t(hint));
    for (;;) {
        PyObject* item;
        int r = PyIter_NextItem(it.get(), &item);
        if (r < 0) throw_python_error_already_set();
        if (r == 0) break;
        Ref hold(item);
        T v;
        conv(item, &v);
        out->push_back(v);
    }
}

// ---------------------------------------------------------------- containers

// Interns each name into its slot, in order (dict keys made once per call).
template <std::size_t N>
void intern_all(Ref* const (&slots)[N], const char* const (&names)[N]) {
    for (std::size_t i = 0; i < N; ++i) *slots[i] = Ref(check(PyUnicode_InternFromString(names[i])));
}

// Pauses the cyclic collector while a function makes many acyclic objects
// (a document's dicts, evaluation records): every collection it would start
// meanwhile walks all of them again, and none of them can be garbage. The
// caller's setting comes back afterwards, on failure too.
class CollectorPaused {
  public:
    CollectorPaused() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPaused() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

  private:
    int was_enabled_;
};

// A dict with room for n items, so filling it never resizes. CPython's
// presizing constructor is a private function; it is used only on the
// versions known to export it, and a plain dict behaves the same elsewhere.
PyObject* new_dict(std::size_t n);

// ---------------------------------------------------------------- arrays

// Hands a vector's buffer to NumPy without copying: the array's base is an
// owner object that frees the vector with the array (a new reference; throws
// on failure). `dims` must multiply to v.size(), else ValueError. `fortran`
// lays the array out column-major.
template <class T>
PyObject* array_from_vector(std::vector<T>&& v, std::initializer_list<npy_intp> dims, int typenum,
                            bool fortran = false);
PyObject* array_from_buffer(void* data, std::size_t count, void (*drop)(void*), void* owner_state, const npy_intp* dims,
                            int nd, int typenum, bool fortran);

template <class T>
void drop_vector(void* p) {
    delete static_cast<std::vector<T>*>(p);
}

template <class T>
PyObject* array_from_vector(std::vector<T>&& v, std::initializer_list<npy_intp> dims, int typenum, bool fortran) {
    auto* holder = new std::vector<T>(std::move(v));
    return array_from_buffer(holder->data(), holder->size(), &drop_vector<T>, holder, dims.begin(), int(dims.size()),
                             typenum, fortran);
}

// ---------------------------------------------------------------- borrow flag

// Reader/writer flag guarding an object's native state; refused at once,
// never waited for.
struct BorrowFlag {
    std::atomic<int64_t> state{0};  // 0 free, n > 0 shared, -1 exclusive
};

// Held for a scope; taking it throws RuntimeError "Already mutably borrowed"
// while an exclusive borrow is held.
class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& f);
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

  private:
    BorrowFlag& f_;
};

// Held for a scope; taking it throws RuntimeError "Already borrowed" while
// any other borrow is held.
class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& f);
    ~ExclusiveBorrow();
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

  private:
    BorrowFlag& f_;
};

// ---------------------------------------------------------------- interpreter lock

// Releases the interpreter lock for its scope. No Python object may be touched
// while it lives.
class NoGil {
  public:
    NoGil() : state_(PyEval_SaveThread()), signals_(SignalInterrupter::current()) {
        if (signals_) signals_->released = state_;
    }
    ~NoGil() {
        if (signals_) signals_->released = nullptr;
        PyEval_RestoreThread(state_);
    }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

  private:
    PyThreadState* state_;
    SignalInterrupter* signals_;  // takes the lock back now and then to run signal handlers
};

// Runs fn() without the interpreter lock; a C++ exception thrown inside is
// rethrown once the lock is back.
template <class F>
void without_gil(F&& fn) {
    std::exception_ptr err;
    {
        NoGil nogil;
        try {
            fn();
        } catch (...) {
            err = std::current_exception();
        }
    }
    if (err) std::rethrow_exception(err);
}

// ---------------------------------------------------------------- module functions
// Defined in the files that own them; registered by module.cpp.

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* fn_load_compact_bbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_load_compact_or_objects(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_federated_evaluator(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_reference_eval_imgs(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_accumulate_records(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_panoptic_match(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_results_shape(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_load_compact_array(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_index_annotations(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_prepare_bbox_results(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_plain_box_results(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_summary_values(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_encode(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_decode(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_merge(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_area(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_toBbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_iou(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_frBbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_frPoly(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_frUncompressedRLE(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_frPyObjects(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_toBoundary(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_run_fault(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_load_json(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_parse_json_only(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_read_file_only(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* fn_alloc_stats(PyObject*, PyObject*);

// The body of prepare_bbox_results on a list, for callers inside the module.
void prepare_bbox_results(PyObject* annotations);
PyObject* fn_reset_alloc_peak(PyObject*, PyObject*);

// Type definitions of the two public classes (their own files) and the array owner.
PyType_Spec* evaluator_spec();
PyType_Spec* compact_spec();
PyType_Spec* owner_spec();

}  // namespace zpy
