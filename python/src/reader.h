#pragma once

// tessel.Index: the reader of an index file or a sharded index (Tessel::Index answers for
// both): its object, the calls that answer at once, and what its iterator (iterator.h), views
// (views.h) and scans (matches.h) share. The types themselves are made from the slots in
// tessel_module.cpp. Every call that reads the
// index raises the failure of that call, and only of that call.
//
// References: every function that takes a new reference either returns it or releases it on
// its single way out; borrowed references are named so.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <tessel/index.h>
#include <tessel/status.h>

#include "arguments.h"
#include "keys.h"
#include "state.h"

namespace TesselPython {

// Queries that get_many() looks up between two takings of the GIL, and the items a listing
// makes between two looks at pending signals.
constexpr std::size_t kChunk = 4096;

enum class Yield { kKeys, kValues, kItems };

using View = Tessel::Index;
using Value = View::Value;

struct Reader {
  PyObject_HEAD View view;
  View::Cursor cursor;  // for listings, while cursorInUse is false
  PyObject* path;       // what was opened, or nullptr
  PyObject* absolute;   // its absolute form, which a pickle keeps
  PyObject* exporter;   // what from_bytes() views, or nullptr
  Py_buffer buffer;     // exporter's buffer
  Py_ssize_t busy;      // calls that need the index mapped till they end
  bool binary;
  bool closed;
  bool cursorInUse;
  bool used;  // a call has been made: __setstate__ may no longer change the key type
};

inline Reader* asReader(PyObject* object) {
  return reinterpret_cast<Reader*>(object);
}

// Raises the exception of a call's failure (neither ok nor notFound) on `self`, naming the
// file or shard it concerns, else the path opened; returns nullptr.
inline PyObject* raiseFailure(const Reader* self, const Tessel::Status& status) {
  return raiseStatus(status, self->path);
}

// Whether the index is closed: true with ValueError set.
inline bool refuseClosed(Reader* self) {
  self->used = true;
  if (!self->closed) return false;
  PyErr_SetString(PyExc_ValueError, "I/O operation on closed index");
  return true;
}

// Unmaps and lets go of the buffer. REQUIRES: no Busy call is under way.
inline void release(Reader* self) {
  self->view.close();
  if (self->exporter != nullptr) {
    PyBuffer_Release(&self->buffer);
    Py_CLEAR(self->exporter);
  }
}

// Marks a call during which the index must stay mapped: one that runs without the GIL, or one
// whose walk makes Python objects (and so may run any code, close() included). close() waits
// for the last one to end.
class Busy {
 public:
  explicit Busy(Reader* self) : self_(self) { ++self_->busy; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    if (--self_->busy == 0 && self_->closed) release(self_);
  }

 private:
  Reader* self_;
};

// A new reader of `type`, empty; nullptr with MemoryError.
inline Reader* allocateReader(PyTypeObject* type, bool binary) {
  auto* self = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->view) View();
  new (&self->cursor) View::Cursor();
  self->binary = binary;
  return self;
}

// Sets `absolute` to os.path.abspath(path); false with an exception set.
inline bool keepPath(Reader* self, PyObject* path) {
  PyObject* absolute = PyObject_CallOneArg(stateOf(Py_TYPE(self))->abspath, path);
  if (absolute == nullptr) return false;
  Py_INCREF(path);
  self->path = path;
  self->absolute = absolute;
  return true;
}

inline void Reader_dealloc(PyObject* object) {
  auto* self = asReader(object);
  PyObject_GC_UnTrack(object);
  release(self);
  Py_CLEAR(self->path);
  Py_CLEAR(self->absolute);
  self->cursor.~Cursor();
  self->view.~View();
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

inline int Reader_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = asReader(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->path);
  Py_VISIT(self->absolute);
  Py_VISIT(self->exporter);
  return 0;
}

inline int Reader_clear(PyObject* object) {
  auto* self = asReader(object);
  self->closed = true;
  if (self->busy == 0) release(self);
  Py_CLEAR(self->path);
  Py_CLEAR(self->absolute);
  return 0;
}

inline PyObject* decodeKey(const Reader* self, const char* data, std::size_t size) {
  const auto length = static_cast<Py_ssize_t>(size);
  if (self->binary) return PyBytes_FromStringAndSize(data, length);
  return PyUnicode_DecodeUTF8(data, length, "surrogateescape");
}

inline PyObject* makeValue(long long value) {
  return PyLong_FromLongLong(value);
}

// (key, value), a tuple the cyclic GC need not follow: it holds a str or bytes and an int,
// which can be in no cycle, so that long listings leave the collector nothing to scan.
// Takes both references, on failure too.
inline PyObject* makePair(PyObject* key, PyObject* value) {
  PyObject* pair = key != nullptr && value != nullptr ? PyTuple_New(2) : nullptr;
  if (pair == nullptr) {
    Py_XDECREF(key);
    Py_XDECREF(value);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, key);
  PyTuple_SET_ITEM(pair, 1, value);
  PyObject_GC_UnTrack(pair);
  return pair;
}

// The object a listing yields for a key and its value.
inline PyObject* yielded(const Reader* self, Yield what, const char* key, std::size_t length,
                         long long value) {
  switch (what) {
    case Yield::kKeys:
      return decodeKey(self, key, length);
    case Yield::kValues:
      return makeValue(value);
    default:
      return makePair(decodeKey(self, key, length), makeValue(value));
  }
}

// Whether `key` is of a type that a key can have: str, bytes, or a buffer.
inline bool keyLike(PyObject* key) {
  return PyUnicode_Check(key) || PyBytes_Check(key) || PyObject_CheckBuffer(key);
}

// Looks `key` up: 1 with `value` set, 0 when it is no key (an object of another type is none,
// as in a Mapping), -1 with an exception set.
inline int lookup(Reader* self, PyObject* key, Value& value) {
  if (refuseClosed(self)) return -1;
  if (!keyLike(key)) return 0;
  KeyBytes bytes;
  switch (bytes.set(key)) {
    case KeyBytes::kBytes: {
      const Tessel::Status found = self->view.find(bytes.data(), bytes.size(), value);
      if (found.failed()) {
        raiseFailure(self, found);
        return -1;
      }
      return found.ok() ? 1 : 0;
    }
    case KeyBytes::kNoKey:
      return 0;
    default:
      return -1;
  }
}

inline int Reader_contains(PyObject* object, PyObject* key) {
  Value value;
  return lookup(asReader(object), key, value);
}

inline PyObject* Reader_subscript(PyObject* object, PyObject* key) {
  Value value;
  const int found = lookup(asReader(object), key, value);
  if (found < 0) return nullptr;
  if (found == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return makeValue(value);
}

// Whether Ctrl-C has not come while the first listing of a file makes what listings need (a
// pass over the whole file): false with KeyboardInterrupt set.
inline bool readyToList(Reader* self) {
  Busy busy(self);
  return self->view.prepareListings([] { return PyErr_CheckSignals() == 0; });
}

// The number of keys, -1 with KeyboardInterrupt when Ctrl-C stopped the first count of a
// file, which reads it whole.
inline Py_ssize_t countKeys(Reader* self) {
  std::size_t count = 0;
  Busy busy(self);
  if (!self->view.keyCount(count, [] { return PyErr_CheckSignals() == 0; })) return -1;
  return static_cast<Py_ssize_t>(count);
}

inline Py_ssize_t Reader_length(PyObject* object) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return -1;
  return countKeys(self);
}

inline PyObject* Reader_get(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "get() takes 1 or 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  Value value;
  const int found = lookup(asReader(object), args[0], value);
  if (found < 0) return nullptr;
  if (found > 0) return makeValue(value);
  PyObject* fallback = nargs > 1 ? args[1] : Py_None;
  Py_INCREF(fallback);
  return fallback;
}

// Lists up to `limit` keys below `prefix` with the reader's own cursor, or a fresh one when a
// callback is already using it. onKey(key, value) returns false to stop. Returns false with
// an exception set when the walk fails (a damaged index, a shard that cannot be read) or its
// memory cannot be had.
template <class OnKey>
bool listKeys(Reader* self, const char* prefix, std::size_t length, std::size_t limit,
              OnKey&& onKey, bool ignoreCase = false) {
  View::Cursor fresh;
  const bool own = !self->cursorInUse;
  View::Cursor& cursor = own ? self->cursor : fresh;
  if (!readyToList(self)) return false;
  self->cursorInUse = true;
  bool listed = true;
  Tessel::Status status;
  {
    Busy busy(self);
    try {
      status = ignoreCase ? self->view.predictIgnoringCase(prefix, length, onKey, limit)
                          : self->view.predict(prefix, length, onKey, cursor, limit);
    } catch (const std::bad_alloc&) {
      listed = false;
    }
  }
  if (own) self->cursorInUse = false;
  if (!listed) PyErr_NoMemory();
  // The walk's failure, unless the caller's callback stopped it with its own exception.
  if (listed && status.failed() && !PyErr_Occurred()) raiseFailure(self, status);
  return listed && !status.failed();
}

// A new list of what a listing of up to `limit` keys below prefix[0 .. length) yields. The
// items are gathered first and the list made once, at its size.
inline PyObject* listed(Reader* self, const char* prefix, std::size_t length, std::size_t limit,
                        Yield what, bool ignoreCase = false) {
  std::vector<PyObject*> items;
  bool failed = false;
  bool ok = true;
  try {
    items.reserve(std::min<std::size_t>(limit, 64));
    ok = listKeys(
        self, prefix, length, limit,
        [&](const std::string& key, Value value) {
          items.push_back(nullptr);  // room first: a failed growth then leaks no item
          items.back() = yielded(self, what, key.data(), key.size(), value);
          failed = items.back() == nullptr;
          if (failed) items.pop_back();
          // Ctrl-C stops a long listing, as of every key of a large index.
          if (!failed && items.size() % kChunk == 0) failed = PyErr_CheckSignals() != 0;
          return !failed;
        },
        ignoreCase);
  } catch (const std::bad_alloc&) {
    ok = false;
    PyErr_NoMemory();
  }
  PyObject* result = failed || !ok ? nullptr : PyList_New(static_cast<Py_ssize_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (result != nullptr) {
      PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), items[i]);
    } else {
      Py_DECREF(items[i]);
    }
  }
  return result;
}

inline PyObject* Reader_predict(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const names[] = {"prefix", "limit", "ignore_case"};
  PyObject* given[3];
  if (!parseArguments("predict", args, nargs, kwnames, names, 3, 0, 0, given)) return nullptr;
  if (nargs > 2) return keywordOnly("predict", "ignore_case");
  auto* self = asReader(object);
  std::size_t limit;
  bool ignoreCase;
  if (!readLimit(given[1], limit) || !readFlag(given[2], ignoreCase) || refuseClosed(self)) {
    return nullptr;
  }
  KeyBytes bytes;
  const KeyBytes::Result kind = given[0] == nullptr ? KeyBytes::kBytes : bytes.set(given[0]);
  if (kind == KeyBytes::kError) return nullptr;
  if (kind == KeyBytes::kNoKey) return PyList_New(0);
  return listed(self, bytes.data(), bytes.size(), limit, Yield::kItems, ignoreCase);
}

// top(prefix="", n=10, *, ignore_case=False): [(key, value, weight)] for the n heaviest keys
// that begin with prefix, ties in byte order.
inline PyObject* Reader_top(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const char* const names[] = {"prefix", "n", "ignore_case"};
  PyObject* given[3];
  if (!parseArguments("top", args, nargs, kwnames, names, 3, 0, 0, given)) return nullptr;
  if (nargs > 2) return keywordOnly("top", "ignore_case");
  auto* self = asReader(object);
  std::size_t n = 10;
  bool ignoreCase;
  if (given[1] != nullptr) {
    PyObject* number = PyNumber_Index(given[1]);
    if (number == nullptr) return nullptr;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
      PyErr_SetString(PyExc_ValueError, "top(): n is below 0");
      return nullptr;
    }
    // More than any index holds is every key.
    n = overflow > 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(value);
  }
  if (!readFlag(given[2], ignoreCase) || refuseClosed(self)) return nullptr;
  KeyBytes bytes;
  const KeyBytes::Result kind = given[0] == nullptr ? KeyBytes::kBytes : bytes.set(given[0]);
  if (kind == KeyBytes::kError) return nullptr;
  if (kind == KeyBytes::kNoKey) return PyList_New(0);
  struct Ranked {
    std::string key;
    Value value;
    std::uint32_t weight;
  };
  std::vector<Ranked> ranked;
  Tessel::Status status;
  try {
    Busy busy(self);
    Py_BEGIN_ALLOW_THREADS;
    status = self->view.top(
        bytes.data(), bytes.size(), n,
        [&](const std::string& key, Value value, std::uint32_t weight) {
          ranked.push_back(Ranked{key, value, weight});
        },
        ignoreCase);
    Py_END_ALLOW_THREADS;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!status.ok()) return raiseFailure(self, status);
  PyObject* result = PyList_New(static_cast<Py_ssize_t>(ranked.size()));
  for (std::size_t i = 0; result != nullptr && i < ranked.size(); ++i) {
    PyObject* key = yielded(self, Yield::kKeys, ranked[i].key.data(), ranked[i].key.size(), 0);
    PyObject* item = key == nullptr
                         ? nullptr
                         : Py_BuildValue("(NLk)", key, static_cast<long long>(ranked[i].value),
                                         static_cast<unsigned long>(ranked[i].weight));
    if (item == nullptr) {
      Py_CLEAR(result);
    } else {
      PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), item);
    }
  }
  return result;
}

inline PyObject* Reader_has_keys_with_prefix(PyObject* object, PyObject* prefix) {
  auto* self = asReader(object);
  KeyBytes bytes;
  if (refuseClosed(self)) return nullptr;
  switch (bytes.set(prefix)) {
    case KeyBytes::kError:
      return nullptr;
    case KeyBytes::kNoKey:
      return PyBool_FromLong(0);
    default:
      break;
  }
  bool any = false;
  if (!listKeys(self, bytes.data(), bytes.size(), 1,
                [&](const std::string&, Value) { return !(any = true); })) {
    return nullptr;
  }
  return PyBool_FromLong(any);
}

// prefixes(), prefix_items() and prefix_values(): what every key that is a prefix of the
// query yields, shortest first; with ignore_case, every key that matches a prefix of it
// ignoring case, as stored.
template <Yield what>
PyObject* Reader_prefixes(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  const char* name = what == Yield::kKeys    ? "prefixes"
                     : what == Yield::kItems ? "prefix_items"
                                             : "prefix_values";
  static const char* const names[] = {"query", "ignore_case"};
  PyObject* given[2];
  if (!parseArguments(name, args, nargs, kwnames, names, 2, 1, 1, given)) return nullptr;
  if (nargs > 1) return keywordOnly(name, "ignore_case");
  auto* self = asReader(object);
  KeyBytes bytes;
  bool ignoreCase;
  if (!readFlag(given[1], ignoreCase) || refuseClosed(self) ||
      bytes.set(given[0]) == KeyBytes::kError) {
    return nullptr;
  }
  PyObject* result = PyList_New(0);
  if (result == nullptr) return nullptr;
  bool failed = false;
  Busy busy(self);
  auto onMatch = [&](const char* key, std::size_t length, Value value) {
    if (failed) return;
    PyObject* item = yielded(self, what, key, length, value);
    failed = item == nullptr || PyList_Append(result, item) != 0;
    Py_XDECREF(item);
  };
  Tessel::Status status;
  try {
    status = ignoreCase ? self->view.commonPrefixesIgnoringCase(
                              bytes.data(), bytes.size(),
                              [&](std::size_t, Value value, const std::string& key) {
                                onMatch(key.data(), key.size(), value);
                              })
                        : self->view.commonPrefixes(bytes.data(), bytes.size(),
                                                    [&](std::size_t length, Value value) {
                                                      onMatch(bytes.data(), length, value);
                                                    });
  } catch (const std::bad_alloc&) {
    Py_DECREF(result);
    return PyErr_NoMemory();
  }
  if (!failed && status.failed()) {
    raiseFailure(self, status);
    failed = true;
  }
  if (failed) Py_CLEAR(result);
  return result;
}

// longest_prefix() and longest_prefix_item(): the longest key that is a prefix of the query,
// or the default; KeyError without one.
template <Yield what>
PyObject* Reader_longest_prefix(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
  const char* name = what == Yield::kKeys ? "longest_prefix" : "longest_prefix_item";
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 or 2 arguments (%zd given)", name, nargs);
    return nullptr;
  }
  auto* self = asReader(object);
  KeyBytes bytes;
  if (refuseClosed(self) || bytes.set(args[0]) == KeyBytes::kError) return nullptr;
  std::size_t longest = 0;
  long long found = -1;
  const Tessel::Status status =
      self->view.commonPrefixes(bytes.data(), bytes.size(), [&](std::size_t length, Value value) {
        longest = length;
        found = value;
      });
  if (status.failed()) return raiseFailure(self, status);
  if (found >= 0) return yielded(self, what, bytes.data(), longest, found);
  if (nargs > 1) {
    Py_INCREF(args[1]);
    return args[1];
  }
  PyErr_SetObject(PyExc_KeyError, args[0]);
  return nullptr;
}

inline PyObject* Reader_restore_key(PyObject* object, PyObject* argument) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return nullptr;
  long long value;
  const int in = integerIn(argument, 0, std::numeric_limits<Value>::max(), value);
  // __index__ ran the caller's code, which may have closed the index.
  if (in < 0 || refuseClosed(self)) return nullptr;
  std::string key;
  bool found = false;
  if (in > 0) {
    Tessel::Status status;
    try {
      Busy busy(self);
      status = self->view.restoreKey(static_cast<Value>(value), key);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    if (status.failed()) return raiseFailure(self, status);
    found = status.ok();
  }
  if (!found) {
    PyErr_SetObject(PyExc_KeyError, argument);
    return nullptr;
  }
  return decodeKey(self, key.data(), key.size());
}

// A caller's buffer that get_many() writes its values into: writable, one-dimensional and
// contiguous, of signed 64-bit integers (numpy's int64, array('q')).
class OutputValues {
 public:
  OutputValues() = default;
  OutputValues(const OutputValues&) = delete;
  OutputValues& operator=(const OutputValues&) = delete;
  ~OutputValues() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Takes `out` for `count` values; false with an exception set when it will not do.
  bool take(PyObject* out, std::size_t count) {
    if (PyObject_GetBuffer(out, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
      return false;
    }
    held_ = true;
    const char* format = view_.format == nullptr ? "B" : view_.format;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool integers =
        (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0) && view_.itemsize == 8;
    if (!integers || view_.ndim != 1) {
      PyErr_Format(PyExc_TypeError,
                   "out= takes a writable one-dimensional buffer of 64-bit integers (int64, "
                   "array('q')), not %d-dimensional, format '%.20s', %zd bytes an item",
                   view_.ndim, format, view_.itemsize);
      return false;
    }
    if (static_cast<std::size_t>(view_.len / 8) != count) {
      PyErr_Format(PyExc_ValueError, "out= holds %zd values for %zu queries", view_.len / 8, count);
      return false;
    }
    return true;
  }

  std::int64_t* data() const { return static_cast<std::int64_t*>(view_.buf); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

inline PyObject* Reader_get_many(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const char* const names[] = {"queries", "out", "ignore_case"};
  PyObject* given[3];
  if (!parseArguments("get_many", args, nargs, kwnames, names, 3, 1, 1, given)) return nullptr;
  if (nargs > 2) return keywordOnly("get_many", "ignore_case");
  PyObject* queries = given[0];
  PyObject* outArgument = given[1] == Py_None ? nullptr : given[1];
  auto* self = asReader(object);
  bool ignoreCase;
  if (!readFlag(given[2], ignoreCase) || refuseClosed(self)) return nullptr;
  if (isOneText(queries)) {
    PyErr_Format(PyExc_TypeError, "get_many() takes an iterable of queries, not one %.200s",
                 Py_TYPE(queries)->tp_name);
    return nullptr;
  }
  // A tuple of our own holds every query while the lookups run without the GIL: another
  // thread may change the caller's list meanwhile.
  PyObject* items = PySequence_Tuple(queries);
  if (items == nullptr) return nullptr;
  PyObject* result = nullptr;
  // Making the tuple ran the caller's code, which may have closed the index.
  if (!refuseClosed(self)) {
    try {
      const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(items));
      // Queries go in chunks through arrays that stay in cache: arrays for all of them were
      // fresh pages from the kernel at every call, a third of its time.
      const std::size_t chunk = std::min(count, kChunk);
      std::vector<KeyBytes> keys(chunk);
      std::vector<const char*> pointers(chunk);
      std::vector<std::size_t> lengths(chunk);
      std::vector<Value> values(chunk);
      std::vector<bool> noKey(chunk);
      OutputValues out;
      if (outArgument != nullptr) {
        if (out.take(outArgument, count)) {
          Py_INCREF(outArgument);
          result = outArgument;
        }
      } else {
        result = PyList_New(static_cast<Py_ssize_t>(count));
      }
      // Busy for the whole call: a collection between chunks may run code that closes the index.
      Busy busy(self);
      for (std::size_t done = 0; result != nullptr && done < count; done += chunk) {
        const std::size_t n = std::min(chunk, count - done);
        for (std::size_t i = 0; result != nullptr && i < n; ++i) {
          const KeyBytes::Result kind =
              keys[i].set(PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(done + i)));
          if (kind == KeyBytes::kError) Py_CLEAR(result);
          noKey[i] = kind == KeyBytes::kNoKey;
          pointers[i] = keys[i].data();
          lengths[i] = keys[i].size();
        }
        if (result == nullptr) break;
        Tessel::Status status;
        Py_BEGIN_ALLOW_THREADS;
        if (!ignoreCase) {
          status = self->view.findMany(n, pointers.data(), lengths.data(), values.data());
        }
        for (std::size_t i = 0; ignoreCase && i < n && !status.failed(); ++i) {
          status = self->view.findIgnoringCase(pointers[i], lengths[i], values[i]);
          if (!status.ok()) values[i] = -1;
        }
        Py_END_ALLOW_THREADS;
        if (status.failed()) {
          raiseFailure(self, status);
          Py_CLEAR(result);
          break;
        }
        for (std::size_t i = 0; result != nullptr && i < n; ++i) {
          const Value found = noKey[i] ? Value{-1} : values[i];
          if (outArgument != nullptr) {
            out.data()[done + i] = found;
            continue;
          }
          PyObject* value = makeValue(found);
          if (value == nullptr) {
            Py_CLEAR(result);
          } else {
            PyList_SET_ITEM(result, static_cast<Py_ssize_t>(done + i), value);
          }
        }
        // Ctrl-C stops a long call between chunks, not only after it.
        if (result != nullptr && done + n < count && PyErr_CheckSignals() != 0) Py_CLEAR(result);
      }
    } catch (const std::bad_alloc&) {
      Py_CLEAR(result);
      PyErr_NoMemory();
    }
  }
  Py_DECREF(items);
  return result;
}

inline PyObject* Reader_close(PyObject* object, PyObject*) {
  auto* self = asReader(object);
  if (!self->closed) {
    self->closed = true;
    if (self->busy == 0) release(self);
  }
  return none();
}

inline PyObject* Reader_enter(PyObject* object, PyObject*) {
  if (refuseClosed(asReader(object))) return nullptr;
  Py_INCREF(object);
  return object;
}

inline PyObject* Reader_exit(PyObject* object, PyObject* const*, Py_ssize_t) {
  return Reader_close(object, nullptr);
}

// Sets the key type of an index just unpickled: refused once it has been used, as its
// iterators and views would change with it.
inline PyObject* Reader_setstate(PyObject* object, PyObject* state) {
  auto* self = asReader(object);
  PyObject* binary =
      PyDict_Check(state) ? PyDict_GetItemString(state, "binary") : nullptr;  // borrowed
  if (binary == nullptr) {
    PyErr_SetString(PyExc_ValueError, "bad pickled state of an index");
    return nullptr;
  }
  const int truth = PyObject_IsTrue(binary);
  if (truth < 0) return nullptr;
  if ((truth != 0) != self->binary && self->used) {
    PyErr_SetString(PyExc_ValueError, "the state of an index in use cannot change");
    return nullptr;
  }
  self->binary = truth != 0;
  return none();
}

// An index never changes: a copy is the index itself.
inline PyObject* Reader_copy(PyObject* object, PyObject*) {
  Py_INCREF(object);
  return object;
}

inline PyObject* Reader_get_closed(PyObject* object, void*) {
  return PyBool_FromLong(asReader(object)->closed);
}
inline PyObject* Reader_get_binary(PyObject* object, void*) {
  return PyBool_FromLong(asReader(object)->binary);
}
inline PyObject* Reader_get_path(PyObject* object, void*) {
  PyObject* path = asReader(object)->path;
  if (path == nullptr) path = Py_None;
  Py_INCREF(path);
  return path;
}

}  // namespace TesselPython
