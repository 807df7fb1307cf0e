#pragma once

// tessel._tessel._Directory: the owner of a sharded index's directory during a build
// (tessel/shard_directory.h), for tessel.shards: the lock, the generation, the commit and the
// cleanup, so that Python never makes a file name or removes a file itself.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>

#include <tessel/shard_directory.h>

#include "keys.h"
#include "state.h"

namespace TesselPython {

struct Directory {
  PyObject_HEAD Tessel::ShardDirectory* owner;
  PyObject* path;  // as given
  int busy;        // calls under way without the GIL, which close() must not pull from under
};

inline Directory* asDirectory(PyObject* object) {
  return reinterpret_cast<Directory*>(object);
}

inline bool refuseClosedDirectory(const Directory* self) {
  if (self->owner != nullptr) return false;
  PyErr_SetString(PyExc_ValueError, "the directory's build is over");
  return true;
}

// Runs work(owner) without the GIL.
template <class Work>
void withoutGil(Directory* self, Work&& work) {
  ++self->busy;
  Py_BEGIN_ALLOW_THREADS;
  work(*self->owner);
  Py_END_ALLOW_THREADS;
  --self->busy;
}

// _Directory(path): opens the directory, making it if needed, and takes its lock:
// BlockingIOError when another build holds it, NotADirectoryError for a file.
inline PyObject* Directory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* given;
  if (!PyArg_ParseTuple(args, "O:_Directory", &given) ||
      (kwargs != nullptr && PyDict_Size(kwargs))) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_Directory(path)");
    return nullptr;
  }
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(given, &encoded)) return nullptr;
  auto* self = reinterpret_cast<Directory*>(type->tp_alloc(type, 0));
  if (self == nullptr) {
    Py_DECREF(encoded);
    return nullptr;
  }
  Py_INCREF(given);
  self->path = given;
  self->owner = new (std::nothrow) Tessel::ShardDirectory();
  int status = -1;
  if (self->owner != nullptr) {
    const char* path = PyBytes_AS_STRING(encoded);
    Py_BEGIN_ALLOW_THREADS;
    status = self->owner->open(path);
    Py_END_ALLOW_THREADS;
  }
  Py_DECREF(encoded);
  if (self->owner == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  if (status != 0) {
    if (errno == EWOULDBLOCK) {
      PyObject* error = PyObject_CallFunction(PyExc_BlockingIOError, "isO", errno,
                                              "another build is writing to it", given);
      if (error != nullptr) {
        PyErr_SetObject(PyExc_BlockingIOError, error);
        Py_DECREF(error);
      }
    } else {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, given);
    }
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

inline void Directory_dealloc(PyObject* object) {
  auto* self = asDirectory(object);
  delete self->owner;  // abandons a build that neither committed nor was given up
  Py_CLEAR(self->path);
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

// begin(): starts a build's generation (removing what dead builds left); returns it.
inline PyObject* Directory_begin(PyObject* object, PyObject*) {
  auto* self = asDirectory(object);
  if (refuseClosedDirectory(self)) return nullptr;
  int status;
  withoutGil(self, [&](Tessel::ShardDirectory& owner) { status = owner.begin(); });
  if (status != 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, self->path);
  const std::string& generation = self->owner->generation();
  return PyUnicode_FromStringAndSize(generation.data(), static_cast<Py_ssize_t>(generation.size()));
}

inline bool readUnsigned(PyObject* entry, const char* name, std::uint64_t& value) {
  PyObject* item = PyDict_GetItemString(entry, name);  // borrowed
  if (item == nullptr) {
    PyErr_Format(PyExc_ValueError, "a shard without %s", name);
    return false;
  }
  value = PyLong_AsUnsignedLongLong(item);
  return !PyErr_Occurred();
}

inline bool readKey(PyObject* entry, const char* name, std::string& value) {
  PyObject* item = PyDict_GetItemString(entry, name);  // borrowed
  if (item == nullptr || !PyBytes_Check(item)) {
    PyErr_Format(PyExc_ValueError, "a shard without %s", name);
    return false;
  }
  value.assign(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
  return true;
}

// commit(shards, lines): shards are dicts of number, keys, lines, base, bytes, crc32c, first,
// last, in key order; lines the input's. Checks them and replaces the manifest: ValueError
// when they do not make the index of the input, OSError when the manifest cannot be written;
// the directory is then as it was.
inline PyObject* Directory_commit(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = asDirectory(object);
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "commit(shards, lines)");
    return nullptr;
  }
  if (refuseClosedDirectory(self)) return nullptr;
  const unsigned long long lines = PyLong_AsUnsignedLongLong(args[1]);
  if (PyErr_Occurred()) return nullptr;
  Tessel::Manifest manifest;
  try {
    PyObject* shards = PySequence_Fast(args[0], "shards are a list of dicts");
    if (shards == nullptr) return nullptr;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(shards); ++i) {
      PyObject* entry = PySequence_Fast_GET_ITEM(shards, i);
      Tessel::ShardEntry shard;
      std::uint64_t number = 0, crc = 0;
      ok = PyDict_Check(entry) && readUnsigned(entry, "number", number) &&
           readUnsigned(entry, "keys", shard.keys) && readUnsigned(entry, "lines", shard.lines) &&
           readUnsigned(entry, "base", shard.base) && readUnsigned(entry, "bytes", shard.bytes) &&
           readUnsigned(entry, "crc32c", crc) && readKey(entry, "first", shard.first) &&
           readKey(entry, "last", shard.last);
      shard.crc32c = static_cast<std::uint32_t>(crc);
      shard.file = Tessel::ShardNames::shard(self->owner->generation(), number);
      if (ok) manifest.shards.push_back(std::move(shard));
    }
    Py_DECREF(shards);
    if (!ok) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "shards are a list of dicts");
      return nullptr;
    }
    std::string why;
    int status, error;
    withoutGil(self, [&](Tessel::ShardDirectory& owner) {
      status = owner.commit(manifest, lines, why);
      error = errno;
    });
    if (status == 0) return none();
    if (error == EINVAL) {
      PyErr_Format(PyExc_ValueError, "%R: %s; the index was left as it was", self->path,
                   why.c_str());
      return nullptr;
    }
    PyObject* exception =
        PyObject_CallFunction(PyExc_OSError, "isO", error, why.c_str(), self->path);
    if (exception != nullptr) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
      Py_DECREF(exception);
    }
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// abandon() and finish(), each without the GIL: files are removed.
template <void (Tessel::ShardDirectory::*step)()>
PyObject* Directory_step(PyObject* object, PyObject*) {
  auto* self = asDirectory(object);
  if (self->owner != nullptr)
    withoutGil(self, [](Tessel::ShardDirectory& owner) { (owner.*step)(); });
  return none();
}

inline PyObject* Directory_close(PyObject* object, PyObject*) {
  auto* self = asDirectory(object);
  if (self->busy != 0) {
    PyErr_SetString(PyExc_RuntimeError, "the directory is in use");
    return nullptr;
  }
  Tessel::ShardDirectory* owner = self->owner;
  self->owner = nullptr;
  Py_BEGIN_ALLOW_THREADS;
  delete owner;
  Py_END_ALLOW_THREADS;
  return none();
}

inline PyObject* Directory_get_committed(PyObject* object, void*) {
  const auto* self = asDirectory(object);
  return PyBool_FromLong(self->owner != nullptr && self->owner->committed());
}

inline PyObject* Directory_get_generation(PyObject* object, void*) {
  const auto* self = asDirectory(object);
  if (refuseClosedDirectory(self)) return nullptr;
  const std::string& generation = self->owner->generation();
  return PyUnicode_FromStringAndSize(generation.data(), static_cast<Py_ssize_t>(generation.size()));
}

inline PyMethodDef directoryMethods[] = {
    {"begin", Directory_begin, METH_NOARGS, "begin($self, /)\n--\n\nStarts a generation."},
    {"commit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Directory_commit)),
     METH_FASTCALL,
     "commit($self, shards, lines, /)\n--\n\nChecks the shards, then replaces the manifest."},
    {"abandon", Directory_step<&Tessel::ShardDirectory::abandon>, METH_NOARGS,
     "abandon($self, /)\n--\n\nRemoves what this build wrote, before its commit."},
    {"finish", Directory_step<&Tessel::ShardDirectory::finish>, METH_NOARGS,
     "finish($self, /)\n--\n\nRemoves the previous generation, after the commit."},
    {"close", Directory_close, METH_NOARGS, "close($self, /)\n--\n\nReleases the lock."},
    {nullptr, nullptr, 0, nullptr}};

inline PyGetSetDef directoryGetters[] = {
    {"committed", Directory_get_committed, nullptr, "whether the commit happened", nullptr},
    {"generation", Directory_get_generation, nullptr, "the build's generation", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyType_Slot directorySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Directory_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Directory_dealloc)},
    {Py_tp_methods, directoryMethods},
    {Py_tp_getset, directoryGetters},
    {Py_tp_doc, const_cast<char*>("The owner of a sharded index's directory during a build.")},
    {0, nullptr}};

inline PyType_Spec directorySpec = {"tessel._tessel._Directory", sizeof(Directory), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, directorySlots};

}  // namespace TesselPython
