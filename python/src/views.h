#pragma once

// tessel.IndexKeys, IndexValues and IndexItems: the views of the keys, values and items below a
// prefix, as dict's views are (lazy, sized, set-like for keys and items); and the reader's
// keys(), values() and items().

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <string>

#include "arguments.h"
#include "iterator.h"
#include "keys.h"
#include "reader.h"
#include "state.h"

namespace TesselPython {

struct Listing {
  PyObject_HEAD Reader* index;  // strong
  PyObject* prefix;             // bytes, strong
  bool none;                    // no key can begin with the prefix
  Yield what;
};

inline Listing* asListing(PyObject* object) {
  return reinterpret_cast<Listing*>(object);
}

template <Yield what>
PyObject* Reader_view(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
  static const char* const names[] = {"keys", "values", "items"};
  const char* name = names[static_cast<int>(what)];
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument (%zd given)", name, nargs);
    return nullptr;
  }
  auto* index = asReader(object);
  KeyBytes bytes;
  const KeyBytes::Result kind = nargs == 0 ? KeyBytes::kBytes : bytes.set(args[0]);
  if (refuseClosed(index) || kind == KeyBytes::kError) return nullptr;
  const TypeSet& types = stateOf(Py_TYPE(index))->types;
  PyTypeObject* type = what == Yield::kKeys     ? types.keys
                       : what == Yield::kValues ? types.values
                                                : types.items;
  PyObject* prefix = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (prefix == nullptr) return nullptr;
  auto* self = PyObject_GC_New(Listing, type);
  if (self == nullptr) {
    Py_DECREF(prefix);
    return nullptr;
  }
  Py_INCREF(index);
  self->index = index;
  self->prefix = prefix;
  self->none = kind == KeyBytes::kNoKey;
  self->what = what;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

inline void Listing_dealloc(PyObject* object) {
  auto* self = asListing(object);
  PyObject_GC_UnTrack(object);
  Py_CLEAR(self->index);
  Py_CLEAR(self->prefix);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_Del(object);
  Py_DECREF(type);
}

inline int Listing_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = asListing(object);
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(self->index);
  Py_VISIT(self->prefix);
  return 0;
}

inline PyObject* Listing_iter(PyObject* object) {
  auto* self = asListing(object);
  return makeIterator(self->index, PyBytes_AS_STRING(self->prefix),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix)), self->none,
                      self->what);
}

inline PyObject* Listing_reversed(PyObject* object, PyObject*) {
  auto* self = asListing(object);
  return makeIterator(self->index, PyBytes_AS_STRING(self->prefix),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix)), self->none,
                      self->what, true);
}

// ---- Set operations of the keys and items views, as dict's: each side that is no set is
// made one first, and the sets answer.

// `object` as a set: a new reference to it when it is one, else a new set of its items.
inline PyObject* asSet(PyObject* object) {
  if (PyAnySet_Check(object)) {
    Py_INCREF(object);
    return object;
  }
  return PySet_New(object);
}

// a <op> b, where a or b is a keys or items view.
template <PyObject* (*operation)(PyObject*, PyObject*)>
PyObject* Listing_setOperation(PyObject* a, PyObject* b) {
  PyObject* left = asSet(a);
  PyObject* right = left == nullptr ? nullptr : asSet(b);
  PyObject* result = right == nullptr ? nullptr : operation(left, right);
  Py_XDECREF(left);
  Py_XDECREF(right);
  return result;
}

// Whether `object` is a keys or items view, of a dict or of a reader.
inline bool setLikeView(PyObject* object, const TypeSet& types) {
  PyTypeObject* type = Py_TYPE(object);
  return PyDictKeys_Check(object) || PyDictItems_Check(object) || type == types.keys ||
         type == types.items;
}

// ==, != with sets and with other keys or items views, as dict's views compare.
inline PyObject* Listing_richcompare(PyObject* object, PyObject* other, int op) {
  ModuleState* state = stateOf(Py_TYPE(object));
  if ((op != Py_EQ && op != Py_NE) || asListing(object)->what == Yield::kValues ||
      !(PyAnySet_Check(other) || setLikeView(other, state->types))) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  PyObject* left = asSet(object);
  PyObject* right = left == nullptr ? nullptr : asSet(other);
  PyObject* result = right == nullptr ? nullptr : PyObject_RichCompare(left, right, op);
  Py_XDECREF(left);
  Py_XDECREF(right);
  return result;
}

// isdisjoint(other): whether the view and `other` have no item in common.
inline PyObject* Listing_isdisjoint(PyObject* object, PyObject* other) {
  PyObject* items = asSet(object);
  if (items == nullptr) return nullptr;
  PyObject* result = PyObject_CallMethod(items, "isdisjoint", "O", other);
  Py_DECREF(items);
  return result;
}

// The number of keys below the prefix, counted on each call: the index's key count for all
// of them, a walk for the others.
inline Py_ssize_t Listing_length(PyObject* object) {
  auto* self = asListing(object);
  Reader* index = self->index;
  if (refuseClosed(index)) return -1;
  if (self->none) return 0;
  const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix));
  if (length == 0) return countKeys(index);
  std::size_t count = 0;
  bool interrupted = false;
  // Ctrl-C stops a long count, as of a short prefix of a large index.
  auto counted = [&](const std::string&, Value) {
    interrupted = ++count % kChunk == 0 && PyErr_CheckSignals() != 0;
    return !interrupted;
  };
  const bool listed = listKeys(index, PyBytes_AS_STRING(self->prefix), length,
                               static_cast<std::size_t>(-1), counted);
  return listed && !interrupted ? static_cast<Py_ssize_t>(count) : -1;
}

// Whether some key has the prefix, found without listing the others.
inline int Listing_bool(PyObject* object) {
  auto* self = asListing(object);
  if (refuseClosed(self->index)) return -1;
  if (self->none) return 0;
  bool any = false;
  if (!listKeys(self->index, PyBytes_AS_STRING(self->prefix),
                static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix)), 1,
                [&](const std::string&, Value) { return !(any = true); })) {
    return -1;
  }
  return any;
}

// Whether `key` is a key below the prefix: 1, 0, or -1 with an exception set. `value` is set
// when it is.
inline int hasBelow(Listing* self, PyObject* key, Value& value) {
  if (refuseClosed(self->index)) return -1;
  KeyBytes bytes;
  switch (bytes.set(key)) {
    case KeyBytes::kError:
      return -1;
    case KeyBytes::kNoKey:
      return 0;
    default:
      break;
  }
  const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix));
  if (self->none || bytes.size() < length ||
      std::memcmp(bytes.data(), PyBytes_AS_STRING(self->prefix), length) != 0) {
    return 0;
  }
  const Tessel::Status found = self->index->view.find(bytes.data(), bytes.size(), value);
  if (found.failed()) {
    raiseFailure(self->index, found);
    return -1;
  }
  return found.ok() ? 1 : 0;
}

// `in`: for keys a lookup, for items a lookup and a comparison, for values a walk, as dict's
// values view does.
inline int Listing_contains(PyObject* object, PyObject* item) {
  auto* self = asListing(object);
  Value value;
  switch (self->what) {
    case Yield::kKeys:
      return hasBelow(self, item, value);
    case Yield::kItems: {
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) return 0;
      const int found = hasBelow(self, PyTuple_GET_ITEM(item, 0), value);
      if (found <= 0) return found;
      PyObject* held = makeValue(value);
      if (held == nullptr) return -1;
      const int equal = PyObject_RichCompareBool(held, PyTuple_GET_ITEM(item, 1), Py_EQ);
      Py_DECREF(held);
      return equal;
    }
    default: {
      if (refuseClosed(self->index) || self->none) return self->none ? 0 : -1;
      // An int is compared as a number; anything else with == against each value's int.
      long long wanted = -1;
      const bool exact = PyLong_CheckExact(item) != 0;
      if (exact && integerIn(item, 0, std::numeric_limits<Value>::max(), wanted) <= 0) {
        PyErr_Clear();
        return 0;
      }
      int found = 0;
      std::size_t walked = 0;
      if (!listKeys(self->index, PyBytes_AS_STRING(self->prefix),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(self->prefix)),
                    static_cast<std::size_t>(-1), [&](const std::string&, Value v) {
                      if (exact) {
                        found = v == wanted;
                      } else {
                        PyObject* value = makeValue(v);
                        found =
                            value == nullptr ? -1 : PyObject_RichCompareBool(value, item, Py_EQ);
                        Py_XDECREF(value);
                      }
                      // Ctrl-C stops a long walk of the values.
                      if (found == 0 && ++walked % kChunk == 0 && PyErr_CheckSignals() != 0) {
                        found = -1;
                      }
                      return found == 0;
                    })) {
        return -1;
      }
      return found;
    }
  }
}

inline PyObject* Listing_repr(PyObject* object) {
  auto* self = asListing(object);
  return PyUnicode_FromFormat("<%s of %R below %R>", Py_TYPE(object)->tp_name, self->index,
                              self->prefix);
}

}  // namespace TesselPython
