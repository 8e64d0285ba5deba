#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "kep_test.h"
#include "kep_util.h"

namespace {

// readdir64: the 32-bit build must list folders with 64-bit inode numbers too.
std::set<std::string> Entries(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent64 *entry = readdir64(d)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

// A folder with every kind of entry the clean-up must tell apart: the link
// points to a regular file elsewhere, the subdirectory holds a matching file.
struct Mixed {
  TempDir outside;
  TempDir dir;
  Mixed() {
    for (const char *name : {"foo-start", "foo-init", "foo-stop", "foo-wd", "foo-bar-start", "foo",
                             "Foo-start", "bar-start"}) {
      dir.Write(name, "x");
    }
    std::string target = outside.Write("target", "t");
    EXPECT_EQ(symlink(target.c_str(), dir.File("foo-link").c_str()), 0);
    EXPECT_EQ(mkdir(dir.File("foo-dir").c_str(), 0755), 0);
    dir.Write("foo-dir/foo-inner", "x");
  }
};

// A name that makes "dir/name" exactly `length` characters long.
std::string NameForPathLength(const TempDir &dir, size_t length, char fill) {
  return std::string(length - dir.Path().size() - 1, fill);
}

}  // namespace

TEST(Cleanup, PrefixRemovesOnlyMatchingRegularFiles) {
  Mixed m;
  LogCapture log;
  EXPECT_EQ(KepRmFilesWithPrefix(m.dir.File("foo-").c_str()), 0) << log.Dump();
  EXPECT_EQ(Entries(m.dir.Path()),
            (std::set<std::string>{"foo", "Foo-start", "bar-start", "foo-link", "foo-dir"}));
  EXPECT_TRUE(FileExists(m.dir.File("foo-dir/foo-inner")));
  EXPECT_TRUE(FileExists(m.outside.File("target")));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST(Cleanup, RemoveAllLeavesLinksAndDirectories) {
  Mixed m;
  LogCapture log;
  EXPECT_EQ(KepRmAllFilesInDir(m.dir.Path().c_str()), 0) << log.Dump();
  EXPECT_EQ(Entries(m.dir.Path()), (std::set<std::string>{"foo-link", "foo-dir"}));
  EXPECT_TRUE(FileExists(m.dir.File("foo-dir/foo-inner")));
  EXPECT_TRUE(FileExists(m.outside.File("target")));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST(Cleanup, NothingToRemoveIsSuccess) {
  TempDir empty;
  TempDir linksOnly;
  EXPECT_EQ(mkdir(linksOnly.File("sub").c_str(), 0755), 0);
  EXPECT_EQ(symlink("/nonexistent", linksOnly.File("a-start").c_str()), 0);
  LogCapture log;
  EXPECT_EQ(KepRmAllFilesInDir(empty.Path().c_str()), 0);
  EXPECT_EQ(KepRmFilesWithPrefix(empty.File("a-").c_str()), 0);
  EXPECT_EQ(KepRmAllFilesInDir(linksOnly.Path().c_str()), 0);
  EXPECT_EQ(KepRmFilesWithPrefix(linksOnly.File("a-").c_str()), 0);
  EXPECT_EQ(Entries(linksOnly.Path()), (std::set<std::string>{"sub", "a-start"}));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST(Cleanup, BadArgumentsAndMissingDirectoriesFail) {
  LogCapture log;
  EXPECT_EQ(KepRmFilesWithPrefix(nullptr), -1);
  EXPECT_EQ(KepRmAllFilesInDir(nullptr), -1);
  EXPECT_EQ(KepRmFilesWithPrefix("/nonexistent-kep-dir/app-"), -1);
  EXPECT_EQ(KepRmAllFilesInDir("/nonexistent-kep-dir"), -1);
  EXPECT_EQ(log.Texts(),
            (std::vector<std::string>{
                "KepRmFilesWithPrefix(): prefix = NULL.", "KepRmAllFilesInDir(): dir = NULL).",
                "KepRmFilesWithPrefix(): opendir(/nonexistent-kep-dir) failed (2).",
                "KepRmAllFilesInDir(): opendir(/nonexistent-kep-dir) failed (2)."}));
  for (const LogLine &line : log.Lines()) {
    EXPECT_EQ(line.level, 1);
    EXPECT_EQ(line.file, "KepUtil");
  }
}

// 199 characters fit the 200-byte path buffer; 200 do not, and such an entry
// is skipped with its message rather than cut to another name.
TEST(Cleanup, PathsOfTwoHundredCharactersAreSkippedNotShortened) {
  TempDir dir;
  std::string fits = NameForPathLength(dir, 199, 'a');
  std::string tooLong = NameForPathLength(dir, 200, 'a');
  for (bool all : {false, true}) {
    dir.Write(fits, "x");
    dir.Write(tooLong, "x");
    dir.Write("aa-other", "x");
    LogCapture log;
    int result =
        all ? KepRmAllFilesInDir(dir.Path().c_str()) : KepRmFilesWithPrefix(dir.File("aa").c_str());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Entries(dir.Path()), (std::set<std::string>{tooLong})) << "all: " << all;
    ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    std::string function = all ? "KepRmAllFilesInDir" : "KepRmFilesWithPrefix";
    EXPECT_EQ(log.Lines()[0].text.rfind(
                  function + "(): snprintf(" + dir.Path() + "/" + tooLong + ") failed (", 0),
              0u)
        << log.Dump();
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
  LogCapture log;
  EXPECT_EQ(KepRmFilesWithPrefix("/proc/self/stat"), -1);
  // stat, statm and status each get their own message.
  EXPECT_GE(log.Count("KepRmFilesWithPrefix(): unlink(/proc/self/stat"), 3u) << log.Dump();
  EXPECT_TRUE(log.Contains("unlink(/proc/self/status) failed (")) << log.Dump();
  log.Clear();
  EXPECT_EQ(KepRmAllFilesInDir("/proc/self"), -1);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_TRUE(FileExists("/proc/self/status"));
}
