#pragma once

// The statuses of the library, and the one wording of each. The programs print these words,
// and the Python package puts them in its exceptions; scripts parse them, so they never change.

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
    default:
      return "Unknown Status";
  }
}

}  // namespace Tessel
