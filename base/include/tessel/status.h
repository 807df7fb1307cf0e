#pragma once

// The statuses of the library, and the one wording of each. The programs print these words,
// and the Python package puts them in its exceptions; scripts parse them, so they never change.

#include <memory>
#include <string>
#include <utility>

namespace Tessel {

// Results of DoubleArrayImpl::build() (also its kOk, kNegativeValue, kUnsorted, kTooLarge).
enum BuildStatus : int {
  kBuildOk = 0,
  kBuildNegativeValue = -2,  // a supplied value is negative
  kBuildUnsorted = -3,       // keys are not in ascending byte order
  kBuildTooLarge = -4,       // a position or key index does not fit the 32-bit fields
};

// Results of opening an index and of walking it whole (IndexView's kOk, kCannotOpen,
// kNotAnIndex, kCorrupt).
enum IndexStatus : int {
  kIndexOk = 0,
  kIndexCannotOpen = 1,   // the file cannot be opened, read or mapped (errno tells why)
  kIndexNotAnIndex = 2,   // not a regular file, a size that is not whole units, or no root
  kIndexCorrupt = 3,      // a walk reached a unit twice: the units are not a tree
  kIndexBadManifest = 4,  // a sharded index's manifest is damaged or names what it may not
  kIndexNotFound = 5,     // a lookup's key is no key (Index::find), or no key has a value
};

// What went wrong in a build: "" for kBuildOk.
constexpr const char* describeBuildStatus(int status) {
  switch (status) {
    case kBuildOk:
      return "";
    case kBuildNegativeValue:
      return "a value is negative";
    case kBuildUnsorted:
      return "keys are not in byte order";
    case kBuildTooLarge:
      return "too many keys or units for the 32-bit fields";
    default:
      return "unknown build status";
  }
}

// What went wrong with an index, as the programs print it before the index's name: "" for
// kIndexOk.
constexpr const char* describeIndexStatus(int status) {
  switch (status) {
    case kIndexOk:
      return "";
    case kIndexCannotOpen:
      return "Cannot Open";
    case kIndexNotAnIndex:
      return "Not an Index";
    case kIndexCorrupt:
      return "Corrupt Index";
    case kIndexBadManifest:
      return "Bad Manifest";
    case kIndexNotFound:
      return "Not Found";
    default:
      return "Unknown Status";
  }
}

// What one call of the library found: ok, or its failure with the file or manifest line it
// concerns and the system's errno. Each call returns its own; none is kept for a later call
// to read. Cheap when ok: one int and a null pointer.
class [[nodiscard]] Status {
 public:
  using Code = IndexStatus;

  // ok.
  Status() = default;

  static Status notFound() { return Status(kIndexNotFound, 0, nullptr); }
  // A failure of `code` concerning `where` (a path, or "path: line N: why"), errno `error`.
  static Status failure(Code code, std::string where, int error = 0) {
    return Status(code, error, std::make_shared<const std::string>(std::move(where)));
  }

  bool ok() const { return code_ == kIndexOk; }
  bool isNotFound() const { return code_ == kIndexNotFound; }
  // Neither ok nor not found: the index could not answer.
  bool failed() const { return code_ != kIndexOk && code_ != kIndexNotFound; }
  Code code() const { return code_; }
  // The errno of a kIndexCannotOpen, 0 where the system said nothing.
  int error() const { return error_; }
  // The file, or the manifest's line and why; "" when the status names nothing.
  const std::string& where() const {
    static const std::string kNothing;
    return where_ ? *where_ : kNothing;
  }
  // As the programs print it: "Corrupt Index: words.idx".
  std::string toString() const {
    std::string text = describeIndexStatus(code_);
    if (!where().empty()) text += ": " + where();
    return text;
  }

  bool operator==(Code code) const { return code_ == code; }
  bool operator!=(Code code) const { return code_ != code; }

 private:
  Status(Code code, int error, std::shared_ptr<const std::string> where)
      : code_(code), error_(error), where_(std::move(where)) {}

  Code code_ = kIndexOk;
  int error_ = 0;
  std::shared_ptr<const std::string> where_;
};

}  // namespace Tessel
