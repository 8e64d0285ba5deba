// The status file: rewritten only when what it shows changes, never through a
// link; kep-status reads it back, refuses damaged files and tells the kep that
// wrote it from a reused pid or an earlier boot.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "kep_main.h"
#include "kep_test.h"
#include "view.h"

namespace {

class StatusFile : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    currentState = KEP_STATE_RUNNING;
    KepEnableStatusFile(path_.c_str());
  }
  void TearDown() override {
    KepEnableStatusFile(nullptr);
    Clean();
  }
  static void Clean() {
    ResetModel();
    currentState = KEP_STATE_INVALID;
    stopReason = KEP_STOP_REASON_INVALID;
    stopReasonApp.clear();
  }
  static KepApp &Add(const char *name) {
    KepApp &app = KepGetAppList().emplace_back();
    app.name = name;
    app.state = KEP_APP_STATE_RUNNING;
    app.pid = 100 + static_cast<int32_t>(KepGetAppList().size());
    app.startCount = 1;
    return app;
  }

  TempDir dir_;
  std::string path_ = dir_.File("status");
};

ToolRun RunStatus(std::vector<std::string> args) {
  args.insert(args.begin(), "kep-status");
  return RunTool(KepStatusMain, args);
}

std::string Replaced(std::string text, const std::string &from, const std::string &to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace

TEST_F(StatusFile, IsRewrittenOnlyWhenWhatItShowsChanges) {
  KepApp &a = Add("/bin/odd name%");
  KepApp &b = Add("b");
  ASSERT_EQ(KepUpdateStatusFile(1), 1);
  const struct {
    const char *what;
    std::function<void()> change;
    int written;
  } cases[] = {
      {"nothing", [] {}, 0},
      {"the time of a SIGTERM alone",
       [&] {
         a.sigtermTime = {5, 0};
       },
       0},
      {"the supervisor state", [] { currentState = KEP_STATE_STOPPING_APPS; }, 1},
      {"the stop reason", [] { stopReason = KEP_STOP_REASON_RESET; }, 1},
      {"the application behind it", [] { stopReasonApp = "b"; }, 1},
      {"a state", [&] { a.state = KEP_APP_STATE_KILLED; }, 1},
      {"a SIGTERM", [&] { a.sigtermCount = 1; }, 1},
      {"a SIGKILL", [&] { a.sigkillSent = 1; }, 1},
      {"a pid", [&] { b.pid = 7; }, 1},
      {"disabled", [&] { b.disabled = 1; }, 1},
      {"a start", [&] { b.startCount = 2; }, 1},
      {"a counted death", [&] { b.deathTimeList.push_back(7); }, 1},
      {"a wait for a start file", [&] { b.syncWait = KEP_SYNC_WAIT_START; }, 1},
      {"an exit by a signal",
       [&] { b.state = KEP_APP_STATE_REAPED, b.signalNum = 9, b.childReaped = 1; }, 1},
      {"the same exit again", [] {}, 0},
      {"given up after SIGKILL", [&] { a.state = KEP_APP_STATE_REAPED; }, 1},
  };
  for (const auto &c : cases) {
    c.change();
    EXPECT_EQ(KepUpdateStatusFile(0), c.written) << c.what;
  }

  KepStatusData data;
  std::string error;
  ASSERT_TRUE(KepParseStatus(ReadFile(path_), &data, &error)) << error;
  EXPECT_EQ(data.pid, static_cast<long>(getpid()));
  EXPECT_EQ(data.state + " " + data.stop + " " + data.stopApp, "StoppingApps Reset b");
  ASSERT_EQ(data.apps.size(), 2u);
  EXPECT_EQ(data.apps[0].name, "/bin/odd name%");
  EXPECT_EQ(data.apps[0].exit, "unknown");
  EXPECT_EQ(data.apps[1].state + " " + data.apps[1].exit + " " + data.apps[1].wait,
            "Reaped signal:9 start");
  EXPECT_TRUE(data.apps[1].disabled);
  EXPECT_EQ(data.apps[1].deaths, 1u);
}

TEST_F(StatusFile, NeverWritesThroughALinkAndLogsAFailingWriteOnce) {
  const std::string victim = dir_.Write("victim", "precious");
  ASSERT_EQ(symlink(victim.c_str(), (path_ + ".tmp").c_str()), 0);
  KepApp &app = Add("a");
  EXPECT_EQ(KepUpdateStatusFile(1), 1);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(FileExists(path_ + ".tmp"));

  LogCapture log;
  const std::string missing = dir_.File("missing/status");
  KepEnableStatusFile(missing.c_str());
  for (int pid = 200; pid < 203; ++pid) {
    app.pid = pid;
    EXPECT_EQ(KepUpdateStatusFile(0), 0);
  }
  EXPECT_EQ(log.Count("KepUpdateStatusFile(): writing " + missing + " failed (errno = 2)"), 1u)
      << log.Dump();
}

TEST_F(StatusFile, KepStatusTellsItsWriterFromAReusedPidOrAnEarlierBoot) {
  Add("a");
  Add("/usr/bin/b");
  ASSERT_EQ(KepUpdateStatusFile(1), 1);
  const std::string text = ReadFile(path_);
  KepStatusData data;
  std::string error;
  ASSERT_TRUE(KepParseStatus(text, &data, &error)) << error;
  const std::string start = "start=" + std::to_string(data.start);
  const std::string pid = std::to_string(getpid());
  const struct {
    std::string text;
    std::vector<std::string> args;
    int status;
    std::string shown;
  } cases[] = {
      {text, {}, 0, "kep pid " + pid + ", Running, up "},
      {text, {"-k"}, 0, "app name=/usr/bin/b state=Running pid=102 disabled=0 level=0 up="},
      {Replaced(text, "b state=Running", "b state=Reaped"), {}, 1, "b  Reaped "},
      {Replaced(text, "b state=Running", "b state=Reaped"), {"a"}, 0, "\na "},
      {Replaced(text, "b state=Running", "b state=Reaped"), {"-k", "b"}, 1, "name=/usr/bin/b"},
      {Replaced(text, start, start + "1"), {}, 2, "kep is NOT running: it ended without stopping"},
      {Replaced(text, "boot=", "boot=1"), {}, 2, "the device has restarted since"},
  };
  for (const auto &c : cases) {
    const std::string file = dir_.Write("edited", c.text);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), {"-f", file});
    ToolRun run = RunStatus(args);
    EXPECT_EQ(run.status, c.status) << c.shown << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << c.shown << "\n" << run.out;
  }
}

TEST(KepStatus, DamagedFilesAndBadUsageGetAClearMessage) {
  TempDir dir;
  const std::string good =
      "kep-status 1\nkep pid=0 start=1 boot= started=1.000000 written=2.000000 state=Running "
      "stop=Invalid stopApp= config= apps=1\napp name=a state=Running pid=5 disabled=0 level=0 "
      "exec=1.000000 starts=1 exit=none exitAt=0.000000 deaths=0 wait=none wd=\nend\n";
  mkfifo(dir.File("fifo").c_str(), 0600);
  const struct {
    std::string file;  // a path, or the text of the file
    std::vector<std::string> more;
    int status;
    std::string message;
  } cases[] = {
      {dir.File("missing"), {}, 2, "missing: No such file or directory (kep has not run here"},
      {dir.Path(), {}, 2, ": not a regular file"},
      {dir.File("fifo"), {}, 2, ": not a regular file"},
      {"", {}, 2, ": the file is empty"},
      {good.substr(0, good.size() - 9), {}, 2, ": the file is cut short (no newline at its end)"},
      {good.substr(0, good.size() - 4), {}, 2, ": the file is cut short or has extra lines"},
      {good + good, {}, 2, ": the file is cut short or has extra lines"},
      {"hello\n", {}, 2, ": line 1: not a kep status file"},
      {std::string("\x7f"
                   "ELF\0\1\2\n",
                   8),
       {},
       2,
       ": line 1: not a kep status file"},
      {Replaced(good, " 1\n", " 2\n"), {}, 2, ": line 1: a format this tool does not know"},
      {Replaced(good, "pid=5", "pid=5x"), {}, 2, ": line 3: bad pid"},
      {Replaced(good, " level=0", ""), {}, 2, ": line 3: no level"},
      {Replaced(good, "exec=1.000000", "exec=1.5"), {}, 2, ": line 3: bad exec"},
      {Replaced(good, "name=a", "name=a%G1"), {}, 2, ": line 3: not key=value words"},
      {Replaced(good, "apps=1", "apps=4000000000"), {}, 2, ": the file is cut short or has"},
      {good, {}, 2, "kep is NOT running"},
      {good, {"-x"}, 64, "kep-status: unknown option -x\nUsage: kep-status"},
      {good, {"nosuch"}, 64, "kep-status: no application nosuch in "},
      {good, {"-f"}, 64, "kep-status: -f needs a file"},
  };
  for (const auto &c : cases) {
    const bool isPath = !c.file.empty() && c.file[0] == '/';
    std::vector<std::string> args = {"-f", isPath ? c.file : dir.Write("status", c.file)};
    args.insert(args.end(), c.more.begin(), c.more.end());
    ToolRun run = RunStatus(args);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << c.message << "\n"
                                                                      << run.out << run.err;
  }
}
