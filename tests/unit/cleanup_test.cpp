// Removal of stale synchronisation files: regular files only, by name prefix or all.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "kep_test.h"
#include "kep_util.h"

namespace {

using Names = std::set<std::string>;

// readdir64: the 32-bit build must list folders with 64-bit inode numbers too.
Names Entries(const std::string &dir) {
  Names names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent64 *entry = readdir64(d)) names.insert(entry->d_name);
    closedir(d);
  }
  names.erase(".");
  names.erase("..");
  return names;
}

// A matching link to a regular file elsewhere and a subdirectory holding a
// matching file stay, whether removed by prefix or all.
TEST(Cleanup, OnlyMatchingRegularFilesAreRemoved) {
  for (bool all : {false, true}) {
    TempDir outside;
    TempDir dir;
    for (const char *name : {"foo-start", "foo-bar-start", "foo", "Foo-start"}) {
      dir.Write(name, "x");
    }
    ASSERT_EQ(symlink(outside.Write("target", "t").c_str(), dir.File("foo-link").c_str()), 0);
    ASSERT_EQ(mkdir(dir.File("foo-dir").c_str(), 0755), 0);
    dir.Write("foo-dir/foo-inner", "x");
    LogCapture log;
    EXPECT_EQ(all ? KepRmAllFilesInDir(dir.Path().c_str())
                  : KepRmFilesWithPrefix(dir.File("foo-").c_str()),
              0);
    Names kept = {"foo-link", "foo-dir"};
    if (!all) kept.insert({"foo", "Foo-start"});
    EXPECT_EQ(Entries(dir.Path()), kept);
    EXPECT_TRUE(FileExists(dir.File("foo-dir/foo-inner")));
    EXPECT_TRUE(FileExists(outside.File("target")));
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  }
}

// 199 characters fit the 200-byte path buffer; 200 do not, and such an entry
// is skipped with its message rather than cut to another name.
TEST(Cleanup, PathsOfTwoHundredCharactersAreSkippedNotShortened) {
  TempDir dir;
  std::string fits(199 - dir.Path().size() - 1, 'a');
  std::string tooLong(200 - dir.Path().size() - 1, 'a');
  for (bool all : {false, true}) {
    for (const std::string &name : {fits, tooLong, std::string("aa-other")}) dir.Write(name, "x");
    LogCapture log;
    EXPECT_EQ(
        all ? KepRmAllFilesInDir(dir.Path().c_str()) : KepRmFilesWithPrefix(dir.File("aa").c_str()),
        -1);
    EXPECT_EQ(Entries(dir.Path()), Names{tooLong}) << "all: " << all;
    std::string function = all ? "KepRmAllFilesInDir" : "KepRmFilesWithPrefix";
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
    EXPECT_TRUE(log.Contains(function + "(): snprintf(" + dir.File(tooLong) + ") failed ("));
    unlink(dir.File(tooLong).c_str());
  }
}

// Permission bits do not stop root, so a file that cannot be unlinked comes
// from a file system without unlink: /proc. Nothing there can be removed.
TEST(Cleanup, AFailedUnlinkDoesNotStopTheWalk) {
  struct stat info;
  if (lstat("/proc/self/status", &info) != 0 || !S_ISREG(info.st_mode)) {
    GTEST_SKIP() << "no /proc with regular files";
  }
  // Not /proc/self: a link, and the clean-up never goes through one.
  const std::string self = "/proc/" + std::to_string(getpid());
  LogCapture log;
  EXPECT_EQ(KepRmFilesWithPrefix((self + "/stat").c_str()), -1);
  // stat, statm and status each get their own message.
  EXPECT_GE(log.Count("KepRmFilesWithPrefix(): unlink(" + self + "/stat"), 3u) << log.Dump();
  log.Clear();
  EXPECT_EQ(KepRmAllFilesInDir(self.c_str()), -1);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

}  // namespace
