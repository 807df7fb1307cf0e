#pragma once

// findall() and finditer() of tessel.Index: the keys that occur in a text, as (start, end,
// value), scanned without the GIL. A str is scanned as its UTF-8 bytes and its matches are
// given in characters, so only matches that start and end between characters count (a key
// that is no UTF-8 can begin or end inside one); bytes and other buffers in bytes.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <tessel/internal/scan.h>

#include "arguments.h"
#include "interrupt.h"
#include "keys.h"
#include "reader.h"
#include "state.h"

namespace TesselPython {

// The text of a scan: its bytes, held for as long as the scan needs them, and for a str that
// is not ASCII the way from byte offsets to character offsets.
class ScanText {
 public:
  ScanText() = default;
  ScanText(const ScanText&) = delete;
  ScanText& operator=(const ScanText&) = delete;
  ~ScanText() {
    Py_XDECREF(holder_);
    Py_XDECREF(str_);
  }

  // Takes a str or a bytes-like object (a buffer other than bytes is copied, so that it may
  // change during the scan); false with an exception set: TypeError for another object,
  // UnicodeEncodeError for a str with a surrogate that no byte escapes to.
  bool set(PyObject* text) {
    if (!PyUnicode_Check(text) && !PyBytes_Check(text) && !PyObject_CheckBuffer(text)) {
      PyErr_Format(PyExc_TypeError, "a text is str or bytes, not %.200s", Py_TYPE(text)->tp_name);
      return false;
    }
    KeyBytes bytes;
    switch (bytes.set(text)) {
      case KeyBytes::kError:
        return false;
      case KeyBytes::kNoKey:
        // The error that says where.
        Py_XDECREF(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
        return false;
      default:
        break;
    }
    data_ = bytes.data();
    size_ = bytes.size();
    holder_ = bytes.holder(text);
    if (PyUnicode_Check(text) && !PyUnicode_IS_ASCII(text)) {
      Py_INCREF(text);
      str_ = text;
      // Its own UTF-8: a character begins at every byte that is no continuation byte. Bytes
      // made from surrogate escapes break that rule: their characters are counted one by one.
      escaped_ = holder_ != text;
    }
    return true;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Whether matches must start and end between characters: a str that is not ASCII.
  bool characters() const { return str_ != nullptr; }

  // Whether a character of the str begins at byte `at` (or the text ends there).
  bool boundary(std::size_t at) {
    if (str_ == nullptr || at >= size_) return true;
    if (!escaped_) return (static_cast<unsigned char>(data_[at]) & 0xC0) != 0x80;
    if (starts_.empty()) {
      // Bytes made from surrogate escapes are characters of one byte each: count them out.
      starts_.assign(size_ + 1, false);
      Cursor walk;
      const Py_ssize_t count = PyUnicode_GET_LENGTH(str_);
      while (walk.character < count) {
        starts_[walk.byte] = true;
        advance(walk, walk.byte + 1);
      }
      starts_[size_] = true;
    }
    return starts_[at];
  }

  // The offsets of a match, in characters for a str: false when it does not start and end
  // between characters (a key's bytes can begin or end inside a character's). Matches come
  // in order of their starts.
  bool offsets(std::size_t position, std::size_t length, Py_ssize_t& start, Py_ssize_t& end) {
    if (str_ == nullptr) {
      start = static_cast<Py_ssize_t>(position);
      end = static_cast<Py_ssize_t>(position + length);
      return true;
    }
    if (!advance(start_, position)) return false;
    if (end_.byte < position || end_.byte > position + length) end_ = start_;
    if (!advance(end_, position + length)) return false;
    start = start_.character;
    end = end_.character;
    return true;
  }

 private:
  struct Cursor {
    std::size_t byte = 0;
    Py_ssize_t character = 0;
  };

  // Moves `cursor` to the character that begins at byte `to`; false when none does.
  bool advance(Cursor& cursor, std::size_t to) const {
    if (!escaped_) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(data_);
      Py_ssize_t characters = 0;
      for (std::size_t i = cursor.byte; i < to; ++i) characters += (bytes[i] & 0xC0) != 0x80;
      cursor.byte = to;
      cursor.character += characters;
      return to == size_ || (bytes[to] & 0xC0) != 0x80;
    }
    const int kind = PyUnicode_KIND(str_);
    const void* characters = PyUnicode_DATA(str_);
    const Py_ssize_t count = PyUnicode_GET_LENGTH(str_);
    while (cursor.byte < to && cursor.character < count) {
      const Py_UCS4 c = PyUnicode_READ(kind, characters, cursor.character++);
      // A surrogate that a byte escapes to is that byte.
      cursor.byte += c < 0x80                     ? 1
                     : c < 0x800                  ? 2
                     : c >= 0xDC80 && c <= 0xDCFF ? 1
                     : c < 0x10000                ? 3
                                                  : 4;
    }
    return cursor.byte == to;
  }

  const char* data_ = "";
  std::size_t size_ = 0;
  PyObject* holder_ = nullptr;  // what keeps data_
  PyObject* str_ = nullptr;     // a str that is not ASCII
  bool escaped_ = false;        // its bytes hold surrogate escapes
  Cursor start_, end_;
  std::vector<bool> starts_;  // of an escaped str, where its characters begin
};

// Leftmost-longest among the matches that start and end between characters of a str. Fed
// every match of a scan in its order (by position, then shortest first), from byte `from`
// on, it appends each it chooses to `out`.
class CharacterLongest {
 public:
  explicit CharacterLongest(std::size_t from) : from_(from) {}

  void take(const Tessel::internal::ScanMatch& m, ScanText& text,
            std::vector<Tessel::internal::ScanMatch>& out) {
    if (pending_.length != 0 && m.position != pending_.position) finish(out);
    if (m.position < from_) return;
    // Matches come shortest first, and keys of one length (spellings that ignore case) in
    // byte order: the longest that fits, and the first of that length, is kept.
    if (text.boundary(m.position) && text.boundary(m.position + m.length) &&
        m.length > pending_.length) {
      pending_ = m;
    }
  }

  void finish(std::vector<Tessel::internal::ScanMatch>& out) {
    if (pending_.length == 0) return;
    out.push_back(pending_);
    from_ = pending_.position + pending_.length;
    pending_ = Tessel::internal::ScanMatch{0, 0, -1};
  }

 private:
  std::size_t from_;
  Tessel::internal::ScanMatch pending_{0, 0, -1};
};

// The (start, end, value) of a match, a tuple the cyclic GC need not follow; nullptr with
// MemoryError. The value's int comes from `values`.
inline PyObject* matchTuple(Py_ssize_t start, Py_ssize_t end, long long value, ValueInts& values) {
  PyObject* tuple = PyTuple_New(3);
  PyObject* items[] = {PyLong_FromSsize_t(start), PyLong_FromSsize_t(end), values.get(value)};
  if (tuple == nullptr || items[0] == nullptr || items[1] == nullptr || items[2] == nullptr) {
    Py_XDECREF(tuple);
    for (PyObject* item : items) Py_XDECREF(item);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) PyTuple_SET_ITEM(tuple, i, items[i]);
  PyObject_GC_UnTrack(tuple);
  return tuple;
}

// Sets `out` to the UTF-8 of word_chars, a str or bytes; false with an exception set.
inline bool readWordChars(const char* name, PyObject* given, std::string& out) {
  if (PyUnicode_Check(given)) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(given, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_Check(given)) {
    out.assign(PyBytes_AS_STRING(given), static_cast<std::size_t>(PyBytes_GET_SIZE(given)));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s(): word_chars is str or bytes, not %.200s", name,
               Py_TYPE(given)->tp_name);
  return false;
}

// The keywords longest, words and word_chars of findall() and finditer(); false with an
// exception set. options.wordChars is left for the caller to point at `wordChars`.
inline bool readScanOptions(const char* name, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject*& text, Tessel::ScanOptions& options,
                            std::string& wordChars) {
  static const char* const names[] = {"text", "longest", "words", "word_chars", "ignore_case"};
  PyObject* given[5];
  if (!parseArguments(name, args, nargs, kwnames, names, 5, 1, 1, given)) return false;
  if (nargs > 1) {
    keywordOnly(name, "longest, words, word_chars and ignore_case");
    return false;
  }
  text = given[0];
  if (!readFlag(given[1], options.longest) || !readFlag(given[2], options.words) ||
      !readFlag(given[4], options.ignoreCase)) {
    return false;
  }
  wordChars.clear();
  return given[3] == nullptr || readWordChars(name, given[3], wordChars);
}

// A scan of a text under way: the view's scanner and the matches it has found and not yet
// handed on. With `chooser`, the scan gives every match and the chooser takes the
// leftmost-longest of those between characters.
struct Scan {
  static constexpr std::size_t kShortText = 4096;
  View::Scanner scanner;
  std::vector<Tessel::internal::ScanMatch> found;
  std::unique_ptr<CharacterLongest> chooser;
  std::string wordChars;  // what the options' wordChars points at

  // Scans on, without the GIL, until `most` matches more are found or the text ends; Ctrl-C
  // stops it. Returns false with the exception set when interrupted, out of memory, or when
  // the index failed (a shard that cannot be read). A short text is scanned with the GIL
  // held: letting it go and taking it back would cost more than the scan.
  bool gather(std::size_t most, Reader* index, ScanText& text) {
    bool noMemory = false, interrupted = false, more = true;
    {
      std::optional<Interruptible> work;
      if (text.size() >= kShortText) work.emplace();
      try {
        const std::size_t start = found.size();
        while (found.size() - start < most && (more = scanner.next())) {
          const Tessel::internal::ScanMatch m{scanner.position(), scanner.length(),
                                              static_cast<long>(scanner.value())};
          if (chooser) {
            chooser->take(m, text, found);
          } else {
            found.push_back(m);
          }
        }
        if (!more && chooser) chooser->finish(found);
      } catch (const std::bad_alloc&) {
        noMemory = true;
      }
      interrupted = work && work->interrupted();
    }
    if (noMemory) PyErr_NoMemory();
    if (noMemory || interrupted) return false;
    if (scanner.status().failed()) {
      raiseFailure(index, scanner.status());
      return false;
    }
    return true;
  }
};

// Whether a leftmost-longest match of a str starts or ends inside a character: the scan's
// choice then is not the one among matches between characters.
inline bool splitsACharacter(const Tessel::internal::ScanMatch& m, ScanText& text) {
  return !text.boundary(m.position) || !text.boundary(m.position + m.length);
}

// Ctrl-C is looked at every so often between blocks of the text, as a build looks at it.
inline Tessel::ScanOptions interruptible(Tessel::ScanOptions options) {
  options.keepGoing = Interruptible::keepGoingNow;
  options.context = nullptr;
  return options;
}

// A thread's scan, kept from call to call with its arrays up to a size: making them afresh
// costs more than the scan of a short text. A call made while one runs (from a signal
// handler) has one of its own.
class KeptScan {
 public:
  KeptScan() : scan_(std::move(kept())) {
    if (!scan_) scan_ = std::make_unique<Scan>();
    scan_->found.clear();
    scan_->chooser.reset();
  }
  KeptScan(const KeptScan&) = delete;
  KeptScan& operator=(const KeptScan&) = delete;
  ~KeptScan() {
    if (scan_->found.capacity() <= kKept) kept() = std::move(scan_);
  }
  Scan& operator*() { return *scan_; }

 private:
  static constexpr std::size_t kKept = std::size_t{1} << 20;
  static std::unique_ptr<Scan>& kept() {
    static thread_local std::unique_ptr<Scan> scan;
    return scan;
  }
  std::unique_ptr<Scan> scan_;
};

// Scans all of `text` into scan.found (byte offsets, in order of position): for a str with
// `longest`, the leftmost-longest among the matches that start and end between characters.
// False with an exception set. Throws std::bad_alloc.
inline bool scanWhole(Reader* self, ScanText& text, Tessel::ScanOptions options, Scan& scan) {
  options.wordChars = scan.wordChars;
  Busy busy(self);
  scan.scanner.reset(self->view, text.data(), text.size(), interruptible(options));
  bool scanned = scan.gather(static_cast<std::size_t>(-1), self, text);
  if (scanned && options.longest && text.characters()) {
    // Where the scan's choice splits a character, the choice from there on is made again
    // among every match (rare: keys that are no UTF-8, or end inside a character).
    const auto split = std::find_if(
        scan.found.begin(), scan.found.end(),
        [&](const Tessel::internal::ScanMatch& m) { return splitsACharacter(m, text); });
    if (split != scan.found.end()) {
      const std::size_t from =
          split == scan.found.begin() ? 0 : (split - 1)->position + (split - 1)->length;
      scan.found.erase(split, scan.found.end());
      Tessel::ScanOptions every = options;
      every.longest = false;
      scan.chooser = std::make_unique<CharacterLongest>(from);
      scan.scanner.reset(self->view, text.data(), text.size(), interruptible(every));
      scanned = scan.gather(static_cast<std::size_t>(-1), self, text);
    }
  }
  return scanned;
}

// findall(text, *, longest=False, words=False, word_chars=""): every match, as a list of (start,
// end, value).
inline PyObject* Reader_findall(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  auto* self = asReader(object);
  PyObject* given;
  Tessel::ScanOptions options;
  std::string wordChars;
  if (!readScanOptions("findall", args, nargs, kwnames, given, options, wordChars) ||
      refuseClosed(self)) {
    return nullptr;
  }
  ScanText text;
  if (!text.set(given) || refuseClosed(self)) return nullptr;
  PyObject* result = nullptr;
  try {
    KeptScan kept;
    Scan& scan = *kept;
    scan.wordChars.swap(wordChars);
    if (!scanWhole(self, text, options, scan)) return nullptr;
    // The list is made at its size; matches that fall inside a character of a str are few.
    result = PyList_New(static_cast<Py_ssize_t>(scan.found.size()));
    ValueInts& values = valueInts(Py_TYPE(self));
    Py_ssize_t made = 0;
    for (std::size_t i = 0; result != nullptr && i < scan.found.size(); ++i) {
      const Tessel::internal::ScanMatch& m = scan.found[i];
      Py_ssize_t start, end;
      if (!text.offsets(m.position, m.length, start, end)) continue;
      PyObject* tuple = matchTuple(start, end, m.value, values);
      if (tuple == nullptr) {
        Py_CLEAR(result);
      } else {
        PyList_SET_ITEM(result, made++, tuple);
      }
    }
    if (result != nullptr && made != PyList_GET_SIZE(result) &&
        PyList_SetSlice(result, made, PyList_GET_SIZE(result), nullptr) != 0) {
      Py_CLEAR(result);
    }
  } catch (const std::bad_alloc&) {
    Py_CLEAR(result);
    PyErr_NoMemory();
  }
  return result;
}

// ---- sub() and subn(): the text with each leftmost-longest match replaced.

// The pieces of a text being rebuilt: kept pieces of the text and replacements, joined at the
// end. A str is cut at character offsets, so that what was not replaced stays as it was.
class Rebuilt {
 public:
  Rebuilt(PyObject* text, bool str) : text_(text), str_(str) {}
  Rebuilt(const Rebuilt&) = delete;
  Rebuilt& operator=(const Rebuilt&) = delete;
  ~Rebuilt() { Py_XDECREF(pieces_); }

  // Appends text[from .. to) (characters of a str, bytes of the buffer `data`); false with
  // an exception set.
  bool keep(const char* data, Py_ssize_t from, Py_ssize_t to) {
    if (from == to) return true;
    PyObject* piece = str_ ? PyUnicode_Substring(text_, from, to)
                           : PyBytes_FromStringAndSize(data + from, to - from);
    return add(piece);
  }
  // Appends a new reference (stolen); false with an exception set.
  bool add(PyObject* piece) {
    if (piece == nullptr) return false;
    if (pieces_ == nullptr && (pieces_ = PyList_New(0)) == nullptr) {
      Py_DECREF(piece);
      return false;
    }
    const int appended = PyList_Append(pieces_, piece);
    Py_DECREF(piece);
    return appended == 0;
  }
  // The new text; nullptr with an exception set.
  PyObject* join() {
    if (pieces_ == nullptr) return str_ ? PyUnicode_New(0, 0) : PyBytes_FromStringAndSize("", 0);
    if (str_) {
      PyObject* empty = PyUnicode_New(0, 0);
      if (empty == nullptr) return nullptr;
      PyObject* joined = PyUnicode_Join(empty, pieces_);
      Py_DECREF(empty);
      return joined;
    }
    PyObject* empty = PyBytes_FromStringAndSize("", 0);
    if (empty == nullptr) return nullptr;
    PyObject* joined = PyObject_CallMethod(empty, "join", "O", pieces_);
    Py_DECREF(empty);
    return joined;
  }

 private:
  PyObject* text_;
  bool str_;
  PyObject* pieces_ = nullptr;
};

// sub(repl, text, *, words=False, ignore_case=False, count=0), or with `counted` subn(): the
// text with its leftmost-longest matches, the first `count` of them (all for 0), replaced by
// `repl` or by what repl(start, end, value) returns; subn() gives (text, replacements).
inline PyObject* substitute(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, const char* name, bool counted) {
  auto* self = asReader(object);
  static const char* const names[] = {"repl",        "text",  "words",
                                      "ignore_case", "count", "word_chars"};
  PyObject* given[6];
  if (!parseArguments(name, args, nargs, kwnames, names, 6, 2, 0, given)) return nullptr;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes words, ignore_case, count and word_chars as keywords only", name);
    return nullptr;
  }
  std::string wordChars;
  if (given[5] != nullptr && !readWordChars(name, given[5], wordChars)) return nullptr;
  PyObject* const repl = given[0];
  PyObject* const original = given[1];
  Tessel::ScanOptions options;
  options.longest = true;
  const int words = given[2] == nullptr ? 0 : PyObject_IsTrue(given[2]);
  const int ignoreCase = given[3] == nullptr ? 0 : PyObject_IsTrue(given[3]);
  if (words < 0 || ignoreCase < 0) return nullptr;
  options.words = words != 0;
  options.ignoreCase = ignoreCase != 0;
  long long most = 0;  // 0: every match; below 0, as re.sub takes it: none
  if (given[4] != nullptr) {
    PyObject* count = PyNumber_Index(given[4]);
    if (count == nullptr) return nullptr;
    int overflow = 0;
    most = PyLong_AsLongLongAndOverflow(count, &overflow);
    Py_DECREF(count);
    if (most == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0) most = overflow > 0 ? 0 : -1;  // more than any text has, or below 0
  }
  if (refuseClosed(self)) return nullptr;
  // The text first: a replacement is of the text's kind, which a text of no kind has not.
  ScanText text;
  if (!text.set(original) || refuseClosed(self)) return nullptr;
  const bool str = PyUnicode_Check(original);
  const bool callable = PyCallable_Check(repl) != 0;
  if (!callable && (str ? !PyUnicode_Check(repl) : !PyObject_CheckBuffer(repl))) {
    PyErr_Format(PyExc_TypeError, "%s(): the replacement of a %s is %s or a function, not %.200s",
                 name, str ? "str" : "bytes-like text", str ? "str" : "bytes",
                 Py_TYPE(repl)->tp_name);
    return nullptr;
  }
  PyObject* result = nullptr;
  try {
    KeptScan kept;
    Scan& scan = *kept;
    scan.wordChars.swap(wordChars);
    if (most >= 0 && !scanWhole(self, text, options, scan)) return nullptr;
    Rebuilt rebuilt(original, str);
    PyObject* fixed = nullptr;  // repl as bytes, for a bytes-like text
    if (!callable && !str && (fixed = PyBytes_FromObject(repl)) == nullptr) return nullptr;
    struct Release {
      PyObject* object;
      ~Release() { Py_XDECREF(object); }
    } release{fixed};
    Py_ssize_t done = 0, replaced = 0;  // in characters of a str, bytes otherwise
    bool ok = true;
    for (std::size_t i = 0; ok && most >= 0 && i < scan.found.size(); ++i) {
      if (most > 0 && replaced == most) break;
      const Tessel::internal::ScanMatch& m = scan.found[i];
      Py_ssize_t start, end;
      if (!text.offsets(m.position, m.length, start, end)) continue;
      ok = rebuilt.keep(text.data(), done, start);
      if (!ok) break;
      PyObject* piece;
      if (callable) {
        piece = PyObject_CallFunction(repl, "nnL", start, end, static_cast<long long>(m.value));
        if (piece != nullptr && (str ? !PyUnicode_Check(piece) : !PyBytes_Check(piece))) {
          PyErr_Format(PyExc_TypeError, "%s(): the replacement function gave %.200s, not %s", name,
                       Py_TYPE(piece)->tp_name, str ? "str" : "bytes");
          Py_CLEAR(piece);
        }
        // The function may have closed the index: what was found stays good.
      } else {
        piece = str ? repl : fixed;
        Py_INCREF(piece);
      }
      ok = rebuilt.add(piece);
      done = end;
      ++replaced;
    }
    if (!ok) return nullptr;
    const Py_ssize_t length =
        str ? PyUnicode_GET_LENGTH(original) : static_cast<Py_ssize_t>(text.size());
    if (!rebuilt.keep(text.data(), done, length)) return nullptr;
    PyObject* joined = rebuilt.join();
    if (joined == nullptr || !counted) return joined;
    result = Py_BuildValue("(Nn)", joined, replaced);
  } catch (const std::bad_alloc&) {
    Py_CLEAR(result);
    PyErr_NoMemory();
  }
  return result;
}

inline PyObject* Reader_sub(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return substitute(object, args, nargs, kwnames, "sub", false);
}

inline PyObject* Reader_subn(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return substitute(object, args, nargs, kwnames, "subn", true);
}

// ---- finditer(): the same matches, found a chunk at a time as they are asked for.

struct Matches {
  PyObject_HEAD Reader* index;  // strong
  ScanText* text;
  Scan* scan;
  std::size_t next;  // of scan->found, the first not handed on
  bool running;      // a call is scanning, without the GIL
  bool done;         // the scan has ended
};

inline PyObject* Reader_finditer(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  auto* index = asReader(object);
  PyObject* given;
  Tessel::ScanOptions options;
  std::string wordChars;
  if (!readScanOptions("finditer", args, nargs, kwnames, given, options, wordChars) ||
      refuseClosed(index)) {
    return nullptr;
  }
  PyTypeObject* type = stateOf(Py_TYPE(index))->types.matches;
  auto* self = PyObject_GC_New(Matches, type);
  if (self == nullptr) return nullptr;
  Py_INCREF(index);
  self->index = index;
  self->text = new (std::nothrow) ScanText();
  self->scan = new (std::nothrow) Scan();
  self->next = 0;
  self->running = false;
  self->done = false;
  PyObject_GC_Track(self);
  if (self->text == nullptr || self->scan == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  if (!self->text->set(given)) {
    Py_DECREF(self);
    return nullptr;
  }
  try {
    self->scan->wordChars.swap(wordChars);
    options.wordChars = self->scan->wordChars;
    if (options.longest && self->text->characters()) {
      // Leftmost-longest between characters, chosen from every match as they come.
      self->scan->chooser = std::make_unique<CharacterLongest>(0);
      options.longest = false;
    }
    self->scan->scanner.reset(index->view, self->text->data(), self->text->size(),
                              interruptible(options));
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

inline void Matches_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<Matches*>(object);
  PyObject_GC_UnTrack(object);
  delete self->scan;
  delete self->text;
  Py_CLEAR(self->index);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_Del(object);
  Py_DECREF(type);
}

inline int Matches_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<Matches*>(object)->index);
  return 0;
}

inline PyObject* Matches_next(PyObject* object) {
  auto* self = reinterpret_cast<Matches*>(object);
  if (self->running) {
    PyErr_SetString(PyExc_ValueError, "finditer() iterator already running");
    return nullptr;
  }
  for (;;) {
    // A closed index hands on nothing more, not even matches already found.
    if (refuseClosed(self->index)) return nullptr;
    Scan& scan = *self->scan;
    while (self->next < scan.found.size()) {
      const Tessel::internal::ScanMatch m = scan.found[self->next++];
      Py_ssize_t start, end;
      if (self->text->offsets(m.position, m.length, start, end)) {
        try {
          return matchTuple(start, end, m.value, valueInts(Py_TYPE(self->index)));
        } catch (const std::bad_alloc&) {
          return PyErr_NoMemory();
        }
      }
    }
    if (self->done) return nullptr;
    scan.found.clear();
    self->next = 0;
    bool scanned;
    {
      Busy busy(self->index);
      self->running = true;
      scanned = scan.gather(kChunk, self->index, *self->text);
      self->running = false;
    }
    // After the end or a failure, every later next() ends too.
    self->done = !scanned || scan.found.size() < kChunk;
    if (!scanned) return nullptr;
    if (scan.found.empty()) return nullptr;  // the end of the text
  }
}

}  // namespace TesselPython
