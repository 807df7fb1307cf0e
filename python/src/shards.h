#pragma once

// The steps of a sharded build that run in C++, for tessel.shards: each takes plain values
// (paths, offsets, bytes) and releases the GIL for its work, so that Dask's workers spend
// their time there; and the manifest, read and written by the library's one parser and
// writer.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <tessel/manifest.h>
#include <tessel/shard_builder.h>

#include "arguments.h"
#include "keys.h"

namespace TesselPython {

inline PyObject* bytesOf(const std::string& text) {
  return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A shard's entry as a dict: file, keys, lines, base, bytes, crc32c, first, last.
inline PyObject* entryDict(const Tessel::ShardEntry& entry) {
  return Py_BuildValue("{s:s#,s:K,s:K,s:K,s:K,s:k,s:N,s:N}", "file", entry.file.data(),
                       static_cast<Py_ssize_t>(entry.file.size()), "keys",
                       static_cast<unsigned long long>(entry.keys), "lines",
                       static_cast<unsigned long long>(entry.lines), "base",
                       static_cast<unsigned long long>(entry.base), "bytes",
                       static_cast<unsigned long long>(entry.bytes), "crc32c",
                       static_cast<unsigned long>(entry.crc32c), "first", bytesOf(entry.first),
                       "last", bytesOf(entry.last));
}

// What a shard's build reports to Python: its entry, or {"unsorted": i} for keys out of
// order; OSError (naming `shown`) when it could not be written.
inline PyObject* shardResult(const Tessel::ShardBuild& built, PyObject* shown) {
  if (built.status == Tessel::kBuildUnsorted) {
    return Py_BuildValue("{s:K}", "unsorted", static_cast<unsigned long long>(built.unsorted));
  }
  if (built.status != Tessel::kBuildOk) return raiseBuildStatus(built.status);
  if (built.entry.lines == 0) return Py_BuildValue("{s:i}", "keys", 0);
  if (!built.saved) {
    errno = built.error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown);
  }
  return entryDict(built.entry);
}

inline bool readBoundaries(PyObject* list, std::vector<std::string>& out) {
  PyObject* items = PySequence_Fast(list, "boundaries are a list of bytes");
  if (items == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(items); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    ok = PyBytes_Check(item) != 0;
    if (ok)
      out.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
  }
  Py_DECREF(items);
  if (!ok) PyErr_SetString(PyExc_TypeError, "boundaries are a list of bytes");
  return ok;
}

inline PyObject* blobList(const std::vector<std::string>& parts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(parts.size()));
  for (std::size_t i = 0; list != nullptr && i < parts.size(); ++i) {
    PyObject* blob = bytesOf(parts[i]);
    if (blob == nullptr) {
      Py_CLEAR(list);
    } else {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), blob);
    }
  }
  return list;
}

// A marker path argument: None, or a path as bytes in `held`.
inline bool readMarker(PyObject* argument, PyObject*& held) {
  held = nullptr;
  return argument == Py_None || PyUnicode_FSConverter(argument, &held) != 0;
}
inline const char* markerOf(PyObject* held) {
  return held == nullptr ? nullptr : PyBytes_AS_STRING(held);
}

// _build_range(keys_path, start, end, shard_path, marker): the lines of the sorted key file
// that lie in [start, end) (end 0: to its end) into a shard file, put in place only while the
// file `marker` exists (None: always).
inline PyObject* buildRange(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  unsigned long long start, end;
  PyObject *keysPath = nullptr, *shardPath = nullptr, *marker = nullptr;
  if (nargs != 5 || !PyUnicode_FSConverter(args[0], &keysPath)) {
    if (nargs != 5) PyErr_SetString(PyExc_TypeError, "_build_range() takes 5 arguments");
    return nullptr;
  }
  PyObject* result = nullptr;
  start = PyLong_AsUnsignedLongLong(args[1]);
  end = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(args[2]);
  if (!PyErr_Occurred() && PyUnicode_FSConverter(args[3], &shardPath) &&
      readMarker(args[4], marker)) {
    const int fd = ::open(PyBytes_AS_STRING(keysPath), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, args[0]);
    } else {
      Tessel::ShardBuild built;
      bool noMemory = false;
      Py_BEGIN_ALLOW_THREADS;
      try {
        built = Tessel::buildShard(fd, start, end, PyBytes_AS_STRING(shardPath), markerOf(marker));
      } catch (const std::bad_alloc&) {
        noMemory = true;
      }
      ::close(fd);
      Py_END_ALLOW_THREADS;
      result = noMemory ? PyErr_NoMemory() : shardResult(built, args[3]);
    }
  }
  Py_DECREF(keysPath);
  Py_XDECREF(shardPath);
  Py_XDECREF(marker);
  return result;
}

// _partition_lines(path, start, end, boundaries): the key lines that begin in [start, end),
// framed, one bytes object per range.
inline PyObject* partitionLines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_partition_lines() takes 4 arguments");
    return nullptr;
  }
  PyObject* path = nullptr;
  std::vector<std::string> boundaries, parts;
  const unsigned long long start = PyLong_AsUnsignedLongLong(args[1]);
  const unsigned long long end = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(args[2]);
  if (PyErr_Occurred() || !readBoundaries(args[3], boundaries) ||
      !PyUnicode_FSConverter(args[0], &path)) {
    return nullptr;
  }
  int status = -1;
  int error = 0;
  bool noMemory = false;
  Py_BEGIN_ALLOW_THREADS;
  const int fd = ::open(PyBytes_AS_STRING(path), O_RDONLY | O_CLOEXEC);
  try {
    status = fd < 0 ? -1 : Tessel::partitionLines(fd, start, end, boundaries, parts);
  } catch (const std::bad_alloc&) {
    noMemory = true;
  }
  error = errno;
  if (fd >= 0) ::close(fd);
  Py_END_ALLOW_THREADS;
  Py_DECREF(path);
  if (noMemory) return PyErr_NoMemory();
  if (status != 0) {
    errno = error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, args[0]);
  }
  return blobList(parts);
}

// _frame_keys(keys, every): (the keys of the iterable, str or bytes, framed; every `every`-th
// key as bytes, a sample).
inline PyObject* frameKeys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_frame_keys() takes 2 arguments");
    return nullptr;
  }
  const long long every = PyLong_AsLongLong(args[1]);
  if (every <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "every must be positive");
    return nullptr;
  }
  PyObject* iterator = PyObject_GetIter(args[0]);
  PyObject* sample = iterator == nullptr ? nullptr : PyList_New(0);
  if (sample == nullptr) {
    Py_XDECREF(iterator);
    return nullptr;
  }
  std::string framed;
  KeyBytes bytes;
  PyObject* key;
  long long n = 0;
  bool ok = true;
  try {
    while (ok && (key = PyIter_Next(iterator)) != nullptr) {
      const KeyBytes::Result kind = bytes.set(key);
      if (kind == KeyBytes::kNoKey) {
        Py_XDECREF(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
      }
      ok = kind == KeyBytes::kBytes;
      if (ok) {
        Tessel::appendFramed(framed, bytes.data(), bytes.size());
        if (n++ % every == 0) {
          PyObject* kept =
              PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
          ok = kept != nullptr && PyList_Append(sample, kept) == 0;
          Py_XDECREF(kept);
        }
      }
      Py_DECREF(key);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  Py_DECREF(iterator);
  if (!ok || PyErr_Occurred()) {
    Py_DECREF(sample);
    return nullptr;
  }
  return Py_BuildValue("(NN)", bytesOf(framed), sample);
}

// _partition_framed(blob, boundaries): the framed keys of blob, one bytes object per range.
inline PyObject* partitionFramed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::vector<std::string> boundaries, parts;
  if (nargs != 2 || !PyBytes_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_partition_framed() takes bytes and boundaries");
    return nullptr;
  }
  if (!readBoundaries(args[1], boundaries)) return nullptr;
  bool ok = true, noMemory = false;
  const char* data = PyBytes_AS_STRING(args[0]);
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]));
  Py_BEGIN_ALLOW_THREADS;
  try {
    std::vector<Tessel::internal::KeyRef> keys;
    ok = Tessel::readFramed(data, size, keys);
    parts.assign(boundaries.size() + 1, std::string());
    for (const auto& key : keys) {
      const char* text = reinterpret_cast<const char*>(key.bytes);
      Tessel::appendFramed(parts[Tessel::rangeOf(boundaries, text, key.length)], text, key.length);
    }
  } catch (const std::bad_alloc&) {
    noMemory = true;
  }
  Py_END_ALLOW_THREADS;
  if (noMemory) return PyErr_NoMemory();
  if (!ok) {
    PyErr_SetString(PyExc_ValueError, "damaged framed keys");
    return nullptr;
  }
  return blobList(parts);
}

// _build_framed(blobs, shard_path, marker): the framed keys of all blobs, sorted and without
// repeats, into a shard file as _build_range() does; each key's value is its rank.
inline PyObject* buildFramed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_build_framed() takes 3 arguments");
    return nullptr;
  }
  // Our own tuple holds every blob while the GIL is released.
  PyObject* blobs = PySequence_Tuple(args[0]);
  PyObject *path = nullptr, *marker = nullptr;
  if (blobs == nullptr || !PyUnicode_FSConverter(args[1], &path) || !readMarker(args[2], marker)) {
    Py_XDECREF(blobs);
    Py_XDECREF(path);
    return nullptr;
  }
  PyObject* result = nullptr;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(blobs); ++i) {
    ok = PyBytes_Check(PyTuple_GET_ITEM(blobs, i)) != 0;
  }
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "blobs are bytes");
  } else {
    Tessel::ShardBuild built;
    bool noMemory = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
      std::vector<Tessel::internal::KeyRef> keys;
      for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(blobs); ++i) {
        PyObject* blob = PyTuple_GET_ITEM(blobs, i);
        ok = Tessel::readFramed(PyBytes_AS_STRING(blob),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(blob)), keys);
      }
      if (ok) built = Tessel::buildShard(keys, PyBytes_AS_STRING(path), markerOf(marker));
    } catch (const std::bad_alloc&) {
      noMemory = true;
    }
    Py_END_ALLOW_THREADS;
    if (noMemory) {
      PyErr_NoMemory();
    } else if (!ok) {
      PyErr_SetString(PyExc_ValueError, "damaged framed keys");
    } else {
      result = shardResult(built, args[1]);
    }
  }
  Py_DECREF(blobs);
  Py_DECREF(path);
  Py_XDECREF(marker);
  return result;
}

// _read_manifest(path): {"generation": str, "shards": [entry, ...]} of the manifest file;
// OSError when it cannot be read, ValueError (with the line and why) when it is damaged.
inline PyObject* readManifest(PyObject*, PyObject* argument) {
  PyObject* path = nullptr;
  if (!PyUnicode_FSConverter(argument, &path)) return nullptr;
  std::string text;
  const int fd = ::open(PyBytes_AS_STRING(path), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  Py_DECREF(path);
  if (fd < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, argument);
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = Tessel::internal::readSome(fd, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, argument);
      }
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  Tessel::Manifest manifest;
  const std::string why = Tessel::parseManifest(text.data(), text.size(), manifest);
  if (!why.empty()) {
    PyErr_Format(PyExc_ValueError, "%s: %R: %s",
                 Tessel::describeIndexStatus(Tessel::kIndexBadManifest), argument, why.c_str());
    return nullptr;
  }
  PyObject* shards = PyList_New(0);
  for (std::size_t i = 0; shards != nullptr && i < manifest.shards.size(); ++i) {
    PyObject* entry = entryDict(manifest.shards[i]);
    if (entry == nullptr || PyList_Append(shards, entry) != 0) Py_CLEAR(shards);
    Py_XDECREF(entry);
  }
  if (shards == nullptr) return nullptr;
  return Py_BuildValue("{s:s#,s:N}", "generation", manifest.generation.data(),
                       static_cast<Py_ssize_t>(manifest.generation.size()), "shards", shards);
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

inline bool readText(PyObject* entry, const char* name, std::string& value) {
  PyObject* item = PyDict_GetItemString(entry, name);  // borrowed
  if (item == nullptr || !(PyBytes_Check(item) || PyUnicode_Check(item))) {
    PyErr_Format(PyExc_ValueError, "a shard without %s", name);
    return false;
  }
  KeyBytes bytes;
  if (bytes.set(item) != KeyBytes::kBytes) return false;
  value.assign(bytes.data(), bytes.size());
  return true;
}

// _write_manifest(directory, generation, shards): writes directory/MANIFEST atomically after
// checking it as a reader would.
inline PyObject* writeManifest(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "_write_manifest(directory, generation, shards)");
    return nullptr;
  }
  Tessel::Manifest manifest;
  try {
    const char* generation = PyUnicode_AsUTF8(args[1]);
    if (generation == nullptr) return nullptr;
    manifest.generation = generation;
    PyObject* shards = PySequence_Fast(args[2], "shards are a list of dicts");
    if (shards == nullptr) return nullptr;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(shards); ++i) {
      PyObject* entry = PySequence_Fast_GET_ITEM(shards, i);
      Tessel::ShardEntry shard;
      std::uint64_t crc = 0;
      ok = PyDict_Check(entry) && readText(entry, "file", shard.file) &&
           readUnsigned(entry, "keys", shard.keys) && readUnsigned(entry, "lines", shard.lines) &&
           readUnsigned(entry, "base", shard.base) && readUnsigned(entry, "bytes", shard.bytes) &&
           readUnsigned(entry, "crc32c", crc) && readText(entry, "first", shard.first) &&
           readText(entry, "last", shard.last);
      shard.crc32c = static_cast<std::uint32_t>(crc);
      if (ok) manifest.shards.push_back(std::move(shard));
    }
    Py_DECREF(shards);
    if (!ok) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "shards are a list of dicts");
      return nullptr;
    }
    // What no reader would take is never written.
    const std::string text = Tessel::manifestText(manifest);
    Tessel::Manifest check;
    const std::string why = Tessel::parseManifest(text.data(), text.size(), check);
    if (!why.empty()) {
      PyErr_Format(PyExc_ValueError, "the manifest would be bad: %s", why.c_str());
      return nullptr;
    }
    PyObject* directory = nullptr;
    if (!PyUnicode_FSConverter(args[0], &directory)) return nullptr;
    int status;
    std::string path = std::string(PyBytes_AS_STRING(directory)) + "/" + Tessel::kManifestName;
    Py_DECREF(directory);
    Py_BEGIN_ALLOW_THREADS;
    status = Tessel::replaceFile(path.c_str(), text.data(), text.size());
    Py_END_ALLOW_THREADS;
    if (status != 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return none();
}

}  // namespace TesselPython
