// The path search against a temporary tree of programs, folders and plain files.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "ZelPathfind.h"
#include "kep_test.h"

namespace {

// The result as a string ("(null)" for none), freeing it.
std::string Find(const char *searchPath, const char *name, const char *mode) {
  std::unique_ptr<char, decltype(&free)> found(ZelPathfind(searchPath, name, mode), free);
  return found != nullptr ? found.get() : "(null)";
}

// exec/prog and later/prog are programs, dir/prog is a folder, plain/prog is a
// file without execute permission, empty/ has nothing.
class PathSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *folder : {"exec", "later", "dir", "dir/prog", "plain", "empty"})
      ASSERT_EQ(mkdir(temp_.File(folder).c_str(), 0755), 0);
    for (const char *program : {"exec/prog", "later/prog"}) {
      temp_.Write(program, "#!/bin/sh\n");
      ASSERT_EQ(chmod(temp_.File(program).c_str(), 0755), 0);
    }
    temp_.Write("plain/prog", "data\n");
    ASSERT_EQ(chmod(temp_.File("plain/prog").c_str(), 0644), 0);
    ASSERT_EQ(symlink(temp_.File("exec/prog").c_str(), temp_.File("empty/link").c_str()), 0);
  }
  std::string F(const std::string &name) const { return temp_.File(name); }

  TempDir temp_;
};

TEST_F(PathSearch, FindsTheFirstRegularFileWithTheAccessAsked) {
  struct Case {
    std::string searchPath;
    const char *name;
    const char *mode;
    std::string expected;
  };
  const Case cases[] = {
      {F("exec") + ":" + F("later"), "prog", "rx", F("exec/prog")},
      {F("dir") + ":" + F("plain") + ":" + F("later"), "prog", "rx", F("later/prog")},
      {F("dir"), "prog", "rx", "(null)"},
      {F("dir"), "prog", "", "(null)"},
      {F("plain"), "prog", "rx", "(null)"},
      {F("plain"), "prog", "r", F("plain/prog")},
      {F("plain"), "prog", nullptr, F("plain/prog")},
      {F("exec") + "/", "prog", "x", F("exec/prog")},
      {F("empty") + ":" + F("exec"), "prog", "rx", F("exec/prog")},
      {F("empty"), "link", "rx", F("empty/link")},
      {F("exec"), "other", "rx", "(null)"},
      {"/nonexistent:" + F("exec"), "prog", "rx", F("exec/prog")},
      {F("exec"), "prog", "rz", "(null)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.searchPath + " " + c.name + " " + (c.mode != nullptr ? c.mode : "(null)"));
    EXPECT_EQ(Find(c.searchPath.c_str(), c.name, c.mode), c.expected);
  }
}

TEST_F(PathSearch, NameWithASlashIsCheckedAsGiven) {
  EXPECT_EQ(Find(F("later").c_str(), F("exec/prog").c_str(), "rx"), F("exec/prog"));
  EXPECT_EQ(Find(nullptr, F("exec/prog").c_str(), "rx"), F("exec/prog"));
  EXPECT_EQ(Find(F("exec").c_str(), F("plain/prog").c_str(), "rx"), "(null)");
  EXPECT_EQ(Find(F("exec").c_str(), F("dir/prog").c_str(), "rx"), "(null)");
  EXPECT_EQ(Find(F("exec").c_str(), F("dir/prog").c_str(), ""), "(null)");
  EXPECT_EQ(Find(F("exec").c_str(), F("exec/none").c_str(), "rx"), "(null)");
}

TEST_F(PathSearch, EmptyElementMeansTheCurrentDirectory) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(F("exec").c_str()), 0);
  const std::string searchPaths[] = {"", ":/nonexistent", "/nonexistent:", "/nonexistent::/other"};
  for (const std::string &searchPath : searchPaths) {
    SCOPED_TRACE(searchPath);
    EXPECT_EQ(Find(searchPath.c_str(), "prog", "rx"), "./prog");
  }
  EXPECT_EQ(Find("/nonexistent", "prog", "rx"), "(null)");
  EXPECT_EQ(Find(F("empty").c_str(), "./prog", "rx"), "./prog");  // relative, with a slash
  ASSERT_EQ(chdir(F("dir").c_str()), 0);
  EXPECT_EQ(Find(":", "prog", "rx"), "(null)");  // ./prog is a folder here
  ASSERT_EQ(chdir(saved), 0);
}

TEST_F(PathSearch, NullSearchPathSearchesBinAndUsrBin) {
  std::string shell = Find(nullptr, "sh", "rx");
  EXPECT_TRUE(shell == "/bin/sh" || shell == "/usr/bin/sh") << shell;
  EXPECT_EQ(Find(nullptr, "prog", "rx"), "(null)");
}

TEST_F(PathSearch, BadArgumentsFindNothing) {
  errno = 0;
  EXPECT_EQ(ZelPathfind(F("exec").c_str(), nullptr, "rx"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ZelPathfind(F("exec").c_str(), "", "rx"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ZelPathfind(F("exec").c_str(), "prog", "rxq"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ZelPathfind(F("exec").c_str(), "none", "rx"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
