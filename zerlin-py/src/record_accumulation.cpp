// accumulate() over per-image records a caller hands back to the drop-in
// COCOeval (merged from several processes or batches): the records are read
// once, straight into the core's accumulator.
#include "binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "zerlin/record_cells.hpp"

namespace zpy {

namespace {

// A record the fast reader does not take; the caller's general route decides.
[[noreturn]] void unsupported(const std::string& why) {
    zerlin::throw_value("record layout not supported: " + why);
}

npy_intp dim(const Ref& arr, int i) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(arr.get()), i);
}

// An array-like of `dims` dimensions, read as "is each value non-zero": the
// record's own array where it is an aligned C-contiguous one of the types
// the records hold (float64, bool, int64), else a float64 copy.
class Flags {
  public:
    Flags(PyObject* o, int dims) {
        auto* a = reinterpret_cast<PyArrayObject*>(o);
        if (PyArray_Check(o) && PyArray_NDIM(a) == dims && PyArray_ISCARRAY_RO(a) && PyArray_ISNOTSWAPPED(a) &&
            (PyArray_TYPE(a) == NPY_DOUBLE || PyArray_TYPE(a) == NPY_BOOL || PyArray_TYPE(a) == NPY_INT64)) {
            arr_ = Ref::borrow(o);
        } else {
            PyObject* converted = PyArray_FROMANY(o, NPY_DOUBLE, dims, dims, NPY_ARRAY_CARRAY);
            if (!converted) {
                PyErr_Clear();
                unsupported("a value is not a numeric array");
            }
            arr_ = Ref(converted);
        }
        auto* held = reinterpret_cast<PyArrayObject*>(arr_.get());
        type_ = PyArray_TYPE(held);
        data_ = PyArray_DATA(held);
    }
    // Appends 1 for each of the first n values that is non-zero, else 0.
    void append_nonzero(std::size_t n, std::vector<uint8_t>* out) const {
        const std::size_t at = out->size();
        out->resize(at + n);
        uint8_t* o = out->data() + at;
        switch (type_) {
            case NPY_BOOL:
                return nonzero(static_cast<const npy_bool*>(data_), n, o);
            case NPY_INT64:
                return nonzero(static_cast<const int64_t*>(data_), n, o);
            default:
                return nonzero(static_cast<const double*>(data_), n, o);
        }
    }
    npy_intp dim(int i) const { return PyArray_DIM(reinterpret_cast<PyArrayObject*>(arr_.get()), i); }

  private:
    template <class V>
    static void nonzero(const V* v, std::size_t n, uint8_t* out) {
        for (std::size_t i = 0; i < n; ++i) out[i] = v[i] != 0 ? 1 : 0;
    }
    Ref arr_;
    int type_ = NPY_DOUBLE;
    const void* data_ = nullptr;
};

struct RecordKeys {
    Ref dtScores, dtMatches, dtIgnore, gtIgnore;
    RecordKeys() {
        intern_all({&dtScores, &dtMatches, &dtIgnore, &gtIgnore}, {"dtScores", "dtMatches", "dtIgnore", "gtIgnore"});
    }
};

// Held, not borrowed: converting one field may run code that changes the record.
Ref field(PyObject* record, const Ref& key) {
    PyObject* v;
    if (PyDict_GetItemRef(record, key.get(), &v) < 0) throw_python_error_already_set();
    if (!v) unsupported("a record lacks a field");
    return Ref(v);
}

// A record's dtScores: a list of floats (what the records hold) read in
// place, as no Python code can run meanwhile; anything else as any sequence.
void read_scores(PyObject* o, std::vector<double>* out) {
    if (PyList_CheckExact(o)) {
        const Py_ssize_t n = PyList_GET_SIZE(o);
        out->resize(std::size_t(n));
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(o, i);
            if (!PyFloat_CheckExact(v)) break;
            (*out)[std::size_t(i)] = PyFloat_AS_DOUBLE(v);
        }
        if (i == n) return;
    }
    to_vec_f64(o, out);
}

// A record's values appended to the columns: its scores in order and its flags.
void read_record(PyObject* record, const RecordKeys& k, zerlin::RecordColumns* c, std::vector<double>* scores) {
    if (!PyDict_Check(record)) unsupported("a record is not a dict");
    const std::size_t T = c->T;
    read_scores(field(record, k.dtScores).get(), scores);
    // Each field held while read: converting one may run code that changes the record.
    Ref m_obj = field(record, k.dtMatches), ig_obj = field(record, k.dtIgnore), g_obj = field(record, k.gtIgnore);
    const Flags m(m_obj.get(), 2), ig(ig_obj.get(), 2), gt(g_obj.get(), 1);
    const std::size_t D = scores->size();
    for (const Flags* f : {&m, &ig})
        if (std::size_t(f->dim(0)) != T || std::size_t(f->dim(1)) != D) unsupported("shapes disagree");
    gt.append_nonzero(std::size_t(gt.dim(0)), &c->gt_ignore);
    m.append_nonzero(T * D, &c->matched);
    ig.append_nonzero(T * D, &c->ignored);
    c->scores.insert(c->scores.end(), scores->begin(), scores->end());
    c->close_record();
}

// References to records, keyed by their addresses, released together.
struct HeldRecords {
    std::vector<zerlin::KeyedIndex> items;
    HeldRecords() = default;
    HeldRecords(const HeldRecords&) = delete;
    HeldRecords& operator=(const HeldRecords&) = delete;
    ~HeldRecords() {
        for (const zerlin::KeyedIndex& k : items) Py_DECREF(object(k));
    }
    void add(PyObject* record, std::size_t index) {
        items.push_back({reinterpret_cast<uintptr_t>(record), uint32_t(index)});
        Py_INCREF(record);  // once stored, so a failed push leaves no reference behind
    }
    static PyObject* object(const zerlin::KeyedIndex& k) { return reinterpret_cast<PyObject*>(uintptr_t(k.key)); }
};

// The arguments in native form.
struct Request {
    PyObject* records;
    Ref positions, cells;         // int64 (C, I) record positions and (C, 2) output (k, a)
    zerlin::EvalParams p;         // thresholds (their count), recall thresholds, caps; one area
    std::vector<uint64_t> shape;  // T, K, A, M of the outputs
};

Ref int_array(PyObject* o, const char* name) {
    return with_note(name, [&] { return Ref(check(PyArray_FROMANY(o, NPY_INT64, 2, 2, NPY_ARRAY_CARRAY))); });
}

const int64_t* ints_of(const Ref& arr) {
    return static_cast<const int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
}

}  // namespace

PyObject* fn_accumulate_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{
            "accumulate_records()", {"records", "positions", "cells", "rec_thrs", "max_dets", "shape"}, 6};
        PyObject* a[6];
        parse_args(sig, args, nargs, kw, a);
        Request q;
        q.records = a[0];
        with_note("records", [&] { check_list(a[0]); });
        q.positions = int_array(a[1], "positions");
        q.cells = int_array(a[2], "cells");
        arg(a[3], "rec_thrs", to_vec_f64, &q.p.rec_thrs);
        arg(a[4], "max_dets", to_vec_u64, &q.p.max_dets);
        arg(a[5], "shape", to_vec_u64, &q.shape);
        const std::size_t C = std::size_t(dim(q.positions, 0)), I = std::size_t(dim(q.positions, 1));
        if (q.shape.size() != 4 || std::size_t(dim(q.cells, 0)) != C || dim(q.cells, 1) != 2 ||
            q.p.max_dets.size() > q.shape[3])
            zerlin::throw_value("accumulate_records(): shape, cells and positions disagree");
        const std::size_t T = q.shape[0], K = q.shape[1], A = q.shape[2], M = q.shape[3], R = q.p.rec_thrs.size();
        q.p.iou_thrs.assign(T, 0.0);
        q.p.area_rng.assign(1, {0.0, 0.0});
        std::vector<double> precision(T * R * K * A * M, -1.0), scores(T * R * K * A * M, -1.0),
            recall(T * K * A * M, -1.0);
        RecordKeys keys;
        const int64_t* pos = ints_of(q.positions);
        const int64_t* cell_ka = ints_of(q.cells);
        std::vector<zerlin::RecordCell> cells(C);
        for (std::size_t c = 0; c < C; ++c) {
            cells[c].k = std::size_t(cell_ka[2 * c]), cells[c].a = std::size_t(cell_ka[2 * c + 1]);
            if (cells[c].k >= K || cells[c].a >= A)
                zerlin::throw_value("accumulate_records(): a cell lies outside the shape");
        }
        // The records are read in the order of their addresses: records made
        // together (one batch's, one process's) lie together in memory, and
        // a merged list interleaves them, so reading them in list order
        // would wait on memory at nearly every record. Each is held while
        // the others are read, as reading one may run code that changes the list.
        if (C * I > UINT32_MAX) unsupported("more positions than 32-bit indices reach");
        HeldRecords held;
        for (std::size_t at = 0; at < C * I; ++at) {
            if (pos[at] < 0 || pos[at] >= PyList_GET_SIZE(q.records))
                unsupported("a position lies outside the records");
            PyObject* record = PyList_GET_ITEM(q.records, Py_ssize_t(pos[at]));
            if (record != Py_None) held.add(record, at);
        }
        zerlin::sort_by_key(held.items);
        zerlin::RecordColumns columns;
        columns.T = T;
        std::vector<uint32_t> record_of(C * I, UINT32_MAX);
        std::vector<double> scratch;
        std::size_t next_projection = 4096;
        for (std::size_t n = 0; n < held.items.size(); ++n) {
            if (n % 4096 == 0) zerlin::check_cancelled();
            if (n == next_projection) {
                columns.reserve_projected(held.items.size());
                next_projection *= 4;
            }
            record_of[held.items[n].index] = uint32_t(columns.size());
            read_record(HeldRecords::object(held.items[n]), keys, &columns, &scratch);
        }
        // Each cell takes its records in the selection's image order.
        for (std::size_t c = 0; c < C; ++c)
            for (std::size_t i = 0; i < I; ++i)
                if (record_of[c * I + i] != UINT32_MAX) cells[c].records.push_back(record_of[c * I + i]);
        without_gil([&] { zerlin::accumulate_cells(q.p, columns, cells); });
        // Written in the cells' order, as one loop over them would.
        const std::size_t Mc = q.p.max_dets.size();
        for (const zerlin::RecordCell& cell : cells) {
            if (cell.records.empty()) continue;  // the reference skips a cell without records
            const std::size_t k = cell.k, ar = cell.a;
            for (std::size_t t = 0; t < T; ++t)
                for (std::size_t m = 0; m < Mc; ++m) {
                    recall[((t * K + k) * A + ar) * M + m] = cell.rec[t * Mc + m];
                    for (std::size_t r = 0; r < R; ++r) {
                        precision[(((t * R + r) * K + k) * A + ar) * M + m] = cell.prec[(t * R + r) * Mc + m];
                        scores[(((t * R + r) * K + k) * A + ar) * M + m] = cell.score[(t * R + r) * Mc + m];
                    }
                }
        }
        const npy_intp t = npy_intp(T), r = npy_intp(R), k = npy_intp(K), ar = npy_intp(A), m = npy_intp(M);
        Ref p(array_from_vector(std::move(precision), {t, r, k, ar, m}, NPY_FLOAT64));
        Ref rc(array_from_vector(std::move(recall), {t, k, ar, m}, NPY_FLOAT64));
        Ref s(array_from_vector(std::move(scores), {t, r, k, ar, m}, NPY_FLOAT64));
        return check(PyTuple_Pack(3, p.get(), rc.get(), s.get()));
    });
}

}  // namespace zpy
