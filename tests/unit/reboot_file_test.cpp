// The reboot-application file against a real file system in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kep_main.h"
#include "kep_test.h"

namespace {

class RebootFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("rebootApplicationData");
    rebootFilePath = path_.c_str();
  }
  void TearDown() override { rebootFilePath = kKepDefaultRebootFilePath; }

  TempDir dir_;
  std::string path_;
  LogCapture log_;
};

TEST_F(RebootFile, WriteLeavesExactlyTheLineAndNoTemporaryFile) {
  ASSERT_EQ(KepWriteAppRebootFile("myapp", 2), 1) << log_.Dump();
  EXPECT_EQ(ReadFile(path_), "myapp 2\n");
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();

  ASSERT_EQ(KepWriteAppRebootFile("other", 3), 1);
  EXPECT_EQ(ReadFile(path_), "other 3\n");
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
}

// The count is read as a long: on the 32-bit device larger counts read back as
// 2147483647 (still far beyond the count that disables an application).
TEST_F(RebootFile, WriteReadsBackWhatItWrote) {
  ASSERT_EQ(KepWriteAppRebootFile("/usr/bin/myapp", 2147483647u), 1);
  std::string name = "stale";
  uint32_t count = 9;
  EXPECT_EQ(KepReadAppRebootFile(&name, &count), 1);
  EXPECT_EQ(name, "/usr/bin/myapp");
  EXPECT_EQ(count, 2147483647u);
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
  EXPECT_TRUE(log_.Contains("KepWriteAppRebootFile(): fopen(" + other + ".tmp) failed (21)."))
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
  EXPECT_TRUE(
      log_.Contains("KepWriteAppRebootFile(): removed " + path_ + ".tmp after the failed write."))
      << log_.Dump();
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  EXPECT_EQ(ReadFile(dir_.File("rebootApplicationData/keep")), "x");
}

TEST_F(RebootFile, AnUnopenableTemporaryFileIsReported) {
  std::string file = dir_.Write("plain", "");
  std::string inside = file + "/data";
  rebootFilePath = inside.c_str();
  EXPECT_EQ(KepWriteAppRebootFile("myapp", 1), 0);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"KepWriteAppRebootFile(): fopen(" + inside +
                                                   ".tmp) failed (20)."});
  EXPECT_EQ(log_.Lines()[0].level, 1);
  EXPECT_EQ(log_.Lines()[0].notice, 0);
  EXPECT_EQ(log_.Lines()[0].file, "KepMain");
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

struct ReadCase {
  const char *content;
  int result;
  const char *name;
  uint32_t count;
  const char *message;  // empty: none
};

TEST_F(RebootFile, ReadTakesTheFirstLineAndRejectsDamagedOnes) {
  const std::string longName(250, 'n');
  const std::string longLine = longName + " 3\n";
  const std::string longMessage =
      "KepReadAppRebootFile(): no space found [" + longName.substr(0, 199) + "].";
  const ReadCase cases[] = {
      {"myapp 7\n", 1, "myapp", 7, ""},
      {"myapp   7\n", 1, "myapp", 7, ""},
      {" 5\n", 1, "", 5, ""},
      {"myapp 12abc\n", 1, "myapp", 12, ""},
      {"myapp 3", 1, "myapp", 3, ""},
      {"a 1\nb 2\n", 1, "a", 1, ""},
      {"myapp -1\n", 1, "myapp", 4294967295u, ""},
      {"my app 4\n", 0, "", 0, "KepReadAppRebootFile(): invalid count [app 4\n]."},
      {"myapp\n", 0, "", 0, "KepReadAppRebootFile(): no space found [myapp\n]."},
      {"\n", 0, "", 0, "KepReadAppRebootFile(): no space found [\n]."},
      {"myapp 0\n", 0, "", 0, "KepReadAppRebootFile(): invalid count [0\n]."},
      {"myapp x\n", 0, "", 0, "KepReadAppRebootFile(): invalid count [x\n]."},
      {"myapp \n", 0, "", 0, "KepReadAppRebootFile(): invalid count [\n]."},
      {"", 0, "", 0, "KepReadAppRebootFile(): fgets() failed (0)."},
      {longLine.c_str(), 0, "", 0, longMessage.c_str()},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(std::string("content [") + c.content + "]");
    dir_.Write("rebootApplicationData", c.content);
    log_.Clear();
    std::string name = "stale";
    uint32_t count = 99;
    EXPECT_EQ(KepReadAppRebootFile(&name, &count), c.result);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(count, c.count);
    if (*c.message == '\0') {
      EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
    } else {
      EXPECT_EQ(log_.Texts(), std::vector<std::string>{c.message});
    }
    // A damaged file is left for the next stop to remove.
    EXPECT_TRUE(FileExists(path_));
  }
}

TEST_F(RebootFile, AMissingFileReadsAsNothingWithoutAMessage) {
  std::string name = "stale";
  uint32_t count = 99;
  EXPECT_EQ(KepReadAppRebootFile(&name, &count), 0);
  EXPECT_EQ(name, "");
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(RebootFile, AnUnopenableFileIsReportedAndReadsAsNothing) {
  std::string inside = dir_.Write("plain", "") + "/data";
  rebootFilePath = inside.c_str();
  std::string name;
  uint32_t count = 0;
  EXPECT_EQ(KepReadAppRebootFile(&name, &count), 0);
  EXPECT_EQ(log_.Texts(),
            std::vector<std::string>{"KepReadAppRebootFile(): fopen(" + inside + ") failed (20)."});
}

TEST_F(RebootFile, RemoveSucceedsWhetherOrNotTheFileExists) {
  dir_.Write("rebootApplicationData", "myapp 1\n");
  EXPECT_EQ(KepRemoveAppRebootFile(), 1);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(KepRemoveAppRebootFile(), 1);
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(RebootFile, AFailedRemoveIsReported) {
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(KepRemoveAppRebootFile(), 0);
  ASSERT_EQ(log_.Lines().size(), 1u) << log_.Dump();
  EXPECT_EQ(
      log_.Lines()[0].text.rfind("KepRemoveAppRebootFile(): unlink(" + path_ + ") failed (", 0),
      0u);
  EXPECT_TRUE(FileExists(path_));
}

}  // namespace
