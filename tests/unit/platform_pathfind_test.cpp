// The path search against a temporary tree of programs, folders and plain files.
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
std::string Find(const char *searchPath, const char *name, const char *mode = "rx") {
  std::unique_ptr<char, decltype(&free)> found(ZelPathfind(searchPath, name, mode), free);
  return found != nullptr ? found.get() : "(null)";
}

TEST(PathSearch, FindsTheFirstRegularFileWithTheAccessAsked) {
  // exec/prog and later/prog are programs, dir/prog a folder, plain/prog a
  // file without execute permission; the search runs from exec/.
  TempDir temp;
  for (const char *folder : {"exec", "later", "dir", "dir/prog", "plain"})
    ASSERT_EQ(mkdir(temp.File(folder).c_str(), 0755), 0);
  for (const char *file : {"exec/prog", "later/prog", "plain/prog"})
    temp.Write(file, "#!/bin/sh\n");
  ASSERT_EQ(chmod(temp.File("exec/prog").c_str(), 0755), 0);
  ASSERT_EQ(chmod(temp.File("later/prog").c_str(), 0755), 0);
  const std::string exec = temp.File("exec"), later = temp.File("later"), dir = temp.File("dir"),
                    plain = temp.File("plain");
  struct Case {
    std::string searchPath;
    std::string name;
    const char *mode;
    std::string expected;
  };
  const Case cases[] = {
      {exec + ":" + later, "prog", "rx", exec + "/prog"},
      {dir + ":" + plain + ":" + later, "prog", "rx", later + "/prog"},  // folder, non-executable
      {dir, "prog", "", "(null)"},
      {plain, "prog", "r", plain + "/prog"},
      {later, exec + "/prog", "rx", exec + "/prog"},  // a name with '/' is checked as given
      {exec, plain + "/prog", "rx", "(null)"},
      {"", "prog", "rx", "./prog"},  // an empty element is the current directory
      {"/nonexistent::" + later, "prog", "rx", "./prog"},
      {"/nonexistent", "prog", "rx", "(null)"},
      {exec, "", "rx", "(null)"},
  };
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(exec.c_str()), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.searchPath + " " + c.name + " " + c.mode);
    EXPECT_EQ(Find(c.searchPath.c_str(), c.name.c_str(), c.mode), c.expected);
  }
  EXPECT_EQ(Find(exec.c_str(), nullptr), "(null)");
  ASSERT_EQ(chdir(saved), 0);
}

TEST(PathSearch, NullSearchPathSearchesBinAndUsrBin) {
  std::string shell = Find(nullptr, "sh");
  EXPECT_TRUE(shell == "/bin/sh" || shell == "/usr/bin/sh") << shell;
  EXPECT_EQ(Find(nullptr, "/bin/sh"), "/bin/sh");
  EXPECT_EQ(Find(nullptr, "kep-no-such-program"), "(null)");
}

}  // namespace
