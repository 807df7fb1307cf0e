#pragma once

// Keys and queries as bytes: str as UTF-8 (code points that surrogateescape made from bytes
// become those bytes again), bytes and other buffers as they are.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <vector>

namespace TesselPython {

// Whether `object` is one key or query (str, bytes, bytearray or a memoryview), which a call
// that takes an iterable of them refuses: iterating it would give characters or ints. Not
// every buffer: a numpy array of str or of objects exports one and is a list of keys.
inline bool isOneText(PyObject* object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
         PyMemoryView_Check(object);
}

class KeyBytes {
 public:
  enum Result {
    kBytes,  // data() holds the key's bytes
    kNoKey,  // a str that no key equals, as it holds a surrogate no byte escapes to; data()
             // holds the bytes of its longest beginning that has bytes
    kError,  // an exception is set: no str or bytes-like object, or out of memory
  };

  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes() { Py_XDECREF(owned_); }

  Result set(PyObject* key) {
    Py_CLEAR(owned_);
    data_ = "";
    size_ = 0;
    if (PyUnicode_Check(key)) {
      data_ = PyUnicode_AsUTF8AndSize(key, &size_);
      if (data_ != nullptr) return kBytes;
      data_ = "";
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return kError;
      PyErr_Clear();
      owned_ = PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape");
      if (owned_ == nullptr) return encodableBeginning(key);
    } else if (PyBytes_Check(key)) {
      data_ = PyBytes_AS_STRING(key);
      size_ = PyBytes_GET_SIZE(key);
      return kBytes;
    } else if (PyObject_CheckBuffer(key)) {
      owned_ = PyBytes_FromObject(key);
    } else {
      PyErr_Format(PyExc_TypeError, "keys are str or bytes, not %.200s", Py_TYPE(key)->tp_name);
      return kError;
    }
    if (owned_ == nullptr) return kError;
    data_ = PyBytes_AS_STRING(owned_);
    size_ = PyBytes_GET_SIZE(owned_);
    return kBytes;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(size_); }

  // A new reference to what holds data(): `key` itself, or the bytes made from it; the bytes
  // stay valid while it lives. REQUIRES: the last set() was given `key` and gave kBytes.
  PyObject* holder(PyObject* key) {
    PyObject* held = owned_ != nullptr ? owned_ : key;
    if (owned_ == nullptr) Py_INCREF(key);
    owned_ = nullptr;
    return held;
  }

 private:
  // After an encoding error of `key`: the bytes of its part before the code point that has
  // none, and kNoKey; kError when the failure was another.
  Result encodableBeginning(PyObject* key) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_ssize_t start = -1;
    if (PyErr_GivenExceptionMatches(type, PyExc_UnicodeEncodeError) && value != nullptr &&
        PyUnicodeEncodeError_GetStart(value, &start) == 0) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      PyObject* part = PyUnicode_Substring(key, 0, start);
      if (part != nullptr) owned_ = PyUnicode_AsEncodedString(part, "utf-8", "surrogateescape");
      Py_XDECREF(part);
      if (owned_ == nullptr) return kError;
      data_ = PyBytes_AS_STRING(owned_);
      size_ = PyBytes_GET_SIZE(owned_);
      return kNoKey;
    }
    PyErr_Restore(type, value, traceback);
    return kError;
  }

  const char* data_ = "";
  Py_ssize_t size_ = 0;
  PyObject* owned_ = nullptr;
};

// The keys given to build(), as bytes held by the key objects or by bytes made from them.
class KeyList {
 public:
  KeyList() = default;
  KeyList(const KeyList&) = delete;
  KeyList& operator=(const KeyList&) = delete;
  ~KeyList() {
    for (PyObject* object : held_) Py_DECREF(object);
  }

  // Reads every key of the iterable `keys`. Returns false with an exception set when a key is
  // neither str nor bytes, a str has no bytes, or a signal's handler raised (Ctrl-C).
  bool read(PyObject* keys) {
    if (PyList_Check(keys) || PyTuple_Check(keys)) {
      // Room for all at once: growing three arrays key by key cost a sixth of a build.
      const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(keys));
      held_.reserve(count);
      pointers_.reserve(count);
      lengths_.reserve(count);
    }
    PyObject* iterator = PyObject_GetIter(keys);
    if (iterator == nullptr) return false;
    KeyBytes bytes;
    PyObject* key;
    bool ok = true;
    while (ok && (key = PyIter_Next(iterator)) != nullptr) {
      allText_ &= PyUnicode_Check(key) != 0;
      switch (bytes.set(key)) {
        case KeyBytes::kBytes:
          held_.push_back(bytes.holder(key));
          pointers_.push_back(bytes.data());
          lengths_.push_back(bytes.size());
          break;
        case KeyBytes::kNoKey:
          // The encoder's own error names the code point.
          Py_XDECREF(PyUnicode_AsEncodedString(key, "utf-8", "surrogateescape"));
          ok = false;
          break;
        case KeyBytes::kError:
          ok = false;
      }
      Py_DECREF(key);
      if (ok && pointers_.size() % kSignalCheck == 0) ok = PyErr_CheckSignals() == 0;
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
  }

  std::size_t size() const { return pointers_.size(); }
  const char* const* pointers() const { return pointers_.data(); }
  const std::size_t* lengths() const { return lengths_.data(); }

  // Key i as the keys were given: str when all were, else bytes.
  PyObject* show(std::size_t i) const {
    const auto n = static_cast<Py_ssize_t>(lengths_[i]);
    return allText_ ? PyUnicode_DecodeUTF8(pointers_[i], n, "surrogateescape")
                    : PyBytes_FromStringAndSize(pointers_[i], n);
  }

  // Puts the keys in byte order, equal keys in the order given; `order` tells where each
  // came from. poll() is called at every comparison and may throw to stop the sort, which
  // leaves the keys in no useful order.
  template <class Poll>
  void sort(std::vector<std::size_t>& order, Poll&& poll) {
    order.resize(size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      poll();
      return compare(a, b) < 0;
    });
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
  // Keys read between two looks at pending signals.
  static constexpr std::size_t kSignalCheck = 4096;

  int compare(std::size_t a, std::size_t b) const {
    const int c = std::memcmp(pointers_[a], pointers_[b], std::min(lengths_[a], lengths_[b]));
    if (c != 0) return c;
    return lengths_[a] < lengths_[b] ? -1 : lengths_[a] > lengths_[b] ? 1 : 0;
  }

  std::vector<PyObject*> held_;
  std::vector<const char*> pointers_;
  std::vector<std::size_t> lengths_;
  bool allText_ = true;
};

}  // namespace TesselPython
