#pragma once

// The steps of a sharded build that run in C++, for tessel.shards: each takes plain values
// (paths, offsets, bytes) and releases the GIL for its work, so that Dask's workers spend
// their time there; and the manifest, read and written by the library's one parser and
// writer.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <tessel/internal/mapped_file.h>
#include <tessel/key_lines.h>
#include <tessel/line_rule.h>
#include <tessel/manifest.h>
#include <tessel/shard_builder.h>
#include <tessel/shard_directory.h>
#include <tessel/weights.h>

#include "arguments.h"
#include "keys.h"
#include "state.h"

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

// What a shard's build reports to Python: its entry with the lines of its range, or
// {"unsorted": i, "lines": n, "first": key} for keys out of order, or {"keys": 0, "lines": 0} for a
// range that no key fell in; OSError (naming `shown`) when it could not be built or written.
inline PyObject* shardResult(const Tessel::ShardBuild& built, const std::string& shown) {
  if (built.status == Tessel::kBuildUnsorted) {
    return Py_BuildValue(
        "{s:K,s:K,s:N}", "unsorted", static_cast<unsigned long long>(built.unsorted), "lines",
        static_cast<unsigned long long>(built.lines), "first", bytesOf(built.entry.first));
  }
  if (built.status != Tessel::kBuildOk) return raiseBuildStatus(built.status);
  if (built.lines == 0) return Py_BuildValue("{s:i,s:i}", "keys", 0, "lines", 0);
  if (!built.saved) {
    errno = built.error == 0 ? EIO : built.error;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, shown.c_str());
  }
  return entryDict(built.entry);
}

// Where shard `number` of a generation goes, by the directory's names.
struct ShardPlace {
  std::string path, temporaryPrefix, marker;

  // From the arguments (directory, generation, number); false with an exception set.
  bool read(PyObject* const* args) {
    PyObject* directory = nullptr;
    const char* generation = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8(args[1]) : nullptr;
    const Py_ssize_t number = PyNumber_AsSsize_t(args[2], PyExc_OverflowError);
    if (generation == nullptr || (number < 0 && !PyErr_Occurred())) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a generation and a shard number");
      return false;
    }
    if (PyErr_Occurred() || !PyUnicode_FSConverter(args[0], &directory)) return false;
    const std::string root = PyBytes_AS_STRING(directory);
    Py_DECREF(directory);
    const auto n = static_cast<std::size_t>(number);
    path = root + "/" + Tessel::ShardNames::shard(generation, n);
    temporaryPrefix = Tessel::ShardNames::temporaryPrefix(generation, n);
    marker = root + "/" + Tessel::ShardNames::marker(generation);
    return true;
  }
  Tessel::ShardTarget target() const {
    return {path.c_str(), temporaryPrefix.c_str(), marker.c_str()};
  }

  // Makes the shard's companion (its weights for ranked completion) from weights[line] for
  // each of its lines, put in place, as the shard was, only while the marker stands.
  Tessel::Status saveWeights(const std::vector<std::uint32_t>& weights) const {
    Tessel::internal::MappedFile file;
    if (file.map(path.c_str()) != Tessel::kIndexOk) {
      return Tessel::Status::failure(Tessel::kIndexCannotOpen, path, errno);
    }
    Tessel::ReplaceHooks hooks;
    hooks.beforeCommit = Tessel::internal::markerStands;
    hooks.context = const_cast<char*>(marker.c_str());
    const std::string companion = Tessel::weightsPathOf(path);
    return Tessel::saveWeights(
        companion, file.data(), file.bytes() / Tessel::Format::kUnitBytes, weights.data(),
        weights.size(), Tessel::ShardNames::weightsTemporaryPrefix(companion).c_str(), hooks);
  }
};

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

// _build_range(keys_path, start, end, directory, generation, number): the lines of the sorted
// key file that lie in [start, end) (end 0: to its end) into shard `number` of the
// generation, put in place only while the generation's marker stands.
inline PyObject* buildRange(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6) {
    PyErr_SetString(PyExc_TypeError, "_build_range() takes 6 arguments");
    return nullptr;
  }
  ShardPlace place;
  PyObject* keysPath = nullptr;
  const unsigned long long start = PyLong_AsUnsignedLongLong(args[1]);
  const unsigned long long end = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(args[2]);
  if (PyErr_Occurred() || !place.read(args + 3) || !PyUnicode_FSConverter(args[0], &keysPath)) {
    return nullptr;
  }
  PyObject* result = nullptr;
  const int fd = ::open(PyBytes_AS_STRING(keysPath), O_RDONLY | O_CLOEXEC);
  Py_DECREF(keysPath);
  if (fd < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, args[0]);
  Tessel::ShardBuild built;
  bool noMemory = false;
  Py_BEGIN_ALLOW_THREADS;
  try {
    built = Tessel::buildShard(fd, start, end, place.target());
  } catch (const std::bad_alloc&) {
    noMemory = true;
  }
  ::close(fd);
  Py_END_ALLOW_THREADS;
  result = noMemory ? PyErr_NoMemory() : shardResult(built, place.path);
  return result;
}

// Weight lines to read: `lines` lines of the file at `path` from byte `offset`, the first of
// them its line `line` (for errors).
struct WeightSegment {
  std::string path;
  unsigned long long offset = 0, lines = 0, line = 0;
};

// The segments of a list of (path, offset, lines, line) tuples; false with an exception set.
inline bool readSegments(PyObject* list, std::vector<WeightSegment>& segments) {
  PyObject* items = PySequence_Fast(list, "segments are a list of tuples");
  if (items == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(items); ++i) {
    PyObject* path = nullptr;
    WeightSegment segment;
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items, i), "O&KKK", PyUnicode_FSConverter, &path,
                          &segment.offset, &segment.lines, &segment.line) != 0;
    if (ok) {
      segment.path = PyBytes_AS_STRING(path);
      segments.push_back(std::move(segment));
    }
    Py_XDECREF(path);
  }
  Py_DECREF(items);
  return ok;
}

// Reads the weights of `segments`, a line each as tessel-weights reads them, without the GIL.
struct WeightReading {
  std::vector<std::uint32_t> weights;
  std::string failedFile, badLine;  // a file that could not be read (error), or a bad line
  int error = 0;

  bool read(const std::vector<WeightSegment>& segments) {
    for (const WeightSegment& segment : segments) {
      const int fd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
      Tessel::KeyLines text;
      if (fd < 0 || text.mapText(fd, segment.offset, 0) != 0) {
        error = errno;
        failedFile = segment.path;
        if (fd >= 0) ::close(fd);
        return false;
      }
      ::close(fd);
      const char* p = text.text();
      const char* const stop = p + text.size();
      for (unsigned long long n = 0; n < segment.lines; ++n) {
        if (p >= stop) return bad(segment, n, "the weights end before the keys");
        const char* end = Tessel::LineRule::lineEnd(p, stop);
        const std::size_t length =
            Tessel::LineRule::keyLength(p, static_cast<std::size_t>(end - p));
        std::uint32_t weight = 0;
        if (!Tessel::parseWeight(p, length, weight)) return bad(segment, n, Tessel::kNotAWeight);
        weights.push_back(weight);
        p = end + 1;
      }
    }
    return true;
  }

  // After read() failed, with the GIL: the exception.
  PyObject* raise() const {
    if (!failedFile.empty()) {
      errno = error;
      return PyErr_SetFromErrnoWithFilename(PyExc_OSError, failedFile.c_str());
    }
    PyErr_SetString(PyExc_ValueError, badLine.c_str());
    return nullptr;
  }

 private:
  bool bad(const WeightSegment& segment, unsigned long long n, const char* why) {
    badLine = segment.path + ": line " + std::to_string(segment.line + n) + ": " + why;
    return false;
  }
};

// _weigh_range(segments, directory, generation, number): the companion of shard `number` of the
// generation, from the weight lines of `segments` (readSegments()). ValueError for a line that
// is no weight or weights that end too soon; OSError naming a file that cannot be read or
// written.
inline PyObject* weighRange(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_weigh_range() takes 4 arguments");
    return nullptr;
  }
  ShardPlace place;
  std::vector<WeightSegment> segments;
  if (!place.read(args + 1) || !readSegments(args[0], segments)) return nullptr;
  WeightReading reading;
  bool ok = false, noMemory = false;
  Tessel::Status weighed;
  Py_BEGIN_ALLOW_THREADS;
  try {
    ok = reading.read(segments);
    if (ok) weighed = place.saveWeights(reading.weights);
  } catch (const std::bad_alloc&) {
    noMemory = true;
  }
  Py_END_ALLOW_THREADS;
  if (noMemory) return PyErr_NoMemory();
  if (!ok) return reading.raise();
  if (!weighed.ok()) return raiseStatus(weighed, nullptr);
  return none();
}

// _partition_lines(path, start, end, boundaries[, segments]): (the key lines that begin in
// [start, end), framed, one bytes object per range; their number). With the segments of their
// weight lines (readSegments()), weighted frames.
// _key_of(line): the key of a line read with its '\n' or without, by the key list's rule.
inline PyObject* keyOf(PyObject*, PyObject* line) {
  if (!PyBytes_Check(line)) {
    PyErr_SetString(PyExc_TypeError, "a line is bytes");
    return nullptr;
  }
  const char* text = PyBytes_AS_STRING(line);
  const char* end = text + PyBytes_GET_SIZE(line);
  const char* lineEnd = Tessel::LineRule::lineEnd(text, end);
  const std::size_t length =
      Tessel::LineRule::keyLength(text, static_cast<std::size_t>(lineEnd - text));
  return PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(length));
}

inline PyObject* partitionLines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 && nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "_partition_lines() takes 4 or 5 arguments");
    return nullptr;
  }
  PyObject* path = nullptr;
  std::vector<std::string> boundaries, parts;
  std::vector<WeightSegment> segments;
  const bool weighted = nargs == 5 && args[4] != Py_None;
  const unsigned long long start = PyLong_AsUnsignedLongLong(args[1]);
  const unsigned long long end = PyErr_Occurred() ? 0 : PyLong_AsUnsignedLongLong(args[2]);
  if (PyErr_Occurred() || !readBoundaries(args[3], boundaries) ||
      (weighted && !readSegments(args[4], segments)) || !PyUnicode_FSConverter(args[0], &path)) {
    return nullptr;
  }
  int status = -1;
  int error = 0;
  bool noMemory = false, read = true;
  std::uint64_t count = 0;
  WeightReading reading;
  Py_BEGIN_ALLOW_THREADS;
  const int fd = ::open(PyBytes_AS_STRING(path), O_RDONLY | O_CLOEXEC);
  try {
    read = !weighted || reading.read(segments);
    status = fd < 0 || !read ? -1
                             : Tessel::partitionLines(fd, start, end, boundaries, parts, count,
                                                      weighted ? &reading.weights : nullptr);
  } catch (const std::bad_alloc&) {
    noMemory = true;
  }
  error = errno;
  if (fd >= 0) ::close(fd);
  Py_END_ALLOW_THREADS;
  Py_DECREF(path);
  if (noMemory) return PyErr_NoMemory();
  if (!read) return reading.raise();
  if (status != 0) {
    errno = error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, args[0]);
  }
  return Py_BuildValue("(NK)", blobList(parts), static_cast<unsigned long long>(count));
}

// _frame_keys(keys, every[, weights]): (the keys of the iterable, str or bytes, framed; every
// `every`-th key as bytes, a sample). With weights (integers, one a key), weighted frames.
inline PyObject* frameKeys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 && nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_frame_keys() takes 2 or 3 arguments");
    return nullptr;
  }
  PyObject* weightList = nargs == 3 && args[2] != Py_None ? args[2] : nullptr;
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
  std::vector<std::uint32_t> weights;
  try {
    while (ok && (key = PyIter_Next(iterator)) != nullptr) {
      const KeyBytes::Result kind = bytes.set(key);
      if (kind == KeyBytes::kNoKey) {
        Py_XDECREF(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
      }
      ok = kind == KeyBytes::kBytes;
      if (ok) {
        // Weighted frames get their weights once every key is read.
        if (weightList != nullptr) {
          Tessel::appendFramed(framed, bytes.data(), bytes.size(), 0);
        } else {
          Tessel::appendFramed(framed, bytes.data(), bytes.size());
        }
        if (n++ % every == 0) {
          PyObject* kept =
              PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
          ok = kept != nullptr && PyList_Append(sample, kept) == 0;
          Py_XDECREF(kept);
        }
      }
      Py_DECREF(key);
    }
    ok = ok && !PyErr_Occurred() &&
         (weightList == nullptr || readWeights(weightList, static_cast<std::size_t>(n), weights));
    if (ok && weightList != nullptr) {
      // Each frame's weight goes in the 4 bytes after its key.
      std::size_t at = 0;
      for (const std::uint32_t weight : weights) {
        std::uint32_t length;
        std::memcpy(&length, framed.data() + at, sizeof length);
        at += sizeof length + length;
        std::memcpy(&framed[at], &weight, sizeof weight);
        at += sizeof weight;
      }
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

// _partition_framed(blob, boundaries[, weighted]): the framed keys of blob, one bytes object per
// range; weighted frames stay weighted.
inline PyObject* partitionFramed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::vector<std::string> boundaries, parts;
  if ((nargs != 2 && nargs != 3) || !PyBytes_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_partition_framed() takes bytes and boundaries");
    return nullptr;
  }
  const int weighted = nargs == 3 ? PyObject_IsTrue(args[2]) : 0;
  if (weighted < 0 || !readBoundaries(args[1], boundaries)) return nullptr;
  bool ok = true, noMemory = false;
  const char* data = PyBytes_AS_STRING(args[0]);
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]));
  Py_BEGIN_ALLOW_THREADS;
  try {
    std::vector<Tessel::internal::KeyRef> keys;
    ok = Tessel::readFramed(data, size, keys, weighted != 0);
    parts.assign(boundaries.size() + 1, std::string());
    for (const auto& key : keys) {
      const char* text = reinterpret_cast<const char*>(key.bytes);
      std::string& part = parts[Tessel::rangeOf(boundaries, text, key.length)];
      if (weighted != 0) {
        Tessel::appendFramed(part, text, key.length, Tessel::framedWeight(key));
      } else {
        Tessel::appendFramed(part, text, key.length);
      }
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

// _build_framed(blobs, directory, generation, number[, weighted]): the framed keys of all blobs,
// sorted and without repeats, into a shard as _build_range() does; each key's value is its
// rank. Weighted frames give the shard its companion too, each key the greatest weight of its
// repeats. The result tells the keys it was given too ("given").
inline PyObject* buildFramed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 && nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "_build_framed() takes 4 or 5 arguments");
    return nullptr;
  }
  ShardPlace place;
  const int weighted = nargs == 5 ? PyObject_IsTrue(args[4]) : 0;
  if (weighted < 0 || !place.read(args + 1)) return nullptr;
  // Our own tuple holds every blob while the GIL is released.
  PyObject* blobs = PySequence_Tuple(args[0]);
  if (blobs == nullptr) return nullptr;
  PyObject* result = nullptr;
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(blobs); ++i) {
    ok = PyBytes_Check(PyTuple_GET_ITEM(blobs, i)) != 0;
  }
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "blobs are bytes");
  } else {
    Tessel::ShardBuild built;
    Tessel::Status weighed;
    std::size_t given = 0;
    bool noMemory = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
      std::vector<Tessel::internal::KeyRef> keys;
      for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(blobs); ++i) {
        PyObject* blob = PyTuple_GET_ITEM(blobs, i);
        ok = Tessel::readFramed(PyBytes_AS_STRING(blob),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(blob)), keys,
                                weighted != 0);
      }
      given = keys.size();
      std::vector<std::uint32_t> weights;
      if (ok) built = Tessel::buildShard(keys, place.target(), weighted != 0 ? &weights : nullptr);
      if (ok && weighted != 0 && built.status == Tessel::kBuildOk && built.saved &&
          built.lines != 0) {
        weighed = place.saveWeights(weights);
      }
    } catch (const std::bad_alloc&) {
      noMemory = true;
    }
    Py_END_ALLOW_THREADS;
    if (noMemory) {
      PyErr_NoMemory();
    } else if (!ok) {
      PyErr_SetString(PyExc_ValueError, "damaged framed keys");
    } else if (!weighed.ok()) {
      raiseStatus(weighed, nullptr);
    } else {
      result = shardResult(built, place.path);
      PyObject* count = result == nullptr ? nullptr : PyLong_FromSize_t(given);
      if (count == nullptr || PyDict_SetItemString(result, "given", count) != 0) Py_CLEAR(result);
      Py_XDECREF(count);
    }
  }
  Py_DECREF(blobs);
  return result;
}

}  // namespace TesselPython
