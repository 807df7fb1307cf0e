#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tessel/replace_file.h>

#include "scratch_dir.h"

namespace {

class ReplaceFileTest : public TesselTest::ScratchDirTest {
 protected:
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void write(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }

  static int replace(const std::string& file, const std::string& text) {
    return Tessel::replaceFile(file.c_str(), text.data(), text.size());
  }

  static mode_t modeOf(const std::string& file) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(ReplaceFileTest, NewFileGetsTheUmaskedMode) {
  const mode_t old = ::umask(027);
  EXPECT_EQ(replace(path("new.idx"), "abc"), 0);
  ::umask(old);
  EXPECT_EQ(read(path("new.idx")), "abc");
  EXPECT_EQ(modeOf(path("new.idx")), 0640u);
  EXPECT_EQ(entries(), std::vector<std::string>{"new.idx"});
}

TEST_F(ReplaceFileTest, ExistingFileKeepsItsModeAndLosesItsOldBytes) {
  write(path("old.idx"), "a much longer old content");
  ::chmod(path("old.idx").c_str(), 0604);
  EXPECT_EQ(replace(path("old.idx"), "new"), 0);
  EXPECT_EQ(read(path("old.idx")), "new");
  EXPECT_EQ(modeOf(path("old.idx")), 0604u);
  EXPECT_EQ(entries(), std::vector<std::string>{"old.idx"});
}

TEST_F(ReplaceFileTest, SymbolicLinksStayLinks) {
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
  write(path("sub/target.idx"), "old");
  ASSERT_EQ(::symlink("target.idx", path("sub/link.idx").c_str()), 0);
  ASSERT_EQ(::symlink("sub/link.idx", path("outer.idx").c_str()), 0);
  EXPECT_EQ(replace(path("outer.idx"), "new"), 0);
  struct stat st;
  ASSERT_EQ(::lstat(path("outer.idx").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat(path("sub/link.idx").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read(path("sub/target.idx")), "new");

  // A dangling link gets its target created, as opening it for writing would.
  ASSERT_EQ(::symlink("missing.idx", path("dangling.idx").c_str()), 0);
  EXPECT_EQ(replace(path("dangling.idx"), "made"), 0);
  EXPECT_EQ(read(path("missing.idx")), "made");

  ASSERT_EQ(::symlink("loop.idx", path("loop.idx").c_str()), 0);
  EXPECT_NE(replace(path("loop.idx"), "x"), 0);
}

TEST_F(ReplaceFileTest, UnwritablePlacesFailCleanly) {
  EXPECT_NE(replace(path("missing/dir.idx"), "x"), 0);
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
  EXPECT_NE(replace(path("sub"), "x"), 0);
  EXPECT_EQ(entries(), std::vector<std::string>{"sub"});
}

TEST_F(ReplaceFileTest, NoFileNameFailsBeforeTheCommitHook) {
  int calls = 0;
  const auto hook = [](void* count) {
    ++*static_cast<int*>(count);
    return true;
  };
  errno = 0;
  EXPECT_NE(Tessel::replaceFile(path("new/").c_str(), "x", 1, hook, &calls), 0);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_NE(Tessel::replaceFile("", "x", 1, hook, &calls), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(entries().empty());
}

TEST_F(ReplaceFileTest, DevicesAreWrittenInPlace) {
  EXPECT_EQ(replace("/dev/null", "x"), 0);
  EXPECT_NE(replace("/dev/full", "x"), 0);
  struct stat st;
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(ReplaceFileTest, AFailedWriteKeepsTheOldFile) {
  write(path("kept.idx"), "old index");
  const std::string large(1 << 20, 'x');
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limit = saved;
  limit.rlim_cur = 4096;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const int status = replace(path("kept.idx"), large);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  (void)std::signal(SIGXFSZ, previous);
  EXPECT_NE(status, 0);
  EXPECT_EQ(read(path("kept.idx")), "old index");
  EXPECT_EQ(entries(), std::vector<std::string>{"kept.idx"});
}

// Once a process removes its temporary files as it ends, a set keeps no old version under a
// second name, which that removal would not see, and a replacement makes no file. In a child:
// after the removal, nothing is saved in the process.
TEST_F(ReplaceFileTest, NothingIsKeptOrMadeOnceTheTemporariesAreRemoved) {
  write(path("kept.idx"), "old index");
  EXPECT_EXIT(
      {
        Tessel::removeTemporaryFilesAtExit();
        Tessel::ReplacedSet set;
        const bool began = set.begin(dir_, 2) == 0;
        const bool kept = set.keep("kept.idx", ".kept-") || set.keep("new.idx", ".kept-");
        const bool replaced = replace(path("kept.idx"), "new index") == 0;
        std::_Exit(began && !kept && !replaced && errno == ECANCELED ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(read(path("kept.idx")), "old index");
  EXPECT_EQ(entries(), std::vector<std::string>{"kept.idx"});
}

}  // namespace
