#pragma once

// The module's state (its types and what it borrows from the os module), and the one place
// where a status of the library becomes a Python exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include <tessel/status.h>

namespace TesselPython {

// The types of tessel.Index: the reader, its iterator, its three views and finditer()'s.
struct TypeSet {
  PyTypeObject* reader = nullptr;
  PyTypeObject* iterator = nullptr;
  PyTypeObject* keys = nullptr;
  PyTypeObject* values = nullptr;
  PyTypeObject* items = nullptr;
  PyTypeObject* matches = nullptr;  // finditer()'s iterator
};

// The ints of matches' values, each made once and shared: a text's matches are mostly a few
// frequent keys, and an int shared by their tuples is memory that a list of millions of
// matches, or many lists of a few, need not take. A table indexed by the value's low bits
// keeps the last int made for each; it is used with the GIL held, and nothing in get() can
// run Python code that would use it again.
class ValueInts {
 public:
  ValueInts() = default;
  ValueInts(const ValueInts&) = delete;
  ValueInts& operator=(const ValueInts&) = delete;
  ~ValueInts() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // A new reference to the int `value`; nullptr with MemoryError.
  PyObject* get(long long value) {
    Slot& slot = slots_[static_cast<unsigned long long>(value) % kSlots];
    if (slot.object == nullptr || slot.value != value) {
      PyObject* made = PyLong_FromLongLong(value);
      if (made == nullptr) return nullptr;
      Py_XSETREF(slot.object, made);
      slot.value = value;
    }
    Py_INCREF(slot.object);
    return slot.object;
  }

 private:
  static constexpr std::size_t kSlots = 4096;
  struct Slot {
    long long value;
    PyObject* object;
  };
  Slot slots_[kSlots] = {};
};

struct ModuleState {
  TypeSet types;                      // tessel.Index and its own
  PyTypeObject* directory = nullptr;  // tessel._tessel._Directory, for tessel.shards
  PyObject* abspath = nullptr;        // os.path.abspath
  ValueInts* values = nullptr;        // made by the first match handed out
};

// A new reference to None.
inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// The state of the module that made `type` (a type of this module).
inline ModuleState* stateOf(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The value ints of the module that made `type`. Throws std::bad_alloc.
inline ValueInts& valueInts(PyTypeObject* type) {
  ModuleState* state = stateOf(type);
  if (state->values == nullptr) state->values = new ValueInts();
  return *state->values;
}

// Raises the exception of `status`, an IndexStatus of opening or walking the index `name`
// (errno tells why a file could not be opened), and returns nullptr.
inline PyObject* raiseIndexStatus(int status, PyObject* name) {
  switch (status) {
    case Tessel::kIndexCannotOpen:
      // FileNotFoundError, IsADirectoryError, PermissionError, ... as errno says.
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    default:
      if (name == nullptr) {
        PyErr_SetString(PyExc_ValueError, Tessel::describeIndexStatus(status));
      } else {
        PyErr_Format(PyExc_ValueError, "%s: %R", Tessel::describeIndexStatus(status), name);
      }
      return nullptr;
  }
}

// Raises the exception of a failed call's status and returns nullptr: OSError with its errno
// for kIndexCannotOpen (MemoryError for ENOMEM), ValueError with the status's words otherwise,
// naming the file or manifest line the status names, else `name` (which may be nullptr).
inline PyObject* raiseStatus(const Tessel::Status& status, PyObject* name) {
  if (status.code() == Tessel::kIndexCannotOpen && status.error() == ENOMEM) {
    return PyErr_NoMemory();
  }
  PyObject* where = nullptr;
  if (!status.where().empty()) {
    where = PyUnicode_DecodeFSDefault(status.where().c_str());
    if (where == nullptr) return nullptr;
  }
  errno = status.error() != 0 ? status.error() : EIO;
  raiseIndexStatus(status.code(), where != nullptr ? where : name);
  Py_XDECREF(where);
  return nullptr;
}

// Raises the exception of a failed build other than keys out of order (which names the keys)
// and returns nullptr.
inline PyObject* raiseBuildStatus(int status) {
  PyErr_SetString(PyExc_ValueError, Tessel::describeBuildStatus(status));
  return nullptr;
}

}  // namespace TesselPython
