// The reboot-application file against a real file system in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kep_main.h"
#include "kep_test.h"

namespace {

class RebootFile : public ::testing::Test {
 protected:
  void SetUp() override { rebootFilePath = path_.c_str(); }
  void TearDown() override { rebootFilePath = kKepDefaultRebootFilePath; }

  TempDir dir_;
  std::string path_ = dir_.File("rebootApplicationData");
  LogCapture log_;
};

TEST_F(RebootFile, WriteLeavesExactlyTheLineAndNoTemporaryFile) {
  ASSERT_EQ(KepWriteAppRebootFile("myapp", 2), 1) << log_.Dump();
  EXPECT_EQ(ReadFile(path_), "myapp 2\n");
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  ASSERT_EQ(KepWriteAppRebootFile("/usr/bin/other", 3), 1);
  EXPECT_EQ(ReadFile(path_), "/usr/bin/other 3\n");
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(RebootFile, NothingIsWrittenForAZeroCountAnEmptyNameOrALineOf200Characters) {
  // "NAME 1\n" is the name's length plus 3.
  EXPECT_EQ(KepWriteAppRebootFile("myapp", 0), 0);
  EXPECT_EQ(KepWriteAppRebootFile("", 1), 0);
  EXPECT_EQ(KepWriteAppRebootFile(std::string(197, 'a'), 1), 0);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
  EXPECT_EQ(KepWriteAppRebootFile(std::string(196, 'a'), 1), 1);
  EXPECT_EQ(ReadFile(path_).size(), 199u);
}

TEST_F(RebootFile, TheTemporaryFileIsTheGivenPathWithTmp) {
  std::string other = dir_.File("elsewhere");
  rebootFilePath = other.c_str();
  // A folder in the temporary file's place makes its open fail and shows its name.
  ASSERT_EQ(mkdir((other + ".tmp").c_str(), 0700), 0);
  EXPECT_EQ(KepWriteAppRebootFile("myapp", 1), 0);
  EXPECT_TRUE(log_.Contains("KepWriteAppRebootFile(): fopen(" + other + ".tmp) failed (17)."))
      << log_.Dump();
  EXPECT_FALSE(FileExists(other));
  EXPECT_FALSE(FileExists(path_));
}

TEST_F(RebootFile, AFailedRenameKeepsTheOldFileAndRemovesTheTemporaryOne) {
  // A non-empty folder cannot be replaced by a file.
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  dir_.Write("rebootApplicationData/keep", "x");
  EXPECT_EQ(KepWriteAppRebootFile("myapp", 1), 0);
  EXPECT_TRUE(
      log_.Contains("KepWriteAppRebootFile(): rename(" + path_ + ".tmp, " + path_ + ") failed"))
      << log_.Dump();
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  EXPECT_EQ(ReadFile(dir_.File("rebootApplicationData/keep")), "x");
}

TEST_F(RebootFile, AMissingFolderIsMadeSoTheRebootIsStillRecorded) {
  std::string inside = dir_.File("kep") + "/data";
  rebootFilePath = inside.c_str();
  ASSERT_EQ(KepWriteAppRebootFile("myapp", 1), 1) << log_.Dump();
  EXPECT_EQ(ReadFile(inside), "myapp 1\n");
  // Only the last folder is made.
  std::string deeper = dir_.File("a") + "/b/data";
  rebootFilePath = deeper.c_str();
  EXPECT_EQ(KepWriteAppRebootFile("myapp", 1), 0);
  EXPECT_TRUE(log_.Contains("fopen(" + deeper + ".tmp) failed (2).")) << log_.Dump();
}

TEST_F(RebootFile, ReadTakesTheFirstLineAndTreatsADamagedOrMissingFileAsAbsent) {
  struct Case {
    const char *content;  // null: no file
    const char *read;     // "RESULT [NAME] COUNT"
    const char *message;  // null: none
  };
  const std::string longName(250, 'n');
  const std::string longLine = longName + " 3\n";
  const std::string longMessage =
      "KepReadAppRebootFile(): no space found [" + longName.substr(0, 199) + "].";
  const Case cases[] = {
      {"myapp   7\n", "1 [myapp] 7", nullptr},
      {" 5\n", "1 [] 5", nullptr},
      {"a 1\nb 2\n", "1 [a] 1", nullptr},
      {nullptr, "0 [] 0", nullptr},
      {"myapp\n", "0 [] 0", "KepReadAppRebootFile(): no space found [myapp\n]."},
      {"\n", "0 [] 0", "KepReadAppRebootFile(): no space found [\n]."},
      {"myapp 0\n", "0 [] 0", "KepReadAppRebootFile(): invalid count [0\n]."},
      {"myapp x\n", "0 [] 0", "KepReadAppRebootFile(): invalid count [x\n]."},
      {"my app 4\n", "0 [] 0", "KepReadAppRebootFile(): invalid count [app 4\n]."},
      {"", "0 [] 0", "KepReadAppRebootFile(): fgets() failed (0)."},
      {longLine.c_str(), "0 [] 0", longMessage.c_str()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
    unlink(path_.c_str());
    if (c.content != nullptr) dir_.Write("rebootApplicationData", c.content);
    log_.Clear();
    std::string name = "stale";
    uint32_t count = 99;
    int result = KepReadAppRebootFile(&name, &count);
    EXPECT_EQ(std::to_string(result) + " [" + name + "] " + std::to_string(count), c.read);
    EXPECT_EQ(log_.Texts(),
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    // A damaged file is left for the next stop to remove.
    EXPECT_EQ(FileExists(path_), c.content != nullptr);
  }
}

}  // namespace
