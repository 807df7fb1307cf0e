#pragma once

// Arguments of METH_FASTCALL | METH_KEYWORDS functions, and the integers they take.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <tessel/format.h>

namespace TesselPython {

// Sorts `nargs` positional arguments and the keywords named in `kwnames` into out[0 .. count),
// borrowed, nullptr where not given. names[i] is parameter i's name; the first
// `positionalOnly` take no keyword and the first `required` must be given. Returns false with
// TypeError set when the arguments do not fit.
inline bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, const char* const* names, Py_ssize_t count,
                           Py_ssize_t required, Py_ssize_t positionalOnly, PyObject** out) {
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)", function, count,
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
    if (name == nullptr) return false;
    Py_ssize_t i = positionalOnly;
    while (i < count && std::strcmp(names[i], name) != 0) ++i;
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, name);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, name);
      return false;
    }
    out[i] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
      return false;
    }
  }
  return true;
}

// Sets `out` to the truth of an optional flag (false when not given); false with an exception
// set when its truth cannot be had.
inline bool readFlag(PyObject* given, bool& out) {
  const int truth = given == nullptr ? 0 : PyObject_IsTrue(given);
  out = truth > 0;
  return truth >= 0;
}

// TypeError for a call that gave `keywords` by position; nullptr.
inline PyObject* keywordOnly(const char* function, const char* keywords) {
  PyErr_Format(PyExc_TypeError, "%s() takes %s as a keyword only", function, keywords);
  return nullptr;
}

// The integer of `number` (anything with __index__): 1 with `value` set, 0 when it lies
// outside [low, high], -1 with an exception set when it is no integer.
inline int integerIn(PyObject* number, long long low, long long high, long long& value) {
  PyObject* integer = PyNumber_Index(number);
  if (integer == nullptr) return -1;
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  Py_DECREF(integer);
  if (value == -1 && PyErr_Occurred()) return -1;
  return overflow == 0 && value >= low && value <= high ? 1 : 0;
}

// A limit of listed keys: None or any integer >= 0, one past the largest size meaning none.
// Returns false with an exception set for a negative limit or no integer.
inline bool readLimit(PyObject* argument, std::size_t& limit) {
  limit = static_cast<std::size_t>(-1);
  if (argument == nullptr || argument == Py_None) return true;
  PyObject* integer = PyNumber_Index(argument);
  if (integer == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  Py_DECREF(integer);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    PyErr_SetString(PyExc_ValueError, "limit must not be negative");
    return false;
  }
  if (overflow == 0) limit = static_cast<std::size_t>(value);
  return true;
}

// Reads `count` integers from low to high of the iterable `items` (build()'s values or
// weights, `what` naming one in errors); false with an exception set.
template <class Int>
inline bool readIntegers(PyObject* items, std::size_t count, long long low, long long high,
                         const char* what, const char* range, std::vector<Int>& out) {
  PyObject* iterator = PyObject_GetIter(items);
  if (iterator == nullptr) return false;
  PyObject* item;
  bool ok = true;
  while (ok && (item = PyIter_Next(iterator)) != nullptr) {
    long long value;
    const int in = integerIn(item, low, high, value);
    if (in == 0) {
      PyErr_Format(PyExc_ValueError, "%s %zu is %R, outside %s", what, out.size(), item, range);
    } else if (in > 0) {
      out.push_back(static_cast<Int>(value));
    }
    ok = in > 0;
    Py_DECREF(item);
  }
  Py_DECREF(iterator);
  if (ok && !PyErr_Occurred() && out.size() != count) {
    PyErr_Format(PyExc_ValueError, "%zu %ss for %zu keys", out.size(), what, count);
    ok = false;
  }
  return ok && !PyErr_Occurred();
}

inline bool readValues(PyObject* values, std::size_t count, std::vector<std::int32_t>& out) {
  return readIntegers(values, count, 0, Tessel::Format::kMaxValue, "value", "0 .. 2**31 - 1", out);
}

inline bool readWeights(PyObject* weights, std::size_t count, std::vector<std::uint32_t>& out) {
  return readIntegers(weights, count, 0, 0xFFFFFFFFLL, "weight", "0 .. 2**32 - 1", out);
}

}  // namespace TesselPython
