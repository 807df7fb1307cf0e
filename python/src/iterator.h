#pragma once

// tessel.IndexIterator: the keys, values or items below a prefix, one at a time, with the
// reader's cursor walk; and the reader's __iter__ and __reversed__.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <string>

#include "reader.h"
#include "state.h"

namespace TesselPython {

struct Iterator {
  PyObject_HEAD Reader* index;  // strong
  View::Cursor cursor;
  Yield what;
  bool none;            // lists nothing: no key can begin with the prefix
  bool all;             // lists every key: its length is known
  std::size_t yielded;  // items given so far
};

// A new iterator of what `index` lists below prefix[0 .. length), in descending byte order
// when asked; `none` for no key at all.
inline PyObject* makeIterator(Reader* index, const char* prefix, std::size_t length, bool none,
                              Yield what, bool descending = false) {
  if (refuseClosed(index) || (!none && !readyToList(index))) return nullptr;
  PyTypeObject* type = stateOf(Py_TYPE(index))->types.iterator;
  auto* self = PyObject_GC_New(Iterator, type);
  if (self == nullptr) return nullptr;
  Py_INCREF(index);
  self->index = index;
  self->what = what;
  self->none = none;
  self->all = length == 0;
  self->yielded = 0;
  new (&self->cursor) View::Cursor();
  PyObject_GC_Track(self);
  try {
    if (!none) self->cursor.reset(index->view, prefix, length, descending);
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

inline void Iterator_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<Iterator*>(object);
  PyObject_GC_UnTrack(object);
  self->cursor.~Cursor();
  Py_CLEAR(self->index);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_Del(object);
  Py_DECREF(type);
}

inline int Iterator_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<Iterator*>(object)->index);
  return 0;
}

inline PyObject* Iterator_next(PyObject* object) {
  auto* self = reinterpret_cast<Iterator*>(object);
  if (refuseClosed(self->index)) return nullptr;
  if (self->none) return nullptr;
  bool more;
  try {
    Busy busy(self->index);
    more = self->cursor.next();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!more) {
    // Every later next() ends too: a damaged walk is not taken up again.
    self->none = true;
    return self->cursor.status().failed() ? raiseFailure(self->index, self->cursor.status())
                                          : nullptr;
  }
  // Ctrl-C stops a long iteration, as of every key of a large index.
  if (++self->yielded % kChunk == 0 && PyErr_CheckSignals() != 0) return nullptr;
  const std::string& key = self->cursor.key();
  return yielded(self->index, self->what, key.data(), key.size(), self->cursor.value());
}

// __length_hint__(): the items left when every key is listed; NotImplemented for a prefix,
// whose count is a walk.
inline PyObject* Iterator_length_hint(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Iterator*>(object);
  if (self->none || self->index->closed) return PyLong_FromLong(0);
  if (!self->all) Py_RETURN_NOTIMPLEMENTED;
  const Py_ssize_t counted = countKeys(self->index);
  if (counted < 0) return nullptr;
  const auto count = static_cast<std::size_t>(counted);
  return PyLong_FromSize_t(count > self->yielded ? count - self->yielded : 0);
}

inline PyObject* Reader_iter(PyObject* object) {
  return makeIterator(asReader(object), "", 0, false, Yield::kKeys);
}

// reversed(index): the keys in descending byte order.
inline PyObject* Reader_reversed(PyObject* object, PyObject*) {
  return makeIterator(asReader(object), "", 0, false, Yield::kKeys, true);
}

}  // namespace TesselPython
