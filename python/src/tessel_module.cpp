// tessel._tessel: Tessel indexes from Python, on the CPython C API directly, so that a lookup
// costs little more than the walk itself.
//
// References: every function that takes a new reference either returns it or releases it on
// its single way out; borrowed references are named so (`borrowed`).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <tessel/double_array.h>
#include <tessel/index_view.h>
#include <tessel/status.h>

namespace {

constexpr long long kLargestValue = std::numeric_limits<std::int32_t>::max();

// A query's or key's bytes: str as UTF-8 (code points that surrogateescape made from bytes
// become those bytes again), bytes and other buffers as they are.
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes() { Py_XDECREF(owned_); }

  // Returns false with an exception set when `key` is neither str nor bytes-like.
  bool set(PyObject* key) {
    Py_CLEAR(owned_);
    if (PyUnicode_Check(key)) {
      data_ = PyUnicode_AsUTF8AndSize(key, &size_);
      if (data_ != nullptr) return true;
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      owned_ = PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape");
    } else if (PyBytes_Check(key)) {
      data_ = PyBytes_AS_STRING(key);
      size_ = PyBytes_GET_SIZE(key);
      return true;
    } else if (PyObject_CheckBuffer(key)) {
      owned_ = PyBytes_FromObject(key);
    } else {
      PyErr_Format(PyExc_TypeError, "keys are str or bytes, not %.200s", Py_TYPE(key)->tp_name);
      return false;
    }
    if (owned_ == nullptr) return false;
    data_ = PyBytes_AS_STRING(owned_);
    size_ = PyBytes_GET_SIZE(owned_);
    return true;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(size_); }

  // A new reference to what holds data(): `key` itself, or the bytes made from it. The bytes
  // stay valid while it lives. REQUIRES: the last set() was given `key` and succeeded.
  PyObject* holder(PyObject* key) {
    PyObject* held = owned_ != nullptr ? owned_ : key;
    if (owned_ == nullptr) Py_INCREF(key);
    owned_ = nullptr;
    return held;
  }

 private:
  const char* data_ = "";
  Py_ssize_t size_ = 0;
  PyObject* owned_ = nullptr;
};

struct IndexObject {
  PyObject_HEAD Tessel::IndexView view;
  Tessel::IndexView::Cursor scratch;  // for predict(), while scratchInUse is false
  PyObject* path;                     // what Index() opened, or nullptr
  PyObject* exporter;                 // what from_bytes() views, or nullptr
  Py_buffer buffer;                   // exporter's buffer
  Py_ssize_t busy;                    // calls running without the GIL
  bool binary;
  bool closed;
  bool scratchInUse;
};

PyTypeObject* IndexType = nullptr;
PyTypeObject* IteratorType = nullptr;

PyObject* decodeKey(const IndexObject* self, const char* data, std::size_t size) {
  const auto length = static_cast<Py_ssize_t>(size);
  if (self->binary) return PyBytes_FromStringAndSize(data, length);
  return PyUnicode_DecodeUTF8(data, length, "surrogateescape");
}

// A new reference to None.
PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

bool refuseClosed(const IndexObject* self) {
  if (!self->closed) return false;
  PyErr_SetString(PyExc_ValueError, "I/O operation on closed index");
  return true;
}

// Unmaps and lets go of the buffer. REQUIRES: no Busy call is under way.
void release(IndexObject* self) {
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
  explicit Busy(IndexObject* self) : self_(self) { ++self_->busy; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    if (--self_->busy == 0 && self_->closed) release(self_);
  }

 private:
  IndexObject* self_;
};

IndexObject* allocateIndex(PyTypeObject* type, bool binary) {
  auto* self = reinterpret_cast<IndexObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->view) Tessel::IndexView();
  new (&self->scratch) Tessel::IndexView::Cursor();
  self->path = nullptr;
  self->exporter = nullptr;
  self->busy = 0;
  self->binary = binary;
  self->closed = false;
  self->scratchInUse = false;
  return self;
}

// Parses the arguments (source, *, binary=False) of Index() and Index.from_bytes().
bool parseSource(PyObject* args, PyObject* kwargs, const char* format, const char* name,
                 PyObject*& source, int& binary) {
  const char* keywords[] = {name, "binary", nullptr};
  binary = 0;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &source,
                                     &binary) != 0;
}

// IndexView::open() or attach(), whose tables may fail to be allocated.
template <class Open>
int openView(Open&& open) {
  try {
    return open();
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

PyObject* Index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* pathArgument;
  int binary;
  if (!parseSource(args, kwargs, "O|$p:Index", "path", pathArgument, binary)) return nullptr;
  PyObject* path = PyOS_FSPath(pathArgument);
  if (path == nullptr) return nullptr;
  PyObject* encoded = nullptr;
  IndexObject* self = nullptr;
  if (PyUnicode_FSConverter(path, &encoded) && (self = allocateIndex(type, binary)) != nullptr) {
    switch (openView([&] { return self->view.open(PyBytes_AS_STRING(encoded)); })) {
      case -1:
        PyErr_NoMemory();
        Py_CLEAR(self);
        break;
      case Tessel::IndexView::kOk:
        self->path = path;
        path = nullptr;
        break;
      case Tessel::IndexView::kNotAnIndex:
        PyErr_Format(PyExc_ValueError, "not a Tessel index: %R", path);
        Py_CLEAR(self);
        break;
      default:
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        Py_CLEAR(self);
    }
  }
  Py_XDECREF(encoded);
  Py_XDECREF(path);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* Index_from_bytes(PyObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* exporter;
  int binary;
  if (!parseSource(args, kwargs, "O|$p:from_bytes", "buffer", exporter, binary)) return nullptr;
  IndexObject* self = allocateIndex(reinterpret_cast<PyTypeObject*>(type), binary);
  if (self == nullptr) return nullptr;
  if (PyObject_GetBuffer(exporter, &self->buffer, PyBUF_SIMPLE) != 0) {
    Py_DECREF(self);
    return nullptr;
  }
  Py_INCREF(exporter);
  self->exporter = exporter;
  const int status = openView([&] {
    return self->view.attach(self->buffer.buf, static_cast<std::size_t>(self->buffer.len));
  });
  if (status != Tessel::IndexView::kOk) {
    if (status < 0) {
      PyErr_NoMemory();
    } else {
      PyErr_SetString(PyExc_ValueError, "not a Tessel index");
    }
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

void Index_dealloc(IndexObject* self) {
  release(self);
  Py_CLEAR(self->path);
  self->scratch.~Cursor();
  self->view.~IndexView();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(reinterpret_cast<PyObject*>(self));
  Py_DECREF(type);
}

// Checks the number of positional arguments of a METH_FASTCALL method.
bool argumentCount(const char* name, Py_ssize_t count, Py_ssize_t least, Py_ssize_t most) {
  if (count >= least && count <= most) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd arguments (%zd given)", name, least, most,
               count);
  return false;
}

// A new reference to the optional argument args[at], or None when it was not given.
PyObject* optional(PyObject* const* args, Py_ssize_t count, Py_ssize_t at) {
  PyObject* argument = count > at ? args[at] : Py_None;
  Py_INCREF(argument);
  return argument;
}

// Looks `key` up; returns 1 with `value` set, 0 when it is no key, -1 on an error.
int lookup(IndexObject* self, PyObject* key, std::int32_t& value) {
  if (refuseClosed(self)) return -1;
  KeyBytes bytes;
  if (!bytes.set(key)) return -1;
  return self->view.find(bytes.data(), bytes.size(), value) ? 1 : 0;
}

int Index_contains(PyObject* self, PyObject* key) {
  std::int32_t value;
  return lookup(reinterpret_cast<IndexObject*>(self), key, value);
}

PyObject* Index_subscript(PyObject* self, PyObject* key) {
  std::int32_t value;
  const int found = lookup(reinterpret_cast<IndexObject*>(self), key, value);
  if (found < 0) return nullptr;
  if (found == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return PyLong_FromLong(value);
}

Py_ssize_t Index_length(PyObject* object) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  if (refuseClosed(self)) return -1;
  return static_cast<Py_ssize_t>(self->view.keyCount());
}

PyObject* Index_get(PyObject* object, PyObject* const* args, Py_ssize_t count) {
  if (!argumentCount("get", count, 1, 2)) return nullptr;
  std::int32_t value;
  const int found = lookup(reinterpret_cast<IndexObject*>(object), args[0], value);
  if (found < 0) return nullptr;
  return found > 0 ? PyLong_FromLong(value) : optional(args, count, 1);
}

PyObject* Index_prefixes(PyObject* object, PyObject* query) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  KeyBytes bytes;
  if (refuseClosed(self) || !bytes.set(query)) return nullptr;
  PyObject* result = PyList_New(0);
  if (result == nullptr) return nullptr;
  bool failed = false;
  Busy busy(self);
  self->view.commonPrefixes(bytes.data(), bytes.size(), [&](std::size_t length, std::int32_t v) {
    if (failed) return;
    PyObject* pair = Py_BuildValue("(Nl)", decodeKey(self, bytes.data(), length), long{v});
    failed = pair == nullptr || PyList_Append(result, pair) != 0;
    Py_XDECREF(pair);
  });
  if (failed) Py_CLEAR(result);
  return result;
}

PyObject* Index_longest_prefix(PyObject* object, PyObject* const* args, Py_ssize_t count) {
  if (!argumentCount("longest_prefix", count, 1, 2)) return nullptr;
  auto* self = reinterpret_cast<IndexObject*>(object);
  KeyBytes bytes;
  if (refuseClosed(self) || !bytes.set(args[0])) return nullptr;
  std::size_t longest = 0;
  std::int32_t value = -1;
  self->view.commonPrefixes(bytes.data(), bytes.size(), [&](std::size_t length, std::int32_t v) {
    longest = length;
    value = v;
  });
  if (value >= 0) return Py_BuildValue("(Nl)", decodeKey(self, bytes.data(), longest), long{value});
  return optional(args, count, 1);
}

// Lists up to `limit` keys below `prefix` with the index's own cursor, or a fresh one when a
// callback is already using it. onKey(key, value) returns false to stop. Returns false with
// MemoryError set when the walk's memory cannot be had.
template <class OnKey>
bool listKeys(IndexObject* self, const KeyBytes& prefix, std::size_t limit, OnKey&& onKey) {
  Tessel::IndexView::Cursor fresh;
  const bool own = !self->scratchInUse;
  Tessel::IndexView::Cursor& cursor = own ? self->scratch : fresh;
  self->scratchInUse = true;
  bool listed = true;
  {
    Busy busy(self);
    try {
      self->view.predict(prefix.data(), prefix.size(), onKey, cursor, limit);
    } catch (const std::bad_alloc&) {
      listed = false;
    }
  }
  if (own) self->scratchInUse = false;
  if (!listed) PyErr_NoMemory();
  return listed;
}

PyObject* Index_predict(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"prefix", "limit", nullptr};
  auto* self = reinterpret_cast<IndexObject*>(object);
  PyObject* prefix;
  PyObject* limitArgument = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:predict", const_cast<char**>(keywords),
                                   &prefix, &limitArgument)) {
    return nullptr;
  }
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  if (limitArgument != Py_None) {
    const Py_ssize_t n = PyNumber_AsSsize_t(limitArgument, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
      PyErr_SetString(PyExc_ValueError, "limit must not be negative");
      return nullptr;
    }
    limit = static_cast<std::size_t>(n);
  }
  KeyBytes bytes;
  if (refuseClosed(self) || !bytes.set(prefix)) return nullptr;
  PyObject* result = PyList_New(0);
  if (result == nullptr) return nullptr;
  bool failed = false;
  const bool listed = listKeys(self, bytes, limit, [&](const std::string& key, std::int32_t value) {
    PyObject* pair = Py_BuildValue("(Nl)", decodeKey(self, key.data(), key.size()), long{value});
    failed = pair == nullptr || PyList_Append(result, pair) != 0;
    Py_XDECREF(pair);
    return !failed;
  });
  if (failed || !listed) Py_CLEAR(result);
  return result;
}

PyObject* Index_has_keys_with_prefix(PyObject* object, PyObject* prefix) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  KeyBytes bytes;
  if (refuseClosed(self) || !bytes.set(prefix)) return nullptr;
  bool any = false;
  if (!listKeys(self, bytes, 1, [&](const std::string&, std::int32_t) { return !(any = true); })) {
    return nullptr;
  }
  return PyBool_FromLong(any);
}

PyObject* Index_restore_key(PyObject* object, PyObject* valueArgument) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  if (refuseClosed(self)) return nullptr;
  if (!PyLong_Check(valueArgument)) {
    PyErr_Format(PyExc_TypeError, "values are int, not %.200s", Py_TYPE(valueArgument)->tp_name);
    return nullptr;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(valueArgument, &overflow);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  std::string key;
  bool found = false;
  if (overflow == 0 && value >= 0 && value <= kLargestValue) {
    try {
      found = self->view.restoreKey(static_cast<std::int32_t>(value), key);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
  }
  if (!found) {
    PyErr_SetObject(PyExc_KeyError, valueArgument);
    return nullptr;
  }
  return decodeKey(self, key.data(), key.size());
}

PyObject* Index_get_many(PyObject* object, PyObject* queries) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  if (refuseClosed(self)) return nullptr;
  PyObject* sequence = PySequence_Fast(queries, "get_many takes a sequence or an iterable");
  if (sequence == nullptr) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  PyObject* result = nullptr;
  try {
    std::vector<KeyBytes> keys(static_cast<std::size_t>(count));
    std::vector<const char*> pointers(keys.size());
    std::vector<std::size_t> lengths(keys.size());
    std::vector<std::int32_t> values(keys.size());
    bool ok = true;
    for (std::size_t i = 0; ok && i < keys.size(); ++i) {
      ok = keys[i].set(items[i]);
      pointers[i] = keys[i].data();
      lengths[i] = keys[i].size();
    }
    if (ok) {
      Busy busy(self);
      Py_BEGIN_ALLOW_THREADS;
      self->view.findMany(keys.size(), pointers.data(), lengths.data(), values.data());
      Py_END_ALLOW_THREADS;
    }
    if (ok) result = PyList_New(count);
    for (Py_ssize_t i = 0; result != nullptr && i < count; ++i) {
      PyObject* value = PyLong_FromLong(values[static_cast<std::size_t>(i)]);
      if (value == nullptr)
        Py_CLEAR(result);
      else
        PyList_SET_ITEM(result, i, value);
    }
  } catch (const std::bad_alloc&) {
    Py_CLEAR(result);
    PyErr_NoMemory();
  }
  Py_DECREF(sequence);
  return result;
}

PyObject* Index_close(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  if (!self->closed) {
    self->closed = true;
    if (self->busy == 0) release(self);
  }
  return none();
}

PyObject* Index_enter(PyObject* object, PyObject*) {
  if (refuseClosed(reinterpret_cast<IndexObject*>(object))) return nullptr;
  Py_INCREF(object);
  return object;
}

PyObject* Index_exit(PyObject* object, PyObject*) {
  return Index_close(object, nullptr);
}

// A mapped index pickles its path, one over memory its bytes.
PyObject* Index_reduce(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  if (refuseClosed(self)) return nullptr;
  PyObject* state = Py_BuildValue("{sO}", "binary", self->binary ? Py_True : Py_False);
  if (state == nullptr) return nullptr;
  PyObject* result;
  if (self->path != nullptr) {
    result = Py_BuildValue("(O(O)N)", Py_TYPE(object), self->path, state);
  } else {
    PyObject* fromBytes =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "from_bytes");
    PyObject* bytes =
        PyBytes_FromStringAndSize(static_cast<const char*>(self->buffer.buf), self->buffer.len);
    if (fromBytes == nullptr || bytes == nullptr) {
      Py_XDECREF(fromBytes);
      Py_XDECREF(bytes);
      Py_DECREF(state);
      return nullptr;
    }
    // "N" hands over the three references, on failure too.
    result = Py_BuildValue("(N(N)N)", fromBytes, bytes, state);
  }
  return result;
}

PyObject* Index_setstate(PyObject* object, PyObject* state) {
  PyObject* binary =
      PyDict_Check(state) ? PyDict_GetItemString(state, "binary") : nullptr;  // borrowed
  if (binary == nullptr) {
    PyErr_SetString(PyExc_ValueError, "bad pickled state of an index");
    return nullptr;
  }
  const int truth = PyObject_IsTrue(binary);
  if (truth < 0) return nullptr;
  reinterpret_cast<IndexObject*>(object)->binary = truth != 0;
  return none();
}

// An index never changes: a copy is the index itself.
PyObject* Index_copy(PyObject* object, PyObject*) {
  Py_INCREF(object);
  return object;
}

PyObject* Index_repr(PyObject* object) {
  auto* self = reinterpret_cast<IndexObject*>(object);
  const char* state = self->closed ? "closed " : "";
  if (self->path != nullptr) return PyUnicode_FromFormat("<%stessel.Index %R>", state, self->path);
  return PyUnicode_FromFormat("<%stessel.Index over %zd bytes>", state, self->buffer.len);
}

PyObject* Index_get_closed(PyObject* object, void*) {
  return PyBool_FromLong(reinterpret_cast<IndexObject*>(object)->closed);
}
PyObject* Index_get_binary(PyObject* object, void*) {
  return PyBool_FromLong(reinterpret_cast<IndexObject*>(object)->binary);
}
PyObject* Index_get_path(PyObject* object, void*) {
  PyObject* path = reinterpret_cast<IndexObject*>(object)->path;
  if (path == nullptr) path = Py_None;
  Py_INCREF(path);
  return path;
}

enum class Yield { kKeys, kValues, kItems };

struct IteratorObject {
  PyObject_HEAD IndexObject* index;  // strong
  Tessel::IndexView::Cursor cursor;
  Yield what;
};

PyObject* makeIterator(IndexObject* index, PyObject* prefix, Yield what) {
  KeyBytes bytes;
  if (refuseClosed(index) || (prefix != nullptr && !bytes.set(prefix))) return nullptr;
  auto* self = PyObject_New(IteratorObject, IteratorType);
  if (self == nullptr) return nullptr;
  Py_INCREF(index);
  self->index = index;
  self->what = what;
  new (&self->cursor) Tessel::IndexView::Cursor();
  try {
    self->cursor.reset(index->view, bytes.data(), bytes.size());
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void Iterator_dealloc(IteratorObject* self) {
  self->cursor.~Cursor();
  Py_CLEAR(self->index);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* Iterator_next(PyObject* object) {
  auto* self = reinterpret_cast<IteratorObject*>(object);
  if (refuseClosed(self->index)) return nullptr;
  bool more;
  try {
    more = self->cursor.next();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!more) return nullptr;
  const std::string& key = self->cursor.key();
  switch (self->what) {
    case Yield::kKeys:
      return decodeKey(self->index, key.data(), key.size());
    case Yield::kValues:
      return PyLong_FromLong(self->cursor.value());
    default:
      return Py_BuildValue("(Nl)", decodeKey(self->index, key.data(), key.size()),
                           long{self->cursor.value()});
  }
}

template <Yield what>
PyObject* Index_iterate(PyObject* object, PyObject* const* args, Py_ssize_t count) {
  if (!argumentCount("keys", count, 0, 1)) return nullptr;
  return makeIterator(reinterpret_cast<IndexObject*>(object), count > 0 ? args[0] : nullptr, what);
}

PyObject* Index_iter(PyObject* object) {
  return makeIterator(reinterpret_cast<IndexObject*>(object), nullptr, Yield::kKeys);
}

// The keys' bytes, where the key objects (or bytes made from them) hold them.
class KeyList {
 public:
  KeyList() = default;
  KeyList(const KeyList&) = delete;
  KeyList& operator=(const KeyList&) = delete;
  ~KeyList() {
    for (PyObject* object : held_) Py_DECREF(object);
  }

  // Returns false with an exception set when a key is neither str nor bytes.
  bool read(PyObject* keys) {
    PyObject* iterator = PyObject_GetIter(keys);
    if (iterator == nullptr) return false;
    KeyBytes bytes;
    PyObject* key;
    bool ok = true;
    while (ok && (key = PyIter_Next(iterator)) != nullptr) {
      allText_ &= PyUnicode_Check(key) != 0;
      ok = bytes.set(key);
      if (ok) {
        held_.push_back(bytes.holder(key));
        pointers_.push_back(bytes.data());
        lengths_.push_back(bytes.size());
      }
      Py_DECREF(key);
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
  }

  std::size_t size() const { return pointers_.size(); }
  const char* const* pointers() const { return pointers_.data(); }
  const std::size_t* lengths() const { return lengths_.data(); }

  int compare(std::size_t a, std::size_t b) const {
    const int c = std::memcmp(pointers_[a], pointers_[b], std::min(lengths_[a], lengths_[b]));
    if (c != 0) return c;
    return lengths_[a] < lengths_[b] ? -1 : lengths_[a] > lengths_[b] ? 1 : 0;
  }

  // Key i as the keys were given: str when all were, else bytes.
  PyObject* show(std::size_t i) const {
    const auto n = static_cast<Py_ssize_t>(lengths_[i]);
    return allText_ ? PyUnicode_DecodeUTF8(pointers_[i], n, "surrogateescape")
                    : PyBytes_FromStringAndSize(pointers_[i], n);
  }

  // Puts the keys in byte order, equal keys in the order given; `order` tells where each
  // came from.
  void sort(std::vector<std::size_t>& order) {
    order.resize(size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return compare(a, b) < 0; });
    std::vector<const char*> pointers(size());
    std::vector<std::size_t> lengths(size());
    for (std::size_t i = 0; i < size(); ++i) {
      pointers[i] = pointers_[order[i]];
      lengths[i] = lengths_[order[i]];
    }
    pointers_.swap(pointers);
    lengths_.swap(lengths);
  }

 private:
  std::vector<PyObject*> held_;
  std::vector<const char*> pointers_;
  std::vector<std::size_t> lengths_;
  bool allText_ = true;
};

bool readValues(PyObject* values, std::size_t count, std::vector<std::int32_t>& out) {
  PyObject* iterator = PyObject_GetIter(values);
  if (iterator == nullptr) return false;
  PyObject* item;
  bool ok = true;
  while (ok && (item = PyIter_Next(iterator)) != nullptr) {
    if (!PyLong_Check(item)) {
      PyErr_Format(PyExc_TypeError, "values are int, not %.200s", Py_TYPE(item)->tp_name);
      ok = false;
    } else {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (value == -1 && PyErr_Occurred()) {
        ok = false;
      } else if (overflow != 0 || value < 0 || value > kLargestValue) {
        PyErr_Format(PyExc_ValueError, "value %zu is %R, outside 0 .. 2**31 - 1", out.size(), item);
        ok = false;
      } else {
        out.push_back(static_cast<std::int32_t>(value));
      }
    }
    Py_DECREF(item);
  }
  Py_DECREF(iterator);
  if (ok && !PyErr_Occurred() && out.size() != count) {
    PyErr_Format(PyExc_ValueError, "%zu values for %zu keys", out.size(), count);
    ok = false;
  }
  return ok && !PyErr_Occurred();
}

void reportDisorder(const KeyList& keys, std::size_t at) {
  PyObject* before = keys.show(at - 1);
  PyObject* after = keys.show(at);
  if (before != nullptr && after != nullptr) {
    PyErr_Format(PyExc_ValueError,
                 "keys are not in byte order: key %zu %R comes after key %zu %R "
                 "(sort=True sorts them)",
                 at, after, at - 1, before);
  }
  Py_XDECREF(before);
  Py_XDECREF(after);
}

// Builds the trie of `keys` and saves it to `path` (bytes; `shown` in messages), without the
// GIL. Returns None, or nullptr with an exception set.
PyObject* buildAndSave(const KeyList& keys, const std::int32_t* values, PyObject* path,
                       PyObject* shown) {
  constexpr int kNoMemory = 1;
  int status = kNoMemory;
  std::size_t unsortedAt = 0;
  bool saved = false;
  int error = 0;
  const char* name = PyBytes_AS_STRING(path);
  Py_BEGIN_ALLOW_THREADS;
  try {
    Tessel::DoubleArray trie;
    status = trie.build(keys.size(), keys.pointers(), keys.lengths(), values);
    unsortedAt = trie.firstUnsortedKey();
    if (status == Tessel::DoubleArray::kOk) {
      saved = trie.save(name) == 0;
      error = errno;
    }
  } catch (const std::bad_alloc&) {
    status = kNoMemory;
  }
  Py_END_ALLOW_THREADS;
  if (status == kNoMemory) return PyErr_NoMemory();
  if (status == Tessel::DoubleArray::kUnsorted) {
    reportDisorder(keys, unsortedAt);
  } else if (status != Tessel::DoubleArray::kOk) {
    PyErr_SetString(PyExc_ValueError, Tessel::describeBuildStatus(status));
  } else if (!saved) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown);
  } else {
    return none();
  }
  return nullptr;
}

PyObject* build(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"keys", "path", "values", "sort", nullptr};
  PyObject* keysArgument;
  PyObject* pathArgument;
  PyObject* valuesArgument = Py_None;
  int sort = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$p:build", const_cast<char**>(keywords),
                                   &keysArgument, &pathArgument, &valuesArgument, &sort)) {
    return nullptr;
  }
  PyObject* path = nullptr;
  if (!PyUnicode_FSConverter(pathArgument, &path)) return nullptr;
  PyObject* result = nullptr;
  try {
    KeyList keys;
    std::vector<std::int32_t> values;
    std::vector<std::int32_t> sortedValues;
    const std::int32_t* finalValues = nullptr;  // the library's default: the position
    bool ok = keys.read(keysArgument) &&
              (valuesArgument == Py_None || readValues(valuesArgument, keys.size(), values));
    if (ok && keys.size() == 0) {
      PyErr_SetString(PyExc_ValueError, "no keys");
      ok = false;
    }
    if (ok && sort) {
      // Each key keeps its value; a run of equal keys keeps its first one's.
      std::vector<std::size_t> order;
      keys.sort(order);
      sortedValues.resize(order.size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        sortedValues[i] = values.empty() ? static_cast<std::int32_t>(order[i]) : values[order[i]];
      }
      finalValues = sortedValues.data();
    } else if (ok && !values.empty()) {
      finalValues = values.data();
    }
    if (ok && values.empty() && keys.size() > static_cast<std::size_t>(kLargestValue) + 1) {
      PyErr_SetString(PyExc_ValueError, "too many keys for 32-bit values");
      ok = false;
    }
    if (ok) result = buildAndSave(keys, finalValues, path, pathArgument);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  Py_DECREF(path);
  return result;
}

PyMethodDef Index_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_get)), METH_FASTCALL,
     "get(key, default=None): the value of key, or default"},
    {"keys",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_iterate<Yield::kKeys>)),
     METH_FASTCALL, "keys(prefix=''): the keys that begin with prefix, in byte order"},
    {"values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_iterate<Yield::kValues>)),
     METH_FASTCALL, "values(prefix=''): their values, in the keys' byte order"},
    {"items",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_iterate<Yield::kItems>)),
     METH_FASTCALL, "items(prefix=''): (key, value) pairs, in byte order"},
    {"prefixes", Index_prefixes, METH_O,
     "prefixes(query): [(key, value)] for the keys that are prefixes of query, shortest first"},
    {"longest_prefix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_longest_prefix)),
     METH_FASTCALL, "longest_prefix(query, default=None): the longest key that begins query"},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict(prefix, limit=None): [(key, value)] for the keys that begin with prefix"},
    {"has_keys_with_prefix", Index_has_keys_with_prefix, METH_O,
     "has_keys_with_prefix(prefix): whether some key begins with prefix"},
    {"restore_key", Index_restore_key, METH_O, "restore_key(value): the key that has value"},
    {"get_many", Index_get_many, METH_O,
     "get_many(queries): the value of each query, -1 for a non-key"},
    {"close", Index_close, METH_NOARGS, "close(): unmaps the index"},
    {"__enter__", Index_enter, METH_NOARGS, nullptr},
    {"__exit__", Index_exit, METH_VARARGS, nullptr},
    {"__reduce__", Index_reduce, METH_NOARGS, nullptr},
    {"__setstate__", Index_setstate, METH_O, nullptr},
    {"__copy__", Index_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", Index_copy, METH_O, nullptr},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Index_from_bytes)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes(buffer, *, binary=False): an index over any buffer"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef Index_getset[] = {
    {"closed", Index_get_closed, nullptr, "whether close() was called", nullptr},
    {"binary", Index_get_binary, nullptr, "whether keys come back as bytes", nullptr},
    {"path", Index_get_path, nullptr, "the path opened, or None", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot Index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Index_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Index_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(Index_iter)},
    {Py_tp_methods, Index_methods},
    {Py_tp_getset, Index_getset},
    {Py_sq_contains, reinterpret_cast<void*>(Index_contains)},
    {Py_mp_length, reinterpret_cast<void*>(Index_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(Index_subscript)},
    {Py_tp_doc,
     const_cast<char*>("Index(path, *, binary=False): a Tessel index file, mapped read-only")},
    {0, nullptr}};

PyType_Spec Index_spec = {"tessel.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, Index_slots};

PyType_Slot Iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Iterator_next)},
    {Py_tp_doc, const_cast<char*>("keys, values or items of an index, in byte order")},
    {0, nullptr}};

PyType_Spec Iterator_spec = {"tessel.IndexIterator", sizeof(IteratorObject), 0, Py_TPFLAGS_DEFAULT,
                             Iterator_slots};

PyMethodDef module_methods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)),
     METH_VARARGS | METH_KEYWORDS,
     "build(keys, path, values=None, *, sort=False): writes an index of keys to path"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition;

}  // namespace

// The name is the one Python looks for.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__tessel() {
  module_definition.m_base = PyModuleDef_HEAD_INIT;
  module_definition.m_name = "_tessel";
  module_definition.m_doc = "Tessel indexes: build them and query them.";
  module_definition.m_size = -1;
  module_definition.m_methods = module_methods;
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  if (PyModule_AddStringConstant(module, "__version__", TESSEL_VERSION) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  IndexType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&Index_spec));
  IteratorType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&Iterator_spec));
  // The module keeps IndexType's reference; IteratorType's stays with the module for good.
  if (IndexType == nullptr || IteratorType == nullptr ||
      PyModule_AddObject(module, "Index", reinterpret_cast<PyObject*>(IndexType)) < 0) {
    Py_XDECREF(IndexType);
    Py_XDECREF(IteratorType);
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(IndexType);
  return module;
}
