// The object builder: JSON bytes straight into Python objects, with a key
// cache so that equal object keys of one document are one `str` object.
// Shared by load_json, the dataset members of a snapshot and
// CompactBbox.annotations().
#pragma once

#include "binding.hpp"

#include "zerlin/hashmap.hpp"
#include "zerlin/json.hpp"

namespace zpy {

// Key bytes -> the `str` made for them. Holds one reference per entry and
// releases them when dropped (with the interpreter lock held).
class KeyCache {
  public:
    KeyCache() : map_(112) {}
    ~KeyCache();
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;
    // New reference to the `str` for these bytes; throws PythonErrorAlreadySet.
    PyObject* get(zerlin::JsonString key);

  private:
    PyObject* lookup(zerlin::JsonString key);

    // Front of the cache for short keys: a direct-mapped table of recent
    // keys (bytes packed into two words) that spares most lookups the
    // keyed hash. A collision only costs a trip to the map; `str` is
    // borrowed from the map, which keeps every entry until the end.
    struct Recent {
        std::uint64_t lo = 0, hi = 0;
        std::size_t len = 0;
        PyObject* str = nullptr;
    };
    Recent recent_[64];
    zerlin::HashMap<std::string, PyObject*> map_;
};

// New `str` from validated UTF-8; throws PythonErrorAlreadySet.
PyObject* make_str(zerlin::JsonString s);

// Builds the value at the reader's cursor (leading whitespace allowed) and
// returns a new reference. Reader errors propagate as JsonError, unlabelled;
// a failed CPython call throws PythonErrorAlreadySet. Objects made so far are released.
PyObject* build_value(zerlin::JsonReader& reader, KeyCache& keys);

// Builds a whole document and returns a new reference. A reader error
// throws ValueError "JSON snapshot: <positioned message>" (or "JSON snapshot:
// trailing data: ..." for bytes after the value).
PyObject* build_document(std::string_view text);

// Throws ValueError "<label>: <message>" for a reader error, using the
// "<label>: trailing data: <message>" form for bytes after the document.
[[noreturn]] void throw_labelled_json_error(const std::string& label, const zerlin::JsonError& e);

}  // namespace zpy
