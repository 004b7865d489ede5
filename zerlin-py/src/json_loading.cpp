// JSON file functions: load_json, parse_json_only, read_file_only, and the
// object builder they share with the compact handles.
#include "json_build.hpp"

#include <cstring>
#include <vector>

#include "zerlin/file.hpp"

namespace zpy {

using zerlin::JsonError;
using zerlin::JsonString;

PyObject* make_str(JsonString s) {
    if (s.ascii) {
        // Pure ASCII needs no decoding: size the compact string and copy.
        PyObject* o = check(PyUnicode_New(Py_ssize_t(s.text.size()), 127));
        std::memcpy(PyUnicode_1BYTE_DATA(o), s.text.data(), s.text.size());
        return o;
    }
    return check(PyUnicode_DecodeUTF8(s.text.data(), Py_ssize_t(s.text.size()), nullptr));
}

KeyCache::~KeyCache() {
    map_.for_each([](const std::string&, PyObject*& v) { Py_DECREF(v); });
}

PyObject* KeyCache::get(JsonString key) {
    std::size_t n = key.text.size();
    if (n == 0 || n > 16) return Py_NewRef(lookup(key));
    std::uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, key.text.data(), n < 8 ? n : 8);
    if (n > 8) std::memcpy(&hi, key.text.data() + 8, n - 8);
    Recent& r = recent_[((lo ^ (hi * 31) ^ n) * 0x9E3779B97F4A7C15ULL) >> 58];
    if (r.str && r.len == n && r.lo == lo && r.hi == hi) return Py_NewRef(r.str);
    PyObject* s = lookup(key);
    r = Recent{lo, hi, n, s};
    return Py_NewRef(s);
}

// The map's `str` for these bytes (borrowed), made on first sight.
PyObject* KeyCache::lookup(JsonString key) {
    auto [slot, inserted] = map_.find_or_insert(key.text, [&] {
        PyObject* s = make_str(key);
        // Hash once here; every dict this key goes into reuses it.
        if (PyObject_Hash(s) == -1) {
            Py_DECREF(s);
            throw_python_error_already_set();
        }
        return s;
    });
    (void)inserted;
    return *slot;
}

namespace {

// Handler of the reader: values are pushed on a stack as they complete; a
// closing bracket turns the values above its frame into the container.
class Builder {
  public:
    explicit Builder(KeyCache& keys) : keys_(keys) { values_.reserve(256); }
    ~Builder() {
        for (PyObject* o : values_) Py_DECREF(o);
    }
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    void on_null() { push(Py_NewRef(Py_None)); }
    void on_bool(bool b) { push(Py_NewRef(b ? Py_True : Py_False)); }
    void on_u64(std::uint64_t v) {
        push(check(v <= std::uint64_t(LONG_MAX) ? PyLong_FromLong(long(v)) : PyLong_FromUnsignedLongLong(v)));
    }
    void on_i64(std::int64_t v) { push(check(PyLong_FromLongLong(v))); }
    void on_double(double v) { push(check(PyFloat_FromDouble(v))); }
    void on_string(JsonString s) { push(make_str(s)); }
    void on_key(JsonString s) { push(keys_.get(s)); }
    void on_array_begin() { frames_.push_back(values_.size()); }
    void on_object_begin() { frames_.push_back(values_.size()); }

    void on_array_end() {
        std::size_t start = frames_.back();
        frames_.pop_back();
        std::size_t n = values_.size() - start;
        PyObject* list = check(PyList_New(Py_ssize_t(n)));
        // The list takes over the references.
        for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, Py_ssize_t(i), values_[start + i]);
        values_.resize(start);
        values_.push_back(list);
    }

    void on_object_end() {
        std::size_t start = frames_.back();
        frames_.pop_back();
        PyObject* dict = check(new_dict((values_.size() - start) / 2));
        // Insert in document order: a repeated key keeps its first position
        // and takes its last value.
        int rc = 0;
        for (std::size_t i = start; i < values_.size() && rc == 0; i += 2)
            rc = PyDict_SetItem(dict, values_[i], values_[i + 1]);
        for (std::size_t i = start; i < values_.size(); ++i) Py_DECREF(values_[i]);
        values_.resize(start);
        if (rc != 0) {
            Py_DECREF(dict);
            throw_python_error_already_set();
        }
        values_.push_back(dict);
    }

    PyObject* take_result() {
        PyObject* o = values_.back();
        values_.pop_back();
        return o;
    }

  private:
    void push(PyObject* o) { values_.push_back(o); }

    KeyCache& keys_;
    std::vector<PyObject*> values_;
    std::vector<std::size_t> frames_;
};

}  // namespace

PyObject* build_value(zerlin::JsonReader& reader, KeyCache& keys) {
    CollectorPaused paused;
    Builder b(keys);
    reader.parse_value(b);
    return b.take_result();
}

void throw_labelled_json_error(const std::string& label, const JsonError& e) {
    std::string msg = label;
    msg += e.code() == zerlin::JsonErrc::TrailingCharacters ? ": trailing data: " : ": ";
    msg += e.what();
    throw LabelledJsonError(std::move(msg), e);
}

PyObject* build_document(std::string_view text) {
    try {
        KeyCache keys;
        zerlin::JsonReader reader(text);
        Ref doc(build_value(reader, keys));
        reader.finish();
        return doc.release();
    } catch (const JsonError& e) {
        throw_labelled_json_error("JSON snapshot", e);
    }
}

namespace {

// The one argument of the three functions, and the file it names read
// whole (OSError on failure).
zerlin::Text read_path_arg(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                           std::string* path) {
    PyObject* out[1];
    parse_args(sig, args, nargs, kw, out);
    arg(out[0], "path", to_str, path);
    return zerlin::read_file(*path);
}

}  // namespace

PyObject* fn_load_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"load_json()", {"path"}, 1};
        std::string path;
        return build_document(read_path_arg(sig, args, nargs, kw, &path));
    });
}

PyObject* fn_parse_json_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"parse_json_only()", {"path"}, 1};
        std::string path;
        const zerlin::Text text = read_path_arg(sig, args, nargs, kw, &path);
        try {
            without_gil([&] { zerlin::check_json_syntax(text); });
        } catch (const JsonError& e) {
            throw_labelled_json_error(path, e);
        }
        return check(PyLong_FromSize_t(text.size()));
    });
}

PyObject* fn_read_file_only(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        static const Signature sig{"read_file_only()", {"path"}, 1};
        std::string path;
        return check(PyLong_FromSize_t(read_path_arg(sig, args, nargs, kw, &path).size()));
    });
}

}  // namespace zpy
