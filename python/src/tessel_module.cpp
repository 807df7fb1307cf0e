// tessel._tessel: Tessel indexes from Python, on the CPython C API directly, so that a lookup
// costs little more than the walk itself. Multi-phase initialisation: the types are heap types
// made for each module object and kept in its state.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <tessel/double_array.h>
#include <tessel/format.h>
#include <tessel/index.h>
#include <tessel/replace_file.h>
#include <tessel/status.h>

#include "arguments.h"
#include "directory.h"
#include "interrupt.h"
#include "iterator.h"
#include "keys.h"
#include "matches.h"
#include "reader.h"
#include "shards.h"
#include "state.h"
#include "views.h"

#ifndef TESSEL_VERSION
#define TESSEL_VERSION "unknown"
#endif

namespace {

using namespace TesselPython;

template <class Function>
PyCFunction function(Function f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Index(path, *, binary=False): opens an index file or a sharded index.
PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "binary", nullptr};
  PyObject* pathArgument;
  int binary = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p", const_cast<char**>(keywords),
                                   &pathArgument, &binary)) {
    return nullptr;
  }
  PyObject* path = PyOS_FSPath(pathArgument);
  if (path == nullptr) return nullptr;
  PyObject* encoded = nullptr;
  Reader* self = nullptr;
  if (PyUnicode_FSConverter(path, &encoded) && (self = allocateReader(type, binary)) != nullptr) {
    try {
      const Tessel::Status status = self->view.open(PyBytes_AS_STRING(encoded));
      if (!status.ok()) {
        // A directory without a manifest is named as the caller gave it.
        raiseStatus(status, path);
        Py_CLEAR(self);
      } else if (!keepPath(self, path)) {
        Py_CLEAR(self);
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      Py_CLEAR(self);
    }
  }
  Py_XDECREF(encoded);
  Py_DECREF(path);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* Index_from_bytes(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"buffer", "binary"};
  PyObject* given[2];
  if (!parseArguments("from_bytes", args, nargs, kwnames, names, 2, 1, 1, given)) return nullptr;
  if (nargs > 1) {
    PyErr_SetString(PyExc_TypeError, "from_bytes() takes binary as a keyword only");
    return nullptr;
  }
  const int binary = given[1] == nullptr ? 0 : PyObject_IsTrue(given[1]);
  if (binary < 0) return nullptr;
  Reader* self = allocateReader(reinterpret_cast<PyTypeObject*>(type), binary);
  if (self == nullptr) return nullptr;
  if (PyObject_GetBuffer(given[0], &self->buffer, PyBUF_SIMPLE) != 0) {
    Py_DECREF(self);
    return nullptr;
  }
  Py_INCREF(given[0]);
  self->exporter = given[0];
  try {
    const Tessel::Status status =
        self->view.attach(self->buffer.buf, static_cast<std::size_t>(self->buffer.len));
    if (!status.ok()) {
      raiseStatus(status, nullptr);
      Py_DECREF(self);
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

// A mapped index pickles its absolute path (the pickle refers to the file or directory, not
// its bytes); one over memory pickles its bytes.
PyObject* Index_reduce(PyObject* object, PyObject*) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return nullptr;
  PyObject* state = Py_BuildValue("{sO}", "binary", self->binary ? Py_True : Py_False);
  if (state == nullptr) return nullptr;
  if (self->absolute != nullptr) {
    return Py_BuildValue("(O(O)N)", Py_TYPE(object), self->absolute, state);
  }
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
  return Py_BuildValue("(N(N)N)", fromBytes, bytes, state);
}

PyObject* Index_repr(PyObject* object) {
  auto* self = asReader(object);
  const char* state = self->closed ? "closed " : "";
  if (self->path != nullptr) return PyUnicode_FromFormat("<%stessel.Index %R>", state, self->path);
  return PyUnicode_FromFormat("<%stessel.Index over %zd bytes>", state, self->buffer.len);
}

// verify(): checks every byte that can be checked, without the GIL.
PyObject* Index_verify(PyObject* object, PyObject*) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return nullptr;
  Tessel::Status status;
  bool noMemory = false;
  {
    Busy busy(self);
    Py_BEGIN_ALLOW_THREADS;
    try {
      status = self->view.verify();
    } catch (const std::bad_alloc&) {
      noMemory = true;
    }
    Py_END_ALLOW_THREADS;
  }
  if (noMemory) return PyErr_NoMemory();
  if (!status.ok()) return raiseFailure(self, status);
  return none();
}

// The manifest's entries of a sharded index; None for an index file.
PyObject* Index_shards(PyObject* object, void*) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return nullptr;
  const Tessel::ShardedIndex* shards = self->view.shards();
  if (shards == nullptr) return none();
  PyObject* list = PyList_New(0);
  for (std::size_t i = 0; list != nullptr && i < shards->shardCount(); ++i) {
    PyObject* entry = entryDict(shards->shard(i));
    if (entry == nullptr || PyList_Append(list, entry) != 0) Py_CLEAR(list);
    Py_XDECREF(entry);
  }
  return list;
}

PyObject* Index_sharded(PyObject* object, void*) {
  auto* self = asReader(object);
  if (refuseClosed(self)) return nullptr;
  return PyBool_FromLong(self->view.sharded());
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

// What a build without the GIL found.
struct Built {
  int status = Tessel::DoubleArray::kOk;
  std::size_t unsortedAt = 0;
  bool saved = false;
  int error = 0;
  int weightsError = 0;  // a stale companion that could not be removed
  bool interrupted = false;
  bool outOfMemory = false;
};

// An index of no key: the root and its free tail.
int saveEmpty(const char* path, const Tessel::ReplaceHooks& hooks) {
  std::vector<unsigned char> units(Tessel::Format::kMinUnits * Tessel::Format::kUnitBytes, 0);
  const std::int32_t root = Tessel::Format::kRootBase;
  std::memcpy(units.data(), &root, sizeof root);
  return Tessel::replaceFile(path, units.data(), units.size(), hooks);
}

// Sorts the keys when asked, builds their trie and saves it to `path`, without the GIL and
// stopping at a signal.
Built buildAndSave(KeyList& keys, const std::vector<std::int32_t>& given, bool sort,
                   const char* path, bool weighted, std::vector<std::uint32_t>& weights) {
  Built built;
  try {
    Interruptible work;
    Tessel::ReplaceHooks hooks;
    hooks.keepGoing = Interruptible::keepGoing;
    hooks.beforeCommit = Interruptible::beforeCommit;
    hooks.context = &work;
    const std::int32_t* values = given.empty() ? nullptr : given.data();
    std::vector<std::int32_t> sortedValues;
    std::vector<std::size_t> order;  // sorted: where each key stood
    if (sort) {
      // Each key keeps its value; a run of equal keys keeps its first one's.
      keys.sort(order, [&] { work.poll(); });
      sortedValues.resize(order.size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        sortedValues[i] = given.empty() ? static_cast<std::int32_t>(order[i]) : given[order[i]];
      }
      values = sortedValues.data();
    }
    if (keys.size() == 0) {
      built.saved = saveEmpty(path, hooks) == 0;
    } else {
      Tessel::DoubleArray trie;
      built.status =
          trie.build(keys.size(), keys.pointers(), keys.lengths(), values, Interruptible::progress);
      built.unsortedAt = trie.firstUnsortedKey();
      if (built.status == Tessel::DoubleArray::kOk) built.saved = trie.save(path, hooks) == 0;
    }
    built.error = errno;
    const std::string companion = Tessel::weightsPathOf(path);
    if (built.saved && !weighted) {
      // Built without weights: no companion of an earlier build stays.
      if (::unlink(companion.c_str()) != 0 && errno != ENOENT) built.weightsError = errno;
    } else if (built.saved) {
      // A run of equal keys takes its greatest weight; ranks follow the sorted keys.
      std::vector<std::uint32_t> ranked;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::uint32_t weight = weights[sort ? order[i] : i];
        if (i > 0 && keys.lengths()[i] == keys.lengths()[i - 1] &&
            std::memcmp(keys.pointers()[i], keys.pointers()[i - 1], keys.lengths()[i]) == 0) {
          ranked.back() = std::max(ranked.back(), weight);
        } else {
          ranked.push_back(weight);
        }
      }
      Tessel::Index index;
      Tessel::Status status = index.open(path);
      if (status.ok()) status = index.saveWeightsByRank(ranked.data(), ranked.size());
      if (!status.ok()) {
        built.saved = false;
        built.error = status.error() != 0 ? status.error() : EIO;
      }
    }
    built.interrupted = work.interrupted();
  } catch (const Interruptible::Interrupted&) {
    built.interrupted = true;
  } catch (const std::bad_alloc&) {
    built.outOfMemory = true;
  }
  return built;
}

PyObject* build(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"keys", "path", "values", "sort", "weights"};
  PyObject* given[5];
  if (!parseArguments("build", args, nargs, kwnames, names, 5, 2, 0, given)) return nullptr;
  if (nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "build() takes sort and weights as keywords only");
    return nullptr;
  }
  if (isOneText(given[0])) {
    PyErr_Format(PyExc_TypeError, "build() takes an iterable of keys, not one %.200s",
                 Py_TYPE(given[0])->tp_name);
    return nullptr;
  }
  const int sort = given[3] == nullptr ? 0 : PyObject_IsTrue(given[3]);
  PyObject* path = nullptr;
  if (sort < 0 || !PyUnicode_FSConverter(given[1], &path)) return nullptr;
  PyObject* result = nullptr;
  try {
    KeyList keys;
    std::vector<std::int32_t> values;
    std::vector<std::uint32_t> weights;
    bool ok =
        keys.read(given[0]) &&
        (given[2] == nullptr || given[2] == Py_None || readValues(given[2], keys.size(), values)) &&
        (given[4] == nullptr || given[4] == Py_None || readWeights(given[4], keys.size(), weights));
    if (ok && values.empty() &&
        keys.size() > static_cast<std::size_t>(Tessel::Format::kMaxValue) + 1) {
      raiseBuildStatus(Tessel::kBuildTooLarge);
      ok = false;
    }
    if (ok) {
      const bool weighted = given[4] != nullptr && given[4] != Py_None;
      const Built built =
          buildAndSave(keys, values, sort != 0, PyBytes_AS_STRING(path), weighted, weights);
      if (built.interrupted) {
        // The handler's exception is set.
      } else if (built.outOfMemory) {
        PyErr_NoMemory();
      } else if (built.status == Tessel::DoubleArray::kUnsorted) {
        reportDisorder(keys, built.unsortedAt);
      } else if (built.status != Tessel::DoubleArray::kOk) {
        raiseBuildStatus(built.status);
      } else if (!built.saved) {
        errno = built.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, given[1]);
      } else if (built.weightsError != 0) {
        errno = built.weightsError;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError,
                                       Tessel::weightsPathOf(PyBytes_AS_STRING(path)).c_str());
      } else {
        result = Py_None;
        Py_INCREF(result);
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  Py_DECREF(path);
  return result;
}

// ---- The types of tessel.Index.

std::vector<PyMethodDef> readerMethods() {
  return {
      {"get", function(Reader_get), METH_FASTCALL,
       "get($self, key, default=None, /)\n--\n\nThe value of key, or default."},
      {"keys", function(Reader_view<Yield::kKeys>), METH_FASTCALL,
       "keys($self, prefix='', /)\n--\n\nA view of the keys that begin with prefix, in byte "
       "order."},
      {"values", function(Reader_view<Yield::kValues>), METH_FASTCALL,
       "values($self, prefix='', /)\n--\n\nA view of the values of those keys, in the keys' byte "
       "order."},
      {"items", function(Reader_view<Yield::kItems>), METH_FASTCALL,
       "items($self, prefix='', /)\n--\n\nA view of the (key, value) pairs of those keys, in byte "
       "order."},
      {"prefixes", function(Reader_prefixes<Yield::kKeys>), METH_FASTCALL | METH_KEYWORDS,
       "prefixes($self, query, /, *, ignore_case=False)\n--\n\nThe keys that are prefixes of "
       "query, "
       "shortest first."},
      {"prefix_items", function(Reader_prefixes<Yield::kItems>), METH_FASTCALL | METH_KEYWORDS,
       "prefix_items($self, query, /, *, ignore_case=False)\n--\n\n(key, value) for the keys that "
       "are prefixes of query, "
       "shortest first."},
      {"prefix_values", function(Reader_prefixes<Yield::kValues>), METH_FASTCALL | METH_KEYWORDS,
       "prefix_values($self, query, /, *, ignore_case=False)\n--\n\nThe values of the keys that "
       "are prefixes of query, "
       "shortest first."},
      {"longest_prefix", function(Reader_longest_prefix<Yield::kKeys>), METH_FASTCALL,
       "longest_prefix($self, query, /, *default)\n--\n\nThe longest key that is a prefix of "
       "query; KeyError when none is, unless a default is given."},
      {"longest_prefix_item", function(Reader_longest_prefix<Yield::kItems>), METH_FASTCALL,
       "longest_prefix_item($self, query, /, *default)\n--\n\n(key, value) of the longest key "
       "that is a prefix of query; KeyError when none is, unless a default is given."},
      {"predict", function(Reader_predict), METH_FASTCALL | METH_KEYWORDS,
       "predict($self, prefix='', limit=None, *, ignore_case=False)\n--\n\n[(key, value)] for the "
       "keys that begin with "
       "prefix, at most limit."},
      {"top", function(Reader_top), METH_FASTCALL | METH_KEYWORDS,
       "top($self, prefix='', n=10, *, ignore_case=False)\n--\n\n[(key, value, weight)] for "
       "the n keys that begin with prefix with the greatest weights, ties in byte order."},
      {"has_keys_with_prefix", Reader_has_keys_with_prefix, METH_O,
       "has_keys_with_prefix($self, prefix, /)\n--\n\nWhether some key begins with prefix."},
      {"restore_key", Reader_restore_key, METH_O,
       "restore_key($self, value, /)\n--\n\nThe key that has value."},
      {"get_many", function(Reader_get_many), METH_FASTCALL | METH_KEYWORDS,
       "get_many($self, queries, /, out=None, *, ignore_case=False)\n--\n\nThe value of each "
       "query, -1 for a "
       "non-key: a list, or written into out, a writable buffer of as many 64-bit integers "
       "(numpy's int64, array('q')), which is returned."},
      {"findall", function(Reader_findall), METH_FASTCALL | METH_KEYWORDS,
       "findall($self, text, /, *, longest=False, words=False, word_chars='', "
       "ignore_case=False)\n--\n\n[(start, end, "
       "value)] for "
       "each key that occurs in text: every match by position and shortest first, or the "
       "leftmost-longest ones; with words, those that start and end at word boundaries."},
      {"finditer", function(Reader_finditer), METH_FASTCALL | METH_KEYWORDS,
       "finditer($self, text, /, *, longest=False, words=False, word_chars='', "
       "ignore_case=False)\n--\n\nThe matches "
       "of "
       "findall(), one at a time."},
      {"sub", function(Reader_sub), METH_FASTCALL | METH_KEYWORDS,
       "sub($self, repl, text, *, words=False, ignore_case=False, count=0, "
       "word_chars='')\n--\n\nThe "
       "text with each leftmost-longest match replaced by repl, or by repl(start, end, value)."},
      {"subn", function(Reader_subn), METH_FASTCALL | METH_KEYWORDS,
       "subn($self, repl, text, *, words=False, ignore_case=False, count=0, word_chars='')\n--\n\n"
       "(sub()'s text, the number of replacements)."},
      {"close", Reader_close, METH_NOARGS, "close($self, /)\n--\n\nUnmaps the index."},
      {"__reversed__", Reader_reversed, METH_NOARGS,
       "__reversed__($self, /)\n--\n\nThe keys in descending byte order."},
      {"__enter__", Reader_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
      {"__exit__", function(Reader_exit), METH_FASTCALL, "__exit__($self, *args, /)\n--\n\n"},
      {"__setstate__", Reader_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
      {"__copy__", Reader_copy, METH_NOARGS, "__copy__($self, /)\n--\n\n"},
      {"__deepcopy__", Reader_copy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
      {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
  };
}

PyGetSetDef readerGetters[] = {
    {"closed", Reader_get_closed, nullptr, "whether close() was called", nullptr},
    {"binary", Reader_get_binary, nullptr, "whether keys come back as bytes", nullptr},
    {"path", Reader_get_path, nullptr, "the path opened, or None", nullptr},
    {"sharded", Index_sharded, nullptr, "whether the index is a sharded one", nullptr},
    {"shards", Index_shards, nullptr,
     "a sharded index's manifest entries, one dict per shard; None for an index file", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

std::vector<PyType_Slot> readerSlots(PyMethodDef* methods) {
  return {
      {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(Reader_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(Reader_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(Reader_iter)},
      {Py_tp_methods, methods},
      {Py_tp_getset, readerGetters},
      {Py_sq_contains, reinterpret_cast<void*>(Reader_contains)},
      {Py_mp_length, reinterpret_cast<void*>(Reader_length)},
      {Py_mp_subscript, reinterpret_cast<void*>(Reader_subscript)},
  };
}

static_assert(PY_VERSION_HEX >= 0x030A0000, "Python 3.10 or later is needed");
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
// Made by their readers only: an iterator or a view without one would have nothing to read.
constexpr unsigned kMadeByReaders = kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// What the views and iterators share: they are generic in the stub, and are so at run time.
#define TESSEL_CLASS_GETITEM \
  { "__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr }

PyMethodDef iteratorMethods[] = {
    {"__length_hint__", Iterator_length_hint, METH_NOARGS,
     "__length_hint__($self, /)\n--\n\nThe items left, when every key is listed."},
    TESSEL_CLASS_GETITEM,
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot iteratorSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Iterator_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Iterator_next)},
    {Py_tp_methods, iteratorMethods},
    {Py_tp_doc, const_cast<char*>("the keys, values or items below a prefix, in byte order")},
    {0, nullptr}};

PyType_Slot matchesSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Matches_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Matches_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Matches_next)},
    {Py_tp_doc, const_cast<char*>("the keys that occur in a text: (start, end, value) each")},
    {0, nullptr}};

PyMethodDef listingMethods[] = {
    {"__reversed__", Listing_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\nIn descending byte order of the keys."},
    TESSEL_CLASS_GETITEM,
    {nullptr, nullptr, 0, nullptr}};

// The values view, as dict's, is no set.
PyType_Slot listingSlots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(Listing_dealloc)},
                              {Py_tp_traverse, reinterpret_cast<void*>(Listing_traverse)},
                              {Py_tp_iter, reinterpret_cast<void*>(Listing_iter)},
                              {Py_tp_repr, reinterpret_cast<void*>(Listing_repr)},
                              {Py_sq_length, reinterpret_cast<void*>(Listing_length)},
                              {Py_sq_contains, reinterpret_cast<void*>(Listing_contains)},
                              {Py_nb_bool, reinterpret_cast<void*>(Listing_bool)},
                              {Py_tp_methods, listingMethods},
                              {0, nullptr}};

PyMethodDef setListingMethods[] = {
    {"__reversed__", Listing_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\nIn descending byte order of the keys."},
    {"isdisjoint", Listing_isdisjoint, METH_O,
     "isdisjoint($self, other, /)\n--\n\nWhether the view and other have nothing in common."},
    TESSEL_CLASS_GETITEM,
    {nullptr, nullptr, 0, nullptr}};

// The keys and items views are sets, as dict's.
PyType_Slot setListingSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Listing_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Listing_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(Listing_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(Listing_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Listing_length)},
    {Py_sq_contains, reinterpret_cast<void*>(Listing_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(Listing_bool)},
    {Py_nb_and, reinterpret_cast<void*>(Listing_setOperation<PyNumber_And>)},
    {Py_nb_or, reinterpret_cast<void*>(Listing_setOperation<PyNumber_Or>)},
    {Py_nb_subtract, reinterpret_cast<void*>(Listing_setOperation<PyNumber_Subtract>)},
    {Py_nb_xor, reinterpret_cast<void*>(Listing_setOperation<PyNumber_Xor>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Listing_richcompare)},
    {Py_tp_methods, setListingMethods},
    {0, nullptr}};

// Makes the five types of a reader from the module, named after `prefix` ("tessel.Index"):
// the reader with its own methods and slots added to the shared ones, then its iterator and
// views. Returns false with an exception set.
bool makeTypes(PyObject* module, TypeSet& types, const char* name,
               const std::vector<PyMethodDef>& own, const std::vector<PyType_Slot>& ownSlots) {
  // The types' descriptions and tables live as long as the types: maybe for the process.
  static std::vector<PyMethodDef> methods;
  static std::vector<PyType_Slot> slots;
  static std::string names[6];
  if (methods.empty()) {
    methods = readerMethods();
    methods.insert(methods.end(), own.begin(), own.end());
    methods.push_back({nullptr, nullptr, 0, nullptr});
    slots = readerSlots(methods.data());
    // A slot of the reader's own replaces the shared one.
    for (const PyType_Slot& slot : ownSlots) {
      auto same = std::find_if(slots.begin(), slots.end(),
                               [&](const PyType_Slot& s) { return s.slot == slot.slot; });
      if (same != slots.end()) {
        *same = slot;
      } else {
        slots.push_back(slot);
      }
    }
    slots.push_back({0, nullptr});
    const char* suffixes[] = {"", "Iterator", "Keys", "Values", "Items", "Matches"};
    for (int i = 0; i < 6; ++i) names[i] = std::string(name) + suffixes[i];
  }
  static PyType_Spec descriptions[] = {
      {names[0].c_str(), sizeof(Reader), 0, kFlags, slots.data()},
      {names[1].c_str(), sizeof(Iterator), 0, kMadeByReaders, iteratorSlots},
      {names[2].c_str(), sizeof(Listing), 0, kMadeByReaders, setListingSlots},
      {names[3].c_str(), sizeof(Listing), 0, kMadeByReaders, listingSlots},
      {names[4].c_str(), sizeof(Listing), 0, kMadeByReaders, setListingSlots},
      {names[5].c_str(), sizeof(Matches), 0, kMadeByReaders, matchesSlots},
  };
  PyTypeObject** targets[] = {&types.reader, &types.iterator, &types.keys,
                              &types.values, &types.items,    &types.matches};
  for (int i = 0; i < 6; ++i) {
    *targets[i] = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(module, &descriptions[i], nullptr));
    if (*targets[i] == nullptr || PyModule_AddType(module, *targets[i]) < 0) return false;
  }
  return true;
}

// At the interpreter's end, the temporary files of builds still under way in daemon threads go.
void removeTemporariesAtExit() {
  Tessel::removeTemporaryFilesAtExit();
}

PyObject* stopTakingTheGil(PyObject*, PyObject*) {
  GilReturn::stop();
  Py_RETURN_NONE;
}

// Registers GilReturn::stop() with atexit, in the main interpreter (whose end is the one that
// finalizing() tells); an interpreter made again after an end starts afresh.
bool hookTheEnd() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return true;
  GilReturn::ending.store(false);
  static PyMethodDef stop = {"_stop_taking_the_gil", stopTakingTheGil, METH_NOARGS, nullptr};
  PyObject* hook = PyCFunction_New(&stop, nullptr);
  if (hook == nullptr) return false;
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* done = atexit == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
  Py_XDECREF(atexit);
  Py_DECREF(hook);
  Py_XDECREF(done);
  return done != nullptr;
}

int exec(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  static const bool atExit = Py_AtExit(removeTemporariesAtExit) == 0;
  (void)atExit;
  if (!hookTheEnd()) return -1;
  if (PyModule_AddStringConstant(module, "__version__", TESSEL_VERSION) < 0) return -1;
  PyObject* path = PyImport_ImportModule("os.path");
  if (path == nullptr) return -1;
  state->abspath = PyObject_GetAttrString(path, "abspath");
  Py_DECREF(path);
  if (state->abspath == nullptr) return -1;

  const bool made = makeTypes(
      module, state->types, "tessel.Index",
      {{"from_bytes", function(Index_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
        "from_bytes($type, buffer, /, *, binary=False)\n--\n\nAn index over any buffer."},
       {"verify", Index_verify, METH_NOARGS,
        "verify($self, /)\n--\n\nChecks every byte that can be checked: an index file's units "
        "form a tree; a sharded index's shards match the manifest's checksums, ranges and "
        "counts. ValueError names the first fault."},
       {"__reduce__", Index_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"}},
      {{Py_tp_new, reinterpret_cast<void*>(Reader_new)},
       {Py_tp_repr, reinterpret_cast<void*>(Index_repr)},
       {Py_tp_doc, const_cast<char*>("Index(path, *, binary=False)\n--\n\nA Tessel index, mapped "
                                     "read-only: an index file, or a sharded index (its "
                                     "directory or its MANIFEST).")}});
  if (!made) return -1;
  state->directory =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &directorySpec, nullptr));
  if (state->directory == nullptr || PyModule_AddType(module, state->directory) < 0) return -1;
  return 0;
}

int visitState(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  TypeSet* types = &state->types;
  Py_VISIT(types->reader);
  Py_VISIT(types->iterator);
  Py_VISIT(types->keys);
  Py_VISIT(types->values);
  Py_VISIT(types->items);
  Py_VISIT(types->matches);
  Py_VISIT(state->abspath);
  Py_VISIT(state->directory);
  return 0;
}

int clearState(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  TypeSet* types = &state->types;
  Py_CLEAR(types->reader);
  Py_CLEAR(types->iterator);
  Py_CLEAR(types->keys);
  Py_CLEAR(types->values);
  Py_CLEAR(types->items);
  Py_CLEAR(types->matches);
  Py_CLEAR(state->abspath);
  Py_CLEAR(state->directory);
  delete state->values;
  state->values = nullptr;
  return 0;
}

void freeState(void* module) {
  clearState(static_cast<PyObject*>(module));
}

PyMethodDef moduleMethods[] = {
    {"_build_range", function(buildRange), METH_FASTCALL, nullptr},
    {"_key_of", keyOf, METH_O, nullptr},
    {"_partition_lines", function(partitionLines), METH_FASTCALL, nullptr},
    {"_frame_keys", function(frameKeys), METH_FASTCALL, nullptr},
    {"_partition_framed", function(partitionFramed), METH_FASTCALL, nullptr},
    {"_build_framed", function(buildFramed), METH_FASTCALL, nullptr},
    {"_weigh_range", function(weighRange), METH_FASTCALL, nullptr},
    {"build", function(build), METH_FASTCALL | METH_KEYWORDS,
     "build(keys, path, values=None, *, sort=False, weights=None)\n--\n\nWrites an index of "
     "keys to path; with weights, its companion for top()."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot moduleSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)}, {0, nullptr}};

PyModuleDef moduleDefinition = {PyModuleDef_HEAD_INIT,
                                "_tessel",
                                "Tessel indexes: build them and query them.",
                                sizeof(ModuleState),
                                moduleMethods,
                                moduleSlots,
                                visitState,
                                clearState,
                                freeState};

}  // namespace

// The name is the one Python looks for.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__tessel() {
  return PyModuleDef_Init(&moduleDefinition);
}
