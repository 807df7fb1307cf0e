#pragma once

// A fresh directory per test, removed afterwards: tests that run at once (ctest -j, or two
// checkouts on one machine) never share a file.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace TesselTest {

class ScratchDirTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "tessel_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name) const { return dir_ + name; }

  std::string dir_;
};

}  // namespace TesselTest
